// The Port Settings page on a machine with the package installed and an adapter plugged: the
// provider hands it to a property sheet as Device Manager's callback would take it, and the
// tests drive it as a user does.
#include "settings_machine.h"

#include <htmlhelp.h>
#include <hvsim/ui.h>
#include <pmusermodeprotocol.h>

#include <functional>

#include "HvUIPropertyPage.h"
#include "HvUVcpUserModeInterface.h"
#include "HvUserModeConfig.h"
#include "PortPropPage.h"
#include "PortUtil.h"
#include "Resources.h"

namespace {

using hvsim::ui::Dialog;
using hvsim::ui::Sheet;
using hvsim::ui::SheetButton;

BOOL CALLBACK TakePage(HPROPSHEETPAGE page, LPARAM pages) {
    reinterpret_cast<std::vector<HPROPSHEETPAGE>*>(pages)->push_back(page);
    return TRUE;
}
BOOL CALLBACK RefusePage(HPROPSHEETPAGE, LPARAM) { return FALSE; }

class PortSettingsPageTest : public SettingsMachineTest {
protected:
    void SetUp() override {
        SettingsMachineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        hvsim::ui::reset_modal_loops();
        hvsim::ui::reset_help_and_shell();
        ASSERT_FALSE(plug_port().empty());
        name_ = value(port_, u"Device Parameters", u"PortName");
    }
    void TearDown() override {
        if (!IsSkipped()) {
            EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
        }
        SettingsMachineTest::TearDown();
    }

    // The provider's answer and pages for a request about a device.
    BOOL provide(const std::u16string& instance, DWORD kind, std::vector<HPROPSHEETPAGE>& pages,
                 LPFNADDPROPSHEETPAGE add = TakePage) {
        OpenedDevice device(instance);
        SP_PROPSHEETPAGE_REQUEST request{sizeof request, kind, device.set, &device.data};
        return HvUPortPropPage(&request, add, reinterpret_cast<LPARAM>(&pages));
    }

    // The port's sheet with the provider's page, driven by the visitors of its modal loops
    // (the sheet first, then what it opens); its result.
    INT_PTR run_sheet(std::vector<hvsim::ui::ModalVisitor> visitors) {
        OpenedDevice device(port_);
        std::vector<HPROPSHEETPAGE> pages;
        SP_PROPSHEETPAGE_REQUEST request{sizeof request, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, device.set, &device.data};
        EXPECT_TRUE(HvUPortPropPage(&request, TakePage, reinterpret_cast<LPARAM>(&pages)));
        EXPECT_EQ(1u, pages.size());
        PROPSHEETHEADERW header{};
        header.dwSize = sizeof header;
        header.dwFlags = PSH_PROPTITLE | PSH_NOAPPLYNOW;
        header.pszCaption = name_.c_str();
        header.nPages = static_cast<UINT>(pages.size());
        header.phpage = pages.data();
        hvsim::ui::script_modal_visitors(std::move(visitors));
        return PropertySheetW(&header);
    }
    // One visit of the sheet: the page shown first is the Port Settings page.
    INT_PTR run_page(const std::function<void(Sheet&, Dialog&)>& visit) {
        return run_sheet({[&](HWND hwnd) {
            Sheet sheet(hwnd);
            Dialog page = sheet.page();
            visit(sheet, page);
        }});
    }

    // The port set as the driver holds it now.
    void driver_settings(CHvUVcpUserModeInterface& set) {
        OpenedDevice device(port_);
        CHvUserModeConfig config(GUID_HVGENDRV_PORT_INTERFACE, device.set, device.data);
        ASSERT_TRUE(config.m_Open());
        ASSERT_TRUE(config.m_GetSettings(set, HV_SETTINGS_PORT));
    }
    void write_driver_settings(const std::function<void(CHvUVcpUserModeInterface&)>& change) {
        OpenedDevice device(port_);
        CHvUserModeConfig config(GUID_HVGENDRV_PORT_INTERFACE, device.set, device.data);
        CHvUVcpUserModeInterface set;
        ASSERT_TRUE(config.m_Open());
        ASSERT_TRUE(config.m_GetSettings(set, HV_SETTINGS_PORT));
        change(set);
        ASSERT_TRUE(config.m_SetSettings(set, HV_SETTINGS_PORT));
    }

