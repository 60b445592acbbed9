// The C runtime's string routines for WCHAR (char16_t), shared by kernel and user mode, and the
// runtime's formatting entry points with Windows format semantics.
//
// They are C++ overloads on char16_t: the C library's wchar_t routines of the same names stay
// untouched (WCHAR is not wchar_t here). Character classes and case follow the platform's one
// case table (ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic); digits are ASCII only.
//
// Formatting (Windows semantics, implemented by the kernel library):
//   wide routines:   %s %ls %ws wide string, %hs %S narrow string, %c wide char, %hc %C narrow
//   narrow routines: %s %hs narrow string, %ls %ws %S wide string, %c narrow char, %lc %wc %C wide
//   both:            %Z ANSI_STRING*, %wZ UNICODE_STRING*, %d %i %u %x %X %o %p %e %f %g %%,
//                    sizes h hh l (32 bits) ll I64 I32 I z j t, flags - + space # 0, width and
//                    precision (also *). %n writes nothing. A null string prints "(null)".
//   truncation:      _snwprintf/_snprintf/_vsn*: count characters at most; returns -1 when the
//                    text does not fit, and then writes no terminator (Windows). swprintf and
//                    vswprintf with a count: return -1 when the text does not fit and leave the
//                    truncated text terminated. The forms without a count write without bound.
#pragma once

#include <basetsd.h>

#include <stdarg.h>

#ifdef __cplusplus

// The C++ library takes the address of some of the C library's wide routines (std::stol on
// wstring, std::to_wstring); it must see them before the overloads below make the names ambiguous.
#include <cwchar>
#include <string>

#define HV_CRT __attribute__((visibility("default")))

// ---------------------------------------------------------------------------------------------
// Routines
//
//   wcslen wcsnlen wcscpy wcsncpy wcscat wcsncat wcscmp wcsncmp _wcsicmp _wcsnicmp wcschr wcsrchr
//   wcsstr wcspbrk wcsspn wcscspn _wcsupr _wcslwr _wcsdup (malloc) towupper towlower iswdigit
//   iswxdigit iswspace iswalpha iswalnum iswupper iswlower _wtoi _wtol _wtoi64 wcstol wcstoul
//   wcstoull _itow _ultow _ui64tow swprintf _snwprintf vswprintf _vsnwprintf _scwprintf
//   _vscwprintf _snprintf _vsnprintf _scprintf _vscprintf

// Case and character classes.
HV_CRT char16_t towupper(char16_t c);
HV_CRT char16_t towlower(char16_t c);
inline int iswdigit(char16_t c) { return c >= u'0' && c <= u'9'; }
inline int iswxdigit(char16_t c) {
    return iswdigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
inline int iswspace(char16_t c) { return c == u' ' || (c >= 0x09 && c <= 0x0D) || c == 0xA0; }
HV_CRT int iswalpha(char16_t c);
inline int iswalnum(char16_t c) { return iswdigit(c) || iswalpha(c); }
HV_CRT int iswupper(char16_t c);
HV_CRT int iswlower(char16_t c);

// Length, copy and concatenation.
inline size_t wcslen(const char16_t* s) {
    const char16_t* p = s;
    while (*p) ++p;
    return (size_t)(p - s);
}
inline size_t wcsnlen(const char16_t* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n]) ++n;
    return n;
}
inline char16_t* wcscpy(char16_t* dst, const char16_t* src) {
    char16_t* d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}
// As the C runtime: pads with NULs up to count, and leaves no terminator when src is longer.
inline char16_t* wcsncpy(char16_t* dst, const char16_t* src, size_t count) {
    size_t i = 0;
    for (; i < count && src[i]; ++i) dst[i] = src[i];
    for (; i < count; ++i) dst[i] = 0;
    return dst;
}
inline char16_t* wcscat(char16_t* dst, const char16_t* src) {
    wcscpy(dst + wcslen(dst), src);
    return dst;
}
// Appends at most count characters, always terminated.
inline char16_t* wcsncat(char16_t* dst, const char16_t* src, size_t count) {
    char16_t* d = dst + wcslen(dst);
    size_t i = 0;
    for (; i < count && src[i]; ++i) d[i] = src[i];
    d[i] = 0;
    return dst;
}

// Comparison. The case-blind forms compare the lower-case forms, as the C runtime does.
inline int wcscmp(const char16_t* a, const char16_t* b) {
    while (*a && *a == *b) ++a, ++b;
    return (int)*a - (int)*b;
}
inline int wcsncmp(const char16_t* a, const char16_t* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (a[i] != b[i] || !a[i]) return (int)a[i] - (int)b[i];
    }
    return 0;
}
inline int _wcsicmp(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        int ca = towlower(*a), cb = towlower(*b);
        if (ca != cb || !ca) return ca - cb;
    }
}
inline int _wcsnicmp(const char16_t* a, const char16_t* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        int ca = towlower(a[i]), cb = towlower(b[i]);
        if (ca != cb || !ca) return ca - cb;
    }
    return 0;
}
#define wcsicmp _wcsicmp
#define wcsnicmp _wcsnicmp

