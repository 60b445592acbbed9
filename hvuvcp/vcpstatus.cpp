// The port object's status: line status from the bus driver as errors and events, LSR/MST insertion,
// the communication status and statistics, and the state WMI reads.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>
#include <pmwritequeuecsq.h>

// The hold flags and the SERIAL_STATUS hold reason each stands for (0: none).
static const ULONG s_aulHoldReasons[VcpHolds] = {
    SERIAL_TX_WAITING_FOR_CTS,   SERIAL_TX_WAITING_FOR_DSR, SERIAL_TX_WAITING_FOR_DCD,
    SERIAL_TX_WAITING_ON_BREAK,  SERIAL_TX_WAITING_FOR_XON, 0,
    SERIAL_RX_WAITING_FOR_DSR,   0,                         SERIAL_TX_WAITING_XOFF_SENT,
};

BOOLEAN CVCP::m_LineStatusCallback(BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming, BOOLEAN bBreak,
                                   BOOLEAN bDataReady, BOOLEAN bTransmitHoldingEmpty, BOOLEAN bTransmitterEmpty,
                                   BOOLEAN bReceiveFifoError) {
    PM_TRACE(HVUVCP_TRACE_STATUS, "==>DataReady:%d, THRE:%d, TEMT:%d, RxFifoError:%d", bDataReady, bTransmitHoldingEmpty,
             bTransmitterEmpty, bReceiveFifoError);
    PM_TRACE(HVUVCP_TRACE_STATUS, "==>OverrunErr:%d, ParityErr:%d, FramingErr:%d, BreakState:%d", bOverrun, bParity,
             bFraming, bBreak);
    BOOLEAN bHeld = m_pFunctionalDevice && m_pFunctionalDevice->m_GetAmountInReadQueue() != 0;
    LONG lNew = (bReceiveFifoError ? SERIAL_LSR_FIFOERR : 0) | (bTransmitterEmpty ? SERIAL_LSR_TEMT : 0) |
                (bTransmitHoldingEmpty ? SERIAL_LSR_THRE : 0) | (bBreak ? SERIAL_LSR_BI : 0) |
                (bFraming ? SERIAL_LSR_FE : 0) | (bParity ? SERIAL_LSR_PE : 0) | (bOverrun ? SERIAL_LSR_OE : 0) |
                (bDataReady || bHeld ? SERIAL_LSR_DR : 0);
    LONG lOld = InterlockedExchange(&m_lLineStatus, lNew);

    ULONG ulEvents = 0;
    LONG lErrors = 0;
    if (bOverrun) {
        VcpIncrement(&m_PerfStats.SerialOverrunErrorCount);
        lErrors |= SERIAL_ERROR_OVERRUN;
        ulEvents |= SERIAL_EV_ERR;
    }
    if (bParity) {
        VcpIncrement(&m_PerfStats.ParityErrorCount);
        lErrors |= SERIAL_ERROR_PARITY;
        ulEvents |= SERIAL_EV_ERR;
    }
    if (bFraming) {
        VcpIncrement(&m_PerfStats.FrameErrorCount);
        lErrors |= SERIAL_ERROR_FRAMING;
        ulEvents |= SERIAL_EV_ERR;
    }
    if (bBreak) {
        lErrors |= SERIAL_ERROR_BREAK;
        ulEvents |= SERIAL_EV_BREAK;
    }
    if (lErrors)
        InterlockedOr(&m_alErrors[0], lErrors);
    if (bTransmitHoldingEmpty && ((lOld ^ lNew) & SERIAL_LSR_TEMT))
        ulEvents |= SERIAL_EV_TXEMPTY;
    else
        m_WaitMask.m_ClearCommEvents(SERIAL_EV_TXEMPTY);
    if (lErrors && (m_HandFlow.ControlHandShake & SERIAL_ERROR_ABORT))
        m_ErrorAbort();
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    if (bBreak && !(lOld & SERIAL_LSR_BI) && pISerial && !pISerial->m_bLsrMstInsertOperation &&
        (m_HandFlow.FlowReplace & SERIAL_BREAK_CHAR))
        m_DeliverCharacter(m_SpecialChars.BreakChar);
    m_SetCommEventsReceived(ulEvents);
    m_ResolveCurrentEventMask();
    PM_TRACE(HVUVCP_TRACE_STATUS, "CVCP::m_LineStatusCallback - OUT (Success)");
    return TRUE;
}

