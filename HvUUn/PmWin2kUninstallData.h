// What the Windows 2000 and later operation looks for (the names of every version of the product
// family) and what its searches found.
#pragma once

#include "PmUninstallData.h"

#include <vector>

class CPmWin2kUninstallData : public CPmUninstallData {
  public:
    CPmWin2kUninstallData();
    ~CPmWin2kUninstallData() override;

    // Search results.
    CStringList m_KeyList;
    CStringList m_InfList;
    CStringList m_DriverFileList;
    CStringList m_ServiceList;
    CStringList m_HelpFileList;
    CPmRecordList m_DeviceList;
    HDEVINFO m_hDeviceInfoSet = INVALID_HANDLE_VALUE;
    CList<ULONG, ULONG> m_ComNumberList;
    CStringList m_OemInfList;

    // Name tables.
    CStringList m_SetupClasses;
    CStringList m_ManufacturerTexts;
    CStringList m_SystemFileNames;
    CStringList m_DriverFileNames;
    CStringList m_ServiceNames;
    CStringList m_InfNames;
    CStringList m_HelpFileNames;
    CStringList m_CandidateKeys;
    CStringList m_ClassKeys;
    CStringList m_EnumRoots;
    CStringList m_HardwareIds;
};

// Appends the text unless the list holds it already.
void AddUnique(CStringList& list, LPCSTR text);
