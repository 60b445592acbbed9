// The port object against a scripted record provider: the binding, what each setting sends, the
// receive filtering rules, the communication events and the receive flow control, each case
// deterministic because the test plays the bus driver's part.
#include "vcptestmachine.h"

#include <hvsim/io.h>

namespace vcptest {
namespace {

class VcpScripted : public VcpMachine {
protected:
    void SetUp() override {
        VcpMachine::SetUp();
        port_ = add_scripted_port();
        ASSERT_NE(port_.vcp, nullptr);
        ASSERT_NE(port_.script, nullptr);
    }
    // Opens the port and forgets what the open sent.
    void open_port() {
        file_ = open(port_);
        ASSERT_NE(file_, nullptr);
        port_.script->forget_calls();
    }
};

// ---- Binding -------------------------------------------------------------------------------------

TEST_F(VcpScripted, BindsThroughTheCreateRequestAndReleasesTheSameRecordAtRemoval) {
    EXPECT_EQ(script_requests(), std::vector<std::string>{"Create 4 1"});
    ISerial* record = port_.script->m_GetISerial();
    EXPECT_EQ(record->m_pvCallbackContext, static_cast<CVcpCallbackSink*>(port_.vcp));
    EXPECT_NE(record->m_Callbacks.m_Read, nullptr);
    EXPECT_NE(record->m_Callbacks.m_AvailableReceiveBufferSizeCallback, nullptr);
    remove(port_.node);
    EXPECT_EQ(script_requests(), (std::vector<std::string>{"Create 4 1", "Release 1 0 same record"}));
    EXPECT_EQ(port_of(port_.node).vcp, nullptr);
}

TEST_F(VcpScripted, AShortOrRefusedAnswerLeavesThePortUnstarted) {
    ScriptOptions options;
    options.short_answer = true;
    Port short_port = add_scripted_port(options);
    EXPECT_EQ(short_port.vcp, nullptr);
    EXPECT_NE(hvsim::pnp::problem_of(short_port.node), 0u);
    options = {};
    options.refuse_create = true;
    Port refused = add_scripted_port(options);
    EXPECT_EQ(refused.vcp, nullptr);
    EXPECT_NE(hvsim::pnp::problem_of(refused.node), 0u);
}

TEST_F(VcpScripted, AskEachRateDiscoveryFillsTheSupportedRates) {
    // Every standard rate from 183 baud up answered yes, and the rates above 128000 stand for any.
    CHvUVcpUserModeInterface* set = port_.vcp->m_pSettings;
    EXPECT_EQ(set->m_ulSupportedBaudRates & 0x3, 0u);
    EXPECT_EQ(set->m_ulSupportedBaudRates & 0x1007FFF0, 0x1007FFF0u);
    SERIAL_COMMPROP properties{};
    EXPECT_EQ(port_.vcp->m_GetPortProperties(&properties), STATUS_SUCCESS);
    EXPECT_EQ(properties.SettableBaud, set->m_ulSupportedBaudRates);
    EXPECT_EQ(properties.ProvSubType, 1u);
    EXPECT_EQ(properties.CurrentRxQueue, 4096u);
    EXPECT_EQ(properties.SettableStopParity, 0x1F07);
}

// ---- Settings ----------------------------------------------------------------------------------

TEST_F(VcpScripted, OpenSendsRateAndLineWithTheSetsOverrides) {
    port_.vcp->m_pSettings->m_ulOverridBaudRates = 1;
    port_.vcp->m_pSettings->m_ulBaudrate = 9600;
    port_.vcp->m_pSettings->m_ulOverrideParity = 1;
    port_.vcp->m_pSettings->m_ulParity = 2;
    file_ = open(port_);
    auto calls = port_.script->calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "Connect");
    EXPECT_TRUE(port_.script->called("Baud 9600"));
    EXPECT_TRUE(port_.script->called("Comm 3 2 0"));
    port_.script->forget_calls();

