// Safe string routines (ntstrsafe.h): one implementation per operation for both character widths;
// the Cb forms count bytes and hand over to the Cch forms.
//
//   RtlStringCch{Copy,CopyN,Cat,CatN,Printf,VPrintf,Length}{A,W}
//   RtlStringCb{Copy,CopyN,Cat,CatN,Printf,VPrintf,Length}{A,W}
#include <hvsim/format.h>
#include <ntstrsafe.h>

#include <cstring>

namespace {

template <typename Char> bool valid_size(Char* dest, size_t cch) { return dest && cch > 0 && cch <= NTSTRSAFE_MAX_CCH; }

// Copies at most max characters of src after the first `used` characters of dest.
template <typename Char> NTSTATUS copy_at(Char* dest, size_t cch, size_t used, const Char* src, size_t max) {
    if (!src) {
        dest[used] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t room = cch - used - 1;
    size_t n = 0;
    while (n < max && src[n] && n < room) ++n;
    std::memmove(dest + used, src, n * sizeof(Char));
    dest[used + n] = 0;
    bool truncated = n < max && src[n] && n == room;
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename Char> NTSTATUS copy(Char* dest, size_t cch, const Char* src, size_t max) {
    if (!valid_size(dest, cch)) return STATUS_INVALID_PARAMETER;
    if (max > NTSTRSAFE_MAX_CCH) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return copy_at(dest, cch, 0, src, max);
}

template <typename Char> NTSTATUS length(const Char* s, size_t max, size_t* out) {
    if (out) *out = 0;
    if (!s || max > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    size_t n = 0;
    while (n < max && s[n]) ++n;
    if (n == max) return STATUS_INVALID_PARAMETER;
    if (out) *out = n;
    return STATUS_SUCCESS;
}

template <typename Char> NTSTATUS cat(Char* dest, size_t cch, const Char* src, size_t max) {
    if (!valid_size(dest, cch) || max > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    size_t used;
    if (!NT_SUCCESS(length(dest, cch, &used))) return STATUS_INVALID_PARAMETER;
    return copy_at(dest, cch, used, src, max);
}

template <typename Char> NTSTATUS vprint(Char* dest, size_t cch, const Char* format, va_list args) {
    if (!valid_size(dest, cch)) return STATUS_INVALID_PARAMETER;
    if (!format) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = hvsim::text::vformat_to(dest, cch - 1, format, args);
    dest[n < cch ? n : cch - 1] = 0;
    return n < cch ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

template <typename Char> size_t characters(size_t bytes) { return bytes / sizeof(Char); }

} // namespace

HV_EXTERN_C_BEGIN

NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s) {
    return copy(d, cch, s, NTSTRSAFE_MAX_CCH);
}
NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s) {
    return copy(d, cch, s, NTSTRSAFE_MAX_CCH);
}
NTSTATUS RtlStringCbCopyA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s) {
    return copy(d, characters<CHAR>(cb), s, NTSTRSAFE_MAX_CCH);
}
NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s) {
    return copy(d, characters<WCHAR>(cb), s, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchCopyNA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s, size_t n) { return copy(d, cch, s, n); }
NTSTATUS RtlStringCchCopyNW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s, size_t n) { return copy(d, cch, s, n); }
NTSTATUS RtlStringCbCopyNA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s, size_t n) {
    return copy(d, characters<CHAR>(cb), s, characters<CHAR>(n));
}
NTSTATUS RtlStringCbCopyNW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s, size_t n) {
    return copy(d, characters<WCHAR>(cb), s, characters<WCHAR>(n));
}

NTSTATUS RtlStringCchCatA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s) { return cat(d, cch, s, NTSTRSAFE_MAX_CCH); }
NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s) {
    return cat(d, cch, s, NTSTRSAFE_MAX_CCH);
}
NTSTATUS RtlStringCbCatA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s) {
    return cat(d, characters<CHAR>(cb), s, NTSTRSAFE_MAX_CCH);
}
NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s) {
    return cat(d, characters<WCHAR>(cb), s, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchCatNA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s, size_t n) { return cat(d, cch, s, n); }
NTSTATUS RtlStringCchCatNW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s, size_t n) { return cat(d, cch, s, n); }
NTSTATUS RtlStringCbCatNA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s, size_t n) {
    return cat(d, characters<CHAR>(cb), s, characters<CHAR>(n));
}
NTSTATUS RtlStringCbCatNW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s, size_t n) {
    return cat(d, characters<WCHAR>(cb), s, characters<WCHAR>(n));
}

NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR f, va_list a) {
    return vprint(d, cch, f, a);
}
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR f, va_list a) {
    return vprint(d, cch, f, a);
}
NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR f, va_list a) {
    return vprint(d, characters<CHAR>(cb), f, a);
}
NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR f, va_list a) {
    return vprint(d, characters<WCHAR>(cb), f, a);
}

#define HV_PRINTF_FORWARD(call)                                                                                        \
    va_list ap;                                                                                                        \
    va_start(ap, f);                                                                                                   \
    NTSTATUS status = call;                                                                                            \
    va_end(ap);                                                                                                        \
    return status

NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR f, ...) {
    HV_PRINTF_FORWARD(vprint(d, cch, f, ap));
}
NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR f, ...) {
    HV_PRINTF_FORWARD(vprint(d, cch, f, ap));
}
NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR f, ...) {
    HV_PRINTF_FORWARD(vprint(d, characters<CHAR>(cb), f, ap));
}
NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR f, ...) {
    HV_PRINTF_FORWARD(vprint(d, characters<WCHAR>(cb), f, ap));
}

NTSTATUS RtlStringCchLengthA(NTSTRSAFE_PCSTR s, size_t max, size_t* n) { return length(s, max, n); }
NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR s, size_t max, size_t* n) { return length(s, max, n); }
NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR s, size_t max, size_t* n) {
    NTSTATUS status = length(s, characters<CHAR>(max), n);
    if (n) *n *= sizeof(CHAR);
    return status;
}
NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR s, size_t max, size_t* n) {
    NTSTATUS status = length(s, characters<WCHAR>(max), n);
    if (n) *n *= sizeof(WCHAR);
    return status;
}

HV_EXTERN_C_END
