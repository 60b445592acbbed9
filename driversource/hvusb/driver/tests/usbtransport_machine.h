// A booted machine (virtual clock) with the USB stack and the transport's test bus driver, which
// binds to every plugged adapter; the device's registry is written as the package's INF writes it.
#pragma once

#include <hvsim/debug_log.h>
#include <hvsim/devices/device_description.h>
#include <hvsim/devices/emulated_device.h>
#include <hvsim/devices/far_end_scripted.h>
#include <hvsim/devices/ftdi_chip.h>
#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/pnp.h>
#include <hvsim/pool.h>
#include <hvsim/registry.h>
#include <hvsim/sched.h>
#include <hvsim/usb.h>
#include <usbdlib.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hvusbtest_protocol.h"
#include "support/machine_test.h"

namespace usbtransporttest {

inline constexpr char kImage[] = "hvusbtest.sys";
inline constexpr char16_t kService[] = u"HvUsbTest";

// One "EndPoint<n>" subkey.
struct EndPointKey {
    DWORD handle = 0;
    DWORD interface_number = 0;
    DWORD alternate = 0;
    DWORD address = 0;
    DWORD type = 2;
    DWORD callback = 0;
};

// The registry of a device as the INF writes it: the "USB" subkey and the endpoint subkeys
// (numbered from 1 in order; a missing number is a gap).
struct UsbRegistry {
    std::map<std::u16string, DWORD> usb = {
        {u"DeviceClass", 0}, {u"DeviceSubClass", 0}, {u"DeviceProtocol", 0}, {u"SelectedConfiguration", 0}};
    std::map<int, EndPointKey> endpoints = {{1, {1, 0, 0, 0x81, 2, 1}}, {2, {2, 0, 0, 0x02, 2, 0}}};
    // Values removed from one endpoint subkey, to corrupt it.
    std::map<int, std::u16string> missing;
};

class TransportMachine : public hvtest::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs an adapter built from a spec and waits until the test driver runs on it; its port on
    // the root hub, 0 when the spec builds none.
    ULONG plug(const std::string& spec) { return plug_adapter(spec) ? usb_ports_.back() : 0; }
    // The test driver's device on the plugged device (or on one interface of it).
    PDEVICE_OBJECT driver_device(ULONG port, int interface = -1);

    // One operation of the transport, run in the calling thread.
    std::unique_ptr<HvutRequest> call(PDEVICE_OBJECT device, unsigned op, unsigned a = 0, unsigned b = 0,
                                      unsigned c = 0, const std::string& data = {});
    bool ok(PDEVICE_OBJECT device, unsigned op, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
        return call(device, op, a, b, c)->result != 0;
    }
    // Drains the received data bytes waiting in the driver's ring.
    std::string drain(PDEVICE_OBJECT device);

    static std::vector<hvsim::usb::UrbRecord> urbs(USHORT function);
    static size_t count_vendor(UCHAR request);
    static size_t count_resets();
    static long count_lines(const std::string& text);

    UsbRegistry registry_;
};

} // namespace usbtransporttest
