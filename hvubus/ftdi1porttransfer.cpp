// The FTDI port object's data paths: the pending list and the transmit thread with early
// acknowledgement and output flow control; the bulk-in packets with their status bytes, software
// XON/XOFF, receive flow control towards the chip and the hand-over to the port driver on the port
// worker; immediate characters.
#include "ftdi1port.h"

#include <pmdebugmanager.h>

#include "ftdi1portinternal.h"

// Consecutive bulk writes that move nothing before the pending data is given up.
#define FTDI_WRITE_ATTEMPTS 5
// The pause before a failed bulk write is tried again (100 ns units).
#define FTDI_WRITE_RETRY_DELAY (-10 * 10000LL)
// RTS toggle: the shortest pause between two questions for the transmitter-empty bit (100 ns units),
// and how many character times a byte written may take before RTS goes down regardless.
#define FTDI_TEMT_POLL_MIN 10000ULL
#define FTDI_TEMT_CHARACTERS_PER_BYTE 20

// A buffer of the bus driver's pool holding a copy of the bytes.
static CPmBuffer* FtdiNewBuffer(const void* pvBytes, ULONG ulCount) {
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (!pBuffer)
        return NULL;
    pBuffer->m_pPool = g_pPmMemoryPool;
    if (!pBuffer->m_Assign(pvBytes, ulCount)) {
        pBuffer->m_Delete();
        return NULL;
    }
    return pBuffer;
}

// ---- Transmit ------------------------------------------------------------------------------------

// Under the port spin lock.
void CFTDI1Port::m_LinkPending(PendingEntry* pEntry, BOOLEAN bAtFront) {
    m_ulPendingBytes += pEntry->m_pBuffer->m_GetLength();
    if (bAtFront) {
        pEntry->m_pNext = m_pPendingHead;
        m_pPendingHead = pEntry;
        if (!m_pPendingTail)
            m_pPendingTail = pEntry;
    } else {
        pEntry->m_pNext = NULL;
        if (m_pPendingTail)
            m_pPendingTail->m_pNext = pEntry;
        else
            m_pPendingHead = pEntry;
        m_pPendingTail = pEntry;
    }
}

// Under the port spin lock.
CFTDI1Port::PendingEntry* CFTDI1Port::m_UnlinkPending() {
    PendingEntry* pEntry = m_pPendingHead;
    if (!pEntry)
        return NULL;
    m_pPendingHead = pEntry->m_pNext;
    if (!m_pPendingHead)
        m_pPendingTail = NULL;
    pEntry->m_pNext = NULL;
    ULONG ulLength = pEntry->m_pBuffer->m_GetLength();
    m_ulPendingBytes = m_ulPendingBytes > ulLength ? m_ulPendingBytes - ulLength : 0;
    return pEntry;
}

BOOLEAN CFTDI1Port::m_PortWriteCallback(CPmBuffer* pBuffer) {
    if (!pBuffer)
        return FALSE;
    if (!m_pUSBTransport) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_PortWriteCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        pBuffer->m_Delete();
        return FALSE;
    }
    BOOLEAN bDone = m_SendData(pBuffer, HV_SEND_ENDPOINT_KEY, FALSE);
    // Held for power: the delayed restore lets it go.
    if (!m_bPowerHold)
        m_CheckTransmitHold();
    return bDone;
}

BOOLEAN CFTDI1Port::m_SendData(CPmBuffer* pBuffer, UCHAR ucEndPointKey, BOOLEAN bAtFront) {
    PendingEntry* pEntry = static_cast<PendingEntry*>(PmAllocateZeroedMemory(sizeof(PendingEntry), NonPagedPool));
    if (!pEntry) {
        pBuffer->m_Delete();
        return FALSE;
    }
    pEntry->m_pBuffer = pBuffer;
    pEntry->m_ucEndPointKey = ucEndPointKey;
    ULONG ulAcknowledge = 0;
    m_SpinLock.m_Lock();
    m_LinkPending(pEntry, bAtFront);
    // About a millisecond of characters is reported written at once, so that the port driver's
    // next chunk is ready when the chip wants it.
    if (m_bEarlyAcknowledge && !bAtFront && m_ulEarlyAcknowledged < m_ulEarlyAcknowledgeLimit && !m_bTransmitHeld) {
        ulAcknowledge = m_ulEarlyAcknowledgeLimit < pBuffer->m_GetLength() ? m_ulEarlyAcknowledgeLimit : pBuffer->m_GetLength();
        m_ulEarlyAcknowledged += ulAcknowledge;
    }
    m_SpinLock.m_Unlock();
    if (ulAcknowledge)
        m_NotifyDataWritten(ulAcknowledge, FALSE);
    return TRUE;
}

