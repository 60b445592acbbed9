// The port object of one COM port: the serial state an application sets and reads, turned into
// operations of the bus driver's record; and the data path between that record and the port's
// read, write and wait-on-mask queues.
#pragma once

#include <wdm.h>

#include <ntddser.h>

#include <hviserial.h>
#include <pmbuffer.h>
#include <pmcontrolqueue.h>
#include <pmreadqueuecsq.h>
#include <pmworkerthread.h>

#include "hvuvcpusermodeinterface.h"
#include "vcpbusinterface.h"

class CPmFunctionalDevice;

// Receive queue sizes by system size.
#define VCP_QUEUE_SIZE_SMALL 512
#define VCP_QUEUE_SIZE_MEDIUM 4096
#define VCP_QUEUE_SIZE_LARGE 16384
// The largest receive queue an application may ask for: the held data is pool memory.
#define VCP_QUEUE_SIZE_MAX (16u * 1024 * 1024)

// Hold flags.
enum VcpHold {
    VcpHoldCts = 0,
    VcpHoldDsr,
    VcpHoldDcd,
    VcpHoldBreak,
    VcpHoldXoffReceived,
    VcpHoldDtrReceive,
    VcpHoldDsrSensitivity,
    VcpHoldRtsReceive,
    VcpHoldXoffSent,
    VcpHolds
};

// The value each hold flag stores when set, by VcpHold.
inline constexpr LONG g_alVcpHoldValues[VcpHolds] = {
    1,    // CTS
    2,    // DSR
    4,    // DCD
    0x10, // break
    8,    // XOFF received
    1,    // DTR receive
    8,    // DSR sensitivity
    4,    // RTS receive
    2,    // XOFF sent
};

// The state WMI reads of the lines and holds.
struct VcpLineAndHoldState {
    UCHAR m_ucModemControl;
    UCHAR m_ucModemStatus;
    UCHAR m_ucLineStatus;
    ULONG m_ulTransmitHolds; // SERIAL_TX_WAITING_* bits
    ULONG m_ulReceiveHolds;  // SERIAL_RX_WAITING_FOR_DSR, SERIAL_TX_WAITING_XOFF_SENT
    ULONG m_ulWaitMask;
};

// What the port object and its character-time arithmetic share. Created with new (pool type) and
// deleted with delete, as every framework object.
class CVcpBase : public CPmObject, public CVcpCallbackSink {
public:
    // SERIAL_LINE_CONTROL order.
    UCHAR m_ucStopBits;
    UCHAR m_ucParity;
    UCHAR m_ucWordLength;
    ULONG m_ulBaudRate;

    CVcpBase();

    // One character on the line in 100 ns units (start and stop bits, parity), at least 1; 0 baud
    // counts as the slowest rate so that nothing divides by it.
    ULONGLONG m_GetCharTime() const;
    // Line settings from the settings set: baud rate, word length, parity, stop bits and the
    // handflow masks of its FlowControl (pulControlHandShake/pulFlowReplace untouched for an
    // unknown kind).
    void m_LoadLineSettings(const CVcpParameters& set, PULONG pulControlHandShake, PULONG pulFlowReplace);
    // The parity of the set (0..4), 0 for anything else.
    static UCHAR m_ReadParity(ULONG ulParity);
    // The handflow masks of a FlowControl value; FALSE for an unknown value.
    static BOOLEAN m_FlowControlMasks(ULONG ulFlowControl, PULONG pulControlHandShake, PULONG pulFlowReplace);
};

class CVCP : public CVcpBase {
public:
    // Set by the driver class at start and on every applied user-mode write.
    CHvUVcpUserModeInterface* m_pSettings;
    BOOLEAN m_bConnected;
    BOOLEAN m_bSettingsLoaded;
    SERIAL_HANDFLOW m_HandFlow;
    SERIAL_CHARS m_SpecialChars;
    SERIAL_TIMEOUTS m_Timeouts;
    ULONG m_ulQueueSize;
    ULONG m_ulMinimumQueueSize;
    ULONG m_ul80PercentLevel;
    ULONG m_ulEffectiveXonLevel;
    ULONG m_ulEffectiveXoffLevel;
    SERIALPERF_STATS m_PerfStats;
    // Microseconds the last received buffer took.
    ULONG m_ulLastReadTime;
    // Bit 0 DTR, bit 1 RTS.
    UCHAR m_ucModemControl;
    BOOLEAN m_bImmediatePending;
    UCHAR m_ucLoopback;
    // Read and written interlocked: the read path and the read queue's notification both use it.
    CHAR volatile m_bOverflow;
    LONG volatile m_lTransmitPending;
    PIRP m_pWaitWakeIrp;
    UCHAR m_ucSavedReceiveLevel;
    LONG volatile m_lLineStatus;
    LONG volatile m_lModemStatus;
    LONG volatile m_alHolds[VcpHolds];
    // The first collects line errors, the second queue overruns (SERIAL_ERROR_* bits).
    LONG volatile m_alErrors[2];
    // 0: insertion off.
    LONG volatile m_lEscapeChar;
    CVcpBusInterface m_BusInterface;
    CPmFunctionalDevice* m_pFunctionalDevice;
    ULONG m_ulPortNumber;
    CPmControlQueue m_WaitMask;
    CPmWorkerThread* m_pExecutionOnPassiveLevel;
    // Immediate characters handed down whose acknowledgement has not come yet.
    LONG volatile m_lImmediateOutstanding;
    // Flow work posted and not yet done: VCP_FLOW_OFF_POSTED, VCP_FLOW_ON_POSTED.
    LONG volatile m_lFlowWorkPosted;
    // The settings last accepted, to put back when a written set is refused.
    CVcpParameters m_AcceptedSettings;
    BOOLEAN m_bHaveAcceptedSettings;

