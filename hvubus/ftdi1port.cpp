// The FTDI port object: construction, open and close, the control operations and their vendor
// requests. The data paths are in ftdi1porttransfer.cpp, latency and power in ftdi1portpower.cpp.
#include "ftdi1port.h"

#include <pmdebugmanager.h>

#include "ftdi1portinternal.h"

CFTDI1Port::CFTDI1Port(CPmFunctionalDevice* pBusDevice, ULONG ulPortNumber)
    : m_pBusDevice(pBusDevice), m_ulPortNumber(ulPortNumber), m_pUSBTransport(NULL), m_bOpen(FALSE),
      m_bInProgress(FALSE), m_ulOpenGeneration(0), m_unPortIndex(1), m_bMultiInterface(FALSE), m_bDuplexPort(FALSE),
      m_pPortWorker(NULL), m_pRestoreWorker(NULL), m_pPendingHead(NULL), m_pPendingTail(NULL),
      m_ulPendingBytes(0), m_bTransmitHeld(FALSE), m_bTransmitBusy(FALSE), m_bPowerHold(FALSE), m_bClosing(FALSE),
      m_ulFailedWrites(0),
      m_ulBytesTransmitted(0), m_ulBytesReceived(0), m_lPendingReadHandOvers(0), m_bReceivePaused(FALSE),
      m_bReadHandOverPending(FALSE), m_bReceiveLow(FALSE),
      // No rate is programmed yet: the first baud request always reaches the chip.
      m_ulBaudRate(0), m_unBaudDivisor(0), m_ucFractionHigh(0), m_unLineWord(0), m_ulDataBits(3), m_ulParity(0),
      m_ulStopBits(0), m_bBreak(FALSE), m_unModemControl(0x0300), m_unFlowControl(FTDI_FLOW_NOT_SET), m_ucXon(0x11),
      m_ucXoff(0x13), m_unErrorCharacter(0), m_unEventCharacter(0), m_bCtsOutput(FALSE), m_bRtsInput(FALSE),
      m_bDsrOutput(FALSE), m_bDtrInput(FALSE), m_bDsrSensitivity(FALSE), m_bRtsToggle(FALSE), m_bXonXoffOutput(FALSE),
      m_bXonXoffInput(FALSE), m_bXoffContinue(FALSE), m_bXoffSent(FALSE), m_bXoffReceived(FALSE),
      m_ucLastModemStatus(0xFF), m_ucLastLineStatus(0xFF), m_ulLatency(0), m_ulRxTransferSize(0),
      m_ulTxTransferSize(FTDI_TX_TRANSFER_SIZE), m_ucTransmitTrigger(1), m_ucReceiveTrigger(1),
      // A port created before any bus settings arrived follows the bus driver's defaults.
      m_Latency{FTDI_POLICY_SPECIFIC_LATENCY_TIME, FTDI_DEFAULT_MAXIMUM_LATENCY, FTDI_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING,
                FTDI_DEFAULT_LOW_CPU_USAGE_FINE_TUNING},
      m_ulRxFifoSize(256), m_ulTxFifoSize(128), m_ulDuplexMode(0), m_bEarlyAcknowledge(TRUE),
      m_ulEarlyAcknowledgeLimit(16), m_ulEarlyAcknowledged(0), m_ulLastReceiveTime(0), m_ulHandOverStartTime(0),
      m_ulHandOverEndTime(0) {
    PM_TRACE(FTDI_TRACE, "CFTDI1Port Constructor - IN");
    KeInitializeEvent(&m_kTransmitEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&m_kTransmitEndedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_kRestoreCancelEvent, NotificationEvent, FALSE);
    m_apvTransmitWaitObjects[0] = &m_kTransmitEvent;
    KeInitializeMutex(&m_CallbackMutex, 0);
    KeInitializeMutex(&m_DataWrittenMutex, 0);
    KeInitializeMutex(&m_SettingsMutex, 0);
    m_ReadPortIndex();
    PM_TRACE(FTDI_TRACE, "CFTDI1Port Constructor - OUT");
}