    static std::u16string selected(const Dialog& page, int id) {
        int index = page.selection(id);
        return index < 0 ? u"<none>" : page.items(id).at(static_cast<size_t>(index));
    }

    std::u16string name_;
};

TEST_F(PortSettingsPageTest, TheProviderAddsThePageOnlyForAdvancedPropertiesOfAPortItsDriverServes) {
    std::vector<HPROPSHEETPAGE> pages;
    EXPECT_TRUE(provide(port_, SPPSR_ENUM_BASIC_DEVICE_PROPERTIES, pages));
    EXPECT_TRUE(pages.empty());
    // The adapter's bus device registers no port interface: no page, and the provider says so.
    EXPECT_FALSE(provide(adapter_, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, pages));
    EXPECT_TRUE(pages.empty());
    SP_PROPSHEETPAGE_REQUEST request{sizeof request, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, nullptr, nullptr};
    EXPECT_TRUE(HvUPortPropPage(&request, TakePage, reinterpret_cast<LPARAM>(&pages)));
    EXPECT_TRUE(pages.empty());

    // A page the callback refuses is released with what it holds (the fixture counts the
    // device information lists left open; the brush is made only with the dialog).
    const auto gdi = hvsim::ui::gdi_objects().total;
    EXPECT_FALSE(provide(port_, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, pages, RefusePage));
    EXPECT_EQ(gdi, hvsim::ui::gdi_objects().total);

    EXPECT_TRUE(provide(port_, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, pages));
    ASSERT_EQ(1u, pages.size());
    EXPECT_TRUE(DestroyPropertySheetPage(pages[0]));
}

TEST_F(PortSettingsPageTest, ThePageShowsTheDriversSettings) {
    EXPECT_EQ(0, run_page([&](Sheet& sheet, Dialog& page) {
        EXPECT_EQ(name_ + u" Properties", sheet.text());
        EXPECT_EQ(std::vector<std::u16string>{u"Port Settings"}, sheet.page_titles());
        EXPECT_EQ(u"115200", page.text(IDC_BAUD));
        EXPECT_EQ(u"115200", selected(page, IDC_BAUD));
        auto rates = page.items(IDC_BAUD);
        ASSERT_FALSE(rates.empty());
        EXPECT_EQ(u"921600", rates.back());
        EXPECT_EQ(u"8", selected(page, IDC_DATABITS));
        EXPECT_EQ(u"None", selected(page, IDC_PARITY));
        EXPECT_EQ(u"1", selected(page, IDC_STOPBITS));
        EXPECT_EQ(u"None", selected(page, IDC_FLOW));
        EXPECT_EQ((std::vector<std::u16string>{u"Xon / Xoff", u"Hardware", u"None"}), page.items(IDC_FLOW));
        for (int id : {IDC_OVERRIDE_BAUD, IDC_OVERRIDE_DATABITS, IDC_OVERRIDE_PARITY, IDC_OVERRIDE_STOPBITS,
                       IDC_OVERRIDE_FLOW, IDC_CTS_TRUE, IDC_DSR_TRUE}) {
            EXPECT_FALSE(page.checked(id)) << id;
            EXPECT_TRUE(page.enabled(id)) << id;
        }
        EXPECT_FALSE(page.visible(IDC_NOTE_TEXT));
        EXPECT_EQ(u"Override", page.text(IDC_OVERRIDE_FLOW));
        EXPECT_EQ(u"&Bits per second:", page.text(IDC_BAUD_LABEL));
        // An override puts the note up, and taking it back takes the note away.
        EXPECT_TRUE(page.click(IDC_OVERRIDE_PARITY));
        EXPECT_TRUE(page.visible(IDC_NOTE_TEXT));
        EXPECT_TRUE(page.click(IDC_OVERRIDE_PARITY));
        EXPECT_FALSE(page.visible(IDC_NOTE_TEXT));
        EXPECT_TRUE(page.click(IDC_DSR_TRUE));
        EXPECT_TRUE(page.visible(IDC_NOTE_TEXT));
        sheet.press(SheetButton::Cancel);
    }));
}

// What a user changes is what the driver holds afterwards, and the Ports entry with it; Cancel
// and an OK without a change write nothing.
TEST_F(PortSettingsPageTest, OkWritesTheChangesAndCancelNothing) {
    CHvUVcpUserModeInterface before;
    driver_settings(before);
    const std::u16string entry = ports_entry(name_);
    for (SheetButton button : {SheetButton::Cancel, SheetButton::Ok}) {
        run_page([&](Sheet& sheet, Dialog& page) {
            if (button == SheetButton::Cancel) {
                EXPECT_TRUE(page.type(IDC_BAUD, u"9600"));
                EXPECT_TRUE(page.select(IDC_PARITY, u"Even"));
                EXPECT_TRUE(page.click(IDC_OVERRIDE_BAUD));
            }
            sheet.press(button);
        });
        CHvUVcpUserModeInterface after;
        driver_settings(after);
        EXPECT_EQ(before.m_ulBaudrate, after.m_ulBaudrate);
        EXPECT_EQ(before.m_ulParity, after.m_ulParity);
        EXPECT_EQ(0u, after.m_ulOverridBaudRates);
        EXPECT_EQ(entry, ports_entry(name_));
    }

    EXPECT_EQ(1, run_page([&](Sheet& sheet, Dialog& page) {
        EXPECT_TRUE(page.type(IDC_BAUD, u"9600"));
        EXPECT_TRUE(page.select(IDC_DATABITS, u"7"));
        EXPECT_TRUE(page.select(IDC_PARITY, u"Even"));
        EXPECT_TRUE(page.select(IDC_STOPBITS, u"2"));
        EXPECT_TRUE(page.select(IDC_FLOW, u"Xon / Xoff"));
        EXPECT_TRUE(page.click(IDC_OVERRIDE_BAUD));
        EXPECT_TRUE(page.click(IDC_OVERRIDE_FLOW));
        EXPECT_TRUE(page.click(IDC_CTS_TRUE));
        EXPECT_TRUE(sheet.press(SheetButton::Ok));
        EXPECT_TRUE(sheet.ended());
    }));
    CHvUVcpUserModeInterface after;
    driver_settings(after);
    EXPECT_EQ(9600u, after.m_ulBaudrate);
    EXPECT_EQ(2u, after.m_ulDatabits);
    EXPECT_EQ(2u, after.m_ulParity);
    EXPECT_EQ(2u, after.m_ulStopbits);
    EXPECT_EQ(4u, after.m_ulFlowControl);
    EXPECT_EQ(1u, after.m_ulOverridBaudRates);
    EXPECT_EQ(1u, after.m_ulOverrideFlowControl);
    EXPECT_EQ(0u, after.m_ulOverrideParity);
    EXPECT_EQ(1u, after.m_ulEmulateCTSTrue);
    EXPECT_EQ(0u, after.m_ulEmulateDSRTrue);
    EXPECT_EQ(u"9600,e,7,2,x", ports_entry(name_));
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
}

TEST_F(PortSettingsPageTest, ARateNoItemCarriesIsShownAsAnExtraItem) {
    write_driver_settings([](CHvUVcpUserModeInterface& set) { set.m_ulBaudrate = 12345; });
    run_page([&](Sheet& sheet, Dialog& page) {
        EXPECT_EQ(u"12345", page.text(IDC_BAUD));
        EXPECT_EQ(u"12345", selected(page, IDC_BAUD));
        EXPECT_EQ(u"12345", page.items(IDC_BAUD).back());
        sheet.press(SheetButton::Cancel);
    });
}

// A typed rate is checked against the limits the driver reported when the page was filled.
TEST_F(PortSettingsPageTest, TypedRatesOutsideTheLimitsAreRefusedWithTheirMessageAndTip) {
    // A lower limit the bus can set, so that the rate at the limit goes through.
    write_driver_settings([](CHvUVcpUserModeInterface& set) { set.m_ulMinBaudRate = 300; });
    CHvUVcpUserModeInterface set;
    driver_settings(set);
    const DWORD min = set.m_ulMinBaudRate, max = set.m_ulMaxBaudRate;
    ASSERT_EQ(300u, min);
    auto number = [](DWORD value) {
        std::string text = std::to_string(value);
        return std::u16string(text.begin(), text.end());
    };
    auto limits = [&](const char* format) {
        char text[160];
        snprintf(text, sizeof text, format, int(min), int(max));
        return std::u16string(text, text + strlen(text));
    };
    struct Case {
        std::u16string typed;
        bool accepted;
    };
    const Case cases[] = {
        {number(min), true}, {number(max), true},   {number(max + 1), false}, {number(min - 1), false},
        {u"0", false},       {u"", false},          {u"99999999999", false},
    };
    ULONG held = set.m_ulBaudrate;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.typed.begin(), c.typed.end()));
        hvsim::user::reset_message_boxes();
        EXPECT_EQ(c.accepted ? 1 : 0, run_page([&](Sheet& sheet, Dialog& page) {
            EXPECT_TRUE(page.type(IDC_BAUD, c.typed));
            sheet.press(SheetButton::Ok);
            EXPECT_EQ(c.accepted, sheet.ended());
            if (sheet.ended()) return;
            if (c.accepted) {
                sheet.press(SheetButton::Cancel);
                return;
            }
            auto boxes = hvsim::user::message_box_transcript();
            ASSERT_EQ(1u, boxes.size());
            EXPECT_EQ(limits("Please enter baud rate between %d bps and %d bps."), boxes[0].text);
            EXPECT_EQ(u"Baud rate out of Range", boxes[0].caption);
            EXPECT_EQ(UINT(MB_ICONERROR), boxes[0].type);
            EXPECT_EQ(page.hwnd(), boxes[0].owner);
            auto tip = page.tip(IDC_BAUD);
            ASSERT_TRUE(tip);
            EXPECT_EQ(u"Error:", tip->title);
            EXPECT_EQ(TTI_ERROR, tip->icon);
            EXPECT_EQ(limits("Baud rate out of Range.\n\nPlease enter value between %d and %d."), tip->text);
            // The error is told once; the next tip is the field's own again.
            tip = page.tip(IDC_BAUD_LABEL);
            ASSERT_TRUE(tip);
            EXPECT_EQ(u"Information:", tip->title);
            sheet.press(SheetButton::Cancel);
        }));
        CHvUVcpUserModeInterface after;
        driver_settings(after);
        // A refused rate leaves the one written before.
        if (c.accepted) held = std::stoul(std::string(c.typed.begin(), c.typed.end()));
        EXPECT_EQ(held, after.m_ulBaudrate);
    }
}

