// The continuously re-armed receive transfer and the bulk send, against the emulated chip: a long
// stream delivered exactly once and in order, stop and restart while data flows, the state
// machine's transitions and its recovery after failures, and unplug with transfers in flight.
#include "usbtransport_machine.h"

#include <thread>

namespace usbtransporttest {
namespace {

constexpr int64_t kMillisecond = hvsim::sched::kTicksPerMillisecond;
constexpr int64_t kSecond = hvsim::sched::kTicksPerSecond;
constexpr UCHAR kBulkIn = 0x81;
constexpr UCHAR kBulkOut = 0x02;
// The line is simulated character by character; under the sanitizers a quarter of the stream
// keeps the test well inside its time-out.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStreamSize = 256 * 1024;
#else
constexpr size_t kStreamSize = 1024 * 1024;
#endif

std::string pattern(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = (char)((i * 131 + (i >> 12) + seed) & 0xFF);
    return s;
}

class Receive : public TransportMachine {
protected:
    void open_port(const std::string& spec) {
        port_ = plug(spec);
        dev_ = driver_device(port_);
        ASSERT_TRUE(ok(dev_, HVUT_INIT, 1));
        // 921600 baud 8N1, a short latency timer.
        ASSERT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 3, 0x8003, 0));
        ASSERT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 4, 0x0008, 1));
        ASSERT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 9, 2, 1));
    }

    std::shared_ptr<hvsim::devices::ScriptedPeer> attach_peer() {
        hvsim::devices::LineFormat format;
        format.baud = 921600;
        auto peer = std::make_shared<hvsim::devices::ScriptedPeer>(format);
        chip().attach(0, peer, hvsim::sched::now());
        return peer;
    }

    hvsim::usb::UrbMatch bulk(UCHAR endpoint) const {
        hvsim::usb::UrbMatch m;
        m.port = port_;
        m.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        m.endpoint = endpoint;
        return m;
    }

    // The completion hands the data over before it re-arms: let the machine settle first.
    size_t pending_bulk_in() {
        hvsim::sched::sleep_for(kMillisecond);
        size_t n = 0;
        for (auto& r : hvsim::usb::urb_log()) n += r.endpoint == kBulkIn && r.completed < 0;
        return n;
    }

    int state() { return call(dev_, HVUT_QUERY)->state; }

    // Drains until `size` bytes arrived or the machine time limit passed.
    std::string collect(size_t size, int64_t limit, const std::function<void(int)>& step = {}) {
        std::string got;
        int64_t end = hvsim::sched::now() + limit;
        for (int round = 0; got.size() < size && hvsim::sched::now() < end; ++round) {
            hvsim::sched::sleep_for(10 * kMillisecond);
            got += drain(dev_);
            if (step) step(round);
        }
        return got;
    }

    ULONG port_ = 0;
    PDEVICE_OBJECT dev_ = nullptr;
};

TEST_F(Receive, AMebibyteFromThePeerArrivesExactlyOnceAndInOrder) {
    open_port("ftdi:wire=open");
    auto peer = attach_peer();
    ASSERT_TRUE(ok(dev_, HVUT_START_RX, 4096));
    const std::string sent = pattern(kStreamSize, 7);
    peer->send(sent, hvsim::sched::now());
    std::string got = collect(sent.size(), 60 * kSecond);
    auto q = call(dev_, HVUT_QUERY);
    EXPECT_EQ(q->lost, 0u);
    EXPECT_EQ(q->received, sent.size());
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "the stream differs";
    EXPECT_EQ(q->state, 3);
    EXPECT_TRUE(ok(dev_, HVUT_STOP_RX));
    EXPECT_EQ(pending_bulk_in(), 0u);
}

