// The package's whole life in the machine as a user lives it: installed by the setup program
// from its medium, an adapter plugged and used, setup run again over it, the adapter unplugged
// and setup run once more, setup started from a folder without the package, and the package
// uninstalled.
#include "setup_machine.h"

#include <regstr.h>

#include <hvsim/format.h>
#include <hvsim/ui.h>

#include "card_machine.h"

#include <algorithm>

namespace {

using SetupLifeTest = SetupMachineTest;

std::vector<std::u16string> names(const std::vector<hvsim::ComPort>& ports) {
    std::vector<std::u16string> out;
    for (const auto& port : ports) out.push_back(port.name);
    return out;
}

DWORD config_flags(const std::u16string& instance) {
    const std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return 0;
    DWORD flags = 0, size = sizeof flags;
    RegQueryValueExW(key, u"ConfigFlags", nullptr, nullptr, reinterpret_cast<BYTE*>(&flags), &size);
    RegCloseKey(key);
    return flags;
}

TEST_F(SetupLifeTest, InstalledFromTheMediumUsedReplacedReinstalledAndRefusedFromTheWrongFolder) {
    // Installed silently from the medium: both INF files in the system.
    hvsim::ProgramRun run = run_setup({u"/s"});
    EXPECT_EQ(0u, run.exit_code) << run.output;
    EXPECT_TRUE(in_store("HVUBUS.INF"));
    EXPECT_TRUE(in_store("HVUSER.INF"));

    // A two-interface adapter: a COM port per interface, data through each.
    adapter_ = machine_->plug("ftdi:interfaces=2,wire=loopback");
    const auto first = ports_of_adapter();
    ASSERT_EQ((std::vector<std::u16string>{u"COM1", u"COM2"}), names(first)) << machine_->device_tree_text();
    for (size_t i = 0; i < first.size(); ++i) expect_data_moves(first[i], i);

    // Setup again with the adapter plugged: the adapter's devices and their COM numbers go,
    // the package is installed again, and the ports come back under the same names.
    hvsim::user::reset_comdb_hooks();
    run = run_setup({u"/s"});
    EXPECT_EQ(0u, run.exit_code) << run.output;
    auto released = released_numbers();
    std::sort(released.begin(), released.end());
    released.erase(std::unique(released.begin(), released.end()), released.end());
    EXPECT_EQ((std::vector<DWORD>{1, 2}), released);
    const auto second = ports_of_adapter();
    EXPECT_EQ(names(first), names(second)) << machine_->device_tree_text();
    for (size_t i = 0; i < second.size(); ++i) expect_data_moves(second[i], i);

    // Unplugged: setup leaves nothing of the absent adapter to come back as it was; plugged
    // again, it installs fresh.
    const std::u16string interface0 = machine_->usb_devices().front().interfaces.at(0);
    machine_->unplug(adapter_);
    run = run_setup({u"/s"});
    EXPECT_EQ(0u, run.exit_code) << run.output;
    const bool gone = !key_exists(u"SYSTEM\\CurrentControlSet\\Enum\\" + interface0);
    EXPECT_TRUE(gone || (config_flags(interface0) & CONFIGFLAG_REINSTALL)) << "absent and not marked";
    adapter_ = machine_->plug("ftdi:interfaces=2,wire=loopback");
    const auto third = ports_of_adapter();
    EXPECT_EQ(names(first), names(third)) << machine_->device_tree_text();
    for (size_t i = 0; i < third.size(); ++i) expect_data_moves(third[i], i);

    // From a medium without the INF files: refused, and nothing of the installation goes.
    const auto store = store_files();
    hvsim::user::reset_comdb_hooks();
    run = run_setup({u"/s"}, std::nullopt, medium_copy("no-infs", nullptr, "HVUBUS.INF"));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), run.exit_code);
    EXPECT_TRUE(released_numbers().empty());
    EXPECT_EQ(store, store_files());
    EXPECT_EQ(names(first), names(ports_of_adapter()));
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty()) << "a silent run shows no box";

    // The uninstaller the package installed, silent: after the restart, nothing of the product is
    // left and the adapter has no driver.
    const std::filesystem::path uninstaller = machine_->system_directory() / "HvUUn23.exe";
    ASSERT_TRUE(std::filesystem::exists(uninstaller));
    hvsim::ui::script_modal_visitors({[](HWND) {}});
    hvsim::RunOptions options;
    run = machine_->run_program("C:\\Windows\\System32\\HvUUn23.exe", {u"/s"}, options);
    EXPECT_EQ(0u, run.exit_code);
    machine_->restart();
    EXPECT_FALSE(in_store("HVUBUS.INF"));
    EXPECT_FALSE(in_store("HVUSER.INF"));
    for (const char* file : {"HvUUI23.dll", "HvCoIn23.dll", "HvUUn23.exe", "drivers/HvUBus.sys", "drivers/HvUVCP.sys"})
        EXPECT_FALSE(std::filesystem::exists(machine_->system_directory() / file)) << file;
    for (const WCHAR* service : {u"HvUsbSam", u"HvUVCP"})
        EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\" + std::u16string(service)));
    for (DWORD number : {1u, 2u}) EXPECT_FALSE(claimed(number)) << "COM" << number;
    // A plug is not kept over the restart: plugged again, it finds no driver.
    machine_->plug("ftdi:interfaces=2,wire=loopback");
    hvsim::user::wait_for_device_installations();
    ASSERT_EQ(1u, machine_->usb_devices().size());
    const hvsim::UsbDeviceInfo plugged = machine_->usb_devices().at(0);
    EXPECT_EQ(2u, plugged.interfaces.size());
    for (const auto& function : plugged.interfaces) {
        EXPECT_FALSE(card_test::started(function)) << hvsim::text::to_utf8(function);
        EXPECT_EQ(u"<none>", value(function, u"", u"Service")) << hvsim::text::to_utf8(function);
    }
    EXPECT_TRUE(ports_below(plugged.instance_id).empty());
}

} // namespace
