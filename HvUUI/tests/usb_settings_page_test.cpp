// The USB Settings page on a plugged adapter's port: the bus set's latency policy shown, changed,
// restored to the driver's defaults, and written only when OK finds something to write.
#include "settings_machine.h"

#include <htmlhelp.h>

#include <hvsim/usb.h>

#include "card_machine.h"

#include "NewUSBSettingsPage.h"
#include "Resources.h"

namespace {

using hvsim::ui::Dialog;

// The chip's vendor request that sets its latency timer.
constexpr UCHAR kFtdiSetLatencyTimer = 9;

class UsbSettingsPageTest : public SettingsMachineTest {
protected:
    void SetUp() override {
        SettingsMachineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_FALSE(plug_port().empty());
        hvsim::ui::reset_help_and_shell();
    }
    std::unique_ptr<CNewUSBSettingsPage> page() {
        return std::make_unique<CNewUSBSettingsPage>(device_->set, device_->data);
    }
    DWORD bus(const WCHAR* name) const { return get_dword(bus_settings_key(), name); }
};

TEST(UsbLatencyCurve, MapsSliderPositionsToMilliseconds) {
    const std::pair<int, int> cases[] = {{2, 2},       {18, 2},       {206, 2},       {207, 3},
                                         {6111, 1040}, {16639, 16379}, {16640, 16640}};
    for (auto [position, ms] : cases) EXPECT_EQ(ms, CNewUSBSettingsPage::m_SliderToMilliseconds(position)) << position;
}

TEST_F(UsbSettingsPageTest, ShowsTheBusDriversDefaultsAndOkWithoutAChangeWritesNothing) {
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    EXPECT_EQ(u"USB Settings", host.sheet().page_titles().at(0));
    EXPECT_TRUE(p.checked(IDC_POLICY_LATENCY));
    EXPECT_FALSE(p.checked(IDC_POLICY_CPU));
    EXPECT_EQ(6111, p.position(IDC_LATENCY));
    EXPECT_EQ((std::pair<int, int>{2, 16640}), p.range(IDC_LATENCY));
    EXPECT_EQ(u"1040 ms", p.text(IDC_LATENCY_MS));
    EXPECT_EQ(0, p.position(IDC_LATENCY_TUNING)) << "the driver's default fine tuning is in range";
    EXPECT_EQ((std::pair<int, int>{0, 256}), p.range(IDC_LATENCY_TUNING));
    EXPECT_EQ(192, p.position(IDC_CPU_TUNING));
    EXPECT_EQ(HvLoadString(IDS_USB_NOTE), p.text(IDC_USB_NOTE));
    for (int id : {IDC_LATENCY, IDC_LATENCY_TUNING, IDC_LATENCY_MS}) EXPECT_TRUE(p.enabled(id)) << id;
    for (int id : {IDC_CPU_TUNING, IDC_CPU_LOWEST, IDC_CPU_HIGHEST}) EXPECT_FALSE(p.enabled(id)) << id;

    // Changed behind the page's back: an OK that wrote anything would put 1040 back.
    set_dword(bus_settings_key(), u"MaximumLatency", 500);
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(500u, bus(u"MaximumLatency"));
}

TEST_F(UsbSettingsPageTest, ASlidLatencyIsShownAndWrittenWithItsPosition) {
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    ASSERT_TRUE(p.slide(IDC_LATENCY, 2));
    EXPECT_EQ(u"2 ms", p.text(IDC_LATENCY_MS));
    ASSERT_TRUE(p.slide(IDC_LATENCY, 16640));
    EXPECT_EQ(u"16640 ms", p.text(IDC_LATENCY_MS));
    ASSERT_TRUE(p.slide(IDC_LATENCY, 207));
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(3u, bus(u"MaximumLatency"));
    EXPECT_EQ(207u, bus(u"MaximumLatencySliderPos"));
    EXPECT_EQ(0u, bus(u"PolicyType"));
}

TEST_F(UsbSettingsPageTest, ChangingOnlyTheCpuUsageSliderWritesTheWholeSet) {
    set_dword(bus_settings_key(), u"PolicyType", 1);
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    EXPECT_TRUE(p.checked(IDC_POLICY_CPU));
    EXPECT_FALSE(p.enabled(IDC_LATENCY));
    ASSERT_TRUE(p.slide(IDC_CPU_TUNING, 64));
    set_dword(bus_settings_key(), u"MaximumLatency", 500);
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(64u, bus(u"LowCpuUsageFineTuning"));
    EXPECT_EQ(1040u, bus(u"MaximumLatency")) << "the page's whole set went to the driver";
}

TEST_F(UsbSettingsPageTest, TheRadiosEnableTheControlsOfTheirPolicy) {
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    ASSERT_TRUE(p.click(IDC_POLICY_CPU));
    for (int id : {IDC_CPU_TUNING, IDC_CPU_LOWEST, IDC_CPU_HIGHEST}) EXPECT_TRUE(p.enabled(id)) << id;
    for (int id : {IDC_LATENCY, IDC_LATENCY_TUNING, IDC_LATENCY_MS}) EXPECT_FALSE(p.enabled(id)) << id;
    ASSERT_TRUE(p.click(IDC_POLICY_LATENCY));
    EXPECT_TRUE(p.enabled(IDC_LATENCY));
    EXPECT_FALSE(p.enabled(IDC_CPU_TUNING));
    ASSERT_TRUE(p.click(IDC_POLICY_CPU));
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(1u, bus(u"PolicyType"));
}

// Restore Defaults shows the driver's defaults; OK then writes them, even where the page's copy
// already held the same values.
TEST_F(UsbSettingsPageTest, RestoreDefaultsThenOkWritesTheDefaults) {
    set_dword(bus_settings_key(), u"PolicyType", 1);
    set_dword(bus_settings_key(), u"MaximumLatencySliderPos", 2);
    set_dword(bus_settings_key(), u"MaximumLatency", 2);
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    EXPECT_EQ(2, p.position(IDC_LATENCY));
    ASSERT_TRUE(p.click(IDC_RESTORE_DEFAULTS));
    EXPECT_TRUE(p.checked(IDC_POLICY_LATENCY));
    EXPECT_EQ(6111, p.position(IDC_LATENCY));
    EXPECT_EQ(u"1040 ms", p.text(IDC_LATENCY_MS));
    EXPECT_EQ(2u, bus(u"MaximumLatency")) << "nothing is written before OK";
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(0u, bus(u"PolicyType"));
    EXPECT_EQ(1040u, bus(u"MaximumLatency"));
    EXPECT_EQ(6111u, bus(u"MaximumLatencySliderPos"));
}

TEST_F(UsbSettingsPageTest, CancelChangesNothing) {
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    ASSERT_TRUE(p.slide(IDC_LATENCY, 2));
    ASSERT_TRUE(p.click(IDC_RESTORE_DEFAULTS));
    ASSERT_TRUE(p.slide(IDC_LATENCY, 2));
    EXPECT_TRUE(host.cancel());
    EXPECT_EQ(1040u, bus(u"MaximumLatency"));
    EXPECT_EQ(6111u, bus(u"MaximumLatencySliderPos"));
}

// While another application has the port open, the page asks before it writes; No reloads the
// page's copy from the driver and keeps the sheet open.
TEST_F(UsbSettingsPageTest, AnOpenPortAsksFirstAndNoKeepsTheDriversValues) {
    HANDLE open = hold_port_open();
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    ASSERT_TRUE(p.slide(IDC_LATENCY, 2));
    hvsim::user::script_message_box_answers({IDNO});
    ASSERT_TRUE(host.sheet().press(hvsim::ui::SheetButton::Ok));
    EXPECT_FALSE(host.sheet().ended());
    expect_port_open_question();
    EXPECT_EQ(6111, host.page().position(IDC_LATENCY)) << "the driver's value again";
    EXPECT_EQ(1040u, bus(u"MaximumLatency"));

    ASSERT_TRUE(host.page().slide(IDC_LATENCY, 2));
    hvsim::user::script_message_box_answers({IDYES});
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(2u, bus(u"MaximumLatency"));
    CloseHandle(open);
}

TEST_F(UsbSettingsPageTest, AnUnknownPolicyDisablesTheSlidersWithItsMessage) {
    set_dword(bus_settings_key(), u"PolicyType", 2);
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    auto boxes = hvsim::user::message_box_transcript();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(u"Invalid USB Setting Policy.", boxes[0].text);
    EXPECT_EQ(u"Error", boxes[0].caption);
    EXPECT_EQ(UINT(MB_ICONERROR), boxes[0].type);
    for (int id : {IDC_LATENCY, IDC_LATENCY_TUNING, IDC_LATENCY_MS, IDC_CPU_TUNING}) EXPECT_FALSE(p.enabled(id)) << id;
    EXPECT_FALSE(p.checked(IDC_POLICY_LATENCY));
    EXPECT_FALSE(p.checked(IDC_POLICY_CPU));
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(2u, bus(u"PolicyType")) << "OK without a choice keeps the driver's policy";

    // A policy chosen afterwards is written.
    auto again = page();
    PageSheet next(*again);
    hvsim::user::reset_message_boxes();
    ASSERT_TRUE(next.page().click(IDC_POLICY_CPU));
    EXPECT_TRUE(next.ok());
    EXPECT_EQ(1u, bus(u"PolicyType"));
}

// A bus set the driver cannot give whole: nothing is shown as if it were the driver's and OK
// writes nothing.
TEST_F(UsbSettingsPageTest, ABusSetThatCannotBeReadLeavesThePageUnavailableAndUnwritten) {
    set_string(bus_settings_key(), u"InterfaceType", std::u16string(300, u'U'));
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    for (int id : {IDC_POLICY_LATENCY, IDC_POLICY_CPU, IDC_LATENCY, IDC_CPU_TUNING, IDC_RESTORE_DEFAULTS})
        EXPECT_FALSE(p.enabled(id)) << id;
    set_dword(bus_settings_key(), u"MaximumLatency", 500);
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(500u, bus(u"MaximumLatency"));
}

TEST_F(UsbSettingsPageTest, TipsAndHelpAreTheirControlsOwn) {
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    const std::pair<int, UINT> tips[] = {{IDC_POLICY_LATENCY, IDS_TIP_POLICY_LATENCY},
                                         {IDC_POLICY_CPU, IDS_TIP_POLICY_CPU},
                                         {IDC_LATENCY_MS, IDS_TIP_LATENCY},
                                         {IDC_FINE_TUNING_LABEL, IDS_TIP_LATENCY_TUNING},
                                         {IDC_CPU_HIGHEST, IDS_TIP_CPU_TUNING},
                                         {IDC_RESTORE_DEFAULTS, IDS_TIP_RESTORE_DEFAULTS}};
    for (auto [id, text] : tips) {
        auto tip = p.tip(id);
        ASSERT_TRUE(tip.has_value()) << id;
        EXPECT_EQ(HvLoadString(text), tip->text) << id;
        EXPECT_EQ(u"Information:", tip->title);
        EXPECT_EQ(TTI_INFO, tip->icon);
    }

    ASSERT_TRUE(p.click(IDC_HELP_LINK));
    EXPECT_TRUE(p.help(IDC_LATENCY_MS));
    EXPECT_TRUE(p.help(IDC_USB_NOTE)) << "a control without a help id";
    auto calls = hvsim::ui::help_calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(u"HvUUI23.chm::/USBPage.htm>mainwin", calls[0].file);
    EXPECT_EQ(UINT(HH_DISPLAY_TOPIC), calls[0].command);
    EXPECT_EQ(u"HvUUI23.chm::/HvUUI.txt", calls[1].file);
    EXPECT_EQ(UINT(HH_TP_HELP_WM_HELP), calls[1].command);
    EXPECT_EQ(p.item(IDC_LATENCY_MS), calls[1].caller);
    EXPECT_NE(std::find(calls[1].ids.begin(), calls[1].ids.end(), std::pair<DWORD, DWORD>{267, 0x806B0351}),
              calls[1].ids.end());
    EXPECT_TRUE(host.cancel());
}

// The trackbars stop at their ends: what OK writes is always within the ranges the bus takes.
TEST_F(UsbSettingsPageTest, SlidesPastTheEndsStopAtThemAndAreWrittenThere) {
    auto usb = page();
    PageSheet host(*usb);
    Dialog p = host.page();
    ASSERT_TRUE(p.slide(IDC_LATENCY, 20000));
    EXPECT_EQ(16640, p.position(IDC_LATENCY));
    EXPECT_EQ(u"16640 ms", p.text(IDC_LATENCY_MS));
    ASSERT_TRUE(p.slide(IDC_LATENCY_TUNING, -5));
    EXPECT_EQ(0, p.position(IDC_LATENCY_TUNING));
    ASSERT_TRUE(p.slide(IDC_LATENCY_TUNING, 300));
    EXPECT_EQ(256, p.position(IDC_LATENCY_TUNING));
    EXPECT_TRUE(host.ok());
    EXPECT_EQ(16640u, bus(u"MaximumLatency"));
    EXPECT_EQ(16640u, bus(u"MaximumLatencySliderPos"));
    EXPECT_EQ(256u, bus(u"MaximumLatencyFineTuning"));
}

// The adapter pulled out while the page is open: OK asks (the port no longer opens), the write
// fails, and the sheet stays open for Cancel.
TEST_F(UsbSettingsPageTest, AnAdapterPulledOutUnderThePageFailsTheWriteAndKeepsTheSheetOpen) {
    auto usb = page();
    PageSheet host(*usb);
    ASSERT_TRUE(host.page().slide(IDC_LATENCY, 2));
    std::string id;
    for (const auto& device : machine_->usb_devices())
        if (device.instance_id == adapter_) id = device.id;
    ASSERT_FALSE(id.empty());
    machine_->unplug(id);
    card_test::wait_quiet();
    hvsim::user::script_message_box_answers({IDYES});
    ASSERT_TRUE(host.sheet().press(hvsim::ui::SheetButton::Ok));
    EXPECT_FALSE(host.sheet().ended());
    expect_port_open_question();
    EXPECT_TRUE(host.cancel());
}

// What the page writes reaches the chip: the next open of the port sends the latency set here.
TEST_F(UsbSettingsPageTest, TheNextOpenSendsTheLatencyTheSliderSet) {
    {
        auto usb = page();
        PageSheet host(*usb);
        ASSERT_TRUE(host.page().slide(IDC_LATENCY, 2));
        ASSERT_TRUE(host.ok());
    }
    hvsim::usb::clear_urb_log();
    HANDLE open = hold_port_open();
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    card_test::wait_quiet();
    std::vector<USHORT> latencies;
    for (const auto& urb : hvsim::usb::urb_log())
        if (urb.request == kFtdiSetLatencyTimer && !urb.in) latencies.push_back(USHORT(urb.value & 0xFF));
    ASSERT_FALSE(latencies.empty());
    EXPECT_EQ(2u, latencies.back());
    CloseHandle(open);
}

} // namespace
