// A port's properties as Device Manager shows them on a machine with the package installed and an
// adapter plugged: the Port Settings page, its advanced sheet and what OK on both leaves behind.
#include "settings_machine.h"

#include <hvsim/device_manager.h>
#include <hvsim/devices/ftdi_chip.h>
#include <hvsim/usb.h>

#include <cmath>
#include <optional>
#include <sstream>

#include "card_machine.h"

#include "HvUIPropertyPage.h"
#include "NewUSBSettingsPage.h"
#include "PortPageResources.h"
#include "PortUtil.h"
#include "Resources.h"

namespace {

using hvsim::ui::Dialog;
using hvsim::ui::Sheet;
using hvsim::ui::SheetButton;

// The chip's vendor requests (bRequest) that the port's settings reach it by.
constexpr UCHAR kFtdiSetFlowControl = 2;
constexpr UCHAR kFtdiSetBaudRate = 3;
constexpr UCHAR kFtdiSetLatencyTimer = 9;
constexpr USHORT kFtdiFlowRtsCts = 0x01; // high byte of the flow-control request's index

class PortPropertiesTest : public SettingsMachineTest {
protected:
    void SetUp() override {
        SettingsMachineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        hvsim::ui::reset_modal_loops();
    }
    // Plugs the adapter: its port and its COM name.
    void plug(bool rs485 = false) {
        ASSERT_FALSE(plug_port(rs485).empty());
        name_ = value(port_, u"Device Parameters", u"PortName");
    }
    void TearDown() override {
        if (!IsSkipped()) {
            EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
        }
        SettingsMachineTest::TearDown();
    }

    // Opens the port's Advanced sheet from a Device Manager sheet's Port Settings page; the
    // visitor drives it on its own thread, and the click returns once it has ended.
    static void visit_advanced(const Dialog& page, std::function<void(Sheet&)> visit) {
        hvsim::ui::script_modal_visitors({[visit](HWND hwnd) {
            Sheet sheet(hwnd);
            visit(sheet);
        }});
        EXPECT_TRUE(page.click(IDC_ADVANCED));
    }

    // The last vendor request of that kind sent to the chip since the log was cleared.
    static std::optional<hvsim::usb::UrbRecord> last_request(UCHAR request) {
        std::optional<hvsim::usb::UrbRecord> found;
        for (const auto& urb : hvsim::usb::urb_log())
            if (urb.request == request && !urb.in && urb.function != hvsim::usb::kResetPortRecord) found = urb;
        return found;
    }

