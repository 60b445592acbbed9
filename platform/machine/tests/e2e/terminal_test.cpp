// `hvsim terminal` as a pipe through a COM port of the package: nothing lost, the data alone on
// standard output.
#include <fstream>
#include <string>

#include "support/folder_test.h"

namespace {

using hvtest::shell_quote;

class Terminal : public hvtest::FolderTest {
protected:
    std::filesystem::path file(const std::string& name) const { return folder_.path() / name; }
    // install-package, then plug: the same folder as a user's.
    void machine_with(const std::string& spec) const {
        ASSERT_EQ(run_hvsim(HVSIM_EXECUTABLE, "install-package " + shell_quote(HV_BUILT_PACKAGE_DIR)).status, 0);
        ASSERT_EQ(run_hvsim(HVSIM_EXECUTABLE, "plug " + spec).status, 0);
    }
    // Standard output to the file "out"; the result's output is standard error alone.
    hvtest::CommandResult pipe_through(const std::string& arguments, const std::string& input) const {
        return hvtest::run_command(
            "{ " + shell_quote(HVSIM_EXECUTABLE) + " --root " + shell_quote(machine_root().string()) + " " + arguments +
            " < " + shell_quote(file(input).string()) + " > " + shell_quote(file("out").string()) + "; }");
    }
};

TEST_F(Terminal, ThirtyThousandBytesThroughALoopedBackPortComeBackWhole) {
    machine_with("ftdi:wire=loopback");
    std::string data(30000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    std::ofstream(file("in"), std::ios::binary) << data;
    // At the default 115200 baud the echo trails the end of the input by what the chip and the
    // driver hold. The machine's clock is its own, so that a loaded host cannot overrun the
    // line (it has no flow control).
    const auto result = pipe_through("--clock virtual terminal COM1", "in");
    EXPECT_EQ(result.status, 0) << result.output;
    const std::string back = hvtest::read_file(file("out"));
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data) << "the echo differs";
    // Messages are on standard error, after the port was set up.
    EXPECT_NE(result.output.find("hvsim: terminal on COM1 (usb1, interface 0); ends with the end of input"),
              std::string::npos)
        << result.output;
}

TEST_F(Terminal, APortThatSendsNothingBackEndsOnceTheLineIsQuiet) {
    machine_with("ftdi:wire=open");
    std::ofstream(file("in")) << std::string(2000, 'x');
    const auto result = pipe_through("--clock virtual terminal COM1 baud=9600", "in");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(hvtest::read_file(file("out")), "");
}

} // namespace
