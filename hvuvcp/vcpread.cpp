// The port object's read path: received data through null stripping, XON/XOFF, status insertion
// and error characters into the read queue, and the receive queue's size and fill level.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>

void CVCP::m_DeliverBytes(const UCHAR* pucBytes, ULONG ulCount) {
    if (!m_pFunctionalDevice)
        return;
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (!pBuffer)
        return;
    pBuffer->m_pPool = g_pPmMemoryPool;
    if (!pBuffer->m_Assign(pucBytes, ulCount)) {
        pBuffer->m_Delete();
        return;
    }
    m_pFunctionalDevice->m_DataForPendingReadArrived(pBuffer);
}

void CVCP::m_DeliverCharacter(UCHAR ucCharacter) { m_DeliverBytes(&ucCharacter, 1); }

// Replaces every escape character c of the buffer by c, SERIAL_LSRMST_ESCAPE.
static BOOLEAN VcpEscape(CPmBuffer* pBuffer, UCHAR ucEscape) {
    PUCHAR pucData = pBuffer->m_GetData();
    ULONG ulLength = pBuffer->m_GetLength();
    ULONG ulFound = 0;
    for (ULONG i = 0; i < ulLength; ++i)
        ulFound += pucData[i] == ucEscape;
    if (!ulFound)
        return TRUE;
    if (ulLength > MAXULONG - ulFound)
        return FALSE;
    PUCHAR pucCopy = static_cast<PUCHAR>(PmAllocateMemory(ulLength + ulFound, NonPagedPool));
    if (!pucCopy)
        return FALSE;
    ULONG ulOut = 0;
    for (ULONG i = 0; i < ulLength; ++i) {
        pucCopy[ulOut++] = pucData[i];
        if (pucData[i] == ucEscape)
            pucCopy[ulOut++] = SERIAL_LSRMST_ESCAPE;
    }
    BOOLEAN bDone = pBuffer->m_Assign(pucCopy, ulOut);
    PmFreeMemory(pucCopy);
    return bDone;
}

// Data the queue is over its size for: refused and counted as a queue overrun.
void CVCP::m_RefuseOverflowedData() {
    PM_TRACE(HVUVCP_TRACE_READ, "CVCP::m_Read - OUT - Buffer is overflow, can't read");
    InterlockedOr(&m_alErrors[1], SERIAL_ERROR_QUEUEOVERRUN);
    m_SetCommEventsReceived(SERIAL_EV_ERR);
    m_ResolveCurrentEventMask();
    if (m_HandFlow.ControlHandShake & SERIAL_ERROR_ABORT)
        m_ErrorAbort();
}

// Received XON and XOFF characters release or hold the transmitter (the last one counts) and leave
// the data.
void CVCP::m_TakeFlowCharacters(CPmBuffer* pBuffer) {
    const UCHAR ucXon = m_SpecialChars.XonChar, ucXoff = m_SpecialChars.XoffChar;
    PUCHAR pucData = pBuffer->m_GetData();
    BOOLEAN bSeen = FALSE;
    for (ULONG i = 0; i < pBuffer->m_GetLength(); ++i) {
        if (pucData[i] == ucXoff) {
            m_SetHold(VcpHoldXoffReceived, TRUE);
            bSeen = TRUE;
        } else if (pucData[i] == ucXon) {
            m_SetHold(VcpHoldXoffReceived, FALSE);
            bSeen = TRUE;
        }
    }
    if (bSeen) {
        pBuffer->m_RemoveAllOf(ucXoff);
        pBuffer->m_RemoveAllOf(ucXon);
    }
}

