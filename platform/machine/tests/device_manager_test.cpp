// Device Manager in the machine: a Ports device installed from a test INF whose driver key names
// the test provider (HvTestPages.dll) and whose co-installer is the same library.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <hvsim/device_manager.h>
#include <hvsim/sched.h>
#include <hvsim/user_hooks.h>

#include <fstream>
#include <sstream>

#include "support/command.h"
#include "support/folder_test.h"
#include "support/test_inf.h"

namespace {

namespace fs = std::filesystem;
using hvsim::DeviceProperties;
using hvsim::ui::SheetButton;

constexpr int kEdit = 300, kNeedsRestart = 301, kChange = 302, kLevel = 303, kChoice = 304, kAdvanced = 305,
              kNestedEdit = 310;

const std::string kInf = hvtest::inf::head("A serial port for the Device Manager tests", hvtest::inf::kPortsClass,
                                           hvtest::inf::kPortsClassGuid) +
                         R"([Models.NTamd64]
%Desc%=Port, ROOT\HVDMTEST

[DestinationDirs]
DefaultDestDir=12
Pages.Copy=11

[SourceDisksNames]
1=%Disk%,,,

[SourceDisksFiles]
HvE2E.sys=1
HvTestPages.dll=1

[Port.NTamd64]
CopyFiles=Driver.Copy
AddReg=Port.DrvReg

[Port.NTamd64.Services]
AddService=HvE2E,0x00000002,Port.Service

[Port.NTamd64.CoInstallers]
CopyFiles=Pages.Copy
AddReg=Port.CoReg

[Driver.Copy]
HvE2E.sys

[Pages.Copy]
HvTestPages.dll

[Port.DrvReg]
HKR,,EnumPropPages32,,"HvTestPages.dll,HvTestPropPages"

[Port.CoReg]
HKR,,CoInstallers32,0x00010000,"HvTestPages.dll,HvTestPageCoInstaller"

)" + hvtest::inf::service("Port.Service", "Desc", "HvE2E.sys") +
                         R"([Strings]
Prov="Test Maker"
Desc="Test Serial Port"
Disk="Test disk"
)";

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }
std::string narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

class DeviceManagerTest : public hvtest::FolderTest {
protected:
    void SetUp() override {
        hvsim::MachineOptions options;
        options.root = machine_root();
        options.clock = hvsim::ClockMode::Virtual;
        machine_ = std::make_unique<hvsim::Machine>(options);
        machine_->add_driver(u"HvE2E", HV_TEST_DRIVER);
        const fs::path package = folder_.path() / "package";
        fs::create_directories(package);
        fs::copy_file(HV_TEST_DRIVER, package / "HvE2E.sys");
        fs::copy_file(HV_TEST_PAGES, package / "HvTestPages.dll");
        std::ofstream(package / "hvdmtest.inf", std::ios::binary) << kInf;
        instance_ = machine_->add_root_device(u"ROOT\\HVDMTEST", u"HvE2E");
        BOOL reboot = FALSE;
        ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(
            nullptr, u"ROOT\\HVDMTEST", wide((package / "hvdmtest.inf").string()).c_str(), INSTALLFLAG_FORCE, &reboot))
            << hvsim::user::last_installation_error();
        port_ = text(u"SYSTEM\\CurrentControlSet\\Enum\\" + instance_ + u"\\Device Parameters", u"PortName");
        ASSERT_FALSE(port_.empty());
        libraries_ = hvsim::user::loaded_libraries();
        hvsim::ui::reset_modal_loops();
        hvsim::user::reset_message_boxes();
    }
    void TearDown() override {
        EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
        EXPECT_EQ(0u, hvsim::user::open_device_info_sets());
        EXPECT_EQ(libraries_, hvsim::user::loaded_libraries());
        machine_->shutdown();
        hvtest::FolderTest::TearDown();
    }

    static std::u16string text(const std::u16string& key_path, const char16_t* name) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
        WCHAR value[256] = {};
        DWORD size = sizeof value - 2, type = 0;
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        return value;
    }
    static std::u16string recorded(const char16_t* name) { return text(u"SOFTWARE\\HvTestPages", name); }
    static DWORD counted(const char16_t* name) {
        HKEY key;
        DWORD value = 0, size = sizeof value;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvTestPages", 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        return value;
    }
    static void set_count(const char16_t* name, DWORD value) {
        HKEY key;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvTestPages", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }
    std::u16string friendly_name() const { return u"Test Serial Port (" + port_ + u")"; }

    std::unique_ptr<hvsim::Machine> machine_;
    std::u16string instance_, port_;
    size_t libraries_ = 0;
};

