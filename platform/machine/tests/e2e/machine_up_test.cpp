// A Linux program on the stable pty/COMn link of a machine kept up: `hvsim up` and `hvsim down`
// on a folder, and data both ways between programs on the links and a program on the COM ports.
#include <windows.h>

#include <hvsim/machine.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "../../serial_tools.h"
#include "support/folder_test.h"

namespace {

using hvtest::shell_quote;

class MachineUp : public hvtest::FolderTest {
protected:
    hvtest::CommandResult hvsim(const std::string& arguments) const {
        return run_hvsim(HVSIM_EXECUTABLE, "--clock virtual " + arguments);
    }
    void install_and_plug(const std::string& spec) const {
        ASSERT_EQ(hvsim("install-package " + shell_quote(HV_BUILT_PACKAGE_DIR)).status, 0);
        ASSERT_EQ(hvsim("plug " + spec).status, 0);
    }
};

// A Linux program's end of a link: raw, and a line read back within a bound.
class LinuxProgram {
public:
    explicit LinuxProgram(const std::filesystem::path& link) : fd_(::open(link.c_str(), O_RDWR | O_NOCTTY)) {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~LinuxProgram() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool open() const { return fd_ >= 0; }
    bool send(const std::string& text) const { return ::write(fd_, text.data(), text.size()) == ssize_t(text.size()); }
    std::string receive(size_t bytes) const {
        std::string got;
        char buffer[256];
        while (got.size() < bytes) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) break;
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, bytes - got.size()));
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int fd_;
};

// On the machine: the COM ports are opened, then each reads what its Linux program sent and
// answers it; the ports stay open until the Linux programs are done.
DWORD answer_on(const std::vector<std::u16string>& ports, std::atomic<bool>& open, const std::atomic<int>& done,
                std::vector<std::string>& heard) {
    std::vector<HANDLE> handles;
    for (const auto& port : ports) {
        const std::u16string path = u"\\\\.\\" + port;
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 1;
        COMMTIMEOUTS timeouts{0, 0, 10000, 0, 10000};
        SetCommTimeouts(h, &timeouts);
        handles.push_back(h);
    }
    open = true;
    for (size_t i = 0; i < handles.size(); ++i) {
        char buffer[5] = {};
        DWORD n = 0;
        if (!ReadFile(handles[i], buffer, sizeof buffer, &n, nullptr)) return 2;
        heard.emplace_back(buffer, n);
        const std::string answer = "pong" + std::to_string(i);
        if (!WriteFile(handles[i], answer.data(), DWORD(answer.size()), &n, nullptr)) return 3;
    }
    for (int wait = 0; wait < 1000 && done < int(handles.size()); ++wait) Sleep(10);
    for (HANDLE h : handles) CloseHandle(h);
    return 0;
}

TEST_F(MachineUp, UpKeepsTheLinksUntilDownAndOtherCommandsWaitMeanwhile) {
    install_and_plug("ftdi:interfaces=2,wire=pty");
    hvtest::CommandResult up;
    std::thread running([&] {
        up = hvtest::run_command("HVSIM_LOCK_WAIT=0 " + shell_quote(HVSIM_EXECUTABLE) + " --root " +
                                 shell_quote(machine_root().string()) + " up");
    });
    const auto link = machine_root() / "pty" / "COM2";
    for (int i = 0; i < 1000 && !std::filesystem::is_symlink(link); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    // A link is there only once down can find the up.
    EXPECT_TRUE(std::filesystem::exists(machine_root() / "up.pid"));
    EXPECT_EQ(std::filesystem::read_symlink(link).string().rfind("/dev/pts/", 0), 0u);
    EXPECT_TRUE(LinuxProgram(link).open());
    const auto refused = hvtest::run_command("HVSIM_LOCK_WAIT=0 " + shell_quote(HVSIM_EXECUTABLE) + " --root " +
                                             shell_quote(machine_root().string()) + " devices");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("machine folder in use by process"), std::string::npos) << refused.output;

    const auto down = hvsim("down");
    EXPECT_EQ(down.status, 0) << down.output;
    running.join();
    EXPECT_EQ(up.status, 0) << up.output;
    for (const char* line : {"COM1: ", "/pty/COM1 -> /dev/pts/", "(usb1, interface 1)", "is up (process "})
        EXPECT_NE(up.output.find(line), std::string::npos) << line << "\n" << up.output;
    EXPECT_FALSE(std::filesystem::exists(machine_root() / "pty"));
    // Nothing is up any more; the folder boots again.
    EXPECT_EQ(hvsim("down").status, 1);
    EXPECT_EQ(hvsim("devices").status, 0);
}

TEST_F(MachineUp, DownStopsOnlyAnUp) {
    std::filesystem::create_directories(machine_root());
    // A stale note of an up, while another command holds the folder: that command is left alone.
    std::ofstream(machine_root() / "up.pid") << "1\n";
    {
        hvsim::FolderLock held(machine_root(), std::chrono::milliseconds(0));
        const auto refused = hvsim("down");
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.output.find("in use by process " + std::to_string(::getpid()) + ", not by hvsim up"),
                  std::string::npos)
            << refused.output;
    }
    const auto nothing = hvsim("down");
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.output.find("no machine is up in"), std::string::npos) << nothing.output;
    EXPECT_FALSE(std::filesystem::exists(machine_root() / "up.pid"));
}

TEST_F(MachineUp, TwoLinuxProgramsExchangeDataWithAProgramOnTheComPortsAtOnce) {
    install_and_plug("ftdi:interfaces=2,wire=pty");
    hvsim::MachineOptions options;
    options.root = machine_root();
    options.clock = hvsim::ClockMode::Real; // the Linux programs run in host time
    hvsim::Machine machine(options);
    hvsim::PtyLinks links(machine);
    ASSERT_EQ(links.links().size(), 2u);

    std::vector<std::unique_ptr<LinuxProgram>> programs;
    for (const auto& link : links.links()) {
        programs.push_back(std::make_unique<LinuxProgram>(link.path));
        ASSERT_TRUE(programs.back()->open()) << link.path;
    }
    std::vector<std::string> answers(2);
    std::atomic<bool> open{false};
    std::atomic<int> done{0};
    std::vector<std::thread> linux_side;
    for (size_t i = 0; i < programs.size(); ++i)
        linux_side.emplace_back([&, i] {
            for (int wait = 0; wait < 1000 && !open; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            programs[i]->send("ping" + std::to_string(i));
            answers[i] = programs[i]->receive(5);
            ++done;
        });
    std::vector<std::string> heard;
    std::vector<std::u16string> ports;
    for (const auto& link : links.links()) ports.push_back(link.port.name);
    auto process = hvsim::user::Process::create({});
    process->start([&] { return answer_on(ports, open, done, heard); });
    EXPECT_EQ(process->wait(), 0u);
    for (auto& t : linux_side) t.join();
    EXPECT_EQ(heard, (std::vector<std::string>{"ping0", "ping1"}));
    EXPECT_EQ(answers, (std::vector<std::string>{"pong0", "pong1"}));
}

} // namespace