CFTDI1Port::~CFTDI1Port() {
    PM_TRACE(FTDI_TRACE, "CFTDI1Port Destructor - IN");
    if (m_bOpen)
        m_DisconnectCallback();
    m_FlushPendingList();
    // A delayed restore still waiting gives up; then nothing is left to call the port driver.
    KeSetEvent(&m_kRestoreCancelEvent, IO_NO_INCREMENT, FALSE);
    if (m_pRestoreWorker) {
        m_FlushWorker(m_pRestoreWorker);
        m_pRestoreWorker->m_Stop();
        PmDeleteObject(m_pRestoreWorker);
    }
    m_TransmitThread.m_Stop();
    if (m_pUSBTransport) {
        // Stops the receive transfer: no more data reaches the port.
        m_pUSBTransport->m_DeInit();
        delete m_pUSBTransport;
        m_pUSBTransport = NULL;
    }
    if (m_pPortWorker) {
        m_FlushWorker(m_pPortWorker);
        m_pPortWorker->m_Stop();
        PmDeleteObject(m_pPortWorker);
    }
    m_FlushPendingList();
    PM_TRACE(FTDI_TRACE, "CFTDI1Port Destructor - OUT");
    // The record goes with the provider part.
}

// The port index is the wIndex low byte of every request: the interface number + 1 from "&MI_xx"
// of the USB device's hardware ID, else 1.
void CFTDI1Port::m_ReadPortIndex() {
    if (!m_pBusDevice || !m_pBusDevice->m_pPhysicalDeviceObject)
        return;
    PDEVICE_OBJECT pPhysicalDeviceObject = m_pBusDevice->m_pPhysicalDeviceObject;
    ULONG ulSize = 255;
    PWCHAR pszId = static_cast<PWCHAR>(PmAllocateZeroedMemory(ulSize, PagedPool));
    if (!pszId)
        return;
    ULONG ulResult = 0;
    NTSTATUS ntStatus = IoGetDeviceProperty(pPhysicalDeviceObject, DevicePropertyHardwareID, ulSize, pszId, &ulResult);
    if (ntStatus == STATUS_BUFFER_TOO_SMALL && ulResult > ulSize) {
        PmFreeMemory(pszId);
        ulSize = ulResult;
        pszId = static_cast<PWCHAR>(PmAllocateZeroedMemory(ulSize, PagedPool));
        if (!pszId)
            return;
        ntStatus = IoGetDeviceProperty(pPhysicalDeviceObject, DevicePropertyHardwareID, ulSize, pszId, &ulResult);
    }
    if (NT_SUCCESS(ntStatus)) {
        const ULONG ulCharacters = (ulResult < ulSize ? ulResult : ulSize) / sizeof(WCHAR);
        ULONG ulLength = 0;
        while (ulLength < ulCharacters && pszId[ulLength])
            ++ulLength;
        static const WCHAR s_szInterface[] = u"&MI_";
        for (ULONG ulStart = 0; ulStart + 4 <= ulLength; ++ulStart) {
            ULONG ulMatch = 0;
            while (ulMatch < 4) {
                WCHAR wc = pszId[ulStart + ulMatch];
                if (wc >= u'a' && wc <= u'z')
                    wc = (WCHAR)(wc - u'a' + u'A');
                if (wc != s_szInterface[ulMatch])
                    break;
                ++ulMatch;
            }
            if (ulMatch != 4)
                continue;
            m_bMultiInterface = TRUE;
            // The whole rest must be a hexadecimal number.
            ULONG ulNumber = 0;
            BOOLEAN bValid = ulStart + 4 < ulLength;
            for (ULONG i = ulStart + 4; i < ulLength && bValid; ++i) {
                WCHAR wc = pszId[i];
                ULONG ulDigit = wc >= u'0' && wc <= u'9'   ? (ULONG)(wc - u'0')
                                : wc >= u'a' && wc <= u'f' ? (ULONG)(wc - u'a' + 10)
                                : wc >= u'A' && wc <= u'F' ? (ULONG)(wc - u'A' + 10)
                                                           : 16;
                if (ulDigit == 16 || ulNumber > 0xFF)
                    bValid = FALSE;
                else
                    ulNumber = ulNumber * 16 + ulDigit;
            }
            m_unPortIndex = bValid && ulNumber < 0xFF ? (USHORT)(ulNumber + 1) : 1;
            break;
        }
    }
    PmFreeMemory(pszId);
}

BOOLEAN CFTDI1Port::m_Init() {
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_Init - IN");
    m_pBusDevice->m_GotoPowerState(PowerDeviceD0);
    m_pPortWorker = new (NonPagedPool) CPmDeviceWorker(m_pBusDevice->m_pDeviceObject, PM_DEVICE_WORKER_OWN_THREAD);
    m_pRestoreWorker = new (NonPagedPool) CPmDeviceWorker(m_pBusDevice->m_pDeviceObject, PM_DEVICE_WORKER_OWN_THREAD);
    if (!m_pPortWorker || !m_pRestoreWorker) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_Init - OUT - Fail-> Error creating the port workers.");
        return FALSE;
    }
    m_pUSBTransport = new (NonPagedPool) CUSBTransport(m_pBusDevice, m_unPortIndex);
    if (!m_pUSBTransport) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_Init - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    if (!m_pUSBTransport->m_Init()) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_Init - OUT - Fail-> Error calling m_pTransport->m_Init().");
        delete m_pUSBTransport;
        m_pUSBTransport = NULL;
        return FALSE;
    }
    m_pUSBTransport->m_SetReceiveCallback(sm_DataArrivedCallback, this);
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_Init - OUT (Success)");
    return TRUE;
}

