// The controls, driven as a user drives them and as programs set them.
#include "ui_fixture.h"

#include <hv_resource.h>

namespace {

constexpr UINT IDD_CONTROLS = 300;

HV_DIALOGS_BEGIN
HV_DIALOGEX(IDD_CONTROLS, 0, 0, 240, 160, WS_POPUP | WS_CAPTION | WS_VISIBLE, u"Controls")
HV_FONT(8, u"MS Shell Dlg")
HV_AUTORADIOBUTTON(u"Low", 1, 8, 8, 60, 10, WS_GROUP | WS_TABSTOP)
HV_AUTORADIOBUTTON(u"Medium", 2, 8, 20, 60, 10)
HV_AUTORADIOBUTTON(u"High", 3, 8, 32, 60, 10, WS_DISABLED)
HV_AUTORADIOBUTTON(u"Other group", 4, 8, 44, 60, 10, WS_GROUP)
HV_COMBOBOX(5, 80, 8, 80, 80, CBS_DROPDOWN | WS_VSCROLL)
HV_COMBOBOX(6, 80, 24, 80, 80, CBS_DROPDOWNLIST)
HV_CONTROL(u"", 7, TRACKBAR_CLASSW, TBS_AUTOTICKS | WS_TABSTOP, 80, 40, 100, 15)
HV_CONTROL(u"", 8, PROGRESS_CLASSW, 0, 80, 60, 100, 10)
HV_LTEXT(u"Click me", 9, 8, 60, 60, 8, SS_NOTIFY)
HV_CONTROL(u"", 10, ANIMATE_CLASSW, ACS_AUTOPLAY | ACS_CENTER, 80, 80, 100, 20)
HV_DIALOGS_END

HV_RESOURCES_BEGIN
HV_AVI(134)
HV_RESOURCES_END

INT_PTR CALLBACK log_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COMMAND)
        message_log().add("command:" + std::to_string(LOWORD(wp)) + ":" + std::to_string(HIWORD(wp)));
    if (msg == WM_HSCROLL)
        message_log().add("hscroll:" + std::to_string(LOWORD(wp)) + ":" + std::to_string(HIWORD(wp)));
    if (msg == WM_NOTIFY && reinterpret_cast<NMHDR*>(lp)->code == TTN_GETDISPINFOW) {
        auto* info = reinterpret_cast<NMTTDISPINFOW*>(lp);
        std::char_traits<char16_t>::copy(info->szText, u"Pick a speed", 13);
        SendMessageW(info->hdr.hwndFrom, TTM_SETTITLEW, TTI_INFO, LPARAM(u"Information:"));
        return TRUE;
    }
    return msg == WM_INITDIALOG;
}

class ControlsTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        dialog_ = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(IDD_CONTROLS), nullptr, log_proc, 0);
        ASSERT_NE(nullptr, dialog_);
        d_ = hvsim::ui::Dialog(dialog_);
        message_log().take();
    }
    HWND dialog_ = nullptr;
    hvsim::ui::Dialog d_;
};

