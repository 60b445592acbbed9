// The wizard's first page: what the wizard does. A silent run leaves it at once.
#pragma once

#include "PmWizardPage.h"

class CPmIntroPage : public CPmWizardPage {
public:
    CPmIntroPage();

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;

private:
    static UINT IntroPageSilentThread(LPVOID page);

    CStatic m_Heading;
    CStatic m_Text;
    CStatic m_Continue;
    CFont m_HeadingFont;
};
