// The USB Settings page: the bus set's latency policy, one trackbar per value.
#include "NewUSBSettingsPage.h"

#include "Resources.h"

namespace {

// The latency curve: factors in units of 1/1024, rising from 0 to 1024 over 256 steps.
const int s_aiLatencyFactors[256] = {
    0,   2,   3,   5,   6,   8,   9,   11,  13,  14,  16,  17,  19,  21,  22,  24,  25,  27,  29,  30,  32,  34,
    35,  37,  39,  40,  42,  44,  45,  47,  49,  51,  52,  54,  56,  58,  59,  61,  63,  65,  66,  68,  70,  72,
    74,  76,  77,  79,  81,  83,  85,  87,  89,  90,  92,  94,  96,  98,  100, 102, 104, 106, 108, 110, 112, 114,
    116, 118, 120, 122, 124, 126, 128, 130, 132, 134, 137, 139, 141, 143, 145, 147, 149, 152, 154, 156, 158, 160,
    163, 165, 167, 169, 172, 174, 176, 179, 181, 183, 186, 188, 190, 193, 195, 198, 200, 202, 205, 207, 210, 212,
    215, 217, 220, 223, 225, 228, 230, 233, 236, 238, 241, 244, 246, 249, 252, 255, 257, 260, 263, 266, 269, 272,
    274, 277, 280, 283, 286, 289, 292, 295, 298, 301, 305, 308, 311, 314, 317, 320, 324, 327, 330, 333, 337, 340,
    344, 347, 350, 354, 357, 361, 364, 368, 372, 375, 379, 383, 386, 390, 394, 398, 402, 406, 410, 413, 418, 422,
    426, 430, 434, 438, 442, 447, 451, 455, 460, 464, 469, 473, 478, 483, 487, 492, 497, 502, 507, 512, 517, 522,
    527, 532, 538, 543, 548, 554, 559, 565, 571, 576, 582, 588, 594, 600, 607, 613, 619, 626, 632, 639, 646, 653,
    660, 667, 674, 681, 689, 696, 704, 712, 720, 728, 736, 745, 754, 762, 771, 781, 790, 800, 810, 820, 830, 840,
    851, 862, 874, 886, 898, 910, 923, 936, 949, 963, 978, 993, 1008, 1024};

// Ranges of the fine-tuning trackbars. The latency fine tuning starts at 0, the bus driver's
// default, so that a page left as it was shows the driver's value and writes nothing.
const int kLatencyTuningMin = 0, kLatencyTuningMax = 256;
const int kCpuTuningMin = 0, kCpuTuningMax = 256;

// Tool-tip texts by control.
struct TipText {
    int iControl;
    UINT uString;
};
const TipText s_aTips[] = {
    {IDC_POLICY_LATENCY, IDS_TIP_POLICY_LATENCY}, {IDC_POLICY_CPU, IDS_TIP_POLICY_CPU},
    {IDC_LATENCY, IDS_TIP_LATENCY},               {IDC_LATENCY_MS, IDS_TIP_LATENCY},
    {IDC_LATENCY_TUNING, IDS_TIP_LATENCY_TUNING}, {IDC_FINE_TUNING_LABEL, IDS_TIP_LATENCY_TUNING},
    {IDC_CPU_TUNING, IDS_TIP_CPU_TUNING},         {IDC_CPU_LOWEST, IDS_TIP_CPU_TUNING},
    {IDC_CPU_HIGHEST, IDS_TIP_CPU_TUNING},        {IDC_RESTORE_DEFAULTS, IDS_TIP_RESTORE_DEFAULTS},
};

} // namespace

