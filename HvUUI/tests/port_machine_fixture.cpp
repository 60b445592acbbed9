#include "port_machine_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>

#include "card_machine.h"
#include "support/test_inf.h"

#include "CoInstallPort.h"
#include "PortUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kCardInf = hvtest::inf::head("The tests' card: a bus device with serial port children",
                                               hvtest::inf::kTestCardClass, hvtest::inf::kTestCardClassGuid) +
                             R"([Models.NTamd64]
%One%=One, ROOT\HVTESTCARD1, USB\VID_7A5C&PID_1015, USB\VID_7A5C&PID_1001, USB\VID_7A5C&PID_2011&MI_00, USB\VID_7A5C&PID_2011&MI_01
%Three%=Three, ROOT\HVTESTCARD3
%Two%=Two, USB\VID_7A5C&PID_2012

[DestinationDirs]
DefaultDestDir = 12

[Bus.Copy]
hvtestbus.sys

[One.NT]
CopyFiles=Bus.Copy

[One.NT.HW]
AddReg=One.Reg

[One.NT.Services]
AddService = HvTestBus, 0x00000002, Bus.Service

[Three.NT]
CopyFiles=Bus.Copy

[Two.NT]
CopyFiles=Bus.Copy

[Two.NT.HW]
AddReg=Two.Reg

[Two.NT.Services]
AddService = HvTestBus, 0x00000002, Bus.Service

[Three.NT.HW]
AddReg=Three.Reg

[Three.NT.Services]
AddService = HvTestBus, 0x00000002, Bus.Service

[One.Reg]
HKR,,Children,0x00010001,1

[Three.Reg]
HKR,,Children,0x00010001,3

[Two.Reg]
HKR,,Children,0x00010001,2

)" + hvtest::inf::service("Bus.Service", "One", "hvtestbus.sys") +
                             R"([Strings]
Prov = "Test Maker"
One = "Test card"
Three = "Test card with three ports"
Two = "Test card with two ports"
)";

const std::string kPortInf = hvtest::inf::head("The tests' serial port, with the package's port co-installer",
                                               hvtest::inf::kPortsClass, hvtest::inf::kPortsClassGuid) +
                             R"([Models.NTamd64]
%Desc%=Port, HVTEST\CHILD

[DestinationDirs]
DefaultDestDir = 12
Port.CoCopy = 11

[Port.Copy]
hvtestfunc.sys

[Port.CoCopy]
HvUUI23.dll

[Port.NT]
CopyFiles=Port.Copy

[Port.NT.HW]
AddReg=Port.HwReg

[Port.NT.Services]
AddService = HvTestFunc, 0x00000002, Port.Service

[Port.NT.CoInstallers]
CopyFiles=Port.CoCopy
AddReg=Port.CoReg

[Port.HwReg]
HKR,,SerialPort,0x00010001,1

[Port.CoReg]
HKR,,CoInstallers32,0x00010000,"HvUUI23.dll,HvUCoInstallPort"

)" + hvtest::inf::service("Port.Service", "Desc", "hvtestfunc.sys") +
                             R"([Strings]
Prov = "Test Maker"
Desc = "Test Serial Port"
)";

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The setup class of an installed device; empty before its installation.
std::u16string class_of(const std::u16string& instance) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    WCHAR text[64] = {};
    if (!SetupDiOpenDeviceInfoW(set, instance.c_str(), nullptr, 0, &data) ||
        !SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_CLASS, nullptr, (BYTE*)text, sizeof text - 2, nullptr))
        text[0] = 0;
    SetupDiDestroyDeviceInfoList(set);
    return text;
}

} // namespace

