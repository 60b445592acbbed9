// The port object: construction, binding to the bus driver, the settings set, connection and
// the settings an application stores (timeouts, special characters, the internal basic settings).
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>
#include <pmreadqueuecsq.h>
#include <pmwritequeuecsq.h>

static const CHAR s_szSourcePath[] = "hvuvcp\\vcp.cpp";

// ---- Base -----------------------------------------------------------------------------------

CVcpBase::CVcpBase() : m_ucStopBits(STOP_BIT_1), m_ucParity(NO_PARITY), m_ucWordLength(8), m_ulBaudRate(115200) {}

ULONGLONG CVcpBase::m_GetCharTime() const {
    // A rate of 0 never reaches the chip; count it as the slowest standard rate.
    ULONGLONG ullBaud = m_ulBaudRate ? m_ulBaudRate : 75;
    ULONGLONG ullBits = (ULONGLONG)m_ucWordLength + (m_ucParity != NO_PARITY ? 1 : 0) +
                        (m_ucStopBits == STOP_BITS_2 ? 1 : 0) + 2;
    return ullBits * ((10000000 + ullBaud - 1) / ullBaud);
}

UCHAR CVcpBase::m_ReadParity(ULONG ulParity) { return ulParity >= ODD_PARITY && ulParity <= SPACE_PARITY ? (UCHAR)ulParity : 0; }

BOOLEAN CVcpBase::m_FlowControlMasks(ULONG ulFlowControl, PULONG pulControlHandShake, PULONG pulFlowReplace) {
    switch (ulFlowControl) {
    case HVUVCP_FLOW_NONE:
    case 8:
        *pulControlHandShake = SERIAL_DTR_CONTROL;
        *pulFlowReplace = SERIAL_RTS_CONTROL;
        return TRUE;
    case HVUVCP_FLOW_CTS_RTS:
        *pulControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
        *pulFlowReplace = SERIAL_RTS_HANDSHAKE;
        return TRUE;
    case HVUVCP_FLOW_DTR_DSR:
        *pulControlHandShake = SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
        *pulFlowReplace = SERIAL_RTS_CONTROL;
        return TRUE;
    case HVUVCP_FLOW_XON_XOFF:
        *pulControlHandShake = SERIAL_DTR_CONTROL;
        *pulFlowReplace = SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
        return TRUE;
    default:
        return FALSE;
    }
}

void CVcpBase::m_LoadLineSettings(const CVcpParameters& set, PULONG pulControlHandShake, PULONG pulFlowReplace) {
    // A stored rate of 0 would be sent to the chip and divide the character time.
    if (set.m_ulBaudrate)
        m_ulBaudRate = set.m_ulBaudrate;
    m_ucWordLength = set.m_ulDatabits <= 2 ? (UCHAR)(5 + set.m_ulDatabits) : 8;
    m_ucParity = m_ReadParity(set.m_ulParity);
    m_ucStopBits = set.m_ulStopbits == STOP_BITS_1_5 || set.m_ulStopbits == STOP_BITS_2 ? (UCHAR)set.m_ulStopbits : 0;
    m_FlowControlMasks(set.m_ulFlowControl, pulControlHandShake, pulFlowReplace);
}

// ---- Construction and binding ---------------------------------------------------------------

static ULONG VcpInitialQueueSize() {
    switch (MmQuerySystemSize()) {
    case MmSmallSystem:
        return VCP_QUEUE_SIZE_SMALL;
    case MmMediumSystem:
        return VCP_QUEUE_SIZE_MEDIUM;
    default:
        return VCP_QUEUE_SIZE_LARGE;
    }
}

