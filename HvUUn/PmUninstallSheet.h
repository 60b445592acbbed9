// The uninstaller's wizard: five pages and the uninstall operation they drive.
#pragma once

#include <afxdlgs.h>

#include <vector>

#include "PmConfirmPage.h"
#include "PmFinishPage.h"
#include "PmIntroPage.h"
#include "PmSearchPage.h"
#include "PmUninstallPage.h"

class CPmUninstallOperation;

class CPmUninstallSheet : public CPropertySheet {
public:
    CPmUninstallSheet(UINT captionId, CWnd* parent, UINT selectPage, HBITMAP watermark, HPALETTE palette,
                      HBITMAP header, BOOL silent);
    // Waits for the pages' workers, then deletes the operation.
    ~CPmUninstallSheet() override;

    BOOL OnInitDialog() override;

    BOOL HasOperation() const { return m_pOperation != nullptr; }
    BOOL IsSilent() const { return m_bSilent; }
    // The finish page was reached: every removal step ran.
    BOOL Uninstalled() const { return m_bUninstalled; }
    void SetUninstalled() { m_bUninstalled = TRUE; }

    void StartWorker(AFX_THREADPROC proc, LPVOID page);
    void WaitForWorkers();

private:
    CPmIntroPage m_IntroPage;
    CPmSearchPage m_SearchPage;
    CPmConfirmPage m_ConfirmPage;
    CPmUninstallPage m_UninstallPage;
    CPmFinishPage m_FinishPage;
    CPmUninstallOperation* m_pOperation = nullptr;
    BYTE m_bSilent;

    BOOL m_bUninstalled = FALSE;
    std::vector<CWinThread*> m_Workers;
};
