#include "DeviceAdvSettingPage.h"

#include <pmusermodeprotocol.h>

#include <algorithm>

#include "PortUtil.h"
#include "Resources.h"

namespace {

const WCHAR kInUseMark[] = u" (in use)";

} // namespace

CDeviceAdvSettingPage::CDeviceAdvSettingPage(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData)
    : ATL::CPropertyPageImpl<CDeviceAdvSettingPage>(static_cast<UINT>(IDS_DEVICE_SETTINGS)),
      WTL::CToolTipDialog<CDeviceAdvSettingPage>(HV_PAGE_TOOLTIP_STYLE, HV_PAGE_TOOL_FLAGS),
      CHvUserModeConfig(GUID_HVGENDRV_PORT_INTERFACE, deviceInfoSet, deviceInfoData),
      m_DeviceInfoData(deviceInfoData), m_ParentDevice(deviceInfoSet, &m_DeviceInfoData),
      m_RegInfo(deviceInfoSet, deviceInfoData) {
    // The page is shown whatever could be read; what was not read shows as 0 or empty.
    m_Open() && m_GetSettings(m_PortSettings, HV_SETTINGS_PORT) && m_ParentDevice.m_FindParent() &&
        m_GetSettings(m_BusSettings, HV_SETTINGS_BUS);
}

CDeviceAdvSettingPage::~CDeviceAdvSettingPage() = default;

void CDeviceAdvSettingPage::m_SetLabel(int id, UINT stringId) {
    SetDlgItemText(id, HvLoadString(stringId).c_str());
}

void CDeviceAdvSettingPage::m_SetNumber(int id, const WCHAR* format, ULONG value) {
    WCHAR text[64];
    swprintf(text, 64, format, static_cast<int>(value));
    SetDlgItemText(id, text);
}

LRESULT CDeviceAdvSettingPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    m_Brush.m_Create();
    HvSetupPageToolTip(m_TT);
    m_SetLabel(IDC_PORT_NUMBER_LABEL, IDS_PORT_NUMBER);
    m_SetLabel(IDC_DEVICE_FRAME, IDS_DEVICE_FRAME);
    m_SetLabel(IDC_INTERFACE_LABEL, IDS_INTERFACE);
    m_SetLabel(IDC_RX_FIFO_LABEL, IDS_RX_FIFO);
    m_SetLabel(IDC_TX_FIFO_LABEL, IDS_TX_FIFO);
    m_SetLabel(IDC_MAX_BAUD_LABEL, IDS_MAX_BAUD);
    m_SetLabel(IDC_PORT_NUMBER_FRAME, IDS_PORT_NUMBER_FRAME);
    m_SetLabel(IDC_HELP_LABEL, IDS_NEED_HELP);

    SetDlgItemText(IDC_INTERFACE, m_BusSettings.m_InterfaceType.c_str());
    m_SetNumber(IDC_RX_FIFO, u"%d bytes", m_BusSettings.m_ulRxFifoSize);
    m_SetNumber(IDC_TX_FIFO, u"%d bytes", m_BusSettings.m_ulTxFifoSize);
    m_SetNumber(IDC_MAX_BAUD, u"%d baud", m_BusSettings.m_ulMaximumBaudRate);

    m_cbPortName = GetDlgItem(IDC_PORT_NUMBER);
    m_FillPortNames();
    TTAdd(static_cast<UINT>(IDC_PORT_NUMBER));
    return TRUE;
}

void CDeviceAdvSettingPage::m_FillPortNames() {
    std::u16string portName;
    m_RegInfo.m_GetDeviceValue(u"PortName", portName);
    CPortUtil portUtil;
    portUtil.m_Open();
    m_Utils.m_FillNameCombo(m_cbPortName, portUtil.m_BuildPortNameList(portName), portName);
    portUtil.m_Close();
}

int CDeviceAdvSettingPage::OnApply() {
    std::u16string portName;
    m_RegInfo.m_GetDeviceValue(u"PortName", portName);
    // Nothing chosen (the port's name is not one the list offers): the name stays.
    const int selection = m_cbPortName.GetCurSel();
    if (selection == CB_ERR) return PSNRET_NOERROR;
    std::u16string chosen(static_cast<size_t>(std::max(m_cbPortName.GetLBTextLen(selection), 0)), u'\0');
    m_cbPortName.GetLBText(selection, chosen.data());
    if (size_t mark = chosen.find(kInUseMark); mark != std::u16string::npos) chosen.erase(mark);
    if (chosen == portName) return PSNRET_NOERROR;

    CCOMPortUtil portUtil(m_RegInfo.m_DeviceInfoSet(), m_DeviceInfoData);
    if (!portUtil.m_ChangePortName(chosen, m_hWnd, TRUE, TRUE)) {
        MessageBox(HvLoadString(IDS_RENAME_FAILED).c_str(), u"Error", MB_ICONERROR);
        return PSNRET_INVALID;
    }
    return PSNRET_NOERROR;
}

LRESULT CDeviceAdvSettingPage::OnHelpLink(WORD, WORD, HWND, BOOL&) {
    HvShowHelpTopic(m_hWnd, m_PortSettings.m_ulPortType == 1 ? HV_HELP_TOPIC_DEVICE_485 : HV_HELP_TOPIC_DEVICE);
    return 0;
}

LRESULT CDeviceAdvSettingPage::OnContextHelp(UINT, WPARAM, LPARAM lParam, BOOL&) {
    HvShowContextHelp(reinterpret_cast<const HELPINFO*>(lParam), g_adwDeviceHelpIds);
    return TRUE;
}

LRESULT CDeviceAdvSettingPage::OnToolTipText(int, LPNMHDR header, BOOL&) {
    auto* info = reinterpret_cast<NMTTDISPINFOW*>(header);
    HWND tool = (info->uFlags & TTF_IDISHWND) ? reinterpret_cast<HWND>(header->idFrom)
                                               : ::GetDlgItem(m_hWnd, static_cast<int>(header->idFrom));
    m_TipText = ::GetDlgCtrlID(tool) == IDC_PORT_NUMBER ? HvLoadString(IDS_TIP_PORT_NUMBER) : std::u16string();
    HvSetPageTipTitle(m_TT, TTI_INFO);
    info->lpszText = m_TipText.data();
    info->hinst = nullptr;
    return 0;
}