void PortMachineTest::SetUp() {
    static std::atomic<int> counter{0};
    root_ = fs::temp_directory_path() / ("hv-uui-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(root_);
    hvsim::MachineOptions options;
    options.root = root_;
    options.clock = hvsim::ClockMode::Virtual;
    machine_ = std::make_unique<hvsim::Machine>(options);
    package_ = root_ / "package";
    fs::create_directories(package_);
    fs::copy_file(HV_TESTBUS_IMAGE, package_ / "hvtestbus.sys");
    fs::copy_file(HV_TESTFUNC_IMAGE, package_ / "hvtestfunc.sys");
    fs::copy_file(HV_UUI_IMAGE, package_ / "HvUUI23.dll");
    std::ofstream(package_ / "card.inf", std::ios::binary) << kCardInf;
    std::ofstream(package_ / "port.inf", std::ios::binary) << kPortInf;
    hvsim::user::reset_message_boxes();
    // The port INF waits in the store for the ports that the cards create.
    ASSERT_TRUE(SetupCopyOEMInfW(inf("port.inf").c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
}

void PortMachineTest::TearDown() {
    hvsim::user::set_windows_version(hvsim::user::WindowsVersion{});
    EXPECT_EQ(0u, hvsim::user::unscripted_message_boxes());
    EXPECT_EQ(0u, hvsim::user::open_device_info_sets());
    machine_->shutdown();
    machine_.reset();
    fs::remove_all(root_);
}

std::u16string PortMachineTest::inf(const char* name) const { return wide((package_ / name).string()); }

std::u16string PortMachineTest::install_root_card(const std::u16string& hardware_id) {
    std::u16string card = card_test::add_root_device(hardware_id);
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, hardware_id.c_str(), inf("card.inf").c_str(), 0, nullptr))
        << std::hex << GetLastError() << " " << hvsim::user::last_installation_error();
    wait_for_ports(card);
    return card;
}

// The card's ports arrive once its driver has started, possibly after the installations
// the card started have ended; each arrival is queued for installation as its node appears.
void PortMachineTest::wait_for_ports(const std::u16string& card) {
    for (int round = 0; round < 100; ++round) {
        hvsim::user::wait_for_device_installations();
        card_test::wait_quiet();
        auto ports = ports_below(card);
        bool installed = !ports.empty();
        for (const auto& port : ports) installed = installed && card_test::started(port);
        if (installed) break;
    }
    hvsim::user::wait_for_device_installations();
}

std::u16string PortMachineTest::plug_usb_card(const std::string& pid) {
    EXPECT_TRUE(SetupCopyOEMInfW(inf("card.inf").c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    std::string id = machine_->plug("ftdi:vid=0x7A5C,pid=0x" + pid);
    std::u16string card;
    for (const auto& device : machine_->usb_devices())
        if (device.id == id) card = device.instance_id;
    wait_for_ports(card);
    return card;
}

std::u16string PortMachineTest::plug_adapter(const std::string& spec) {
    if (!package_installed_) {
        EXPECT_TRUE(SetupCopyOEMInfW(inf("card.inf").c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    }
    std::string id = machine_->plug(spec);
    std::u16string adapter;
    size_t interfaces = 0;
    for (const auto& device : machine_->usb_devices())
        if (device.id == id) {
            adapter = device.instance_id;
            interfaces = device.interfaces.size();
        }
    // Every interface of a composite adapter is a card of its own.
    for (int round = 0; round < 100 && ports_below(adapter).size() < std::max<size_t>(interfaces, 1); ++round) {
        hvsim::user::wait_for_device_installations();
        card_test::wait_quiet();
    }
    wait_for_ports(adapter);
    return adapter;
}

std::string PortMachineTest::install_package(PortDriver port_driver) {
    kit_ = root_ / "kit";
    fs::create_directories(kit_);
    for (const char* name : {"HVUBUS.INF", "HVUSER.INF"})
        fs::copy_file(fs::path(HV_PACKAGE_INF_DIR) / name, kit_ / name, fs::copy_options::overwrite_existing);
    std::string images = HV_PACKAGE_IMAGES;
    for (size_t start = 0; start < images.size();) {
        size_t end = std::min(images.find('|', start), images.size());
        fs::path image = images.substr(start, end - start);
        if (!(port_driver == PortDriver::Test && image.filename() == "HvUVCP.sys"))
            fs::copy_file(image, kit_ / image.filename(), fs::copy_options::overwrite_existing);
        start = end + 1;
    }
    if (port_driver == PortDriver::Test) {
        fs::copy_file(HV_TESTFUNC_IMAGE, kit_ / "HvUVCP.sys", fs::copy_options::overwrite_existing);
        // The test driver is a serial port only when its device says so.
        std::ifstream in(kit_ / "HVUSER.INF", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        size_t at = text.find("[HvUser.Device.AddReg]");
        if (at != std::string::npos) at = text.find('\n', at);
        if (at == std::string::npos) {
            ADD_FAILURE() << "HVUSER.INF has no section [HvUser.Device.AddReg]";
            return "HVUSER.INF has no section [HvUser.Device.AddReg]";
        }
        text.insert(at + 1, "HKR,,SerialPort,0x00010001,1\r\n");
        std::ofstream(kit_ / "HVUSER.INF", std::ios::binary) << text;
    } else if (!fs::exists(kit_ / "HvUVCP.sys")) {
        return "the port driver HvUVCP.sys is not built yet";
    }
    try {
        machine_->install_package(kit_);
    } catch (const hvsim::MachineError& error) {
        ADD_FAILURE() << error.what();
        return error.what();
    }
    package_installed_ = true;
    return {};
}

void PortMachineTest::install_port_driver_again() {
    const std::u16string port_inf = package_installed_ ? wide((kit_ / "HVUSER.INF").string()) : inf("port.inf");
    const WCHAR* id = package_installed_ ? u"PORTS\\HVUSER23221" : u"HVTEST\\CHILD";
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, id, port_inf.c_str(), 0, nullptr))
        << std::hex << GetLastError() << " " << hvsim::user::last_installation_error();
    hvsim::user::wait_for_device_installations();
}

std::vector<std::u16string> PortMachineTest::ports_of(const std::u16string& card) {
    std::vector<std::u16string> out;
    DEVINST node = 0, child = 0;
    std::u16string id = card;
    if (CM_Locate_DevNodeW(&node, id.data(), 0) != CR_SUCCESS) return out;
    for (CONFIGRET cr = CM_Get_Child(&child, node, 0); cr == CR_SUCCESS; cr = CM_Get_Sibling(&child, child, 0)) {
        WCHAR text[MAX_DEVICE_ID_LEN + 1] = {};
        CM_Get_Device_IDW(child, text, MAX_DEVICE_ID_LEN + 1, 0);
        out.push_back(text);
    }
    return out;
}

std::vector<std::u16string> PortMachineTest::ports_below(const std::u16string& node) {
    std::vector<std::u16string> out;
    for (const auto& child : ports_of(node)) {
        if (class_of(child) == u"Ports") out.push_back(child);
        for (auto& port : ports_below(child)) out.push_back(std::move(port));
    }
    return out;
}

std::u16string PortMachineTest::parent_of(const std::u16string& instance) {
    DEVINST node = 0, parent = 0;
    std::u16string id = instance;
    if (CM_Locate_DevNodeW(&node, id.data(), 0) != CR_SUCCESS || CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
        return u"<none>";
    WCHAR text[MAX_DEVICE_ID_LEN + 1] = {};
    CM_Get_Device_IDW(parent, text, MAX_DEVICE_ID_LEN + 1, 0);
    return text;
}

void PortMachineTest::remove_marker(const std::u16string& instance) {
    OpenedDevice device(instance);
    HKEY key = SetupDiOpenDevRegKey(device.set, &device.data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    ASSERT_NE((HKEY)INVALID_HANDLE_VALUE, key);
    RegDeleteValueW(key, u"ChildPortNameSorted");
    RegCloseKey(key);
}

void PortMachineTest::rename(const std::u16string& instance, const std::u16string& name) {
    OpenedDevice device(instance);
    ASSERT_TRUE(CCOMPortUtil(device.set, device.data).m_ChangePortName(name, nullptr, FALSE, FALSE));
}

void PortMachineTest::write_save_key(const std::u16string& card, const std::u16string& port) {
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + card + u"\\Device Parameters\\" + PortSaveKeyName(port);
    HKEY key, ui;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    DWORD baud = 9600, supported = 0x1234;
    RegSetValueExW(key, u"Baudrate", 0, REG_DWORD, (const BYTE*)&baud, 4);
    RegSetValueExW(key, u"SupportedBaudRates", 0, REG_DWORD, (const BYTE*)&supported, 4);
    static const WCHAR name[] = u"COM9";
    RegSetValueExW(key, u"PortName", 0, REG_SZ, (const BYTE*)name, sizeof name);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key, u"UI1", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &ui, nullptr));
    DWORD latency = 7;
    RegSetValueExW(ui, u"Latency", 0, REG_DWORD, (const BYTE*)&latency, 4);
    static const WCHAR type[] = u"USB";
    RegSetValueExW(ui, u"InterfaceType", 0, REG_SZ, (const BYTE*)type, sizeof type);
    RegCloseKey(ui);
    RegCloseKey(key);
}

void PortMachineTest::claim(DWORD number) {
    HCOMDB db;
    ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
    ComDBClaimPort(db, number, TRUE, nullptr);
    ComDBClose(db);
}

bool PortMachineTest::claimed(DWORD number) {
    HCOMDB db;
    if (ComDBOpen(&db) != ERROR_SUCCESS) return false;
    BYTE usage[256] = {};
    ComDBGetCurrentPortUsage(db, usage, sizeof usage, CDB_REPORT_BYTES, nullptr);
    ComDBClose(db);
    return usage[number - 1] != 0;
}

std::u16string PortMachineTest::value(const std::u16string& instance, const std::u16string& subkey, const WCHAR* name) {
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance;
    if (!subkey.empty()) path += u"\\" + subkey;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return u"<no key>";
    WCHAR text[256] = {};
    DWORD size = sizeof text - 2;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr, (BYTE*)text, &size);
    RegCloseKey(key);
    return status ? u"<none>" : std::u16string(text);
}

DWORD PortMachineTest::dword(const std::u16string& instance, const std::u16string& subkey, const WCHAR* name) {
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance + u"\\" + subkey;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return 0xDEAD;
    DWORD out = 0xBEEF, size = 4;
    RegQueryValueExW(key, name, nullptr, nullptr, (BYTE*)&out, &size);
    RegCloseKey(key);
    return out;
}

bool PortMachineTest::key_exists(const std::u16string& path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return false;
    RegCloseKey(key);
    return true;
}

std::u16string PortMachineTest::dos_target(const std::u16string& name) {
    WCHAR target[256] = {};
    if (!QueryDosDeviceW(name.c_str(), target, 256)) return u"<none>";
    return target;
}

std::u16string PortMachineTest::serialcomm(const std::u16string& target) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key)) return u"<no key>";
    WCHAR text[64] = {};
    DWORD size = sizeof text - 2;
    LSTATUS status = RegQueryValueExW(key, target.c_str(), nullptr, nullptr, (BYTE*)text, &size);
    RegCloseKey(key);
    return status ? u"<none>" : std::u16string(text);
}

std::u16string PortMachineTest::ports_entry(const std::u16string& name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", 0, KEY_READ,
                      &key))
        return u"<none>";
    WCHAR text[64] = {};
    DWORD size = sizeof text - 2;
    LSTATUS status = RegQueryValueExW(key, (name + u":").c_str(), nullptr, nullptr, (BYTE*)text, &size);
    RegCloseKey(key);
    return status ? u"<none>" : std::u16string(text);
}

OpenedDevice::OpenedDevice(const std::u16string& instance) {
    set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiOpenDeviceInfoW(set, instance.c_str(), nullptr, 0, &data));
}

OpenedDevice::~OpenedDevice() { SetupDiDestroyDeviceInfoList(set); }
