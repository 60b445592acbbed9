// Counter of current users with an idle event: keeps an object alive while requests or callbacks are
// inside it, and lets its owner refuse new users and wait for the last one.
#pragma once

#include <pmspinlock.h>

#define PM_USAGE_UNLIMITED 0xFFFFFFFFu

class CPmUsageLock {
public:
    ULONG m_ulCount;
    ULONG m_ulLimit;
    ULONG m_ulEnabled;
    CPmSpinLock m_SpinLock;
    KEVENT m_kIdleEvent;

    // Unlimited and disabled until m_Init.
    CPmUsageLock() { m_Initialize(PM_USAGE_UNLIMITED); }

    // For locks that live in memory no constructor ran on (device extensions).
    void m_Initialize(ULONG ulLimit);

    // The owner sets the limit before m_Init.
    void m_SetLimit(ULONG ulLimit) { m_ulLimit = ulLimit; }
    void m_Init(BOOLEAN bEnabled);
    void m_SetEnabled(BOOLEAN bEnabled);
    BOOLEAN m_Acquire();
    void m_Release();
    // Blocks until idle at PASSIVE_LEVEL and APC_LEVEL; only polls at DISPATCH_LEVEL, where it returns
    // STATUS_TIMEOUT while users remain.
    NTSTATUS m_DisableAndWait();

    ULONG m_GetCount();
};

// A framework device extension (64 bytes) holds its device pointer and then this lock; both drivers
// read it in each other's device objects.
static_assert(sizeof(CPmUsageLock) == 56, "usage lock layout");
