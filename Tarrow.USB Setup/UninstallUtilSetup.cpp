// The setup program's own members of the uninstall utility: opening a device by its instance ID
// and asking Plug and Play to look at the device tree again.
#include "UninstallUtil.h"

#include <cfgmgr32.h>

BOOL CUninstallUtil::m_OpenDeviceInfo(HDEVINFO deviceSet, LPCSTR instanceId, PSP_DEVINFO_DATA device) {
    return SetupDiOpenDeviceInfoA(deviceSet, instanceId, nullptr, 0, device);
}

BOOL CUninstallUtil::m_RescanDevices() {
    DEVINST root = 0;
    if (CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return FALSE;
    if (CM_Reenumerate_DevNode(root, CM_REENUMERATE_NORMAL) != CR_SUCCESS) return FALSE;
    // Windows 2000 has no second pass that retries failed installations.
    if (!m_IsWindows2000() && CM_Reenumerate_DevNode(root, CM_REENUMERATE_RETRY_INSTALLATION) != CR_SUCCESS)
        return FALSE;
    return TRUE;
}