    SERIAL_BAUD_RATE rate{115200};
    EXPECT_EQ(port_.vcp->m_SetBaudRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(port_.script->calls(), std::vector<std::string>{"Baud 9600"});
    EXPECT_EQ(port_.vcp->m_ulBaudRate, 115200u);
    SERIAL_LINE_CONTROL line{STOP_BITS_2, ODD_PARITY, 7};
    EXPECT_EQ(port_.vcp->m_SetLineControl(&line), STATUS_SUCCESS);
    EXPECT_TRUE(port_.script->called("Comm 2 2 2"));
    EXPECT_EQ(port_.vcp->m_ucParity, ODD_PARITY);
}

TEST_F(VcpScripted, ARefusedRateNeverReachesTheBusAndAZeroRateIsRefused) {
    open_port();
    SERIAL_BAUD_RATE rate{60};
    EXPECT_EQ(port_.vcp->m_SetBaudRate(&rate), STATUS_UNSUCCESSFUL);
    // A set written with bounds of 0 must not let 0 through to the character time.
    port_.vcp->m_pSettings->m_ulMinBaudRate = 0;
    rate.BaudRate = 0;
    EXPECT_EQ(port_.vcp->m_SetBaudRate(&rate), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(port_.script->calls().empty());
    port_.script->fail_baud = true;
    rate.BaudRate = 9600;
    EXPECT_EQ(port_.vcp->m_SetBaudRate(&rate), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port_.vcp->m_ulBaudRate, 115200u);
    EXPECT_GT(port_.vcp->m_GetCharTime(), 0u);
}

// A written set the driver refuses goes back to the values last accepted, so that it cannot stay
// saved and break every later open.
TEST_F(VcpScripted, ARefusedSetIsPutBackToTheAcceptedValues) {
    CHvUVcpUserModeInterface* set = port_.vcp->m_pSettings;
    set->m_ulBaudrate = 100;
    set->m_ulOverridBaudRates = 1;
    EXPECT_FALSE(port_.vcp->m_IsBaudRateSettable(set->m_ulBaudrate));
    EXPECT_TRUE(port_.vcp->m_RevertSettings());
    EXPECT_EQ(set->m_ulBaudrate, 115200u);
    EXPECT_EQ(set->m_ulOverridBaudRates, 0u);
    file_ = open(port_);
    ASSERT_NE(file_, nullptr);
    EXPECT_TRUE(port_.script->called("Baud 115200"));
}

TEST_F(VcpScripted, HandflowIsCheckedThenSentWithItsSignals) {
    open_port();
    EXPECT_EQ(handflow(0x04, 0x40), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handflow(0x03, 0x40), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handflow(0x01, 0x20), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handflow(0x01, 0x40, -1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handflow(0x01, 0x40, 2048, 4097), STATUS_INVALID_PARAMETER);
    port_.vcp->m_pSettings->m_ulSupportedFlowControls = 7;
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(port_.script->calls().empty());
    // Transmit toggle carries the RTS handshake bit: with CTS handshake it is the CTS/RTS kind.
    port_.vcp->m_pSettings->m_ulSupportedFlowControls = 1;
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE), STATUS_SUCCESS);
    port_.script->forget_calls();
    port_.vcp->m_pSettings->m_ulSupportedFlowControls = 15;

    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
    EXPECT_EQ(port_.script->calls(),
              (std::vector<std::string>{"Handshake 110000000", "Dtr 1", "Rts 1", "PretendXoff 0"}));
    EXPECT_EQ(port_.vcp->m_ucModemControl, 3);
    // RTS belongs to the handshake now.
    EXPECT_EQ(port_.vcp->m_SetRts(), STATUS_INVALID_PARAMETER);
    // CTS is low: the transmitter waits for it.
    EXPECT_EQ(status().HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_CTS);
}

TEST_F(VcpScripted, FlowOnLevelStaysBelowTheFlowOffPoint) {
    open_port();
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 3000, 2000), STATUS_SUCCESS);
    // Flow goes off at 4096 - 2000 held bytes; on again only below that.
    EXPECT_EQ(port_.vcp->m_ulEffectiveXoffLevel, 2000u);
    EXPECT_EQ(port_.vcp->m_ulEffectiveXonLevel, 2095u);
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 4096, 100), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_ulEffectiveXonLevel, 3995u);
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 4096), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_ulEffectiveXoffLevel, 4095u);
    EXPECT_EQ(port_.vcp->m_ulEffectiveXonLevel, 0u);
}

