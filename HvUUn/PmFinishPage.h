// The last page: the uninstallation is done. Finish deletes the installed copy of the
// uninstaller; the page's end asks for the restart that completes the removal.
#pragma once

#include "PmWizardPage.h"

class CPmFinishPage : public CPmWizardPage {
public:
    CPmFinishPage();

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    BOOL OnWizardFinish() override;
    afx_msg void OnDestroy();

    DECLARE_MESSAGE_MAP()

private:
    static UINT FinishPageSilentThread(LPVOID page);

    CStatic m_Heading;
    CStatic m_Text;
    CStatic m_Close;
    CStatic m_Note;
    CFont m_HeadingFont;
};
