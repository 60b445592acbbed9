// The comm routines against a fake serial port: the codes and buffers they send, the DCB and
// COMSTAT they make of the answers, and the errors of refused requests.
#include "user_fixture.h"

// After windows.h, so that the control codes come from the user-mode headers.
#include <ntddser.h>

#include <cstring>

#include "fake_serial_device.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000D);
constexpr LONG kStatusInvalidDeviceRequest = static_cast<LONG>(0xC0000010);
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);

template <typename T> Bytes bytes_of(const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    return Bytes(p, p + sizeof value);
}

class CommTest : public UserModeTest {
protected:
    void SetUp() override {
        UserModeTest::SetUp();
        fake_serial::install();
    }
    void TearDown() override {
        hvsim::user::current_process()->close_all_handles();
        fake_serial::uninstall();
        UserModeTest::TearDown();
    }
    static HANDLE open_port(DWORD flags = 0) {
        return CreateFileW(u"\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    static std::vector<ULONG> codes() {
        std::vector<ULONG> out;
        for (const auto& r : fake_serial::requests()) out.push_back(r.code);
        return out;
    }
    static fake_serial::Request last() { return fake_serial::requests().back(); }
};

constexpr ULONG kReadState[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                                IOCTL_SERIAL_GET_HANDFLOW};

TEST_F(CommTest, GetCommStateMakesTheDcbOfTheFourSettings) {
    auto& s = fake_serial::state();
    s.baud = 57600;
    s.line[0] = TWOSTOPBITS, s.line[1] = EVENPARITY, s.line[2] = 7;
    const uint8_t chars[6] = {0x04, 0x3F, 0x55, 0x0D, 0x51, 0x53};
    std::memcpy(s.chars, chars, 6);
    s.handflow[0] = SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT;
    s.handflow[1] = SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE;
    s.handflow[2] = 100, s.handflow[3] = 200;
    HANDLE h = open_port();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();

    DCB dcb;
    std::memset(&dcb, 0xEE, sizeof dcb);
    ASSERT_TRUE(GetCommState(h, &dcb)) << GetLastError();
    EXPECT_EQ(codes(), std::vector<ULONG>(std::begin(kReadState), std::end(kReadState)));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_TRUE(dcb.fBinary && dcb.fParity);
    EXPECT_EQ(dcb.EofChar, 0x04);
    EXPECT_EQ(dcb.ErrorChar, 0x3F);
    EXPECT_EQ(dcb.EvtChar, 0x0D);
    EXPECT_EQ(dcb.XonChar, 0x51);
    EXPECT_EQ(dcb.XoffChar, 0x53);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_TRUE(dcb.fOutxCtsFlow && dcb.fDsrSensitivity && dcb.fAbortOnError);
    EXPECT_FALSE(dcb.fOutxDsrFlow);
    EXPECT_TRUE(dcb.fInX && dcb.fNull && dcb.fTXContinueOnXoff);
    EXPECT_FALSE(dcb.fOutX || dcb.fErrorChar);
    EXPECT_EQ(dcb.XonLim, 100);
    EXPECT_EQ(dcb.XoffLim, 200);
    EXPECT_EQ(dcb.wReserved, 0);
}

TEST_F(CommTest, SetCommStateSendsEachSettingAndTheStateReadsBackTheSame) {
    fake_serial::state().chars[2] = 0x77;                     // the break character, not in a DCB
    fake_serial::state().handflow[0] |= SERIAL_DCD_HANDSHAKE; // nor is DCD handshake
    HANDLE h = open_port();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 921600;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutX = 1;
    dcb.fErrorChar = 1;
    dcb.XonLim = 300;
    dcb.XoffLim = 400;
    dcb.EvtChar = 0x0A;
    dcb.ErrorChar = 0x21;
    fake_serial::clear_requests();
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();

    const auto sent = fake_serial::requests();
    const std::vector<ULONG> expected = {
        IOCTL_SERIAL_GET_BAUD_RATE,    IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
        IOCTL_SERIAL_GET_HANDFLOW,     IOCTL_SERIAL_SET_BAUD_RATE,    IOCTL_SERIAL_SET_DTR,
        IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,        IOCTL_SERIAL_SET_HANDFLOW};
    ASSERT_EQ(codes(), expected);
    EXPECT_EQ(sent[4].input, bytes_of(SERIAL_BAUD_RATE{921600}));
    EXPECT_TRUE(sent[5].input.empty());
    EXPECT_EQ(sent[6].input, (Bytes{ONE5STOPBITS, ODDPARITY, 7}));
    EXPECT_EQ(sent[7].input, (Bytes{0x1A, 0x21, 0x77, 0x0A, 0x11, 0x13}));
    const SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_DCD_HANDSHAKE,
                               SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT | SERIAL_ERROR_CHAR, 300, 400};
    EXPECT_EQ(sent[8].input, bytes_of(flow));
    for (size_t i = 4; i < sent.size(); ++i) EXPECT_EQ(sent[i].output_length, 0u) << i;

