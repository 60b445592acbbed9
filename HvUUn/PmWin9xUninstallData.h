// What the Windows 98/ME operation looks for (the older product generations of those systems,
// found through their registry layout) and what its searches found.
#pragma once

#include "PmUninstallData.h"

class CPmWin9xUninstallData : public CPmUninstallData {
public:
    CPmWin9xUninstallData();
    ~CPmWin9xUninstallData() override = default;

    // Search results; the key list starts with the older brand's Uninstall key.
    CStringList m_KeyList;
    CStringList m_InfList;
    CStringList m_HelpFileList;
    CStringList m_FileList;

    // Names and texts.
    CString m_strVendor;   // in device and instance names
    CString m_strProvider; // in "Mfg" and "ProviderName"
    CString m_strBrand;    // in instance names of multifunction cards
    CString m_strClassRoot;
    CStringList m_ClassKeys;
    CStringList m_EnumRoots;
    CStringList m_DriverNames;
    CStringList m_LibraryNames;
    CStringList m_InfNames;
    CStringList m_HelpNames;
};
