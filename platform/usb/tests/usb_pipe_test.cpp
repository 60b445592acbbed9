// Pipes against a small device model of the test's own, which can stall and babble and has an
// alternate setting: alternate settings, halts and their reset.
#include "usb_test_support.h"

#include <hvsim/devices/usb_descriptors.h>

#include <atomic>

namespace hvsim::usbtest {
namespace {

using devices::BulkResult;
using devices::ControlResult;
using devices::UsbStatus;

// One interface: setting 0 with a bulk-in pipe, setting 1 with bulk-in and bulk-out.
class FakeDevice final : public devices::UsbDeviceModel {
public:
    FakeDevice() {
        devices::DeviceDescriptorFields d;
        d.vendor_id = 0x1234;
        d.product_id = 0x5678;
        d.bcd_device = 0x0100;
        d.manufacturer_index = d.product_index = d.serial_index = 0;
        set_.device = devices::make_device_descriptor(d);
        devices::ConfigurationFields c;
        devices::InterfaceFields first;
        first.endpoints = {{0x81}};
        devices::InterfaceFields second;
        second.alternate = 1;
        second.endpoints = {{0x81}, {0x02}};
        c.interfaces = {first, second};
        set_.configuration = devices::make_configuration_descriptor(c);
        set_.strings = {devices::make_language_descriptor()};
        standard_ = std::make_unique<devices::StandardRequests>(set_);
    }

    const devices::UsbDescriptorSet& descriptors() const override { return set_; }
    ControlResult control(const devices::SetupPacket& setup, std::span<std::uint8_t> data, devices::Ticks) override {
        // The shared standard requests know no alternate settings.
        if (setup.request == USB_REQUEST_SET_INTERFACE) {
            if (setup.value > 1) return {UsbStatus::stall, 0};
            alternate = setup.value;
            return {UsbStatus::ok, 0};
        }
        if (setup.request == USB_REQUEST_CLEAR_FEATURE) ++clear_features;
        return standard_->handle(setup, data);
    }
    BulkResult offer(std::uint8_t, std::span<const std::uint8_t> bytes, devices::Ticks) override {
        if (stall_out) return {UsbStatus::stall, 0};
        return {UsbStatus::ok, bytes.size()};
    }
    BulkResult poll(std::uint8_t, std::span<std::uint8_t> buffer, devices::Ticks) override {
        if (babble_in) return {UsbStatus::babble, 0};
        buffer[0] = 0x5A;
        return {UsbStatus::ok, 1};
    }
    void cancel(std::uint8_t, devices::Ticks) override {}
    void port_reset(devices::Ticks) override {}
    devices::Ticks next_deadline() const override { return devices::kNever; }
    void advance(devices::Ticks) override {}
    void set_change_callback(ChangeCallback) override {}

    std::atomic<bool> stall_out{false};
    std::atomic<bool> babble_in{false};
    std::atomic<int> alternate{0};
    std::atomic<int> clear_features{0};

private:
    devices::UsbDescriptorSet set_;
    std::unique_ptr<devices::StandardRequests> standard_;
};

class UsbPipe : public UsbStack {
protected:
    void SetUp() override {
        UsbStack::SetUp();
        port_ = usb::plug(fake_, "fake");
        pnp::wait_quiet();
        dev_ = client(port_);
        ClientRequest r = send(dev_, op(ClientConfigure));
        ASSERT_EQ(r.irp_status, STATUS_SUCCESS) << std::hex << r.urb_status;
        ASSERT_EQ(r.pipe_count, 1u);
        setting0_in_ = r.handles[0];
    }

    ClientRequest raw_bulk(ULONG64 handle) {
        ClientRequest raw = op(ClientRawUrb);
        raw.length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        auto* urb = (PURB)raw.data;
        urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb->UrbBulkOrInterruptTransfer.PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)handle;
        return send(dev_, raw);
    }

    std::shared_ptr<FakeDevice> fake_ = std::make_shared<FakeDevice>();
    ULONG port_ = 0;
    PDEVICE_OBJECT dev_ = nullptr;
    ULONG64 setting0_in_ = 0;
};

TEST_F(UsbPipe, SelectingAnAlternateSettingReplacesThePipesOfItsInterface) {
    ClientRequest r = op(ClientSelectInterface);
    r.index = 0;
    r.value = 1;
    r = send(dev_, r);
    ASSERT_EQ(r.irp_status, STATUS_SUCCESS) << std::hex << r.urb_status;
    EXPECT_EQ(fake_->alternate, 1);
    ASSERT_EQ(r.pipe_count, 2u);
    EXPECT_EQ(r.pipes[1], 0x02);
    EXPECT_NE(r.handles[0], setting0_in_);
    // The old setting's pipe is gone with it.
    EXPECT_EQ(raw_bulk(setting0_in_).urb_status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(send(dev_, bulk(0x02, 4, "data")).irp_status, STATUS_SUCCESS);
    // A setting the interface does not have is refused and changes nothing.
    ClientRequest missing = op(ClientSelectInterface);
    missing.value = 5;
    missing = send(dev_, missing);
    EXPECT_EQ(missing.urb_status, USBD_STATUS_INTERFACE_NOT_FOUND);
    EXPECT_EQ(fake_->alternate, 1);
}

TEST_F(UsbPipe, ADeviceStallHaltsThePipeUntilTheResetClearsItOnBothSides) {
    ClientRequest r = op(ClientSelectInterface);
    r.value = 1;
    ASSERT_EQ(send(dev_, r).irp_status, STATUS_SUCCESS);
    fake_->stall_out = true;
    r = send(dev_, bulk(0x02, 1, "x"));
    EXPECT_EQ(r.irp_status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.urb_status, USBD_STATUS_STALL_PID);
    fake_->stall_out = false;
    EXPECT_EQ(send(dev_, bulk(0x02, 1, "x")).urb_status, USBD_STATUS_ENDPOINT_HALTED);
    ClientRequest reset = op(ClientResetPipe);
    reset.endpoint = 0x02;
    EXPECT_EQ(send(dev_, reset).irp_status, STATUS_SUCCESS);
    EXPECT_EQ(fake_->clear_features, 1); // CLEAR_FEATURE(ENDPOINT_HALT) reached the device
    EXPECT_EQ(send(dev_, bulk(0x02, 1, "x")).irp_status, STATUS_SUCCESS);
}

TEST_F(UsbPipe, BabbleFailsTheTransferAndHaltsThePipe) {
    fake_->babble_in = true;
    ClientRequest r = send(dev_, bulk(0x81, 64));
    EXPECT_EQ(r.irp_status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.urb_status, USBD_STATUS_BABBLE_DETECTED);
    fake_->babble_in = false;
    EXPECT_EQ(send(dev_, bulk(0x81, 64)).urb_status, USBD_STATUS_ENDPOINT_HALTED);
    ClientRequest reset = op(ClientResetPipe);
    reset.endpoint = 0x81;
    EXPECT_EQ(send(dev_, reset).irp_status, STATUS_SUCCESS);
    r = send(dev_, bulk(0x81, 64));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 1u);
    EXPECT_EQ(r.data[0], 0x5A);
}

} // namespace
} // namespace hvsim::usbtest
