// The power manager: power IRPs requested by drivers, recorded device states, and the system
// power transitions that walk the device tree.
#include "pnp_internal.h"

#include <image_calls.h>

#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/power.h>

#include <atomic>
#include <map>

namespace hvsim::power {
namespace {

using pnp::detail::Node;

struct PowerManagerState {
    std::mutex mutex;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
    std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> device_states;
    std::map<pnp::DevInst, DEVICE_POWER_STATE> node_states;
    std::map<pnp::DevInst, size_t> requested; // device IRPs asked for with PoRequestPowerIrp
    std::vector<PowerIrpRecord> log;
    size_t start_next = 0;
    std::atomic<bool> at_dispatch{false};
};

PowerManagerState& power_state() {
    static PowerManagerState* s = new PowerManagerState;
    return *s;
}

pnp::DevInst node_of(PDEVICE_OBJECT device) {
    std::lock_guard lock(pnp::detail::tree_mutex());
    Node* node = pnp::detail::node_by_stack_member(device);
    return node ? node->devinst : pnp::no_node;
}

size_t add_record(const PowerIrpRecord& record) {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    s.log.push_back(record);
    return s.log.size() - 1;
}

void finish_record(size_t index, NTSTATUS status) {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    if (index < s.log.size()) s.log[index].status = status;
}

size_t requests_of(pnp::DevInst node) {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    auto it = s.requested.find(node);
    return it == s.requested.end() ? 0 : it->second;
}

void fill_power(PIO_STACK_LOCATION stack, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action) {
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = state.SystemState;
        return;
    }
    stack->Parameters.Power.SystemContext = 0;
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType = action;
}

// One power IRP from the power manager itself to the top of a node's stack, waited for.
NTSTATUS send_power(Node* node, UCHAR minor, POWER_STATE_TYPE type, ULONG value, POWER_ACTION action) {
    POWER_STATE state;
    if (type == SystemPowerState)
        state.SystemState = (SYSTEM_POWER_STATE)value;
    else
        state.DeviceState = (DEVICE_POWER_STATE)value;
    size_t index = add_record({node->devinst, minor, type, value, STATUS_PENDING, false});
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->pdo);
    io::IoResult result = io::send_and_wait(
        top, [&](PIRP, PIO_STACK_LOCATION stack) { fill_power(stack, minor, type, state, action); },
        STATUS_NOT_SUPPORTED);
    ObDereferenceObject(top);
    finish_record(index, result.status);
    return result.status;
}

DEVICE_POWER_STATE wanted_device_state(const Node* node, SYSTEM_POWER_STATE system) {
    DEVICE_POWER_STATE mapped = node->caps.DeviceState[system];
    if (mapped != PowerDeviceUnspecified) return mapped;
    return system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

// SET_POWER for the system state; when the stack's power policy owner asks for no device IRP
// while it holds the system IRP, the power manager asks for the mapped device state itself.
void set_system_power(Node* node, SYSTEM_POWER_STATE system, POWER_ACTION action) {
    size_t before = requests_of(node->devinst);
    NTSTATUS status = send_power(node, IRP_MN_SET_POWER, SystemPowerState, system, action);
    if (!NT_SUCCESS(status))
        DbgPrint("POWER: %s refused system state %u (0x%08X)\n", pnp::detail::to_utf8(node->instance_id).c_str(),
                 (unsigned)system, (unsigned)status);
    if (requests_of(node->devinst) != before) return;
    DEVICE_POWER_STATE wanted = wanted_device_state(node, system);
    if (device_state(node->devinst) == wanted) return;
    send_power(node, IRP_MN_SET_POWER, DevicePowerState, wanted, action);
}

std::vector<Node*> powered_nodes(bool leaves_first) {
    std::vector<Node*> out;
    Node* root = pnp::detail::node_by_devinst(pnp::root_node);
    if (!root) return out;
    auto order = leaves_first ? pnp::detail::subtree_post_order(root) : pnp::detail::subtree_pre_order(root);
    for (Node* node : order)
        if (node != root && node->state == pnp::NodeState::Started) out.push_back(node);
    return out;
}

void set_system(SYSTEM_POWER_STATE state) {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    s.system = state;
}

} // namespace

TransitionResult sleep(SYSTEM_POWER_STATE state) {
    if (state < PowerSystemSleeping1 || state > PowerSystemHibernate) return {STATUS_INVALID_PARAMETER, pnp::no_node};
    TransitionResult result;
    pnp::detail::run_sync([&] {
        if (system_state() != PowerSystemWorking) {
            result = {STATUS_INVALID_DEVICE_STATE, pnp::no_node};
            return;
        }
        POWER_ACTION action = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
        std::vector<Node*> nodes = powered_nodes(true);
        std::vector<Node*> queried;
        for (Node* node : nodes) {
            NTSTATUS status = send_power(node, IRP_MN_QUERY_POWER, SystemPowerState, state, action);
            queried.push_back(node);
            if (!NT_SUCCESS(status)) {
                // A refusal: the stacks already asked hear that the system stays working.
                for (Node* asked : queried)
                    send_power(asked, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerActionNone);
                result = {status, node->devinst};
                return;
            }
        }
        for (Node* node : nodes) set_system_power(node, state, action);
        set_system(state);
    });
    return result;
}

