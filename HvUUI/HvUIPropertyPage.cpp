#include "HvUIPropertyPage.h"

#include <pmusermodeprotocol.h>

#include "AdvancedDialog.h"
#include "PortUtil.h"
#include "Resources.h"

namespace {

constexpr ULONG kFlowControlBits = 0xF; // CTS/RTS, DTR/DSR, Xon/Xoff, none
constexpr ULONG kHardwareAndSoftwareFlow = 0x7;
constexpr ULONG kDuplexAutogating = 2; // RS-485 half duplex: the line direction is the chip's

const WCHAR kBaudOutOfRangeText[] = u"Please enter baud rate between %d bps and %d bps.";
const WCHAR kBaudOutOfRangeTitle[] = u"Baud rate out of Range";
const WCHAR kBaudOutOfRangeTip[] = u"Baud rate out of Range.\n\nPlease enter value between %d and %d.";
const WCHAR kWriteFailedText[] = u"Error setting baud rate.\n\nPlease enter valid settable baud rate.";
const WCHAR kWriteFailedTitle[] = u"Error setting baud rate";

// The controls that have a tip, with its text.
struct TipText {
    int id;
    UINT text;
};
const TipText kTips[] = {
    {IDC_DATABITS, IDS_TIP_DATABITS},           {IDC_DATABITS_LABEL, IDS_TIP_DATABITS},
    {IDC_PARITY, IDS_TIP_PARITY},               {IDC_PARITY_LABEL, IDS_TIP_PARITY},
    {IDC_STOPBITS, IDS_TIP_STOPBITS},           {IDC_STOPBITS_LABEL, IDS_TIP_STOPBITS},
    {IDC_FLOW, IDS_TIP_FLOW},                   {IDC_FLOW_LABEL, IDS_TIP_FLOW},
    {IDC_CTS_TRUE, IDS_TIP_CTS_TRUE},           {IDC_CTS_LABEL, IDS_TIP_CTS_TRUE},
    {IDC_DSR_TRUE, IDS_TIP_DSR_TRUE},           {IDC_DSR_LABEL, IDS_TIP_DSR_TRUE},
    {IDC_OVERRIDE_BAUD, IDS_TIP_OVERRIDE_BAUD}, {IDC_OVERRIDE_DATABITS, IDS_TIP_OVERRIDE_DATABITS},
    {IDC_OVERRIDE_PARITY, IDS_TIP_OVERRIDE_PARITY}, {IDC_OVERRIDE_STOPBITS, IDS_TIP_OVERRIDE_STOPBITS},
    {IDC_OVERRIDE_FLOW, IDS_TIP_OVERRIDE_FLOW}, {IDC_ADVANCED, IDS_TIP_ADVANCED},
    {IDC_RESTORE_DEFAULTS, IDS_TIP_RESTORE_DEFAULTS},
};

const int kToolControls[] = {IDC_BAUD_LABEL,    IDC_DATABITS_LABEL, IDC_PARITY_LABEL,      IDC_STOPBITS_LABEL,
                             IDC_FLOW_LABEL,    IDC_BAUD,           IDC_DATABITS,          IDC_PARITY,
                             IDC_STOPBITS,      IDC_FLOW,           IDC_DSR_TRUE,          IDC_OVERRIDE_BAUD,
                             IDC_OVERRIDE_DATABITS, IDC_OVERRIDE_PARITY, IDC_OVERRIDE_STOPBITS, IDC_OVERRIDE_FLOW,
                             IDC_CTS_TRUE,      IDC_CTS_LABEL,      IDC_DSR_LABEL,         IDC_ADVANCED,
                             IDC_RESTORE_DEFAULTS};

const int kOverrideBoxes[] = {IDC_OVERRIDE_BAUD, IDC_OVERRIDE_DATABITS, IDC_OVERRIDE_PARITY, IDC_OVERRIDE_STOPBITS,
                              IDC_OVERRIDE_FLOW};
const int kOverrideNote[] = {IDC_NOTE_ICON, IDC_NOTE_TEXT, IDC_NOTE_FRAME};

std::u16string Format(const WCHAR* format, DWORD first, DWORD second) {
    WCHAR text[160];
    swprintf(text, 160, format, static_cast<int>(first), static_cast<int>(second));
    return text;
}

// The value kinds the set keeps, and which values the driver can be given for each.
bool IsDataBits(LRESULT value) { return value >= 0 && value <= 3; }
bool IsParity(LRESULT value) { return value >= 0 && value <= 4; }
bool IsStopBits(LRESULT value) { return value >= 0 && value <= 2; }
bool IsFlowControl(LRESULT value) { return value == 0 || (value > 0 && (value & kFlowControlBits)); }

// The flow-control index the Ports entry can carry; other kinds are written without a letter.
DWORD PortsEntryFlow(ULONG flowControl) {
    return flowControl == 1 || flowControl == 2 || flowControl == 4 ? flowControl : 0;
}

// Replaces the member where the value differs; true when it did.
bool Take(ULONG& member, ULONG value) {
    if (member == value) return false;
    member = value;
    return true;
}

} // namespace

