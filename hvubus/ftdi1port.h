// The bus driver's serial port object for FTDI chips: one per port of the USB device, created by
// IOCTL_CREATE_HVISERIAL and reached by the port driver only through its interface record. Each
// control operation is one vendor request on the control pipe; data moves through the per-port
// transport's bulk pipes.
//
// Threads: control operations come in the port driver's threads at PASSIVE_LEVEL; received data
// arrives in the receive completion (up to DISPATCH_LEVEL); one transmit thread makes the bulk
// writes; the port worker calls the port driver back at PASSIVE_LEVEL in arrival order; the restore
// worker finishes a power-up restore. The port spin lock guards the pending list, the counts and
// the hold flags; no callback is made with it held. The settings mutex keeps the control
// operations that read and rewrite the stored chip settings one at a time.
#pragma once

#include <wdm.h>

#include <pmbuffer.h>
#include <pmfunctionaldevice.h>
#include <pmspinlock.h>
#include <pmworkerthread.h>

#include "ftdi1portrules.h"
#include "hvubusport.h"
#include "usbtransport.h"

// FTDI vendor requests.
#define FTDI_RESET 0
#define FTDI_MODEM_CTRL 1
#define FTDI_SET_FLOW_CTRL 2
#define FTDI_SET_BAUD_RATE 3
#define FTDI_SET_DATA 4
#define FTDI_GET_MODEM_STATUS 5
#define FTDI_SET_EVENT_CHAR 6
#define FTDI_SET_ERROR_CHAR 7
#define FTDI_SET_LATENCY_TIMER 9
#define FTDI_READ_LATENCY_TIMER 10

// wValue of FTDI_RESET.
#define FTDI_RESET_BOTH 0
#define FTDI_PURGE_TRANSMIT 1
#define FTDI_PURGE_RECEIVE 2

// The flow-control index flags, and the word of a port whose handshaking was never set.
#define FTDI_FLOW_RTS_CTS 0x0100
#define FTDI_FLOW_DTR_DSR 0x0200
#define FTDI_FLOW_XON_XOFF 0x0400
#define FTDI_FLOW_NOT_SET 0xFFFF

// Modem status byte (the low nibble 1 marks a valid packet) and line status byte.
#define FTDI_MS_VALID_MASK 0x0F
#define FTDI_MS_VALID 0x01
#define FTDI_MS_RI_TRAILING_EDGE 0x04
#define FTDI_MS_CTS 0x10
#define FTDI_MS_DSR 0x20
#define FTDI_MS_RI 0x40
#define FTDI_MS_DCD 0x80
// The modem signals of the status byte (the low nibble is the packet marker).
#define FTDI_MS_SIGNALS (FTDI_MS_CTS | FTDI_MS_DSR | FTDI_MS_RI | FTDI_MS_DCD)
#define FTDI_LS_DATA_READY 0x01
#define FTDI_LS_OVERRUN 0x02
#define FTDI_LS_PARITY 0x04
#define FTDI_LS_FRAMING 0x08
#define FTDI_LS_BREAK 0x10
#define FTDI_LS_THRE 0x20
#define FTDI_LS_TEMT 0x40
#define FTDI_LS_FIFO_ERROR 0x80
// The line-status bits that report a receive error or break.
#define FTDI_LS_ERRORS (FTDI_LS_OVERRUN | FTDI_LS_PARITY | FTDI_LS_FRAMING | FTDI_LS_BREAK | FTDI_LS_FIFO_ERROR)

// Duplex modes of an RS-422/485 port.
#define FTDI_DUPLEX_FULL 1
#define FTDI_DUPLEX_HALF 2

// The transmit transfer size: the port driver's first transmit credit.
#define FTDI_TX_TRANSFER_SIZE 4096

class CFTDI1Port : public CHvUBusPort {
public:
    CFTDI1Port(CPmFunctionalDevice* pBusDevice, ULONG ulPortNumber);
    ~CFTDI1Port() override;

    BOOLEAN m_Init();
    void m_DeInit() override;
    // Builds the record once; NULL when it exists already or the version is not 4.
    ISerial* m_CreateInterface_ISerial(ULONG ulVersion, BOOLEAN bDuplex);

