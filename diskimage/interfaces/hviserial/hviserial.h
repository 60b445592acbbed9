// The interface record between the bus driver and the port driver. The two drivers are separate
// images; they share this header, the record in kernel memory and the two internal control codes
// that create and release it. Offsets and sizes are part of the interface.
//
// Calling rules:
// - The bus driver builds one record per serial port on IOCTL_CREATE_HVISERIAL and frees it with
//   the port object on IOCTL_RELEASE_HVISERIAL or when the bus device goes away. The port driver
//   never touches the record after the release has returned.
// - The port driver writes the callback context and the nine callbacks once, right after the
//   create and before it calls any operation; they stay unchanged until the release.
// - Operations take the provider (offset 0x008) first and answer TRUE for success. The port driver
//   calls one only when both its pointer and the provider are non-null; a missing one counts as a
//   failure. Control operations run at PASSIVE_LEVEL in the caller's thread; writes come under the
//   port driver's write-queue mutex. Operations may arrive concurrently from several threads.
// - Callbacks take the callback context first. The bus driver calls one only when both its pointer
//   and the context are non-null, and otherwise behaves as if the port driver had not answered.
//   m_Read runs at PASSIVE_LEVEL on the port worker under the port's callback mutex: from inside
//   it the port driver must not call an operation that waits for that worker.
// - Buffers passed through m_PortWriteCallback and m_Read change owner: the receiver frees them
//   through the pool they carry.
#pragma once

#include <pmbuffer.h>
#include <pmdebugmanager.h>
#include <pmmemorypool.h>

#include <stddef.h>

class CISerialProvider;
class ISerial;

// The record version the port driver asks for and the bus driver builds.
#define HVISERIAL_VERSION 4

// Both codes: device type 0x8006, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS.
#define HVISERIAL_CONTROL_CODE(function)                                                                     \
    ((ULONG)CTL_CODE(0x8006, (function), METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS))
#define IOCTL_CREATE_HVISERIAL HVISERIAL_CONTROL_CODE(0x801)
#define IOCTL_RELEASE_HVISERIAL HVISERIAL_CONTROL_CODE(0x802)
static_assert(IOCTL_CREATE_HVISERIAL == 0x8006E004u, "create code");
static_assert(IOCTL_RELEASE_HVISERIAL == 0x8006E008u, "release code");

// The supported-baud DWORD that makes the port driver ask the provider rate by rate.
#define HVISERIAL_ASK_EACH_BAUD_RATE 0xFFFFFFFFu

// Indices of the six signal capability bytes.
#define HVISERIAL_SIGNAL_CTS 0
#define HVISERIAL_SIGNAL_RTS 1
#define HVISERIAL_SIGNAL_DSR 2
#define HVISERIAL_SIGNAL_DTR 3
#define HVISERIAL_SIGNAL_DCD 4
#define HVISERIAL_SIGNAL_RI 5
#define HVISERIAL_SIGNALS 6

// The port's operations, in record order (0 to 22). Each takes the provider first and answers TRUE
// for success. Data-bits code 0..3 = 5..8 bits; parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop
// bits 0 one, 1 one and a half, 2 two.
typedef BOOLEAN HVISERIAL_OPERATION(CISerialProvider* pProvider);
typedef BOOLEAN HVISERIAL_FLAG_OPERATION(CISerialProvider* pProvider, BOOLEAN bFlag);
typedef BOOLEAN HVISERIAL_VALUE_OPERATION(CISerialProvider* pProvider, ULONG ulValue);
typedef BOOLEAN HVISERIAL_CHARACTER_OPERATION(CISerialProvider* pProvider, UCHAR ucCharacter);
typedef BOOLEAN HVISERIAL_PORT_WRITE(CISerialProvider* pProvider, CPmBuffer* pBuffer);
typedef BOOLEAN HVISERIAL_COMM_SETTINGS(CISerialProvider* pProvider, ULONG ulDataBits, ULONG ulParity,
                                        ULONG ulStopBits);
