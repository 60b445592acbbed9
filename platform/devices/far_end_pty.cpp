#include <hvsim/devices/far_end_pty.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace hvsim::devices {

namespace {

struct Speed {
    speed_t code;
    double baud;
};

constexpr Speed kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134.5},       {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
};

// A pty knows only the standard rates: the nearest stands for the port's.
speed_t nearest_speed(double baud) {
    const Speed* best = &kSpeeds[0];
    for (const auto& s : kSpeeds)
        if (std::fabs(s.baud - baud) < std::fabs(best->baud - baud)) best = &s;
    return best->code;
}

double speed_baud(speed_t code) {
    for (const auto& s : kSpeeds)
        if (s.code == code) return s.baud;
    return 0.0;
}

void apply(const LineFormat& f, termios& t) {
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[std::clamp<int>(f.data_bits, 5, 8) - 5];
    switch (f.parity) {
    case Parity::none: break;
    case Parity::odd: t.c_cflag |= PARENB | PARODD; break;
    case Parity::even: t.c_cflag |= PARENB; break;
    case Parity::mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    if (f.stop_bits != StopBits::one) t.c_cflag |= CSTOPB;
    const speed_t speed = nearest_speed(f.baud);
    cfsetospeed(&t, speed);
    cfsetispeed(&t, speed);
}

LineFormat format_of(const termios& t, const LineFormat& before) {
    LineFormat f = before;
    if (const double baud = speed_baud(cfgetospeed(&t)); baud > 0.0) f.baud = baud;
    switch (t.c_cflag & CSIZE) {
    case CS5: f.data_bits = 5; break;
    case CS6: f.data_bits = 6; break;
    case CS7: f.data_bits = 7; break;
    default: f.data_bits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        f.parity = Parity::none;
    else if (t.c_cflag & CMSPAR)
        f.parity = (t.c_cflag & PARODD) ? Parity::mark : Parity::space;
    else
        f.parity = (t.c_cflag & PARODD) ? Parity::odd : Parity::even;
    f.stop_bits = (t.c_cflag & CSTOPB) ? (f.data_bits == 5 ? StopBits::one_and_half : StopBits::two) : StopBits::one;
    return f;
}

bool same_termios(const termios& a, const termios& b) {
    return a.c_cflag == b.c_cflag && cfgetospeed(&a) == cfgetospeed(&b);
}

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

} // namespace

PtyBridge::PtyBridge(std::string label, Log log, bool print) : label_(std::move(label)), log_(std::move(log)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        const int e = errno;
        ::close(master_);
        errno = e;
        fail("grantpt/unlockpt");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        const int e = errno;
        ::close(master_);
        errno = e;
        fail("ptsname");
    }
    slave_name_ = name;
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        const int e = errno;
        ::close(master_);
        errno = e;
        fail("eventfd");
    }
    // Raw 8N1 at the port's power-on rate: the program decides what it wants from there.
    termios t{};
    if (tcgetattr(master_, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        apply(format_, t);
        tcsetattr(master_, TCSANOW, &t);
    }
    tx_.set_format(format_);
    rx_.set_format(format_);

    const std::string line = "pty bridge for " + label_ + ": " + slave_name_;
    if (log_) log_(line);
    if (print) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    thread_ = std::thread([this] { run(); });
}

PtyBridge::~PtyBridge() {
    stop_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    ::close(wake_fd_);
    ::close(master_);
}

void PtyBridge::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void PtyBridge::set_paced(bool paced) {
    std::lock_guard lock(mutex_);
    tx_.set_paced(paced);
}

LineFormat PtyBridge::format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

std::size_t PtyBridge::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

bool PtyBridge::hardware_flow() const {
    std::lock_guard lock(mutex_);
    return hardware_flow_;
}

ModemInputs PtyBridge::inputs_locked() const {
    // The program's side is a device that is on and ready; with hardware flow control it is not
    // ready while its reading falls behind.
    ModemInputs in;
    in.dsr = in.dcd = true;
    in.cts = !(hardware_flow_ && outgoing_.size() >= kOutgoingLimit / 2);
    return in;
}

void PtyBridge::push_inputs_locked(Ticks time) {
    const ModemInputs in = inputs_locked();
    if (inbox_ && !(in == last_inputs_)) inbox_->push_modem(in, time);
    last_inputs_ = in;
}

void PtyBridge::connect(std::shared_ptr<LineInbox> port_inbox, Ticks now) {
    std::lock_guard lock(mutex_);
    inbox_ = std::move(port_inbox);
    last_time_ = now;
    last_inputs_ = inputs_locked();
    inbox_->push_modem(last_inputs_, now);
}

void PtyBridge::disconnect(Ticks) {
    std::lock_guard lock(mutex_);
    inbox_.reset();
}