    // The record's operations.
    BOOLEAN m_ConnectCallback() override;
    BOOLEAN m_DisconnectCallback() override;
    BOOLEAN m_PortWriteCallback(CPmBuffer* pBuffer) override;
    BOOLEAN m_RtsCallback(BOOLEAN bRts) override;
    BOOLEAN m_DtrCallback(BOOLEAN bDtr) override;
    BOOLEAN m_CommSettingsCallback(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits) override;
    BOOLEAN m_BaudrateCallback(ULONG ulBaudRate) override;
    BOOLEAN m_TriggerLevelsCallback(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl) override;
    BOOLEAN m_HandshakingSettingsCallback(BOOLEAN bCtsOutput, BOOLEAN bRtsInput, BOOLEAN bDsrOutput, BOOLEAN bDtrInput,
                                          BOOLEAN bDsrSensitivity, BOOLEAN bRtsToggle, BOOLEAN bXonXoffOutput,
                                          BOOLEAN bXonXoffInput, BOOLEAN bXoffContinue) override;
    BOOLEAN m_InternalLoopbackCallback(BOOLEAN bLoopback) override;
    BOOLEAN m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue) override;
    BOOLEAN m_ReadEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucBuffer) override;
    BOOLEAN m_WriteEepromCallback(ULONG ulOffset, ULONG ulLength, const UCHAR* pucBytes) override;
    BOOLEAN m_SetBreakCallback(BOOLEAN bBreakOn) override;
    BOOLEAN m_PurgeCallback(BOOLEAN bTransmit, BOOLEAN bReceive) override;
    BOOLEAN m_IsBaudRateSupportedCallback(ULONG ulBaudRate) override;
    BOOLEAN m_SetSpecialCharactersCallback(UCHAR ucBreak, UCHAR ucEof, UCHAR ucError, UCHAR ucEvent, UCHAR ucXon,
                                           UCHAR ucXoff) override;
    BOOLEAN m_LsrMstInsertCallback(UCHAR ucEscapeCharacter) override;
    BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN bXoffReceived) override;
    BOOLEAN m_SendImmediateCharacterCallback(UCHAR ucCharacter) override;
    BOOLEAN m_GetFifoSizesCallback(PULONG pulTransmitFifoSize, PULONG pulReceiveFifoSize) override;
    BOOLEAN m_UpdateModemStatus() override;
    BOOLEAN m_SendXonXoffCallback(BOOLEAN bXoff) override;

    // Power.
    BOOLEAN m_SaveDeviceState() override;
    BOOLEAN m_RestoreDeviceState() override;

    BOOLEAN m_GetLatencyTimerValue(PULONG pulLatency);
    BOOLEAN m_SetRxTransferSize(ULONG ulSize);
    ULONG m_GetRxTransferSize() const { return m_ulRxTransferSize; }
    BOOLEAN m_SetTxTransferSize(ULONG ulSize);
    ULONG m_GetTxTransferSize() const { return m_ulTxTransferSize; }
    ULONG m_GetRxFifoSize() const { return m_ulRxFifoSize; }
    ULONG m_GetTxFifoSize() const { return m_ulTxFifoSize; }

    // The bus settings.
    ULONG m_GetPortNumber() override { return m_ulPortNumber; }
    void m_SetPolicyType(ULONG ulPolicyType) override { m_Latency.ulPolicyType = ulPolicyType; }
    void m_SetMaximumLatency(ULONG ulMaximumLatency) override { m_Latency.ulMaximumLatency = ulMaximumLatency; }
    void m_SetMaximumLatencyFineTuning(ULONG ulFineTuning) override {
        m_Latency.ulMaximumLatencyFineTuning = ulFineTuning;
    }
    void m_SetLowCpuUsageFineTuning(ULONG ulFineTuning) override { m_Latency.ulLowCpuUsageFineTuning = ulFineTuning; }
    void m_SetRxFifoSize(ULONG ulRxFifoSize) override { m_ulRxFifoSize = ulRxFifoSize; }
    void m_SetTxFifoSize(ULONG ulTxFifoSize) override { m_ulTxFifoSize = ulTxFifoSize; }

    void m_GetWmiTiming(HvUBusWmiTiming* pTiming) override;
    void m_GetWmiPortState(HvUBusWmiPortState* pState) override;

    // The latency timer and receive transfer size for a baud rate (applied on change only).
    BOOLEAN m_SetLatencyAndRxTransferSize(ULONG ulBaudRate);
    BOOLEAN m_SetTransportLatency(ULONG ulLatency);

    // What the port is; read by the bus driver and the tests.
    USHORT m_GetPortIndex() const { return m_unPortIndex; }
    BOOLEAN m_IsDuplexPort() const { return m_bDuplexPort; }

