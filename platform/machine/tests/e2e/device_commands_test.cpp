// What a user sees and does with hvsim's device commands on a machine with the package and a
// two-port adapter: the state after the boot's installations, the COM ports, and the actions on
// one device named by its COM name or instance ID.
#include <hvsim/machine.h>
#include <hvsim/pnp.h>

#include <regex>
#include <string>

#include "support/folder_test.h"

namespace {

using hvtest::shell_quote;

class DeviceCommands : public hvtest::FolderTest {
protected:
    void SetUp() override {
        // Installed first: the adapter is then installed by the boot that finds it.
        const auto installed = hvsim("install-package " + shell_quote(HV_BUILT_PACKAGE_DIR));
        ASSERT_EQ(installed.status, 0) << installed.output;
        ASSERT_EQ(hvsim("plug ftdi:interfaces=2,wire=loopback").status, 0);
    }
    hvtest::CommandResult hvsim(const std::string& arguments) const {
        return run_hvsim(HVSIM_EXECUTABLE, "--clock virtual " + arguments);
    }
    // The instance ID on the "device:" line of a port in `hvsim ports`.
    std::string port_device(const std::string& com) const {
        const auto ports = hvsim("ports");
        std::smatch match;
        const std::regex line(com + R"(: [^\n]*\n    device: (\S+) )");
        EXPECT_TRUE(std::regex_search(ports.output, match, line)) << ports.output;
        return match.size() > 1 ? match[1].str() : "";
    }
};

TEST_F(DeviceCommands, DevicesAndPortsShowTheBootsInstallationsDone) {
    const auto devices = hvsim("devices");
    ASSERT_EQ(devices.status, 0);
    EXPECT_EQ(devices.output.find("problem: 28"), std::string::npos) << devices.output;
    for (const char* name : {"name: Halvorn USB Serial Port (COM1)", "name: Halvorn USB Serial Port (COM2)"})
        EXPECT_NE(devices.output.find(name), std::string::npos) << name << "\n" << devices.output;

    const auto ports = hvsim("ports");
    ASSERT_EQ(ports.status, 0);
    for (const char* line : {"COM1: Halvorn USB Serial Port (COM1)\n", "COM2: Halvorn USB Serial Port (COM2)\n",
                             "    adapter: usb1, interface 0 (ftdi:", "    adapter: usb1, interface 1 (ftdi:"})
        EXPECT_NE(ports.output.find(line), std::string::npos) << line << "\n" << ports.output;
    EXPECT_EQ(ports.output.find("cannot be opened"), std::string::npos) << ports.output;
}

TEST_F(DeviceCommands, DisableHoldsAcrossBootsUntilEnableAndRestartStartsAgain) {
    const std::string com2 = port_device("COM2");
    auto result = hvsim("disable COM2");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find(com2 + ": disabled"), std::string::npos) << result.output;
    // The next boot keeps it disabled; the other port runs.
    result = hvsim("status " + shell_quote(com2));
    EXPECT_NE(result.output.find("problem: 22 (disabled)"), std::string::npos) << result.output;
    result = hvsim("ports");
    EXPECT_NE(result.output.find("problem 22 (disabled), no \\\\.\\ link"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find(port_device("COM1") + " (started)"), std::string::npos) << result.output;

    result = hvsim("enable " + shell_quote(com2));
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("state: started"), std::string::npos) << result.output;
    result = hvsim("restart com1");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("restarted"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("state: started"), std::string::npos) << result.output;
    EXPECT_NE(hvsim("status COM2").output.find("state: started"), std::string::npos);
}

TEST_F(DeviceCommands, UnknownDevicesAreRefusedByName) {
    for (const char* name : {"COM9", "'USB\\VID_0000&PID_0000\\1'", "''"}) {
        for (const char* verb : {"status", "enable", "disable", "restart", "remove"}) {
            const auto result = hvsim(std::string(verb) + " " + name);
            EXPECT_EQ(result.status, 1) << verb << " " << name;
            EXPECT_NE(result.output.find("no device '"), std::string::npos) << result.output;
        }
    }
}

TEST_F(DeviceCommands, RemovedWhilePresentComesBackAtARescan) {
    hvsim::MachineOptions options;
    options.root = machine_root();
    options.clock = hvsim::ClockMode::Virtual;
    hvsim::Machine machine(options);
    const auto adapter = machine.usb_devices().at(0);
    const hvsim::pnp::DevInst node = hvsim::pnp::find_node(adapter.instance_id);
    ASSERT_FALSE(hvsim::pnp::remove_device(node).vetoed());
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(hvsim::pnp::find_node(adapter.interfaces.at(1)), hvsim::pnp::no_node);
    machine.rescan();
    for (const auto& instance : adapter.interfaces) {
        const hvsim::pnp::DevInst back = hvsim::pnp::find_node(instance);
        ASSERT_NE(back, hvsim::pnp::no_node);
        EXPECT_EQ(hvsim::pnp::state_of(back), hvsim::pnp::NodeState::Started);
        ASSERT_EQ(hvsim::pnp::children_of(back).size(), 1u);
        EXPECT_EQ(hvsim::pnp::state_of(hvsim::pnp::children_of(back)[0]), hvsim::pnp::NodeState::Started);
    }
}

} // namespace
