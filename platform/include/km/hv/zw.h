// Zw: the registry for kernel mode.
//
//   ZwCreateKey ZwOpenKey ZwQueryValueKey ZwSetValueKey ZwDeleteKey ZwDeleteValueKey
//   ZwEnumerateKey ZwEnumerateValueKey ZwQueryKey ZwFlushKey (ZwClose: hv/ob.h)
//
// Paths are "\Registry\Machine\..." and "\Registry\User\...", or relative to the key handle in
// ObjectAttributes->RootDirectory; names are compared without regard to case and keep the case
// they were created with. Subkeys and values enumerate in creation order. As on Windows for
// kernel-mode callers, the access a handle was opened with is recorded but not enforced.
//
// Information results: ResultLength is always the size the whole answer needs.
// STATUS_BUFFER_TOO_SMALL when the buffer cannot hold the fixed part of the structure (nothing
// written); STATUS_BUFFER_OVERFLOW when it holds the fixed part but not all of the rest (the fixed
// part is filled, the name copied as far as it fits, no data).
#pragma once

#include <ntdef.h>
#include <hv/ob.h>

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

// Key access rights.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_32KEY 0x0200
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_RES 0x0300
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                                  \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                   \
     (~SYNCHRONIZE))

// Create options and dispositions.
#define REG_OPTION_RESERVED 0x00000000
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001 // kept in memory only, never saved
#define REG_OPTION_CREATE_LINK 0x00000002
#define REG_OPTION_BACKUP_RESTORE 0x00000004
#define REG_OPTION_OPEN_LINK 0x00000008
#define REG_LEGAL_OPTION 0x0000000F
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

typedef enum _KEY_INFORMATION_CLASS {
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2,
    KeyNameInformation = 3,
    KeyCachedInformation = 4,
    KeyFlagsInformation = 5,
    KeyVirtualizationInformation = 6,
    KeyHandleTagsInformation = 7,
    MaxKeyInfoClass
} KEY_INFORMATION_CLASS;

typedef struct _KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

// The class name follows the name at ClassOffset (0xFFFFFFFF when the key has none).
typedef struct _KEY_NODE_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NODE_INFORMATION, *PKEY_NODE_INFORMATION;

typedef struct _KEY_FULL_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG SubKeys;
    ULONG MaxNameLen;
    ULONG MaxClassLen;
    ULONG Values;
    ULONG MaxValueNameLen;
    ULONG MaxValueDataLen;
    WCHAR Class[1];
} KEY_FULL_INFORMATION, *PKEY_FULL_INFORMATION;

// The key's full path ("\REGISTRY\MACHINE\..." in the case the keys were created with).
typedef struct _KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
    KeyValueFullInformationAlign64 = 3,
    KeyValuePartialInformationAlign64 = 4,
    MaxKeyValueInfoClass
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

// The data follows the name at DataOffset, aligned to 4 bytes (8 for the Align64 class).
typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

// The data begins at offset 8.
typedef struct _KEY_VALUE_PARTIAL_INFORMATION_ALIGN64 {
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, *PKEY_VALUE_PARTIAL_INFORMATION_ALIGN64;

static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "partial information header");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "partial information size");
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20, "full information header");
static_assert(FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) == 16, "key basic information header");
static_assert(FIELD_OFFSET(KEY_NODE_INFORMATION, Name) == 24, "key node information header");
static_assert(FIELD_OFFSET(KEY_FULL_INFORMATION, Class) == 44, "key full information header");

HV_EXTERN_C_BEGIN

// Opens the key, or creates it when missing; only the last component is created (a missing parent
// is STATUS_OBJECT_NAME_NOT_FOUND). Disposition (optional) tells which happened.
HV_API NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
// STATUS_OBJECT_NAME_NOT_FOUND for a missing key.
HV_API NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
// STATUS_CANNOT_DELETE when the key has subkeys. The handle stays open; every later operation on
// it gives STATUS_KEY_DELETED.
HV_API NTSTATUS ZwDeleteKey(HANDLE KeyHandle);
HV_API NTSTATUS ZwFlushKey(HANDLE KeyHandle);

// A NULL or empty value name is the key's default value. STATUS_OBJECT_NAME_NOT_FOUND for a
// missing value.
HV_API NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                ULONG Length, PULONG ResultLength);
// Stores exactly the bytes given, whatever the type.
HV_API NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                              PVOID Data, ULONG DataSize);
HV_API NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);

// STATUS_NO_MORE_ENTRIES past the last subkey / value.
HV_API NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                               PVOID KeyInformation, ULONG Length, PULONG ResultLength);
HV_API NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                    PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
HV_API NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                           ULONG Length, PULONG ResultLength);

extern __attribute__((visibility("default"))) POBJECT_TYPE* CmKeyObjectType;

HV_EXTERN_C_END
