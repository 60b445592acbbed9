// What the settings pages share: the choice lists of their combo boxes (from the string table and
// the capability masks of the port settings set), filling a combo box and selecting a value, the
// look of their tool tips and background, and help (a topic per page, a popup per control).
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <atlbase.h>
#include <atlctrls.h>

#include <hv_wchar.h>

#include <string>
#include <vector>

// One item of a combo box: its text and the settings value it stands for.
struct CHvChoice {
    std::u16string m_Text;
    DWORD m_dwData;
};
typedef std::vector<CHvChoice> CHvChoiceList;

// COMMPROP BAUD_USER: any rate; the three highest rates of the list share it.
#define HV_BAUD_USER 0x10000000u

class CUtils {
public:
    virtual ~CUtils() = default;

    // The rates of the baud table whose bit is in the mask and that lie within [minimum, maximum]:
    // the rates the port can be set to.
    CHvChoiceList m_GetBaudList(DWORD dwMask, DWORD dwMinimum, DWORD dwMaximum);
    CHvChoiceList m_GetDataBitsList(DWORD dwMask);
    CHvChoiceList m_GetParityList(UINT uStringId, DWORD dwMask);
    CHvChoiceList m_GetStopBitsList(UINT uStringId, DWORD dwMask);
    CHvChoiceList m_GetFlowControlList(UINT uStringId, DWORD dwMask);
    CHvChoiceList m_GetDuplexList(UINT uStringId, DWORD dwMask);

    // Fills the combo box and selects the last item that carries the value (with bBits: whose
    // data holds every bit of the value); a value no item carries is added as "%d" and selected.
    BOOL m_FillCombo(HWND hCombo, const CHvChoiceList& list, DWORD dwValue, BOOL bBits);
    // Selects the last name equal (case-sensitively) to the current one; none when none is.
    void m_FillNameCombo(HWND hCombo, const std::vector<std::u16string>& names, const std::u16string& current);
    // The item data of the selection; -1 without a combo box or a selection.
    LRESULT m_GetSelectedData(HWND hCombo);

    // A string-table list split at its commas into exactly `count` items.
    static std::vector<std::u16string> m_SplitList(UINT uStringId, size_t count);
};

// ---- Tool tips, background and help of every settings page ----------------------------------------

#define HV_PAGE_TOOLTIP_STYLE (TTS_ALWAYSTIP | TTS_NOPREFIX | TTS_BALLOON | TTS_CLOSE) // 0xC3
#define HV_PAGE_TOOL_FLAGS (TTF_IDISHWND | TTF_SUBCLASS)                               // 0x11
#define HV_PAGE_BACKGROUND RGB(0xF8, 0xF7, 0xF6)                                       // 0x00F6F7F8

// Width 400, the title "Information:" with the information icon, delays 1000 / 2000 / 30000 ms.
void HvSetupPageToolTip(WTL::CToolTipCtrl& tip);
// The tip's title and icon (TTI_INFO "Information:", TTI_ERROR "Error:").
void HvSetPageTipTitle(WTL::CToolTipCtrl& tip, int icon);

// The page background: a solid brush made at dialog start, deleted with the page; the statics
// and the dialog are drawn on it with a transparent text background.
class CHvPageBrush {
public:
    CHvPageBrush() = default;
    ~CHvPageBrush();
    CHvPageBrush(const CHvPageBrush&) = delete;
    CHvPageBrush& operator=(const CHvPageBrush&) = delete;

    void m_Create();
    // The answer to WM_CTLCOLORDLG and WM_CTLCOLORSTATIC (wParam is the device context).
    LRESULT m_OnCtlColor(WPARAM wParam);
    HBRUSH m_Get() const { return m_hBrush; }

private:
    HBRUSH m_hBrush = nullptr;
};

// The help file's topic formats, "%s" being the help file.
#define HV_HELP_TOPIC_PORT_SETTINGS u"%s::/StdPage.htm>mainwin"
#define HV_HELP_TOPIC_PORT_SETTINGS_485 u"%s::/StdPage485.htm>mainwin"
#define HV_HELP_TOPIC_DEVICE u"%s::/AdvDevice.htm>mainwin"
#define HV_HELP_TOPIC_DEVICE_485 u"%s::/AdvDevice485.htm>mainwin"
#define HV_HELP_TOPIC_USB u"%s::/USBPage.htm>mainwin"
#define HV_HELP_TOPIC_USB_485 u"%s::/USBPage485.htm>mainwin"
#define HV_HELP_TOPIC_RS422485 u"%s::/422485Page.htm>mainwin"

class CHVDeviceRegInfo;
// Before a page writes: while another application has the port open (PortName of its device
// key), the open-port question (string 5061, "Warning!"); FALSE when the user answered No.
BOOL HvConfirmWriteWhilePortOpen(HWND hPage, const CHVDeviceRegInfo& port);

// Opens the topic (a format above) of the help file. Help that cannot be shown shows nothing.
void HvShowHelpTopic(HWND hPage, const WCHAR* pszTopicFormat);
// WM_HELP: the popup of a control listed in the page's table (control id, help id pairs ended
// by a 0 control id); other requests do nothing. TRUE when the popup was asked for.
BOOL HvShowContextHelp(const HELPINFO* pHelpInfo, const DWORD* pdwHelpIds);

// Help-id tables of the pages.
extern const DWORD g_adwPortSettingsHelpIds[];
extern const DWORD g_adwDeviceHelpIds[];
extern const DWORD g_adwUsbSettingsHelpIds[];
extern const DWORD g_adwRs422485HelpIds[];
