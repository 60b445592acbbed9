// Data through COM ports over the emulated chip and its far ends: the read-timeout modes of the
// serial contract, every port of a four-interface adapter on its own loopback plug, wait-on-mask
// events from line and modem changes made at the far end, and two ports joined by a null-modem
// cable exchanging a mebibyte each way with RTS/CTS handshaking.
#include "comport_fixture.h"
#include "comport_pnp.h"

#include <cstring>

namespace comport_test {
namespace {

constexpr LONG kStatusTimeout = 0x00000102;
constexpr ULONG kMaxUlong = 0xFFFFFFFF;
// The sanitizers slow the emulated line some forty times: there the exchange is shorter.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kExchangeSize = 128 * 1024;
#else
constexpr size_t kExchangeSize = 1024 * 1024;
#endif

class ComPortTransfer : public ComPortTest {
protected:
    // Opens every port of a newly plugged adapter.
    std::vector<HANDLE> open_all(const std::string& spec) {
        std::vector<HANDLE> out;
        for (const Port& port : ports(plug(spec))) {
            HANDLE handle = open(port.name);
            EXPECT_NE(INVALID_HANDLE_VALUE, handle);
            out.push_back(handle);
        }
        return out;
    }
    static void set(HANDLE port, ULONG code, const void* input, DWORD length) {
        ASSERT_EQ(kStatusSuccess, control(port, code, input, length).status) << std::hex << code;
    }
    static void set_timeouts(HANDLE port, ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
        set(port, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts);
    }
    static void write_all(HANDLE port, const std::string& data) {
        Pending request;
        WriteFile(port, data.data(), static_cast<DWORD>(data.size()), nullptr, &request.overlapped);
        ASSERT_TRUE(request.wait(60000));
        ASSERT_EQ(kStatusSuccess, request.status());
        ASSERT_EQ(data.size(), request.information());
    }
    static void start_read(HANDLE port, Pending& request, std::vector<char>& buffer) {
        ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &request.overlapped);
    }
    static ULONG wait_for_events(HANDLE port, ULONG mask, const std::function<void()>& cause) {
        set(port, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
        ULONG events = 0;
        Pending wait;
        DeviceIoControl(port, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events, nullptr,
                        &wait.overlapped);
        EXPECT_FALSE(wait.done());
        cause();
        EXPECT_TRUE(wait.wait(10000));
        EXPECT_EQ(kStatusSuccess, wait.status());
        return events;
    }
};

TEST_F(ComPortTransfer, ReadTimeoutModesOverTheChip) {
    std::vector<HANDLE> handles = open_all("ftdi:wire=loopback");
    ASSERT_EQ(1u, handles.size());
    HANDLE port = handles[0];
    std::vector<char> buffer(10, 0);

    // Return at once with whatever is there: nothing.
    set_timeouts(port, kMaxUlong, 0, 0);
    Pending immediate;
    start_read(port, immediate, buffer);
    ASSERT_TRUE(immediate.wait(0));
    EXPECT_EQ(kStatusSuccess, immediate.status());
    EXPECT_EQ(0u, immediate.information());

    // Wait for the first byte at most 100 ms: nothing comes.
    set_timeouts(port, kMaxUlong, kMaxUlong, 100);
    Pending first_byte;
    start_read(port, first_byte, buffer);
    ASSERT_TRUE(first_byte.wait(10000));
    EXPECT_EQ(kStatusTimeout, first_byte.status());
    EXPECT_EQ(0u, first_byte.information());
    // ... and with a byte on its way it ends as soon as the byte is in.
    Pending first_byte_again;
    start_read(port, first_byte_again, buffer);
    write_all(port, "Q");
    ASSERT_TRUE(first_byte_again.wait(10000));
    EXPECT_EQ(kStatusSuccess, first_byte_again.status());
    ASSERT_EQ(1u, first_byte_again.information());
    EXPECT_EQ('Q', buffer[0]);

    // An interval after three bytes ends the read with those three.
    set_timeouts(port, 50, 0, 0);
    Pending interval;
    start_read(port, interval, buffer);
    write_all(port, "abc");
    ASSERT_TRUE(interval.wait(10000));
    EXPECT_EQ(kStatusTimeout, interval.status());
    ASSERT_EQ(3u, interval.information());
    EXPECT_EQ(0, std::memcmp(buffer.data(), "abc", 3));

    // A total timeout of length x 10 + 100 ms with nothing coming.
    set_timeouts(port, 0, 10, 100);
    Pending total;
    start_read(port, total, buffer);
    ASSERT_TRUE(total.wait(10000));
    EXPECT_EQ(kStatusTimeout, total.status());
    EXPECT_EQ(0u, total.information());

    // No timeouts: the read waits until it is full.
    set_timeouts(port, 0, 0, 0);
    Pending full;
    start_read(port, full, buffer);
    write_all(port, "12345");
    EXPECT_FALSE(full.wait(1000));
    write_all(port, "67890");
    ASSERT_TRUE(full.wait(10000));
    EXPECT_EQ(kStatusSuccess, full.status());
    ASSERT_EQ(10u, full.information());
    EXPECT_EQ(0, std::memcmp(buffer.data(), "1234567890", 10));
}

// Every function of a four-interface adapter gets its bus device and a COM port of its own: each
// port's bytes come back through its own loopback plug alone, and all four go at unplug.
TEST_F(ComPortTransfer, EachPortOfAFourInterfaceAdapterCarriesItsOwnBytesAndAllGoAtUnplug) {
    std::string id = plug("ftdi:interfaces=4,wire=loopback");
    std::vector<Port> found = ports(id);
    ASSERT_EQ(4u, found.size());
    std::vector<HANDLE> handles;
    for (size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(0u, found[i].name.rfind(u"COM", 0));
        for (size_t j = 0; j < i; ++j) EXPECT_NE(found[j].name, found[i].name);
        EXPECT_EQ("started", state(found[i].instance_id));
        HANDLE handle = open(found[i].name);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        set_timeouts(handle, 50, 0, 1000);
        handles.push_back(handle);
    }
    EXPECT_EQ(4u, com_port_interfaces());
    // All sent before any is read: a port on another interface's pipes would show up as bytes
    // in the wrong port or missing from its own.
    for (size_t i = 0; i < handles.size(); ++i) write_all(handles[i], "port " + std::to_string(i + 1));
    for (size_t i = 0; i < handles.size(); ++i) {
        SCOPED_TRACE(i);
        std::vector<char> buffer(32, 0);
        Pending read;
        start_read(handles[i], read, buffer);
        ASSERT_TRUE(read.wait(10000));
        EXPECT_EQ("port " + std::to_string(i + 1), std::string(buffer.data(), read.information()));
        EXPECT_TRUE(CloseHandle(handles[i]));
    }

    unplug(id);
    expect_gone(found);
}

// Across a null-modem cable RTS drives CTS and DTR drives DSR and DCD of the other port.
TEST_F(ComPortTransfer, WaitOnMaskSeesTheFarEndsModemAndLineChanges) {
    std::vector<HANDLE> handles = open_all("ftdi:interfaces=2,wire=null-modem");
    ASSERT_EQ(2u, handles.size());
    HANDLE near = handles[0], far = handles[1];

    ULONG events = wait_for_events(near, SERIAL_EV_CTS | SERIAL_EV_DSR, [&] { set(far, IOCTL_SERIAL_SET_RTS, nullptr, 0); });
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_CTS), events);
    ULONG status = 0;
    ASSERT_EQ(kStatusSuccess, control(near, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status).status);
    EXPECT_EQ(0x10u, status & 0x10u); // CTS on

