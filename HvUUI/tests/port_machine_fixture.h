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
    void wait_for_ports(const std::u16string& card);
    static std::u16string parent_of(const std::u16string& instance);

    static void claim(DWORD number);
    static bool claimed(DWORD number);
    static std::u16string value(const std::u16string& instance, const std::u16string& subkey, const WCHAR* name);
    static DWORD dword(const std::u16string& instance, const std::u16string& subkey, const WCHAR* name);
    static bool key_exists(const std::u16string& path);
    static std::u16string dos_target(const std::u16string& name);
    static std::u16string serialcomm(const std::u16string& target);
    static std::u16string ports_entry(const std::u16string& name);
    std::u16string inf(const char* name) const;

    std::filesystem::path root_, package_;
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
