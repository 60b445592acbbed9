// The port object opened and set through the record over the emulated chip: the first open's
// requests, each control operation's vendor request and what the chip made of it, and the rates.
#include <hvsim/wmi.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "hvubuswmiblocks.h"
#include "portmachine.h"

namespace porttest {
namespace {

using Control = PortMachine;
using Ops = HvISerialOperations;
using hvsim::devices::Parity;
using hvsim::devices::StopBits;

constexpr BOOLEAN T = TRUE, F = FALSE;

TEST_F(Control, TheFirstOpenResetsTheChipGivesTheCreditAndStartsReceiving) {
    hvsim::devices::FtdiChip& c = plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
    hvsim::usb::clear_urb_log();
    ASSERT_TRUE(call(*p, &Ops::m_ConnectCallback));
    const std::vector<VendorRequest> expected = {
        {0, false, 0, 1},      // reset
        {9, false, 16, 1},     // latency for 115200 with the receive FIFO off
        {5, true, 0, 1},       // modem and line status
        {7, false, 0, 1},      // error character off
        {6, false, 0, 1},      // event character off
    };
    EXPECT_EQ(vendor_requests(), expected);
    auto in = bulk(true);
    ASSERT_FALSE(in.empty());
    EXPECT_EQ(in.front().length, 64u);
    {
        std::lock_guard lock(p->sink.mutex);
        ASSERT_GE(p->sink.calls.size(), 3u);
        // The first transmit credit, then the status read at open (the first always reports).
        EXPECT_EQ(p->sink.calls[0], "written 4096");
        EXPECT_EQ(p->sink.calls[1].rfind("modem", 0), 0u);
        EXPECT_EQ(p->sink.calls[2].rfind("line", 0), 0u);
        EXPECT_EQ(p->sink.calls[2], "line 0 0 0 0 0 1 1 0");
    }
    // The port driver then sets the rate and framing: 115200 reaches the chip on the first open.
    hvsim::usb::clear_urb_log();
    EXPECT_TRUE(call(*p, &Ops::m_BaudrateCallback, 115200u));
    EXPECT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 3u, 0u, 0u));
    const std::vector<VendorRequest> settings = {{3, false, 0x001A, 0}, {9, false, 16, 1}, {4, false, 0x0008, 1}};
    EXPECT_EQ(vendor_requests(), settings);
    auto state = c.port_state(0);
    EXPECT_NEAR(state.format.baud, 115200, 1152);
    EXPECT_EQ(state.format.data_bits, 8);
    EXPECT_EQ(state.latency_ms, 16);

    // Open again: nothing is sent.
    hvsim::usb::clear_urb_log();
    EXPECT_TRUE(call(*p, &Ops::m_ConnectCallback));
    EXPECT_TRUE(vendor_requests().empty());
    EXPECT_EQ(debug_lines("CFTDI1Port::m_ConnectCallback - OUT (Port is Alread Opened)"), 1);

    // Close sends nothing to the chip and stops the receive; the next open sends the rate again.
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
    EXPECT_TRUE(vendor_requests().empty());
    EXPECT_EQ(hvsim::usb::counters().pending, 0u);
    EXPECT_TRUE(call(*p, &Ops::m_ConnectCallback));
    hvsim::usb::clear_urb_log();
    EXPECT_TRUE(call(*p, &Ops::m_BaudrateCallback, 115200u));
    EXPECT_TRUE(call(*p, &Ops::m_BaudrateCallback, 115200u));
    EXPECT_EQ(vendor_requests().front(), (VendorRequest{3, false, 0x001A, 0}));
    EXPECT_EQ(vendor_requests().size(), 2u); // the rate once, and the latency
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

TEST_F(Control, EveryStandardRateIsProgrammedWithinOnePercent) {
    hvsim::devices::FtdiChip& c = plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
    ASSERT_TRUE(call(*p, &Ops::m_ConnectCallback));
    const ULONG rates[] = {300,   600,   1200,  1800,   2400,   4800,   7200,   9600,  14400,
                           19200, 38400, 57600, 115200, 128000, 230400, 256000, 460800, 921600};
    for (ULONG rate : rates) {
        hvsim::usb::clear_urb_log();
        EXPECT_TRUE(call(*p, &Ops::m_IsBaudRateSupportedCallback, rate)) << rate;
        ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, rate)) << rate;
        auto requests = vendor_requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.front().request, 3) << rate;
        const double programmed = c.port_state(0).format.baud;
        EXPECT_LE(std::fabs(programmed - rate) / rate, 0.01) << rate << " programmed as " << programmed;
    }
    // The worked examples, as they go to the chip.
    const struct {
        ULONG rate;
        VendorRequest request;
    } examples[] = {{9600, {3, false, 0x4138, 0}}, {921600, {3, false, 0x8003, 0}}, {460800, {3, false, 0x4006, 0}},
                    {14400, {3, false, 0x00D0, 1}}, {115200, {3, false, 0x001A, 0}}};
    for (auto& e : examples) {
        hvsim::usb::clear_urb_log();
        ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, e.rate));
        ASSERT_FALSE(vendor_requests().empty()) << e.rate;
        EXPECT_EQ(vendor_requests().front(), e.request) << e.rate;
    }
    // Rates the chip cannot program are refused without a request, and the old rate stays.
    hvsim::usb::clear_urb_log();
    for (ULONG rate : {0u, 75u, 110u, 134u, 150u, 921601u}) {
        EXPECT_FALSE(call(*p, &Ops::m_IsBaudRateSupportedCallback, rate)) << rate;
        EXPECT_FALSE(call(*p, &Ops::m_BaudrateCallback, rate)) << rate;
    }
    EXPECT_TRUE(vendor_requests().empty());
    EXPECT_NEAR(c.port_state(0).format.baud, 115200, 1152);
    EXPECT_EQ(traced("CFTDI1Port::m_BaudrateCallback - OUT - Fail-> 75 is not a settable baud rate."), 1);
}

