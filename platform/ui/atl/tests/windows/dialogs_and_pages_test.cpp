// Programs of the ATL/WTL-like layer: a dialog whose map handles its button and combo box, a
// two-page sheet whose first page refuses OK once, pages the sheet releases (and deletes where
// asked), a page deleted while its sheet is open, and a page with tool tips, a link and a brush.
#include <atlbase.h>
#include <atlapp.h>
#include <atlwin.h>
#include <atldlgs.h>
#include <atlctrls.h>
#include <atlctrlx.h>
#include <atlgdi.h>

#include <hv_resource.h>

#include "class_library_test.h"

#include <string>
#include <vector>

namespace {

constexpr UINT IDD_PORT = 500, IDD_FIRST = 501, IDD_SECOND = 502, IDD_ABOUT = 503;
constexpr int IDC_BAUD = 841, IDC_BAUD_LABEL = 222, IDC_ADVANCED = 840, IDC_OVERRIDE = 206, IDC_LINK = 1035;
constexpr int IDC_NOWHERE = 4711;

} // namespace

HV_DIALOGS_BEGIN
HV_DIALOGEX(IDD_PORT, 0, 0, 200, 100, DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU, u"Port")
HV_FONT(8, u"MS Shell Dlg")
HV_COMBOBOX(IDC_BAUD, 10, 10, 80, 100, CBS_DROPDOWNLIST | WS_VSCROLL)
HV_LTEXT(u"", IDC_BAUD_LABEL, 10, 30, 100, 8)
HV_PUSHBUTTON(u"&Advanced...", IDC_ADVANCED, 10, 50, 60, 14)
HV_DEFPUSHBUTTON(u"OK", IDOK, 100, 80, 50, 14)
HV_DIALOGEX(IDD_FIRST, 0, 0, 200, 100, DS_SETFONT | WS_CHILD | WS_CAPTION, u"First")
HV_FONT(8, u"MS Shell Dlg")
HV_AUTOCHECKBOX(u"Override", IDC_OVERRIDE, 10, 10, 60, 10)
HV_DIALOGEX(IDD_SECOND, 0, 0, 200, 100, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Second")
HV_FONT(8, u"MS Shell Dlg")
HV_LTEXT(u"Second page", IDC_BAUD_LABEL, 10, 10, 100, 8)
HV_DIALOGEX(IDD_ABOUT, 0, 0, 200, 100, DS_SETFONT | WS_CHILD | WS_CAPTION, u"About")
HV_FONT(8, u"MS Shell Dlg")
HV_LTEXT(u"Website:", IDC_BAUD_LABEL, 10, 10, 40, 8)
HV_LTEXT(u"", IDC_LINK, 60, 10, 120, 8)
HV_AUTOCHECKBOX(u"Override", IDC_OVERRIDE, 10, 30, 60, 10)
HV_DIALOGS_END

namespace {

class AtlWindowTest : public ClassLibraryTest {
protected:
    static std::u16string text_of(HWND dialog, int id) {
        WCHAR text[128] = {};
        GetDlgItemTextW(dialog, id, text, 128);
        return text;
    }
    static HWND current_page(HWND sheet) {
        return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    }
};

class CPortDialog : public CDialogImpl<CPortDialog> {
public:
    enum { IDD = IDD_PORT };

    BEGIN_MSG_MAP(CPortDialog)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    COMMAND_HANDLER(IDC_ADVANCED, BN_CLICKED, OnAdvanced)
    COMMAND_HANDLER(IDC_BAUD, CBN_SELCHANGE, OnBaudChanged)
    COMMAND_ID_HANDLER(IDOK, OnOK)
    COMMAND_ID_HANDLER(IDC_NOWHERE, OnNowhere)
    NOTIFY_CODE_HANDLER(TTN_GETDISPINFOW, OnTipText)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM lParam, BOOL&) {
        events.push_back("init " + std::to_string(lParam));
        m_baud = GetDlgItem(IDC_BAUD);
        for (const char16_t* rate : {u"9600", u"19200", u"115200"}) m_baud.AddString(rate);
        m_baud.SetCurSel(0);
        if (end_at_once) PostMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return TRUE;
    }
    LRESULT OnAdvanced(WORD, WORD, HWND, BOOL&) {
        events.push_back("advanced");
        return 0;
    }
    LRESULT OnBaudChanged(WORD, WORD, HWND, BOOL&) {
        WCHAR text[16] = {};
        m_baud.GetLBText(m_baud.GetCurSel(), text);
        SetDlgItemText(IDC_BAUD_LABEL, text);
        events.push_back("baud");
        return 0;
    }
    LRESULT OnOK(WORD, WORD, HWND, BOOL&) {
        events.push_back("ok");
        EndDialog(42);
        return 0;
    }
    LRESULT OnNowhere(WORD, WORD, HWND, BOOL&) {
        events.push_back("nowhere");
        return 0;
    }
    LRESULT OnTipText(int, LPNMHDR, BOOL&) {
        events.push_back("tip");
        return 0;
    }
    void OnFinalMessage(HWND) override { events.push_back("final"); }

    std::vector<std::string> events;
    bool end_at_once = false;
    CComboBox m_baud;
};

TEST_F(AtlWindowTest, ADialogsMapHandlesItsButtonAndItsComboBoxAndNothingElse) {
    CPortDialog dialog;
    HWND window = dialog.Create(nullptr, 7);
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(window, dialog.m_hWnd);

    // The button notifies its parent as a click would; the combo box's pick notifies it too.
    SendMessageW(GetDlgItem(window, IDC_ADVANCED), BM_CLICK, 0, 0);
    dialog.m_baud.SetCurSel(2);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_BAUD, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(dialog.m_baud.m_hWnd));
    EXPECT_EQ(u"115200", text_of(window, IDC_BAUD_LABEL));

    // What the map does not name, or names wrongly, changes nothing: another code of the combo
    // box, a notification without its header, a control that does not exist.
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_BAUD, CBN_DROPDOWN),
                 reinterpret_cast<LPARAM>(dialog.m_baud.m_hWnd));
    EXPECT_EQ(0, SendMessageW(window, WM_NOTIFY, IDC_BAUD, 0));
    EXPECT_EQ(nullptr, GetDlgItem(window, IDC_NOWHERE));

    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ(nullptr, dialog.m_hWnd);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ((std::vector<std::string>{"init 7", "advanced", "baud", "final"}), dialog.events);
}

