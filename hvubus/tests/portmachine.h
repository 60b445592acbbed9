// A machine (hvtest::MachineTest) with the bus driver on every plugged adapter and the test port driver
// on its port children, with helpers to bind a child to its port object and to read what went to
// the chip.
#pragma once

#include <hvsim/devices/emulated_device.h>
#include <hvsim/devices/far_end_scripted.h>
#include <hvsim/devices/ftdi_chip.h>
#include <hvsim/machine.h>
#include <hvsim/pnp.h>
#include <hvsim/sched.h>
#include <hvsim/usb.h>
#include <usbdlib.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/machine_test.h"
#include "testportdriver.h"

namespace porttest {

// One vendor request the bus driver sent, as the URB log has it.
struct VendorRequest {
    UCHAR request = 0;
    bool in = false;
    USHORT value = 0;
    USHORT index = 0;
    bool operator==(const VendorRequest&) const = default;
};
std::ostream& operator<<(std::ostream& out, const VendorRequest& r);

class PortMachine : public hvtest::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Puts a scripted peer on a port's connector.
    std::shared_ptr<hvsim::devices::ScriptedPeer> attach_peer(size_t adapter_index = 0, size_t port = 0);

    // The bus function of an adapter (interface -1: a single-interface adapter).
    hvsim::pnp::DevInst bus_node(size_t adapter_index = 0, int interface = -1);
    // The test port driver on the bus function's child.
    Port* port(size_t adapter_index = 0, int interface = -1);
    // Plugs, binds the child's record (port number 1) and opens the port; nullptr on failure.
    Port* open(const std::string& spec = "ftdi");

    void unplug(size_t adapter_index = 0);

public:
    // Vendor requests sent since the log was cleared.
    static std::vector<VendorRequest> vendor_requests();
    static std::vector<hvsim::usb::UrbRecord> bulk(bool in);
    // Lets the machine run for a while of virtual time.
    static void run_for(int64_t ticks) { hvsim::sched::sleep_for(ticks); }
    static long debug_lines(const std::string& text);
    // Lines of the bus driver's trace log that hold the text.
    static long traced(const std::string& text);

protected:

    // Written into the bus function's stored bus settings before it starts, when set.
    std::optional<DWORD> port_type_;

    std::unique_ptr<hvsim::Machine> machine_;
    int installed_ = 0;
};

} // namespace porttest
