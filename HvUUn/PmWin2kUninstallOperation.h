// The uninstall operation of Windows 2000 and every later NT system.
#pragma once

#include "PmUninstallOperation.h"
#include "PmWin2kUninstallData.h"

class CPmWin2kUninstallOperation : public CPmUninstallOperation {
  public:
    CPmWin2kUninstallOperation() = default;
    ~CPmWin2kUninstallOperation() override = default;

    BOOL SearchProducts(CProgressCtrl* bar) override;
    BOOL SearchDriverFiles(CProgressCtrl* bar) override;
    BOOL SearchRegistryEntries(CProgressCtrl* bar) override;
    // Removes nothing and answers FALSE while a port of the product is open.
    BOOL UninstallProducts(CProgressCtrl* bar) override;
    BOOL UninstallDriverFiles(CProgressCtrl* bar) override;
    BOOL UninstallRegistryEntries(CProgressCtrl* bar) override;
    BOOL ArePortsFree() override;
    BOOL IsRebootNeeded() override { return m_Data.m_bRebootNeeded; }

    // For the program's tests and its wizard's messages.
    const CPmWin2kUninstallData& Data() const { return m_Data; }

  private:
    // A device is passed over when its ID names a subsystem 0x0800 to 0x0BFF.
    static BOOL PassesSubsystemFilter(const CString& text);
    BOOL NamesProduct(const CString& upperText) const;
    BOOL HasTableHardwareId(const CString& upperText) const;
    BOOL IsProductService(const CString& upperName) const;
    // The file a service's binary path names, as the system resolves it; empty when none.
    static CString DriverPathOf(const CString& binaryPath);
    void CollectComNumber(LPCSTR instanceKey);
    void DeleteKeyTree(LPCSTR path);

    CPmWin2kUninstallData m_Data;
};
