// The device tree as text: one block per device node, indented below its parent.
#include <hvsim/format.h>
#include <hvsim/pnp.h>

#include <sstream>

#include "device_nodes.h"
#include "machine_internal.h"

namespace hvsim {
namespace {

const char* problem_name(ULONG problem) {
    switch (problem) {
    case pnp::prob::none: return "none";
    case pnp::prob::not_configured: return "not configured";
    case pnp::prob::out_of_memory: return "out of memory";
    case pnp::prob::failed_start: return "failed start";
    case pnp::prob::disabled: return "disabled";
    case pnp::prob::device_not_there: return "device not there";
    case pnp::prob::failed_install: return "driver not installed";
    case pnp::prob::failed_add: return "failed add";
    case pnp::prob::failed_driver_entry: return "driver entry failed";
    case pnp::prob::driver_failed_load: return "driver failed to load";
    case pnp::prob::driver_service_key_invalid: return "service key invalid";
    case pnp::prob::failed_post_start: return "failed after start";
    default: return "problem";
    }
}

size_t depth_of(pnp::DevInst node) {
    size_t depth = 0;
    for (pnp::DevInst p = pnp::parent_of(node); p != pnp::no_node; p = pnp::parent_of(p)) ++depth;
    return depth;
}

} // namespace

std::string device_display_name(const pnp::NodeInfo& info) {
    if (!info.friendly_name.empty()) return text::to_utf8(info.friendly_name);
    if (!info.description.empty()) return text::to_utf8(info.description);
    return "(no name)";
}

std::string device_state_text(const pnp::NodeInfo& info) {
    std::string text = pnp::to_string(info.state);
    if (info.problem) text += ", problem " + std::to_string(info.problem) + " (" + problem_name(info.problem) + ")";
    return text;
}

std::string format_device_node(pnp::DevInst node, const std::string& indent) {
    auto info = pnp::node_info(node);
    if (!info) return {};
    std::ostringstream out;
    out << indent << text::to_utf8(info->instance_id) << "\n";
    out << indent << "    name: " << device_display_name(*info) << "\n";
    std::string ids;
    for (const auto& id : info->hardware_ids) ids += (ids.empty() ? "" : ", ") + text::to_utf8(id);
    out << indent << "    hardware IDs: " << (ids.empty() ? "(none)" : ids) << "\n";
    out << indent << "    service: " << (info->service.empty() ? "(none)" : text::to_utf8(info->service)) << "\n";
    out << indent << "    state: " << pnp::to_string(info->state) << "\n";
    out << indent << "    problem: " << info->problem;
    if (info->problem) out << " (" << problem_name(info->problem) << ")";
    out << "\n";
    return out.str();
}

void Machine::rescan() {
    if (!running_) throw MachineError("the machine is not running");
    // Every bus is asked again for its children, parents first, so that a device found below a
    // new one is found in the same pass.
    for (pnp::DevInst node : pnp::all_nodes())
        if (pnp::state_of(node) == pnp::NodeState::Started) pnp::reenumerate(node);
    pnp::wait_quiet();
    settle_installations();
}

std::string format_device_tree() {
    std::string out;
    for (pnp::DevInst node : pnp::all_nodes()) out += format_device_node(node, std::string(depth_of(node) * 4, ' '));
    return out;
}

} // namespace hvsim
