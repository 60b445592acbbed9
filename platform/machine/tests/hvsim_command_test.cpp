// The hvsim command: usage, errors and exit statuses, run as a separate process.
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

TEST_F(HvsimCommand, HelpNamesEveryCommand) {
    auto help = hvsim("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"add-driver SERVICE IMAGE", "add-root-device HWID SERVICE", "run IMAGE [ARGS...]",
                             "devices", "--clock real|virtual"})
        EXPECT_NE(help.output.find(word), std::string::npos) << word;
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
        {root() + " run", "run expects IMAGE [ARGS...]"},
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
