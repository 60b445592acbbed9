// The driver object wrapper: AddDevice, unload and the dispatch of every IRP to the framework
// device that owns the device object.
#include <pmdriver.h>
#include <pmdebugmanager.h>
#include <pmdevice.h>
#include <pmfunctionaldevice.h>
#include <pmirphelpers.h>

LONG g_lPmLiveDrivers = 0;

CPmDriver::CPmDriver()
    : m_RegistryPath(NonPagedPool), m_DeviceList(NonPagedPool), m_DriverName(NonPagedPool), m_FileName(NonPagedPool),
      m_pfnCreateDriverClass(NULL), m_pfnDestroyDriverClass(NULL), m_pfnUnloadCleanup(NULL), m_pfnCreateSettings(NULL),
      m_pfnRemoveHook(NULL) {
    m_liHalfSecond.QuadPart = -5000000;
    KeInitializeEvent(&m_kUnloadEvent, NotificationEvent, FALSE);
}

// The list holds device objects, which belong to their devices: only the nodes go.
CPmDriver::~CPmDriver() {
    m_FileName.m_Empty();
    m_DriverName.m_Empty();
    m_DeviceList.m_RemoveAll();
    m_RegistryPath.m_Empty();
}

NTSTATUS CPmDriver::m_DriverEntry(const PmDriverDescription* pDescription) {
    if (!NT_SUCCESS(m_RegistryPath.m_AssignUnicodeString(pDescription->m_pRegistryPath)))
        return (NTSTATUS)0xC0000150L;
    m_pfnCreateDriverClass = pDescription->m_pfnCreateDriverClass;
    m_pfnDestroyDriverClass = pDescription->m_pfnDestroyDriverClass;
    m_pfnUnloadCleanup = pDescription->m_pfnUnloadCleanup;
    m_pfnCreateSettings = pDescription->m_pfnCreateSettings;
    m_pfnRemoveHook = pDescription->m_pfnRemoveHook;
    NTSTATUS ntStatus = m_DriverName.m_Assign(pDescription->m_pszDriverName);
    if (!NT_SUCCESS(ntStatus))
        return ntStatus;
    ntStatus = m_FileName.m_Assign(pDescription->m_pszFileName);
    if (!NT_SUCCESS(ntStatus))
        return ntStatus;
    PM_TRACE(PM_TRACE_DISPATCH_IN, "m_DriverEntry IN");

    // The framework never starts I/O through the driver; the field carries the wrapper.
    PDRIVER_OBJECT pDriverObject = pDescription->m_pDriverObject;
    pDriverObject->DriverStartIo = reinterpret_cast<PDRIVER_STARTIO>(this);
    pDriverObject->DriverUnload = m_Unload;
    pDriverObject->DriverExtension->AddDevice = m_AddDevice;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = m_Dispatch_Create;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = m_Dispatch_Close;
    pDriverObject->MajorFunction[IRP_MJ_READ] = m_Dispatch_Read;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = m_Dispatch_Write;
    pDriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = m_Dispatch_QueryInformation;
    pDriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = m_Dispatch_SetInformation;
    pDriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = m_Dispatch_FlushBuffers;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = m_Dispatch_Device_Control;
    pDriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = m_Dispatch_InternalDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = m_Dispatch_Shutdown;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = m_Dispatch_Cleanup;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = m_Dispatch_Power;
    pDriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = m_Dispatch_SystemControl;
    pDriverObject->MajorFunction[IRP_MJ_PNP] = m_Dispatch_Pnp;
    PM_TRACE(PM_TRACE_DISPATCH_IN, "m_DriverEntry OUT - SUCCESS");
    return STATUS_SUCCESS;
}

BOOLEAN CPmDriver::m_AddToDeviceList(PDEVICE_OBJECT pDeviceObject) {
    m_SpinLock.m_Lock();
    BOOLEAN bAdded = m_DeviceList.m_Append(pDeviceObject) != NULL;
    m_SpinLock.m_Unlock();
    return bAdded;
}

void CPmDriver::m_RemoveFromDeviceList(PDEVICE_OBJECT pDeviceObject) {
    m_SpinLock.m_Lock();
    for (PVOID pv = m_DeviceList.m_GetFirst(); pv; pv = m_DeviceList.m_GetCurrent()) {
        if (pv == pDeviceObject) {
            m_DeviceList.m_RemoveAtCursor();
            break;
        }
        m_DeviceList.m_GetNext();
    }
    m_SpinLock.m_Unlock();
}