TEST_F(Receive, StopAndRestartWhileDataFlowsLosesAndRepeatsNothing) {
    // A loopback with RTS/CTS flow control: while nobody reads, the chip holds its transmitter and
    // the bulk writes wait, so nothing may be lost whatever the receive transfer does.
    open_port("ftdi:wire=loopback");
    ASSERT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 1, 0x0303, 1));
    ASSERT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 2, 0x1311, 0x0101));
    ASSERT_TRUE(ok(dev_, HVUT_CONNECT));
    ASSERT_TRUE(ok(dev_, HVUT_START_RX, 4096));

    const std::string sent = pattern(256 * 1024, 3);
    std::thread writer = hvsim::sched::start_thread("writer", [&] {
        for (size_t at = 0; at < sent.size(); at += 4096) {
            auto r = call(dev_, HVUT_BULK_WRITE, 0, 0, 0, sent.substr(at, 4096));
            EXPECT_TRUE(r->result);
            EXPECT_EQ(r->written, 4096u);
        }
    });
    std::string got = collect(sent.size(), 120 * kSecond, [&](int round) {
        switch (round % 12) {
        case 3: EXPECT_TRUE(ok(dev_, HVUT_STOP_RX)); break;
        case 5: EXPECT_TRUE(ok(dev_, HVUT_START_RX, 64 << (round % 7))); break;
        case 7: EXPECT_TRUE(ok(dev_, HVUT_DISABLE_RX)); break;
        case 9: EXPECT_TRUE(ok(dev_, HVUT_ENABLE_RX)); break;
        case 10: EXPECT_TRUE(ok(dev_, HVUT_SET_RX_SIZE, 4096)); break;
        }
    });
    hvsim::sched::join(writer);
    EXPECT_EQ(call(dev_, HVUT_QUERY)->lost, 0u);
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "the stream differs";
}

TEST_F(Receive, DisableLetsTheRunningTransferEndAndEnableArmsItAgain) {
    open_port("ftdi:wire=open");
    auto peer = attach_peer();
    ASSERT_TRUE(ok(dev_, HVUT_START_RX, 4096));
    EXPECT_EQ(state(), 3);
    EXPECT_FALSE(ok(dev_, HVUT_START_RX, 4096)); // already started
    EXPECT_EQ(pending_bulk_in(), 1u);

    ASSERT_TRUE(ok(dev_, HVUT_DISABLE_RX));
    EXPECT_EQ(state(), 4);
    peer->send("abc", hvsim::sched::now());
    hvsim::sched::sleep_for(50 * kMillisecond);
    // The transfer in flight still delivered, and was not sent again.
    EXPECT_EQ(drain(dev_), "abc");
    EXPECT_EQ(pending_bulk_in(), 0u);
    EXPECT_EQ(state(), 4);

    ASSERT_TRUE(ok(dev_, HVUT_ENABLE_RX));
    EXPECT_EQ(state(), 3);
    EXPECT_EQ(pending_bulk_in(), 1u);
    // Disable and enable before the transfer came back: the same transfer goes on.
    ASSERT_TRUE(ok(dev_, HVUT_DISABLE_RX));
    ASSERT_TRUE(ok(dev_, HVUT_ENABLE_RX));
    EXPECT_EQ(pending_bulk_in(), 1u);
    peer->send("def", hvsim::sched::now());
    EXPECT_EQ(collect(3, kSecond), "def");
    EXPECT_EQ(pending_bulk_in(), 1u);
    EXPECT_EQ(state(), 3);
}

TEST_F(Receive, StopWithNothingInFlightLeavesTheTransferReadyToStart) {
    open_port("ftdi:wire=open");
    auto peer = attach_peer();
    ASSERT_TRUE(ok(dev_, HVUT_START_RX, 4096));
    ASSERT_TRUE(ok(dev_, HVUT_DISABLE_RX));
    peer->send("x", hvsim::sched::now());
    EXPECT_EQ(collect(1, kSecond), "x");
    ASSERT_EQ(pending_bulk_in(), 0u);
    int64_t start = hvsim::sched::now();
    EXPECT_TRUE(ok(dev_, HVUT_STOP_RX));
    EXPECT_LT(hvsim::sched::now() - start, kMillisecond);
    EXPECT_EQ(state(), 2);
    ASSERT_TRUE(ok(dev_, HVUT_START_RX, 4096));
    peer->send("yz", hvsim::sched::now());
    EXPECT_EQ(collect(2, kSecond), "yz");
    // A stop of a transfer in flight cancels it.
    EXPECT_TRUE(ok(dev_, HVUT_STOP_RX));
    EXPECT_EQ(state(), 2);
    EXPECT_EQ(pending_bulk_in(), 0u);
    EXPECT_EQ(hvsim::usb::urb_log().back().status, USBD_STATUS_CANCELED);
    // Stopping twice is refused, with nothing sent.
    EXPECT_FALSE(ok(dev_, HVUT_STOP_RX));
}

