// The machine's C++ API: its folder, services, root devices, programs and what persists.
#include <hvsim/format.h>
#include <hvsim/machine.h>
#include <hvsim/pnp.h>
#include <hvsim/registry.h>

#include <gtest/gtest.h>

#include <fstream>

#include "support/folder_test.h"

namespace {

using hvsim::Machine;
using hvsim::MachineError;
using hvsim::MachineOptions;

constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HvE2E";

class MachineTest : public hvtest::FolderTest {
protected:
    MachineOptions options(std::optional<hvsim::ClockMode> clock = hvsim::ClockMode::Virtual) const {
        MachineOptions o;
        o.root = root_;
        o.clock = clock;
        return o;
    }
    // A machine with the test driver installed and one device bound to it; returns the
    // device's instance ID.
    static std::u16string install_device(Machine& machine) {
        machine.add_driver(u"HvE2E", HV_TEST_DRIVER);
        return machine.add_root_device(u"ROOT\\HVE2E", u"HvE2E");
    }
    static std::u16string interface_path(const std::u16string& instance) {
        std::u16string mangled = instance;
        for (auto& c : mangled)
            if (c == u'\\') c = u'#';
        return u"\\\\?\\" + mangled + u"#{3c5e7b2a-9d41-4e6f-8a13-52b0c7d9e604}\\e2e";
    }