TEST_F(AtlWindowTest, AModalDialogReturnsWhatItsHandlerEndedItWith) {
    CPortDialog dialog;
    dialog.end_at_once = true;
    leave_modal_loops_to_the_program(2);
    EXPECT_EQ(42, dialog.DoModal(nullptr, 3));
    EXPECT_EQ((std::vector<std::string>{"init 3", "ok", "final"}), dialog.events);
    EXPECT_EQ(nullptr, dialog.m_hWnd);
    // Modal again: the object takes its next window.
    dialog.events.clear();
    EXPECT_EQ(42, dialog.DoModal(nullptr, 4));
    EXPECT_EQ("init 4", dialog.events.front());
}

// Two pages that log what the sheet asks of them; the first refuses OK `refusals` times.
std::vector<std::string> g_log;

template <UINT t_id> class CLoggedPage : public CPropertyPageImpl<CLoggedPage<t_id>> {
public:
    enum { IDD = t_id };
    typedef CPropertyPageImpl<CLoggedPage<t_id>> Base;

    explicit CLoggedPage(const char* name) : Base(static_cast<LPCWSTR>(nullptr)), m_name(name) {}
    ~CLoggedPage() { g_log.push_back(m_name + " deleted"); }

    BEGIN_MSG_MAP(CLoggedPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    CHAIN_MSG_MAP(Base)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
        g_log.push_back(m_name + " init");
        return TRUE;
    }
    int OnSetActive() {
        g_log.push_back(m_name + " active");
        return 0;
    }
    BOOL OnKillActive() {
        g_log.push_back(m_name + " leave");
        return FALSE;
    }
    int OnApply() {
        if (refusals > 0) {
            --refusals;
            g_log.push_back(m_name + " apply refused");
            return PSNRET_INVALID;
        }
        g_log.push_back(m_name + " apply");
        return apply_answer;
    }
    void OnReset() { g_log.push_back(m_name + " reset"); }
    void OnPageRelease() {
        g_log.push_back(m_name + " released");
        Base::OnPageRelease();
    }

    std::string m_name;
    int refusals = 0;
    int apply_answer = PSNRET_NOERROR;
};
typedef CLoggedPage<IDD_FIRST> CFirstPage;
typedef CLoggedPage<IDD_SECOND> CSecondPage;

