// The write side of a framework device: write requests cut into transmit chunks no larger than
// the credit the lower layer grants, completed once the lower layer reports all their bytes
// written, with the serial total timeout.
#pragma once

#include <wdm.h>

#include <pmbuffer.h>
#include <pmqueuedirp.h>
#include <pmworkerthread.h>

// Hands one transmit chunk down; the receiver owns the buffer from then on.
typedef BOOLEAN PM_WRITE_CHUNK_ROUTINE(PVOID pvContext, CPmBuffer* pChunk);
typedef PM_WRITE_CHUNK_ROUTINE* PPM_WRITE_CHUNK_ROUTINE;

class CPmWriteQueue {
public:
    // While not active, new writes complete at once with the refusal status.
    BOOLEAN m_bActive;
    NTSTATUS m_ntRefusalStatus;
    PPM_WRITE_CHUNK_ROUTINE m_pfnChunkRoutine;
    PVOID m_pvChunkContext;
    // Bytes of waiting writes not yet put into chunks.
    ULONG m_ulPendingBytes;
    // Bytes the lower layer can take now.
    ULONG m_ulCredit;
    // Bytes handed down whose writes ended before they were acknowledged; acknowledgements pay
    // it off first.
    ULONG m_ulDiscount;
    // Runs m_StartNext at PASSIVE_LEVEL when a write arrives.
    CPmDeviceWorker* m_pWorker;
    // One chunk is built at a time.
    KMUTEX m_kMutex;
    PKTHREAD m_pMutexOwner;
    // m_QueueLock serialises the acknowledgement, timeout and cancel-all paths; m_ListLock (taken
    // inside it) guards every field of the queue and is both cancel-safe queues' lock.
    CPmSpinLock m_QueueLock;
    CPmSpinLock m_ListLock;
    // Writes with data not yet in chunks (IoStatus.Information: bytes put into chunks), and writes
    // whose data is all in chunks but not yet acknowledged (Information: bytes not acknowledged).
    CPmPointerList m_WaitingList;
    CPmPointerList m_InFlightList;
    PmQueueCsq m_WaitingCsq;
    PmQueueCsq m_InFlightCsq;
    // Acknowledged bytes not yet assigned to writes; -1 until the first report, which only grants
    // the first credit.
    LONGLONG m_llDataWritten;
    ULONG m_ulMultiplier;
    ULONG m_ulConstant;
    PmRequestTimer m_Timer;
    // The write whose total timeout runs.
    PIRP m_pTimedIrp;
    // The write that is partly in chunks (0: none); it goes on before any other.
    ULONGLONG m_ullPartialSequence;
    // The request a removal of our own is taking out (any other removal is a cancellation).
    PIRP m_pClaimedIrp;
    // Writes taken out of the waiting list to be copied into a chunk and not yet put back (one at
    // most: chunks are built under the mutex).
    ULONG m_ulDetached;
    // Counts m_CancelAll calls; a write taken out before one ends as cancelled when put back.
    ULONG m_ulCancelAllCount;
    ULONG m_ulDetachedAtCancelAll;
    // The cancel-all count when the chunk in preparation was begun: a chunk begun before a
    // cancel-all is dropped, never handed down.
    ULONG m_ulChunkGeneration;
    ULONGLONG m_ullNextSequence;
    // Writes taken into the queue and not yet completed.
    LONG volatile m_lQueuedIrps;

    // Active, refusal status STATUS_CANCELLED, no credit, no timeouts.
    CPmWriteQueue();
    // Ends every write with STATUS_CANCELLED and stops the worker. PASSIVE_LEVEL.
    virtual ~CPmWriteQueue();
    CPmWriteQueue(const CPmWriteQueue&) = delete;
    CPmWriteQueue& operator=(const CPmWriteQueue&) = delete;