TEST_F(VcpScripted, LinesBreakAndPurgeCallTheBusOnlyWhenSomethingChanges) {
    open_port();
    EXPECT_EQ(port_.vcp->m_SetDtr(), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_SetDtr(), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_SetBreakOff(), STATUS_SUCCESS);
    EXPECT_EQ(port_.script->calls(), std::vector<std::string>{"Dtr 1"});
    ULONG control = 3;
    EXPECT_EQ(port_.vcp->m_SetModemControl(&control), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_ucModemControl, 3);
    EXPECT_EQ(port_.vcp->m_SetBreakOn(), STATUS_SUCCESS);
    EXPECT_EQ(status().HoldReasons, (ULONG)SERIAL_TX_WAITING_ON_BREAK);
    EXPECT_EQ(port_.vcp->m_SetBreakOff(), STATUS_SUCCESS);
    EXPECT_EQ(port_.script->calls(), (std::vector<std::string>{"Dtr 1", "Rts 1", "Break 1", "Break 0"}));
    EXPECT_EQ(port_.vcp->m_Purge(0x10), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port_.vcp->m_Purge(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port_.vcp->m_Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_TRUE(port_.script->called("Purge 1 1"));
    EXPECT_EQ(port_.vcp->m_SetXoff(), STATUS_SUCCESS);
    EXPECT_EQ(status().HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_XON);
    EXPECT_EQ(port_.vcp->m_SetXon(), STATUS_SUCCESS);
    EXPECT_EQ(status().HoldReasons, 0u);
}

TEST_F(VcpScripted, QueueSizeKeepsItsFloorAndItsEightyPercentLevelDoesNotWrap) {
    SERIAL_QUEUE_SIZE size{10, 0};
    EXPECT_EQ(port_.vcp->m_SetQueueSize(&size), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_ulQueueSize, 4096u);
    size.InSize = 0xF0000000;
    EXPECT_EQ(port_.vcp->m_SetQueueSize(&size), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_ulQueueSize, (ULONG)VCP_QUEUE_SIZE_MAX);
    EXPECT_EQ(port_.vcp->m_ul80PercentLevel, (ULONG)((ULONGLONG)VCP_QUEUE_SIZE_MAX * 80 / 100));
    size.InSize = 8192;
    EXPECT_EQ(port_.vcp->m_SetQueueSize(&size), STATUS_SUCCESS);
    EXPECT_EQ(port_.vcp->m_ul80PercentLevel, 6553u);
}

// ---- Receive filtering -------------------------------------------------------------------------

TEST_F(VcpScripted, NullStrippingDropsNulBytesAndALoneNulRaisesNoEvent) {
    open_port();
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING), STATUS_SUCCESS);
    auto wait = wait_for_events(SERIAL_EV_RXCHAR);
    EXPECT_TRUE(port_.script->receive({0}));
    pass_ms(5);
    EXPECT_FALSE(wait->done);
    EXPECT_TRUE(port_.script->receive({'a', 0, 'b', 0}));
    EXPECT_EQ(events_of(*wait), (ULONG)SERIAL_EV_RXCHAR);
    EXPECT_EQ(read_now(16), bytes_of("ab"));
}

TEST_F(VcpScripted, AutoTransmitTakesXonXoffOutOfTheDataAndHoldsTheTransmitter) {
    open_port();
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT), STATUS_SUCCESS);
    EXPECT_TRUE(port_.script->receive({'A', 0x13, 'B'}));
    EXPECT_EQ(status().HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_XON);
    EXPECT_EQ(read_now(16), bytes_of("AB"));
    EXPECT_TRUE(port_.script->receive({0x11}));
    EXPECT_EQ(status().HoldReasons, 0u);
    EXPECT_EQ(read_now(16), Bytes{});
}

