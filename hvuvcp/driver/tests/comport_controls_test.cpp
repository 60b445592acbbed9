// Every serial control code on an opened COM port, as an application sends it: with the sizes
// the code needs, one byte short of them (refused, nothing written), and with room to spare (the
// same answer, nothing written beyond it). Then the wait-on-mask request, the maker's own codes
// and a code nobody serves.
#include "comport_fixture.h"

#include "hvserialioctl.h"

#include <cstring>
#include <iomanip>
#include <sstream>

namespace comport_test {
namespace {

using Bytes = std::vector<UCHAR>;

template <class T> Bytes bytes_of(const T& value) {
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

Bytes ulong_bytes(ULONG value) { return bytes_of(value); }

// One code: what it is sent, the output it needs and how it answers.
struct Row {
    ULONG code;
    const char* name;
    Bytes input;
    ULONG output = 0;
    LONG status = kStatusSuccess;
};

#define ROW(code, ...) Row{code, #code, __VA_ARGS__}

// In an order that keeps the port usable throughout (XOFF is followed by XON, break on by off).
std::vector<Row> standard_rows() {
    SERIAL_TIMEOUTS timeouts{0, 0, 0, 0, 0};
    SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
    SERIAL_QUEUE_SIZE queue{4096, 4096};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    return {
        ROW(IOCTL_SERIAL_SET_BAUD_RATE, ulong_bytes(9600)),
        ROW(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4),
        ROW(IOCTL_SERIAL_SET_QUEUE_SIZE, bytes_of(queue)),
        ROW(IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(line)),
        ROW(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3),
        ROW(IOCTL_SERIAL_SET_BREAK_ON, {}),
        ROW(IOCTL_SERIAL_SET_BREAK_OFF, {}),
        ROW(IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{'x'}),
        ROW(IOCTL_SERIAL_SET_TIMEOUTS, bytes_of(timeouts)),
        ROW(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20),
        ROW(IOCTL_SERIAL_SET_DTR, {}),
        ROW(IOCTL_SERIAL_CLR_DTR, {}),
        ROW(IOCTL_SERIAL_RESET_DEVICE, {}),
        ROW(IOCTL_SERIAL_SET_RTS, {}),
        ROW(IOCTL_SERIAL_CLR_RTS, {}),
        ROW(IOCTL_SERIAL_SET_XOFF, {}),
        ROW(IOCTL_SERIAL_SET_XON, {}),
        ROW(IOCTL_SERIAL_SET_WAIT_MASK, ulong_bytes(SERIAL_EV_RXCHAR)),
        ROW(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4),
        ROW(IOCTL_SERIAL_PURGE, ulong_bytes(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)),
        ROW(IOCTL_SERIAL_GET_CHARS, {}, 6),
        ROW(IOCTL_SERIAL_SET_CHARS, bytes_of(chars)),
        ROW(IOCTL_SERIAL_GET_HANDFLOW, {}, 16),
        ROW(IOCTL_SERIAL_SET_HANDFLOW, bytes_of(handflow)),
        ROW(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4),
        ROW(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20),
        ROW(IOCTL_SERIAL_XOFF_COUNTER, {}, 0, kStatusNotSupported),
        ROW(IOCTL_SERIAL_GET_PROPERTIES, {}, 64),
        ROW(IOCTL_SERIAL_GET_DTRRTS, {}, 4),
        ROW(IOCTL_SERIAL_LSRMST_INSERT, Bytes{0}),
        ROW(IOCTL_SERIAL_CONFIG_SIZE, {}, 4),
        ROW(IOCTL_SERIAL_GET_COMMCONFIG, {}, 0, kStatusNotSupported),
        ROW(IOCTL_SERIAL_SET_COMMCONFIG, {}, 0, kStatusNotSupported),
        ROW(IOCTL_SERIAL_GET_STATS, {}, 24),
        ROW(IOCTL_SERIAL_CLEAR_STATS, {}),
        ROW(IOCTL_SERIAL_SET_MODEM_CONTROL, ulong_bytes(0)),
        ROW(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4),
        ROW(IOCTL_SERIAL_SET_FIFO_CONTROL, Bytes{1}),
    };
}

constexpr UCHAR kUntouched = 0xCC;
constexpr ULONG kSpare = 8;

std::string describe(const Row& row, const char* how) {
    std::ostringstream out;
    out << row.name << " (0x" << std::hex << std::setw(6) << std::setfill('0') << row.code << "), " << how;
    return out.str();
}

class ComPortControls : public ComPortTest {
protected:
    void SetUp() override {
        ComPortTest::SetUp();
        if (HasFatalFailure()) return;
        std::vector<Port> found = ports(plug("ftdi:wire=loopback"));
        ASSERT_EQ(1u, found.size());
        port_ = open(found[0].name);
        ASSERT_NE(INVALID_HANDLE_VALUE, port_);
    }

    // Sends the row with the input and output sizes given; the output buffer starts untouched.
    ControlResult send(const Row& row, ULONG input_length, ULONG output_length, Bytes* output) {
        Bytes input = row.input;
        input.resize(input_length, 0);
        output->assign(output_length, kUntouched);
        return control(port_, row.code, input_length ? input.data() : nullptr, input_length,
                       output_length ? output->data() : nullptr, output_length);
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(ComPortControls, EveryStandardCodeAnswersWithItsSizesAndRefusesShortBuffersWritingNothing) {
    for (const Row& row : standard_rows()) {
        const ULONG input = static_cast<ULONG>(row.input.size());
        const ULONG information = row.status == kStatusSuccess ? row.output : 0;
        Bytes output;

        SCOPED_TRACE(describe(row, "exact sizes"));
        ControlResult exact = send(row, input, row.output, &output);
        EXPECT_EQ(row.status, exact.status);
        EXPECT_EQ(information, exact.information);

        if (input) {
            SCOPED_TRACE(describe(row, "input one byte short"));
            ControlResult shorter = send(row, input - 1, row.output, &output);
            EXPECT_EQ(kStatusBufferTooSmall, shorter.status);
            EXPECT_EQ(0u, shorter.information);
            EXPECT_EQ(Bytes(row.output, kUntouched), output);
        }
        if (row.output) {
            SCOPED_TRACE(describe(row, "output one byte short"));
            ControlResult shorter = send(row, input, row.output - 1, &output);
            EXPECT_EQ(kStatusBufferTooSmall, shorter.status);
            EXPECT_EQ(0u, shorter.information);
            EXPECT_EQ(Bytes(row.output - 1, kUntouched), output);
        }

        SCOPED_TRACE(describe(row, "buffers with room to spare"));
        ControlResult larger = send(row, input + kSpare, row.output + kSpare, &output);
        EXPECT_EQ(row.status, larger.status);
        EXPECT_EQ(information, larger.information);
        EXPECT_EQ(Bytes(kSpare, kUntouched), Bytes(output.end() - kSpare, output.end()));
    }
}

TEST_F(ComPortControls, TheAnswersReadBackWhatWasSet) {
    SERIAL_BAUD_RATE baud{9600};
    ASSERT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud).status);
    SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
    ASSERT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line).status);
    SERIAL_TIMEOUTS timeouts{10, 20, 30, 40, 50};
    ASSERT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts).status);
    SERIAL_CHARS chars{0x1A, 0x3F, 0, 'x', 0x11, 0x13};
    ASSERT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars).status);
    ASSERT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_SET_DTR, nullptr, 0).status);
    ASSERT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_SET_RTS, nullptr, 0).status);

    SERIAL_BAUD_RATE baud_back{};
    EXPECT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud_back, sizeof baud_back).status);
    EXPECT_EQ(9600u, baud_back.BaudRate);
    SERIAL_LINE_CONTROL line_back{};
    EXPECT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line_back, sizeof line_back).status);
    EXPECT_EQ(0, std::memcmp(&line, &line_back, sizeof line));
    SERIAL_TIMEOUTS timeouts_back{};
    EXPECT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts_back, sizeof timeouts_back).status);
    EXPECT_EQ(0, std::memcmp(&timeouts, &timeouts_back, sizeof timeouts));
    SERIAL_CHARS chars_back{};
    EXPECT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars_back, sizeof chars_back).status);
    EXPECT_EQ(0, std::memcmp(&chars, &chars_back, sizeof chars));
    ULONG dtr_rts = 0;
    EXPECT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &dtr_rts, sizeof dtr_rts).status);
    EXPECT_EQ(SERIAL_DTR_STATE | SERIAL_RTS_STATE, dtr_rts);
    ULONG config_size = 0xFFFFFFFF;
    EXPECT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, &config_size, sizeof config_size).status);
    EXPECT_EQ(0u, config_size);
    SERIAL_COMMPROP properties{};
    EXPECT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &properties, sizeof properties).status);
    EXPECT_EQ(sizeof properties, properties.PacketLength);
    EXPECT_EQ(SERIAL_SP_RS232, properties.ProvSubType);
}

