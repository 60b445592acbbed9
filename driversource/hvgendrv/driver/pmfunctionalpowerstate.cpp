// A device power change that the driver itself asks for (the bus driver's ports do, at open and
// close).
#include <pmfunctionaldevice.h>

#include <pmdebugmanager.h>

namespace {

struct PmPowerRequest {
    KEVENT kDone;
    NTSTATUS ntStatus;
};

void PmPowerRequestComplete(PDEVICE_OBJECT pDeviceObject, UCHAR ucMinorFunction, POWER_STATE powerState,
                            PVOID pvContext, PIO_STATUS_BLOCK pIoStatus) {
    PmPowerRequest* pRequest = static_cast<PmPowerRequest*>(pvContext);
    pRequest->ntStatus = pIoStatus->Status;
    KeSetEvent(&pRequest->kDone, IO_NO_INCREMENT, FALSE);
}

} // namespace

BOOLEAN CPmFunctionalDevice::m_GotoPowerState(ULONG ulDevicePowerState) {
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::m_GotoPowerState IN");
    PmPowerRequest request;
    KeInitializeEvent(&request.kDone, NotificationEvent, FALSE);
    request.ntStatus = STATUS_PENDING;
    POWER_STATE powerState;
    powerState.DeviceState = (DEVICE_POWER_STATE)ulDevicePowerState;
    NTSTATUS ntStatus = PoRequestPowerIrp(m_pPhysicalDeviceObject, IRP_MN_SET_POWER, powerState,
                                          PmPowerRequestComplete, &request, NULL);
    // The completion runs however the request ends once it was accepted, and the event lives
    // on this stack: always wait for it then.
    if (ntStatus == STATUS_PENDING || NT_SUCCESS(ntStatus)) {
        KeWaitForSingleObject(&request.kDone, Executive, KernelMode, FALSE, NULL);
        ntStatus = request.ntStatus;
    }
    if (!NT_SUCCESS(ntStatus)) {
        PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::m_GotoPowerState OUT ERROR");
        return FALSE;
    }
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::m_GotoPowerState OUT SUCCESS");
    return TRUE;
}
