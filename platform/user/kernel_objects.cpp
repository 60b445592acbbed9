// The kernel side of user-mode synchronisation: dispatcher objects behind events, mutexes,
// threads and processes, waits on them, and the machine clock.
#include <wdm.h>

#include <hvsim/debug_log.h>
#include <hvsim/sched.h>

#include <list>
#include <memory>
#include <mutex>

#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

// Mutexes whose handles all closed while another thread still owned them: the owner's list of
// owned mutexes still links them, so they stay allocated.
struct OrphanedMutexes {
    std::mutex mutex;
    std::list<std::unique_ptr<KMUTEX>> mutexes;
};
OrphanedMutexes& orphaned_mutexes() {
    static OrphanedMutexes* o = new OrphanedMutexes;
    return *o;
}

PKTHREAD mutex_owner(KMUTEX* mutex) { return __atomic_load_n(&mutex->OwnerThread, __ATOMIC_SEQ_CST); }

} // namespace

KernelEvent::KernelEvent(bool manual_reset, bool initially_set) {
    auto* event = new KEVENT;
    KeInitializeEvent(event, manual_reset ? NotificationEvent : SynchronizationEvent, initially_set);
    object_ = event;
}

KernelEvent::~KernelEvent() { delete static_cast<KEVENT*>(object_); }

void KernelEvent::set() { KeSetEvent(static_cast<KEVENT*>(object_), IO_NO_INCREMENT, FALSE); }

void KernelEvent::reset() { KeClearEvent(static_cast<KEVENT*>(object_)); }

bool KernelEvent::is_set() const { return KeReadStateEvent(static_cast<KEVENT*>(object_)) != 0; }

KernelMutex::KernelMutex(bool acquire) {
    auto* mutex = new KMUTEX;
    KeInitializeMutex(mutex, 0);
    object_ = mutex;
    if (acquire) KeWaitForSingleObject(mutex, UserRequest, UserMode, FALSE, nullptr);
}

KernelMutex::~KernelMutex() {
    auto* mutex = static_cast<KMUTEX*>(object_);
    PKTHREAD owner = mutex_owner(mutex);
    if (owner == KeGetCurrentThread()) {
        while (mutex_owner(mutex) == owner) KeReleaseMutex(mutex, FALSE);
    } else if (owner) {
        auto& o = orphaned_mutexes();
        std::lock_guard lock(o.mutex);
        o.mutexes.emplace_back(mutex);
        return;
    }
    delete mutex;
}

LONG KernelMutex::release() {
    auto* mutex = static_cast<KMUTEX*>(object_);
    if (mutex_owner(mutex) != KeGetCurrentThread()) return STATUS_MUTANT_NOT_OWNED;
    KeReleaseMutex(mutex, FALSE);
    return STATUS_SUCCESS;
}

LONG wait_for_dispatchers(size_t count, void* const* objects, bool wait_all, DWORD milliseconds) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * sched::kTicksPerMillisecond;
    PLARGE_INTEGER timeout_pointer = milliseconds == 0xFFFFFFFFu ? nullptr : &timeout;
    if (count == 1) return KeWaitForSingleObject(objects[0], UserRequest, UserMode, FALSE, timeout_pointer);
    KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
    return KeWaitForMultipleObjects(static_cast<ULONG>(count), const_cast<PVOID*>(objects),
                                    wait_all ? WaitAll : WaitAny, UserRequest, UserMode, FALSE, timeout_pointer,
                                    blocks);
}

void sleep_milliseconds(DWORD milliseconds) {
    if (milliseconds == 0xFFFFFFFFu) {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, UserRequest, UserMode, FALSE, nullptr);
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * sched::kTicksPerMillisecond;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}

void reference_kernel_object(void* object) { ObfReferenceObject(object); }

void dereference_kernel_object(void* object) { ObfDereferenceObject(object); }

void debugger_output(std::string_view text) { debugger_log_write(std::string(text)); }

int64_t machine_time() { return sched::now(); }

int64_t machine_system_time() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

} // namespace hvsim::user