// The stored timeouts come back only into an output that holds all of them.
TEST_F(ComPortControls, SetTimeoutsCopiesTheTimeoutsBackOnlyIntoARoomyEnoughOutput) {
    SERIAL_TIMEOUTS timeouts{1, 2, 3, 4, 5};
    Bytes buffer(sizeof timeouts, kUntouched);
    std::memcpy(buffer.data(), &timeouts, sizeof timeouts);
    Bytes small(sizeof timeouts - 1, kUntouched);
    ControlResult cramped = control(port_, IOCTL_SERIAL_SET_TIMEOUTS, buffer.data(), sizeof timeouts, small.data(),
                                    static_cast<DWORD>(small.size()));
    EXPECT_EQ(kStatusSuccess, cramped.status);
    EXPECT_EQ(0u, cramped.information);
    EXPECT_EQ(Bytes(small.size(), kUntouched), small);

    Bytes roomy(sizeof timeouts + kSpare, kUntouched);
    ControlResult result = control(port_, IOCTL_SERIAL_SET_TIMEOUTS, buffer.data(), sizeof timeouts, roomy.data(),
                                   static_cast<DWORD>(roomy.size()));
    EXPECT_EQ(kStatusSuccess, result.status);
    EXPECT_EQ(sizeof timeouts, result.information);
    EXPECT_EQ(0, std::memcmp(roomy.data(), &timeouts, sizeof timeouts));
}