TEST_F(Control, EachOperationIsItsVendorRequestAndChangesTheChip) {
    hvsim::devices::FtdiChip& c = plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
    ASSERT_TRUE(call(*p, &Ops::m_ConnectCallback));
    auto last = [] { return vendor_requests().back(); };

    EXPECT_TRUE(call(*p, &Ops::m_DtrCallback, T));
    EXPECT_EQ(last(), (VendorRequest{1, false, 0x0101, 1}));
    EXPECT_TRUE(c.port_state(0).dtr);
    EXPECT_TRUE(call(*p, &Ops::m_RtsCallback, T));
    EXPECT_EQ(last(), (VendorRequest{1, false, 0x0202, 1}));
    EXPECT_TRUE(c.port_state(0).rts);
    EXPECT_TRUE(call(*p, &Ops::m_RtsCallback, F));
    EXPECT_EQ(last(), (VendorRequest{1, false, 0x0200, 1}));
    EXPECT_FALSE(c.port_state(0).rts);
    EXPECT_TRUE(c.port_state(0).dtr);
    EXPECT_TRUE(call(*p, &Ops::m_DtrCallback, F));
    EXPECT_FALSE(c.port_state(0).dtr);

    // 7 data bits, even parity, two stop bits; the same again sends nothing.
    EXPECT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 2u, 2u, 2u));
    EXPECT_EQ(last(), (VendorRequest{4, false, 0x1207, 1}));
    size_t before = vendor_requests().size();
    EXPECT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 2u, 2u, 2u));
    EXPECT_EQ(vendor_requests().size(), before);
    auto state = c.port_state(0);
    EXPECT_EQ(state.format.data_bits, 7);
    EXPECT_EQ(state.format.parity, Parity::even);
    EXPECT_EQ(state.format.stop_bits, StopBits::two);
    EXPECT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 0u, 3u, 1u));
    EXPECT_EQ(last(), (VendorRequest{4, false, 0x0B05, 1}));
    EXPECT_EQ(c.port_state(0).format.parity, Parity::mark);
    EXPECT_EQ(c.port_state(0).format.stop_bits, StopBits::one_and_half);
    EXPECT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 3u, 0u, 0u));

    EXPECT_TRUE(call(*p, &Ops::m_SetBreakCallback, T));
    EXPECT_EQ(last(), (VendorRequest{4, false, 0x4008, 1}));
    EXPECT_TRUE(c.port_state(0).break_on);
    EXPECT_TRUE(call(*p, &Ops::m_SetBreakCallback, F));
    EXPECT_EQ(last(), (VendorRequest{4, false, 0x0008, 1}));
    EXPECT_FALSE(c.port_state(0).break_on);

    // Handshaking: RTS/CTS, DTR/DSR, XON/XOFF input go to the chip; the characters come from the
    // special characters, which alone send nothing.
    before = vendor_requests().size();
    EXPECT_TRUE(call(*p, &Ops::m_SetSpecialCharactersCallback, (UCHAR)0, (UCHAR)0x1A, (UCHAR)0, (UCHAR)0, (UCHAR)0x21, (UCHAR)0x23));
    EXPECT_EQ(vendor_requests().size(), before);
    EXPECT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, T, T, F, F, F, F, F, F, F));
    EXPECT_EQ(last(), (VendorRequest{2, false, 0x2321, 0x0101}));
    EXPECT_EQ(c.port_state(0).flow_mode, 0x01);
    EXPECT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, F, F, T, T, F, F, F, T, F));
    EXPECT_EQ(last(), (VendorRequest{2, false, 0x2321, 0x0601}));
    state = c.port_state(0);
    EXPECT_EQ(state.flow_mode, 0x06);
    EXPECT_EQ(state.xon, 0x21);
    EXPECT_EQ(state.xoff, 0x23);
    // CTS output without RTS input is the bus driver's own: no flag for the chip.
    EXPECT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, T, F, F, F, F, F, F, F, F));
    EXPECT_EQ(last(), (VendorRequest{2, false, 0x2321, 0x0001}));
    EXPECT_EQ(c.port_state(0).flow_mode, 0x00);

    // Purges.
    EXPECT_TRUE(call(*p, &Ops::m_PurgeCallback, T, F));
    EXPECT_EQ(last(), (VendorRequest{0, false, 1, 1}));
    EXPECT_TRUE(call(*p, &Ops::m_PurgeCallback, F, T));
    EXPECT_EQ(last(), (VendorRequest{0, false, 2, 1}));
    EXPECT_TRUE(call(*p, &Ops::m_PurgeCallback, T, T));
    EXPECT_EQ(last(), (VendorRequest{0, false, 0, 1}));

    // The receive FIFO on: the latency follows the policy at the next rate change.
    before = vendor_requests().size();
    EXPECT_TRUE(call(*p, &Ops::m_TriggerLevelsCallback, (UCHAR)1, (UCHAR)14, (UCHAR)14));
    EXPECT_EQ(vendor_requests().size(), before);
    EXPECT_TRUE(call(*p, &Ops::m_BaudrateCallback, 9600u));
    EXPECT_EQ(last(), (VendorRequest{9, false, 61, 1}));
    EXPECT_EQ(c.port_state(0).latency_ms, 61);
    // And off again: 16 ms at once.
    EXPECT_TRUE(call(*p, &Ops::m_TriggerLevelsCallback, (UCHAR)1, (UCHAR)1, (UCHAR)1));
    EXPECT_EQ(last(), (VendorRequest{9, false, 16, 1}));

    // A request the chip refuses is a failure, RTS included.
    hvsim::usb::UrbMatch match;
    match.request = 1;
    match.count = 0;
    hvsim::usb::inject(match, {hvsim::usb::FaultKind::fail, USBD_STATUS_STALL_PID, 0});
    EXPECT_FALSE(call(*p, &Ops::m_RtsCallback, T));
    EXPECT_FALSE(call(*p, &Ops::m_DtrCallback, T));
    hvsim::usb::clear_faults();
    EXPECT_FALSE(c.port_state(0).rts);
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

