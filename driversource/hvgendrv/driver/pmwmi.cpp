// WMI registration and dispatch. WMILIB checks a request against the registration and calls the
// callbacks below, which find this object through the device extension (under its usage lock, so
// that the device cannot go meanwhile), check the request against the driver's block table and
// call the driver.
#include <pmwmi.h>

#include <pmdebugmanager.h>

static const CHAR s_szSourcePath[] = "driversource\\hvgendrv\\driver\\pmwmi.cpp";

static inline ULONG PmAlign8(ULONG ulValue) { return (ulValue + 7) & ~7u; }

CWmi::CWmi(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pLowerDeviceObject, PDEVICE_OBJECT pPhysicalDeviceObject,
           PCUNICODE_STRING pRegistryPath, const PmWmiGuidEntry* pGuidTable, ULONG ulGuidCount,
           const PmDriverCallbacks* pCallbacks, CPmDriverClass* pDriverObject, BOOLEAN* pbSuccess)
    : m_pDriverObject(pDriverObject), m_pfnGetRequiredSize(pCallbacks ? pCallbacks->m_WmiGetRequiredSizeCallback : NULL),
      m_pfnQueryDataBlock(pCallbacks ? pCallbacks->m_WmiQueryDataBlockCallback : NULL),
      m_pfnSetDataBlock(pCallbacks ? pCallbacks->m_WmiSetDataBlockCallback : NULL),
      m_pfnSetDataItem(pCallbacks ? pCallbacks->m_WmiSetDataItemCallback : NULL),
      m_pfnGetRequiredSizeForMethod(pCallbacks ? pCallbacks->m_WmiGetRequiredSizeForMethodCallback : NULL),
      m_pfnExecuteMethod(pCallbacks ? pCallbacks->m_WmiExecuteMethodCallback : NULL),
      m_pfnFunctionControl(pCallbacks ? pCallbacks->m_WmiFunctionControlCallback : NULL),
      m_pDeviceObject(pDeviceObject), m_pLowerDeviceObject(pLowerDeviceObject),
      m_pPhysicalDeviceObject(pPhysicalDeviceObject), m_pRegistration(NULL), m_bRegistrationGiven(FALSE),
      m_pGuidTable(pGuidTable), m_ulGuidCount(ulGuidCount), m_bRegistered(FALSE) {
    *pbSuccess = FALSE;
    RtlZeroMemory(&m_RegistryPath, sizeof(m_RegistryPath));
    RtlZeroMemory(&m_WmiLibContext, sizeof(m_WmiLibContext));

    USHORT usPathBytes = pRegistryPath ? pRegistryPath->Length : 0;
    m_RegistryPath.Buffer = static_cast<PWCH>(PmAllocateZeroedMemory(usPathBytes + sizeof(WCHAR), NonPagedPool));
    if (!m_RegistryPath.Buffer)
        return;
    if (usPathBytes)
        RtlCopyMemory(m_RegistryPath.Buffer, pRegistryPath->Buffer, usPathBytes);
    m_RegistryPath.Length = usPathBytes;
    m_RegistryPath.MaximumLength = usPathBytes + sizeof(WCHAR);

    if (ulGuidCount > (MAXULONG / sizeof(WMIGUIDREGINFO)) - PM_WMI_FRAMEWORK_GUIDS)
        return;
    ULONG ulEntries = ulGuidCount + PM_WMI_FRAMEWORK_GUIDS;
    m_pRegistration =
        static_cast<PWMIGUIDREGINFO>(PmAllocateZeroedMemory(ulEntries * sizeof(WMIGUIDREGINFO), NonPagedPool));
    if (!m_pRegistration)
        return;
    if (ulGuidCount && !pGuidTable) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return;
    }
    for (ULONG ulIndex = 0; ulIndex < ulGuidCount; ++ulIndex) {
        m_pRegistration[ulIndex].Guid = pGuidTable[ulIndex].m_pGuid;
        m_pRegistration[ulIndex].InstanceCount = pGuidTable[ulIndex].m_ulInstanceCount;
        m_pRegistration[ulIndex].Flags =
            WMIREG_FLAG_INSTANCE_PDO | (pGuidTable[ulIndex].m_ucExpensive == 1 ? WMIREG_FLAG_EXPENSIVE : 0);
    }
    // The trace control GUIDs the debug manager's messages are enabled through.
    for (ULONG ulIndex = 0; ulIndex < PM_WMI_FRAMEWORK_GUIDS; ++ulIndex) {
        m_pRegistration[ulGuidCount + ulIndex].Guid = &g_aPmTraceControlGuids[ulIndex];
        m_pRegistration[ulGuidCount + ulIndex].InstanceCount = 1;
        m_pRegistration[ulGuidCount + ulIndex].Flags = 0;
    }
    m_WmiLibContext.GuidCount = ulEntries;
    m_WmiLibContext.GuidList = m_pRegistration;
    m_WmiLibContext.QueryWmiRegInfo = sm_QueryWmiRegInfo;
    m_WmiLibContext.QueryWmiDataBlock = sm_QueryWmiDataBlock;
    m_WmiLibContext.SetWmiDataBlock = sm_SetWmiDataBlock;
    m_WmiLibContext.SetWmiDataItem = sm_SetWmiDataItem;
    m_WmiLibContext.ExecuteWmiMethod = sm_ExecuteWmiMethod;
    m_WmiLibContext.WmiFunctionControl = NULL;

    if (!NT_SUCCESS(IoWMIRegistrationControl(pDeviceObject, WMIREG_ACTION_REGISTER)))
        return;
    m_bRegistered = TRUE;
    *pbSuccess = TRUE;
}

