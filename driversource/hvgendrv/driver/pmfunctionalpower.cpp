// The functional device's power: system power requests become device power requests through the
// power map; device power-down and power-up run the driver's callbacks at PASSIVE_LEVEL.
#include <pmfunctionaldevice.h>
#include <pmdebugmanager.h>
#include <pmirphelpers.h>

static PCSTR PmPowerMinorName(UCHAR ucMinorFunction) {
    switch (ucMinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE:
        return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER:
        return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER:
        return "IRP_MN_QUERY_POWER";
    }
    return "IRP_MN_?????";
}

NTSTATUS CPmFunctionalDevice::m_PowerPassDown(PIRP pIrp) {
    PoStartNextPowerIrp(pIrp);
    IoSkipCurrentIrpStackLocation(pIrp);
    return PoCallDriver(m_pLowerDeviceObject, pIrp);
}

static NTSTATUS PmCompletePowerIrp(PIRP pIrp, NTSTATUS ntStatus) {
    PoStartNextPowerIrp(pIrp);
    return PmCompleteWithStatus(pIrp, ntStatus);
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_Power(PIRP pIrp) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::m_Dispatch_Power - Minor Function : %s\n",
             PmPowerMinorName(pStack->MinorFunction));
    // Read as a number: a sender may put any value there.
    ULONG eType;
    RtlCopyMemory(&eType, &pStack->Parameters.Power.Type, sizeof(eType));
    switch (pStack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (eType == SystemPowerState)
            return m_SystemSetPower(pIrp);
        if (eType == DevicePowerState) {
            ULONG ulState = pStack->Parameters.Power.State.DeviceState;
            if (ulState > m_ulDevicePowerState)
                return m_HandleDevicePoweringDown(pIrp);
            // The device is already there: nothing to restore.
            if (ulState == m_ulDevicePowerState)
                return m_PowerPassDown(pIrp);
            return m_HandleDevicePoweringUp(pIrp);
        }
        return PmCompletePowerIrp(pIrp, STATUS_UNSUCCESSFUL);

    case IRP_MN_QUERY_POWER:
        if (eType == SystemPowerState) {
            if (!m_UsageLock.m_Acquire())
                return PmCompletePowerIrp(pIrp, STATUS_DELETE_PENDING);
            NTSTATUS ntStatus = m_PowerPassDown(pIrp);
            m_UsageLock.m_Release();
            return ntStatus;
        }
        if (eType == DevicePowerState)
            return m_PowerPassDown(pIrp);
        return PmCompletePowerIrp(pIrp, STATUS_UNSUCCESSFUL);
    }
    return m_PowerPassDown(pIrp);
}

NTSTATUS CPmFunctionalDevice::m_SystemSetPower(PIRP pIrp) {
    if (!m_UsageLock.m_Acquire())
        return PmCompletePowerIrp(pIrp, STATUS_DELETE_PENDING);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, sm_SystemPowerCompletionRoutine, this, TRUE, TRUE, TRUE);
    IoMarkIrpPending(pIrp);
    PoCallDriver(m_pLowerDeviceObject, pIrp);
    return STATUS_PENDING;
}