TEST_F(ComPortControls, WaitOnMaskChecksItsOutputAndEndsWithTheEventThatCame) {
    ULONG events = 0xFFFFFFFF;
    UCHAR tiny[3] = {kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(kStatusBufferTooSmall, control(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, tiny, sizeof tiny).status);
    EXPECT_EQ(kUntouched, tiny[0]);

    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(kStatusSuccess, control(port_, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask).status);
    Bytes output(4 + kSpare, kUntouched);
    Pending wait;
    EXPECT_FALSE(DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, output.data(),
                                 static_cast<DWORD>(output.size()), nullptr, &wait.overlapped));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());

    // A byte through the loopback plug satisfies it.
    Pending write;
    const char byte = 'a';
    WriteFile(port_, &byte, 1, nullptr, &write.overlapped);
    ASSERT_TRUE(write.wait(10000));
    ASSERT_TRUE(wait.wait(10000));
    EXPECT_EQ(kStatusSuccess, wait.status());
    EXPECT_EQ(4u, wait.information());
    std::memcpy(&events, output.data(), sizeof events);
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_RXCHAR), events);
    EXPECT_EQ(Bytes(kSpare, kUntouched), Bytes(output.begin() + 4, output.end()));
}

TEST_F(ComPortControls, TheMakersCodesCheckTheirBuffersAndArguments) {
    HVSERIAL_DUPLEX_MODE duplex{};
    std::memset(&duplex, kUntouched, sizeof duplex);
    EXPECT_EQ(kStatusBufferTooSmall,
              control(port_, IOCTL_HVSERIAL_GET_DUPLEX_MODE, nullptr, 0, &duplex, sizeof duplex - 1).status);
    ControlResult got = control(port_, IOCTL_HVSERIAL_GET_DUPLEX_MODE, nullptr, 0, &duplex, sizeof duplex);
    EXPECT_EQ(kStatusSuccess, got.status);
    EXPECT_EQ(sizeof duplex, got.information);
    EXPECT_EQ(0u, duplex.DuplexMode); // an RS-232 port
    EXPECT_EQ(0, duplex.CtsTrue);

    for (ULONG mode : {0u, 6u}) {
        HVSERIAL_DUPLEX_MODE wrong{mode, 0, {}};
        EXPECT_EQ(kStatusInvalidParameter, control(port_, IOCTL_HVSERIAL_SET_DUPLEX_MODE, &wrong, sizeof wrong).status);
    }
    HVSERIAL_DUPLEX_MODE one{1, 0, {}};
    EXPECT_EQ(kStatusBufferTooSmall, control(port_, IOCTL_HVSERIAL_SET_DUPLEX_MODE, &one, sizeof one - 1).status);
    // An RS-232 port has no duplex modes.
    EXPECT_EQ(kStatusUnsuccessful, control(port_, IOCTL_HVSERIAL_SET_DUPLEX_MODE, &one, sizeof one).status);

    HVSERIAL_EEPROM_REQUEST read{0, 16};
    UCHAR data[32];
    std::memset(data, kUntouched, sizeof data);
    EXPECT_EQ(kStatusBufferTooSmall, control(port_, IOCTL_HVSERIAL_READ_EEPROM, &read, sizeof read, data, 15).status);
    EXPECT_EQ(kStatusBufferTooSmall, control(port_, IOCTL_HVSERIAL_READ_EEPROM, &read, sizeof read, data, 17).status);
    EXPECT_EQ(kStatusBufferTooSmall, control(port_, IOCTL_HVSERIAL_READ_EEPROM, &read, sizeof read - 1, data, 16).status);
    EXPECT_EQ(kUntouched, data[0]);

    UCHAR write[8 + 4] = {};
    HVSERIAL_EEPROM_REQUEST head{0, 4};
    std::memcpy(write, &head, sizeof head);
    EXPECT_EQ(kStatusBufferTooSmall, control(port_, IOCTL_HVSERIAL_WRITE_EEPROM, write, sizeof write, data, 1).status);
    EXPECT_EQ(kStatusBufferTooSmall, control(port_, IOCTL_HVSERIAL_WRITE_EEPROM, write, sizeof write - 1).status);
    head.Length = 8;
    std::memcpy(write, &head, sizeof head);
    EXPECT_EQ(kStatusBufferTooSmall, control(port_, IOCTL_HVSERIAL_WRITE_EEPROM, write, sizeof write).status);
}

TEST_F(ComPortControls, ACodeNobodyServesIsNotSupported) {
    ULONG value = 0;
    EXPECT_EQ(kStatusNotSupported,
              control(port_, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
                      &value, sizeof value)
                  .status);
    EXPECT_EQ(kStatusNotSupported,
              control(port_, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
                      &value, sizeof value)
                  .status);
}

} // namespace
} // namespace comport_test
