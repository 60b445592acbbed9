// The setup wizard: the intro page with the detection of a previous installation, the install
// page whose worker runs the installation, and the finish page with its result.
#pragma once

#include <afxwin.h>
#include <afxdlgs.h>
#include <afxcmn.h>

#include "InstallData.h"

class CPmIntroPage : public CPropertyPage {
public:
    CPmIntroPage();
    ~CPmIntroPage() override;

    CStatic m_Welcome;
    CStatic m_Message;
    CStatic m_RemoveDevices;
    CTarrowUSBInstallData* m_pInstallData = nullptr;
    CStatic m_PreviousIcon;
    CStatic m_Detection;

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;

    CFont m_TitleFont;

    DECLARE_MESSAGE_MAP()
};

class CTarrowUSBInstallPage : public CPropertyPage {
public:
    explicit CTarrowUSBInstallPage(BOOL silent);
    ~CTarrowUSBInstallPage() override;

    // Runs the installation in the calling thread.
    BOOL RunInstall();

    CTarrowUSBInstallData* m_pInstallData = nullptr;
    CAnimateCtrl m_Animate;
    BYTE m_bSilent;

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    LRESULT OnWizardNext() override;

    DECLARE_MESSAGE_MAP()
};

class CPmFinishPage : public CPropertyPage {
public:
    CPmFinishPage();
    ~CPmFinishPage() override;

    CStatic m_Title;
    CStatic m_Text;
    CStatic m_Close;
    CStatic m_Note;
    CTarrowUSBInstallData* m_pInstallData = nullptr;

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    BOOL OnWizardFinish() override;

    CFont m_TitleFont;

    DECLARE_MESSAGE_MAP()
};

class CTarrowUSBInstallSheet : public CPropertySheet {
public:
    CTarrowUSBInstallSheet(UINT caption_id, CWnd* parent, UINT select_page, HBITMAP watermark, HPALETTE palette,
                           HBITMAP header);
    ~CTarrowUSBInstallSheet() override;

    CTarrowUSBInstallData* m_pInstallData;
    CPmIntroPage m_IntroPage;
    CTarrowUSBInstallPage m_InstallPage;
    CPmFinishPage m_FinishPage;

protected:
    BOOL OnInitDialog() override;
};

// The workers, each given its page.
UINT PreviousInstallThread(LPVOID page);
UINT InstallThread(LPVOID page);