CVCP::CVCP()
    : m_pSettings(NULL), m_bConnected(FALSE), m_bSettingsLoaded(FALSE), m_ulLastReadTime(0), m_ucModemControl(0),
      m_bImmediatePending(FALSE), m_ucLoopback(0), m_bOverflow(FALSE), m_lTransmitPending(0), m_pWaitWakeIrp(NULL),
      m_ucSavedReceiveLevel(0), m_lLineStatus(0), m_lModemStatus(0), m_lEscapeChar(0), m_BusInterface(this),
      m_pFunctionalDevice(NULL), m_ulPortNumber(0), m_pExecutionOnPassiveLevel(NULL), m_lImmediateOutstanding(0),
      m_lFlowWorkPosted(0), m_bHaveAcceptedSettings(FALSE) {
    m_ulQueueSize = VcpInitialQueueSize();
    m_ulMinimumQueueSize = m_ulQueueSize;
    m_HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    m_HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    m_HandFlow.XonLimit = (LONG)(m_ulQueueSize / 2);
    m_HandFlow.XoffLimit = (LONG)(m_ulQueueSize / 8);
    m_ulEffectiveXonLevel = m_ulQueueSize / 2;
    m_ulEffectiveXoffLevel = m_ulQueueSize / 8;
    m_RecomputeLevels();
    RtlZeroMemory(&m_SpecialChars, sizeof(m_SpecialChars));
    m_SpecialChars.XonChar = 0x11;
    m_SpecialChars.XoffChar = 0x13;
    RtlZeroMemory(&m_Timeouts, sizeof(m_Timeouts));
    RtlZeroMemory(&m_PerfStats, sizeof(m_PerfStats));
    for (ULONG i = 0; i < VcpHolds; ++i)
        m_alHolds[i] = 0;
    m_alErrors[0] = 0;
    m_alErrors[1] = 0;
}

CVCP::~CVCP() {
    PM_TRACE(HVUVCP_TRACE_VCP, "VCP Destructor - IN");
    m_DeInit();
    PM_TRACE(HVUVCP_TRACE_VCP, "VCP Destructor - OUT");
}

void CVCP::m_RecomputeLevels() { m_ul80PercentLevel = (ULONG)((ULONGLONG)m_ulQueueSize * 80 / 100); }

ISerial* CVCP::m_GetRecordOrAssert(PCSTR pszOperation) {
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    if (!pISerial) {
        PM_ASSERTION_LINE(s_szSourcePath);
        PM_TRACE(HVUVCP_TRACE_VCP, "%s - OUT - No ISerial interface.", pszOperation);
    }
    return pISerial;
}

BOOLEAN CVCP::m_Init(CPmFunctionalDevice* pFunctionalDevice, ULONG ulPortNumber) {
    PM_TRACE(HVUVCP_TRACE_VCP, "VCP Init - IN");
    m_pFunctionalDevice = pFunctionalDevice;
    m_ulPortNumber = ulPortNumber;
    if (!m_BusInterface.m_GetISerial(pFunctionalDevice, ulPortNumber)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "VCP Init - OUT - Error retrieving ISerial interface.");
        return FALSE;
    }
    m_pExecutionOnPassiveLevel = new (NonPagedPool) CPmWorkerThread(31, 1);
    if (!m_pExecutionOnPassiveLevel || !m_pExecutionOnPassiveLevel->m_IsRunning()) {
        PmDeleteObject(m_pExecutionOnPassiveLevel);
        m_pExecutionOnPassiveLevel = NULL;
        PM_TRACE(HVUVCP_TRACE_VCP, "VCP Init - OUT - Error m_pExecutionOnPassiveLevel is NULL.");
        return FALSE;
    }
    PM_TRACE(HVUVCP_TRACE_VCP, "VCP Init - OUT (Success)");
    return TRUE;
}

BOOLEAN CVCP::m_DeInit() {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_DeInit - IN");
    BOOLEAN bResult = TRUE;
    if (!m_BusInterface.m_IsBound()) {
        PM_TRACE(HVUVCP_TRACE_VCP, "VCP m_DeInit - OUT - Error m_pSerialInterface is NULL.");
    } else if (!m_BusInterface.m_GetRecord()) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_DeInit - OUT - No ISerial interface.");
        bResult = FALSE;
    } else {
        m_Disconnect();
    }
    // Flow work already posted calls the record: it must have run, or be dropped, before the
    // record goes back.
    if (m_pExecutionOnPassiveLevel) {
        m_pExecutionOnPassiveLevel->m_Stop();
        PmDeleteObject(m_pExecutionOnPassiveLevel);
        m_pExecutionOnPassiveLevel = NULL;
    }
    if (m_BusInterface.m_IsBound() && m_BusInterface.m_GetRecord())
        m_BusInterface.m_ReleaseISerial(m_ulPortNumber, m_BusInterface.m_GetRecord());
    if (bResult)
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_DeInit - OUT (Success)");
    return bResult;
}

void CVCP::m_SetSettings(CHvUVcpUserModeInterface* pSettings) { m_pSettings = pSettings; }

void CVCP::m_AcceptSettings() {
    if (!m_pSettings)
        return;
    m_AcceptedSettings = static_cast<const CVcpParameters&>(*m_pSettings);
    m_bHaveAcceptedSettings = TRUE;
}

