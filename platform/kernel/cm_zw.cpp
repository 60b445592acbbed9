// The registry for kernel mode: key handles over the store, and the information structures.
//
//   ZwCreateKey ZwOpenKey ZwDeleteKey ZwFlushKey ZwQueryValueKey ZwSetValueKey ZwDeleteValueKey
//   ZwEnumerateKey ZwEnumerateValueKey ZwQueryKey CmKeyObjectType hvsim::registry::open_key_handles
//
// Registry routines are pageable code: a call at DISPATCH_LEVEL or above is a bug check.
#include <hvsim/kernel.h>
#include <hvsim/object.h>
#include <hvsim/registry.h>
#include <wdm.h>

#include <cstring>

namespace {

using hvsim::registry::Key;

struct KeyObject {
    Key key;
};

void destroy_key(void* body) { delete static_cast<KeyObject*>(body); }

_OBJECT_TYPE key_type = {"Key", destroy_key};
POBJECT_TYPE key_type_pointer = &key_type;

constexpr ULONG align4(ULONG n) { return (n + 3) & ~3u; }
constexpr ULONG align8(ULONG n) { return (n + 7) & ~7u; }

void check_irql(const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL,
                         std::string(routine) + " called at IRQL " + std::to_string(irql));
}

ACCESS_MASK map_access(ACCESS_MASK desired) {
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) granted |= KEY_READ;
    if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) granted |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
    return granted;
}

NTSTATUS key_of(HANDLE handle, Key* key) {
    void* body = nullptr;
    NTSTATUS status = hvsim::ob::reference_by_handle(handle, &key_type, &body);
    if (!NT_SUCCESS(status)) return status;
    *key = static_cast<KeyObject*>(body)->key;
    hvsim::ob::dereference(body);
    return STATUS_SUCCESS;
}

