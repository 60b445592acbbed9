// `hvsim terminal COMn`: the host's standard input goes to the COM port and what the port
// receives to standard output, so that a program on a pty far end talks to the machine's port.
#include <windows.h>

#include <hvsim/format.h>

#include <errno.h>
#include <poll.h>
#include <termios.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <algorithm>
#include <cstring>
#include <ostream>
#include <sstream>

#include "machine_internal.h"
#include "serial_tools.h"

namespace hvsim {
namespace {

std::atomic<bool> g_interrupted{false};

void on_interrupt(int) { g_interrupted = true; }

// SIGINT ends the terminal, not the machine: the machine still shuts down and saves itself.
class InterruptScope {
public:
    InterruptScope() {
        g_interrupted = false;
        struct sigaction action {};
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous_);
    }
    ~InterruptScope() { sigaction(SIGINT, &previous_, nullptr); }

private:
    struct sigaction previous_ {};
};

bool equal_nocase(std::u16string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<int>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

bool write_all(int fd, const char* data, size_t size) {
    while (size) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The latency timer's longest setting: the chip may hold received bytes that long.
constexpr ULONGLONG kLatencyMs = 255;
constexpr DWORD kReadSliceMs = 50;

ULONGLONG machine_ms() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<ULONGLONG>(counter.QuadPart * 1000 / std::max<LONGLONG>(frequency.QuadPart, 1));
}

// Tenths of a millisecond a character takes on the line: start bit, data, parity, stop bits.
ULONGLONG character_time_tenths(const DCB& dcb) {
    const ULONGLONG bits_x2 =
        2 * (1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0)) + (dcb.StopBits == ONESTOPBIT     ? 2
                                                                     : dcb.StopBits == ONE5STOPBITS ? 3
                                                                                                    : 4);
    return bits_x2 * 10000 / 2 / std::max<DWORD>(dcb.BaudRate, 1) + 1;
}

struct Session {
    HANDLE port = INVALID_HANDLE_VALUE;
    int input_fd = STDIN_FILENO;
    int output_fd = STDOUT_FILENO;
    ULONGLONG character_tenths = 1;
    std::atomic<ULONGLONG> written{0};
    std::atomic<bool> input_ended{false};
    std::atomic<ULONGLONG> input_end_ms{0};
    std::string failure;
};

// The port to standard output, in reads that return at the first byte or after a slice. Once
// the input has ended, it ends when as much has come back as was written, or when the line has
// been quiet for longer than the latency timer and the time the bytes still owed take on the
// line.
DWORD WINAPI port_to_output(LPVOID context) {
    auto& session = *static_cast<Session*>(context);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    ULONGLONG received = 0;
    ULONGLONG last_arrival = machine_ms();
    while (!g_interrupted) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        DWORD got = 0;
        BOOL ok = ReadFile(session.port, buffer, sizeof buffer, nullptr, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = TRUE;
        if (ok) ok = GetOverlappedResult(session.port, &overlapped, &got, TRUE);
        if (!ok) {
            session.failure = "reading the port failed: " + windows_error_text(GetLastError());
            break;
        }
        const ULONGLONG now = machine_ms();
        if (got) {
            if (!write_all(session.output_fd, buffer, got)) break;
            received += got;
            last_arrival = now;
        }
        if (!session.input_ended) continue;
        const ULONGLONG written = session.written;
        if (received >= written) break;
        const ULONGLONG owed_ms = (written - received) * session.character_tenths / 10;
        if (now - std::max(last_arrival, session.input_end_ms.load()) > kLatencyMs + owed_ms) break;
    }
    CloseHandle(event);
    return 0;
}

// Standard input to the port, until it ends or SIGINT.
void input_to_port(Session& session) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    while (!g_interrupted) {
        pollfd input{session.input_fd, POLLIN, 0};
        int ready = ::poll(&input, 1, 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        ssize_t n = ::read(session.input_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        DWORD written = 0;
        BOOL ok = WriteFile(session.port, buffer, static_cast<DWORD>(n), nullptr, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = TRUE;
        if (ok) ok = GetOverlappedResult(session.port, &overlapped, &written, TRUE);
        session.written += written;
        if (!ok || written != static_cast<DWORD>(n)) {
            session.failure = "writing to the port failed: " + windows_error_text(GetLastError());
            break;
        }
    }
    session.input_end_ms = machine_ms();
    session.input_ended = true;
    CloseHandle(event);
}

// A terminal on standard input sends each keystroke at once and does not echo it (the far end
// does); Ctrl-C still ends the session. The old settings come back however the session ends.
class RawInput {
public:
    explicit RawInput(int fd) : fd_(fd) {
        if (!::isatty(fd) || ::tcgetattr(fd, &saved_) != 0) return;
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IXON);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = ::tcsetattr(fd, TCSANOW, &raw) == 0;
    }
    ~RawInput() {
        if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
    }
    bool active() const { return active_; }

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

} // namespace

DWORD terminal_session(const std::u16string& name, const std::string& mode, int input_fd, int output_fd,
                       std::ostream& messages, const std::string& banner) {
    const std::string narrow_name = text::to_utf8(name);
    const std::u16string path = u"\\\\.\\" + name;
    Session session;
    session.input_fd = input_fd;
    session.output_fd = output_fd;
    session.port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    if (session.port == INVALID_HANDLE_VALUE) {
        messages << "hvsim: cannot open " << narrow_name << ": " << windows_error_text(GetLastError()) << "\n";
        return 1;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // First-byte reads: back at once with what came, or empty after a slice.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, kReadSliceMs, 0, 0};
    const char* failed = nullptr;
    if (!GetCommState(session.port, &dcb))
        failed = "GetCommState";
    else if (!BuildCommDCBA(mode.c_str(), &dcb))
        failed = "the mode";
    else if (!SetCommState(session.port, &dcb))
        failed = "SetCommState";
    else if (!SetCommTimeouts(session.port, &timeouts))
        failed = "SetCommTimeouts";
    if (failed) {
        messages << "hvsim: " << narrow_name << ": " << failed << " failed: " << windows_error_text(GetLastError())
                 << " (mode '" << mode << "')\n";
        CloseHandle(session.port);
        return 1;
    }
    session.character_tenths = character_time_tenths(dcb);
    InterruptScope interrupt;
    RawInput raw(input_fd);
    if (!banner.empty()) {
        messages << banner
                 << (raw.active() ? "; raw keys, ends with Ctrl-C\n" : "; ends with the end of input or Ctrl-C\n");
        messages.flush();
    }
    HANDLE reader = CreateThread(nullptr, 0, port_to_output, &session, 0, nullptr);
    input_to_port(session);
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    CloseHandle(session.port);
    if (!session.failure.empty()) {
        messages << "hvsim: " << narrow_name << ": " << session.failure << "\n";
        return 1;
    }
    return 0;
}

int run_terminal(Machine& machine, const std::string& port, const std::string& mode, std::ostream& messages) {
    const std::vector<ComPort> ports = com_ports(machine);
    const ComPort* found = nullptr;
    for (const auto& p : ports)
        if (equal_nocase(p.name, port) && !p.link_target.empty()) found = &p;
    if (!found) {
        messages << "hvsim: " << port << " is not a COM port of this machine";
        std::string present;
        for (const auto& p : ports)
            if (!p.link_target.empty()) present += (present.empty() ? "" : ", ") + text::to_utf8(p.name);
        messages << (present.empty() ? " (it has none: install the package and plug an adapter, e.g. "
                                       "plug ftdi:wire=pty)"
                                     : " (it has " + present + ")")
                 << "\n";
        return 1;
    }
    std::ostringstream banner;
    banner << "hvsim: terminal on " << text::to_utf8(found->name);
    if (!found->usb_id.empty()) banner << " (" << found->usb_id << ", interface " << found->interface << ")";
    if (!found->pty.empty()) banner << ", far end " << found->pty;

    user::ProcessOptions options;
    options.image_path = u"C:\\Windows\\System32\\hvterm.exe";
    options.command_line = u"hvterm.exe " + found->name;
    auto process = user::Process::create(std::move(options));
    const std::u16string name = found->name;
    process->start([&] { return terminal_session(name, mode, STDIN_FILENO, STDOUT_FILENO, messages, banner.str()); });
    return static_cast<int>(process->wait());
}

} // namespace hvsim
