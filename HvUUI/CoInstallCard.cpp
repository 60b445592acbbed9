// HvUCoInstallCard: before a card is installed again its ports are saved, since their own keys
// do not survive their reinstallation; when it is removed its uninstaller is started.
#include "CoInstallCard.h"

#include <cfgmgr32.h>

#include "CoInstallPort.h"
#include "PortUtil.h"

namespace {

constexpr DWORD kProgramWaitMs = 60000;

bool IsDwordOrPortName(const std::u16string& name, DWORD type) { return type == REG_DWORD || name == u"PortName"; }
bool IsAnyValue(const std::u16string&, DWORD) { return true; }

// One port: its DWORD values and name, and its "UI1" subkey when it has one.
void SavePortSettings(HKEY cardKey, DEVINST port) {
    std::u16string portId;
    if (!DeviceInstanceIdOf(port, portId)) return;
    HKEY saveKey;
    if (RegCreateKeyExW(cardKey, PortSaveKeyName(portId).c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        &saveKey, nullptr) != ERROR_SUCCESS)
        return;
    const std::u16string portPath = DeviceParametersPath(portId);
    HKEY portKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, portPath.c_str(), 0, KEY_READ, &portKey) == ERROR_SUCCESS) {
        CopyValues(portKey, saveKey, IsDwordOrPortName, nullptr);
        RegCloseKey(portKey);
        HKEY portUi;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (portPath + u"\\UI1").c_str(), 0, KEY_READ, &portUi) == ERROR_SUCCESS) {
            HKEY savedUi;
            if (RegCreateKeyExW(saveKey, u"UI1", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &savedUi, nullptr) ==
                ERROR_SUCCESS) {
                CopyValues(portUi, savedUi, IsAnyValue, nullptr);
                RegCloseKey(savedUi);
            }
            RegCloseKey(portUi);
        }
    }
    RegCloseKey(saveKey);
}

// The value names a program of the system directory, not a path that leads out of it.
bool IsSystemDirectoryFileName(const std::u16string& name) {
    return name.find_first_of(u"\\/:") == std::u16string::npos && name.find_first_not_of(u'.') != std::u16string::npos;
}

} // namespace

void SaveChildPortSettings(HDEVINFO set, PSP_DEVINFO_DATA data) {
    HKEY cardKey = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
    if (cardKey == (HKEY)INVALID_HANDLE_VALUE) return;
    DEVINST port = 0;
    for (CONFIGRET cr = CM_Get_Child(&port, data->DevInst, 0); cr == CR_SUCCESS; cr = CM_Get_Sibling(&port, port, 0))
        SavePortSettings(cardKey, port);
    RegCloseKey(cardKey);
}

BOOL RunCardUninstallProgram(HDEVINFO set, PSP_DEVINFO_DATA data, BOOL wait) {
    WCHAR systemDirectory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    std::u16string program;
    if (!GetDeviceStringValue(set, data, u"UnInstall", program) || !IsSystemDirectoryFileName(program)) return FALSE;
    return StartProgram(std::u16string(systemDirectory) + u"\\" + program, wait);
}

BOOL StartProgram(const std::u16string& path, BOOL wait) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                        &startup, &process))
        return FALSE;
    if (wait) WaitForSingleObject(process.hProcess, kProgramWaitMs);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return TRUE;
}

DWORD CALLBACK HvUCoInstallCard(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                PCOINSTALLER_CONTEXT_DATA context) {
    switch (installFunction) {
    case DIF_INSTALLDEVICE:
        if (!context) return NO_ERROR;
        if (context->PostProcessing) return context->InstallResult;
        if (deviceInfoData) SaveChildPortSettings(deviceInfoSet, deviceInfoData);
        return ERROR_DI_POSTPROCESSING_REQUIRED;
    case DIF_REMOVE:
        if (deviceInfoData) RunCardUninstallProgram(deviceInfoSet, deviceInfoData, FALSE);
        return NO_ERROR;
    case DIF_UPDATEDRIVER_UI: return RefuseMarkedUpdate(deviceInfoSet, deviceInfoData);
    default: return NO_ERROR;
    }
}
