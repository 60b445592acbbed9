#include "AdvancedDialog.h"

CAdvancedDialog::CAdvancedDialog(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData)
    : m_RegInfo(deviceInfoSet, deviceInfoData), m_RS422485Page(deviceInfoSet, deviceInfoData),
      m_DevicePage(deviceInfoSet, deviceInfoData), m_USBSettingsPage(deviceInfoSet, deviceInfoData),
      m_AboutPage() {
    std::u16string portName;
    m_RegInfo.m_GetDeviceValue(u"PortName", portName);
    m_Caption = u"Advanced Settings for " + portName;
    SetTitle(m_Caption.c_str(), PSH_PROPTITLE);
    m_psh.dwFlags |= PSH_NOAPPLYNOW;

    AddPage(static_cast<LPCPROPSHEETPAGEW>(m_DevicePage));
    if (m_RS422485Page.m_PortSet.m_ulPortType == 1) AddPage(static_cast<LPCPROPSHEETPAGEW>(m_RS422485Page));
    AddPage(static_cast<LPCPROPSHEETPAGEW>(m_USBSettingsPage));
    AddPage(static_cast<LPCPROPSHEETPAGEW>(m_AboutPage));
}

CAdvancedDialog::~CAdvancedDialog() = default;

ULONG CAdvancedDialog::m_GetDuplexMode() const { return m_RS422485Page.m_PortSet.m_ulDuplexMode; }
