// Dispatcher objects: events, mutexes and semaphores, and the rules by which a signalled object
// satisfies the waits on it.
//
//   KeInitializeEvent, KeSetEvent, KeResetEvent, KeClearEvent, KeReadStateEvent, KePulseEvent
//   KeInitializeMutex, KeReleaseMutex, KeReadStateMutex
//   KeInitializeSemaphore, KeReleaseSemaphore, KeReadStateSemaphore
//
// The thread that signals an object satisfies the waits at once, under the dispatcher lock, as
// Windows does: a synchronization event set with a waiter present is consumed by that waiter
// before KeSetEvent returns, so nobody can observe or steal the signal in between.
#include "sched_internal.h"

namespace hvsim::sched::detail {
namespace {

PKMUTANT as_mutant(DISPATCHER_HEADER* header) { return CONTAINING_RECORD(header, KMUTANT, Header); }

_ETHREAD* thread_of(PKTHREAD thread) { return static_cast<_ETHREAD*>(thread); }

} // namespace

namespace {

bool is_signalled_for(DISPATCHER_HEADER* header, _ETHREAD* thread) {
    if (header->Type == MutantObject) return header->SignalState > 0 || as_mutant(header)->OwnerThread == thread;
    return header->SignalState > 0;
}

// Takes the object for the thread; true when it was an abandoned mutex.
bool satisfy(DISPATCHER_HEADER* header, _ETHREAD* thread) {
    switch (header->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject: header->SignalState = 0; return false;
    case SemaphoreObject: --header->SignalState; return false;
    case MutantObject: {
        PKMUTANT mutant = as_mutant(header);
        bool abandoned = mutant->Abandoned;
        if (--header->SignalState == 0) {
            mutant->OwnerThread = thread;
            mutant->Abandoned = FALSE;
            thread->owned_mutexes.push_back(mutant);
        }
        return abandoned;
    }
    default: // notification objects stay signalled
        return false;
    }
}

DISPATCHER_HEADER* object_of(const KWAIT_BLOCK& block) { return static_cast<DISPATCHER_HEADER*>(block.Object); }

} // namespace

NTSTATUS try_satisfy_wait(_ETHREAD* thread, PKWAIT_BLOCK blocks, ULONG count, WAIT_TYPE type) {
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i)
            if (is_signalled_for(object_of(blocks[i]), thread))
                return (satisfy(object_of(blocks[i]), thread) ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) +
                       static_cast<NTSTATUS>(i);
        return STATUS_PENDING;
    }
    for (ULONG i = 0; i < count; ++i)
        if (!is_signalled_for(object_of(blocks[i]), thread)) return STATUS_PENDING;
    bool abandoned = false;
    for (ULONG i = 0; i < count; ++i) abandoned |= satisfy(object_of(blocks[i]), thread);
    return abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
}

void unwait(_ETHREAD* thread, NTSTATUS status) {
    if (!thread->wait_pending) return;
    for (ULONG i = 0; i < thread->wait_count; ++i) RemoveEntryList(&thread->wait_blocks[i].WaitListEntry);
    thread->wait_pending = false;
    thread->wait_status = status;
    unblock(thread);
}

void wait_test(DISPATCHER_HEADER* header) {
    PLIST_ENTRY head = &header->WaitListHead;
restart:
    for (PLIST_ENTRY entry = head->Flink; entry != head && header->SignalState > 0; entry = entry->Flink) {
        PKWAIT_BLOCK block = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
        _ETHREAD* thread = thread_of(block->Thread);
        NTSTATUS status =
            try_satisfy_wait(thread, thread->wait_blocks, thread->wait_count, static_cast<WAIT_TYPE>(block->WaitType));
        if (status != STATUS_PENDING) {
            unwait(thread, status);
            goto restart; // unwait unlinked this thread's blocks, so start over
        }
    }
}

void abandon_mutex(PKMUTANT mutex) {
    mutex->OwnerThread = nullptr;
    mutex->Abandoned = TRUE;
    mutex->Header.SignalState = 1;
    wait_test(&mutex->Header);
}

} // namespace hvsim::sched::detail

