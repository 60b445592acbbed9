// Registry values by path, relative to the kernel's well-known roots.
//
//   RtlWriteRegistryValue RtlDeleteRegistryValue RtlCheckRegistryKey RtlCreateRegistryKey
//
// Built on the Zw routines, as on Windows; a missing key is never created except by
// RtlCreateRegistryKey.
#include <wdm.h>

#include <string>

namespace {

const char16_t* const roots[RTL_REGISTRY_MAXIMUM] = {
    u"",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\Registry\\Machine\\Hardware\\DeviceMap",
    u"\\Registry\\User\\CurrentUser",
};

// Opens or creates the key that RelativeTo and Path name; *close tells whether the handle is ours.
NTSTATUS open_key(ULONG RelativeTo, PCWSTR Path, ACCESS_MASK access, bool create, HANDLE* key, bool* close) {
    *close = false;
    ULONG root = RelativeTo & ~RTL_REGISTRY_OPTIONAL;
    if (root & RTL_REGISTRY_HANDLE) {
        if (create) return STATUS_INVALID_PARAMETER;
        *key = (HANDLE)Path;
        return STATUS_SUCCESS;
    }
    if (root >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
    std::u16string path = roots[root];
    if (Path && *Path) {
        if (root != RTL_REGISTRY_ABSOLUTE && Path[0] != u'\\') path += u'\\';
        path += Path;
    }
    if (path.empty()) return STATUS_INVALID_PARAMETER;
    UNICODE_STRING name;
    name.Buffer = path.data();
    name.Length = (USHORT)(path.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    if (path.size() * sizeof(WCHAR) > 0xFFFC) return STATUS_OBJECT_NAME_INVALID;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS status = create ? ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr)
                             : ZwOpenKey(key, access, &attributes);
    *close = NT_SUCCESS(status);
    return status;
}

// Runs an operation on the key and closes the key again when it was opened here.
template <typename Operation>
NTSTATUS with_key(ULONG RelativeTo, PCWSTR Path, ACCESS_MASK access, bool create, Operation operation) {
    HANDLE key;
    bool close;
    NTSTATUS status = open_key(RelativeTo, Path, access, create, &key, &close);
    if (NT_SUCCESS(status)) status = operation(key);
    if (close) ZwClose(key);
    return status;
}

UNICODE_STRING value_name(PCWSTR ValueName) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    return name;
}

} // namespace

HV_EXTERN_C_BEGIN

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
    return with_key(RelativeTo, Path, KEY_SET_VALUE, false, [&](HANDLE key) {
        UNICODE_STRING name = value_name(ValueName);
        return ZwSetValueKey(key, &name, 0, ValueType, ValueData, ValueLength);
    });
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    return with_key(RelativeTo, Path, KEY_SET_VALUE, false, [&](HANDLE key) {
        UNICODE_STRING name = value_name(ValueName);
        return ZwDeleteValueKey(key, &name);
    });
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    return with_key(RelativeTo, Path, KEY_READ, false, [](HANDLE) { return STATUS_SUCCESS; });
}

// Creates the last key of the path; its parent must exist.
NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    return with_key(RelativeTo, Path, KEY_ALL_ACCESS, true, [](HANDLE) { return STATUS_SUCCESS; });
}

HV_EXTERN_C_END
