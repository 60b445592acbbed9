// Timers, the DPC queue and the DPC thread.
//
//   KeInitializeTimer, KeInitializeTimerEx, KeSetTimer, KeSetTimerEx, KeCancelTimer, KeReadStateTimer
//   KeInitializeDpc, KeInsertQueueDpc, KeRemoveQueueDpc, KeFlushQueuedDpcs
//
// Set timers sit in one list sorted by due time (machine ticks). A timer expires when the clock
// reaches it: with the virtual clock the scheduler expires it as it jumps, with the real clock the
// DPC thread sleeps until the earliest one. An expired timer is signalled, satisfies its waiters,
// is set again when periodic, and queues its DPC. DPCs run one at a time, in queue order, on the
// DPC thread at DISPATCH_LEVEL.
#include "sched_internal.h"

#include <image_calls.h>

using namespace hvsim::sched::detail;

namespace {

std::thread g_dpc_thread; // touched only by boot and shutdown

PKTIMER timer_of(PLIST_ENTRY link) { return CONTAINING_RECORD(link, KTIMER, TimerListEntry); }
PKDPC dpc_of(PLIST_ENTRY link) { return CONTAINING_RECORD(link, KDPC, DpcListEntry); }

// After the timers due at the same time or earlier, so that equal due times expire in set order.
void insert_timer_locked(PKTIMER timer, int64_t due) {
    auto& d = dispatcher();
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Header.Inserted = 1;
    PLIST_ENTRY after = d.timers.Blink;
    while (after != &d.timers && static_cast<int64_t>(timer_of(after)->DueTime.QuadPart) > due) after = after->Blink;
    PLIST_ENTRY entry = &timer->TimerListEntry;
    entry->Flink = after->Flink;
    entry->Blink = after;
    after->Flink->Blink = entry;
    after->Flink = entry;
}

void expire_one(PKTIMER timer, int64_t now) {
    RemoveEntryList(&timer->TimerListEntry);
    timer->Header.Inserted = 0;
    int64_t due = static_cast<int64_t>(timer->DueTime.QuadPart);
    timer->Header.SignalState = 1;
    wait_test(&timer->Header);
    if (timer->Period > 0) {
        // Keep the phase: the next expiry is a whole number of periods after the first.
        int64_t period = int64_t{timer->Period} * hvsim::sched::kTicksPerMillisecond;
        int64_t next = due + period;
        if (next <= now) next += ((now - next) / period + 1) * period;
        insert_timer_locked(timer, next);
    }
    if (timer->Dpc) {
        LARGE_INTEGER system_time;
        system_time.QuadPart = hvsim::sched::boot_system_time() + now;
        insert_dpc_locked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(system_time.LowPart)),
                          reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(system_time.HighPart))));
    }
}

void check_timer(Lock& lock, PKTIMER timer, const char* routine) {
    if (timer && (timer->Header.Type == TimerNotificationObject || timer->Header.Type == TimerSynchronizationObject))
        return;
    fail(lock, hvsim::INVALID_DISPATCHER_OBJECT,
         std::string(routine) + ": " + hex(timer) + " is not an initialised timer");
}

void check_dpc(PRKDPC dpc, const char* routine) {
    if (dpc && dpc->Type == DpcObject && dpc->DeferredRoutine) return;
    hvsim::bug_check(hvsim::INVALID_DISPATCHER_OBJECT,
                     std::string(routine) + ": " + hex(dpc) + " is not an initialised DPC");
}

bool dpcs_pending_up_to(uint64_t sequence) {
    auto& d = dispatcher();
    if (d.running_dpc != 0 && d.running_dpc <= sequence) return true;
    return !IsListEmpty(&d.dpcs) && dpc_of(d.dpcs.Flink)->Sequence <= sequence;
}