typedef BOOLEAN HVISERIAL_TRIGGER_LEVELS(CISerialProvider* pProvider, UCHAR ucTransmit, UCHAR ucReceive,
                                         UCHAR ucFlowControl);
typedef BOOLEAN HVISERIAL_HANDSHAKING(CISerialProvider* pProvider, BOOLEAN bCtsOutput, BOOLEAN bRtsInput,
                                      BOOLEAN bDsrOutput, BOOLEAN bDtrInput, BOOLEAN bDsrSensitivity,
                                      BOOLEAN bRtsToggle, BOOLEAN bXonXoffOutput, BOOLEAN bXonXoffInput,
                                      BOOLEAN bXoffContinue);
typedef BOOLEAN HVISERIAL_DUPLEX_MODE(CISerialProvider* pProvider, ULONG ulDuplexMode, BOOLEAN bCtsTrue);
typedef BOOLEAN HVISERIAL_READ_EEPROM(CISerialProvider* pProvider, ULONG ulOffset, ULONG ulLength,
                                      PUCHAR pucBuffer);
typedef BOOLEAN HVISERIAL_WRITE_EEPROM(CISerialProvider* pProvider, ULONG ulOffset, ULONG ulLength,
                                       const UCHAR* pucBytes);
typedef BOOLEAN HVISERIAL_PURGE(CISerialProvider* pProvider, BOOLEAN bTransmit, BOOLEAN bReceive);
typedef BOOLEAN HVISERIAL_SPECIAL_CHARACTERS(CISerialProvider* pProvider, UCHAR ucBreak, UCHAR ucEof,
                                             UCHAR ucError, UCHAR ucEvent, UCHAR ucXon, UCHAR ucXoff);
typedef BOOLEAN HVISERIAL_FIFO_SIZES(CISerialProvider* pProvider, PULONG pulTransmitFifoSize,
                                     PULONG pulReceiveFifoSize);

struct HvISerialOperations {
    HVISERIAL_OPERATION* m_ConnectCallback;
    HVISERIAL_OPERATION* m_DisconnectCallback;
    // The buffer passes to the bus driver whatever the answer.
    HVISERIAL_PORT_WRITE* m_PortWriteCallback;
    HVISERIAL_FLAG_OPERATION* m_RtsCallback;
    HVISERIAL_FLAG_OPERATION* m_DtrCallback;
    HVISERIAL_COMM_SETTINGS* m_CommSettingsCallback;
    HVISERIAL_VALUE_OPERATION* m_BaudrateCallback;
    HVISERIAL_TRIGGER_LEVELS* m_TriggerLevelsCallback;
    HVISERIAL_HANDSHAKING* m_HandshakingSettingsCallback;
    HVISERIAL_FLAG_OPERATION* m_InternalLoopbackCallback;
    // Present only when the duplex byte is 1.
    HVISERIAL_DUPLEX_MODE* m_DuplexModeSettingsCallback;
    // Present only when their capability bytes are 1.
    HVISERIAL_READ_EEPROM* m_ReadEepromCallback;
    HVISERIAL_WRITE_EEPROM* m_WriteEepromCallback;
    HVISERIAL_FLAG_OPERATION* m_SetBreakCallback;
    HVISERIAL_PURGE* m_PurgeCallback;
    HVISERIAL_VALUE_OPERATION* m_IsBaudRateSupportedCallback;
    HVISERIAL_SPECIAL_CHARACTERS* m_SetSpecialCharactersCallback;
    // Present only when the LSR/MST-insert byte is 1; the argument is the escape character.
    HVISERIAL_CHARACTER_OPERATION* m_LsrMstInsertCallback;
    HVISERIAL_FLAG_OPERATION* m_PretendXoffReceivedCallback;
    HVISERIAL_CHARACTER_OPERATION* m_SendImmediateCharacterCallback;
    HVISERIAL_FIFO_SIZES* m_GetFifoSizesCallback;
    HVISERIAL_OPERATION* m_UpdateModemStatus;
    // TRUE sends the XOFF character, FALSE the XON character.
    HVISERIAL_FLAG_OPERATION* m_SendXonXoffCallback;
};

