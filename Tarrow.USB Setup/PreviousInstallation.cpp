#include "PreviousInstallation.h"

#include <cfgmgr32.h>
#include <mbstring.h>
#include <regstr.h>

#include "UninstallUtil.h"

namespace {

// Calls `visit` for each device of the work set that one of the bus INF's IDs names, once
// per matching ID; it returns FALSE to stop the walk.
template <typename Visit> void ForEachBusDevice(CTarrowUSBInstallData* data, Visit visit) {
    CUninstallUtil util;
    for (POSITION inf = data->m_BusInfList.GetHeadPosition(); inf;) {
        CDeviceInf* entry = data->m_BusInfList.GetNext(inf);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(data->m_DeviceSet, index, &device); ++index) {
            for (POSITION at = entry->m_HardwareIds.GetHeadPosition(); at;) {
                CString id = UpperCaseId(entry->m_HardwareIds.GetNext(at));
                if (!util.m_DevicePropertyContains(data->m_DeviceSet, id, &device, SPDRP_HARDWAREID))
                    continue;
                if (!visit(device)) return;
            }
        }
    }
}

} // namespace

CString UpperCaseId(const CString& id) {
    CString upper = id;
    _mbsupr_s(reinterpret_cast<unsigned char*>(upper.GetBuffer()), static_cast<size_t>(upper.GetLength()) + 1);
    upper.ReleaseBuffer();
    return upper;
}

BOOL DetectPreviousInstallation(CTarrowUSBInstallData* data) {
    if (!data) return FALSE;
    CUninstallUtil util;
    BOOL found = FALSE;
    if (util.m_GetClassDevices(&data->m_DeviceSet, DIGCF_ALLCLASSES)) {
        ForEachBusDevice(data, [&](SP_DEVINFO_DATA& device) {
            ULONG status = 0, problem = 0;
            CONFIGRET result = CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0);
            // A device that never got a driver is no installation; an absent one left its entry.
            found = (result == CR_SUCCESS && problem != CM_PROB_NOT_CONFIGURED) || result == CR_NO_SUCH_DEVNODE;
            return !found;
        });
    }
    SetupDiDestroyDeviceInfoList(data->m_DeviceSet);
    data->m_DeviceSet = INVALID_HANDLE_VALUE;
    return found;
}

void MarkAbsentDevicesForReinstallation(CTarrowUSBInstallData* data, BOOL silent) {
    CUninstallUtil util;
    if (util.m_GetClassDevices(&data->m_DeviceSet, DIGCF_ALLCLASSES)) {
        ForEachBusDevice(data, [&](SP_DEVINFO_DATA& device) {
            ULONG status = 0, problem = 0;
            if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) != CR_NO_SUCH_DEVNODE) return TRUE;
            DWORD flags = 0;
            if (!SetupDiGetDeviceRegistryPropertyA(data->m_DeviceSet, &device, SPDRP_CONFIGFLAGS, nullptr,
                                                   reinterpret_cast<BYTE*>(&flags), sizeof flags, nullptr))
                return TRUE;
            flags |= CONFIGFLAG_REINSTALL;
            if (!SetupDiSetDeviceRegistryPropertyA(data->m_DeviceSet, &device, SPDRP_CONFIGFLAGS,
                                                   reinterpret_cast<BYTE*>(&flags), sizeof flags)) {
                CString message;
                message.Format("Error : SetupDiSetDeviceRegistryProperty 0x%X", GetLastError());
                if (!silent) MessageBoxA(nullptr, message, "Error", MB_OK);
            }
            return TRUE;
        });
    }
    SetupDiDestroyDeviceInfoList(data->m_DeviceSet);
    data->m_DeviceSet = INVALID_HANDLE_VALUE;
}
