// The pieces the framework's three request queues share.
#include <pmqueuedirp.h>

// Relative timer times are capped here (about 14,000 years), far beyond any serial timeout but
// safe from overflow when the kernel adds them to the clock.
#define PM_MAX_TIMER_MILLISECONDS (0x4000000000000000ULL / 10000ULL)

static BOOLEAN PmPeekMatches(PIRP pIrp, const PmPeekContext* pContext) {
    if (!pContext)
        return TRUE;
    const PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    BOOLEAN bFinished = (pState->m_ulFlags & PM_QUEUED_IRP_FINISHED) != 0;
    switch (pContext->m_ulKind) {
    case PM_PEEK_SEQUENCE:
        return !bFinished && pState->m_ullSequence == pContext->m_ullSequence;
    case PM_PEEK_FINISHED:
        return bFinished;
    case PM_PEEK_LIVE:
        return !bFinished;
    default:
        return TRUE;
    }
}

PIRP PmPeekQueuedIrp(CPmPointerList* pList, PIRP pAfter, const PmPeekContext* pContext) {
    PmListNode* pNode = pList->m_pHead;
    if (pAfter) {
        while (pNode && pNode->m_pvElement != pAfter)
            pNode = pNode->m_pNext;
        if (!pNode)
            return NULL;
        pNode = pNode->m_pNext;
    }
    for (; pNode; pNode = pNode->m_pNext) {
        PIRP pIrp = static_cast<PIRP>(pNode->m_pvElement);
        if (PmPeekMatches(pIrp, pContext))
            return pIrp;
    }
    return NULL;
}

PIRP PmFirstLiveIrp(CPmPointerList* pList) {
    PmPeekContext live = {PM_PEEK_LIVE, 0};
    return PmPeekQueuedIrp(pList, NULL, &live);
}

BOOLEAN PmUnlinkQueuedIrp(CPmPointerList* pList, PIRP pIrp) {
    for (PmListNode* pNode = pList->m_pHead; pNode; pNode = pNode->m_pNext) {
        if (pNode->m_pvElement == pIrp) {
            pList->m_pCursor = pNode;
            pList->m_RemoveAtCursor();
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN PmAdmitQueuedIrp(CPmSpinLock* pLock, const BOOLEAN* pbActive, const NTSTATUS* pntRefusalStatus,
                         ULONGLONG* pullNextSequence, PIRP pIrp, ULONG ulLength, NTSTATUS* pntStatus) {
    PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    pState->m_ulFlags = 0;
    pState->m_ntFinalStatus = STATUS_PENDING;
    pState->m_ulFinalInformation = 0;
    pIrp->IoStatus.Information = 0;
    BOOLEAN bAdmitted = FALSE;
    pLock->m_Lock();
    if (!*pbActive) {
        *pntStatus = *pntRefusalStatus;
    } else if (ulLength && !PmRequestBuffer(pIrp)) {
        *pntStatus = STATUS_INVALID_PARAMETER;
    } else {
        pState->m_ullSequence = ++*pullNextSequence;
        *pntStatus = STATUS_PENDING;
        bAdmitted = TRUE;
    }
    pLock->m_Unlock();
    if (!bAdmitted) {
        pIrp->IoStatus.Status = *pntStatus;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    }
    return bAdmitted;
}

void PmFinishQueuedIrp(PIRP pIrp, NTSTATUS ntStatus, ULONG_PTR ulInformation) {
    PmQueuedIrpState* pState = PmQueuedIrp(pIrp);
    pState->m_ulFlags |= PM_QUEUED_IRP_FINISHED;
    pState->m_ntFinalStatus = ntStatus;
    pState->m_ulFinalInformation = ulInformation;
}

void PmWaitForQueuedIrps(LONG volatile* plQueued) {
    // A cancellation that already took a request out still completes it; it is short.
    LARGE_INTEGER liPause;
    liPause.QuadPart = -10000; // 1 ms
    while (InterlockedCompareExchange(plQueued, 0, 0) != 0)
        KeDelayExecutionThread(KernelMode, FALSE, &liPause);
}

PUCHAR PmRequestBuffer(PIRP pIrp) {
    if (pIrp->AssociatedIrp.SystemBuffer)
        return static_cast<PUCHAR>(pIrp->AssociatedIrp.SystemBuffer);
    if (pIrp->MdlAddress)
        return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(pIrp->MdlAddress, NormalPagePriority));
    return NULL;
}

ULONGLONG PmTimeoutMilliseconds(ULONG ulLength, ULONG ulMultiplier, ULONG ulConstant) {
    // (2^32 - 1)^2 + 2^32 - 1 still fits 64 bits.
    return (ULONGLONG)ulLength * ulMultiplier + ulConstant;
}

void PmRequestTimer::m_Initialize(PKDEFERRED_ROUTINE pfnRoutine, PVOID pvContext) {
    KeInitializeTimer(&m_kTimer);
    KeInitializeDpc(&m_kDpc, pfnRoutine, pvContext);
    m_bArmed = FALSE;
    m_ullDue = 0;
    m_ullSequence = 0;
}

void PmRequestTimer::m_Arm(ULONGLONG ullMilliseconds, ULONGLONG ullSequence) {
    if (ullMilliseconds > PM_MAX_TIMER_MILLISECONDS)
        ullMilliseconds = PM_MAX_TIMER_MILLISECONDS;
    LARGE_INTEGER liDue;
    liDue.QuadPart = -(LONGLONG)(ullMilliseconds * 10000ULL);
    m_bArmed = TRUE;
    m_ullSequence = ullSequence;
    m_ullDue = KeQueryInterruptTime() + ullMilliseconds * 10000ULL;
    KeSetTimer(&m_kTimer, liDue, &m_kDpc);
}

void PmRequestTimer::m_Disarm() {
    if (!m_bArmed)
        return;
    m_bArmed = FALSE;
    KeCancelTimer(&m_kTimer);
}

BOOLEAN PmRequestTimer::m_TakeExpiry() {
    // A DPC of an earlier setting may run after the timer was set again: it is not due yet.
    if (!m_bArmed || KeQueryInterruptTime() < m_ullDue)
        return FALSE;
    m_bArmed = FALSE;
    return TRUE;
}
