// The write queue. Every field is guarded by the list lock, which both cancel-safe queues use;
// the queue lock only serialises the acknowledgement, timeout and cancel-all paths with each
// other. Writes that end (acknowledged, timed out, cancelled) are marked finished under the list
// lock, with all their accounting done there, and completed after the locks are released; a
// cancellation that wins the race for a finished write completes it with that result. Chunks
// are built under the mutex only, at PASSIVE_LEVEL.
#include <pmwritequeuecsq.h>

#include <pmdebugmanager.h>

static const CHAR s_szSourcePath[] = "driversource\\hvgendrv\\driver\\pmwritequeuecsq.cpp";

// Flags of a queued write beside PM_QUEUED_IRP_FINISHED.
#define PM_WRITE_IN_FLIGHT 0x10
#define PM_WRITE_DETACHED 0x20

static inline ULONG PmWriteLength(PIRP pIrp) { return IoGetCurrentIrpStackLocation(pIrp)->Parameters.Write.Length; }
static inline BOOLEAN PmIsFinished(PIRP pIrp) { return (PmQueuedIrp(pIrp)->m_ulFlags & PM_QUEUED_IRP_FINISHED) != 0; }
static inline ULONG PmAddSaturated(ULONG a, ULONG b) { return a > MAXULONG - b ? MAXULONG : a + b; }

static inline CPmWriteQueue* PmWaitingQueueOf(PIO_CSQ pCsq) {
    return PmCsqOwner<CPmWriteQueue>(pCsq);
}
static inline CPmWriteQueue* PmInFlightQueueOf(PIO_CSQ pCsq) {
    return PmCsqOwner<CPmWriteQueue>(pCsq);
}

CPmWriteQueue::CPmWriteQueue()
    : m_bActive(TRUE), m_ntRefusalStatus(STATUS_CANCELLED), m_pfnChunkRoutine(NULL), m_pvChunkContext(NULL),
      m_ulPendingBytes(0), m_ulCredit(0), m_ulDiscount(0), m_pWorker(NULL), m_pMutexOwner(NULL),
      m_WaitingList(NonPagedPool), m_InFlightList(NonPagedPool), m_llDataWritten(-1), m_ulMultiplier(0),
      m_ulConstant(0), m_pTimedIrp(NULL), m_ullPartialSequence(0), m_pClaimedIrp(NULL), m_ulDetached(0), m_ulCancelAllCount(0), m_ulDetachedAtCancelAll(0),
      m_ulChunkGeneration(0),
      m_ullNextSequence(0), m_lQueuedIrps(0) {
    KeInitializeMutex(&m_kMutex, 0);
    m_Timer.m_Initialize(sm_TimeoutDpc, this);
    m_WaitingCsq.m_pvOwner = this;
    m_InFlightCsq.m_pvOwner = this;
    IoCsqInitializeEx(&m_WaitingCsq.m_Csq, sm_WaitingInsertIrp, sm_WaitingRemoveIrp, sm_WaitingPeekNextIrp,
                      sm_WaitingAcquireLock, sm_WaitingReleaseLock, sm_WaitingCompleteCanceledIrp);
    IoCsqInitializeEx(&m_InFlightCsq.m_Csq, sm_InFlightInsertIrp, sm_InFlightRemoveIrp, sm_InFlightPeekNextIrp,
                      sm_InFlightAcquireLock, sm_InFlightReleaseLock, sm_InFlightCompleteCanceledIrp);
}

CPmWriteQueue::~CPmWriteQueue() {
    m_SetActive(FALSE, STATUS_CANCELLED);
    m_CancelAll();
    if (m_pWorker) {
        m_pWorker->m_Stop();
        PmDeleteObject(m_pWorker);
        m_pWorker = NULL;
    }
    // A write the worker was copying when the first pass ran is back in its list now.
    m_CancelAll();
    m_ListLock.m_Lock();
    m_Timer.m_Disarm();
    m_ListLock.m_Unlock();
    KeFlushQueuedDpcs();
    PmWaitForQueuedIrps(&m_lQueuedIrps);
}