using namespace hvsim::sched::detail;

namespace {

void init_header(DISPATCHER_HEADER* header, UCHAR type, UCHAR size, LONG state) {
    header->Type = type;
    header->Signalling = 0;
    header->Size = size;
    header->Inserted = 0;
    header->SignalState = state;
    InitializeListHead(&header->WaitListHead);
}

void check_type(Lock& lock, const DISPATCHER_HEADER* header, UCHAR expected, UCHAR also, const char* routine) {
    if (header && (header->Type == expected || header->Type == also)) return;
    fail(lock, hvsim::INVALID_DISPATCHER_OBJECT,
         std::string(routine) + ": " + hex(header) + " is not an initialised object of the right type");
}

} // namespace

HV_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Events

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    init_header(&Event->Header, Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                sizeof(KEVENT) / sizeof(LONG), State ? 1 : 0);
}

namespace {
// Sets the event and satisfies the waits it allows; the previous state. Lock held.
LONG set_event_locked(Lock& lock, PRKEVENT event, const char* routine) {
    check_type(lock, &event->Header, EventNotificationObject, EventSynchronizationObject, routine);
    LONG previous = event->Header.SignalState;
    if (previous == 0) {
        event->Header.SignalState = 1;
        wait_test(&event->Header);
    }
    return previous;
}
} // namespace

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    Lock lock(dispatcher().lock);
    return set_event_locked(lock, Event, "KeSetEvent");
}

LONG KeResetEvent(PRKEVENT Event) {
    Lock lock(dispatcher().lock);
    check_type(lock, &Event->Header, EventNotificationObject, EventSynchronizationObject, "KeResetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

void KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event) {
    Lock lock(dispatcher().lock);
    return Event->Header.SignalState;
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    Lock lock(dispatcher().lock);
    LONG previous = set_event_locked(lock, Event, "KePulseEvent");
    Event->Header.SignalState = 0;
    return previous;
}

// ---------------------------------------------------------------------------------------------
// Mutexes. SignalState is 1 when free and 1 - depth while owned.

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    init_header(&Mutex->Header, MutantObject, sizeof(KMUTEX) / sizeof(LONG), 1);
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    _ETHREAD* self = current_thread();
    Lock lock(dispatcher().lock);
    check_type(lock, &Mutex->Header, MutantObject, MutantObject, "KeReleaseMutex");
    if (Mutex->OwnerThread != self)
        fail(lock, hvsim::KMODE_EXCEPTION_NOT_HANDLED,
             "KeReleaseMutex: mutex " + hex(Mutex) + " is not owned by the calling thread (" + self->name +
                 ", STATUS_MUTANT_NOT_OWNED)");
    LONG previous = Mutex->Header.SignalState;
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        std::erase(self->owned_mutexes, Mutex);
        wait_test(&Mutex->Header);
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
    Lock lock(dispatcher().lock);
    return Mutex->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Semaphores

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    if (Limit <= 0 || Count < 0 || Count > Limit)
        hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "KeInitializeSemaphore: count " + std::to_string(Count) + " and limit " +
                             std::to_string(Limit) + " are not 0 <= count <= limit, limit > 0");
    init_header(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE) / sizeof(LONG), Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    Lock lock(dispatcher().lock);
    check_type(lock, &Semaphore->Header, SemaphoreObject, SemaphoreObject, "KeReleaseSemaphore");
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment)
        fail(lock, hvsim::KMODE_EXCEPTION_NOT_HANDLED,
             "KeReleaseSemaphore: releasing " + std::to_string(Adjustment) + " on semaphore " + hex(Semaphore) +
                 " with count " + std::to_string(previous) + " and limit " + std::to_string(Semaphore->Limit) +
                 " (STATUS_SEMAPHORE_LIMIT_EXCEEDED)");
    Semaphore->Header.SignalState = previous + Adjustment;
    wait_test(&Semaphore->Header);
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    Lock lock(dispatcher().lock);
    return Semaphore->Header.SignalState;
}

HV_EXTERN_C_END
