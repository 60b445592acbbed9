// The framework's abstract device and its device-object helpers.
#include <pmdevice.h>
#include <pmcontrolqueue.h>
#include <pmdebugmanager.h>
#include <pmreadqueuecsq.h>
#include <pmwritequeuecsq.h>

const ULONG g_aulPmDeviceStateBits[PM_DEVICE_STATE_PAIRS] = {
    PNP_DEVICE_DISABLED,         PNP_DEVICE_DONT_DISPLAY_IN_UI, PNP_DEVICE_FAILED,
    PNP_DEVICE_NOT_DISABLEABLE,  PNP_DEVICE_REMOVED,            PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED,
};

CPmDevice::CPmDevice()
    : m_ulKind(PM_DEVICE_KIND_NONE), m_pDeviceObject(NULL), m_ulDevicePowerState(PowerDeviceUnspecified),
      m_pPairedDevice(NULL), m_pRedirectLink(NULL), m_pDriverObject(NULL), m_ulPnpState(PM_PNP_NOT_STARTED),
      m_pRecordQueue(NULL), m_pLowerStackReader(NULL), m_pReadQueue(NULL), m_pWriteQueue(NULL),
      m_pControlQueue(NULL) {
    m_liHalfSecond.QuadPart = -5000000;
    m_UsageLock.m_Init(FALSE);
    // Until the lower stack reports its capabilities: working in D0, asleep in D3.
    m_aulPowerMap[0] = PowerDeviceD0;
    for (ULONG ulIndex = 1; ulIndex < PM_POWER_MAP_SIZE; ++ulIndex)
        m_aulPowerMap[ulIndex] = PowerDeviceD3;
    RtlZeroMemory(m_aDeviceStatePairs, sizeof(m_aDeviceStatePairs));
}

CPmDevice::~CPmDevice() { m_DestroyQueues(); }

void CPmDevice::m_DestroyQueues() {
    if (m_pControlQueue) {
        PmDeleteObject(m_pControlQueue);
        m_pControlQueue = NULL;
    }
    if (m_pWriteQueue) {
        PmDeleteObject(m_pWriteQueue);
        m_pWriteQueue = NULL;
    }
    if (m_pReadQueue) {
        PmDeleteObject(m_pReadQueue);
        m_pReadQueue = NULL;
    }
}

void CPmDevice::m_DataForPendingReadArrived(CPmBuffer* pBuffer) {
    if (!m_pReadQueue) {
        if (pBuffer)
            pBuffer->m_Delete();
        return;
    }
    LARGE_INTEGER liFrequency;
    LARGE_INTEGER liStart = KeQueryPerformanceCounter(&liFrequency);
    m_pReadQueue->m_DataForPendingIrpArrived(pBuffer);
    LARGE_INTEGER liEnd = KeQueryPerformanceCounter(NULL);
    LONGLONG llMicroseconds =
        liFrequency.QuadPart ? (liEnd.QuadPart - liStart.QuadPart) * 1000000 / liFrequency.QuadPart : 0;
    PM_TRACE(PM_TRACE_READ_ARRIVAL, "CPmDevice::m_DataForPendingReadArrived TD=%dys", (LONG)llMicroseconds);
}

ULONG CPmDevice::m_GetAmountInReadQueue() { return m_pReadQueue ? m_pReadQueue->m_GetAmountInQueue() : 0; }

BOOLEAN CPmDevice::m_ApplyDeviceStatePairs(PULONG_PTR pulState) {
    BOOLEAN bAnyPending = FALSE;
    for (ULONG ulIndex = 0; ulIndex < PM_DEVICE_STATE_PAIRS; ++ulIndex) {
        PmDeviceStatePair& pair = m_aDeviceStatePairs[ulIndex];
        if (pair.m_ucPending != 1)
            continue;
        bAnyPending = TRUE;
        if (pair.m_ucValue == 1)
            *pulState |= g_aulPmDeviceStateBits[ulIndex];
        else if (pair.m_ucValue == 0)
            *pulState &= ~(ULONG_PTR)g_aulPmDeviceStateBits[ulIndex];
        pair.m_ucPending = 0;
    }
    return bAnyPending;
}

NTSTATUS CPmDevice::m_BuildLinkPath(const CPmString& linkName, CPmString& path) {
    NTSTATUS ntStatus = path.m_Assign(IoIsWdmVersionAvailable(1, 0x10) ? u"\\??\\" : u"\\DosDevices\\");
    if (NT_SUCCESS(ntStatus))
        ntStatus = path.m_AppendString(linkName);
    return ntStatus;
}

BOOLEAN CPmDevice::m_CreateDeviceObjectAndSymbolicLink(PDRIVER_OBJECT pDriverObject, const CPmString* pDeviceName,
                                                       DEVICE_TYPE ulDeviceType, const CPmString* pLinkName,
                                                       BOOLEAN bExclusive, CPmDevice* pDevice,
                                                       PDEVICE_OBJECT* ppDeviceObject) {
    *ppDeviceObject = NULL;
    CPmString deviceName(NonPagedPool);
    BOOLEAN bNamed = FALSE;
    if (pDeviceName && !pDeviceName->m_IsEmpty()) {
        if (!NT_SUCCESS(deviceName.m_Assign(u"\\Device\\")) || !NT_SUCCESS(deviceName.m_AppendString(*pDeviceName)))
            return FALSE;
        bNamed = TRUE;
    }
    PDEVICE_OBJECT pDeviceObject = NULL;
    UNICODE_STRING usName = *deviceName.m_GetUnicodeString();
    NTSTATUS ntStatus = IoCreateDevice(pDriverObject, PM_DEVICE_EXTENSION_SIZE, bNamed ? &usName : NULL, ulDeviceType,
                                       0, bExclusive, &pDeviceObject);
    if (!NT_SUCCESS(ntStatus) || !pDeviceObject)
        return FALSE;

    PmDeviceExtension* pExtension = sm_GetExtension(pDeviceObject);
    pExtension->m_pDevice = NULL;
    pExtension->m_UsageLock.m_Initialize(PM_USAGE_UNLIMITED);
    pExtension->m_pDevice = pDevice;
    pExtension->m_UsageLock.m_Init(TRUE);

    // A link needs a name to point at.
    if (bNamed && pLinkName && !pLinkName->m_IsEmpty()) {
        CPmString link(NonPagedPool);
        UNICODE_STRING usLink;
        ntStatus = m_BuildLinkPath(*pLinkName, link);
        if (NT_SUCCESS(ntStatus)) {
            usLink = *link.m_GetUnicodeString();
            ntStatus = IoCreateSymbolicLink(&usLink, &usName);
        }
        if (!NT_SUCCESS(ntStatus)) {
            pExtension->m_pDevice = NULL;
            IoDeleteDevice(pDeviceObject);
            return FALSE;
        }
    }
    *ppDeviceObject = pDeviceObject;
    return TRUE;
}

BOOLEAN CPmDevice::m_DeleteDeviceObjectAndSymbolicLink(PDEVICE_OBJECT pDeviceObject, const CPmString* pLinkName) {
    if (pLinkName && !pLinkName->m_IsEmpty()) {
        CPmString link(NonPagedPool);
        if (NT_SUCCESS(m_BuildLinkPath(*pLinkName, link))) {
            UNICODE_STRING usLink = *link.m_GetUnicodeString();
            IoDeleteSymbolicLink(&usLink);
        }
    }
    if (pDeviceObject)
        IoDeleteDevice(pDeviceObject);
    return TRUE;
}
