// Spin lock with misuse traps.
#include <pmspinlock.h>

void CPmSpinLock::m_Initialize() {
    KeInitializeSpinLock(&m_kSpinLock);
    m_ucSavedIrql = PM_SPINLOCK_FREE;
}

void CPmSpinLock::m_Lock() {
    KIRQL ucOldIrql = KeAcquireSpinLockRaiseToDpc(&m_kSpinLock);
    if (m_ucSavedIrql != PM_SPINLOCK_FREE)
        DbgBreakPoint(); // marked held although we just acquired it
    m_ucSavedIrql = ucOldIrql;
}

void CPmSpinLock::m_Unlock() {
    if (m_ucSavedIrql == PM_SPINLOCK_FREE) {
        // Not held: releasing would drop a lock someone else may own.
        DbgBreakPoint();
        return;
    }
    KIRQL ucIrql = m_ucSavedIrql;
    m_ucSavedIrql = PM_SPINLOCK_FREE;
    KeReleaseSpinLock(&m_kSpinLock, ucIrql);
}

void CPmSpinLock::m_LockAtDpcLevel() {
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        // Taking the lock without raising would leave it held at a preemptible level.
        DbgBreakPoint();
        m_Lock();
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&m_kSpinLock);
    if (m_ucSavedIrql != PM_SPINLOCK_FREE)
        DbgBreakPoint();
    m_ucSavedIrql = DISPATCH_LEVEL;
}