TEST_F(ControlsTest, ARadioButtonClearsTheOthersOfItsGroupOnly) {
    d_.click(4);
    d_.click(1);
    EXPECT_TRUE(d_.checked(1));
    // A disabled member of the group loses its check too, though nobody can click it.
    SendDlgItemMessageW(dialog_, 3, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_TRUE(d_.click(2));
    EXPECT_FALSE(d_.click(3));
    EXPECT_EQ((std::vector<bool>{false, true, false, true}),
              (std::vector<bool>{d_.checked(1), d_.checked(2), d_.checked(3), d_.checked(4)}));
    EXPECT_EQ(GetDlgItem(dialog_, 2), GetNextDlgGroupItem(dialog_, GetDlgItem(dialog_, 1), FALSE));
    EXPECT_EQ(GetDlgItem(dialog_, 1), GetNextDlgGroupItem(dialog_, GetDlgItem(dialog_, 2), FALSE)); // 3 is disabled
    auto log = message_log().take();
    EXPECT_EQ(3, std::count(log.begin(), log.end(), "command:1:0") + std::count(log.begin(), log.end(), "command:2:0") +
                     std::count(log.begin(), log.end(), "command:4:0"));
}

TEST_F(ControlsTest, ATrackbarKeepsItsThumbWithinTheRange) {
    HWND track = GetDlgItem(dialog_, 7);
    struct Step {
        UINT msg;
        WPARAM wp;
        LPARAM lp;
        int pos;
    };
    const Step steps[] = {
        {TBM_SETRANGE, TRUE, MAKELPARAM(2, 18), 2},
        {TBM_SETPOS, TRUE, 10, 10},
        {TBM_SETPOS, TRUE, 99, 18},
        {TBM_SETRANGEMAX, TRUE, 12, 12},
        {TBM_SETRANGEMIN, TRUE, 15, 15},
        {TBM_SETRANGEMIN, TRUE, 0, 12},
        {TBM_SETPOS, TRUE, -5, 0},
        {TBM_SETRANGE, TRUE, MAKELPARAM(100, 16640), 100},
    };
    for (const auto& s : steps) {
        SendMessageW(track, s.msg, s.wp, s.lp);
        EXPECT_EQ(s.pos, SendMessageW(track, TBM_GETPOS, 0, 0)) << s.msg << " " << s.lp;
    }
    message_log().take();
    EXPECT_TRUE(d_.slide(7, 20000));
    EXPECT_EQ(16640, d_.position(7));
    EXPECT_EQ((std::vector<std::string>{"hscroll:5:16640", "hscroll:4:16640", "hscroll:8:16640"}),
              message_log().take());
}

TEST_F(ControlsTest, TheComboBoxFieldFollowsTheSelection) {
    HWND combo = GetDlgItem(dialog_, 5);
    for (const char16_t* rate : {u"9600", u"19200", u"115200"}) SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(rate));
    SendMessageW(combo, CB_SETITEMDATA, 2, 115200);
    HWND edit = GetDlgItem(combo, 1001);
    ASSERT_NE(nullptr, edit);
    EXPECT_EQ(2, SendMessageW(combo, CB_SETCURSEL, 2, 0));
    EXPECT_EQ(u"115200", d_.text(5));
    EXPECT_EQ(115200, SendMessageW(combo, CB_GETITEMDATA, 2, 0));
    EXPECT_EQ(115200u, GetDlgItemInt(dialog_, 5, nullptr, FALSE));
    // Set by the program: no edit notifications; picked by the user: CBN_SELCHANGE.
    EXPECT_TRUE(message_log().take().empty());
    EXPECT_TRUE(d_.select(5, u"19200"));
    EXPECT_EQ(1, d_.selection(5));
    EXPECT_EQ(u"19200", d_.text(5));
    auto log = message_log().take();
    EXPECT_EQ("command:5:1", log.back());
    // Typed by the user: CBN_EDITUPDATE and CBN_EDITCHANGE for each change, digits only when the
    // field is ES_NUMBER.
    SetWindowLongPtrW(edit, GWL_STYLE, GetWindowLongPtrW(edit, GWL_STYLE) | ES_NUMBER);
    EXPECT_TRUE(d_.type(5, u"7x2"));
    EXPECT_EQ(u"72", d_.text(5));
    log = message_log().take();
    EXPECT_EQ(3, std::count(log.begin(), log.end(), "command:5:5")); // cleared, 7, 2
    EXPECT_EQ(CB_ERR, SendMessageW(combo, CB_SETCURSEL, 7, 0));
    EXPECT_EQ(u"", d_.text(5));
    EXPECT_EQ(CB_ERR, SendMessageW(combo, CB_GETLBTEXTLEN, 3, 0));
    EXPECT_EQ(CB_ERR, SendMessageW(combo, CB_GETITEMDATA, WPARAM(-1), 0));
    // A drop-down list has no field to type into; its text is its selection.
    HWND list = GetDlgItem(dialog_, 6);
    EXPECT_EQ(nullptr, GetDlgItem(list, 1001));
    SendMessageW(list, CB_ADDSTRING, 0, LPARAM(u"None"));
    EXPECT_FALSE(d_.type(6, u"x"));
    EXPECT_EQ(CB_ERR, SendMessageW(list, WM_SETTEXT, 0, LPARAM(u"Odd")));
    EXPECT_TRUE(SendMessageW(list, WM_SETTEXT, 0, LPARAM(u"none")));
    EXPECT_EQ(u"None", d_.text(6));
    // A sorted list puts items in their place, without regard to case.
    HWND sorted = CreateWindowExW(0, u"ComboBox", u"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST | CBS_SORT, 0, 0, 50,
                                  50, dialog_, HMENU(intptr_t(11)), nullptr, nullptr);
    for (const char16_t* item : {u"b", u"A", u"c"}) SendMessageW(sorted, CB_ADDSTRING, 0, LPARAM(item));
    EXPECT_EQ((std::vector<std::u16string>{u"A", u"b", u"c"}), d_.items(11));
    EXPECT_EQ(1, SendMessageW(sorted, CB_FINDSTRINGEXACT, WPARAM(-1), LPARAM(u"B")));
}