#define HVISERIAL_OPERATIONS 23
static_assert(sizeof(HvISerialOperations) == HVISERIAL_OPERATIONS * 8, "operation table layout");

// The port driver's handlers, in record order (0 to 8). Each takes the callback context first;
// flags travel as BOOLEAN bytes.
typedef BOOLEAN HVISERIAL_CALLBACK(PVOID pvContext);
typedef BOOLEAN HVISERIAL_FLAG_CALLBACK(PVOID pvContext, BOOLEAN bFlag);
typedef BOOLEAN HVISERIAL_READ(PVOID pvContext, CPmBuffer* pBuffer);
typedef BOOLEAN HVISERIAL_LINE_STATUS(PVOID pvContext, BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming,
                                      BOOLEAN bBreak, BOOLEAN bDataReady, BOOLEAN bTransmitHoldingEmpty,
                                      BOOLEAN bTransmitterEmpty, BOOLEAN bReceiveFifoError);
typedef BOOLEAN HVISERIAL_MODEM_STATUS(PVOID pvContext, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi,
                                       BOOLEAN bRiTrailingEdge, BOOLEAN bDcd);
typedef BOOLEAN HVISERIAL_DATA_WRITTEN(PVOID pvContext, ULONG ulCount);
// (bytes arriving, receive FIFO size + 62, free receive space out).
typedef BOOLEAN HVISERIAL_RECEIVE_SPACE(PVOID pvContext, ULONG ulIncoming, ULONG ulReserve,
                                        PULONG pulAvailable);

struct HvISerialCallbacks {
    // Received data bytes; the buffer passes to the port driver.
    HVISERIAL_READ* m_Read;
    // Not called by this bus driver.
    HVISERIAL_CALLBACK* m_Unused;
    HVISERIAL_LINE_STATUS* m_LineStatusCallback;
    HVISERIAL_MODEM_STATUS* m_ModemStatusCallback;
    // Bytes acknowledged as written; once at connect with the first transmit credit.
    HVISERIAL_DATA_WRITTEN* m_DataWrittenCallback;
    HVISERIAL_CALLBACK* m_ImmediateCharacterSentCallback;
    // Not called by this bus driver.
    HVISERIAL_FLAG_CALLBACK* m_XoffHoldingCallback;
    HVISERIAL_FLAG_CALLBACK* m_XoffSentCallback;
    HVISERIAL_RECEIVE_SPACE* m_AvailableReceiveBufferSizeCallback;
};

#define HVISERIAL_CALLBACKS 9
static_assert(sizeof(HvISerialCallbacks) == HVISERIAL_CALLBACKS * 8, "callback table layout");

// The record: 304 bytes from the bus driver's pool. Its first word is the class table of the root
// object, whose only slot is the deleting destructor; only the bus driver deletes a record.
class ISerial : public CPmObject {
public:
    CISerialProvider* m_pProvider = NULL;        // 0x008, written by the bus driver
    PVOID m_pvCallbackContext = NULL;            // 0x010, written by the port driver
    BOOLEAN m_bDuplexOperation = 0;              // 0x018: RS-422/485 port
    UCHAR m_aucReserved1[3] = {};                // 0x019
    ULONG m_ulSupportedBaudRates = 0;            // 0x01C: HVISERIAL_ASK_EACH_BAUD_RATE or SERIAL_BAUD_* bits
    BOOLEAN m_bLsrMstInsertOperation = 0;        // 0x020: 0 = the port driver inserts and strips itself
    BOOLEAN m_bReadEepromOperation = 0;          // 0x021
    BOOLEAN m_bWriteEepromOperation = 0;         // 0x022
    BOOLEAN m_abSignals[HVISERIAL_SIGNALS] = {}; // 0x023: CTS, RTS, DSR, DTR, DCD, RI
    UCHAR m_aucReserved2[7] = {};                // 0x029
    HvISerialOperations m_Operations = {};       // 0x030, written by the bus driver
    HvISerialCallbacks m_Callbacks = {};         // 0x0E8, written by the port driver
};