    events = wait_for_events(near, SERIAL_EV_DSR | SERIAL_EV_RLSD, [&] { set(far, IOCTL_SERIAL_SET_DTR, nullptr, 0); });
    EXPECT_NE(0u, events & SERIAL_EV_DSR);
    ASSERT_EQ(kStatusSuccess, control(near, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status).status);
    EXPECT_EQ(0x30u, status & 0x30u); // CTS and DSR on

    events = wait_for_events(near, SERIAL_EV_BREAK, [&] {
        set(far, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0);
        Sleep(50);
        set(far, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0);
    });
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_BREAK), events);

    events = wait_for_events(near, SERIAL_EV_RXCHAR, [&] { write_all(far, "x"); });
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_RXCHAR), events);
}

// With abort-on-error a line error from the far end refuses every request but the status query,
// which lifts the state and reports the error.
TEST_F(ComPortTransfer, ALineErrorWithAbortOnErrorRefusesRequestsUntilTheStatusIsRead) {
    std::vector<HANDLE> handles = open_all("ftdi:interfaces=2,wire=null-modem");
    ASSERT_EQ(2u, handles.size());
    HANDLE near = handles[0], far = handles[1];
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 2048, 512};
    set(near, IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow);
    ULONG events = wait_for_events(near, SERIAL_EV_BREAK | SERIAL_EV_ERR, [&] {
        set(far, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0);
        Sleep(50);
        set(far, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0);
    });
    EXPECT_NE(0u, events & SERIAL_EV_BREAK);

    SERIAL_BAUD_RATE baud{};
    EXPECT_EQ(kStatusCancelled, control(near, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud).status);
    std::vector<char> buffer(4);
    Pending refused;
    start_read(near, refused, buffer);
    ASSERT_TRUE(refused.wait(0));
    EXPECT_EQ(kStatusCancelled, refused.status());

    SERIAL_STATUS status{};
    ASSERT_EQ(kStatusSuccess, control(near, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status).status);
    EXPECT_NE(0u, status.Errors & SERIAL_ERROR_BREAK);
    EXPECT_EQ(kStatusSuccess, control(near, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud).status);
    EXPECT_EQ(kStatusSuccess, control(near, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status).status);
    EXPECT_EQ(0u, status.Errors);
}