    std::u16string name_;
};

TEST_F(PortPropertiesTest, PortSettingsAndTheAdvancedSheetChangeTheComNameTheLineAndTheLatency) {
    plug();
    const std::u16string old_name = name_;
    const std::u16string old_target = dos_target(old_name);
    ASSERT_NE(u"<none>", old_target);
    ASSERT_FALSE(claimed(7));
    {
        hvsim::DeviceProperties properties(*machine_, old_name);
        Sheet sheet = properties.sheet();
        ASSERT_TRUE(sheet.select_page(u"Port Settings"));
        Dialog page = sheet.page();
        ASSERT_TRUE(page.type(IDC_BAUD, u"9600"));
        ASSERT_TRUE(page.click(IDC_OVERRIDE_BAUD));
        ASSERT_TRUE(page.select(IDC_FLOW, u"Hardware"));
        visit_advanced(page, [&](Sheet& advanced) {
            EXPECT_EQ(u"Advanced Settings for " + old_name + u" Properties", advanced.text());
            EXPECT_EQ((std::vector<std::u16string>{u"Device Settings", u"USB Settings", u"About"}),
                      advanced.page_titles());
            Dialog device = advanced.page();
            EXPECT_EQ(old_name, device.items(IDC_PORT_NUMBER).at(device.selection(IDC_PORT_NUMBER)));
            EXPECT_TRUE(device.select(IDC_PORT_NUMBER, u"COM7"));
            ASSERT_TRUE(advanced.select_page(u"USB Settings"));
            EXPECT_TRUE(advanced.page().slide(IDC_LATENCY, 2));
            EXPECT_EQ(u"2 ms", advanced.page().text(IDC_LATENCY_MS));
            EXPECT_TRUE(advanced.press(SheetButton::Ok));
            EXPECT_TRUE(advanced.ended());
        });
        // The page still holds what was typed before the Advanced sheet.
        EXPECT_EQ(u"9600", page.text(IDC_BAUD));
        EXPECT_TRUE(sheet.press(SheetButton::Ok));
        ASSERT_TRUE(properties.wait());
        EXPECT_EQ(1, properties.outcome().sheet_result);
        EXPECT_TRUE(properties.outcome().properties_changed);
        EXPECT_TRUE(properties.outcome().restarted);
    }
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
    hvsim::user::wait_for_device_installations();
    card_test::wait_quiet();

    // Every place that keeps the name says COM7.
    EXPECT_EQ(u"COM7", value(port_, u"Device Parameters", u"PortName"));
    EXPECT_NE(std::u16string::npos, value(port_, u"", u"FriendlyName").find(u"(COM7)"));
    EXPECT_TRUE(claimed(7));
    EXPECT_FALSE(claimed(ComNumberOf(old_name)));
    EXPECT_EQ(u"<none>", dos_target(old_name));
    EXPECT_EQ(u"COM7", serialcomm(dos_target(u"COM7")));
    EXPECT_EQ(u"9600,n,8,1,p", ports_entry(u"COM7"));
    HANDLE gone = CreateFileW((u"\\\\.\\" + old_name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, gone);

    // An application's 115200 gives way to the port's 9600, with the handshake the port is set to.
    hvsim::usb::clear_urb_log();
    HANDLE port = CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 115200;
    EXPECT_TRUE(SetCommState(port, &dcb));
    card_test::wait_quiet();
    auto latency = last_request(kFtdiSetLatencyTimer);
    ASSERT_TRUE(latency);
    EXPECT_EQ(2u, latency->value & 0xFF);
    auto baud = last_request(kFtdiSetBaudRate);
    ASSERT_TRUE(baud);
    const double rate = hvsim::devices::FtdiChip::baud_rate(baud->value, (baud->index >> 8) & 1);
    EXPECT_LT(std::fabs(rate - 9600.0), 9600.0 * 0.03) << rate;
    auto flow = last_request(kFtdiSetFlowControl);
    ASSERT_TRUE(flow);
    EXPECT_EQ(kFtdiFlowRtsCts, flow->index >> 8);
    CloseHandle(port);
}

// The device page: the names of the database with the in-use marks, and what OK does with the one
// chosen.
TEST_F(PortPropertiesTest, TheDevicePageRenamesOnlyToANewNameAndAsksBeforeTakingAnotherDevicesName) {
    plug();
    claim(9);
    struct Case {
        const char* what;
        std::u16string pick; // empty: the port's own name
        std::vector<int> answers;
        std::u16string name_after;
    };
    const Case cases[] = {
        {"its own name", u"", {}, name_},
        {"another device's name, then No", u"COM9 (in use)", {IDNO}, name_},
        {"another device's name, then Yes", u"COM9 (in use)", {IDYES}, u"COM9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hvsim::user::reset_message_boxes();
        hvsim::user::script_message_box_answers(c.answers);
        const std::u16string before = value(port_, u"Device Parameters", u"PortName");
        {
            hvsim::DeviceProperties properties(*machine_, before);
            Sheet sheet = properties.sheet();
            ASSERT_TRUE(sheet.select_page(u"Port Settings"));
            visit_advanced(sheet.page(), [&](Sheet& advanced) {
                Dialog device = advanced.page();
                auto names = device.items(IDC_PORT_NUMBER);
                EXPECT_EQ(255u, names.size());
                EXPECT_EQ(u"COM9 (in use)", names.at(8));
                EXPECT_EQ(before, names.at(device.selection(IDC_PORT_NUMBER)));
                if (!c.pick.empty()) {
                    EXPECT_TRUE(device.select(IDC_PORT_NUMBER, c.pick));
                }
                EXPECT_TRUE(advanced.press(SheetButton::Ok));
                EXPECT_TRUE(advanced.ended());
            });
            EXPECT_TRUE(sheet.press(SheetButton::Cancel));
            ASSERT_TRUE(properties.wait());
        }
        hvsim::user::wait_for_device_installations();
        card_test::wait_quiet();
        EXPECT_EQ(c.name_after, value(port_, u"Device Parameters", u"PortName"));
        auto boxes = hvsim::user::message_box_transcript();
        ASSERT_EQ(c.answers.size(), boxes.size());
        if (!boxes.empty()) {
            EXPECT_EQ(HvLoadString(IDS_PORT_IN_USE), boxes[0].text);
        }
    }
    EXPECT_TRUE(claimed(9));
    EXPECT_EQ(u"COM9", serialcomm(dos_target(u"COM9")));
}

// A name that the list does not offer leaves the list without a selection, and OK keeps it.
TEST_F(PortPropertiesTest, ANameTheListCannotShowIsKeptOnOk) {
    plug();
    OpenedDevice device(port_);
    // Only the device key says COM300: the page's list ends at COM255.
    ASSERT_TRUE(CHVDeviceRegInfo(device.set, device.data).m_SetDeviceValue(u"PortName", u"COM300"));
    CHvUIPropertyPage* page = new CHvUIPropertyPage(device.set, device.data);
    ASSERT_TRUE(page->m_IsValid());
    page->m_bDeleteOnRelease = true;
    HPROPSHEETPAGE pages[] = {page->Create()};
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_PROPTITLE | PSH_NOAPPLYNOW;
    header.pszCaption = u"COM300";
    header.nPages = 1;
    header.phpage = pages;
    hvsim::ui::script_modal_visitors({
        [](HWND hwnd) {
            Sheet sheet(hwnd);
            EXPECT_TRUE(sheet.page().click(IDC_ADVANCED));
            EXPECT_TRUE(sheet.press(SheetButton::Cancel));
        },
        [](HWND hwnd) {
            Sheet advanced(hwnd);
            EXPECT_EQ(CB_ERR, advanced.page().selection(IDC_PORT_NUMBER));
            EXPECT_TRUE(advanced.press(SheetButton::Ok));
            EXPECT_TRUE(advanced.ended());
        },
    });
    EXPECT_EQ(0, PropertySheetW(&header));
    EXPECT_EQ(u"COM300", value(port_, u"Device Parameters", u"PortName"));
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
}

TEST_F(PortPropertiesTest, TheDevicePageShowsTheUsbDeviceAndItsHelp) {
    plug();
    hvsim::ui::reset_help_and_shell();
    hvsim::DeviceProperties properties(*machine_, name_);
    Sheet sheet = properties.sheet();
    ASSERT_TRUE(sheet.select_page(u"Port Settings"));
    visit_advanced(sheet.page(), [&](Sheet& advanced) {
        Dialog device = advanced.page();
        EXPECT_EQ(u"USB", device.text(IDC_INTERFACE));
        EXPECT_TRUE(device.text(IDC_RX_FIFO).ends_with(u" bytes"));
        EXPECT_TRUE(device.text(IDC_TX_FIFO).ends_with(u" bytes"));
        EXPECT_TRUE(device.text(IDC_MAX_BAUD).ends_with(u" baud"));
        EXPECT_EQ(u"COM &Port Number:", device.text(IDC_PORT_NUMBER_LABEL));
        auto tip = device.tip(IDC_PORT_NUMBER);
        ASSERT_TRUE(tip);
        EXPECT_EQ(HvLoadString(IDS_TIP_PORT_NUMBER), tip->text);
        EXPECT_TRUE(device.click(IDC_HELP_LINK));
        EXPECT_TRUE(device.help(IDC_PORT_NUMBER));
        EXPECT_TRUE(advanced.press(SheetButton::Cancel));
    });
    EXPECT_TRUE(sheet.press(SheetButton::Cancel));
    ASSERT_TRUE(properties.wait());
    auto calls = hvsim::ui::help_calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(u"HvUUI23.chm::/AdvDevice.htm>mainwin", calls[0].file);
    EXPECT_EQ((std::vector<std::pair<DWORD, DWORD>>{{IDC_PORT_NUMBER, 0x807300CA}}), calls[1].ids);
}

// The mode chosen in the Advanced sheet's RS-422/485 page decides what Port Settings offers once
// the sheet is closed: in autogating mode no handshake, and CTS and DSR always on.
TEST_F(PortPropertiesTest, AnRs485PortInAutogatingModeOffersNoHandshakeOnceTheAdvancedSheetChoseIt) {
    plug(true);
    hvsim::DeviceProperties properties(*machine_, name_);
    Sheet sheet = properties.sheet();
    ASSERT_TRUE(sheet.select_page(u"Port Settings"));
    Dialog page = sheet.page();
    EXPECT_TRUE(page.checked(IDC_DSR_TRUE));
    EXPECT_FALSE(page.enabled(IDC_DSR_TRUE));
    EXPECT_TRUE(page.enabled(IDC_CTS_TRUE));
    EXPECT_EQ((std::vector<std::u16string>{u"Xon / Xoff", u"Hardware", u"None"}), page.items(IDC_FLOW));
    visit_advanced(page, [&](Sheet& advanced) {
        EXPECT_EQ((std::vector<std::u16string>{u"Device Settings", u"RS422/485 Settings", u"USB Settings", u"About"}),
                  advanced.page_titles());
        ASSERT_TRUE(advanced.select_page(u"RS422/485 Settings"));
        EXPECT_TRUE(advanced.page().select(IDC_DUPLEX_MODE, u"RS485 half-duplex autogating mode"));
        EXPECT_TRUE(advanced.press(SheetButton::Ok));
    });
    EXPECT_EQ(std::vector<std::u16string>{u"None"}, page.items(IDC_FLOW));
    for (int id : {IDC_CTS_TRUE, IDC_DSR_TRUE}) {
        EXPECT_TRUE(page.checked(id)) << id;
        EXPECT_FALSE(page.enabled(id)) << id;
    }
    EXPECT_TRUE(sheet.press(SheetButton::Cancel));
    ASSERT_TRUE(properties.wait());
}

// A rename that cannot be done says so and keeps the sheet open on the device page.
TEST_F(PortPropertiesTest, AFailedRenameIsReportedAndTheSheetStaysOpen) {
    plug();
    const std::u16string target = dos_target(name_);
    ASSERT_NE(u"<none>", target);
    // Without its DOS name the port cannot be given another one (nor opened, which the rename
    // asks about first).
    hvsim::user::script_message_box_answers({IDYES});
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                                 name_.c_str(), target.c_str()));
    {
        hvsim::DeviceProperties properties(*machine_, name_);
        Sheet sheet = properties.sheet();
        ASSERT_TRUE(sheet.select_page(u"Port Settings"));
        visit_advanced(sheet.page(), [&](Sheet& advanced) {
            EXPECT_TRUE(advanced.page().select(IDC_PORT_NUMBER, u"COM7"));
            ASSERT_TRUE(advanced.select_page(u"About"));
            EXPECT_TRUE(advanced.press(SheetButton::Ok));
            EXPECT_FALSE(advanced.ended());
            EXPECT_EQ(u"Device Settings", advanced.page_titles().at(advanced.page_index()));
            auto boxes = hvsim::user::message_box_transcript();
            ASSERT_EQ(2u, boxes.size());
            EXPECT_EQ(HvLoadString(IDS_PORT_OPEN), boxes[0].text);
            EXPECT_EQ(HvLoadString(IDS_RENAME_FAILED), boxes[1].text);
            EXPECT_EQ(u"Error", boxes[1].caption);
            EXPECT_EQ(UINT(MB_ICONERROR), boxes[1].type);
            EXPECT_EQ(advanced.page_window(), boxes[1].owner);
            EXPECT_TRUE(advanced.press(SheetButton::Cancel));
        });
        EXPECT_TRUE(sheet.press(SheetButton::Cancel));
        ASSERT_TRUE(properties.wait());
    }
    EXPECT_EQ(name_, value(port_, u"Device Parameters", u"PortName"));
    EXPECT_FALSE(claimed(7));
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, name_.c_str(), target.c_str()));
}

TEST_F(PortPropertiesTest, HvsimPropertiesPrintsThePortSettingsPage) {
    plug();
    std::ostringstream out;
    EXPECT_TRUE(hvsim::run_property_steps(*machine_, name_, {"page:Port Settings"}, out));
    const std::string text = out.str();
    EXPECT_NE(std::string::npos, text.find("Port Settings")) << text;
    EXPECT_NE(std::string::npos, text.find("Bits per second")) << text;
    EXPECT_NE(std::string::npos, text.find("115200")) << text;
    EXPECT_NE(std::string::npos, text.find("Advanced...")) << text;
}

} // namespace
