// The bus driver in the machine: adapters plugged into a machine whose new USB functions are
// installed as the package's INF installs them, the driver's answers through its settings
// interface, WMI and power, and its unload.
#include <hvsim/debug_log.h>
#include <hvsim/io.h>
#include <hvsim/machine.h>
#include <hvsim/pnp.h>
#include <hvsim/pool.h>
#include <hvsim/power.h>
#include <hvsim/registry.h>
#include <hvsim/wmi.h>
#include <wdm.h>

#include <pmdebugmanager.h>
#include <pmusermodeinterface.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <string>
#include <vector>

#include "hvubususermodeinterface.h"
#include "hvubuswmiblocks.h"

namespace {

using Bytes = std::vector<UCHAR>;
using hvsim::pnp::DevInst;

constexpr char kImage[] = "HvUBus.sys";
constexpr char16_t kService[] = u"HvUsbSam";

// {1F74C2D9-8E05-4A63-B7C1-9D2E46F083A5}
constexpr GUID kBusInterface = {0x1F74C2D9, 0x8E05, 0x4A63, {0xB7, 0xC1, 0x9D, 0x2E, 0x46, 0xF0, 0x83, 0xA5}};
constexpr GUID kTimingBlock = {0x6B1D93E4, 0x27A5, 0x4C08, {0xB3, 0xE1, 0x58, 0xF2, 0xA9, 0x0D, 0x7C, 0x16}};
constexpr GUID kSettingsBlock = {0x2D8E47B1, 0xC963, 0x4F2A, {0x8E, 0x05, 0x71, 0xB6, 0xD3, 0xA2, 0xF9, 0x48}};
constexpr GUID kPortStateBlock = {0x9F3A05C7, 0x4E81, 0x4B6D, {0xA2, 0xC9, 0x0D, 0x58, 0xE7, 0x1B, 0x3F, 0x64}};
constexpr GUID kSchemaBlock = {0x05901221, 0xD566, 0x11D1, {0xB2, 0xF0, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};

Bytes le32(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }
ULONG get32(const Bytes& b, size_t offset) {
    return offset + 4 <= b.size() ? (ULONG)b[offset] | (ULONG)b[offset + 1] << 8 | (ULONG)b[offset + 2] << 16 |
                                        (ULONG)b[offset + 3] << 24
                                  : 0xDEADBEEF;
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes request(const Bytes& payload = {}) { return le32(0) + le32(0xFFFFFFFF) + payload; }

// One "HKR,subkey,name,flags,value" line of an AddReg section.
struct InfValue {
    std::string subkey, name;
    bool dword = false;
    DWORD number = 0;
    std::string text;
};

std::string trim(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '"')) text.pop_back();
    size_t first = text.find_first_not_of(" \"");
    return first == std::string::npos ? std::string() : text.substr(first);
}

// The values the package's INF writes in one of its AddReg sections.
std::vector<InfValue> inf_section(const std::string& section) {
    std::ifstream in(HV_PACKAGE_BUS_INF);
    std::vector<InfValue> out;
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        line = trim(line);
        if (!line.empty() && line[0] == '[') {
            inside = line == "[" + section + "]";
            continue;
        }
        if (!inside || line.rfind("HKR,", 0) != 0) continue;
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, ',');) fields.push_back(trim(field));
        if (fields.size() < 5) continue;
        InfValue value;
        value.subkey = fields[1];
        value.name = fields[2];
        value.dword = fields[3] == "0x00010001";
        if (value.dword)
            value.number = (DWORD)std::stoul(fields[4], nullptr, 0);
        else
            value.text = fields[4];
        out.push_back(value);
    }
    return out;
}

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class BusDriver : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hvubus-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        hvsim::MachineOptions options;
        options.root = root_;
        options.clock = hvsim::ClockMode::Virtual;
        machine_ = std::make_unique<hvsim::Machine>(options);
        machine_->add_driver(kService, HV_HVUBUS_IMAGE);
        for (const GUID& guid : g_aPmTraceControlGuids)
            hvsim::trace_log::enable(guid, 0xFFFFFFFF, TRACE_LEVEL_VERBOSE, kImage);
        hvsim::pnp::set_new_device_handler([this](DevInst node) { return install(node); });
    }

    void TearDown() override {
        hvsim::pnp::set_new_device_handler(nullptr);
        if (machine_ && machine_->running()) machine_->shutdown();
        machine_.reset();
        std::error_code error;
        std::filesystem::remove_all(root_, error);
    }

    // Every new USB function gets the bus driver, whatever its IDs: the driver decides.
    bool install(DevInst node) {
        const std::u16string key = hvsim::pnp::device_key_path(node);
        const std::u16string parameters = key + u"\\Device Parameters";
        for (const char* section : {"HvUBus.Device.AddReg", "HvUBus.Interface0.AddReg"}) {
            for (const InfValue& value : inf_section(section)) {
                const std::u16string subkey = value.subkey.empty() ? parameters : parameters + u"\\" + wide(value.subkey);
                hvsim::registry::create_key(subkey);
                if (value.dword)
                    hvsim::registry::set_dword(subkey, wide(value.name), value.number);
                else
                    hvsim::registry::set_string(subkey, wide(value.name), wide(value.text));
            }
        }
        // The framework cannot create the port child yet.
        hvsim::registry::set_dword(parameters, u"NumberChildDevices", 0);
        std::u16string instance = u"{C2A7E5F1-3B84-4D6A-9E0C-58F1B2D34A67}\\00";
        instance += (char16_t)(u'0' + installed_ / 10);
        instance += (char16_t)(u'0' + installed_ % 10);
        ++installed_;
        hvsim::registry::set_string(key, u"Driver", instance);
        hvsim::registry::set_string(key, u"ClassGUID", u"{C2A7E5F1-3B84-4D6A-9E0C-58F1B2D34A67}");
        hvsim::registry::set_string(key, u"Service", kService);
        return true;
    }

    // The bus function of a plugged single-interface adapter.
    DevInst plug(const std::string& spec = "ftdi") {
        const std::string id = machine_->plug(spec);
        for (auto& device : machine_->usb_devices())
            if (device.id == id) return hvsim::pnp::find_node(device.instance_id);
        return hvsim::pnp::no_node;
    }

    static std::vector<std::string> trace_lines() {
        std::vector<std::string> out;
        for (auto& record : hvsim::trace_log::records())
            if (record.image == kImage) out.push_back(record.text());
        return out;
    }
    static std::string dump() {
        std::string out;
        for (auto& l : trace_lines()) out += "T: " + l + "\n";
        for (auto& l : hvsim::debug_log::lines()) out += "D: " + l + "\n";
        return out;
    }
    static long traced(const std::string& line) {
        auto lines = trace_lines();
        return (long)std::count(lines.begin(), lines.end(), line);
    }

    // The bus device's settings interface, opened as the property pages open it.
    hvsim::io::FileObject* open_settings(DevInst node) {
        auto interfaces = hvsim::pnp::interfaces_of(node);
        EXPECT_EQ(interfaces.size(), 1u);
        if (interfaces.size() != 1) return nullptr;
        EXPECT_EQ(interfaces[0].class_guid, kBusInterface);
        hvsim::io::OpenOptions options;
        options.path = interfaces[0].kernel_link;
        hvsim::io::FileObject* file = nullptr;
        EXPECT_EQ(hvsim::io::open_file(options, &file), STATUS_SUCCESS);
        return file;
    }

    struct Reply {
        LONG status;
        Bytes output;
    };
    static Reply control(hvsim::io::FileObject* file, ULONG code, Bytes input, ULONG output_length) {
        Bytes output(output_length, 0xCC);
        auto result = hvsim::io::device_control(file, code, input.data(), (ULONG)input.size(),
                                                output_length ? output.data() : nullptr, output_length);
        output.resize(std::min<size_t>(result.information, output_length));
        return {result.status, output};
    }

    static ULONG provider_of(DevInst node) {
        for (auto& provider : hvsim::wmi::providers_of(kSettingsBlock)) {
            auto stack = hvsim::pnp::device_stack(node);
            bool mine = std::find(stack.begin(), stack.end(), provider.device) != stack.end();
            for (auto device : stack) ObDereferenceObject(device);
            if (mine) return provider.provider_id;
        }
        return 0;
    }
    static Bytes query(ULONG provider, const GUID& guid) {
        auto result = hvsim::wmi::query_single_instance(provider, guid, 0);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        if (result.instances.size() != 1) return {};
        return result.instances[0].data;
    }

    std::filesystem::path root_;
    std::unique_ptr<hvsim::Machine> machine_;
    int installed_ = 0;
};