TEST_F(DeviceManagerTest, TheSheetShowsGeneralThenTheInstallersAndTheProvidersPages) {
    DeviceProperties properties(*machine_, port_);
    EXPECT_EQ(properties.instance_id(), instance_);
    auto sheet = properties.sheet();
    EXPECT_EQ(sheet.text(), friendly_name() + u" Properties");
    EXPECT_EQ(sheet.page_titles(),
              (std::vector<std::u16string>{u"General", u"Co-installer Page", u"Test Page 1", u"Test Page 2"}));
    EXPECT_EQ(sheet.page_index(), 0);
    auto general = sheet.page();
    EXPECT_EQ(general.text(hvsim::kGeneralDescription), friendly_name());
    EXPECT_EQ(general.text(hvsim::kGeneralManufacturer), u"Test Maker");
    EXPECT_EQ(general.text(hvsim::kGeneralStatus), u"This device is working properly.");
    EXPECT_FALSE(general.text(hvsim::kGeneralType).empty());
    // The provider was asked for the advanced pages of this device, with the request's own size.
    EXPECT_EQ(recorded(u"Request"), u"24 3 " + instance_);
    // The library stays loaded, as provider and as co-installer, for as long as its pages may call it.
    EXPECT_EQ(hvsim::user::loaded_libraries(), libraries_ + 2);
    EXPECT_EQ(counted(u"Released"), 0u);
    EXPECT_TRUE(sheet.press(SheetButton::Cancel));
    ASSERT_TRUE(properties.wait());
    const auto outcome = properties.outcome();
    EXPECT_EQ(outcome.sheet_result, 0);
    EXPECT_FALSE(outcome.properties_changed || outcome.restarted || outcome.need_restart || outcome.device_removed);
    EXPECT_EQ(counted(u"Released"), 3u); // every page of the library, released before it went
    EXPECT_EQ(counted(u"PropertyChanges"), 0u);
}

TEST_F(DeviceManagerTest, WhatThePagesChangedDecidesTheRestart) {
    struct Case {
        const char* name;
        bool change, needs_restart, ok;
        bool changed, restarted, need_restart;
    } const cases[] = {
        {"nothing changed", false, false, true, false, false, false},
        {"a property changed", true, false, true, true, true, false},
        {"changed, then cancelled", true, false, false, true, true, false},
        {"a setting needs the machine restarted", false, true, true, false, false, true},
    };
    DWORD restarts = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceProperties properties(*machine_, instance_);
        auto sheet = properties.sheet();
        ASSERT_TRUE(sheet.select_page(u"Test Page 1"));
        auto page = sheet.page();
        EXPECT_TRUE(page.type(kEdit, u"typed"));
        if (c.change) {
            EXPECT_TRUE(page.click(kChange));
        }
        if (c.needs_restart) {
            EXPECT_TRUE(page.click(kNeedsRestart));
        }
        EXPECT_TRUE(sheet.press(c.ok ? SheetButton::Ok : SheetButton::Cancel));
        ASSERT_TRUE(properties.wait());
        const auto outcome = properties.outcome();
        EXPECT_EQ(outcome.sheet_result, c.ok ? 1 : 0);
        EXPECT_EQ(outcome.properties_changed, c.changed);
        EXPECT_EQ(outcome.restarted, c.restarted);
        EXPECT_EQ(outcome.need_restart, c.need_restart);
        restarts += c.restarted;
        EXPECT_EQ(counted(u"PropertyChanges"), restarts);
        EXPECT_EQ(hvsim::device_status_text(instance_), u"This device is working properly.");
    }
    EXPECT_EQ(recorded(u"Applied"), u"typed");
}

