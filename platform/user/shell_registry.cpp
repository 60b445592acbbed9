// The shell's registry helpers (shlwapi): SHDeleteKeyW/A delete a key with its whole subtree
// through the registry API, so every key is opened and deleted under the caller's rights.
#include <windows.h>
#include <shlwapi.h>

#include <string>

#include "internal/user_internal.h"

namespace {

// Deletes every subkey of the open key, deepest first; the first failure ends the walk.
LSTATUS delete_subkeys(HKEY key) {
    WCHAR name[256];
    while (true) {
        DWORD length = static_cast<DWORD>(std::size(name));
        LSTATUS status = RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        HKEY child = nullptr;
        status = RegOpenKeyExW(key, name, 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE, &child);
        if (status != ERROR_SUCCESS) return status;
        status = delete_subkeys(child);
        RegCloseKey(child);
        if (status == ERROR_SUCCESS) status = RegDeleteKeyW(key, name);
        if (status != ERROR_SUCCESS) return status;
    }
}

} // namespace

HV_EXTERN_C_BEGIN

LSTATUS WINAPI SHDeleteKeyW(HKEY hkey, LPCWSTR pszSubKey) {
    if (!pszSubKey) return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(hkey, pszSubKey, 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE, &key);
    if (status != ERROR_SUCCESS) return status;
    status = delete_subkeys(key);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? RegDeleteKeyW(hkey, pszSubKey) : status;
}

LSTATUS WINAPI SHDeleteKeyA(HKEY hkey, LPCSTR pszSubKey) {
    if (!pszSubKey) return ERROR_INVALID_PARAMETER;
    return SHDeleteKeyW(hkey, hvsim::user::widen_ansi(pszSubKey).c_str());
}

HV_EXTERN_C_END