    DCB back;
    ASSERT_TRUE(GetCommState(h, &back));
    dcb.fParity = 1; // an odd parity reads back as parity checked
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);

    // RTS and DTR switched off explicitly; handshake and toggle leave the lines to the handflow.
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    fake_serial::clear_requests();
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_EQ(codes()[5], static_cast<ULONG>(IOCTL_SERIAL_CLR_RTS));
    EXPECT_EQ(codes()[6], static_cast<ULONG>(IOCTL_SERIAL_SET_LINE_CONTROL));
}

TEST_F(CommTest, ARefusedSettingLeavesThePortAsItWasAndSaysWhy) {
    HANDLE h = open_port();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 300;
    dcb.ByteSize = 4;
    fake_serial::fail(IOCTL_SERIAL_SET_LINE_CONTROL, kStatusInvalidParameter);
    fake_serial::clear_requests();
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fake_serial::state().baud, 9600u);
    EXPECT_EQ(last().code, static_cast<ULONG>(IOCTL_SERIAL_SET_HANDFLOW));

    // The driver never sees a DCB whose XON and XOFF characters are the same.
    dcb.XoffChar = dcb.XonChar;
    fake_serial::clear_requests();
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(fake_serial::requests().empty());

    // Statuses become the errors DeviceIoControl gives them.
    fake_serial::fail(IOCTL_SERIAL_GET_BAUD_RATE, kStatusCancelled);
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    fake_serial::fail(IOCTL_SERIAL_PURGE, kStatusInvalidDeviceRequest);
    EXPECT_FALSE(PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(GetCommState(reinterpret_cast<HANDLE>(0x7777), &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetCommState(h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CommTest, TimeoutsQueuesPurgeAndTheLineFunctionsEachSendTheirCode) {
    // On a handle opened for overlapped I/O the routines still finish before they return.
    HANDLE h = open_port(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 10, 5000};
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts)) << GetLastError();
    EXPECT_EQ(last().input, bytes_of(timeouts));
    EXPECT_EQ(last().output_length, 0u);
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(std::memcmp(&back, &timeouts, sizeof back), 0);

    ASSERT_TRUE(SetupComm(h, 8192, 1024));
    EXPECT_EQ(last().code, static_cast<ULONG>(IOCTL_SERIAL_SET_QUEUE_SIZE));
    EXPECT_EQ(last().input, bytes_of(SERIAL_QUEUE_SIZE{8192, 1024}));
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_RXCLEAR));
    EXPECT_EQ(fake_serial::state().purged, static_cast<ULONG>(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR));
    ASSERT_TRUE(TransmitCommChar(h, 'Q'));
    EXPECT_EQ(last().code, static_cast<ULONG>(IOCTL_SERIAL_IMMEDIATE_CHAR));
    EXPECT_EQ(last().input, Bytes{'Q'});

    const std::pair<DWORD, ULONG> escapes[] = {
        {SETXOFF, IOCTL_SERIAL_SET_XOFF},       {SETXON, IOCTL_SERIAL_SET_XON},
        {SETRTS, IOCTL_SERIAL_SET_RTS},         {CLRRTS, IOCTL_SERIAL_CLR_RTS},
        {SETDTR, IOCTL_SERIAL_SET_DTR},         {CLRDTR, IOCTL_SERIAL_CLR_DTR},
        {RESETDEV, IOCTL_SERIAL_RESET_DEVICE},  {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},
        {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
    };
    for (auto [function, code] : escapes) {
        ASSERT_TRUE(EscapeCommFunction(h, function)) << function;
        EXPECT_EQ(last().code, code) << function;
        EXPECT_TRUE(last().input.empty());
    }
    fake_serial::clear_requests();
    EXPECT_FALSE(EscapeCommFunction(h, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(EscapeCommFunction(h, CLRBREAK + 1));
    EXPECT_TRUE(fake_serial::requests().empty());
    ASSERT_TRUE(SetCommBreak(h));
    ASSERT_TRUE(ClearCommBreak(h));
    EXPECT_EQ(codes(), (std::vector<ULONG>{IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF}));
}

TEST_F(CommTest, ClearCommErrorTranslatesTheErrorsAndHoldReasons) {
    auto& status = fake_serial::state().status;
    status[0] = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN |
                SERIAL_ERROR_PARITY;
    status[1] = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DCD | SERIAL_TX_WAITING_XOFF_SENT |
                SERIAL_TX_WAITING_ON_BREAK;
    status[2] = 1234;
    status[3] = 56;
    status[4] = 0x0101; // EOF received, waiting for an immediate character
    HANDLE h = open_port();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0xFF, sizeof stat);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(last().code, static_cast<ULONG>(IOCTL_SERIAL_GET_COMMSTATUS));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));
    EXPECT_TRUE(stat.fCtsHold && stat.fRlsdHold && stat.fXoffSent && stat.fEof && stat.fTxim);
    EXPECT_FALSE(stat.fDsrHold || stat.fXoffHold);
    EXPECT_EQ(stat.fReserved, 0u);
    EXPECT_EQ(stat.cbInQue, 1234u);
    EXPECT_EQ(stat.cbOutQue, 56u);

    status[0] = SERIAL_ERROR_PARITY;
    status[1] = SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_XON;
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXPARITY));
    EXPECT_TRUE(stat.fDsrHold && stat.fXoffHold);
    EXPECT_FALSE(stat.fCtsHold);
    // Either result may be left out.
    EXPECT_TRUE(ClearCommError(h, nullptr, nullptr));
}

