// The card and GPIO co-installers on a machine: a test card with three ports keeps each port's
// name and settings across its reinstallation, its removal starts the uninstaller the card key
// names, and removing function 0 of a two-function card removes function 1 too.
#include "port_machine_fixture.h"

#include <devguid.h>

#include <hvsim/programs.h>

#include <fstream>

#include "card_machine.h"
#include "support/test_inf.h"

#include "CoInstallCard.h"
#include "CoInstallGpio.h"
#include "CoInstallPort.h"
#include "PortUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kCoCardInf = hvtest::inf::head("The tests' cards with the package's card and GPIO co-installers",
                                                 hvtest::inf::kTestCardClass, hvtest::inf::kTestCardClassGuid) +
                               R"([Models.NTamd64]
%Card%=Card, ROOT\HVTESTCOCARD
%Gpio%=Gpio, ROOT\HVTESTGPIO

[DestinationDirs]
DefaultDestDir = 12
Co.Copy = 11

[Bus.Copy]
hvtestbus.sys

[Func.Copy]
hvtestfunc.sys

[Co.Copy]
HvUUI23.dll

[Card.NT]
CopyFiles=Bus.Copy

[Card.NT.HW]
AddReg=Card.Reg

[Card.NT.Services]
AddService = HvTestBus, 0x00000002, Bus.Service

[Card.NT.CoInstallers]
CopyFiles=Co.Copy
AddReg=Card.CoReg

[Card.Reg]
HKR,,Children,0x00010001,3
HKR,,UnInstall,,"HvUUn23.exe"

[Card.CoReg]
HKR,,CoInstallers32,0x00010000,"HvUUI23.dll,HvUCoInstallCard"

[Gpio.NT]
CopyFiles=Func.Copy

[Gpio.NT.Services]
AddService = HvTestFunc, 0x00000002, Func.Service

[Gpio.NT.CoInstallers]
CopyFiles=Co.Copy
AddReg=Gpio.CoReg

[Gpio.CoReg]
HKR,,CoInstallers32,0x00010000,"HvUUI23.dll,HvUCoInstallGpio"

)" + hvtest::inf::service("Bus.Service", "Card", "hvtestbus.sys") +
                               hvtest::inf::service("Func.Service", "Gpio", "hvtestfunc.sys") + R"([Strings]
Prov = "Test Maker"
Card = "Test card with an uninstaller"
Gpio = "Test GPIO function"
)";

// The multiport-serial function of the two-function card; it shares the GPIO co-installer, so
// its own removal meets the guard of the removal that started it.
const std::string kSerialFunctionInf = hvtest::inf::head("The tests' multiport-serial function", "MultiPortSerial",
                                                         "{50906CB8-BA12-11D1-BF5D-0000F805F530}") +
                                       R"([Models.NTamd64]
%Serial%=Serial, ROOT\HVTESTMPS

[DestinationDirs]
DefaultDestDir = 12
Co.Copy = 11

[Func.Copy]
hvtestfunc.sys

[Co.Copy]
HvUUI23.dll

[Serial.NT]
CopyFiles=Func.Copy

[Serial.NT.Services]
AddService = HvTestFunc, 0x00000002, Func.Service

[Serial.NT.CoInstallers]
CopyFiles=Co.Copy
AddReg=Serial.CoReg

[Serial.CoReg]
HKR,,CoInstallers32,0x00010000,"HvUUI23.dll,HvUCoInstallGpio"

)" + hvtest::inf::service("Func.Service", "Serial", "hvtestfunc.sys") +
                                       R"([Strings]
Prov = "Test Maker"
Serial = "Test multiport serial function"
)";

std::string narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

const WCHAR* const kRemovalGuard = u"{2E86B0F3-95A1-4c7d-B3F8-1D60E7A94C52}";

class CardCoInstallerTest : public PortMachineTest {
protected:
    void SetUp() override {
        PortMachineTest::SetUp();
        if (HasFatalFailure()) return;
        std::ofstream(package_ / "cocard.inf", std::ios::binary) << kCoCardInf;
        std::ofstream(package_ / "serial.inf", std::ios::binary) << kSerialFunctionInf;
    }

