// The main job as a user runs it: `hvsim demo` on a fresh machine folder with the package this
// tree builds, through the whole stack (both drivers, the emulated chip, loopback plugs).
#include <algorithm>
#include <string>

#include "support/folder_test.h"

namespace {

using hvtest::shell_quote;

class Demo : public hvtest::FolderTest {};

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(Demo, InstallsPlugsMovesDataThroughEachPortAndUnplugs) {
    const auto result = run_hvsim(HVSIM_EXECUTABLE, "--clock virtual demo " + shell_quote(HV_BUILT_PACKAGE_DIR));
    ASSERT_EQ(result.status, 0) << result.output;
    for (const char* line : {"HVUBUS.INF: C:\\Windows\\inf\\oem0.inf", "HVUSER.INF: C:\\Windows\\inf\\oem1.inf",
                             "COM1: interface 0 of usb1", "COM2: interface 1 of usb1", "\\\\.\\COM1 -> \\Device\\",
                             "COM1: opened; 921600 baud, 8 data bits, no parity, 1 stop bit, RTS/CTS handshake",
                             "COM2: wrote 65536 bytes and read them back in", "COM1: gone", "COM2: gone",
                             "demo passed: 2 COM ports installed, used and removed"})
        EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
    EXPECT_EQ(count(result.output, "; every byte matches"), 2u) << result.output;
    EXPECT_EQ(count(result.output, "service: HvUVCP"), 2u) << result.output;
    // The machine shut down cleanly: no pool leak or bug check in its saved log.
    EXPECT_TRUE(std::filesystem::exists(machine_root() / "logs" / "debugger.log"));

    // A second run on the same folder starts from what the first one left: installed again over
    // the stored INFs, and the re-plugged adapter gets the same names.
    const auto again = run_hvsim(HVSIM_EXECUTABLE, "demo " + shell_quote(HV_BUILT_PACKAGE_DIR));
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find("COM1: interface 0 of usb1"), std::string::npos) << again.output;
}

} // namespace