void CFTDI1Port::m_DeInit() {
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DeInit - IN-OUT");
    m_DisconnectCallback();
}

ISerial* CFTDI1Port::m_CreateInterface_ISerial(ULONG ulVersion, BOOLEAN bDuplex) {
    static const BOOLEAN s_abSignals[HVISERIAL_SIGNALS] = {1, 1, 1, 1, 1, 1};
    m_bDuplexPort = bDuplex ? TRUE : FALSE;
    return m_BuildISerial(ulVersion, m_bDuplexPort, HVISERIAL_ASK_EACH_BAUD_RATE, 0, 0, 0, s_abSignals);
}

BOOLEAN CFTDI1Port::m_Request(UCHAR ucRequest, USHORT unValue, USHORT unIndex) {
    return m_pUSBTransport && m_pUSBTransport->m_WriteSettings(ucRequest, unValue, unIndex);
}

// On a single-interface chip wIndex carries the third fraction bit alone; with several interfaces
// the low byte addresses the port and the bit moves to the high byte.
USHORT CFTDI1Port::m_BaudIndex(UCHAR ucFractionHigh) const {
    if (!m_bMultiInterface)
        return ucFractionHigh;
    return (USHORT)(m_unPortIndex | (ucFractionHigh ? 0x0100 : 0));
}

void CFTDI1Port::m_NotifyModemStatus(UCHAR ucModemStatus) {
    m_CallBack(&HvISerialCallbacks::m_ModemStatusCallback, NULL, (BOOLEAN)((ucModemStatus & FTDI_MS_CTS) != 0),
               (BOOLEAN)((ucModemStatus & FTDI_MS_DSR) != 0), (BOOLEAN)((ucModemStatus & FTDI_MS_RI) != 0),
               (BOOLEAN)((ucModemStatus & FTDI_MS_RI_TRAILING_EDGE) != 0),
               (BOOLEAN)((ucModemStatus & FTDI_MS_DCD) != 0));
}

void CFTDI1Port::m_NotifyLineStatus(UCHAR ucLineStatus) {
    m_CallBack(&HvISerialCallbacks::m_LineStatusCallback, NULL, (BOOLEAN)((ucLineStatus & FTDI_LS_OVERRUN) != 0),
               (BOOLEAN)((ucLineStatus & FTDI_LS_PARITY) != 0), (BOOLEAN)((ucLineStatus & FTDI_LS_FRAMING) != 0),
               (BOOLEAN)((ucLineStatus & FTDI_LS_BREAK) != 0), (BOOLEAN)((ucLineStatus & FTDI_LS_DATA_READY) != 0),
               (BOOLEAN)((ucLineStatus & FTDI_LS_THRE) != 0), (BOOLEAN)((ucLineStatus & FTDI_LS_TEMT) != 0),
               (BOOLEAN)((ucLineStatus & FTDI_LS_FIFO_ERROR) != 0));
}

BOOLEAN CFTDI1Port::m_ReadStatusBytes(PUCHAR pucModem, PUCHAR pucLine) {
    CPmBuffer buffer;
    RtlZeroMemory(&buffer, sizeof(buffer));
    if (!buffer.m_Allocate(2))
        return FALSE;
    RtlZeroMemory(buffer.m_GetData(), 2);
    const BOOLEAN bDone = m_pUSBTransport && m_pUSBTransport->m_ReadSettings(FTDI_GET_MODEM_STATUS, &buffer);
    *pucModem = buffer.m_GetData()[0];
    *pucLine = buffer.m_GetData()[1];
    buffer.m_Clear();
    return bDone;
}

// The two status bytes read straight from the chip; changes go to the port driver in this thread.
BOOLEAN CFTDI1Port::m_ReadModemStatus() {
    UCHAR ucModem = 0, ucLine = 0;
    if (!m_ReadStatusBytes(&ucModem, &ucLine))
        return FALSE;
    if (m_HalfDuplex())
        ucModem |= FTDI_MS_CTS;
    if (ucModem != m_ucLastModemStatus) {
        if (((ucModem ^ m_ucLastModemStatus) & FTDI_MS_RI) && !(ucModem & FTDI_MS_RI) && m_ucLastModemStatus != 0xFF)
            ucModem |= FTDI_MS_RI_TRAILING_EDGE;
        else
            ucModem &= (UCHAR)~FTDI_MS_RI_TRAILING_EDGE;
        m_NotifyModemStatus(ucModem);
    }
    m_ucLastModemStatus = ucModem;
    if (ucLine != m_ucLastLineStatus)
        m_NotifyLineStatus(ucLine);
    m_ucLastLineStatus = ucLine;
    return TRUE;
}

