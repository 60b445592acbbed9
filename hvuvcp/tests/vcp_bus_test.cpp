// The port object bound to the real bus driver over an emulated adapter, in virtual time: what each
// setting makes of the chip, what the line's errors, breaks and NUL bytes become, every event on its
// cause, and receive flow control holding back a fast far end while the reader is slow.
#include "vcpbusmachine.h"

#include <hvsim/sched.h>
#include <hvsim/usb.h>

namespace vcptest {
namespace {

using hvsim::devices::FtdiChip;
using hvsim::devices::LineFormat;
using hvsim::devices::ModemInputs;
using hvsim::devices::Parity;
using hvsim::devices::ScriptedPeer;
using hvsim::devices::StopBits;

constexpr int64_t kMs = hvsim::sched::kTicksPerMillisecond;

class VcpBus : public VcpBusMachine {
protected:
    void SetUp() override {
        VcpBusMachine::SetUp();
        port_ = plug();
        ASSERT_NE(port_.vcp, nullptr);
        EXPECT_EQ(port_.script, nullptr);
    }
    void open_port() {
        file_ = open(port_);
        ASSERT_NE(file_, nullptr);
        // The first transmit credit comes at connect.
        pass_ms(5);
        hvsim::usb::clear_urb_log();
    }
    bool sent(UCHAR request, USHORT value) {
        for (auto& r : vendor_requests())
            if (r.first == request && r.second == value)
                return true;
        return false;
    }
    // A peer at the port's own rate and framing.
    std::shared_ptr<ScriptedPeer> peer(const LineFormat& format = LineFormat{115200.0}) {
        auto p = std::make_shared<ScriptedPeer>(format);
        attach(p);
        return p;
    }
    static int64_t now() { return hvsim::sched::now(); }
};

TEST_F(VcpBus, BindsToTheBusDriversPortAndReleasesItAtUnplug) {
    ISerial* record = port_.vcp->m_BusInterface.m_GetRecord();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->m_pvCallbackContext, static_cast<CVcpCallbackSink*>(port_.vcp));
    EXPECT_EQ(record->m_ulSupportedBaudRates, HVISERIAL_ASK_EACH_BAUD_RATE);
    EXPECT_EQ(port_.vcp->m_ulPortNumber, 1u);
    // The chip's slowest rate is 183 baud: every standard rate from 300 up, and the fast ones.
    EXPECT_EQ(port_.vcp->m_pSettings->m_ulSupportedBaudRates, 0x1007FFF0u);
    open_port();
    hvsim::io::close_file(file_);
    file_ = nullptr;
    hvsim::usb::unplug(usb_port_);
    usb_port_ = 0;
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(port_of(port_.node).vcp, nullptr);
}

TEST_F(VcpBus, EverySettingReachesTheChip) {
    open_port();
    SERIAL_BAUD_RATE rate{9600};
    EXPECT_EQ(port_.vcp->m_SetBaudRate(&rate), STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
    EXPECT_EQ(port_.vcp->m_SetLineControl(&line), STATUS_SUCCESS);
    FtdiChip::PortState state = chip_state();
    EXPECT_TRUE(state.format.rate_matches(9600.0)) << state.format.to_string();
    EXPECT_EQ(state.format.data_bits, 7);
    EXPECT_EQ(state.format.parity, Parity::even);
    EXPECT_EQ(state.format.stop_bits, StopBits::two);
    // The URB log: the divisor of 9600 baud, then 7 data bits, even parity, two stop bits.
    EXPECT_TRUE(sent(0x03, 0x4138));
    EXPECT_TRUE(sent(0x04, 7 | 2 << 8 | 2 << 11));

    SERIAL_CHARS chars{0, '?', '!', '#', 0x11, 0x13};
    EXPECT_EQ(port_.vcp->m_SetSpecialCharacters(&chars), STATUS_SUCCESS);
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
    state = chip_state();
    EXPECT_EQ(state.flow_mode, 0x01);
    EXPECT_TRUE(state.dtr);
    EXPECT_EQ(handflow(SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(chip_state().flow_mode, 0x02);
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE), STATUS_SUCCESS);
    state = chip_state();
    EXPECT_EQ(state.flow_mode, 0x04);
    EXPECT_EQ(state.xon, 0x11);
    EXPECT_EQ(state.xoff, 0x13);
    EXPECT_EQ(handflow(0, 0), STATUS_SUCCESS);
    state = chip_state();
    EXPECT_EQ(state.flow_mode, 0x00);
    EXPECT_FALSE(state.dtr);
    EXPECT_FALSE(state.rts);

    hvsim::usb::clear_urb_log();
    EXPECT_EQ(port_.vcp->m_SetDtr(), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_SetRts(), STATUS_SUCCESS);
    EXPECT_EQ(vendor_requests(), (std::vector<std::pair<UCHAR, USHORT>>{{0x01, 0x0101}, {0x01, 0x0202}}));
    state = chip_state();
    EXPECT_TRUE(state.dtr);
    EXPECT_TRUE(state.rts);
    EXPECT_EQ(port_.vcp->m_ClearRts(), STATUS_SUCCESS);
    EXPECT_FALSE(chip_state().rts);
    EXPECT_EQ(port_.vcp->m_SetBreakOn(), STATUS_SUCCESS);
    EXPECT_TRUE(chip_state().break_on);
    EXPECT_TRUE(sent(0x04, 7 | 2 << 8 | 2 << 11 | 0x4000));
    EXPECT_EQ(port_.vcp->m_SetBreakOff(), STATUS_SUCCESS);
    EXPECT_FALSE(chip_state().break_on);
    EXPECT_EQ(port_.vcp->m_SetLsrMstInsert(0), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_Purge(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_ResetDevice(), STATUS_SUCCESS);
}

TEST_F(VcpBus, WritesGoOutOnTheLineAndCompleteOnceWritten) {
    open_port();
    auto far = peer();
    auto write = write_async(file_, bytes_of("hello, line"));
    EXPECT_TRUE(wait_for([&] { return write->done.load(); }, 200));
    EXPECT_EQ(write->status, STATUS_SUCCESS);
    EXPECT_EQ(write->information, 11u);
    EXPECT_TRUE(wait_for([&] { return far->received_bytes().size() == 11; }, 200));
    EXPECT_EQ(far->received_bytes(), bytes_of("hello, line"));
    EXPECT_TRUE(wait_for([&] { return status().AmountInOutQueue == 0; }, 200));
    EXPECT_EQ(port_.vcp->m_PerfStats.TransmittedCount, 11u);
}

TEST_F(VcpBus, ReceivedErrorsBreaksAndNulsFollowTheRules) {
    open_port();
    SERIAL_CHARS chars{0, '?', '!', 0, 0x11, 0x13};
    EXPECT_EQ(port_.vcp->m_SetSpecialCharacters(&chars), STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line{STOP_BIT_1, EVEN_PARITY, 8};
    EXPECT_EQ(port_.vcp->m_SetLineControl(&line), STATUS_SUCCESS);
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL,
                       SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING | SERIAL_ERROR_CHAR | SERIAL_BREAK_CHAR),
              STATUS_SUCCESS);
    LineFormat format{115200.0, 8, Parity::even};
    auto far = peer(format);

    far->send(std::string_view("a\0b\0c", 5), now());
    EXPECT_EQ(read_all(3), bytes_of("abc"));
    pass_ms(5);
    EXPECT_EQ(read_now(16), Bytes{});

    // A character with a bad parity bit stands as the error character.
    far->send_spoiled('x', true, false, now());
    EXPECT_EQ(read_all(1), bytes_of("?"));
    far->send("ok", now() + 2 * kMs);
    EXPECT_EQ(read_all(2), bytes_of("ok"));
    // Four in one packet: four error characters.
    for (char c : std::string("wxyz"))
        far->send_spoiled((uint8_t)c, true, false, now());
    EXPECT_EQ(read_all(4), bytes_of("????"));
    pass_ms(5);
    EXPECT_EQ(read_now(16), Bytes{});
    far->send("ok", now() + 2 * kMs);
    EXPECT_EQ(read_all(2), bytes_of("ok"));
    // A missing stop bit likewise.
    far->send_spoiled('y', false, true, now());
    EXPECT_EQ(read_all(1), bytes_of("?"));
    far->send("ok", now() + 2 * kMs);
    EXPECT_EQ(read_all(2), bytes_of("ok"));
    // A break: its character, once.
    far->send_break(now(), 5 * kMs);
    Bytes after_break = read_all(1, 50);
    ASSERT_FALSE(after_break.empty());
    EXPECT_EQ(after_break[0], '!');
    pass_ms(20);
    read_now(64);
    far->send("fine", now() + 2 * kMs);
    EXPECT_EQ(read_all(4), bytes_of("fine"));

    SERIALPERF_STATS stats = port_.vcp->m_PerfStats;
    EXPECT_GE(stats.ParityErrorCount, 1u);
    EXPECT_GE(stats.FrameErrorCount, 1u);
    ULONG errors = status().Errors;
    EXPECT_TRUE(errors & SERIAL_ERROR_PARITY) << errors;
    EXPECT_TRUE(errors & SERIAL_ERROR_FRAMING) << errors;
    EXPECT_TRUE(errors & SERIAL_ERROR_BREAK) << errors;
}

TEST_F(VcpBus, EveryEventFiresOnItsCause) {
    open_port();
    SERIAL_CHARS chars{0, 0, 0, 'x', 0x11, 0x13};
    EXPECT_EQ(port_.vcp->m_SetSpecialCharacters(&chars), STATUS_SUCCESS);
    auto far = peer();
    ModemInputs inputs{false, false, false, false};
    far->set_inputs(inputs, now());
    pass_ms(50);
    std::vector<std::unique_ptr<Pending>> writes;
    struct Case {
        ULONG event;
        std::function<void()> cause;
    };
    const std::vector<Case> cases = {
        {SERIAL_EV_RXCHAR, [&] { far->send("a", now()); }},
        {SERIAL_EV_RXFLAG, [&] { far->send("abxc", now()); }},
        {SERIAL_EV_TXEMPTY, [&] { writes.push_back(write_async(file_, bytes_of("out"))); }},
        {SERIAL_EV_CTS, [&] { inputs.cts = true; far->set_inputs(inputs, now()); }},
        {SERIAL_EV_DSR, [&] { inputs.dsr = true; far->set_inputs(inputs, now()); }},
        {SERIAL_EV_RLSD, [&] { inputs.dcd = true; far->set_inputs(inputs, now()); }},
        {SERIAL_EV_RING, [&] {
             inputs.ri = true;
             far->set_inputs(inputs, now());
             inputs.ri = false;
             far->set_inputs(inputs, now() + 20 * kMs);
         }},
        {SERIAL_EV_BREAK, [&] { far->send_break(now(), 5 * kMs); }},
        {SERIAL_EV_ERR, [&] { far->send_spoiled('e', false, true, now()); }},
        {SERIAL_EV_RX80FULL, [&] { far->send(std::string(3400, 'f'), now()); }},
    };
    for (const Case& each : cases) {
        auto wait = wait_for_events(each.event);
        each.cause();
        EXPECT_EQ(events_of(*wait, 1000), each.event) << "event 0x" << std::hex << each.event;
        pass_ms(40);
        EXPECT_EQ(port_.vcp->m_Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
        status();
    }
}

TEST_F(VcpBus, ImmediateCharacterGoesOutAheadAndWritesStillCompleteWhole) {
    open_port();
    auto far = peer();
    EXPECT_EQ(port_.vcp->m_SendImmediateChar('!'), STATUS_SUCCESS);
    auto write = write_async(file_, bytes_of("after"));
    EXPECT_TRUE(wait_for([&] { return write->done.load(); }, 200));
    EXPECT_EQ(write->status, STATUS_SUCCESS);
    EXPECT_EQ(write->information, 5u);
    EXPECT_TRUE(wait_for([&] { return far->received_bytes().size() == 6; }, 200));
    EXPECT_EQ(far->received_bytes(), bytes_of("!after"));
    EXPECT_TRUE(wait_for([&] { return status().AmountInOutQueue == 0; }, 200));
    EXPECT_FALSE(status().WaitForImmediate);
}

TEST_F(VcpBus, LineStatusIsInsertedBeforeTheDataItSpoiled) {
    open_port();
    SERIAL_LINE_CONTROL line{STOP_BIT_1, ODD_PARITY, 8};
    EXPECT_EQ(port_.vcp->m_SetLineControl(&line), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_SetLsrMstInsert(0xFF), STATUS_SUCCESS);
    auto far = peer(LineFormat{115200.0, 8, Parity::odd});
    far->send_spoiled('p', true, false, now());
    Bytes got = read_all(4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], 0xFF);
    EXPECT_EQ(got[1], SERIAL_LSRMST_LSR_DATA);
    EXPECT_TRUE(got[2] & SERIAL_LSR_PE) << (int)got[2];
    EXPECT_EQ(got[3], 'p');
    far->send(Bytes{0xFF}, now() + 2 * hvsim::sched::kTicksPerMillisecond);
    EXPECT_EQ(read_all(2), (Bytes{0xFF, 0x00}));
}

TEST_F(VcpBus, ErrorAbortHoldsEveryRequestUntilTheStatusIsRead) {
    open_port();
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    auto far = peer();
    far->send_spoiled('z', false, true, now());
    EXPECT_TRUE(wait_for([&] { return port_.vcp->m_IsErrorAbortState(); }, 200));
    Bytes buffer(4);
    EXPECT_EQ(hvsim::io::read_file(file_, buffer.data(), 4).status, STATUS_CANCELLED);
    EXPECT_EQ(hvsim::io::write_file(file_, "w", 1).status, STATUS_CANCELLED);
    EXPECT_TRUE(status().Errors & SERIAL_ERROR_FRAMING);
    EXPECT_FALSE(port_.vcp->m_IsErrorAbortState());
    pass_ms(20);
    read_now(64);
    far->send("again", now());
    EXPECT_EQ(read_all(5), bytes_of("again"));
}

// A far end faster than the reader: receive flow control holds it back, and nothing is lost.
class VcpBusFlow : public VcpBus, public ::testing::WithParamInterface<FlowPeer::Mode> {};

TEST_P(VcpBusFlow, ThrottlesAFastFarEndWithoutLosingAByte) {
    open_port();
    switch (GetParam()) {
    case FlowPeer::Mode::rts_cts:
        EXPECT_EQ(handflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
        break;
    case FlowPeer::Mode::dtr_dsr:
        EXPECT_EQ(handflow(SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
        break;
    case FlowPeer::Mode::xon_xoff:
        EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE), STATUS_SUCCESS);
        break;
    }
    Bytes data(10000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (UCHAR)(i % 251 == 0x11 || i % 251 == 0x13 ? 0x20 : i % 251);
    auto far = std::make_shared<FlowPeer>(LineFormat{115200.0}, GetParam(), data);
    attach(far);
    // The reader takes 200 bytes every 50 ms: 4000 bytes a second against the line's 11520.
    Bytes got;
    for (int round = 0; round < 400 && got.size() < data.size(); ++round) {
        pass_ms(50);
        Bytes more = read_now(200);
        got.insert(got.end(), more.begin(), more.end());
    }
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the data came out changed";
    EXPECT_GT(far->pauses(), 0);
    EXPECT_EQ(port_.vcp->m_PerfStats.BufferOverrunErrorCount, 0u);
    EXPECT_EQ(port_.vcp->m_PerfStats.SerialOverrunErrorCount, 0u);
    EXPECT_EQ(status().Errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, VcpBusFlow,
                         ::testing::Values(FlowPeer::Mode::rts_cts, FlowPeer::Mode::dtr_dsr, FlowPeer::Mode::xon_xoff),
                         [](const ::testing::TestParamInfo<FlowPeer::Mode>& info) {
                             switch (info.param) {
                             case FlowPeer::Mode::rts_cts:
                                 return std::string("Rts");
                             case FlowPeer::Mode::dtr_dsr:
                                 return std::string("Dtr");
                             default:
                                 return std::string("XonXoff");
                             }
                         });

} // namespace
} // namespace vcptest