    const std::filesystem::path root_ = machine_root();
};

TEST_F(MachineTest, BootMakesTheFolderLayoutAndTheClockIsRemembered) {
    {
        Machine machine(options());
        EXPECT_EQ(machine.clock(), hvsim::ClockMode::Virtual);
        EXPECT_TRUE(std::filesystem::is_directory(root_ / "C/Windows/System32/drivers"));
        EXPECT_TRUE(std::filesystem::is_directory(root_ / "C/Windows/inf"));
        EXPECT_TRUE(std::filesystem::is_directory(root_ / "logs"));
        EXPECT_EQ(machine.drivers_directory(), root_ / "C/Windows/System32/drivers");
    }
    EXPECT_NE(hvtest::read_file(root_ / "machine.txt").find("clock = virtual\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(root_ / "registry.txt"));
    EXPECT_TRUE(std::filesystem::exists(root_ / "logs/debugger.log"));
    // Without a clock of its own the machine takes the saved one.
    Machine again(options(std::nullopt));
    EXPECT_EQ(again.clock(), hvsim::ClockMode::Virtual);
}

TEST_F(MachineTest, AMalformedMachineFileIsReportedAndKept) {
    std::filesystem::create_directories(root_);
    const std::string text = "# mine\nclock = sometimes\n";
    std::ofstream(root_ / "machine.txt") << text;
    try {
        Machine machine(options(std::nullopt));
        FAIL() << "booted";
    } catch (const MachineError& e) {
        EXPECT_NE(std::string(e.what()).find("machine.txt:2: clock must be real or virtual"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(hvtest::read_file(root_ / "machine.txt"), text);
    std::ofstream(root_ / "machine.txt") << "colour = blue\n";
    EXPECT_THROW(Machine machine(options(std::nullopt)), MachineError);
}

TEST_F(MachineTest, ACorruptRegistryStopsTheBootAndStaysForMending) {
    { Machine machine(options()); }
    std::ofstream(root_ / "registry.txt", std::ios::app) << "this is not a registry line\n";
    const std::string corrupt = hvtest::read_file(root_ / "registry.txt");
    try {
        Machine machine(options());
        FAIL() << "booted";
    } catch (const MachineError& e) {
        EXPECT_NE(std::string(e.what()).find("registry.txt"), std::string::npos) << e.what();
    }
    EXPECT_EQ(hvtest::read_file(root_ / "registry.txt"), corrupt);
    // The refused boot left no kernel behind: a mended file boots.
    std::filesystem::remove(root_ / "registry.txt");
    Machine machine(options());
    EXPECT_TRUE(machine.running());
}

TEST_F(MachineTest, AddDriverCopiesTheImageAndWritesAServiceKeyThatPersists) {
    {
        Machine machine(options());
        machine.add_driver(u"HvE2E", HV_TEST_DRIVER);
        EXPECT_TRUE(std::filesystem::exists(machine.drivers_directory() / "HvE2E.sys"));
        EXPECT_EQ(hvsim::registry::get_string(kServiceKey, u"ImagePath"),
                  std::u16string(u"\\SystemRoot\\System32\\drivers\\HvE2E.sys"));
        EXPECT_EQ(hvsim::registry::get_dword(kServiceKey, u"Type"), 1u);
        EXPECT_EQ(hvsim::registry::get_dword(kServiceKey, u"Start"), 3u);
        EXPECT_EQ(hvsim::registry::get_dword(kServiceKey, u"ErrorControl"), 1u);
        // Installing again replaces the image.
        machine.add_driver(u"HvE2E", HV_TEST_DRIVER);
    }
    Machine machine(options());
    EXPECT_EQ(hvsim::registry::get_dword(kServiceKey, u"Start"), 3u);
}

TEST_F(MachineTest, AddDriverRefusesWhatIsNoDriverImage) {
    Machine machine(options());
    const auto text_file = folder_.path() / "notes.txt";
    std::ofstream(text_file) << "hello";
    EXPECT_THROW(machine.add_driver(u"HvE2E", folder_.path() / "missing.sys"), MachineError);
    EXPECT_THROW(machine.add_driver(u"HvE2E", text_file), MachineError);
    EXPECT_THROW(machine.add_driver(u"", HV_TEST_DRIVER), MachineError);
    EXPECT_THROW(machine.add_driver(u"Bad\\Name", HV_TEST_DRIVER), MachineError);
    EXPECT_FALSE(hvsim::registry::key_exists(kServiceKey));
    EXPECT_TRUE(std::filesystem::is_empty(machine.drivers_directory()));
}

TEST_F(MachineTest, ARootDeviceStartsItsDriverNowAndAtEveryBoot) {
    std::u16string instance;
    {
        Machine machine(options());
        instance = install_device(machine);
        EXPECT_EQ(instance.rfind(u"ROOT\\", 0), 0u);
        auto node = hvsim::pnp::find_node(instance);
        ASSERT_NE(node, hvsim::pnp::no_node);
        EXPECT_EQ(hvsim::pnp::state_of(node), hvsim::pnp::NodeState::Started);
        const std::string tree = machine.device_tree_text();
        EXPECT_NE(tree.find(hvsim::text::to_utf8(instance) + "\n"), std::string::npos) << tree;
        EXPECT_NE(tree.find("hardware IDs: ROOT\\HVE2E"), std::string::npos) << tree;
        EXPECT_NE(tree.find("service: HvE2E"), std::string::npos) << tree;
        EXPECT_NE(tree.find("state: started"), std::string::npos) << tree;
        EXPECT_NE(tree.find("problem: 0"), std::string::npos) << tree;
    }
    // The driver's own log lines of that boot, up to its unload.
    const std::string log = hvtest::read_file(root_ / "logs/debugger.log");
    EXPECT_NE(log.find("HvE2E: start - 00000000"), std::string::npos) << log;
    EXPECT_NE(log.find("HvE2E: unload"), std::string::npos) << log;

    Machine machine(options());
    auto node = hvsim::pnp::find_node(instance);
    ASSERT_NE(node, hvsim::pnp::no_node);
    EXPECT_EQ(hvsim::pnp::state_of(node), hvsim::pnp::NodeState::Started);
}

TEST_F(MachineTest, ARootDeviceNeedsAnInstalledServiceAndAHardwareId) {
    Machine machine(options());
    EXPECT_THROW(machine.add_root_device(u"ROOT\\HVE2E", u"HvE2E"), MachineError);
    machine.add_driver(u"HvE2E", HV_TEST_DRIVER);
    EXPECT_THROW(machine.add_root_device(u"", u"HvE2E"), MachineError);
    EXPECT_THROW(machine.add_root_device(u"nobackslash", u"HvE2E"), MachineError);
}

TEST_F(MachineTest, AProgramRunsInItsOwnProcessAndTalksToTheDriver) {
    Machine machine(options());
    const std::u16string instance = install_device(machine);
    auto run = machine.run_program(HV_TEST_PROGRAM, {interface_path(instance), u"hi there"}, true);
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_NE(run.output.find("echo: hi there\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("all steps passed"), std::string::npos) << run.output;

    // argv[0] is the program's path on the machine.
    auto usage = machine.run_program(HV_TEST_PROGRAM, {}, true);
    EXPECT_EQ(usage.exit_code, 100u);
    EXPECT_EQ(usage.output, "usage: C:\\Windows\\System32\\e2e_program.exe INTERFACE-PATH MESSAGE\n");
}

TEST_F(MachineTest, RunRefusesWhatIsNoProgramImage) {
    Machine machine(options());
    EXPECT_THROW(machine.run_program(folder_.path() / "missing.exe", {}), MachineError);
    try {
        machine.run_program(HV_TEST_DRIVER, {});
        FAIL() << "ran a driver";
    } catch (const MachineError& e) {
        EXPECT_NE(std::string(e.what()).find("exports no wmain"), std::string::npos) << e.what();
    }
}

TEST(MachinePaths, CommandLinesQuoteSoThatTheRuntimeSplitsThemBack) {
    EXPECT_EQ(hvsim::join_command_line({u"a.exe", u"plain", u"two words", u""}), u"a.exe plain \"two words\" \"\"");
    EXPECT_EQ(hvsim::join_command_line({u"say \"hi\""}), u"\"say \\\"hi\\\"\"");
    EXPECT_EQ(hvsim::join_command_line({u"C:\\dir with space\\"}), u"\"C:\\dir with space\\\\\"");
    EXPECT_EQ(hvsim::join_command_line({u"C:\\no\\quote"}), u"C:\\no\\quote");
    EXPECT_EQ(hvsim::join_command_line({u"a\\\\\"b c"}), u"\"a\\\\\\\\\\\"b c\"");
}

TEST(MachinePaths, HostFilesHaveMachinePaths) {
    const std::filesystem::path root = "/tmp/some-machine";
    EXPECT_EQ(hvsim::machine_path_of(root, root / "C/Windows/System32/tool.exe"), u"C:\\Windows\\System32\\tool.exe");
    EXPECT_EQ(hvsim::machine_path_of(root, "/elsewhere/tool.exe"), u"C:\\Windows\\System32\\tool.exe");
}

} // namespace
