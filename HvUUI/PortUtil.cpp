// The COM port database, the rename of a port and the restart of a device.
#include "PortUtil.h"

#include <cfgmgr32.h>

#include <cstring>

#include "Resources.h"

namespace {

constexpr DWORD kPortUsageBytes = 256;
constexpr DWORD kHighestPortNumber = 256;
const WCHAR* const kPortsKey = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const WCHAR* const kSerialCommKey = u"Hardware\\DeviceMap\\SERIALCOMM";

// Every occurrence of `from` that is not the start of a longer COM name.
std::u16string ReplaceComName(const std::u16string& text, const std::u16string& from, const std::u16string& to) {
    std::u16string out;
    size_t at = 0;
    for (;;) {
        size_t found = text.find(from, at);
        if (found == std::u16string::npos) break;
        size_t end = found + from.size();
        bool longer = end < text.size() && text[end] >= u'0' && text[end] <= u'9';
        out.append(text, at, found - at);
        out += longer ? from : to;
        at = end;
    }
    out.append(text, at, std::u16string::npos);
    return out;
}

HKEY OpenDeviceKey(HDEVINFO set, PSP_DEVINFO_DATA data, REGSAM access) {
    return SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, access);
}

} // namespace

DWORD ComNumberOf(const std::u16string& name) {
    std::u16string rest = name.size() > 3 ? name.substr(3) : std::u16string();
    int number = _wtoi(rest.c_str());
    return number > 0 ? DWORD(number) : 0;
}

bool IsValidComName(const std::u16string& name) {
    if (name.size() < 4 || name.compare(0, 3, u"COM") != 0) return false;
    for (size_t i = 3; i < name.size(); ++i)
        if (name[i] < u'0' || name[i] > u'9') return false;
    DWORD number = ComNumberOf(name);
    return number >= 1 && number <= kHighestPortNumber;
}

std::u16string ComNameOf(DWORD number) {
    WCHAR text[16];
    swprintf(text, 16, u"COM%u", number);
    return text;
}

BOOL DeviceInstanceIdOf(DEVINST devInst, std::u16string& out) {
    ULONG length = 0;
    if (CM_Get_Device_ID_Size(&length, devInst, 0) != CR_SUCCESS) return FALSE;
    std::u16string buffer(length + 1, u'\0');
    if (CM_Get_Device_IDW(devInst, buffer.data(), length + 1, 0) != CR_SUCCESS) return FALSE;
    buffer.resize(wcslen(buffer.c_str()));
    out = buffer;
    return TRUE;
}

// ---- Device hardware key values -----------------------------------------------------------------

BOOL GetDeviceStringValue(HDEVINFO set, PSP_DEVINFO_DATA data, const WCHAR* name, std::u16string& out) {
    if (!data) return FALSE;
    return CHVDeviceRegInfo(set, *data).m_GetDeviceValue(name, out);
}