NTSTATUS CPmDriver::m_AddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject) {
    PM_TRACE(PM_TRACE_DISPATCH_IN, "m_AddDevice IN");
    CPmDriver* pDriver = sm_FromDriverObject(pDriverObject);
    CPmString registryPath(NonPagedPool);
    BOOLEAN bSuccess = FALSE;
    CPmFunctionalDevice* pDevice = NULL;
    if (pDriver && NT_SUCCESS(registryPath.m_Copy(pDriver->m_RegistryPath))) {
        pDevice = new (NonPagedPool)
            CPmFunctionalDevice(pDriverObject, pPhysicalDeviceObject, registryPath.m_GetUnicodeString(), &bSuccess);
    }
    if (!pDevice || !bSuccess) {
        delete pDevice;
        PM_TRACE(PM_TRACE_DISPATCH_OUT, "m_AddDevice OUT - failure");
        return STATUS_UNSUCCESSFUL;
    }
    PM_TRACE(PM_TRACE_DISPATCH_OUT, "m_AddDevice OUT - SUCCESS");
    return STATUS_SUCCESS;
}

void CPmDriver::m_Unload(PDRIVER_OBJECT pDriverObject) {
    CPmDriver* pDriver = sm_FromDriverObject(pDriverObject);
    if (pDriver) {
        // Every supported system has WDM 1.10: removals never wait for unload, so the wrapper goes here.
        PPM_UNLOAD_CLEANUP pfnUnloadCleanup = pDriver->m_pfnUnloadCleanup;
        pDriverObject->DriverStartIo = NULL;
        delete pDriver;
        if (pfnUnloadCleanup)
            pfnUnloadCleanup();
        InterlockedDecrement(&g_lPmLiveDrivers);
    } else {
        PmDriverUnloadCleanup();
    }
    if (IoIsWdmVersionAvailable(1, 0x20))
        CPmDebugManager::m_CleanupTracing(pDriverObject);
}

NTSTATUS CPmDriver::m_LookupDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, UCHAR ucMajorFunction, BOOLEAN bRedirect,
                                   CPmDevice** ppDevice) {
    *ppDevice = NULL;
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pStack->MajorFunction != ucMajorFunction)
        return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);

    PmDeviceExtension* pExtension = CPmDevice::sm_GetExtension(pDeviceObject);
    CPmDevice* pDevice = NULL;
    if (pExtension && pExtension->m_UsageLock.m_Acquire()) {
        pDevice = pExtension->m_pDevice;
        if (!pDevice)
            pExtension->m_UsageLock.m_Release();
    }
    if (!pDevice) {
        if (ucMajorFunction == IRP_MJ_POWER)
            PoStartNextPowerIrp(pIrp);
        return PmCompleteWithStatus(pIrp, STATUS_DELETE_PENDING);
    }

    CPmDriver* pDriver = sm_FromDriverObject(pDeviceObject->DriverObject);
    if (bRedirect && pDriver) {
        pDriver->m_SpinLock.m_Lock();
        PmDeviceExtension* pLinked = CPmDevice::sm_GetExtension(pDevice->m_pRedirectLink);
        if (pLinked && pLinked->m_UsageLock.m_Acquire()) {
            if (pLinked->m_pDevice) {
                pExtension->m_UsageLock.m_Release();
                pDevice = pLinked->m_pDevice;
            } else {
                pLinked->m_UsageLock.m_Release();
            }
        }
        pDriver->m_SpinLock.m_Unlock();
    }
    *ppDevice = pDevice;
    return STATUS_SUCCESS;
}

NTSTATUS CPmDriver::m_CallDevice(CPmDevice* pDevice, UCHAR ucMajorFunction, PIRP pIrp) {
    switch (ucMajorFunction) {
    case IRP_MJ_CREATE:
        return pDevice->m_Dispatch_Create(pIrp);
    case IRP_MJ_CLOSE:
        return pDevice->m_Dispatch_Close(pIrp);
    case IRP_MJ_READ:
        return pDevice->m_Dispatch_Read(pIrp);
    case IRP_MJ_WRITE:
        return pDevice->m_Dispatch_Write(pIrp);
    case IRP_MJ_FLUSH_BUFFERS:
        return pDevice->m_Dispatch_FlushBuffers(pIrp);
    case IRP_MJ_DEVICE_CONTROL:
        return pDevice->m_Dispatch_DeviceControl(pIrp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return pDevice->m_Dispatch_InternalDeviceControl(pIrp);
    case IRP_MJ_SHUTDOWN:
        return pDevice->m_Dispatch_Shutdown(pIrp);
    case IRP_MJ_CLEANUP:
        return pDevice->m_Dispatch_Cleanup(pIrp);
    case IRP_MJ_POWER:
        return pDevice->m_Dispatch_Power(pIrp);
    case IRP_MJ_SYSTEM_CONTROL:
        return pDevice->m_Dispatch_SystemControl(pIrp);
    case IRP_MJ_PNP:
        return pDevice->m_Dispatch_Pnp(pIrp);
    }
    return PmCompleteWithStatus(pIrp, STATUS_INVALID_DEVICE_REQUEST);
}

void CPmDriver::m_ReleaseDevice(CPmDevice* pDevice) {
    PmDeviceExtension* pExtension = CPmDevice::sm_GetExtension(pDevice->m_GetUsageLock());
    if (pExtension)
        pExtension->m_UsageLock.m_Release();
}

NTSTATUS CPmDriver::m_Dispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, UCHAR ucMajorFunction, BOOLEAN bRedirect,
                               PCSTR pszName) {
    PM_TRACE(PM_TRACE_DISPATCH_IN, "%s IN", pszName);
    CPmDevice* pDevice;
    NTSTATUS ntStatus = m_LookupDevice(pDeviceObject, pIrp, ucMajorFunction, bRedirect, &pDevice);
    if (pDevice) {
        ntStatus = m_CallDevice(pDevice, ucMajorFunction, pIrp);
        m_ReleaseDevice(pDevice);
    }
    PM_TRACE(PM_TRACE_DISPATCH_OUT, "%s OUT - %08x", pszName, ntStatus);
    return ntStatus;
}

