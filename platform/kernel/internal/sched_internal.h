// Private state of the scheduler, the dispatcher objects, timers, DPCs and threads. Everything
// here is guarded by the one dispatcher lock unless a comment says otherwise.
#pragma once

#include <hvsim/sched.h>
#include <wdm.h>

#include "parking.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Bug-check codes of the scheduler's checks that hvsim/kernel.h does not list.
namespace hvsim {
constexpr ULONG MAXIMUM_WAIT_OBJECTS_EXCEEDED = 0x0C;
constexpr ULONG SPIN_LOCK_ALREADY_OWNED = 0x0F;
constexpr ULONG INVALID_DISPATCHER_OBJECT = 0x4A0; // not a Windows code: the stand-in's own
constexpr ULONG THREAD_TERMINATE_HELD_MUTEX = 0x4B;
constexpr ULONG IRQL_UNEXPECTED_VALUE = 0xC8;
} // namespace hvsim

// The thread object. Its dispatcher header comes first, so that a PKTHREAD or PETHREAD can be
// waited on like any dispatcher object.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
};

struct _ETHREAD : _KTHREAD {
    ULONG_PTR id = 0;
    std::string name;
    bool system_thread = false;
    KPRIORITY priority = 8;
    NTSTATUS exit_status = STATUS_PENDING;
    bool terminated = false;             // left through PsTerminateSystemThread
    std::vector<PKMUTANT> owned_mutexes; // abandoned if the thread ends holding them

    // Scheduling state.
    // In the list of machine threads (a separate node: offsetof does not work on this class).
    struct Link : LIST_ENTRY {
        _ETHREAD* thread;
    } thread_link{{}, this};
    bool blocked = false;
    int external_depth = 0; // inside ExternalWait
    bool timed_out = false; // the last block ended at its deadline
    std::optional<int64_t> deadline;
    const char* wait_what = nullptr;
    const void* wait_object = nullptr;
    hvsim::sched::detail::Parking parking; // where it waits on the host while blocked

    // Kernel wait in progress.
    bool wait_pending = false;
    NTSTATUS wait_status = STATUS_SUCCESS;
    PKWAIT_BLOCK wait_blocks = nullptr;
    ULONG wait_count = 0;
    KWAIT_BLOCK builtin_wait_blocks[THREAD_WAIT_OBJECTS]{};
};

namespace hvsim::sched::detail {

struct WaitNode {
    _ETHREAD* thread;
    bool signalled = false;
    WaitNode* prev = nullptr;
    WaitNode* next = nullptr;
};

struct Dispatcher {
    AdaptiveMutex lock;

    // Clock. Read without the lock by now().
    std::atomic<ClockMode> mode{ClockMode::Virtual};
    std::atomic<int64_t> virtual_now{0};
    std::atomic<int64_t> real_base_ns{0}; // steady clock at boot
    std::atomic<int64_t> boot_system_time{kVirtualBootSystemTime};
    uint64_t clock_jumps = 0;

    // Machine threads.
    LIST_ENTRY threads;
    size_t registered = 0;
    size_t running = 0;
    size_t system_threads = 0;
    ULONG_PTR next_thread_id = 4;
    bool stall_reported = false;
    WaitQueue system_thread_ended;

    // Timers, sorted by due time; DPC queue in insertion order.
    LIST_ENTRY timers;
    LIST_ENTRY dpcs;
    uint64_t dpc_sequence = 0;
    uint64_t running_dpc = 0; // sequence of the DPC being run, 0 for none
    _ETHREAD* dpc_thread = nullptr;
    bool dpc_stop = false;
    WaitQueue dpc_flushers;

    Dispatcher() {
        InitializeListHead(&threads);
        InitializeListHead(&timers);
        InitializeListHead(&dpcs);
    }
};

using Lock = std::unique_lock<AdaptiveMutex>;

Dispatcher& dispatcher();

// The calling thread's object, registering the thread as a machine thread if needed.
_ETHREAD* current_thread();
// The calling thread's object, or null for a thread that never called into the machine.
_ETHREAD* current_thread_if_registered();

// A new thread object counted as a running machine thread; the thread that runs it calls
// adopt_thread first. Lock held.
_ETHREAD* create_thread_locked(std::string name, bool system_thread);
void adopt_thread(_ETHREAD* thread);
// Takes the calling thread out of the machine: abandons the mutexes it still owns, signals its
// thread object and forgets it. release, when given, runs under the dispatcher lock after that,
// so that nobody woken by the signal sees the thread's own reference still held. Returns the
// object, which the caller frees unless release took care of it.
_ETHREAD* retire_current_thread(void (*release)(_ETHREAD*) = nullptr);
// The same for a thread object that never ran.
void retire_thread(_ETHREAD* thread, void (*release)(_ETHREAD*) = nullptr);

// Blocks the calling machine thread until another thread unblocks it or the deadline passes
// (then self->timed_out is set). Lock held; released while blocked.
void block(Lock& lock, _ETHREAD* self, std::optional<int64_t> deadline, const char* what, const void* object);
// Makes a blocked thread run again; idempotent. Lock held.
void unblock(_ETHREAD* thread);

// WaitQueue operations, lock held. wait() returns false on timeout.
bool queue_wait(WaitQueue& queue, Lock& lock, _ETHREAD* self, std::optional<int64_t> deadline, const char* what,
                const void* object);
bool queue_wake_one(WaitQueue& queue);
size_t queue_wake_all(WaitQueue& queue);

// Dispatcher objects, lock held.
// Satisfies the thread's wait on the objects of its wait blocks when their state allows it now:
// returns the wait's status, or STATUS_PENDING.
NTSTATUS try_satisfy_wait(_ETHREAD* thread, PKWAIT_BLOCK blocks, ULONG count, WAIT_TYPE type);
// Satisfies the waits that the object's new signal state allows, in wait-list order.
void wait_test(DISPATCHER_HEADER* header);
// Releases a mutex that its owner left behind: the next acquirer learns it was abandoned.
void abandon_mutex(PKMUTANT mutex);
// Ends the thread's kernel wait with the given status and unblocks it.
void unwait(_ETHREAD* thread, NTSTATUS status);

// Timers and DPCs, lock held.
void expire_timers(int64_t now);
// Earliest due time of a timer whose expiry would wake someone (it has a DPC or waiters).
std::optional<int64_t> earliest_waking_timer();
std::optional<int64_t> earliest_timer();
BOOLEAN insert_dpc_locked(PRKDPC dpc, PVOID argument1, PVOID argument2);
// Timers set and DPCs queued that lie in, or run code in, [start, end), described for the
// unload check; empty when there are none. Takes the lock.
std::string pending_in_range(uintptr_t start, uintptr_t end);

// Boot and shutdown: the clock, the DPC thread and the timer list.
void reset_clock(ClockMode mode);
void start_dpc_thread();
void stop_dpc_thread();
size_t cancel_all_timers();
// Waits until no system thread is left or the deadline passes; returns the description of those
// still there (empty when none is).
std::string wait_for_system_threads(int64_t deadline);
// Forgets the mutexes that machine threads still own: they belong to the kernel shutting down.
void forget_owned_mutexes();

// Unlocks, then bug-checks: the bug-check handler must not run under the dispatcher lock.
[[noreturn]] void fail(Lock& lock, ULONG code, const std::string& message);

std::string hex(const void* pointer);

} // namespace hvsim::sched::detail