CHvUIPropertyPage::CHvUIPropertyPage(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData)
    : ATL::CPropertyPageImpl<CHvUIPropertyPage>(static_cast<UINT>(IDS_PORT_SETTINGS)),
      WTL::CToolTipDialog<CHvUIPropertyPage>(HV_PAGE_TOOLTIP_STYLE, HV_PAGE_TOOL_FLAGS),
      CHvUserModeConfig(GUID_HVGENDRV_PORT_INTERFACE, deviceInfoSet, deviceInfoData),
      m_hDeviceInfoSet(deviceInfoSet), m_DeviceInfoData(deviceInfoData), m_RegInfo(deviceInfoSet, deviceInfoData) {
    m_bValid = m_Open() && m_GetSettings(m_Settings, HV_SETTINGS_PORT);
}

CHvUIPropertyPage::~CHvUIPropertyPage() = default;

void CHvUIPropertyPage::m_SetLabel(int id, UINT stringId) { SetDlgItemText(id, HvLoadString(stringId).c_str()); }

LRESULT CHvUIPropertyPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    m_Brush.m_Create();
    m_SetLabel(IDC_BAUD_LABEL, IDS_BAUD);
    m_SetLabel(IDC_DATABITS_LABEL, IDS_DATABITS);
    m_SetLabel(IDC_PARITY_LABEL, IDS_PARITY);
    m_SetLabel(IDC_STOPBITS_LABEL, IDS_STOPBITS);
    m_SetLabel(IDC_FLOW_LABEL, IDS_FLOW);
    for (int id : kOverrideBoxes) m_SetLabel(id, IDS_OVERRIDE);
    m_SetLabel(IDC_CTS_LABEL, IDS_CTS_TRUE);
    m_SetLabel(IDC_DSR_LABEL, IDS_DSR_TRUE);
    m_SetLabel(IDC_NOTE_TEXT, IDS_OVERRIDE_NOTE);
    m_SetLabel(IDC_HELP_LABEL, IDS_NEED_HELP);
    m_SetLabel(IDC_SETTINGS_FRAME, IDS_SETTINGS_FRAME);
    m_SetLabel(IDC_ADVANCED, IDS_ADVANCED);
    m_SetLabel(IDC_RESTORE_DEFAULTS, IDS_RESTORE_DEFAULTS);

    HvSetupPageToolTip(m_TT);
    for (int id : kToolControls) TTAdd(static_cast<UINT>(id));

    for (int id : kOverrideNote) GetDlgItem(id).ShowWindow(SW_HIDE);
    m_cbBaud = GetDlgItem(IDC_BAUD);
    m_cbDataBits = GetDlgItem(IDC_DATABITS);
    m_cbParity = GetDlgItem(IDC_PARITY);
    m_cbStopBits = GetDlgItem(IDC_STOPBITS);
    m_cbFlowControl = GetDlgItem(IDC_FLOW);
    ATL::CWindow baudEdit = m_cbBaud.GetWindow(GW_CHILD);
    if (baudEdit.m_hWnd) baudEdit.ModifyStyle(0, ES_NUMBER);

    m_FillControls();
    if (!SetDlgItemInt(IDC_BAUD, m_Settings.m_ulBaudrate, FALSE)) {
        MessageBeep(MB_OK);
        m_cbBaud.SetFocus();
    }
    m_TipState = kTipNormal;
    return TRUE;
}