// A rate within the limits that the port cannot be set to: the driver refuses it, the page says
// so and holds the driver's values again.
TEST_F(PortSettingsPageTest, ARateTheDriverRefusesIsReportedAndTheDriversValuesReadBack) {
    CHvUVcpUserModeInterface set;
    driver_settings(set);
    ASSERT_LT(set.m_ulMinBaudRate, 184u) << "the bus sets no rate below 184 baud";
    run_page([&](Sheet& sheet, Dialog& page) {
        EXPECT_TRUE(page.type(IDC_BAUD, u"100"));
        sheet.press(SheetButton::Ok);
        EXPECT_FALSE(sheet.ended());
        auto boxes = hvsim::user::message_box_transcript();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(u"Error setting baud rate.\n\nPlease enter valid settable baud rate.", boxes[0].text);
        EXPECT_EQ(u"Error setting baud rate", boxes[0].caption);
        auto tip = page.tip(IDC_BAUD);
        ASSERT_TRUE(tip);
        EXPECT_EQ(u"Error:", tip->title);
        EXPECT_EQ(u"Error setting baud rate.\n\nPlease enter valid settable baud rate.", tip->text);
        // A settable rate then goes through.
        EXPECT_TRUE(page.type(IDC_BAUD, u"19200"));
        sheet.press(SheetButton::Ok);
        EXPECT_TRUE(sheet.ended());
    });
    CHvUVcpUserModeInterface after;
    driver_settings(after);
    EXPECT_EQ(19200u, after.m_ulBaudrate);
}

