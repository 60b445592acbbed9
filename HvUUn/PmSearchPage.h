// The search page: its worker runs the three searches and the open-ports test.
#pragma once

#include "PmProgressPage.h"

class CPmSearchPage : public CPmProgressPage {
public:
    CPmSearchPage();

protected:
    BOOL OnSetActive() override;
    LRESULT OnWizardNext() override;

private:
    static UINT SearchPageThread(LPVOID page);
};