// A state change of the device while its sheet and the sheet a page opened are up: only its
// removal closes them.
TEST_F(DeviceManagerTest, RemovingTheDeviceCancelsItsSheetAndTheSheetItOpened) {
    auto change_state = [this](DWORD state) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        SP_PROPCHANGE_PARAMS params{};
        params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        params.StateChange = state;
        params.Scope = DICS_FLAG_GLOBAL;
        bool done = SetupDiOpenDeviceInfoW(set, instance_.c_str(), nullptr, 0, &data) &&
                    (state ? SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params) &&
                                 SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data)
                           : SetupDiRemoveDevice(set, &data));
        SetupDiDestroyDeviceInfoList(set);
        return done;
    };
    struct Case {
        const char* name;
        DWORD state; // 0: removed (uninstalled)
        const char16_t* status;
        bool cancels;
    } const cases[] = {
        {"disabled", DICS_DISABLE, u"This device is disabled. (Code 22)", false},
        {"enabled again", DICS_ENABLE, u"This device is working properly.", false},
        {"restarted", DICS_PROPCHANGE, u"This device is working properly.", false},
        {"removed", 0, u"This device is not started.", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceProperties properties(*machine_, instance_);
        auto sheet = properties.sheet();
        ASSERT_TRUE(sheet.select_page(u"Test Page 2"));
        // The page's nested sheet is left open to be driven from outside.
        hvsim::ui::script_modal_visitors({[](HWND) {}});
        const HWND page = sheet.page_window();
        std::thread user = hvsim::sched::start_thread("user", [page] { hvsim::ui::Dialog(page).click(kAdvanced); });
        ASSERT_TRUE(
            hvsim::ui::wait_until([&] { return hvsim::ui::find_sheet(u"Test Advanced", properties.process_id()); }));
        ASSERT_TRUE(change_state(c.state));
        EXPECT_EQ(hvsim::device_status_text(instance_), c.status);
        // A second of the machine's time: the Device Manager has looked often enough.
        EXPECT_EQ(properties.wait(10'000'000), c.cancels);
        if (!c.cancels) {
            auto nested = hvsim::ui::Sheet(hvsim::ui::find_sheet(u"Test Advanced", properties.process_id()));
            EXPECT_TRUE(nested.press(SheetButton::Cancel));
            hvsim::sched::join(user);
            ASSERT_TRUE(sheet.page().click(kChange));
            EXPECT_TRUE(sheet.press(SheetButton::Ok));
            ASSERT_TRUE(properties.wait());
        } else {
            hvsim::sched::join(user);
        }
        const auto outcome = properties.outcome();
        EXPECT_EQ(outcome.device_removed, c.cancels);
        EXPECT_EQ(outcome.sheet_result, c.cancels ? 0 : 1);
        // Nothing is left to restart once the device has gone.
        EXPECT_EQ(outcome.restarted, !c.cancels);
        EXPECT_TRUE(hvsim::ui::top_level_windows(properties.process_id()).empty());
    }
    EXPECT_EQ(recorded(u"AdvancedApplied"), u"");
}

TEST_F(DeviceManagerTest, UnpluggingADeviceWithoutADriverCancelsItsSheet) {
    const std::string usb = machine_->plug("ftdi:interfaces=1");
    std::u16string adapter;
    for (const auto& device : machine_->usb_devices())
        if (device.id == usb) adapter = device.instance_id;
    DeviceProperties properties(*machine_, adapter);
    EXPECT_EQ(properties.sheet().page_titles(), std::vector<std::u16string>{u"General"});
    EXPECT_EQ(properties.sheet().page().text(hvsim::kGeneralStatus),
              u"The drivers for this device are not installed. (Code 28)");
    machine_->unplug(usb);
    ASSERT_TRUE(properties.wait());
    EXPECT_TRUE(properties.outcome().device_removed);
    EXPECT_EQ(properties.outcome().sheet_result, 0);
    EXPECT_EQ(hvsim::device_status_text(adapter),
              u"Currently, this hardware device is not connected to the computer. (Code 45)");
}

