// The Win32 registry API (advapi32) over the machine's one registry store.
//
//   RegCreateKeyEx/RegCreateKey, RegOpenKeyEx/RegOpenKey, RegCloseKey, RegFlushKey
//   RegQueryValueEx, RegSetValueEx, RegDeleteValue
//   RegEnumKeyEx/RegEnumKey, RegEnumValue, RegQueryInfoKey
//   RegDeleteKey/RegDeleteKeyEx (a key with subkeys is refused, as on Windows NT; on Windows 9x
//   RegDeleteKeyA takes the subtree with it)
//   RegGetKeySecurity, RegSetKeySecurity
//
// Handles carry the access they were opened with and every call checks it. Opening checks the
// key's DACL against the calling process's token; a key without a descriptor is open to everyone,
// and so is every key on Windows 9x, which has no registry security. Names are counted in characters, data in bytes;
// the narrow forms convert names and string data through the ANSI code page.
#include "internal/registry_store.h"

#include <winternl.h>

#include <hvsim/format.h>
#include <hvsim/security.h>
#include <hvsim/user_hooks.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "internal/security_internal.h"
#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

struct HandleEntry {
    registry::Key key;
    ACCESS_MASK granted;
    DWORD process; // closed when this process ends
};

struct Handles {
    std::mutex mutex;
    std::map<uintptr_t, HandleEntry> open;
    uintptr_t next = 0x1000;
};
Handles& handles() {
    static Handles* h = new Handles;
    return *h;
}

// Predefined handles are sign-extended 32-bit values (0xFFFFFFFF80000002 for HKLM).
uintptr_t predefined_value(HKEY handle) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if ((value >> 32) == 0xFFFFFFFFu) value &= 0xFFFFFFFFu;
    return value;
}

bool is_predefined(HKEY handle) {
    auto value = predefined_value(handle);
    return value >= 0x80000000u && value <= 0x80000005u;
}

std::u16string_view predefined_path(HKEY handle) {
    switch (predefined_value(handle)) {
    case 0x80000000u: return u"\\Registry\\Machine\\SOFTWARE\\Classes";
    case 0x80000001u: return u"\\Registry\\User\\CurrentUser";
    case 0x80000002u: return u"\\Registry\\Machine";
    case 0x80000003u: return u"\\Registry\\User";
    case 0x80000005u: return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";
    default: return {};
    }
}

HKEY insert_handle(registry::Key key, ACCESS_MASK granted) {
    auto& h = handles();
    std::lock_guard lock(h.mutex);
    uintptr_t value = h.next;
    h.next += 4;
    h.open[value] = {std::move(key), granted, current_process()->id()};
    return reinterpret_cast<HKEY>(value);
}

// ---- Security descriptors ---------------------------------------------------------------------

// What a key's descriptor lacks is everyone's: a key without one, or with a NULL DACL.
const std::vector<uint8_t>& open_descriptor() {
    static const std::vector<uint8_t> d = security::build(
        {std::string(security::kAdministrators), {}, true, {{std::string(security::kEveryone), KEY_ALL_ACCESS}}});
    return d;
}

// A descriptor made of parts of two self-relative ones: `info` names the parts taken from
// `update`.
std::vector<BYTE> merge(const std::vector<BYTE>& current, const std::vector<BYTE>& update, SECURITY_INFORMATION info) {
    security::Descriptor c = security::parse(current).value_or(security::Descriptor{});
    security::Descriptor u = security::parse(update).value_or(security::Descriptor{});
    security::Descriptor out;
    out.owner = (info & OWNER_SECURITY_INFORMATION) ? u.owner : c.owner;
    out.group = (info & GROUP_SECURITY_INFORMATION) ? u.group : c.group;
    const security::Descriptor& dacl = (info & DACL_SECURITY_INFORMATION) ? u : c;
    out.dacl_present = dacl.dacl_present;
    out.dacl = dacl.dacl;
    return security::build(out);
}

} // namespace

DWORD registry_error(NTSTATUS status) {
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) return ERROR_FILE_NOT_FOUND;
    if (status == STATUS_NO_MORE_ENTRIES) return ERROR_NO_MORE_ITEMS;
    if (status == STATUS_OBJECT_NAME_INVALID) return ERROR_INVALID_NAME;
    return RtlNtStatusToDosError(status);
}