    CVCP();
    ~CVCP() override;
    CVCP(const CVCP&) = delete;
    CVCP& operator=(const CVCP&) = delete;

    virtual BOOLEAN m_Init(CPmFunctionalDevice* pFunctionalDevice, ULONG ulPortNumber);
    virtual BOOLEAN m_DeInit();
    virtual BOOLEAN m_Connect();
    virtual BOOLEAN m_Disconnect();
    virtual NTSTATUS m_SetBaudRate(const SERIAL_BAUD_RATE* pBaudRate);
    virtual NTSTATUS m_SetLineControl(const SERIAL_LINE_CONTROL* pLineControl);
    virtual NTSTATUS m_SetTimeouts(const SERIAL_TIMEOUTS* pTimeouts);
    virtual NTSTATUS m_SetSpecialCharacters(const SERIAL_CHARS* pChars);
    virtual NTSTATUS m_SetHandFlow(const SERIAL_HANDFLOW* pHandFlow);
    virtual NTSTATUS m_ClearDtr();
    virtual NTSTATUS m_SetDtr();
    virtual NTSTATUS m_ClearRts();
    virtual NTSTATUS m_SetRts();
    virtual NTSTATUS m_SetBreakOn();
    virtual NTSTATUS m_SetBreakOff();
    virtual NTSTATUS m_SetModemControl(const ULONG* pulValue);
    virtual NTSTATUS m_SetXon();
    virtual NTSTATUS m_SetXoff();
    virtual NTSTATUS m_ResetDevice();
    virtual NTSTATUS m_SendImmediateChar(UCHAR ucCharacter);
    virtual NTSTATUS m_GetCommStatus(SERIAL_STATUS* pStatus);
    virtual NTSTATUS m_Purge(ULONG ulMask);
    virtual NTSTATUS m_SetQueueSize(const SERIAL_QUEUE_SIZE* pQueueSize);
    virtual NTSTATUS m_SetLsrMstInsert(UCHAR ucEscapeChar);
    virtual NTSTATUS m_SetFifoControl(UCHAR ucFifoControl);
    virtual BOOLEAN m_SetTriggerLevels(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl);
    virtual NTSTATUS m_GetPortProperties(SERIAL_COMMPROP* pCommProp);
    virtual NTSTATUS m_SetDuplexMode(ULONG ulMode, UCHAR ucCtsTrue);
    virtual NTSTATUS m_SetInternalLoopBackMode(UCHAR ucState);
    virtual NTSTATUS m_ReadEeprom(ULONG ulOffset, ULONG ulLength, PUCHAR pucBuffer);
    virtual NTSTATUS m_WriteEeprom(ULONG ulOffset, ULONG ulLength, const UCHAR* pucBytes);
    virtual NTSTATUS m_SetWaitMask(ULONG ulMask);
    virtual NTSTATUS m_GetWaitMask(PULONG pulMask);
    // STATUS_PENDING with the wait-mask queue in *ppControlQueue, which then takes the request.
    virtual NTSTATUS m_WaitOnMask(PVOID pvOutput, ULONG ulOutputLength, PULONG_PTR pulInformation,
                                  CPmControlQueue** ppControlQueue);
    virtual BOOLEAN m_ResolveCurrentEventMask();
    virtual NTSTATUS m_InternalBasicSettings(SERIAL_BASIC_SETTINGS* pSaved);
    virtual NTSTATUS m_RestoreBasicSettings(const SERIAL_BASIC_SETTINGS* pSaved);
    virtual NTSTATUS m_CancelWaitWake();
    virtual NTSTATUS m_DoWaitWake();

