// The port object: construction, binding, connection and the settings operations.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>
#include <pmreadqueuecsq.h>
#include <pmwritequeuecsq.h>

const CHAR g_szVcpSourcePath[] = "hvuvcp\\vcp.cpp";

// The standard rates and their SERIAL_BAUD_* bits; the rates above 128000 stand for "any rate".
const VcpBaudRateBit g_aVcpBaudRateBits[VCP_BAUD_RATE_BITS] = {
    {75, 0x1},        {110, 0x2},       {135, 0x4},       {150, 0x8},       {300, 0x10},       {600, 0x20},
    {1200, 0x40},     {1800, 0x80},     {2400, 0x100},    {4800, 0x200},    {7200, 0x400},     {9600, 0x800},
    {14400, 0x1000},  {19200, 0x2000},  {38400, 0x4000},  {56000, 0x8000},  {128000, 0x10000}, {115200, 0x20000},
    {57600, 0x40000}, {230400, HVUVCP_BAUD_ANY_RATE}, {460800, HVUVCP_BAUD_ANY_RATE}, {921600, HVUVCP_BAUD_ANY_RATE},
};

// ---- Base ------------------------------------------------------------------------------------

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

// ---- Construction and binding ------------------------------------------------------------------

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
    PM_TRACE(8, "VCP Destructor - IN");
    m_DeInit();
    PM_TRACE(8, "VCP Destructor - OUT");
}

void CVCP::m_RecomputeLevels() { m_ul80PercentLevel = (ULONG)((ULONGLONG)m_ulQueueSize * 80 / 100); }

ISerial* CVCP::m_GetRecordOrAssert(PCSTR pszOperation) {
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    if (!pISerial) {
        PM_ASSERTION_LINE(g_szVcpSourcePath);
        PM_TRACE(8, "%s - OUT - No ISerial interface.", pszOperation);
    }
    return pISerial;
}

BOOLEAN CVCP::m_Init(CPmFunctionalDevice* pFunctionalDevice, ULONG ulPortNumber) {
    PM_TRACE(8, "VCP Init - IN");
    m_pFunctionalDevice = pFunctionalDevice;
    m_ulPortNumber = ulPortNumber;
    if (!m_BusInterface.m_GetISerial(pFunctionalDevice, ulPortNumber)) {
        PM_TRACE(8, "VCP Init - OUT - Error retrieving ISerial interface.");
        return FALSE;
    }
    m_pExecutionOnPassiveLevel = new (NonPagedPool) CPmWorkerThread(31, 1);
    if (!m_pExecutionOnPassiveLevel || !m_pExecutionOnPassiveLevel->m_IsRunning()) {
        PmDeleteObject(m_pExecutionOnPassiveLevel);
        m_pExecutionOnPassiveLevel = NULL;
        PM_TRACE(8, "VCP Init - OUT - Error m_pExecutionOnPassiveLevel is NULL.");
        return FALSE;
    }
    PM_TRACE(8, "VCP Init - OUT (Success)");
    return TRUE;
}

