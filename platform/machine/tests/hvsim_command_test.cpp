// The hvsim command: usage, errors and exit statuses, run as a separate process.
#include <fstream>

#include "support/folder_test.h"

namespace {

using hvtest::shell_quote;

class HvsimCommand : public hvtest::FolderTest {
protected:
    // hvsim with the arguments as given, without a machine of its own.
    static hvtest::CommandResult hvsim(const std::string& arguments) {
        return hvtest::run_command(shell_quote(HVSIM_EXECUTABLE) + " " + arguments);
    }
    std::string root() const { return "--root " + shell_quote(machine_root().string()); }
};

TEST_F(HvsimCommand, HelpNamesEveryCommandAndEachCommandHasItsOwn) {
    const auto help = hvsim("help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(hvsim("--help").output, help.output);
    for (const char* word :
         {"add-driver SERVICE IMAGE", "add-root-device HWID SERVICE", "run [OPTIONS] PROGRAM [ARGS...]", "devices",
          "ports", "status DEVICE", "rescan", "--clock real|virtual", "--version", "HVSIM_LOCK_WAIT", "HVSIM_DEBUG",
          "registry.txt", "4 when a program image", "--windows VERSION"})
        EXPECT_NE(help.output.find(word), std::string::npos) << word;
    // Every command's help, whichever way it is asked for, and without a machine folder.
    for (const char* command : {"plug", "unplug", "run", "terminal", "disable", "install-package", "help"}) {
        const auto asked = hvsim(std::string("help ") + command);
        EXPECT_EQ(asked.status, 0) << command;
        EXPECT_EQ(asked.output.rfind(std::string("usage: hvsim --root DIR ") + command, 0), 0u) << asked.output;
        EXPECT_EQ(hvsim(std::string(command) + " --help").output, asked.output) << command;
    }
    EXPECT_NE(hvsim("help plug").output.find("wire (open, loopback, null-modem or pty)"), std::string::npos);
    const auto version = hvsim("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output.rfind("hvsim ", 0), 0u) << version.output;
    const auto unknown = hvsim("help fly");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.output.find("unknown command 'fly'"), std::string::npos) << unknown.output;
}

TEST_F(HvsimCommand, AFolderWithoutAMachineIsSaidToGetANewOne) {
    std::filesystem::create_directories(machine_root());
    std::ofstream(machine_root() / "notes.txt") << "not a machine";
    const auto first = hvsim(root() + " --clock virtual devices");
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("holds no machine; making a new one there"), std::string::npos) << first.output;
    const auto second = hvsim(root() + " devices");
    EXPECT_EQ(second.output.find("making a new one"), std::string::npos) << second.output;
}

TEST_F(HvsimCommand, ACrashingProgramIsNamedWithItsFaultAndTheFolderStillBoots) {
    ASSERT_EQ(hvsim(root() + " --clock virtual add-driver HvE2E " + shell_quote(HV_TEST_DRIVER)).status, 0);
    const auto crashed = hvsim(root() + " run " + shell_quote(HV_TEST_PROGRAM) + " --crash");
    EXPECT_EQ(crashed.status, 4) << crashed.output;
    EXPECT_NE(crashed.output.find("hvsim: program C:\\Windows\\System32\\e2e_program.exe crashed: access violation"),
              std::string::npos)
        << crashed.output;
    EXPECT_NE(crashed.output.find("at address 0x8, in e2e_program.exe"), std::string::npos) << crashed.output;
    // What the last command saved is there: the service installed before the crash.
    const auto after = hvsim(root() + " add-root-device 'ROOT\\HVE2E' HvE2E");
    EXPECT_EQ(after.status, 0) << after.output;
}

TEST_F(HvsimCommand, BadUsageExitsWithTwoAndSaysWhy) {
    struct Case {
        std::string arguments;
        std::string message;
    } cases[] = {
        {"devices", "--root DIR is required"},
        {root(), "no command given"},
        {root() + " --speed 3 devices", "unknown option '--speed'"},
        {root() + " --clock sometimes devices", "--clock must be real or virtual"},
        {root() + " --clock", "--clock needs a value"},
        {root() + " fly", "unknown command 'fly'"},
        {root() + " add-driver OnlyOne", "add-driver expects SERVICE IMAGE"},
        {root() + " devices extra", "devices takes no arguments"},
        {root() + " run", "run expects [OPTIONS] PROGRAM [ARGS...]"},
        {root() + " --windows 3.1 devices", "--windows must be one of 7, vista, xp, 2000, me, 98, 95"},
        {root() + " plug", "plug expects SPEC"},
        {root() + " status", "status expects DEVICE"},
    };
    for (const auto& c : cases) {
        auto result = hvsim(c.arguments);
        EXPECT_EQ(result.status, 2) << c.arguments;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << c.arguments << ": " << result.output;
    }
}

TEST_F(HvsimCommand, ARefusedCommandExitsWithOne) {
    auto result = hvsim(root() + " add-driver HvE2E " + shell_quote((folder_.path() / "none.sys").string()));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("no such driver image"), std::string::npos) << result.output;
}

TEST_F(HvsimCommand, ABugCheckExitsWithThreeAfterSavingTheLog) {
    ASSERT_EQ(hvsim(root() + " --clock virtual add-driver HvE2E " + shell_quote(HV_TEST_DRIVER)).status, 0);
    auto created = hvsim(root() + " add-root-device 'ROOT\\HVE2E' HvE2E");
    ASSERT_EQ(created.status, 0) << created.output;
    EXPECT_EQ(created.output.rfind("created ROOT\\", 0), 0u) << created.output;

    // The program makes the driver leak pool; the unload at shutdown finds it.
    auto run = hvsim(root() + " run " + shell_quote(HV_TEST_PROGRAM) + " --leak");
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_NE(run.output.find("BUGCHECK"), std::string::npos) << run.output;
    const std::string log = hvtest::read_file(machine_root() / "logs/debugger.log");
    EXPECT_NE(log.find("Leak"), std::string::npos) << log;
}

} // namespace
