// Stands in for the uninstaller in the card co-installer tests: it writes the command line and
// the priority class it was started with to HKLM\SOFTWARE\HvUninstallTest and sets the event
// "HvTestUninstallerRan".
#include <windows.h>

#include <hv_wchar.h>

extern "C" __attribute__((visibility("default"))) int wmain(int, char16_t**) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvUninstallTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        const WCHAR* line = GetCommandLineW();
        RegSetValueExW(key, u"CommandLine", 0, REG_SZ, reinterpret_cast<const BYTE*>(line),
                       DWORD((wcslen(line) + 1) * sizeof(WCHAR)));
        DWORD priority = GetPriorityClass(GetCurrentProcess());
        RegSetValueExW(key, u"Priority", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&priority), sizeof priority);
        RegCloseKey(key);
    }
    if (HANDLE ran = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"HvTestUninstallerRan")) {
        SetEvent(ran);
        CloseHandle(ran);
    }
    return 0;
}
