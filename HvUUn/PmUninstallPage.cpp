#include "PmUninstallPage.h"

#include <afxdlgs.h>

#include "PmUninstallOperation.h"
#include "PmUninstallSheet.h"
#include "SystemShims.h"
#include "resource.h"

CPmUninstallPage::CPmUninstallPage()
    : CPmProgressPage(IDD_UNINSTALL, IDS_UNINSTALL_HEADER, IDS_UNINSTALL_SUBHEADER, IDC_UNINSTALL_STEP,
                      IDC_UNINSTALL_PROGRESS, IDS_OVERALL_PROGRESS) {}

BOOL CPmUninstallPage::OnSetActive() {
    PostWizardButtons(PSWIZB_DISABLEDFINISH);
    m_pSheet->GetSystemMenu(FALSE)->DeleteMenu(SC_CLOSE, MF_BYCOMMAND);
    m_pSheet->GetDlgItem(IDCANCEL)->EnableWindow(FALSE);
    HideIfSilent();
    StartWorker(&CPmUninstallPage::UninstallPageThread);
    return CPmProgressPage::OnSetActive();
}

void CPmUninstallPage::EndAfterFailure() {
    m_pSheet->m_nModalResult = ID_WIZFINISH;
    SendPressButton(PSBTN_FINISH);
}

UINT CPmUninstallPage::UninstallPageThread(LPVOID param) {
    auto* page = static_cast<CPmUninstallPage*>(param);
    CPmUninstallOperation* operation = page->m_pOperation;
    page->StartSteps(3, IDS_UNINSTALLING_PRODUCTS);
    // The confirmation may have waited long: a port opened meanwhile stops the removal before
    // anything goes.
    if (!operation->ArePortsFree()) {
        page->ReportPortsInUse();
        return 0;
    }
    if (!operation->UninstallProducts(&page->m_StepBar)) {
        page->EndAfterFailure();
        return 0;
    }

    page->NextStep(IDS_UNINSTALLING_FILES);
    const BOOL redirection = EnableFsRedirection(FALSE);
    const BOOL filesRemoved = operation->UninstallDriverFiles(&page->m_StepBar);
    if (redirection == 1) EnableFsRedirection(TRUE);
    if (!filesRemoved) {
        page->EndAfterFailure();
        return 0;
    }

    page->NextStep(IDS_UNINSTALLING_REGISTRY);
    if (!operation->UninstallRegistryEntries(&page->m_StepBar)) {
        page->EndAfterFailure();
        return 0;
    }

    page->NextStep(IDS_UNINSTALL_COMPLETED);
    page->PostWizardButtons(PSWIZB_NEXT);
    page->SendPressButton(PSBTN_NEXT);
    return 0;
}
