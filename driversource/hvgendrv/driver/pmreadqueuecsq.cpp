// The read queue. Reads are served strictly in arrival order: the first queued read that is not
// finished takes the held data, the timeouts that were configured when it became first, and the
// timers. A read that is satisfied or timed out is only marked finished under the lock; it is
// taken out of the cancel-safe queue and completed after the lock is released, so that
// completion never runs under the lock and a cancellation racing with it keeps its data.
#include <pmreadqueuecsq.h>

#include <pmdebugmanager.h>

static const CHAR s_szSourcePath[] = "driversource\\hvgendrv\\driver\\pmreadqueuecsq.cpp";

// A read satisfied as it was queued (traced as such).
#define PM_READ_SATISFIED_AT_ONCE 0x10

// ---------------------------------------------------------------------------------------------
// Construction

static inline CPmReadQueue* PmReadQueueOf(PIO_CSQ pCsq) { return PmCsqOwner<CPmReadQueue>(pCsq); }

CPmReadQueue::CPmReadQueue()
    : m_bActive(TRUE), m_ntRefusalStatus(STATUS_CANCELLED), m_IrpList(NonPagedPool), m_ulCurrentInterval(0),
      m_ulConfiguredInterval(0), m_ulCurrentMultiplier(0), m_ulConfiguredMultiplier(0), m_ulCurrentConstant(0),
      m_ulConfiguredConstant(0), m_DataList(NonPagedPool), m_ulAmountInQueue(0), m_ulReportedAmount(0),
      m_ullServedSequence(0),
      m_ullNextSequence(0), m_pfnAmountChanged(NULL), m_pvAmountChangedContext(NULL), m_lQueuedIrps(0),
      m_llStamp(0) {
    m_IntervalTimer.m_Initialize(sm_IntervalTimeoutDpc, this);
    m_TotalTimer.m_Initialize(sm_TotalTimeoutDpc, this);
    m_Csq.m_pvOwner = this;
    IoCsqInitializeEx(&m_Csq.m_Csq, sm_CsqInsertIrp, sm_CsqRemoveIrp, sm_CsqPeekNextIrp, sm_CsqAcquireLock,
                      sm_CsqReleaseLock, sm_CsqCompleteCanceledIrp);
}

CPmReadQueue::~CPmReadQueue() {
    m_CancelAll();
    m_SpinLock.m_Lock();
    m_IntervalTimer.m_Disarm();
    m_TotalTimer.m_Disarm();
    m_SpinLock.m_Unlock();
    m_Purge();
    // A timer DPC already queued must not run on a queue that is gone, nor a cancellation that
    // already took its read out.
    KeFlushQueuedDpcs();
    PmWaitForQueuedIrps(&m_lQueuedIrps);
}

// ---------------------------------------------------------------------------------------------
// Cancel-safe queue callbacks: all but the last run under m_SpinLock.

NTSTATUS CPmReadQueue::sm_CsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pvInsertContext) {
    CPmReadQueue* pQueue = PmReadQueueOf(pCsq);
    if (!pQueue->m_IrpList.m_Append(pIrp))
        return STATUS_INSUFFICIENT_RESOURCES;
    InterlockedIncrement(&pQueue->m_lQueuedIrps);
    return STATUS_PENDING;
}

VOID CPmReadQueue::sm_CsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp) {
    CPmReadQueue* pQueue = PmReadQueueOf(pCsq);
    PmUnlinkQueuedIrp(&pQueue->m_IrpList, pIrp);
    // A read that ends cancelled returns no data to its caller (the I/O manager copies nothing
    // back for a failure status): what it had received goes back in front of the held data.
    if (!(PmQueuedIrp(pIrp)->m_ulFlags & PM_QUEUED_IRP_FINISHED) && pIrp->IoStatus.Information)
        pQueue->m_Unread(pIrp);
    // The read being served leaves (a cancellation): its timers go with it.
    if (PmQueuedIrp(pIrp)->m_ullSequence == pQueue->m_ullServedSequence) {
        pQueue->m_ullServedSequence = 0;
        pQueue->m_IntervalTimer.m_Disarm();
        pQueue->m_TotalTimer.m_Disarm();
    }
}