void dpc_thread_main(_ETHREAD* self) {
    adopt_thread(self);
    auto& d = dispatcher();
    Lock lock(d.lock);
    for (;;) {
        expire_timers(hvsim::sched::now());
        if (!IsListEmpty(&d.dpcs)) {
            PKDPC dpc = dpc_of(RemoveHeadList(&d.dpcs));
            dpc->Inserted = 0;
            d.running_dpc = dpc->Sequence;
            // Read before running: the routine may queue its DPC again with new arguments.
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext;
            PVOID argument1 = dpc->SystemArgument1;
            PVOID argument2 = dpc->SystemArgument2;
            lock.unlock();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            {
                hvsim::ldr::ImageCall call(reinterpret_cast<const void*>(routine), "DPC routine");
                routine(dpc, context, argument1, argument2);
            }
            KIRQL after = KeGetCurrentIrql();
            if (after != DISPATCH_LEVEL)
                hvsim::bug_check(hvsim::IRQL_UNEXPECTED_VALUE, "DPC routine " + hex(reinterpret_cast<void*>(routine)) +
                                                                   " returned at IRQL " + std::to_string(after) +
                                                                   " instead of DISPATCH_LEVEL");
            KeLowerIrql(old);
            lock.lock();
            d.running_dpc = 0;
            queue_wake_all(d.dpc_flushers);
            continue;
        }
        if (d.dpc_stop) break;
        std::optional<int64_t> deadline;
        if (d.mode.load() == hvsim::ClockMode::Real) deadline = earliest_timer();
        block(lock, self, deadline, "the DPC queue", nullptr);
    }
    d.dpc_thread = nullptr;
    queue_wake_all(d.dpc_flushers);
    lock.unlock();
    delete retire_current_thread();
}

} // namespace

namespace hvsim::sched::detail {

void expire_timers(int64_t now) {
    auto& d = dispatcher();
    while (!IsListEmpty(&d.timers) && static_cast<int64_t>(timer_of(d.timers.Flink)->DueTime.QuadPart) <= now)
        expire_one(timer_of(d.timers.Flink), now);
}

std::optional<int64_t> earliest_timer() {
    auto& d = dispatcher();
    if (IsListEmpty(&d.timers)) return std::nullopt;
    return static_cast<int64_t>(timer_of(d.timers.Flink)->DueTime.QuadPart);
}

std::optional<int64_t> earliest_waking_timer() {
    auto& d = dispatcher();
    for (PLIST_ENTRY link = d.timers.Flink; link != &d.timers; link = link->Flink) {
        PKTIMER timer = timer_of(link);
        if ((timer->Dpc && d.dpc_thread) || !IsListEmpty(&timer->Header.WaitListHead))
            return static_cast<int64_t>(timer->DueTime.QuadPart);
    }
    return std::nullopt;
}

BOOLEAN insert_dpc_locked(PRKDPC dpc, PVOID argument1, PVOID argument2) {
    auto& d = dispatcher();
    if (dpc->Inserted) return FALSE;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->Inserted = 1;
    dpc->Sequence = ++d.dpc_sequence;
    InsertTailList(&d.dpcs, &dpc->DpcListEntry);
    if (d.dpc_thread) unblock(d.dpc_thread);
    return TRUE;
}

void start_dpc_thread() {
    auto& d = dispatcher();
    _ETHREAD* thread;
    {
        Lock lock(d.lock);
        d.dpc_stop = false;
        thread = create_thread_locked("DPC thread", false);
        d.dpc_thread = thread;
    }
    g_dpc_thread = std::thread(dpc_thread_main, thread);
}

void stop_dpc_thread() {
    auto& d = dispatcher();
    {
        Lock lock(d.lock);
        if (!d.dpc_thread) return;
        d.dpc_stop = true;
        unblock(d.dpc_thread);
    }
    if (g_dpc_thread.joinable()) hvsim::sched::join(g_dpc_thread);
}

std::string pending_in_range(uintptr_t start, uintptr_t end) {
    auto in = [&](const void* address) {
        auto a = reinterpret_cast<uintptr_t>(address);
        return a >= start && a < end;
    };
    auto dpc_text = [](PKDPC dpc) {
        return "DPC " + hex(dpc) + " (routine " + hex(reinterpret_cast<void*>(dpc->DeferredRoutine)) + ")";
    };
    auto& d = dispatcher();
    Lock lock(d.lock);
    std::string out;
    auto add = [&](const std::string& line) { out += (out.empty() ? "" : "; ") + line; };
    for (PLIST_ENTRY link = d.timers.Flink; link != &d.timers; link = link->Flink) {
        PKTIMER timer = timer_of(link);
        PKDPC dpc = timer->Dpc;
        if (in(timer) || (dpc && (in(dpc) || in(reinterpret_cast<void*>(dpc->DeferredRoutine)))))
            add("timer " + hex(timer) + " still set" + (dpc ? " with " + dpc_text(dpc) : std::string()));
    }
    for (PLIST_ENTRY link = d.dpcs.Flink; link != &d.dpcs; link = link->Flink) {
        PKDPC dpc = dpc_of(link);
        if (in(dpc) || in(reinterpret_cast<void*>(dpc->DeferredRoutine))) add(dpc_text(dpc) + " still queued");
    }
    return out;
}

size_t cancel_all_timers() {
    auto& d = dispatcher();
    Lock lock(d.lock);
    size_t count = 0;
    while (!IsListEmpty(&d.timers)) {
        timer_of(RemoveHeadList(&d.timers))->Header.Inserted = 0;
        ++count;
    }
    return count;
}

} // namespace hvsim::sched::detail