BOOLEAN CVCP::m_RevertSettings() {
    if (!m_pSettings || !m_bHaveAcceptedSettings)
        return FALSE;
    static_cast<CVcpParameters&>(*m_pSettings) = m_AcceptedSettings;
    return TRUE;
}

// ---- Connection -----------------------------------------------------------------------------

void CVCP::m_ResetRuntimeState() {
    RtlZeroMemory(&m_PerfStats, sizeof(m_PerfStats));
    m_ulLastReadTime = 0;
    InterlockedExchange(&m_lTransmitPending, 0);
    m_ucModemControl = 0;
    m_bImmediatePending = FALSE;
    m_ucLoopback = 0;
    InterlockedExchange8(&m_bOverflow, FALSE);
    m_pWaitWakeIrp = NULL;
    m_ucSavedReceiveLevel = 0;
    InterlockedExchange(&m_lLineStatus, 0);
    InterlockedExchange(&m_lModemStatus, 0);
    for (ULONG i = 0; i < VcpHolds; ++i)
        InterlockedExchange(&m_alHolds[i], 0);
    InterlockedExchange(&m_alErrors[0], 0);
    InterlockedExchange(&m_alErrors[1], 0);
    InterlockedExchange(&m_lEscapeChar, 0);
    InterlockedExchange(&m_lImmediateOutstanding, 0);
}

void CVCP::m_SetQueuesActive(BOOLEAN bActive) {
    if (!m_pFunctionalDevice)
        return;
    if (m_pFunctionalDevice->m_pReadQueue)
        m_pFunctionalDevice->m_pReadQueue->m_SetActive(bActive, STATUS_CANCELLED);
    if (m_pFunctionalDevice->m_pWriteQueue)
        m_pFunctionalDevice->m_pWriteQueue->m_SetActive(bActive, STATUS_CANCELLED);
}

void CVCP::m_SentCommSettings(PULONG pulDataBits, PULONG pulParity, PULONG pulStopBits) {
    *pulDataBits = (ULONG)(m_ucWordLength >= 5 && m_ucWordLength <= 8 ? m_ucWordLength - 5 : 3);
    *pulParity = m_ucParity;
    *pulStopBits = m_ucStopBits;
    if (!m_pSettings)
        return;
    if (m_pSettings->m_ulOverrideDataBits)
        *pulDataBits = m_pSettings->m_ulDatabits <= 3 ? m_pSettings->m_ulDatabits : 3;
    if (m_pSettings->m_ulOverrideParity)
        *pulParity = m_ReadParity(m_pSettings->m_ulParity);
    if (m_pSettings->m_ulOverrideStopbits)
        *pulStopBits = m_pSettings->m_ulStopbits <= STOP_BITS_2 ? m_pSettings->m_ulStopbits : 0;
}

BOOLEAN CVCP::m_Connect() {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Connect - IN");
    if (!m_pSettings || !m_BusInterface.m_IsBound()) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_Connect");
    if (!pISerial)
        return FALSE;
    if (!m_bSettingsLoaded) {
        m_LoadLineSettings(*m_pSettings, &m_HandFlow.ControlHandShake, &m_HandFlow.FlowReplace);
        m_bSettingsLoaded = TRUE;
    }
    m_ResetRuntimeState();
    m_HandFlow.XonLimit = (LONG)(m_ulQueueSize / 2);
    m_HandFlow.XoffLimit = (LONG)(m_ulQueueSize / 8);
    m_ulEffectiveXonLevel = m_ulQueueSize / 2;
    m_ulEffectiveXoffLevel = m_ulQueueSize / 8;
    m_SetQueuesActive(TRUE);
    m_pSettings->m_Dump();

    if (!VCP_CALL(pISerial, m_ConnectCallback)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Connect - OUT - Error Connecting.");
        return FALSE;
    }
    m_bConnected = TRUE;

    if (m_GetPortType() == HVUVCP_PORT_TYPE_RS422_485) {
        if (m_pSettings->m_ulDuplexMode == 0)
            m_pSettings->m_ulDuplexMode = 1;
        if (pISerial->m_Operations.m_DuplexModeSettingsCallback)
            VCP_CALL(pISerial, m_DuplexModeSettingsCallback, m_pSettings->m_ulDuplexMode,
                     (BOOLEAN)(m_pSettings->m_ul422485CtsTrue != 0));
    }

    ULONG ulBaud = m_pSettings->m_ulOverridBaudRates && m_pSettings->m_ulBaudrate ? m_pSettings->m_ulBaudrate
                                                                                  : m_ulBaudRate;
    if (!VCP_CALL(pISerial, m_BaudrateCallback, ulBaud)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Connect - OUT - Error Setting Baudrate.");
    } else {
        ULONG ulDataBits, ulParity, ulStopBits;
        m_SentCommSettings(&ulDataBits, &ulParity, &ulStopBits);
        if (VCP_CALL(pISerial, m_CommSettingsCallback, ulDataBits, ulParity, ulStopBits)) {
            PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Connect - OUT (Success)");
            return TRUE;
        }
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Connect - OUT - Error Setting Comm settings.");
    }
    VCP_CALL(pISerial, m_DisconnectCallback);
    m_bConnected = FALSE;
    return FALSE;
}