PIRP CPmReadQueue::sm_CsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pvPeekContext) {
    return PmPeekQueuedIrp(&PmReadQueueOf(pCsq)->m_IrpList, pIrp, static_cast<PmPeekContext*>(pvPeekContext));
}

VOID CPmReadQueue::sm_CsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql) {
    *pIrql = KeGetCurrentIrql();
    PmReadQueueOf(pCsq)->m_SpinLock.m_Lock();
}

VOID CPmReadQueue::sm_CsqReleaseLock(PIO_CSQ pCsq, KIRQL irql) { PmReadQueueOf(pCsq)->m_SpinLock.m_Unlock(); }

VOID CPmReadQueue::sm_CsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp) {
    CPmReadQueue* pQueue = PmReadQueueOf(pCsq);
    PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    if (!(pState->m_ulFlags & PM_QUEUED_IRP_FINISHED))
        // The bytes already copied stay with the read: they left the held data for good.
        PmFinishQueuedIrp(pIrp, STATUS_CANCELLED, pIrp->IoStatus.Information);
    // The next read may be first now.
    pQueue->m_Deliver(0);
    pQueue->m_CompleteTakenIrp(pIrp);
}

// ---------------------------------------------------------------------------------------------
// Modes and timers (under the lock)

BOOLEAN CPmReadQueue::m_IsImmediate() const {
    return m_ulCurrentInterval == MAXULONG && m_ulCurrentMultiplier == 0 && m_ulCurrentConstant == 0;
}

BOOLEAN CPmReadQueue::m_IsFirstByte() const {
    return m_ulCurrentInterval == MAXULONG && m_ulCurrentMultiplier == MAXULONG && m_ulCurrentConstant != 0 &&
           m_ulCurrentConstant != MAXULONG;
}

void CPmReadQueue::m_ArmTotalTimer(ULONG ulLength, ULONGLONG ullSequence) {
    if (m_IsImmediate())
        return;
    if (m_IsFirstByte()) {
        m_TotalTimer.m_Arm(m_ulCurrentConstant, ullSequence);
        return;
    }
    if (m_ulCurrentMultiplier == 0 && m_ulCurrentConstant == 0)
        return;
    ULONGLONG ullTotal = (m_ulCurrentInterval == MAXULONG && m_ulCurrentMultiplier == MAXULONG)
                             ? m_ulCurrentConstant
                             : PmTimeoutMilliseconds(ulLength, m_ulCurrentMultiplier, m_ulCurrentConstant);
    m_TotalTimer.m_Arm(ullTotal, ullSequence);
}

void CPmReadQueue::m_ArmIntervalTimer(ULONGLONG ullSequence) {
    if (m_ulCurrentInterval == 0 || m_IsImmediate() || m_IsFirstByte() ||
        (m_ulCurrentInterval == MAXULONG && m_ulCurrentMultiplier == MAXULONG && m_ulCurrentConstant == 0))
        return;
    m_IntervalTimer.m_Arm(m_ulCurrentInterval, ullSequence);
}

// ---------------------------------------------------------------------------------------------
// Serving reads

ULONG CPmReadQueue::m_CopyHeldData(PIRP pIrp) {
    ULONG ulLength = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Read.Length;
    ULONG ulHave = (ULONG)pIrp->IoStatus.Information;
    PUCHAR pucTarget = PmRequestBuffer(pIrp);
    ULONG ulCopied = 0;
    while (pucTarget && ulHave < ulLength && m_DataList.m_pHead) {
        CPmBuffer* pBuffer = static_cast<CPmBuffer*>(m_DataList.m_pHead->m_pvElement);
        ULONG ulLengthToCopy = PmMinUlong(ulLength - ulHave, pBuffer->m_ulLength);
        RtlCopyMemory(pucTarget + ulHave, pBuffer->m_pucData, ulLengthToCopy);
        ulHave += ulLengthToCopy;
        ulCopied += ulLengthToCopy;
        m_ulAmountInQueue -= ulLengthToCopy;
        PM_TRACE(PM_TRACE_READ_COPY, "DQL2 ulLengthToCopy=%d m_ulCurrentLength=%d", ulLengthToCopy, ulHave);
        if (ulLengthToCopy == pBuffer->m_ulLength) {
            m_DataList.m_RemoveHead();
            pBuffer->m_Delete();
        } else {
            // Advanced in place; the first data pointer is kept for freeing.
            if (!pBuffer->m_pvAllocation)
                pBuffer->m_pvAllocation = pBuffer->m_pucData;
            pBuffer->m_pucData += ulLengthToCopy;
            pBuffer->m_ulLength -= ulLengthToCopy;
        }
    }
    pIrp->IoStatus.Information = ulHave;
    return ulCopied;
}

