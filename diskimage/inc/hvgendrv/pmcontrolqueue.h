// The wait-on-mask request of a serial port, with the port's wait mask and the communication
// events received since the last wait.
#pragma once

#include <wdm.h>

#include <pmmemorypool.h>
#include <pmspinlock.h>
#include <pmqueuedirp.h>

// The events that can satisfy a wait (SERIAL_EV_PERR never does).
#define PM_SATISFIABLE_EVENTS 0x1DFFu

class CPmControlQueue {
public:
    LARGE_INTEGER m_liHalfSecond;
    // Guarded by m_MaskLock, which is never held while m_QueueLock is taken.
    ULONG m_ulWaitMask;
    ULONG m_ulEventsReceived;
    CPmSpinLock m_MaskLock;
    // The cancel-safe queue's lock.
    CPmSpinLock m_QueueLock;
    // At most one waiting request.
    CPmPointerList m_IrpList;
    PmQueueCsq m_Csq;
    // Requests taken into the queue and not yet completed.
    LONG volatile m_lQueuedIrps;

    CPmControlQueue();
    // A waiting request ends with STATUS_CANCELLED. PASSIVE_LEVEL.
    virtual ~CPmControlQueue();
    CPmControlQueue(const CPmControlQueue&) = delete;
    CPmControlQueue& operator=(const CPmControlQueue&) = delete;

    // IOCTL_SERIAL_WAIT_ON_MASK (METHOD_BUFFERED, 4-byte output): waits for an event of the mask,
    // or completes at once when one was received already. STATUS_PENDING once queued; otherwise
    // the status it was completed with (a zero mask or a second wait: STATUS_INVALID_PARAMETER,
    // event mask 0, Information 4).
    NTSTATUS m_QueueIrp(PIRP pIrp);
    // Stores a new mask and forgets the events received; a waiting request completes with
    // STATUS_SUCCESS and an event mask of 0, as the serial contract has it.
    void m_SetWaitMask(ULONG ulMask);
    // Ends a waiting request with STATUS_CANCELLED (cleanup, close, purge of the port).
    void m_CancelAll();
    // Completes the waiting request when a received event meets the mask; TRUE when it did.
    BOOLEAN m_ResolveCurrentEventMask();
    // Records events; the caller resolves them.
    void m_SetCommEventsReceived(ULONG ulEvents);
    // Withdraws events not yet delivered.
    void m_ClearCommEvents(ULONG ulEvents);
    ULONG m_GetWaitMask();
    ULONG m_GetEventsReceived();

    static IO_CSQ_INSERT_IRP_EX sm_CsqInsertIrp;
    static IO_CSQ_REMOVE_IRP sm_CsqRemoveIrp;
    static IO_CSQ_PEEK_NEXT_IRP sm_CsqPeekNextIrp;
    static IO_CSQ_ACQUIRE_LOCK sm_CsqAcquireLock;
    static IO_CSQ_RELEASE_LOCK sm_CsqReleaseLock;
    static IO_CSQ_COMPLETE_CANCELED_IRP sm_CsqCompleteCanceledIrp;

private:
    // Completes a request that is out of the queue, with the event mask in its buffer.
    void m_CompleteMaskIrp(PIRP pIrp, NTSTATUS ntStatus, ULONG ulEvents, ULONG_PTR ulInformation);
};
