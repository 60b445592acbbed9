#include "PmWin95Dialog.h"

#include <new>

#include "HeadingFont.h"
#include "PmWin9xUninstallOperation.h"
#include "SystemShims.h"
#include "WorkerThread.h"
#include "resource.h"

BEGIN_MESSAGE_MAP(CPmWin95Dialog, CDialog)
ON_BN_CLICKED(IDOK, &CPmWin95Dialog::OnUninstall)
ON_BN_CLICKED(IDCANCEL, &CPmWin95Dialog::OnFinish)
END_MESSAGE_MAP()

CPmWin95Dialog::CPmWin95Dialog(CWnd* parent) : CDialog(IDD_WIN95, parent) {}

CPmWin95Dialog::~CPmWin95Dialog() {
    WaitForWorker(m_pWorker);
    delete m_pOperation;
}

BOOL CPmWin95Dialog::Uninstalled() const { return m_bUninstalled; }

void CPmWin95Dialog::DoDataExchange(CDataExchange* dx) {
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_WIN95_MESSAGE, m_Message);
    DDX_Control(dx, IDC_WIN95_STEP_PROGRESS, m_StepBar);
    DDX_Control(dx, IDC_WIN95_OVERALL_PROGRESS, m_OverallBar);
    DDX_Control(dx, IDC_WIN95_STEP, m_StepText);
    DDX_Control(dx, IDOK, m_UninstallButton);
    DDX_Control(dx, IDC_OVERALL_LABEL, m_OverallLabel);
    DDX_Control(dx, IDC_WIN95_CONTINUE, m_Continue);
}

BOOL CPmWin95Dialog::OnInitDialog() {
    CDialog::OnInitDialog();
    if (CreateHeadingFont(m_HeadingFont)) m_Message.SetFont(&m_HeadingFont);
    CString text;
    text.LoadString(IDS_WIN95_MESSAGE);
    m_Message.SetWindowText(text);
    // Without the operation the dialog still opens; its buttons then run nothing.
    m_pOperation = new (std::nothrow) CPmWin9xUninstallOperation;
    return TRUE;
}

void CPmWin95Dialog::OnUninstall() {
    if (!m_pOperation || m_pWorker) return;
    // The sequence runs once: a second press must not start a second worker.
    m_UninstallButton.EnableWindow(FALSE);
    m_pWorker = StartWorker(&CPmWin95Dialog::Win95DialogThread, this);
}

BOOL CPmWin95Dialog::RunSequence() {
    auto step = [this](UINT text) {
        m_OverallBar.StepIt();
        CString line;
        line.LoadString(text);
        m_StepText.SetWindowText(line);
    };
    CPmWin9xUninstallOperation* operation = m_pOperation;
    operation->SearchProducts(&m_StepBar);
    step(IDS_SEARCHING_FILES);
    operation->SearchDriverFiles(&m_StepBar);
    step(IDS_SEARCHING_REGISTRY);
    operation->SearchRegistryEntries(&m_StepBar);
    step(IDS_UNINSTALLING_PRODUCTS);
    if (!operation->UninstallProducts(&m_StepBar)) return FALSE;
    step(IDS_UNINSTALLING_FILES);
    if (!operation->UninstallDriverFiles(&m_StepBar)) return FALSE;
    step(IDS_UNINSTALLING_REGISTRY);
    if (!operation->UninstallRegistryEntries(&m_StepBar)) return FALSE;
    step(IDS_UNINSTALL_COMPLETED);
    return TRUE;
}

UINT CPmWin95Dialog::Win95DialogThread(LPVOID param) {
    auto* dialog = static_cast<CPmWin95Dialog*>(param);
    dialog->m_OverallBar.SetRange(0, 6);
    dialog->m_OverallBar.SetStep(1);
    CString text;
    text.LoadString(IDS_SEARCHING_PRODUCTS);
    dialog->m_StepText.SetWindowText(text);
    for (CWnd* control : {static_cast<CWnd*>(&dialog->m_StepText), static_cast<CWnd*>(&dialog->m_StepBar),
                          static_cast<CWnd*>(&dialog->m_OverallLabel), static_cast<CWnd*>(&dialog->m_OverallBar)})
        control->ShowWindow(SW_SHOW);
    if (dialog->RunSequence()) {
        dialog->m_StepBar.SetRange(0, 1);
        dialog->m_StepBar.SetStep(1);
        dialog->m_StepBar.StepIt();
        dialog->m_bUninstalled = TRUE;
    }
    dialog->m_UninstallButton.EnableWindow(FALSE);
    return 0;
}

void CPmWin95Dialog::OnFinish() {
    // The operation is the worker's while it runs: the dialog ends only after it.
    WaitForWorker(m_pWorker);
    if (m_pOperation && m_pOperation->IsRebootNeeded() &&
        AfxMessageBox("You need to reboot your machine to complete uninstallation.\nDo you want to reboot now?",
                      MB_YESNO) == IDYES) {
        CDialog::OnOK();
        RestartWindows9x();
    }
    CDialog::OnCancel();
}