BOOLEAN CPmWriteQueue::m_Initialize(PPM_WRITE_CHUNK_ROUTINE pfnChunkRoutine, PVOID pvChunkContext,
                                    PDEVICE_OBJECT pDeviceObject) {
    m_pfnChunkRoutine = pfnChunkRoutine;
    m_pvChunkContext = pvChunkContext;
    if (m_pWorker)
        return TRUE;
    CPmDeviceWorker* pWorker = new (NonPagedPool) CPmDeviceWorker(pDeviceObject);
    if (!pWorker)
        return FALSE;
    if (!pWorker->m_UsesWorkItems() && !pWorker->m_Thread.m_IsRunning()) {
        PmDeleteObject(pWorker);
        return FALSE;
    }
    m_pWorker = pWorker;
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Accounting (under the list lock)

ULONG CPmWriteQueue::m_AcknowledgedCount() const {
    return m_llDataWritten <= 0 ? 0 : (m_llDataWritten > MAXULONG ? MAXULONG : (ULONG)m_llDataWritten);
}

// Pays the discount, then assigns acknowledged bytes to the in-flight writes in their order.
void CPmWriteQueue::m_Settle() {
    if (m_llDataWritten <= 0)
        return;
    ULONG ulPay = PmMinUlong(m_AcknowledgedCount(), m_ulDiscount);
    m_llDataWritten -= ulPay;
    m_ulDiscount -= ulPay;
    for (PmListNode* pNode = m_InFlightList.m_pHead; pNode && m_llDataWritten > 0; pNode = pNode->m_pNext) {
        PIRP pIrp = static_cast<PIRP>(pNode->m_pvElement);
        if (PmIsFinished(pIrp))
            continue;
        ULONG ulUnacknowledged = (ULONG)pIrp->IoStatus.Information;
        ULONG ulCount = m_AcknowledgedCount();
        if (ulCount < ulUnacknowledged) {
            pIrp->IoStatus.Information = ulUnacknowledged - ulCount;
            m_llDataWritten = 0;
            break;
        }
        m_llDataWritten -= ulUnacknowledged;
        pIrp->IoStatus.Information = 0;
        if (m_pTimedIrp == pIrp) {
            m_pTimedIrp = NULL;
            m_Timer.m_Disarm();
        }
        PmFinishQueuedIrp(pIrp, STATUS_SUCCESS, PmWriteLength(pIrp));
    }
}

// Times the first write that is not acknowledged: the first in flight, else the one partly in
// chunks, else the first waiting. Nothing while one is timed or being copied.
void CPmWriteQueue::m_ArmTimer() {
    if (m_pTimedIrp || m_ulDetached || (m_ulMultiplier == 0 && m_ulConstant == 0))
        return;
    ULONG ulLeft = 0;
    PIRP pIrp = PmFirstLiveIrp(&m_InFlightList);
    if (pIrp) {
        ulLeft = (ULONG)pIrp->IoStatus.Information;
    } else {
        if (m_ullPartialSequence) {
            PmPeekContext partial = {PM_PEEK_SEQUENCE, m_ullPartialSequence};
            pIrp = PmPeekQueuedIrp(&m_WaitingList, NULL, &partial);
        }
        if (!pIrp)
            pIrp = PmFirstLiveIrp(&m_WaitingList);
        if (!pIrp)
            return;
        ulLeft = PmWriteLength(pIrp) - (ULONG)pIrp->IoStatus.Information;
    }
    m_pTimedIrp = pIrp;
    m_Timer.m_Arm(PmTimeoutMilliseconds(ulLeft, m_ulMultiplier, m_ulConstant), PmQueuedIrp(pIrp)->m_ullSequence);
}

// A write that ends with part of its data in chunks reports the part acknowledged; the rest is
// discounted from the acknowledgements still to come.
void CPmWriteQueue::m_EndWaiting(PIRP pIrp, NTSTATUS ntStatus) {
    ULONG ulChunked = (ULONG)pIrp->IoStatus.Information;
    m_ulPendingBytes -= PmWriteLength(pIrp) - ulChunked;
    // m_Settle ran first, so what is left acknowledged belongs to this write.
    ULONG ulAcknowledged = PmMinUlong(m_AcknowledgedCount(), ulChunked);
    m_llDataWritten -= ulAcknowledged;
    m_ulDiscount = PmAddSaturated(m_ulDiscount, ulChunked - ulAcknowledged);
    if (m_ullPartialSequence == PmQueuedIrp(pIrp)->m_ullSequence)
        m_ullPartialSequence = 0;
    if (m_pTimedIrp == pIrp) {
        m_pTimedIrp = NULL;
        m_Timer.m_Disarm();
    }
    PmFinishQueuedIrp(pIrp, ntStatus, ulAcknowledged);
}

void CPmWriteQueue::m_EndInFlight(PIRP pIrp, NTSTATUS ntStatus) {
    ULONG ulUnacknowledged = (ULONG)pIrp->IoStatus.Information;
    m_ulDiscount = PmAddSaturated(m_ulDiscount, ulUnacknowledged);
    if (m_pTimedIrp == pIrp) {
        m_pTimedIrp = NULL;
        m_Timer.m_Disarm();
    }
    PmFinishQueuedIrp(pIrp, ntStatus, PmWriteLength(pIrp) - ulUnacknowledged);
}

void CPmWriteQueue::m_EndDetached(PIRP pIrp, NTSTATUS ntStatus) {
    PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    if (pState->m_ulFlags & PM_WRITE_DETACHED) {
        pState->m_ulFlags &= ~PM_WRITE_DETACHED;
        --m_ulDetached;
    }
    m_Settle();
    // Its copied bytes go down in the chunk being built.
    ULONG ulChunked = (pState->m_ulFlags & PM_WRITE_IN_FLIGHT) ? PmWriteLength(pIrp) : (ULONG)pIrp->IoStatus.Information;
    ULONG ulAcknowledged = PmMinUlong(m_AcknowledgedCount(), ulChunked);
    m_llDataWritten -= ulAcknowledged;
    m_ulDiscount = PmAddSaturated(m_ulDiscount, ulChunked - ulAcknowledged);
    if (m_ullPartialSequence == pState->m_ullSequence)
        m_ullPartialSequence = 0;
    if (m_pTimedIrp == pIrp) {
        m_pTimedIrp = NULL;
        m_Timer.m_Disarm();
    }
    PmFinishQueuedIrp(pIrp, ntStatus, ulAcknowledged);
    m_ArmTimer();
}

void CPmWriteQueue::m_Cancelled(PIRP pIrp, BOOLEAN bInFlight) {
    if (PmIsFinished(pIrp))
        return;
    // Acknowledgements already counted may cover it.
    m_Settle();
    if (!PmIsFinished(pIrp)) {
        if (bInFlight)
            m_EndInFlight(pIrp, STATUS_CANCELLED);
        else
            m_EndWaiting(pIrp, STATUS_CANCELLED);
    }
    m_ArmTimer();
}

// ---------------------------------------------------------------------------------------------
// Cancel-safe queue callbacks

PIRP CPmWriteQueue::m_Peek(CPmPointerList* pList, PIRP pIrp, PVOID pvPeekContext) {
    const PmPeekContext* pContext = static_cast<PmPeekContext*>(pvPeekContext);
    // A chunk begun before a cancel-all takes nothing more: it is dropped, and a write queued
    // after the cancel-all must not go down with it.
    if (pList == &m_WaitingList && pContext && pContext->m_ulKind != PM_PEEK_FINISHED &&
        m_ulChunkGeneration != m_ulCancelAllCount) {
        m_pClaimedIrp = NULL;
        return NULL;
    }
    PIRP pNext = PmPeekQueuedIrp(pList, pIrp, pContext);
    m_pClaimedIrp = pNext;
    return pNext;
}

// Removals of our own come through m_Peek; any other is a cancellation, accounted for here so
// that no acknowledgement can fall between the removal and the accounting.
void CPmWriteQueue::m_Remove(CPmPointerList* pList, PIRP pIrp, BOOLEAN bInFlight) {
    PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    if (pIrp == m_pClaimedIrp) {
        m_pClaimedIrp = NULL;
        if (!(pState->m_ulFlags & PM_QUEUED_IRP_FINISHED)) {
            if (!bInFlight)
                m_ulPendingBytes -= PmWriteLength(pIrp) - (ULONG)pIrp->IoStatus.Information;
            pState->m_ulFlags |= PM_WRITE_DETACHED;
            ++m_ulDetached;
            m_ulDetachedAtCancelAll = m_ulCancelAllCount;
        }
    } else {
        m_Cancelled(pIrp, bInFlight);
    }
    PmUnlinkQueuedIrp(pList, pIrp);
}

// A write put back after a cancel-all (purge, cleanup) ran while it was being copied ends as
// cancelled.
BOOLEAN CPmWriteQueue::m_MissedCancelAll(PIRP pIrp) const {
    return (PmQueuedIrp(pIrp)->m_ulFlags & PM_WRITE_DETACHED) && m_ulDetachedAtCancelAll != m_ulCancelAllCount;
}

NTSTATUS CPmWriteQueue::sm_WaitingInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pvInsertContext) {
    CPmWriteQueue* pQueue = PmWaitingQueueOf(pCsq);
    if (pQueue->m_MissedCancelAll(pIrp))
        return STATUS_CANCELLED;
    if (!pQueue->m_WaitingList.m_Append(pIrp))
        return STATUS_INSUFFICIENT_RESOURCES;
    PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    if (pState->m_ulFlags & PM_WRITE_DETACHED) {
        pState->m_ulFlags &= ~PM_WRITE_DETACHED;
        --pQueue->m_ulDetached;
    }
    pQueue->m_ulPendingBytes += PmWriteLength(pIrp) - (ULONG)pIrp->IoStatus.Information;
    if (pvInsertContext)
        InterlockedIncrement(&pQueue->m_lQueuedIrps);
    pQueue->m_ArmTimer();
    return STATUS_PENDING;
}

