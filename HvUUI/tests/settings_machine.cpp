#include "settings_machine.h"

#include "PageResources.h"
#include "Resources.h"

namespace {

const std::u16string kEnum = u"SYSTEM\\CurrentControlSet\\Enum\\";

} // namespace

void SettingsMachineTest::SetUp() {
    PortMachineTest::SetUp();
    if (HasFatalFailure()) return;
    if (std::string why = install_package(PortDriver::Package); !why.empty()) GTEST_SKIP() << why;
}

void SettingsMachineTest::TearDown() {
    device_.reset();
    PortMachineTest::TearDown();
}

std::u16string SettingsMachineTest::plug_port(bool rs485) {
    if (rs485)
        set_dword(kEnum + u"USB\\VID_7A5C&PID_1001\\HVT485\\Device Parameters\\UI1", u"PortType", 1);
    adapter_ = plug_adapter(rs485 ? "ftdi:vid=0x7A5C,pid=0x1001,serial=HVT485,type=rs485,wire=loopback"
                                  : "ftdi:vid=0x7A5C,pid=0x1001,serial=HVT232,wire=loopback");
    auto ports = ports_below(adapter_);
    EXPECT_EQ(1u, ports.size()) << machine_->device_tree_text();
    port_ = ports.empty() ? std::u16string() : ports[0];
    if (!port_.empty()) device_ = std::make_unique<OpenedDevice>(port_);
    return port_;
}

std::u16string SettingsMachineTest::port_settings_key() const { return kEnum + port_ + u"\\Device Parameters\\UI1"; }

std::u16string SettingsMachineTest::bus_settings_key() const {
    return kEnum + parent_of(port_) + u"\\Device Parameters\\UI1";
}

void SettingsMachineTest::set_dword(const std::u16string& key, const WCHAR* name, DWORD value) {
    HKEY handle;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4));
    RegCloseKey(handle);
}

void SettingsMachineTest::set_string(const std::u16string& key, const WCHAR* name, const std::u16string& value) {
    HKEY handle;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                            DWORD((value.size() + 1) * 2)));
    RegCloseKey(handle);
}

DWORD SettingsMachineTest::get_dword(const std::u16string& key, const WCHAR* name) {
    DWORD value = 0xDEADBEEF, size = 4;
    HKEY handle;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return value;
    RegQueryValueExW(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(handle);
    return value;
}

HANDLE SettingsMachineTest::hold_port_open() const {
    const std::u16string name = value(port_, u"Device Parameters", u"PortName");
    HANDLE open = CreateFileW((u"\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, open) << "COM port " << std::string(name.begin(), name.end());
    return open;
}

void SettingsMachineTest::expect_port_open_question() {
    auto boxes = hvsim::user::message_box_transcript();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(HvLoadString(IDS_PORT_OPEN_WARNING), boxes[0].text);
    EXPECT_EQ(u"Warning!", boxes[0].caption);
    EXPECT_EQ(UINT(MB_YESNO | MB_ICONINFORMATION), boxes[0].type);
}
