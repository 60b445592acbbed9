// Small stateless helpers shared by the uninstaller and the setup program: device sets and
// properties, device removal, opening protected keys, the version questions, the system folder.
#pragma once

#include <afx.h>
#include <setupapi.h>

class CUninstallUtil {
  public:
    virtual ~CUninstallUtil() = default;

    BOOL m_GetClassDevices(HDEVINFO* deviceSet, DWORD flags);
    // Only the first string of a multi-string property is searched; callers pass `text`
    // upper-cased.
    BOOL m_DevicePropertyContains(HDEVINFO deviceSet, LPCSTR text, PSP_DEVINFO_DATA device, DWORD property);
    // Removes the device and always deletes its set entry. `needReboot`, when given, tells
    // whether the removal is completed only by a restart (a vetoed removal).
    BOOL m_RemoveDevice(HDEVINFO deviceSet, PSP_DEVINFO_DATA device, BOOL* needReboot = nullptr);
    // Replace the DACL of HKLM\subKey (and, for the tree, of every key below it) by one entry:
    // Everyone, full control.
    BOOL m_GrantKeyAccess(LPCSTR subKey, REGSAM extraAccess);
    BOOL m_GrantKeyTreeAccess(LPCSTR subKey, REGSAM extraAccess);
    BOOL m_IsWin2000OrLater();
    BOOL m_IsWindows2000();
    BOOL m_IsWin98OrMe();
    BOOL m_GetSystemDir(CString& dir);
    // The setup program's own (Tarrow.USB Setup/UninstallUtilSetup.cpp).
    BOOL m_OpenDeviceInfo(HDEVINFO deviceSet, LPCSTR instanceId, PSP_DEVINFO_DATA device);
    BOOL m_RescanDevices();
};