void CHvUIPropertyPage::m_FillControls() {
    m_Utils.m_FillCombo(m_cbBaud,
                        m_Utils.m_GetBaudList(m_Settings.m_ulSupportedBaudRates, m_Settings.m_ulMinBaudRate,
                                              m_Settings.m_ulMaxBaudRate),
                        m_Settings.m_ulBaudrate, FALSE);
    m_Utils.m_FillCombo(m_cbDataBits, m_Utils.m_GetDataBitsList(m_Settings.m_ulSupportedDataBits),
                        m_Settings.m_ulDatabits, FALSE);
    m_Utils.m_FillCombo(m_cbParity, m_Utils.m_GetParityList(IDS_PARITY_LIST, m_Settings.m_ulSupportedParities),
                        m_Settings.m_ulParity, FALSE);
    m_Utils.m_FillCombo(m_cbStopBits, m_Utils.m_GetStopBitsList(IDS_STOPBITS_LIST, m_Settings.m_ulSupportedStopBits),
                        m_Settings.m_ulStopbits, FALSE);
    m_FillFlowControl();

    CheckDlgButton(IDC_OVERRIDE_BAUD, m_Settings.m_ulOverridBaudRates ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_OVERRIDE_DATABITS, m_Settings.m_ulOverrideDataBits ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_OVERRIDE_PARITY, m_Settings.m_ulOverrideParity ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_OVERRIDE_STOPBITS, m_Settings.m_ulOverrideStopbits ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_OVERRIDE_FLOW, m_Settings.m_ulOverrideFlowControl ? BST_CHECKED : BST_UNCHECKED);

    m_ApplyHandshakeRules();
    m_ApplySupportRules();
    m_UpdateOverrideNote();

    m_dwBaudrate = m_Settings.m_ulBaudrate;
    m_dwMinBaudRate = m_Settings.m_ulMinBaudRate;
    m_dwMaxBaudRate = m_Settings.m_ulMaxBaudRate;
}

void CHvUIPropertyPage::m_FillFlowControl() {
    // In autogating mode the chip drives the line direction, so no handshake can be offered.
    DWORD mask = m_Settings.m_ulSupportedFlowControls;
    if (m_IsRs422485() && m_Settings.m_ulDuplexMode == kDuplexAutogating) mask &= ~kHardwareAndSoftwareFlow;
    m_Utils.m_FillCombo(m_cbFlowControl, m_Utils.m_GetFlowControlList(IDS_FLOW_CONTROL_LIST, mask),
                        m_Settings.m_ulFlowControl, TRUE);
}

void CHvUIPropertyPage::m_ApplyHandshakeRules() {
    auto set = [this](int box, int label, BOOL checked, BOOL enabled) {
        CheckDlgButton(box, checked ? BST_CHECKED : BST_UNCHECKED);
        GetDlgItem(box).EnableWindow(enabled);
        GetDlgItem(label).EnableWindow(enabled);
    };
    if (m_IsRs422485()) {
        // An RS-422/485 line has no DSR; in autogating mode CTS is not a handshake either.
        set(IDC_DSR_TRUE, IDC_DSR_LABEL, TRUE, FALSE);
        if (m_Settings.m_ulDuplexMode == kDuplexAutogating) set(IDC_CTS_TRUE, IDC_CTS_LABEL, TRUE, FALSE);
        else set(IDC_CTS_TRUE, IDC_CTS_LABEL, m_Settings.m_ulEmulateCTSTrue != 0, TRUE);
    } else {
        set(IDC_CTS_TRUE, IDC_CTS_LABEL, m_Settings.m_ulEmulateCTSTrue != 0, TRUE);
        set(IDC_DSR_TRUE, IDC_DSR_LABEL, m_Settings.m_ulEmulateDSRTrue != 0, TRUE);
    }
}

void CHvUIPropertyPage::m_ApplySupportRules() {
    // A signal the port lacks always reads as on.
    if (m_Settings.m_ulCtsSupported == 0) {
        CheckDlgButton(IDC_CTS_TRUE, BST_CHECKED);
        GetDlgItem(IDC_CTS_TRUE).EnableWindow(FALSE);
        GetDlgItem(IDC_CTS_LABEL).EnableWindow(FALSE);
    }
    if (m_Settings.m_ulDsrSupported == 0) {
        CheckDlgButton(IDC_DSR_TRUE, BST_CHECKED);
        GetDlgItem(IDC_DSR_TRUE).EnableWindow(FALSE);
    }
}

void CHvUIPropertyPage::m_UpdateOverrideNote() {
    BOOL overridden = FALSE;
    for (int id : kOverrideBoxes) overridden = overridden || m_IsChecked(id);
    const BOOL emulated = !m_IsRs422485() && ((m_IsChecked(IDC_CTS_TRUE) && m_Settings.m_ulCtsSupported != 0) ||
                                              (m_IsChecked(IDC_DSR_TRUE) && m_Settings.m_ulDsrSupported != 0));
    const int show = overridden || emulated ? SW_SHOW : SW_HIDE;
    for (int id : kOverrideNote) GetDlgItem(id).ShowWindow(show);
}

LRESULT CHvUIPropertyPage::OnBoxClicked(WORD, WORD, HWND, BOOL&) {
    m_UpdateOverrideNote();
    return 0;
}