NTSTATUS CPmFunctionalDevice::sm_SystemPowerCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp,
                                                              PVOID pvContext) {
    CPmFunctionalDevice* pDevice = static_cast<CPmFunctionalDevice*>(pvContext);
    NTSTATUS ntStatus = pIrp->IoStatus.Status;
    // A system state the stack below refused asks nothing of the device.
    if (!NT_SUCCESS(ntStatus)) {
        PoStartNextPowerIrp(pIrp);
        pDevice->m_UsageLock.m_Release();
        return ntStatus;
    }
    // This may run at DISPATCH_LEVEL, and the device request it makes runs the driver's power-down
    // (which talks to its device) in this thread: it is made from a work item at PASSIVE_LEVEL.
    IoQueueWorkItem(pDevice->m_pSystemPowerWorkItem, sm_SystemPowerWorkItem, DelayedWorkQueue, pIrp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Requests the device state that the power map gives for the new system state; the system request
// waits for it.
void CPmFunctionalDevice::sm_SystemPowerWorkItem(PDEVICE_OBJECT pDeviceObject, PVOID pvContext) {
    PIRP pIrp = static_cast<PIRP>(pvContext);
    CPmFunctionalDevice* pDevice = static_cast<CPmFunctionalDevice*>(CPmDevice::sm_GetExtension(pDeviceObject)->m_pDevice);
    ULONG ulSystemState = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Power.State.SystemState;
    POWER_STATE powerState;
    powerState.DeviceState = PowerDeviceD3;
    if (ulSystemState >= PowerSystemWorking && ulSystemState <= PowerSystemShutdown)
        powerState.DeviceState = (DEVICE_POWER_STATE)pDevice->m_aulPowerMap[ulSystemState - PowerSystemWorking];
    NTSTATUS ntRequest = PoRequestPowerIrp(pDevice->m_pPhysicalDeviceObject, IRP_MN_SET_POWER, powerState,
                                           sm_DevicePowerRequestComplete, pIrp, NULL);
    pDevice->m_UsageLock.m_Release();
    if (!NT_SUCCESS(ntRequest)) {
        PoStartNextPowerIrp(pIrp);
        pIrp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IofCompleteRequest(pIrp, IO_NO_INCREMENT);
    }
}

// The device request has run through the stack: the system request ends with its status.
void CPmFunctionalDevice::sm_DevicePowerRequestComplete(PDEVICE_OBJECT pDeviceObject, UCHAR ucMinorFunction,
                                                        POWER_STATE powerState, PVOID pvContext,
                                                        PIO_STATUS_BLOCK pIoStatus) {
    PIRP pSystemIrp = static_cast<PIRP>(pvContext);
    pSystemIrp->IoStatus.Status = pIoStatus->Status;
    PoStartNextPowerIrp(pSystemIrp);
    IofCompleteRequest(pSystemIrp, IO_NO_INCREMENT);
}

NTSTATUS CPmFunctionalDevice::m_HandleDevicePoweringDown(PIRP pIrp) {
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::m_HandleDevicePoweringDown IN");
    if (!m_UsageLock.m_Acquire())
        return PmCompletePowerIrp(pIrp, STATUS_DELETE_PENDING);
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::m_HandleDevicePoweringDown - m_PowerDownResetDeviceFunction");
    m_CallNotification(m_Callbacks.m_PowerDownResetDeviceFunction);
    POWER_STATE powerState = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Power.State;
    PoSetPowerState(m_pDeviceObject, DevicePowerState, powerState);
    m_ulDevicePowerState = powerState.DeviceState;
    NTSTATUS ntStatus = m_PowerPassDown(pIrp);
    m_UsageLock.m_Release();
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::m_HandleDevicePoweringDown OUT %08x", ntStatus);
    return ntStatus;
}

NTSTATUS CPmFunctionalDevice::m_HandleDevicePoweringUp(PIRP pIrp) {
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::m_HandleDevicePoweringUp IN");
    if (!m_UsageLock.m_Acquire())
        return PmCompletePowerIrp(pIrp, STATUS_DELETE_PENDING);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, sm_PowerUpCompletionRoutine, this, TRUE, TRUE, TRUE);
    // The completion hands the IRP to a work item, so this request is always pending here.
    IoMarkIrpPending(pIrp);
    PoCallDriver(m_pLowerDeviceObject, pIrp);
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::m_HandleDevicePoweringUp OUT %08x", STATUS_PENDING);
    return STATUS_PENDING;
}

// May run at DISPATCH_LEVEL, where the driver's power-up (which talks to its device) cannot: the
// rest runs from a work item at PASSIVE_LEVEL.
NTSTATUS CPmFunctionalDevice::sm_PowerUpCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pvContext) {
    CPmFunctionalDevice* pDevice = static_cast<CPmFunctionalDevice*>(pvContext);
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::sm_PowerUpCompletionRoutine IN");
    IoQueueWorkItem(pDevice->m_pPowerUpWorkItem, sm_PowerUpWorkItem, DelayedWorkQueue, pIrp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CPmFunctionalDevice::sm_PowerUpWorkItem(PDEVICE_OBJECT pDeviceObject, PVOID pvContext) {
    PIRP pIrp = static_cast<PIRP>(pvContext);
    CPmFunctionalDevice* pDevice = static_cast<CPmFunctionalDevice*>(CPmDevice::sm_GetExtension(pDeviceObject)->m_pDevice);
    if (NT_SUCCESS(pIrp->IoStatus.Status)) {
        PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::sm_PowerUpCompletionRoutine - m_PowerUpInitDeviceFunction");
        pDevice->m_CallNotification(pDevice->m_Callbacks.m_PowerUpInitDeviceFunction);
        POWER_STATE powerState = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Power.State;
        PoSetPowerState(pDeviceObject, DevicePowerState, powerState);
        pDevice->m_ulDevicePowerState = powerState.DeviceState;
    }
    pDevice->m_UsageLock.m_Release();
    PM_TRACE(PM_TRACE_FDO_POWER, "CPmFunctionalDevice::sm_PowerUpCompletionRoutine OUT SUCCESS");
    PoStartNextPowerIrp(pIrp);
    IofCompleteRequest(pIrp, IO_NO_INCREMENT);
}