CNewUSBSettingsPage::CNewUSBSettingsPage(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData)
    : CPropertyPageImpl<CNewUSBSettingsPage>(IDS_USB_SETTINGS_TITLE),
      CToolTipDialog<CNewUSBSettingsPage>(HV_PAGE_TOOLTIP_STYLE, HV_PAGE_TOOL_FLAGS), m_DevInfoData(deviceInfoData),
      m_Config(GUID_HVGENDRV_PORT_INTERFACE, deviceInfoSet, deviceInfoData), m_Parent(deviceInfoSet, &m_DevInfoData),
      m_RegInfo(deviceInfoSet, deviceInfoData) {
    if (m_Config.m_Open() && m_Config.m_GetSettings(m_PortSet, HV_SETTINGS_PORT) && m_Parent.m_FindParent())
        m_Config.m_GetSettings(m_BusSet, HV_SETTINGS_BUS);
}

CNewUSBSettingsPage::~CNewUSBSettingsPage() = default;

int CNewUSBSettingsPage::m_SliderToMilliseconds(int position) {
    if (position < HV_LATENCY_SLIDER_MIN) position = HV_LATENCY_SLIDER_MIN;
    if (position > HV_LATENCY_SLIDER_MAX) position = HV_LATENCY_SLIDER_MAX;
    int s = position - HV_LATENCY_SLIDER_MIN;
    int i = s * 255 / (HV_LATENCY_SLIDER_MAX - HV_LATENCY_SLIDER_MIN);
    return s_aiLatencyFactors[i] * s / 1024 + 2;
}

// A value the driver's answer did not reach is unavailable: its control is disabled.
BOOL CNewUSBSettingsPage::m_Available(const void* pvValue) const { return m_BusSet.m_HasValue(pvValue); }

LRESULT CNewUSBSettingsPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    m_Brush.m_Create();
    HvSetupPageToolTip(m_TT);
    SetDlgItemText(IDC_USB_NOTE, HvLoadString(IDS_USB_NOTE).c_str());
    for (const TipText& tip : s_aTips) TTAdd(static_cast<UINT>(tip.iControl));
    m_LatencyPolicy = GetDlgItem(IDC_POLICY_LATENCY);
    m_CpuPolicy = GetDlgItem(IDC_POLICY_CPU);
    m_Latency = GetDlgItem(IDC_LATENCY);
    m_LatencyTuning = GetDlgItem(IDC_LATENCY_TUNING);
    m_CpuTuning = GetDlgItem(IDC_CPU_TUNING);
    m_Latency.SetRangeMin(HV_LATENCY_SLIDER_MIN);
    m_Latency.SetRangeMax(HV_LATENCY_SLIDER_MAX, TRUE);
    m_LatencyTuning.SetRangeMin(kLatencyTuningMin);
    m_LatencyTuning.SetRangeMax(kLatencyTuningMax, TRUE);
    m_CpuTuning.SetRangeMin(kCpuTuningMin);
    m_CpuTuning.SetRangeMax(kCpuTuningMax, TRUE);
    m_FillControls();
    return TRUE;
}

void CNewUSBSettingsPage::m_ShowLatency() {
    WCHAR text[32];
    swprintf(text, 32, u"%d ms", m_SliderToMilliseconds(m_Latency.GetPos()));
    SetDlgItemText(IDC_LATENCY_MS, text);
}

