#include "PmIntroPage.h"

#include "HeadingFont.h"
#include "PmUninstallSheet.h"
#include "resource.h"

CPmIntroPage::CPmIntroPage() : CPmWizardPage(IDD_INTRO, IDS_INTRO_HEADER, IDS_INTRO_SUBHEADER) {
    m_psp.dwFlags |= PSP_HIDEHEADER;
}

void CPmIntroPage::DoDataExchange(CDataExchange* dx) {
    CPmWizardPage::DoDataExchange(dx);
    DDX_Control(dx, IDC_INTRO_HEADING, m_Heading);
    DDX_Control(dx, IDC_INTRO_TEXT, m_Text);
    DDX_Control(dx, IDC_INTRO_CONTINUE, m_Continue);
}

BOOL CPmIntroPage::OnInitDialog() {
    CPmWizardPage::OnInitDialog();
    SetPageTitle();
    if (CreateHeadingFont(m_HeadingFont)) m_Heading.SetFont(&m_HeadingFont);
    SetControlText(m_Heading, IDS_INTRO_HEADING);
    SetControlText(m_Text, IDS_INTRO_TEXT);
    SetControlText(m_Continue, IDS_INTRO_CONTINUE);
    HideIfSilent();
    return TRUE;
}

BOOL CPmIntroPage::OnSetActive() {
    PostWizardButtons(PSWIZB_NEXT);
    m_pSheet->GetDlgItem(IDHELP)->ShowWindow(SW_HIDE);
    if (IsSilent()) {
        HideIfSilent();
        StartWorker(&CPmIntroPage::IntroPageSilentThread);
    }
    return CPmWizardPage::OnSetActive();
}

UINT CPmIntroPage::IntroPageSilentThread(LPVOID page) {
    static_cast<CPmIntroPage*>(page)->SendPressButton(PSBTN_NEXT);
    return 0;
}
