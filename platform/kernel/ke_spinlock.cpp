// Spin locks.
//
//   KeInitializeSpinLock, KeAcquireSpinLockRaiseToDpc, KeReleaseSpinLock,
//   KeAcquireSpinLockAtDpcLevel, KeReleaseSpinLockFromDpcLevel, KeTryToAcquireSpinLockAtDpcLevel,
//   KeTestSpinLock, KeAcquireInStackQueuedSpinLock(AtDpcLevel), KeReleaseInStackQueuedSpinLock(FromDpcLevel)
//
// The lock word holds a token of the owning thread, so a second acquisition by the owner and a
// release by another thread are caught. Threads need not be machine threads to take spin locks:
// spinning is running, and holders never block.
#include "sched_internal.h"

#include <thread>

namespace {

thread_local char t_token; // its address identifies the thread

ULONG_PTR self_token() { return reinterpret_cast<ULONG_PTR>(&t_token); }

std::string describe(PKSPIN_LOCK lock) { return "spin lock " + hvsim::sched::detail::hex(lock); }

void check_irql_at_least_dispatch(const char* routine, PKSPIN_LOCK lock) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql < DISPATCH_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " on " + describe(lock) + " at IRQL " +
                                                            std::to_string(irql) + ", below DISPATCH_LEVEL");
}

bool try_take(PKSPIN_LOCK lock, const char* routine) {
    ULONG_PTR expected = 0;
    ULONG_PTR self = self_token();
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return true;
    if (expected == self)
        hvsim::bug_check(hvsim::SPIN_LOCK_ALREADY_OWNED,
                         std::string(routine) + ": " + describe(lock) + " is already held by the calling thread");
    return false;
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// A holder keeps the lock for a microsecond or so, so the waiter spins for some tens of
// microseconds before it yields; it yields at all only because a host thread holding a spin
// lock can be preempted, which a processor at DISPATCH_LEVEL cannot.
void take(PKSPIN_LOCK lock, const char* routine) {
    constexpr unsigned kSpinsBeforeYield = 1024;
    for (unsigned spins = 0; !try_take(lock, routine); ++spins) {
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) {
            cpu_relax();
            if (++spins % kSpinsBeforeYield == 0) std::this_thread::yield();
        }
    }
}

void give(PKSPIN_LOCK lock, const char* routine) {
    ULONG_PTR expected = self_token();
    if (!__atomic_compare_exchange_n(lock, &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED))
        hvsim::bug_check(hvsim::SPIN_LOCK_NOT_OWNED, std::string(routine) + ": " + describe(lock) +
                                                         (expected ? " is held by another thread" : " is not held"));
}

} // namespace

HV_EXTERN_C_BEGIN

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    take(SpinLock, "KeAcquireSpinLock");
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    give(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    check_irql_at_least_dispatch("KeAcquireSpinLockAtDpcLevel", SpinLock);
    take(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    check_irql_at_least_dispatch("KeReleaseSpinLockFromDpcLevel", SpinLock);
    give(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    check_irql_at_least_dispatch("KeTryToAcquireSpinLockAtDpcLevel", SpinLock);
    return try_take(SpinLock, "KeTryToAcquireSpinLockAtDpcLevel") ? TRUE : FALSE;
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == 0 ? TRUE : FALSE; }

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}

HV_EXTERN_C_END
