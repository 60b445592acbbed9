// The control queue: one waiting IOCTL_SERIAL_WAIT_ON_MASK request behind a cancel-safe queue.
// The mask and the received events have their own lock, never nested with the queue's.
#include <pmcontrolqueue.h>

#include <pmdebugmanager.h>

static inline CPmControlQueue* PmControlQueueOf(PIO_CSQ pCsq) {
    return PmCsqOwner<CPmControlQueue>(pCsq);
}

CPmControlQueue::CPmControlQueue()
    : m_ulWaitMask(0), m_ulEventsReceived(0), m_IrpList(NonPagedPool), m_lQueuedIrps(0) {
    m_liHalfSecond.QuadPart = -5000000;
    m_Csq.m_pvOwner = this;
    IoCsqInitializeEx(&m_Csq.m_Csq, sm_CsqInsertIrp, sm_CsqRemoveIrp, sm_CsqPeekNextIrp, sm_CsqAcquireLock,
                      sm_CsqReleaseLock, sm_CsqCompleteCanceledIrp);
}

CPmControlQueue::~CPmControlQueue() {
    m_CancelAll();
    PmWaitForQueuedIrps(&m_lQueuedIrps);
}

// ---------------------------------------------------------------------------------------------
// Cancel-safe queue callbacks

NTSTATUS CPmControlQueue::sm_CsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pvInsertContext) {
    CPmControlQueue* pQueue = PmControlQueueOf(pCsq);
    if (pQueue->m_IrpList.m_GetCount() != 0)
        return STATUS_INVALID_PARAMETER;
    if (!pQueue->m_IrpList.m_Append(pIrp))
        return STATUS_INSUFFICIENT_RESOURCES;
    InterlockedIncrement(&pQueue->m_lQueuedIrps);
    return STATUS_PENDING;
}

VOID CPmControlQueue::sm_CsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp) { PmUnlinkQueuedIrp(&PmControlQueueOf(pCsq)->m_IrpList, pIrp); }

PIRP CPmControlQueue::sm_CsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pvPeekContext) {
    PmListNode* pNode = PmControlQueueOf(pCsq)->m_IrpList.m_pHead;
    if (pIrp) {
        while (pNode && pNode->m_pvElement != pIrp)
            pNode = pNode->m_pNext;
        pNode = pNode ? pNode->m_pNext : NULL;
    }
    // A peek context names the one request wanted.
    while (pNode && pvPeekContext && pNode->m_pvElement != pvPeekContext)
        pNode = pNode->m_pNext;
    return pNode ? static_cast<PIRP>(pNode->m_pvElement) : NULL;
}

VOID CPmControlQueue::sm_CsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql) {
    *pIrql = KeGetCurrentIrql();
    PmControlQueueOf(pCsq)->m_QueueLock.m_Lock();
}

VOID CPmControlQueue::sm_CsqReleaseLock(PIO_CSQ pCsq, KIRQL irql) { PmControlQueueOf(pCsq)->m_QueueLock.m_Unlock(); }

VOID CPmControlQueue::sm_CsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp) {
    CPmControlQueue* pQueue = PmControlQueueOf(pCsq);
    pIrp->IoStatus.Status = STATUS_CANCELLED;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    InterlockedDecrement(&pQueue->m_lQueuedIrps);
}

// ---------------------------------------------------------------------------------------------

void CPmControlQueue::m_CompleteMaskIrp(PIRP pIrp, NTSTATUS ntStatus, ULONG ulEvents, ULONG_PTR ulInformation) {
    if (ulInformation && pIrp->AssociatedIrp.SystemBuffer)
        *static_cast<PULONG>(pIrp->AssociatedIrp.SystemBuffer) = ulEvents;
    pIrp->IoStatus.Status = ntStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
}

