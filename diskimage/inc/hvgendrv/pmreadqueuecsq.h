// The read side of a framework device: received data held as buffers, read requests in a
// cancel-safe queue, and the serial interval and total timeouts. Also the pieces that the
// framework's three request queues share.
#pragma once

#include <wdm.h>

#include <pmbuffer.h>
#include <pmmemorypool.h>
#include <pmspinlock.h>

// ---------------------------------------------------------------------------------------------
// Shared by the read, write and control queues.

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

// ---------------------------------------------------------------------------------------------

// Called after the queue's lock is released whenever the amount of held data changed; the
// timeout routine calls it with the amount twice.
typedef VOID PM_READ_AMOUNT_CHANGED(PVOID pvContext, ULONG ulNewAmount, ULONG ulOldAmount);
typedef PM_READ_AMOUNT_CHANGED* PPM_READ_AMOUNT_CHANGED;

class CPmReadQueue {
public:
    // While not active, new reads complete at once with the refusal status.
    BOOLEAN m_bActive;
    NTSTATUS m_ntRefusalStatus;
    // Guards everything below; the cancel-safe queue's lock.
    CPmSpinLock m_SpinLock;
    // Queued reads in arrival order; the first one not finished is the one being served.
    CPmPointerList m_IrpList;
    // Milliseconds. The driver sets the configured ones; a read takes them when it is served.
    ULONG m_ulCurrentInterval;
    ULONG m_ulConfiguredInterval;
    ULONG m_ulCurrentMultiplier;
    ULONG m_ulConfiguredMultiplier;
    ULONG m_ulCurrentConstant;
    ULONG m_ulConfiguredConstant;
    PmRequestTimer m_IntervalTimer;
    PmRequestTimer m_TotalTimer;
    // Received buffers in order; a partly read one has been advanced in place.
    CPmPointerList m_DataList;
    ULONG m_ulAmountInQueue;
    // The amount the notification last reported.
    ULONG m_ulReportedAmount;
    // Sequence of the read being served (0: none); it took the current timeouts.
    ULONGLONG m_ullServedSequence;
    ULONGLONG m_ullNextSequence;
    PmQueueCsq m_Csq;
    PPM_READ_AMOUNT_CHANGED m_pfnAmountChanged;
    PVOID m_pvAmountChangedContext;
    // Reads taken into the cancel-safe queue and not yet completed.
    LONG volatile m_lQueuedIrps;
    LONGLONG m_llStamp;

    // Active, no timeouts (a read waits until it is full).
    CPmReadQueue();
    // Ends every read with STATUS_CANCELLED and drops the held data. PASSIVE_LEVEL.
    virtual ~CPmReadQueue();
    CPmReadQueue(const CPmReadQueue&) = delete;
    CPmReadQueue& operator=(const CPmReadQueue&) = delete;

    // STATUS_PENDING when the read was queued (it may already be complete by the time this
    // returns); otherwise the status it was completed with.
    virtual NTSTATUS m_QueueIrp(PIRP pIrp);

    // Takes over a buffer of received data; NULL only delivers what is already held.
    void m_DataForPendingIrpArrived(CPmBuffer* pBuffer);
    // Discards all received data; the bytes discarded.
    ULONG m_Purge();
    // Ends every queued read with STATUS_CANCELLED; what a read had received goes back to the
    // held data, in front.
    void m_CancelAll();
    ULONG m_GetAmountInQueue();

    // The configured read timeouts; they become the current ones at once when no read is served.
    void m_SetTimeouts(ULONG ulInterval, ULONG ulMultiplier, ULONG ulConstant);
    void m_SetActive(BOOLEAN bActive, NTSTATUS ntRefusalStatus);
    void m_SetAmountChangedNotification(PPM_READ_AMOUNT_CHANGED pfnNotification, PVOID pvContext);

    static IO_CSQ_INSERT_IRP_EX sm_CsqInsertIrp;
    static IO_CSQ_REMOVE_IRP sm_CsqRemoveIrp;
    static IO_CSQ_PEEK_NEXT_IRP sm_CsqPeekNextIrp;
    static IO_CSQ_ACQUIRE_LOCK sm_CsqAcquireLock;
    static IO_CSQ_RELEASE_LOCK sm_CsqReleaseLock;
    static IO_CSQ_COMPLETE_CANCELED_IRP sm_CsqCompleteCanceledIrp;
    static KDEFERRED_ROUTINE sm_IntervalTimeoutDpc;
    static KDEFERRED_ROUTINE sm_TotalTimeoutDpc;

private:
    BOOLEAN m_IsImmediate() const;
    BOOLEAN m_IsFirstByte() const;
    // Copies held data into the read from what it already has on; the bytes copied.
    ULONG m_CopyHeldData(PIRP pIrp);
    // Puts what a cancelled read received back in front of the held data. Under the lock.
    void m_Unread(PIRP pIrp);
    // The amount and the one last reported, which it becomes; TRUE when they differ.
    BOOLEAN m_TakeAmountChange(PULONG pulNewAmount, PULONG pulOldAmount);
    void m_ArmTotalTimer(ULONG ulLength, ULONGLONG ullSequence);
    void m_ArmIntervalTimer(ULONGLONG ullSequence);
    // Serves the queued reads from the held data, finishing those that are satisfied and timing
    // the one left waiting. Under the lock.
    void m_Serve();
    // Serves under the lock, then completes what finished and reports a changed amount;
    // ullNewSequence names the read being queued (0: none).
    void m_Deliver(ULONGLONG ullNewSequence);
    // Takes out and completes the finished reads. Without the lock.
    void m_CompleteFinished();
    void m_CompleteTakenIrp(PIRP pIrp);
    void m_Timeout(PmRequestTimer* pTimer);
    void m_Notify(ULONG ulNewAmount, ULONG ulOldAmount);
    ULONG m_FreeHeldData();
};