TEST_F(VcpScripted, EscapeInsertionDoublesTheEscapeAndMarksLineAndModemStatus) {
    open_port();
    EXPECT_EQ(port_.vcp->m_SetLsrMstInsert(0x11), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port_.vcp->m_SetLsrMstInsert(0xFF), STATUS_SUCCESS);
    SERIAL_CHARS chars{0, 0, 0, 0, 0xFF, 0x13};
    EXPECT_EQ(port_.vcp->m_SetSpecialCharacters(&chars), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(port_.script->receive({'x', 0xFF}));
    EXPECT_EQ(read_now(16), (Bytes{'x', 0xFF, 0x00}));
    EXPECT_TRUE(port_.script->line_status(false, true, false, false));
    EXPECT_TRUE(port_.script->receive({'y'}));
    EXPECT_EQ(read_now(16), (Bytes{0xFF, SERIAL_LSRMST_LSR_DATA, SERIAL_LSR_PE | SERIAL_LSR_THRE | SERIAL_LSR_TEMT, 'y'}));
    EXPECT_TRUE(port_.script->line_status(false, false, false, false));
    EXPECT_TRUE(port_.script->modem_status(true, false, false, false, false));
    EXPECT_EQ(read_now(16), (Bytes{0xFF, SERIAL_LSRMST_MST, SERIAL_MSR_CTS | SERIAL_MSR_DCTS}));
}

TEST_F(VcpScripted, ErrorAndBreakCharactersStandForBadData) {
    open_port();
    SERIAL_CHARS chars{0, '?', '!', 0, 0x11, 0x13};
    EXPECT_EQ(port_.vcp->m_SetSpecialCharacters(&chars), STATUS_SUCCESS);
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR | SERIAL_BREAK_CHAR), STATUS_SUCCESS);
    EXPECT_TRUE(port_.script->line_status(false, true, false, false));
    // The chip tells an error for a whole packet: each of its bytes stands as the error character.
    EXPECT_TRUE(port_.script->receive(bytes_of("bad")));
    EXPECT_EQ(read_now(16), bytes_of("???"));
    EXPECT_TRUE(port_.script->line_status(false, false, true, false));
    EXPECT_TRUE(port_.script->receive(bytes_of("worse")));
    EXPECT_EQ(read_now(16), bytes_of("?????"));
    // A break: its character once, when it begins; the data with it stands.
    EXPECT_TRUE(port_.script->line_status(false, false, false, true));
    EXPECT_TRUE(port_.script->line_status(false, false, false, true));
    EXPECT_EQ(read_now(16), bytes_of("!"));
    EXPECT_TRUE(port_.script->line_status(false, false, false, false));
    EXPECT_TRUE(port_.script->receive(bytes_of("good")));
    EXPECT_EQ(read_now(16), bytes_of("good"));
    SERIALPERF_STATS stats = port_.vcp->m_PerfStats;
    EXPECT_EQ(stats.ParityErrorCount, 1u);
    EXPECT_EQ(stats.FrameErrorCount, 1u);
    EXPECT_EQ(status().Errors, (ULONG)(SERIAL_ERROR_PARITY | SERIAL_ERROR_FRAMING | SERIAL_ERROR_BREAK));
}

TEST_F(VcpScripted, OverflowIsCountedOnceAndRefusesDataUntilTheReaderCatchesUp) {
    open_port();
    SERIAL_CHARS chars{0, '?', 0, 0, 0x11, 0x13};
    EXPECT_EQ(port_.vcp->m_SetSpecialCharacters(&chars), STATUS_SUCCESS);
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR), STATUS_SUCCESS);
    EXPECT_TRUE(port_.script->receive(Bytes(4000, 'a')));
    // Over the size: the one error character goes in from the queue's own notification, which
    // must not feed itself again.
    EXPECT_TRUE(port_.script->receive(Bytes(200, 'b')));
    EXPECT_FALSE(port_.script->receive(bytes_of("c")));
    EXPECT_EQ(port_.vcp->m_PerfStats.BufferOverrunErrorCount, 1u);
    SERIAL_STATUS after = status();
    EXPECT_EQ(after.Errors, (ULONG)SERIAL_ERROR_QUEUEOVERRUN);
    EXPECT_EQ(after.AmountInInQueue, 4201u);
    Bytes all = read_now(8192);
    ASSERT_EQ(all.size(), 4201u);
    EXPECT_EQ(all.back(), '?');
    EXPECT_TRUE(port_.script->receive(bytes_of("d")));
    EXPECT_EQ(read_now(16), bytes_of("d"));
}

TEST_F(VcpScripted, ErrorAbortRefusesRequestsUntilTheStatusIsRead) {
    open_port();
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_TRUE(port_.script->line_status(false, true, false, false));
    EXPECT_TRUE(port_.vcp->m_IsErrorAbortState());
    Bytes buffer(4);
    EXPECT_EQ(hvsim::io::read_file(file_, buffer.data(), 4).status, STATUS_CANCELLED);
    EXPECT_TRUE(port_.script->called("Purge 1 1"));
    EXPECT_EQ(status().Errors, (ULONG)SERIAL_ERROR_PARITY);
    EXPECT_FALSE(port_.vcp->m_IsErrorAbortState());
    EXPECT_TRUE(port_.script->line_status(false, false, false, false));
    EXPECT_TRUE(port_.script->receive(bytes_of("ok")));
    EXPECT_EQ(read_now(4), bytes_of("ok"));
}

