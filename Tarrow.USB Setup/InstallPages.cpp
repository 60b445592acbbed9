// The wizard's sheet and pages, and the intro page's detection worker.
#include "InstallSheet.h"

#include "HeadingFont.h"
#include "PreviousInstallation.h"
#include "Resource.h"

namespace {

const char kDetecting[] = "Please wait while detecting previous installations.....";
const char kPreviousFound[] = "Setup detected a previous installation. Setup will uninstall the existing "
                              "installation and re-install current version from fresh.";

CString LoadText(UINT id) {
    CString text;
    text.LoadString(id);
    return text;
}

void SetTitleText(CWnd& window) { window.SetWindowText(LoadText(IDS_TITLE)); }

} // namespace

// ---- Intro page --------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CPmIntroPage, CPropertyPage)
ON_WM_ACTIVATE()
ON_WM_DESTROY()
ON_WM_ENABLE()
END_MESSAGE_MAP()

CPmIntroPage::CPmIntroPage() : CPropertyPage(IDD_INTRO, 0, IDS_INTRO_HEADER_TITLE, IDS_INTRO_HEADER_SUBTITLE) {
    m_psp.dwFlags |= PSP_HIDEHEADER;
}

CPmIntroPage::~CPmIntroPage() = default;

void CPmIntroPage::DoDataExchange(CDataExchange* dx) {
    CPropertyPage::DoDataExchange(dx);
    DDX_Control(dx, IDC_WELCOME, m_Welcome);
    DDX_Control(dx, IDC_INTRO_TEXT, m_Message);
    DDX_Control(dx, IDC_REMOVE_DEVICES, m_RemoveDevices);
    DDX_Control(dx, IDC_PREVIOUS_ICON, m_PreviousIcon);
    DDX_Control(dx, IDC_DETECTION, m_Detection);
}

BOOL CPmIntroPage::OnInitDialog() {
    CPropertyPage::OnInitDialog();
    CreateHeadingFont(m_TitleFont);
    m_Welcome.SetWindowText(LoadText(IDS_WELCOME));
    m_Welcome.SetFont(&m_TitleFont, TRUE);
    m_Message.SetWindowText(LoadText(IDS_INTRO_TEXT));
    m_RemoveDevices.SetWindowText(LoadText(IDS_REMOVE_DEVICES));
    m_RemoveDevices.ShowWindow(SW_HIDE);
    SetTitleText(*this);
    return TRUE;
}

BOOL CPmIntroPage::OnSetActive() {
    CWnd* sheet = GetParent();
    sheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_DISABLEDFINISH);
    sheet->GetDlgItem(IDHELP)->ShowWindow(SW_HIDE);
    sheet->GetDlgItem(IDCANCEL)->EnableWindow(FALSE);
    // Closing the sheet would delete the install data under the detection worker.
    sheet->GetSystemMenu(FALSE)->EnableMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    m_Detection.SetWindowText(kDetecting);
    ++m_pInstallData->m_RunningWorkers;
    AfxBeginThread(PreviousInstallThread, this);
    CPropertyPage::OnSetActive();
    return TRUE;
}

UINT PreviousInstallThread(LPVOID param) {
    auto* page = static_cast<CPmIntroPage*>(param);
    CTarrowUSBInstallData* data = page->m_pInstallData;
    if (DetectPreviousInstallation(data)) {
        page->m_Detection.SetWindowText(kPreviousFound);
        page->m_PreviousIcon.ShowWindow(SW_SHOW);
    } else {
        page->m_Detection.SetWindowText("");
    }
    CWnd* sheet = page->GetParent();
    sheet->GetDlgItem(IDCANCEL)->EnableWindow(TRUE);
    sheet->GetSystemMenu(FALSE)->EnableMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
    page->m_RemoveDevices.ShowWindow(SW_SHOW);
    sheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
    --data->m_RunningWorkers;
    return 0;
}

// ---- Install page ------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CTarrowUSBInstallPage, CPropertyPage)
ON_WM_ACTIVATE()
ON_WM_DESTROY()
END_MESSAGE_MAP()

CTarrowUSBInstallPage::CTarrowUSBInstallPage(BOOL silent)
    : CPropertyPage(IDD_INSTALL, 0, IDS_INSTALL_HEADER_TITLE, IDS_INSTALL_HEADER_SUBTITLE),
      m_bSilent(silent ? 1 : 0) {}

CTarrowUSBInstallPage::~CTarrowUSBInstallPage() = default;