NTSTATUS text_of(PCUNICODE_STRING s, std::u16string_view* out) {
    *out = {};
    if (!s || !s->Length) return STATUS_SUCCESS;
    if (!s->Buffer || (s->Length & 1) || s->Length > s->MaximumLength) return STATUS_INVALID_PARAMETER;
    *out = std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// The base key and the path that ObjectAttributes name.
NTSTATUS resolve(POBJECT_ATTRIBUTES attributes, Key* base, std::u16string_view* path) {
    if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = text_of(attributes->ObjectName, path);
    if (!NT_SUCCESS(status)) return STATUS_OBJECT_NAME_INVALID;
    base->reset();
    if (attributes->RootDirectory) return key_of(attributes->RootDirectory, base);
    return STATUS_SUCCESS;
}

HANDLE make_handle(const Key& key, ACCESS_MASK access) {
    auto* object = new KeyObject{key};
    hvsim::ob::insert_object(object, &key_type);
    HANDLE handle = hvsim::ob::create_handle(object, map_access(access));
    hvsim::ob::dereference(object); // the handle holds the object now
    return handle;
}

// Hands out an information structure built whole: STATUS_BUFFER_TOO_SMALL when the buffer cannot
// hold the fixed part, STATUS_BUFFER_OVERFLOW with the first min(Length, partial_end) bytes when
// it cannot hold everything.
NTSTATUS deliver(const std::vector<uint8_t>& info, ULONG fixed, ULONG partial_end, PVOID buffer, ULONG length,
                 PULONG result_length) {
    *result_length = (ULONG)info.size();
    if (!buffer) length = 0;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    if (length < info.size()) {
        std::memcpy(buffer, info.data(), std::min<size_t>(length, partial_end));
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(buffer, info.data(), info.size());
    return STATUS_SUCCESS;
}

template <typename T> void put(std::vector<uint8_t>& info, size_t offset, T value) {
    std::memcpy(info.data() + offset, &value, sizeof value);
}

void put_text(std::vector<uint8_t>& info, size_t offset, const std::u16string& text) {
    if (!text.empty()) std::memcpy(info.data() + offset, text.data(), text.size() * 2);
}

NTSTATUS value_information(const hvsim::registry::Value& v, KEY_VALUE_INFORMATION_CLASS information_class, PVOID buffer,
                           ULONG length, PULONG result_length) {
    ULONG name_bytes = (ULONG)(v.name.size() * 2);
    ULONG data_bytes = (ULONG)v.data.size();
    std::vector<uint8_t> info;
    switch (information_class) {
    case KeyValueBasicInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        info.assign(fixed + name_bytes, 0);
        put<ULONG>(info, 4, v.type);
        put<ULONG>(info, 8, name_bytes);
        put_text(info, fixed, v.name);
        return deliver(info, fixed, (ULONG)info.size(), buffer, length, result_length);
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        ULONG data_offset =
            information_class == KeyValueFullInformation ? align4(fixed + name_bytes) : align8(fixed + name_bytes);
        info.assign(data_offset + data_bytes, 0);
        put<ULONG>(info, 4, v.type);
        put<ULONG>(info, 8, data_offset);
        put<ULONG>(info, 12, data_bytes);
        put<ULONG>(info, 16, name_bytes);
        put_text(info, fixed, v.name);
        if (data_bytes) std::memcpy(info.data() + data_offset, v.data.data(), data_bytes);
        return deliver(info, fixed, fixed + name_bytes, buffer, length, result_length);
    }
    case KeyValuePartialInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        info.assign(fixed + data_bytes, 0);
        put<ULONG>(info, 4, v.type);
        put<ULONG>(info, 8, data_bytes);
        if (data_bytes) std::memcpy(info.data() + fixed, v.data.data(), data_bytes);
        return deliver(info, fixed, fixed, buffer, length, result_length);
    }
    case KeyValuePartialInformationAlign64: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
        info.assign(fixed + data_bytes, 0);
        put<ULONG>(info, 0, v.type);
        put<ULONG>(info, 4, data_bytes);
        if (data_bytes) std::memcpy(info.data() + fixed, v.data.data(), data_bytes);
        return deliver(info, fixed, fixed, buffer, length, result_length);
    }
    default: return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS key_information(const Key& key, const hvsim::registry::KeyInfo& k, KEY_INFORMATION_CLASS information_class,
                         PVOID buffer, ULONG length, PULONG result_length) {
    ULONG name_bytes = (ULONG)(k.name.size() * 2);
    ULONG class_bytes = (ULONG)(k.class_name.size() * 2);
    std::vector<uint8_t> info;
    switch (information_class) {
    case KeyBasicInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        info.assign(fixed + name_bytes, 0);
        put<LONGLONG>(info, 0, k.last_write_time);
        put<ULONG>(info, 12, name_bytes);
        put_text(info, fixed, k.name);
        return deliver(info, fixed, (ULONG)info.size(), buffer, length, result_length);
    }
    case KeyNodeInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        ULONG class_offset = class_bytes ? align4(fixed + name_bytes) : MAXULONG;
        info.assign(class_bytes ? class_offset + class_bytes : fixed + name_bytes, 0);
        put<LONGLONG>(info, 0, k.last_write_time);
        put<ULONG>(info, 12, class_offset);
        put<ULONG>(info, 16, class_bytes);
        put<ULONG>(info, 20, name_bytes);
        put_text(info, fixed, k.name);
        if (class_bytes) put_text(info, class_offset, k.class_name);
        return deliver(info, fixed, fixed + name_bytes, buffer, length, result_length);
    }
    case KeyFullInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        info.assign(fixed + class_bytes, 0);
        put<LONGLONG>(info, 0, k.last_write_time);
        put<ULONG>(info, 12, class_bytes ? fixed : MAXULONG);
        put<ULONG>(info, 16, class_bytes);
        put<ULONG>(info, 20, (ULONG)k.subkeys);
        put<ULONG>(info, 24, (ULONG)k.max_subkey_name_bytes);
        put<ULONG>(info, 28, (ULONG)k.max_subkey_class_bytes);
        put<ULONG>(info, 32, (ULONG)k.values);
        put<ULONG>(info, 36, (ULONG)k.max_value_name_bytes);
        put<ULONG>(info, 40, (ULONG)k.max_value_data_bytes);
        put_text(info, fixed, k.class_name);
        return deliver(info, fixed, fixed, buffer, length, result_length);
    }
    case KeyNameInformation: {
        if (!key) return STATUS_INVALID_PARAMETER;
        std::u16string path = hvsim::registry::path_of(key);
        ULONG fixed = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
        info.assign(fixed + path.size() * 2, 0);
        put<ULONG>(info, 0, (ULONG)(path.size() * 2));
        put_text(info, fixed, path);
        return deliver(info, fixed, (ULONG)info.size(), buffer, length, result_length);
    }
    default: return STATUS_INVALID_PARAMETER;
    }
}

} // namespace