ACCESS_MASK map_key_access(REGSAM access) {
    ACCESS_MASK mask =
        access & ~ACCESS_MASK(KEY_WOW64_RES | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) mask |= KEY_READ;
    if (access & GENERIC_WRITE) mask |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) mask |= KEY_EXECUTE;
    if (access & GENERIC_ALL) mask |= KEY_ALL_ACCESS;
    return mask;
}

ACCESS_MASK granted_access(const registry::Key& key) {
    if (windows_9x()) return KEY_ALL_ACCESS;
    std::vector<uint8_t> descriptor;
    if (!NT_SUCCESS(registry::get_security(key, &descriptor)) || descriptor.empty()) return KEY_ALL_ACCESS;
    std::optional<security::Descriptor> parsed = security::parse(descriptor);
    if (!parsed) return 0;
    if (!parsed->dacl_present) return KEY_ALL_ACCESS;
    std::shared_ptr<Token> token = current_token();
    ACCESS_MASK allowed = 0, denied = 0;
    for (const auto& entry : parsed->dacl) {
        if (entry.flags & INHERIT_ONLY_ACE) continue;
        ACCESS_MASK mask = map_key_access(entry.mask);
        if (entry.deny) {
            if (token_holds(*token, entry.sid, true)) denied |= mask & ~allowed;
        } else if (token_holds(*token, entry.sid, false)) {
            allowed |= mask & ~denied;
        }
    }
    // The owner may always read and change the DACL.
    if (!parsed->owner.empty() && token_holds(*token, parsed->owner, false)) allowed |= READ_CONTROL | WRITE_DAC;
    return allowed;
}

registry::Key registry_key_of(HKEY handle, ACCESS_MASK* granted) {
    if (is_predefined(handle)) {
        registry::Key key;
        if (!NT_SUCCESS(registry::open(nullptr, predefined_path(handle), &key))) return nullptr;
        if (granted) *granted = KEY_ALL_ACCESS;
        return key;
    }
    auto& h = handles();
    std::lock_guard lock(h.mutex);
    auto it = h.open.find(reinterpret_cast<uintptr_t>(handle));
    if (it == h.open.end()) return nullptr;
    if (granted) *granted = it->second.granted;
    return it->second.key;
}

HKEY registry_handle(const registry::Key& key, REGSAM granted) { return insert_handle(key, map_key_access(granted)); }

registry::Key registry_key_of(HKEY handle) { return registry_key_of(handle, nullptr); }

void close_registry_handles_of(DWORD process) {
    auto& h = handles();
    std::lock_guard lock(h.mutex);
    std::erase_if(h.open, [&](const auto& entry) { return entry.second.process == process; });
}

size_t open_registry_handles() {
    auto& h = handles();
    std::lock_guard lock(h.mutex);
    return h.open.size();
}

std::vector<BYTE> make_security_descriptor(const std::vector<AccessEntry>& dacl, const std::string& owner) {
    security::Descriptor d;
    d.owner = owner;
    d.dacl_present = true;
    for (const auto& entry : dacl) d.dacl.push_back({entry.sid, entry.mask, entry.deny, entry.flags});
    return security::build(d);
}

std::optional<std::vector<AccessEntry>> dacl_of(const std::vector<BYTE>& descriptor) {
    std::optional<security::Descriptor> parsed = security::parse(descriptor);
    if (!parsed || !parsed->dacl_present) return std::nullopt;
    std::vector<AccessEntry> out;
    for (const auto& ace : parsed->dacl) out.push_back({ace.sid, ace.mask, ace.deny, ace.flags});
    return out;
}

} // namespace hvsim::user

using namespace hvsim;
using namespace hvsim::user;