// offsetof on a class with a class table is conditionally supported; this compiler lays such a
// class out as the interface requires, and these checks say so.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define HVISERIAL_AT(field, offset) static_assert(offsetof(ISerial, field) == (offset), "ISerial " #field)
HVISERIAL_AT(m_pProvider, 0x008);
HVISERIAL_AT(m_pvCallbackContext, 0x010);
HVISERIAL_AT(m_bDuplexOperation, 0x018);
HVISERIAL_AT(m_ulSupportedBaudRates, 0x01C);
HVISERIAL_AT(m_bLsrMstInsertOperation, 0x020);
HVISERIAL_AT(m_bReadEepromOperation, 0x021);
HVISERIAL_AT(m_bWriteEepromOperation, 0x022);
HVISERIAL_AT(m_abSignals, 0x023);
HVISERIAL_AT(m_Operations.m_ConnectCallback, 0x030);
HVISERIAL_AT(m_Operations.m_DisconnectCallback, 0x038);
HVISERIAL_AT(m_Operations.m_PortWriteCallback, 0x040);
HVISERIAL_AT(m_Operations.m_RtsCallback, 0x048);
HVISERIAL_AT(m_Operations.m_DtrCallback, 0x050);
HVISERIAL_AT(m_Operations.m_CommSettingsCallback, 0x058);
HVISERIAL_AT(m_Operations.m_BaudrateCallback, 0x060);
HVISERIAL_AT(m_Operations.m_TriggerLevelsCallback, 0x068);
HVISERIAL_AT(m_Operations.m_HandshakingSettingsCallback, 0x070);
HVISERIAL_AT(m_Operations.m_InternalLoopbackCallback, 0x078);
HVISERIAL_AT(m_Operations.m_DuplexModeSettingsCallback, 0x080);
HVISERIAL_AT(m_Operations.m_ReadEepromCallback, 0x088);
HVISERIAL_AT(m_Operations.m_WriteEepromCallback, 0x090);
HVISERIAL_AT(m_Operations.m_SetBreakCallback, 0x098);
HVISERIAL_AT(m_Operations.m_PurgeCallback, 0x0A0);
HVISERIAL_AT(m_Operations.m_IsBaudRateSupportedCallback, 0x0A8);
HVISERIAL_AT(m_Operations.m_SetSpecialCharactersCallback, 0x0B0);
HVISERIAL_AT(m_Operations.m_LsrMstInsertCallback, 0x0B8);
HVISERIAL_AT(m_Operations.m_PretendXoffReceivedCallback, 0x0C0);
HVISERIAL_AT(m_Operations.m_SendImmediateCharacterCallback, 0x0C8);
HVISERIAL_AT(m_Operations.m_GetFifoSizesCallback, 0x0D0);
HVISERIAL_AT(m_Operations.m_UpdateModemStatus, 0x0D8);
HVISERIAL_AT(m_Operations.m_SendXonXoffCallback, 0x0E0);
HVISERIAL_AT(m_Callbacks.m_Read, 0x0E8);
HVISERIAL_AT(m_Callbacks.m_Unused, 0x0F0);
HVISERIAL_AT(m_Callbacks.m_LineStatusCallback, 0x0F8);
HVISERIAL_AT(m_Callbacks.m_ModemStatusCallback, 0x100);
HVISERIAL_AT(m_Callbacks.m_DataWrittenCallback, 0x108);
HVISERIAL_AT(m_Callbacks.m_ImmediateCharacterSentCallback, 0x110);
HVISERIAL_AT(m_Callbacks.m_XoffHoldingCallback, 0x118);
HVISERIAL_AT(m_Callbacks.m_XoffSentCallback, 0x120);
HVISERIAL_AT(m_Callbacks.m_AvailableReceiveBufferSizeCallback, 0x128);
#undef HVISERIAL_AT
#pragma GCC diagnostic pop
static_assert(sizeof(ISerial) == 304, "ISerial size");

