// `hvsim demo` and `hvsim terminal`: their usage, the step at which the demo stops while the
// package cannot give the adapter COM ports, and the serial application's part of the demo on a
// fake looped-back port.
#include <hvsim/machine.h>

#include <ntddser.h>

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <fstream>
#include <sstream>

#include "../../user/tests/fake_serial_device.h"
#include "../serial_tools.h"
#include "support/folder_test.h"

namespace {

using hvtest::shell_quote;

class SerialCommands : public hvtest::FolderTest {
protected:
    hvtest::CommandResult hvsim(const std::string& arguments) const {
        return run_hvsim(HVSIM_EXECUTABLE, "--clock virtual " + arguments);
    }
    // The package's INF files beside images that load but make no COM ports: the test driver
    // for both drivers, the test program for the libraries and the uninstaller.
    std::filesystem::path portless_package() const {
        const auto package = folder_.path() / "package";
        std::filesystem::create_directories(package);
        for (const char* inf : {"HVUBUS.INF", "HVUSER.INF"})
            std::filesystem::copy_file(std::filesystem::path(HV_PACKAGE_DIR) / inf, package / inf);
        for (const char* driver : {"HvUBus.sys", "HvUVCP.sys"})
            std::filesystem::copy_file(HV_TEST_DRIVER, package / driver);
        for (const char* program : {"HvUUI23.dll", "HvCoIn23.dll", "HvUUn23.exe"})
            std::filesystem::copy_file(HV_TEST_PROGRAM, package / program);
        return package;
    }
};

TEST_F(SerialCommands, HelpShowsBothAndBadUsageIsRefusedWithTwo) {
    auto help = hvtest::run_command(shell_quote(HVSIM_EXECUTABLE) + " --help");
    EXPECT_NE(help.output.find("demo [PACKAGE-DIR]"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("terminal COMn [MODE]"), std::string::npos) << help.output;
    const std::pair<std::string, std::string> cases[] = {
        {"demo one two", "demo expects [PACKAGE-DIR]"},
        {"terminal", "terminal expects COMn [MODE]"},
        {"terminal COM3 baud=9600 extra", "terminal expects COMn [MODE]"},
    };
    for (const auto& [arguments, message] : cases) {
        auto result = hvsim(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_NE(result.output.find(message), std::string::npos) << arguments << ": " << result.output;
    }
}

TEST_F(SerialCommands, TheDemoNamesTheStepThatFailed) {
    auto result = hvsim("demo " + shell_quote((folder_.path() / "nothing").string()));
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("demo: step 1 (install the package) failed:"), std::string::npos) << result.output;

    // The package installs, the adapter plugs in, but no driver makes its COM ports.
    result = hvsim("demo " + shell_quote(portless_package().string()));
    EXPECT_EQ(result.status, 1) << result.output;
    for (const char* line :
         {"[1] install the package", "HVUBUS.INF: C:\\Windows\\inf\\oem0.inf",
          "[2] plug an adapter: ftdi:interfaces=2,wire=loopback", "plugged in as usb1", "[3] the COM ports appear",
          "USB\\VID_7A5C&PID_1002&MI_00\\",
          "demo: step 3 (the COM ports appear) failed: no COM port appeared for interface 0 of usb1: "
          "USB\\VID_7A5C&PID_1002&MI_00\\"})
        EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
    EXPECT_EQ(result.output.find("[4]"), std::string::npos) << result.output;
}

// Every deliverable is built: none is stood in for, and a package without one is refused with
// its name before anything is installed.
TEST_F(SerialCommands, TheDemoRefusesAPackageWithoutADeliverableNamingIt) {
    const auto package = portless_package();
    for (const char* image : {"HvUUn23.exe", "HvCoIn23.dll", "HvUBus.sys"}) {
        SCOPED_TRACE(image);
        const auto kept = folder_.path() / image;
        std::filesystem::rename(package / image, kept);
        std::filesystem::remove_all(machine_root());
        const auto result = hvsim("demo " + shell_quote(package.string()));
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_NE(
            result.output.find("demo: step 1 (install the package) failed: HVUBUS.INF installs " + std::string(image)),
            std::string::npos)
            << result.output;
        EXPECT_EQ(result.output.find("stand in"), std::string::npos) << result.output;
        EXPECT_FALSE(std::filesystem::exists(machine_root() / "demo-package"));
        std::filesystem::rename(kept, package / image);
    }
}

TEST_F(SerialCommands, TheTerminalRefusesAPortTheMachineDoesNotHave) {
    auto result = hvsim("terminal COM5");
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("COM5 is not a COM port of this machine (it has none"), std::string::npos)
        << result.output;
}

class SerialExchange : public hvtest::FolderTest {
protected:
    void SetUp() override {
        hvsim::MachineOptions options;
        options.root = machine_root();
        options.clock = hvsim::ClockMode::Virtual;
        machine_.emplace(options);
        fake_serial::install();
    }
    void TearDown() override {
        fake_serial::uninstall();
        machine_->shutdown();
        hvtest::FolderTest::TearDown();
    }
    std::optional<hvsim::Machine> machine_;
};

TEST_F(SerialExchange, TheApplicationSetsThePortUpAndChecksWhatComesBack) {
    hvsim::DemoOptions options;
    options.bytes = 5000;
    options.baud = 115200;
    std::ostringstream out;
    auto failure = hvsim::serial_exchange(u"COM9", 1, options, out);
    ASSERT_FALSE(failure) << *failure << "\n" << out.str();
    EXPECT_EQ(fake_serial::written(), 5000u);
    const auto& state = fake_serial::state();
    EXPECT_EQ(state.baud, 115200u);
    EXPECT_EQ(state.line[0], 0);
    EXPECT_EQ(state.line[1], 0);
    EXPECT_EQ(state.line[2], 8);
    EXPECT_EQ(state.handflow[0] & (SERIAL_CTS_HANDSHAKE | SERIAL_DTR_MASK), SERIAL_CTS_HANDSHAKE | SERIAL_DTR_CONTROL);
    EXPECT_EQ(state.handflow[1] & SERIAL_RTS_MASK, SERIAL_RTS_HANDSHAKE);
    // Both totals allow the data twice at the line's rate and five seconds more.
    EXPECT_EQ(state.timeouts[2], 2 * (5000 * 10 * 1000 / 115200) + 5000u);
    EXPECT_EQ(state.timeouts[4], state.timeouts[2]);
    EXPECT_EQ(state.queue[0], 16384u);
    EXPECT_EQ(state.purged, 0xFu);
    EXPECT_NE(out.str().find("COM9: wrote 5000 bytes and read them back"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("every byte matches"), std::string::npos) << out.str();

    // A port that refuses a setting stops the exchange with the call and its error.
    fake_serial::fail(IOCTL_SERIAL_SET_HANDFLOW, STATUS_INVALID_PARAMETER);
    failure = hvsim::serial_exchange(u"COM9", 1, options, out);
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, "SetCommState failed: error 87 (ERROR_INVALID_PARAMETER)");
    failure = hvsim::serial_exchange(u"COM8", 1, options, out);
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, "CreateFileW(\\\\.\\COM8) failed: error 2 (ERROR_FILE_NOT_FOUND)");
}