TEST_F(Control, AFailedOpenLeavesNothingRunningAndTheNextOpenWorks) {
    plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
    hvsim::usb::UrbMatch match;
    match.request = 5;
    match.count = 0;
    hvsim::usb::inject(match, {hvsim::usb::FaultKind::fail, USBD_STATUS_STALL_PID, 0});
    EXPECT_FALSE(call(*p, &Ops::m_ConnectCallback));
    EXPECT_EQ(debug_lines("Error Opening COM Port"), 1);
    EXPECT_EQ(hvsim::usb::counters().pending, 0u);
    hvsim::usb::clear_faults();
    hvsim::usb::clear_urb_log();
    EXPECT_TRUE(call(*p, &Ops::m_ConnectCallback));
    EXPECT_EQ(vendor_requests().front(), (VendorRequest{0, false, 0, 1}));
    EXPECT_FALSE(bulk(true).empty());
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

TEST_F(Control, ARateWhoseLatencyRequestFailedIsSentAgainByTheNextSet) {
    plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
    ASSERT_TRUE(call(*p, &Ops::m_ConnectCallback));
    hvsim::usb::UrbMatch match;
    match.request = 9;
    hvsim::usb::inject(match, {hvsim::usb::FaultKind::fail, USBD_STATUS_STALL_PID, 0});
    EXPECT_FALSE(call(*p, &Ops::m_BaudrateCallback, 9600u));
    hvsim::usb::clear_faults();
    hvsim::usb::clear_urb_log();
    EXPECT_TRUE(call(*p, &Ops::m_BaudrateCallback, 9600u));
    EXPECT_EQ(vendor_requests(), (std::vector<VendorRequest>{{3, false, 0x4138, 0}, {9, false, 16, 1}}));
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

TEST_F(Control, TheSecondInterfaceOfACompositeChipIsPortIndexTwo) {
    hvsim::devices::FtdiChip& c = plug("ftdi:interfaces=2");
    Port* p = port(0, 1);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
    ASSERT_TRUE(call(*p, &Ops::m_ConnectCallback));
    EXPECT_EQ(vendor_requests().back(), (VendorRequest{6, false, 0, 2}));
    hvsim::usb::clear_urb_log();
    ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, 14400u));
    EXPECT_EQ(vendor_requests().front(), (VendorRequest{3, false, 0x00D0, 0x0102}));
    EXPECT_NEAR(c.port_state(1).format.baud, 14400, 144);
    EXPECT_NEAR(c.port_state(0).format.baud, 9600, 96); // the other port keeps the chip's default
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

// The third and fourth function of a four-interface chip, installed from their own INF sections,
// address their own chip port and read from their own endpoint.
TEST_F(Control, TheLastTwoInterfacesOfAFourInterfaceChipArePortIndexThreeAndFour) {
    hvsim::devices::FtdiChip& c = plug("ftdi:interfaces=4");
    for (int interface = 2; interface < 4; ++interface) {
        SCOPED_TRACE(interface);
        Port* p = port(0, interface);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
        hvsim::usb::clear_urb_log();
        ASSERT_TRUE(call(*p, &Ops::m_ConnectCallback));
        const USHORT index = (USHORT)(interface + 1);
        EXPECT_EQ(vendor_requests().back(), (VendorRequest{6, false, 0, index}));
        ASSERT_FALSE(bulk(true).empty());
        EXPECT_EQ(bulk(true).front().endpoint, hvsim::devices::FtdiChip::in_endpoint(interface));
        EXPECT_EQ(bulk(true).front().interface, interface);
        hvsim::usb::clear_urb_log();
        ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, 14400u));
        EXPECT_EQ(vendor_requests().front(), (VendorRequest{3, false, 0x00D0, (USHORT)(0x0100 | index)}));
        EXPECT_NEAR(c.port_state(interface).format.baud, 14400, 144);
        EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
    }
    EXPECT_NEAR(c.port_state(0).format.baud, 9600, 96);
    EXPECT_NEAR(c.port_state(1).format.baud, 9600, 96);
}

