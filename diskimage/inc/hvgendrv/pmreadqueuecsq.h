// The read side of a framework device: received data held as buffers, read requests in a
// cancel-safe queue, and the serial interval and total timeouts.
#pragma once

#include <wdm.h>

#include <pmbuffer.h>
#include <pmmemorypool.h>
#include <pmspinlock.h>

#include <pmqueuedirp.h>

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
