// Counted strings.
//
//   RtlInitUnicodeString RtlInitAnsiString RtlInitString RtlCopyUnicodeString RtlCopyString
//   RtlAppendUnicodeToString RtlAppendUnicodeStringToString RtlCompareUnicodeString
//   RtlEqualUnicodeString RtlPrefixUnicodeString RtlEqualString RtlUpcaseUnicodeString
//   RtlFreeUnicodeString RtlFreeAnsiString RtlCompareMemory
//
// Strings the routines allocate come from PagedPool with the tag "Strg", charged to the caller.
#include <hvsim/pool.h>
#include <wdm.h>

#include <cstring>

namespace {

constexpr ULONG string_tag = hvsim::pool::tag_from_text("Strg");
constexpr size_t max_wide_length = 0xFFFC;
constexpr size_t max_ansi_length = 0xFFFE;

WCHAR fold(WCHAR c, BOOLEAN case_insensitive) { return case_insensitive ? RtlUpcaseUnicodeChar(c) : c; }

NTSTATUS append(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
    if (!destination) return STATUS_INVALID_PARAMETER;
    if (!bytes) return STATUS_SUCCESS;
    size_t length = destination->Length;
    if (length + bytes > destination->MaximumLength || !destination->Buffer) return STATUS_BUFFER_TOO_SMALL;
    std::memmove((char*)destination->Buffer + length, source, bytes);
    length += bytes;
    destination->Length = (USHORT)length;
    if (length + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

void free_string(void* buffer, const void* caller) {
    if (buffer) hvsim::pool::free(buffer, string_tag, true, caller);
}

} // namespace

HV_EXTERN_C_BEGIN

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!DestinationString) return;
    size_t bytes = SourceString ? wcslen(SourceString) * sizeof(WCHAR) : 0;
    if (bytes > max_wide_length) bytes = max_wide_length;
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = SourceString ? (USHORT)(bytes + sizeof(WCHAR)) : 0;
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    if (!DestinationString) return;
    size_t length = SourceString ? std::strlen(SourceString) : 0;
    if (length > max_ansi_length - 1) length = max_ansi_length - 1;
    DestinationString->Length = (USHORT)length;
    DestinationString->MaximumLength = SourceString ? (USHORT)(length + 1) : 0;
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
    RtlInitAnsiString(DestinationString, SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!DestinationString) return;
    if (!SourceString || !SourceString->Buffer || !DestinationString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    size_t bytes = std::min<size_t>(SourceString->Length, DestinationString->MaximumLength) & ~(size_t)1;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = (USHORT)bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

VOID RtlCopyString(PSTRING DestinationString, const STRING* SourceString) {
    if (!DestinationString) return;
    if (!SourceString || !SourceString->Buffer || !DestinationString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    size_t bytes = std::min<size_t>(SourceString->Length, DestinationString->MaximumLength);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = (USHORT)bytes;
    if (bytes < DestinationString->MaximumLength) DestinationString->Buffer[bytes] = 0;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source) return Destination ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    return append(Destination, Source, wcslen(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!Source || !Source->Length) return Destination ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    if (!Source->Buffer) return STATUS_INVALID_PARAMETER;
    return append(Destination, Source->Buffer, Source->Length & ~1u);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1 && String1->Buffer ? String1->Length / sizeof(WCHAR) : 0;
    size_t n2 = String2 && String2->Buffer ? String2->Length / sizeof(WCHAR) : 0;
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = fold(String1->Buffer[i], CaseInSensitive), b = fold(String2->Buffer[i], CaseInSensitive);
        if (a != b) return (LONG)a - (LONG)b;
    }
    return (LONG)n1 - (LONG)n2;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1 && String1->Buffer ? String1->Length / sizeof(WCHAR) : 0;
    size_t n2 = String2 && String2->Buffer ? String2->Length / sizeof(WCHAR) : 0;
    return n1 == n2 && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1 && String1->Buffer ? String1->Length / sizeof(WCHAR) : 0;
    size_t n2 = String2 && String2->Buffer ? String2->Length / sizeof(WCHAR) : 0;
    if (n1 > n2) return FALSE;
    for (size_t i = 0; i < n1; ++i)
        if (fold(String1->Buffer[i], CaseInSensitive) != fold(String2->Buffer[i], CaseInSensitive)) return FALSE;
    return TRUE;
}

BOOLEAN RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1 && String1->Buffer ? String1->Length : 0;
    size_t n2 = String2 && String2->Buffer ? String2->Length : 0;
    if (n1 != n2) return FALSE;
    for (size_t i = 0; i < n1; ++i) {
        char a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= 'a' && a <= 'z') a = (char)(a - 32);
            if (b >= 'a' && b <= 'z') b = (char)(b - 32);
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString || (SourceString->Length && !SourceString->Buffer))
        return STATUS_INVALID_PARAMETER;
    size_t bytes = SourceString->Length & ~(size_t)1;
    if (AllocateDestinationString) {
        auto* buffer = (PWSTR)hvsim::pool::allocate(PagedPool, bytes, string_tag, __builtin_return_address(0));
        if (!buffer) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)bytes;
    } else if (bytes > DestinationString->MaximumLength || (bytes && !DestinationString->Buffer)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < bytes / sizeof(WCHAR); ++i)
        DestinationString->Buffer[i] = RtlUpcaseUnicodeChar(SourceString->Buffer[i]);
    DestinationString->Length = (USHORT)bytes;
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (!UnicodeString) return;
    free_string(UnicodeString->Buffer, __builtin_return_address(0));
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (!AnsiString) return;
    free_string(AnsiString->Buffer, __builtin_return_address(0));
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = (const unsigned char*)Source1;
    auto* b = (const unsigned char*)Source2;
    SIZE_T n = 0;
    while (n < Length && a[n] == b[n]) ++n;
    return n;
}

HV_EXTERN_C_END