void CFTDI1Port::m_UpdateEarlyAcknowledgeLimit() {
    if (m_ulBaudRate)
        m_ulEarlyAcknowledgeLimit = FtdiEarlyAcknowledgeLimit(m_ulBaudRate, m_ulDataBits, m_ulParity, m_ulStopBits);
}

BOOLEAN CFTDI1Port::m_ConnectCallback() {
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_ConnectCallback - IN");
    PM_TRACE(FTDI_TRACE, "=>Latency:0x%X, RxSize:0x%X, TxSize:0x%X", m_ulLatency, m_ulRxTransferSize,
             m_ulTxTransferSize);
    if (m_bOpen) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_ConnectCallback - OUT (Port is Alread Opened)");
        DbgPrint("CFTDI1Port::m_ConnectCallback - OUT (Port is Alread Opened)\n");
        return TRUE;
    }
    if (!m_pUSBTransport || !m_GetISerial()) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_ConnectCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    m_SpinLock.m_Lock();
    m_ulPendingBytes = 0;
    m_ulBytesTransmitted = 0;
    m_ulBytesReceived = 0;
    m_ulEarlyAcknowledged = 0;
    m_bInProgress = TRUE;
    m_bTransmitHeld = FALSE;
    m_bPowerHold = FALSE;
    m_ulFailedWrites = 0;
    m_ucLastModemStatus = 0xFF;
    m_ucLastLineStatus = 0xFF;
    m_bXoffReceived = FALSE;
    m_SpinLock.m_Unlock();
    m_ReceivePauseLock.m_Lock();
    m_bReceivePaused = FALSE;
    m_bReceiveLow = FALSE;
    m_ReceivePauseLock.m_Unlock();
    InterlockedExchange(&m_lPendingReadHandOvers, 0);
    InterlockedIncrement((volatile LONG*)&m_ulOpenGeneration);
    KeClearEvent(&m_kRestoreCancelEvent);

    m_pBusDevice->m_GotoPowerState(PowerDeviceD0);
    BOOLEAN bThread = FALSE;
    const char* pszFailure = NULL;
    KeSetEvent(&m_kTransmitEvent, IO_NO_INCREMENT, FALSE);
    if (!m_TransmitThread.m_Create(sm_SendDataToDevice, this, m_apvTransmitWaitObjects, 31))
        pszFailure = "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error creating write buffer thread.";
    else
        bThread = TRUE;
    if (!pszFailure && !m_pUSBTransport->m_Connect())
        pszFailure = "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error calling m_pUSBTransport->m_Connect().";
    if (!pszFailure && !m_Request(FTDI_RESET, FTDI_RESET_BOTH, m_Index()))
        pszFailure = "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error calling m_pUSBTransport->m_WriteSettings(FTDI_RESET,...).";
    if (!pszFailure) {
        m_SetLatencyAndRxTransferSize(115200);
        if (!m_CallBack(&HvISerialCallbacks::m_DataWrittenCallback, NULL, m_ulTxTransferSize))
            pszFailure = "CFTDI1Port::m_ConnectCallback - OUT - Fail-> m_DataWrittenCallback refused the transmit credit.";
    }
    if (!pszFailure && !m_ReadModemStatus())
        pszFailure = "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error reading the modem status.";
    if (!pszFailure) {
        m_unErrorCharacter = 0;
        m_unEventCharacter = 0;
        if (!m_Request(FTDI_SET_ERROR_CHAR, m_unErrorCharacter, m_Index()) ||
            !m_Request(FTDI_SET_EVENT_CHAR, m_unEventCharacter, m_Index()))
            pszFailure = "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error setting the error and event characters.";
    }
    if (!pszFailure && !m_pUSBTransport->m_StartReceive(FTDI_PACKET_SIZE))
        pszFailure = "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error starting the receive transfer.";
    if (!pszFailure && (m_ulRxTransferSize == 0 || !m_pUSBTransport->m_SetReceiveTransferSize(m_ulRxTransferSize))) {
        pszFailure = "CFTDI1Port::m_ConnectCallback - OUT - Fail-> Error setting the receive transfer size.";
        m_pUSBTransport->m_StopReceive();
    }
    if (pszFailure) {
        PM_TRACE(FTDI_TRACE, "%s", pszFailure);
        DbgPrint("Error Opening COM Port\n");
        // What the open started is taken down again, so that a later open starts clean.
        m_UndoConnect(bThread);
        return FALSE;
    }
    m_bInProgress = FALSE;
    m_bOpen = TRUE;
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_ConnectCallback - OUT (Success)");
    return TRUE;
}