NTSTATUS CPmWriteQueue::sm_InFlightInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pvInsertContext) {
    CPmWriteQueue* pQueue = PmInFlightQueueOf(pCsq);
    if (pQueue->m_MissedCancelAll(pIrp))
        return STATUS_CANCELLED;
    if (!pQueue->m_InFlightList.m_Append(pIrp))
        return STATUS_INSUFFICIENT_RESOURCES;
    PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    pState->m_ulFlags |= PM_WRITE_IN_FLIGHT;
    if (pState->m_ulFlags & PM_WRITE_DETACHED) {
        pState->m_ulFlags &= ~PM_WRITE_DETACHED;
        --pQueue->m_ulDetached;
    }
    return STATUS_PENDING;
}

VOID CPmWriteQueue::sm_WaitingRemoveIrp(PIO_CSQ pCsq, PIRP pIrp) {
    CPmWriteQueue* pQueue = PmWaitingQueueOf(pCsq);
    pQueue->m_Remove(&pQueue->m_WaitingList, pIrp, FALSE);
}

VOID CPmWriteQueue::sm_InFlightRemoveIrp(PIO_CSQ pCsq, PIRP pIrp) {
    CPmWriteQueue* pQueue = PmInFlightQueueOf(pCsq);
    pQueue->m_Remove(&pQueue->m_InFlightList, pIrp, TRUE);
}