void CTarrowUSBInstallPage::DoDataExchange(CDataExchange* dx) {
    CPropertyPage::DoDataExchange(dx);
    DDX_Control(dx, IDC_ANIMATE, m_Animate);
}

BOOL CTarrowUSBInstallPage::OnInitDialog() {
    CPropertyPage::OnInitDialog();
    SetTitleText(*this);
    return TRUE;
}

BOOL CTarrowUSBInstallPage::OnSetActive() {
    CWnd* sheet = GetParent();
    sheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_DISABLEDFINISH);
    sheet->GetSystemMenu(FALSE)->DeleteMenu(SC_CLOSE, MF_BYCOMMAND);
    sheet->GetDlgItem(IDCANCEL)->EnableWindow(FALSE);
    ++m_pInstallData->m_RunningWorkers;
    AfxBeginThread(InstallThread, this);
    CPropertyPage::OnSetActive();
    return TRUE;
}

LRESULT CTarrowUSBInstallPage::OnWizardNext() { return CPropertyPage::OnWizardNext(); }

BOOL CTarrowUSBInstallPage::RunInstall() {
    ++m_pInstallData->m_RunningWorkers;
    InstallThread(this);
    return TRUE;
}

// ---- Finish page -------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CPmFinishPage, CPropertyPage)
ON_WM_ACTIVATE()
ON_WM_DESTROY()
END_MESSAGE_MAP()

CPmFinishPage::CPmFinishPage() : CPropertyPage(IDD_FINISH, 0, IDS_FINISH_HEADER_TITLE, IDS_FINISH_HEADER_SUBTITLE) {
    m_psp.dwFlags |= PSP_HIDEHEADER;
}

CPmFinishPage::~CPmFinishPage() = default;

void CPmFinishPage::DoDataExchange(CDataExchange* dx) {
    CPropertyPage::DoDataExchange(dx);
    DDX_Control(dx, IDC_FINISH_TITLE, m_Title);
    DDX_Control(dx, IDC_FINISH_TEXT, m_Text);
    DDX_Control(dx, IDC_FINISH_CLOSE, m_Close);
    DDX_Control(dx, IDC_FINISH_NOTE, m_Note);
}

BOOL CPmFinishPage::OnInitDialog() {
    CPropertyPage::OnInitDialog();
    SetTitleText(*this);
    CreateHeadingFont(m_TitleFont);
    m_Title.SetWindowText(LoadText(IDS_COMPLETED));
    m_Title.SetFont(&m_TitleFont, TRUE);
    m_Note.SetWindowText("");
    m_Close.SetWindowText(LoadText(IDS_CLOSE_WIZARD));
    m_Text.SetWindowText(LoadText(IDS_SUCCESS));
    return TRUE;
}

BOOL CPmFinishPage::OnSetActive() {
    if (!m_pInstallData->m_Installed) {
        m_Title.SetWindowText(m_pInstallData->m_ResultTitle);
        m_Text.SetWindowText(m_pInstallData->m_ResultMessage);
    }
    GetParent()->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_FINISH);
    CPropertyPage::OnSetActive();
    return TRUE;
}

BOOL CPmFinishPage::OnWizardFinish() { return CPropertyPage::OnWizardFinish(); }

// ---- Sheet -------------------------------------------------------------------------------------

CTarrowUSBInstallSheet::CTarrowUSBInstallSheet(UINT caption_id, CWnd* parent, UINT select_page, HBITMAP watermark,
                                               HPALETTE palette, HBITMAP header)
    : CPropertySheet(caption_id, parent, select_page, watermark, palette, header), m_pInstallData(nullptr),
      m_InstallPage(FALSE) {
    AddPage(&m_IntroPage);
    AddPage(&m_InstallPage);
    AddPage(&m_FinishPage);
    m_pInstallData = new CTarrowUSBInstallData;
    m_psh.dwFlags |= PSH_WIZARD97 | PSH_HEADER | PSH_WATERMARK;
    m_IntroPage.m_pInstallData = m_pInstallData;
    m_InstallPage.m_pInstallData = m_pInstallData;
    m_FinishPage.m_pInstallData = m_pInstallData;
}

CTarrowUSBInstallSheet::~CTarrowUSBInstallSheet() = default;

BOOL CTarrowUSBInstallSheet::OnInitDialog() {
    CPropertySheet::OnInitDialog();
    SetTitle(LoadText(IDS_TITLE));
    return TRUE;
}