BOOLEAN CVCP::m_DeInit() {
    PM_TRACE(8, "CVCP::m_DeInit - IN");
    BOOLEAN bResult = TRUE;
    if (!m_BusInterface.m_IsBound()) {
        PM_TRACE(8, "VCP m_DeInit - OUT - Error m_pSerialInterface is NULL.");
    } else if (!m_BusInterface.m_GetRecord()) {
        PM_TRACE(8, "CVCP::m_DeInit - OUT - No ISerial interface.");
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
        PM_TRACE(8, "CVCP::m_DeInit - OUT (Success)");
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

// ---- Connection ---------------------------------------------------------------------------------

void CVCP::m_ResetRuntimeState() {
    RtlZeroMemory(&m_PerfStats, sizeof(m_PerfStats));
    m_ulLastReadTime = 0;
    InterlockedExchange(&m_lTransmitPending, 0);
    m_ucModemControl = 0;
    m_bImmediatePending = FALSE;
    m_ucLoopback = 0;
    __atomic_store_n(&m_bOverflow, (BOOLEAN)FALSE, __ATOMIC_SEQ_CST);
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
    PM_TRACE(8, "CVCP::m_Connect - IN");
    if (!m_pSettings || !m_BusInterface.m_IsBound()) {
        PM_ASSERTION_LINE(g_szVcpSourcePath);
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
        PM_TRACE(8, "CVCP::m_Connect - OUT - Error Connecting.");
        return FALSE;
    }
    m_bConnected = TRUE;

    if (m_GetPortType() == 1) {
        if (m_pSettings->m_ulDuplexMode == 0)
            m_pSettings->m_ulDuplexMode = 1;
        if (pISerial->m_Operations.m_DuplexModeSettingsCallback)
            VCP_CALL(pISerial, m_DuplexModeSettingsCallback, m_pSettings->m_ulDuplexMode,
                     (BOOLEAN)(m_pSettings->m_ul422485CtsTrue != 0));
    }

    ULONG ulBaud = m_pSettings->m_ulOverridBaudRates && m_pSettings->m_ulBaudrate ? m_pSettings->m_ulBaudrate
                                                                                  : m_ulBaudRate;
    if (!VCP_CALL(pISerial, m_BaudrateCallback, ulBaud)) {
        PM_TRACE(8, "CVCP::m_Connect - OUT - Error Setting Baudrate.");
    } else {
        ULONG ulDataBits, ulParity, ulStopBits;
        m_SentCommSettings(&ulDataBits, &ulParity, &ulStopBits);
        if (VCP_CALL(pISerial, m_CommSettingsCallback, ulDataBits, ulParity, ulStopBits)) {
            PM_TRACE(8, "CVCP::m_Connect - OUT (Success)");
            return TRUE;
        }
        PM_TRACE(8, "CVCP::m_Connect - OUT - Error Setting Comm settings.");
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
    PM_TRACE(8, "CVCP::m_Disconnect - IN");
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
            PM_TRACE(8, "CVCP::m_Disconnect - Waiting for flushing FiFo.");
            VcpDelay(ullCharTime);
        }
    }

    BOOLEAN bResult = VCP_CALL(pISerial, m_DisconnectCallback);
    m_bConnected = FALSE;
    PM_TRACE(13, "ReceivedCount : %d", m_PerfStats.ReceivedCount);
    PM_TRACE(13, "TransmittedCount : %d", m_PerfStats.TransmittedCount);
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
    __atomic_store_n(&m_bOverflow, (BOOLEAN)FALSE, __ATOMIC_SEQ_CST);
    InterlockedExchange(&m_lEscapeChar, 0);
    InterlockedExchange(&m_lTransmitPending, 0);
    InterlockedExchange(&m_lImmediateOutstanding, 0);
    m_SetQueuesActive(TRUE);
    PM_TRACE(8, "CVCP::m_Disconnect - OUT (%s)", bResult ? "Success" : "Failed");
    return bResult;
}

// ---- Baud rate and line control ------------------------------------------------------------------

NTSTATUS CVCP::m_SetBaudRate(const SERIAL_BAUD_RATE* pBaudRate) {
    PM_TRACE(8, "CVCP::m_SetBaudRate - IN");
    if (!pBaudRate)
        return STATUS_INVALID_PARAMETER;
    if (!m_pSettings) {
        PM_ASSERTION_LINE(g_szVcpSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG ulRate = pBaudRate->BaudRate;
    // A rate of 0 is no rate: the bounds of the set may have been written as 0.
    if (ulRate == 0 || !m_pSettings->m_IsBaudRateSupported(ulRate)) {
        PM_TRACE(8, "CVCP::m_SetBaudRate - OUT - Failed -> BaudRate:%d is not supported.", ulRate);
        return STATUS_UNSUCCESSFUL;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetBaudRate");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    ULONG ulSent = m_pSettings->m_ulOverridBaudRates && m_pSettings->m_ulBaudrate ? m_pSettings->m_ulBaudrate : ulRate;
    if (!VCP_CALL(pISerial, m_BaudrateCallback, ulSent)) {
        PM_TRACE(8, "CVCP::m_SetBaudRate - OUT - Failed -> BaudRate:%d is not settable.", ulSent);
        return STATUS_UNSUCCESSFUL;
    }
    m_ulBaudRate = ulRate;
    PM_TRACE(8, "CVCP::m_SetBaudRate - OUT (Success)");
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetLineControl(const SERIAL_LINE_CONTROL* pLineControl) {
    PM_TRACE(8, "CVCP::m_SetLineControl - IN");
    if (!pLineControl)
        return STATUS_INVALID_PARAMETER;
    if (!m_pSettings) {
        PM_ASSERTION_LINE(g_szVcpSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    UCHAR ucWordLength = pLineControl->WordLength;
    if (ucWordLength < 5 || ucWordLength > 8 || !(m_pSettings->m_ulSupportedDataBits & (1u << (ucWordLength - 5)))) {
        PM_TRACE(8, "CVCP::m_SetLineControl - OUT - Fail-> DataBits is not supported.");
        return STATUS_UNSUCCESSFUL;
    }
    if (pLineControl->Parity > SPACE_PARITY || !(m_pSettings->m_ulSupportedParities & (0x100u << pLineControl->Parity))) {
        PM_TRACE(8, "CVCP::m_SetLineControl - OUT - Fail-> Parity is not supported.");
        return STATUS_UNSUCCESSFUL;
    }
    if (pLineControl->StopBits > STOP_BITS_2 || !(m_pSettings->m_ulSupportedStopBits & (1u << pLineControl->StopBits))) {
        PM_TRACE(8, "CVCP::m_SetLineControl - OUT - Fail-> StopBits is not supported.");
        return STATUS_UNSUCCESSFUL;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetLineControl");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    m_ucStopBits = pLineControl->StopBits;
    m_ucParity = pLineControl->Parity;
    m_ucWordLength = ucWordLength;
    ULONG ulDataBits, ulParity, ulStopBits;
    m_SentCommSettings(&ulDataBits, &ulParity, &ulStopBits);
    if (!VCP_CALL(pISerial, m_CommSettingsCallback, ulDataBits, ulParity, ulStopBits)) {
        PM_TRACE(8, "CVCP::m_SetLineControl - OUT - Fail-> Error setting comm settings.");
        return STATUS_UNSUCCESSFUL;
    }
    PM_TRACE(8, "CVCP::m_SetLineControl - OUT (Success)");
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetTimeouts(const SERIAL_TIMEOUTS* pTimeouts) {
    PM_TRACE(8, "CVCP::m_SetTimeouts - IN");
    if (!pTimeouts)
        return STATUS_INVALID_PARAMETER;
    if (pTimeouts->ReadIntervalTimeout == MAXULONG && pTimeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        pTimeouts->ReadTotalTimeoutConstant == MAXULONG) {
        PM_TRACE(8, "CVCP::m_SetTimeouts - OUT - Failed- Incorrect parameters.");
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
    PM_TRACE(8, "CVCP::m_SetTimeouts - OUT (Success)");
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetSpecialCharacters(const SERIAL_CHARS* pChars) {
    PM_TRACE(8, "CVCP::m_SetSpecialCharacters - IN");
    if (!pChars)
        return STATUS_INVALID_PARAMETER;
    LONG lEscape = InterlockedCompareExchange(&m_lEscapeChar, 0, 0);
    if (lEscape && (lEscape == pChars->XonChar || lEscape == pChars->XoffChar)) {
        PM_TRACE(8, "CVCP::m_SetSpecialCharacters - OUT - Failed- Incorrect parameter.");
        return STATUS_INVALID_PARAMETER;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetSpecialCharacters");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    m_SpecialChars = *pChars;
    if (!VCP_CALL(pISerial, m_SetSpecialCharactersCallback, pChars->BreakChar, pChars->EofChar, pChars->ErrorChar,
                  pChars->EventChar, pChars->XonChar, pChars->XoffChar)) {
        PM_TRACE(8, "CVCP::m_SetSpecialCharacters - OUT - Failed- Error setting special characters.");
        return STATUS_UNSUCCESSFUL;
    }
    PM_TRACE(8, "CVCP::m_SetSpecialCharacters - OUT (Success)");
    return STATUS_SUCCESS;
}

// ---- Handflow ------------------------------------------------------------------------------------

NTSTATUS CVCP::m_SetHandFlow(const SERIAL_HANDFLOW* pHandFlow) {
    PM_TRACE(8, "CVCP::m_SetHandFlow - IN");
    if (!pHandFlow)
        return STATUS_INVALID_PARAMETER;
    if (!m_pSettings) {
        PM_ASSERTION_LINE(g_szVcpSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    if (pHandFlow->ControlHandShake & SERIAL_CONTROL_INVALID) {
        PM_TRACE(8, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(SERIAL_CONTROL_INVALID)");
        return STATUS_INVALID_PARAMETER;
    }
    if (pHandFlow->FlowReplace & SERIAL_FLOW_INVALID) {
        PM_TRACE(8, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(SERIAL_FLOW_INVALID)");
        return STATUS_INVALID_PARAMETER;
    }
    if ((pHandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
        PM_TRACE(8, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(SERIAL_DTR_MASK invalid)");
        return STATUS_INVALID_PARAMETER;
    }
    if (pHandFlow->XonLimit < 0 || (ULONG)pHandFlow->XonLimit > m_ulQueueSize) {
        PM_TRACE(8, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(XonLimit out of bound)");
        return STATUS_INVALID_PARAMETER;
    }
    if (pHandFlow->XoffLimit < 0 || (ULONG)pHandFlow->XoffLimit > m_ulQueueSize) {
        PM_TRACE(8, "CVCP::m_SetHandFlow - OUT - Failed- Incorrect parameter.(XoffLimit out of bound)");
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulSupported = m_pSettings->m_ulSupportedFlowControls;
    if (!(ulSupported & 0x8)) {
        ULONG ulChs = pHandFlow->ControlHandShake, ulFr = pHandFlow->FlowReplace;
        BOOLEAN bCtsRts = (ulSupported & 0x1) && (ulChs & SERIAL_CTS_HANDSHAKE) &&
                          (ulFr & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
        BOOLEAN bDtrDsr = (ulSupported & 0x2) && (ulChs & SERIAL_DSR_HANDSHAKE) &&
                          (ulChs & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
        BOOLEAN bXonXoff = (ulSupported & 0x4) && (ulFr & SERIAL_AUTO_TRANSMIT) && (ulFr & SERIAL_AUTO_RECEIVE);
        if (!bCtsRts && !bDtrDsr && !bXonXoff) {
            PM_TRACE(8, "CVCP::m_SetHandFlow - OUT - Failed- Unsupported flow control type.");
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
        PM_TRACE(8, "CVCP::m_SetHandFlow - OUT - Failed- Error setting handshaking settings.");
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
    InterlockedExchange(&m_alHolds[VcpHoldCts], bOutput && (ulChs & SERIAL_CTS_HANDSHAKE) && !(lMsr & SERIAL_MSR_CTS) ? 1 : 0);
    InterlockedExchange(&m_alHolds[VcpHoldDsr], bOutput && (ulChs & SERIAL_DSR_HANDSHAKE) && !(lMsr & SERIAL_MSR_DSR) ? 2 : 0);
    InterlockedExchange(&m_alHolds[VcpHoldDcd], bOutput && (ulChs & SERIAL_DCD_HANDSHAKE) && !(lMsr & SERIAL_MSR_DCD) ? 4 : 0);

    InterlockedExchange(&m_alHolds[VcpHoldDtrReceive], 0);
    BOOLEAN bDtr = (ulChs & SERIAL_DTR_MASK) != 0;
    if (!VCP_CALL(pISerial, m_DtrCallback, bDtr)) {
        PM_TRACE(8, bDtr ? "CVCP::m_SetHandFlow - OUT - Failed- Error setting DTR to TRUE."
                         : "CVCP::m_SetHandFlow - OUT - Failed- Error setting DTR to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = (UCHAR)(bDtr ? m_ucModemControl | 1 : m_ucModemControl & ~1);
    InterlockedExchange(&m_alHolds[VcpHoldRtsReceive], 0);
    ULONG ulRts = ulFr & SERIAL_RTS_MASK;
    BOOLEAN bRts = ulRts == SERIAL_RTS_CONTROL || ulRts == SERIAL_RTS_HANDSHAKE;
    if (!VCP_CALL(pISerial, m_RtsCallback, bRts)) {
        PM_TRACE(8, bRts ? "CVCP::m_SetHandFlow - OUT - Failed- Error setting RTS to TRUE."
                         : "CVCP::m_SetHandFlow - OUT - Failed- Error setting RTS to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = (UCHAR)(bRts ? m_ucModemControl | 2 : m_ucModemControl & ~2);
    if (!NT_SUCCESS(m_SetXon())) {
        PM_TRACE(8, "CVCP::m_SetHandFlow - OUT - Failed- Error setting Xon.");
        return STATUS_UNSUCCESSFUL;
    }
    PM_TRACE(8, "CVCP::m_SetHandFlow - OUT (Success)");
    return STATUS_SUCCESS;
}

// ---- Modem control lines -------------------------------------------------------------------------

// One line of the modem-control byte: refused while a handshake drives it, no call when it already
// has the wanted state.
NTSTATUS CVCP::m_SetLine(UCHAR ucBit, BOOLEAN bOn, BOOLEAN bDrivenByHandshake, PCSTR pszOperation) {
    PM_TRACE(8, "%s - IN", pszOperation);
    if (bDrivenByHandshake) {
        PM_TRACE(8, "%s - OUT - Invalid parameter", pszOperation);
        return STATUS_INVALID_PARAMETER;
    }
    if (((m_ucModemControl & ucBit) != 0) == (bOn != 0))
        return STATUS_SUCCESS;
    ISerial* pISerial = m_GetRecordOrAssert(pszOperation);
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    BOOLEAN bDone = ucBit == 1 ? VCP_CALL(pISerial, m_DtrCallback, bOn) : VCP_CALL(pISerial, m_RtsCallback, bOn);
    if (!bDone) {
        PM_TRACE(8, "%s - OUT - Failed- Error setting %s to %s.", pszOperation, ucBit == 1 ? "DTR" : "RTS",
                 bOn ? "TRUE" : "FALSE");
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = (UCHAR)(bOn ? m_ucModemControl | ucBit : m_ucModemControl & ~ucBit);
    PM_TRACE(8, "%s - OUT (Success)", pszOperation);
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
    PM_TRACE(8, "CVCP::m_SetModemControl - IN");
    if (!pulValue)
        return STATUS_INVALID_PARAMETER;
    ULONG ulValue = *pulValue;
    if (!NT_SUCCESS(ulValue & 2 ? m_SetRts() : m_ClearRts())) {
        PM_TRACE(8, "CVCP::m_SetModemControl - OUT - Failed-> Error setting RTS.");
        return STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(ulValue & 1 ? m_SetDtr() : m_ClearDtr())) {
        PM_TRACE(8, "CVCP::m_SetModemControl - OUT - Failed-> Error setting DTR.");
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = (UCHAR)ulValue;
    PM_TRACE(8, "CVCP::m_SetModemControl - OUT (Success)");
    return STATUS_SUCCESS;
}

// ---- Break, XON/XOFF, immediate character, reset, purge -------------------------------------------

NTSTATUS CVCP::m_SetBreakOn() {
    PM_TRACE(8, "CVCP::m_SetBreakOn - IN");
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetBreakOn");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_SetBreakCallback, (BOOLEAN)TRUE)) {
        PM_TRACE(8, "CVCP::m_SetBreakOn - OUT - Failed- Error setting Break to TRUE.");
        return STATUS_UNSUCCESSFUL;
    }
    InterlockedExchange(&m_alHolds[VcpHoldBreak], 0x10);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetBreakOff() {
    PM_TRACE(8, "CVCP::m_SetBreakOff - IN");
    if (!InterlockedExchange(&m_alHolds[VcpHoldBreak], 0))
        return STATUS_SUCCESS;
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetBreakOff");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_SetBreakCallback, (BOOLEAN)FALSE)) {
        PM_TRACE(8, "CVCP::m_SetBreakOff - OUT - Failed- Error setting Break to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetXon() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetXon");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    BOOLEAN bDone = VCP_CALL(pISerial, m_PretendXoffReceivedCallback, (BOOLEAN)FALSE);
    InterlockedExchange(&m_alHolds[VcpHoldXoffReceived], 0);
    PM_TRACE(8, "CVCP::m_SetXon - OUT (%s)", bDone ? "Success" : "Failed");
    return bDone ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CVCP::m_SetXoff() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetXoff");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    BOOLEAN bDone = VCP_CALL(pISerial, m_PretendXoffReceivedCallback, (BOOLEAN)TRUE);
    InterlockedExchange(&m_alHolds[VcpHoldXoffReceived], 8);
    PM_TRACE(8, "CVCP::m_SetXoff - OUT (%s)", bDone ? "Success" : "Failed");
    return bDone ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CVCP::m_SendImmediateChar(UCHAR ucCharacter) {
    PM_TRACE(8, "CVCP::m_SendImmediateChar - IN");
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SendImmediateChar");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    // Counted before the call: the acknowledgement may come before the call returns.
    InterlockedIncrement(&m_lTransmitPending);
    InterlockedIncrement(&m_lImmediateOutstanding);
    if (!VCP_CALL(pISerial, m_SendImmediateCharacterCallback, ucCharacter)) {
        InterlockedDecrement(&m_lImmediateOutstanding);
        VcpSaturatingSubtract(&m_lTransmitPending, 1);
        PM_TRACE(8, "CVCP::m_SendImmediateChar - OUT - Failed.");
        return STATUS_UNSUCCESSFUL;
    }
    m_bImmediatePending = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_ResetDevice() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_ResetDevice");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_PurgeCallback, (BOOLEAN)TRUE, (BOOLEAN)TRUE)) {
        PM_TRACE(8, "CVCP::m_ResetDevice - OUT - Fail-> Error calling m_Purge.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_Purge(ULONG ulMask) {
    PM_TRACE(8, "CVCP::m_Purge - IN - Mask:0x%X", ulMask);
    if (ulMask == 0 || (ulMask & ~0xFu)) {
        PM_TRACE(8, "CVCP::m_Purge - OUT - Invalid parameter");
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
        PM_TRACE(8, "CVCP::m_Purge - OUT - Fail-> Error calling m_Purge.");
    }
    if ((ulMask & SERIAL_PURGE_RXCLEAR) && pReadQueue)
        pReadQueue->m_Purge();
    return STATUS_SUCCESS;
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
    PM_TRACE(8, "CVCP::m_SetQueueSize - OUT (Success) - %u", ulSize);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetLsrMstInsert(UCHAR ucEscapeChar) {
    PM_TRACE(8, "CVCP::m_SetLsrMstInsert - IN");
    if (ucEscapeChar && (ucEscapeChar == m_SpecialChars.XonChar || ucEscapeChar == m_SpecialChars.XoffChar ||
                         (m_HandFlow.FlowReplace & SERIAL_ERROR_CHAR))) {
        PM_TRACE(8, "CVCP::m_SetLsrMstInsert - OUT - Invalid parameter");
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
        PM_TRACE(8, "CVCP::m_SetLsrMstInsert - OUT - Failed- Error setting Lsr Mst Insert.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

BOOLEAN CVCP::m_SetTriggerLevels(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetTriggerLevels");
    if (!pISerial)
        return FALSE;
    return VCP_CALL(pISerial, m_TriggerLevelsCallback, ucTransmit, ucReceive, ucFlowControl);
}

BOOLEAN CVCP::m_SetFifoEnable(BOOLEAN bEnable) {
    if (!m_pSettings)
        return FALSE;
    UCHAR ucTransmit = (UCHAR)m_pSettings->m_ulTransmitTriggerLevel;
    UCHAR ucFlowControl = (UCHAR)m_pSettings->m_ulFlowControlTriggerLevel;
    if (bEnable && m_ucSavedReceiveLevel) {
        BOOLEAN bDone = m_SetTriggerLevels(ucTransmit, m_ucSavedReceiveLevel, ucFlowControl);
        m_ucSavedReceiveLevel = 0;
        return bDone;
    }
    if (!bEnable && !m_ucSavedReceiveLevel) {
        // A saved level of 0 means none; keep at least 1 so that enabling finds it.
        UCHAR ucSaved = (UCHAR)m_pSettings->m_ulReceiveTriggerLevel;
        m_ucSavedReceiveLevel = ucSaved ? ucSaved : 1;
        return m_SetTriggerLevels(ucTransmit, 1, ucFlowControl);
    }
    return TRUE;
}

NTSTATUS CVCP::m_SetFifoControl(UCHAR ucFifoControl) {
    return m_SetFifoEnable((BOOLEAN)(ucFifoControl & 1)) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---- Properties, capabilities ------------------------------------------------------------------

ULONG CVCP::m_GetPortType() {
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    return pISerial && pISerial->m_bDuplexOperation ? 1 : 0;
}

NTSTATUS CVCP::m_GetPortProperties(SERIAL_COMMPROP* pCommProp) {
    if (!pCommProp) {
        PM_TRACE(8, "CVCP::m_GetPortProperties - OUT - Fail-> pCommProp is NULL.");
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pSettings) {
        PM_ASSERTION_LINE(g_szVcpSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(pCommProp, sizeof(*pCommProp));
    pCommProp->PacketLength = sizeof(SERIAL_COMMPROP);
    pCommProp->PacketVersion = 2;
    pCommProp->ServiceMask = 1;
    pCommProp->MaxBaud = HVUVCP_BAUD_ANY_RATE;
    pCommProp->ProvSubType = m_GetPortType() == 1 ? 3 : 1;
    pCommProp->ProvCapabilities = 0xFF;
    pCommProp->SettableParams = 0x7F;
    pCommProp->SettableBaud = m_pSettings->m_ulSupportedBaudRates;
    pCommProp->SettableData = (USHORT)m_pSettings->m_ulSupportedDataBits;
    pCommProp->SettableStopParity = (USHORT)(m_pSettings->m_ulSupportedStopBits | m_pSettings->m_ulSupportedParities);
    pCommProp->CurrentRxQueue = m_ulQueueSize;
    return STATUS_SUCCESS;
}

BOOLEAN CVCP::m_IsBaudRateSettable(ULONG ulBaudRate) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_IsBaudRateSettable");
    return pISerial ? VCP_CALL(pISerial, m_IsBaudRateSupportedCallback, ulBaudRate) : FALSE;
}

BOOLEAN CVCP::m_CheckSupportedBaudRates() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_CheckSupportedBaudRates");
    if (!pISerial || !m_pSettings)
        return FALSE;
    CVcpParameters& set = *m_pSettings;
    const ULONG ulKnown = 0x1007FFFF;
    ULONG ulMask = 0;
    BOOLEAN bChanged = FALSE;
    if (pISerial->m_ulSupportedBaudRates == HVISERIAL_ASK_EACH_BAUD_RATE) {
        for (const VcpBaudRateBit& entry : g_aVcpBaudRateBits)
            if (entry.m_ulRate >= set.m_ulMinBaudRate && entry.m_ulRate <= set.m_ulMaxBaudRate &&
                VCP_CALL(pISerial, m_IsBaudRateSupportedCallback, entry.m_ulRate))
                ulMask |= entry.m_ulBit;
        bChanged = ulMask != set.m_ulSupportedBaudRates;
    } else {
        ulMask = pISerial->m_ulSupportedBaudRates;
        ULONG ulHighest = 0, ulLowest = MAXULONG;
        for (const VcpBaudRateBit& entry : g_aVcpBaudRateBits)
            if ((ulMask & entry.m_ulBit) && VCP_CALL(pISerial, m_IsBaudRateSupportedCallback, entry.m_ulRate)) {
                ulHighest = entry.m_ulRate > ulHighest ? entry.m_ulRate : ulHighest;
                ulLowest = entry.m_ulRate < ulLowest ? entry.m_ulRate : ulLowest;
            }
        if ((ulMask & 0x1) && VCP_CALL(pISerial, m_IsBaudRateSupportedCallback, (ULONG)60))
            ulLowest = 60;
        if (ulHighest && ulHighest != set.m_ulMaxBaudRate) {
            set.m_ulMaxBaudRate = ulHighest;
            bChanged = TRUE;
        }
        if (ulLowest != MAXULONG && ulLowest != set.m_ulMinBaudRate) {
            set.m_ulMinBaudRate = ulLowest;
            bChanged = TRUE;
        }
        if ((ulMask & ulKnown) && ulMask != set.m_ulSupportedBaudRates)
            bChanged = TRUE;
    }
    if (ulMask & ulKnown)
        set.m_ulSupportedBaudRates = ulMask;
    return bChanged;
}

BOOLEAN CVCP::m_CheckSupportedSignals() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_CheckSupportedSignals");
    if (!pISerial || !m_pSettings)
        return FALSE;
    ULONG CVcpParameters::*const apMembers[HVISERIAL_SIGNALS] = {
        &CVcpParameters::m_ulCtsSupported, &CVcpParameters::m_ulRtsSupported, &CVcpParameters::m_ulDsrSupported,
        &CVcpParameters::m_ulDtrSupported, &CVcpParameters::m_ulDcdSupported, &CVcpParameters::m_ulRiSupported};
    BOOLEAN bChanged = FALSE;
    for (ULONG i = 0; i < HVISERIAL_SIGNALS; ++i) {
        ULONG ulValue = pISerial->m_abSignals[i];
        if (m_pSettings->*apMembers[i] != ulValue) {
            m_pSettings->*apMembers[i] = ulValue;
            bChanged = TRUE;
        }
    }
    return bChanged;
}

NTSTATUS CVCP::m_SetDuplexMode(ULONG ulMode, UCHAR ucCtsTrue) {
    PM_TRACE(8, "CVCP::m_DuplexModeSettings - IN");
    if (!m_pSettings) {
        PM_ASSERTION_LINE(g_szVcpSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG ulPortType = m_GetPortType();
    if (ulMode && ulPortType == 0) {
        PM_TRACE(8, "CVCP::m_DuplexModeSettings - OUT - Fail->DUPLEX_MODE_%u set on 232 device.", ulMode);
        return STATUS_UNSUCCESSFUL;
    }
    if (!ulMode && ulPortType == 1) {
        PM_TRACE(8, "CVCP::m_DuplexModeSettings - OUT - Fail->DUPLEX_MODE_NONE set on 422/485 device.");
        return STATUS_UNSUCCESSFUL;
    }
    if (ulMode > 5)
        return STATUS_INVALID_PARAMETER;
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_DuplexModeSettings");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_DuplexModeSettingsCallback, ulMode, (BOOLEAN)(ucCtsTrue != 0))) {
        PM_TRACE(8, "CVCP::m_DuplexModeSettings - OUT - Fail->Error setting duplex mode.");
        return STATUS_UNSUCCESSFUL;
    }
    m_pSettings->m_ulDuplexMode = ulMode;
    m_pSettings->m_ul422485CtsTrue = ucCtsTrue;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetInternalLoopBackMode(UCHAR ucState) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetInternalLoopBackMode");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_InternalLoopbackCallback, (BOOLEAN)ucState)) {
        PM_TRACE(8, "CVCP::m_SetInternalLoopBackMode - OUT - Fail->Error setting Internal Loopback mode.");
        return STATUS_NOT_IMPLEMENTED;
    }
    m_ucLoopback = ucState;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_ReadEeprom(ULONG ulOffset, ULONG ulLength, PUCHAR pucBuffer) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_ReadEeprom");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!pISerial->m_bReadEepromOperation) {
        PM_TRACE(8, "CVCP::m_ReadEeprom - OUT - Fail -> Reading Eeprom not supported.");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (!VCP_CALL(pISerial, m_ReadEepromCallback, ulOffset, ulLength, pucBuffer)) {
        PM_TRACE(8, "CVCP::m_ReadEeprom - OUT - Fail -> Error reading Eeprom.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_WriteEeprom(ULONG ulOffset, ULONG ulLength, const UCHAR* pucBytes) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_WriteEeprom");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!pISerial->m_bWriteEepromOperation) {
        PM_TRACE(8, "CVCP::m_WriteEeprom - OUT - Fail -> Writing Eeprom not supported.");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (!VCP_CALL(pISerial, m_WriteEepromCallback, ulOffset, ulLength, pucBytes)) {
        PM_TRACE(8, "CVCP::m_WriteEeprom - OUT - Fail -> Error writing Eeprom.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// ---- Internal settings and wait-wake -----------------------------------------------------------

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
    PM_TRACE(8, "CVCP::m_DoWaitWake - OUT - Wait-wake is not supported.");
    return STATUS_NOT_SUPPORTED;
}

// ---- For the dispatch ---------------------------------------------------------------------------

BOOLEAN CVCP::m_IsErrorAbortState() {
    if (!(m_HandFlow.ControlHandShake & SERIAL_ERROR_ABORT))
        return FALSE;
    return InterlockedCompareExchange(&m_alErrors[0], 0, 0) != 0 || InterlockedCompareExchange(&m_alErrors[1], 0, 0) != 0;
}

void CVCP::m_ClearStats() {
    for (ULONG* pulCounter : {&m_PerfStats.ReceivedCount, &m_PerfStats.TransmittedCount, &m_PerfStats.FrameErrorCount,
                              &m_PerfStats.SerialOverrunErrorCount, &m_PerfStats.BufferOverrunErrorCount,
                              &m_PerfStats.ParityErrorCount})
        InterlockedExchange(reinterpret_cast<LONG volatile*>(pulCounter), 0);
}