TEST_F(PortSettingsPageTest, RestoreDefaultsShowsTheDefaultsAndOkWritesThemEvenUnchanged) {
    write_driver_settings([](CHvUVcpUserModeInterface& set) {
        set.m_ulBaudrate = 4800;
        set.m_ulOverrideParity = 1;
    });
    const std::u16string entry = ports_entry(name_);
    EXPECT_EQ(1, run_page([&](Sheet& sheet, Dialog& page) {
        EXPECT_EQ(u"4800", page.text(IDC_BAUD));
        EXPECT_TRUE(page.checked(IDC_OVERRIDE_PARITY));
        EXPECT_TRUE(page.click(IDC_RESTORE_DEFAULTS));
        EXPECT_EQ(u"115200", page.text(IDC_BAUD));
        EXPECT_FALSE(page.checked(IDC_OVERRIDE_PARITY));
        sheet.press(SheetButton::Ok);
    }));
    CHvUVcpUserModeInterface after;
    driver_settings(after);
    EXPECT_EQ(115200u, after.m_ulBaudrate);
    EXPECT_EQ(0u, after.m_ulOverrideParity);
    EXPECT_EQ(u"115200,n,8,1", ports_entry(name_));
}

// While an application has the port open, OK asks first; No keeps the sheet open and the
// driver's values.
TEST_F(PortSettingsPageTest, ChangingAnOpenPortAsksFirst) {
    HANDLE open = hold_port_open();
    for (int answer : {IDNO, IDYES}) {
        hvsim::user::reset_message_boxes();
        hvsim::user::script_message_box_answers({answer});
        run_page([&](Sheet& sheet, Dialog& page) {
            EXPECT_TRUE(page.type(IDC_BAUD, u"38400"));
            sheet.press(SheetButton::Ok);
            EXPECT_EQ(answer == IDYES, sheet.ended());
            if (!sheet.ended()) sheet.press(SheetButton::Cancel);
        });
        expect_port_open_question();
        CHvUVcpUserModeInterface after;
        driver_settings(after);
        EXPECT_EQ(answer == IDYES ? 38400u : 115200u, after.m_ulBaudrate);
    }
    CloseHandle(open);
}

