// C++ API of the stand-in power manager: system power transitions and what drivers did.
#pragma once

#include <wdm.h>

#include <hvsim/pnp.h>

#include <string>
#include <vector>

namespace hvsim::power {

// One power IRP that the power manager saw go through a stack, for tests to check the order.
struct PowerIrpRecord {
    pnp::DevInst node = pnp::no_node;
    UCHAR minor = 0;                  // IRP_MN_SET_POWER, IRP_MN_QUERY_POWER...
    POWER_STATE_TYPE type{};          // SystemPowerState or DevicePowerState
    ULONG state = 0;                  // the SYSTEM_POWER_STATE or DEVICE_POWER_STATE value
    NTSTATUS status = STATUS_PENDING; // set once completed
    bool requested_by_driver = false; // through PoRequestPowerIrp
};

struct TransitionResult {
    NTSTATUS status = STATUS_SUCCESS; // a refused query gives its status
    pnp::DevInst vetoed_by = pnp::no_node;
};

// Sleep to the given state (PowerSystemSleeping1..3, PowerSystemHibernate): QUERY_POWER to
// every started stack, leaves first, then SET_POWER, leaves first; device power IRPs as the
// capabilities' DeviceState map says, requested by the stack's power policy owner or, when it
// requests none, by the power manager itself. A refused query ends with SET_POWER(S0) to the
// stacks already queried. Runs on the PnP thread; waits for it.
TransitionResult sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
// Back to PowerSystemWorking: SET_POWER(S0) to every started stack, parents first.
TransitionResult wake();
// SET_POWER(PowerSystemShutdown) to every stack, leaves first (before the tree is stopped).
TransitionResult shutdown();

SYSTEM_POWER_STATE system_state();
// The last state recorded by PoSetPowerState on any device object of the node's stack
// (PowerDeviceD0 before any record).
DEVICE_POWER_STATE device_state(pnp::DevInst node);
DEVICE_POWER_STATE device_state(PDEVICE_OBJECT device);

// Every power IRP sent since the last clear, in the order they were sent.
std::vector<PowerIrpRecord> irp_log();
void clear_irp_log();
// How many times PoStartNextPowerIrp was called.
size_t start_next_count();

// When set, the platform's own bus drivers complete power IRPs at DISPATCH_LEVEL, so that
// completion routines above them run there (as with a USB host controller).
void set_complete_at_dispatch(bool enable);
bool complete_at_dispatch();

} // namespace hvsim::power