PIRP CPmWriteQueue::sm_WaitingPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pvPeekContext) {
    CPmWriteQueue* pQueue = PmWaitingQueueOf(pCsq);
    return pQueue->m_Peek(&pQueue->m_WaitingList, pIrp, pvPeekContext);
}

PIRP CPmWriteQueue::sm_InFlightPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pvPeekContext) {
    CPmWriteQueue* pQueue = PmInFlightQueueOf(pCsq);
    return pQueue->m_Peek(&pQueue->m_InFlightList, pIrp, pvPeekContext);
}

VOID CPmWriteQueue::sm_WaitingAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql) {
    *pIrql = KeGetCurrentIrql();
    PmWaitingQueueOf(pCsq)->m_ListLock.m_Lock();
}

VOID CPmWriteQueue::sm_InFlightAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql) {
    *pIrql = KeGetCurrentIrql();
    PmInFlightQueueOf(pCsq)->m_ListLock.m_Lock();
}

VOID CPmWriteQueue::sm_WaitingReleaseLock(PIO_CSQ pCsq, KIRQL irql) { PmWaitingQueueOf(pCsq)->m_ListLock.m_Unlock(); }

VOID CPmWriteQueue::sm_InFlightReleaseLock(PIO_CSQ pCsq, KIRQL irql) { PmInFlightQueueOf(pCsq)->m_ListLock.m_Unlock(); }

