// Choice lists, combo boxes, and the tool tips, background and help of the settings pages.
#include "Utils.h"

#include <htmlhelp.h>

#include "HVDeviceRegInfo.h"
#include "PageResources.h"
#include "PortUtil.h"
#include "Resources.h"

namespace {

// The baud table: each rate with the COMMPROP bit that offers it.
struct BaudRate {
    DWORD dwRate;
    DWORD dwBit;
};
const BaudRate s_aBaudRates[] = {
    {75, 0x00000001},     {110, 0x00000002},    {134, 0x00000004},     {150, 0x00000008},
    {300, 0x00000010},    {600, 0x00000020},    {1200, 0x00000040},    {1800, 0x00000080},
    {2400, 0x00000100},   {4800, 0x00000200},   {7200, 0x00000400},    {9600, 0x00000800},
    {14400, 0x00001000},  {19200, 0x00002000},  {38400, 0x00004000},   {57600, 0x00040000},
    {115200, 0x00020000}, {128000, 0x00010000}, {230400, HV_BAUD_USER}, {460800, HV_BAUD_USER},
    {921600, HV_BAUD_USER},
};

// A list item offered when its bit is in the mask (a bit of 0: always).
struct ListItem {
    DWORD dwBit;
    DWORD dwData;
};

std::u16string Number(DWORD value) {
    WCHAR text[16];
    swprintf(text, 16, u"%d", static_cast<int>(value));
    return text;
}

template <size_t N>
CHvChoiceList FromStrings(UINT uStringId, const ListItem (&items)[N], DWORD dwMask) {
    std::vector<std::u16string> texts = CUtils::m_SplitList(uStringId, N);
    CHvChoiceList list;
    for (size_t i = 0; i < N; ++i)
        if (!items[i].dwBit || (dwMask & items[i].dwBit)) list.push_back({texts[i], items[i].dwData});
    return list;
}

const WCHAR kHelpFile[] = u"HvUUI23.chm";

// The help control, found by name each time, so that a machine without it shows no help.
HWND HtmlHelpByName(HWND hCaller, const WCHAR* pszFile, UINT uCommand, DWORD_PTR dwData) {
    HMODULE hControl = LoadLibraryW(u"hhctrl.ocx");
    if (!hControl) return nullptr;
    auto pfnHtmlHelp =
        reinterpret_cast<PFN_HTMLHELPW>(reinterpret_cast<void*>(GetProcAddress(hControl, "HtmlHelpW")));
    HWND hResult = pfnHtmlHelp ? pfnHtmlHelp(hCaller, pszFile, uCommand, dwData) : nullptr;
    FreeLibrary(hControl);
    return hResult;
}

} // namespace

CHvChoiceList CUtils::m_GetBaudList(DWORD dwMask, DWORD dwMinimum, DWORD dwMaximum) {
    CHvChoiceList list;
    for (const BaudRate& rate : s_aBaudRates)
        if ((dwMask & rate.dwBit) && rate.dwRate >= dwMinimum && rate.dwRate <= dwMaximum)
            list.push_back({Number(rate.dwRate), rate.dwRate});
    return list;
}

CHvChoiceList CUtils::m_GetDataBitsList(DWORD dwMask) {
    CHvChoiceList list;
    for (DWORD i = 0; i < 4; ++i)
        if (dwMask & (1u << i)) list.push_back({Number(5 + i), i});
    return list;
}

CHvChoiceList CUtils::m_GetParityList(UINT uStringId, DWORD dwMask) {
    static const ListItem items[] = {{0x400, 2}, {0x200, 1}, {0x100, 0}, {0x800, 3}, {0x1000, 4}};
    return FromStrings(uStringId, items, dwMask);
}

CHvChoiceList CUtils::m_GetStopBitsList(UINT uStringId, DWORD dwMask) {
    static const ListItem items[] = {{0x1, 0}, {0x2, 1}, {0x4, 2}};
    return FromStrings(uStringId, items, dwMask);
}

CHvChoiceList CUtils::m_GetFlowControlList(UINT uStringId, DWORD dwMask) {
    static const ListItem items[] = {{0x4, 4}, {0x1, 1}, {0, 0}};
    return FromStrings(uStringId, items, dwMask);
}

CHvChoiceList CUtils::m_GetDuplexList(UINT uStringId, DWORD dwMask) {
    static const ListItem items[] = {{0x1, 1}, {0x2, 2}, {0x4, 3}, {0x8, 4}, {0x10, 5}};
    return FromStrings(uStringId, items, dwMask);
}

std::vector<std::u16string> CUtils::m_SplitList(UINT uStringId, size_t count) {
    std::u16string rest = HvLoadString(uStringId);
    std::vector<std::u16string> items;
    while (items.size() + 1 < count) {
        size_t comma = rest.find(u',');
        if (comma == std::u16string::npos) break;
        items.push_back(rest.substr(0, comma));
        rest.erase(0, comma + 1);
    }
    items.push_back(rest);
    items.resize(count);
    return items;
}

