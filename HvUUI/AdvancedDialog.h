// The advanced sheet of a port, opened modally by the Port Settings page: the COM port number and
// the port's USB device, the RS-422/485 mode (on such ports), the USB latency policy and About.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlbase.h>
#include <atldlgs.h>

#include <hv_wchar.h>

#include <string>

#include "AboutPage.h"
#include "DeviceAdvSettingPage.h"
#include "HVDeviceRegInfo.h"
#include "NewUSBSettingsPage.h"
#include "RS422485Page.h"

class CAdvancedDialog : public ATL::CPropertySheetImpl<CAdvancedDialog> {
public:
    CAdvancedDialog(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData);
    ~CAdvancedDialog() override;

    // The duplex mode that the RS-422/485 page holds (what it wrote after OK).
    ULONG m_GetDuplexMode() const;

    BEGIN_MSG_MAP(CAdvancedDialog)
    CHAIN_MSG_MAP(ATL::CPropertySheetImpl<CAdvancedDialog>)
    END_MSG_MAP()

private:
    std::u16string m_Caption;
    CHVDeviceRegInfo m_RegInfo;
    CRS422485Page m_RS422485Page;
    CDeviceAdvSettingPage m_DevicePage;
    CNewUSBSettingsPage m_USBSettingsPage;
    CAboutPage m_AboutPage;
};
