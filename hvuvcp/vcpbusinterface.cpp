// The binding to the bus driver's record.
#include "vcpbusinterface.h"
#include "hvuvcptrace.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>
#include <pmirphelpers.h>

static const CHAR s_szSourcePath[] = "hvuvcp\\vcpbusinterface.cpp";

// ---- The sink's base: nothing answers ---------------------------------------------------------

BOOLEAN CVcpCallbackSink::m_Read(CPmBuffer* pBuffer) {
    if (pBuffer)
        pBuffer->m_Delete();
    return FALSE;
}
BOOLEAN CVcpCallbackSink::m_UnusedCallback() { return FALSE; }
BOOLEAN CVcpCallbackSink::m_LineStatusCallback(BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN,
                                               BOOLEAN) {
    return FALSE;
}
BOOLEAN CVcpCallbackSink::m_ModemStatusCallback(BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN, BOOLEAN) { return FALSE; }
BOOLEAN CVcpCallbackSink::m_DataWrittenCallback(ULONG) { return FALSE; }
BOOLEAN CVcpCallbackSink::m_ImmediateCharacterSentCallback() { return FALSE; }
BOOLEAN CVcpCallbackSink::m_XoffHoldingCallback(BOOLEAN) { return FALSE; }
BOOLEAN CVcpCallbackSink::m_XoffSentCallback(BOOLEAN) { return FALSE; }
BOOLEAN CVcpCallbackSink::m_AvailableReceiveBufferSizeCallback(ULONG, ULONG, PULONG) { return FALSE; }
BOOLEAN CVcpCallbackSink::m_DataAmountChangedInReadQueue(ULONG, ULONG) { return FALSE; }

// ---- Trampolines -----------------------------------------------------------------------------

static inline CVcpCallbackSink* VcpSink(PVOID pvContext) { return static_cast<CVcpCallbackSink*>(pvContext); }

BOOLEAN CVcpISerialCallbackTable::sm_Read(PVOID pvContext, CPmBuffer* pBuffer) {
    if (!pvContext) {
        // The buffer changed owner with the call.
        if (pBuffer)
            pBuffer->m_Delete();
        return FALSE;
    }
    return VcpSink(pvContext)->m_Read(pBuffer);
}

BOOLEAN CVcpISerialCallbackTable::sm_Unused(PVOID pvContext) {
    return pvContext ? VcpSink(pvContext)->m_UnusedCallback() : FALSE;
}

BOOLEAN CVcpISerialCallbackTable::sm_LineStatus(PVOID pvContext, BOOLEAN bOverrun, BOOLEAN bParity, BOOLEAN bFraming,
                                                BOOLEAN bBreak, BOOLEAN bDataReady, BOOLEAN bTransmitHoldingEmpty,
                                                BOOLEAN bTransmitterEmpty, BOOLEAN bReceiveFifoError) {
    return pvContext ? VcpSink(pvContext)->m_LineStatusCallback(bOverrun, bParity, bFraming, bBreak, bDataReady,
                                                                 bTransmitHoldingEmpty, bTransmitterEmpty,
                                                                 bReceiveFifoError)
                     : FALSE;
}

BOOLEAN CVcpISerialCallbackTable::sm_ModemStatus(PVOID pvContext, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi,
                                                 BOOLEAN bRiTrailingEdge, BOOLEAN bDcd) {
    return pvContext ? VcpSink(pvContext)->m_ModemStatusCallback(bCts, bDsr, bRi, bRiTrailingEdge, bDcd) : FALSE;
}

BOOLEAN CVcpISerialCallbackTable::sm_DataWritten(PVOID pvContext, ULONG ulCount) {
    return pvContext ? VcpSink(pvContext)->m_DataWrittenCallback(ulCount) : FALSE;
}

BOOLEAN CVcpISerialCallbackTable::sm_ImmediateCharacterSent(PVOID pvContext) {
    return pvContext ? VcpSink(pvContext)->m_ImmediateCharacterSentCallback() : FALSE;
}

BOOLEAN CVcpISerialCallbackTable::sm_XoffHolding(PVOID pvContext, BOOLEAN bHeld) {
    return pvContext ? VcpSink(pvContext)->m_XoffHoldingCallback(bHeld) : FALSE;
}

BOOLEAN CVcpISerialCallbackTable::sm_XoffSent(PVOID pvContext, BOOLEAN bSent) {
    return pvContext ? VcpSink(pvContext)->m_XoffSentCallback(bSent) : FALSE;
}

BOOLEAN CVcpISerialCallbackTable::sm_AvailableReceiveBufferSize(PVOID pvContext, ULONG ulIncoming, ULONG ulReserve,
                                                                PULONG pulAvailable) {
    return pvContext ? VcpSink(pvContext)->m_AvailableReceiveBufferSizeCallback(ulIncoming, ulReserve, pulAvailable)
                     : FALSE;
}