// The provider and the installers, asked directly with page lists of several sizes.
TEST_F(DeviceManagerTest, PagesThatDoNotFitAreRefusedAndFreed) {
    struct Case {
        const char* name;
        DWORD type, list_size, preset;
        BOOL result;
        DWORD error, added, required, refused, kind;
    } const cases[] = {
        {"room for all", DIGCDP_FLAG_ADVANCED, 10, 0, TRUE, NO_ERROR, 3, 3, 0, 3},
        {"the last page refused", DIGCDP_FLAG_ADVANCED, 2, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, 2, 3, 1, 3},
        {"a full list", DIGCDP_FLAG_ADVANCED, 1, 1, FALSE, ERROR_INSUFFICIENT_BUFFER, 0, 4, 2, 3},
        {"basic pages", DIGCDP_FLAG_BASIC, 10, 0, TRUE, NO_ERROR, 0, 0, 0, 2},
        {"a remote machine", DIGCDP_FLAG_REMOTE_ADVANCED, 10, 0, FALSE, ERROR_INVALID_FLAGS, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_count(u"Released", 0);
        set_count(u"Refused", 0);
        HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, instance_.c_str(), nullptr, 0, &data));
        std::vector<HPROPSHEETPAGE> pages(c.list_size);
        PROPSHEETHEADERW header{};
        header.dwSize = sizeof header;
        header.phpage = pages.data();
        header.nPages = c.preset;
        DWORD required = 0;
        EXPECT_EQ(SetupDiGetClassDevPropertySheetsW(set, &data, &header, c.list_size, &required, c.type), c.result);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(header.nPages, c.preset + c.added);
        if (c.error != ERROR_INVALID_FLAGS) {
            EXPECT_EQ(required, c.required);
        }
        EXPECT_EQ(counted(u"Refused"), c.refused);
        // What did not fit is already freed; the caller frees the rest.
        const DWORD freed_already = counted(u"Released");
        for (DWORD i = c.preset; i < header.nPages; ++i) EXPECT_TRUE(DestroyPropertySheetPage(pages[i]));
        EXPECT_EQ(counted(u"Released"), freed_already + c.added);
        if (c.kind) {
            EXPECT_EQ(recorded(u"Request"), u"24 " + wide(std::to_string(c.kind)) + u" " + instance_);
        }
        EXPECT_EQ(hvsim::user::loaded_libraries(), libraries_ + (c.kind ? 2 : 0));
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        EXPECT_EQ(hvsim::user::loaded_libraries(), libraries_);
    }
    // Bad requests are refused before any installer or provider runs.
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA good{};
    good.cbSize = sizeof good;
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, instance_.c_str(), nullptr, 0, &good));
    SP_DEVINFO_DATA short_data = good;
    short_data.cbSize = 8;
    SP_DEVINFO_DATA stranger = good;
    stranger.Reserved = 7; // no element of the set
    HPROPSHEETPAGE one[1];
    struct Bad {
        const char* name;
        PSP_DEVINFO_DATA data;
        DWORD size, flags, pages, list_size;
        HPROPSHEETPAGE* list;
        bool no_header;
        DWORD error;
    } const bad[] = {
        {"advanced pages of no device", nullptr, sizeof(PROPSHEETHEADERW), 0, 0, 1, one, false,
         ERROR_INVALID_PARAMETER},
        {"a short device data", &short_data, sizeof(PROPSHEETHEADERW), 0, 0, 1, one, false, ERROR_INVALID_USER_BUFFER},
        {"a device not in the set", &stranger, sizeof(PROPSHEETHEADERW), 0, 0, 1, one, false, ERROR_INVALID_PARAMETER},
        {"no header", &good, 0, 0, 0, 1, one, true, ERROR_INVALID_PARAMETER},
        {"a short header", &good, 40, 0, 0, 1, one, false, ERROR_INVALID_PARAMETER},
        {"page descriptions", &good, sizeof(PROPSHEETHEADERW), PSH_PROPSHEETPAGE, 0, 1, one, false,
         ERROR_INVALID_FLAGS},
        {"more pages than the list", &good, sizeof(PROPSHEETHEADERW), 0, 2, 1, one, false, ERROR_INVALID_USER_BUFFER},
        {"a list that is not there", &good, sizeof(PROPSHEETHEADERW), 0, 0, 4, nullptr, false,
         ERROR_INVALID_USER_BUFFER},
    };
    set_count(u"Released", 0);
    set_count(u"Refused", 0);
    for (const auto& b : bad) {
        SCOPED_TRACE(b.name);
        PROPSHEETHEADERW header{};
        header.dwSize = b.size;
        header.dwFlags = b.flags;
        header.nPages = b.pages;
        header.phpage = b.list;
        EXPECT_FALSE(SetupDiGetClassDevPropertySheetsW(set, b.data, b.no_header ? nullptr : &header, b.list_size,
                                                       nullptr, DIGCDP_FLAG_ADVANCED));
        EXPECT_EQ(GetLastError(), b.error);
    }
    EXPECT_EQ(counted(u"Released") + counted(u"Refused"), 0u);
    EXPECT_EQ(hvsim::user::loaded_libraries(), libraries_);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.phpage = one;
    EXPECT_FALSE(SetupDiGetClassDevPropertySheetsW(set, &good, &header, 1, nullptr, DIGCDP_FLAG_ADVANCED));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

