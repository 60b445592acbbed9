// The port object's test machine.
#include "portmachine.h"

#include <hvsim/debug_log.h>
#include <hvsim/devices/device_description.h>
#include <hvsim/registry.h>

#include <pmdebugmanager.h>

#include <ostream>

#include "businf.h"

namespace porttest {

namespace {

constexpr char16_t kBusService[] = u"HvUsbSam";
constexpr char16_t kPortHardwareId[] = u"PORTS\\HVUSER23221";
constexpr char kBusImage[] = "HvUBus.sys";

} // namespace

std::ostream& operator<<(std::ostream& out, const VendorRequest& r) {
    char text[64];
    snprintf(text, sizeof text, "{req %u %s value 0x%04X index 0x%04X}", r.request, r.in ? "in" : "out", r.value, r.index);
    return out << text;
}

void PortMachine::SetUp() {
    machine_ = std::make_unique<hvsim::Machine>(on_virtual_clock<hvsim::MachineOptions>());
    machine_->add_driver(kBusService, HV_HVUBUS_IMAGE);
    register_driver();
    ASSERT_TRUE(create_pool());
    for (const GUID& guid : g_aPmTraceControlGuids)
        hvsim::trace_log::enable(guid, 0xFFFFFFFF, TRACE_LEVEL_VERBOSE, kBusImage);
    callbacks_after_release() = 0;
    released_at_removal() = 0;
    hvsim::pnp::set_new_device_handler([this](hvsim::pnp::DevInst node) {
        auto info = hvsim::pnp::node_info(node);
        if (!info || info->hardware_ids.empty()) return false;
        const std::u16string key = hvsim::pnp::device_key_path(node);
        if (info->hardware_ids[0] == kPortHardwareId) {
            hvsim::registry::set_string(key, u"Service", kService);
            return true;
        }
        if (info->instance_id.rfind(u"USB\\", 0) != 0) return false;
        businf::write_function_registry(node, businf::interface_of(info->instance_id));
        if (port_type_) {
            const std::u16string ui = key + u"\\Device Parameters\\UI1";
            hvsim::registry::create_key(ui);
            hvsim::registry::set_dword(ui, u"PortType", *port_type_);
        }
        std::u16string instance = u"{C2A7E5F1-3B84-4D6A-9E0C-58F1B2D34A67}\\00";
        instance += (char16_t)(u'0' + installed_ / 10);
        instance += (char16_t)(u'0' + installed_ % 10);
        ++installed_;
        hvsim::registry::set_string(key, u"Driver", instance);
        hvsim::registry::set_string(key, u"ClassGUID", u"{C2A7E5F1-3B84-4D6A-9E0C-58F1B2D34A67}");
        hvsim::registry::set_string(key, u"Service", kBusService);
        return true;
    });
    hvsim::usb::clear_urb_log();
}

void PortMachine::TearDown() {
    hvsim::pnp::set_new_device_handler(nullptr);
    // Every device goes first: the port driver's buffers are back in its pool then.
    unplug_all();
    destroy_pool();
    if (machine_ && machine_->running()) machine_->shutdown();
    machine_.reset();
    adapters_.clear();
    MachineTest::TearDown();
}

std::shared_ptr<hvsim::devices::ScriptedPeer> PortMachine::attach_peer(size_t adapter_index, size_t port) {
    auto peer = std::make_shared<hvsim::devices::ScriptedPeer>();
    chip(adapter_index).attach(port, peer, hvsim::sched::now());
    return peer;
}

hvsim::pnp::DevInst PortMachine::bus_node(size_t adapter_index, int interface) {
    for (auto& device : hvsim::usb::devices()) {
        if (device.port != usb_ports_.at(adapter_index)) continue;
        std::u16string id = device.instance_id;
        for (auto& i : device.interfaces)
            if (i.number == interface) id = i.instance_id;
        return hvsim::pnp::find_node(id);
    }
    return hvsim::pnp::no_node;
}

Port* PortMachine::port(size_t adapter_index, int interface) {
    auto children = hvsim::pnp::children_of(bus_node(adapter_index, interface));
    if (children.size() != 1) return nullptr;
    auto stack = hvsim::pnp::device_stack(children[0]);
    PDEVICE_OBJECT top = stack.empty() ? nullptr : stack.back();
    for (auto device : stack) ObDereferenceObject(device);
    if (!top || stack.size() < 2) return nullptr;
    return port_of(top);
}

Port* PortMachine::open(const std::string& spec) {
    plug(spec);
    Port* p = port(adapters_.size() - 1);
    if (!p) {
        ADD_FAILURE() << machine_->device_tree_text();
        return nullptr;
    }
    if (!NT_SUCCESS(create_record(*p, 1).status)) return nullptr;
    if (!call(*p, &HvISerialOperations::m_ConnectCallback)) return nullptr;
    return p;
}

void PortMachine::unplug(size_t adapter_index) {
    hvsim::usb::unplug(usb_ports_.at(adapter_index));
    hvsim::pnp::wait_quiet();
}

std::vector<VendorRequest> PortMachine::vendor_requests() {
    std::vector<VendorRequest> out;
    for (auto& r : hvsim::usb::urb_log())
        if (r.function == URB_FUNCTION_VENDOR_INTERFACE) out.push_back({r.request, r.in, r.value, r.index});
    return out;
}

std::vector<hvsim::usb::UrbRecord> PortMachine::bulk(bool in) {
    std::vector<hvsim::usb::UrbRecord> out;
    for (auto& r : hvsim::usb::urb_log())
        if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.in == in) out.push_back(r);
    return out;
}

long PortMachine::debug_lines(const std::string& text) {
    long n = 0;
    for (auto& line : hvsim::debug_log::lines()) n += line.find(text) != std::string::npos;
    return n;
}

} // namespace porttest

namespace porttest {

long PortMachine::traced(const std::string& text) {
    long n = 0;
    for (auto& record : hvsim::trace_log::records())
        if (record.image == kBusImage && record.text().find(text) != std::string::npos) ++n;
    return n;
}

} // namespace porttest
