// Windows as text: the listing and the character-grid drawing of a two-page sheet.
#include "ui_fixture.h"

#include <hv_resource.h>

#include <fstream>
#include <sstream>

namespace {

constexpr UINT IDD_PORT = 500, IDD_LATENCY = 501;

HV_DIALOGS_BEGIN
HV_DIALOGEX(IDD_PORT, 0, 0, 180, 80, WS_CHILD | WS_CAPTION, u"Port Settings")
HV_FONT(8, u"MS Shell Dlg")
HV_LTEXT(u"&Bits per second:", 1, 8, 8, 60, 8)
HV_COMBOBOX(2, 76, 6, 64, 60, CBS_DROPDOWN)
HV_AUTOCHECKBOX(u"&Override", 3, 8, 24, 60, 10)
HV_AUTOCHECKBOX(u"CTS Always True", 4, 8, 36, 80, 10, WS_DISABLED)
HV_ICON(5, 5, 150, 24, HV_NOT(WS_VISIBLE))
HV_PUSHBUTTON(u"&Advanced...", 6, 8, 56, 60, 14)
HV_DIALOGEX(IDD_LATENCY, 0, 0, 180, 80, WS_CHILD | WS_CAPTION, u"Latency")
HV_FONT(8, u"MS Shell Dlg")
HV_GROUPBOX(u"Policy", 1, 4, 2, 172, 50)
HV_AUTORADIOBUTTON(u"&Maximum latency", 2, 12, 14, 80, 10, WS_GROUP)
HV_AUTORADIOBUTTON(u"&Low CPU usage", 3, 12, 26, 80, 10)
HV_CONTROL(u"", 4, TRACKBAR_CLASSW, WS_TABSTOP, 12, 38, 80, 10)
HV_DIALOGS_END

INT_PTR CALLBACK port_proc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    if (msg != WM_INITDIALOG) return FALSE;
    HWND combo = GetDlgItem(hwnd, 2);
    for (const char16_t* rate : {u"9600", u"115200"}) SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(rate));
    SendMessageW(combo, CB_SETCURSEL, 1, 0);
    CheckDlgButton(hwnd, 4, BST_CHECKED);
    return TRUE;
}

INT_PTR CALLBACK latency_proc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    if (msg != WM_INITDIALOG) return FALSE;
    CheckRadioButton(hwnd, 2, 3, 2);
    SendDlgItemMessageW(hwnd, 4, TBM_SETRANGE, TRUE, MAKELPARAM(0, 16));
    SendDlgItemMessageW(hwnd, 4, TBM_SETPOS, TRUE, 6);
    return TRUE;
}

// HV_UPDATE_GOLDEN=1 writes what was drawn as the new expectation.
void expect_golden(const char* name, const std::string& drawn) {
    const std::string path = std::string(HV_UI_GOLDEN_DIR) + "/" + name;
    if (std::getenv("HV_UPDATE_GOLDEN")) std::ofstream(path) << drawn;
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), drawn) << path;
}

TEST_F(UiTest, ATwoPageSheetIsDrawnAndListedAsText) {
    PROPSHEETPAGEW pages[2] = {};
    const std::pair<UINT, DLGPROC> kinds[] = {{IDD_PORT, port_proc}, {IDD_LATENCY, latency_proc}};
    for (int i = 0; i < 2; ++i) {
        pages[i].dwSize = sizeof(PROPSHEETPAGEW);
        pages[i].pszTemplate = MAKEINTRESOURCEW(kinds[i].first);
        pages[i].pfnDlgProc = kinds[i].second;
    }
    PROPSHEETHEADERW h{};
    h.dwSize = sizeof h;
    h.dwFlags = PSH_PROPSHEETPAGE | PSH_PROPTITLE | PSH_NOAPPLYNOW | PSH_MODELESS;
    h.pszCaption = u"USB Serial Port (COM3)";
    h.nPages = 2;
    h.ppsp = pages;
    hvsim::ui::Sheet sheet(HWND(PropertySheetW(&h)));
    ASSERT_TRUE(sheet.exists());
    expect_golden("port_page.txt", sheet.render());
    EXPECT_EQ("1 static \"&Bits per second:\"\n"
              "2 combo \"115200\" items=2 sel=1\n"
              "3 check \"&Override\" unchecked\n"
              "4 check \"CTS Always True\" checked disabled\n"
              "5 icon \"\" hidden\n"
              "6 button \"&Advanced...\"\n",
              sheet.page().listing());
    ASSERT_TRUE(sheet.select_page(u"Latency"));
    expect_golden("latency_page.txt", sheet.render());
    DestroyWindow(sheet.hwnd());
}

} // namespace