namespace {

// The store's path syntax does not take a leading backslash in a relative path.
LSTATUS check_subkey(std::u16string_view subkey) {
    if (!subkey.empty() && subkey.front() == u'\\') return ERROR_BAD_PATHNAME;
    return ERROR_SUCCESS;
}

std::u16string trim_trailing(std::u16string_view path) {
    std::u16string out(path);
    while (!out.empty() && out.back() == u'\\') out.pop_back();
    return out;
}

LSTATUS open_key(HKEY parent, std::u16string_view subkey, REGSAM sam, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (LSTATUS e = check_subkey(subkey)) return e;
    registry::Key base = registry_key_of(parent, nullptr);
    if (!base) return ERROR_INVALID_HANDLE;
    registry::Key key;
    if (NTSTATUS s = registry::open(base, trim_trailing(subkey), &key); !NT_SUCCESS(s)) return registry_error(s);
    ACCESS_MASK wanted = map_key_access(sam);
    ACCESS_MASK granted = granted_access(key);
    if (wanted & MAXIMUM_ALLOWED) {
        wanted = granted;
    } else if ((wanted & granted) != wanted) {
        return ERROR_ACCESS_DENIED;
    }
    *result = insert_handle(std::move(key), wanted & ~ACCESS_MASK(MAXIMUM_ALLOWED));
    return ERROR_SUCCESS;
}

LSTATUS create_key(HKEY parent, std::u16string_view subkey, std::u16string_view class_name, DWORD options, REGSAM sam,
                   PHKEY result, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (LSTATUS e = check_subkey(subkey)) return e;
    ACCESS_MASK parent_access = 0;
    registry::Key base = registry_key_of(parent, &parent_access);
    if (!base) return ERROR_INVALID_HANDLE;
    std::u16string path = trim_trailing(subkey);
    registry::Key key;
    bool created = false;
    if (NT_SUCCESS(registry::open(base, path, &key))) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    } else {
        if (!(parent_access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        registry::CreateOptions create;
        create.create_parents = true;
        create.is_volatile = (options & REG_OPTION_VOLATILE) != 0;
        create.class_name = std::u16string(class_name);
        if (NTSTATUS s = registry::create(base, path, &key, &created, create); !NT_SUCCESS(s)) return registry_error(s);
        if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    ACCESS_MASK wanted = map_key_access(sam);
    ACCESS_MASK granted = granted_access(key);
    if (wanted & MAXIMUM_ALLOWED)
        wanted = granted;
    else if ((wanted & granted) != wanted)
        return ERROR_ACCESS_DENIED;
    *result = insert_handle(std::move(key), wanted);
    return ERROR_SUCCESS;
}

registry::Key key_with(HKEY handle, ACCESS_MASK needed, LSTATUS* error) {
    ACCESS_MASK granted = 0;
    registry::Key key = registry_key_of(handle, &granted);
    if (!key) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((granted & needed) != needed) {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    *error = ERROR_SUCCESS;
    return key;
}

bool is_string_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::u16string wide_of(const std::vector<uint8_t>& data) {
    std::u16string text(data.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * 2);
    return text;
}

// Copies `data` to the caller as RegQueryValueEx and RegEnumValue do.
LSTATUS give_data(const std::vector<uint8_t>& data, LPBYTE out, LPDWORD size) {
    if (!size) return out ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD available = *size;
    *size = DWORD(data.size());
    if (!out) return ERROR_SUCCESS;
    if (available < data.size()) return ERROR_MORE_DATA;
    if (!data.empty()) std::memcpy(out, data.data(), data.size());
    return ERROR_SUCCESS;
}

std::vector<uint8_t> narrow_data(DWORD type, std::vector<uint8_t> data) {
    if (!is_string_type(type)) return data;
    std::string text = text::wide_to_ansi(wide_of(data));
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> widen_data(DWORD type, const BYTE* data, DWORD size) {
    if (!data) return {};
    if (!is_string_type(type)) return std::vector<uint8_t>(data, data + size);
    std::u16string text = text::ansi_to_wide(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<uint8_t> out(text.size() * 2);
    if (!out.empty()) std::memcpy(out.data(), text.data(), out.size());
    return out;
}

LSTATUS query_value(HKEY handle, std::u16string_view name, LPDWORD type, LPBYTE data, LPDWORD size, bool narrow) {
    if (data && !size) return ERROR_INVALID_PARAMETER;
    LSTATUS error;
    registry::Key key = key_with(handle, KEY_QUERY_VALUE, &error);
    if (!key) return error;
    registry::Value value;
    if (NTSTATUS s = registry::query_value(key, name, &value); !NT_SUCCESS(s)) return registry_error(s);
    if (type) *type = value.type;
    return give_data(narrow ? narrow_data(value.type, std::move(value.data)) : value.data, data, size);
}

LSTATUS set_value(HKEY handle, std::u16string_view name, DWORD type, const BYTE* data, DWORD size, bool narrow) {
    if (!data && size) return ERROR_NOACCESS;
    LSTATUS error;
    registry::Key key = key_with(handle, KEY_SET_VALUE, &error);
    if (!key) return error;
    std::vector<uint8_t> bytes = narrow ? widen_data(type, data, size) : std::vector<uint8_t>(data, data + size);
    return registry_error(registry::set_value(key, name, type, bytes.data(), bytes.size()));
}

// Copies a name to a caller's buffer of *count characters (terminator included).
template <typename Char> LSTATUS give_name(const std::basic_string<Char>& name, Char* out, LPDWORD count) {
    if (!out || !count) return ERROR_INVALID_PARAMETER;
    if (name.size() >= *count) return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), out);
    out[name.size()] = 0;
    *count = DWORD(name.size());
    return ERROR_SUCCESS;
}

template <typename Char> std::basic_string<Char> convert_name(const std::u16string& name) {
    if constexpr (sizeof(Char) == 1)
        return text::wide_to_ansi(name);
    else
        return name;
}

template <typename Char>
LSTATUS enum_key(HKEY handle, DWORD index, Char* name, LPDWORD count, Char* class_name, LPDWORD class_count,
                 PFILETIME time) {
    LSTATUS error;
    registry::Key key = key_with(handle, KEY_ENUMERATE_SUB_KEYS, &error);
    if (!key) return error;
    registry::KeyInfo info;
    if (NTSTATUS s = registry::enum_key(key, index, &info); !NT_SUCCESS(s)) return registry_error(s);
    if (LSTATUS e = give_name(convert_name<Char>(info.name), name, count)) return e;
    if (class_count) {
        if (class_name) {
            if (LSTATUS e = give_name(convert_name<Char>(info.class_name), class_name, class_count)) return e;
        } else {
            *class_count = DWORD(info.class_name.size());
        }
    }
    if (time) {
        time->dwLowDateTime = DWORD(info.last_write_time);
        time->dwHighDateTime = DWORD(uint64_t(info.last_write_time) >> 32);
    }
    return ERROR_SUCCESS;
}

template <typename Char>
LSTATUS enum_value(HKEY handle, DWORD index, Char* name, LPDWORD count, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (data && !size) return ERROR_INVALID_PARAMETER;
    LSTATUS error;
    registry::Key key = key_with(handle, KEY_QUERY_VALUE, &error);
    if (!key) return error;
    registry::Value value;
    if (NTSTATUS s = registry::enum_value(key, index, &value); !NT_SUCCESS(s)) return registry_error(s);
    if (LSTATUS e = give_name(convert_name<Char>(value.name), name, count)) return e;
    if (type) *type = value.type;
    return give_data(sizeof(Char) == 1 ? narrow_data(value.type, std::move(value.data)) : value.data, data, size);
}

// `tree`: the key goes with everything below it, as RegDeleteKeyA does on Windows 9x.
LSTATUS delete_key(HKEY parent, std::u16string_view subkey, bool tree = false) {
    if (subkey.empty() && is_predefined(parent)) return ERROR_ACCESS_DENIED;
    HKEY target = nullptr;
    if (LSTATUS e = open_key(parent, subkey, DELETE, &target)) return e;
    registry::Key key = registry_key_of(target, nullptr);
    NTSTATUS s = tree ? registry::delete_tree(key) : registry::delete_key(key);
    RegCloseKey(target);
    return registry_error(s);
}

std::u16string wide(LPCSTR text) { return text ? text::ansi_to_wide(std::string_view(text)) : std::u16string(); }
std::u16string_view view(LPCWSTR text) { return text ? std::u16string_view(text) : std::u16string_view(); }

template <typename Char>
LSTATUS query_info(HKEY handle, Char* class_name, LPDWORD class_count, LPDWORD subkeys, LPDWORD max_subkey,
                   LPDWORD max_class, LPDWORD values, LPDWORD max_value_name, LPDWORD max_value, LPDWORD security,
                   PFILETIME time) {
    LSTATUS error;
    registry::Key key = key_with(handle, KEY_QUERY_VALUE, &error);
    if (!key) return error;
    registry::KeyInfo info;
    if (NTSTATUS s = registry::query_key(key, &info); !NT_SUCCESS(s)) return registry_error(s);
    if (class_name && class_count) {
        if (LSTATUS e = give_name(convert_name<Char>(info.class_name), class_name, class_count)) return e;
    } else if (class_count) {
        *class_count = DWORD(info.class_name.size());
    }
    if (subkeys) *subkeys = DWORD(info.subkeys);
    if (max_subkey) *max_subkey = DWORD(info.max_subkey_name_bytes / 2);
    if (max_class) *max_class = DWORD(info.max_subkey_class_bytes / 2);
    if (values) *values = DWORD(info.values);
    if (max_value_name) *max_value_name = DWORD(info.max_value_name_bytes / 2);
    if (max_value) *max_value = DWORD(info.max_value_data_bytes);
    if (security) {
        std::vector<uint8_t> descriptor;
        registry::get_security(key, &descriptor);
        *security = DWORD(descriptor.size());
    }
    if (time) {
        time->dwLowDateTime = DWORD(info.last_write_time);
        time->dwHighDateTime = DWORD(uint64_t(info.last_write_time) >> 32);
    }
    return ERROR_SUCCESS;
}

} // namespace

HV_EXTERN_C_BEGIN

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return create_key(hKey, view(lpSubKey), view(lpClass), dwOptions, samDesired, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return create_key(hKey, wide(lpSubKey), wide(lpClass), dwOptions, samDesired, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    return create_key(hKey, view(lpSubKey), {}, 0, MAXIMUM_ALLOWED, phkResult, nullptr);
}

LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return create_key(hKey, wide(lpSubKey), {}, 0, MAXIMUM_ALLOWED, phkResult, nullptr);
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return open_key(hKey, view(lpSubKey), samDesired, phkResult);
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return open_key(hKey, wide(lpSubKey), samDesired, phkResult);
}

LSTATUS WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    return open_key(hKey, view(lpSubKey), MAXIMUM_ALLOWED, phkResult);
}

LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return open_key(hKey, wide(lpSubKey), MAXIMUM_ALLOWED, phkResult);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (is_predefined(hKey)) return ERROR_SUCCESS;
    auto& h = handles();
    std::lock_guard lock(h.mutex);
    return h.open.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegFlushKey(HKEY hKey) { return registry_key_of(hKey, nullptr) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; }

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    return query_value(hKey, view(lpValueName), lpType, lpData, lpcbData, false);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    return query_value(hKey, wide(lpValueName), lpType, lpData, lpcbData, true);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    return set_value(hKey, view(lpValueName), dwType, lpData, cbData, false);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    return set_value(hKey, wide(lpValueName), dwType, lpData, cbData, true);
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    LSTATUS error;
    registry::Key key = key_with(hKey, KEY_SET_VALUE, &error);
    if (!key) return error;
    return registry_error(registry::delete_value(key, view(lpValueName)));
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    std::u16string name = wide(lpValueName);
    return RegDeleteValueW(hKey, name.c_str());
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                             LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return enum_key<char16_t>(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                             LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return enum_key<char>(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
}

LSTATUS WINAPI RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName) {
    return enum_key<char16_t>(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr);
}

LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    return enum_key<char>(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr);
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return enum_value<char16_t>(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return enum_value<char>(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return delete_key(hKey, lpSubKey);
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return delete_key(hKey, wide(lpSubKey), windows_9x());
}

LSTATUS WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM, DWORD) { return RegDeleteKeyW(hKey, lpSubKey); }

LSTATUS WINAPI RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM, DWORD) { return RegDeleteKeyA(hKey, lpSubKey); }

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                PFILETIME lpftLastWriteTime) {
    return query_info<char16_t>(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                                lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                PFILETIME lpftLastWriteTime) {
    return query_info<char>(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                            lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

LSTATUS WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                 PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor) {
    if (windows_9x()) return ERROR_CALL_NOT_IMPLEMENTED;
    if (!lpcbSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    LSTATUS error;
    registry::Key key = key_with(hKey, READ_CONTROL, &error);
    if (!key) return error;
    std::vector<uint8_t> current;
    registry::get_security(key, &current);
    if (current.empty()) current = open_descriptor();
    std::vector<BYTE> wanted = merge({}, current, SecurityInformation);
    DWORD available = *lpcbSecurityDescriptor;
    *lpcbSecurityDescriptor = DWORD(wanted.size());
    if (!pSecurityDescriptor || available < wanted.size()) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(pSecurityDescriptor, wanted.data(), wanted.size());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                 PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    if (windows_9x()) return ERROR_CALL_NOT_IMPLEMENTED;
    if (!pSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    ACCESS_MASK needed = 0;
    if (SecurityInformation & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
    if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) needed |= WRITE_OWNER;
    LSTATUS error;
    registry::Key key = key_with(hKey, needed, &error);
    if (!key) return error;
    std::optional<std::vector<uint8_t>> update = self_relative_copy(pSecurityDescriptor);
    if (!update) return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> current;
    registry::get_security(key, &current);
    if (current.empty()) current = open_descriptor();
    std::vector<BYTE> merged = merge(current, *update, SecurityInformation);
    return registry_error(registry::set_security(key, merged.data(), merged.size()));
}

HV_EXTERN_C_END