void CNewUSBSettingsPage::m_FillControls() {
    m_Latency.SetPos(static_cast<int>(m_BusSet.m_ulMaximumLatencySliderPos));
    m_LatencyTuning.SetPos(static_cast<int>(m_BusSet.m_ulMaximumLatencyFineTuning));
    m_CpuTuning.SetPos(static_cast<int>(m_BusSet.m_ulLowCpuUsageFineTuning));
    m_ShowLatency();
    if (!m_Available(&m_BusSet.m_ulPolicyType)) {
        // Nothing of the policy could be read: the whole page is unavailable.
        m_LatencyPolicy.SetCheck(BST_UNCHECKED);
        m_CpuPolicy.SetCheck(BST_UNCHECKED);
        for (int id : {IDC_POLICY_LATENCY, IDC_POLICY_CPU, IDC_LATENCY, IDC_LATENCY_MS, IDC_LATENCY_TUNING,
                       IDC_FINE_TUNING_LABEL, IDC_CPU_TUNING, IDC_CPU_LOWEST, IDC_CPU_HIGHEST, IDC_RESTORE_DEFAULTS})
            GetDlgItem(id).EnableWindow(FALSE);
        return;
    }
    if (m_BusSet.m_ulPolicyType == HVUBUS_POLICY_MAXIMUM_LATENCY || m_BusSet.m_ulPolicyType == HVUBUS_POLICY_LOW_CPU_USAGE) {
        const bool latency = m_BusSet.m_ulPolicyType == HVUBUS_POLICY_MAXIMUM_LATENCY;
        m_LatencyPolicy.SetCheck(latency ? BST_CHECKED : BST_UNCHECKED);
        m_CpuPolicy.SetCheck(latency ? BST_UNCHECKED : BST_CHECKED);
        m_EnablePolicyControls();
        return;
    }
    for (int id : {IDC_LATENCY, IDC_LATENCY_TUNING, IDC_LATENCY_MS, IDC_CPU_TUNING}) GetDlgItem(id).EnableWindow(FALSE);
    MessageBox(u"Invalid USB Setting Policy.", u"Error", MB_ICONERROR);
}

void CNewUSBSettingsPage::m_EnablePolicyControls() {
    const BOOL latency = m_LatencyPolicy.GetCheck() == BST_CHECKED;
    GetDlgItem(IDC_LATENCY).EnableWindow(latency && m_Available(&m_BusSet.m_ulMaximumLatencySliderPos));
    GetDlgItem(IDC_LATENCY_MS).EnableWindow(latency && m_Available(&m_BusSet.m_ulMaximumLatencySliderPos));
    GetDlgItem(IDC_LATENCY_TUNING).EnableWindow(latency && m_Available(&m_BusSet.m_ulMaximumLatencyFineTuning));
    const BOOL cpu = !latency && m_Available(&m_BusSet.m_ulLowCpuUsageFineTuning);
    for (int id : {IDC_CPU_TUNING, IDC_CPU_LOWEST, IDC_CPU_HIGHEST}) GetDlgItem(id).EnableWindow(cpu);
}

LRESULT CNewUSBSettingsPage::OnPolicy(WORD, WORD, HWND, BOOL&) {
    m_EnablePolicyControls();
    return 0;
}

LRESULT CNewUSBSettingsPage::OnHScroll(UINT, WPARAM, LPARAM lParam, BOOL& bHandled) {
    if (reinterpret_cast<HWND>(lParam) != m_Latency.m_hWnd) {
        bHandled = FALSE;
        return 0;
    }
    m_ShowLatency();
    return 0;
}