CWmi::~CWmi() {
    if (m_bRegistered)
        IoWMIRegistrationControl(m_pDeviceObject, WMIREG_ACTION_DEREGISTER);
    m_bRegistered = FALSE;
    m_bRegistrationGiven = FALSE;
    PmFreeMemory(m_RegistryPath.Buffer);
    PmFreeMemory(m_pRegistration);
}

NTSTATUS CWmi::m_SystemControl(PIRP pIrp) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    UCHAR ucMinor = pStack->MinorFunction;
    if (pStack->Parameters.WMI.ProviderId == (ULONG_PTR)m_pDeviceObject) {
        if (ucMinor == IRP_MN_REGINFO && !m_bRegistrationGiven && pStack->Parameters.WMI.Buffer)
            RtlZeroMemory(pStack->Parameters.WMI.Buffer, pStack->Parameters.WMI.BufferSize);
        if (ucMinor == IRP_MN_REGINFO_EX && !IoIsWdmVersionAvailable(1, 0x20)) {
            pIrp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            pIrp->IoStatus.Information = 0;
            IoCompleteRequest(pIrp, IO_NO_INCREMENT);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    SYSCTL_IRP_DISPOSITION disposition = IrpForward;
    NTSTATUS ntStatus = WmiSystemControl(&m_WmiLibContext, m_pDeviceObject, pIrp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        return ntStatus;
    case IrpNotCompleted: {
        // Trace control requests of a per-device tracing registration; without one the handler
        // refuses and WMILIB's answer stands.
        ULONG ulSize = 0;
        NTSTATUS ntTraceStatus = WppTraceControl(m_pDeviceObject, ucMinor, pStack->Parameters.WMI.Buffer,
                                                 pStack->Parameters.WMI.BufferSize, &ulSize);
        ntStatus = pIrp->IoStatus.Status;
        if (!NT_SUCCESS(ntStatus) && NT_SUCCESS(ntTraceStatus)) {
            ntStatus = ntTraceStatus;
            pIrp->IoStatus.Status = ntStatus;
            pIrp->IoStatus.Information = ulSize;
        }
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return ntStatus;
    }
    default:
        IoSkipCurrentIrpStackLocation(pIrp);
        return IoCallDriver(m_pLowerDeviceObject, pIrp);
    }
}

// ---------------------------------------------------------------------------------------------
// WMILIB callbacks

// The device's CWmi with the extension's usage lock taken, or the status to answer with.
static NTSTATUS PmEnterWmi(PDEVICE_OBJECT pDeviceObject, CWmi** ppWmi, CPmUsageLock** ppLock) {
    *ppWmi = NULL;
    *ppLock = NULL;
    PmDeviceExtension* pExtension = CPmDevice::sm_GetExtension(pDeviceObject);
    if (!pExtension || !pExtension->m_UsageLock.m_Acquire())
        return STATUS_DELETE_PENDING;
    CPmDevice* pDevice = pExtension->m_pDevice;
    CWmi* pWmi = (pDevice && pDevice->m_ulKind == PM_DEVICE_KIND_FUNCTIONAL)
                     ? static_cast<CPmFunctionalDevice*>(pDevice)->m_pWmi
                     : NULL;
    if (!pWmi) {
        pExtension->m_UsageLock.m_Release();
        return STATUS_UNSUCCESSFUL;
    }
    *ppWmi = pWmi;
    *ppLock = &pExtension->m_UsageLock;
    return STATUS_SUCCESS;
}

NTSTATUS CWmi::sm_QueryWmiRegInfo(PDEVICE_OBJECT pDeviceObject, PULONG pulRegFlags, PUNICODE_STRING pInstanceName,
                                  PUNICODE_STRING* ppRegistryPath, PUNICODE_STRING pMofResourceName,
                                  PDEVICE_OBJECT* ppPdo) {
    CWmi* pWmi;
    CPmUsageLock* pLock;
    NTSTATUS ntStatus = PmEnterWmi(pDeviceObject, &pWmi, &pLock);
    if (!NT_SUCCESS(ntStatus))
        return ntStatus;
    *pulRegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *ppRegistryPath = &pWmi->m_RegistryPath;
    *ppPdo = pWmi->m_pPhysicalDeviceObject;
    pWmi->m_bRegistrationGiven = TRUE;
    pLock->m_Release();
    return STATUS_SUCCESS;
}

NTSTATUS CWmi::m_QueryDataBlock(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulInstanceCount,
                                PULONG pulInstanceLengths, ULONG ulBufferAvail, PUCHAR pucBuffer, PULONG pulSize) {
    *pulSize = 0;
    if (ulGuidIndex >= m_ulGuidCount)
        return STATUS_WMI_GUID_NOT_FOUND;
    const PmWmiGuidEntry& entry = m_pGuidTable[ulGuidIndex];
    if (ulInstanceCount == 0 || (ulInstanceIndex != 0 && ulInstanceCount != 1) ||
        ulInstanceIndex >= entry.m_ulInstanceCount || (ulInstanceIndex == 0 && ulInstanceCount > entry.m_ulInstanceCount))
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    // Each instance at its own offset, aligned to 8 bytes, as WMI lays out several instances.
    ULONG ulTotal = 0;
    for (ULONG ulIndex = 0; ulIndex < ulInstanceCount; ++ulIndex) {
        ULONG ulSize = entry.m_ulFixedSize;
        if (!ulSize) {
            if (!m_pfnGetRequiredSize) {
                PM_ASSERTION_LINE(s_szSourcePath);
                return STATUS_UNSUCCESSFUL;
            }
            if (!m_pfnGetRequiredSize(m_pDriverObject, ulGuidIndex, ulInstanceIndex + ulIndex, &ulSize))
                return STATUS_UNSUCCESSFUL;
        }
        pulInstanceLengths[ulIndex] = ulSize;
        ULONG ulStart = ulIndex ? PmAlign8(ulTotal) : 0;
        if (ulStart < ulTotal || ulSize > MAXULONG - ulStart)
            return STATUS_UNSUCCESSFUL;
        ulTotal = ulStart + ulSize;
    }
    if (ulBufferAvail < ulTotal) {
        *pulSize = ulTotal;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!m_pfnQueryDataBlock)
        return STATUS_UNSUCCESSFUL;
    ULONG ulOffset = 0;
    for (ULONG ulIndex = 0; ulIndex < ulInstanceCount; ++ulIndex) {
        if (!m_pfnQueryDataBlock(m_pDriverObject, ulGuidIndex, ulInstanceIndex + ulIndex, pucBuffer + ulOffset))
            return STATUS_UNSUCCESSFUL;
        ulOffset = PmAlign8(ulOffset + pulInstanceLengths[ulIndex]);
    }
    *pulSize = ulTotal;
    return STATUS_SUCCESS;
}

NTSTATUS CWmi::sm_QueryWmiDataBlock(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex,
                                    ULONG ulInstanceCount, PULONG pulInstanceLengthArray, ULONG ulBufferAvail,
                                    PUCHAR pucBuffer) {
    CWmi* pWmi;
    CPmUsageLock* pLock;
    ULONG ulSize = 0;
    NTSTATUS ntStatus = PmEnterWmi(pDeviceObject, &pWmi, &pLock);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = pWmi->m_QueryDataBlock(ulGuidIndex, ulInstanceIndex, ulInstanceCount, pulInstanceLengthArray,
                                          ulBufferAvail, pucBuffer, &ulSize);
        pLock->m_Release();
    }
    return WmiCompleteRequest(pDeviceObject, pIrp, ntStatus, ulSize, IO_NO_INCREMENT);
}