    // A new root device with the hardware ID, installed from the INF.
    std::u16string install_root_device(const std::u16string& hardware_id, const char* inf_name) {
        std::u16string device = card_test::add_root_device(hardware_id);
        install_again(hardware_id, inf_name);
        return device;
    }
    void install_again(const std::u16string& hardware_id, const char* inf_name) {
        EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, hardware_id.c_str(), inf(inf_name).c_str(), 0, nullptr))
            << std::hex << GetLastError() << " " << hvsim::user::last_installation_error();
        hvsim::user::wait_for_device_installations();
    }
    // Installed and running; a removed device has neither its node started nor its key.
    static bool present(const std::u16string& instance) {
        return card_test::started(instance) && key_exists(u"SYSTEM\\CurrentControlSet\\Enum\\" + instance);
    }
    static void set_location(const std::u16string& instance, const std::u16string& location) {
        OpenedDevice device(instance);
        ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(device.set, &device.data, SPDRP_LOCATION_INFORMATION,
                                                      (const BYTE*)location.c_str(),
                                                      DWORD((location.size() + 1) * sizeof(WCHAR))));
    }
    static BOOL remove(const std::u16string& instance) {
        OpenedDevice device(instance);
        return SetupDiCallClassInstaller(DIF_REMOVE, device.set, &device.data);
    }
    static void write(const std::u16string& instance, const std::u16string& subkey, const WCHAR* name, DWORD type,
                      const std::u16string& text, DWORD number = 0) {
        std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance + u"\\Device Parameters";
        if (!subkey.empty()) path += u"\\" + subkey;
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        if (type == REG_DWORD) RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof number);
        else RegSetValueExW(key, name, 0, type, (const BYTE*)text.c_str(), DWORD((text.size() + 1) * sizeof(WCHAR)));
        RegCloseKey(key);
    }
    static std::u16string save_key(const std::u16string& port) {
        return u"Device Parameters\\" + PortSaveKeyName(port);
    }
};

TEST_F(CardCoInstallerTest, AReinstalledCardBringsEachPortBackWithItsNameAndSettings) {
    const std::u16string card = install_root_device(u"ROOT\\HVTESTCOCARD", "cocard.inf");
    wait_for_ports(card);
    const auto ports = ports_of(card);
    ASSERT_EQ(3u, ports.size()) << machine_->device_tree_text();
    const std::u16string names[] = {u"COM5", u"COM6", u"COM7"};
    for (size_t i = 0; i < ports.size(); ++i) {
        rename(ports[i], names[i]);
        write(ports[i], u"", u"Baudrate", REG_DWORD, u"", DWORD(9600 * (i + 1)));
        write(ports[i], u"", u"SupportedBaudRates", REG_DWORD, u"", 0x1234);
        write(ports[i], u"", u"Description", REG_SZ, u"not a setting");
        // The second port has no settings saved through the driver's interface.
        if (i == 1) continue;
        write(ports[i], u"UI1", u"Latency", REG_DWORD, u"", DWORD(i + 2));
        write(ports[i], u"UI1", u"InterfaceType", REG_SZ, u"USB");
    }

    install_again(u"ROOT\\HVTESTCOCARD", "cocard.inf");
    for (size_t i = 0; i < ports.size(); ++i) {
        SCOPED_TRACE(narrow(ports[i]));
        const std::u16string saved = save_key(ports[i]);
        EXPECT_EQ(names[i], value(card, saved, u"PortName"));
        EXPECT_EQ(DWORD(9600 * (i + 1)), dword(card, saved, u"Baudrate"));
        EXPECT_EQ(0x1234u, dword(card, saved, u"SupportedBaudRates"));
        EXPECT_EQ(u"<none>", value(card, saved, u"Description"));
        EXPECT_EQ(i != 1, key_exists(u"SYSTEM\\CurrentControlSet\\Enum\\" + card + u"\\" + saved + u"\\UI1"));
    }

    // The ports are installed again and lose what they had; the saved settings bring it back.
    for (size_t i = 0; i < ports.size(); ++i) {
        rename(ports[i], ComNameOf(DWORD(20 + i)));
        write(ports[i], u"", u"Baudrate", REG_DWORD, u"", 300);
        write(ports[i], u"UI1", u"Latency", REG_DWORD, u"", 99);
    }
    install_port_driver_again();
    for (size_t i = 0; i < ports.size(); ++i) {
        SCOPED_TRACE(narrow(ports[i]));
        EXPECT_EQ(names[i], value(ports[i], u"Device Parameters", u"PortName"));
        EXPECT_EQ(names[i], serialcomm(dos_target(names[i])));
        EXPECT_EQ(DWORD(9600 * (i + 1)), dword(ports[i], u"Device Parameters", u"Baudrate"));
        EXPECT_EQ(i == 1 ? 99u : DWORD(i + 2), dword(ports[i], u"Device Parameters\\UI1", u"Latency"));
        EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Enum\\" + card + u"\\" + save_key(ports[i])));
        EXPECT_TRUE(card_test::started(ports[i]));
    }
}