private:
    struct PendingEntry {
        CPmBuffer* m_pBuffer;
        UCHAR m_ucEndPointKey;
        PendingEntry* m_pNext;
    };
    // What the port worker hands to the port driver, in arrival order.
    struct WorkerEvent {
        ULONG m_ulKind;
        ULONG m_ulValue;
        CPmBuffer* m_pBuffer;
        KEVENT* m_pkDone;
    };

    void m_ReadPortIndex();
    BOOLEAN m_Request(UCHAR ucRequest, USHORT unValue, USHORT unIndex);
    USHORT m_Index(USHORT unFlags = 0) const { return (USHORT)(m_unPortIndex | unFlags); }
    USHORT m_BaudIndex(UCHAR ucFractionHigh) const;
    BOOLEAN m_HalfDuplex() const { return m_bDuplexPort && m_ulDuplexMode == FTDI_DUPLEX_HALF; }
    BOOLEAN m_ReadModemStatus();
    // The chip's modem-status and line-status bytes, asked by a control request.
    BOOLEAN m_ReadStatusBytes(PUCHAR pucModem, PUCHAR pucLine);
    // Returns once the chip's transmitter is empty after a write of that many bytes, or after a
    // bound of twenty character times a byte when it never says so.
    void m_WaitTransmitterEmpty(ULONG ulWritten);
    void m_NotifyModemStatus(UCHAR ucModemStatus);
    void m_NotifyLineStatus(UCHAR ucLineStatus);
    void m_UpdateEarlyAcknowledgeLimit();
    void m_UndoConnect(BOOLEAN bThread);
    void m_ResetOpenState();

    // Transmit.
    BOOLEAN m_SendData(CPmBuffer* pBuffer, UCHAR ucEndPointKey, BOOLEAN bAtFront);
    BOOLEAN m_NotifyDataWritten(ULONG ulCount, BOOLEAN bFromThread);
    void m_SetTransmitHold(BOOLEAN bAllow);
    void m_CheckTransmitHold();
    BOOLEAN m_TransmitAllowed() const;
    void m_SendDataToDevice();
    void m_FlushPendingList();
    BOOLEAN m_WriteDirect(UCHAR ucCharacter);
    void m_LinkPending(PendingEntry* pEntry, BOOLEAN bAtFront);
    PendingEntry* m_UnlinkPending();
    static PM_THREAD_FUNCTION sm_SendDataToDevice;

    // Receive.
    static HV_RECEIVE_CALLBACK sm_DataArrivedCallback;
    BOOLEAN m_DataArrivedCallback(CPmBuffer* pBuffer);
    // The receive path's steps.
    enum ReceivedKind { ReceivedInvalid, ReceivedStatusOnly, ReceivedData };
    BOOLEAN m_TakePacketStatus(UCHAR ucModem, UCHAR ucLine, BOOLEAN bFirst, ULONG ulPacket);
    ReceivedKind m_GatherPackets(PUCHAR pucData, ULONG ulLength, PULONG pulGathered);
    void m_TakeFlowCharacters(const UCHAR* pucData, ULONG ulLength);
    BOOLEAN m_HandOverReceived(CPmBuffer* pBuffer, PBOOLEAN pbResult);
    BOOLEAN m_AskReceiveSpace(ULONG ulIncoming, PULONG pulFree);
    void m_ResumeReceive();
    void m_PauseReceive();

    // The port worker.
    BOOLEAN m_Queue(ULONG ulKind, ULONG ulValue, CPmBuffer* pBuffer);
    void m_FlushWorker(CPmDeviceWorker* pWorker);
    static PM_WORK_FUNCTION sm_WorkerEvent;
    void m_RunWorkerEvent(WorkerEvent* pEvent);
    static PM_WORK_FUNCTION sm_DelayedRestore;
    void m_DelayedRestore(ULONG ulGeneration);

    CPmFunctionalDevice* m_pBusDevice;
    ULONG m_ulPortNumber;
    CUSBTransport* m_pUSBTransport;
    volatile BOOLEAN m_bOpen;
    volatile BOOLEAN m_bInProgress;
    // Counts opens, so that a delayed restore of an earlier open does nothing.
    volatile ULONG m_ulOpenGeneration;
    USHORT m_unPortIndex;
    BOOLEAN m_bMultiInterface;
    BOOLEAN m_bDuplexPort;

    CPmDeviceWorker* m_pPortWorker;
    CPmDeviceWorker* m_pRestoreWorker;
    CPmWorkerThread m_TransmitThread;
    KEVENT m_kTransmitEvent;
    PVOID m_apvTransmitWaitObjects[1];
    KEVENT m_kTransmitEndedEvent;
    KEVENT m_kRestoreCancelEvent;

    CPmSpinLock m_SpinLock;
    KMUTEX m_CallbackMutex;
    KMUTEX m_DataWrittenMutex;
    KMUTEX m_SettingsMutex;
    CPmSpinLock m_ReceivePauseLock;

    // Buffers waiting for the transmit thread, in sending order.
    PendingEntry* m_pPendingHead;
    PendingEntry* m_pPendingTail;
    ULONG m_ulPendingBytes;
    BOOLEAN m_bTransmitHeld;
    BOOLEAN m_bTransmitBusy;
    BOOLEAN m_bPowerHold;
    // Set while a close takes the port down: nothing releases the transmitter then.
    BOOLEAN m_bClosing;
    // Bulk writes in a row that moved nothing.
    ULONG m_ulFailedWrites;

    ULONG m_ulBytesTransmitted;
    ULONG m_ulBytesReceived;
    volatile LONG m_lPendingReadHandOvers;
    BOOLEAN m_bReceivePaused;
    BOOLEAN m_bReadHandOverPending;
    BOOLEAN m_bReceiveLow;

    ULONG m_ulBaudRate;
    USHORT m_unBaudDivisor;
    UCHAR m_ucFractionHigh;
    USHORT m_unLineWord;
    ULONG m_ulDataBits;
    ULONG m_ulParity;
    ULONG m_ulStopBits;
    BOOLEAN m_bBreak;
    USHORT m_unModemControl;
    USHORT m_unFlowControl;
    UCHAR m_ucXon;
    UCHAR m_ucXoff;
    USHORT m_unErrorCharacter;
    USHORT m_unEventCharacter;

    BOOLEAN m_bCtsOutput, m_bRtsInput, m_bDsrOutput, m_bDtrInput, m_bDsrSensitivity, m_bRtsToggle;
    BOOLEAN m_bXonXoffOutput, m_bXonXoffInput, m_bXoffContinue;
    BOOLEAN m_bXoffSent;
    BOOLEAN m_bXoffReceived;

    UCHAR m_ucLastModemStatus;
    UCHAR m_ucLastLineStatus;

    ULONG m_ulLatency;
    ULONG m_ulRxTransferSize;
    ULONG m_ulTxTransferSize;
    UCHAR m_ucTransmitTrigger;
    UCHAR m_ucReceiveTrigger;
    FtdiLatencySettings m_Latency;
    ULONG m_ulRxFifoSize;
    ULONG m_ulTxFifoSize;
    ULONG m_ulDuplexMode;

    BOOLEAN m_bEarlyAcknowledge;
    ULONG m_ulEarlyAcknowledgeLimit;
    ULONG m_ulEarlyAcknowledged;

    // Timing for WMI (ms of machine time).
    ULONG m_ulLastReceiveTime;
    ULONG m_ulHandOverStartTime;
    ULONG m_ulHandOverEndTime;
};
