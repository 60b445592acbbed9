// The first page of the advanced sheet: the port's COM number, chosen from the names the COM port
// database knows (those of other devices marked in use), and what the bus driver reports of the
// port's USB device.
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
#include "HvUBusUserModeInterface.h"
#include "HvUVcpUserModeInterface.h"
#include "HvUserModeConfig.h"
#include "PortPageResources.h"
#include "Utils.h"

class CDeviceAdvSettingPage : public ATL::CPropertyPageImpl<CDeviceAdvSettingPage>,
                              public WTL::CToolTipDialog<CDeviceAdvSettingPage>,
                              public CHvUserModeConfig {
public:
    enum { IDD = IDD_DEVICE_ADV_SETTINGS };

    CDeviceAdvSettingPage(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData);
    ~CDeviceAdvSettingPage() override;

    BEGIN_MSG_MAP(CDeviceAdvSettingPage)
    CHAIN_MSG_MAP(WTL::CToolTipDialog<CDeviceAdvSettingPage>)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_HELP, OnContextHelp)
    MESSAGE_HANDLER(WM_CTLCOLORDLG, OnCtlColor)
    MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnCtlColor)
    NOTIFY_CODE_HANDLER(TTN_GETDISPINFOW, OnToolTipText)
    COMMAND_ID_HANDLER(IDC_HELP_LINK, OnHelpLink)
    COMMAND_HANDLER(IDC_PORT_NUMBER, CBN_SELCHANGE, OnPortNumberChanged)
    CHAIN_MSG_MAP(ATL::CPropertyPageImpl<CDeviceAdvSettingPage>)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnContextHelp(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnCtlColor(UINT, WPARAM wParam, LPARAM, BOOL&) { return m_Brush.m_OnCtlColor(wParam); }
    LRESULT OnToolTipText(int, LPNMHDR header, BOOL&);
    LRESULT OnHelpLink(WORD, WORD, HWND, BOOL&);
    LRESULT OnPortNumberChanged(WORD, WORD, HWND, BOOL&) { return 0; }

    int OnApply();

private:
    void m_SetLabel(int id, UINT stringId);
    void m_SetNumber(int id, const WCHAR* format, ULONG value);
    void m_FillPortNames();

    SP_DEVINFO_DATA m_DeviceInfoData;
    CHvSetupDi_ParentDevice m_ParentDevice;
    CHVDeviceRegInfo m_RegInfo;
    CHvUBusUserModeInterface m_BusSettings;
    CHvUVcpUserModeInterface m_PortSettings;
    CHvPageBrush m_Brush;
    WTL::CComboBox m_cbPortName;
    CUtils m_Utils;
    std::u16string m_TipText;
};