// Runs at the canceller's level, up to DISPATCH_LEVEL: the accounting was done at removal, so
// nothing here waits.
void CPmWriteQueue::m_CompleteCancelled(PIRP pIrp) {
    if (!PmIsFinished(pIrp))
        PmFinishQueuedIrp(pIrp, STATUS_CANCELLED, 0);
    m_CompleteFinished();
    m_CompleteTakenIrp(pIrp);
}

VOID CPmWriteQueue::sm_WaitingCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp) { PmWaitingQueueOf(pCsq)->m_CompleteCancelled(pIrp); }

VOID CPmWriteQueue::sm_InFlightCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp) { PmInFlightQueueOf(pCsq)->m_CompleteCancelled(pIrp); }

// ---------------------------------------------------------------------------------------------
// Completion (without locks)

void CPmWriteQueue::m_CompleteTakenIrp(PIRP pIrp) {
    PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    pIrp->IoStatus.Status = pState->m_ntFinalStatus;
    pIrp->IoStatus.Information = pState->m_ulFinalInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    InterlockedDecrement(&m_lQueuedIrps);
}

void CPmWriteQueue::m_CompleteFinished() {
    PmPeekContext finished = {PM_PEEK_FINISHED, 0};
    PIRP pIrp;
    while ((pIrp = IoCsqRemoveNextIrp(&m_InFlightCsq.m_Csq, &finished)) != NULL)
        m_CompleteTakenIrp(pIrp);
    while ((pIrp = IoCsqRemoveNextIrp(&m_WaitingCsq.m_Csq, &finished)) != NULL)
        m_CompleteTakenIrp(pIrp);
}

// ---------------------------------------------------------------------------------------------
// Interface