TEST_F(Receive, AFailedTransferIsNotRearmedButCanBeStartedAgain) {
    open_port("ftdi:wire=open");
    auto peer = attach_peer();
    hvsim::usb::UrbMatch m = bulk(kBulkIn);
    hvsim::usb::inject(m, {hvsim::usb::FaultKind::fail, USBD_STATUS_INTERNAL_HC_ERROR});
    ASSERT_TRUE(ok(dev_, HVUT_START_RX, 4096));
    hvsim::sched::sleep_for(10 * kMillisecond);
    EXPECT_EQ(pending_bulk_in(), 0u);
    EXPECT_EQ(state(), 2);
    EXPECT_FALSE(ok(dev_, HVUT_ENABLE_RX));
    ASSERT_TRUE(ok(dev_, HVUT_START_RX, 4096));
    peer->send("ok", hvsim::sched::now());
    EXPECT_EQ(collect(2, kSecond), "ok");
    EXPECT_EQ(state(), 3);
}

TEST_F(Receive, ANewSizeTakesEffectAtTheNextRearmAndZeroIsRefused) {
    open_port("ftdi:wire=open");
    auto peer = attach_peer();
    EXPECT_FALSE(ok(dev_, HVUT_START_RX, 0));
    EXPECT_EQ(state(), 2);
    ASSERT_TRUE(ok(dev_, HVUT_START_RX, 4096));
    ASSERT_TRUE(ok(dev_, HVUT_SET_RX_SIZE, 128));
    peer->send("1", hvsim::sched::now());
    EXPECT_EQ(collect(1, kSecond), "1");
    auto in = urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    std::vector<ULONG> lengths;
    for (auto& r : in)
        if (r.endpoint == kBulkIn) lengths.push_back(r.length);
    ASSERT_GE(lengths.size(), 2u);
    EXPECT_EQ(lengths.front(), 4096u);
    EXPECT_EQ(lengths.back(), 128u);
}

TEST_F(Receive, DisconnectCancelsAWriteTheDeviceHolds) {
    open_port("ftdi:wire=loopback");
    ASSERT_TRUE(ok(dev_, HVUT_CONNECT));
    hvsim::usb::UrbMatch m = bulk(kBulkOut);
    hvsim::usb::inject(m, {hvsim::usb::FaultKind::hold});
    std::unique_ptr<HvutRequest> held;
    std::thread writer = hvsim::sched::start_thread("writer", [&] { held = call(dev_, HVUT_BULK_WRITE, 0, 0, 0, "held"); });
    hvsim::sched::sleep_for(10 * kMillisecond);
    int64_t start = hvsim::sched::now();
    EXPECT_TRUE(ok(dev_, HVUT_DISCONNECT));
    EXPECT_LT(hvsim::sched::now() - start, kSecond);
    hvsim::sched::join(writer);
    ASSERT_TRUE(held);
    EXPECT_FALSE(held->result);
    EXPECT_EQ(held->written, 0u);
    // Sending is stopped until the next connect.
    EXPECT_FALSE(call(dev_, HVUT_BULK_WRITE, 0, 0, 0, "x")->result);
    ASSERT_TRUE(ok(dev_, HVUT_CONNECT));
    auto r = call(dev_, HVUT_BULK_WRITE, 0, 0, 0, "x");
    EXPECT_TRUE(r->result);
    EXPECT_EQ(r->written, 1u);
}

TEST_F(Receive, UnplugWithTransfersInFlightEndsThemAllAndLeaksNothing) {
    open_port("ftdi:wire=loopback");
    ASSERT_TRUE(ok(dev_, HVUT_CONNECT));
    ASSERT_TRUE(ok(dev_, HVUT_START_RX, 4096));
    hvsim::usb::UrbMatch m = bulk(kBulkOut);
    hvsim::usb::inject(m, {hvsim::usb::FaultKind::hold});
    std::unique_ptr<HvutRequest> held;
    std::thread writer = hvsim::sched::start_thread("writer", [&] { held = call(dev_, HVUT_BULK_WRITE, 0, 0, 0, "held"); });
    hvsim::sched::sleep_for(10 * kMillisecond);
    ASSERT_TRUE(hvsim::usb::unplug(port_));
    hvsim::pnp::wait_quiet();
    hvsim::sched::join(writer);
    ASSERT_TRUE(held);
    EXPECT_FALSE(held->result);
    EXPECT_EQ(hvsim::usb::counters().pending, 0u);
    // The device is gone and the driver with it, with every block it had.
    EXPECT_FALSE(hvsim::ldr::is_loaded(kService));
    EXPECT_EQ(hvsim::pool::outstanding(kImage).count, 0u) << hvsim::pool::leak_report(kImage);
}

} // namespace
} // namespace usbtransporttest