BOOL GetDeviceDwordValue(HDEVINFO set, PSP_DEVINFO_DATA data, const WCHAR* name, DWORD& out) {
    HKEY key = OpenDeviceKey(set, data, GENERIC_READ);
    if (key == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    DWORD value = 0, size = sizeof value;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return FALSE;
    out = value;
    return TRUE;
}

BOOL SetDeviceDwordValue(HDEVINFO set, PSP_DEVINFO_DATA data, const WCHAR* name, DWORD value) {
    HKEY key = OpenDeviceKey(set, data, GENERIC_WRITE);
    if (key == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    LSTATUS status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// ---- CPortUtil ----------------------------------------------------------------------------------

BOOL CPortUtil::m_Open() { return ComDBOpen(&m_hComDB) == ERROR_SUCCESS; }

void CPortUtil::m_Close() {
    if (m_hComDB != HCOMDB_INVALID_HANDLE_VALUE) ComDBClose(m_hComDB);
    m_hComDB = HCOMDB_INVALID_HANDLE_VALUE;
}

BOOL CPortUtil::m_ClaimPortNumber(DWORD number, BOOL force, PBOOL forced) {
    BOOL wasForced = FALSE;
    LONG status = ComDBClaimPort(m_hComDB, number, force, &wasForced);
    if (forced) *forced = wasForced;
    return status == ERROR_SUCCESS;
}

BOOL CPortUtil::m_ReleasePortNumber(DWORD number) { return ComDBReleasePort(m_hComDB, number) == ERROR_SUCCESS; }

BOOL CPortUtil::m_IsPortNumberFree(DWORD number) {
    if (m_hComDB == HCOMDB_INVALID_HANDLE_VALUE || number > kHighestPortNumber) return FALSE;
    if (number == 0) return TRUE;
    BYTE usage[kPortUsageBytes] = {};
    DWORD reported = 0;
    if (ComDBGetCurrentPortUsage(m_hComDB, usage, sizeof usage, CDB_REPORT_BYTES, &reported) != ERROR_SUCCESS)
        return FALSE;
    return usage[number - 1] == 0;
}

BOOL CPortUtil::m_CanOpenPort(const std::u16string& name) {
    std::u16string path = u"\\\\.\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    CloseHandle(file);
    return TRUE;
}

// The entry holds baud rate, parity, data bits and stop bits, then the flow control letter.
BOOL CPortUtil::m_WritePortsEntry(const std::u16string& name, DWORD baudRate, DWORD dataBitsIndex, DWORD parityIndex,
                                  DWORD stopBitsIndex, DWORD flowControlIndex) {
    static const DWORD kDataBits[] = {5, 6, 7, 8};
    static const WCHAR kParity[] = {u'n', u'o', u'e', u'm', u's'};
    static const WCHAR* const kStopBits[] = {u"1", u"1.5", u"2"};
    if (dataBitsIndex >= 4 || parityIndex >= 5 || stopBitsIndex >= 3) return FALSE;
    WCHAR flow = 0;
    switch (flowControlIndex) {
    case 0: break;
    case 1:
    case 2: flow = u'p'; break;
    case 4: flow = u'x'; break;
    default: return FALSE;
    }
    WCHAR data[64];
    if (flow)
        swprintf(data, 64, u"%u,%c,%u,%s,%c", baudRate, kParity[parityIndex], kDataBits[dataBitsIndex],
                 kStopBits[stopBitsIndex], flow);
    else
        swprintf(data, 64, u"%u,%c,%u,%s", baudRate, kParity[parityIndex], kDataBits[dataBitsIndex],
                 kStopBits[stopBitsIndex]);
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return FALSE;
    std::u16string value = name + u":";
    LSTATUS status = RegSetValueExW(key, value.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                                    DWORD((wcslen(data) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

std::vector<std::u16string> CPortUtil::m_BuildPortNameList(const std::u16string& currentName) {
    std::vector<std::u16string> names;
    if (m_hComDB == HCOMDB_INVALID_HANDLE_VALUE) return names;
    BYTE usage[kPortUsageBytes] = {};
    DWORD reported = 0;
    if (ComDBGetCurrentPortUsage(m_hComDB, usage, sizeof usage, CDB_REPORT_BYTES, &reported) != ERROR_SUCCESS)
        return names;
    for (DWORD n = 1; n <= 255; ++n) {
        std::u16string name = ComNameOf(n);
        if (usage[n - 1] && name != currentName) name += u" (in use)";
        names.push_back(name);
    }
    return names;
}

// ---- CCOMPortUtil -------------------------------------------------------------------------------

CCOMPortUtil::CCOMPortUtil(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA deviceInfoData)
    : CPortUtil(), CHVDeviceRegInfo(deviceInfoSet, deviceInfoData) {}

BOOL CCOMPortUtil::m_FreePortNumber(const std::u16string& name) {
    DWORD number = ComNumberOf(name);
    if (!m_Open()) return TRUE;
    if (number && !m_IsPortNumberFree(number)) m_ReleasePortNumber(number);
    m_Close();
    return TRUE;
}

BOOL CCOMPortUtil::m_ReleasePortName() {
    std::u16string name;
    if (!m_GetDeviceValue(u"PortName", name) || name.empty()) return FALSE;
    WCHAR target[256] = {};
    if (!QueryDosDeviceW(name.c_str(), target, 256)) return FALSE;
    if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, name.c_str(),
                          target))
        return FALSE;
    DWORD number = ComNumberOf(name);
    if (m_Open()) {
        if (number) m_ReleasePortNumber(number);
        m_Close();
    }
    return TRUE;
}

// Every step is undone when a later one fails, so that the DOS name, SERIALCOMM, the database,
// the friendly name and PortName never disagree.
BOOL CCOMPortUtil::m_ChangePortName(const std::u16string& newName, HWND owner, BOOL interactive, BOOL reenumerate) {
    std::u16string current;
    if (!m_GetDeviceValue(u"PortName", current)) return FALSE;
    if (!IsValidComName(newName)) return FALSE;
    if (interactive && current == newName) return TRUE;

    const std::u16string oldName = current;
    const DWORD oldNumber = ComNumberOf(oldName);
    const DWORD newNumber = ComNumberOf(newName);

    if (interactive && !m_CanOpenPort(oldName)) {
        if (MessageBoxW(owner, HvLoadString(IDS_PORT_OPEN).c_str(), u"Error", MB_YESNO | MB_ICONINFORMATION) != IDYES)
            return TRUE;
    }

    if (!m_Open()) return FALSE;
    if (!m_IsPortNumberFree(newNumber)) {
        if (MessageBoxW(owner, HvLoadString(IDS_PORT_IN_USE).c_str(), u"Error", MB_YESNO | MB_ICONINFORMATION) !=
            IDYES) {
            m_Close();
            return TRUE;
        }
    }

    CDeviceUtil device;
    if (!device.m_RenameDosDevice(oldName, newName)) {
        m_Close();
        return FALSE;
    }

    const bool moveNumber = oldNumber != newNumber;
    BOOL oldWasClaimed = FALSE, newWasClaimed = FALSE;
    if (moveNumber) {
        oldWasClaimed = oldNumber && !m_IsPortNumberFree(oldNumber);
        if (oldNumber) m_ReleasePortNumber(oldNumber);
        m_ClaimPortNumber(newNumber, TRUE, &newWasClaimed);
    }
    m_Close();

    auto undoNumbers = [&] {
        if (!moveNumber || !m_Open()) return;
        if (!newWasClaimed) m_ReleasePortNumber(newNumber);
        if (oldWasClaimed) m_ClaimPortNumber(oldNumber, TRUE);
        m_Close();
    };

    std::u16string friendly;
    if (!m_GetFriendlyName(friendly)) friendly.clear();
    if (!m_SetFriendlyName(ReplaceComName(friendly, oldName, newName))) {
        undoNumbers();
        device.m_RenameDosDevice(newName, oldName);
        return FALSE;
    }

    if (!m_SetDeviceValue(u"PortName", newName)) {
        m_SetFriendlyName(friendly);
        undoNumbers();
        device.m_RenameDosDevice(newName, oldName);
        return FALSE;
    }

    SP_DEVINSTALL_PARAMS_W params;
    std::memset(&params, 0, sizeof params);
    params.cbSize = sizeof params;
    if (SetupDiGetDeviceInstallParamsW(m_hDevInfo, &m_DevInfoData, &params)) {
        params.Flags |= DI_PROPERTIES_CHANGE;
        SetupDiSetDeviceInstallParamsW(m_hDevInfo, &m_DevInfoData, &params);
    }
    SetupDiChangeState(m_hDevInfo, &m_DevInfoData);

    if (reenumerate) device.m_ReenumerateDevice(u"");
    return TRUE;
}

// ---- CDeviceUtil --------------------------------------------------------------------------------

BOOL CDeviceUtil::m_RenameDosDevice(const std::u16string& oldName, const std::u16string& newName) {
    const DWORD removeExact = DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE;
    WCHAR target[256] = {};
    if (!QueryDosDeviceW(oldName.c_str(), target, 256)) return FALSE;
    if (!DefineDosDeviceW(removeExact, oldName.c_str(), target)) return FALSE;
    if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH, newName.c_str(), target)) {
        DefineDosDeviceW(DDD_RAW_TARGET_PATH, oldName.c_str(), target);
        return FALSE;
    }
    HKEY key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_ALL_ACCESS, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, target, 0, REG_SZ, reinterpret_cast<const BYTE*>(newName.c_str()),
                                DWORD((newName.size() + 1) * sizeof(WCHAR)));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        DefineDosDeviceW(removeExact, newName.c_str(), target);
        DefineDosDeviceW(DDD_RAW_TARGET_PATH, oldName.c_str(), target);
        return FALSE;
    }
    return TRUE;
}

BOOL CDeviceUtil::m_ChangeState(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD stateChange) {
    SP_PROPCHANGE_PARAMS params;
    std::memset(&params, 0, sizeof params);
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = stateChange;
    params.Scope = DICS_FLAG_GLOBAL;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params)) return FALSE;
    return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data) ? TRUE : FALSE;
}

BOOL CDeviceUtil::m_DisableDevice(HDEVINFO set, SP_DEVINFO_DATA data) { return m_ChangeState(set, data, DICS_DISABLE); }

BOOL CDeviceUtil::m_EnableDevice(HDEVINFO set, SP_DEVINFO_DATA data) { return m_ChangeState(set, data, DICS_ENABLE); }

BOOL CDeviceUtil::m_ReenumerateDevice(const std::u16string& instanceId) {
    DEVINST node = 0;
    std::u16string id = instanceId;
    if (CM_Locate_DevNodeW(&node, id.empty() ? nullptr : id.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS)
        return FALSE;
    return CM_Reenumerate_DevNode(node, 0) == CR_SUCCESS;
}

BOOL CDeviceUtil::m_ReenumerateDeviceInfo(SP_DEVINFO_DATA data) {
    std::u16string id;
    if (!DeviceInstanceIdOf(data.DevInst, id)) return FALSE;
    return m_ReenumerateDevice(id);
}
