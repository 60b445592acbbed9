// COM names: the COM port database, the rename that keeps a port's name consistent wherever it
// is kept, the Ports entry, restarting a device, and single values of a device hardware key.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <msports.h>
#include <setupapi.h>

#include <hv_wchar.h>

#include <string>
#include <vector>

#include "HVDeviceRegInfo.h"

// The number of a COM name: what follows "COM" as a decimal number; 0 without digits.
DWORD ComNumberOf(const std::u16string& name);
// A name a port can be given: "COM" and a decimal number the database can hold.
bool IsValidComName(const std::u16string& name);
// "COM%d".
std::u16string ComNameOf(DWORD number);

class CPortUtil {
public:
    BOOL m_Open();
    void m_Close();
    BOOL m_ClaimPortNumber(DWORD number, BOOL force, PBOOL forced = nullptr);
    BOOL m_ReleasePortNumber(DWORD number);
    BOOL m_IsPortNumberFree(DWORD number);
    BOOL m_CanOpenPort(const std::u16string& name);
    BOOL m_WritePortsEntry(const std::u16string& name, DWORD baudRate, DWORD dataBitsIndex, DWORD parityIndex,
                           DWORD stopBitsIndex, DWORD flowControlIndex);
    std::vector<std::u16string> m_BuildPortNameList(const std::u16string& currentName);

protected:
    HCOMDB m_hComDB = HCOMDB_INVALID_HANDLE_VALUE;
};

class CCOMPortUtil : public CPortUtil, public CHVDeviceRegInfo {
public:
    CCOMPortUtil(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA deviceInfoData);

    BOOL m_FreePortNumber(const std::u16string& name);
    BOOL m_ReleasePortName();
    BOOL m_ChangePortName(const std::u16string& newName, HWND owner, BOOL interactive, BOOL reenumerate);
};

class CDeviceUtil {
public:
    BOOL m_RenameDosDevice(const std::u16string& oldName, const std::u16string& newName);
    BOOL m_DisableDevice(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA deviceInfoData);
    BOOL m_EnableDevice(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA deviceInfoData);
    BOOL m_ReenumerateDevice(const std::u16string& instanceId);
    BOOL m_ReenumerateDeviceInfo(SP_DEVINFO_DATA deviceInfoData);

private:
    BOOL m_ChangeState(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA& deviceInfoData, DWORD stateChange);
};

BOOL GetDeviceStringValue(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData, const WCHAR* name,
                          std::u16string& out);
BOOL GetDeviceDwordValue(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData, const WCHAR* name, DWORD& out);
BOOL SetDeviceDwordValue(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData, const WCHAR* name, DWORD value);

// The device instance ID of a device node; FALSE when it cannot be obtained.
BOOL DeviceInstanceIdOf(DEVINST devInst, std::u16string& out);
