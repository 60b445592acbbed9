// The choice lists of the settings pages and how they go into a combo box.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>
#include <hvsim/ui.h>

#include "PageResources.h"
#include "Utils.h"

#include <string>
#include <vector>

namespace {

std::vector<DWORD> data_of(const CHvChoiceList& list) {
    std::vector<DWORD> out;
    for (const CHvChoice& choice : list) out.push_back(choice.m_dwData);
    return out;
}
std::vector<std::u16string> texts_of(const CHvChoiceList& list) {
    std::vector<std::u16string> out;
    for (const CHvChoice& choice : list) out.push_back(choice.m_Text);
    return out;
}

struct BaudCase {
    const char* what;
    DWORD mask, minimum, maximum;
    std::vector<DWORD> rates;
};

class BaudListTest : public ::testing::TestWithParam<BaudCase> {};

TEST_P(BaudListTest, OffersTheSettableRatesWithinTheLimits) {
    const BaudCase& c = GetParam();
    CHvChoiceList list = CUtils().m_GetBaudList(c.mask, c.minimum, c.maximum);
    EXPECT_EQ(c.rates, data_of(list)) << c.what;
    for (const CHvChoice& choice : list) EXPECT_EQ(std::to_string(choice.m_dwData), std::string(choice.m_Text.begin(), choice.m_Text.end()));
}

const std::vector<DWORD> kAll = {75,   110,   134,   150,   300,   600,    1200,   1800,   2400,   4800,  7200,
                                 9600, 14400, 19200, 38400, 57600, 115200, 128000, 230400, 460800, 921600};

INSTANTIATE_TEST_SUITE_P(
    Masks, BaudListTest,
    ::testing::Values(BaudCase{"every rate", 0x1007FFFF, 0, 921600, kAll},
                      BaudCase{"up to 115200", 0x1007FFFF, 0, 115200,
                               std::vector<DWORD>(kAll.begin(), kAll.begin() + 17)},
                      // The bus refuses rates below 184 baud; the port's minimum keeps them out.
                      BaudCase{"from 184", 0x1007FFFF, 184, 921600, std::vector<DWORD>(kAll.begin() + 4, kAll.end())},
                      BaudCase{"57600 has the COMMPROP bit 0x40000", 0x40000, 0, 921600, {57600}},
                      BaudCase{"0x8000 is 56000, which the list does not offer", 0x8000, 0, 921600, {}},
                      BaudCase{"any rate: the three highest", HV_BAUD_USER, 0, 921600, {230400, 460800, 921600}}));

TEST(ChoiceListTest, ListsTakeTheirItemsFromTheStringTableAndTheMask) {
    CUtils utils;
    EXPECT_EQ((std::vector<DWORD>{0, 1, 2, 3}), data_of(utils.m_GetDataBitsList(15)));
    EXPECT_EQ((std::vector<std::u16string>{u"7", u"8"}), texts_of(utils.m_GetDataBitsList(0xC)));

    CHvChoiceList parity = utils.m_GetParityList(IDS_PARITY_LIST, 0x0500);
    EXPECT_EQ((std::vector<std::u16string>{u"Even", u"None"}), texts_of(parity));
    EXPECT_EQ((std::vector<DWORD>{2, 0}), data_of(parity));
    EXPECT_EQ((std::vector<DWORD>{2, 1, 0, 3, 4}), data_of(utils.m_GetParityList(IDS_PARITY_LIST, 0x1F00)));

    EXPECT_EQ((std::vector<std::u16string>{u"1", u"2"}), texts_of(utils.m_GetStopBitsList(IDS_STOPBITS_LIST, 5)));

    CHvChoiceList flow = utils.m_GetFlowControlList(IDS_FLOW_CONTROL_LIST, 15);
    EXPECT_EQ((std::vector<std::u16string>{u"Xon / Xoff", u"Hardware", u"None"}), texts_of(flow));
    EXPECT_EQ((std::vector<DWORD>{4, 1, 0}), data_of(flow));
    EXPECT_EQ((std::vector<DWORD>{0}), data_of(utils.m_GetFlowControlList(IDS_FLOW_CONTROL_LIST, 0)))
        << "None is always offered";

    EXPECT_EQ((std::vector<DWORD>{1, 2, 3, 4, 5}), data_of(utils.m_GetDuplexList(IDS_DUPLEX_LIST, 0x1F)));
    EXPECT_EQ(u"Transmitter and Receiver both disabled", utils.m_GetDuplexList(IDS_DUPLEX_LIST, 0x10)[0].m_Text);
    EXPECT_TRUE(utils.m_GetDuplexList(IDS_DUPLEX_LIST, 0).empty());

    // A list string short of items gives empty ones; one with more keeps the rest in its last.
    EXPECT_EQ((std::vector<std::u16string>{u"1", u"1.5", u"2", u""}), CUtils::m_SplitList(IDS_STOPBITS_LIST, 4));
    EXPECT_EQ((std::vector<std::u16string>{u"1", u"1.5,2"}), CUtils::m_SplitList(IDS_STOPBITS_LIST, 2));
}

class ComboTest : public ::testing::Test {
protected:
    void SetUp() override {
        combo_ = CreateWindowExW(0, u"ComboBox", u"", WS_POPUP | CBS_DROPDOWNLIST, 0, 0, 100, 100, nullptr, nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(nullptr, combo_);
    }
    void TearDown() override { DestroyWindow(combo_); }
    std::u16string selected() const {
        LRESULT index = SendMessageW(combo_, CB_GETCURSEL, 0, 0);
        if (index < 0) return u"<none>";
        WCHAR text[64] = {};
        SendMessageW(combo_, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
        return text;
    }
    LRESULT count() const { return SendMessageW(combo_, CB_GETCOUNT, 0, 0); }
    HWND combo_ = nullptr;
};

TEST_F(ComboTest, SelectsTheLastItemCarryingTheValueOrAddsTheValue) {
    CUtils utils;
    CHvChoiceList flow = utils.m_GetFlowControlList(IDS_FLOW_CONTROL_LIST, 15);
    const std::pair<DWORD, std::u16string> byBits[] = {{0, u"None"}, {1, u"Hardware"}, {4, u"Xon / Xoff"}, {2, u"2"}};
    for (auto [value, text] : byBits) {
        ASSERT_TRUE(utils.m_FillCombo(combo_, flow, value, TRUE));
        EXPECT_EQ(text, selected()) << value;
        EXPECT_EQ(value, DWORD(utils.m_GetSelectedData(combo_)));
    }
    EXPECT_EQ(4, count()) << "the value no item carries was added once";

    ASSERT_TRUE(utils.m_FillCombo(combo_, utils.m_GetBaudList(0x1007FFFF, 75, 921600), 12345, FALSE));
    EXPECT_EQ(u"12345", selected());
    EXPECT_EQ(22, count());
    EXPECT_EQ(-1, utils.m_GetSelectedData(nullptr));
}

TEST_F(ComboTest, SelectsTheNameEqualToTheCurrentOneExactlyOrNone) {
    CUtils utils;
    utils.m_FillNameCombo(combo_, {u"COM1", u"COM3 (in use)", u"COM3", u"com4"}, u"COM3");
    EXPECT_EQ(u"COM3", selected());
    utils.m_FillNameCombo(combo_, {u"COM1", u"com4"}, u"COM4");
    EXPECT_EQ(u"<none>", selected());
    EXPECT_EQ(-1, utils.m_GetSelectedData(combo_));
}

TEST(PageHelpTest, PopupsOnlyForControlsOfThePagesTable) {
    hvsim::ui::reset_help_and_shell();
    HELPINFO info{sizeof(HELPINFO), HELPINFO_WINDOW, 841, nullptr, 0, {0, 0}};
    EXPECT_TRUE(HvShowContextHelp(&info, g_adwPortSettingsHelpIds));
    info.iCtrlId = 4711;
    EXPECT_FALSE(HvShowContextHelp(&info, g_adwPortSettingsHelpIds));
    info.iCtrlId = -1;
    EXPECT_FALSE(HvShowContextHelp(&info, g_adwPortSettingsHelpIds));
    info.iCtrlId = 200;
    info.iContextType = HELPINFO_MENUITEM;
    EXPECT_FALSE(HvShowContextHelp(&info, g_adwDeviceHelpIds));
    info.iContextType = HELPINFO_WINDOW;
    EXPECT_TRUE(HvShowContextHelp(&info, g_adwDeviceHelpIds));
}

} // namespace