BOOLEAN CFTDI1Port::m_NotifyDataWritten(ULONG ulCount, BOOLEAN bFromThread) {
    if (!m_GetISerial())
        return FALSE;
    m_SpinLock.m_Lock();
    if (m_bEarlyAcknowledge && bFromThread) {
        if (m_ulEarlyAcknowledged < ulCount) {
            ulCount -= m_ulEarlyAcknowledged;
            m_ulEarlyAcknowledged = 0;
        } else {
            m_ulEarlyAcknowledged -= ulCount;
            ulCount = 0;
        }
    }
    m_ulBytesTransmitted += ulCount;
    m_SpinLock.m_Unlock();
    if (ulCount == 0)
        return TRUE;
    if (bFromThread) {
        m_CallBack(&HvISerialCallbacks::m_DataWrittenCallback, NULL, ulCount);
        return TRUE;
    }
    return m_Queue(FTDI_EVENT_DATA_WRITTEN, ulCount, NULL);
}

void CFTDI1Port::m_SetTransmitHold(BOOLEAN bAllow) {
    m_SpinLock.m_Lock();
    if (bAllow && !m_bPowerHold && !m_bClosing) {
        m_bTransmitHeld = FALSE;
        KeSetEvent(&m_kTransmitEvent, IO_NO_INCREMENT, FALSE);
    } else {
        m_bTransmitHeld = TRUE;
    }
    m_SpinLock.m_Unlock();
}

BOOLEAN CFTDI1Port::m_TransmitAllowed() const {
    const UCHAR ucModem = m_ucLastModemStatus;
    BOOLEAN bAllow;
    if (m_bCtsOutput)
        bAllow = (ucModem & FTDI_MS_CTS) && (!m_bDsrOutput || (ucModem & FTDI_MS_DSR));
    else if (m_bDsrOutput)
        bAllow = (ucModem & FTDI_MS_DSR) != 0;
    else
        bAllow = !(m_bXonXoffInput && !m_bXoffContinue && m_bXoffSent);
    return bAllow && !m_bXoffReceived;
}

void CFTDI1Port::m_CheckTransmitHold() { m_SetTransmitHold(m_TransmitAllowed()); }

void CFTDI1Port::sm_SendDataToDevice(PVOID pvContext) { static_cast<CFTDI1Port*>(pvContext)->m_SendDataToDevice(); }

