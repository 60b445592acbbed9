// Rtl: counted strings, code-page conversions, integers and GUIDs as text, memory, registry values.
//
//   RtlInitUnicodeString RtlInitAnsiString RtlInitString RtlCopyUnicodeString RtlCopyString
//   RtlAppendUnicodeToString RtlAppendUnicodeStringToString RtlCompareUnicodeString
//   RtlEqualUnicodeString RtlPrefixUnicodeString RtlEqualString RtlUpcaseUnicodeString
//   RtlUpcaseUnicodeChar RtlDowncaseUnicodeChar RtlUnicodeStringToAnsiString
//   RtlAnsiStringToUnicodeString RtlFreeUnicodeString RtlFreeAnsiString RtlxAnsiStringToUnicodeSize
//   RtlxUnicodeStringToAnsiSize NlsMbCodePageTag RtlUnicodeStringToInteger RtlIntegerToUnicodeString
//   RtlIntegerToChar RtlCharToInteger RtlStringFromGUID RtlGUIDFromString RtlZeroMemory
//   RtlCopyMemory RtlMoveMemory RtlFillMemory RtlCompareMemory RtlEqualMemory RtlWriteRegistryValue
//   RtlDeleteRegistryValue RtlCheckRegistryKey RtlCreateRegistryKey RtlAssert
//
// Lengths are in bytes. The ANSI code page is Windows-1252, single-byte (NlsMbCodePageTag is
// FALSE); characters it cannot represent become '?'. Strings the routines allocate come from
// PagedPool under the tag "Strg" and are freed with RtlFreeUnicodeString / RtlFreeAnsiString.
#pragma once

#include <ntdef.h>
#include <hv_wchar.h>

#include <string.h>

typedef CHAR* PSZ;
typedef const CHAR* PCSZ;

HV_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Counted strings. A NULL source gives an empty string with no buffer. Lengths are capped at
// 0xFFFC (wide) and 0xFFFE (ANSI) bytes.
HV_API VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
HV_API VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
HV_API VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString);

// Copies as much as MaximumLength allows, terminated when there is room; NULL source: Length 0.
HV_API VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
HV_API VOID RtlCopyString(PSTRING DestinationString, const STRING* SourceString);
// STATUS_BUFFER_TOO_SMALL (nothing written) when the result does not fit; terminated when room.
HV_API NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
HV_API NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// Difference of the first differing characters, else of the lengths.
HV_API LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
HV_API BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
// TRUE when String1 is a prefix of String2.
HV_API BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
HV_API BOOLEAN RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive);

HV_API WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
HV_API WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
// Allocate TRUE: a new buffer of exactly Source->Length bytes. FALSE: STATUS_BUFFER_OVERFLOW when
// the destination is too small (nothing written). No terminator is written.
HV_API NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                       BOOLEAN AllocateDestinationString);

// ---------------------------------------------------------------------------------------------
// Code-page conversions.
//
// RtlUnicodeStringToAnsiString: Allocate TRUE gives MaximumLength = characters + 1. FALSE: when
// the text does not fit with its terminator, as much as fits is written and terminated (Length =
// MaximumLength - 1) and the result is STATUS_BUFFER_OVERFLOW. A result above 0xFFFF bytes:
// STATUS_INVALID_PARAMETER_2.
HV_API NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                             BOOLEAN AllocateDestinationString);
// RtlAnsiStringToUnicodeString: Allocate TRUE gives MaximumLength = Length + 2. FALSE: when the
// text does not fit with its terminator, STATUS_BUFFER_OVERFLOW and the destination is untouched.
HV_API NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                             BOOLEAN AllocateDestinationString);
HV_API VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
HV_API VOID RtlFreeAnsiString(PANSI_STRING AnsiString);

// Sizes of the converted text in bytes, terminator included.
HV_API ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString);
HV_API ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString);
#define RtlAnsiStringToUnicodeSize(s) RtlxAnsiStringToUnicodeSize(s)
#define RtlUnicodeStringToAnsiSize(s) RtlxUnicodeStringToAnsiSize(s)

// TRUE when the ANSI code page is a multibyte one; always FALSE here.
extern __attribute__((visibility("default"))) PBOOLEAN NlsMbCodePageTag;
#define NLS_MB_CODE_PAGE_TAG (*NlsMbCodePageTag)

// ---------------------------------------------------------------------------------------------
// Integers as text.
//
// RtlUnicodeStringToInteger / RtlCharToInteger: leading white space, an optional sign; base 0
// takes the prefixes 0x, 0o and 0b (else decimal); bases 2, 8, 10 and 16 only, else
// STATUS_INVALID_PARAMETER. Reading stops at the first character that is not a digit of the base,
// and the result is STATUS_SUCCESS even when no digit was read (value 0).
HV_API NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
HV_API NTSTATUS RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value);
// Base 0 means 10; upper-case digits. STATUS_BUFFER_OVERFLOW (nothing written) when the digits do
// not fit; the terminator is written only when there is room for it.
HV_API NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
HV_API NTSTATUS RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PSZ String);

// ---------------------------------------------------------------------------------------------
// GUIDs as text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case. RtlStringFromGUID allocates
// (free with RtlFreeUnicodeString); RtlGUIDFromString accepts either case and nothing else.
HV_API NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);
HV_API NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);

// ---------------------------------------------------------------------------------------------
// Memory.
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Source1, Source2, Length) (!memcmp((Source1), (Source2), (Length)))
// The number of leading bytes that are equal.
HV_API SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------------------------
// Registry values by path. RelativeTo is one of the roots below, optionally with
// RTL_REGISTRY_OPTIONAL; RTL_REGISTRY_HANDLE makes Path an open key handle. A missing key is
// never created: STATUS_OBJECT_NAME_NOT_FOUND.
#define RTL_REGISTRY_ABSOLUTE 0   // the path is absolute
#define RTL_REGISTRY_SERVICES 1   // \Registry\Machine\System\CurrentControlSet\Services
#define RTL_REGISTRY_CONTROL 2    // \Registry\Machine\System\CurrentControlSet\Control
#define RTL_REGISTRY_WINDOWS_NT 3 // \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
#define RTL_REGISTRY_DEVICEMAP 4  // \Registry\Machine\Hardware\DeviceMap
#define RTL_REGISTRY_USER 5       // \Registry\User\CurrentUser
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

HV_API NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                      PVOID ValueData, ULONG ValueLength);
HV_API NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
HV_API NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);
// Creates the last key of the path; its parent must exist.
HV_API NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);

// ---------------------------------------------------------------------------------------------
// A failed assertion: logs "*** Assertion failed: ..." with the file and line to the debugger log,
// then breaks (DbgBreakPoint, which does not stop the machine).
HV_API VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage);

HV_EXTERN_C_END