NTSTATUS CWmi::m_SetDataBlock(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulBufferSize, PUCHAR pucBuffer) {
    if (!m_pfnSetDataBlock)
        return STATUS_WMI_READ_ONLY;
    if (ulGuidIndex >= m_ulGuidCount)
        return STATUS_WMI_GUID_NOT_FOUND;
    const PmWmiGuidEntry& entry = m_pGuidTable[ulGuidIndex];
    if (entry.m_ulReadOnly)
        return STATUS_WMI_READ_ONLY;
    if (ulInstanceIndex >= entry.m_ulInstanceCount)
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    if (entry.m_ulFixedSize > ulBufferSize)
        return STATUS_BUFFER_TOO_SMALL;
    if (!m_pfnSetDataBlock(m_pDriverObject, ulGuidIndex, ulInstanceIndex, entry.m_ulFixedSize ? 0 : ulBufferSize,
                           pucBuffer))
        return STATUS_WMI_SET_FAILURE;
    return STATUS_SUCCESS;
}

NTSTATUS CWmi::sm_SetWmiDataBlock(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex,
                                  ULONG ulBufferSize, PUCHAR pucBuffer) {
    return sm_Set(pDeviceObject, pIrp, ulGuidIndex, ulInstanceIndex, FALSE, 0, ulBufferSize, pucBuffer);
}