TEST_F(SerialExchange, TheTerminalCopiesInputToThePortAndThePortToOutput) {
    int input[2], output[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(output), 0);
    const std::string text = "hello, far end\n";
    ASSERT_EQ(write(input[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(input[1]);
    std::ostringstream messages;
    // The port loops the text back; the input's end and a quiet port end the session.
    EXPECT_EQ(hvsim::terminal_session(u"COM9", "baud=9600 parity=e data=7", input[0], output[1], messages), 0u)
        << messages.str();
    close(input[0]);
    close(output[1]);
    char echoed[64] = {};
    EXPECT_EQ(read(output[0], echoed, sizeof echoed), static_cast<ssize_t>(text.size()));
    close(output[0]);
    EXPECT_EQ(std::string(echoed), text);
    EXPECT_EQ(fake_serial::written(), text.size());
    const auto& state = fake_serial::state();
    EXPECT_EQ(state.baud, 9600u);
    EXPECT_EQ(state.line[1], 2); // even parity
    EXPECT_EQ(state.line[2], 7);
    EXPECT_EQ(state.timeouts[0], 0xFFFFFFFFu);
    EXPECT_EQ(state.timeouts[1], 0xFFFFFFFFu);
    EXPECT_EQ(state.timeouts[2], 50u);

    // A mode the port cannot take is refused before anything is copied.
    EXPECT_EQ(hvsim::terminal_session(u"COM9", "baud=fast", input[0], output[1], messages), 1u);
    EXPECT_NE(messages.str().find("COM9: the mode failed: error 87 (ERROR_INVALID_PARAMETER) (mode 'baud=fast')"),
              std::string::npos)
        << messages.str();
}

TEST_F(SerialExchange, ATerminalOnTheInputSendsKeysAtOnceAndIsRestoredAfterwards) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);

    // Keys typed one at a time, without a line end; Ctrl-C ends the session once two have reached
    // the port.
    termios during{};
    std::thread keys([&] {
        for (int i = 0; i < 100 && fake_serial::written() < 2; ++i) {
            if (i % 5 == 0 && write(master, "k", 1) != 1) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        tcgetattr(slave, &during);
        raise(SIGINT);
    });
    std::ostringstream messages;
    hvsim::terminal_session(u"COM9", "baud=9600", slave, output[1], messages, "hvsim: terminal on COM9");
    keys.join();
    EXPECT_GE(fake_serial::written(), 2u);
    EXPECT_FALSE(during.c_lflag & (ICANON | ECHO));
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_NE(messages.str().find("hvsim: terminal on COM9; raw keys, ends with Ctrl-C"), std::string::npos)
        << messages.str();
    close(slave);
    close(master);
    close(output[0]);
    close(output[1]);
}

} // namespace
