// The lower-stack reader of a framework functional device: a thread that reads each record the
// physical device below announces and hands it to the driver.
#include <pmlowerstackio.h>
#include <pmdebugmanager.h>
#include <pmirphelpers.h>

static const CHAR s_szSourcePath[] = "driversource\\hvgendrv\\driver\\pmlowerstackreader";

// How long one read may wait below before it is cancelled and sent again.
#define PM_READER_READ_TIMEOUT (-50000000LL)
// After a read that failed (or found no memory), the pause before the next try.
#define PM_READER_RETRY_PAUSE (-5000000LL)

CPmLowerStackReader::CPmLowerStackReader(PDEVICE_OBJECT pTargetDevice)
    : m_pfnDelivery(NULL), m_pvContext(NULL), m_pTargetDevice(pTargetDevice), m_pkNotificationEvent(NULL),
      m_ulSizeWord(0), m_hThread(NULL), m_pThreadObject(NULL), m_pDetachIrp(NULL) {
    m_liOpenTimeout.QuadPart = -5000000;
    KeInitializeEvent(&m_kStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_kThreadFinishedEvent, NotificationEvent, FALSE);
    RtlZeroMemory(&m_DetachRecord, sizeof(m_DetachRecord));
}

CPmLowerStackReader::~CPmLowerStackReader() {
    if (!m_IsOpen())
        return;
    KeSetEvent(&m_kStopEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(m_pkNotificationEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&m_kThreadFinishedEvent, Executive, KernelMode, FALSE, NULL);
    if (m_pThreadObject) {
        // Past the finished event the routine still runs to its end, in this image.
        KeWaitForSingleObject(m_pThreadObject, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(m_pThreadObject);
        m_pThreadObject = NULL;
    }
    ZwClose(m_hThread);
    m_hThread = NULL;
    m_Detach();
    PmTimedClose(&m_liOpenTimeout, m_pTargetDevice);
    m_ReleaseOpenParts();
}

void CPmLowerStackReader::m_ReleaseOpenParts() {
    if (m_pDetachIrp) {
        IoFreeIrp(m_pDetachIrp);
        m_pDetachIrp = NULL;
    }
    if (m_pkNotificationEvent) {
        ExFreePoolWithTag(m_pkNotificationEvent, PM_TAG_POOL);
        m_pkNotificationEvent = NULL;
    }
    m_ulSizeWord = 0;
}

// The attach with both pointers NULL, in the IRP kept for it.
void CPmLowerStackReader::m_Detach() {
    PIRP pIrp = m_pDetachIrp;
    IoReuseIrp(pIrp, STATUS_NOT_SUPPORTED);
    RtlZeroMemory(&m_DetachRecord, sizeof(m_DetachRecord));
    pIrp->AssociatedIrp.SystemBuffer = &m_DetachRecord;
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(pIrp);
    pStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HVGENDRV_ATTACH_NOTIFIER;
    pStack->Parameters.DeviceIoControl.InputBufferLength = sizeof(m_DetachRecord);
    pStack->Parameters.DeviceIoControl.OutputBufferLength = 0;
    BOOLEAN bExpired;
    NTSTATUS ntStatus = PmSendOwnIrp(m_pTargetDevice, pIrp, NULL, NULL, &bExpired);
    if (!NT_SUCCESS(ntStatus))
        PM_TRACE(PM_TRACE_FDO, "CPmLowerStackReader::m_Detach - %08x", (ULONG)ntStatus);
}

BOOLEAN CPmLowerStackReader::m_Open(PPM_RECORD_DELIVERY pfnDelivery, PVOID pvContext) {
    if (!pfnDelivery || m_IsOpen() || !m_pTargetDevice) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    BOOLEAN bExpired;
    NTSTATUS ntStatus =
        PmSendOwnRequest(m_pTargetDevice, IRP_MJ_CREATE, NULL, 0, &m_liOpenTimeout, NULL, NULL, &bExpired);
    if (!NT_SUCCESS(ntStatus)) {
        PM_TRACE(PM_TRACE_FDO, "CPmLowerStackReader::m_Open - create %08x", (ULONG)ntStatus);
        return FALSE;
    }
    m_pfnDelivery = pfnDelivery;
    m_pvContext = pvContext;
    m_pkNotificationEvent =
        static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), PM_TAG_POOL));
    m_pDetachIrp = IoAllocateIrp((CCHAR)(m_pTargetDevice->StackSize + 1), FALSE);
    BOOLEAN bOpened = FALSE;
    if (m_pkNotificationEvent && m_pDetachIrp) {
        KeInitializeEvent(m_pkNotificationEvent, NotificationEvent, FALSE);
        PmNotifierRecord record = {m_pkNotificationEvent, const_cast<PULONG>(&m_ulSizeWord)};
        if (PmSendAttachNotifier(m_pTargetDevice, &record)) {
            bOpened = m_StartThread();
            if (!bOpened)
                m_Detach();
        }
    }
    if (!bOpened) {
        PmTimedClose(&m_liOpenTimeout, m_pTargetDevice);
        m_ReleaseOpenParts();
        m_pfnDelivery = NULL;
        m_pvContext = NULL;
        PM_TRACE(PM_TRACE_FDO, "CPmLowerStackReader::m_Open - ERROR");
        return FALSE;
    }
    PM_TRACE(PM_TRACE_FDO, "CPmLowerStackReader::m_Open - SUCCESS");
    return TRUE;
}

