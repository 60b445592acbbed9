// What the framework's read, write and control queues share: the state a queue keeps in a request
// it holds, taking requests in and out of a queue's list, and the timer that runs for one request.
#pragma once

#include <wdm.h>

#include <pmmemorypool.h>
#include <pmspinlock.h>


// What a queue keeps in a request it holds, in the IRP's driver context (the cancel-safe queue
// owns the fourth slot).
struct PmQueuedIrpState {
    // Unique per queue, so that a timer or a removal can tell one request from a later one that
    // reuses the same IRP memory.
    ULONGLONG m_ullSequence;
    ULONG m_ulFlags;
    NTSTATUS m_ntFinalStatus;
    // Information the request completes with once it is finished.
    ULONG_PTR m_ulFinalInformation;
};
static_assert(sizeof(PmQueuedIrpState) <= 3 * sizeof(PVOID), "queued request state fits the driver context");

// The request is decided (its final status and information are set) and waits only to be taken
// out and completed; whoever takes it out completes it with that result.
#define PM_QUEUED_IRP_FINISHED 0x1

inline PmQueuedIrpState* PmQueuedIrp(PIRP pIrp) {
    return reinterpret_cast<PmQueuedIrpState*>(&pIrp->Tail.Overlay.DriverContext[0]);
}

// Peek contexts the queues pass to IoCsqRemoveNextIrp: which request to take.
#define PM_PEEK_ANY 0      // any request
#define PM_PEEK_SEQUENCE 1 // the request with this sequence number, unless finished
#define PM_PEEK_FINISHED 2 // the first finished request
#define PM_PEEK_LIVE 3     // the first request that is not finished

struct PmPeekContext {
    ULONG m_ulKind;
    ULONGLONG m_ullSequence;
};

// The request after pAfter (or the first, for NULL) that matches the peek context (any request
// without one). Called with the queue's lock held.
PIRP PmPeekQueuedIrp(CPmPointerList* pList, PIRP pAfter, const PmPeekContext* pContext);
// The first request of the list that is not finished, or NULL.
PIRP PmFirstLiveIrp(CPmPointerList* pList);
// Unlinks the request from the list; FALSE when it was not there.
BOOLEAN PmUnlinkQueuedIrp(CPmPointerList* pList, PIRP pIrp);
// Prepares a new request for its queue: under the queue's lock, an active queue gives it the next
// sequence number and TRUE; otherwise the request is completed (refusal status, or
// STATUS_INVALID_PARAMETER without a data buffer) and *pntStatus says with what.
BOOLEAN PmAdmitQueuedIrp(CPmSpinLock* pLock, const BOOLEAN* pbActive, const NTSTATUS* pntRefusalStatus,
                         ULONGLONG* pullNextSequence, PIRP pIrp, ULONG ulLength, NTSTATUS* pntStatus);
// Marks the request finished with its result; it is completed when it is taken out.
void PmFinishQueuedIrp(PIRP pIrp, NTSTATUS ntStatus, ULONG_PTR ulInformation);
// Waits until every request a queue took has been completed, so that no cancellation still runs
// in the queue when it goes. PASSIVE_LEVEL.
void PmWaitForQueuedIrps(LONG volatile* plQueued);
// The data buffer of a buffered or direct request, or NULL.
PUCHAR PmRequestBuffer(PIRP pIrp);

inline ULONG PmMinUlong(ULONG a, ULONG b) { return a < b ? a : b; }

// The serial timeouts allow any 32-bit product of length and multiplier plus a constant; this
// keeps the sum from wrapping.
ULONGLONG PmTimeoutMilliseconds(ULONG ulLength, ULONG ulMultiplier, ULONG ulConstant);

// A kernel timer with its DPC that remembers which request it runs for and when it is due, so
// that a DPC left queued when the timer was cancelled or set again does nothing. Guarded by the
// owner's lock.
struct PmRequestTimer {
    KTIMER m_kTimer;
    KDPC m_kDpc;
    BOOLEAN m_bArmed;
    ULONGLONG m_ullDue;      // interrupt time
    ULONGLONG m_ullSequence; // of the request it runs for

    void m_Initialize(PKDEFERRED_ROUTINE pfnRoutine, PVOID pvContext);
    void m_Arm(ULONGLONG ullMilliseconds, ULONGLONG ullSequence);
    void m_Disarm();
    // In the DPC, under the owner's lock: TRUE when this expiry is the one last armed (and then
    // disarms it).
    BOOLEAN m_TakeExpiry();
};

// A queue's cancel-safe queue with the way back to the queue object.
struct PmQueueCsq {
    IO_CSQ m_Csq;
    PVOID m_pvOwner;
};

template <class T> inline T* PmCsqOwner(PIO_CSQ pCsq) {
    return static_cast<T*>(CONTAINING_RECORD(pCsq, PmQueueCsq, m_Csq)->m_pvOwner);
}
