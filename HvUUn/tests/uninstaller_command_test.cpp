// The uninstaller as a person runs it with hvsim: on a machine folder with the package installed
// and an adapter plugged, silent and unattended.
#include <gtest/gtest.h>

#include "../../tests/support/command.h"

namespace {

using hvtest::shell_quote;

TEST(UninstallerCommandTest, HvsimRunsTheSilentUninstallerUnattended) {
    hvtest::TemporaryFolder root("hvuun-command");
    auto hvsim = [&](const std::string& arguments) {
        return hvtest::run_command(shell_quote(HV_UUN_HVSIM) + " --root " + shell_quote(root.path().string()) +
                                   " --clock virtual " + arguments);
    };
    ASSERT_EQ(0, hvsim("install-package " + shell_quote(HV_UUN_PACKAGE_DIR)).status);
    ASSERT_EQ(0, hvsim("plug ftdi:interfaces=2,wire=loopback").status);
    const std::string program = shell_quote("C:\\Windows\\System32\\HvUUn23.exe");

    // Nobody answers the wizard, which is cancelled as a person closing it would: nothing goes.
    auto run = hvsim("run " + program + " /s");
    EXPECT_EQ(1, run.status) << run.output;
    auto ports = hvsim("ports");
    EXPECT_NE(std::string::npos, ports.output.find("COM2: Halvorn USB Serial Port (COM2)")) << ports.output;

    run = hvsim("run --unattended " + program + " /s");
    EXPECT_EQ(0, run.status) << run.output;
    ports = hvsim("ports");
    EXPECT_NE(std::string::npos, ports.output.find("COM ports: (none)")) << ports.output;
    const auto devices = hvsim("devices");
    EXPECT_NE(std::string::npos, devices.output.find("problem: 28 (driver not installed)")) << devices.output;
}

} // namespace
