// The device registry accessor (both widths) and the two device-set holders.
#include "HVDeviceRegInfo.h"

#include <cfgmgr32.h>

#include <hv_stdio.h>

#include <cstring>
#include <vector>

namespace {

constexpr DWORD kValueBytesW = 300;
constexpr DWORD kValueBytesA = 150;
constexpr DWORD kClassKeyBytes = 50;

LSTATUS query_value(HKEY key, const WCHAR* name, BYTE* data, DWORD* size) {
    return RegQueryValueExW(key, name, nullptr, nullptr, data, size);
}
LSTATUS query_value(HKEY key, const CHAR* name, BYTE* data, DWORD* size) {
    return RegQueryValueExA(key, name, nullptr, nullptr, data, size);
}

// Reads a string value into a buffer of `bytes` bytes. The registry need not store the
// terminator, so a value that fills the buffer without one is refused rather than read past.
template <typename Char>
BOOL read_bounded_value(HKEY key, const Char* name, DWORD bytes, std::basic_string<Char>& out) {
    std::vector<Char> buffer(bytes / sizeof(Char) + 1, Char(0));
    DWORD size = bytes;
    if (query_value(key, name, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS) return FALSE;
    const size_t last = bytes / sizeof(Char) - 1;
    if (size >= bytes && buffer[last] != 0) return FALSE;
    out = buffer.data();
    return TRUE;
}

template <typename Char, typename Query>
BOOL read_property(Query query, std::basic_string<Char>& out, bool typed) {
    BYTE* buffer = nullptr;
    DWORD size = 0, required = 0, type = 0;
    for (;;) {
        if (query(&type, buffer, size, &required)) break;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= size) {
            if (buffer) LocalFree(buffer);
            return FALSE;
        }
        if (buffer) LocalFree(buffer);
        // One character more than asked for, so that the text always ends.
        buffer = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, required + sizeof(Char)));
        if (!buffer) return FALSE;
        size = required;
    }
    BOOL ok = TRUE;
    if (typed && type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) ok = FALSE;
    if (ok) {
        const Char* text = reinterpret_cast<const Char*>(buffer);
        size_t length = 0;
        size_t max = buffer ? size / sizeof(Char) : 0;
        while (length < max && text[length]) ++length;
        if (text) out.assign(text, length);
        else out.clear();
    }
    if (buffer) LocalFree(buffer);
    return ok;
}

} // namespace

// ---- Wide build ---------------------------------------------------------------------------------

CHVDeviceRegInfo::CHVDeviceRegInfo(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData)
    : m_DevInfoData(deviceInfoData), m_hDevInfo(deviceInfoSet) {}

BOOL CHVDeviceRegInfo::m_GetRegistryProperty(DWORD property, std::u16string& out) const {
    SP_DEVINFO_DATA data = m_DevInfoData;
    return read_property<WCHAR>(
        [&](PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
            return SetupDiGetDeviceRegistryPropertyW(m_hDevInfo, &data, property, type, buffer, size, required);
        },
        out, true);
}

BOOL CHVDeviceRegInfo::m_SetRegistryProperty(DWORD property, const std::u16string& text) {
    DWORD bytes = DWORD((text.size() + 1) * sizeof(WCHAR));
    auto* buffer = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, bytes + 1));
    if (!buffer) return FALSE;
    std::memcpy(buffer, text.c_str(), bytes);
    BOOL ok = SetupDiSetDeviceRegistryPropertyW(m_hDevInfo, &m_DevInfoData, property, buffer, bytes);
    LocalFree(buffer);
    return ok ? TRUE : FALSE;
}