// {9F3A05C7-4E81-4B6D-A2C9-0D58E71B3F64} and {6B1D93E4-27A5-4C08-B3E1-58F2A90D7C16}
constexpr GUID kPortStateBlock = {0x9F3A05C7, 0x4E81, 0x4B6D, {0xA2, 0xC9, 0x0D, 0x58, 0xE7, 0x1B, 0x3F, 0x64}};
constexpr GUID kTimingBlock = {0x6B1D93E4, 0x27A5, 0x4C08, {0xB3, 0xE1, 0x58, 0xF2, 0xA9, 0x0D, 0x7C, 0x16}};

template <class Block> Block query_block(const GUID& guid) {
    Block block = {};
    auto providers = hvsim::wmi::providers_of(guid);
    EXPECT_EQ(providers.size(), 1u);
    if (providers.size() != 1) return block;
    auto result = hvsim::wmi::query_single_instance(providers[0].provider_id, guid, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    if (result.instances.size() == 1 && result.instances[0].data.size() == sizeof(Block))
        std::memcpy(&block, result.instances[0].data.data(), sizeof(Block));
    return block;
}

TEST_F(Control, TheWmiBlocksShowTheOpenPort) {
    Port* p = open("ftdi:wire=loopback");
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, 115200u));
    ASSERT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 3u, 0u, 0u));
    ASSERT_TRUE(call(*p, &Ops::m_DtrCallback, T));
    ASSERT_TRUE(call(*p, &Ops::m_RtsCallback, T));
    ASSERT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, T, T, F, F, F, F, F, F, F));
    ASSERT_TRUE(write(*p, "ping"));
    run_for(100 * hvsim::sched::kTicksPerMillisecond);
    auto state = query_block<HvUBusWmiPortState>(kPortStateBlock);
    EXPECT_EQ(state.ulPortOpen, 1u);
    EXPECT_EQ(state.ulBaudDivisorWord, 0x001Au);
    EXPECT_EQ(state.ulLineWord, 0x0008u);
    EXPECT_EQ(state.ulFlowControlWord, 0x0101u);
    EXPECT_EQ(state.ulModemControlWord, 0x0303u);
    EXPECT_EQ(state.ulLatencyTimer, 16u);
    EXPECT_EQ(state.ulReceiveTransferSize, 64u);
    EXPECT_EQ(state.ulTransmitterFree, 1u);
    EXPECT_EQ(state.ulReceiveRunning, 1u);
    EXPECT_EQ(state.ulPendingTransmitBytes, 0u);
    auto timing = query_block<HvUBusWmiTiming>(kTimingBlock);
    EXPECT_EQ(timing.ulBytesTransmitted, 4u);
    EXPECT_GE(timing.ulBytesReceived, 4u); // data bytes and the status bytes of every packet
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
    EXPECT_EQ(query_block<HvUBusWmiPortState>(kPortStateBlock).ulPortOpen, 0u);
}

} // namespace
} // namespace porttest
