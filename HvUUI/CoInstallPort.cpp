// HvUCoInstallPort: after the Ports class installer has named a port, bring back the name and
// settings the port had before its card was reinstalled, or give the ports of one model their
// first number, or put a card's ports in order; on removal free the port's name.
#include "CoInstallPort.h"

#include <cfgmgr32.h>

#include <vector>

#include "PortUtil.h"
#include "Resources.h"

namespace {

const WCHAR* const kEnumFormat = u"System\\CurrentControlSet\\Enum\\";
constexpr DWORD kValueNameChars = 16383;
constexpr DWORD kValueDataBytes = 16383;
const WCHAR* const kFirstNumberModel = u"USB\\VID_7A5C&PID_1015";

std::u16string Upper(std::u16string text) {
    for (auto& c : text) c = towupper(c);
    return text;
}

BOOL ParentOf(PSP_DEVINFO_DATA data, DEVINST& parent, std::u16string& parentId) {
    return CM_Get_Parent(&parent, data->DevInst, 0) == CR_SUCCESS && DeviceInstanceIdOf(parent, parentId);
}

} // namespace

std::u16string DeviceParametersPath(const std::u16string& instanceId) {
    return kEnumFormat + instanceId + u"\\Device Parameters";
}

void CopyValues(HKEY from, HKEY to, const std::function<bool(const std::u16string&, DWORD)>& keep,
                std::u16string* portName) {
    std::vector<WCHAR> name(kValueNameChars + 1);
    std::vector<BYTE> data(kValueDataBytes + sizeof(WCHAR));
    for (DWORD index = 0;; ++index) {
        std::fill(name.begin(), name.end(), 0);
        std::fill(data.begin(), data.end(), 0);
        DWORD nameChars = kValueNameChars, dataBytes = kValueDataBytes, type = 0;
        LSTATUS status = RegEnumValueW(from, index, name.data(), &nameChars, nullptr, &type, data.data(), &dataBytes);
        if (status == ERROR_MORE_DATA) continue; // one oversized value does not hide the others
        if (status != ERROR_SUCCESS) break;
        std::u16string valueName(name.data());
        if (type == REG_DWORD && dataBytes == sizeof(DWORD)) {
            if (keep(valueName, type)) RegSetValueExW(to, valueName.c_str(), 0, REG_DWORD, data.data(), sizeof(DWORD));
        } else if (type == REG_SZ) {
            const WCHAR* text = reinterpret_cast<const WCHAR*>(data.data());
            if (portName && valueName == u"PortName") {
                *portName = text;
            } else if (keep(valueName, type)) {
                RegSetValueExW(to, valueName.c_str(), 0, REG_SZ, data.data(),
                               DWORD((wcslen(text) + 1) * sizeof(WCHAR)));
            }
        }
    }
}

std::u16string PortSaveKeyName(const std::u16string& instanceId) {
    std::u16string name = instanceId;
    size_t first = name.find(u'\\');
    if (first != std::u16string::npos) {
        size_t second = name.find(u'\\', first + 1);
        if (second != std::u16string::npos && second > first + 2) name.erase(first + 1, second - first - 2);
    }
    for (auto& c : name)
        if (c == u'\\') c = u'_';
    return name;
}

BOOL RestorePortSettings(HDEVINFO set, PSP_DEVINFO_DATA data) {
    HKEY portKey = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
    if (portKey == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    DEVINST parent = 0;
    std::u16string parentId, portId;
    if (!ParentOf(data, parent, parentId) || !DeviceInstanceIdOf(data->DevInst, portId)) {
        RegCloseKey(portKey);
        return FALSE;
    }
    const std::u16string saveKeyName = PortSaveKeyName(portId);
    const std::u16string savePath = DeviceParametersPath(parentId) + u"\\" + saveKeyName;
    HKEY saved;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, savePath.c_str(), 0, KEY_READ, &saved) != ERROR_SUCCESS) {
        RegCloseKey(portKey);
        return FALSE;
    }

    // What the port reports it supports is the driver's to say, not a setting to bring back.
    std::u16string savedName;
    CopyValues(
        saved, portKey,
        [](const std::u16string& name, DWORD type) {
            return type == REG_DWORD && name.find(u"Supported") == std::u16string::npos;
        },
        &savedName);
    RegCloseKey(saved);
    RegCloseKey(portKey);

    if (!savedName.empty()) {
        CCOMPortUtil port(set, *data);
        std::u16string current;
        // Releasing the port's own number would leave it using a number the database calls free.
        if (!port.m_GetDeviceValue(u"PortName", current) || current != savedName) port.m_FreePortNumber(savedName);
        port.m_ChangePortName(savedName, nullptr, TRUE, TRUE);
    }

    HKEY savedUi;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (savePath + u"\\UI1").c_str(), 0, KEY_READ, &savedUi) == ERROR_SUCCESS) {
        HKEY portDevice = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
        if (portDevice != (HKEY)INVALID_HANDLE_VALUE) {
            HKEY ui;
            if (RegCreateKeyExW(portDevice, u"UI1", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &ui, nullptr) ==
                ERROR_SUCCESS) {
                CopyValues(savedUi, ui, [](const std::u16string&, DWORD) { return true; }, nullptr);
                RegCloseKey(ui);
            }
            RegCloseKey(portDevice);
        }
        RegCloseKey(savedUi);
    }

    HKEY card;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DeviceParametersPath(parentId).c_str(), 0, KEY_READ | KEY_SET_VALUE,
                      &card) == ERROR_SUCCESS) {
        RegDeleteKeyW(card, (saveKeyName + u"\\UI1").c_str());
        RegDeleteKeyW(card, saveKeyName.c_str());
        RegCloseKey(card);
    }
    return TRUE;
}