// Search. The results point into the searched string (const-correct overloads as in C++).
inline const char16_t* wcschr(const char16_t* s, char16_t c) {
    for (;; ++s) {
        if (*s == c) return s;
        if (!*s) return nullptr;
    }
}
inline char16_t* wcschr(char16_t* s, char16_t c) { return const_cast<char16_t*>(wcschr((const char16_t*)s, c)); }
inline const char16_t* wcsrchr(const char16_t* s, char16_t c) {
    const char16_t* found = nullptr;
    for (;; ++s) {
        if (*s == c) found = s;
        if (!*s) return found;
    }
}
inline char16_t* wcsrchr(char16_t* s, char16_t c) { return const_cast<char16_t*>(wcsrchr((const char16_t*)s, c)); }
inline const char16_t* wcsstr(const char16_t* s, const char16_t* pattern) {
    if (!*pattern) return s;
    for (; *s; ++s) {
        size_t i = 0;
        while (pattern[i] && s[i] == pattern[i]) ++i;
        if (!pattern[i]) return s;
    }
    return nullptr;
}
inline char16_t* wcsstr(char16_t* s, const char16_t* pattern) {
    return const_cast<char16_t*>(wcsstr((const char16_t*)s, pattern));
}
inline size_t wcsspn(const char16_t* s, const char16_t* accept) {
    size_t n = 0;
    while (s[n] && wcschr(accept, s[n])) ++n;
    return n;
}
inline size_t wcscspn(const char16_t* s, const char16_t* reject) {
    size_t n = 0;
    while (s[n] && !wcschr(reject, s[n])) ++n;
    return n;
}
inline const char16_t* wcspbrk(const char16_t* s, const char16_t* accept) {
    s += wcscspn(s, accept);
    return *s ? s : nullptr;
}
inline char16_t* wcspbrk(char16_t* s, const char16_t* accept) {
    return const_cast<char16_t*>(wcspbrk((const char16_t*)s, accept));
}

// In-place case conversion; return the string.
inline char16_t* _wcsupr(char16_t* s) {
    for (char16_t* p = s; *p; ++p) *p = towupper(*p);
    return s;
}
inline char16_t* _wcslwr(char16_t* s) {
    for (char16_t* p = s; *p; ++p) *p = towlower(*p);
    return s;
}
// A malloc'd copy, freed with free(); nullptr when out of memory.
HV_CRT char16_t* _wcsdup(const char16_t* s);

// Numbers. _wtoi/_wtol/_wtoi64: leading white space, an optional sign, decimal digits; 0 without
// digits. wcstol/wcstoul/wcstoull: base 0 (0x and 0 prefixes) or 2..36, *end set after the last
// digit used (to the start when none). All saturate at the limits of their type (a negative text
// given to the unsigned forms is negated, as in C).
HV_CRT int _wtoi(const char16_t* s);
HV_CRT LONG _wtol(const char16_t* s);
HV_CRT LONGLONG _wtoi64(const char16_t* s);
HV_CRT LONG wcstol(const char16_t* s, char16_t** end, int base);
HV_CRT ULONG wcstoul(const char16_t* s, char16_t** end, int base);
HV_CRT ULONGLONG wcstoull(const char16_t* s, char16_t** end, int base);
// Digits in lower case, as the C runtime; the buffer must hold 33 (65 for 64 bits) characters.
HV_CRT char16_t* _itow(int value, char16_t* buffer, int radix);
HV_CRT char16_t* _ultow(ULONG value, char16_t* buffer, int radix);
HV_CRT char16_t* _ui64tow(ULONGLONG value, char16_t* buffer, int radix);

// Formatting.
HV_CRT int swprintf(char16_t* buffer, size_t count, const char16_t* format, ...);
HV_CRT int swprintf(char16_t* buffer, const char16_t* format, ...);
HV_CRT int vswprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args);
HV_CRT int vswprintf(char16_t* buffer, const char16_t* format, va_list args);
HV_CRT int _snwprintf(char16_t* buffer, size_t count, const char16_t* format, ...);
HV_CRT int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args);
// The number of characters the text would have, without terminator.
HV_CRT int _scwprintf(const char16_t* format, ...);
HV_CRT int _vscwprintf(const char16_t* format, va_list args);

HV_CRT int _snprintf(char* buffer, size_t count, const char* format, ...);
HV_CRT int _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
HV_CRT int _scprintf(const char* format, ...);
HV_CRT int _vscprintf(const char* format, va_list args);

#endif // __cplusplus
