// Kernel spin lock that remembers the level it interrupted and traps misuse.
#pragma once

#include <wdm.h>

// Saved level of a lock that nobody holds.
#define PM_SPINLOCK_FREE ((KIRQL)255)

class CPmSpinLock {
public:
    KSPIN_LOCK m_kSpinLock;
    KIRQL m_ucSavedIrql;

    CPmSpinLock() { m_Initialize(); }

    // For locks that live in memory no constructor ran on (device extensions).
    void m_Initialize();

    void m_Lock();
    void m_Unlock();
    // The caller is already at DISPATCH_LEVEL; the matching m_Unlock stays there.
    void m_LockAtDpcLevel();
};
