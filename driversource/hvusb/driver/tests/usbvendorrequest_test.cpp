// Vendor interface requests through the per-port transport: what reaches the chip, the retries
// after transient errors with a port reset and a second between them (machine time), the time-out
// with cancel, and the calls refused once the transport is gone.
#include "usbtransport_machine.h"

namespace usbtransporttest {
namespace {

constexpr int64_t kSecond = hvsim::sched::kTicksPerSecond;

class VendorRequests : public TransportMachine {
protected:
    void SetUp() override {
        TransportMachine::SetUp();
        port_ = plug("ftdi:wire=open");
        dev_ = driver_device(port_);
        ASSERT_TRUE(ok(dev_, HVUT_INIT, 1));
        hvsim::usb::clear_urb_log();
    }

    hvsim::usb::UrbMatch latency_request() const {
        hvsim::usb::UrbMatch m;
        m.port = port_;
        m.function = URB_FUNCTION_VENDOR_INTERFACE;
        m.request = 9;
        return m;
    }

    ULONG port_ = 0;
    PDEVICE_OBJECT dev_ = nullptr;
};

TEST_F(VendorRequests, ReachTheChipWithTheirExactValueAndIndex) {
    ASSERT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 9, 5, 1));
    ASSERT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 2, 0x1311, 0x0101));
    ASSERT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 4, 0x0207, 1));
    ASSERT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 3, 0x001A, 0));
    auto log = urbs(URB_FUNCTION_VENDOR_INTERFACE);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_FALSE(log[1].in);
    EXPECT_EQ(log[1].request, 2);
    EXPECT_EQ(log[1].value, 0x1311);
    EXPECT_EQ(log[1].index, 0x0101);
    EXPECT_EQ(log[1].length, 0u);
    // Vendor type, interface recipient, host to device.
    EXPECT_EQ(log[1].request_type, 0x41);

    auto state = chip().port_state(0);
    EXPECT_EQ(state.latency_ms, 5);
    EXPECT_EQ(state.flow_mode, 0x01);
    EXPECT_EQ(state.xon, 0x11);
    EXPECT_EQ(state.xoff, 0x13);
    EXPECT_EQ(state.format.data_bits, 7);
    EXPECT_EQ(state.format.parity, hvsim::devices::Parity::even);
    EXPECT_NEAR(state.format.baud, 115200.0, 115200.0 * 0.01);
}

TEST_F(VendorRequests, AnInRequestReadsFromThePortsInterfaceWithValueZero) {
    auto r = call(dev_, HVUT_VENDOR_IN, 5, 0, 0, std::string(2, '\0'));
    ASSERT_TRUE(r->result);
    auto log = urbs(URB_FUNCTION_VENDOR_INTERFACE);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].in);
    EXPECT_EQ(log[0].request_type, 0xC1);
    EXPECT_EQ(log[0].request, 5);
    EXPECT_EQ(log[0].value, 0);
    EXPECT_EQ(log[0].index, 1);
    EXPECT_EQ(log[0].transferred, 2u);
    // The modem-status byte has the chip's fixed low nibble.
    EXPECT_EQ(r->data[0] & 0x0F, 0x01);
}

TEST_F(VendorRequests, TransientErrorsAreRetriedAfterAPortResetASecondApart) {
    hvsim::usb::UrbMatch m = latency_request();
    m.count = 3;
    hvsim::usb::inject(m, {hvsim::usb::FaultKind::fail, USBD_STATUS_XACT_ERROR});
    int64_t start = hvsim::sched::now();
    EXPECT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 9, 4, 1));
    int64_t elapsed = hvsim::sched::now() - start;
    EXPECT_EQ(count_vendor(9), 4u);
    EXPECT_EQ(count_resets(), 3u);
    EXPECT_GE(elapsed, 3 * kSecond);
    EXPECT_LT(elapsed, 4 * kSecond);
    EXPECT_EQ(chip().port_state(0).latency_ms, 4);
    EXPECT_EQ(count_lines("USBD_STATUS_XACT_ERROR => Retrying...3"), 1);
}

