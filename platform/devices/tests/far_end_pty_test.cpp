// The pseudo-terminal bridge with real Linux programs and file descriptors on the slave side.
// These tests wait on the bridge's thread in real time: each wait ends as soon as what it waits
// for has happened, and the generous limit only matters on a machine that stalls.
#include "chip_harness.h"

#include <hvsim/devices/far_end_pty.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace hvsim::devices::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRealLimit = std::chrono::seconds(5);
// How long to watch for something that must not happen.
constexpr auto kQuietWindow = std::chrono::milliseconds(100);

// Waits in real time until done() holds or the limit passes.
template <typename Done> bool wait_for(Done done, std::chrono::milliseconds limit = kRealLimit) {
    const auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct Slave {
    explicit Slave(const std::string& name) : fd(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~Slave() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

// Reads from the slave until `count` bytes came or the real-time limit passed.
Bytes read_slave(int fd, std::size_t count) {
    Bytes got;
    const auto until = Clock::now() + kRealLimit;
    while (got.size() < count && Clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            std::uint8_t buffer[256];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
        }
    }
    return got;
}

// Moves machine time while the bridge's thread works, until `count` data bytes reached the host.
Bytes read_host(Host& host, std::size_t count, std::chrono::milliseconds limit = kRealLimit) {
    Bytes got;
    const auto until = Clock::now() + limit;
    while (got.size() < count && Clock::now() < until) {
        if (auto t = host.read(4096))
            for (auto b : payload(*t)) got.push_back(b);
        host.run_for(milliseconds(1));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return got;
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(("timeout 5 " + command + " 2>&1").c_str(), "r");
    if (!pipe) return output;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) output += line;
    ::pclose(pipe);
    return output;
}

struct Bridged {
    Host host;
    std::vector<std::string> log;
    std::shared_ptr<PtyBridge> pty = std::make_shared<PtyBridge>(
        "port 1", [this](const std::string& s) { log.push_back(s); }, false);
    Bridged() {
        host.set_baud(kBaud115200);
        host.chip.attach(0, pty, host.now);
    }
};

TEST(PtyBridge, NamesItsSlaveAndCarriesBytesBothWays) {
    Bridged b;
    ASSERT_EQ(b.log.size(), 1u);
    EXPECT_EQ(b.log[0], "pty bridge for port 1: " + b.pty->slave_name());
    EXPECT_EQ(b.pty->slave_name().rfind("/dev/pts/", 0), 0u);
    Slave slave(b.pty->slave_name());
    ASSERT_GE(slave.fd, 0);

    const std::string to_host = "from a Linux program";
    ASSERT_EQ(::write(slave.fd, to_host.data(), to_host.size()), ssize_t(to_host.size()));
    EXPECT_EQ(read_host(b.host, to_host.size()), bytes_of(to_host));

    b.host.write("to the program");
    b.host.run_for(milliseconds(5));
    EXPECT_EQ(read_slave(slave.fd, 14), bytes_of("to the program"));

    // The slave is raw: no echo back to the port, no line editing.
    EXPECT_EQ(read_host(b.host, 1, kQuietWindow), Bytes{});
}

TEST(PtyBridge, TermiosFollowsThePortAndTheProgramsSettingsReachTheLine) {
    Bridged b;
    Slave slave(b.pty->slave_name());
    ASSERT_GE(slave.fd, 0);
    // The port was programmed to 115200 (115385 exactly): the pty shows the nearest rate.
    const auto shown_until = Clock::now() + kRealLimit;
    std::string stty;
    while (Clock::now() < shown_until && stty.find("115200") == std::string::npos)
        stty = run("stty -F " + b.pty->slave_name());
    EXPECT_NE(stty.find("speed 115200 baud"), std::string::npos) << stty;

    // A program that sets 9600 is at the wrong rate: what it writes arrives garbled.
    run("stty -F " + b.pty->slave_name() + " 9600");
    ASSERT_TRUE(wait_for([&] { return b.pty->format().baud == 9600; }));
    const std::string text = "mismatch";
    ASSERT_EQ(::write(slave.fd, text.data(), text.size()), ssize_t(text.size()));
    // A slower sender gives more characters than it sent: read until the line is quiet.
    const Bytes got = read_host(b.host, 1000, kQuietWindow);
    EXPECT_FALSE(got.empty());
    EXPECT_NE(got, bytes_of(text));

    // When the port is set to 9600 as well, the line works again.
    b.host.set_baud(0x4138);
    const std::string again = "matched";
    b.host.run_for(milliseconds(1));
    ASSERT_EQ(::write(slave.fd, again.data(), again.size()), ssize_t(again.size()));
    EXPECT_EQ(read_host(b.host, again.size()), bytes_of(again));
}

TEST(PtyBridge, RealProgramsReadAndWriteThePort) {
    Bridged b;
    // Held open, the slave keeps what the port sends until a program reads it.
    Slave keep(b.pty->slave_name());
    ASSERT_GE(keep.fd, 0);
    b.host.write("hello, head\n");
    b.host.run_for(milliseconds(5));
    EXPECT_EQ(run("head -c 12 " + b.pty->slave_name()), "hello, head\n");

    EXPECT_EQ(run("printf 'from printf' > " + b.pty->slave_name()), "");
    EXPECT_EQ(read_host(b.host, 11), bytes_of("from printf"));
}

TEST(PtyBridge, AProgramEchoesWhatThePortSends) {
    Bridged b;
    Slave keep(b.pty->slave_name()); // the slave stays raw while programs come and go
    ASSERT_GE(keep.fd, 0);
    const std::string text = "round trip through dd";
    std::thread echo([&] {
        run("dd if=" + b.pty->slave_name() + " of=" + b.pty->slave_name() +
            " bs=1 count=" + std::to_string(text.size()) + " status=none");
    });
    // dd may open the slave after the port has sent: the bytes wait in the slave for it.
    b.host.write(text);
    b.host.run_for(milliseconds(5));
    const Bytes back = read_host(b.host, text.size());
    echo.join();
    EXPECT_EQ(back, bytes_of(text));
}

TEST(PtyBridge, AProgramThatNeverReadsDoesNotHangAnything) {
    Host host(unpaced());
    auto pty = std::make_shared<PtyBridge>("port 1", PtyBridge::Log{}, false);
    host.chip.attach(0, pty, host.now);
    Slave slave(pty->slave_name()); // opened, never read
    ASSERT_GE(slave.fd, 0);
    const Bytes block(4096, 'x');
    const auto until = Clock::now() + kRealLimit;
    std::size_t written = 0;
    while (pty->dropped() == 0 && Clock::now() < until) {
        written += host.write(block);
        host.run_for(milliseconds(1));
    }
    EXPECT_GT(pty->dropped(), 0u);
    EXPECT_GT(written, PtyBridge::kOutgoingLimit);
    // The program leaves and another comes: the bridge carries on.
    ::close(slave.fd);
    slave.fd = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Slave next(pty->slave_name());
    ASSERT_GE(next.fd, 0);
    const std::string text = "still here";
    ASSERT_EQ(::write(next.fd, text.data(), text.size()), ssize_t(text.size()));
    EXPECT_EQ(read_host(host, text.size()), bytes_of(text));
    // Shutting down with data pending returns at once.
    const auto before = Clock::now();
    host.chip.attach(0, nullptr, host.now);
    pty.reset();
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
}

TEST(PtyBridge, HardwareFlowControlOnThePtyDropsCtsWhileTheProgramDoesNotRead) {
    Bridged b;
    Slave slave(b.pty->slave_name());
    ASSERT_GE(slave.fd, 0);
    // The bridge writes the port's format into the pty's termios as a read-modify-write; a
    // program setting its flags in the same moment would be overwritten, so wait for it first.
    termios t{};
    ASSERT_TRUE(wait_for([&] { return tcgetattr(slave.fd, &t) == 0 && cfgetospeed(&t) == B115200; }));
    t.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(slave.fd, TCSANOW, &t), 0);
    ASSERT_TRUE(wait_for([&] { return b.pty->hardware_flow(); }));
    b.host.chip.set_paced(false);
    b.host.set_flow(0x01);
    b.host.modem(0x0202);
    const Bytes block(4096, 'y');
    const auto until = Clock::now() + kRealLimit;
    while (b.host.chip.port_state(0).inputs.cts && Clock::now() < until) {
        b.host.write(block);
        b.host.run_for(milliseconds(1));
    }
    EXPECT_FALSE(b.host.chip.port_state(0).inputs.cts);
    EXPECT_EQ(b.pty->dropped(), 0u);
}

} // namespace
} // namespace hvsim::devices::test