void CPmReadQueue::m_Unread(PIRP pIrp) {
    ULONG ulCount = (ULONG)pIrp->IoStatus.Information;
    if (ulCount > MAXULONG - m_ulAmountInQueue)
        return;
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (!pBuffer)
        return;
    pBuffer->m_pPool = g_pPmMemoryPool;
    PmListNode* pNode = pBuffer->m_Assign(PmRequestBuffer(pIrp), ulCount) ? m_DataList.m_Append(pBuffer) : NULL;
    if (!pNode) {
        // Kept by the read after all; only its count is reported.
        pBuffer->m_Delete();
        return;
    }
    // From the tail, where the list put it, to the head.
    PmUnlinkNode(&m_DataList.m_pHead, &m_DataList.m_pTail, pNode);
    pNode->m_pPrevious = NULL;
    pNode->m_pNext = m_DataList.m_pHead;
    if (m_DataList.m_pHead)
        m_DataList.m_pHead->m_pPrevious = pNode;
    else
        m_DataList.m_pTail = pNode;
    m_DataList.m_pHead = pNode;
    m_ulAmountInQueue += ulCount;
    pIrp->IoStatus.Information = 0;
}

BOOLEAN CPmReadQueue::m_TakeAmountChange(PULONG pulNewAmount, PULONG pulOldAmount) {
    *pulNewAmount = m_ulAmountInQueue;
    *pulOldAmount = m_ulReportedAmount;
    m_ulReportedAmount = m_ulAmountInQueue;
    return *pulNewAmount != *pulOldAmount;
}

void CPmReadQueue::m_Serve() {
    for (;;) {
        PIRP pIrp = PmFirstLiveIrp(&m_IrpList);
        if (!pIrp) {
            m_ullServedSequence = 0;
            m_IntervalTimer.m_Disarm();
            m_TotalTimer.m_Disarm();
            return;
        }
        PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
        ULONG ulLength = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Read.Length;
        BOOLEAN bNewlyServed = pState->m_ullSequence != m_ullServedSequence;
        if (bNewlyServed) {
            // A read takes the timeouts configured when it becomes first; a change while it waits
            // applies to the next one.
            m_ullServedSequence = pState->m_ullSequence;
            m_ulCurrentInterval = m_ulConfiguredInterval;
            m_ulCurrentMultiplier = m_ulConfiguredMultiplier;
            m_ulCurrentConstant = m_ulConfiguredConstant;
            m_IntervalTimer.m_Disarm();
            m_TotalTimer.m_Disarm();
        }
        PM_TRACE(PM_TRACE_READ_COPY, "DQL1 DL=%d CIRL=%d", m_ulAmountInQueue, ulLength);
        ULONG ulCopied = m_CopyHeldData(pIrp);
        ULONG ulHave = (ULONG)pIrp->IoStatus.Information;
        BOOLEAN bDone = ulHave >= ulLength || m_IsImmediate() || (m_IsFirstByte() && ulHave > 0);
        PM_TRACE(PM_TRACE_READ_COPY, "DQL3 m_ulCurrentLength=%d ulCIRL=%d ulDataLength=%d bRet=%d", ulHave, ulLength,
                 m_ulAmountInQueue, bDone);
        if (bDone) {
            PmFinishQueuedIrp(pIrp, STATUS_SUCCESS, ulHave);
            m_ullServedSequence = 0;
            m_IntervalTimer.m_Disarm();
            m_TotalTimer.m_Disarm();
            continue;
        }
        if (bNewlyServed)
            m_ArmTotalTimer(ulLength, pState->m_ullSequence);
        // The interval runs between bytes: only once the read holds one, and anew with each arrival.
        if (ulCopied)
            m_ArmIntervalTimer(pState->m_ullSequence);
        return;
    }
}

