// The RS-422/485 page on a plugged RS-422/485 adapter's port, and the About page: the duplex
// modes the port supports, each stored mode shown, OK writing the choice, a write the driver
// refuses read back, Restore Defaults, Cancel, tips, help and the maker's link.
#include "settings_machine.h"

#include <htmlhelp.h>

#include "AboutPage.h"
#include "RS422485Page.h"
#include "Resources.h"

namespace {

using hvsim::ui::Dialog;

const std::u16string kFull = u"RS422 full-duplex mode";
const std::u16string kHalf = u"RS485 half-duplex autogating mode";

class Rs422485PageTest : public SettingsMachineTest {
protected:
    void SetUp() override {
        SettingsMachineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_FALSE(plug_port(true).empty());
        hvsim::ui::reset_help_and_shell();
    }
    std::unique_ptr<CRS422485Page> page() { return std::make_unique<CRS422485Page>(device_->set, device_->data); }
    DWORD port(const WCHAR* name) const { return get_dword(port_settings_key(), name); }
};

TEST_F(Rs422485PageTest, OffersTheModesThePortSupportsAndWritesTheChoice) {
    auto rs485 = page();
    EXPECT_EQ(1u, rs485->m_PortSet.m_ulPortType);
    EXPECT_EQ(3u, rs485->m_PortSet.m_ulSupportedDuplexModes);
    PageSheet host(*rs485);
    Dialog p = host.page();
    EXPECT_EQ(u"RS422/485 Settings", host.sheet().page_titles().at(0));
    EXPECT_EQ((std::vector<std::u16string>{kFull, kHalf}), p.items(IDC_DUPLEX_MODE));
    EXPECT_EQ(0, p.selection(IDC_DUPLEX_MODE));
    EXPECT_EQ(HvLoadString(IDS_RS422485_NOTE), p.text(IDC_DUPLEX_NOTE));
    ASSERT_TRUE(p.select(IDC_DUPLEX_MODE, kHalf));
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(2u, port(u"DuplexMode"));
}

// Each stored mode: the item selected, and what OK writes (the page writes on every OK).
struct StoredMode {
    DWORD stored;
    std::vector<std::u16string> items;
    int selected;
    DWORD written;
};

class Rs422485StoredModeTest : public Rs422485PageTest, public ::testing::WithParamInterface<StoredMode> {};

TEST_P(Rs422485StoredModeTest, IsShownSelectedAndWrittenBackOnOk) {
    set_dword(port_settings_key(), u"DuplexMode", GetParam().stored);
    auto rs485 = page();
    PageSheet host(*rs485);
    Dialog p = host.page();
    EXPECT_EQ(GetParam().items, p.items(IDC_DUPLEX_MODE));
    EXPECT_EQ(GetParam().selected, p.selection(IDC_DUPLEX_MODE));
    set_dword(port_settings_key(), u"DuplexMode", 77);
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(GetParam().written, port(u"DuplexMode"));
}

INSTANTIATE_TEST_SUITE_P(Modes, Rs422485StoredModeTest,
                         ::testing::Values(StoredMode{0, {kFull, kHalf}, 0, 1}, StoredMode{1, {kFull, kHalf}, 0, 1},
                                           StoredMode{2, {kFull, kHalf}, 1, 2},
                                           // A mode the port does not take is shown as its number.
                                           StoredMode{4, {kFull, kHalf, u"4"}, 2, 4},
                                           StoredMode{5, {kFull, kHalf, u"5"}, 2, 5}));

// A set the driver refuses (its stored baud rate cannot be set) keeps the sheet open on the page,
// which shows again what the driver holds.
TEST_F(Rs422485PageTest, AWriteTheDriverRefusesKeepsTheSheetOpenWithTheDriversValues) {
    auto rs485 = page();
    PageSheet host(*rs485);
    set_dword(port_settings_key(), u"Baudrate", 100);
    ASSERT_TRUE(host.page().select(IDC_DUPLEX_MODE, kHalf));
    // With that rate stored the port does not open either, so the page asks first.
    hvsim::user::script_message_box_answers({IDYES});
    ASSERT_TRUE(host.sheet().press(hvsim::ui::SheetButton::Ok));
    EXPECT_FALSE(host.sheet().ended());
    expect_port_open_question();
    Dialog p = host.page();
    EXPECT_EQ(100u, rs485->m_PortSet.m_ulBaudrate);
    EXPECT_EQ(port(u"DuplexMode"), rs485->m_PortSet.m_ulDuplexMode) << "the page's copy is the driver's";
    EXPECT_EQ(int(rs485->m_PortSet.m_ulDuplexMode) - 1, p.selection(IDC_DUPLEX_MODE));
    EXPECT_TRUE(host.cancel());
}

TEST_F(Rs422485PageTest, RestoreDefaultsSelectsTheDefaultModeAndCancelWritesNothing) {
    set_dword(port_settings_key(), u"DuplexMode", 2);
    auto rs485 = page();
    PageSheet host(*rs485);
    Dialog p = host.page();
    EXPECT_EQ(1, p.selection(IDC_DUPLEX_MODE));
    ASSERT_TRUE(p.click(IDC_RESTORE_DEFAULTS));
    EXPECT_EQ(0, p.selection(IDC_DUPLEX_MODE));
    EXPECT_EQ(2u, port(u"DuplexMode")) << "nothing is written before OK";
    EXPECT_TRUE(host.cancel());
    EXPECT_EQ(2u, port(u"DuplexMode"));
}

TEST_F(Rs422485PageTest, AnOpenPortAsksTheOnePortOpenQuestionAndNoWritesNothing) {
    HANDLE open = hold_port_open();
    auto rs485 = page();
    PageSheet host(*rs485);
    ASSERT_TRUE(host.page().select(IDC_DUPLEX_MODE, kHalf));
    hvsim::user::script_message_box_answers({IDNO});
    ASSERT_TRUE(host.sheet().press(hvsim::ui::SheetButton::Ok));
    EXPECT_FALSE(host.sheet().ended());
    expect_port_open_question();
    EXPECT_EQ(1u, port(u"DuplexMode"));
    EXPECT_EQ(0, host.page().selection(IDC_DUPLEX_MODE));
    CloseHandle(open);
    EXPECT_TRUE(host.cancel());
}

TEST_F(Rs422485PageTest, TipsAndHelpAreThePagesOwn) {
    auto rs485 = page();
    PageSheet host(*rs485);
    Dialog p = host.page();
    EXPECT_EQ(HvLoadString(IDS_TIP_DUPLEX), p.tip(IDC_DUPLEX_MODE).value().text);
    EXPECT_EQ(HvLoadString(IDS_TIP_RESTORE_DEFAULTS), p.tip(IDC_RESTORE_DEFAULTS).value().text);
    ASSERT_TRUE(p.click(IDC_HELP_LINK));
    EXPECT_TRUE(p.help(IDC_DUPLEX_MODE));
    EXPECT_TRUE(p.help(IDC_DUPLEX_LABEL));
    auto calls = hvsim::ui::help_calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(u"HvUUI23.chm::/422485Page.htm>mainwin", calls[0].file);
    EXPECT_EQ(UINT(HH_TP_HELP_WM_HELP), calls[1].command);
    EXPECT_EQ((std::vector<std::pair<DWORD, DWORD>>{{259, 0x806B034E}, {892, 0x806B037C}}), calls[1].ids);
    EXPECT_TRUE(host.cancel());
}

// An RS-232 port reports no duplex modes; the page is not for it.
TEST_F(SettingsMachineTest, AnRs232PortHasNoDuplexModes) {
    ASSERT_FALSE(plug_port().empty());
    CRS422485Page rs485(device_->set, device_->data);
    EXPECT_TRUE(rs485.m_PortSet.m_IsComplete());
    EXPECT_EQ(0u, rs485.m_PortSet.m_ulPortType);
    EXPECT_EQ(0u, rs485.m_PortSet.m_ulSupportedDuplexModes);
}

TEST_F(SettingsMachineTest, TheAboutPageLinksToTheMakerOnItsOwnBackground) {
    hvsim::ui::reset_help_and_shell();
    const size_t brushes = hvsim::ui::gdi_objects().brushes;
    {
        CAboutPage about;
        PageSheet host(about);
        Dialog p = host.page();
        EXPECT_EQ(u"About", host.sheet().page_titles().at(0));
        EXPECT_EQ(HV_MAKER_WEB_ADDRESS, p.text(IDC_ABOUT_LINK));
        HWND dialog = p.hwnd();
        HDC dc = GetDC(dialog);
        auto brush = reinterpret_cast<HBRUSH>(
            SendMessageW(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(p.item(IDC_ABOUT_LINK))));
        EXPECT_EQ(COLORREF(0x00F6F7F8), hvsim::ui::brush_color(brush).value_or(0));
        EXPECT_EQ(TRANSPARENT, GetBkMode(dc));
        ReleaseDC(dialog, dc);
        ASSERT_TRUE(p.click(IDC_ABOUT_LINK));
        auto calls = hvsim::ui::shell_calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(u"open", calls[0].operation);
        EXPECT_EQ(HV_MAKER_WEB_ADDRESS, calls[0].file);
        EXPECT_TRUE(host.ok());
    }
    EXPECT_EQ(brushes, hvsim::ui::gdi_objects().brushes) << "the page's brush went with it";
}

} // namespace
