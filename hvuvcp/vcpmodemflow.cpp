// The port object's modem lines and flow control: the handflow and the lines it drives, DTR and RTS,
// XON/XOFF, the modem status from the bus driver and the receive flow control towards the far end.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>

static const CHAR s_szSourcePath[] = "hvuvcp\\vcpmodemflow.cpp";

// ---- Handflow -------------------------------------------------------------------------------

NTSTATUS CVCP::m_SetHandFlow(const SERIAL_HANDFLOW* pHandFlow) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - IN");
    if (!pHandFlow)
        return STATUS_INVALID_PARAMETER;
    if (!m_pSettings) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    if (pHandFlow->ControlHandShake & SERIAL_CONTROL_INVALID) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(SERIAL_CONTROL_INVALID)");
        return STATUS_INVALID_PARAMETER;
    }
    if (pHandFlow->FlowReplace & SERIAL_FLOW_INVALID) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(SERIAL_FLOW_INVALID)");
        return STATUS_INVALID_PARAMETER;
    }
    if ((pHandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(SERIAL_DTR_MASK invalid)");
        return STATUS_INVALID_PARAMETER;
    }
    if (pHandFlow->XonLimit < 0 || (ULONG)pHandFlow->XonLimit > m_ulQueueSize) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(XonLimit out of bound)");
        return STATUS_INVALID_PARAMETER;
    }
    if (pHandFlow->XoffLimit < 0 || (ULONG)pHandFlow->XoffLimit > m_ulQueueSize) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(XoffLimit out of bound)");
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulSupported = m_pSettings->m_ulSupportedFlowControls;
    if (!(ulSupported & 0x8)) {
        ULONG ulChs = pHandFlow->ControlHandShake, ulFr = pHandFlow->FlowReplace;
        // The RTS handshake bit is tested alone: transmit toggle carries it too.
        BOOLEAN bCtsRts = (ulSupported & 0x1) && (ulChs & SERIAL_CTS_HANDSHAKE) && (ulFr & SERIAL_RTS_HANDSHAKE);
        BOOLEAN bDtrDsr = (ulSupported & 0x2) && (ulChs & SERIAL_DSR_HANDSHAKE) &&
                          (ulChs & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
        BOOLEAN bXonXoff = (ulSupported & 0x4) && (ulFr & SERIAL_AUTO_TRANSMIT) && (ulFr & SERIAL_AUTO_RECEIVE);
        if (!bCtsRts && !bDtrDsr && !bXonXoff) {
            PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - OUT - Failed- Unsupported flow control type.");
            return STATUS_UNSUCCESSFUL;
        }
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetHandFlow");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;

    SERIAL_HANDFLOW handFlow = *pHandFlow;
    if (m_pSettings->m_ulOverrideFlowControl &&
        !m_FlowControlMasks(m_pSettings->m_ulFlowControl, &handFlow.ControlHandShake, &handFlow.FlowReplace)) {
        handFlow.ControlHandShake = 0;
        handFlow.FlowReplace = 0;
    }
    m_HandFlow = handFlow;
    ULONG ulSize = m_ulQueueSize;
    ULONG ulXon = (ULONG)handFlow.XonLimit, ulXoff = (ULONG)handFlow.XoffLimit;
    if (ulXoff == ulSize && ulSize)
        ulXoff = ulSize - 1;
    if (ulXon == ulSize && ulSize)
        ulXon = ulSize - 1;
    // Flow goes off when the held data reaches size - XOFF level; flow on must lie below that, or
    // the two would chase each other.
    if (ulXon >= ulSize - ulXoff)
        ulXon = ulSize - ulXoff ? ulSize - ulXoff - 1 : 0;
    m_ulEffectiveXonLevel = ulXon;
    m_ulEffectiveXoffLevel = ulXoff;

    ULONG ulChs = handFlow.ControlHandShake, ulFr = handFlow.FlowReplace;
    if (!VCP_CALL(pISerial, m_HandshakingSettingsCallback, (BOOLEAN)((ulChs & SERIAL_CTS_HANDSHAKE) != 0),
                  (BOOLEAN)((ulFr & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE),
                  (BOOLEAN)((ulChs & SERIAL_DSR_HANDSHAKE) != 0),
                  (BOOLEAN)((ulChs & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE),
                  (BOOLEAN)((ulChs & SERIAL_DSR_SENSITIVITY) != 0),
                  (BOOLEAN)((ulFr & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE),
                  (BOOLEAN)((ulFr & SERIAL_AUTO_TRANSMIT) != 0), (BOOLEAN)((ulFr & SERIAL_AUTO_RECEIVE) != 0),
                  (BOOLEAN)((ulFr & SERIAL_XOFF_CONTINUE) != 0))) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - OUT - Failed- Error setting handshaking settings.");
        return STATUS_UNSUCCESSFUL;
    }
    return m_SetupHandFlowSignal();
}

NTSTATUS CVCP::m_SetupHandFlowSignal() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetHandFlow");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    ULONG ulChs = m_HandFlow.ControlHandShake, ulFr = m_HandFlow.FlowReplace;
    LONG lMsr = InterlockedCompareExchange(&m_lModemStatus, 0, 0);
    BOOLEAN bOutput = (ulChs & SERIAL_OUT_HANDSHAKEMASK) != 0;
    m_SetHold(VcpHoldCts, bOutput && (ulChs & SERIAL_CTS_HANDSHAKE) && !(lMsr & SERIAL_MSR_CTS));
    m_SetHold(VcpHoldDsr, bOutput && (ulChs & SERIAL_DSR_HANDSHAKE) && !(lMsr & SERIAL_MSR_DSR));
    m_SetHold(VcpHoldDcd, bOutput && (ulChs & SERIAL_DCD_HANDSHAKE) && !(lMsr & SERIAL_MSR_DCD));

    m_SetHold(VcpHoldDtrReceive, FALSE);
    BOOLEAN bDtr = (ulChs & SERIAL_DTR_MASK) != 0;
    if (!VCP_CALL(pISerial, m_DtrCallback, bDtr)) {
        PM_TRACE(HVUVCP_TRACE_VCP, bDtr ? "CVCP::m_SetHandFlow - OUT - Failed- Error setting DTR to TRUE."
                         : "CVCP::m_SetHandFlow - OUT - Failed- Error setting DTR to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = (UCHAR)(bDtr ? m_ucModemControl | 1 : m_ucModemControl & ~1);
    m_SetHold(VcpHoldRtsReceive, FALSE);
    ULONG ulRts = ulFr & SERIAL_RTS_MASK;
    BOOLEAN bRts = ulRts == SERIAL_RTS_CONTROL || ulRts == SERIAL_RTS_HANDSHAKE;
    if (!VCP_CALL(pISerial, m_RtsCallback, bRts)) {
        PM_TRACE(HVUVCP_TRACE_VCP, bRts ? "CVCP::m_SetHandFlow - OUT - Failed- Error setting RTS to TRUE."
                         : "CVCP::m_SetHandFlow - OUT - Failed- Error setting RTS to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = (UCHAR)(bRts ? m_ucModemControl | 2 : m_ucModemControl & ~2);
    if (!NT_SUCCESS(m_SetXon())) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - OUT - Failed- Error setting Xon.");
        return STATUS_UNSUCCESSFUL;
    }
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetHandFlow - OUT (Success)");
    return STATUS_SUCCESS;
}

// ---- Modem control lines --------------------------------------------------------------------

// One line of the modem-control byte: refused while a handshake drives it, no call when it already
// has the wanted state.
NTSTATUS CVCP::m_SetLine(UCHAR ucBit, BOOLEAN bOn, BOOLEAN bDrivenByHandshake, PCSTR pszOperation) {
    PM_TRACE(HVUVCP_TRACE_VCP, "%s - IN", pszOperation);
    if (bDrivenByHandshake) {
        PM_TRACE(HVUVCP_TRACE_VCP, "%s - OUT - Invalid parameter", pszOperation);
        return STATUS_INVALID_PARAMETER;
    }
    if (((m_ucModemControl & ucBit) != 0) == (bOn != 0))
        return STATUS_SUCCESS;
    ISerial* pISerial = m_GetRecordOrAssert(pszOperation);
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    BOOLEAN bDone = ucBit == 1 ? VCP_CALL(pISerial, m_DtrCallback, bOn) : VCP_CALL(pISerial, m_RtsCallback, bOn);
    if (!bDone) {
        PM_TRACE(HVUVCP_TRACE_VCP, "%s - OUT - Failed- Error setting %s to %s.", pszOperation, ucBit == 1 ? "DTR" : "RTS",
                 bOn ? "TRUE" : "FALSE");
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = (UCHAR)(bOn ? m_ucModemControl | ucBit : m_ucModemControl & ~ucBit);
    PM_TRACE(HVUVCP_TRACE_VCP, "%s - OUT (Success)", pszOperation);
    return STATUS_SUCCESS;
}

BOOLEAN CVCP::m_IsDtrHandshake() const { return (m_HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE; }

BOOLEAN CVCP::m_IsRtsDriven() const {
    ULONG ulRts = m_HandFlow.FlowReplace & SERIAL_RTS_MASK;
    return ulRts == SERIAL_RTS_HANDSHAKE || ulRts == SERIAL_TRANSMIT_TOGGLE;
}

NTSTATUS CVCP::m_ClearDtr() { return m_SetLine(1, FALSE, m_IsDtrHandshake(), "CVCP::m_ClearDtr"); }
NTSTATUS CVCP::m_SetDtr() { return m_SetLine(1, TRUE, m_IsDtrHandshake(), "CVCP::m_SetDtr"); }
NTSTATUS CVCP::m_ClearRts() { return m_SetLine(2, FALSE, m_IsRtsDriven(), "CVCP::m_ClearRts"); }
NTSTATUS CVCP::m_SetRts() { return m_SetLine(2, TRUE, m_IsRtsDriven(), "CVCP::m_SetRts"); }

NTSTATUS CVCP::m_SetModemControl(const ULONG* pulValue) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetModemControl - IN");
    if (!pulValue)
        return STATUS_INVALID_PARAMETER;
    ULONG ulValue = *pulValue;
    if (!NT_SUCCESS(ulValue & 2 ? m_SetRts() : m_ClearRts())) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetModemControl - OUT - Failed-> Error setting RTS.");
        return STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(ulValue & 1 ? m_SetDtr() : m_ClearDtr())) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetModemControl - OUT - Failed-> Error setting DTR.");
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = (UCHAR)ulValue;
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetModemControl - OUT (Success)");
    return STATUS_SUCCESS;
}

// ---- XON and XOFF ---------------------------------------------------------------------------

NTSTATUS CVCP::m_PretendXoff(BOOLEAN bXoff, PCSTR pszOperation) {
    ISerial* pISerial = m_GetRecordOrAssert(pszOperation);
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    BOOLEAN bDone = VCP_CALL(pISerial, m_PretendXoffReceivedCallback, bXoff);
    m_SetHold(VcpHoldXoffReceived, bXoff);
    PM_TRACE(HVUVCP_TRACE_VCP, "%s - OUT (%s)", pszOperation, bDone ? "Success" : "Failed");
    return bDone ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CVCP::m_SetXon() { return m_PretendXoff(FALSE, "CVCP::m_SetXon"); }
NTSTATUS CVCP::m_SetXoff() { return m_PretendXoff(TRUE, "CVCP::m_SetXoff"); }

BOOLEAN CVCP::m_XoffHoldingCallback(BOOLEAN bHeld) {
    m_SetHold(VcpHoldXoffSent, bHeld);
    return TRUE;
}

BOOLEAN CVCP::m_XoffSentCallback(BOOLEAN bSent) {
    if (bSent)
        m_SetHold(VcpHoldXoffReceived, !(m_HandFlow.FlowReplace & SERIAL_XOFF_CONTINUE));
    return TRUE;
}

// ---- Modem status ---------------------------------------------------------------------------

BOOLEAN CVCP::m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge, BOOLEAN bDcd) {
    PM_TRACE(HVUVCP_TRACE_STATUS, "==>CtsState:%d, DsrState:%d, bRiState:%d, RiTrailingEdge:%d, DcdState:%d", bCts, bDsr,
             bRi, bRiTrailingEdge, bDcd);
    if (!m_pSettings || (bRi && bRiTrailingEdge)) {
        PM_ASSERTION_LINE(s_szSourcePath);
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
    m_SetHold(VcpHoldCts, bOutput && (ulChs & SERIAL_CTS_HANDSHAKE) && !bCtsLevel);
    m_SetHold(VcpHoldDsr, bOutput && (ulChs & SERIAL_DSR_HANDSHAKE) && !bDsr);
    m_SetHold(VcpHoldDcd, bOutput && (ulChs & SERIAL_DCD_HANDSHAKE) && !bDcd);
    m_SetHold(VcpHoldDsrSensitivity, (ulChs & SERIAL_DSR_SENSITIVITY) && !bDsr);

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
        m_SetHold(VcpHoldCts, FALSE);
    }
    if (m_pSettings->m_ulEmulateDSRTrue) {
        ulEvents &= ~SERIAL_EV_DSR;
        m_SetHold(VcpHoldDsr, FALSE);
    }
    UCHAR ucEscape = (UCHAR)VcpRead(&m_lEscapeChar);
    if (ucEscape && lDelta) {
        const UCHAR aucMst[3] = {ucEscape, SERIAL_LSRMST_MST, (UCHAR)lStatus};
        m_DeliverBytes(aucMst, sizeof(aucMst));
    }
    m_SetCommEventsReceived(ulEvents);
    m_ResolveCurrentEventMask();
    PM_TRACE(HVUVCP_TRACE_STATUS, "CVCP::m_ModemStatusCallback - OUT (Success)");
    return TRUE;
}

ULONG CVCP::m_GetModemStatus() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_GetModemStatus");
    if (!pISerial || !VCP_CALL(pISerial, m_UpdateModemStatus)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_GetModemStatus - OUT - m_UpdateModemStatus failed");
        return 0;
    }
    ULONG ulStatus = (ULONG)VcpRead(&m_lModemStatus);
    if (m_pSettings && m_pSettings->m_ulEmulateCTSTrue)
        ulStatus |= SERIAL_MSR_CTS;
    if (m_pSettings && m_pSettings->m_ulEmulateDSRTrue)
        ulStatus |= SERIAL_MSR_DSR;
    return ulStatus;
}

// ---- Receive flow control -------------------------------------------------------------------

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
        m_TakeHold(VcpHoldXoffSent)) {
        VCP_CALL(pISerial, m_SendXonXoffCallback, (BOOLEAN)TRUE);
        if (!(ulFlowReplace & SERIAL_XOFF_CONTINUE))
            m_SetHold(VcpHoldXoffReceived, TRUE);
    }
    if ((m_HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE &&
        !m_SetHold(VcpHoldDtrReceive, TRUE))
        VCP_CALL(pISerial, m_DtrCallback, (BOOLEAN)FALSE);
    if ((ulFlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE &&
        !m_SetHold(VcpHoldRtsReceive, TRUE))
        VCP_CALL(pISerial, m_RtsCallback, (BOOLEAN)FALSE);
    PM_TRACE(HVUVCP_TRACE_READ, "CVCP::m_ExecutionOnDispatchLevelQueueOverflow - OUT");
}

void CVCP::m_ExecutionOnPassiveLevelQueueDrained() {
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    if (!pISerial)
        return;
    if (m_SetHold(VcpHoldDtrReceive, FALSE))
        VCP_CALL(pISerial, m_DtrCallback, (BOOLEAN)TRUE);
    if (m_SetHold(VcpHoldRtsReceive, FALSE))
        VCP_CALL(pISerial, m_RtsCallback, (BOOLEAN)TRUE);
    if (m_SetHold(VcpHoldXoffSent, FALSE)) {
        VCP_CALL(pISerial, m_SendXonXoffCallback, (BOOLEAN)FALSE);
        if (!(m_HandFlow.FlowReplace & SERIAL_XOFF_CONTINUE))
            m_SetHold(VcpHoldXoffReceived, FALSE);
    }
    PM_TRACE(HVUVCP_TRACE_READ, "CVCP::m_ExecutionOnPassiveLevelQueueDrained - OUT");
}
