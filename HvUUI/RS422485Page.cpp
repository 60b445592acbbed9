// The RS-422/485 page: the duplex mode, written on every OK.
#include "RS422485Page.h"

#include "Resources.h"

CRS422485Page::CRS422485Page(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData)
    : CPropertyPageImpl<CRS422485Page>(IDS_RS422485_TITLE),
      CToolTipDialog<CRS422485Page>(HV_PAGE_TOOLTIP_STYLE, HV_PAGE_TOOL_FLAGS),
      CHvUserModeConfig(GUID_HVGENDRV_PORT_INTERFACE, deviceInfoSet, deviceInfoData), m_hDevInfo(deviceInfoSet),
      m_DevInfoData(deviceInfoData), m_RegInfo(deviceInfoSet, deviceInfoData) {
    if (m_Open()) m_GetSettings(m_PortSet, HV_SETTINGS_PORT);
}

CRS422485Page::~CRS422485Page() = default;

BOOLEAN CRS422485Page::m_ReadPortSet() {
    CHvUVcpUserModeInterface read;
    if (!m_GetSettings(read, HV_SETTINGS_PORT)) return FALSE;
    m_PortSet.m_AssignValues(read);
    return TRUE;
}

LRESULT CRS422485Page::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    m_Brush.m_Create();
    HvSetupPageToolTip(m_TT);
    SetDlgItemText(IDC_DUPLEX_NOTE, HvLoadString(IDS_RS422485_NOTE).c_str());
    m_DuplexModes = GetDlgItem(IDC_DUPLEX_MODE);
    m_RestoreDefaults = GetDlgItem(IDC_RESTORE_DEFAULTS);
    TTAdd(m_DuplexModes.m_hWnd);
    TTAdd(m_RestoreDefaults.m_hWnd);
    if (m_PortSet.m_ulPortType == HVUVCP_PORT_TYPE_RS422_485 && m_PortSet.m_ulDuplexMode == 0)
        m_PortSet.m_ulDuplexMode = 1;
    m_FillDuplexModes();
    // Without the driver's set there is nothing to choose from and nothing is written.
    if (!m_PortSet.m_IsComplete()) {
        m_DuplexModes.EnableWindow(FALSE);
        m_RestoreDefaults.EnableWindow(FALSE);
    }
    return TRUE;
}

void CRS422485Page::m_FillDuplexModes() {
    CUtils utils;
    utils.m_FillCombo(m_DuplexModes, utils.m_GetDuplexList(IDS_DUPLEX_LIST, m_PortSet.m_ulSupportedDuplexModes),
                      m_PortSet.m_ulDuplexMode, FALSE);
}

int CRS422485Page::OnApply() {
    if (!m_PortSet.m_IsComplete()) return PSNRET_NOERROR;
    const ULONG chosen = m_PortSet.m_ulDuplexMode;
    LRESULT selected = CUtils().m_GetSelectedData(m_DuplexModes);
    if (!m_ReadPortSet()) return PSNRET_INVALID;
    m_PortSet.m_ulDuplexMode = selected >= 0 ? static_cast<ULONG>(selected) : chosen;

    if (!HvConfirmWriteWhilePortOpen(m_hWnd, m_RegInfo)) {
        m_ReadPortSet();
        m_FillDuplexModes();
        return PSNRET_INVALID;
    }
    if (m_SetSettings(m_PortSet, HV_SETTINGS_PORT)) return PSNRET_NOERROR;
    m_ReadPortSet();
    m_FillDuplexModes();
    return PSNRET_INVALID;
}

LRESULT CRS422485Page::OnRestoreDefaults(WORD, WORD, HWND, BOOL&) {
    CHvUVcpUserModeInterface defaults;
    if (!m_GetDefaultSettings(defaults, HV_SETTINGS_PORT)) return 0;
    m_PortSet.m_ulDuplexMode = defaults.m_ulDuplexMode;
    m_FillDuplexModes();
    return 0;
}

LRESULT CRS422485Page::OnToolTipText(int, LPNMHDR pHeader, BOOL&) {
    auto* pInfo = reinterpret_cast<LPNMTTDISPINFOW>(pHeader);
    HWND tool = reinterpret_cast<HWND>(pHeader->idFrom);
    m_TipText = tool == m_DuplexModes.m_hWnd        ? HvLoadString(IDS_TIP_DUPLEX)
                : tool == m_RestoreDefaults.m_hWnd ? HvLoadString(IDS_TIP_RESTORE_DEFAULTS)
                                                   : std::u16string();
    pInfo->lpszText = m_TipText.data();
    return 0;
}

LRESULT CRS422485Page::OnHelpLink(WORD, WORD, HWND, BOOL&) {
    HvShowHelpTopic(m_hWnd, HV_HELP_TOPIC_RS422485);
    return 0;
}

LRESULT CRS422485Page::OnContextHelp(UINT, WPARAM, LPARAM lParam, BOOL&) {
    HvShowContextHelp(reinterpret_cast<const HELPINFO*>(lParam), g_adwRs422485HelpIds);
    return TRUE;
}

LRESULT CRS422485Page::OnCtlColor(UINT, WPARAM wParam, LPARAM, BOOL&) { return m_Brush.m_OnCtlColor(wParam); }