TEST_F(CommTest, ModemStatusPropertiesAndTheEventMask) {
    fake_serial::state().modem_status = MS_CTS_ON | MS_RLSD_ON;
    fake_serial::state().properties[0] = 64;
    fake_serial::state().properties[2] = 2;
    fake_serial::state().properties[offsetof(SERIAL_COMMPROP, ProvSubType)] = SERIAL_SP_RS422;
    HANDLE h = open_port();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ(modem, MS_CTS_ON | MS_RLSD_ON);

    COMMPROP prop{};
    ASSERT_TRUE(GetCommProperties(h, &prop));
    EXPECT_EQ(last().output_length, 64u);
    EXPECT_EQ(prop.wPacketLength, 64);
    EXPECT_EQ(prop.wPacketVersion, 2);
    EXPECT_EQ(prop.dwProvSubType, PST_RS422);
    // Room for provider data is offered only with the marker.
    struct {
        COMMPROP prop;
        char room[60];
    } larger{};
    larger.prop.wPacketLength = sizeof larger;
    ASSERT_TRUE(GetCommProperties(h, &larger.prop));
    EXPECT_EQ(last().output_length, 64u);
    larger.prop.wPacketLength = sizeof larger;
    larger.prop.dwProvSpec1 = COMMPROP_INITIALIZED;
    ASSERT_TRUE(GetCommProperties(h, &larger.prop));
    EXPECT_EQ(last().output_length, static_cast<ULONG>(sizeof larger));

    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_CTS));
    EXPECT_EQ(last().input, bytes_of(static_cast<DWORD>(EV_RXCHAR | EV_CTS)));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_CTS));

    // A synchronous wait returns the events already there.
    fake_serial::signal_events(EV_CTS);
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(h, &events, nullptr));
    EXPECT_EQ(events, static_cast<DWORD>(EV_CTS));
    EXPECT_EQ(last().code, static_cast<ULONG>(IOCTL_SERIAL_WAIT_ON_MASK));
    EXPECT_EQ(last().output_length, 4u);
}

