// The COM ports of the machine: port devices with a COM name, the link their driver made, and
// the adapter interface and far end they belong to.
#include <hvsim/format.h>
#include <hvsim/io.h>
#include <hvsim/pnp.h>
#include <hvsim/registry.h>

#include <sstream>

#include "serial_tools.h"

namespace hvsim {
namespace {

bool same_text(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::optional<std::u16string> port_name_of(pnp::DevInst node) {
    return registry::get_string(pnp::device_key_path(node) + u"\\Device Parameters", u"PortName");
}

} // namespace

std::vector<ComPort> com_ports(const Machine& machine) {
    const std::vector<UsbDeviceInfo> adapters = machine.usb_devices();
    std::vector<ComPort> out;
    for (pnp::DevInst node : pnp::all_nodes()) {
        auto info = pnp::node_info(node);
        auto name = port_name_of(node);
        if (!info || !name || name->empty()) continue;
        ComPort port;
        port.name = *name;
        port.instance_id = info->instance_id;
        port.link_target = io::symbolic_link_target(u"\\??\\" + *name).value_or(u"");
        // The adapter interface is the nearest ancestor that one of the USB devices names.
        for (pnp::DevInst up = pnp::parent_of(node); up != pnp::no_node && port.usb_id.empty();
             up = pnp::parent_of(up)) {
            auto above = pnp::node_info(up);
            if (!above) break;
            for (const auto& adapter : adapters) {
                for (size_t i = 0; i < adapter.interfaces.size(); ++i)
                    if (same_text(adapter.interfaces[i], above->instance_id))
                        port.usb_id = adapter.id, port.interface = i;
                if (port.usb_id.empty() && same_text(adapter.instance_id, above->instance_id)) port.usb_id = adapter.id;
                if (!port.usb_id.empty() && port.interface < adapter.ptys.size())
                    port.pty = adapter.ptys[port.interface];
                if (!port.usb_id.empty()) break;
            }
        }
        out.push_back(std::move(port));
    }
    return out;
}

std::optional<std::u16string> device_named(const Machine& machine, std::u16string_view name) {
    for (const auto& port : com_ports(machine))
        if (same_text(port.name, name)) return port.instance_id;
    auto info = pnp::node_info(pnp::find_node(name));
    if (!info) return std::nullopt;
    return info->instance_id;
}

std::string explain_missing_port(const std::u16string& interface_instance) {
    const pnp::DevInst node = pnp::find_node(interface_instance);
    const std::string name = text::to_utf8(interface_instance);
    if (node == pnp::no_node) return name + " is not in the device tree";
    auto describe = [](pnp::DevInst n) {
        auto info = pnp::node_info(n);
        std::ostringstream text;
        text << hvsim::text::to_utf8(info->instance_id) << " (service "
             << (info->service.empty() ? "none" : hvsim::text::to_utf8(info->service)) << ", "
             << pnp::to_string(info->state);
        if (info->problem) text << ", problem " << info->problem;
        text << ")";
        return text.str();
    };
    const std::vector<pnp::DevInst> children = pnp::children_of(node);
    if (pnp::state_of(node) != pnp::NodeState::Started)
        return describe(node) + " has not started, so no bus driver made its port device";
    if (children.empty()) return describe(node) + " has no port device below it";
    std::string why;
    for (pnp::DevInst child : children) {
        why += (why.empty() ? "" : "; ") + describe(child);
        auto port = port_name_of(child);
        if (!port || port->empty()) {
            why += " has no COM name";
        } else if (!io::symbolic_link_target(u"\\??\\" + *port)) {
            why += " was named " + text::to_utf8(*port) + ", but its driver made no \\\\.\\" + text::to_utf8(*port);
        }
    }
    return why;
}

bool ports_pending(const Machine& machine, const std::string& id, size_t interfaces) {
    pnp::wait_quiet();
    size_t ready = 0;
    for (const auto& port : com_ports(machine))
        if (port.usb_id == id && !port.link_target.empty()) ++ready;
    if (ready >= interfaces) return false;
    for (const auto& adapter : machine.usb_devices()) {
        if (adapter.id != id) continue;
        std::vector<std::u16string> nodes = adapter.interfaces;
        if (nodes.empty()) nodes.push_back(adapter.instance_id);
        for (const auto& instance : nodes) {
            const pnp::DevInst node = pnp::find_node(instance);
            if (node == pnp::no_node) continue;
            for (pnp::DevInst child : pnp::children_of(node)) {
                const pnp::NodeState state = pnp::state_of(child);
                if (state == pnp::NodeState::Initialized || state == pnp::NodeState::DriversAdded) return true;
            }
        }
    }
    return false;
}

} // namespace hvsim
