// The uninstaller's single dialog on Windows 95: "&Uninstall" runs the Windows 9x operation once
// from start to end on a worker; "&Finish" ends the program, asking for a restart when one is
// needed.
#pragma once

#include <afxwin.h>
#include <afxcmn.h>

class CPmWin9xUninstallOperation;

class CPmWin95Dialog : public CDialog {
public:
    explicit CPmWin95Dialog(CWnd* parent = nullptr);
    // Waits for the worker, then deletes the operation.
    ~CPmWin95Dialog() override;

    // Every step of the sequence ran.
    BOOL Uninstalled() const;

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    afx_msg void OnUninstall();
    afx_msg void OnFinish();

    DECLARE_MESSAGE_MAP()

private:
    static UINT Win95DialogThread(LPVOID dialog);
    // Runs the sequence; FALSE when a removal stopped it.
    BOOL RunSequence();

    CStatic m_Message;
    CProgressCtrl m_StepBar;
    CProgressCtrl m_OverallBar;
    CStatic m_StepText;
    CButton m_UninstallButton;
    CStatic m_OverallLabel;
    CStatic m_Continue;
    CFont m_HeadingFont;
    CPmWin9xUninstallOperation* m_pOperation = nullptr;
    CWinThread* m_pWorker = nullptr;
    // Written by the worker, read once it has ended.
    BOOL m_bUninstalled = FALSE;
};
