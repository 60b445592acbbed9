// The port object's data path: received data into the read queue, transmit chunks to the bus
// driver and their acknowledgements, line and modem status as communication events, receive flow
// control and the status answers.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>
#include <pmreadqueuecsq.h>
#include <pmwritequeuecsq.h>

#define VCP_TRACE_STATUS 11
#define VCP_TRACE_READ 14

#define VCP_FLOW_OFF_POSTED 1
#define VCP_FLOW_ON_POSTED 2

// The hold flags, the value each stores and the SERIAL_STATUS hold reason it stands for (0: none).
static const ULONG s_aulHoldReasons[VcpHolds] = {
    SERIAL_TX_WAITING_FOR_CTS,   SERIAL_TX_WAITING_FOR_DSR, SERIAL_TX_WAITING_FOR_DCD,
    SERIAL_TX_WAITING_ON_BREAK,  SERIAL_TX_WAITING_FOR_XON, 0,
    SERIAL_RX_WAITING_FOR_DSR,   0,                         SERIAL_TX_WAITING_XOFF_SENT,
};

static inline LONG VcpRead(LONG volatile* pl) { return InterlockedCompareExchange(pl, 0, 0); }

static inline void VcpIncrement(ULONG* pulCounter) {
    InterlockedIncrement(reinterpret_cast<LONG volatile*>(pulCounter));
}

// ---- Events ------------------------------------------------------------------------------------

void CVCP::m_SetCommEventsReceived(ULONG ulEvents) {
    if (ulEvents)
        m_WaitMask.m_SetCommEventsReceived(ulEvents);
}

BOOLEAN CVCP::m_ResolveCurrentEventMask() { return m_WaitMask.m_ResolveCurrentEventMask(); }

