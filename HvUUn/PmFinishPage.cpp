#include "PmFinishPage.h"

#include "HeadingFont.h"
#include "PmUninstallOperation.h"
#include "PmUninstallSheet.h"
#include "SystemShims.h"
#include "resource.h"

BEGIN_MESSAGE_MAP(CPmFinishPage, CPmWizardPage)
ON_WM_DESTROY()
END_MESSAGE_MAP()

CPmFinishPage::CPmFinishPage() : CPmWizardPage(IDD_FINISH, IDS_FINISH_HEADER, IDS_FINISH_SUBHEADER) {
    m_psp.dwFlags |= PSP_HIDEHEADER;
}

void CPmFinishPage::DoDataExchange(CDataExchange* dx) {
    CPmWizardPage::DoDataExchange(dx);
    DDX_Control(dx, IDC_FINISH_HEADING, m_Heading);
    DDX_Control(dx, IDC_FINISH_TEXT, m_Text);
    DDX_Control(dx, IDC_FINISH_CLOSE, m_Close);
    DDX_Control(dx, IDC_FINISH_NOTE, m_Note);
}

BOOL CPmFinishPage::OnInitDialog() {
    CPmWizardPage::OnInitDialog();
    SetPageTitle();
    if (CreateHeadingFont(m_HeadingFont)) m_Heading.SetFont(&m_HeadingFont);
    SetControlText(m_Heading, IDS_UNINSTALL_COMPLETED);
    m_Note.SetWindowText("");
    SetControlText(m_Close, IDS_FINISH_CLOSE);
    SetControlText(m_Text, IDS_FINISH_TEXT);
    HideIfSilent();
    return TRUE;
}

BOOL CPmFinishPage::OnSetActive() {
    PostWizardButtons(PSWIZB_FINISH);
    m_pSheet->SetUninstalled();
    if (IsSilent()) StartWorker(&CPmFinishPage::FinishPageSilentThread);
    return CPmWizardPage::OnSetActive();
}

BOOL CPmFinishPage::OnWizardFinish() {
    if (m_pOperation) m_pOperation->DeleteInstalledUninstaller();
    return CPmWizardPage::OnWizardFinish();
}

void CPmFinishPage::OnDestroy() {
    CPmWizardPage::OnDestroy();
    // A silent run asks nothing: the restart is left to whoever started it.
    if (IsSilent() || !m_pOperation || !m_pOperation->IsRebootNeeded()) return;
    CString text, caption;
    text.LoadString(IDS_RESTART_QUESTION);
    caption.LoadString(IDS_INTRO_HEADER);
    if (::MessageBoxA(nullptr, text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES) RestartWindows();
}

UINT CPmFinishPage::FinishPageSilentThread(LPVOID page) {
    static_cast<CPmFinishPage*>(page)->EndWizard(IDOK);
    return 0;
}
