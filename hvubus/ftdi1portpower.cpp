// The FTDI port object's latency and receive transfer size per baud rate, and its save before the
// bus device powers down and restore after it powers up.
#include "ftdi1port.h"

#include <pmdebugmanager.h>

#include "ftdi1portinternal.h"

// Waits of the save and the restore (100 ns units, relative).
#define FTDI_SECONDS(n) (-(LONGLONG)(n) * 10000000LL)

static void FtdiDelay(LONGLONG llInterval) {
    LARGE_INTEGER liInterval;
    liInterval.QuadPart = llInterval;
    KeDelayExecutionThread(KernelMode, FALSE, &liInterval);
}

BOOLEAN CFTDI1Port::m_SetTransportLatency(ULONG ulLatency) {
    return m_Request(FTDI_SET_LATENCY_TIMER, (USHORT)ulLatency, m_Index());
}

BOOLEAN CFTDI1Port::m_SetLatencyAndRxTransferSize(ULONG ulBaudRate) {
    if (m_Latency.ulPolicyType == FTDI_POLICY_LOW_CPU_USAGE)
        PM_TRACE(FTDI_TRACE, "LowCpuUsage Policy: BaudRate: %d, FineTuning: %d", ulBaudRate,
                 m_Latency.ulLowCpuUsageFineTuning);
    else if (m_Latency.ulPolicyType == FTDI_POLICY_SPECIFIC_LATENCY_TIME)
        PM_TRACE(FTDI_TRACE, "SpecificLatencyTime Policy: BaudRate: %d, MaxLatency: %d, FineTuning: %d", ulBaudRate,
                 m_Latency.ulMaximumLatency, m_Latency.ulMaximumLatencyFineTuning);
    ULONG ulLatency = 0, ulTransfer = 0;
    if (!FtdiLatencyPolicy(&m_Latency, ulBaudRate, &ulLatency, &ulTransfer)) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_SetLatencyAndRxTransferSize - OUT (Error Invalid Policy Type.)");
        return FALSE;
    }
    // A disabled receive FIFO wants every character at once.
    if (m_ucReceiveTrigger == 1) {
        ulTransfer = FTDI_PACKET_SIZE;
        ulLatency = 16;
    }
    if (ulTransfer != m_ulRxTransferSize) {
        m_ulRxTransferSize = ulTransfer;
        if (m_pUSBTransport)
            m_pUSBTransport->m_SetReceiveTransferSize(ulTransfer);
    }
    if (ulLatency != m_ulLatency) {
        m_ulLatency = ulLatency;
        if (!m_SetTransportLatency(ulLatency)) {
            PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_SetLatencyAndRxTransferSize - OUT (Error SetLatency.)");
            return FALSE;
        }
    }
    PM_TRACE(FTDI_TRACE, "Result: Latency: %d, RxTransferSize: %d", m_ulLatency, m_ulRxTransferSize);
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SaveDeviceState() {
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_SaveDeviceState - IN");
    if (!m_bOpen || m_bInProgress)
        return TRUE;
    if (!m_GetISerial() || !m_pUSBTransport)
        return FALSE;
    KeClearEvent(&m_kTransmitEndedEvent);
    m_SpinLock.m_Lock();
    m_bPowerHold = TRUE;
    m_bTransmitHeld = TRUE;
    m_SpinLock.m_Unlock();
    for (ULONG i = 0; i < 5 && m_bTransmitBusy; ++i)
        FtdiDelay(FTDI_SECONDS(5));
    if (m_bXonXoffInput)
        m_WriteDirect(m_ucXoff);
    m_Request(FTDI_MODEM_CTRL, m_bDuplexPort ? 0x0200 : 0x0300, m_Index());
    FtdiDelay(FTDI_SECONDS(10));
    m_pUSBTransport->m_Disconnect();
    LARGE_INTEGER liTimeout;
    liTimeout.QuadPart = FTDI_SECONDS(2);
    KeWaitForSingleObject(&m_kTransmitEndedEvent, Executive, KernelMode, FALSE, &liTimeout);
    if (!m_Request(FTDI_RESET, FTDI_RESET_BOTH, m_Index())) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_SaveDeviceState - OUT - Fail-> Error writing to USB Transport (FTDI_RESET).");
        return FALSE;
    }
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_SaveDeviceState - OUT (Success)");
    return TRUE;
}