    // The routine that sends chunks, and the worker (work items of the device when a device
    // object is given, else its own thread). PASSIVE_LEVEL, once.
    BOOLEAN m_Initialize(PPM_WRITE_CHUNK_ROUTINE pfnChunkRoutine, PVOID pvChunkContext, PDEVICE_OBJECT pDeviceObject);

    // STATUS_PENDING when the write was queued; otherwise the status it was completed with.
    virtual NTSTATUS m_QueueIrp(PIRP pIrp);
    // Builds and sends chunks while data waits and credit lasts. FALSE when a chunk could not be
    // allocated or the chunk routine refused one. PASSIVE_LEVEL.
    BOOLEAN m_StartNext();
    // The lower layer reports bytes written (the first report after an open grants the first
    // credit).
    void m_DataWritten(ULONG ulCount);
    // Ends every write with STATUS_CANCELLED and the bytes acknowledged of it.
    void m_CancelAll();

    // For a new open: the next report only grants credit. Waits for a chunk on its way down.
    // PASSIVE_LEVEL.
    void m_ResetForOpen();
    void m_SetActive(BOOLEAN bActive, NTSTATUS ntRefusalStatus);
    // Total timeout = bytes left × multiplier + constant, in ms; 0 and 0: none.
    void m_SetTimeouts(ULONG ulMultiplier, ULONG ulConstant);
    ULONG m_GetPendingBytes();
    // TRUE when no write is queued.
    BOOLEAN m_IsEmpty();

    static IO_CSQ_INSERT_IRP_EX sm_WaitingInsertIrp;
    static IO_CSQ_INSERT_IRP_EX sm_InFlightInsertIrp;
    static IO_CSQ_REMOVE_IRP sm_WaitingRemoveIrp;
    static IO_CSQ_REMOVE_IRP sm_InFlightRemoveIrp;
    static IO_CSQ_PEEK_NEXT_IRP sm_WaitingPeekNextIrp;
    static IO_CSQ_PEEK_NEXT_IRP sm_InFlightPeekNextIrp;
    static IO_CSQ_ACQUIRE_LOCK sm_WaitingAcquireLock;
    static IO_CSQ_ACQUIRE_LOCK sm_InFlightAcquireLock;
    static IO_CSQ_RELEASE_LOCK sm_WaitingReleaseLock;
    static IO_CSQ_RELEASE_LOCK sm_InFlightReleaseLock;
    static IO_CSQ_COMPLETE_CANCELED_IRP sm_WaitingCompleteCanceledIrp;
    static IO_CSQ_COMPLETE_CANCELED_IRP sm_InFlightCompleteCanceledIrp;
    static KDEFERRED_ROUTINE sm_TimeoutDpc;
    static PM_WORK_FUNCTION sm_StartNextWork;

private:
    // Under the list lock.
    ULONG m_AcknowledgedCount() const;
    void m_Settle();
    void m_ArmTimer();
    void m_EndWaiting(PIRP pIrp, NTSTATUS ntStatus);
    void m_EndInFlight(PIRP pIrp, NTSTATUS ntStatus);
    void m_Cancelled(PIRP pIrp, BOOLEAN bInFlight);
    BOOLEAN m_MissedCancelAll(PIRP pIrp) const;
    // A write that is in neither list ends (its insertion was refused); completed by the caller.
    void m_EndDetached(PIRP pIrp, NTSTATUS ntStatus);
    PIRP m_Peek(CPmPointerList* pList, PIRP pIrp, PVOID pvPeekContext);
    void m_Remove(CPmPointerList* pList, PIRP pIrp, BOOLEAN bInFlight);
    // Without locks.
    void m_CompleteFinished();
    void m_CompleteTakenIrp(PIRP pIrp);
    void m_CompleteCancelled(PIRP pIrp);
    PIRP m_TakeNextToChunk();
    // Puts a write whose data was partly or wholly copied back into its list.
    void m_PutBack(PIRP pIrp);
    void m_RunStartNext();
    void m_Timeout();
};
