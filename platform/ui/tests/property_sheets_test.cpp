// Property sheets and wizards: comctl32's notification order and return codes.
#include "ui_fixture.h"

#include <hv_resource.h>

#include <atomic>
#include <map>

namespace {

constexpr UINT IDD_PAGE_A = 400, IDD_PAGE_B = 401, IDD_PAGE_C = 402;

HV_DIALOGS_BEGIN
HV_DIALOGEX(IDD_PAGE_A, 0, 0, 160, 60, WS_CHILD | WS_CAPTION, u"Alpha")
HV_FONT(8, u"MS Shell Dlg")
HV_LTEXT(u"Port:", 1, 6, 6, 30, 8)
HV_COMBOBOX(2, 40, 4, 60, 60, CBS_DROPDOWNLIST)
HV_AUTOCHECKBOX(u"&Override", 3, 6, 22, 60, 10)
HV_PUSHBUTTON(u"&Advanced...", 4, 100, 40, 56, 14, WS_DISABLED)
HV_DIALOGEX(IDD_PAGE_B, 0, 0, 160, 60, WS_CHILD | WS_CAPTION, u"Beta")
HV_FONT(8, u"MS Shell Dlg")
HV_GROUPBOX(u"Latency", 1, 4, 2, 150, 40)
HV_AUTORADIOBUTTON(u"&Maximum latency", 2, 10, 14, 80, 10, WS_GROUP)
HV_CONTROL(u"", 3, TRACKBAR_CLASSW, WS_TABSTOP, 10, 26, 100, 12)
HV_DIALOGEX(IDD_PAGE_C, 0, 0, 160, 60, WS_CHILD | WS_CAPTION, u"Gamma")
HV_LTEXT(u"Done.", 1, 6, 6, 60, 8)
HV_DIALOGS_END

// What each page answers to a notification, by page name and code; 0 when not set.
std::map<std::pair<std::string, UINT>, LRESULT>& answers() {
    static std::map<std::pair<std::string, UINT>, LRESULT> a;
    return a;
}

std::string code_name(UINT code) {
    switch (code) {
    case PSN_SETACTIVE: return "SETACTIVE";
    case PSN_KILLACTIVE: return "KILLACTIVE";
    case PSN_APPLY: return "APPLY";
    case PSN_RESET: return "RESET";
    case PSN_QUERYCANCEL: return "QUERYCANCEL";
    case PSN_WIZNEXT: return "WIZNEXT";
    case PSN_WIZBACK: return "WIZBACK";
    case PSN_WIZFINISH: return "WIZFINISH";
    case PSN_HELP: return "HELP";
    default: return std::to_string(code);
    }
}

const char* name_of(HWND page) { return reinterpret_cast<const char*>(GetWindowLongPtrW(page, DWLP_USER)); }

INT_PTR CALLBACK page_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG: {
        auto* psp = reinterpret_cast<PROPSHEETPAGEW*>(lp);
        SetWindowLongPtrW(hwnd, DWLP_USER, psp->lParam);
        message_log().add(std::string(name_of(hwnd)) + ":INIT");
        return TRUE;
    }
    case WM_NOTIFY: {
        auto* n = reinterpret_cast<PSHNOTIFY*>(lp);
        std::string line = std::string(name_of(hwnd)) + ":" + code_name(n->hdr.code);
        if (n->hdr.code == PSN_APPLY) line += n->lParam ? "(ok)" : "(apply)";
        message_log().add(line);
        auto it = answers().find({name_of(hwnd), n->hdr.code});
        LRESULT answer = it == answers().end() ? 0 : it->second;
        // An answer given once.
        if (it != answers().end() && n->hdr.code == PSN_APPLY) answers().erase(it);
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, answer);
        return TRUE;
    }
    case WM_DESTROY: message_log().add(std::string(name_of(hwnd)) + ":DESTROY"); return FALSE;
    default: return FALSE;
    }
}

UINT CALLBACK page_callback(HWND, UINT msg, PROPSHEETPAGEW* psp) {
    const std::string name = reinterpret_cast<const char*>(psp->lParam);
    if (msg == PSPCB_RELEASE) message_log().add(name + ":RELEASE");
    if (msg == PSPCB_CREATE) message_log().add(name + ":CREATE");
    return 1;
}

