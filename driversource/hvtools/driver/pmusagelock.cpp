// Usage lock: a counter of current users with an idle event.
#include <pmusagelock.h>
#include <pmdebugmanager.h>

static const CHAR s_szSourcePath[] = "driversource\\hvtools\\driver\\pmusagelock";

void CPmUsageLock::m_Initialize(ULONG ulLimit) {
    m_ulCount = 0;
    m_ulLimit = ulLimit;
    m_ulEnabled = 0;
    m_SpinLock.m_Initialize();
    KeInitializeEvent(&m_kIdleEvent, NotificationEvent, TRUE);
}

void CPmUsageLock::m_Init(BOOLEAN bEnabled) {
    KeInitializeEvent(&m_kIdleEvent, NotificationEvent, TRUE);
    m_SpinLock.m_Lock();
    m_ulCount = 0;
    m_ulEnabled = bEnabled ? 1 : 0;
    m_SpinLock.m_Unlock();
}

void CPmUsageLock::m_SetEnabled(BOOLEAN bEnabled) {
#if defined(HV_PM_BUS_DRIVER)
    // The bus driver's framework always re-admits users.
    bEnabled = TRUE;
#endif
    m_SpinLock.m_Lock();
    m_ulEnabled = bEnabled ? 1 : 0;
    m_SpinLock.m_Unlock();
}

BOOLEAN CPmUsageLock::m_Acquire() {
    BOOLEAN bAcquired = FALSE;
    m_SpinLock.m_Lock();
    if (m_ulEnabled && m_ulCount != m_ulLimit) {
        if (m_ulCount++ == 0)
            KeClearEvent(&m_kIdleEvent);
        bAcquired = TRUE;
    }
    m_SpinLock.m_Unlock();
    return bAcquired;
}

void CPmUsageLock::m_Release() {
    BOOLEAN bUnderflow = FALSE;
    m_SpinLock.m_Lock();
    if (m_ulCount == 0) {
        bUnderflow = TRUE;
    } else if (m_ulCount-- == 1) {
        KeSetEvent(&m_kIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    m_SpinLock.m_Unlock();
    if (bUnderflow)
        PM_ASSERTION_LINE(s_szSourcePath); // a release without an acquire
}

NTSTATUS CPmUsageLock::m_DisableAndWait() {
    m_SpinLock.m_Lock();
    m_ulEnabled = 0;
    m_SpinLock.m_Unlock();

    NTSTATUS status;
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        LARGE_INTEGER liPoll;
        liPoll.QuadPart = 0;
        status = KeWaitForSingleObject(&m_kIdleEvent, Executive, KernelMode, FALSE, &liPoll);
    } else {
        status = KeWaitForSingleObject(&m_kIdleEvent, Executive, KernelMode, FALSE, NULL);
    }
    // The last user signals idle while it still holds the spin lock: let it leave the lock before
    // our caller may free the object that holds it.
    m_SpinLock.m_Lock();
    m_SpinLock.m_Unlock();
    return status;
}

ULONG CPmUsageLock::m_GetCount() {
    m_SpinLock.m_Lock();
    ULONG ulCount = m_ulCount;
    m_SpinLock.m_Unlock();
    return ulCount;
}
