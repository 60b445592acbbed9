// The test for a previous installation and the marking of absent devices, called directly on
// the machine's device tree: which devices count, and which get the reinstall flag.
#include "setup_machine.h"

#include <regstr.h>

#include "card_machine.h"

#include <algorithm>

#include <hvsim/format.h>

#include "PreviousInstallation.h"

namespace {

using SetupDetectionTest = SetupMachineTest;

DWORD config_flags(const std::u16string& instance) {
    HKEY key;
    const std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return 0xDEAD;
    DWORD flags = 0, size = sizeof flags;
    RegQueryValueExW(key, u"ConfigFlags", nullptr, nullptr, reinterpret_cast<BYTE*>(&flags), &size);
    RegCloseKey(key);
    return flags;
}

struct DetectionCase {
    const char* name;
    const char16_t* root_device; // a root device with this hardware ID and no driver, or none
    bool found;
};

class SetupDetectionCases : public SetupMachineTest, public ::testing::WithParamInterface<DetectionCase> {};

TEST_P(SetupDetectionCases, CountsOnlyDevicesOfTheBusIds) {
    if (GetParam().root_device) card_test::add_root_device(GetParam().root_device);
    CTarrowUSBInstallData data;
    EXPECT_EQ(GetParam().found, DetectPreviousInstallation(&data));
    EXPECT_EQ(INVALID_HANDLE_VALUE, data.m_DeviceSet);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, SetupDetectionCases,
    ::testing::Values(DetectionCase{"Nothing", nullptr, false},
                      // Plugged before the package: it failed to install, which counts.
                      DetectionCase{"LowerCaseBusId", u"usb\\vid_7a5c&pid_2011&mi_01", true},
                      DetectionCase{"PortIdOnly", u"PORTS\\HVUSER23221", false},
                      DetectionCase{"OtherMaker", u"USB\\VID_0403&PID_6001", false}),
    [](const ::testing::TestParamInfo<DetectionCase>& info) { return std::string(info.param.name); });

TEST_F(SetupDetectionTest, AnAbsentAdapterIsFoundAndMarkedForReinstallationAndAPresentOneIsLeftAlone) {
    EXPECT_FALSE(DetectPreviousInstallation(nullptr));
    install_and_plug();
    const hvsim::UsbDeviceInfo first = machine_->usb_devices().at(0);
    const std::string second = machine_->plug("ftdi:pid=0x1015,wire=loopback");
    hvsim::user::wait_for_device_installations();
    std::u16string present;
    for (const auto& device : machine_->usb_devices())
        if (device.id == second) present = device.instance_id;
    machine_->unplug(adapter_);

    CTarrowUSBInstallData data;
    EXPECT_TRUE(DetectPreviousInstallation(&data));
    const DWORD present_flags = config_flags(present);
    for (const auto& interface : first.interfaces) ASSERT_FALSE(config_flags(interface) & CONFIGFLAG_REINSTALL);
    MarkAbsentDevicesForReinstallation(&data, FALSE);
    EXPECT_EQ(INVALID_HANDLE_VALUE, data.m_DeviceSet);
    for (const auto& interface : first.interfaces)
        EXPECT_TRUE(config_flags(interface) & CONFIGFLAG_REINSTALL) << hvsim::text::to_utf8(interface);
    EXPECT_EQ(present_flags, config_flags(present)) << "a connected device is left alone";
    EXPECT_EQ(0u, hvsim::user::unscripted_message_boxes());
}

} // namespace

namespace {

// The COM numbers a removal releases come from the ports' "PortName": the digits after its first
// three characters; a name without them releases nothing.
struct PortNameCase {
    const char16_t* port_name;
    std::vector<DWORD> released;
};

class SetupPortNameCases : public SetupMachineTest, public ::testing::WithParamInterface<PortNameCase> {};

TEST_P(SetupPortNameCases, ReleasesTheNumberThePortNameGives) {
    const auto ports = install_and_plug();
    ASSERT_EQ(2u, ports.size());
    const std::u16string parameters = u"SYSTEM\\CurrentControlSet\\Enum\\" + ports[0].instance_id + u"\\Device Parameters";
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, parameters.c_str(), 0, KEY_SET_VALUE, &key));
    const std::u16string name = GetParam().port_name;
    RegSetValueExW(key, u"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                   DWORD((name.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    hvsim::user::reset_comdb_hooks();
    EXPECT_EQ(0u, run_setup({u"/s"}).exit_code);
    std::vector<DWORD> released = released_numbers();
    std::sort(released.begin(), released.end());
    released.erase(std::unique(released.begin(), released.end()), released.end());
    std::vector<DWORD> expected = GetParam().released;
    expected.push_back(2); // the other port's
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, released);
}

INSTANTIATE_TEST_SUITE_P(Names, SetupPortNameCases,
                         ::testing::Values(PortNameCase{u"COM12", {12}}, PortNameCase{u"COM3a", {3}},
                                           PortNameCase{u"COM", {}}, PortNameCase{u"COMx", {}},
                                           PortNameCase{u"CO", {}}));

} // namespace

namespace {

// The two rescans at the end of an install run: each enumerates the tree from its root, and
// after Windows 2000 again to retry failed installations.
struct RescanCase {
    const char* name;
    DWORD major, minor;
    std::vector<ULONG> flags;
};

class SetupRescanCases : public SetupMachineTest, public ::testing::WithParamInterface<RescanCase> {};

TEST_P(SetupRescanCases, EnumeratesFromTheRootTwice) {
    hvsim::user::WindowsVersion version;
    version.major = GetParam().major;
    version.minor = GetParam().minor;
    hvsim::user::set_windows_version(version);
    hvsim::user::reset_cm_hooks();
    EXPECT_EQ(0u, run_setup({u"/s"}).exit_code);
    std::vector<ULONG> flags;
    for (const auto& call : hvsim::user::reenumerate_calls()) {
        EXPECT_EQ(1u, call.node) << "the root of the tree";
        flags.push_back(call.flags);
    }
    EXPECT_EQ(GetParam().flags, flags);
}

INSTANTIATE_TEST_SUITE_P(Versions, SetupRescanCases,
                         ::testing::Values(RescanCase{"Windows2000", 5, 0, {0, 0}},
                                           RescanCase{"WindowsXp", 5, 1, {0, 2, 0, 2}},
                                           RescanCase{"Windows7", 6, 1, {0, 2, 0, 2}}),
                         [](const ::testing::TestParamInfo<RescanCase>& info) { return std::string(info.param.name); });

} // namespace