static void VcpDelay(ULONGLONG ull100ns) {
    LARGE_INTEGER liInterval;
    liInterval.QuadPart = -(LONGLONG)(ull100ns ? ull100ns : 1);
    KeDelayExecutionThread(KernelMode, FALSE, &liInterval);
}

BOOLEAN CVCP::m_Disconnect() {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Disconnect - IN");
    if (!m_bConnected)
        return FALSE;
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_Disconnect");
    if (!pISerial)
        return FALSE;
    ULONG ulTransmitFifo = 0, ulReceiveFifo = 0;
    VCP_CALL(pISerial, m_GetFifoSizesCallback, &ulTransmitFifo, &ulReceiveFifo);
    m_ClearDtr();
    m_ClearRts();

    const LONG lEmpty = SERIAL_LSR_THRE | SERIAL_LSR_TEMT;
    LONG lPending = InterlockedCompareExchange(&m_lTransmitPending, 0, 0);
    if (lPending > 0 || (InterlockedCompareExchange(&m_lLineStatus, 0, 0) & lEmpty) != lEmpty) {
        if (!VCP_CALL(pISerial, m_GetFifoSizesCallback, &ulTransmitFifo, &ulReceiveFifo))
            ulTransmitFifo = 256;
        ULONGLONG ullCount = (ULONGLONG)(lPending > 0 ? lPending : 0);
        if (ullCount < ulTransmitFifo / 2)
            ullCount = ulTransmitFifo / 2;
        ULONGLONG ullCharTime = m_GetCharTime();
        VcpDelay(ullCount * ullCharTime);
        for (ULONGLONG i = 0; i < 20 * ullCount; ++i) {
            if ((InterlockedCompareExchange(&m_lLineStatus, 0, 0) & lEmpty) == lEmpty)
                break;
            PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Disconnect - Waiting for flushing FiFo.");
            VcpDelay(ullCharTime);
        }
    }

    BOOLEAN bResult = VCP_CALL(pISerial, m_DisconnectCallback);
    m_bConnected = FALSE;
    PM_TRACE(HVUVCP_TRACE_STATS, "ReceivedCount : %d", m_PerfStats.ReceivedCount);
    PM_TRACE(HVUVCP_TRACE_STATS, "TransmittedCount : %d", m_PerfStats.TransmittedCount);
    m_WaitMask.m_CancelAll();
    m_WaitMask.m_ClearCommEvents(0xFFFFFFFF);
    RtlZeroMemory(&m_PerfStats, sizeof(m_PerfStats));
    InterlockedExchange(&m_lLineStatus, 0);
    InterlockedExchange(&m_lModemStatus, 0);
    for (ULONG i = 0; i < VcpHolds; ++i)
        InterlockedExchange(&m_alHolds[i], 0);
    if (m_pFunctionalDevice) {
        if (m_pFunctionalDevice->m_pReadQueue)
            m_pFunctionalDevice->m_pReadQueue->m_CancelAll();
        if (m_pFunctionalDevice->m_pWriteQueue)
            m_pFunctionalDevice->m_pWriteQueue->m_CancelAll();
        if (m_pFunctionalDevice->m_pReadQueue)
            m_pFunctionalDevice->m_pReadQueue->m_Purge();
    }
    m_ucModemControl = 0;
    InterlockedExchange8(&m_bOverflow, FALSE);
    InterlockedExchange(&m_lEscapeChar, 0);
    InterlockedExchange(&m_lTransmitPending, 0);
    InterlockedExchange(&m_lImmediateOutstanding, 0);
    m_SetQueuesActive(TRUE);
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_Disconnect - OUT (%s)", bResult ? "Success" : "Failed");
    return bResult;
}