// The line status in front of the data when it reports an error (LSR/MST insertion), and the error
// character in place of bad data.
void CVCP::m_InsertLineStatus(CPmBuffer* pBuffer, UCHAR ucEscape, BOOLEAN bErrorCharacter) {
    LONG lLineStatus = VcpRead(&m_lLineStatus);
    if (!(lLineStatus & (SERIAL_LSR_OE | SERIAL_LSR_PE | SERIAL_LSR_FE | SERIAL_LSR_BI)))
        return;
    const UCHAR ucError = m_SpecialChars.ErrorChar;
    // The chip tells a parity or framing error for a whole packet, not for the byte: each byte
    // stands as the error character, so that the count is kept.
    if (bErrorCharacter && !(lLineStatus & SERIAL_LSR_BI) && (lLineStatus & (SERIAL_LSR_PE | SERIAL_LSR_FE)))
        RtlFillMemory(pBuffer->m_GetData(), pBuffer->m_GetLength(), ucError);
    if (ucEscape) {
        const UCHAR aucLsr[3] = {ucEscape, SERIAL_LSRMST_LSR_DATA, (UCHAR)lLineStatus};
        pBuffer->m_Prepend(aucLsr, sizeof(aucLsr));
    }
    if (bErrorCharacter && (lLineStatus & SERIAL_LSR_OE)) {
        if (!(lLineStatus & SERIAL_LSR_DR))
            pBuffer->m_Clear();
        pBuffer->m_Prepend(&ucError, 1);
    }
}

// The transforms of received data in their order; FALSE when nothing is left to deliver.
BOOLEAN CVCP::m_TransformReceived(CPmBuffer* pBuffer, BOOLEAN bInsertHere) {
    const ULONG ulFlowReplace = m_HandFlow.FlowReplace;
    ULONG ulOffset;
    if ((m_WaitMask.m_GetWaitMask() & SERIAL_EV_RXFLAG) && pBuffer->m_FindByte(0, m_SpecialChars.EventChar, &ulOffset))
        m_SetCommEventsReceived(SERIAL_EV_RXFLAG);
    if (bInsertHere && (ulFlowReplace & SERIAL_NULL_STRIPPING)) {
        pBuffer->m_RemoveAllOf(0);
        if (pBuffer->m_GetLength() == 0) {
            PM_TRACE(HVUVCP_TRACE_READ, "CVCP::m_Read - OUT - After Null stripping, data length is zero.");
            return FALSE;
        }
    }
    if (ulFlowReplace & SERIAL_AUTO_TRANSMIT) {
        m_TakeFlowCharacters(pBuffer);
        if (pBuffer->m_GetLength() == 0)
            return FALSE;
    }
    InterlockedExchangeAdd(reinterpret_cast<LONG volatile*>(&m_PerfStats.ReceivedCount), (LONG)pBuffer->m_GetLength());
    UCHAR ucEscape = (UCHAR)VcpRead(&m_lEscapeChar);
    if (ucEscape)
        VcpEscape(pBuffer, ucEscape);
    m_InsertLineStatus(pBuffer, ucEscape, bInsertHere && (ulFlowReplace & SERIAL_ERROR_CHAR));
    return TRUE;
}

BOOLEAN CVCP::m_Read(CPmBuffer* pBuffer) {
    PM_TRACE(HVUVCP_TRACE_READ, "CVCP::m_Read - IN");
    ULONGLONG ullStart = KeQueryInterruptTime();
    if (!pBuffer)
        return FALSE;
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    BOOLEAN bResult = TRUE;
    BOOLEAN bDeliver = FALSE;
    if (!pISerial) {
        PM_TRACE(HVUVCP_TRACE_READ, "CVCP::m_Read - OUT - No ISerial interface.");
        bResult = FALSE;
    } else if (pBuffer->m_GetLength() == 0) {
        PM_TRACE(HVUVCP_TRACE_READ, "CVCP::m_Read - OUT - Read Length is Zero.");
    } else if (InterlockedOr8(&m_bOverflow, 0)) {
        m_RefuseOverflowedData();
        bResult = FALSE;
    } else if (!m_TransformReceived(pBuffer, !pISerial->m_bLsrMstInsertOperation)) {
        m_ResolveCurrentEventMask();
    } else {
        bResult = bDeliver = m_pFunctionalDevice != NULL;
    }
    // One exit: the buffer goes to the read queue or is freed.
    if (!bDeliver) {
        pBuffer->m_Delete();
        return bResult;
    }
    m_pFunctionalDevice->m_DataForPendingReadArrived(pBuffer);
    if (m_WaitMask.m_GetWaitMask() & SERIAL_EV_RXCHAR)
        m_SetCommEventsReceived(SERIAL_EV_RXCHAR);
    m_ResolveCurrentEventMask();
    ULONGLONG ullElapsed = (KeQueryInterruptTime() - ullStart) / 10;
    m_ulLastReadTime = (ULONG)ullElapsed;
    PM_TRACE(HVUVCP_TRACE_READ, "CVCP::m_Read - OUT (Success)");
    PM_TRACE(HVUVCP_TRACE_READ, "CVcp::m_Read TD=%dys", (ULONG)ullElapsed);
    return TRUE;
}