// The transmit thread: everything pending goes out as one bulk write, one at a time.
void CFTDI1Port::m_SendDataToDevice() {
    m_SpinLock.m_Lock();
    if (m_bTransmitHeld || !m_pPendingHead) {
        m_SpinLock.m_Unlock();
        return;
    }
    PendingEntry* pEntry = m_UnlinkPending();
    m_bTransmitBusy = TRUE;
    while (m_pPendingHead) {
        PendingEntry* pNext = m_UnlinkPending();
        CPmBuffer* pNextBuffer = pNext->m_pBuffer;
        if (pNextBuffer->m_GetLength() && !pEntry->m_pBuffer->m_Append(pNextBuffer->m_GetData(), pNextBuffer->m_GetLength())) {
            m_LinkPending(pNext, TRUE);
            break;
        }
        pNextBuffer->m_Delete();
        PmFreeMemory(pNext);
    }
    const BOOLEAN bRtsToggle = m_bRtsToggle;
    m_SpinLock.m_Unlock();

    CPmBuffer* pBuffer = pEntry->m_pBuffer;
    if (bRtsToggle)
        m_RtsCallback(TRUE);
    PM_TRACE(FTDI_TRACE, "SendDataToDevice (before)- WriteLen:0x%X", pBuffer->m_GetLength());
    ULONG ulWritten = 0;
    BOOLEAN bDone = m_pUSBTransport->m_BulkWrite(pBuffer, &ulWritten, pEntry->m_ucEndPointKey);
    PM_TRACE(FTDI_TRACE, "SendDataToDevice (after)- WriteLen:0x%X Written:0x%X Success:0x%X", pBuffer->m_GetLength(),
             ulWritten, bDone);
    if (bRtsToggle) {
        // The transfer ends when the chip has the bytes, not when they left the line: a converter
        // keyed by RTS would cut off the tail.
        m_WaitTransmitterEmpty(ulWritten);
        m_RtsCallback(FALSE);
    }
    BOOLEAN bRetryLater = FALSE;
    if (bDone) {
        m_ulFailedWrites = 0;
        if (ulWritten)
            m_NotifyDataWritten(ulWritten, TRUE);
        pBuffer->m_Delete();
        PmFreeMemory(pEntry);
    } else {
        if (ulWritten > 0 && ulWritten < pBuffer->m_GetLength()) {
            // Front removal: the bytes that went out leave the buffer.
            pBuffer->m_Assign(pBuffer->m_GetData() + ulWritten, pBuffer->m_GetLength() - ulWritten);
            m_NotifyDataWritten(ulWritten, TRUE);
            m_ulFailedWrites = 0;
        } else {
            ++m_ulFailedWrites;
        }
        if (pBuffer->m_GetLength()) {
            m_SpinLock.m_Lock();
            m_LinkPending(pEntry, TRUE);
            m_SpinLock.m_Unlock();
        } else {
            pBuffer->m_Delete();
            PmFreeMemory(pEntry);
        }
        KeSetEvent(&m_kTransmitEndedEvent, IO_NO_INCREMENT, FALSE);
        // A pipe that keeps failing is not hammered: a short pause between tries, and after a few
        // tries the data is given up and reported written, so that no write waits for ever.
        if (m_ulFailedWrites >= FTDI_WRITE_ATTEMPTS) {
            PM_TRACE(FTDI_TRACE, "SendDataToDevice - bulk writes keep failing: pending data dropped");
            m_ulFailedWrites = 0;
            m_FlushPendingList();
        } else if (m_ulFailedWrites) {
            bRetryLater = TRUE;
        }
    }
    m_SpinLock.m_Lock();
    m_bTransmitBusy = FALSE;
    m_SpinLock.m_Unlock();
    if (bRetryLater) {
        LARGE_INTEGER liDelay;
        liDelay.QuadPart = FTDI_WRITE_RETRY_DELAY;
        KeDelayExecutionThread(KernelMode, FALSE, &liDelay);
    }
    m_CheckTransmitHold();
}

void CFTDI1Port::m_WaitTransmitterEmpty(ULONG ulWritten) {
    const ULONGLONG ullCharacter = FtdiCharacterTime(m_ulBaudRate, m_ulDataBits, m_ulParity, m_ulStopBits);
    // The chip is asked once a character, but not more often than once a millisecond.
    LARGE_INTEGER liPoll;
    liPoll.QuadPart = -(LONGLONG)(ullCharacter > FTDI_TEMT_POLL_MIN ? ullCharacter : FTDI_TEMT_POLL_MIN);
    const ULONGLONG ullEnd = KeQueryInterruptTime() + FTDI_TEMT_CHARACTERS_PER_BYTE * ((ULONGLONG)ulWritten + 1) * ullCharacter;
    for (;;) {
        UCHAR ucModem = 0, ucLine = 0;
        if (m_bClosing || !m_ReadStatusBytes(&ucModem, &ucLine) || (ucLine & FTDI_LS_TEMT))
            return;
        if (KeQueryInterruptTime() >= ullEnd) {
            PM_TRACE(FTDI_TRACE, "SendDataToDevice - the transmitter did not empty: RTS goes down");
            return;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &liPoll);
    }
}

// Purge and close: every pending buffer is dropped and reported written.
void CFTDI1Port::m_FlushPendingList() {
    for (;;) {
        m_SpinLock.m_Lock();
        PendingEntry* pEntry = m_UnlinkPending();
        m_SpinLock.m_Unlock();
        if (!pEntry)
            return;
        m_NotifyDataWritten(pEntry->m_pBuffer->m_GetLength(), TRUE);
        pEntry->m_pBuffer->m_Delete();
        PmFreeMemory(pEntry);
    }
}

