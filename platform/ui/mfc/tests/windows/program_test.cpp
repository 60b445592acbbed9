// A program image built on the application object runs under `hvsim run` and ends with the
// exit code its application gives.
#include <gtest/gtest.h>

#include "../../../../../tests/support/command.h"

namespace {

struct ProgramCase {
    const char* arguments;
    int status;
    const char* output;
};

TEST(ProgramImageTest, TheApplicationObjectsExitCodeIsTheProgramsThroughHvsimRun) {
    hvtest::TemporaryFolder root("hvmfc-program");
    const ProgramCase cases[] = {
        {"42", 42, ""},
        {"/fail 42", 3, ""},
        {"/name 5", 5, "exe exit_code_program, app exit_code_program\n"},
        // The image's own strings, although its file is not on the machine's drive.
        {"/string", 0, "string a string of the program's image\n"},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        auto result =
            hvtest::run_command(std::string(HVSIM_EXECUTABLE) + " --root " + hvtest::shell_quote(root.path()) +
                                " run " + hvtest::shell_quote(HV_EXIT_CODE_PROGRAM) + " " + c.arguments);
        EXPECT_EQ(c.status, result.status) << c.arguments << ": " << result.output;
        if (*c.output) {
            EXPECT_NE(std::string::npos, result.output.find(c.output)) << result.output;
        }
    }
}

} // namespace