NTSTATUS CPmDriver::m_Dispatch_Create(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_CREATE, TRUE, "m_Dispatch_Create");
}

NTSTATUS CPmDriver::m_Dispatch_Close(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_CLOSE, TRUE, "m_Dispatch_Close");
}

NTSTATUS CPmDriver::m_Dispatch_Read(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_READ, TRUE, "m_Dispatch_Read");
}

NTSTATUS CPmDriver::m_Dispatch_Write(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_WRITE, TRUE, "m_Dispatch_Write");
}

NTSTATUS CPmDriver::m_Dispatch_FlushBuffers(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_FLUSH_BUFFERS, TRUE, "m_Dispatch_FlushBuffers");
}

NTSTATUS CPmDriver::m_Dispatch_Device_Control(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_DEVICE_CONTROL, TRUE, "m_Dispatch_Device_Control");
}

NTSTATUS CPmDriver::m_Dispatch_InternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_INTERNAL_DEVICE_CONTROL, TRUE, "m_Dispatch_InternalDeviceControl");
}

NTSTATUS CPmDriver::m_Dispatch_Shutdown(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_SHUTDOWN, TRUE, "m_Dispatch_Shutdown");
}

NTSTATUS CPmDriver::m_Dispatch_Cleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_CLEANUP, TRUE, "m_Dispatch_Cleanup");
}

NTSTATUS CPmDriver::m_Dispatch_Power(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_POWER, FALSE, "m_Dispatch_Power");
}

NTSTATUS CPmDriver::m_Dispatch_SystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return m_Dispatch(pDeviceObject, pIrp, IRP_MJ_SYSTEM_CONTROL, TRUE, "m_Dispatch_SystemControl");
}

NTSTATUS CPmDriver::m_Dispatch_QueryInformation(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    PM_TRACE(PM_TRACE_DISPATCH_IN, "m_Dispatch_QueryInformation always STATUS_UNSUCCESSFUL");
    return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
}

NTSTATUS CPmDriver::m_Dispatch_SetInformation(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    PM_TRACE(PM_TRACE_DISPATCH_IN, "m_Dispatch_SetInformation always STATUS_UNSUCCESSFUL");
    return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
}

NTSTATUS CPmDriver::m_Dispatch_Pnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    PM_TRACE(PM_TRACE_DISPATCH_IN, "m_Dispatch_Pnp IN");
    CPmDevice* pDevice;
    NTSTATUS ntStatus = m_LookupDevice(pDeviceObject, pIrp, IRP_MJ_PNP, FALSE, &pDevice);
    if (!pDevice) {
        PM_TRACE(PM_TRACE_DISPATCH_OUT, "m_Dispatch_Pnp OUT - failure %08x", ntStatus);
        return ntStatus;
    }
    UCHAR ucMinorFunction = IoGetCurrentIrpStackLocation(pIrp)->MinorFunction;
    ntStatus = pDevice->m_Dispatch_Pnp(pIrp);
    PM_TRACE(PM_TRACE_DISPATCH_OUT, "m_Dispatch_Pnp DO = %08x - end - %08x", (ULONG)(ULONG_PTR)pDeviceObject, ntStatus);
    BOOLEAN bRemoved = ucMinorFunction == IRP_MN_REMOVE_DEVICE && NT_SUCCESS(ntStatus) && pDevice->m_IsDeletedByRemoval();
    m_ReleaseDevice(pDevice);
    if (bRemoved) {
        PmDeviceExtension* pExtension = CPmDevice::sm_GetExtension(pDeviceObject);
        pExtension->m_UsageLock.m_DisableAndWait();
        // The extension is part of the device object that the destructor deletes.
        pExtension->m_pDevice = NULL;
        delete pDevice;
    }
    PM_TRACE(PM_TRACE_DISPATCH_OUT, "m_Dispatch_Pnp OUT - %08x", ntStatus);
    return ntStatus;
}