// One character straight to the bulk pipe, past the pending list.
BOOLEAN CFTDI1Port::m_WriteDirect(UCHAR ucCharacter) {
    CPmBuffer* pBuffer = FtdiNewBuffer(&ucCharacter, 1);
    if (!pBuffer || !m_pUSBTransport) {
        if (pBuffer)
            pBuffer->m_Delete();
        return FALSE;
    }
    ULONG ulWritten = 0;
    BOOLEAN bDone = m_pUSBTransport->m_BulkWrite(pBuffer, &ulWritten, HV_SEND_ENDPOINT_KEY) && ulWritten == 1;
    pBuffer->m_Delete();
    return bDone;
}

BOOLEAN CFTDI1Port::m_SendImmediateCharacterCallback(UCHAR ucCharacter) {
    m_SpinLock.m_Lock();
    const BOOLEAN bHeld = m_bTransmitHeld;
    const BOOLEAN bXonXoffInput = m_bXonXoffInput;
    const BOOLEAN bXoffContinue = m_bXoffContinue;
    m_SpinLock.m_Unlock();
    const BOOLEAN bIsXon = ucCharacter == m_ucXon;
    const BOOLEAN bIsXoff = ucCharacter == m_ucXoff;
    const BOOLEAN bFlowCharacter = bXonXoffInput && (bIsXon || bIsXoff);
    const BOOLEAN bReported = !bIsXon && !bIsXoff && ucCharacter != m_unEventCharacter && ucCharacter != m_unErrorCharacter;

    if (!bHeld && !bFlowCharacter) {
        CPmBuffer* pBuffer = FtdiNewBuffer(&ucCharacter, 1);
        if (!pBuffer)
            return FALSE;
        BOOLEAN bDone = m_SendData(pBuffer, HV_SEND_ENDPOINT_KEY, TRUE);
        // The thread must be woken for it, or it waits for the next write.
        m_CheckTransmitHold();
        if (bReported)
            m_CallBack(&HvISerialCallbacks::m_ImmediateCharacterSentCallback, NULL);
        return bDone;
    }

    BOOLEAN bResult = TRUE;
    if (bIsXoff && bXonXoffInput) {
        m_SpinLock.m_Lock();
        if (!bXoffContinue)
            m_bTransmitHeld = TRUE;
        m_bXoffSent = TRUE;
        m_SpinLock.m_Unlock();
    }
    if (m_bReceivePaused && bXonXoffInput) {
        // The chip keeps the far end stopped while the receive is paused.
        if (bIsXon)
            m_ResumeReceive();
    } else {
        bResult = m_WriteDirect(ucCharacter);
    }
    if (!bFlowCharacter && bReported)
        m_CallBack(&HvISerialCallbacks::m_ImmediateCharacterSentCallback, NULL);
    if (bIsXon && bXonXoffInput) {
        m_SpinLock.m_Lock();
        m_bXoffSent = FALSE;
        m_SpinLock.m_Unlock();
        m_CheckTransmitHold();
    }
    if (bIsXoff && bXonXoffInput)
        m_CallBack(&HvISerialCallbacks::m_XoffSentCallback, NULL, m_bXoffSent);
    m_NotifyDataWritten(1, TRUE);
    return bResult;
}

BOOLEAN CFTDI1Port::m_SendXonXoffCallback(BOOLEAN bXoff) {
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        m_Queue(FTDI_EVENT_XON_XOFF, bXoff ? 1 : 0, NULL);
        return TRUE;
    }
    return m_SendImmediateCharacterCallback(bXoff ? m_ucXoff : m_ucXon);
}

// ---- Receive -------------------------------------------------------------------------------------

BOOLEAN CFTDI1Port::sm_DataArrivedCallback(PVOID pvContext, CPmBuffer* pBuffer) {
    return static_cast<CFTDI1Port*>(pvContext)->m_DataArrivedCallback(pBuffer);
}

BOOLEAN CFTDI1Port::m_AskReceiveSpace(ULONG ulIncoming, PULONG pulFree) {
    *pulFree = 0;
    return m_CallBack(&HvISerialCallbacks::m_AvailableReceiveBufferSizeCallback, NULL, ulIncoming,
                      m_ulRxFifoSize + FTDI_PACKET_DATA, pulFree);
}