// What the device's driver key and its class key name as the provider, as Windows reads them:
// the device's own provider first, the class's for a device that names none.
TEST_F(DeviceManagerTest, TheProviderIsTheOneTheDeviceOrItsClassNames) {
    // Through SetupAPI, as an installer writes them.
    static constexpr GUID kPorts = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, instance_.c_str(), nullptr, 0, &data));
    auto set_provider = [](HKEY key, const char16_t* spec) {
        ASSERT_NE(key, static_cast<HKEY>(INVALID_HANDLE_VALUE));
        if (spec)
            RegSetValueExW(key, u"EnumPropPages32", 0, REG_SZ, reinterpret_cast<const BYTE*>(spec),
                           DWORD((std::char_traits<char16_t>::length(spec) + 1) * 2));
        else
            RegDeleteValueW(key, u"EnumPropPages32");
        RegCloseKey(key);
    };
    auto driver_key = [&] { return SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS); };
    auto class_key = [&] { return SetupDiOpenClassRegKey(&kPorts, KEY_ALL_ACCESS); };
    const std::vector<std::u16string> without{u"General", u"Co-installer Page"};
    const std::vector<std::u16string> with{u"General", u"Co-installer Page", u"Test Page 1", u"Test Page 2"};
    struct Case {
        const char* name;
        const char16_t* device;
        const char16_t* klass;
        bool provided;
    } const cases[] = {
        {"the device's, written loosely", u" HvTestPages.dll , HvTestPropPages ", nullptr, true},
        {"a library that is not there", u"NoSuchPages.dll,HvTestPropPages", nullptr, false},
        {"an entry the library lacks", u"HvTestPages.dll,NoSuchEntry", nullptr, false},
        {"the default entry, which it lacks", u"HvTestPages.dll", nullptr, false},
        {"the class's, for a device that names none", nullptr, u"HvTestPages.dll,HvTestPropPages", true},
        {"the device's own, over the class's", u"NoSuchPages.dll,X", u"HvTestPages.dll,HvTestPropPages", false},
        {"neither", nullptr, nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_provider(driver_key(), c.device);
        set_provider(class_key(), c.klass);
        DeviceProperties properties(*machine_, port_);
        EXPECT_EQ(properties.sheet().page_titles(), c.provided ? with : without);
        EXPECT_TRUE(properties.sheet().press(SheetButton::Cancel));
        ASSERT_TRUE(properties.wait());
    }
    set_provider(class_key(), nullptr);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DeviceManagerTest, ADeviceWithoutProvidersHasItsGeneralPageAloneAndAnUnknownOneNoSheet) {
    const std::u16string plain = machine_->add_root_device(u"ROOT\\HVE2E", u"HvE2E");
    {
        DeviceProperties properties(*machine_, plain);
        EXPECT_EQ(properties.sheet().page_titles(), std::vector<std::u16string>{u"General"});
        EXPECT_EQ(properties.sheet().page().text(hvsim::kGeneralStatus), u"This device is working properly.");
        EXPECT_EQ(properties.sheet().page().text(hvsim::kGeneralManufacturer), u"Unknown");
    } // closed by going away: cancelled
    for (const char16_t* unknown : {u"COM99", u"ROOT\\NOSUCH\\0000", u""}) {
        try {
            DeviceProperties properties(*machine_, unknown);
            ADD_FAILURE() << "a sheet for " << narrow(unknown);
        } catch (const hvsim::MachineError& e) {
            EXPECT_NE(std::string(e.what()).find("no device '" + narrow(unknown) + "'"), std::string::npos) << e.what();
        }
    }
}

TEST_F(DeviceManagerTest, PropertyStepsDriveTheSheetAndItsNestedSheet) {
    std::ostringstream out;
    EXPECT_TRUE(hvsim::run_property_steps(*machine_, port_,
                                          {"page:Test Page 1", "type:300=typed", "select:304=two", "slide:303=7",
                                           "check:301", "open:305", "type:310=deep", "ok", "click:302", "ok"},
                                          out));
    const std::string text = out.str();
    for (const std::string& expected :
         {"+- " + narrow(friendly_name()) + " Properties", std::string("> select:304=two"),
          std::string("Test Advanced"), std::string("303 trackbar \"\" pos=7"),
          std::string("The sheet was closed with OK."),
          std::string("Its properties changed: the device was restarted."),
          std::string("The device needs a restart of the machine.")})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    EXPECT_EQ(recorded(u"Applied"), u"typed");
    EXPECT_EQ(recorded(u"AdvancedApplied"), u"deep");
}

