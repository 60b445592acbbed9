#include "PmWizardPage.h"

#include "PmUninstallSheet.h"
#include "resource.h"

CPmWizardPage::CPmWizardPage(UINT templateId, UINT headerTitleId, UINT headerSubTitleId)
    : CPropertyPage(templateId, 0, headerTitleId, headerSubTitleId) {}

void CPmWizardPage::Bind(CPmUninstallSheet* sheet, CPmUninstallOperation* operation) {
    m_pSheet = sheet;
    m_pOperation = operation;
}

BOOL CPmWizardPage::IsSilent() const { return m_pSheet && m_pSheet->IsSilent(); }

void CPmWizardPage::SetPageTitle() {
    CString title;
    title.LoadString(IDS_PAGE_TITLE);
    SetWindowText(title);
}

void CPmWizardPage::HideIfSilent() {
    if (!IsSilent()) return;
    m_pSheet->ShowWindow(SW_HIDE);
    ShowWindow(SW_HIDE);
    ModifyStyleEx(WS_EX_APPWINDOW, 0);
}

void CPmWizardPage::StartWorker(AFX_THREADPROC proc) { m_pSheet->StartWorker(proc, this); }

void CPmWizardPage::SetControlText(CWnd& control, UINT stringId) {
    CString text;
    text.LoadString(stringId);
    control.SetWindowText(text);
}

void CPmWizardPage::PostWizardButtons(DWORD flags) {
    ::PostMessageW(m_pSheet->GetSafeHwnd(), PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(flags));
}

void CPmWizardPage::SendPressButton(int button) {
    ::SendMessageW(m_pSheet->GetSafeHwnd(), PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0);
}

void CPmWizardPage::EndWizard(int result) { m_pSheet->EndDialog(result); }

void CPmWizardPage::ReportPortsInUse() {
    MessageBox("The driver has NOT been removed.\r\n\r\nOne of the COM port is using by another program.\r\nPlease "
               "close the COM Port and try again.",
               "Un-installation Error", MB_ICONERROR);
    EndWizard(0);
}