TransitionResult wake() {
    TransitionResult result;
    pnp::detail::run_sync([&] {
        if (system_state() == PowerSystemWorking) return;
        if (system_state() == PowerSystemShutdown) {
            result = {STATUS_INVALID_DEVICE_STATE, pnp::no_node};
            return;
        }
        set_system(PowerSystemWorking);
        for (Node* node : powered_nodes(false)) set_system_power(node, PowerSystemWorking, PowerActionNone);
    });
    return result;
}

TransitionResult shutdown() {
    TransitionResult result;
    pnp::detail::run_sync([&] {
        for (Node* node : powered_nodes(true)) set_system_power(node, PowerSystemShutdown, PowerActionShutdownOff);
        set_system(PowerSystemShutdown);
    });
    return result;
}

SYSTEM_POWER_STATE system_state() {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    return s.system;
}

DEVICE_POWER_STATE device_state(pnp::DevInst node) {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    auto it = s.node_states.find(node);
    return it == s.node_states.end() ? PowerDeviceD0 : it->second;
}

DEVICE_POWER_STATE device_state(PDEVICE_OBJECT device) {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    auto it = s.device_states.find(device);
    return it == s.device_states.end() ? PowerDeviceD0 : it->second;
}

std::vector<PowerIrpRecord> irp_log() {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    return s.log;
}

void clear_irp_log() {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    s.log.clear();
}

size_t start_next_count() {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    return s.start_next;
}

void set_complete_at_dispatch(bool enable) { power_state().at_dispatch = enable; }
bool complete_at_dispatch() { return power_state().at_dispatch; }

} // namespace hvsim::power

using namespace hvsim;
using namespace hvsim::power;

HV_EXTERN_C_BEGIN

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    if (Irp) *Irp = nullptr;
    if (!DeviceObject) return STATUS_INVALID_PARAMETER_1;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    pnp::DevInst node = node_of(DeviceObject);
    POWER_STATE_TYPE type = MinorFunction == IRP_MN_WAIT_WAKE ? SystemPowerState : DevicePowerState;
    ULONG value = type == SystemPowerState ? (ULONG)PowerState.SystemState : (ULONG)PowerState.DeviceState;
    size_t index = add_record({node, MinorFunction, type, value, STATUS_PENDING, true});
    {
        auto& s = power_state();
        std::lock_guard lock(s.mutex);
        ++s.requested[node];
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    // The requester's image stays mapped until its completion function has returned.
    ldr::ImageSlot* image = CompletionFunction ? ldr::enter_image(reinterpret_cast<const void*>(CompletionFunction),
                                                                  "power completion function")
                                               : nullptr;
    const io::Issue issue = io::send_async(
        top,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
            fill_power(stack, MinorFunction, DevicePowerState, PowerState, PowerActionNone);
            if (Irp) *Irp = irp;
        },
        STATUS_NOT_SUPPORTED,
        [=](LONG status, ULONG_PTR information) {
            finish_record(index, status);
            IO_STATUS_BLOCK iosb;
            iosb.Status = status;
            iosb.Information = information;
            if (CompletionFunction) CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &iosb);
            ldr::leave_image(image);
        });
    ObDereferenceObject(top);
    if (!issue.issued) {
        // No IRP could be sent: the completion function will never run.
        ldr::leave_image(image);
        finish_record(index, issue.status);
        return issue.status;
    }
    return STATUS_PENDING;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IoCallDriver(DeviceObject, Irp); }

VOID PoStartNextPowerIrp(PIRP) {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    ++s.start_next;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    auto& s = power_state();
    POWER_STATE old;
    if (Type == SystemPowerState) {
        std::lock_guard lock(s.mutex);
        old.SystemState = s.system;
        return old;
    }
    pnp::DevInst node = node_of(DeviceObject);
    std::lock_guard lock(s.mutex);
    auto it = s.device_states.find(DeviceObject);
    old.DeviceState = it == s.device_states.end() ? PowerDeviceD0 : it->second;
    s.device_states[DeviceObject] = State.DeviceState;
    if (node != pnp::no_node) s.node_states[node] = State.DeviceState;
    return old;
}

HV_EXTERN_C_END

namespace {

void power_boot(const hvsim::KernelOptions&) {
    auto& s = power_state();
    std::lock_guard lock(s.mutex);
    s.system = PowerSystemWorking;
    s.device_states.clear();
    s.node_states.clear();
    s.requested.clear();
    s.log.clear();
    s.start_next = 0;
    s.at_dispatch = false;
}

const bool registered = [] {
    hvsim::register_kernel_subsystem({"power", 56, power_boot, nullptr});
    return true;
}();

} // namespace
