#include "PmSearchPage.h"

#include "PmUninstallOperation.h"
#include "PmUninstallSheet.h"
#include "SystemShims.h"
#include "resource.h"

CPmSearchPage::CPmSearchPage()
    : CPmProgressPage(IDD_SEARCH, IDS_SEARCH_HEADER, IDS_SEARCH_SUBHEADER, IDC_SEARCH_STEP, IDC_SEARCH_PROGRESS,
                      IDS_SEARCH_OVERALL) {}

BOOL CPmSearchPage::OnSetActive() {
    PostWizardButtons(PSWIZB_DISABLEDFINISH);
    // The worker uses the operation: the wizard must not close under it.
    m_pSheet->GetDlgItem(IDCANCEL)->EnableWindow(FALSE);
    HideIfSilent();
    StartWorker(&CPmSearchPage::SearchPageThread);
    return CPmProgressPage::OnSetActive();
}

LRESULT CPmSearchPage::OnWizardNext() { return CPmProgressPage::OnWizardNext(); }

UINT CPmSearchPage::SearchPageThread(LPVOID param) {
    auto* page = static_cast<CPmSearchPage*>(param);
    CPmUninstallOperation* operation = page->m_pOperation;
    page->StartSteps(3, IDS_SEARCHING_PRODUCTS);
    operation->SearchProducts(&page->m_StepBar);

    page->NextStep(IDS_SEARCHING_FILES);
    const BOOL redirection = EnableFsRedirection(FALSE);
    operation->SearchDriverFiles(&page->m_StepBar);
    if (redirection == 1) EnableFsRedirection(TRUE);

    page->NextStep(IDS_SEARCHING_REGISTRY);
    operation->SearchRegistryEntries(&page->m_StepBar);

    page->NextStep(IDS_SEARCH_FINISHED);
    if (operation->ArePortsFree()) {
        page->PostWizardButtons(PSWIZB_NEXT);
        page->SendPressButton(PSBTN_NEXT);
    } else {
        page->ReportPortsInUse();
    }
    return 0;
}