// Input of IOCTL_CREATE_HVISERIAL.
struct CreateHvISerialRequestStruct {
    ULONG ulVersion;    // HVISERIAL_VERSION
    ULONG ulPortNumber; // 1-based: the child's ContextID
};
// Output of IOCTL_CREATE_HVISERIAL. With METHOD_BUFFERED it overwrites the request in the one
// system buffer, so the bus driver reads the request before it answers.
struct CreateHvISerialResponseStruct {
    ISerial* pISerial;
};
// Input of IOCTL_RELEASE_HVISERIAL; there is no output. The bus driver goes by the port number.
struct ReleaseHvISerialRequestStruct {
    ULONG ulPortNumber;
    ULONG ulPadding; // 0
    ISerial* pISerial;
};
static_assert(sizeof(CreateHvISerialRequestStruct) == 8, "create request layout");
static_assert(sizeof(CreateHvISerialResponseStruct) == 8, "create response layout");
static_assert(sizeof(ReleaseHvISerialRequestStruct) == 16, "release request layout");
static_assert(offsetof(ReleaseHvISerialRequestStruct, pISerial) == 8, "release request record");

// Bus side: whether a create request's buffers are as the code requires (8 bytes in, an output of
// the input's length). STATUS_INVALID_PARAMETER means nothing may be created.
inline NTSTATUS HvISerialCheckCreateBuffers(const void* pvInput, ULONG ulInputLength, const void* pvOutput,
                                            ULONG ulOutputLength) {
    if (!pvInput || ulInputLength != sizeof(CreateHvISerialRequestStruct) || !pvOutput ||
        ulOutputLength != ulInputLength)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Bus side: the same for a release request (16 bytes in; any output is ignored).
inline NTSTATUS HvISerialCheckReleaseBuffers(const void* pvInput, ULONG ulInputLength) {
    if (!pvInput || ulInputLength != sizeof(ReleaseHvISerialRequestStruct))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Bus side: a port is an RS-422/485 port when bit (port number - 1) of the bus set's PortType is
// set. Only port numbers 1 to 32 have a bit.
inline BOOLEAN HvISerialIsDuplexPort(ULONG ulPortType, ULONG ulPortNumber) {
    if (ulPortNumber < 1 || ulPortNumber > 32)
        return FALSE;
    return (ulPortType >> (ulPortNumber - 1)) & 1u ? TRUE : FALSE;
}

// Port side: the two requests.
inline void HvISerialInitCreateRequest(CreateHvISerialRequestStruct* pRequest, ULONG ulPortNumber) {
    pRequest->ulVersion = HVISERIAL_VERSION;
    pRequest->ulPortNumber = ulPortNumber;
}
inline void HvISerialInitReleaseRequest(ReleaseHvISerialRequestStruct* pRequest, ULONG ulPortNumber,
                                        ISerial* pISerial) {
    pRequest->ulPortNumber = ulPortNumber;
    pRequest->ulPadding = 0;
    pRequest->pISerial = pISerial;
}

// Port side: the record a create request answered, or NULL when the send failed or returned
// anything but 8 bytes. A successful answer holding no record is also NULL; *pbNullRecord tells
// that case apart, since it breaks the bus driver's side of the interface.
inline ISerial* HvISerialRecordOfAnswer(NTSTATUS ntStatus, ULONG_PTR ulpInformation,
                                        const CreateHvISerialResponseStruct* pResponse,
                                        PBOOLEAN pbNullRecord = NULL) {
    if (pbNullRecord)
        *pbNullRecord = FALSE;
    if (!NT_SUCCESS(ntStatus) || ulpInformation != sizeof(CreateHvISerialResponseStruct) || !pResponse)
        return NULL;
    if (!pResponse->pISerial && pbNullRecord)
        *pbNullRecord = TRUE;
    return pResponse->pISerial;
}

// Port side: calls an operation of the record; FALSE when the record, the operation or the provider
// is missing. Use: HvISerialCallOperation(pISerial, &HvISerialOperations::m_BaudrateCallback, 9600).
template <class Operation, class... Arguments>
inline BOOLEAN HvISerialCallOperation(const ISerial* pISerial, Operation HvISerialOperations::*pSlot,
                                      Arguments... arguments) {
    if (!pISerial || !pISerial->m_pProvider)
        return FALSE;
    Operation pfnOperation = pISerial->m_Operations.*pSlot;
    if (!pfnOperation)
        return FALSE;
    return pfnOperation(pISerial->m_pProvider, arguments...);
}

inline constexpr CHAR g_szHvISerialSourcePath[] = "diskimage\\interfaces\\hviserial\\hviserial.h";

// Bus side: the base part of the port object. It holds the 23 operation entries, each forwarding
// to the matching virtual operation, builds the record at most once, calls the port driver's
// callbacks through it, and deletes the record with itself.
class CISerialProvider : public CPmObject {
public:
    HvISerialOperations m_Entries;
    ISerial* m_pISerial;

    CISerialProvider() : m_pISerial(NULL) {
        m_Entries.m_ConnectCallback = [](CISerialProvider* p) { return p->m_ConnectCallback(); };
        m_Entries.m_DisconnectCallback = [](CISerialProvider* p) { return p->m_DisconnectCallback(); };
        m_Entries.m_PortWriteCallback = [](CISerialProvider* p, CPmBuffer* pBuffer) {
            return p->m_PortWriteCallback(pBuffer);
        };
        m_Entries.m_RtsCallback = [](CISerialProvider* p, BOOLEAN b) { return p->m_RtsCallback(b); };
        m_Entries.m_DtrCallback = [](CISerialProvider* p, BOOLEAN b) { return p->m_DtrCallback(b); };
        m_Entries.m_CommSettingsCallback = [](CISerialProvider* p, ULONG ulDataBits, ULONG ulParity,
                                              ULONG ulStopBits) {
            return p->m_CommSettingsCallback(ulDataBits, ulParity, ulStopBits);
        };
        m_Entries.m_BaudrateCallback = [](CISerialProvider* p, ULONG ulRate) {
            return p->m_BaudrateCallback(ulRate);
        };
        m_Entries.m_TriggerLevelsCallback = [](CISerialProvider* p, UCHAR ucTransmit, UCHAR ucReceive,
                                               UCHAR ucFlowControl) {
            return p->m_TriggerLevelsCallback(ucTransmit, ucReceive, ucFlowControl);
        };
        m_Entries.m_HandshakingSettingsCallback = [](CISerialProvider* p, BOOLEAN b1, BOOLEAN b2, BOOLEAN b3,
                                                     BOOLEAN b4, BOOLEAN b5, BOOLEAN b6, BOOLEAN b7,
                                                     BOOLEAN b8, BOOLEAN b9) {
            return p->m_HandshakingSettingsCallback(b1, b2, b3, b4, b5, b6, b7, b8, b9);
        };
        m_Entries.m_InternalLoopbackCallback = [](CISerialProvider* p, BOOLEAN b) {
            return p->m_InternalLoopbackCallback(b);
        };
        m_Entries.m_DuplexModeSettingsCallback = [](CISerialProvider* p, ULONG ulMode, BOOLEAN bCtsTrue) {
            return p->m_DuplexModeSettingsCallback(ulMode, bCtsTrue);
        };
        m_Entries.m_ReadEepromCallback = [](CISerialProvider* p, ULONG ulOffset, ULONG ulLength,
                                            PUCHAR pucBuffer) {
            return p->m_ReadEepromCallback(ulOffset, ulLength, pucBuffer);
        };
        m_Entries.m_WriteEepromCallback = [](CISerialProvider* p, ULONG ulOffset, ULONG ulLength,
                                             const UCHAR* pucBytes) {
            return p->m_WriteEepromCallback(ulOffset, ulLength, pucBytes);
        };
        m_Entries.m_SetBreakCallback = [](CISerialProvider* p, BOOLEAN b) {
            return p->m_SetBreakCallback(b);
        };
        m_Entries.m_PurgeCallback = [](CISerialProvider* p, BOOLEAN bTransmit, BOOLEAN bReceive) {
            return p->m_PurgeCallback(bTransmit, bReceive);
        };
        m_Entries.m_IsBaudRateSupportedCallback = [](CISerialProvider* p, ULONG ulRate) {
            return p->m_IsBaudRateSupportedCallback(ulRate);
        };
        m_Entries.m_SetSpecialCharactersCallback = [](CISerialProvider* p, UCHAR ucBreak, UCHAR ucEof,
                                                      UCHAR ucError, UCHAR ucEvent, UCHAR ucXon,
                                                      UCHAR ucXoff) {
            return p->m_SetSpecialCharactersCallback(ucBreak, ucEof, ucError, ucEvent, ucXon, ucXoff);
        };
        m_Entries.m_LsrMstInsertCallback = [](CISerialProvider* p, UCHAR uc) {
            return p->m_LsrMstInsertCallback(uc);
        };
        m_Entries.m_PretendXoffReceivedCallback = [](CISerialProvider* p, BOOLEAN b) {
            return p->m_PretendXoffReceivedCallback(b);
        };
        m_Entries.m_SendImmediateCharacterCallback = [](CISerialProvider* p, UCHAR uc) {
            return p->m_SendImmediateCharacterCallback(uc);
        };
        m_Entries.m_GetFifoSizesCallback = [](CISerialProvider* p, PULONG pulTransmit, PULONG pulReceive) {
            return p->m_GetFifoSizesCallback(pulTransmit, pulReceive);
        };
        m_Entries.m_UpdateModemStatus = [](CISerialProvider* p) { return p->m_UpdateModemStatus(); };
        m_Entries.m_SendXonXoffCallback = [](CISerialProvider* p, BOOLEAN b) {
            return p->m_SendXonXoffCallback(b);
        };
    }
    // The record lives exactly as long as its port object.
    ~CISerialProvider() override { m_DeleteISerial(); }

    CISerialProvider(const CISerialProvider&) = delete;
    CISerialProvider& operator=(const CISerialProvider&) = delete;

    // The operations, in record order.
    virtual BOOLEAN m_ConnectCallback() = 0;
    virtual BOOLEAN m_DisconnectCallback() = 0;
    virtual BOOLEAN m_PortWriteCallback(CPmBuffer* pBuffer) = 0;
    virtual BOOLEAN m_RtsCallback(BOOLEAN bRts) = 0;
    virtual BOOLEAN m_DtrCallback(BOOLEAN bDtr) = 0;
    virtual BOOLEAN m_CommSettingsCallback(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits) = 0;
    virtual BOOLEAN m_BaudrateCallback(ULONG ulBaudRate) = 0;
    virtual BOOLEAN m_TriggerLevelsCallback(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl) = 0;
    virtual BOOLEAN m_HandshakingSettingsCallback(BOOLEAN bCtsOutput, BOOLEAN bRtsInput, BOOLEAN bDsrOutput,
                                                  BOOLEAN bDtrInput, BOOLEAN bDsrSensitivity,
                                                  BOOLEAN bRtsToggle, BOOLEAN bXonXoffOutput,
                                                  BOOLEAN bXonXoffInput, BOOLEAN bXoffContinue) = 0;
    virtual BOOLEAN m_InternalLoopbackCallback(BOOLEAN bLoopback) = 0;
    virtual BOOLEAN m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue) = 0;
    virtual BOOLEAN m_ReadEepromCallback(ULONG ulOffset, ULONG ulLength, PUCHAR pucBuffer) = 0;
    virtual BOOLEAN m_WriteEepromCallback(ULONG ulOffset, ULONG ulLength, const UCHAR* pucBytes) = 0;
    virtual BOOLEAN m_SetBreakCallback(BOOLEAN bBreakOn) = 0;
    virtual BOOLEAN m_PurgeCallback(BOOLEAN bTransmit, BOOLEAN bReceive) = 0;
    virtual BOOLEAN m_IsBaudRateSupportedCallback(ULONG ulBaudRate) = 0;
    virtual BOOLEAN m_SetSpecialCharactersCallback(UCHAR ucBreak, UCHAR ucEof, UCHAR ucError, UCHAR ucEvent,
                                                   UCHAR ucXon, UCHAR ucXoff) = 0;
    virtual BOOLEAN m_LsrMstInsertCallback(UCHAR ucEscapeCharacter) = 0;
    virtual BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN bXoffReceived) = 0;
    virtual BOOLEAN m_SendImmediateCharacterCallback(UCHAR ucCharacter) = 0;
    virtual BOOLEAN m_GetFifoSizesCallback(PULONG pulTransmitFifoSize, PULONG pulReceiveFifoSize) = 0;
    virtual BOOLEAN m_UpdateModemStatus() = 0;
    virtual BOOLEAN m_SendXonXoffCallback(BOOLEAN bXoff) = 0;

    // Builds the record: version HVISERIAL_VERSION only, and only once per provider (a second build
    // is an assertion and gives none). A gated operation is copied only when its byte is 1; a gate
    // byte of any other value, or one whose entry is missing, is an assertion and reads as 0, so
    // that byte and operation always agree. Signal bytes may be NULL (none supported).
    ISerial* m_BuildISerial(ULONG ulVersion, BOOLEAN bDuplex, ULONG ulSupportedBaudRates,
                            BOOLEAN bLsrMstInsert, BOOLEAN bReadEeprom, BOOLEAN bWriteEeprom,
                            const BOOLEAN* pbSignals) {
        if (m_pISerial) {
            PM_ASSERTION_LINE(g_szHvISerialSourcePath);
            return NULL;
        }
        if (ulVersion != HVISERIAL_VERSION)
            return NULL;
        ISerial* pISerial = new (NonPagedPool) ISerial;
        if (!pISerial)
            return NULL;
        pISerial->m_pProvider = this;
        pISerial->m_ulSupportedBaudRates = ulSupportedBaudRates;
        for (ULONG i = 0; i < HVISERIAL_SIGNALS; i++)
            pISerial->m_abSignals[i] = pbSignals && pbSignals[i] ? 1 : 0;

        HvISerialOperations& ops = pISerial->m_Operations;
        ops = m_Entries;
        pISerial->m_bDuplexOperation = m_Gate(bDuplex, ops.m_DuplexModeSettingsCallback);
        pISerial->m_bReadEepromOperation = m_Gate(bReadEeprom, ops.m_ReadEepromCallback);
        pISerial->m_bWriteEepromOperation = m_Gate(bWriteEeprom, ops.m_WriteEepromCallback);
        pISerial->m_bLsrMstInsertOperation = m_Gate(bLsrMstInsert, ops.m_LsrMstInsertCallback);
        m_pISerial = pISerial;
        return pISerial;
    }

    ISerial* m_GetISerial() const { return m_pISerial; }

    void m_DeleteISerial() {
        delete m_pISerial;
        m_pISerial = NULL;
    }

    // Calls one of the port driver's callbacks through the record. FALSE without a call when the
    // record is missing (an assertion) or the callback or its context is not set; *pbCalled says
    // whether the port driver was reached (and so took any buffer passed).
    // Use: m_CallBack(&HvISerialCallbacks::m_DataWrittenCallback, NULL, ulCount).
    template <class Callback, class... Arguments>
    BOOLEAN m_CallBack(Callback HvISerialCallbacks::*pSlot, PBOOLEAN pbCalled, Arguments... arguments) {
        if (pbCalled)
            *pbCalled = FALSE;
        ISerial* pISerial = m_pISerial;
        if (!pISerial) {
            PM_ASSERTION_LINE(g_szHvISerialSourcePath);
            return FALSE;
        }
        Callback pfnCallback = pISerial->m_Callbacks.*pSlot;
        PVOID pvContext = pISerial->m_pvCallbackContext;
        if (!pfnCallback || !pvContext)
            return FALSE;
        if (pbCalled)
            *pbCalled = TRUE;
        return pfnCallback(pvContext, arguments...);
    }

private:
    template <class Operation> static BOOLEAN m_Gate(BOOLEAN bByte, Operation& pfnOperation) {
        if (bByte == 1 && pfnOperation)
            return 1;
        if (bByte != 0)
            PM_ASSERTION_LINE(g_szHvISerialSourcePath);
        pfnOperation = NULL;
        return 0;
    }
};