HV_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Timers

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    Timer->Header.Type = Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject;
    Timer->Header.Signalling = 0;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    if (Period < 0)
        hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "KeSetTimerEx: negative period " + std::to_string(Period) + " on timer " + hex(Timer));
    if (Dpc) check_dpc(Dpc, "KeSetTimerEx");
    auto& d = dispatcher();
    Lock lock(d.lock);
    check_timer(lock, Timer, "KeSetTimerEx");
    BOOLEAN was_set = Timer->Header.Inserted;
    if (was_set) {
        RemoveEntryList(&Timer->TimerListEntry);
        Timer->Header.Inserted = 0;
    }
    int64_t now = hvsim::sched::now();
    int64_t due = DueTime.QuadPart == 0 ? now : hvsim::sched::deadline_from_timeout(DueTime.QuadPart);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    insert_timer_locked(Timer, due);
    if (due <= now)
        expire_timers(now);
    else if (d.mode.load() == hvsim::ClockMode::Real && d.timers.Flink == &Timer->TimerListEntry && d.dpc_thread)
        unblock(d.dpc_thread); // it sleeps until the old earliest timer
    return was_set;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    Lock lock(dispatcher().lock);
    check_timer(lock, Timer, "KeCancelTimer");
    if (!Timer->Header.Inserted) return FALSE;
    RemoveEntryList(&Timer->TimerListEntry);
    Timer->Header.Inserted = 0;
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    Lock lock(dispatcher().lock);
    check_timer(lock, Timer, "KeReadStateTimer");
    expire_timers(hvsim::sched::now());
    return Timer->Header.SignalState != 0;
}

// ---------------------------------------------------------------------------------------------
// DPCs

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = DpcObject;
    Dpc->Importance = 1;
    Dpc->Number = 0;
    Dpc->Inserted = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->Sequence = 0;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    check_dpc(Dpc, "KeInsertQueueDpc");
    Lock lock(dispatcher().lock);
    return insert_dpc_locked(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    check_dpc(Dpc, "KeRemoveQueueDpc");
    auto& d = dispatcher();
    Lock lock(d.lock);
    if (!Dpc->Inserted) return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->Inserted = 0;
    queue_wake_all(d.dpc_flushers);
    return TRUE;
}

void KeFlushQueuedDpcs(void) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, "KeFlushQueuedDpcs at IRQL " + std::to_string(irql));
    _ETHREAD* self = current_thread();
    auto& d = dispatcher();
    Lock lock(d.lock);
    uint64_t target = d.dpc_sequence;
    while (d.dpc_thread && dpcs_pending_up_to(target))
        queue_wait(d.dpc_flushers, lock, self, std::nullopt, "KeFlushQueuedDpcs", nullptr);
}

HV_EXTERN_C_END
