// The "RS422/485 Settings" page of the advanced sheet: the duplex mode of an RS-422/485 port, from
// the modes the port reports it supports.
#pragma once

#include <atlbase.h>
#include <atlwin.h>
#include <atldlgs.h>
#include <atlctrls.h>
#include <atlctrlx.h>

#include "HVDeviceRegInfo.h"
#include "HvUVcpUserModeInterface.h"
#include "HvUserModeConfig.h"
#include "PageResources.h"
#include "Utils.h"

class CRS422485Page : public CPropertyPageImpl<CRS422485Page>,
                      public CToolTipDialog<CRS422485Page>,
                      public CHvUserModeConfig {
public:
    enum { IDD = IDD_RS422485 };

    // Reads the port set; the sheet shows the page only for an RS-422/485 port (PortType 1).
    CRS422485Page(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData);
    ~CRS422485Page();

    BEGIN_MSG_MAP(CRS422485Page)
    CHAIN_MSG_MAP(CToolTipDialog<CRS422485Page>)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_HELP, OnContextHelp)
    MESSAGE_HANDLER(WM_CTLCOLORDLG, OnCtlColor)
    MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnCtlColor)
    NOTIFY_CODE_HANDLER(TTN_GETDISPINFOW, OnToolTipText)
    COMMAND_HANDLER(IDC_RESTORE_DEFAULTS, BN_CLICKED, OnRestoreDefaults)
    COMMAND_ID_HANDLER(IDC_HELP_LINK, OnHelpLink)
    CHAIN_MSG_MAP(CPropertyPageImpl<CRS422485Page>)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnContextHelp(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCtlColor(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnToolTipText(int, LPNMHDR, BOOL&);
    LRESULT OnRestoreDefaults(WORD, WORD, HWND, BOOL&);
    LRESULT OnHelpLink(WORD, WORD, HWND, BOOL&);
    int OnApply();

    CHvUVcpUserModeInterface m_PortSet;

private:
    void m_FillDuplexModes();
    // Reads the port set into the page's copy only when the whole set could be read.
    BOOLEAN m_ReadPortSet();

    HDEVINFO m_hDevInfo;
    SP_DEVINFO_DATA m_DevInfoData;
    CHVDeviceRegInfo m_RegInfo;
    CHvPageBrush m_Brush;
    CComboBox m_DuplexModes;
    CButton m_RestoreDefaults;
    std::u16string m_TipText;
};