int CNewUSBSettingsPage::OnApply() {
    // A set the driver's answer did not fill is never written back.
    if (!m_BusSet.m_IsComplete()) return PSNRET_NOERROR;
    // With neither radio checked (a policy the page does not know) the driver's policy stays.
    const ULONG policy = m_LatencyPolicy.GetCheck() == BST_CHECKED ? HVUBUS_POLICY_MAXIMUM_LATENCY
                         : m_CpuPolicy.GetCheck() == BST_CHECKED   ? HVUBUS_POLICY_LOW_CPU_USAGE
                                                                   : m_BusSet.m_ulPolicyType;
    const ULONG position = static_cast<ULONG>(m_Latency.GetPos());
    const ULONG latency = static_cast<ULONG>(m_SliderToMilliseconds(static_cast<int>(position)));
    const ULONG latencyTuning = static_cast<ULONG>(m_LatencyTuning.GetPos());
    const ULONG cpuTuning = static_cast<ULONG>(m_CpuTuning.GetPos());
    BOOLEAN bChanged = m_bDirty;
    for (auto [pulValue, ulNew] : {std::pair{&m_BusSet.m_ulPolicyType, policy},
                                   std::pair{&m_BusSet.m_ulMaximumLatency, latency},
                                   std::pair{&m_BusSet.m_ulMaximumLatencySliderPos, position},
                                   std::pair{&m_BusSet.m_ulMaximumLatencyFineTuning, latencyTuning},
                                   std::pair{&m_BusSet.m_ulLowCpuUsageFineTuning, cpuTuning}}) {
        if (*pulValue != ulNew) {
            *pulValue = ulNew;
            bChanged = TRUE;
        }
    }
    if (!bChanged) return PSNRET_NOERROR;

    if (!HvConfirmWriteWhilePortOpen(m_hWnd, m_RegInfo)) {
        m_Config.m_GetSettings(m_BusSet, HV_SETTINGS_BUS);
        m_FillControls();
        return PSNRET_INVALID;
    }
    if (m_Config.m_SetSettings(m_BusSet, HV_SETTINGS_BUS)) {
        m_bDirty = FALSE;
        return PSNRET_NOERROR;
    }
    // The driver's values are shown again, so the user sees what it kept.
    m_Config.m_GetSettings(m_BusSet, HV_SETTINGS_BUS);
    m_FillControls();
    return PSNRET_INVALID;
}

LRESULT CNewUSBSettingsPage::OnRestoreDefaults(WORD, WORD, HWND, BOOL&) {
    CHvUBusUserModeInterface defaults;
    if (!m_Config.m_GetDefaultSettings(defaults, HV_SETTINGS_BUS)) return 0;
    m_BusSet.m_ulUSB_TxTransferSize = defaults.m_ulUSB_TxTransferSize;
    m_BusSet.m_ulUSB_RxTransferSize = defaults.m_ulUSB_RxTransferSize;
    m_BusSet.m_ulUSB_LatencyTimer = defaults.m_ulUSB_LatencyTimer;
    m_BusSet.m_ulPolicyType = defaults.m_ulPolicyType;
    m_BusSet.m_ulMaximumLatency = defaults.m_ulMaximumLatency;
    m_BusSet.m_ulMaximumLatencySliderPos = defaults.m_ulMaximumLatencySliderPos;
    m_BusSet.m_ulMaximumLatencyFineTuning = defaults.m_ulMaximumLatencyFineTuning;
    m_BusSet.m_ulLowCpuUsageFineTuning = defaults.m_ulLowCpuUsageFineTuning;
    m_FillControls();
    m_bDirty = TRUE;
    return 0;
}

LRESULT CNewUSBSettingsPage::OnToolTipText(int, LPNMHDR pHeader, BOOL&) {
    auto* pInfo = reinterpret_cast<LPNMTTDISPINFOW>(pHeader);
    const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(pHeader->idFrom));
    m_TipText.clear();
    for (const TipText& tip : s_aTips)
        if (tip.iControl == id) m_TipText = HvLoadString(tip.uString);
    pInfo->lpszText = m_TipText.data();
    return 0;
}

LRESULT CNewUSBSettingsPage::OnHelpLink(WORD, WORD, HWND, BOOL&) {
    HvShowHelpTopic(m_hWnd, m_PortSet.m_ulPortType == HVUVCP_PORT_TYPE_RS422_485 ? HV_HELP_TOPIC_USB_485
                                                                                   : HV_HELP_TOPIC_USB);
    return 0;
}

LRESULT CNewUSBSettingsPage::OnContextHelp(UINT, WPARAM, LPARAM lParam, BOOL&) {
    HvShowContextHelp(reinterpret_cast<const HELPINFO*>(lParam), g_adwUsbSettingsHelpIds);
    return TRUE;
}

LRESULT CNewUSBSettingsPage::OnCtlColor(UINT, WPARAM wParam, LPARAM, BOOL&) { return m_Brush.m_OnCtlColor(wParam); }
