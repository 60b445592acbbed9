#include "SystemShims.h"

#include <shlwapi.h>

#include "UninstallUtil.h"

namespace {
typedef BOOL(WINAPI* FsRedirectionSwitch)(BOOL);
typedef LONG(WINAPI* KeyDeleter)(HKEY, LPCSTR, REGSAM, DWORD);
} // namespace

BOOL EnableFsRedirection(BOOL enable) {
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    if (!kernel) return 1;
    auto fsSwitch = reinterpret_cast<FsRedirectionSwitch>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64EnableWow64FsRedirection")));
    if (!fsSwitch) return 1;
    return fsSwitch(enable);
}

LONG DeleteKeyEx(HKEY root, LPCSTR subKey, REGSAM view, DWORD reserved) {
    HMODULE advapi = GetModuleHandleA("Advapi32.DLL");
    if (!advapi) return ERROR_MOD_NOT_FOUND;
    auto deleter =
        reinterpret_cast<KeyDeleter>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExA")));
    if (!deleter) return SHDeleteKeyA(root, subKey);
    return deleter(root, subKey, view, reserved);
}

void RestartWindows() {
    if (CUninstallUtil().m_IsWin2000OrLater()) {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
            ::MessageBoxA(nullptr, "OpenProcessToken", nullptr, MB_OK);
        }
        TOKEN_PRIVILEGES privileges{};
        LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        SetLastError(ERROR_SUCCESS);
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        if (GetLastError() != ERROR_SUCCESS) ::MessageBoxA(nullptr, "AdjustTokenPrivileges", nullptr, MB_OK);
        if (token) CloseHandle(token);
    }
    RestartWindows9x();
}

void RestartWindows9x() {
    if (!ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0)) ::MessageBoxA(nullptr, "ExitWindowsEx", nullptr, MB_OK);
}