// The card's removal starts the uninstaller in the system directory, without arguments and
// without waiting for it; a card whose uninstaller is missing is removed all the same.
TEST_F(CardCoInstallerTest, ARemovedCardStartsTheUninstallerItsKeyNames) {
    const fs::path program = machine_->system_directory() / "HvUUn23.exe";
    struct Case {
        const char* what;
        bool missing;
        const char16_t* uninstall; // replaces the INF's value
    } cases[] = {
        {"program there", false, nullptr},
        {"missing program", true, nullptr},
        {"a path instead of a name", false, u"..\\System32\\HvUUn23.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool missing = c.missing;
        if (!missing) fs::copy_file(HV_TEST_UNINSTALLER, program, fs::copy_options::overwrite_existing);
        else fs::remove(program);
        const std::u16string card = install_root_device(u"ROOT\\HVTESTCOCARD", "cocard.inf");
        wait_for_ports(card);
        const auto ports = ports_of(card);
        ASSERT_EQ(3u, ports.size());
        if (c.uninstall) write(card, u"", u"UnInstall", REG_SZ, c.uninstall);
        HANDLE ran = CreateEventW(nullptr, TRUE, FALSE, u"HvTestUninstallerRan");
        hvsim::user::reset_process_records();
        const size_t handles = hvsim::user::current_process()->handle_count();

        EXPECT_TRUE(remove(card)) << std::hex << GetLastError();
        // Both handles of the started program are closed again.
        EXPECT_EQ(handles, hvsim::user::current_process()->handle_count());
        auto started = hvsim::user::process_creations();
        ASSERT_EQ(c.uninstall ? 0u : 1u, started.size());
        if (!started.empty()) {
            EXPECT_EQ(u"C:\\Windows\\System32\\HvUUn23.exe", started[0].application_name);
            EXPECT_EQ(u"", started[0].command_line);
            EXPECT_EQ(DWORD(NORMAL_PRIORITY_CLASS), started[0].creation_flags);
            EXPECT_TRUE(started[0].inherit_handles);
            EXPECT_EQ(DWORD(sizeof(STARTUPINFOW)), started[0].startup_size);
            EXPECT_EQ(0u, started[0].startup_flags);
            if (missing) {
                EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), started[0].error);
            } else {
                EXPECT_EQ(DWORD(ERROR_SUCCESS), started[0].error);
                EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ran, 10000));
                // What the program itself was given.
                HKEY key;
                ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvUninstallTest", 0, KEY_READ, &key));
                WCHAR line[MAX_PATH] = {};
                DWORD size = sizeof line - 2, priority = 0, priority_size = sizeof priority;
                RegQueryValueExW(key, u"CommandLine", nullptr, nullptr, (BYTE*)line, &size);
                RegQueryValueExW(key, u"Priority", nullptr, nullptr, (BYTE*)&priority, &priority_size);
                RegCloseKey(key);
                EXPECT_EQ(u"C:\\Windows\\System32\\HvUUn23.exe", std::u16string(line));
                EXPECT_EQ(DWORD(NORMAL_PRIORITY_CLASS), priority);
            }
        }
        CloseHandle(ran);
        card_test::wait_quiet();
        EXPECT_FALSE(present(card));
        for (const auto& port : ports) EXPECT_FALSE(present(port));
        EXPECT_EQ(0u, card_test::debugger_lines_with("cannot be loaded"));
    }
}