HPROPSHEETPAGE make_page(UINT id, const char* name, DWORD flags = 0, const char16_t* title = nullptr) {
    PROPSHEETPAGEW psp{};
    psp.dwSize = sizeof psp;
    psp.dwFlags = PSP_USECALLBACK | flags | (title ? PSP_USETITLE : 0);
    psp.pszTemplate = MAKEINTRESOURCEW(id);
    psp.pfnDlgProc = page_proc;
    psp.pfnCallback = page_callback;
    psp.pszTitle = title;
    psp.lParam = LPARAM(name);
    return CreatePropertySheetPageW(&psp);
}

struct SheetSetup {
    DWORD flags = 0;
    const char16_t* caption = u"COM3";
    std::vector<HPROPSHEETPAGE> pages;
};

INT_PTR run(SheetSetup setup) {
    PROPSHEETHEADERW h{};
    h.dwSize = sizeof h;
    h.dwFlags = setup.flags;
    h.pszCaption = setup.caption;
    h.nPages = UINT(setup.pages.size());
    h.phpage = setup.pages.data();
    return PropertySheetW(&h);
}

class SheetTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        answers().clear();
    }
    static SheetSetup three_pages(DWORD flags = PSH_PROPTITLE | PSH_NOAPPLYNOW) {
        return {flags, u"COM3", {make_page(IDD_PAGE_A, "a"), make_page(IDD_PAGE_B, "b"), make_page(IDD_PAGE_C, "c")}};
    }
    using Log = std::vector<std::string>;
};

TEST_F(SheetTest, PagesAreMadeWhenFirstShownAndOnlyMadePagesApply) {
    hvsim::ui::script_modal_visitors({[](HWND hwnd) {
        hvsim::ui::Sheet sheet(hwnd);
        EXPECT_EQ(u"COM3 Properties", sheet.text());
        EXPECT_EQ((std::vector<std::u16string>{u"Alpha", u"Beta", u"Gamma"}), sheet.page_titles());
        EXPECT_FALSE(sheet.button_visible(hvsim::ui::SheetButton::Apply)); // PSH_NOAPPLYNOW
        EXPECT_EQ((Log{"a:CREATE", "a:INIT", "a:SETACTIVE"}), message_log().take());
        EXPECT_TRUE(sheet.select_page(u"Gamma"));
        EXPECT_EQ((Log{"a:KILLACTIVE", "c:CREATE", "c:INIT", "c:SETACTIVE"}), message_log().take());
        EXPECT_TRUE(sheet.press(hvsim::ui::SheetButton::Ok));
    }});
    EXPECT_EQ(1, run(three_pages()));
    // b was never shown: no apply, no WM_DESTROY, but released like the others.
    EXPECT_EQ((Log{"c:KILLACTIVE", "a:APPLY(ok)", "c:APPLY(ok)", "a:DESTROY", "c:DESTROY", "a:RELEASE", "b:RELEASE",
                   "c:RELEASE"}),
              message_log().take());
}

TEST_F(SheetTest, AnInvalidPageKeepsTheSheetOpen) {
    struct Case {
        LRESULT answer;
        const char* page_after; // where the sheet stands once OK was refused
    };
    for (const Case& c : {Case{PSNRET_INVALID, "a"}, Case{PSNRET_INVALID_NOCHANGEPAGE, "b"}}) {
        answers()[{"a", PSN_APPLY}] = c.answer;
        hvsim::ui::script_modal_visitors({[&](HWND hwnd) {
            hvsim::ui::Sheet sheet(hwnd);
            sheet.select_page(1);
            message_log().take();
            sheet.press(hvsim::ui::SheetButton::Ok);
            EXPECT_FALSE(sheet.ended());
            EXPECT_EQ(c.page_after, std::string(name_of(sheet.page_window())));
            auto log = message_log().take();
            EXPECT_EQ((std::vector<std::string>(log.begin(), log.begin() + 2)), (Log{"b:KILLACTIVE", "a:APPLY(ok)"}));
            EXPECT_EQ(std::count(log.begin(), log.end(), "b:APPLY(ok)"), 0);
            // The second OK goes through.
            sheet.press(hvsim::ui::SheetButton::Ok);
            EXPECT_TRUE(sheet.ended());
        }});
        EXPECT_EQ(1, run(three_pages())) << c.answer;
        message_log().take();
    }
}