void CFTDI1Port::m_UndoConnect(BOOLEAN bThread) {
    m_SpinLock.m_Lock();
    m_bClosing = TRUE;
    m_bTransmitHeld = TRUE;
    m_SpinLock.m_Unlock();
    m_pUSBTransport->m_Disconnect();
    if (bThread)
        m_TransmitThread.m_Stop();
    m_FlushPendingList();
    m_FlushWorker(m_pPortWorker);
    m_ResetOpenState();
    m_pBusDevice->m_GotoPowerState(PowerDeviceD3);
    m_bClosing = FALSE;
    m_bOpen = FALSE;
    m_bInProgress = FALSE;
}

// What a close forgets, so that the next open programs the chip again.
void CFTDI1Port::m_ResetOpenState() {
    m_unFlowControl = FTDI_FLOW_NOT_SET;
    m_SpinLock.m_Lock();
    m_ulPendingBytes = 0;
    m_bCtsOutput = m_bRtsInput = m_bDsrOutput = m_bDtrInput = m_bDsrSensitivity = m_bRtsToggle = FALSE;
    m_bXonXoffOutput = m_bXonXoffInput = m_bXoffContinue = FALSE;
    m_bXoffSent = FALSE;
    m_bXoffReceived = FALSE;
    m_bPowerHold = FALSE;
    m_ulEarlyAcknowledged = 0;
    m_ulFailedWrites = 0;
    m_SpinLock.m_Unlock();
    m_bBreak = FALSE;
    m_unLineWord = 0;
    m_ulBaudRate = 0;
    m_ulRxTransferSize = 0;
    m_ulLatency = 0;
    InterlockedExchange(&m_lPendingReadHandOvers, 0);
    m_ReceivePauseLock.m_Lock();
    m_bReceivePaused = FALSE;
    m_bReceiveLow = FALSE;
    m_bReadHandOverPending = FALSE;
    m_ReceivePauseLock.m_Unlock();
}

BOOLEAN CFTDI1Port::m_DisconnectCallback() {
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DisconnectCallback - IN");
    if (!m_bOpen) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DisconnectCallback - OUT (Port is Alread Closed)");
        return TRUE;
    }
    m_SpinLock.m_Lock();
    m_bOpen = FALSE;
    m_bInProgress = TRUE;
    m_bClosing = TRUE;
    m_bTransmitHeld = TRUE;
    m_SpinLock.m_Unlock();
    // A delayed restore of this open has nothing left to do.
    KeSetEvent(&m_kRestoreCancelEvent, IO_NO_INCREMENT, FALSE);
    m_pUSBTransport->m_Disconnect();
    m_FlushPendingList();
    m_TransmitThread.m_Stop();
    // A write the thread put back after its bulk write was cancelled.
    m_FlushPendingList();
    m_FlushWorker(m_pPortWorker);
    m_FlushWorker(m_pRestoreWorker);
    m_ResetOpenState();
    m_pBusDevice->m_GotoPowerState(PowerDeviceD3);
    m_bClosing = FALSE;
    m_bInProgress = FALSE;
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DisconnectCallback - OUT (Success)");
    return TRUE;
}

