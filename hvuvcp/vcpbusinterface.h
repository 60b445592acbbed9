// The port object's binding to the bus driver: the record the bus driver builds for the child's
// port, the callbacks the port driver writes into it, and the two internal requests that create
// and release it.
#pragma once

#include <wdm.h>

#include <hviserial.h>
#include <pmbuffer.h>
#include <pmmemorypool.h>

class CPmFunctionalDevice;

// What the bus driver's callbacks reach, in slot order. Slot 10 is called by the port driver
// itself when its read queue's amount changes. Every slot of this base answers FALSE; a buffer
// handed to it is freed, since it changed owner with the call.
class CVcpCallbackSink {
public:
    virtual ~CVcpCallbackSink() {}
    virtual BOOLEAN m_Read(CPmBuffer* pBuffer);
    virtual BOOLEAN m_UnusedCallback();
    virtual BOOLEAN m_LineStatusCallback(BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming, BOOLEAN bBreak,
                                         BOOLEAN bDataReady, BOOLEAN bTransmitHoldingEmpty,
                                         BOOLEAN bTransmitterEmpty, BOOLEAN bReceiveFifoError);
    virtual BOOLEAN m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge,
                                          BOOLEAN bDcd);
    virtual BOOLEAN m_DataWrittenCallback(ULONG ulCount);
    virtual BOOLEAN m_ImmediateCharacterSentCallback();
    virtual BOOLEAN m_XoffHoldingCallback(BOOLEAN bHeld);
    virtual BOOLEAN m_XoffSentCallback(BOOLEAN bSent);
    virtual BOOLEAN m_AvailableReceiveBufferSizeCallback(ULONG ulIncoming, ULONG ulReserve, PULONG pulAvailable);
    virtual BOOLEAN m_DataAmountChangedInReadQueue(ULONG ulNewAmount, ULONG ulOldAmount);
};

// The trampolines whose addresses go into the record, and the record they were written into. The
// record's callback context is the sink.
class CVcpISerialCallbackTable {
public:
    ISerial* m_pISerial;
    HvISerialCallbacks m_Trampolines;

    CVcpISerialCallbackTable();
    // Forgets the record; the bus driver owns it.
    virtual ~CVcpISerialCallbackTable();
    CVcpISerialCallbackTable(const CVcpISerialCallbackTable&) = delete;
    CVcpISerialCallbackTable& operator=(const CVcpISerialCallbackTable&) = delete;

    static HVISERIAL_READ sm_Read;
    static HVISERIAL_CALLBACK sm_Unused;
    static HVISERIAL_LINE_STATUS sm_LineStatus;
    static HVISERIAL_MODEM_STATUS sm_ModemStatus;
    static HVISERIAL_DATA_WRITTEN sm_DataWritten;
    static HVISERIAL_CALLBACK sm_ImmediateCharacterSent;
    static HVISERIAL_FLAG_CALLBACK sm_XoffHolding;
    static HVISERIAL_FLAG_CALLBACK sm_XoffSent;
    static HVISERIAL_RECEIVE_SPACE sm_AvailableReceiveBufferSize;
};

class CVcpBusInterface {
public:
    CVcpCallbackSink* m_pSink;
    CPmFunctionalDevice* m_pFunctionalDevice;
    ULONG m_ulPortNumber;
    CVcpISerialCallbackTable* m_pCallbackTable;

    CVcpBusInterface(CVcpCallbackSink* pSink);
    // Releases a record still bound.
    ~CVcpBusInterface();
    CVcpBusInterface(const CVcpBusInterface&) = delete;
    CVcpBusInterface& operator=(const CVcpBusInterface&) = delete;

    // Asks the bus driver below the functional device for the port's record and writes the
    // callbacks into it. PASSIVE_LEVEL.
    BOOLEAN m_GetISerial(CPmFunctionalDevice* pFunctionalDevice, ULONG ulPortNumber);
    // Hands the record back and drops the callback table; TRUE when the bus driver took it.
    // PASSIVE_LEVEL.
    BOOLEAN m_ReleaseISerial(ULONG ulPortNumber, ISerial* pISerial);

    // The bound record, or NULL.
    ISerial* m_GetRecord() const { return m_pCallbackTable ? m_pCallbackTable->m_pISerial : NULL; }
    BOOLEAN m_IsBound() const { return m_pCallbackTable != NULL; }

private:
    // One synchronous internal request to the device below; the status and the bytes returned.
    NTSTATUS m_SendInternal(ULONG ulControlCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                            ULONG ulOutputLength, PULONG_PTR pulInformation);
};