TEST_F(SheetTest, CancelAsksTheCurrentPageThenResetsEveryMadePage) {
    answers()[{"b", PSN_QUERYCANCEL}] = TRUE;
    hvsim::ui::script_modal_visitors({[](HWND hwnd) {
        hvsim::ui::Sheet sheet(hwnd);
        sheet.select_page(1);
        message_log().take();
        sheet.press(hvsim::ui::SheetButton::Cancel);
        EXPECT_FALSE(sheet.ended()); // b refused to be cancelled
        answers().erase({"b", PSN_QUERYCANCEL});
        sheet.press(hvsim::ui::SheetButton::Cancel);
    }});
    EXPECT_EQ(0, run(three_pages()));
    EXPECT_EQ((Log{"b:QUERYCANCEL", "b:QUERYCANCEL", "a:RESET", "b:RESET", "a:DESTROY", "b:DESTROY", "a:RELEASE",
                   "b:RELEASE", "c:RELEASE"}),
              message_log().take());
}

TEST_F(SheetTest, ApplyIsEnabledByAChangeAndLeavesTheSheetOpen) {
    hvsim::ui::script_modal_visitors({[](HWND hwnd) {
        hvsim::ui::Sheet sheet(hwnd);
        EXPECT_FALSE(sheet.button_enabled(hvsim::ui::SheetButton::Apply));
        PropSheet_Changed(hwnd, sheet.page_window());
        EXPECT_TRUE(sheet.press(hvsim::ui::SheetButton::Apply));
        EXPECT_FALSE(sheet.ended());
        EXPECT_FALSE(sheet.button_enabled(hvsim::ui::SheetButton::Apply));
        sheet.press(hvsim::ui::SheetButton::Cancel);
    }});
    // Cancel after an apply still reports the changes saved.
    EXPECT_EQ(1, run(three_pages(0)));
    auto log = message_log().take();
    EXPECT_EQ(1, std::count(log.begin(), log.end(), "a:APPLY(apply)"));
}

TEST_F(SheetTest, PagesNoSheetTookAreReleasedByTheirOwner) {
    HPROPSHEETPAGE page = make_page(IDD_PAGE_A, "lonely");
    EXPECT_TRUE(DestroyPropertySheetPage(page));
    EXPECT_EQ(Log{"lonely:RELEASE"}, message_log().take());
    EXPECT_FALSE(DestroyPropertySheetPage(page));
    PROPSHEETPAGEW tiny{};
    tiny.dwSize = 12;
    EXPECT_EQ(nullptr, CreatePropertySheetPageW(&tiny));
    // A sheet handed a bad page releases the good ones and fails.
    SheetSetup setup{0, u"x", {make_page(IDD_PAGE_A, "a"), reinterpret_cast<HPROPSHEETPAGE>(page)}};
    EXPECT_EQ(-1, run(setup));
    EXPECT_EQ(Log{"a:RELEASE"}, message_log().take());
}

TEST_F(SheetTest, AModelessSheetIsDrivenByItsMessages) {
    auto setup = three_pages(PSH_MODELESS | PSH_PROPTITLE);
    HWND hwnd = HWND(run(setup));
    ASSERT_TRUE(IsWindow(hwnd));
    message_log().take();
    EXPECT_TRUE(PropSheet_SetCurSel(hwnd, nullptr, 1));
    EXPECT_EQ(std::string("b"), name_of(PropSheet_GetCurrentPageHwnd(hwnd)));
    answers()[{"b", PSN_KILLACTIVE}] = TRUE;
    EXPECT_FALSE(PropSheet_SetCurSel(hwnd, nullptr, 2)); // b keeps the sheet
    answers().clear();
    SendMessageW(hwnd, PSM_PRESSBUTTON, PSBTN_OK, 0);
    EXPECT_EQ(nullptr, PropSheet_GetCurrentPageHwnd(hwnd));
    EXPECT_EQ(1, PropSheet_GetResult(hwnd));
    DestroyWindow(hwnd);
    EXPECT_EQ((Log{"a:KILLACTIVE", "b:CREATE", "b:INIT", "b:SETACTIVE", "b:KILLACTIVE", "b:KILLACTIVE", "a:APPLY(ok)",
                   "b:APPLY(ok)", "a:DESTROY", "b:DESTROY", "a:RELEASE", "b:RELEASE", "c:RELEASE"}),
              message_log().take());
}