TEST_F(VendorRequests, TenFailuresGiveUpAfterNineResets) {
    hvsim::usb::UrbMatch m = latency_request();
    m.count = 0;
    hvsim::usb::inject(m, {hvsim::usb::FaultKind::fail, USBD_STATUS_XACT_ERROR});
    int64_t start = hvsim::sched::now();
    EXPECT_FALSE(ok(dev_, HVUT_VENDOR_OUT, 9, 4, 1));
    int64_t elapsed = hvsim::sched::now() - start;
    EXPECT_EQ(count_vendor(9), 10u);
    EXPECT_EQ(count_resets(), 9u);
    EXPECT_GE(elapsed, 9 * kSecond);
    EXPECT_LT(elapsed, 10 * kSecond);
    EXPECT_EQ(chip().port_state(0).latency_ms, 16);
}

TEST_F(VendorRequests, CancelledRequestsAreRetriedToo) {
    hvsim::usb::UrbMatch m = latency_request();
    m.count = 2;
    hvsim::usb::inject(m, {hvsim::usb::FaultKind::fail, USBD_STATUS_CANCELED});
    EXPECT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 9, 6, 1));
    EXPECT_EQ(count_vendor(9), 3u);
    EXPECT_EQ(count_resets(), 2u);
}

TEST_F(VendorRequests, AStallFailsAtOnce) {
    hvsim::usb::UrbMatch m = latency_request();
    m.count = 0;
    hvsim::usb::inject(m, {hvsim::usb::FaultKind::fail, USBD_STATUS_STALL_PID});
    int64_t start = hvsim::sched::now();
    EXPECT_FALSE(ok(dev_, HVUT_VENDOR_OUT, 9, 4, 1));
    EXPECT_LT(hvsim::sched::now() - start, kSecond);
    EXPECT_EQ(count_vendor(9), 1u);
    EXPECT_EQ(count_resets(), 0u);
}

TEST_F(VendorRequests, ARequestThatNeverCompletesIsCancelledAfterASecondAndRetried) {
    hvsim::usb::UrbMatch m = latency_request();
    hvsim::usb::inject(m, {hvsim::usb::FaultKind::hold});
    size_t irps = hvsim::io::live_irp_count();
    int64_t start = hvsim::sched::now();
    EXPECT_TRUE(ok(dev_, HVUT_VENDOR_OUT, 9, 8, 1));
    int64_t elapsed = hvsim::sched::now() - start;
    auto log = urbs(URB_FUNCTION_VENDOR_INTERFACE);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].status, USBD_STATUS_CANCELED);
    EXPECT_EQ(log[0].irp_status, STATUS_CANCELLED);
    // A second of waiting, the cancel, the reset and a second before the retry.
    EXPECT_GE(elapsed, 2 * kSecond);
    EXPECT_LT(elapsed, 3 * kSecond);
    EXPECT_EQ(chip().port_state(0).latency_ms, 8);
    EXPECT_EQ(hvsim::usb::counters().pending, 0u);
    EXPECT_EQ(hvsim::io::live_irp_count(), irps);
}

TEST_F(VendorRequests, NothingReachesTheDeviceAfterDeInit) {
    ASSERT_TRUE(ok(dev_, HVUT_DEINIT));
    EXPECT_FALSE(ok(dev_, HVUT_VENDOR_OUT, 9, 4, 1));
    EXPECT_FALSE(call(dev_, HVUT_VENDOR_IN, 5, 0, 0, std::string(2, '\0'))->result);
    EXPECT_FALSE(ok(dev_, HVUT_START_RX, 64));
    EXPECT_FALSE(ok(dev_, HVUT_CONNECT));
    EXPECT_TRUE(urbs(URB_FUNCTION_VENDOR_INTERFACE).empty());
}

TEST_F(VendorRequests, AnOlderSystemStillSubmitsAtPassiveLevelDirectly) {
    // Below WDM 1.10 the transport keeps a worker for raised-level submission; requests made at
    // PASSIVE_LEVEL still go straight down.
    hvsim::io::set_wdm_version(1, 0);
    ASSERT_TRUE(ok(dev_, HVUT_DEINIT));
    PDEVICE_OBJECT other = dev_;
    registry_ = {};
    ULONG port = plug("ftdi:wire=open");
    other = driver_device(port);
    ASSERT_TRUE(ok(other, HVUT_INIT, 1));
    EXPECT_TRUE(ok(other, HVUT_VENDOR_OUT, 9, 3, 1));
    EXPECT_EQ(chip(1).port_state(0).latency_ms, 3);
    EXPECT_EQ(count_lines("Block here"), 0);
}

} // namespace
} // namespace usbtransporttest