void CVCP::sm_DataAmountChanged(PVOID pvContext, ULONG ulNewAmount, ULONG ulOldAmount) {
    if (pvContext)
        static_cast<CVCP*>(pvContext)->m_DataAmountChangedInReadQueue(ulNewAmount, ulOldAmount);
}

BOOLEAN CVCP::m_DataAmountChangedInReadQueue(ULONG ulNewAmount, ULONG ulOldAmount) {
    if (ulNewAmount)
        InterlockedOr(&m_lLineStatus, SERIAL_LSR_DR);
    else
        InterlockedAnd(&m_lLineStatus, ~(LONG)SERIAL_LSR_DR);
    ULONG ulEvents = 0;
    if (ulNewAmount > m_ul80PercentLevel)
        ulEvents |= SERIAL_EV_RX80FULL;
    if (ulNewAmount > m_ulQueueSize) {
        // Only the step into overflow counts: the error character added below changes the amount
        // again and brings this notification back while the queue is still over its size.
        if (!InterlockedExchange8(&m_bOverflow, TRUE)) {
            InterlockedOr(&m_alErrors[1], SERIAL_ERROR_QUEUEOVERRUN);
            VcpIncrement(&m_PerfStats.BufferOverrunErrorCount);
            ulEvents |= SERIAL_EV_ERR;
            ISerial* pISerial = m_BusInterface.m_GetRecord();
            if (pISerial && !pISerial->m_bLsrMstInsertOperation && (m_HandFlow.FlowReplace & SERIAL_ERROR_CHAR))
                m_DeliverCharacter(m_SpecialChars.ErrorChar);
            if (m_IsErrorAbortState())
                m_ErrorAbort();
        }
    } else {
        InterlockedExchange8(&m_bOverflow, FALSE);
    }
    if (ulNewAmount <= m_ulEffectiveXonLevel) {
        // Flow on sends vendor requests, and this runs in the read queue's timer DPC too: post it.
        // A flow off still waiting to run will set holds that this must release.
        if (VcpRead(&m_alHolds[VcpHoldDtrReceive]) || VcpRead(&m_alHolds[VcpHoldRtsReceive]) ||
            VcpRead(&m_alHolds[VcpHoldXoffSent]) || (VcpRead(&m_lFlowWorkPosted) & VCP_FLOW_OFF_POSTED))
            m_PostFlowWork(VCP_FLOW_ON_POSTED);
    }
    m_SetCommEventsReceived(ulEvents);
    m_ResolveCurrentEventMask();
    return TRUE;
}

NTSTATUS CVCP::m_SetQueueSize(const SERIAL_QUEUE_SIZE* pQueueSize) {
    if (!pQueueSize)
        return STATUS_INVALID_PARAMETER;
    ULONG ulSize = pQueueSize->InSize;
    if (ulSize < m_ulMinimumQueueSize)
        ulSize = m_ulMinimumQueueSize;
    if (ulSize > VCP_QUEUE_SIZE_MAX)
        ulSize = VCP_QUEUE_SIZE_MAX;
    m_ulQueueSize = ulSize;
    m_RecomputeLevels();
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetQueueSize - OUT (Success) - %u", ulSize);
    return STATUS_SUCCESS;
}
