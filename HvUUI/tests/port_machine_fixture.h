// A machine with a test card: a bus device whose children are Ports-class serial ports, each
// named by the platform's Ports class installer and then by HvUUI23's port co-installer.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <msports.h>
#include <newdev.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <hvsim/machine.h>
#include <hvsim/user_hooks.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Which driver serves the ports of an installed package.
enum class PortDriver {
    Test,    // the test function driver, made a serial port by the INF, as HvUVCP.sys
    Package, // the package's own HvUVCP.sys; the package cannot be installed before it is built
};

class PortMachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Installs the card INF on a new root device (ROOT\HVTESTCARD1 or ROOT\HVTESTCARD3) and
    // the ports its bus driver creates; returns the card's instance ID.
    std::u16string install_root_card(const std::u16string& hardware_id);
    // Plugs a USB adapter with the VID and PID and installs it as a card.
    std::u16string plug_usb_card(const std::string& pid);
    // Plugs an adapter of the emulated chip ("ftdi:..." spec) and waits until the ports below
    // it have started; returns the adapter's instance ID.
    std::u16string plug_adapter(const std::string& spec);
    // The card's children.
    std::vector<std::u16string> ports_of(const std::u16string& card);
    // The Ports-class devices anywhere below the node, in tree order.
    std::vector<std::u16string> ports_below(const std::u16string& node);
    void install_port_driver_again();
    // Installs the package from a kit folder as `hvsim install-package` does: HVUBUS.INF and
    // HVUSER.INF with the images the tree builds. The port driver is chosen. Adapters plugged
    // afterwards are the package's cards. Returns why the package cannot be installed, empty
    // when it was.
    std::string install_package(PortDriver port_driver);
    void wait_for_ports(const std::u16string& card);
    static std::u16string parent_of(const std::u16string& instance);

    // Takes the card's "ChildPortNameSorted" marker away, so that its ports are renumbered again.
    static void remove_marker(const std::u16string& instance);
    static void rename(const std::u16string& instance, const std::u16string& name);
    // Writes a port save key under the card's hardware key, as the card co-installer leaves it:
    // Baudrate 9600, SupportedBaudRates, PortName COM9 and a UI1 subkey (Latency 7,
    // InterfaceType "USB").
    static void write_save_key(const std::u16string& card, const std::u16string& port);
    static void claim(DWORD number);
    static bool claimed(DWORD number);
    static std::u16string value(const std::u16string& instance, const std::u16string& subkey, const WCHAR* name);
    static DWORD dword(const std::u16string& instance, const std::u16string& subkey, const WCHAR* name);
    static bool key_exists(const std::u16string& path);
    static std::u16string dos_target(const std::u16string& name);
    static std::u16string serialcomm(const std::u16string& target);
    static std::u16string ports_entry(const std::u16string& name);
    std::u16string inf(const char* name) const;

    std::filesystem::path root_, package_, kit_;
    bool package_installed_ = false;
    std::unique_ptr<hvsim::Machine> machine_;
};

// A device opened in a list of its own, for the tests' direct calls.
struct OpenedDevice {
    explicit OpenedDevice(const std::u16string& instance);
    ~OpenedDevice();
    OpenedDevice(const OpenedDevice&) = delete;
    OpenedDevice& operator=(const OpenedDevice&) = delete;
    HDEVINFO set;
    SP_DEVINFO_DATA data{};
};