namespace hvsim::registry {
size_t open_key_handles() { return ob::open_handle_count(&key_type); }
} // namespace hvsim::registry

HV_EXTERN_C_BEGIN

POBJECT_TYPE* CmKeyObjectType = &key_type_pointer;

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    check_irql("ZwCreateKey");
    if (!KeyHandle) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    if (CreateOptions & ~REG_LEGAL_OPTION) return STATUS_INVALID_PARAMETER;
    Key base;
    std::u16string_view path;
    NTSTATUS status = resolve(ObjectAttributes, &base, &path);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view class_name;
    if (!NT_SUCCESS(text_of(Class, &class_name))) return STATUS_INVALID_PARAMETER;
    hvsim::registry::CreateOptions options;
    options.is_volatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
    options.class_name = std::u16string(class_name);
    Key key;
    bool created = false;
    status = hvsim::registry::create(base, path, &key, &created, options);
    if (!NT_SUCCESS(status)) return status;
    *KeyHandle = make_handle(key, DesiredAccess);
    if (Disposition) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    check_irql("ZwOpenKey");
    if (!KeyHandle) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    Key base;
    std::u16string_view path;
    NTSTATUS status = resolve(ObjectAttributes, &base, &path);
    if (!NT_SUCCESS(status)) return status;
    Key key;
    status = hvsim::registry::open(base, path, &key);
    if (!NT_SUCCESS(status)) return status;
    *KeyHandle = make_handle(key, DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    check_irql("ZwDeleteKey");
    Key key;
    NTSTATUS status = key_of(KeyHandle, &key);
    return NT_SUCCESS(status) ? hvsim::registry::delete_key(key) : status;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    check_irql("ZwFlushKey");
    Key key;
    NTSTATUS status = key_of(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    if (hvsim::registry::is_deleted(key)) return STATUS_KEY_DELETED;
    hvsim::registry::save();
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
                         PULONG ResultLength) {
    check_irql("ZwQueryValueKey");
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    Key key;
    NTSTATUS status = key_of(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (!NT_SUCCESS(text_of(ValueName, &name))) return STATUS_INVALID_PARAMETER;
    if (KeyValueInformationClass < KeyValueBasicInformation || KeyValueInformationClass >= MaxKeyValueInfoClass)
        return STATUS_INVALID_PARAMETER;
    hvsim::registry::Value v;
    status = hvsim::registry::query_value(key, name, &v);
    if (!NT_SUCCESS(status)) return status;
    return value_information(v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    check_irql("ZwSetValueKey");
    Key key;
    NTSTATUS status = key_of(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (!NT_SUCCESS(text_of(ValueName, &name))) return STATUS_INVALID_PARAMETER;
    return hvsim::registry::set_value(key, name, Type, Data, DataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    check_irql("ZwDeleteValueKey");
    Key key;
    NTSTATUS status = key_of(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view name;
    if (!NT_SUCCESS(text_of(ValueName, &name))) return STATUS_INVALID_PARAMETER;
    return hvsim::registry::delete_value(key, name);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                        ULONG Length, PULONG ResultLength) {
    check_irql("ZwEnumerateKey");
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    Key key;
    NTSTATUS status = key_of(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    if (KeyInformationClass != KeyBasicInformation && KeyInformationClass != KeyNodeInformation &&
        KeyInformationClass != KeyFullInformation)
        return STATUS_INVALID_PARAMETER;
    hvsim::registry::KeyInfo info;
    status = hvsim::registry::enum_key(key, Index, &info);
    if (!NT_SUCCESS(status)) return status;
    return key_information(nullptr, info, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    check_irql("ZwEnumerateValueKey");
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    Key key;
    NTSTATUS status = key_of(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    if (KeyValueInformationClass < KeyValueBasicInformation || KeyValueInformationClass >= MaxKeyValueInfoClass)
        return STATUS_INVALID_PARAMETER;
    hvsim::registry::Value v;
    status = hvsim::registry::enum_value(key, Index, &v);
    if (!NT_SUCCESS(status)) return status;
    return value_information(v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength) {
    check_irql("ZwQueryKey");
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    Key key;
    NTSTATUS status = key_of(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    hvsim::registry::KeyInfo info;
    status = hvsim::registry::query_key(key, &info);
    if (!NT_SUCCESS(status)) return status;
    return key_information(key, info, KeyInformationClass, KeyInformation, Length, ResultLength);
}

HV_EXTERN_C_END