void CPmReadQueue::m_Deliver(ULONGLONG ullNewSequence) {
    m_SpinLock.m_Lock();
    m_Serve();
    // The new read is looked at only while it is still queued: once out, it may be gone.
    for (PmListNode* pNode = ullNewSequence ? m_IrpList.m_pHead : NULL; pNode; pNode = pNode->m_pNext) {
        PmQueuedIrpState* pState = PmQueuedIrp(static_cast<PIRP>(pNode->m_pvElement));
        if (pState->m_ullSequence == ullNewSequence) {
            if (pState->m_ulFlags & PM_QUEUED_IRP_FINISHED)
                pState->m_ulFlags |= PM_READ_SATISFIED_AT_ONCE;
            break;
        }
    }
    ULONG ulNewAmount, ulOldAmount;
    BOOLEAN bChanged = m_TakeAmountChange(&ulNewAmount, &ulOldAmount);
    m_SpinLock.m_Unlock();
    m_CompleteFinished();
    if (bChanged)
        m_Notify(ulNewAmount, ulOldAmount);
}

void CPmReadQueue::m_CompleteTakenIrp(PIRP pIrp) {
    PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    NTSTATUS ntStatus = pState->m_ntFinalStatus;
    pIrp->IoStatus.Status = ntStatus;
    pIrp->IoStatus.Information = pState->m_ulFinalInformation;
    ULONGLONG ullElapsed = CPmDebugManager::m_ElapsedMicroseconds(&m_llStamp);
    if (ntStatus == STATUS_SUCCESS && (pState->m_ulFlags & PM_READ_SATISFIED_AT_ONCE)) {
        PM_TRACE(PM_TRACE_READ_COPY, "CI1 D=%dys", (ULONG)ullElapsed);
        PM_TRACE(PM_TRACE_READ_TIMING, "CI1 D=%dys L=%d DIQ=%d", (ULONG)ullElapsed, (ULONG)pState->m_ulFinalInformation,
                 m_ulAmountInQueue);
    } else if (ntStatus == STATUS_SUCCESS) {
        PM_TRACE(PM_TRACE_READ_TIMING, "CPmReadQueue::m_DataForPendingIrpArrived D=%dys L=%d DIQ=%d", (ULONG)ullElapsed,
                 (ULONG)pState->m_ulFinalInformation, m_ulAmountInQueue);
        PM_TRACE(PM_TRACE_READ_COPY, "CI5 D=%dys L=%d DIQ=%d", (ULONG)ullElapsed, (ULONG)pState->m_ulFinalInformation,
                 m_ulAmountInQueue);
        if (g_pPmDebugManager && pState->m_ulFinalInformation)
            g_pPmDebugManager->m_TraceHexDump(PM_TRACE_READ_COPY, PmRequestBuffer(pIrp), (ULONG)pState->m_ulFinalInformation, "CI5");
    } else if (ntStatus == STATUS_TIMEOUT) {
        PM_TRACE(PM_TRACE_READ_COPY, "CI6 D=%dys DIQ=%d", (ULONG)ullElapsed, m_ulAmountInQueue);
    } else {
        PM_TRACE(PM_TRACE_READ_COPY, "CI7 D=%dys", (ULONG)ullElapsed);
    }
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    InterlockedDecrement(&m_lQueuedIrps);
}

void CPmReadQueue::m_CompleteFinished() {
    PmPeekContext finished = {PM_PEEK_FINISHED, 0};
    PIRP pIrp;
    while ((pIrp = IoCsqRemoveNextIrp(&m_Csq.m_Csq, &finished)) != NULL)
        m_CompleteTakenIrp(pIrp);
}

void CPmReadQueue::m_Notify(ULONG ulNewAmount, ULONG ulOldAmount) {
    PPM_READ_AMOUNT_CHANGED pfnNotification = m_pfnAmountChanged;
    if (pfnNotification)
        pfnNotification(m_pvAmountChangedContext, ulNewAmount, ulOldAmount);
}

// ---------------------------------------------------------------------------------------------
// Interface

