// The functional device's Plug and Play: start, stop, removal, relations, capabilities and state.
#include <pmfunctionaldevice.h>
#include <pmdebugmanager.h>
#include <pmirphelpers.h>

#include <pmwmi.h>

#include <pmlowerstackio.h>
#include <pmphysicaldevice.h>

#define PM_TAG_BUS_RELATIONS PM_POOL_TAG('H', 'F', 'u', 'n')

NTSTATUS CPmFunctionalDevice::m_PnpPassDown(PIRP pIrp) {
    IoSkipCurrentIrpStackLocation(pIrp);
    return IofCallDriver(m_pLowerDeviceObject, pIrp);
}

NTSTATUS CPmFunctionalDevice::m_Dispatch_Pnp(PIRP pIrp) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PM_TRACE(PM_TRACE_FDO_PNP, "CPmFunctionalDevice::m_Dispatch_Pnp - Minor Function : %s\n",
             CPmDebugManager::m_PnpMinorName(pStack->MinorFunction));
    BOOLEAN bResult;
    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return m_PnpStart(pIrp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        m_ulPnpState = PM_PNP_REMOVE_PENDING;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return m_PnpPassDown(pIrp);

    case IRP_MN_REMOVE_DEVICE:
        return m_PnpRemove(pIrp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        m_ulPnpState = PM_PNP_STARTED;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return m_PnpPassDown(pIrp);

    case IRP_MN_STOP_DEVICE:
        PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_STOP_DEVICE IN");
        m_ulPnpState = PM_PNP_STOPPED;
        if (m_Callbacks.m_RebalanceDeviceCallback)
            m_CallRebalance(PM_REBALANCE_STOP, &bResult);
        PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_STOP_DEVICE OUT");
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return m_PnpPassDown(pIrp);

    case IRP_MN_QUERY_STOP_DEVICE:
        PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_QUERY_STOP_DEVICE IN");
        m_ulPnpState = PM_PNP_STOP_PENDING;
        if (m_Callbacks.m_RebalanceDeviceCallback) {
            if (!m_CallRebalance(PM_REBALANCE_QUERY_STOP, &bResult))
                return PmCompleteWithStatus(pIrp, STATUS_DEVICE_REMOVED);
            if (!bResult) {
                PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_QUERY_STOP_DEVICE ERROR");
                return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
            }
            PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_QUERY_STOP_DEVICE OUT SUCCESS");
        }
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return m_PnpPassDown(pIrp);

    case IRP_MN_CANCEL_STOP_DEVICE: {
        PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_CANCEL_STOP_DEVICE IN");
        m_ulPnpState = PM_PNP_STARTED;
        if (!m_Callbacks.m_RebalanceDeviceCallback) {
            pIrp->IoStatus.Status = STATUS_SUCCESS;
            return m_PnpPassDown(pIrp);
        }
        NTSTATUS ntStatus = PmForwardAndWait(m_pDeviceObject, pIrp, m_pLowerDeviceObject);
        if (!NT_SUCCESS(ntStatus))
            return PmCompleteWithStatus(pIrp, ntStatus);
        if (!m_CallRebalance(PM_REBALANCE_CANCEL_STOP, &bResult))
            return PmCompleteWithStatus(pIrp, STATUS_DEVICE_REMOVED);
        if (!bResult) {
            PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_CANCEL_STOP_DEVICE ERROR");
            return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
        }
        PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_CANCEL_STOP_DEVICE OUT SUCCESS");
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    }

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (pStack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_QUERY_DEVICE_RELATIONS BusRelations");
            return m_PnpBusRelations(pIrp);
        }
        if (pStack->Parameters.QueryDeviceRelations.Type == RemovalRelations)
            PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_QUERY_DEVICE_RELATIONS RemovalRelations");
        PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_QUERY_DEVICE_RELATIONS ... Other ... Relations");
        return m_PnpPassDown(pIrp);

    case IRP_MN_QUERY_CAPABILITIES:
        return m_PnpCapabilities(pIrp);

    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: {
        PIO_RESOURCE_REQUIREMENTS_LIST pOwnList = pStack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
        NTSTATUS ntStatus = PmForwardAndWait(m_pDeviceObject, pIrp, m_pLowerDeviceObject);
        if (!NT_SUCCESS(ntStatus) && ntStatus != STATUS_NOT_SUPPORTED)
            return PmCompleteWithStatus(pIrp, ntStatus);
        ULONG_PTR ulInformation = pIrp->IoStatus.Information ? pIrp->IoStatus.Information : (ULONG_PTR)pOwnList;
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, ulInformation);
    }

    case IRP_MN_QUERY_PNP_DEVICE_STATE: {
        ULONG_PTR ulState = pIrp->IoStatus.Information;
        // A state this device reports is an answer: the drivers below may have left the request
        // unanswered.
        if (m_ApplyDeviceStatePairs(&ulState)) {
            pIrp->IoStatus.Information = ulState;
            pIrp->IoStatus.Status = STATUS_SUCCESS;
        }
        return m_PnpPassDown(pIrp);
    }

    case IRP_MN_DEVICE_USAGE_NOTIFICATION: {
        DEVICE_USAGE_NOTIFICATION_TYPE eType = pStack->Parameters.UsageNotification.Type;
        BOOLEAN bAccepted = (eType == DeviceUsageTypePaging || eType == DeviceUsageTypeHibernation ||
                             eType == DeviceUsageTypeDumpFile) &&
                            !pStack->Parameters.UsageNotification.InPath;
        return PmCompleteWithStatus(pIrp, bAccepted ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    }

    case IRP_MN_SURPRISE_REMOVAL:
        m_CallNotification(m_Callbacks.m_PnpRemoveDeviceCallback);
        m_ulPnpState = PM_PNP_SURPRISE_REMOVED;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return m_PnpPassDown(pIrp);
    }
    return m_PnpPassDown(pIrp);
}