NTSTATUS CPmControlQueue::m_QueueIrp(PIRP pIrp) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (!pIrp->AssociatedIrp.SystemBuffer || pStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        m_CompleteMaskIrp(pIrp, STATUS_BUFFER_TOO_SMALL, 0, 0);
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (m_GetWaitMask() == 0) {
        m_CompleteMaskIrp(pIrp, STATUS_INVALID_PARAMETER, 0, sizeof(ULONG));
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS ntStatus = IoCsqInsertIrpEx(&m_Csq.m_Csq, pIrp, NULL, NULL);
    if (!NT_SUCCESS(ntStatus)) {
        m_CompleteMaskIrp(pIrp, ntStatus, 0, sizeof(ULONG));
        return ntStatus;
    }
    PM_TRACE(PM_TRACE_CONTROL_QUEUE, "CPmControlQueue::m_QueueIrp (m_WaitOnMask) - Queued MaskIrp:0x%X", (ULONG)(ULONG_PTR)pIrp);
    // The mask may have been cleared between the check and the insertion; then no new mask
    // would ever end this wait.
    if (m_GetWaitMask() == 0) {
        PIRP pTaken = IoCsqRemoveNextIrp(&m_Csq.m_Csq, pIrp);
        if (pTaken) {
            m_CompleteMaskIrp(pTaken, STATUS_INVALID_PARAMETER, 0, sizeof(ULONG));
            InterlockedDecrement(&m_lQueuedIrps);
        }
        return STATUS_PENDING;
    }
    // An event received before the wait completes it at once. The request was marked pending,
    // so STATUS_PENDING is the answer either way.
    m_ResolveCurrentEventMask();
    return STATUS_PENDING;
}

BOOLEAN CPmControlQueue::m_ResolveCurrentEventMask() {
    m_MaskLock.m_Lock();
    ULONG ulMatched = m_ulEventsReceived & m_ulWaitMask & PM_SATISFIABLE_EVENTS;
    m_MaskLock.m_Unlock();
    if (!ulMatched)
        return FALSE;
    PIRP pIrp = IoCsqRemoveNextIrp(&m_Csq.m_Csq, NULL);
    if (!pIrp)
        return FALSE;
    m_MaskLock.m_Lock();
    // Taken again: the events may have changed while the lock was free.
    ulMatched = m_ulEventsReceived & m_ulWaitMask & PM_SATISFIABLE_EVENTS;
    m_ulEventsReceived &= ~ulMatched;
    ULONG ulEvents = m_ulEventsReceived;
    ULONG ulMask = m_ulWaitMask;
    m_MaskLock.m_Unlock();
    if (!ulMatched) {
        // Withdrawn meanwhile: the request waits on, unless another took its place.
        if (NT_SUCCESS(IoCsqInsertIrpEx(&m_Csq.m_Csq, pIrp, NULL, NULL))) {
            InterlockedDecrement(&m_lQueuedIrps); // counted again by the insertion
            return FALSE;
        }
        m_CompleteMaskIrp(pIrp, STATUS_SUCCESS, 0, sizeof(ULONG));
        InterlockedDecrement(&m_lQueuedIrps);
        return TRUE;
    }
    PM_TRACE(PM_TRACE_CONTROL_QUEUE, "CPmControlQueue::m_ResolveCurrentEventMask - ReturnedEvent: 0x%X, EventsReceived:0x%X, CurrentMask:0x%X",
             ulMatched, ulEvents, ulMask);
    m_CompleteMaskIrp(pIrp, STATUS_SUCCESS, ulMatched, sizeof(ULONG));
    PM_TRACE(PM_TRACE_CONTROL_QUEUE, "CPmControlQueue::m_ResolveCurrentEventMask - Completed MaskIrp:0x%X (Reason:Event resolved)",
             (ULONG)(ULONG_PTR)pIrp);
    InterlockedDecrement(&m_lQueuedIrps);
    return TRUE;
}

void CPmControlQueue::m_SetWaitMask(ULONG ulMask) {
    m_MaskLock.m_Lock();
    m_ulEventsReceived = 0;
    m_ulWaitMask = ulMask;
    m_MaskLock.m_Unlock();
    PIRP pIrp;
    while ((pIrp = IoCsqRemoveNextIrp(&m_Csq.m_Csq, NULL)) != NULL) {
        m_CompleteMaskIrp(pIrp, STATUS_SUCCESS, 0, sizeof(ULONG));
        PM_TRACE(PM_TRACE_CONTROL_QUEUE, "CPmControlQueue::m_SetWaitMask - Completed MaskIrp:0x%X (Reason:New Mask)", (ULONG)(ULONG_PTR)pIrp);
        InterlockedDecrement(&m_lQueuedIrps);
    }
}

void CPmControlQueue::m_CancelAll() {
    PIRP pIrp;
    while ((pIrp = IoCsqRemoveNextIrp(&m_Csq.m_Csq, NULL)) != NULL) {
        m_CompleteMaskIrp(pIrp, STATUS_CANCELLED, 0, 0);
        PM_TRACE(PM_TRACE_CONTROL_QUEUE, "CPmControlQueue::m_SetWaitMask - Cancelled MaskIrp:0x%X", (ULONG)(ULONG_PTR)pIrp);
        InterlockedDecrement(&m_lQueuedIrps);
    }
}

void CPmControlQueue::m_SetCommEventsReceived(ULONG ulEvents) {
    m_MaskLock.m_Lock();
    m_ulEventsReceived |= ulEvents;
    m_MaskLock.m_Unlock();
}

void CPmControlQueue::m_ClearCommEvents(ULONG ulEvents) {
    m_MaskLock.m_Lock();
    m_ulEventsReceived &= ~ulEvents;
    ULONG ulReceived = m_ulEventsReceived;
    ULONG ulMask = m_ulWaitMask;
    m_MaskLock.m_Unlock();
    PM_TRACE(PM_TRACE_CONTROL_QUEUE, "CPmControlQueue::m_ClearCommEvents - EventsReceived:0x%X, CurrentMask:0x%X", ulReceived, ulMask);
}

ULONG CPmControlQueue::m_GetWaitMask() {
    m_MaskLock.m_Lock();
    ULONG ulMask = m_ulWaitMask;
    m_MaskLock.m_Unlock();
    PM_TRACE(PM_TRACE_CONTROL_QUEUE, "CPmControlQueue::m_GetWaitMask - CurrentMask:0x%X", ulMask);
    return ulMask;
}

ULONG CPmControlQueue::m_GetEventsReceived() {
    m_MaskLock.m_Lock();
    ULONG ulEvents = m_ulEventsReceived;
    m_MaskLock.m_Unlock();
    return ulEvents;
}