NTSTATUS CVCP::m_SetLsrMstInsert(UCHAR ucEscapeChar) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetLsrMstInsert - IN");
    if (ucEscapeChar && (ucEscapeChar == m_SpecialChars.XonChar || ucEscapeChar == m_SpecialChars.XoffChar ||
                         (m_HandFlow.FlowReplace & SERIAL_ERROR_CHAR))) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetLsrMstInsert - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetLsrMstInsert");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!pISerial->m_bLsrMstInsertOperation) {
        InterlockedExchange(&m_lEscapeChar, ucEscapeChar);
        return STATUS_SUCCESS;
    }
    if (!VCP_CALL(pISerial, m_LsrMstInsertCallback, ucEscapeChar)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetLsrMstInsert - OUT - Failed- Error setting Lsr Mst Insert.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_GetCommStatus(SERIAL_STATUS* pStatus) {
    if (!pStatus)
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(pStatus, sizeof(*pStatus));
    pStatus->Errors = (ULONG)(InterlockedExchange(&m_alErrors[0], 0) | InterlockedExchange(&m_alErrors[1], 0));
    m_SetQueuesActive(TRUE);
    pStatus->EofReceived = FALSE;
    pStatus->AmountInInQueue = m_pFunctionalDevice ? m_pFunctionalDevice->m_GetAmountInReadQueue() : 0;
    ULONG ulWaiting = m_pFunctionalDevice && m_pFunctionalDevice->m_pWriteQueue
                          ? m_pFunctionalDevice->m_pWriteQueue->m_GetPendingBytes()
                          : 0;
    pStatus->AmountInOutQueue = ulWaiting + (ULONG)VcpRead(&m_lTransmitPending);
    pStatus->WaitForImmediate = m_bImmediatePending;
    for (ULONG i = 0; i < VcpHolds; ++i)
        if (VcpRead(&m_alHolds[i]))
            pStatus->HoldReasons |= s_aulHoldReasons[i];
    PM_TRACE(HVUVCP_TRACE_VCP, "==========Return m_GetCommStatus()================");
    PM_TRACE(HVUVCP_TRACE_VCP, "Errors:0x%X, HoldReasons:0x%X, AmountInInQueue:%u, AmountInOutQueue:%u, WaitForImmediate:%d",
             pStatus->Errors, pStatus->HoldReasons, pStatus->AmountInInQueue, pStatus->AmountInOutQueue,
             pStatus->WaitForImmediate);
    return STATUS_SUCCESS;
}

void CVCP::m_GetLineAndHoldState(VcpLineAndHoldState* pState) {
    if (!pState)
        return;
    RtlZeroMemory(pState, sizeof(*pState));
    pState->m_ucModemControl = m_ucModemControl;
    pState->m_ucModemStatus = (UCHAR)VcpRead(&m_lModemStatus);
    pState->m_ucLineStatus = (UCHAR)VcpRead(&m_lLineStatus);
    const ULONG ulReceive = SERIAL_RX_WAITING_FOR_DSR | SERIAL_TX_WAITING_XOFF_SENT;
    for (ULONG i = 0; i < VcpHolds; ++i)
        if (VcpRead(&m_alHolds[i])) {
            if (s_aulHoldReasons[i] & ulReceive)
                pState->m_ulReceiveHolds |= s_aulHoldReasons[i];
            else
                pState->m_ulTransmitHolds |= s_aulHoldReasons[i];
        }
    pState->m_ulWaitMask = m_WaitMask.m_GetWaitMask();
}

void CVCP::m_ClearStats() {
    for (ULONG* pulCounter : {&m_PerfStats.ReceivedCount, &m_PerfStats.TransmittedCount, &m_PerfStats.FrameErrorCount,
                              &m_PerfStats.SerialOverrunErrorCount, &m_PerfStats.BufferOverrunErrorCount,
                              &m_PerfStats.ParityErrorCount})
        InterlockedExchange(reinterpret_cast<LONG volatile*>(pulCounter), 0);
}
