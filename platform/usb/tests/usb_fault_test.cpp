// Faults: injected failures, stalls, URBs held until cancelled or late, unplug during a transfer,
// bad URBs and device power failures, each ending with the status Windows' stack gives.
#include "usb_test_support.h"

namespace hvsim::usbtest {
namespace {

constexpr UCHAR kIn = 0x81;
constexpr UCHAR kOut = 0x02;

class UsbFault : public UsbStack {
protected:
    void SetUp() override {
        UsbStack::SetUp();
        port_ = plug("ftdi:wire=loopback,paced=off");
        dev_ = client(port_);
        ASSERT_EQ(send(dev_, op(ClientConfigure)).irp_status, STATUS_SUCCESS);
    }

    usb::UrbMatch bulk_in() const {
        usb::UrbMatch m;
        m.port = port_;
        m.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        m.endpoint = kIn;
        return m;
    }

    ULONG port_ = 0;
    PDEVICE_OBJECT dev_ = nullptr;
};

TEST_F(UsbFault, InjectedTransactionErrorFailsOneVendorRequestWithoutReachingTheChip) {
    usb::UrbMatch m;
    m.request = 9;
    usb::inject(m, {usb::FaultKind::fail, USBD_STATUS_XACT_ERROR});
    ClientRequest r = send(dev_, vendor(9, 3, 1));
    EXPECT_EQ(r.irp_status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.urb_status, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(chip().port_state(0).latency_ms, 16);
    // Only the one: the retry goes through.
    r = send(dev_, vendor(9, 3, 1));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_EQ(chip().port_state(0).latency_ms, 3);
    EXPECT_EQ(usb::injected_count(), 1u);
    auto log = usb::urb_log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2].fault, "fail 0xC0000011");
}

TEST_F(UsbFault, SkipAndCountChooseWhichUrbsFail) {
    usb::UrbMatch m;
    m.request = 9;
    m.skip = 1;
    m.count = 2;
    usb::inject(m, {usb::FaultKind::fail, USBD_STATUS_XACT_ERROR});
    std::vector<LONG> statuses;
    for (int i = 0; i < 4; ++i) statuses.push_back(send(dev_, vendor(9, 4, 1)).urb_status);
    EXPECT_EQ(statuses, (std::vector<LONG>{0, USBD_STATUS_XACT_ERROR, USBD_STATUS_XACT_ERROR, 0}));
}

TEST_F(UsbFault, AFailedBulkTransferHaltsThePipeUntilItIsReset) {
    usb::inject(bulk_in(), {usb::FaultKind::fail, USBD_STATUS_STALL_PID});
    ClientRequest r = send(dev_, bulk(kIn, 64));
    EXPECT_EQ(r.irp_status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.urb_status, USBD_STATUS_STALL_PID);
    r = send(dev_, bulk(kIn, 64));
    EXPECT_EQ(r.urb_status, USBD_STATUS_ENDPOINT_HALTED);
    // The other pipe is not affected.
    EXPECT_EQ(send(dev_, bulk(kOut, 1, "x")).irp_status, STATUS_SUCCESS);
    ClientRequest reset = op(ClientResetPipe);
    reset.endpoint = kIn;
    EXPECT_EQ(send(dev_, reset).irp_status, STATUS_SUCCESS);
    EXPECT_EQ(read_data(dev_, kIn, 1), "x");
}

TEST_F(UsbFault, HeldUrbStaysPendingUntilCancelled) {
    usb::inject(bulk_in(), {usb::FaultKind::hold});
    auto pending = start(dev_, bulk(kIn, 64));
    // Ten seconds of machine time change nothing.
    sched::sleep_for(10 * sched::kTicksPerSecond);
    EXPECT_FALSE(pending->done.is_set());
    EXPECT_EQ(usb::counters().pending, 1u);
    ClientRequest c = send(dev_, op(ClientCancelAll));
    EXPECT_EQ(c.transferred, 1u);
    ClientRequest r = wait(*pending);
    EXPECT_EQ(r.irp_status, STATUS_CANCELLED);
    EXPECT_EQ(r.urb_status, USBD_STATUS_CANCELED);
    EXPECT_EQ(r.transferred, 0u);
    settle();
    EXPECT_EQ(usb::counters().pending, 0u);
    EXPECT_EQ(io::live_irp_count(), baseline_irps_);
}

TEST_F(UsbFault, CancelOfAnInTransferTheChipIsFillingKeepsItsDataForTheNext) {
    auto pending = start(dev_, bulk(kIn, 4096));
    send(dev_, op(ClientCancelAll));
    ClientRequest r = wait(*pending);
    EXPECT_TRUE(r.irp_status == STATUS_CANCELLED || r.irp_status == STATUS_SUCCESS);
    send(dev_, bulk(kOut, 5, "hello"));
    EXPECT_EQ(read_data(dev_, kIn, 5), "hello");
}

TEST_F(UsbFault, DelayedUrbReachesTheDeviceLate) {
    usb::UrbMatch m;
    m.request = 9;
    usb::inject(m, {usb::FaultKind::delay, 0, 2 * sched::kTicksPerSecond});
    usb::clear_urb_log();
    const int64_t before = sched::now();
    ClientRequest r = send(dev_, vendor(9, 7, 1));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_GE(sched::now() - before, 2 * sched::kTicksPerSecond);
    EXPECT_EQ(chip().port_state(0).latency_ms, 7);
    auto log = usb::urb_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_GE(log[0].completed - log[0].submitted, 2 * sched::kTicksPerSecond);
}

TEST_F(UsbFault, AbortPipeEndsItsPendingTransfersAsCancelled) {
    usb::UrbMatch m = bulk_in();
    m.count = 0;
    usb::inject(m, {usb::FaultKind::hold});
    auto first = start(dev_, bulk(kIn, 64));
    auto second = start(dev_, bulk(kIn, 64));
    ClientRequest abort = op(ClientAbortPipe);
    abort.endpoint = kIn;
    EXPECT_EQ(send(dev_, abort).irp_status, STATUS_SUCCESS);
    EXPECT_EQ(wait(*first).urb_status, USBD_STATUS_CANCELED);
    EXPECT_EQ(wait(*second).irp_status, STATUS_CANCELLED);
}

TEST_F(UsbFault, UnplugDuringAPendingTransferEndsItAsDeviceGone) {
    usb::inject(bulk_in(), {usb::FaultKind::hold});
    auto pending = start(dev_, bulk(kIn, 64));
    usb::UrbMatch out;
    out.endpoint = kOut;
    usb::inject(out, {usb::FaultKind::hold});
    auto writing = start(dev_, bulk(kOut, 3, "abc"));
    const usb::DeviceInfo d = device_on(port_);
    ASSERT_TRUE(usb::unplug(port_));
    ClientRequest r = wait(*pending);
    EXPECT_EQ(r.irp_status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r.urb_status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(wait(*writing).urb_status, USBD_STATUS_DEVICE_GONE);
    pnp::wait_quiet();
    settle();
    EXPECT_EQ(pnp::find_node(d.instance_id), pnp::no_node);
    EXPECT_EQ(usb::counters().pending, 0u);
    EXPECT_EQ(io::live_irp_count(), baseline_irps_);
}

TEST_F(UsbFault, BadUrbsGetClearStatusesAndReachNothing) {
    ClientRequest r = send(dev_, op(ClientBadPipe));
    EXPECT_EQ(r.irp_status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(r.urb_status, USBD_STATUS_INVALID_PIPE_HANDLE);

    ClientRequest raw = op(ClientRawUrb);
    raw.length = sizeof(URB);
    auto* urb = (PURB)raw.data;
    urb->UrbHeader.Length = sizeof(URB);
    urb->UrbHeader.Function = 0x7777;
    r = send(dev_, raw);
    EXPECT_EQ(r.irp_status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.urb_status, USBD_STATUS_INVALID_URB_FUNCTION);

    // A bulk URB whose header says it is shorter than the layout.
    std::memset(raw.data, 0, sizeof(URB));
    urb->UrbHeader.Length = 40;
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r = send(dev_, raw);
    EXPECT_EQ(r.urb_status, USBD_STATUS_INVALID_PARAMETER);

    // A vendor request with a length and no buffer.
    std::memset(raw.data, 0, sizeof(URB));
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_VENDOR_INTERFACE;
    urb->UrbControlVendorClassRequest.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    urb->UrbControlVendorClassRequest.TransferBufferLength = 2;
    urb->UrbControlVendorClassRequest.Request = 5;
    r = send(dev_, raw);
    EXPECT_EQ(r.irp_status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.urb_status, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(UsbFault, DevicePowerRequestsCanBeMadeToFail) {
    auto set_power = [&](DEVICE_POWER_STATE state) {
        return io::send_and_wait(
                   dev_,
                   [state](io::Irp*, io::StackLocation* stack) {
                       stack->MajorFunction = IRP_MJ_POWER;
                       stack->MinorFunction = IRP_MN_SET_POWER;
                       stack->Parameters.Power.Type = DevicePowerState;
                       stack->Parameters.Power.State.DeviceState = state;
                   },
                   STATUS_NOT_SUPPORTED)
            .status;
    };
    usb::fail_device_power(port_, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(set_power(PowerDeviceD3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(set_power(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(set_power(PowerDeviceD0), STATUS_SUCCESS);
}

TEST_F(UsbFault, UnconfiguredDeviceRefusesBulkOnItsOldPipes) {
    ClientRequest r = send(dev_, op(ClientUnconfigure));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
    // The client forgot its pipes; a stale handle from the stack's view is a bad pipe.
    r = send(dev_, op(ClientBadPipe));
    EXPECT_EQ(r.urb_status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_FALSE(device_on(port_).configured);
}

} // namespace
} // namespace hvsim::usbtest
