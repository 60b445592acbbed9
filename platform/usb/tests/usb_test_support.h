// A kernel with the USB stack and the test client driver, emulated adapters to plug, and the
// helpers that send the client's requests.
#pragma once

#include <hvsim/devices/device_description.h>
#include <hvsim/devices/emulated_device.h>
#include <hvsim/devices/ftdi_chip.h>
#include <hvsim/format.h>
#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/pnp.h>
#include <hvsim/registry.h>
#include <hvsim/sched.h>
#include <hvsim/usb.h>
#include <usbdlib.h>
#include <wdm.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "usb_client.h"

namespace hvsim::usbtest {

inline std::string narrow(std::u16string_view text) { return text::to_utf8(text); }

// An URB request for the client, on the heap (it is large) and alive until it completes.
struct Call {
    ClientRequest req{};
    sched::Event done;
    LONG status = STATUS_PENDING;
};

class UsbStack : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hvusb-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        auto drivers = root_ / "C" / "Windows" / "System32" / "drivers";
        std::filesystem::create_directories(drivers);
        std::filesystem::copy_file(HV_USB_CLIENT_IMAGE, drivers / "HvUsbClient.sys");
        KernelOptions options;
        options.clock = ClockMode::Virtual;
        options.root = root_;
        kernel_boot(options);
        const std::u16string key = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HvUsbClient";
        registry::create_key(key);
        registry::set_dword(key, u"Type", 1);
        registry::set_dword(key, u"Start", 3);
        registry::set_dword(key, u"ErrorControl", 1);
        registry::set_string(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\HvUsbClient.sys", REG_EXPAND_SZ);
        // The client drives every USB function the hub or a composite parent reports.
        pnp::set_new_device_handler([](pnp::DevInst node) {
            auto info = pnp::node_info(node);
            if (!info || info->hardware_ids.empty() || info->hardware_ids[0].rfind(u"USB\\VID_", 0) != 0) return false;
            registry::set_string(pnp::device_key_path(node), u"Service", u"HvUsbClient");
            return true;
        });
        pnp::start_tree();
        usb::install_host_controller();
        baseline_irps_ = io::live_irp_count();
    }

    void TearDown() override {
        if (kernel_running()) {
            pnp::wait_quiet();
            EXPECT_EQ(usb::counters().pending, 0u) << "URBs left pending";
            pnp::set_new_device_handler(nullptr);
            kernel_shutdown();
        }
        adapters_.clear();
        std::error_code error;
        std::filesystem::remove_all(root_, error);
    }

    // Plugs an adapter built from a spec ("ftdi:wire=loopback") and waits until its drivers run.
    ULONG plug(const std::string& text) {
        std::string error;
        auto spec = devices::parse_device_spec(text, &error);
        EXPECT_TRUE(spec) << error;
        if (!spec) return 0;
        devices::DeviceOptions options;
        options.print_pty_names = false;
        options.now = sched::now();
        std::shared_ptr<devices::EmulatedDevice> adapter = devices::EmulatedDevice::create(*spec, options, &error);
        EXPECT_TRUE(adapter) << error;
        if (!adapter) return 0;
        adapters_.push_back(adapter);
        ULONG port = usb::plug(std::shared_ptr<devices::UsbDeviceModel>(adapter, &adapter->model()), text);
        pnp::wait_quiet();
        return port;
    }

    devices::FtdiChip& chip(size_t index = 0) { return static_cast<devices::FtdiChip&>(adapters_.at(index)->model()); }

    usb::DeviceInfo device_on(ULONG port) {
        for (auto& d : usb::devices())
            if (d.port == port) return d;
        ADD_FAILURE() << "nothing on port " << port;
        return {};
    }

    // The client's device object for the whole device (interface -1) or a composite child.
    PDEVICE_OBJECT client(ULONG port, int interface = -1) {
        usb::DeviceInfo d = device_on(port);
        std::u16string id = d.instance_id;
        for (auto& i : d.interfaces)
            if (i.number == interface) id = i.instance_id;
        pnp::DevInst node = pnp::find_node(id);
        EXPECT_NE(node, pnp::no_node) << narrow(id);
        auto stack = pnp::device_stack(node);
        PDEVICE_OBJECT top = stack.empty() ? nullptr : stack.back();
        for (PDEVICE_OBJECT o : stack) ObDereferenceObject(o);
        EXPECT_NE(top, nullptr);
        return top;
    }

    // Sends the request and leaves it running; wait() collects it.
    std::unique_ptr<Call> start(PDEVICE_OBJECT target, const ClientRequest& req) {
        auto call = std::make_unique<Call>();
        call->req = req;
        Call* raw = call.get();
        io::Issue issue = io::send_async(
            target,
            [raw](io::Irp* irp, io::StackLocation* stack) {
                stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
                stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_USBCLIENT_REQUEST;
                stack->Parameters.DeviceIoControl.InputBufferLength = sizeof(ClientRequest);
                stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ClientRequest);
                irp->AssociatedIrp.SystemBuffer = &raw->req;
            },
            STATUS_NOT_SUPPORTED,
            [raw](LONG status, ULONG_PTR) {
                raw->status = status;
                raw->done.set();
            });
        EXPECT_TRUE(issue.issued);
        return call;
    }

    ClientRequest wait(Call& call) {
        call.done.wait();
        EXPECT_EQ(call.status, STATUS_SUCCESS);
        return call.req;
    }

    ClientRequest send(PDEVICE_OBJECT target, const ClientRequest& req) { return wait(*start(target, req)); }

    // A request's caller hears of its end from inside the completion; the client frees its own
    // IRP just after. Machine time moves only once every thread, the controller's too, waits.
    static void settle() { sched::sleep_for(sched::kTicksPerMillisecond); }

    static ClientRequest op(ULONG what) {
        ClientRequest r{};
        r.op = what;
        return r;
    }

    static ClientRequest vendor(UCHAR request, USHORT value, USHORT index, bool in = false, ULONG length = 0) {
        ClientRequest r = op(ClientControl);
        r.function = URB_FUNCTION_VENDOR_INTERFACE;
        r.in = in;
        r.request = request;
        r.value = value;
        r.index = index;
        r.length = length;
        return r;
    }

    static ClientRequest bulk(UCHAR endpoint, ULONG length, const void* data = nullptr) {
        ClientRequest r = op(ClientBulk);
        r.endpoint = endpoint;
        r.length = length;
        r.short_ok = 1;
        if (data) std::memcpy(r.data, data, length);
        return r;
    }

    // Reads from the bulk-in pipe until `count` data bytes arrived (each packet carries two
    // status bytes first) or `attempts` transfers came back.
    std::string read_data(PDEVICE_OBJECT target, UCHAR endpoint, size_t count, int attempts = 1000) {
        std::string data;
        while (data.size() < count && attempts-- > 0) {
            ClientRequest r = send(target, bulk(endpoint, 4096));
            EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
            if (r.irp_status != STATUS_SUCCESS) break;
            for (ULONG at = 0; at < r.transferred; at += 64) {
                ULONG packet = std::min<ULONG>(64, r.transferred - at);
                if (packet > 2) data.append((const char*)r.data + at + 2, packet - 2);
            }
        }
        return data;
    }

    std::filesystem::path root_;
    std::vector<std::shared_ptr<devices::EmulatedDevice>> adapters_;
    size_t baseline_irps_ = 0;
};

} // namespace hvsim::usbtest