// Both ports send a mebibyte at once at 921600 baud with RTS/CTS, each reading what the other
// sends; the line is paced and the readers start late, so only the handshake keeps the
// receivers from overflowing.
TEST_F(ComPortTransfer, TwoPortsOnANullModemCableExchangeAMebibyteEachWayWithoutLoss) {
    std::vector<HANDLE> handles = open_all("ftdi:interfaces=2,wire=null-modem");
    ASSERT_EQ(2u, handles.size());
    SERIAL_BAUD_RATE baud{921600};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 1024, 1024};
    for (HANDLE port : handles) {
        set(port, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud);
        set(port, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line);
        set(port, IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow);
        set_timeouts(port, 0, 0, 0);
    }
    constexpr size_t kSize = kExchangeSize;
    std::string data[2] = {std::string(kSize, '\0'), std::string(kSize, '\0')};
    for (size_t i = 0; i < kSize; ++i) {
        data[0][i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        data[1][i] = static_cast<char>((i * 13 + 5 + i / 241) & 0xFF);
    }
    std::vector<char> received[2] = {std::vector<char>(kSize, 0), std::vector<char>(kSize, 0)};
    Pending reads[2], writes[2];
    for (int side = 0; side < 2; ++side)
        WriteFile(handles[side], data[side].data(), kSize, nullptr, &writes[side].overlapped);
    Sleep(500);
    EXPECT_FALSE(writes[0].done());
    for (int side = 0; side < 2; ++side) start_read(handles[side], reads[side], received[side]);
    for (int side = 0; side < 2; ++side) {
        ASSERT_TRUE(writes[side].wait(120000));
        EXPECT_EQ(kStatusSuccess, writes[side].status());
        EXPECT_EQ(kSize, writes[side].information());
    }
    for (int side = 0; side < 2; ++side) {
        ASSERT_TRUE(reads[side].wait(120000));
        EXPECT_EQ(kStatusSuccess, reads[side].status());
        ASSERT_EQ(kSize, reads[side].information());
        EXPECT_TRUE(std::memcmp(received[side].data(), data[1 - side].data(), kSize) == 0)
            << "port " << side << " received other bytes than were sent";
    }
    SERIAL_STATUS status{};
    ASSERT_EQ(kStatusSuccess, control(handles[0], IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status).status);
    EXPECT_EQ(0u, status.Errors);
}

} // namespace
} // namespace comport_test