// One packet's two status bytes: the output handshake, then modem and line status changes to the
// port worker. FALSE for a packet that is not valid (the walk ends there).
BOOLEAN CFTDI1Port::m_TakePacketStatus(UCHAR ucModem, UCHAR ucLine, BOOLEAN bFirst, ULONG ulPacket) {
    if ((ucModem & FTDI_MS_VALID_MASK) != FTDI_MS_VALID)
        return FALSE;
    ucModem &= (UCHAR)~FTDI_MS_VALID_MASK;
    if (m_bCtsOutput || m_bDsrOutput) {
        BOOLEAN bAllow = m_bCtsOutput ? (ucModem & FTDI_MS_CTS) && (!m_bDsrOutput || (ucModem & FTDI_MS_DSR))
                                      : (ucModem & FTDI_MS_DSR) != 0;
        m_SetTransmitHold(bAllow && !m_bXoffReceived);
    }
    if (m_HalfDuplex())
        ucModem |= FTDI_MS_CTS;
    const UCHAR ucLast = m_ucLastModemStatus;
    // Only the signals count: the marker and the trailing-edge bit are the port's own.
    if ((ucModem & FTDI_MS_SIGNALS) != (ucLast & FTDI_MS_SIGNALS) || ucLast == 0xFF) {
        if (ucLast != 0xFF && (ucLast & FTDI_MS_RI) && !(ucModem & FTDI_MS_RI))
            ucModem |= FTDI_MS_RI_TRAILING_EDGE;
        PM_TRACE(FTDI_TRACE, "ModemStatus=>bCtsBit: 0x%X bDsrBit: 0x%X bRiBit: 0x%X bDcdBit: 0x%X",
                 ucModem & FTDI_MS_CTS, ucModem & FTDI_MS_DSR, ucModem & FTDI_MS_RI, ucModem & FTDI_MS_DCD);
        m_ucLastModemStatus = ucModem;
        m_Queue(FTDI_EVENT_MODEM_STATUS, ucModem, NULL);
    }
    // Errors stay reported for the first packet of each transfer with data.
    if (ucLine != m_ucLastLineStatus || ((ucLine & FTDI_LS_ERRORS) && bFirst && ulPacket > 2)) {
        m_ucLastLineStatus = ucLine;
        UCHAR ucReported = ucLine;
        if (ucLine & (FTDI_LS_PARITY | FTDI_LS_FRAMING | FTDI_LS_BREAK))
            ucReported |= FTDI_LS_DATA_READY | FTDI_LS_FIFO_ERROR;
        if (ucLine & FTDI_LS_BREAK)
            ucReported |= FTDI_LS_FRAMING;
        PM_TRACE(FTDI_TRACE, "LineStatus=>OverrunErr: 0x%X ParityErr: 0x%X FrameErr: 0x%X Break: 0x%X",
                 ucReported & FTDI_LS_OVERRUN, ucReported & FTDI_LS_PARITY, ucReported & FTDI_LS_FRAMING,
                 ucReported & FTDI_LS_BREAK);
        m_Queue(FTDI_EVENT_LINE_STATUS, ucReported, NULL);
    }
    return TRUE;
}

// Walks the packets of a transfer, each a step: its status taken, its data moved down behind the
// data gathered so far. The data length in *pulGathered.
CFTDI1Port::ReceivedKind CFTDI1Port::m_GatherPackets(PUCHAR pucData, ULONG ulLength, PULONG pulGathered) {
    *pulGathered = 0;
    ReceivedKind eKind = ReceivedInvalid;
    for (ULONG ulOffset = 0; ulOffset + 2 <= ulLength; ulOffset += FTDI_PACKET_SIZE) {
        const ULONG ulPacket = ulLength - ulOffset < FTDI_PACKET_SIZE ? ulLength - ulOffset : FTDI_PACKET_SIZE;
        const BOOLEAN bFirst = ulOffset == 0;
        if (!m_TakePacketStatus(pucData[ulOffset], pucData[ulOffset + 1], bFirst, ulPacket))
            break;
        eKind = ReceivedData;
        if (ulPacket == 2)
            return bFirst ? ReceivedStatusOnly : eKind;
        RtlMoveMemory(pucData + *pulGathered, pucData + ulOffset + 2, ulPacket - 2);
        *pulGathered += ulPacket - 2;
    }
    return eKind;
}

