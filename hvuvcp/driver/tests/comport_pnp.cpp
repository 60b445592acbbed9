#include "comport_pnp.h"

#include <hvsim/pnp.h>
#include <hvsim/wmi.h>
#include <ntddser.h>

namespace comport_test {

std::vector<std::u16string> children(const std::u16string& instance_id) {
    std::vector<std::u16string> out;
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance_id);
    if (node == hvsim::pnp::no_node) return out;
    for (hvsim::pnp::DevInst child : hvsim::pnp::children_of(node))
        if (auto info = hvsim::pnp::node_info(child)) out.push_back(info->instance_id);
    return out;
}

std::string state(const std::u16string& instance_id) {
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance_id);
    if (node == hvsim::pnp::no_node) return "gone";
    return hvsim::pnp::to_string(hvsim::pnp::state_of(node));
}

bool has_com_port_interface(const std::u16string& instance_id) {
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance_id);
    for (const auto& entry : hvsim::pnp::interfaces(GUID_DEVINTERFACE_COMPORT))
        if (node != hvsim::pnp::no_node && entry.node == node) return true;
    return false;
}

size_t com_port_interfaces() { return hvsim::pnp::interfaces(GUID_DEVINTERFACE_COMPORT).size(); }

void wait_quiet() { hvsim::pnp::wait_quiet(); }

bool restart(const std::u16string& instance_id) {
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance_id);
    if (node == hvsim::pnp::no_node) return false;
    bool done = !hvsim::pnp::restart_device(node).vetoed();
    hvsim::pnp::wait_quiet();
    return done;
}

WmiBlock query_wmi(const std::u16string& instance_id, const GUID& guid) {
    WmiBlock out;
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance_id);
    auto info = hvsim::pnp::node_info(node);
    if (!info) return out;
    for (const auto& provider : hvsim::wmi::providers_of(guid)) {
        if (provider.pdo != info->pdo) continue;
        auto result = hvsim::wmi::query_single_instance(provider.provider_id, guid, 0);
        out.status = result.status;
        if (result.instances.size() == 1) out.data = result.instances[0].data;
        return out;
    }
    return out;
}

InternalResult internal_control(const std::u16string& instance_id, unsigned long code,
                                std::vector<unsigned char> input, unsigned long output_length) {
    InternalResult out;
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance_id);
    if (node == hvsim::pnp::no_node) return out;
    std::vector<PDEVICE_OBJECT> stack = hvsim::pnp::device_stack(node);
    if (stack.empty()) return out;
    PDEVICE_OBJECT top = stack.back();
    out.output.assign(output_length, 0xCC);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io_status{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, input.empty() ? nullptr : input.data(),
                                             static_cast<ULONG>(input.size()),
                                             output_length ? out.output.data() : nullptr, output_length, TRUE, &done,
                                             &io_status);
    if (irp) {
        NTSTATUS status = IofCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = io_status.Status;
        }
        out.status = status;
        out.information = io_status.Information;
    }
    for (PDEVICE_OBJECT device : stack) ObDereferenceObject(device);
    return out;
}

} // namespace comport_test