BOOL CHvUIPropertyPage::m_TakeControls() {
    BOOL changed = FALSE;
    BOOL translated = FALSE;
    changed |= Take(m_Settings.m_ulBaudrate, GetDlgItemInt(IDC_BAUD, &translated, FALSE));
    if (LRESULT value = m_Utils.m_GetSelectedData(m_cbDataBits); IsDataBits(value))
        changed |= Take(m_Settings.m_ulDatabits, static_cast<ULONG>(value));
    if (LRESULT value = m_Utils.m_GetSelectedData(m_cbParity); IsParity(value))
        changed |= Take(m_Settings.m_ulParity, static_cast<ULONG>(value));
    if (LRESULT value = m_Utils.m_GetSelectedData(m_cbStopBits); IsStopBits(value))
        changed |= Take(m_Settings.m_ulStopbits, static_cast<ULONG>(value));
    if (LRESULT value = m_Utils.m_GetSelectedData(m_cbFlowControl); IsFlowControl(value))
        changed |= Take(m_Settings.m_ulFlowControl, static_cast<ULONG>(value));
    changed |= Take(m_Settings.m_ulOverridBaudRates, m_IsChecked(IDC_OVERRIDE_BAUD) ? 1 : 0);
    changed |= Take(m_Settings.m_ulOverrideDataBits, m_IsChecked(IDC_OVERRIDE_DATABITS) ? 1 : 0);
    changed |= Take(m_Settings.m_ulOverrideParity, m_IsChecked(IDC_OVERRIDE_PARITY) ? 1 : 0);
    changed |= Take(m_Settings.m_ulOverrideStopbits, m_IsChecked(IDC_OVERRIDE_STOPBITS) ? 1 : 0);
    changed |= Take(m_Settings.m_ulOverrideFlowControl, m_IsChecked(IDC_OVERRIDE_FLOW) ? 1 : 0);
    if (!m_IsRs422485()) {
        changed |= Take(m_Settings.m_ulEmulateCTSTrue, m_IsChecked(IDC_CTS_TRUE) ? 1 : 0);
        changed |= Take(m_Settings.m_ulEmulateDSRTrue, m_IsChecked(IDC_DSR_TRUE) ? 1 : 0);
    } else if (m_Settings.m_ulDuplexMode != kDuplexAutogating) {
        changed |= Take(m_Settings.m_ulEmulateCTSTrue, m_IsChecked(IDC_CTS_TRUE) ? 1 : 0);
    }
    return changed;
}

void CHvUIPropertyPage::m_ReloadSettings() {
    CHvUVcpUserModeInterface current;
    if (m_GetSettings(current, HV_SETTINGS_PORT)) m_Settings.m_AssignValues(current);
}

int CHvUIPropertyPage::OnApply() {
    BOOL translated = FALSE;
    const UINT baud = GetDlgItemInt(IDC_BAUD, &translated, FALSE);
    // No port runs at 0 baud, whatever minimum the driver reports.
    if (!translated || baud == 0 || baud < m_dwMinBaudRate || baud > m_dwMaxBaudRate) {
        MessageBeep(MB_OK);
        m_cbBaud.SetFocus();
        MessageBox(Format(kBaudOutOfRangeText, m_dwMinBaudRate, m_dwMaxBaudRate).c_str(), kBaudOutOfRangeTitle,
                   MB_ICONERROR);
        m_TipState = kTipOutOfRange;
        return PSNRET_INVALID;
    }

    if (!m_TakeControls() && !m_bDirty) return PSNRET_NOERROR;

    std::u16string portName;
    m_RegInfo.m_GetDeviceValue(u"PortName", portName);
    CPortUtil portUtil;
    if (!portUtil.m_CanOpenPort(portName) &&
        MessageBox(HvLoadString(IDS_PORT_OPEN_WARNING).c_str(), u"Warning!", MB_YESNO | MB_ICONINFORMATION) != IDYES) {
        m_ReloadSettings();
        return PSNRET_INVALID;
    }

    if (!m_SetSettings(m_Settings, HV_SETTINGS_PORT)) {
        MessageBox(kWriteFailedText, kWriteFailedTitle, MB_ICONERROR);
        m_TipState = kTipWriteFailed;
        m_ReloadSettings();
        return PSNRET_INVALID;
    }
    m_bDirty = FALSE;
    portUtil.m_WritePortsEntry(portName, m_Settings.m_ulBaudrate, m_Settings.m_ulDatabits, m_Settings.m_ulParity,
                               m_Settings.m_ulStopbits, PortsEntryFlow(m_Settings.m_ulFlowControl));
    m_TipState = kTipNormal;
    return PSNRET_NOERROR;
}