// XON/XOFF output flow control: a received XOFF holds the transmitter, an XON releases it; both stay
// in the data.
void CFTDI1Port::m_TakeFlowCharacters(const UCHAR* pucData, ULONG ulLength) {
    for (ULONG i = 0; i < ulLength; ++i) {
        if (pucData[i] == m_ucXoff) {
            m_SpinLock.m_Lock();
            m_bXoffReceived = TRUE;
            m_bTransmitHeld = TRUE;
            m_SpinLock.m_Unlock();
        } else if (pucData[i] == m_ucXon) {
            m_SpinLock.m_Lock();
            m_bXoffReceived = FALSE;
            m_SpinLock.m_Unlock();
            m_CheckTransmitHold();
        }
    }
}

// The gathered data to the port worker, with the next transfer sized to the port driver's free
// space. FALSE when the buffer was not taken (the size came out 0); *pbResult the answer.
BOOLEAN CFTDI1Port::m_HandOverReceived(CPmBuffer* pBuffer, PBOOLEAN pbResult) {
    const ULONG ulGathered = pBuffer->m_GetLength();
    ULONG ulFree = 0;
    BOOLEAN bLow = FALSE;
    if (m_AskReceiveSpace(ulGathered, &ulFree)) {
        ULONG ulSize = FtdiNextRxTransferSize(ulFree, ulGathered, m_ulRxFifoSize, m_ulRxTransferSize, &bLow);
        if (ulSize == 0) {
            *pbResult = FALSE;
            return FALSE;
        }
        m_pUSBTransport->m_SetReceiveTransferSize(ulSize);
    }
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DataArrivedCallback - OUT - RxDataLen:0x%X", ulGathered);
    LONG lPending = InterlockedIncrement(&m_lPendingReadHandOvers);
    if (lPending > 1 || bLow)
        m_PauseReceive();
    m_bReadHandOverPending = TRUE;
    // The worker queue takes the buffer, or frees it when it cannot.
    *pbResult = m_Queue(FTDI_EVENT_READ, 0, pBuffer);
    if (!*pbResult)
        InterlockedDecrement(&m_lPendingReadHandOvers);
    return TRUE;
}

// The receive completion (up to DISPATCH_LEVEL): the packets' status bytes are taken apart, the data
// bytes gathered at the front of the same buffer and handed to the port worker.
BOOLEAN CFTDI1Port::m_DataArrivedCallback(CPmBuffer* pBuffer) {
    const ULONG ulLength = pBuffer->m_GetLength();
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DataArrivedCallback - IN - Len:0x%X", ulLength);
    BOOLEAN bResult = FALSE;
    BOOLEAN bTaken = FALSE;
    if (ulLength <= 1) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DataArrivedCallback - OUT - Fail-> Invalid data.FTDI transport need at least 2 bye of data.");
    } else if (m_bOpen || m_bInProgress) {
        m_ulLastReceiveTime = FtdiMilliseconds();
        m_ulBytesReceived += ulLength;
        ULONG ulGathered = 0;
        const ReceivedKind eKind = m_GatherPackets(pBuffer->m_GetData(), ulLength, &ulGathered);
        if (eKind == ReceivedStatusOnly || (m_bDsrSensitivity && !(m_ucLastModemStatus & FTDI_MS_DSR))) {
            bResult = TRUE;
        } else if (eKind == ReceivedData && ulGathered) {
            pBuffer->m_ulLength = ulGathered;
            if (m_bXonXoffOutput)
                m_TakeFlowCharacters(pBuffer->m_GetData(), ulGathered);
            bTaken = m_HandOverReceived(pBuffer, &bResult);
        } else {
            bResult = eKind == ReceivedData;
        }
    }
    // One exit: the buffer went on to the port worker, or it goes here.
    if (!bTaken)
        pBuffer->m_Delete();
    return bResult;
}

// The receive transfer completes once more and is then not re-armed until resumed.
void CFTDI1Port::m_PauseReceive() {
    m_ReceivePauseLock.m_Lock();
    const BOOLEAN bWasPaused = m_bReceivePaused;
    m_bReceivePaused = TRUE;
    m_ReceivePauseLock.m_Unlock();
    if (!bWasPaused)
        m_pUSBTransport->m_DisableReceive();
}

