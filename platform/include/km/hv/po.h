// Power manager: power IRPs requested by drivers, passing power IRPs down, recorded states.
#pragma once

#include <ntdef.h>

#include <hv/io.h>

// The IRP_MN_ codes of IRP_MJ_POWER are in hv/io.h.

// What a system power IRP is for (Parameters.Power.ShutdownType).
typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject
} POWER_ACTION, *PPOWER_ACTION;

// Called once the requested IRP has completed, in the completing thread at its IRQL (which may
// be DISPATCH_LEVEL).
typedef VOID REQUEST_POWER_COMPLETE(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                    PVOID Context, PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

HV_EXTERN_C_BEGIN

// Allocates a power IRP (IRP_MN_SET_POWER, IRP_MN_QUERY_POWER or IRP_MN_WAIT_WAKE for a device
// power state) and sends it to the top of the stack that DeviceObject (a PDO) belongs to.
// Returns STATUS_PENDING once the IRP is on its way; the IRP is freed after CompletionFunction.
HV_API NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
HV_API NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Lets the next power IRP of the device go; recorded for tests.
HV_API VOID PoStartNextPowerIrp(PIRP Irp);
// Records the device's (or the system's) new power state; returns the previous one.
HV_API POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);

HV_EXTERN_C_END
