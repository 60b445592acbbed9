// End to end: a driver image and a program image built against the kit alone run under the
// kit's hvsim in a fresh machine folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/folder_test.h"

namespace {

using hvtest::read_file;
using hvtest::shell_quote;

class EndToEnd : public hvtest::FolderTest {
protected:
    hvtest::CommandResult hvsim(const std::string& arguments) const { return run_hvsim(HV_KIT_HVSIM, arguments); }
    const std::filesystem::path root_ = machine_root();
};

TEST_F(EndToEnd, AKitBuiltDriverServesAKitBuiltProgram) {
    hvtest::CommandResult installed = hvsim("--clock virtual add-driver HvE2E " + shell_quote(HV_E2E_DRIVER));
    ASSERT_EQ(installed.status, 0) << installed.output;
    EXPECT_TRUE(std::filesystem::exists(root_ / "C/Windows/System32/drivers/HvE2E.sys"));

    hvtest::CommandResult created = hvsim("add-root-device 'ROOT\\HVE2E' HvE2E");
    ASSERT_EQ(created.status, 0) << created.output;
    const std::string prefix = "created ";
    ASSERT_EQ(created.output.rfind(prefix, 0), 0u) << created.output;
    std::string instance = created.output.substr(prefix.size());
    while (!instance.empty() && (instance.back() == '\n' || instance.back() == '\r')) instance.pop_back();

    hvtest::CommandResult devices = hvsim("devices");
    ASSERT_EQ(devices.status, 0) << devices.output;
    EXPECT_NE(devices.output.find(instance), std::string::npos) << devices.output;
    EXPECT_NE(devices.output.find("service: HvE2E"), std::string::npos) << devices.output;
    EXPECT_NE(devices.output.find("state: started"), std::string::npos) << devices.output;

    // The interface's path as user mode sees it: the instance with '#' for '\', the class and
    // the reference string.
    std::string mangled = instance;
    std::replace(mangled.begin(), mangled.end(), '\\', '#');
    const std::string interface_path = "\\\\?\\" + mangled + "#{3c5e7b2a-9d41-4e6f-8a13-52b0c7d9e604}\\e2e";
    hvtest::CommandResult run = hvsim("run " + shell_quote(HV_E2E_PROGRAM) + " " + shell_quote(interface_path) + " 'hello machine'");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("echo: hello machine"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("all steps passed"), std::string::npos) << run.output;

    // The machine kept its registry, its configuration and the logs of the last boot.
    EXPECT_TRUE(std::filesystem::exists(root_ / "registry.txt"));
    EXPECT_TRUE(std::filesystem::exists(root_ / "machine.txt"));
    const std::string text = read_file(root_ / "logs/debugger.log");
    EXPECT_NE(text.find("HvE2E: start - 00000000"), std::string::npos) << text;
    EXPECT_NE(text.find("HvE2E: unload"), std::string::npos) << text;
}

TEST_F(EndToEnd, TheProgramsExitCodeAndBadUsageReachTheShell) {
    ASSERT_EQ(hvsim("--clock virtual add-driver HvE2E " + shell_quote(HV_E2E_DRIVER)).status, 0);
    // Without its device the program fails at its first step, and hvsim says so by its status.
    hvtest::CommandResult run = hvsim("run " + shell_quote(HV_E2E_PROGRAM) + " '\\\\?\\nothing' hi");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("step 1 failed"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("error 2"), std::string::npos) << run.output;

    EXPECT_EQ(hvsim("frobnicate").status, 2);
    EXPECT_EQ(hvsim("run").status, 2);
    hvtest::CommandResult missing = hvsim("add-root-device 'ROOT\\X' NoSuchService");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("not installed"), std::string::npos) << missing.output;
}

TEST_F(EndToEnd, TheKitCarriesTheWholePackageAndItsHvsimRunsTheDemoFromIt) {
    const auto package = std::filesystem::path(HV_KIT_HVSIM).parent_path().parent_path() / "package";
    for (const char* file :
         {"HVUBUS.INF", "HVUSER.INF", "HvUBus.sys", "HvUVCP.sys", "HvUUI23.dll", "HvCoIn23.dll"})
        EXPECT_TRUE(std::filesystem::is_regular_file(package / file)) << file;
    const auto demo = hvsim("--clock virtual demo");
    EXPECT_EQ(demo.status, 0) << demo.output;
    EXPECT_NE(demo.output.find("[1] install the package from " + package.string()), std::string::npos) << demo.output;

    // As the README has it: the kit's package folder given relative to the kit.
    const auto installed = hvtest::run_command("cd " + shell_quote(package.parent_path().string()) +
                                               " && bin/hvsim --root " + shell_quote((root_ / "second").string()) +
                                               " --clock virtual install-package package");
    EXPECT_EQ(installed.status, 0) << installed.output;
    EXPECT_NE(installed.output.find("HVUSER.INF: C:\\Windows\\inf\\oem1.inf"), std::string::npos) << installed.output;
}

TEST_F(EndToEnd, AKitBuiltWindowedProgramSeesWindowsOrder) {
    hvtest::CommandResult run = hvsim("--clock virtual run " + shell_quote(HV_UI_PROGRAM));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("first PSN_KILLACTIVE\nsecond WM_INITDIALOG\nsecond PSN_SETACTIVE"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Windows' order"), std::string::npos) << run.output;
    // Every machine's System32 has the window system's help control.
    EXPECT_TRUE(std::filesystem::exists(root_ / "C/Windows/System32/hhctrl.ocx"));
}

} // namespace