LRESULT CHvUIPropertyPage::OnRestoreDefaults(WORD, WORD, HWND, BOOL&) {
    CHvUVcpUserModeInterface defaults;
    if (!m_GetDefaultSettings(defaults, HV_SETTINGS_PORT)) return 0;
    m_Settings.m_ulBaudrate = defaults.m_ulBaudrate;
    if (IsDataBits(defaults.m_ulDatabits)) m_Settings.m_ulDatabits = defaults.m_ulDatabits;
    if (IsParity(defaults.m_ulParity)) m_Settings.m_ulParity = defaults.m_ulParity;
    if (IsStopBits(defaults.m_ulStopbits)) m_Settings.m_ulStopbits = defaults.m_ulStopbits;
    if (IsFlowControl(defaults.m_ulFlowControl)) m_Settings.m_ulFlowControl = defaults.m_ulFlowControl;
    m_Settings.m_ulOverridBaudRates = defaults.m_ulOverridBaudRates ? 1 : 0;
    m_Settings.m_ulOverrideDataBits = defaults.m_ulOverrideDataBits ? 1 : 0;
    m_Settings.m_ulOverrideParity = defaults.m_ulOverrideParity ? 1 : 0;
    m_Settings.m_ulOverrideStopbits = defaults.m_ulOverrideStopbits ? 1 : 0;
    m_Settings.m_ulOverrideFlowControl = defaults.m_ulOverrideFlowControl ? 1 : 0;
    m_Settings.m_ulEmulateCTSTrue = defaults.m_ulEmulateCTSTrue ? 1 : 0;
    m_Settings.m_ulEmulateDSRTrue = defaults.m_ulEmulateDSRTrue ? 1 : 0;
    m_FillControls();
    SetDlgItemInt(IDC_BAUD, m_Settings.m_ulBaudrate, FALSE);
    m_bDirty = TRUE;
    return 0;
}

LRESULT CHvUIPropertyPage::OnAdvanced(WORD, WORD, HWND, BOOL&) {
    CAdvancedDialog sheet(m_hDeviceInfoSet, m_DeviceInfoData);
    if (sheet.DoModal(::GetActiveWindow()) != IDOK) return 0;
    // What the advanced pages wrote; the live copy is kept when the read fails.
    m_ReloadSettings();
    if (m_IsRs422485()) {
        m_Settings.m_ulDuplexMode = sheet.m_GetDuplexMode();
        m_FillFlowControl();
        m_ApplyHandshakeRules();
    }
    m_ApplySupportRules();
    m_UpdateOverrideNote();
    return 0;
}

LRESULT CHvUIPropertyPage::OnHelpLink(WORD, WORD, HWND, BOOL&) {
    HvShowHelpTopic(m_hWnd, m_IsRs422485() ? HV_HELP_TOPIC_PORT_SETTINGS_485 : HV_HELP_TOPIC_PORT_SETTINGS);
    return 0;
}

LRESULT CHvUIPropertyPage::OnContextHelp(UINT, WPARAM, LPARAM lParam, BOOL&) {
    HvShowContextHelp(reinterpret_cast<const HELPINFO*>(lParam), g_adwPortSettingsHelpIds);
    return TRUE;
}

LRESULT CHvUIPropertyPage::OnToolTipText(int, LPNMHDR header, BOOL&) {
    auto* info = reinterpret_cast<NMTTDISPINFOW*>(header);
    HWND tool = (info->uFlags & TTF_IDISHWND) ? reinterpret_cast<HWND>(header->idFrom)
                                               : ::GetDlgItem(m_hWnd, static_cast<int>(header->idFrom));
    const int id = ::GetDlgCtrlID(tool);
    // Every tip sets its own title, so an error title never stays on another control's tip.
    int icon = TTI_INFO;
    if (id == IDC_BAUD || id == IDC_BAUD_LABEL) {
        switch (m_TipState) {
        case kTipOutOfRange:
            icon = TTI_ERROR;
            m_TipText = Format(kBaudOutOfRangeTip, m_dwMinBaudRate, m_dwMaxBaudRate);
            break;
        case kTipWriteFailed:
            icon = TTI_ERROR;
            m_TipText = kWriteFailedText;
            break;
        default: m_TipText = HvLoadString(IDS_TIP_BAUD); break;
        }
        m_TipState = kTipNormal;
    } else {
        m_TipText.clear();
        for (const TipText& tip : kTips)
            if (tip.id == id) m_TipText = HvLoadString(tip.text);
    }
    HvSetPageTipTitle(m_TT, icon);
    info->lpszText = m_TipText.data();
    info->hinst = nullptr;
    return 0;
}