TEST_F(SheetTest, AWorkersPressReturnsAfterTheNextPageIsActive) {
    // The first page's worker waits ten seconds of machine time, then presses Next.
    static std::atomic<HWND> sheet_window;
    static std::thread worker;
    static std::string page_when_send_returned;
    answers()[{"a", PSN_SETACTIVE}] = 0;
    const int64_t start = hvsim::sched::now();
    hvsim::ui::script_modal_visitors({[&](HWND hwnd) {
        sheet_window = hwnd;
        PropSheet_SetWizButtons(hwnd, PSWIZB_NEXT);
        worker = machine_thread([] {
            hvsim::sched::sleep_for(10 * hvsim::sched::kTicksPerSecond);
            SendMessageW(sheet_window, PSM_PRESSBUTTON, PSBTN_NEXT, 0);
            page_when_send_returned = name_of(PropSheet_GetCurrentPageHwnd(sheet_window.load()));
            auto log = message_log().lines();
            EXPECT_EQ("b:SETACTIVE", log.back());
            // The user finishes on the last page.
            SendMessageW(sheet_window, PSM_SETCURSEL, 2, 0);
            PropSheet_SetWizButtons(sheet_window.load(), PSWIZB_BACK | PSWIZB_FINISH);
            hvsim::ui::Sheet sheet(sheet_window);
            hvsim::ui::wait_until([&] { return sheet.button_visible(hvsim::ui::SheetButton::Finish); });
            EXPECT_FALSE(sheet.button_visible(hvsim::ui::SheetButton::Next));
            EXPECT_TRUE(sheet.press(hvsim::ui::SheetButton::Finish));
        });
    }});
    EXPECT_EQ(1, run(three_pages(PSH_WIZARD97)));
    join(worker);
    EXPECT_EQ("b", page_when_send_returned);
    EXPECT_GE(hvsim::sched::now() - start, 10 * hvsim::sched::kTicksPerSecond);
    EXPECT_EQ((Log{"a:CREATE", "a:INIT", "a:SETACTIVE", "a:WIZNEXT", "a:KILLACTIVE", "b:CREATE", "b:INIT",
                   "b:SETACTIVE", "b:KILLACTIVE", "c:CREATE", "c:INIT", "c:SETACTIVE", "c:WIZFINISH", "a:DESTROY",
                   "b:DESTROY", "c:DESTROY", "a:RELEASE", "b:RELEASE", "c:RELEASE"}),
              message_log().take());
}

TEST_F(SheetTest, WizardPagesChooseWhereNextAndBackGo) {
    hvsim::ui::script_modal_visitors({[](HWND hwnd) {
        hvsim::ui::Sheet sheet(hwnd);
        EXPECT_TRUE(sheet.wizard());
        answers()[{"a", PSN_WIZNEXT}] = -1; // stay
        SendMessageW(hwnd, PSM_PRESSBUTTON, PSBTN_NEXT, 0);
        EXPECT_EQ(0, sheet.page_index());
        answers()[{"a", PSN_WIZNEXT}] = IDD_PAGE_C; // jump by template id
        SendMessageW(hwnd, PSM_PRESSBUTTON, PSBTN_NEXT, 0);
        EXPECT_EQ(2, sheet.page_index());
        answers()[{"b", PSN_SETACTIVE}] = -1; // b skips itself going back
        SendMessageW(hwnd, PSM_PRESSBUTTON, PSBTN_BACK, 0);
        EXPECT_EQ(0, sheet.page_index());
        // Buttons follow PSM_SETWIZBUTTONS; a press by message works whatever their state.
        PropSheet_SetWizButtons(hwnd, 0);
        hvsim::ui::wait_until([&] { return !sheet.button_enabled(hvsim::ui::SheetButton::Next); }, 10'000'000);
        EXPECT_FALSE(sheet.press(hvsim::ui::SheetButton::Next));
        SendMessageW(hwnd, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    }});
    EXPECT_EQ(0, run(three_pages(PSH_WIZARD97)));
}

} // namespace
