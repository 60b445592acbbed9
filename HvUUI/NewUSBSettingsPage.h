// The "USB Settings" page of the advanced sheet: the latency policy of the port's USB device (five
// values of the bus settings set, reached through the port's interface with the bus selector).
#pragma once

#include <atlbase.h>
#include <atlwin.h>
#include <atldlgs.h>
#include <atlctrls.h>
#include <atlctrlx.h>

#include "HVDeviceRegInfo.h"
#include "HvUBusUserModeInterface.h"
#include "HvUVcpUserModeInterface.h"
#include "HvUserModeConfig.h"
#include "PageResources.h"
#include "Utils.h"

// The latency trackbar's positions.
#define HV_LATENCY_SLIDER_MIN 2
#define HV_LATENCY_SLIDER_MAX 16640

class CNewUSBSettingsPage : public CPropertyPageImpl<CNewUSBSettingsPage>,
                            public CToolTipDialog<CNewUSBSettingsPage> {
public:
    enum { IDD = IDD_USB_SETTINGS };

    // Reads the port set and then the bus set; the page is shown whatever the outcome.
    CNewUSBSettingsPage(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData);
    ~CNewUSBSettingsPage();

    // The milliseconds of a latency trackbar position: flat at the low end, steep at the top.
    static int m_SliderToMilliseconds(int position);

    BEGIN_MSG_MAP(CNewUSBSettingsPage)
    CHAIN_MSG_MAP(CToolTipDialog<CNewUSBSettingsPage>)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_HSCROLL, OnHScroll)
    MESSAGE_HANDLER(WM_HELP, OnContextHelp)
    MESSAGE_HANDLER(WM_CTLCOLORDLG, OnCtlColor)
    MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnCtlColor)
    NOTIFY_CODE_HANDLER(TTN_GETDISPINFOW, OnToolTipText)
    COMMAND_HANDLER(IDC_POLICY_LATENCY, BN_CLICKED, OnPolicy)
    COMMAND_HANDLER(IDC_POLICY_CPU, BN_CLICKED, OnPolicy)
    COMMAND_HANDLER(IDC_RESTORE_DEFAULTS, BN_CLICKED, OnRestoreDefaults)
    COMMAND_ID_HANDLER(IDC_HELP_LINK, OnHelpLink)
    CHAIN_MSG_MAP(CPropertyPageImpl<CNewUSBSettingsPage>)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnHScroll(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnContextHelp(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCtlColor(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnToolTipText(int, LPNMHDR, BOOL&);
    LRESULT OnPolicy(WORD, WORD, HWND, BOOL&);
    LRESULT OnRestoreDefaults(WORD, WORD, HWND, BOOL&);
    LRESULT OnHelpLink(WORD, WORD, HWND, BOOL&);
    int OnApply();

    CHvUBusUserModeInterface m_BusSet;
    CHvUVcpUserModeInterface m_PortSet;

private:
    void m_FillControls();
    void m_EnablePolicyControls();
    void m_ShowLatency();
    BOOL m_Available(const void* pvValue) const;

    SP_DEVINFO_DATA m_DevInfoData;
    CHvUserModeConfig m_Config;
    CHvSetupDi_ParentDevice m_Parent;
    CHVDeviceRegInfo m_RegInfo;
    CHvPageBrush m_Brush;
    // Restore Defaults was pressed: OK writes the set even where the defaults equal it.
    BOOLEAN m_bDirty = FALSE;
    CButton m_LatencyPolicy, m_CpuPolicy;
    CTrackBarCtrl m_Latency, m_LatencyTuning, m_CpuTuning;
    std::u16string m_TipText;
};
