// The C runtime's wide number conversions and string duplication for WCHAR.
//
//   _wtoi _wtol _wtoi64 wcstol wcstoul wcstoull _itow _ultow _ui64tow _wcsdup
#include <hv_wchar.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

int digit_value(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

struct Parsed {
    ULONGLONG magnitude = 0;
    bool negative = false;
    bool overflow = false;
    const char16_t* end = nullptr; // after the last digit, or the start when none
};

// Reads the magnitude, saturating at limit.
Parsed parse(const char16_t* s, int base, ULONGLONG limit) {
    Parsed r;
    r.end = s;
    if (!s || base < 0 || base == 1 || base > 36) return r;
    const char16_t* p = s;
    while (iswspace(*p)) ++p;
    if (*p == u'+' || *p == u'-') r.negative = *p++ == u'-';
    if ((base == 0 || base == 16) && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') && digit_value(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == u'0' ? 8 : 10;
    }
    const char16_t* digits = p;
    for (; digit_value(*p) < base; ++p) {
        ULONGLONG d = (ULONGLONG)digit_value(*p);
        if (r.magnitude > (limit - d) / (ULONGLONG)base) {
            r.overflow = true;
            r.magnitude = limit;
        } else if (!r.overflow) {
            r.magnitude = r.magnitude * (ULONGLONG)base + d;
        }
    }
    if (p != digits) r.end = p;
    return r;
}

template <typename T> T signed_value(const char16_t* s, char16_t** end, int base, T min, T max) {
    Parsed r = parse(s, base, (ULONGLONG)max + 1);
    if (end) *end = const_cast<char16_t*>(r.end);
    if (r.negative) return r.magnitude >= (ULONGLONG)max + 1 ? min : (T) - (T)r.magnitude;
    return r.magnitude > (ULONGLONG)max ? max : (T)r.magnitude;
}

template <typename T> T unsigned_value(const char16_t* s, char16_t** end, int base, T max) {
    Parsed r = parse(s, base, (ULONGLONG)max);
    if (end) *end = const_cast<char16_t*>(r.end);
    if (r.overflow) return max;
    return r.negative ? (T)(0 - (T)r.magnitude) : (T)r.magnitude;
}

char16_t* to_text(ULONGLONG value, bool negative, char16_t* buffer, int radix) {
    if (!buffer) return buffer;
    if (radix < 2 || radix > 36) {
        buffer[0] = 0;
        return buffer;
    }
    char16_t digits[66];
    size_t n = 0;
    do {
        int d = (int)(value % (ULONGLONG)radix);
        digits[n++] = (char16_t)(d < 10 ? u'0' + d : u'a' + d - 10);
        value /= (ULONGLONG)radix;
    } while (value);
    char16_t* p = buffer;
    if (negative) *p++ = u'-';
    while (n) *p++ = digits[--n];
    *p = 0;
    return buffer;
}

} // namespace

int _wtoi(const char16_t* s) { return signed_value<int>(s, nullptr, 10, INT_MIN, INT_MAX); }
LONG _wtol(const char16_t* s) { return signed_value<LONG>(s, nullptr, 10, INT32_MIN, INT32_MAX); }
LONGLONG _wtoi64(const char16_t* s) { return signed_value<LONGLONG>(s, nullptr, 10, INT64_MIN, INT64_MAX); }
LONG wcstol(const char16_t* s, char16_t** end, int base) {
    return signed_value<LONG>(s, end, base, INT32_MIN, INT32_MAX);
}
ULONG wcstoul(const char16_t* s, char16_t** end, int base) { return unsigned_value<ULONG>(s, end, base, UINT32_MAX); }
ULONGLONG wcstoull(const char16_t* s, char16_t** end, int base) {
    return unsigned_value<ULONGLONG>(s, end, base, UINT64_MAX);
}

// As the runtime: a negative value is written with a sign only in base 10.
char16_t* _itow(int value, char16_t* buffer, int radix) {
    if (radix == 10 && value < 0) return to_text((ULONGLONG)0 - (ULONGLONG)(LONGLONG)value, true, buffer, radix);
    return to_text((ULONG)value, false, buffer, radix);
}
char16_t* _ultow(ULONG value, char16_t* buffer, int radix) { return to_text(value, false, buffer, radix); }
char16_t* _ui64tow(ULONGLONG value, char16_t* buffer, int radix) { return to_text(value, false, buffer, radix); }

char16_t* _wcsdup(const char16_t* s) {
    if (!s) return nullptr;
    size_t bytes = (wcslen(s) + 1) * sizeof(char16_t);
    auto* copy = (char16_t*)std::malloc(bytes);
    if (copy) std::memcpy(copy, s, bytes);
    return copy;
}