NTSTATUS CPmFunctionalDevice::m_PnpStart(PIRP pIrp) {
    NTSTATUS ntStatus = PmForwardAndWait(m_pDeviceObject, pIrp, m_pLowerDeviceObject);
    if (!NT_SUCCESS(ntStatus))
        return PmCompleteWithStatus(pIrp, ntStatus);
    BOOLEAN bRestart = m_ulPnpState == PM_PNP_STOPPED;
    if (!bRestart && !IoIsWdmVersionAvailable(1, 0x20))
        CPmDebugManager::m_InitializeDeviceTracing(m_pDeviceObject, m_RegistryPath.m_GetUnicodeString());
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    // A failure leaves the lists empty; the device starts without resources.
    m_Resources.m_Parse(pStack->Parameters.StartDevice.AllocatedResources,
                        pStack->Parameters.StartDevice.AllocatedResourcesTranslated);

    BOOLEAN bResult;
    if (bRestart) {
        if (!m_Callbacks.m_RebalanceDeviceCallback) {
            m_ulPnpState = PM_PNP_STARTED;
            PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_START_DEVICE m_RebalanceDeviceCallback=NULL OUT SUCCESS");
            return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
        }
        if (!m_CallRebalance(PM_REBALANCE_START, &bResult))
            return PmCompleteWithStatus(pIrp, STATUS_DEVICE_REMOVED);
        if (!bResult) {
            PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_START_DEVICE Rebalancing ERROR");
            return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
        }
        m_ulPnpState = PM_PNP_STARTED;
        PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_START_DEVICE Rebalancing OUT SUCCESS");
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    }

    // The first start: the children are listed in the device key.
    HANDLE hDeviceKey = m_OpenDeviceRegistryKey();
    BOOLEAN bChildren = hDeviceKey && CPmPhysicalDevice::m_CreateAllChildDevices(this, hDeviceKey);
    if (hDeviceKey)
        ZwClose(hDeviceKey);
    if (!bChildren)
        return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
    // The driver opens the reader, in its start callback at the earliest.
    if (m_pConfiguration->m_ulReadClientType == 1 && !m_pLowerStackReader) {
        m_pLowerStackReader = new (NonPagedPool) CPmLowerStackReader(m_pPhysicalDeviceObject);
        if (!m_pLowerStackReader)
            return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
    }
    m_ulDevicePowerState = PowerDeviceD0;

    if (m_Callbacks.m_PnpStartDeviceCallback) {
        if (!m_CallObjectCallback(m_Callbacks.m_PnpStartDeviceCallback, &bResult))
            return PmCompleteWithStatus(pIrp, STATUS_DEVICE_REMOVED);
        if (!bResult) {
            PM_TRACE(PM_TRACE_FDO_PNP, "m_PnpStartDeviceCallback ERROR");
            return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
        }
        if (m_Callbacks.m_UserModeInterfaceCallback && !NT_SUCCESS(m_RunSettingsUpdate())) {
            PM_TRACE(PM_TRACE_FDO_PNP, "m_PnpStartDeviceCallback TriggerUpdate ERROR");
            return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
        }
    }
    m_ulPnpState = PM_PNP_STARTED;
    PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_START_DEVICE OUT SUCCESS");
    return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
}

NTSTATUS CPmFunctionalDevice::m_PnpRemove(PIRP pIrp) {
    if (m_ulPnpState != PM_PNP_SURPRISE_REMOVED)
        m_CallNotification(m_Callbacks.m_PnpRemoveDeviceCallback);
    m_DeleteLowerStackReader();
    m_ulPnpState = PM_PNP_REMOVED;
    CPmPhysicalDevice::m_DeleteAllChildDevices(this);
    PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_REMOVE_DEVICE m_DeleteAllChildDevices SUCCESS");
    m_Remove();
    PM_TRACE(PM_TRACE_FDO_PNP, "IRP_MN_REMOVE_DEVICE m_Remove SUCCESS");
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS ntStatus = m_PnpPassDown(pIrp);
    m_UsageLock.m_DisableAndWait();
    return ntStatus;
}

void CPmFunctionalDevice::m_Remove() {
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Remove IN");
    if (m_pDriver && m_pDriver->m_pfnRemoveHook)
        m_pDriver->m_pfnRemoveHook();
    m_Unpair();
    if (!m_bLowestStackLayer && !m_bOwnBus)
        m_ClearClientEntriesBelow();
    m_DeleteWorkerAndWmi();
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::m_Remove OUT");
}