class CTwoPageSheet : public CPropertySheetImpl<CTwoPageSheet> {
public:
    CTwoPageSheet() : CPropertySheetImpl<CTwoPageSheet>(u"COM3"), first("first"), second("second") {
        m_psh.dwFlags |= PSH_NOAPPLYNOW;
        AddPage(first);
        AddPage(second);
    }
    void OnSheetInitialized() { g_log.push_back("sheet"); }

    BEGIN_MSG_MAP(CTwoPageSheet)
    CHAIN_MSG_MAP(CPropertySheetImpl<CTwoPageSheet>)
    END_MSG_MAP()

    CFirstPage first;
    CSecondPage second;
};

TEST_F(AtlWindowTest, ASheetWhoseFirstPageRefusesOkOnceStaysOpenUntilTheSecondOk) {
    g_log.clear();
    CTwoPageSheet sheet;
    sheet.first.refusals = 1;
    HWND window = sheet.Create(nullptr);
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(window, sheet.m_hWnd) << "the sheet's object handles its window";
    EXPECT_EQ((std::vector<std::string>{"sheet", "first init", "first active"}), g_log);

    SendMessageW(window, PSM_SETCURSEL, 1, 0);
    EXPECT_EQ(sheet.second.m_hWnd, current_page(window));
    g_log.clear();

    SendMessageW(window, PSM_PRESSBUTTON, PSBTN_OK, 0);
    // OK leaves the page shown, then applies in page order; the refusal stops there and brings
    // the refusing page back.
    ASSERT_GE(g_log.size(), 2u);
    EXPECT_EQ("second leave", g_log[0]);
    EXPECT_EQ("first apply refused", g_log[1]);
    EXPECT_EQ(std::count(g_log.begin(), g_log.end(), "second apply"), 0);
    EXPECT_EQ(sheet.first.m_hWnd, current_page(window));
    g_log.clear();

    SendMessageW(window, PSM_PRESSBUTTON, PSBTN_OK, 0);
    EXPECT_EQ((std::vector<std::string>{"first leave", "first apply", "second apply"}), g_log);
    EXPECT_EQ(nullptr, current_page(window)) << "the sheet has ended";
    g_log.clear();

    DestroyWindow(window);
    EXPECT_EQ(nullptr, sheet.m_hWnd);
    EXPECT_EQ(nullptr, sheet.first.m_hWnd);
    EXPECT_EQ(nullptr, sheet.second.m_hWnd);
    // Pages held by value are released and not deleted.
    EXPECT_EQ((std::vector<std::string>{"first released", "second released"}), g_log);
    EXPECT_FALSE(hvsim::debug_log::contains("ASSERT"));
}

TEST_F(AtlWindowTest, AModalSheetTakesItsWindowAndReturnsOneAfterOk) {
    g_log.clear();
    CTwoPageSheet sheet;
    HWND seen = nullptr;
    hvsim::ui::script_modal_visitors({[&](HWND window) {
        seen = window;
        EXPECT_EQ(window, sheet.m_hWnd);
        SendMessageW(window, PSM_PRESSBUTTON, PSBTN_OK, 0);
    }});
    EXPECT_EQ(1, sheet.DoModal(nullptr));
    EXPECT_NE(nullptr, seen);
    EXPECT_EQ(nullptr, sheet.m_hWnd);
    EXPECT_EQ(0, sheet.GetPageCount()) << "the pages went to the sheet";
    EXPECT_NE(std::find(g_log.begin(), g_log.end(), "first apply"), g_log.end());
}

