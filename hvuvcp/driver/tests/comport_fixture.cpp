#include "comport_fixture.h"

#include <hvsim/user.h>
#include <hvsim/user_hooks.h>

#include <unistd.h>

#include <fstream>

#include "comport_pnp.h"

namespace fs = std::filesystem;

namespace comport_test {

void ComPortTest::SetUp() {
    hvsim::MachineOptions options;
    options.root = machine_root();
    options.clock = hvsim::ClockMode::Virtual;
    machine_ = std::make_unique<hvsim::Machine>(options);
    // The build's package folder.
    fs::path package = machine_root() / "package";
    fs::create_directories(package);
    for (const auto& entry : fs::directory_iterator(HV_PACKAGE_DIR))
        if (entry.is_regular_file()) fs::copy_file(entry.path(), package / entry.path().filename());
    ASSERT_NO_THROW(machine_->install_package(package));
}

void ComPortTest::TearDown() {
    hvsim::user::current_process()->close_all_handles();
    machine_->shutdown();
    machine_.reset();
    FolderTest::TearDown();
}

// A port's installation runs on its own after its bus driver reports it; the wait ends once
// every port has left the installation and its start has been tried.
std::string ComPortTest::plug(const std::string& spec) {
    std::string id = machine_->plug(spec);
    for (int round = 0; round < 100; ++round) {
        hvsim::user::wait_for_device_installations();
        comport_test::wait_quiet();
        std::vector<Port> found = ports(id);
        bool settled = !found.empty();
        for (const Port& port : found) {
            std::string state = comport_test::state(port.instance_id);
            settled = settled && state != "initialized" && state != "drivers added";
        }
        if (settled) break;
    }
    hvsim::user::wait_for_device_installations();
    comport_test::wait_quiet();
    if (ports(id).empty()) ADD_FAILURE() << "no port appeared:\n" << machine_->device_tree_text();
    return id;
}

void ComPortTest::unplug(const std::string& id) {
    machine_->unplug(id);
    comport_test::wait_quiet();
}

std::vector<Port> ComPortTest::ports(const std::string& id) {
    std::vector<Port> out;
    for (const auto& device : machine_->usb_devices()) {
        if (device.id != id) continue;
        std::vector<std::u16string> functions = device.interfaces;
        if (functions.empty()) functions.push_back(device.instance_id);
        for (auto& function : functions)
            if (function.empty()) function = device.instance_id;
        for (const auto& function : functions)
            for (const auto& child : comport_test::children(function))
                out.push_back({child, port_name_value(child)});
    }
    return out;
}

void ComPortTest::expect_gone(const std::vector<Port>& ports) {
    for (const Port& port : ports) {
        EXPECT_EQ(u"<none>", dos_target(port.name));
        EXPECT_TRUE(serialcomm_entries(port.name).empty());
        EXPECT_FALSE(has_com_port_interface(port.instance_id));
    }
    EXPECT_EQ(0u, com_port_interfaces());
}

HANDLE ComPortTest::open(const std::u16string& name, DWORD* error) {
    std::u16string path = u"\\\\.\\" + name;
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (error) *error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    return handle;
}

ControlResult ComPortTest::control(HANDLE port, ULONG code, const void* input, DWORD input_length, void* output,
                                   DWORD output_length) {
    Pending request;
    DeviceIoControl(port, code, const_cast<void*>(input), input_length, output, output_length, nullptr,
                    &request.overlapped);
    EXPECT_TRUE(request.done()) << "control code 0x" << std::hex << code << " pends";
    return {request.status(), request.information()};
}

std::u16string ComPortTest::port_name_value(const std::u16string& instance_id) {
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance_id + u"\\Device Parameters";
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return u"<none>";
    WCHAR text[64] = {};
    DWORD size = sizeof text - sizeof(WCHAR);
    LSTATUS status = RegQueryValueExW(key, u"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    return status ? u"<none>" : std::u16string(text);
}

std::u16string ComPortTest::dos_target(const std::u16string& name) {
    WCHAR target[256] = {};
    if (!QueryDosDeviceW(name.c_str(), target, 256)) return u"<none>";
    return target;
}

std::vector<std::u16string> ComPortTest::serialcomm_entries(const std::u16string& name) {
    std::vector<std::u16string> out;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key)) return out;
    for (DWORD index = 0;; ++index) {
        WCHAR value_name[128] = {};
        DWORD name_length = 128;
        WCHAR data[64] = {};
        DWORD data_size = sizeof data - sizeof(WCHAR);
        DWORD type = 0;
        if (RegEnumValueW(key, index, value_name, &name_length, nullptr, &type, reinterpret_cast<BYTE*>(data),
                          &data_size) != ERROR_SUCCESS)
            break;
        if (type == REG_SZ && name == data) out.push_back(value_name);
    }
    RegCloseKey(key);
    return out;
}

} // namespace comport_test