NTSTATUS CWmi::m_SetDataItem(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulItemId, ULONG ulBufferSize,
                             PUCHAR pucBuffer) {
    if (!m_pfnSetDataItem)
        return STATUS_WMI_READ_ONLY;
    if (ulGuidIndex >= m_ulGuidCount)
        return STATUS_WMI_GUID_NOT_FOUND;
    const PmWmiGuidEntry& entry = m_pGuidTable[ulGuidIndex];
    if (entry.m_ulReadOnly)
        return STATUS_WMI_READ_ONLY;
    if (ulInstanceIndex >= entry.m_ulInstanceCount)
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    if (ulItemId >= entry.m_ulItemCount)
        return STATUS_WMI_ITEMID_NOT_FOUND;
    if (entry.m_ulFixedSize > ulBufferSize)
        return STATUS_BUFFER_TOO_SMALL;
    if (!m_pfnSetDataItem(m_pDriverObject, ulGuidIndex, ulInstanceIndex, ulItemId,
                          entry.m_ulFixedSize ? 0 : ulBufferSize, pucBuffer))
        return STATUS_WMI_SET_FAILURE;
    return STATUS_SUCCESS;
}

NTSTATUS CWmi::sm_SetWmiDataItem(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex,
                                 ULONG ulDataItemId, ULONG ulBufferSize, PUCHAR pucBuffer) {
    return sm_Set(pDeviceObject, pIrp, ulGuidIndex, ulInstanceIndex, TRUE, ulDataItemId, ulBufferSize, pucBuffer);
}