BOOLEAN CFTDI1Port::m_RtsCallback(BOOLEAN bRts) {
    if (!m_GetISerial())
        return FALSE;
    if (m_HalfDuplex()) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_RtsCallback - OUT (Success) - Device is 422/485 in half duplex: RTS is the chip's.");
        return TRUE;
    }
    // A refused request is a failure: the port driver must not believe RTS changed.
    if (!m_Request(FTDI_MODEM_CTRL, bRts ? 0x0202 : 0x0200, m_Index())) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_RtsCallback - OUT - Fail-> Error writing to USB Transport (FTDI_MODEM_CTRL).");
        return FALSE;
    }
    if (bRts)
        m_unModemControl |= 0x0002;
    else
        m_unModemControl &= (USHORT)~0x0002;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_DtrCallback(BOOLEAN bDtr) {
    if (!m_GetISerial())
        return FALSE;
    if (m_bDuplexPort) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DtrCallback - OUT (Failed but return true) - Device is 422/485. Not allow to set DTR).");
        return TRUE;
    }
    if (!m_Request(FTDI_MODEM_CTRL, bDtr ? 0x0101 : 0x0100, m_Index())) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_SetDtr - OUT - Fail-> Error writing to USB Transport (FTDI_MODEM_CTRL).");
        return FALSE;
    }
    if (bDtr)
        m_unModemControl |= 0x0001;
    else
        m_unModemControl &= (USHORT)~0x0001;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_CommSettingsCallback(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits) {
    FtdiMutexHolder hold(&m_SettingsMutex);
    USHORT unWord = FtdiLineWord(ulDataBits, ulParity, ulStopBits, m_bBreak);
    if (unWord != m_unLineWord && !m_Request(FTDI_SET_DATA, unWord, m_Index())) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_CommSettingsCallback - OUT - Fail-> Error writing to USB Transport (FTDI_SET_DATA).");
        return FALSE;
    }
    m_unLineWord = unWord;
    m_ulDataBits = ulDataBits;
    m_ulParity = ulParity;
    m_ulStopBits = ulStopBits;
    m_UpdateEarlyAcknowledgeLimit();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_BaudrateCallback(ULONG ulBaudRate) {
    if (!m_pUSBTransport)
        return FALSE;
    FtdiMutexHolder hold(&m_SettingsMutex);
    if (ulBaudRate == m_ulBaudRate)
        return TRUE;
    FtdiBaudDivisor divisor;
    if (!FtdiFindBaudDivisor(ulBaudRate, &divisor)) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_BaudrateCallback - OUT - Fail-> %d is not a settable baud rate.", ulBaudRate);
        return FALSE;
    }
    PM_TRACE(FTDI_TRACE, "Baud Calculation=>Best Difference: %d", divisor.ulDifference);
    PM_TRACE(FTDI_TRACE, "Baud Calculation=>Divisor: 0x%X, Fraction:0x%X", divisor.unValue, divisor.ucFractionHigh);
    m_SpinLock.m_Lock();
    m_bTransmitHeld = TRUE;
    m_SpinLock.m_Unlock();
    if (!m_Request(FTDI_SET_BAUD_RATE, divisor.unValue, m_BaudIndex(divisor.ucFractionHigh))) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_BaudrateCallback - OUT - Fail-> Error writing to USB Transport (FTDI_SET_BAUD_RATE).");
        m_CheckTransmitHold();
        return FALSE;
    }
    m_CheckTransmitHold();
    // The rate is stored only once the latency request after it went through: a retry of the same
    // rate after a failure must send both again.
    if (m_ucReceiveTrigger == 1) {
        m_ulLatency = 16;
        m_ulRxTransferSize = FTDI_PACKET_SIZE;
        m_pUSBTransport->m_SetReceiveTransferSize(m_ulRxTransferSize);
        if (!m_SetTransportLatency(m_ulLatency)) {
            PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_BaudrateCallback - OUT (Error SetLatency.)");
            return FALSE;
        }
        PM_TRACE(FTDI_TRACE, "Result: Latency: %d, RxTransferSize: %d", m_ulLatency, m_ulRxTransferSize);
    } else {
        m_SetLatencyAndRxTransferSize(ulBaudRate);
    }
    m_unBaudDivisor = divisor.unValue;
    m_ucFractionHigh = divisor.ucFractionHigh;
    m_ulBaudRate = ulBaudRate;
    m_UpdateEarlyAcknowledgeLimit();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_IsBaudRateSupportedCallback(ULONG ulBaudRate) {
    FtdiBaudDivisor divisor;
    return FtdiFindBaudDivisor(ulBaudRate, &divisor);
}

BOOLEAN CFTDI1Port::m_TriggerLevelsCallback(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl) {
    m_ucTransmitTrigger = ucTransmit;
    m_ucReceiveTrigger = ucReceive;
    if (ucReceive == 1) {
        m_ulRxTransferSize = FTDI_PACKET_SIZE;
        if (m_pUSBTransport)
            m_pUSBTransport->m_SetReceiveTransferSize(m_ulRxTransferSize);
        m_ulLatency = 16;
        if (!m_SetTransportLatency(m_ulLatency)) {
            PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_TriggerLevelsCallback - OUT (Error SetLatency.)");
            return FALSE;
        }
        PM_TRACE(FTDI_TRACE, "Result: Latency: %d", m_ulLatency);
    }
    return TRUE;
}