// A flow control the Ports entry has no letter for is written without one, rather than leaving
// the entry as it was.
TEST_F(PortSettingsPageTest, AFlowControlThePortsEntryCannotNameIsWrittenWithoutALetter) {
    write_driver_settings([](CHvUVcpUserModeInterface& set) { set.m_ulFlowControl = 8; });
    EXPECT_EQ(1, run_page([&](Sheet& sheet, Dialog& page) {
        EXPECT_TRUE(page.type(IDC_BAUD, u"57600"));
        sheet.press(SheetButton::Ok);
    }));
    CHvUVcpUserModeInterface after;
    driver_settings(after);
    EXPECT_EQ(57600u, after.m_ulBaudrate);
    EXPECT_EQ(8u, after.m_ulFlowControl);
    EXPECT_EQ(u"57600,n,8,1", ports_entry(name_));
}

TEST_F(PortSettingsPageTest, TipsAndHelpAreAskedOfTheRightTexts) {
    run_page([&](Sheet& sheet, Dialog& page) {
        struct Case {
            int id;
            UINT text;
        };
        for (const Case& c : {Case{IDC_BAUD, IDS_TIP_BAUD}, Case{IDC_PARITY_LABEL, IDS_TIP_PARITY},
                              Case{IDC_DSR_LABEL, IDS_TIP_DSR_TRUE}, Case{IDC_OVERRIDE_FLOW, IDS_TIP_OVERRIDE_FLOW},
                              Case{IDC_ADVANCED, IDS_TIP_ADVANCED},
                              Case{IDC_RESTORE_DEFAULTS, IDS_TIP_RESTORE_DEFAULTS}}) {
            auto tip = page.tip(c.id);
            ASSERT_TRUE(tip) << c.id;
            EXPECT_EQ(u"Information:", tip->title) << c.id;
            EXPECT_EQ(TTI_INFO, tip->icon) << c.id;
            EXPECT_EQ(HvLoadString(c.text), tip->text) << c.id;
        }
        EXPECT_TRUE(page.click(IDC_HELP_LINK));
        EXPECT_TRUE(page.help(IDC_FLOW));
        EXPECT_TRUE(page.help(IDC_HELP_LABEL)); // no table entry: no popup
        sheet.press(SheetButton::Cancel);
    });
    auto calls = hvsim::ui::help_calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(u"HvUUI23.chm::/StdPage.htm>mainwin", calls[0].file);
    EXPECT_EQ(UINT(HH_DISPLAY_TOPIC), calls[0].command);
    EXPECT_EQ(u"HvUUI23.chm::/HvUUI.txt", calls[1].file);
    EXPECT_EQ(UINT(HH_TP_HELP_WM_HELP), calls[1].command);
    ASSERT_FALSE(calls[1].ids.empty());
    EXPECT_EQ((std::pair<DWORD, DWORD>(IDC_BAUD, 0x806B0349)), calls[1].ids.front());
}

} // namespace
