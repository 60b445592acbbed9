// The uninstall operation of Windows 98 and ME: the older product generations' files and the
// registry entries of the Windows 9x layout (Enum and Services\Class). It removes no device
// itself and has no ports test.
#pragma once

#include "PmUninstallOperation.h"
#include "PmWin9xUninstallData.h"

class CPmWin9xUninstallOperation : public CPmUninstallOperation {
public:
    CPmWin9xUninstallOperation() = default;
    ~CPmWin9xUninstallOperation() override = default;

    BOOL SearchProducts(CProgressCtrl* bar) override;
    BOOL SearchDriverFiles(CProgressCtrl* bar) override;
    BOOL SearchRegistryEntries(CProgressCtrl* bar) override;
    BOOL UninstallProducts(CProgressCtrl* bar) override;
    BOOL UninstallDriverFiles(CProgressCtrl* bar) override;
    BOOL UninstallRegistryEntries(CProgressCtrl* bar) override;
    // A restart is needed when the rescan says so or a file goes only at the next start.
    BOOL IsRebootNeeded() override;

    const CPmWin9xUninstallData& Data() const { return m_Data; }

private:
    // Appends the path of each name found in the folder (pattern "%s\%s" or "%s\Inf\%s"...).
    void FindFiles(const CStringList& names, LPCSTR pattern, LPCSTR folder, CStringList& found);
    // The instance's driver key, from its "Driver" value, when it has one.
    void AddDriverKey(HKEY instance);
    void SearchEnumRoot(const CString& root);
    // Deletes the path and, when it was there, its companion (the extension replaced).
    void DeleteWithCompanion(const CString& path, LPCSTR extension, LPCSTR companion);

    CPmWin9xUninstallData m_Data;
};