// The GPIO function 0 and the multiport-serial function 1 of one card, and other
// multiport-serial devices that stand before the sibling in the list.
TEST_F(CardCoInstallerTest, RemovingFunctionZeroOfAGpioCardRemovesFunctionOne) {
    struct Case {
        const char* what;
        const char16_t* removed;   // location of the GPIO device removed
        bool guard_held_elsewhere; // another removal holds the guard
        bool sibling_removed;
    } cases[] = {
        {"function 0", u"PCI bus 3, device 0, function 0", false, true},
        {"function 1", u"PCI bus 3, device 0, function 1", false, false},
        {"another removal runs", u"PCI bus 3, device 0, function 0", true, false},
        {"no function in the location", u"PCI bus 3, device 0", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Devices the search passes over: one without a location, one with a location too long
        // for the search's buffer, one of another card.
        const std::u16string unreadable = install_root_device(u"ROOT\\HVTESTMPS", "serial.inf");
        const std::u16string tooLong = install_root_device(u"ROOT\\HVTESTMPS", "serial.inf");
        set_location(tooLong, u"PCI bus 3, device 0, function 1" + std::u16string(60, u' '));
        const std::u16string other = install_root_device(u"ROOT\\HVTESTMPS", "serial.inf");
        set_location(other, u"PCI bus 4, device 0, function 1");
        const std::u16string sibling = install_root_device(u"ROOT\\HVTESTMPS", "serial.inf");
        set_location(sibling, u"PCI bus 3, device 0, function 1");
        const std::u16string gpio = install_root_device(u"ROOT\\HVTESTGPIO", "cocard.inf");
        set_location(gpio, c.removed);
        HANDLE elsewhere = c.guard_held_elsewhere ? CreateMutexW(nullptr, FALSE, kRemovalGuard) : nullptr;

        EXPECT_TRUE(remove(gpio)) << std::hex << GetLastError();
        card_test::wait_quiet();
        EXPECT_FALSE(present(gpio));
        EXPECT_EQ(!c.sibling_removed, present(sibling));
        for (const auto& passed : {unreadable, tooLong, other}) EXPECT_TRUE(present(passed)) << narrow(passed);
        // The guard lives only as long as the removal that made it.
        if (elsewhere) CloseHandle(elsewhere);
        EXPECT_EQ(nullptr, OpenMutexW(SYNCHRONIZE, FALSE, kRemovalGuard));
        for (const auto& device : {unreadable, tooLong, other, sibling})
            if (present(device)) {
                EXPECT_TRUE(remove(device));
            }
    }
}

// Both entry points answer the co-installer contract alike; only their removals differ.
TEST_F(CardCoInstallerTest, BothEntryPointsAnswerThePassesAndRefuseUpdatesOfMarkedDevices) {
    const std::u16string device = install_root_device(u"ROOT\\HVTESTGPIO", "cocard.inf");
    struct Entry {
        const char* name;
        PCOINSTALLER_ROUTINE routine;
    } entries[] = {{"card", HvUCoInstallCard}, {"GPIO", HvUCoInstallGpio}};
    struct Case {
        DI_FUNCTION function;
        BOOL post;
        DWORD installResult;
        const char16_t* noUpgrade; // nullptr: no such value
        DWORD expected;
        size_t boxes;
    } cases[] = {
        {DIF_INSTALLDEVICE, FALSE, NO_ERROR, nullptr, DWORD(ERROR_DI_POSTPROCESSING_REQUIRED), 0},
        {DIF_INSTALLDEVICE, TRUE, NO_ERROR, nullptr, NO_ERROR, 0},
        {DIF_INSTALLDEVICE, TRUE, ERROR_INVALID_DATA, nullptr, ERROR_INVALID_DATA, 0},
        {DIF_UPDATEDRIVER_UI, FALSE, NO_ERROR, u"1", DWORD(ERROR_DI_DONT_INSTALL), 1},
        {DIF_UPDATEDRIVER_UI, FALSE, NO_ERROR, u"0", NO_ERROR, 0},
        {DIF_UPDATEDRIVER_UI, FALSE, NO_ERROR, nullptr, NO_ERROR, 0},
        {DIF_PROPERTYCHANGE, FALSE, NO_ERROR, u"1", NO_ERROR, 0},
    };
    for (const auto& entry : entries)
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(entry.name) + " " + std::to_string(c.function) + (c.post ? " post" : " pre"));
            OpenedDevice opened(device);
            CHVDeviceRegInfo info(opened.set, opened.data);
            if (c.noUpgrade) {
                ASSERT_TRUE(info.m_SetDeviceValue(u"NoUpgrade", c.noUpgrade));
            } else {
                HKEY key = SetupDiOpenDevRegKey(opened.set, &opened.data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
                if (key != (HKEY)INVALID_HANDLE_VALUE) {
                    RegDeleteValueW(key, u"NoUpgrade");
                    RegCloseKey(key);
                }
            }
            hvsim::user::reset_message_boxes();
            COINSTALLER_CONTEXT_DATA context{};
            context.PostProcessing = c.post;
            context.InstallResult = c.installResult;
            EXPECT_EQ(c.expected, entry.routine(c.function, opened.set, &opened.data, &context));
            EXPECT_EQ(c.boxes, hvsim::user::message_box_transcript().size());
        }
    EXPECT_TRUE(present(device));
}

} // namespace