TEST_F(AtlWindowTest, AnApplyAnswerThatIsNoPsnretValueKeepsTheSheetOpenOnThePage) {
    g_log.clear();
    CTwoPageSheet sheet;
    sheet.first.apply_answer = 7;
    HWND window = sheet.Create(nullptr);
    ASSERT_NE(nullptr, window);
    SendMessageW(window, PSM_PRESSBUTTON, PSBTN_OK, 0);
    EXPECT_EQ(sheet.first.m_hWnd, current_page(window));
    EXPECT_TRUE(hvsim::debug_log::contains("OnApply answered no PSNRET_ value"));
    sheet.first.apply_answer = PSNRET_NOERROR;
    SendMessageW(window, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    EXPECT_EQ(nullptr, current_page(window));
    EXPECT_NE(std::find(g_log.begin(), g_log.end(), "first reset"), g_log.end());
    DestroyWindow(window);
}

TEST_F(AtlWindowTest, PagesHandedToASheetAreDeletedAtTheirReleaseWhereAskedShownOrNot) {
    g_log.clear();
    auto* shown = new CFirstPage("shown");
    auto* never_shown = new CSecondPage("never shown");
    shown->m_bDeleteOnRelease = never_shown->m_bDeleteOnRelease = true;
    // As a provider hands its page to Device Manager: the system's page, then the sheet owns it.
    HPROPSHEETPAGE pages[] = {shown->Create(), never_shown->Create()};
    ASSERT_NE(nullptr, pages[0]);
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_MODELESS | PSH_PROPTITLE | PSH_NOAPPLYNOW;
    header.pszCaption = u"COM3";
    header.nPages = 2;
    header.phpage = pages;
    HWND window = reinterpret_cast<HWND>(PropertySheetW(&header));
    ASSERT_NE(nullptr, window);
    SendMessageW(window, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    DestroyWindow(window);
    EXPECT_EQ((std::vector<std::string>{"shown init", "shown active", "shown reset", "shown released", "shown deleted",
                                        "never shown released", "never shown deleted"}),
              g_log);
}

TEST_F(AtlWindowTest, APageDeletedWhileItsSheetIsOpenIsAnAssertionAndNothingReachesItAfterwards) {
    g_log.clear();
    CTwoPageSheet sheet;
    auto* extra = new CSecondPage("extra");
    HWND window = sheet.Create(nullptr);
    ASSERT_NE(nullptr, window);
    sheet.AddPage(extra->Create());
    SendMessageW(window, PSM_SETCURSEL, 2, 0);
    ASSERT_NE(nullptr, extra->m_hWnd);
    HWND page = extra->m_hWnd;
    delete extra;
    EXPECT_TRUE(hvsim::debug_log::contains("a property page destroyed while its sheet is open"));
    // The sheet goes on with the page's window and releases it: no object answers any more.
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(IDC_BAUD_LABEL, BN_CLICKED), 0);
    SendMessageW(window, PSM_SETCURSEL, 0, 0);
    SendMessageW(window, PSM_PRESSBUTTON, PSBTN_OK, 0);
    DestroyWindow(window);
    EXPECT_EQ(std::count(g_log.begin(), g_log.end(), "extra released"), 0);
}

// A page with tool tips, a link to the maker's site and a page brush, as the settings pages have.
class CAboutPage : public CPropertyPageImpl<CAboutPage>, public CToolTipDialog<CAboutPage> {
public:
    enum { IDD = IDD_ABOUT };

    CAboutPage() : CPropertyPageImpl<CAboutPage>(u"About"), CToolTipDialog<CAboutPage>(0xC3, 0x11) {}
    ~CAboutPage() { m_brush.DeleteObject(); }

    BEGIN_MSG_MAP(CAboutPage)
    CHAIN_MSG_MAP(CToolTipDialog<CAboutPage>)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_CTLCOLORDLG, OnColor)
    MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnColor)
    NOTIFY_CODE_HANDLER(TTN_GETDISPINFOW, OnTipText)
    CHAIN_MSG_MAP(CPropertyPageImpl<CAboutPage>)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
        m_brush.CreateSolidBrush(0x00F6F7F8);
        m_TT.SetMaxTipWidth(400);
        m_TT.SetTitle(TTI_INFO, u"Information:");
        m_TT.SetDelayTime(TTDT_INITIAL, 1000);
        tools_added = TTAdd(IDC_OVERRIDE) && TTAdd(IDC_BAUD_LABEL) && !TTAdd(static_cast<UINT>(IDC_NOWHERE));
        m_link.SubclassWindow(GetDlgItem(IDC_LINK));
        m_link.SetHyperLink(u"http://www.halvorn.example");
        return TRUE;
    }
    LRESULT OnColor(UINT, WPARAM wParam, LPARAM, BOOL&) {
        CDCHandle(reinterpret_cast<HDC>(wParam)).SetBkMode(TRANSPARENT);
        return reinterpret_cast<LRESULT>(static_cast<HBRUSH>(m_brush));
    }
    LRESULT OnTipText(int, LPNMHDR header, BOOL&) {
        auto* info = reinterpret_cast<NMTTDISPINFOW*>(header);
        info->lpszText = const_cast<LPWSTR>(u"Overrides the application's setting.");
        return 0;
    }

    CBrush m_brush;
    CHyperLink m_link;
    bool tools_added = false;
};

