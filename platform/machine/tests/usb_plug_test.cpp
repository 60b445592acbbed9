// USB devices of the machine: plugged and unplugged while it runs, and the saved ones that come
// back at every boot, through the C++ API and the hvsim command.
#include <hvsim/format.h>
#include <hvsim/machine.h>
#include <hvsim/pnp.h>

#include <gtest/gtest.h>

#include <fstream>

#include "support/folder_test.h"

namespace {

using hvsim::Machine;
using hvsim::MachineError;

class UsbPlug : public hvtest::FolderTest {
protected:
    hvsim::MachineOptions options() const {
        hvsim::MachineOptions o;
        o.root = machine_root();
        o.clock = hvsim::ClockMode::Virtual;
        return o;
    }
    static bool has_node(const std::u16string& instance) { return pnp_node(instance) != hvsim::pnp::no_node; }
    static hvsim::pnp::DevInst pnp_node(const std::u16string& instance) { return hvsim::pnp::find_node(instance); }
};

TEST_F(UsbPlug, PlugWhileRunningShowsTheDeviceAndItsInterfacesAndUnplugRemovesThem) {
    Machine machine(options());
    EXPECT_TRUE(machine.usb_devices().empty());
    const std::string id = machine.plug("ftdi:interfaces=2,wire=loopback");
    EXPECT_EQ(id, "usb1");
    auto devices = machine.usb_devices();
    ASSERT_EQ(devices.size(), 1u);
    const hvsim::UsbDeviceInfo d = devices[0];
    EXPECT_EQ(d.port, 1u);
    EXPECT_FALSE(d.saved);
    EXPECT_EQ(d.spec.rfind("ftdi:vid=0x7A5C,pid=0x1002", 0), 0u) << d.spec;
    ASSERT_EQ(d.interfaces.size(), 2u);
    EXPECT_TRUE(has_node(d.instance_id));
    for (auto& child : d.interfaces) {
        EXPECT_TRUE(has_node(child)) << hvsim::text::to_utf8(child);
        // No driver for the functions yet: they wait for one.
        EXPECT_EQ(hvsim::pnp::problem_of(pnp_node(child)), hvsim::pnp::prob::failed_install);
    }
    const std::string text = machine.usb_devices_text();
    EXPECT_NE(text.find("usb1 on port 1 (not saved): ftdi:"), std::string::npos) << text;
    EXPECT_NE(text.find("&MI_01\\"), std::string::npos) << text;

    EXPECT_EQ(machine.plug("ftdi:pid=0x1015"), "usb2");
    machine.unplug(id);
    EXPECT_FALSE(has_node(d.instance_id));
    for (auto& child : d.interfaces) EXPECT_FALSE(has_node(child));
    ASSERT_EQ(machine.usb_devices().size(), 1u);
    EXPECT_EQ(machine.usb_devices()[0].id, "usb2");
    // Nothing of this is saved.
    machine.shutdown();
    EXPECT_TRUE(hvsim::saved_usb_devices(machine_root()).empty());
}

TEST_F(UsbPlug, BadSpecsAndUnknownIdsAreRefusedWithAReason) {
    Machine machine(options());
    try {
        machine.plug("ftdi:interfaces=3");
        FAIL() << "a three-interface chip was plugged";
    } catch (const MachineError& e) {
        EXPECT_NE(std::string(e.what()).find("interfaces"), std::string::npos) << e.what();
    }
    EXPECT_THROW(machine.plug("serialthing"), MachineError);
    EXPECT_THROW(machine.unplug("usb9"), MachineError);
    EXPECT_TRUE(machine.usb_devices().empty());
}

TEST_F(UsbPlug, SavedDevicesArePresentFromTheNextBootWithTheirIds) {
    EXPECT_EQ(hvsim::add_saved_usb_device(machine_root(), "ftdi:wire=loopback"), "usb1");
    EXPECT_EQ(hvsim::add_saved_usb_device(machine_root(), "ftdi:interfaces=4,pid=0x1016"), "usb2");
    {
        Machine machine(options());
        auto devices = machine.usb_devices();
        ASSERT_EQ(devices.size(), 2u);
        EXPECT_EQ(devices[0].id, "usb1");
        EXPECT_TRUE(devices[0].saved);
        EXPECT_EQ(devices[1].interfaces.size(), 4u);
        EXPECT_TRUE(has_node(devices[1].instance_id));
        // A device plugged now takes the next free ID.
        EXPECT_EQ(machine.plug("ftdi"), "usb3");
    }
    hvsim::remove_saved_usb_device(machine_root(), "usb1");
    EXPECT_THROW(hvsim::remove_saved_usb_device(machine_root(), "usb1"), MachineError);
    Machine again(options());
    auto devices = again.usb_devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].id, "usb2");
    // The device node of a device seen before keeps its instance ID.
    EXPECT_NE(hvsim::text::to_utf8(devices[0].instance_id).find("PID_1016"), std::string::npos);
}

TEST_F(UsbPlug, ACorruptSavedListStopsTheBootWithTheLine) {
    std::filesystem::create_directories(machine_root());
    {
        std::ofstream out(machine_root() / "usb.txt");
        out << "# comment\nusb1 = ftdi\nusb2 ftdi\n";
    }
    try {
        Machine machine(options());
        FAIL() << "booted";
    } catch (const MachineError& e) {
        EXPECT_NE(std::string(e.what()).find("usb.txt:3: expected 'ID = SPEC'"), std::string::npos) << e.what();
    }
    // The machine can boot again once the list is mended.
    std::ofstream(machine_root() / "usb.txt") << "usb1 = ftdi\n";
    Machine machine(options());
    EXPECT_EQ(machine.usb_devices().size(), 1u);
}

TEST_F(UsbPlug, TheCommandPlugsAndUnplugsTheSavedConfigurationAndListsTheDevices) {
    auto plug = run_hvsim(HVSIM_EXECUTABLE, "--clock virtual plug ftdi:interfaces=2,type=rs485/rs232");
    EXPECT_EQ(plug.status, 0) << plug.output;
    EXPECT_NE(plug.output.find("usb1 = ftdi:vid=0x7A5C,pid=0x1002"), std::string::npos) << plug.output;
    EXPECT_NE(plug.output.find("type=rs485/rs232"), std::string::npos) << plug.output;
    auto devices = run_hvsim(HVSIM_EXECUTABLE, "devices");
    EXPECT_EQ(devices.status, 0);
    EXPECT_NE(devices.output.find("USB\\VID_7A5C&PID_1002&MI_00\\"), std::string::npos) << devices.output;
    EXPECT_NE(devices.output.find("usb1 on port 1: ftdi:"), std::string::npos) << devices.output;
    EXPECT_EQ(run_hvsim(HVSIM_EXECUTABLE, "plug ftdi:wire=copper").status, 1);
    EXPECT_EQ(run_hvsim(HVSIM_EXECUTABLE, "unplug usb4").status, 1);
    EXPECT_EQ(run_hvsim(HVSIM_EXECUTABLE, "unplug").status, 2);
    auto unplug = run_hvsim(HVSIM_EXECUTABLE, "unplug usb1");
    EXPECT_EQ(unplug.status, 0) << unplug.output;
    devices = run_hvsim(HVSIM_EXECUTABLE, "devices");
    EXPECT_NE(devices.output.find("USB devices: (none)"), std::string::npos) << devices.output;
}

} // namespace
