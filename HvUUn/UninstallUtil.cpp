#include "UninstallUtil.h"

#include <mbstring.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kVersionInfoEx = 156; // sizeof(OSVERSIONINFOEXA)
constexpr DWORD kVersionInfo = 148;   // sizeof(OSVERSIONINFOA)
constexpr int kKeyPathChars = 260;

// The extended record first, the plain one when the system does not take it.
BOOL GetVersionRecord(OSVERSIONINFOEXA& info) {
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = kVersionInfoEx;
    if (GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info))) return TRUE;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = kVersionInfo;
    return GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info));
}

} // namespace

BOOL CUninstallUtil::m_GetClassDevices(HDEVINFO* deviceSet, DWORD flags) {
    *deviceSet = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, flags);
    return *deviceSet != INVALID_HANDLE_VALUE;
}

BOOL CUninstallUtil::m_DevicePropertyContains(HDEVINFO deviceSet, LPCSTR text, PSP_DEVINFO_DATA device,
                                              DWORD property) {
    std::vector<BYTE> buffer;
    DWORD type = 0, required = 0;
    while (!SetupDiGetDeviceRegistryPropertyA(
        deviceSet, device, property, &type, buffer.empty() ? nullptr : buffer.data(),
        buffer.empty() ? 0 : static_cast<DWORD>(buffer.size() - 1), &required)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) return FALSE;
        // Zeroed and one byte longer than the value, so that the text always ends.
        buffer.assign(static_cast<size_t>(required) + 1, 0);
    }
    if (buffer.empty()) return FALSE;
    if (_mbsupr_s(buffer.data(), buffer.size()) != 0) return FALSE;
    return _mbsstr(buffer.data(), reinterpret_cast<const unsigned char*>(text)) != nullptr;
}

BOOL CUninstallUtil::m_RemoveDevice(HDEVINFO deviceSet, PSP_DEVINFO_DATA device, BOOL* needReboot) {
    const BOOL removed = SetupDiRemoveDevice(deviceSet, device);
    if (needReboot) {
        SP_DEVINSTALL_PARAMS_A params{};
        params.cbSize = sizeof params;
        *needReboot = SetupDiGetDeviceInstallParamsA(deviceSet, device, &params) &&
                      (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0;
    }
    const BOOL deleted = SetupDiDeleteDeviceInfo(deviceSet, device);
    return removed && deleted;
}

BOOL CUninstallUtil::m_GrantKeyAccess(LPCSTR subKey, REGSAM extraAccess) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        return FALSE;
    BOOL granted = FALSE;
    std::vector<BYTE> acl(2 * GetLengthSid(everyone) + 32, 0);
    SECURITY_DESCRIPTOR descriptor{};
    HKEY key = nullptr;
    if (InitializeAcl(reinterpret_cast<PACL>(acl.data()), static_cast<DWORD>(acl.size()), ACL_REVISION) &&
        AddAccessAllowedAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, KEY_ALL_ACCESS, everyone) &&
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE) &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, WRITE_DAC | extraAccess, &key) == ERROR_SUCCESS) {
        granted = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    FreeSid(everyone);
    return granted;
}

BOOL CUninstallUtil::m_GrantKeyTreeAccess(LPCSTR subKey, REGSAM extraAccess) {
    if (!m_GrantKeyAccess(subKey, extraAccess)) return FALSE;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_ENUMERATE_SUB_KEYS | extraAccess, &key) !=
        ERROR_SUCCESS)
        return TRUE;
    char name[kKeyPathChars];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        // A path that would not fit the walk's buffer ends the walk at this depth.
        char child[kKeyPathChars];
        const int written = std::snprintf(child, sizeof child, "%s\\%s", subKey, name);
        if (written < 0 || written >= static_cast<int>(sizeof child)) continue;
        m_GrantKeyTreeAccess(child, extraAccess);
    }
    RegCloseKey(key);
    return TRUE;
}

BOOL CUninstallUtil::m_IsWin2000OrLater() {
    OSVERSIONINFOEXA info;
    return GetVersionRecord(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion > 4;
}

BOOL CUninstallUtil::m_IsWindows2000() {
    OSVERSIONINFOEXA info;
    return GetVersionRecord(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion == 5 &&
           info.dwMinorVersion == 0;
}

BOOL CUninstallUtil::m_IsWin98OrMe() {
    OSVERSIONINFOEXA info;
    return GetVersionRecord(info) && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
           (info.dwMajorVersion > 4 || (info.dwMajorVersion == 4 && info.dwMinorVersion != 0));
}

BOOL CUninstallUtil::m_GetSystemDir(CString& dir) {
    char buffer[MAX_PATH] = {};
    if (GetSystemDirectoryA(buffer, MAX_PATH) == 0) return FALSE;
    dir = buffer;
    return TRUE;
}
