// hvsim's device commands: the device tree, the COM ports, and what a Windows user does to one
// device from the command line (its status; enable, disable, restart, remove; rescan the tree).
// A device is named by its instance ID or, for a port, by its COM name.
#include <hvsim/format.h>
#include <hvsim/pnp.h>

#include <cstdio>

#include "device_nodes.h"
#include "hvsim_command.h"
#include "machine_internal.h"
#include "serial_tools.h"

namespace hvsim::command {
namespace {

std::string hex_status(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string instance_of(pnp::DevInst node) {
    auto info = pnp::node_info(node);
    return info ? text::to_utf8(info->instance_id) : "(gone)";
}

// The node a name stands for: a COM name, else an instance ID.
pnp::DevInst resolve(Machine& machine, const std::string& name) {
    const auto instance = device_named(machine, text::from_utf8(name));
    const pnp::DevInst node = instance ? pnp::find_node(*instance) : pnp::no_node;
    if (node == pnp::no_node)
        throw MachineError("no device '" + name +
                           "' (name one by its instance ID, as hvsim devices shows it, or by "
                           "its COM name, as hvsim ports shows it)");
    return node;
}

void refuse_veto(const char* action, pnp::DevInst node, const pnp::Veto& veto) {
    if (!veto.vetoed()) return;
    std::string by = veto.vetoed_by == pnp::no_node ? "" : " by " + instance_of(veto.vetoed_by);
    throw MachineError(std::string(action) + " " + instance_of(node) + " was refused" + by + " (status " +
                       hex_status(veto.status) + ")");
}

// A device acted on is shown as it is once its installations (if any) have run.
int show(pnp::DevInst node, const char* done) {
    settle_installations();
    std::printf("%s: %s\n", instance_of(node).c_str(), done);
    std::fputs(format_device_node(node, "    ").c_str(), stdout);
    return 0;
}

} // namespace

int devices(Invocation& in) {
    Machine& machine = in.machine();
    std::fputs(machine.device_tree_text().c_str(), stdout);
    std::fputs(machine.usb_devices_text().c_str(), stdout);
    return 0;
}

int ports(Invocation& in) {
    Machine& machine = in.machine();
    const std::vector<ComPort> found = com_ports(machine);
    std::vector<UsbDeviceInfo> adapters = machine.usb_devices();
    if (found.empty()) std::printf("COM ports: (none)\n");
    for (const auto& port : found) {
        const pnp::DevInst node = pnp::find_node(port.instance_id);
        auto info = pnp::node_info(node);
        std::printf("%s: %s\n", text::to_utf8(port.name).c_str(), info ? device_display_name(*info).c_str() : "");
        std::printf("    device: %s (%s%s)\n", text::to_utf8(port.instance_id).c_str(),
                    info ? device_state_text(*info).c_str() : "gone",
                    port.link_target.empty() ? ", no \\\\.\\ link: it cannot be opened" : "");
        if (port.usb_id.empty()) continue;
        std::string spec;
        for (const auto& adapter : adapters)
            if (adapter.id == port.usb_id) spec = adapter.spec;
        std::printf("    adapter: %s, interface %zu (%s)%s%s\n", port.usb_id.c_str(), port.interface, spec.c_str(),
                    port.pty.empty() ? "" : ", far end ", port.pty.c_str());
    }
    return 0;
}

int status(Invocation& in) {
    const pnp::DevInst node = resolve(in.machine(), in.args()[0]);
    std::fputs(format_device_node(node, "").c_str(), stdout);
    return 0;
}

int enable(Invocation& in) {
    const pnp::DevInst node = resolve(in.machine(), in.args()[0]);
    const NTSTATUS result = pnp::enable_device(node);
    pnp::wait_quiet();
    if (!NT_SUCCESS(result))
        throw MachineError("enabling " + instance_of(node) + " failed (status " + hex_status(result) + ")");
    return show(node, "enabled");
}

int disable(Invocation& in) {
    const pnp::DevInst node = resolve(in.machine(), in.args()[0]);
    refuse_veto("disabling", node, pnp::disable_device(node));
    pnp::wait_quiet();
    return show(node, "disabled (from every boot until enabled)");
}

int restart(Invocation& in) {
    const pnp::DevInst node = resolve(in.machine(), in.args()[0]);
    refuse_veto("restarting", node, pnp::restart_device(node));
    pnp::wait_quiet();
    return show(node, "restarted");
}

int remove(Invocation& in) {
    const pnp::DevInst node = resolve(in.machine(), in.args()[0]);
    const std::string instance = instance_of(node);
    refuse_veto("removing", node, pnp::remove_device(node));
    pnp::wait_quiet();
    std::printf("%s: removed (its bus reports it again at the next rescan or boot)\n", instance.c_str());
    return 0;
}

int rescan(Invocation& in) {
    in.machine().rescan();
    std::fputs(in.machine().device_tree_text().c_str(), stdout);
    return 0;
}

} // namespace hvsim::command
