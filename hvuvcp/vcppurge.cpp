// The port object's purge, reset and immediate characters, and the error abort that purges.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>
#include <pmreadqueuecsq.h>
#include <pmwritequeuecsq.h>

// ---- Purge and reset ------------------------------------------------------------------------

NTSTATUS CVCP::m_ResetDevice() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_ResetDevice");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_PurgeCallback, (BOOLEAN)TRUE, (BOOLEAN)TRUE)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_ResetDevice - OUT - Fail-> Error calling m_Purge.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_Purge(ULONG ulMask) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Purge - IN - Mask:0x%X", ulMask);
    if (ulMask == 0 || (ulMask & ~0xFu)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Purge - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    CPmReadQueue* pReadQueue = m_pFunctionalDevice ? m_pFunctionalDevice->m_pReadQueue : NULL;
    CPmWriteQueue* pWriteQueue = m_pFunctionalDevice ? m_pFunctionalDevice->m_pWriteQueue : NULL;
    if ((ulMask & SERIAL_PURGE_RXABORT) && pReadQueue)
        pReadQueue->m_CancelAll();
    if ((ulMask & SERIAL_PURGE_TXABORT) && pWriteQueue)
        pWriteQueue->m_CancelAll();
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    BOOLEAN bTransmit = (ulMask & SERIAL_PURGE_TXABORT) != 0;
    if (VCP_CALL(pISerial, m_PurgeCallback, bTransmit, (BOOLEAN)((ulMask & SERIAL_PURGE_RXCLEAR) != 0))) {
        // The bus driver dropped what it held to send: those bytes are never reported written.
        if (bTransmit) {
            InterlockedExchange(&m_lTransmitPending, 0);
            InterlockedExchange(&m_lImmediateOutstanding, 0);
            m_bImmediatePending = FALSE;
        }
    } else {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Purge - OUT - Fail-> Error calling m_Purge.");
    }
    if ((ulMask & SERIAL_PURGE_RXCLEAR) && pReadQueue)
        pReadQueue->m_Purge();
    return STATUS_SUCCESS;
}

void CVCP::sm_ErrorAbortWork(PVOID pvArgument1, PVOID) {
    static_cast<CVCP*>(pvArgument1)->m_Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |
                                             SERIAL_PURGE_RXCLEAR);
}

// An error with SERIAL_ERROR_ABORT: the queues refuse new requests until the status is read, and
// everything held goes. The purge sends a vendor request, so above PASSIVE_LEVEL it is posted.
void CVCP::m_ErrorAbort() {
    m_SetQueuesActive(FALSE);
    const ULONG ulAll = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        m_Purge(ulAll);
    else if (m_pExecutionOnPassiveLevel)
        m_pExecutionOnPassiveLevel->m_Post(sm_ErrorAbortWork, this);
}

// ---- Immediate characters -------------------------------------------------------------------

NTSTATUS CVCP::m_SendImmediateChar(UCHAR ucCharacter) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SendImmediateChar - IN");
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SendImmediateChar");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    // Counted before the call: the acknowledgement may come before the call returns.
    InterlockedIncrement(&m_lTransmitPending);
    InterlockedIncrement(&m_lImmediateOutstanding);
    if (!VCP_CALL(pISerial, m_SendImmediateCharacterCallback, ucCharacter)) {
        InterlockedDecrement(&m_lImmediateOutstanding);
        VcpSaturatingSubtract(&m_lTransmitPending, 1);
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SendImmediateChar - OUT - Failed.");
        return STATUS_UNSUCCESSFUL;
    }
    m_bImmediatePending = TRUE;
    return STATUS_SUCCESS;
}

BOOLEAN CVCP::m_ImmediateCharacterSentCallback() {
    m_bImmediatePending = FALSE;
    return TRUE;
}