CVcpISerialCallbackTable::CVcpISerialCallbackTable() : m_pISerial(NULL) {
    m_Trampolines.m_Read = sm_Read;
    m_Trampolines.m_Unused = sm_Unused;
    m_Trampolines.m_LineStatusCallback = sm_LineStatus;
    m_Trampolines.m_ModemStatusCallback = sm_ModemStatus;
    m_Trampolines.m_DataWrittenCallback = sm_DataWritten;
    m_Trampolines.m_ImmediateCharacterSentCallback = sm_ImmediateCharacterSent;
    m_Trampolines.m_XoffHoldingCallback = sm_XoffHolding;
    m_Trampolines.m_XoffSentCallback = sm_XoffSent;
    m_Trampolines.m_AvailableReceiveBufferSizeCallback = sm_AvailableReceiveBufferSize;
}

CVcpISerialCallbackTable::~CVcpISerialCallbackTable() { m_pISerial = NULL; }

// ---- The binding -------------------------------------------------------------------------------

CVcpBusInterface::CVcpBusInterface(CVcpCallbackSink* pSink)
    : m_pSink(pSink), m_pFunctionalDevice(NULL), m_ulPortNumber(0), m_pCallbackTable(NULL) {}

CVcpBusInterface::~CVcpBusInterface() {
    if (m_pCallbackTable)
        m_ReleaseISerial(m_ulPortNumber, m_GetRecord());
}

NTSTATUS CVcpBusInterface::m_SendInternal(ULONG ulControlCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                                          ULONG ulOutputLength, PULONG_PTR pulInformation) {
    *pulInformation = 0;
    if (!m_pFunctionalDevice || !m_pFunctionalDevice->m_pLowerDeviceObject)
        return STATUS_NO_SUCH_DEVICE;
    ULONG ulLength = ulOutputLength;
    if (!SendInternalDeviceControlSync(m_pFunctionalDevice->m_pLowerDeviceObject, ulControlCode, pvInput,
                                       ulInputLength, pvOutput, &ulLength, TRUE, NULL))
        return STATUS_UNSUCCESSFUL;
    *pulInformation = ulLength;
    return STATUS_SUCCESS;
}

BOOLEAN CVcpBusInterface::m_GetISerial(CPmFunctionalDevice* pFunctionalDevice, ULONG ulPortNumber) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVcpBusInterface::m_GetISerial - IN");
    if (m_pCallbackTable) {
        PM_ASSERTION_LINE(s_szSourcePath);
        PM_TRACE(HVUVCP_TRACE_VCP, "CVcpBusInterface::m_GetISerial - OUT - Already bound.");
        return FALSE;
    }
    m_pFunctionalDevice = pFunctionalDevice;
    m_ulPortNumber = ulPortNumber;

    CreateHvISerialRequestStruct request;
    HvISerialInitCreateRequest(&request, ulPortNumber);
    CreateHvISerialResponseStruct response = {NULL};
    ULONG_PTR ulInformation = 0;
    NTSTATUS ntStatus = m_SendInternal(IOCTL_CREATE_HVISERIAL, &request, sizeof(request), &response,
                                       sizeof(response), &ulInformation);
    BOOLEAN bNullRecord = FALSE;
    ISerial* pISerial = HvISerialRecordOfAnswer(ntStatus, ulInformation, &response, &bNullRecord);
    if (!pISerial) {
        if (bNullRecord)
            PM_ASSERTION_LINE(s_szSourcePath);
        PM_TRACE(HVUVCP_TRACE_VCP, "CVcpBusInterface::m_GetISerial - OUT - No record (NTSTATUS:0x%X, length %u).", ntStatus,
                 (ULONG)ulInformation);
        return FALSE;
    }

    CVcpISerialCallbackTable* pTable = new (NonPagedPool) CVcpISerialCallbackTable();
    if (!pTable) {
        ReleaseHvISerialRequestStruct release;
        HvISerialInitReleaseRequest(&release, ulPortNumber, pISerial);
        m_SendInternal(IOCTL_RELEASE_HVISERIAL, &release, sizeof(release), NULL, 0, &ulInformation);
        PM_TRACE(HVUVCP_TRACE_VCP, "CVcpBusInterface::m_GetISerial - OUT - No memory for the callback table.");
        return FALSE;
    }
    pTable->m_pISerial = pISerial;
    pISerial->m_pvCallbackContext = m_pSink;
    pISerial->m_Callbacks = pTable->m_Trampolines;
    m_pCallbackTable = pTable;
    PM_TRACE(HVUVCP_TRACE_VCP, "CVcpBusInterface::m_GetISerial - OUT (Success)");
    return TRUE;
}

BOOLEAN CVcpBusInterface::m_ReleaseISerial(ULONG ulPortNumber, ISerial* pISerial) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVcpBusInterface::m_ReleaseISerial - IN");
    ReleaseHvISerialRequestStruct release;
    HvISerialInitReleaseRequest(&release, ulPortNumber, pISerial);
    ULONG_PTR ulInformation = 0;
    NTSTATUS ntStatus = m_SendInternal(IOCTL_RELEASE_HVISERIAL, &release, sizeof(release), NULL, 0, &ulInformation);
    PmDeleteObject(m_pCallbackTable);
    m_pCallbackTable = NULL;
    PM_TRACE(HVUVCP_TRACE_VCP, "CVcpBusInterface::m_ReleaseISerial - OUT (NTSTATUS:0x%X)", ntStatus);
    return NT_SUCCESS(ntStatus);
}
