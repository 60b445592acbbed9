#include "PmConfirmPage.h"

#include "PmUninstallSheet.h"
#include "resource.h"

CPmConfirmPage::CPmConfirmPage() : CPmWizardPage(IDD_CONFIRM, IDS_CONFIRM_HEADER, IDS_CONFIRM_SUBHEADER) {}

void CPmConfirmPage::DoDataExchange(CDataExchange* dx) {
    CPmWizardPage::DoDataExchange(dx);
    DDX_Control(dx, IDC_CONFIRM_TEXT, m_Text);
    DDX_Control(dx, IDC_CONFIRM_BUTTONS, m_Buttons);
}

BOOL CPmConfirmPage::OnInitDialog() {
    CPmWizardPage::OnInitDialog();
    SetPageTitle();
    SetControlText(m_Text, IDS_CONFIRM_TEXT);
    SetControlText(m_Buttons, IDS_CONFIRM_BUTTONS);
    return TRUE;
}

BOOL CPmConfirmPage::OnSetActive() {
    PostWizardButtons(PSWIZB_NEXT);
    // The search's worker has ended: leaving here removes nothing.
    m_pSheet->GetDlgItem(IDCANCEL)->EnableWindow(TRUE);
    return CPmWizardPage::OnSetActive();
}