NTSTATUS CVCP::m_SetWaitMask(ULONG ulMask) {
    if (ulMask >= 0x2000) {
        PM_TRACE(8, "CVCP::m_SetWaitMask - OUT -Fail->setting wait mask.");
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

// ---- Received data -------------------------------------------------------------------------------

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

BOOLEAN CVCP::m_Read(CPmBuffer* pBuffer) {
    PM_TRACE(VCP_TRACE_READ, "CVCP::m_Read - IN");
    ULONGLONG ullStart = KeQueryInterruptTime();
    if (!pBuffer)
        return FALSE;
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    if (!pISerial) {
        PM_TRACE(VCP_TRACE_READ, "CVCP::m_Read - OUT - No ISerial interface.");
        pBuffer->m_Delete();
        return FALSE;
    }
    if (pBuffer->m_GetLength() == 0) {
        PM_TRACE(VCP_TRACE_READ, "CVCP::m_Read - OUT - Read Length is Zero.");
        pBuffer->m_Delete();
        return TRUE;
    }
    if (__atomic_load_n(&m_bOverflow, __ATOMIC_SEQ_CST)) {
        PM_TRACE(VCP_TRACE_READ, "CVCP::m_Read - OUT - Buffer is overflow, can't read");
        pBuffer->m_Delete();
        InterlockedOr(&m_alErrors[1], SERIAL_ERROR_QUEUEOVERRUN);
        m_SetCommEventsReceived(SERIAL_EV_ERR);
        m_ResolveCurrentEventMask();
        if (m_HandFlow.ControlHandShake & SERIAL_ERROR_ABORT)
            m_ErrorAbort();
        return FALSE;
    }

    ULONG ulFlowReplace = m_HandFlow.FlowReplace;
    const BOOLEAN bInsertHere = !pISerial->m_bLsrMstInsertOperation;
    ULONG ulOffset;
    if ((m_WaitMask.m_GetWaitMask() & SERIAL_EV_RXFLAG) && pBuffer->m_FindByte(0, m_SpecialChars.EventChar, &ulOffset))
        m_SetCommEventsReceived(SERIAL_EV_RXFLAG);

    if (bInsertHere && (ulFlowReplace & SERIAL_NULL_STRIPPING)) {
        pBuffer->m_RemoveAllOf(0);
        if (pBuffer->m_GetLength() == 0) {
            PM_TRACE(VCP_TRACE_READ, "CVCP::m_Read - OUT - After Null stripping, data length is zero.");
            pBuffer->m_Delete();
            m_ResolveCurrentEventMask();
            return TRUE;
        }
    }

    if (ulFlowReplace & SERIAL_AUTO_TRANSMIT) {
        const UCHAR ucXon = m_SpecialChars.XonChar, ucXoff = m_SpecialChars.XoffChar;
        PUCHAR pucData = pBuffer->m_GetData();
        BOOLEAN bSeen = FALSE;
        for (ULONG i = 0; i < pBuffer->m_GetLength(); ++i) {
            if (pucData[i] == ucXoff) {
                InterlockedExchange(&m_alHolds[VcpHoldXoffReceived], 8);
                bSeen = TRUE;
            } else if (pucData[i] == ucXon) {
                InterlockedExchange(&m_alHolds[VcpHoldXoffReceived], 0);
                bSeen = TRUE;
            }
        }
        if (bSeen) {
            pBuffer->m_RemoveAllOf(ucXoff);
            pBuffer->m_RemoveAllOf(ucXon);
        }
        if (pBuffer->m_GetLength() == 0) {
            pBuffer->m_Delete();
            m_ResolveCurrentEventMask();
            return TRUE;
        }
    }

    InterlockedExchangeAdd(reinterpret_cast<LONG volatile*>(&m_PerfStats.ReceivedCount), (LONG)pBuffer->m_GetLength());

    UCHAR ucEscape = (UCHAR)VcpRead(&m_lEscapeChar);
    if (ucEscape)
        VcpEscape(pBuffer, ucEscape);

    LONG lLineStatus = VcpRead(&m_lLineStatus);
    if (lLineStatus & (SERIAL_LSR_OE | SERIAL_LSR_PE | SERIAL_LSR_FE | SERIAL_LSR_BI)) {
        if (ucEscape) {
            const UCHAR aucLsr[3] = {ucEscape, SERIAL_LSRMST_LSR_DATA, (UCHAR)lLineStatus};
            pBuffer->m_Prepend(aucLsr, sizeof(aucLsr));
        }
        if (bInsertHere && (ulFlowReplace & SERIAL_ERROR_CHAR)) {
            const UCHAR ucError = m_SpecialChars.ErrorChar;
            if (lLineStatus & SERIAL_LSR_OE) {
                if (!(lLineStatus & SERIAL_LSR_DR))
                    pBuffer->m_Clear();
                pBuffer->m_Prepend(&ucError, 1);
            }
            if (!(lLineStatus & SERIAL_LSR_BI)) {
                if (lLineStatus & SERIAL_LSR_PE) {
                    pBuffer->m_Clear();
                    pBuffer->m_Prepend(&ucError, 1);
                }
                if (lLineStatus & SERIAL_LSR_FE) {
                    pBuffer->m_Clear();
                    pBuffer->m_Prepend(&ucError, 1);
                }
            }
        }
    }

    if (!m_pFunctionalDevice) {
        pBuffer->m_Delete();
        return FALSE;
    }
    m_pFunctionalDevice->m_DataForPendingReadArrived(pBuffer);
    if (m_WaitMask.m_GetWaitMask() & SERIAL_EV_RXCHAR)
        m_SetCommEventsReceived(SERIAL_EV_RXCHAR);
    m_ResolveCurrentEventMask();
    ULONGLONG ullElapsed = (KeQueryInterruptTime() - ullStart) / 10;
    m_ulLastReadTime = (ULONG)ullElapsed;
    PM_TRACE(VCP_TRACE_READ, "CVCP::m_Read - OUT (Success)");
    PM_TRACE(VCP_TRACE_READ, "CVcp::m_Read TD=%dys", (ULONG)ullElapsed);
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
        if (!__atomic_exchange_n(&m_bOverflow, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST)) {
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
        __atomic_store_n(&m_bOverflow, (BOOLEAN)FALSE, __ATOMIC_SEQ_CST);
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

// ---- Receive flow control -------------------------------------------------------------------------

BOOLEAN CVCP::m_PostFlowWork(LONG lKind) {
    if (!m_pExecutionOnPassiveLevel)
        return FALSE;
    // One of each kind waits at a time; the work itself is idempotent.
    if (InterlockedOr(&m_lFlowWorkPosted, lKind) & lKind)
        return TRUE;
    if (m_pExecutionOnPassiveLevel->m_Post(lKind == VCP_FLOW_OFF_POSTED ? sm_FlowOffWork : sm_FlowOnWork, this))
        return TRUE;
    InterlockedAnd(&m_lFlowWorkPosted, ~lKind);
    return FALSE;
}

void CVCP::sm_FlowOffWork(PVOID pvArgument1, PVOID) {
    CVCP* pVcp = static_cast<CVCP*>(pvArgument1);
    pVcp->m_ExecutionOnDispatchLevelQueueOverflow();
    // Cleared after the holds are set, so that a drain seen meanwhile posts the flow on.
    InterlockedAnd(&pVcp->m_lFlowWorkPosted, ~(LONG)VCP_FLOW_OFF_POSTED);
}

void CVCP::sm_FlowOnWork(PVOID pvArgument1, PVOID) {
    CVCP* pVcp = static_cast<CVCP*>(pvArgument1);
    InterlockedAnd(&pVcp->m_lFlowWorkPosted, ~(LONG)VCP_FLOW_ON_POSTED);
    pVcp->m_ExecutionOnPassiveLevelQueueDrained();
}

BOOLEAN CVCP::m_AvailableReceiveBufferSizeCallback(ULONG ulIncoming, ULONG ulReserve, PULONG pulAvailable) {
    ULONG ulAmount = m_pFunctionalDevice ? m_pFunctionalDevice->m_GetAmountInReadQueue() : 0;
    ULONG ulSize = m_ulQueueSize;
    ULONG ulAvailable = ulSize < ulAmount ? 0 : ulSize - ulAmount;
    ULONGLONG ullAfter = (ULONGLONG)ulAmount + ulIncoming;
    ULONG ulXoff = m_ulEffectiveXoffLevel;
    if (ullAfter >= (ULONGLONG)(ulSize > ulXoff ? ulSize - ulXoff : 0) ||
        ullAfter >= (ULONGLONG)(ulSize > ulReserve ? ulSize - ulReserve : 0))
        m_PostFlowWork(VCP_FLOW_OFF_POSTED);
    if (pulAvailable)
        *pulAvailable = ulAvailable;
    return TRUE;
}

void CVCP::m_ExecutionOnDispatchLevelQueueOverflow() {
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    if (!pISerial || !m_bConnected)
        return;
    ULONG ulFlowReplace = m_HandFlow.FlowReplace;
    if ((ulFlowReplace & SERIAL_AUTO_RECEIVE) && VcpRead(&m_alHolds[VcpHoldXoffReceived]) == 0 &&
        InterlockedCompareExchange(&m_alHolds[VcpHoldXoffSent], 2, 0) == 0) {
        VCP_CALL(pISerial, m_SendXonXoffCallback, (BOOLEAN)TRUE);
        if (!(ulFlowReplace & SERIAL_XOFF_CONTINUE))
            InterlockedExchange(&m_alHolds[VcpHoldXoffReceived], 8);
    }
    if ((m_HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE &&
        InterlockedExchange(&m_alHolds[VcpHoldDtrReceive], 1) == 0)
        VCP_CALL(pISerial, m_DtrCallback, (BOOLEAN)FALSE);
    if ((ulFlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE &&
        InterlockedExchange(&m_alHolds[VcpHoldRtsReceive], 4) == 0)
        VCP_CALL(pISerial, m_RtsCallback, (BOOLEAN)FALSE);
    PM_TRACE(VCP_TRACE_READ, "CVCP::m_ExecutionOnDispatchLevelQueueOverflow - OUT");
}

void CVCP::m_ExecutionOnPassiveLevelQueueDrained() {
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    if (!pISerial)
        return;
    if (InterlockedExchange(&m_alHolds[VcpHoldDtrReceive], 0))
        VCP_CALL(pISerial, m_DtrCallback, (BOOLEAN)TRUE);
    if (InterlockedExchange(&m_alHolds[VcpHoldRtsReceive], 0))
        VCP_CALL(pISerial, m_RtsCallback, (BOOLEAN)TRUE);
    if (InterlockedExchange(&m_alHolds[VcpHoldXoffSent], 0)) {
        VCP_CALL(pISerial, m_SendXonXoffCallback, (BOOLEAN)FALSE);
        if (!(m_HandFlow.FlowReplace & SERIAL_XOFF_CONTINUE))
            InterlockedExchange(&m_alHolds[VcpHoldXoffReceived], 0);
    }
    PM_TRACE(VCP_TRACE_READ, "CVCP::m_ExecutionOnPassiveLevelQueueDrained - OUT");
}

// ---- Line and modem status ----------------------------------------------------------------------

BOOLEAN CVCP::m_LineStatusCallback(BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming, BOOLEAN bBreak,
                                   BOOLEAN bDataReady, BOOLEAN bTransmitHoldingEmpty, BOOLEAN bTransmitterEmpty,
                                   BOOLEAN bReceiveFifoError) {
    PM_TRACE(VCP_TRACE_STATUS, "==>DataReady:%d, THRE:%d, TEMT:%d, RxFifoError:%d", bDataReady, bTransmitHoldingEmpty,
             bTransmitterEmpty, bReceiveFifoError);
    PM_TRACE(VCP_TRACE_STATUS, "==>OverrunErr:%d, ParityErr:%d, FramingErr:%d, BreakState:%d", bOverrun, bParity,
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
    PM_TRACE(VCP_TRACE_STATUS, "CVCP::m_LineStatusCallback - OUT (Success)");
    return TRUE;
}

BOOLEAN CVCP::m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge, BOOLEAN bDcd) {
    PM_TRACE(VCP_TRACE_STATUS, "==>CtsState:%d, DsrState:%d, bRiState:%d, RiTrailingEdge:%d, DcdState:%d", bCts, bDsr,
             bRi, bRiTrailingEdge, bDcd);
    if (!m_pSettings || (bRi && bRiTrailingEdge)) {
        PM_ASSERTION_LINE(g_szVcpSourcePath);
        return FALSE;
    }
    const BOOLEAN bCtsIgnored = m_pSettings->m_ulDuplexMode == 2;
    LONG lState = (bDcd ? SERIAL_MSR_DCD : 0) | (bRi ? SERIAL_MSR_RI : 0) | (bDsr ? SERIAL_MSR_DSR : 0) |
                  (bCts || bCtsIgnored ? SERIAL_MSR_CTS : 0);
    LONG lOld = VcpRead(&m_lModemStatus);
    LONG lDelta = (lOld ^ lState) & (SERIAL_MSR_DCD | SERIAL_MSR_DSR | SERIAL_MSR_CTS);
    if (bCtsIgnored)
        lDelta &= ~SERIAL_MSR_CTS;
    if (bRiTrailingEdge)
        lDelta |= SERIAL_MSR_RI;
    LONG lStatus = lState | (lDelta >> 4);
    InterlockedExchange(&m_lModemStatus, lStatus);

    ULONG ulChs = m_HandFlow.ControlHandShake;
    BOOLEAN bOutput = (ulChs & SERIAL_OUT_HANDSHAKEMASK) != 0;
    BOOLEAN bCtsLevel = (lState & SERIAL_MSR_CTS) != 0;
    InterlockedExchange(&m_alHolds[VcpHoldCts], bOutput && (ulChs & SERIAL_CTS_HANDSHAKE) && !bCtsLevel ? 1 : 0);
    InterlockedExchange(&m_alHolds[VcpHoldDsr], bOutput && (ulChs & SERIAL_DSR_HANDSHAKE) && !bDsr ? 2 : 0);
    InterlockedExchange(&m_alHolds[VcpHoldDcd], bOutput && (ulChs & SERIAL_DCD_HANDSHAKE) && !bDcd ? 4 : 0);
    InterlockedExchange(&m_alHolds[VcpHoldDsrSensitivity], (ulChs & SERIAL_DSR_SENSITIVITY) && !bDsr ? 8 : 0);

    ULONG ulEvents = 0;
    if (lDelta & SERIAL_MSR_CTS)
        ulEvents |= SERIAL_EV_CTS;
    if (lDelta & SERIAL_MSR_DSR)
        ulEvents |= SERIAL_EV_DSR;
    if (bRiTrailingEdge)
        ulEvents |= SERIAL_EV_RING;
    if (lDelta & SERIAL_MSR_DCD)
        ulEvents |= SERIAL_EV_RLSD;
    if (m_pSettings->m_ulEmulateCTSTrue) {
        ulEvents &= ~SERIAL_EV_CTS;
        InterlockedExchange(&m_alHolds[VcpHoldCts], 0);
    }
    if (m_pSettings->m_ulEmulateDSRTrue) {
        ulEvents &= ~SERIAL_EV_DSR;
        InterlockedExchange(&m_alHolds[VcpHoldDsr], 0);
    }
    UCHAR ucEscape = (UCHAR)VcpRead(&m_lEscapeChar);
    if (ucEscape && lDelta) {
        const UCHAR aucMst[3] = {ucEscape, SERIAL_LSRMST_MST, (UCHAR)lStatus};
        m_DeliverBytes(aucMst, sizeof(aucMst));
    }
    m_SetCommEventsReceived(ulEvents);
    m_ResolveCurrentEventMask();
    PM_TRACE(VCP_TRACE_STATUS, "CVCP::m_ModemStatusCallback - OUT (Success)");
    return TRUE;
}

ULONG CVCP::m_GetModemStatus() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_GetModemStatus");
    if (!pISerial || !VCP_CALL(pISerial, m_UpdateModemStatus)) {
        PM_TRACE(8, "CVCP::m_GetModemStatus - OUT - m_UpdateModemStatus failed");
        return 0;
    }
    ULONG ulStatus = (ULONG)VcpRead(&m_lModemStatus);
    if (m_pSettings && m_pSettings->m_ulEmulateCTSTrue)
        ulStatus |= SERIAL_MSR_CTS;
    if (m_pSettings && m_pSettings->m_ulEmulateDSRTrue)
        ulStatus |= SERIAL_MSR_DSR;
    return ulStatus;
}

// ---- Transmit ---------------------------------------------------------------------------------------

BOOLEAN CVCP::m_Write(CPmBuffer* pChunk) {
    if (!pChunk)
        return FALSE;
    ULONG ulLength = pChunk->m_GetLength();
    if (ulLength == 0) {
        PM_TRACE(8, "CVCP::m_Write - OUT - Fail-> Write length is 0.");
        pChunk->m_Delete();
        return FALSE;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_Write");
    if (!pISerial || !pISerial->m_pProvider || !pISerial->m_Operations.m_PortWriteCallback) {
        pChunk->m_Delete();
        return FALSE;
    }
    if (g_pPmDebugManager)
        g_pPmDebugManager->m_TraceHexDump(8, pChunk->m_GetData(), ulLength, "Write");
    InterlockedExchangeAdd(&m_lTransmitPending, (LONG)ulLength);
    // The chunk belongs to the bus driver from here, whatever it answers.
    if (!VCP_CALL(pISerial, m_PortWriteCallback, pChunk)) {
        VcpSaturatingSubtract(&m_lTransmitPending, (LONG)ulLength);
        PM_TRACE(8, "CVCP::m_Write - OUT - Fail-> The bus driver refused the data.");
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

BOOLEAN CVCP::m_ImmediateCharacterSentCallback() {
    m_bImmediatePending = FALSE;
    return TRUE;
}

BOOLEAN CVCP::m_XoffHoldingCallback(BOOLEAN bHeld) {
    InterlockedExchange(&m_alHolds[VcpHoldXoffSent], bHeld ? 2 : 0);
    return TRUE;
}

BOOLEAN CVCP::m_XoffSentCallback(BOOLEAN bSent) {
    if (bSent)
        InterlockedExchange(&m_alHolds[VcpHoldXoffReceived], (m_HandFlow.FlowReplace & SERIAL_XOFF_CONTINUE) ? 0 : 8);
    return TRUE;
}

// ---- Status answers ---------------------------------------------------------------------------------

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
    PM_TRACE(8, "==========Return m_GetCommStatus()================");
    PM_TRACE(8, "Errors:0x%X, HoldReasons:0x%X, AmountInInQueue:%u, AmountInOutQueue:%u, WaitForImmediate:%d",
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
