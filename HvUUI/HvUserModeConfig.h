// The client of the drivers' settings interface for one port: finds the interface that the port
// driver registered for this port, then reads or writes a settings set in one self-contained
// transfer each (open, one control code, close), so no handle is held between transfers.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <pmusermodeprotocol.h>

#include <hv_wchar.h>

#include <string>

#include "HVDeviceRegInfo.h"
#include "PmInformationSet.h"

// Selectors of the request header.
#define HV_SETTINGS_PORT 0 // the port driver's own set
#define HV_SETTINGS_BUS 1  // the set of the port's parent bus device, forwarded by the port driver

class CHvUserModeConfig : public CHvSetupDi_DeviceInterface {
public:
    // The pages pass GUID_HVGENDRV_PORT_INTERFACE; the port's device data is copied.
    CHvUserModeConfig(const GUID& interfaceClass, HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData);
    ~CHvUserModeConfig() override;

    // Finds this port's interface ("hvgendrv_" and the driver key without backslashes, compared
    // without regard to case with the tail of each interface path) and keeps its path.
    BOOLEAN m_Open();
    // The set as the driver holds it, or the driver's defaults. A read that does not match the set
    // (short, long, a count that does not agree) fails and leaves the set incomplete, so it is
    // never written back; the items read before the fault keep their values.
    BOOLEAN m_GetSettings(CPmInformationSet& set, ULONG ulSelector);
    BOOLEAN m_GetDefaultSettings(CPmInformationSet& set, ULONG ulSelector);
    // Only a complete set is written.
    BOOLEAN m_SetSettings(CPmInformationSet& set, ULONG ulSelector);
    BOOLEAN m_FindInterface(std::u16string& path, const std::u16string& reference);

    const std::u16string& m_GetDevicePath() const { return m_DevicePath; }

protected:
    std::u16string m_DevicePath;
    CHVDeviceRegInfo m_ConfigRegInfo;

private:
    BOOLEAN m_Get(CPmInformationSet& set, ULONG ulSelector, ULONG ulSizeCode, ULONG ulReadCode);
    HANDLE m_OpenInterface() const;
};
