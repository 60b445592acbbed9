// The uninstall operation the wizard drives: three searches, three removals, the deletion of the
// installed uninstaller, the open-ports test, the restart question and a device rescan.
#pragma once

#include <afxcmn.h>

#include "PmUninstallData.h"

// A string value of up to 260 bytes, as both operations read them; FALSE when missing or of another type.
BOOL ReadString(HKEY key, LPCSTR name, CString& value);

class CPmUninstallOperation {
  public:
    CPmUninstallOperation() = default;
    virtual ~CPmUninstallOperation() = default;
    CPmUninstallOperation(const CPmUninstallOperation&) = delete;
    CPmUninstallOperation& operator=(const CPmUninstallOperation&) = delete;

    // Each search and removal sets up and steps the calling page's progress bar (null: none).
    virtual BOOL SearchProducts(CProgressCtrl* bar) { return TRUE; }
    virtual BOOL SearchDriverFiles(CProgressCtrl* bar) { return TRUE; }
    virtual BOOL SearchRegistryEntries(CProgressCtrl* bar) { return TRUE; }
    virtual BOOL UninstallProducts(CProgressCtrl* bar) { return FALSE; }
    virtual BOOL UninstallDriverFiles(CProgressCtrl* bar) { return FALSE; }
    virtual BOOL UninstallRegistryEntries(CProgressCtrl* bar) { return FALSE; }
    // Deletes the copy of this program that the device installation put in the system folder.
    virtual BOOL DeleteInstalledUninstaller();
    virtual BOOL ArePortsFree() { return TRUE; }
    virtual BOOL IsRebootNeeded() { return FALSE; }
    // Reenumerates the device tree from its root; *needRestart tells that only a restart
    // completes it.
    virtual BOOL RescanDevices(BOOL* needRestart);

  protected:
    static void SetBar(CProgressCtrl* bar, int lower, int upper);
    static void StepBar(CProgressCtrl* bar);
    // A bar of one step, stepped.
    static void FillBar(CProgressCtrl* bar);

    enum class DeleteResult { Missing, Deleted, Scheduled };
    // Deletes one file, making it writable first when it is read-only. A file that cannot be
    // deleted now goes to the failed-deletion list and is scheduled for deletion at the next
    // start, which sets the reboot flag.
    static DeleteResult DeletePath(CPmUninstallData& data, LPCSTR path);
};