NTSTATUS CPmReadQueue::m_QueueIrp(PIRP pIrp) {
    ULONG ulLength = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Read.Length;
    ULONGLONG ullElapsed = CPmDebugManager::m_ElapsedMicroseconds(&m_llStamp);
    ULONG ulAmount = m_GetAmountInQueue();
    PM_TRACE(PM_TRACE_READ_TIMING, "CPmReadQueue::m_QueueIrp Interval D=%dys L=%d DIQ=%d", (ULONG)ullElapsed, ulLength, ulAmount);
    PM_TRACE(PM_TRACE_READ_COPY, "QI D=%dys L=%d DIQ=%d", (ULONG)ullElapsed, ulLength, ulAmount);
    NTSTATUS ntStatus;
    if (!PmAdmitQueuedIrp(&m_SpinLock, &m_bActive, &m_ntRefusalStatus, &m_ullNextSequence, pIrp, ulLength, &ntStatus))
        return ntStatus;

    // Once queued, the read may complete on another thread at any moment.
    ULONGLONG ullSequence = PmQueuedIrp(pIrp)->m_ullSequence;
    ntStatus = IoCsqInsertIrpEx(&m_Csq.m_Csq, pIrp, NULL, NULL);
    if (!NT_SUCCESS(ntStatus)) {
        pIrp->IoStatus.Status = ntStatus;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return ntStatus;
    }
    // Served only once it is in the queue, so that data arriving meanwhile is not left waiting
    // for the next arrival and reads take the data in their order.
    m_Deliver(ullSequence);
    return STATUS_PENDING;
}

void CPmReadQueue::m_DataForPendingIrpArrived(CPmBuffer* pBuffer) {
    if (pBuffer && (pBuffer->m_ulLength == 0 || !pBuffer->m_pucData)) {
        PM_ASSERTION_LINE(s_szSourcePath);
        // Taken over all the same: freed, not leaked.
        pBuffer->m_Delete();
        return;
    }
    m_SpinLock.m_Lock();
    ULONG ulOldAmount = m_ulAmountInQueue;
    if (pBuffer) {
        if (pBuffer->m_ulLength > MAXULONG - m_ulAmountInQueue || !m_DataList.m_Append(pBuffer)) {
            m_SpinLock.m_Unlock();
            pBuffer->m_Delete();
            return;
        }
        m_ulAmountInQueue += pBuffer->m_ulLength;
        PM_TRACE(PM_TRACE_READ_COPY, "DQ D=%dys L=%d+%d=%d", (ULONG)CPmDebugManager::m_ElapsedMicroseconds(&m_llStamp), ulOldAmount,
                 pBuffer->m_ulLength, m_ulAmountInQueue);
        if (g_pPmDebugManager)
            g_pPmDebugManager->m_TraceHexDump(PM_TRACE_READ_COPY, pBuffer->m_pucData, pBuffer->m_ulLength, "DQ");
    }
    m_Serve();
    PM_TRACE(PM_TRACE_READ_COPY, "DQLEND");
    ULONG ulNewAmount;
    BOOLEAN bChanged = m_TakeAmountChange(&ulNewAmount, &ulOldAmount);
    m_SpinLock.m_Unlock();
    m_CompleteFinished();
    if (bChanged)
        m_Notify(ulNewAmount, ulOldAmount);
}

ULONG CPmReadQueue::m_FreeHeldData() {
    ULONG ulDiscarded = m_ulAmountInQueue;
    while (m_DataList.m_pHead) {
        CPmBuffer* pBuffer = static_cast<CPmBuffer*>(m_DataList.m_RemoveHead());
        if (pBuffer)
            pBuffer->m_Delete();
    }
    m_ulAmountInQueue = 0;
    return ulDiscarded;
}

ULONG CPmReadQueue::m_Purge() {
    m_SpinLock.m_Lock();
    ULONG ulDiscarded = m_FreeHeldData();
    ULONG ulNewAmount, ulOldAmount;
    BOOLEAN bChanged = m_TakeAmountChange(&ulNewAmount, &ulOldAmount);
    m_SpinLock.m_Unlock();
    if (bChanged)
        m_Notify(ulNewAmount, ulOldAmount);
    return ulDiscarded;
}

