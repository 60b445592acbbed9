// The setup program's application object: a single instance, the command line, the rights
// test, and either the silent run or the wizard.
#pragma once

#include <afxwin.h>

class CPmInstApp : public CWinApp {
public:
    CPmInstApp();

    BOOL InitInstance() override;
    // The exit code: 0, or why a silent run installed nothing (a Windows error code).
    int ExitInstance() override;

    BOOL HasHighColorDisplay();
    BOOL IsVistaOrLater();
    BOOL IsUserAdmin();

    DECLARE_MESSAGE_MAP()

private:
    BOOL RunSilent();
    void ShowUsage();
    void RunWizard();

    DWORD m_ExitCode = 0;
};
