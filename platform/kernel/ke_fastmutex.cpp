// Fast mutexes.
//
//   ExInitializeFastMutex, ExAcquireFastMutex, ExReleaseFastMutex, ExTryToAcquireFastMutex,
//   ExAcquireFastMutexUnsafe, ExReleaseFastMutexUnsafe
//
// Count is 1 when free; each acquirer decrements it and the ones that do not reach 0 wait on the
// embedded synchronization event, which each release with waiters sets once: a direct hand-over.
// The safe forms raise to APC_LEVEL while the mutex is held. Not recursive: the owner acquiring
// again would wait for itself forever, so it is a bug check.
#include "sched_internal.h"

using namespace hvsim::sched::detail;

namespace {

// Other threads read the owner to catch recursion, so it is accessed atomically.
PKTHREAD owner_of(PFAST_MUTEX mutex) { return __atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED); }
void set_owner(PFAST_MUTEX mutex, PKTHREAD owner) { __atomic_store_n(&mutex->Owner, owner, __ATOMIC_RELAXED); }

std::string describe(PFAST_MUTEX mutex) { return "fast mutex " + hex(mutex); }

void check_acquire(PFAST_MUTEX mutex, PKTHREAD self, const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL,
                         std::string(routine) + " on " + describe(mutex) + " at IRQL " + std::to_string(irql));
    if (owner_of(mutex) == self)
        hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         std::string(routine) + ": " + describe(mutex) + " is already owned by the calling thread");
}

void acquire(PFAST_MUTEX mutex, PKTHREAD self) {
    if (InterlockedDecrement(&mutex->Count) != 0) {
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&mutex->Contention));
        KeWaitForSingleObject(&mutex->Event, WrFastMutex, KernelMode, FALSE, nullptr);
    }
    set_owner(mutex, self);
}

void release(PFAST_MUTEX mutex, const char* routine) {
    if (owner_of(mutex) != KeGetCurrentThread())
        hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         std::string(routine) + ": " + describe(mutex) + " is not owned by the calling thread");
    set_owner(mutex, nullptr);
    if (InterlockedIncrement(&mutex->Count) != 1) KeSetEvent(&mutex->Event, IO_NO_INCREMENT, FALSE);
}

} // namespace

HV_EXTERN_C_BEGIN

void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    PKTHREAD self = KeGetCurrentThread();
    check_acquire(FastMutex, self, "ExAcquireFastMutex");
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    acquire(FastMutex, self);
    FastMutex->OldIrql = old;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql != APC_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, "ExReleaseFastMutex on " + describe(FastMutex) + " at IRQL " +
                                                            std::to_string(irql) + " instead of APC_LEVEL");
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    release(FastMutex, "ExReleaseFastMutex");
    KeLowerIrql(old);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL,
                         "ExTryToAcquireFastMutex on " + describe(FastMutex) + " at IRQL " + std::to_string(irql));
    PKTHREAD self = KeGetCurrentThread();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
        KeLowerIrql(old);
        return FALSE;
    }
    set_owner(FastMutex, self);
    FastMutex->OldIrql = old;
    return TRUE;
}

void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    PKTHREAD self = KeGetCurrentThread();
    check_acquire(FastMutex, self, "ExAcquireFastMutexUnsafe");
    acquire(FastMutex, self);
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) { release(FastMutex, "ExReleaseFastMutexUnsafe"); }

HV_EXTERN_C_END