NTSTATUS CPmWriteQueue::m_QueueIrp(PIRP pIrp) {
    NTSTATUS ntStatus;
    if (!PmAdmitQueuedIrp(&m_ListLock, &m_bActive, &m_ntRefusalStatus, &m_ullNextSequence, pIrp, PmWriteLength(pIrp),
                          &ntStatus))
        return ntStatus;
    // Nothing to send: no acknowledgement would ever end it.
    if (PmWriteLength(pIrp) == 0) {
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    ntStatus = IoCsqInsertIrpEx(&m_WaitingCsq.m_Csq, pIrp, NULL, (PVOID)1);
    if (!NT_SUCCESS(ntStatus)) {
        pIrp->IoStatus.Status = ntStatus;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return ntStatus;
    }
    // Chunks are built on the worker, so that the writer's thread returns at once.
    if (!m_pWorker || !m_pWorker->m_Post(sm_StartNextWork, this, NULL))
        m_StartNext();
    return STATUS_PENDING;
}

VOID CPmWriteQueue::sm_StartNextWork(PVOID pvArgument1, PVOID pvArgument2) {
    static_cast<CPmWriteQueue*>(pvArgument1)->m_StartNext();
}

// The write to continue: the one partly in chunks while it still waits, else the first waiting.
PIRP CPmWriteQueue::m_TakeNextToChunk() {
    m_ListLock.m_Lock();
    ULONGLONG ullPartial = m_ullPartialSequence;
    m_ListLock.m_Unlock();
    if (ullPartial) {
        PmPeekContext partial = {PM_PEEK_SEQUENCE, ullPartial};
        PIRP pIrp = IoCsqRemoveNextIrp(&m_WaitingCsq.m_Csq, &partial);
        if (pIrp)
            return pIrp;
        m_ListLock.m_Lock();
        if (m_ullPartialSequence == ullPartial)
            m_ullPartialSequence = 0;
        m_ListLock.m_Unlock();
    }
    PmPeekContext live = {PM_PEEK_LIVE, 0};
    return IoCsqRemoveNextIrp(&m_WaitingCsq.m_Csq, &live);
}

void CPmWriteQueue::m_PutBack(PIRP pIrp) {
    BOOLEAN bInFlight = (ULONG)pIrp->IoStatus.Information == PmWriteLength(pIrp);
    if (bInFlight) {
        // From now on Information counts the bytes not yet acknowledged.
        PmQueuedIrp(pIrp)->m_ulFlags |= PM_WRITE_IN_FLIGHT;
    } else {
        m_ListLock.m_Lock();
        m_ullPartialSequence = PmQueuedIrp(pIrp)->m_ullSequence;
        m_ListLock.m_Unlock();
    }
    NTSTATUS ntStatus = IoCsqInsertIrpEx(bInFlight ? &m_InFlightCsq.m_Csq : &m_WaitingCsq.m_Csq, pIrp, NULL, NULL);
    if (NT_SUCCESS(ntStatus))
        return;
    m_ListLock.m_Lock();
    m_EndDetached(pIrp, ntStatus);
    m_ListLock.m_Unlock();
    m_CompleteTakenIrp(pIrp);
}

BOOLEAN CPmWriteQueue::m_StartNext() {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        m_RunStartNext();
        return TRUE;
    }
    KeWaitForSingleObject(&m_kMutex, Executive, KernelMode, FALSE, NULL);
    PKTHREAD pPreviousOwner = m_pMutexOwner;
    m_pMutexOwner = KeGetCurrentThread();
    // A run nested in this thread's own (from a completion inside the loop) leaves the outer
    // chunk's generation as it found it.
    m_ListLock.m_Lock();
    ULONG ulOuterGeneration = m_ulChunkGeneration;
    m_ListLock.m_Unlock();
    BOOLEAN bResult = TRUE;
    for (;;) {
        m_ListLock.m_Lock();
        ULONG ulSize = PmMinUlong(m_ulPendingBytes, m_ulCredit);
        ULONG ulGeneration = m_ulCancelAllCount;
        m_ulChunkGeneration = ulGeneration;
        m_ListLock.m_Unlock();
        if (ulSize == 0)
            break;
        CPmBuffer* pChunk = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
        if (pChunk)
            pChunk->m_pPool = g_pPmMemoryPool;
        if (!pChunk || !pChunk->m_Allocate(ulSize)) {
            // The writes stay waiting; the next acknowledgement or write tries again.
            if (pChunk)
                pChunk->m_Delete();
            bResult = FALSE;
            break;
        }
        ULONG ulRoom = ulSize;
        ULONG ulCopied = 0;
        while (ulRoom) {
            PIRP pIrp = m_TakeNextToChunk();
            if (!pIrp)
                break;
            ULONG ulLength = PmWriteLength(pIrp);
            ULONG ulDone = (ULONG)pIrp->IoStatus.Information;
            ULONG ulCount = PmMinUlong(ulLength - ulDone, ulRoom);
            RtlCopyMemory(pChunk->m_pucData + ulCopied, PmRequestBuffer(pIrp) + ulDone, ulCount);
            pIrp->IoStatus.Information = ulDone + ulCount;
            ulRoom -= ulCount;
            ulCopied += ulCount;
            m_PutBack(pIrp);
        }
        if (ulCopied == 0) {
            pChunk->m_Delete();
            m_ListLock.m_Lock();
            m_ArmTimer();
            // Takes stopped at a cancel-all: writes queued after it are served by a new chunk.
            BOOLEAN bAgain = ulGeneration != m_ulCancelAllCount;
            m_ListLock.m_Unlock();
            if (bAgain)
                continue;
            break;
        }
        pChunk->m_ulLength = ulCopied;
        // The chunk goes down only when no cancel-all ran since it was begun. Otherwise every
        // byte in it belongs to a write that the cancel-all ended (takes stopped with it) and was
        // added to the discount as sent; it is neither sent nor charged to the credit, so its
        // bytes come off the discount again.
        m_ListLock.m_Lock();
        BOOLEAN bStale = ulGeneration != m_ulCancelAllCount;
        if (bStale)
            m_ulDiscount -= PmMinUlong(ulCopied, m_ulDiscount);
        else
            m_ulCredit -= PmMinUlong(ulCopied, m_ulCredit);
        m_Settle();
        m_ArmTimer();
        m_ListLock.m_Unlock();
        m_CompleteFinished();
        if (bStale) {
            pChunk->m_Delete();
            continue;
        }
        BOOLEAN bSent = FALSE;
        if (m_pfnChunkRoutine) {
            bSent = m_pfnChunkRoutine(m_pvChunkContext, pChunk);
        } else {
            PM_ASSERTION_LINE(s_szSourcePath);
            pChunk->m_Delete();
        }
        if (!bSent) {
            bResult = FALSE;
            break;
        }
    }
    m_ListLock.m_Lock();
    m_ulChunkGeneration = ulOuterGeneration;
    m_ListLock.m_Unlock();
    m_pMutexOwner = pPreviousOwner;
    KeReleaseMutex(&m_kMutex, FALSE);
    return bResult;
}

