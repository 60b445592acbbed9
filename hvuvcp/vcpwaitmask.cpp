// The port object's wait mask: the communication events received and the wait-on-mask request.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>

void CVCP::m_SetCommEventsReceived(ULONG ulEvents) {
    if (ulEvents)
        m_WaitMask.m_SetCommEventsReceived(ulEvents);
}

BOOLEAN CVCP::m_ResolveCurrentEventMask() { return m_WaitMask.m_ResolveCurrentEventMask(); }

NTSTATUS CVCP::m_SetWaitMask(ULONG ulMask) {
    if (ulMask >= 0x2000) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetWaitMask - OUT -Fail->setting wait mask.");
        return STATUS_INVALID_PARAMETER;
    }
    m_WaitMask.m_SetWaitMask(ulMask);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_GetWaitMask(PULONG pulMask) {
    if (!pulMask)
        return STATUS_INVALID_PARAMETER;
    *pulMask = m_WaitMask.m_GetWaitMask();
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_WaitOnMask(PVOID pvOutput, ULONG ulOutputLength, PULONG_PTR pulInformation,
                            CPmControlQueue** ppControlQueue) {
    if (!ppControlQueue)
        return STATUS_INVALID_PARAMETER;
    *ppControlQueue = &m_WaitMask;
    return STATUS_PENDING;
}