// Runs at PASSIVE_LEVEL in the framework's power-up work item; the part that waits for the chip to
// settle runs later on the restore worker.
BOOLEAN CFTDI1Port::m_RestoreDeviceState() {
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_RestoreDeviceState - IN");
    if (!m_GetISerial())
        return FALSE;
    if (!m_bOpen || m_bInProgress)
        return TRUE;
    if (!m_pUSBTransport)
        return FALSE;
    USHORT unModem = 0x0300;
    if (m_bDuplexPort && m_ulDuplexMode != FTDI_DUPLEX_HALF)
        unModem = 0x0301;
    if (!m_Request(FTDI_MODEM_CTRL, unModem, m_Index()) || !m_pUSBTransport->m_Connect())
        return FALSE;
    if (m_ulLatency)
        m_SetTransportLatency(m_ulLatency);
    // A port whose rate, framing or characters were never set has nothing of them to restore.
    if ((m_ulBaudRate && !m_Request(FTDI_SET_BAUD_RATE, m_unBaudDivisor, m_BaudIndex(m_ucFractionHigh))) ||
        (m_unLineWord && !m_Request(FTDI_SET_DATA, m_unLineWord, m_Index())) ||
        !m_Request(FTDI_RESET, FTDI_RESET_BOTH, m_Index()) ||
        !m_Request(FTDI_SET_ERROR_CHAR, m_unErrorCharacter, m_Index()) ||
        !m_Request(FTDI_SET_EVENT_CHAR, m_unEventCharacter, m_Index())) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_RestoreDeviceState - OUT - Fail-> Error writing to USB Transport.");
        return FALSE;
    }
    KeClearEvent(&m_kRestoreCancelEvent);
    if (!m_pRestoreWorker->m_Post(sm_DelayedRestore, this, (PVOID)(ULONG_PTR)m_ulOpenGeneration))
        return FALSE;
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_RestoreDeviceState - OUT (Success)");
    return TRUE;
}

void CFTDI1Port::sm_DelayedRestore(PVOID pvPort, PVOID pvGeneration) {
    static_cast<CFTDI1Port*>(pvPort)->m_DelayedRestore((ULONG)(ULONG_PTR)pvGeneration);
}

// Ten seconds after power-up: flow control, the receive transfer, the modem lines, and the
// transmitter is let go. A port closed meanwhile is left alone.
void CFTDI1Port::m_DelayedRestore(ULONG ulGeneration) {
    LARGE_INTEGER liWait;
    liWait.QuadPart = FTDI_SECONDS(10);
    if (KeWaitForSingleObject(&m_kRestoreCancelEvent, Executive, KernelMode, FALSE, &liWait) != STATUS_TIMEOUT)
        return;
    if (!m_bOpen || m_bInProgress || ulGeneration != m_ulOpenGeneration)
        return;
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DelayedRestore - IN");
    // A port whose handshaking was never set keeps the chip's own (none), and needs no XON.
    if (m_unFlowControl != FTDI_FLOW_NOT_SET &&
        !m_Request(FTDI_SET_FLOW_CTRL, (USHORT)(m_ucXon | (m_ucXoff << 8)), m_unFlowControl)) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DelayedRestore - OUT - Fail-> Error writing to USB Transport (FTDI_SET_FLOW_CTRL).");
        return;
    }
    m_ReceivePauseLock.m_Lock();
    m_bReceivePaused = FALSE;
    m_ReceivePauseLock.m_Unlock();
    InterlockedExchange(&m_lPendingReadHandOvers, 0);
    m_pUSBTransport->m_StartReceive(m_ulRxTransferSize ? m_ulRxTransferSize : FTDI_PACKET_SIZE);
    if (m_unFlowControl != FTDI_FLOW_NOT_SET && (m_unFlowControl & FTDI_FLOW_XON_XOFF))
        m_WriteDirect(m_ucXon);
    m_Request(FTDI_MODEM_CTRL, m_unModemControl, m_Index());
    m_SpinLock.m_Lock();
    m_bPowerHold = FALSE;
    m_SpinLock.m_Unlock();
    m_CheckTransmitHold();
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DelayedRestore - OUT (Success)");
}