BOOLEAN CFTDI1Port::m_HandshakingSettingsCallback(BOOLEAN bCtsOutput, BOOLEAN bRtsInput, BOOLEAN bDsrOutput,
                                                  BOOLEAN bDtrInput, BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle,
                                                  BOOLEAN bXonXoffOutput, BOOLEAN bXonXoffInput,
                                                  BOOLEAN bXoffContinue) {
    if (!m_GetISerial() || !m_pUSBTransport)
        return FALSE;
    FtdiMutexHolder hold(&m_SettingsMutex);
    USHORT unIndex = m_Index();
    if (bCtsOutput && bRtsInput) {
        if (!m_bDuplexPort || m_ulDuplexMode == FTDI_DUPLEX_FULL)
            unIndex |= FTDI_FLOW_RTS_CTS;
        else
            bCtsOutput = bRtsInput = FALSE;
    }
    if (bDsrOutput && bDtrInput) {
        if (!m_bDuplexPort)
            unIndex |= FTDI_FLOW_DTR_DSR;
        else
            bDsrOutput = bDtrInput = FALSE;
    }
    if (bXonXoffInput)
        unIndex |= FTDI_FLOW_XON_XOFF;
    if (!m_Request(FTDI_SET_FLOW_CTRL, (USHORT)(m_ucXon | (m_ucXoff << 8)), unIndex)) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_HandshakingSettingsCallback - OUT - Fail-> Error writing to USB Transport (FTDI_SET_FLOW_CTRL).");
        return FALSE;
    }
    m_SpinLock.m_Lock();
    if (bXonXoffInput)
        m_bXoffReceived = FALSE;
    m_bCtsOutput = bCtsOutput;
    m_bRtsInput = bRtsInput;
    m_bDsrOutput = bDsrOutput;
    m_bDtrInput = bDtrInput;
    m_bDsrSensitivity = bDsrSensitivity;
    m_bRtsToggle = bRtsToggle;
    m_bXonXoffOutput = bXonXoffOutput;
    m_bXonXoffInput = bXonXoffInput;
    m_bXoffContinue = bXoffContinue;
    m_SpinLock.m_Unlock();
    m_unFlowControl = unIndex;
    m_CheckTransmitHold();
    m_Queue(FTDI_EVENT_MODEM_STATUS, m_ucLastModemStatus, NULL);
    return TRUE;
}

BOOLEAN CFTDI1Port::m_InternalLoopbackCallback(BOOLEAN bLoopback) {
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_InternalLoopbackCallback - IN - OUT - Fail-> Not Implemented.");
    return FALSE;
}