BOOL AssignFirstComNumber(HDEVINFO set, PSP_DEVINFO_DATA data) {
    HKEY portKey = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
    if (portKey == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    RegCloseKey(portKey);
    DEVINST parent = 0;
    std::u16string parentId;
    if (!ParentOf(data, parent, parentId)) return FALSE;
    std::u16string model = parentId;
    if (size_t first = model.find(u'\\'); first != std::u16string::npos)
        if (size_t second = model.find(u'\\', first + 1); second != std::u16string::npos) model.resize(second);
    model = Upper(model);

    HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (list == INVALID_HANDLE_VALUE) return FALSE;
    SP_DEVINFO_DATA parentData{};
    parentData.cbSize = sizeof parentData;
    BOOL result = FALSE;
    if (SetupDiOpenDeviceInfoW(list, parentId.c_str(), nullptr, 0, &parentData) && model == kFirstNumberModel) {
        CPortUtil database;
        DWORD number = 0;
        if (database.m_Open()) {
            for (DWORD n = 2; n <= 255 && !number; ++n)
                if (database.m_IsPortNumberFree(n)) number = n;
            database.m_Close();
        }
        if (number) {
            CCOMPortUtil port(set, *data);
            port.m_ChangePortName(ComNameOf(number), nullptr, FALSE, FALSE);
            CDeviceUtil device;
            device.m_DisableDevice(list, parentData);
            device.m_EnableDevice(list, parentData);
            result = TRUE;
        }
    }
    SetupDiDestroyDeviceInfoList(list);
    return result;
}

BOOL IsWindows61OrLater() {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&version))) return FALSE;
    return version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 1);
}

void WriteDefaultPortsEntry(HDEVINFO set, PSP_DEVINFO_DATA data) {
    std::u16string name;
    if (!GetDeviceStringValue(set, data, u"PortName", name)) return;
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", 0, nullptr, 0,
                        KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    static const WCHAR kDefault[] = u"115200,n,8,1";
    RegSetValueExW(key, (name + u":").c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kDefault), sizeof kDefault);
    RegCloseKey(key);
}

DWORD RefuseMarkedUpdate(HDEVINFO set, PSP_DEVINFO_DATA data) {
    std::u16string mark;
    if (!data || !GetDeviceStringValue(set, data, u"NoUpgrade", mark) || _wtoi(mark.c_str()) != 1) return NO_ERROR;
    MessageBoxW(nullptr, HvLoadString(IDS_UPDATE_REFUSED).c_str(), u"Tarrow", MB_ICONERROR);
    return ERROR_DI_DONT_INSTALL;
}

namespace {

DWORD PostInstall(HDEVINFO set, PSP_DEVINFO_DATA data, PCOINSTALLER_CONTEXT_DATA context) {
    BOOL restored = RestorePortSettings(set, data);
    if (!restored) {
        if (AssignFirstComNumber(set, data)) return context->InstallResult;
        if (IsWindows61OrLater()) RenumberCardPorts(set, data);
    }
    if (context->InstallResult != NO_ERROR) return context->InstallResult;
    if (!restored) {
        WriteDefaultPortsEntry(set, data);
    } else {
        CDeviceUtil().m_ReenumerateDeviceInfo(*data);
        CM_Reenumerate_DevNode(data->DevInst, 0);
    }
    return NO_ERROR;
}

} // namespace

DWORD CALLBACK HvUCoInstallPort(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                PCOINSTALLER_CONTEXT_DATA context) {
    switch (installFunction) {
    case DIF_INSTALLDEVICE:
        if (!context) return NO_ERROR;
        if (!context->PostProcessing) return ERROR_DI_POSTPROCESSING_REQUIRED;
        if (!deviceInfoData) return context->InstallResult;
        return PostInstall(deviceInfoSet, deviceInfoData, context);
    case DIF_REMOVE:
        if (deviceInfoData) CCOMPortUtil(deviceInfoSet, *deviceInfoData).m_ReleasePortName();
        return NO_ERROR;
    case DIF_UPDATEDRIVER_UI: return RefuseMarkedUpdate(deviceInfoSet, deviceInfoData);
    default: return NO_ERROR;
    }
}