NTSTATUS CWmi::sm_Set(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex, BOOLEAN bItem,
                      ULONG ulItemId, ULONG ulBufferSize, PUCHAR pucBuffer) {
    CWmi* pWmi;
    CPmUsageLock* pLock;
    NTSTATUS ntStatus = PmEnterWmi(pDeviceObject, &pWmi, &pLock);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = bItem ? pWmi->m_SetDataItem(ulGuidIndex, ulInstanceIndex, ulItemId, ulBufferSize, pucBuffer)
                         : pWmi->m_SetDataBlock(ulGuidIndex, ulInstanceIndex, ulBufferSize, pucBuffer);
        pLock->m_Release();
    }
    return WmiCompleteRequest(pDeviceObject, pIrp, ntStatus, ulBufferSize, IO_NO_INCREMENT);
}

NTSTATUS CWmi::m_ExecuteMethod(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulMethodId, ULONG ulInputSize,
                               ULONG ulOutputSize, PUCHAR pucBuffer, PULONG pulSize) {
    *pulSize = 0;
    if (!m_pfnExecuteMethod)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (ulGuidIndex >= m_ulGuidCount)
        return STATUS_WMI_GUID_NOT_FOUND;
    const PmWmiGuidEntry& entry = m_pGuidTable[ulGuidIndex];
    if (ulInstanceIndex >= entry.m_ulInstanceCount)
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    if (ulMethodId >= entry.m_ulMethodCount)
        return STATUS_WMI_ITEMID_NOT_FOUND;
    ULONG ulRequired = entry.m_ulFixedSize;
    if (!ulRequired) {
        if (!m_pfnGetRequiredSizeForMethod) {
            PM_ASSERTION_LINE(s_szSourcePath);
            return STATUS_UNSUCCESSFUL;
        }
        if (!m_pfnGetRequiredSizeForMethod(m_pDriverObject, ulGuidIndex, ulInstanceIndex, ulMethodId, &ulRequired))
            return STATUS_UNSUCCESSFUL;
    }
    if (ulInputSize < ulRequired || ulOutputSize < ulRequired) {
        *pulSize = ulRequired;
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG ulInput = ulInputSize;
    ULONG ulOutput = ulOutputSize;
    if (!m_pfnExecuteMethod(m_pDriverObject, ulGuidIndex, ulInstanceIndex, &ulInput, &ulOutput, pucBuffer))
        return STATUS_UNSUCCESSFUL;
    if (ulInput <= ulInputSize && ulOutput <= ulOutputSize) {
        *pulSize = ulOutput;
        return STATUS_SUCCESS;
    }
    *pulSize = ulInput > ulOutput ? ulInput : ulOutput;
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS CWmi::sm_ExecuteWmiMethod(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex,
                                   ULONG ulMethodId, ULONG ulInBufferSize, ULONG ulOutBufferSize, PUCHAR pucBuffer) {
    CWmi* pWmi;
    CPmUsageLock* pLock;
    ULONG ulSize = 0;
    NTSTATUS ntStatus = PmEnterWmi(pDeviceObject, &pWmi, &pLock);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = pWmi->m_ExecuteMethod(ulGuidIndex, ulInstanceIndex, ulMethodId, ulInBufferSize, ulOutBufferSize,
                                         pucBuffer, &ulSize);
        pLock->m_Release();
    }
    return WmiCompleteRequest(pDeviceObject, pIrp, ntStatus, ulSize, IO_NO_INCREMENT);
}