TEST_F(AtlWindowTest, APageWithToolTipsALinkAndABrushAnswersAsTheSettingsPagesDo) {
    auto* about = new CAboutPage;
    about->m_bDeleteOnRelease = true;
    CPropertySheet sheet(u"Advanced Settings for COM3");
    sheet.AddPage(about->Create());
    HWND window = sheet.Create(nullptr);
    ASSERT_NE(nullptr, window);
    ASSERT_NE(nullptr, about->m_TT.m_hWnd) << "the mix-in made the tip control before the page's own handler";
    EXPECT_TRUE(about->tools_added);
    EXPECT_EQ(2, about->m_TT.GetToolCount());
    EXPECT_EQ(400, SendMessageW(about->m_TT, TTM_GETMAXTIPWIDTH, 0, 0));

    // The link shows its address and opens it when clicked.
    EXPECT_EQ(u"http://www.halvorn.example", text_of(about->m_hWnd, IDC_LINK));
    EXPECT_TRUE(about->m_link.Navigate());
    const size_t opened = hvsim::ui::shell_calls().size();
    ASSERT_TRUE(hvsim::ui::Dialog(about->m_hWnd).click(IDC_LINK)) << "a click as the user's mouse gives it";
    ASSERT_EQ(opened + 1, hvsim::ui::shell_calls().size());
    EXPECT_EQ(u"http://www.halvorn.example", hvsim::ui::shell_calls().back().file);

    // The colour answers are the brush itself, not a DWLP_MSGRESULT.
    HDC dc = GetDC(nullptr);
    LRESULT brush = SendMessageW(about->m_hWnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                 reinterpret_cast<LPARAM>(GetDlgItem(about->m_hWnd, IDC_BAUD_LABEL)));
    EXPECT_EQ(reinterpret_cast<LRESULT>(static_cast<HBRUSH>(about->m_brush)), brush);
    EXPECT_EQ(TRANSPARENT, GetBkMode(dc));
    ReleaseDC(nullptr, dc);

    HWND tip = about->m_TT.m_hWnd;
    HBRUSH page_brush = about->m_brush;
    SendMessageW(window, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    DestroyWindow(window);
    EXPECT_FALSE(IsWindow(tip)) << "the tip control goes with the page";
    EXPECT_EQ(0u, GetObjectType(page_brush)) << "the page's brush went with the page";
}

} // namespace