TEST_F(DeviceManagerTest, PropertyStepsAnswerTheQuestionsThePagesAsk) {
    std::ostringstream out;
    EXPECT_TRUE(hvsim::run_property_steps(
        *machine_, port_, {"page:Test Page 1", "type:300=ask", "answer:no", "ok", "answer:yes", "ok"}, out));
    const std::string text = out.str();
    const size_t no = text.find("message box \"Test\": Apply the name? -> No");
    const size_t yes = text.find("message box \"Test\": Apply the name? -> Yes");
    ASSERT_NE(no, std::string::npos) << text;
    ASSERT_NE(yes, std::string::npos) << text;
    // Refused, the sheet stayed and was drawn again before the second OK.
    EXPECT_NE(text.find("Properties ---", no), std::string::npos);
    EXPECT_LT(no, yes);
    EXPECT_NE(text.find("The sheet was closed with OK."), std::string::npos);
    EXPECT_EQ(recorded(u"Applied"), u"ask");
    EXPECT_EQ(hvsim::user::unscripted_message_boxes(), 0u);
}

TEST_F(DeviceManagerTest, StepsThatCannotBeTakenAreSaid) {
    struct Case {
        std::vector<std::string> steps;
        bool taken;
        std::string said;
    } const cases[] = {
        {{"page:Test Page 1", "click:999"}, false, "step 'click:999' could not be taken: control 999 is missing"},
        {{"page:Nowhere"}, false, "no page 'Nowhere'"},
        {{"page:Test Page 1", "check:302"}, false, "control 302 is a button, not a check box"},
        {{"page:Test Page 1", "open:302"}, false, "step 'open:302' could not be taken: it opened no window"},
        {{"page:Test Page 1", "open:305", "type:310=x"}, true, "(Test Advanced is left open: Cancel)"},
        {{"page:General"}, true, "(the sheet is left open: Cancel)"},
        {{"bogus"}, false, "unknown step 'bogus'"},
        {{"slide:303"}, false, "step 'slide:303' is written slide:ID=VALUE"},
        {{"click:x"}, false, "'x' is not a number"},
        {{"answer:maybe"}, false, "the answer is yes, no, ok or cancel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps.back());
        std::ostringstream out;
        std::string said;
        bool taken = false;
        try {
            taken = hvsim::run_property_steps(*machine_, port_, c.steps, out);
            said = out.str();
        } catch (const hvsim::MachineError& e) {
            said = e.what();
        }
        EXPECT_EQ(taken, c.taken);
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
    EXPECT_EQ(recorded(u"AdvancedApplied"), u"");
}

// The command, on a machine folder of its own: a device without providers, and bad names.
TEST(PropertiesCommand, ShowsTheSheetOfADeviceAndRefusesAnUnknownOne) {
    hvtest::TemporaryFolder folder("hv-properties-command");
    const std::string hvsim = hvtest::shell_quote(HVSIM_EXECUTABLE) + " --root " +
                              hvtest::shell_quote((folder.path() / "machine").string()) + " ";
    ASSERT_EQ(
        hvtest::run_command(hvsim + "--clock virtual add-driver HvE2E " + hvtest::shell_quote(HV_TEST_DRIVER)).status,
        0);
    ASSERT_EQ(hvtest::run_command(hvsim + "add-root-device ROOT\\\\HVE2E HvE2E").status, 0);
    const auto shown = hvtest::run_command(hvsim + "properties 'ROOT\\HVE2E\\0000' ok");
    EXPECT_EQ(shown.status, 0) << shown.output;
    for (const char* expected :
         {"[*General]", "This device is working properly.", "> ok", "The sheet was closed with OK."})
        EXPECT_NE(shown.output.find(expected), std::string::npos) << expected << "\n" << shown.output;
    const auto unknown = hvtest::run_command(hvsim + "properties COM9");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.output.find("no device 'COM9'"), std::string::npos) << unknown.output;
    const auto help = hvtest::run_command(hvsim + "help properties");
    EXPECT_NE(help.output.find("open:ID"), std::string::npos) << help.output;
}

} // namespace
