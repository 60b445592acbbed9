// Code-page conversions of counted strings, and integers as text.
//
//   RtlUnicodeStringToAnsiString RtlAnsiStringToUnicodeString RtlxAnsiStringToUnicodeSize
//   RtlxUnicodeStringToAnsiSize NlsMbCodePageTag RtlUnicodeStringToInteger RtlCharToInteger
//   RtlIntegerToUnicodeString RtlIntegerToChar
#include <hvsim/format.h>
#include <hvsim/pool.h>
#include <wdm.h>

#include <cstring>
#include <type_traits>

namespace {

constexpr ULONG string_tag = hvsim::pool::tag_from_text("Strg");
BOOLEAN g_multibyte_code_page = FALSE;

int digit_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// The lenient reading of the kernel's integer parsers: white space, sign, prefix (base 0 only),
// then digits up to the first character that is not one.
template <typename Char> NTSTATUS parse_integer(const Char* text, size_t length, ULONG base, PULONG value) {
    if (!value || (length && !text)) return STATUS_INVALID_PARAMETER;
    if (base != 0 && base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    auto unit = [text](size_t i) { return (unsigned)(std::make_unsigned_t<Char>)text[i]; };
    size_t i = 0;
    while (i < length && unit(i) <= ' ') ++i;
    bool negative = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (base == 0) {
        base = 10;
        if (i + 1 < length && text[i] == '0') {
            Char p = text[i + 1];
            if (p == 'x' || p == 'X') base = 16;
            if (p == 'o' || p == 'O') base = 8;
            if (p == 'b' || p == 'B') base = 2;
            if (base != 10) i += 2;
        }
    }
    ULONG result = 0;
    for (; i < length; ++i) {
        int d = digit_value((int)unit(i));
        if (d >= (int)base) break;
        result = result * base + (ULONG)d;
    }
    *value = negative ? (ULONG)(0 - result) : result;
    return STATUS_SUCCESS;
}

// Digits in upper case; base 0 means 10. Returns 0 for a base the routines refuse.
size_t integer_digits(ULONG value, ULONG base, char digits[33]) {
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return 0;
    char reversed[33];
    size_t n = 0;
    do {
        reversed[n++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value);
    for (size_t i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
    return n;
}

} // namespace

HV_EXTERN_C_BEGIN

PBOOLEAN NlsMbCodePageTag = &g_multibyte_code_page;

ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) {
    return ((AnsiString ? AnsiString->Length : 0) + 1) * (ULONG)sizeof(WCHAR);
}

ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) {
    return (UnicodeString ? UnicodeString->Length / (ULONG)sizeof(WCHAR) : 0) + 1;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString || (SourceString->Length && !SourceString->Buffer))
        return STATUS_INVALID_PARAMETER;
    ULONG size = RtlxUnicodeStringToAnsiSize(SourceString);
    if (size > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
    size_t characters = size - 1;
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        auto* buffer = (PCHAR)hvsim::pool::allocate(PagedPool, size, string_tag, __builtin_return_address(0));
        if (!buffer) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)size;
    } else {
        if (!DestinationString->Buffer || DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        if (characters >= DestinationString->MaximumLength) {
            characters = DestinationString->MaximumLength - 1u;
            status = STATUS_BUFFER_OVERFLOW;
        }
    }
    for (size_t i = 0; i < characters; ++i)
        DestinationString->Buffer[i] = (CHAR)hvsim::text::wide_to_ansi(SourceString->Buffer[i]);
    DestinationString->Buffer[characters] = 0;
    DestinationString->Length = (USHORT)characters;
    return status;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString || (SourceString->Length && !SourceString->Buffer))
        return STATUS_INVALID_PARAMETER;
    ULONG size = RtlxAnsiStringToUnicodeSize(SourceString);
    if (size > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer = (PWSTR)hvsim::pool::allocate(PagedPool, size, string_tag, __builtin_return_address(0));
        if (!buffer) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)size;
    } else if (!DestinationString->Buffer || size > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = hvsim::text::ansi_to_wide((unsigned char)SourceString->Buffer[i]);
    DestinationString->Buffer[SourceString->Length] = 0;
    DestinationString->Length = (USHORT)(size - sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (!String) return STATUS_INVALID_PARAMETER;
    return parse_integer(String->Buffer, String->Length / sizeof(WCHAR), Base, Value);
}

NTSTATUS RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value) {
    if (!String) return STATUS_INVALID_PARAMETER;
    return parse_integer(String, std::strlen(String), Base, Value);
}

NTSTATUS RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PSZ String) {
    char digits[33];
    size_t n = integer_digits(Value, Base, digits);
    if (!n || !String) return STATUS_INVALID_PARAMETER;
    if (OutputLength < 0 || n > (size_t)OutputLength) return STATUS_BUFFER_OVERFLOW;
    std::memcpy(String, digits, n);
    if (n < (size_t)OutputLength) String[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    char digits[33];
    size_t n = integer_digits(Value, Base, digits);
    if (!n || !String) return STATUS_INVALID_PARAMETER;
    size_t bytes = n * sizeof(WCHAR);
    if (!String->Buffer || bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i) String->Buffer[i] = (WCHAR)digits[i];
    String->Length = (USHORT)bytes;
    if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

HV_EXTERN_C_END
