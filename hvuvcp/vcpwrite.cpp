// The port object's write path: transmit chunks to the bus driver and their acknowledgements.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>
#include <pmwritequeuecsq.h>

BOOLEAN CVCP::m_Write(CPmBuffer* pChunk) {
    if (!pChunk)
        return FALSE;
    ULONG ulLength = pChunk->m_GetLength();
    if (ulLength == 0) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Write - OUT - Fail-> Write length is 0.");
        pChunk->m_Delete();
        return FALSE;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_Write");
    if (!pISerial || !pISerial->m_pProvider || !pISerial->m_Operations.m_PortWriteCallback) {
        pChunk->m_Delete();
        return FALSE;
    }
    if (g_pPmDebugManager)
        g_pPmDebugManager->m_TraceHexDump(HVUVCP_TRACE_VCP, pChunk->m_GetData(), ulLength, "Write");
    InterlockedExchangeAdd(&m_lTransmitPending, (LONG)ulLength);
    // The chunk belongs to the bus driver from here, whatever it answers.
    if (!VCP_CALL(pISerial, m_PortWriteCallback, pChunk)) {
        VcpSaturatingSubtract(&m_lTransmitPending, (LONG)ulLength);
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Write - OUT - Fail-> The bus driver refused the data.");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CVCP::m_DataWrittenCallback(ULONG ulCount) {
    LONG lPending = VcpRead(&m_lTransmitPending);
    for (;;) {
        LONG lNew = (ULONG)lPending < ulCount ? 0 : lPending - (LONG)ulCount;
        LONG lSeen = InterlockedCompareExchange(&m_lTransmitPending, lNew, lPending);
        if (lSeen == lPending)
            break;
        lPending = lSeen;
    }
    if ((ULONG)lPending >= ulCount)
        InterlockedExchangeAdd(reinterpret_cast<LONG volatile*>(&m_PerfStats.TransmittedCount), (LONG)ulCount);

    // Immediate characters travel outside the write queue: their acknowledgements are not the
    // queue's, whenever the bus driver reports them.
    ULONG ulForQueue = ulCount;
    LONG lImmediate = VcpRead(&m_lImmediateOutstanding);
    while (lImmediate > 0 && ulForQueue > 0) {
        LONG lTaken = (ULONG)lImmediate < ulForQueue ? lImmediate : (LONG)ulForQueue;
        LONG lSeen = InterlockedCompareExchange(&m_lImmediateOutstanding, lImmediate - lTaken, lImmediate);
        if (lSeen == lImmediate) {
            ulForQueue -= (ULONG)lTaken;
            if (lImmediate == lTaken)
                m_bImmediatePending = FALSE;
            break;
        }
        lImmediate = lSeen;
    }
    CPmWriteQueue* pWriteQueue = m_pFunctionalDevice ? m_pFunctionalDevice->m_pWriteQueue : NULL;
    if (ulForQueue && pWriteQueue)
        pWriteQueue->m_DataWritten(ulForQueue);
    // Looked at after the queue took the acknowledgement, so that the last write's completes it.
    if ((!pWriteQueue || pWriteQueue->m_IsEmpty()) && VcpRead(&m_lTransmitPending) == 0) {
        m_SetCommEventsReceived(SERIAL_EV_TXEMPTY);
        m_ResolveCurrentEventMask();
    }
    return TRUE;
}
