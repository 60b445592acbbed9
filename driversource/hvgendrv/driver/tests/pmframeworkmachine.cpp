// The machine the framework's tests run their test driver in.
#include "pmframeworkmachine.h"

#include <pmdebugmanager.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace gendrvtest {

namespace {

const std::u16string kServices = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
const std::u16string kEnum = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
constexpr char kEventPrefix[] = "HVGT ";

} // namespace

void boot_framework_machine(const std::filesystem::path& root) {
    const auto drivers = root / "C" / "Windows" / "System32" / "drivers";
    std::filesystem::create_directories(drivers);
    std::filesystem::copy_file(HV_HVGENTEST_IMAGE, drivers / kImage);

    hvsim::KernelOptions options;
    options.clock = hvsim::ClockMode::Virtual;
    options.root = root;
    hvsim::kernel_boot(options);

    const std::u16string key = kServices + kService;
    EXPECT_EQ(hvsim::registry::create_key(key), STATUS_SUCCESS);
    hvsim::registry::set_dword(key, u"Type", 1);
    hvsim::registry::set_dword(key, u"Start", 3);
    hvsim::registry::set_dword(key, u"ErrorControl", 1);
    hvsim::registry::set_string(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\hvgentest.sys", REG_EXPAND_SZ);

    // Every framework line of the test driver reaches the trace log.
    for (const GUID& guid : g_aPmTraceControlGuids) hvsim::trace_log::enable(guid, 0xFFFFFFFF, TRACE_LEVEL_VERBOSE, kImage);
    hvsim::pnp::start_tree();
}

void shutdown_framework_machine() {
    // The shutdown removes what the test left and unloads the driver; pool it still held is a bug
    // check there.
    if (hvsim::kernel_running()) hvsim::kernel_shutdown();
}

std::u16string add_framework_device(const DeviceConfig& config, int ordinal) {
    hvsim::pnp::RootDeviceSpec spec;
    spec.hardware_id = u"ROOT\\HVGENTEST";
    std::u16string id;
    EXPECT_EQ(hvsim::pnp::create_root_device(spec, &id), STATUS_SUCCESS);
    const std::u16string device = kEnum + id;
    const std::u16string parameters = device + u"\\Device Parameters";
    hvsim::registry::create_key(parameters);
    for (auto& [name, value] : config.dwords) hvsim::registry::set_dword(parameters, name, value);
    for (auto& [name, text] : config.strings) hvsim::registry::set_string(parameters, name, text);
    // The settings interface's reference string comes from the driver key name.
    std::u16string instance = u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\00";
    instance += (char16_t)(u'0' + ordinal / 10);
    instance += (char16_t)(u'0' + ordinal % 10);
    hvsim::registry::set_string(device, u"Driver", instance);
    hvsim::registry::set_string(device, u"Service", kService);
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(id);
    EXPECT_NE(node, hvsim::pnp::no_node);
    if (node != hvsim::pnp::no_node) hvsim::pnp::restart_device(node);
    hvsim::pnp::wait_quiet();
    return id;
}

void FrameworkMachine::SetUp() { boot_framework_machine(root()); }

void FrameworkMachine::TearDown() {
    shutdown_framework_machine();
    MachineTest::TearDown();
}

hvsim::pnp::DevInst FrameworkMachine::add_device(const DeviceConfig& config) {
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(add_framework_device(config, next_instance_++));
    EXPECT_NE(node, hvsim::pnp::no_node);
    devices_.push_back(node);
    return node;
}

void FrameworkMachine::remove_device(hvsim::pnp::DevInst node) {
    EXPECT_FALSE(hvsim::pnp::remove_device(node).vetoed());
    hvsim::pnp::wait_quiet();
    devices_.erase(std::remove(devices_.begin(), devices_.end(), node), devices_.end());
}

void FrameworkMachine::expect_driver_unloaded_clean() {
    for (auto node : std::vector<hvsim::pnp::DevInst>(devices_)) remove_device(node);
    EXPECT_FALSE(hvsim::ldr::is_loaded(kService));
    EXPECT_EQ(hvsim::pool::outstanding(kImage).count, 0u) << hvsim::pool::leak_report(kImage);
}

PDEVICE_OBJECT FrameworkMachine::top_of(hvsim::pnp::DevInst node) {
    auto stack = hvsim::pnp::device_stack(node);
    PDEVICE_OBJECT top = stack.empty() ? nullptr : stack.back();
    for (auto device : stack) ObDereferenceObject(device);
    return top;
}

std::u16string FrameworkMachine::device_key(hvsim::pnp::DevInst node) { return hvsim::pnp::device_key_path(node); }

LONG FrameworkMachine::open(const std::u16string& link, hvsim::io::FileObject** file) {
    hvsim::io::OpenOptions options;
    options.path = u"\\??\\" + link;
    return hvsim::io::open_file(options, file);
}

HvgtState FrameworkMachine::query_state(hvsim::io::FileObject* file) {
    HvgtState state{};
    auto result = hvsim::io::device_control(file, IOCTL_HVGT_QUERY, nullptr, 0, &state, sizeof(state));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    return state;
}

std::vector<std::string> FrameworkMachine::events() {
    std::vector<std::string> out;
    for (auto& line : hvsim::debug_log::lines())
        if (line.rfind(kEventPrefix, 0) == 0) out.push_back(line.substr(sizeof(kEventPrefix) - 1));
    return out;
}

long FrameworkMachine::count_of(const std::vector<std::string>& lines, const std::string& line) {
    return (long)std::count(lines.begin(), lines.end(), line);
}

size_t FrameworkMachine::index_of(const std::vector<std::string>& lines, const std::string& line, size_t from) {
    auto it = std::find(lines.begin() + (long)std::min(from, lines.size()), lines.end(), line);
    return it == lines.end() ? SIZE_MAX : (size_t)(it - lines.begin());
}

std::vector<std::string> FrameworkMachine::trace_lines() {
    std::vector<std::string> out;
    for (auto& record : hvsim::trace_log::records())
        if (record.image == kImage) out.push_back(record.text());
    return out;
}

bool FrameworkMachine::traced(const std::string& line) {
    auto lines = trace_lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace gendrvtest