// DTR selects the transceiver's duplex on these ports; it is driven directly, since the DTR
// operation refuses RS-422/485 ports.
BOOLEAN CFTDI1Port::m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue) {
    if (!m_GetISerial())
        return FALSE;
    if (!m_bDuplexPort) {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DuplexModeSettingsCallback - IN - OUT (Failed - Device is not 422/485).");
        return FALSE;
    }
    BOOLEAN bDtr;
    if (ulDuplexMode == FTDI_DUPLEX_FULL) {
        bDtr = TRUE;
    } else if (ulDuplexMode == FTDI_DUPLEX_HALF) {
        m_ucLastModemStatus |= FTDI_MS_CTS;
        bDtr = FALSE;
    } else {
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DuplexModeSettingsCallback - IN - OUT (Failed - Unsupported duplex mode).");
        return FALSE;
    }
    PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_DuplexModeSettingsCallback - Mode: %d, CtsTrue: %d", ulDuplexMode, bCtsTrue);
    m_ulDuplexMode = ulDuplexMode;
    if (!m_Request(FTDI_MODEM_CTRL, bDtr ? 0x0101 : 0x0100, m_Index()))
        return FALSE;
    if (bDtr)
        m_unModemControl |= 0x0001;
    else
        m_unModemControl &= (USHORT)~0x0001;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_ReadEepromCallback(ULONG, ULONG, PUCHAR) { return FALSE; }
BOOLEAN CFTDI1Port::m_WriteEepromCallback(ULONG, ULONG, const UCHAR*) { return FALSE; }
BOOLEAN CFTDI1Port::m_LsrMstInsertCallback(UCHAR) { return FALSE; }

BOOLEAN CFTDI1Port::m_SetBreakCallback(BOOLEAN bBreakOn) {
    FtdiMutexHolder hold(&m_SettingsMutex);
    USHORT unWord = bBreakOn ? (USHORT)(m_unLineWord | 0x4000) : (USHORT)(m_unLineWord & ~0x4000);
    if (!m_Request(FTDI_SET_DATA, unWord, m_Index()))
        return FALSE;
    m_bBreak = bBreakOn ? TRUE : FALSE;
    m_unLineWord = unWord;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_PurgeCallback(BOOLEAN bTransmit, BOOLEAN bReceive) {
    m_SpinLock.m_Lock();
    m_bTransmitHeld = TRUE;
    m_SpinLock.m_Unlock();
    if (bTransmit)
        m_FlushPendingList();
    USHORT unValue = bTransmit && !bReceive ? FTDI_PURGE_TRANSMIT : bReceive && !bTransmit ? FTDI_PURGE_RECEIVE : FTDI_RESET_BOTH;
    if (!m_Request(FTDI_RESET, unValue, m_Index()))
        return FALSE;
    m_CheckTransmitHold();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetSpecialCharactersCallback(UCHAR, UCHAR, UCHAR, UCHAR, UCHAR ucXon, UCHAR ucXoff) {
    m_ucXon = ucXon;
    m_ucXoff = ucXoff;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_PretendXoffReceivedCallback(BOOLEAN bXoffReceived) {
    m_SpinLock.m_Lock();
    m_bXoffReceived = bXoffReceived ? TRUE : FALSE;
    m_SpinLock.m_Unlock();
    m_CheckTransmitHold();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_GetFifoSizesCallback(PULONG pulTransmitFifoSize, PULONG pulReceiveFifoSize) {
    if (!pulTransmitFifoSize || !pulReceiveFifoSize)
        return FALSE;
    *pulTransmitFifoSize = m_ulTxFifoSize;
    *pulReceiveFifoSize = m_ulRxFifoSize;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_UpdateModemStatus() { return TRUE; }

BOOLEAN CFTDI1Port::m_GetLatencyTimerValue(PULONG pulLatency) {
    CPmBuffer buffer;
    RtlZeroMemory(&buffer, sizeof(buffer));
    if (!pulLatency || !buffer.m_Allocate(2))
        return FALSE;
    RtlZeroMemory(buffer.m_GetData(), 2);
    BOOLEAN bDone = m_pUSBTransport && m_pUSBTransport->m_ReadSettings(FTDI_READ_LATENCY_TIMER, &buffer);
    if (bDone)
        *pulLatency = buffer.m_GetData()[0];
    else
        PM_TRACE(FTDI_TRACE, "CFTDI1Port::m_GetLatencyTimerValue - OUT - Fail-> Error writing to USB Transport (FTDI_READ_LATENCY_TIMER).");
    buffer.m_Clear();
    return bDone;
}

BOOLEAN CFTDI1Port::m_SetRxTransferSize(ULONG ulSize) {
    if (ulSize == 0)
        return FALSE;
    m_ulRxTransferSize = ulSize;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetTxTransferSize(ULONG ulSize) {
    if (ulSize == 0)
        return FALSE;
    m_ulTxTransferSize = ulSize;
    return TRUE;
}

void CFTDI1Port::m_GetWmiTiming(HvUBusWmiTiming* pTiming) {
    pTiming->ulLastReceiveCompletionTime = m_ulLastReceiveTime;
    pTiming->ulHandOverStartTime = m_ulHandOverStartTime;
    pTiming->ulHandOverEndTime = m_ulHandOverEndTime;
    pTiming->ulTransportReceiveTime =
        m_pUSBTransport ? (ULONG)(m_pUSBTransport->m_ullLastReceiveInterval / 1000) : 0;
    pTiming->ulTransportCallbackTime = m_ulHandOverEndTime - m_ulHandOverStartTime;
    pTiming->ulBytesTransmitted = m_ulBytesTransmitted;
    pTiming->ulBytesReceived = m_ulBytesReceived;
}

void CFTDI1Port::m_GetWmiPortState(HvUBusWmiPortState* pState) {
    pState->ulReceiveTransferSize = m_ulRxTransferSize;
    pState->ulTransmitTransferSize = m_ulTxTransferSize;
    pState->ulLatencyTimer = m_ulLatency;
    pState->ulLastLineStatus = m_ucLastLineStatus;
    pState->ulLastModemStatus = m_ucLastModemStatus;
    pState->ulPendingTransmitBytes = m_ulPendingBytes;
    pState->ulTransmitterFree = m_bTransmitHeld ? 0 : 1;
    pState->ulReceiveRunning = m_bReceivePaused ? 0 : 1;
    pState->ulModemControlWord = m_unModemControl;
    pState->ulFlowControlWord = m_unFlowControl;
    pState->ulBaudDivisorWord = m_unBaudDivisor;
    pState->ulLineWord = m_unLineWord;
    pState->ulPortOpen = m_bOpen ? 1 : 0;
    pState->ulDuplexMode = m_ulDuplexMode;
    pState->ucReadHandOverPending = m_bReadHandOverPending;
    pState->ucTransmitBusy = m_bTransmitBusy;
    pState->ucXoffSent = m_bXoffSent;
    pState->ucXoffReceived = m_bXoffReceived;
}
