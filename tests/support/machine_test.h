// A test on a machine of its own, booted in the kernel's side of the test: the fresh folder of
// FolderTest (kept for a look when the test fails), the virtual clock, and emulated adapters
// plugged into the root hub. Tests written against the Win32 side take FolderTest alone.
#pragma once

#include <hvsim/devices/device_description.h>
#include <hvsim/devices/emulated_device.h>
#include <hvsim/devices/ftdi_chip.h>
#include <hvsim/kernel.h>
#include <hvsim/pnp.h>
#include <hvsim/sched.h>
#include <hvsim/usb.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "folder_test.h"

namespace hvtest {

class MachineTest : public FolderTest {
protected:
    // A fixture's own TearDown shuts its machine down, then calls MachineTest::TearDown().
    MachineTest() { std::filesystem::create_directories(machine_root()); }

    std::filesystem::path root() const { return machine_root(); }
    // The options (hvsim::MachineOptions or hvsim::KernelOptions) of a machine in the test's
    // folder on the virtual clock.
    template <typename Options>
    Options on_virtual_clock() const {
        Options options;
        options.root = root();
        options.clock = hvsim::ClockMode::Virtual;
        return options;
    }

    // Plugs an adapter built from a spec of hvsim's `plug` into the root hub and waits until Plug
    // and Play is quiet; nullptr, with the test failed, when the spec builds no adapter.
    hvsim::devices::EmulatedDevice* plug_adapter(const std::string& text) {
        std::string error;
        auto spec = hvsim::devices::parse_device_spec(text, &error);
        if (!spec) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        hvsim::devices::DeviceOptions options;
        options.print_pty_names = false;
        options.now = hvsim::sched::now();
        std::shared_ptr<hvsim::devices::EmulatedDevice> adapter =
            hvsim::devices::EmulatedDevice::create(*spec, options, &error);
        if (!adapter) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        adapters_.push_back(adapter);
        usb_ports_.push_back(
            hvsim::usb::plug(std::shared_ptr<hvsim::devices::UsbDeviceModel>(adapter, &adapter->model()), text));
        hvsim::pnp::wait_quiet();
        return adapter.get();
    }
    // The chip of the adapter plugged; a spec that builds none ends the test.
    hvsim::devices::FtdiChip& plug(const std::string& spec = "ftdi") {
        if (!plug_adapter(spec)) throw std::runtime_error("cannot plug " + spec);
        return chip(adapters_.size() - 1);
    }
    hvsim::devices::FtdiChip& chip(size_t index = 0) {
        return static_cast<hvsim::devices::FtdiChip&>(adapters_.at(index)->model());
    }
    hvsim::devices::EmulatedDevice& adapter(size_t index = 0) { return *adapters_.at(index); }
    // Unplugs every adapter plugged and waits until the machine is quiet.
    void unplug_all() {
        for (ULONG port : usb_ports_) hvsim::usb::unplug(port);
        hvsim::pnp::wait_quiet();
    }

    std::vector<std::shared_ptr<hvsim::devices::EmulatedDevice>> adapters_;
    std::vector<ULONG> usb_ports_; // on the root hub, one an adapter
};

} // namespace hvtest