void PtyBridge::transmit(const LineSymbol& symbol) {
    bool any;
    {
        std::lock_guard lock(mutex_);
        std::vector<ReceivedAt> chars;
        rx_.receive(symbol, chars);
        deliver_locked(chars, symbol.time);
        any = !chars.empty();
    }
    if (any) wake();
}

// Without PARMRK a terminal reads a spoiled character as it came and a break as a NUL.
void PtyBridge::deliver_locked(const std::vector<ReceivedAt>& chars, Ticks time) {
    for (const ReceivedAt& r : chars) {
        if (outgoing_.size() >= kOutgoingLimit) {
            ++dropped_;
            continue;
        }
        outgoing_.push_back(r.c.value);
    }
    if (!chars.empty()) push_inputs_locked(time);
}

void PtyBridge::outputs_changed(const ModemOutputs& outputs, Ticks time) {
    std::lock_guard lock(mutex_);
    port_outputs_ = outputs;
    tx_.set_held(hardware_flow_ && !outputs.rts, time);
}

void PtyBridge::format_changed(const LineFormat& format, Ticks time) {
    {
        std::lock_guard lock(mutex_);
        format_ = format;
        tx_.set_format(format);
        rx_.set_format(format);
        format_pending_ = true;
    }
    wake();
}

Ticks PtyBridge::next_deadline() const {
    std::lock_guard lock(mutex_);
    return inbox_ ? std::min(tx_.next_event(), rx_.next_deadline()) : kNever;
}

void PtyBridge::advance(Ticks now) {
    bool any;
    {
        std::lock_guard lock(mutex_);
        last_time_ = now;
        std::vector<ReceivedAt> chars;
        rx_.advance(now, chars);
        deliver_locked(chars, now);
        any = !chars.empty();
        LineSymbol symbol;
        if (inbox_ && tx_.step(now, symbol)) inbox_->push_symbol(symbol);
        push_inputs_locked(now);
    }
    if (any) wake();
}

void PtyBridge::run() {
    termios seen{};
    tcgetattr(master_, &seen);
    bool no_reader = false;
    std::uint8_t buffer[4096];

    while (!stop_) {
        bool want_read, want_write;
        {
            std::lock_guard lock(mutex_);
            want_read = tx_.queued() < kIncomingLimit;
            want_write = !outgoing_.empty();
        }
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {master_, 0, 0}};
        if (want_read) fds[1].events |= POLLIN;
        if (want_write) fds[1].events |= POLLOUT;
        // With no program on the slave the master reports a hang-up at once: look again later
        // instead of spinning.
        const nfds_t count = no_reader ? 1 : 2;
        if (::poll(fds, count, no_reader ? 20 : 50) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            std::uint64_t drained;
            [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &drained, sizeof drained);
        }
        if (stop_) break;

        // Termios both ways: the port's programming first, then what the program set.
        termios now_seen{};
        if (tcgetattr(master_, &now_seen) == 0) {
            std::lock_guard lock(mutex_);
            if (format_pending_) {
                apply(format_, now_seen);
                tcsetattr(master_, TCSANOW, &now_seen);
                tcgetattr(master_, &now_seen);
                format_pending_ = false;
            } else if (!same_termios(now_seen, seen)) {
                format_ = format_of(now_seen, format_);
                tx_.set_format(format_);
                rx_.set_format(format_);
            }
            const bool flow = (now_seen.c_cflag & CRTSCTS) != 0;
            if (flow != hardware_flow_) {
                hardware_flow_ = flow;
                tx_.set_held(flow && !port_outputs_.rts, last_time_);
            }
            seen = now_seen;
        }

        no_reader = count == 2 && (fds[1].revents & POLLHUP) && !(fds[1].revents & POLLIN);
        if (count == 2 && (fds[1].revents & POLLIN)) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) {
                std::shared_ptr<LineInbox> inbox;
                {
                    std::lock_guard lock(mutex_);
                    tx_.write(std::span(buffer, static_cast<std::size_t>(n)), UartTransmitter::kAtNextStep);
                    inbox = inbox_;
                }
                if (inbox) inbox->notify();
            } else if (n < 0 && errno == EIO) {
                no_reader = true;
            }
        }
        if (count == 2 && (fds[1].revents & POLLOUT)) {
            std::lock_guard lock(mutex_);
            std::size_t chunk = std::min(outgoing_.size(), sizeof buffer);
            std::copy_n(outgoing_.begin(), chunk, buffer);
            const ssize_t n = ::write(master_, buffer, chunk);
            if (n > 0) {
                outgoing_.erase(outgoing_.begin(), outgoing_.begin() + n);
                push_inputs_locked(last_time_);
            }
        }
    }
}

} // namespace hvsim::devices