BOOL CHVDeviceRegInfo::m_GetDeviceValue(const WCHAR* name, std::u16string& out) const {
    SP_DEVINFO_DATA data = m_DevInfoData;
    HKEY key = SetupDiOpenDevRegKey(m_hDevInfo, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_READ);
    if (key == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    std::u16string text;
    BOOL ok = read_bounded_value(key, name, kValueBytesW, text);
    RegCloseKey(key);
    if (ok) out = text;
    return ok;
}

BOOL CHVDeviceRegInfo::m_SetDeviceValue(const WCHAR* name, const std::u16string& text) {
    HKEY key = SetupDiOpenDevRegKey(m_hDevInfo, &m_DevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
    if (key == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    // The terminator is not stored: the drivers store their strings the same way.
    LSTATUS status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                    DWORD(text.size() * sizeof(WCHAR)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// ---- 8-bit build --------------------------------------------------------------------------------

CHVDeviceRegInfoA::CHVDeviceRegInfoA(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData)
    : m_DevInfoData(deviceInfoData), m_hDevInfo(deviceInfoSet) {}

BOOL CHVDeviceRegInfoA::m_SetDevice(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData) {
    m_hDevInfo = deviceInfoSet;
    m_DevInfoData = deviceInfoData;
    return TRUE;
}

BOOL CHVDeviceRegInfoA::m_GetRegistryProperty(DWORD property, std::string& out) const {
    SP_DEVINFO_DATA data = m_DevInfoData;
    return read_property<CHAR>(
        [&](PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
            return SetupDiGetDeviceRegistryPropertyA(m_hDevInfo, &data, property, type, buffer, size, required);
        },
        out, false);
}

BOOL CHVDeviceRegInfoA::m_SetRegistryProperty(DWORD property, const std::string& text) {
    DWORD bytes = DWORD(text.size() + 1);
    auto* buffer = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, bytes + 1));
    if (!buffer) return FALSE;
    std::memcpy(buffer, text.c_str(), bytes);
    BOOL ok = SetupDiSetDeviceRegistryPropertyA(m_hDevInfo, &m_DevInfoData, property, buffer, bytes);
    LocalFree(buffer);
    return ok ? TRUE : FALSE;
}

BOOL CHVDeviceRegInfoA::m_GetDeviceValue(const CHAR* name, std::string& out) const {
    SP_DEVINFO_DATA data = m_DevInfoData;
    HKEY key = SetupDiOpenDevRegKey(m_hDevInfo, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_READ);
    if (key == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    std::string text;
    BOOL ok = read_bounded_value(key, name, kValueBytesA, text);
    RegCloseKey(key);
    if (ok) out = text;
    return ok;
}

BOOL CHVDeviceRegInfoA::m_SetDeviceValue(const CHAR* name, const std::string& text) {
    HKEY key = SetupDiOpenDevRegKey(m_hDevInfo, &m_DevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
    if (key == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    LSTATUS status =
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), DWORD(text.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The device's own driver key: the first instance of its class would give every device of the
// class the values of another one.
BOOL CHVDeviceRegInfoA::m_GetClassKeyValue(const CHAR* name, std::string& out) const {
    SP_DEVINFO_DATA data = m_DevInfoData;
    HKEY key = SetupDiOpenDevRegKey(m_hDevInfo, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == (HKEY)INVALID_HANDLE_VALUE) return FALSE;
    std::string text;
    BOOL ok = read_bounded_value(key, name, kClassKeyBytes, text);
    RegCloseKey(key);
    if (ok) out = text;
    return ok;
}

BOOL CHVDeviceRegInfoA::m_GetInfPath(std::string& out) const {
    std::string inf;
    if (!m_GetClassKeyValue("InfPath", inf)) return FALSE;
    CHAR windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    out = std::string(windows) + "\\Inf\\" + inf;
    return TRUE;
}

// ---- Device-set holders -------------------------------------------------------------------------

CHvSetupDi_DeviceInterface::CHvSetupDi_DeviceInterface(const GUID& interfaceClass) : m_InterfaceClass(interfaceClass) {}

CHvSetupDi_DeviceInterface::~CHvSetupDi_DeviceInterface() {
    if (m_hInterfaceList != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hInterfaceList);
}

CHvSetupDi_ParentDevice::CHvSetupDi_ParentDevice(HDEVINFO childSet, PSP_DEVINFO_DATA childData)
    : m_hChildSet(childSet), m_pChildData(childData) {}

CHvSetupDi_ParentDevice::~CHvSetupDi_ParentDevice() {
    if (m_hAllDevices != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hAllDevices);
}

BOOL CHvSetupDi_ParentDevice::m_FindParent() {
    if (m_hAllDevices == INVALID_HANDLE_VALUE) {
        m_hAllDevices = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        if (m_hAllDevices == INVALID_HANDLE_VALUE) {
            wprintf(u"SetupDiGetClassDevs failed: %x\n", GetLastError());
            return FALSE;
        }
    }
    DEVINST parent = 0;
    if (!m_pChildData || CM_Get_Parent(&parent, m_pChildData->DevInst, 0) != CR_SUCCESS) return FALSE;
    for (DWORD i = 0;; ++i) {
        m_ParentDevInfoData = {};
        m_ParentDevInfoData.cbSize = sizeof m_ParentDevInfoData;
        if (!SetupDiEnumDeviceInfo(m_hAllDevices, i, &m_ParentDevInfoData)) return FALSE;
        if (m_ParentDevInfoData.DevInst == parent) return TRUE;
    }
}