TEST_F(BusDriver, AcceptsTheMakersFunctionsAndRefusesTheFRangeAndOtherVendors) {
    DevInst single = plug("ftdi:pid=0x1001");
    ASSERT_NE(single, hvsim::pnp::no_node);
    EXPECT_EQ(hvsim::pnp::state_of(single), hvsim::pnp::NodeState::Started) << "problem " << hvsim::pnp::problem_of(single) << dump();
    EXPECT_EQ(traced("HvUBus m_AddDevice - OUT (SUCCESS)"), 1);
    EXPECT_EQ(traced("HvUBus Constructor - IN"), 1);
    EXPECT_EQ(traced("HvUBus m_PnpStartDevice - OUT (Success)"), 1);

    // Each function of a composite adapter is a bus device of its own: "&MI_nn" is accepted.
    const std::string composite = machine_->plug("ftdi:interfaces=2");
    for (auto& device : machine_->usb_devices()) {
        if (device.id != composite) continue;
        ASSERT_EQ(device.interfaces.size(), 2u);
        for (auto& function : device.interfaces)
            EXPECT_EQ(hvsim::pnp::state_of(hvsim::pnp::find_node(function)), hvsim::pnp::NodeState::Started);
    }
    EXPECT_EQ(traced("HvUBus m_AddDevice - OUT (SUCCESS)"), 3);

    DevInst reserved = plug("ftdi:pid=0xF001");
    EXPECT_EQ(hvsim::pnp::problem_of(reserved), hvsim::pnp::prob::failed_add);
    DevInst foreign = plug("ftdi:vid=0x0403,pid=0x1001");
    EXPECT_EQ(hvsim::pnp::problem_of(foreign), hvsim::pnp::prob::failed_add);
    EXPECT_EQ(traced("HvUBus m_AddDevice - OUT (FAILED - Device is not a Hlavorn ExpressCard Device.)"), 2);
    // The accepted devices still run.
    EXPECT_EQ(hvsim::pnp::state_of(single), hvsim::pnp::NodeState::Started);
}