// ---- Timeouts and special characters --------------------------------------------------------

NTSTATUS CVCP::m_SetTimeouts(const SERIAL_TIMEOUTS* pTimeouts) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetTimeouts - IN");
    if (!pTimeouts)
        return STATUS_INVALID_PARAMETER;
    if (pTimeouts->ReadIntervalTimeout == MAXULONG && pTimeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        pTimeouts->ReadTotalTimeoutConstant == MAXULONG) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetTimeouts - OUT - Failed- Incorrect parameters.");
        return STATUS_INVALID_PARAMETER;
    }
    m_Timeouts = *pTimeouts;
    if (m_pFunctionalDevice && m_pFunctionalDevice->m_pReadQueue)
        m_pFunctionalDevice->m_pReadQueue->m_SetTimeouts(pTimeouts->ReadIntervalTimeout,
                                                         pTimeouts->ReadTotalTimeoutMultiplier,
                                                         pTimeouts->ReadTotalTimeoutConstant);
    if (m_pFunctionalDevice && m_pFunctionalDevice->m_pWriteQueue)
        m_pFunctionalDevice->m_pWriteQueue->m_SetTimeouts(pTimeouts->WriteTotalTimeoutMultiplier,
                                                          pTimeouts->WriteTotalTimeoutConstant);
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetTimeouts - OUT (Success)");
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetSpecialCharacters(const SERIAL_CHARS* pChars) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetSpecialCharacters - IN");
    if (!pChars)
        return STATUS_INVALID_PARAMETER;
    LONG lEscape = InterlockedCompareExchange(&m_lEscapeChar, 0, 0);
    if (lEscape && (lEscape == pChars->XonChar || lEscape == pChars->XoffChar)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetSpecialCharacters - OUT - Failed- Incorrect parameter.");
        return STATUS_INVALID_PARAMETER;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetSpecialCharacters");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    m_SpecialChars = *pChars;
    if (!VCP_CALL(pISerial, m_SetSpecialCharactersCallback, pChars->BreakChar, pChars->EofChar, pChars->ErrorChar,
                  pChars->EventChar, pChars->XonChar, pChars->XoffChar)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetSpecialCharacters - OUT - Failed- Error setting special characters.");
        return STATUS_UNSUCCESSFUL;
    }
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetSpecialCharacters - OUT (Success)");
    return STATUS_SUCCESS;
}

// ---- Internal settings and wait-wake --------------------------------------------------------

NTSTATUS CVCP::m_InternalBasicSettings(SERIAL_BASIC_SETTINGS* pSaved) {
    if (!pSaved)
        return STATUS_INVALID_PARAMETER;
    pSaved->Timeouts = m_Timeouts;
    pSaved->HandFlow = m_HandFlow;
    pSaved->RxFifo = m_pSettings ? m_pSettings->m_ulReceiveTriggerLevel : 0;
    pSaved->TxFifo = m_pSettings ? m_pSettings->m_ulTransmitTriggerLevel : 0;
    SERIAL_TIMEOUTS timeouts;
    RtlZeroMemory(&timeouts, sizeof(timeouts));
    m_SetTimeouts(&timeouts);
    SERIAL_HANDFLOW handFlow;
    RtlZeroMemory(&handFlow, sizeof(handFlow));
    m_SetHandFlow(&handFlow);
    m_SetFifoEnable(FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_RestoreBasicSettings(const SERIAL_BASIC_SETTINGS* pSaved) {
    if (!pSaved)
        return STATUS_INVALID_PARAMETER;
    m_SetTimeouts(&pSaved->Timeouts);
    m_SetHandFlow(&pSaved->HandFlow);
    m_SetFifoEnable(TRUE);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_CancelWaitWake() {
    PIRP pIrp = m_pWaitWakeIrp;
    m_pWaitWakeIrp = NULL;
    if (pIrp)
        IoCancelIrp(pIrp);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_DoWaitWake() {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_DoWaitWake - OUT - Wait-wake is not supported.");
    return STATUS_NOT_SUPPORTED;
}

// ---- For the dispatch -----------------------------------------------------------------------

BOOLEAN CVCP::m_IsErrorAbortState() {
    if (!(m_HandFlow.ControlHandShake & SERIAL_ERROR_ABORT))
        return FALSE;
    return InterlockedCompareExchange(&m_alErrors[0], 0, 0) != 0 || InterlockedCompareExchange(&m_alErrors[1], 0, 0) != 0;
}
