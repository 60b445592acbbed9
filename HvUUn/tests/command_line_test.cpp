// The command line of both programs, argument by argument as the framework hands them over.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HvCommandLineInfo.h"

namespace {

struct Case {
    std::vector<const char*> arguments; // after the program name
    BOOL silent;
    BOOL help;
    const char* parameter;
};

// Hands each argument over as the framework's walk does: a leading - or / makes it a switch
// and is removed.
void Parse(CHvCommandLineInfo& info, const std::vector<const char*>& arguments) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const char* param = arguments[i];
        BOOL flag = param && (param[0] == '-' || param[0] == '/');
        info.ParseParam(flag ? param + 1 : param, flag, i + 1 == arguments.size());
    }
}

class CommandLineTest : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineTest, GivesTheFlagsAndTheLastPlainArgument) {
    const Case& c = GetParam();
    CHvCommandLineInfo info;
    Parse(info, c.arguments);
    EXPECT_EQ(c.silent, info.m_bSilent);
    EXPECT_EQ(c.help, info.m_bHelp);
    EXPECT_STREQ(c.parameter, info.m_strParameter.GetString());
    // The base record's own handling never runs.
    EXPECT_TRUE(info.m_strFileName.IsEmpty());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Switches, CommandLineTest, ::testing::Values(
    Case{{}, FALSE, FALSE, ""},
    Case{{"/s"}, TRUE, FALSE, ""},
    Case{{"-S"}, TRUE, FALSE, ""},
    Case{{"/S"}, TRUE, FALSE, ""},
    Case{{"/h"}, FALSE, TRUE, ""},
    Case{{"-H"}, FALSE, TRUE, ""},
    Case{{"/?"}, FALSE, TRUE, ""},
    Case{{"-?"}, FALSE, TRUE, ""},
    Case{{"/sh"}, TRUE, TRUE, ""},
    Case{{"/hs"}, TRUE, TRUE, ""},
    Case{{"/S?"}, TRUE, TRUE, ""},
    Case{{"/silent"}, TRUE, FALSE, ""},
    Case{{"/x", "/hs"}, FALSE, FALSE, ""},
    Case{{"/x", "/s"}, TRUE, FALSE, ""},
    Case{{"/x", "-?"}, FALSE, TRUE, ""},
    Case{{"/hx", "/s"}, TRUE, TRUE, ""},
    Case{{"/"}, FALSE, FALSE, ""},
    Case{{"a.txt", "b.txt"}, FALSE, FALSE, "b.txt"},
    Case{{"a.txt", "/s", "b.txt", "/h"}, TRUE, TRUE, "b.txt"},
    Case{{"s", "h"}, FALSE, FALSE, "h"}));
// clang-format on

TEST(CommandLine, ANullPlainArgumentGivesTheEmptyParameter) {
    CHvCommandLineInfo info;
    info.ParseParam("a.txt", FALSE, FALSE);
    info.ParseParam(nullptr, FALSE, TRUE);
    EXPECT_TRUE(info.m_strParameter.IsEmpty());
    info.ParseParam(nullptr, TRUE, TRUE);
    EXPECT_FALSE(info.m_bSilent || info.m_bHelp);
}

} // namespace