// After credit was granted: chunks are built here, by the chunk loop this thread is already in,
// or on the worker when the caller is above PASSIVE_LEVEL.
void CPmWriteQueue::m_RunStartNext() {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        if (m_pWorker)
            m_pWorker->m_Post(sm_StartNextWork, this, NULL);
        return;
    }
    if (m_pMutexOwner == KeGetCurrentThread())
        return;
    m_StartNext();
}

void CPmWriteQueue::m_DataWritten(ULONG ulCount) {
    if (ulCount == 0) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return;
    }
    m_QueueLock.m_Lock();
    m_ListLock.m_LockAtDpcLevel();
    if (m_llDataWritten < 0)
        m_llDataWritten = 0; // the first report only grants credit
    else
        m_llDataWritten += ulCount;
    m_ulCredit = PmAddSaturated(m_ulCredit, ulCount);
    m_Settle();
    m_ArmTimer();
    ULONG ulPending = m_ulPendingBytes;
    m_ListLock.m_Unlock();
    m_QueueLock.m_Unlock();
    m_CompleteFinished();
    if (ulPending)
        m_RunStartNext();
}

void CPmWriteQueue::m_CancelAll() {
    m_QueueLock.m_Lock();
    m_ListLock.m_LockAtDpcLevel();
    m_Settle();
    for (PmListNode* pNode = m_InFlightList.m_pHead; pNode; pNode = pNode->m_pNext) {
        PIRP pIrp = static_cast<PIRP>(pNode->m_pvElement);
        if (!PmIsFinished(pIrp))
            m_EndInFlight(pIrp, STATUS_CANCELLED);
    }
    for (PmListNode* pNode = m_WaitingList.m_pHead; pNode; pNode = pNode->m_pNext) {
        PIRP pIrp = static_cast<PIRP>(pNode->m_pvElement);
        if (!PmIsFinished(pIrp))
            m_EndWaiting(pIrp, STATUS_CANCELLED);
    }
    m_pTimedIrp = NULL;
    m_Timer.m_Disarm();
    m_ullPartialSequence = 0;
    ++m_ulCancelAllCount;
    m_ListLock.m_Unlock();
    m_QueueLock.m_Unlock();
    m_CompleteFinished();
}

