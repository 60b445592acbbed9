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
#include <pmphysicaldevice.h>
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

#include "businf.h"
#include "hvubususermodeinterface.h"
#include "hvubuswmiblocks.h"
#include "support/machine_test.h"

namespace {

using namespace businf;
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

class BusDriver : public hvtest::MachineTest {
protected:
    void SetUp() override {
        machine_ = std::make_unique<hvsim::Machine>(on_virtual_clock<hvsim::MachineOptions>());
        machine_->add_driver(kService, HV_HVUBUS_IMAGE);
        for (const GUID& guid : g_aPmTraceControlGuids)
            hvsim::trace_log::enable(guid, 0xFFFFFFFF, TRACE_LEVEL_VERBOSE, kImage);
        hvsim::pnp::set_new_device_handler([this](DevInst node) { return install(node); });
    }

    void TearDown() override {
        hvsim::pnp::set_new_device_handler(nullptr);
        if (machine_ && machine_->running()) machine_->shutdown();
        machine_.reset();
        MachineTest::TearDown();
    }

    // Every new USB function gets the bus driver, whatever its IDs: the driver decides. The
    // port children get nothing: there is no port driver in this machine.
    bool install(DevInst node) {
        auto info = hvsim::pnp::node_info(node);
        if (!info || info->instance_id.rfind(u"USB\\", 0) != 0) return false;
        const std::u16string key = hvsim::pnp::device_key_path(node);
        businf::write_function_registry(node, businf::interface_of(info->instance_id));
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
            auto stack = stack_of(node);
            bool mine = std::find(stack.begin(), stack.end(), provider.device) != stack.end();
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

    // The node's device stack from the bottom; the node holds its objects while the test runs.
    static std::vector<PDEVICE_OBJECT> stack_of(DevInst node) {
        auto stack = hvsim::pnp::device_stack(node);
        for (auto device : stack) ObDereferenceObject(device);
        return stack;
    }
    static PDEVICE_OBJECT pdo_of(DevInst node) {
        auto stack = stack_of(node);
        return stack.empty() ? nullptr : stack.front();
    }
    static PDEVICE_OBJECT top_of(DevInst node) {
        auto stack = stack_of(node);
        return stack.empty() ? nullptr : stack.back();
    }

    // The child's ContextID where the port driver reads it: through the framework device at the
    // start of the PDO's extension and the registry set that device points to.
    static ULONG context_id_of(PDEVICE_OBJECT pdo) {
        const auto* device = *static_cast<const UCHAR* const*>(pdo->DeviceExtension);
        const auto* set = *reinterpret_cast<const UCHAR* const*>(device + PM_PHYSICAL_DEVICE_SET_OFFSET);
        ULONG id;
        std::memcpy(&id, set + PM_PHYSICAL_DEVICE_CONTEXT_ID_OFFSET, sizeof id);
        return id;
    }

    // The device objects the bus device answers to a bus relations query.
    static std::vector<PDEVICE_OBJECT> bus_relations(DevInst node) {
        auto result = hvsim::io::send_and_wait(
            top_of(node),
            [](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
                stack->MajorFunction = IRP_MJ_PNP;
                stack->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
                stack->Parameters.QueryDeviceRelations.Type = BusRelations;
            },
            STATUS_NOT_SUPPORTED);
        std::vector<PDEVICE_OBJECT> out;
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
        if (!relations) return out;
        for (ULONG i = 0; i < relations->Count; ++i) {
            out.push_back(relations->Objects[i]);
            ObDereferenceObject(relations->Objects[i]);
        }
        ExFreePool(relations);
        return out;
    }

    static size_t first_trace(const std::string& text) {
        auto lines = trace_lines();
        auto it = std::find_if(lines.begin(), lines.end(),
                               [&](const std::string& line) { return line.find(text) != std::string::npos; });
        return it == lines.end() ? SIZE_MAX : (size_t)(it - lines.begin());
    }

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

// The bus device makes its port child from the INF's Child1 subkey at its start. No port driver
// is installed, so the child stays without a driver and is not started.
TEST_F(BusDriver, MakesItsPortChildFromTheInfAndReportsItOnTheBus) {
    DevInst bus = plug();
    ASSERT_EQ(hvsim::pnp::state_of(bus), hvsim::pnp::NodeState::Started) << dump();
    auto children = hvsim::pnp::children_of(bus);
    ASSERT_EQ(children.size(), 1u) << dump();
    auto child = hvsim::pnp::node_info(children[0]);
    ASSERT_TRUE(child);
    EXPECT_EQ(child->hardware_ids, std::vector<std::u16string>{u"PORTS\\HVUSER23221"});
    EXPECT_TRUE(child->compatible_ids.empty());
    // No unique ID: the instance is made unique under its parent.
    EXPECT_EQ(child->instance_id.rfind(u"PORTS\\HVUSER23221\\", 0), 0u);
    EXPECT_EQ(child->description, u"Halvorn USB Serial Port");
    EXPECT_EQ(child->location, u"Port 1");
    EXPECT_TRUE(child->capabilities.SurpriseRemovalOK);
    EXPECT_FALSE(child->capabilities.Removable);
    EXPECT_EQ(child->pdo_name.rfind(u"\\Device\\HvUBusPort", 0), 0u);
    EXPECT_EQ(child->state, hvsim::pnp::NodeState::Initialized);
    EXPECT_EQ(child->problem, hvsim::pnp::prob::failed_install);

    PDEVICE_OBJECT pdo = pdo_of(children[0]);
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(pdo->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(pdo->Flags & DO_BUFFERED_IO);
    EXPECT_EQ(context_id_of(pdo), 1u);
    EXPECT_EQ(bus_relations(bus), std::vector<PDEVICE_OBJECT>{pdo});
    EXPECT_EQ(traced("CPmPhysicalDevice::CPmPhysicalDevice OUT SUCCESS"), 1) << dump();

    // A device control reaches a child only once it is started.
    auto control = hvsim::io::send_and_wait(
        pdo,
        [](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
            stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HVGENDRV_GET_SIZE;
        },
        STATUS_NOT_SUPPORTED);
    EXPECT_EQ(control.status, STATUS_DEVICE_REMOVED);

    // A restart of the bus device keeps its one child.
    hvsim::pnp::restart_device(bus);
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(hvsim::pnp::state_of(bus), hvsim::pnp::NodeState::Started);
    EXPECT_EQ(hvsim::pnp::children_of(bus).size(), 1u);
}

// Each function of a composite adapter is a bus device with its own child, named apart.
TEST_F(BusDriver, EachFunctionOfACompositeAdapterMakesItsOwnChild) {
    const std::string composite = machine_->plug("ftdi:interfaces=2");
    std::vector<DevInst> functions;
    for (auto& device : machine_->usb_devices())
        if (device.id == composite)
            for (auto& function : device.interfaces) functions.push_back(hvsim::pnp::find_node(function));
    ASSERT_EQ(functions.size(), 2u);
    std::vector<std::u16string> names, instances;
    for (DevInst function : functions) {
        EXPECT_EQ(hvsim::pnp::state_of(function), hvsim::pnp::NodeState::Started) << dump();
        auto children = hvsim::pnp::children_of(function);
        ASSERT_EQ(children.size(), 1u);
        auto child = hvsim::pnp::node_info(children[0]);
        EXPECT_EQ(child->hardware_ids, std::vector<std::u16string>{u"PORTS\\HVUSER23221"});
        EXPECT_EQ(child->problem, hvsim::pnp::prob::failed_install);
        EXPECT_EQ(context_id_of(child->pdo), 1u);
        EXPECT_EQ(bus_relations(function), std::vector<PDEVICE_OBJECT>{child->pdo});
        names.push_back(child->pdo_name);
        instances.push_back(child->instance_id);
    }
    EXPECT_NE(names[0], names[1]);
    EXPECT_NE(instances[0], instances[1]);
}

// On unplug the child goes first: its removal, then the bus device's deletion of it, then the
// bus device's own removal. The next plug makes it again.
TEST_F(BusDriver, RemovesItsChildBeforeItselfWhenPulled) {
    DevInst bus = plug();
    auto children = hvsim::pnp::children_of(bus);
    ASSERT_EQ(children.size(), 1u);
    const std::u16string child_id = hvsim::pnp::node_info(children[0])->instance_id;
    const std::u16string bus_id = hvsim::pnp::node_info(bus)->instance_id;
    for (auto& device : machine_->usb_devices()) machine_->unplug(device.id);
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(hvsim::pnp::find_node(child_id), hvsim::pnp::no_node);
    EXPECT_EQ(hvsim::pnp::find_node(bus_id), hvsim::pnp::no_node);

    const size_t child_removed = first_trace("CPmPhysicalDevice::m_Dispatch_Pnp - IRP_MN_REMOVE_DEVICE  - after remove lock");
    const size_t deleted = first_trace("CPmPhysicalDevice::~CPmPhysicalDevice OUT");
    const size_t bus_removed = first_trace("IRP_MN_REMOVE_DEVICE m_DeleteAllChildDevices SUCCESS");
    ASSERT_NE(child_removed, SIZE_MAX) << dump();
    ASSERT_NE(deleted, SIZE_MAX);
    ASSERT_NE(bus_removed, SIZE_MAX);
    EXPECT_LT(child_removed, deleted);
    EXPECT_LT(deleted, bus_removed);
    EXPECT_EQ(traced("CPmPhysicalDevice::~CPmPhysicalDevice OUT"), 1);
    EXPECT_FALSE(hvsim::ldr::is_loaded(kService));
    EXPECT_EQ(hvsim::pool::outstanding(kImage).count, 0u) << hvsim::pool::leak_report(kImage);

    DevInst again = plug();
    EXPECT_EQ(hvsim::pnp::state_of(again), hvsim::pnp::NodeState::Started);
    EXPECT_EQ(hvsim::pnp::children_of(again).size(), 1u);
}

TEST_F(BusDriver, UnloadsWithNoPoolLeftAfterTheAdapterIsPulled) {
    plug();
    const std::string second = machine_->plug("ftdi:interfaces=2");
    EXPECT_TRUE(hvsim::ldr::is_loaded(kService));
    for (auto& device : machine_->usb_devices()) machine_->unplug(device.id);
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(traced("HvUBus m_CleanUp - IN"), 3);
    EXPECT_EQ(traced("CPmPhysicalDevice::~CPmPhysicalDevice OUT"), 3);
    EXPECT_FALSE(hvsim::ldr::is_loaded(kService));
    EXPECT_EQ(hvsim::pool::outstanding(kImage).count, 0u) << hvsim::pool::leak_report(kImage);
}

} // namespace
