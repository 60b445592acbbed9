// HvUCoInstallGpio: the two functions of a card go together. The sibling's removal calls this
// co-installer again (in this process or another), so a named mutex marks the removal that is
// already running and the nested one removes nothing.
#include "CoInstallGpio.h"

#include <devguid.h>

#include <string>

#include "CoInstallPort.h"

namespace {

const WCHAR* const kRemovalGuard = u"{2E86B0F3-95A1-4c7d-B3F8-1D60E7A94C52}";
const std::u16string kFunction = u"function ";
constexpr DWORD kLocationBytes = 100;

// The location text, when it fits in the buffer.
BOOL ReadLocation(HDEVINFO set, PSP_DEVINFO_DATA data, std::u16string& out) {
    WCHAR buffer[kLocationBytes / sizeof(WCHAR) + 1] = {};
    DWORD type = REG_NONE;
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_LOCATION_INFORMATION, &type,
                                           reinterpret_cast<BYTE*>(buffer), kLocationBytes, nullptr) ||
        type != REG_SZ)
        return FALSE;
    out = buffer;
    return TRUE;
}

} // namespace

BOOL AcquireRemovalGuard(HANDLE* mutex) {
    *mutex = nullptr;
    HANDLE guard = CreateMutexW(nullptr, FALSE, kRemovalGuard);
    if (!guard) return FALSE;
    DWORD error = GetLastError();
    ReleaseMutex(guard);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        CloseHandle(guard);
        return TRUE;
    }
    *mutex = guard;
    return FALSE;
}

BOOL RemoveSiblingFunctionDevice(HDEVINFO set, PSP_DEVINFO_DATA data, WCHAR from, WCHAR to) {
    std::u16string sibling;
    if (!ReadLocation(set, data, sibling)) return FALSE;
    size_t at = sibling.find(kFunction);
    if (at == std::u16string::npos) return FALSE;
    at += kFunction.size();
    if (at >= sibling.size() || sibling[at] != from) return FALSE;
    sibling[at] = to;

    HDEVINFO list = SetupDiGetClassDevsW(&GUID_DEVCLASS_MULTIPORTSERIAL, nullptr, nullptr, DIGCF_PRESENT);
    if (list == INVALID_HANDLE_VALUE) return FALSE;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list, index, &device); ++index) {
        // A device whose location cannot be read is not the sibling, but one may follow it.
        std::u16string location;
        if (!ReadLocation(list, &device, location) || location != sibling) continue;
        SetupDiCallClassInstaller(DIF_REMOVE, list, &device);
        break;
    }
    SetupDiDestroyDeviceInfoList(list);
    return TRUE;
}

DWORD CALLBACK HvUCoInstallGpio(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                PCOINSTALLER_CONTEXT_DATA context) {
    switch (installFunction) {
    case DIF_INSTALLDEVICE:
        if (!context) return NO_ERROR;
        return context->PostProcessing ? context->InstallResult : ERROR_DI_POSTPROCESSING_REQUIRED;
    case DIF_REMOVE: {
        if (!deviceInfoData) return NO_ERROR;
        HANDLE guard = nullptr;
        if (!AcquireRemovalGuard(&guard)) RemoveSiblingFunctionDevice(deviceInfoSet, deviceInfoData, u'0', u'1');
        if (guard) CloseHandle(guard);
        return NO_ERROR;
    }
    case DIF_UPDATEDRIVER_UI: return RefuseMarkedUpdate(deviceInfoSet, deviceInfoData);
    default: return NO_ERROR;
    }
}
