// What the wizard's pages and the setup program's two workers share: the package's INF files
// with the hardware IDs each serves, the result of the install run, and the work device set.
#pragma once

#include <afxwin.h>
#include <setupapi.h>

#include <atomic>

// One INF file of the package and the hardware IDs its driver is bound to.
class CDeviceInf {
public:
    CDeviceInf() : m_HardwareIds(10) {}
    virtual ~CDeviceInf() = default;

    CString m_InfPath;
    CStringList m_HardwareIds;
};

// One device found for removal.
class CDriver {
public:
    CDriver() {
        m_DevInfoData = {};
        m_DevInfoData.cbSize = sizeof m_DevInfoData;
    }
    SP_DEVINFO_DATA m_DevInfoData;
};

class CTarrowUSBInstallData {
public:
    // The INF files are looked for in the process's current directory.
    CTarrowUSBInstallData();
    virtual ~CTarrowUSBInstallData();
    CTarrowUSBInstallData(const CTarrowUSBInstallData&) = delete;
    CTarrowUSBInstallData& operator=(const CTarrowUSBInstallData&) = delete;

    CList<CDeviceInf*, CDeviceInf*> m_BusInfList;
    CList<CDeviceInf*, CDeviceInf*> m_PortInfList;
    CString m_ResultTitle;
    BOOL m_Installed;
    CString m_ResultMessage;
    CString m_UninstallerName;
    HDEVINFO m_DeviceSet;

    // Why the last run did not install (a Windows error code); 0 after a completed run. A silent
    // run ends with it as the program's exit code.
    DWORD m_FailureCode;
    // Workers that still use this data; it is deleted only once they have ended.
    std::atomic<int> m_RunningWorkers;
    void WaitForWorkers() const;
};
