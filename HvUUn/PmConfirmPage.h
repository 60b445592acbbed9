// The confirmation before anything is removed (interactive runs only).
#pragma once

#include "PmWizardPage.h"

class CPmConfirmPage : public CPmWizardPage {
public:
    CPmConfirmPage();

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;

private:
    CStatic m_Text;
    CStatic m_Buttons;
};
