// The "Port Settings" page that Device Manager shows for a port: the port's default line
// settings, an Override box for each, the CTS and DSR emulation, and the way to the advanced
// sheet. It reads and writes the port driver's settings set.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlbase.h>
#include <atlctrls.h>
#include <atlctrlx.h>
#include <atldlgs.h>

#include <hv_wchar.h>

#include <string>

#include "HVDeviceRegInfo.h"
#include "HvUVcpUserModeInterface.h"
#include "HvUserModeConfig.h"
#include "PortPageResources.h"
#include "Utils.h"

class CHvUIPropertyPage : public ATL::CPropertyPageImpl<CHvUIPropertyPage>,
                          public WTL::CToolTipDialog<CHvUIPropertyPage>,
                          public CHvUserModeConfig {
public:
    enum { IDD = IDD_PORT_SETTINGS };

    // What the baud field's tip says: the normal text, or why OK was refused.
    enum BaudTipState { kTipNormal = 0, kTipOutOfRange = 1, kTipWriteFailed = 2 };

    CHvUIPropertyPage(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData);
    ~CHvUIPropertyPage() override;

    // The interface was found and the port set read: only then is the page shown.
    BOOL m_IsValid() const { return m_bValid; }

    BEGIN_MSG_MAP(CHvUIPropertyPage)
    CHAIN_MSG_MAP(WTL::CToolTipDialog<CHvUIPropertyPage>)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_HELP, OnContextHelp)
    MESSAGE_HANDLER(WM_CTLCOLORDLG, OnCtlColor)
    MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnCtlColor)
    NOTIFY_CODE_HANDLER(TTN_GETDISPINFOW, OnToolTipText)
    COMMAND_ID_HANDLER(IDC_DSR_TRUE, OnBoxClicked)
    COMMAND_ID_HANDLER(IDC_OVERRIDE_BAUD, OnBoxClicked)
    COMMAND_ID_HANDLER(IDC_OVERRIDE_DATABITS, OnBoxClicked)
    COMMAND_ID_HANDLER(IDC_OVERRIDE_PARITY, OnBoxClicked)
    COMMAND_ID_HANDLER(IDC_OVERRIDE_STOPBITS, OnBoxClicked)
    COMMAND_ID_HANDLER(IDC_OVERRIDE_FLOW, OnBoxClicked)
    COMMAND_ID_HANDLER(IDC_CTS_TRUE, OnBoxClicked)
    COMMAND_ID_HANDLER(IDC_HELP_LINK, OnHelpLink)
    COMMAND_ID_HANDLER(IDC_ADVANCED, OnAdvanced)
    COMMAND_ID_HANDLER(IDC_RESTORE_DEFAULTS, OnRestoreDefaults)
    COMMAND_HANDLER(IDC_BAUD, CBN_EDITCHANGE, OnBaudEdited)
    CHAIN_MSG_MAP(ATL::CPropertyPageImpl<CHvUIPropertyPage>)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnContextHelp(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnCtlColor(UINT, WPARAM wParam, LPARAM, BOOL&) { return m_Brush.m_OnCtlColor(wParam); }
    LRESULT OnToolTipText(int, LPNMHDR header, BOOL&);
    LRESULT OnBoxClicked(WORD, WORD, HWND, BOOL&);
    LRESULT OnHelpLink(WORD, WORD, HWND, BOOL&);
    LRESULT OnAdvanced(WORD, WORD, HWND, BOOL&);
    LRESULT OnRestoreDefaults(WORD, WORD, HWND, BOOL&);
    LRESULT OnBaudEdited(WORD, WORD, HWND, BOOL&) { return 0; }

    int OnApply();

private:
    void m_FillControls();
    void m_FillFlowControl();
    void m_ApplyHandshakeRules();
    void m_ApplySupportRules();
    void m_UpdateOverrideNote();
    // Takes the values the controls carry into the set; TRUE when one of them changed it.
    BOOL m_TakeControls();
    BOOL m_IsRs422485() const { return m_Settings.m_ulPortType == 1; }
    BOOL m_IsChecked(int id) const { return IsDlgButtonChecked(id) == BST_CHECKED; }
    void m_SetLabel(int id, UINT stringId);
    void m_ReloadSettings();

    HDEVINFO m_hDeviceInfoSet;
    SP_DEVINFO_DATA m_DeviceInfoData;
    CHVDeviceRegInfo m_RegInfo;
    BOOL m_bDirty = FALSE;
    WTL::CComboBox m_cbBaud, m_cbDataBits, m_cbParity, m_cbStopBits, m_cbFlowControl;
    CHvUVcpUserModeInterface m_Settings;
    BOOL m_bValid = FALSE;
    DWORD m_dwBaudrate = 0, m_dwMinBaudRate = 0, m_dwMaxBaudRate = 0;
    BaudTipState m_TipState = kTipNormal;
    CHvPageBrush m_Brush;
    CUtils m_Utils;
    std::u16string m_TipText; // what the tool tip shows now
};