void CPmReadQueue::m_CancelAll() {
    PIRP pIrp;
    while ((pIrp = IoCsqRemoveNextIrp(&m_Csq.m_Csq, NULL)) != NULL) {
        PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
        if (!(pState->m_ulFlags & PM_QUEUED_IRP_FINISHED))
            PmFinishQueuedIrp(pIrp, STATUS_CANCELLED, pIrp->IoStatus.Information);
        m_CompleteTakenIrp(pIrp);
    }
    m_SpinLock.m_Lock();
    m_ullServedSequence = 0;
    m_IntervalTimer.m_Disarm();
    m_TotalTimer.m_Disarm();
    ULONG ulNewAmount, ulOldAmount;
    BOOLEAN bChanged = m_TakeAmountChange(&ulNewAmount, &ulOldAmount);
    m_SpinLock.m_Unlock();
    if (bChanged)
        m_Notify(ulNewAmount, ulOldAmount);
}

ULONG CPmReadQueue::m_GetAmountInQueue() {
    m_SpinLock.m_Lock();
    ULONG ulAmount = m_ulAmountInQueue;
    m_SpinLock.m_Unlock();
    return ulAmount;
}

void CPmReadQueue::m_SetTimeouts(ULONG ulInterval, ULONG ulMultiplier, ULONG ulConstant) {
    m_SpinLock.m_Lock();
    m_ulConfiguredInterval = ulInterval;
    m_ulConfiguredMultiplier = ulMultiplier;
    m_ulConfiguredConstant = ulConstant;
    if (!m_ullServedSequence) {
        m_ulCurrentInterval = ulInterval;
        m_ulCurrentMultiplier = ulMultiplier;
        m_ulCurrentConstant = ulConstant;
    }
    m_SpinLock.m_Unlock();
}

void CPmReadQueue::m_SetActive(BOOLEAN bActive, NTSTATUS ntRefusalStatus) {
    m_SpinLock.m_Lock();
    m_bActive = bActive;
    m_ntRefusalStatus = ntRefusalStatus;
    m_SpinLock.m_Unlock();
}

void CPmReadQueue::m_SetAmountChangedNotification(PPM_READ_AMOUNT_CHANGED pfnNotification, PVOID pvContext) {
    m_SpinLock.m_Lock();
    m_pfnAmountChanged = pfnNotification;
    m_pvAmountChangedContext = pvContext;
    m_SpinLock.m_Unlock();
}

// ---------------------------------------------------------------------------------------------
// Timeouts (DISPATCH_LEVEL, on the DPC thread)

void CPmReadQueue::m_Timeout(PmRequestTimer* pTimer) {
    m_SpinLock.m_Lock();
    PIRP pIrp = m_ullServedSequence ? PmFirstLiveIrp(&m_IrpList) : NULL;
    // The expiry counts only for the read it was armed for.
    if (!pTimer->m_TakeExpiry() || !pIrp || PmQueuedIrp(pIrp)->m_ullSequence != pTimer->m_ullSequence ||
        pTimer->m_ullSequence != m_ullServedSequence) {
        m_SpinLock.m_Unlock();
        return;
    }
    m_IntervalTimer.m_Disarm();
    m_TotalTimer.m_Disarm();
    m_CopyHeldData(pIrp);
    PmFinishQueuedIrp(pIrp, STATUS_TIMEOUT, pIrp->IoStatus.Information);
    m_ullServedSequence = 0;
    m_Serve();
    ULONG ulNewAmount, ulOldAmount;
    m_TakeAmountChange(&ulNewAmount, &ulOldAmount);
    m_SpinLock.m_Unlock();
    m_CompleteFinished();
    // Reported even when unchanged, as the routine always has.
    m_Notify(ulNewAmount, ulOldAmount);
}

VOID CPmReadQueue::sm_IntervalTimeoutDpc(PKDPC pDpc, PVOID pvContext, PVOID pvArgument1, PVOID pvArgument2) {
    CPmReadQueue* pQueue = static_cast<CPmReadQueue*>(pvContext);
    pQueue->m_Timeout(&pQueue->m_IntervalTimer);
}

VOID CPmReadQueue::sm_TotalTimeoutDpc(PKDPC pDpc, PVOID pvContext, PVOID pvArgument1, PVOID pvArgument2) {
    CPmReadQueue* pQueue = static_cast<CPmReadQueue*>(pvContext);
    pQueue->m_Timeout(&pQueue->m_TotalTimer);
}