void CFTDI1Port::m_ResumeReceive() {
    if (!m_bOpen || !m_pUSBTransport)
        return;
    ULONG ulFree = 0;
    if (!m_AskReceiveSpace(0, &ulFree))
        return;
    BOOLEAN bLow = FALSE;
    ULONG ulSize = FtdiNextRxTransferSize(ulFree, 0, m_ulRxFifoSize, m_ulRxTransferSize, &bLow);
    m_pUSBTransport->m_SetReceiveTransferSize(ulSize);
    // Under XON/XOFF input the chip holds the far end; the XON resumes.
    if (m_bXonXoffInput && bLow)
        return;
    m_ReceivePauseLock.m_Lock();
    const BOOLEAN bWasPaused = m_bReceivePaused;
    m_bReceivePaused = FALSE;
    m_ReceivePauseLock.m_Unlock();
    if (!bWasPaused)
        return;
    if (!m_pUSBTransport->m_EnableReceive()) {
        m_pUSBTransport->m_StopReceive();
        m_pUSBTransport->m_StartReceive(ulSize);
    }
}

// ---- The port worker -----------------------------------------------------------------------------

BOOLEAN CFTDI1Port::m_Queue(ULONG ulKind, ULONG ulValue, CPmBuffer* pBuffer) {
    WorkerEvent* pEvent = static_cast<WorkerEvent*>(PmAllocateZeroedMemory(sizeof(WorkerEvent), NonPagedPool));
    if (pEvent) {
        pEvent->m_ulKind = ulKind;
        pEvent->m_ulValue = ulValue;
        pEvent->m_pBuffer = pBuffer;
        if (m_pPortWorker && m_pPortWorker->m_Post(sm_WorkerEvent, this, pEvent))
            return TRUE;
        PmFreeMemory(pEvent);
    }
    if (pBuffer)
        pBuffer->m_Delete();
    return FALSE;
}

// Returns once everything posted to the worker before has run.
void CFTDI1Port::m_FlushWorker(CPmDeviceWorker* pWorker) {
    if (!pWorker)
        return;
    KEVENT kDone;
    KeInitializeEvent(&kDone, NotificationEvent, FALSE);
    WorkerEvent* pEvent = static_cast<WorkerEvent*>(PmAllocateZeroedMemory(sizeof(WorkerEvent), NonPagedPool));
    if (!pEvent)
        return;
    pEvent->m_ulKind = FTDI_EVENT_FENCE;
    pEvent->m_pkDone = &kDone;
    if (!pWorker->m_Post(sm_WorkerEvent, this, pEvent)) {
        PmFreeMemory(pEvent);
        return;
    }
    KeWaitForSingleObject(&kDone, Executive, KernelMode, FALSE, NULL);
}

void CFTDI1Port::sm_WorkerEvent(PVOID pvPort, PVOID pvEvent) {
    static_cast<CFTDI1Port*>(pvPort)->m_RunWorkerEvent(static_cast<WorkerEvent*>(pvEvent));
}

void CFTDI1Port::m_RunWorkerEvent(WorkerEvent* pEvent) {
    switch (pEvent->m_ulKind) {
    case FTDI_EVENT_MODEM_STATUS:
        m_NotifyModemStatus((UCHAR)pEvent->m_ulValue);
        break;
    case FTDI_EVENT_LINE_STATUS:
        m_NotifyLineStatus((UCHAR)pEvent->m_ulValue);
        break;
    case FTDI_EVENT_READ: {
        m_ulHandOverStartTime = FtdiMilliseconds();
        FtdiMutexHolder hold(&m_CallbackMutex);
        BOOLEAN bCalled = FALSE;
        m_CallBack(&HvISerialCallbacks::m_Read, &bCalled, pEvent->m_pBuffer);
        if (!bCalled)
            pEvent->m_pBuffer->m_Delete();
        if (InterlockedDecrement(&m_lPendingReadHandOvers) == 0) {
            if (m_bReceivePaused)
                m_ResumeReceive();
            m_bReadHandOverPending = FALSE;
        }
        m_ulHandOverEndTime = FtdiMilliseconds();
        break;
    }
    case FTDI_EVENT_DATA_WRITTEN: {
        FtdiMutexHolder hold(&m_DataWrittenMutex);
        m_CallBack(&HvISerialCallbacks::m_DataWrittenCallback, NULL, pEvent->m_ulValue);
        break;
    }
    case FTDI_EVENT_XON_XOFF:
        m_SendImmediateCharacterCallback(pEvent->m_ulValue ? m_ucXoff : m_ucXon);
        break;
    case FTDI_EVENT_FENCE:
        KeSetEvent(pEvent->m_pkDone, IO_NO_INCREMENT, FALSE);
        break;
    }
    PmFreeMemory(pEvent);
}
