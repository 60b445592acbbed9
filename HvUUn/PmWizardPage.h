// What the uninstaller's wizard pages share: the operation they drive, the sheet they are on,
// the silent run's hiding, and the messages their workers send the sheet.
#pragma once

#include <afxdlgs.h>
#include <afxcmn.h>

class CPmUninstallOperation;
class CPmUninstallSheet;

class CPmWizardPage : public CPropertyPage {
public:
    CPmWizardPage(UINT templateId, UINT headerTitleId, UINT headerSubTitleId);

    void Bind(CPmUninstallSheet* sheet, CPmUninstallOperation* operation);

protected:
    BOOL IsSilent() const;
    // The page's title, on every page.
    void SetPageTitle();
    // A silent run shows no window: the sheet and the page hidden, the page off the task bar.
    void HideIfSilent();
    // Starts one of the page's workers; the sheet waits for it before it lets go of the pages.
    void StartWorker(AFX_THREADPROC proc);
    void SetControlText(CWnd& control, UINT stringId);

    // From the workers, by messages only.
    void PostWizardButtons(DWORD flags);
    void SendPressButton(int button);
    // Ends the wizard as its Cancel button would, with the result given.
    void EndWizard(int result);
    // The open-ports message; the wizard ends, nothing removed.
    void ReportPortsInUse();

    CPmUninstallOperation* m_pOperation = nullptr;
    CPmUninstallSheet* m_pSheet = nullptr;
};