BOOLEAN CPmLowerStackReader::m_StartThread() {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE hThread = NULL;
    if (!NT_SUCCESS(PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                         sm_ThreadRoutine, this)))
        return FALSE;
    m_hThread = hThread;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                              &m_pThreadObject, NULL)))
        m_pThreadObject = NULL;
    return TRUE;
}

void CPmLowerStackReader::sm_ThreadRoutine(PVOID pvContext) {
    CPmLowerStackReader* pThis = static_cast<CPmLowerStackReader*>(pvContext);
    PVOID apvObjects[2] = {&pThis->m_kStopEvent, pThis->m_pkNotificationEvent};
    LARGE_INTEGER liPause;
    liPause.QuadPart = PM_READER_RETRY_PAUSE;
    for (;;) {
        NTSTATUS ntWait =
            KeWaitForMultipleObjects(2, apvObjects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (ntWait != STATUS_WAIT_1 || pThis->m_IsStopping())
            break;
        if (!pThis->m_ReadAndDeliver() && KeWaitForSingleObject(&pThis->m_kStopEvent, Executive, KernelMode,
                                                                FALSE, &liPause) != STATUS_TIMEOUT)
            break;
    }
    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
    KeSetEvent(&pThis->m_kThreadFinishedEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// A read that waits too long below is cancelled and sent again, until the reader stops.
NTSTATUS CPmLowerStackReader::m_ReadRecord(PUCHAR pucRecord, ULONG ulLength) {
    LARGE_INTEGER liTimeout;
    liTimeout.QuadPart = PM_READER_READ_TIMEOUT;
    for (;;) {
        BOOLEAN bExpired = FALSE;
        ULONG_PTR ulInformation = 0;
        NTSTATUS ntStatus = PmSendOwnRequest(m_pTargetDevice, IRP_MJ_READ, pucRecord, ulLength, &liTimeout,
                                             &m_kStopEvent, &ulInformation, &bExpired);
        if (m_IsStopping())
            return STATUS_CANCELLED;
        if (bExpired) {
            PM_TRACE(PM_TRACE_FDO, "CPmLowerStackReader read timed out - retrying");
            continue;
        }
        if (NT_SUCCESS(ntStatus) && ulInformation != ulLength)
            ntStatus = STATUS_UNSUCCESSFUL;
        return ntStatus;
    }
}

BOOLEAN CPmLowerStackReader::m_ReadAndDeliver() {
    ULONG ulLength = m_ulSizeWord;
    if (ulLength < PM_RECORD_HEADER_SIZE) {
        // Woken with nothing announced: wait for the next announcement, unless it came meanwhile.
        KeClearEvent(m_pkNotificationEvent);
        ulLength = m_ulSizeWord;
        if (ulLength < PM_RECORD_HEADER_SIZE)
            return TRUE;
    }
    PUCHAR pucRecord = static_cast<PUCHAR>(PmAllocateMemory(ulLength, NonPagedPool));
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    NTSTATUS ntStatus =
        pucRecord && pBuffer ? m_ReadRecord(pucRecord, ulLength) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(ntStatus)) {
        PmFreeMemory(pucRecord);
        PmFreeMemory(pBuffer);
        if (!m_IsStopping())
            PM_TRACE(PM_TRACE_FDO, "CPmLowerStackReader read of %u bytes - %08x", ulLength, (ULONG)ntStatus);
        return m_IsStopping();
    }
    ULONG_PTR ulValue;
    RtlCopyMemory(&ulValue, pucRecord, PM_RECORD_HEADER_SIZE);
    // The data stays where it was read; the buffer frees the whole record block.
    pBuffer->m_pPool = g_pPmMemoryPool;
    pBuffer->m_pvAllocation = pucRecord;
    pBuffer->m_ulLength = ulLength - PM_RECORD_HEADER_SIZE;
    pBuffer->m_pucData = pBuffer->m_ulLength ? pucRecord + PM_RECORD_HEADER_SIZE : NULL;
    m_pfnDelivery(m_pvContext, ulValue, pBuffer);
    return TRUE;
}
