// The uninstall page: its worker runs the three removals.
#pragma once

#include "PmProgressPage.h"

class CPmUninstallPage : public CPmProgressPage {
public:
    CPmUninstallPage();

protected:
    BOOL OnSetActive() override;

private:
    static UINT UninstallPageThread(LPVOID page);
    // Ends the wizard after a removal step failed: the later steps do not run.
    void EndAfterFailure();
};