// The child below keeps per-client entries; those its clients no longer use are cleared.
void CPmFunctionalDevice::m_ClearClientEntriesBelow() {
    if (CPmPhysicalDevice* pBelow = CPmPhysicalDevice::sm_GetAttachedDevice(this))
        pBelow->m_ClearUnusedClientEntries();
}

NTSTATUS CPmFunctionalDevice::m_PnpBusRelations(PIRP pIrp) {
    PDEVICE_RELATIONS pOld = reinterpret_cast<PDEVICE_RELATIONS>(pIrp->IoStatus.Information);
    ULONG ulInitial = pOld ? pOld->Count : 0;
    PM_TRACE(PM_TRACE_FDO_PNP, "HandleBusRelations - FDO = %08x, InitialCount = %d", (ULONG)(ULONG_PTR)m_pDeviceObject, ulInitial);

    m_ChildListLock.m_Lock();
    ULONG ulCount = ulInitial + m_ChildList.m_GetCount();
    SIZE_T cbRelations = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (SIZE_T)(ulCount ? ulCount : 1) * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS pNew =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(NonPagedPool, cbRelations, PM_TAG_BUS_RELATIONS));
    if (!pNew) {
        m_ChildListLock.m_Unlock();
        return PmCompleteWithStatus(pIrp, STATUS_INSUFFICIENT_RESOURCES);
    }
    // Both lists hold more entries than the structure declares.
    PDEVICE_OBJECT* apNew = reinterpret_cast<PDEVICE_OBJECT*>(reinterpret_cast<PUCHAR>(pNew) + FIELD_OFFSET(DEVICE_RELATIONS, Objects));
    PDEVICE_OBJECT* apOld =
        pOld ? reinterpret_cast<PDEVICE_OBJECT*>(reinterpret_cast<PUCHAR>(pOld) + FIELD_OFFSET(DEVICE_RELATIONS, Objects)) : NULL;
    for (ULONG ulIndex = 0; ulIndex < ulInitial; ++ulIndex)
        apNew[ulIndex] = apOld[ulIndex];
    ULONG ulFilled = ulInitial;
    BOOLEAN bComplete = TRUE;
    for (PVOID pv = m_ChildList.m_GetFirst(); pv; pv = m_ChildList.m_GetNext()) {
        PmChildEntry* pEntry = static_cast<PmChildEntry*>(pv);
        if (!pEntry->m_pDeviceObject) {
            bComplete = FALSE;
            break;
        }
        ObReferenceObject(pEntry->m_pDeviceObject);
        apNew[ulFilled++] = pEntry->m_pDeviceObject;
    }
    m_ChildListLock.m_Unlock();

    if (!bComplete) {
        for (ULONG ulIndex = ulInitial; ulIndex < ulFilled; ++ulIndex)
            ObDereferenceObject(apNew[ulIndex]);
        ExFreePool(pNew);
        pIrp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        return m_PnpPassDown(pIrp);
    }
    for (ULONG ulIndex = ulInitial; ulIndex < ulFilled; ++ulIndex)
        PM_TRACE(PM_TRACE_FDO_PNP, "HandleBusRelations - PDO in list = %08x", (ULONG)(ULONG_PTR)apNew[ulIndex]);
    pNew->Count = ulFilled;
    PM_TRACE(PM_TRACE_FDO_PNP, "HandleBusRelations - Count = %d", ulFilled);
    if (pOld)
        ExFreePool(pOld);
    pIrp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(pNew);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    return m_PnpPassDown(pIrp);
}

NTSTATUS CPmFunctionalDevice::sm_QueryCapabilitiesCompletionRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp,
                                                                   PVOID pvContext) {
    CPmFunctionalDevice* pDevice = static_cast<CPmFunctionalDevice*>(pvContext);
    if (pIrp->PendingReturned)
        IoMarkIrpPending(pIrp);
    PDEVICE_CAPABILITIES pCapabilities = IoGetCurrentIrpStackLocation(pIrp)->Parameters.DeviceCapabilities.Capabilities;
    for (ULONG ulIndex = 0; ulIndex < PM_POWER_MAP_SIZE; ++ulIndex)
        pDevice->m_aulPowerMap[ulIndex] = pCapabilities->DeviceState[PowerSystemWorking + ulIndex];
    return pIrp->IoStatus.Status;
}

NTSTATUS CPmFunctionalDevice::m_PnpCapabilities(PIRP pIrp) {
    PDEVICE_CAPABILITIES pCapabilities =
        IoGetCurrentIrpStackLocation(pIrp)->Parameters.DeviceCapabilities.Capabilities;
    if (!pCapabilities || pCapabilities->Version != 1 || pCapabilities->Size != sizeof(DEVICE_CAPABILITIES))
        return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, sm_QueryCapabilitiesCompletionRoutine, this, TRUE, FALSE, FALSE);
    return IofCallDriver(m_pLowerDeviceObject, pIrp);
}