// A chunk of the last open that is on its way down reaches the driver before the new open
// begins: the new open never receives, nor is credited with, bytes of the old one.
void CPmWriteQueue::m_ResetForOpen() {
    BOOLEAN bMutex = KeGetCurrentIrql() == PASSIVE_LEVEL;
    if (bMutex)
        KeWaitForSingleObject(&m_kMutex, Executive, KernelMode, FALSE, NULL);
    m_ListLock.m_Lock();
    m_llDataWritten = -1;
    m_ulCredit = 0;
    m_ulDiscount = 0;
    m_ListLock.m_Unlock();
    if (bMutex)
        KeReleaseMutex(&m_kMutex, FALSE);
}

void CPmWriteQueue::m_SetActive(BOOLEAN bActive, NTSTATUS ntRefusalStatus) {
    m_ListLock.m_Lock();
    m_bActive = bActive;
    m_ntRefusalStatus = ntRefusalStatus;
    m_ListLock.m_Unlock();
}

void CPmWriteQueue::m_SetTimeouts(ULONG ulMultiplier, ULONG ulConstant) {
    BOOLEAN bMutex = KeGetCurrentIrql() == PASSIVE_LEVEL;
    if (bMutex)
        KeWaitForSingleObject(&m_kMutex, Executive, KernelMode, FALSE, NULL);
    m_ListLock.m_Lock();
    m_ulMultiplier = ulMultiplier;
    m_ulConstant = ulConstant;
    // The running timeout ends only when no timeout is wanted any more.
    if (ulMultiplier == 0 && ulConstant == 0 && m_pTimedIrp) {
        m_pTimedIrp = NULL;
        m_Timer.m_Disarm();
    }
    m_ArmTimer();
    m_ListLock.m_Unlock();
    if (bMutex)
        KeReleaseMutex(&m_kMutex, FALSE);
}

ULONG CPmWriteQueue::m_GetPendingBytes() {
    m_ListLock.m_Lock();
    ULONG ulPending = m_ulPendingBytes;
    m_ListLock.m_Unlock();
    return ulPending;
}

BOOLEAN CPmWriteQueue::m_IsEmpty() {
    m_ListLock.m_Lock();
    BOOLEAN bEmpty = m_WaitingList.m_GetCount() == 0 && m_InFlightList.m_GetCount() == 0 && m_ulDetached == 0;
    m_ListLock.m_Unlock();
    return bEmpty;
}

// ---------------------------------------------------------------------------------------------
// Total timeout (DISPATCH_LEVEL, on the DPC thread)

void CPmWriteQueue::m_Timeout() {
    m_QueueLock.m_Lock();
    m_ListLock.m_LockAtDpcLevel();
    PIRP pIrp = m_pTimedIrp;
    if (m_Timer.m_TakeExpiry() && pIrp && PmQueuedIrp(pIrp)->m_ullSequence == m_Timer.m_ullSequence) {
        PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
        if (pState->m_ulFlags & PM_WRITE_DETACHED) {
            // Being copied into a chunk: it is back in a list in a moment.
            m_Timer.m_Arm(1, pState->m_ullSequence);
        } else {
            m_pTimedIrp = NULL;
            m_Settle();
            if (!PmIsFinished(pIrp)) {
                if (pState->m_ulFlags & PM_WRITE_IN_FLIGHT)
                    m_EndInFlight(pIrp, STATUS_TIMEOUT);
                else
                    m_EndWaiting(pIrp, STATUS_TIMEOUT);
            }
            // The next write is timed from now on.
            m_ArmTimer();
        }
    }
    m_ListLock.m_Unlock();
    m_QueueLock.m_Unlock();
    m_CompleteFinished();
}

VOID CPmWriteQueue::sm_TimeoutDpc(PKDPC pDpc, PVOID pvContext, PVOID pvArgument1, PVOID pvArgument2) {
    static_cast<CPmWriteQueue*>(pvContext)->m_Timeout();
}