BOOL CUtils::m_FillCombo(HWND hCombo, const CHvChoiceList& list, DWORD dwValue, BOOL bBits) {
    if (!hCombo) return FALSE;
    SendMessageW(hCombo, CB_RESETCONTENT, 0, 0);
    LRESULT selected = CB_ERR;
    for (const CHvChoice& choice : list) {
        LRESULT index = SendMessageW(hCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice.m_Text.c_str()));
        if (index < 0) return FALSE;
        SendMessageW(hCombo, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(choice.m_dwData));
        if (choice.m_dwData == dwValue || (bBits && (dwValue & choice.m_dwData) == dwValue)) selected = index;
    }
    if (selected == CB_ERR) {
        selected = SendMessageW(hCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Number(dwValue).c_str()));
        if (selected < 0) return FALSE;
        SendMessageW(hCombo, CB_SETITEMDATA, static_cast<WPARAM>(selected), static_cast<LPARAM>(dwValue));
    }
    return SendMessageW(hCombo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0) != CB_ERR;
}

void CUtils::m_FillNameCombo(HWND hCombo, const std::vector<std::u16string>& names, const std::u16string& current) {
    if (!hCombo) return;
    SendMessageW(hCombo, CB_RESETCONTENT, 0, 0);
    LRESULT selected = CB_ERR;
    for (const std::u16string& name : names) {
        LRESULT index = SendMessageW(hCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        if (index >= 0 && name == current) selected = index;
    }
    SendMessageW(hCombo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

LRESULT CUtils::m_GetSelectedData(HWND hCombo) {
    if (!hCombo) return -1;
    LRESULT index = SendMessageW(hCombo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return -1;
    return SendMessageW(hCombo, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
}

// ---- Tool tips, background and help ---------------------------------------------------------------

void HvSetupPageToolTip(WTL::CToolTipCtrl& tip) {
    tip.SetMaxTipWidth(400);
    HvSetPageTipTitle(tip, TTI_INFO);
    tip.SetDelayTime(TTDT_INITIAL, 1000);
    tip.SetDelayTime(TTDT_RESHOW, 2000);
    tip.SetDelayTime(TTDT_AUTOPOP, 30000);
}

void HvSetPageTipTitle(WTL::CToolTipCtrl& tip, int icon) {
    tip.SetTitle(static_cast<UINT_PTR>(icon), icon == TTI_ERROR ? u"Error:" : u"Information:");
}

CHvPageBrush::~CHvPageBrush() {
    if (m_hBrush) DeleteObject(m_hBrush);
}

void CHvPageBrush::m_Create() {
    if (!m_hBrush) m_hBrush = CreateSolidBrush(HV_PAGE_BACKGROUND);
}

LRESULT CHvPageBrush::m_OnCtlColor(WPARAM wParam) {
    SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
    return reinterpret_cast<LRESULT>(m_hBrush);
}

void HvShowHelpTopic(HWND hPage, const WCHAR* pszTopicFormat) {
    WCHAR topic[MAX_PATH];
    swprintf(topic, MAX_PATH, pszTopicFormat, kHelpFile);
    HtmlHelpByName(hPage, topic, HH_DISPLAY_TOPIC, 0);
}

BOOL HvShowContextHelp(const HELPINFO* pHelpInfo, const DWORD* pdwHelpIds) {
    if (!pHelpInfo || !pdwHelpIds || pHelpInfo->iContextType != HELPINFO_WINDOW || pHelpInfo->iCtrlId == -1)
        return FALSE;
    bool listed = false;
    for (const DWORD* ids = pdwHelpIds; ids[0]; ids += 2) listed = listed || ids[0] == DWORD(pHelpInfo->iCtrlId);
    if (!listed) return FALSE;
    WCHAR popups[MAX_PATH];
    swprintf(popups, MAX_PATH, u"%s::/HvUUI.txt", kHelpFile);
    HtmlHelpByName(static_cast<HWND>(pHelpInfo->hItemHandle), popups, HH_TP_HELP_WM_HELP,
                   reinterpret_cast<DWORD_PTR>(pdwHelpIds));
    return TRUE;
}

BOOL HvConfirmWriteWhilePortOpen(HWND hPage, const CHVDeviceRegInfo& port) {
    std::u16string name;
    if (!port.m_GetDeviceValue(u"PortName", name) || CPortUtil().m_CanOpenPort(name)) return TRUE;
    return MessageBoxW(hPage, HvLoadString(IDS_PORT_OPEN_WARNING).c_str(), u"Warning!", MB_YESNO | MB_ICONINFORMATION) !=
           IDNO;
}