TEST_F(CommTest, AnOverlappedWaitCommEventPendsUntilAnEventOrTheClose) {
    HANDLE h = open_port(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(h, &events, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(fake_serial::pending_waits(), 1u);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(fake_serial::signal_events(EV_RXCHAR | EV_RING));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &overlapped, &n, TRUE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR | EV_RING));

    ResetEvent(overlapped.hEvent);
    EXPECT_FALSE(WaitCommEvent(h, &events, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<LONG>(overlapped.Internal), kStatusCancelled);
    EXPECT_EQ(fake_serial::pending_waits(), 0u);
    CloseHandle(overlapped.hEvent);
}

TEST_F(CommTest, BuildCommDcbReadsBothFormsOfTheModeString) {
    DCB dcb{};
    dcb.fOutxCtsFlow = 1;
    dcb.ByteSize = 8;
    ASSERT_TRUE(BuildCommDCBA("baud=19200 parity=e data=7 stop=2 xon=on dtr=hs rts=tg", &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(dcb.fInX && dcb.fOutX && dcb.fBinary && dcb.fParity);
    EXPECT_FALSE(dcb.fOutxCtsFlow); // flow control is off unless the string says otherwise
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_TOGGLE);

    ASSERT_TRUE(BuildCommDCBW(u"COM3: 96,N,8,1,p", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_TRUE(dcb.fOutxCtsFlow && dcb.fOutxDsrFlow);
    EXPECT_FALSE(dcb.fInX || dcb.fParity);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);

    // Fields left empty keep their values; 110 baud brings two stop bits.
    ASSERT_TRUE(BuildCommDCBA("11,,5", &dcb));
    EXPECT_EQ(dcb.BaudRate, 110u);
    EXPECT_EQ(dcb.ByteSize, 5);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);

    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=115200 to=on", &dcb, &timeouts));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 60000u);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);

    const DCB before = dcb;
    for (const char* bad :
         {"baud=fast", "parity=x", "data=9", "stop=3", "96,n,8,1,q", "1,2,3,4,5,6", "speed=9600", "xon=maybe"}) {
        EXPECT_FALSE(BuildCommDCBA(bad, &dcb)) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
        EXPECT_EQ(std::memcmp(&dcb, &before, sizeof dcb), 0) << bad;
    }
    EXPECT_FALSE(BuildCommDCBW(u"baud=96\u00e9", &dcb));
}

// The configuration of an open port and of a port by name, and the list of ports, from the
// registry a port's installation writes (SERIALCOMM and the Ports entries).
TEST_F(CommTest, CommConfigurationsAndThePortList) {
    auto set_value = [](const WCHAR* path, const WCHAR* name, const std::u16string& data) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR)));
        RegCloseKey(key);
    };
    ULONG numbers[4] = {}, found = 99;
    EXPECT_EQ(GetCommPorts(numbers, 4, &found), static_cast<ULONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(found, 0u);
    const WCHAR* serialcomm = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";
    set_value(serialcomm, u"\\Device\\HvFakeSerial", u"COM9");
    set_value(serialcomm, u"\\Device\\Other", u"COM12");
    set_value(serialcomm, u"\\Device\\Printer", u"LPT1");
    set_value(serialcomm, u"\\Device\\Modem", u"COM3");
    EXPECT_EQ(GetCommPorts(numbers, 2, &found), static_cast<ULONG>(ERROR_MORE_DATA));
    EXPECT_EQ(found, 3u);
    ASSERT_EQ(GetCommPorts(numbers, 4, &found), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(std::vector<ULONG>(numbers, numbers + found), (std::vector<ULONG>{3, 9, 12}));
    EXPECT_EQ(GetCommPorts(nullptr, 4, &found), static_cast<ULONG>(ERROR_INVALID_PARAMETER));

    HANDLE h = open_port();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    fake_serial::state().baud = 38400;
    fake_serial::state().properties[offsetof(SERIAL_COMMPROP, ProvSubType)] = SERIAL_SP_RS422;
    COMMCONFIG config{};
    DWORD size = sizeof config - 1;
    EXPECT_FALSE(GetCommConfig(h, &config, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof config);
    EXPECT_FALSE(GetCommConfig(h, &config, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(GetCommConfig(h, &config, &size));
    EXPECT_EQ(config.dcb.BaudRate, 38400u);
    EXPECT_EQ(config.dwProviderSubType, PST_RS422);
    EXPECT_EQ(config.dwProviderSize, 0u);
    // A configuration that is not whole changes nothing.
    config.dcb.BaudRate = 4800;
    fake_serial::clear_requests();
    for (DWORD bad : {DWORD(sizeof config - 1), DWORD(0)}) {
        EXPECT_FALSE(SetCommConfig(h, &config, bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_TRUE(fake_serial::requests().empty());
    ASSERT_TRUE(SetCommConfig(h, &config, sizeof config));
    EXPECT_EQ(fake_serial::state().baud, 4800u);

    // By name: the Ports entry, the default where it says nothing usable, nothing for a name
    // that is no port.
    COMMCONFIG defaults{};
    size = sizeof defaults;
    EXPECT_FALSE(GetDefaultCommConfigW(u"COM4", &defaults, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const WCHAR* ports = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
    struct {
        const char16_t* entry;
        DWORD baud;
        BYTE parity;
    } const entries[] = {{nullptr, 9600, NOPARITY}, {u"19200,e,7,1", 19200, EVENPARITY}, {u"fast,?,x", 9600, NOPARITY}};
    for (const auto& e : entries) {
        if (e.entry) set_value(ports, u"COM9:", e.entry);
        ASSERT_TRUE(GetDefaultCommConfigW(u"com9", &defaults, &size));
        EXPECT_EQ(defaults.dcb.BaudRate, e.baud);
        EXPECT_EQ(defaults.dcb.Parity, e.parity);
    }
    defaults.dcb.BaudRate = 57600;
    defaults.dcb.fOutxCtsFlow = 1;
    ASSERT_TRUE(SetDefaultCommConfigW(u"COM9", &defaults, sizeof defaults));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ports, 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR text[64] = {};
    DWORD text_size = sizeof text;
    ASSERT_EQ(RegQueryValueExW(key, u"COM9:", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &text_size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(std::u16string(text), u"57600,n,8,1,p");
    EXPECT_FALSE(SetDefaultCommConfigW(u"COM4", &defaults, sizeof defaults));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CloseHandle(h);
}

} // namespace