TEST_F(ControlsTest, AProgressBarStepsAndStartsAgainPastTheEnd) {
    HWND bar = GetDlgItem(dialog_, 8);
    EXPECT_EQ(MAKELRESULT(0, 100), SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 3)));
    EXPECT_EQ(10, SendMessageW(bar, PBM_SETSTEP, 1, 0));
    std::vector<int> positions;
    for (int i = 0; i < 5; ++i) {
        SendMessageW(bar, PBM_STEPIT, 0, 0);
        positions.push_back(d_.position(8));
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3, 1, 2}), positions);
    EXPECT_EQ(2, SendMessageW(bar, PBM_SETPOS, 50, 0));
    EXPECT_EQ(3, d_.position(8));
}

TEST_F(ControlsTest, StaticsAnimationsAndTipsTellWhatTheyShow) {
    EXPECT_TRUE(d_.click(9));
    EXPECT_EQ(std::vector<std::string>{"command:9:0"}, message_log().take()); // STN_CLICKED
    HWND animation = GetDlgItem(dialog_, 10);
    EXPECT_FALSE(SendMessageW(animation, ACM_OPENW, 0, LPARAM(MAKEINTRESOURCEW(999))));
    EXPECT_TRUE(SendMessageW(animation, ACM_OPENA, 0, LPARAM(MAKEINTRESOURCEW(134))));
    EXPECT_TRUE(SendMessageW(animation, ACM_ISPLAYING, 0, 0)); // ACS_AUTOPLAY
    EXPECT_EQ(std::vector<std::string>{"command:10:1"}, message_log().take());
    // A tip whose text is asked for when shown.
    HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_BALLOON, 0, 0, 0,
                               0, dialog_, nullptr, nullptr, nullptr);
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = dialog_;
    ti.uId = UINT_PTR(GetDlgItem(dialog_, 5));
    ti.lpszText = LPSTR_TEXTCALLBACKW;
    EXPECT_TRUE(SendMessageW(tip, TTM_ADDTOOLW, 0, LPARAM(&ti)));
    EXPECT_EQ(-1, SendMessageW(tip, TTM_SETMAXTIPWIDTH, 0, 400));
    SendMessageW(tip, TTM_SETDELAYTIME, TTDT_AUTOPOP, 30000);
    EXPECT_EQ(30000, SendMessageW(tip, TTM_GETDELAYTIME, TTDT_AUTOPOP, 0));
    ti.cbSize = 4; // too short a structure is refused
    EXPECT_FALSE(SendMessageW(tip, TTM_ADDTOOLW, 0, LPARAM(&ti)));
    EXPECT_EQ(1, SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0));
    auto shown = d_.tip(5);
    ASSERT_TRUE(shown);
    EXPECT_EQ(u"Pick a speed", shown->text);
    EXPECT_EQ(u"Information:", shown->title);
    EXPECT_EQ(TTI_INFO, shown->icon);
    EXPECT_FALSE(d_.tip(6));
}

} // namespace
