// The settings client: the interface search and the three transfers.
#include "HvUserModeConfig.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// No driver answers with a set anywhere near this size: a larger answer is refused unread.
const ULONG kLargestSet = 64 * 1024;

// Closes the handle of one transfer.
struct TransferHandle {
    HANDLE h;
    ~TransferHandle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

std::u16string Lowered(std::u16string text) {
    if (!text.empty()) CharLowerW(text.data());
    return text;
}

} // namespace

CHvUserModeConfig::CHvUserModeConfig(const GUID& interfaceClass, HDEVINFO deviceInfoSet,
                                     const SP_DEVINFO_DATA& deviceInfoData)
    : CHvSetupDi_DeviceInterface(interfaceClass), m_ConfigRegInfo(deviceInfoSet, deviceInfoData) {}

CHvUserModeConfig::~CHvUserModeConfig() = default;

BOOLEAN CHvUserModeConfig::m_Open() {
    std::u16string driverKey;
    if (!m_ConfigRegInfo.m_GetDriverKey(driverKey)) return FALSE;
    std::u16string reference = u"hvgendrv_";
    for (WCHAR c : driverKey)
        if (c != u'\\') reference += c;

    if (m_hInterfaceList != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hInterfaceList);
    m_hInterfaceList = SetupDiGetClassDevsW(&m_InterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (m_hInterfaceList == INVALID_HANDLE_VALUE) return FALSE;

    std::u16string path;
    if (!m_FindInterface(path, reference)) return FALSE;
    m_DevicePath = path;
    return TRUE;
}

BOOLEAN CHvUserModeConfig::m_FindInterface(std::u16string& path, const std::u16string& reference) {
    if (m_hInterfaceList == INVALID_HANDLE_VALUE) return FALSE;
    const std::u16string wanted = Lowered(reference);
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(m_hInterfaceList, nullptr, &m_InterfaceClass, index, &interfaceData))
            return FALSE;
        // The size query fails by design, with the size; an interface whose path cannot be had
        // is passed over, since the port's own may come after it.
        DWORD required = 0;
        if (SetupDiGetDeviceInterfaceDetailW(m_hInterfaceList, &interfaceData, nullptr, 0, &required, nullptr) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER || required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        std::vector<BYTE> buffer(required + sizeof(WCHAR));
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(m_hInterfaceList, &interfaceData, detail, required, nullptr, nullptr))
            continue;
        std::u16string candidate(detail->DevicePath);
        size_t slash = candidate.rfind(u'\\');
        std::u16string tail = slash == std::u16string::npos ? candidate : candidate.substr(slash + 1);
        if (Lowered(tail) == wanted) {
            path = candidate;
            return TRUE;
        }
    }
}

// The requests are sent synchronously, so the handle is not opened for overlapped I/O.
HANDLE CHvUserModeConfig::m_OpenInterface() const {
    if (m_DevicePath.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileW(m_DevicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOLEAN CHvUserModeConfig::m_Get(CPmInformationSet& set, ULONG ulSelector, ULONG ulSizeCode, ULONG ulReadCode) {
    set.m_SetComplete(FALSE);
    if (m_DevicePath.empty() || !set.m_GetValid()) return FALSE;
    TransferHandle handle{m_OpenInterface()};
    if (handle.h == INVALID_HANDLE_VALUE) return FALSE;
    PmUserModeRequestHeader header{ulSelector, PM_USER_MODE_DEFAULT_INDEX};
    DWORD size = 0, returned = 0;
    if (!DeviceIoControl(handle.h, ulSizeCode, &header, sizeof header, &size, sizeof size, &returned, nullptr) ||
        returned != sizeof size || size == 0 || size > kLargestSet)
        return FALSE;
    std::unique_ptr<UCHAR[]> buffer(new (std::nothrow) UCHAR[size]);
    if (!buffer) return FALSE;
    returned = 0;
    if (!DeviceIoControl(handle.h, ulReadCode, &header, sizeof header, buffer.get(), size, &returned, nullptr) ||
        returned > size)
        return FALSE;
    // What the answer holds is read even when it turns out not to fit the set, so that the
    // pages can show those values; only an answer of the announced size that fills every item
    // and leaves nothing over is the driver's set.
    ULONG remaining = returned;
    BOOLEAN bRead = set.m_Deserialise(buffer.get(), &remaining);
    BOOLEAN bComplete = bRead && remaining == 0 && returned == size;
    set.m_SetComplete(bComplete);
    return bComplete;
}

BOOLEAN CHvUserModeConfig::m_GetSettings(CPmInformationSet& set, ULONG ulSelector) {
    return m_Get(set, ulSelector, IOCTL_HVGENDRV_GET_SIZE, IOCTL_HVGENDRV_GET);
}

BOOLEAN CHvUserModeConfig::m_GetDefaultSettings(CPmInformationSet& set, ULONG ulSelector) {
    return m_Get(set, ulSelector, IOCTL_HVGENDRV_GET_DEFAULTS_SIZE, IOCTL_HVGENDRV_GET_DEFAULTS);
}

BOOLEAN CHvUserModeConfig::m_SetSettings(CPmInformationSet& set, ULONG ulSelector) {
    if (m_DevicePath.empty() || !set.m_IsComplete()) return FALSE;
    ULONG size = set.m_GetSerialisedSize();
    if (size == 0 || size > kLargestSet) return FALSE;
    std::unique_ptr<UCHAR[]> buffer(new (std::nothrow) UCHAR[size + sizeof(PmUserModeRequestHeader)]);
    if (!buffer) return FALSE;
    PmUserModeRequestHeader header{ulSelector, PM_USER_MODE_DEFAULT_INDEX};
    std::memcpy(buffer.get(), &header, sizeof header);
    ULONG room = size;
    if (!set.m_Serialise(buffer.get() + sizeof header, &room) || room != 0) return FALSE;
    TransferHandle handle{m_OpenInterface()};
    if (handle.h == INVALID_HANDLE_VALUE) return FALSE;
    DWORD returned = 0;
    return DeviceIoControl(handle.h, IOCTL_HVGENDRV_SET, buffer.get(), size + sizeof header, nullptr, 0, &returned,
                           nullptr)
               ? TRUE
               : FALSE;
}