// ---- Events -------------------------------------------------------------------------------------

TEST_F(VcpScripted, EveryEventFiresOnItsCause) {
    open_port();
    SERIAL_CHARS chars{0, 0, 0, 'x', 0x11, 0x13};
    EXPECT_EQ(port_.vcp->m_SetSpecialCharacters(&chars), STATUS_SUCCESS);
    struct Case {
        ULONG event;
        std::function<void()> cause;
    };
    ScriptedPort* script = port_.script;
    hvsim::io::FileObject* file = file_;
    const std::vector<Case> cases = {
        {SERIAL_EV_RXCHAR, [&] { script->receive(bytes_of("a")); }},
        {SERIAL_EV_RXFLAG, [&] { script->receive(bytes_of("abxc")); }},
        {SERIAL_EV_CTS, [&] { script->modem_status(true, false, false, false, false); }},
        {SERIAL_EV_DSR, [&] { script->modem_status(true, true, false, false, false); }},
        {SERIAL_EV_RLSD, [&] { script->modem_status(true, true, false, false, true); }},
        {SERIAL_EV_RING, [&] { script->modem_status(true, true, false, true, true); }},
        {SERIAL_EV_BREAK, [&] { script->line_status(false, false, false, true); }},
        {SERIAL_EV_ERR, [&] { script->line_status(true, false, false, false); }},
        {SERIAL_EV_RX80FULL, [&] { script->receive(Bytes(3300, 'f')); }},
        {SERIAL_EV_TXEMPTY, [&] {
             auto write = write_async(file, bytes_of("out"));
             EXPECT_TRUE(wait_for([&] { return script->called("Write 3"); }, 100));
             EXPECT_FALSE(write->done);
             script->data_written(3);
             EXPECT_TRUE(wait_for([&] { return write->done.load(); }, 100));
         }},
    };
    for (const Case& each : cases) {
        auto wait = wait_for_events(each.event);
        each.cause();
        EXPECT_EQ(events_of(*wait), each.event) << "event 0x" << std::hex << each.event;
        EXPECT_EQ(port_.vcp->m_Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    }
}

TEST_F(VcpScripted, ModemStatusFollowsTheLinesAndTheEmulationSettings) {
    open_port();
    EXPECT_FALSE(port_.script->modem_status(false, false, true, true, false));
    port_.script->modem_bits = 0x30;
    EXPECT_EQ(port_.vcp->m_GetModemStatus(), (ULONG)(SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCTS | SERIAL_MSR_DDSR));
    port_.vcp->m_pSettings->m_ulDuplexMode = 2;
    auto wait = wait_for_events(SERIAL_EV_CTS | SERIAL_EV_DSR);
    EXPECT_TRUE(port_.script->modem_status(false, false, false, false, false));
    EXPECT_EQ(events_of(*wait), (ULONG)SERIAL_EV_DSR);
    EXPECT_EQ(port_.vcp->m_lModemStatus & SERIAL_MSR_CTS, SERIAL_MSR_CTS);
    port_.vcp->m_pSettings->m_ulDuplexMode = 0;
    port_.vcp->m_pSettings->m_ulEmulateDSRTrue = 1;
    port_.script->modem_bits = 0;
    EXPECT_EQ(port_.vcp->m_GetModemStatus() & (SERIAL_MSR_DSR | SERIAL_MSR_CTS), (ULONG)SERIAL_MSR_DSR);
}

TEST_F(VcpScripted, ImmediateCharacterIsNotCountedAsWrittenData) {
    open_port();
    EXPECT_EQ(port_.vcp->m_SendImmediateChar('!'), STATUS_SUCCESS);
    EXPECT_TRUE(status().WaitForImmediate);
    // The bus driver reports it sent before the bytes are acknowledged.
    EXPECT_TRUE(port_.script->immediate_sent());
    EXPECT_FALSE(status().WaitForImmediate);
    auto write = write_async(file_, bytes_of("abcd"));
    EXPECT_TRUE(wait_for([&] { return port_.script->called("Write 4"); }, 100));
    // The acknowledgement of the immediate byte and of three of the write's.
    port_.script->data_written(4);
    pass_ms(2);
    EXPECT_FALSE(write->done);
    port_.script->data_written(1);
    EXPECT_TRUE(wait_for([&] { return write->done.load(); }, 100));
    EXPECT_EQ(write->information, 4u);
    EXPECT_EQ(status().AmountInOutQueue, 0u);
}

// ---- Receive flow control ------------------------------------------------------------------------

// Each kind of receive flow control: off once the held data nears the size (on the passive worker,
// never in the bus driver's callback), on again once the reader has taken it below the XON level.
TEST_F(VcpScripted, ReceiveFlowControlGoesOffNearFullAndOnOnceRead) {
    open_port();
    struct Kind {
        ULONG control, replace;
        std::string off, on;
    };
    const std::vector<Kind> kinds = {
        {SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, "Rts 0", "Rts 1"},
        {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, "Dtr 0", "Dtr 1"},
        {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, "SendXoff", "SendXon"},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.off);
        EXPECT_EQ(handflow(kind.control, kind.replace), STATUS_SUCCESS);
        port_.script->forget_calls();
        EXPECT_TRUE(port_.script->receive(Bytes(3000, 'r')));
        EXPECT_EQ(port_.script->free_space(500), 1096u);
        pass_ms(2);
        EXPECT_FALSE(port_.script->called(kind.off)) << "3500 stays below 4096 - 512";
        EXPECT_EQ(port_.script->free_space(600), 1096u);
        EXPECT_TRUE(wait_for([&] { return port_.script->called(kind.off); }, 100));
        EXPECT_EQ(status().HoldReasons, kind.off == "SendXoff" ? (ULONG)(SERIAL_TX_WAITING_XOFF_SENT | SERIAL_TX_WAITING_FOR_XON) : 0u);
        EXPECT_EQ(read_now(900).size(), 900u);
        pass_ms(5);
        EXPECT_FALSE(port_.script->called(kind.on)) << "2100 held is above the XON level of 2048";
        EXPECT_EQ(read_now(100).size(), 100u);
        EXPECT_TRUE(wait_for([&] { return port_.script->called(kind.on); }, 100));
        EXPECT_EQ(status().HoldReasons, 0u);
        EXPECT_EQ(port_.vcp->m_Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    }
    EXPECT_EQ(port_.script->raised_calls(), 0);
}

// A read that ends by its timeout brings the amount notification from the timer's DPC: flow on
// from there still runs on the passive worker.
TEST_F(VcpScripted, FlowOnFromTheReadTimerRunsAtPassiveLevel) {
    open_port();
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
    // The bus driver's reserve alone takes the flow off, with nothing held.
    EXPECT_EQ(port_.script->free_space(0, 4096), 4096u);
    EXPECT_TRUE(wait_for([&] { return port_.script->called("Rts 0"); }, 100));
    SERIAL_TIMEOUTS timeouts{0, 0, 20, 0, 0};
    EXPECT_EQ(port_.vcp->m_SetTimeouts(&timeouts), STATUS_SUCCESS);
    auto read = read_async(file_, 16);
    EXPECT_TRUE(wait_for([&] { return read->done.load(); }, 200));
    EXPECT_EQ(read->status, STATUS_TIMEOUT);
    EXPECT_TRUE(wait_for([&] { return port_.script->called("Rts 1"); }, 100));
    EXPECT_EQ(port_.script->raised_calls(), 0);
}

// Flow work running when the port goes finishes before the record goes back.
TEST_F(VcpScripted, RemovalWaitsForRunningFlowWorkBeforeReleasingTheRecord) {
    open_port();
    EXPECT_EQ(handflow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
    // The transmitter is empty: the close does not wait for it.
    EXPECT_TRUE(port_.script->line_status(false, false, false, false));
    port_.script->rts_delay_ms = 500;
    EXPECT_TRUE(port_.script->receive(Bytes(3700, 'r')));
    port_.script->free_space(100);
    EXPECT_TRUE(wait_for([&] { return port_.script->called("Rts 0"); }, 100));
    hvsim::io::close_file(file_);
    file_ = nullptr;
    remove(port_.node);
    // Draining the queue at close posted the flow on too: it runs, or is dropped, before the release.
    auto requests = script_requests();
    std::string all;
    for (auto& r : requests) all += r + "; ";
    ASSERT_GE(requests.size(), 3u) << all;
    EXPECT_EQ(requests[1], "Rts 0 returned") << all;
    EXPECT_EQ(requests.back(), "Release 1 0 same record");
}

} // namespace
} // namespace vcptest