TEST_F(BusDriver, TheBusSettingsAreReadWrittenAndRestoredThroughTheSettingsInterface) {
    DevInst node = plug();
    const std::u16string ui = hvsim::pnp::device_key_path(node) + u"\\Device Parameters\\UI1";
    // The start stored the driver's defaults in the set key and its Default subkey.
    for (const std::u16string& key : {ui, ui + u"\\Default"}) {
        EXPECT_EQ(hvsim::registry::get_dword(key, u"RxFifoSize"), std::optional<DWORD>(256));
        EXPECT_EQ(hvsim::registry::get_dword(key, u"MaximumLatencySliderPos"), std::optional<DWORD>(6111));
        EXPECT_EQ(hvsim::registry::get_dword(key, u"PortType"), std::optional<DWORD>(0));
    }

    hvsim::io::FileObject* settings = open_settings(node);
    ASSERT_NE(settings, nullptr);
    Reply size = control(settings, IOCTL_HVGENDRV_GET_SIZE, request(), 4);
    ASSERT_EQ(size.status, STATUS_SUCCESS);
    ASSERT_EQ(get32(size.output, 0), 56u);

    // Thirteen values in their order: six DWORDs, InterfaceType, six DWORDs.
    Reply current = control(settings, IOCTL_HVGENDRV_GET, request(), 56);
    ASSERT_EQ(current.status, STATUS_SUCCESS);
    ASSERT_EQ(current.output.size(), 56u);
    const ULONG before[] = {4096, 4096, 16, 256, 128, 921600};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(get32(current.output, 4 * i), before[i]) << i;
    const Bytes interface_type(current.output.begin() + 24, current.output.begin() + 32);
    EXPECT_NE(std::search(interface_type.begin(), interface_type.end(), "USB", "USB" + 3), interface_type.end());
    const ULONG after[] = {0, 1040, 6111, 0, 192, 0};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(get32(current.output, 32 + 4 * i), after[i]) << i;

    ULONG provider = provider_of(node);
    ASSERT_NE(provider, 0u);
    Bytes block = query(provider, kSettingsBlock);
    ASSERT_EQ(block.size(), sizeof(HvUBusWmiSettings));
    EXPECT_EQ(get32(block, 0), 256u);
    EXPECT_EQ(get32(block, 12), 0u);

    // LowCpuUsage with its own fine tuning, a bigger receive FIFO and ports 2 and 3 as RS-422/485.
    Bytes written = le32(4096) + le32(4096) + le32(16) + le32(512) + le32(128) + le32(921600) + interface_type +
                    le32(1) + le32(1040) + le32(6111) + le32(0) + le32(100) + le32(6);
    Reply set = control(settings, IOCTL_HVGENDRV_SET, request(written), 0);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(hvsim::registry::get_dword(ui, u"RxFifoSize"), std::optional<DWORD>(512));
    EXPECT_EQ(hvsim::registry::get_dword(ui, u"PortType"), std::optional<DWORD>(6));
    EXPECT_EQ(hvsim::registry::get_dword(ui + u"\\Default", u"RxFifoSize"), std::optional<DWORD>(256));
    block = query(provider, kSettingsBlock);
    EXPECT_EQ(get32(block, 0), 512u);
    EXPECT_EQ(get32(block, 12), 1u);
    EXPECT_EQ(get32(block, 28), 100u);
    EXPECT_EQ(control(settings, IOCTL_HVGENDRV_GET, request(), 56).output, written);

    Reply defaults = control(settings, IOCTL_HVGENDRV_GET_DEFAULTS, request(), 56);
    EXPECT_EQ(defaults.status, STATUS_SUCCESS);
    EXPECT_EQ(defaults.output, current.output);

    EXPECT_EQ(control(settings, IOCTL_HVGENDRV_RESTORE_DEFAULTS, request(), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(control(settings, IOCTL_HVGENDRV_GET, request(), 56).output, current.output);
    EXPECT_EQ(hvsim::registry::get_dword(ui, u"RxFifoSize"), std::optional<DWORD>(256));
    block = query(provider, kSettingsBlock);
    EXPECT_EQ(get32(block, 0), 256u);
    EXPECT_EQ(get32(block, 12), 0u);
    // The settings interface holds the set: its handle gone, the device is removed cleanly.
    EXPECT_EQ(hvsim::io::close_file(settings), STATUS_SUCCESS);
}

TEST_F(BusDriver, AnswersItsWmiBlocksAndRefusesToChangeThem) {
    DevInst node = plug();
    ULONG provider = provider_of(node);
    ASSERT_NE(provider, 0u);

    // No port yet: the port blocks read as zeros.
    EXPECT_EQ(query(provider, kTimingBlock), Bytes(sizeof(HvUBusWmiTiming), 0));
    EXPECT_EQ(query(provider, kPortStateBlock), Bytes(sizeof(HvUBusWmiPortState), 0));
    Bytes settings = query(provider, kSettingsBlock);
    const ULONG expected[] = {256, 128, 921600, 0, 1040, 0, 6111, 192};
    ASSERT_EQ(settings.size(), 32u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(get32(settings, 4 * i), expected[i]) << i;

    // The schema names the three blocks by their GUIDs.
    Bytes schema = query(provider, kSchemaBlock);
    const std::string text(schema.begin(), schema.end());
    for (const char* guid : {"6B1D93E4-27A5-4C08-B3E1-58F2A90D7C16", "2D8E47B1-C963-4F2A-8E05-71B6D3A2F948",
                             "9F3A05C7-4E81-4B6D-A2C9-0D58E71B3F64"})
        EXPECT_NE(text.find(guid), std::string::npos) << guid;
    EXPECT_NE(text.find("class HvUBus_BusSettings"), std::string::npos);

    // The blocks are read-only; a block of all instances answers the one instance.
    EXPECT_EQ(hvsim::wmi::change_single_instance(provider, kSettingsBlock, 0, Bytes(32, 0)), STATUS_WMI_READ_ONLY);
    EXPECT_EQ(hvsim::wmi::query_single_instance(provider, kSettingsBlock, 1).status, STATUS_WMI_INSTANCE_NOT_FOUND);
    auto all = hvsim::wmi::query_all_data(provider, kSettingsBlock);
    EXPECT_EQ(all.status, STATUS_SUCCESS);
    ASSERT_EQ(all.instances.size(), 1u);
    EXPECT_EQ(all.instances[0].data, settings);
}

TEST_F(BusDriver, GoesToD3AndBackToD0AndAsksForD0Itself) {
    DevInst node = plug();
    hvsim::power::clear_irp_log();
    EXPECT_FALSE(hvsim::power::sleep().status);
    EXPECT_EQ(hvsim::power::device_state(node), PowerDeviceD3);
    EXPECT_EQ(traced("HvUBus m_PowerDownResetDevice - IN"), 1);
    EXPECT_FALSE(hvsim::power::wake().status);
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(hvsim::power::device_state(node), PowerDeviceD0);
    EXPECT_EQ(traced("HvUBus m_PowerUpInitDevice - IN"), 1);

    // A rebalance asks for D0 at each of its steps through the device's own stack.
    hvsim::power::clear_irp_log();
    EXPECT_FALSE(hvsim::pnp::rebalance_device(node).vetoed());
    size_t requested = 0;
    for (auto& record : hvsim::power::irp_log())
        if (record.requested_by_driver && record.node == node && record.minor == IRP_MN_SET_POWER) {
            EXPECT_EQ(record.state, (ULONG)PowerDeviceD0);
            EXPECT_EQ(record.status, STATUS_SUCCESS);
            ++requested;
        }
    EXPECT_GE(requested, 2u);
    EXPECT_EQ(traced("CPmFunctionalDevice::m_GotoPowerState OUT SUCCESS"), (long)requested);
    EXPECT_EQ(hvsim::pnp::state_of(node), hvsim::pnp::NodeState::Started);
}

TEST_F(BusDriver, UnloadsWithNoPoolLeftAfterTheAdapterIsPulled) {
    plug();
    const std::string second = machine_->plug("ftdi:interfaces=2");
    EXPECT_TRUE(hvsim::ldr::is_loaded(kService));
    for (auto& device : machine_->usb_devices()) machine_->unplug(device.id);
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(traced("HvUBus m_CleanUp - IN"), 3);
    EXPECT_FALSE(hvsim::ldr::is_loaded(kService));
    EXPECT_EQ(hvsim::pool::outstanding(kImage).count, 0u) << hvsim::pool::leak_report(kImage);
}

} // namespace