    // The bus driver's callbacks.
    BOOLEAN m_Read(CPmBuffer* pBuffer) override;
    BOOLEAN m_LineStatusCallback(BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming, BOOLEAN bBreak,
                                 BOOLEAN bDataReady, BOOLEAN bTransmitHoldingEmpty, BOOLEAN bTransmitterEmpty,
                                 BOOLEAN bReceiveFifoError) override;
    BOOLEAN m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge,
                                  BOOLEAN bDcd) override;
    BOOLEAN m_DataWrittenCallback(ULONG ulCount) override;
    BOOLEAN m_ImmediateCharacterSentCallback() override;
    BOOLEAN m_XoffHoldingCallback(BOOLEAN bHeld) override;
    BOOLEAN m_XoffSentCallback(BOOLEAN bSent) override;
    BOOLEAN m_AvailableReceiveBufferSizeCallback(ULONG ulIncoming, ULONG ulReserve, PULONG pulAvailable) override;
    BOOLEAN m_DataAmountChangedInReadQueue(ULONG ulNewAmount, ULONG ulOldAmount) override;

    // The modem status (MSR bits) after asking the bus driver; 0 when it could not answer.
    ULONG m_GetModemStatus();
    // TRUE when the set's supported baud rates or bounds changed.
    BOOLEAN m_CheckSupportedBaudRates();
    // TRUE when any of the set's six signal values changed.
    BOOLEAN m_CheckSupportedSignals();
    // SupportedDuplexModes from the port's kind; TRUE when it changed.
    BOOLEAN m_CheckSupportedDuplexModes();
    BOOLEAN m_IsBaudRateSettable(ULONG ulBaudRate);
    // HVUVCP_PORT_TYPE_RS422_485 or HVUVCP_PORT_TYPE_RS232.
    ULONG m_GetPortType();
    NTSTATUS m_SetupHandFlowSignal();
    BOOLEAN m_SetFifoEnable(BOOLEAN bEnable);
    // A transmit chunk from the write queue; the record's write operation takes it over.
    BOOLEAN m_Write(CPmBuffer* pChunk);
    void m_SetCommEventsReceived(ULONG ulEvents);
    // Flow off towards the far end (XOFF, DTR, RTS). PASSIVE_LEVEL.
    void m_ExecutionOnDispatchLevelQueueOverflow();
    // Flow on again. PASSIVE_LEVEL.
    void m_ExecutionOnPassiveLevelQueueDrained();
    void m_GetLineAndHoldState(VcpLineAndHoldState* pState);

    // The settings set the port runs with; the driver class calls it at start and after a write.
    void m_SetSettings(CHvUVcpUserModeInterface* pSettings);
    // Remembers the set's values as accepted, or puts the last accepted ones back into it (a
    // written set that was refused); FALSE when there is nothing to put back.
    void m_AcceptSettings();
    BOOLEAN m_RevertSettings();

    // For the dispatch: the error-abort state (SERIAL_ERROR_ABORT and an error recorded).
    BOOLEAN m_IsErrorAbortState();
    void m_ClearStats();

    // The read queue's notification, with the port object as context: the driver class installs it
    // (or calls m_DataAmountChangedInReadQueue from its own) while the port object exists.
    static PM_READ_AMOUNT_CHANGED sm_DataAmountChanged;

private:
    ISerial* m_GetRecordOrAssert(PCSTR pszOperation);
    // Sets (its value) or clears a hold flag; TRUE when it was set before.
    BOOLEAN m_SetHold(VcpHold eHold, BOOLEAN bSet) {
        return InterlockedExchange(&m_alHolds[eHold], bSet ? g_alVcpHoldValues[eHold] : 0) != 0;
    }
    // Sets a hold flag that is clear; FALSE when it was set already.
    BOOLEAN m_TakeHold(VcpHold eHold) {
        return InterlockedCompareExchange(&m_alHolds[eHold], g_alVcpHoldValues[eHold], 0) == 0;
    }
    // The XOFF-received hold and the bus driver's pretend-XOFF, for XON and XOFF.
    NTSTATUS m_PretendXoff(BOOLEAN bXoff, PCSTR pszOperation);
    NTSTATUS m_SetLine(UCHAR ucBit, BOOLEAN bOn, BOOLEAN bDrivenByHandshake, PCSTR pszOperation);
    BOOLEAN m_IsDtrHandshake() const;
    BOOLEAN m_IsRtsDriven() const;
    // A one-byte buffer of a special character for the read queue.
    void m_DeliverCharacter(UCHAR ucCharacter);
    void m_DeliverBytes(const UCHAR* pucBytes, ULONG ulCount);
    // The read path's steps.
    void m_RefuseOverflowedData();
    void m_TakeFlowCharacters(CPmBuffer* pBuffer);
    void m_InsertLineStatus(CPmBuffer* pBuffer, UCHAR ucEscape, BOOLEAN bErrorCharacter);
    BOOLEAN m_TransformReceived(CPmBuffer* pBuffer, BOOLEAN bInsertHere);
    void m_ResetRuntimeState();
    void m_SetQueuesActive(BOOLEAN bActive);
    void m_ErrorAbort();
    void m_RecomputeLevels();
    // The line settings as sent, with the set's Override values in place of the application's.
    void m_SentCommSettings(PULONG pulDataBits, PULONG pulParity, PULONG pulStopBits);
    BOOLEAN m_PostFlowWork(LONG lKind);
    static PM_WORK_FUNCTION sm_FlowOffWork;
    static PM_WORK_FUNCTION sm_FlowOnWork;
    static PM_WORK_FUNCTION sm_ErrorAbortWork;
};
