// The per-port transport: every call enters through the usage lock, so that de-init can wait for
// the calls in progress and refuse new ones.
#include "usbtransport.h"

CTransportBase::CTransportBase(CPmFunctionalDevice* pBusDevice)
    : m_pBusDevice(pBusDevice), m_pfnReceiveCallback(NULL), m_pvReceiveContext(NULL) {
    PM_TRACE(HV_USB_TRACE_LEVEL, "CTransportBase Constructor - IN-OUT");
}

CUSBTransport::CUSBTransport(CPmFunctionalDevice* pBusDevice, USHORT unPortIndex)
    : CTransportBase(pBusDevice), m_pUsbTransport(NULL), m_ucReceiveEndPoint(HV_RECEIVE_ENDPOINT_HANDLE),
      m_ucSendEndPoint(HV_SEND_ENDPOINT_HANDLE), m_unPortIndex(unPortIndex), m_ulReceiveTransferSize(0),
      m_bSendPrepared(FALSE), m_llLastReceiveStamp(0), m_ullLastReceiveInterval(0), m_ulReceiveTransfers(0) {
    KeInitializeMutex(&m_WriteMutex, 0);
}

CUSBTransport::~CUSBTransport() { m_DeInit(); }

BOOLEAN CUSBTransport::m_Enter() { return m_pUsbTransport != NULL && m_UsageLock.m_Acquire(); }

BOOLEAN CUSBTransport::m_Init() {
    if (m_pUsbTransport || !m_pBusDevice)
        return FALSE;
    m_pUsbTransport = new (NonPagedPool) CUsbTransport();
    if (!m_pUsbTransport)
        return FALSE;
    if (!m_pUsbTransport->m_Init(m_pBusDevice->m_pLowerDeviceObject, m_pBusDevice->m_pPhysicalDeviceObject) ||
        !m_pUsbTransport->m_RegisterInterruptUrbCallback(m_ReadInterruptPipeCallback, this) ||
        !m_pUsbTransport->m_CreateInterruptUrb()) {
        delete m_pUsbTransport;
        m_pUsbTransport = NULL;
        return FALSE;
    }
    m_UsageLock.m_Init(TRUE);
    return TRUE;
}

void CUSBTransport::m_DeInit() {
    if (!m_pUsbTransport)
        return;
    m_UsageLock.m_DisableAndWait();
    // The destructor stops and deletes the receive transfer and the send request.
    delete m_pUsbTransport;
    m_pUsbTransport = NULL;
}

BOOLEAN CUSBTransport::m_Connect() {
    if (!m_Enter())
        return FALSE;
    // Prepared once; later connects only enable sending again.
    BOOLEAN bDone = m_pUsbTransport->m_PrepareSendRequest();
    m_bSendPrepared = m_bSendPrepared || bDone;
    m_Leave();
    return bDone;
}

BOOLEAN CUSBTransport::m_Disconnect() {
    if (!m_Enter())
        return FALSE;
    LONG lState = m_pUsbTransport->m_GetInterruptUrbState();
    if (lState == HV_URB_STARTED || lState == HV_URB_DISABLED)
        m_pUsbTransport->m_StopInterruptUrb();
    m_pUsbTransport->m_StopSendRequest();
    m_llLastReceiveStamp = 0;
    m_ullLastReceiveInterval = 0;
    m_Leave();
    return TRUE;
}

BOOLEAN CUSBTransport::m_BulkWrite(CPmBuffer* pBuffer, PULONG pulWritten, UCHAR ucEndPointKey) {
    *pulWritten = 0;
    if (!m_Enter())
        return FALSE;
    KeWaitForSingleObject(&m_WriteMutex, Executive, KernelMode, FALSE, NULL);
    UCHAR ucEndPoint = ucEndPointKey == HV_SEND_ENDPOINT_KEY ? m_ucSendEndPoint : ucEndPointKey;
    USBD_PIPE_HANDLE hPipe = NULL;
    BOOLEAN bDone = m_pUsbTransport->m_FindPipe(ucEndPoint, &hPipe) &&
                    m_pUsbTransport->m_SendData(pBuffer, hPipe, pulWritten) && *pulWritten == pBuffer->m_GetLength();
    KeReleaseMutex(&m_WriteMutex, FALSE);
    m_Leave();
    return bDone;
}

BOOLEAN CUSBTransport::m_SetReceiveTransferSize(ULONG ulSize) {
    if (!m_Enter())
        return FALSE;
    PM_TRACE(HV_USB_TRACE_LEVEL, "m_SetInterruptPipeBufferSize %d", ulSize);
    m_ulReceiveTransferSize = ulSize;
    m_pUsbTransport->m_SetInterruptPipeBufferSize(ulSize);
    m_Leave();
    return TRUE;
}

BOOLEAN CUSBTransport::m_StartReceive(ULONG ulSize) {
    if (!m_Enter())
        return FALSE;
    USBD_PIPE_HANDLE hPipe = NULL;
    BOOLEAN bDone = m_pUsbTransport->m_FindPipe(m_ucReceiveEndPoint, &hPipe) &&
                    m_pUsbTransport->m_StartInterruptUrb(hPipe, ulSize);
    if (bDone)
        m_ulReceiveTransferSize = ulSize;
    m_Leave();
    return bDone;
}

BOOLEAN CUSBTransport::m_StopReceive() {
    if (!m_Enter())
        return FALSE;
    BOOLEAN bDone = m_pUsbTransport->m_StopInterruptUrb();
    m_llLastReceiveStamp = 0;
    m_ullLastReceiveInterval = 0;
    m_Leave();
    return bDone;
}

BOOLEAN CUSBTransport::m_EnableReceive() {
    if (!m_Enter())
        return FALSE;
    BOOLEAN bDone = m_pUsbTransport->m_EnableInterruptUrb();
    m_Leave();
    return bDone;
}

BOOLEAN CUSBTransport::m_DisableReceive() {
    if (!m_Enter())
        return FALSE;
    BOOLEAN bDone = m_pUsbTransport->m_DisableInterruptUrb();
    m_Leave();
    return bDone;
}

BOOLEAN CUSBTransport::m_WriteSettings(UCHAR ucRequest, USHORT unValue, USHORT unIndex) {
    if (!m_Enter())
        return FALSE;
    PM_TRACE(HV_USB_TRACE_LEVEL, "Write VendorRequestOUT - Interface:0x%X, Request:0x%X, wValue:0x%X, uIndex:0x%X",
             m_unPortIndex, ucRequest, unValue, unIndex);
    BOOLEAN bDone = m_pUsbTransport->m_VendorInterfaceRequestOUT(ucRequest, unValue, unIndex);
    m_Leave();
    return bDone;
}

BOOLEAN CUSBTransport::m_ReadSettings(UCHAR ucRequest, CPmBuffer* pBuffer) {
    if (!m_Enter())
        return FALSE;
    PM_TRACE(HV_USB_TRACE_LEVEL, "Read VendorRequestIN - Interface:0x%X, Request:0x%X, wValue:0x00, uIndex:0x00",
             m_unPortIndex, ucRequest);
    BOOLEAN bDone = m_pUsbTransport->m_VendorInterfaceRequestIN(ucRequest, m_unPortIndex, pBuffer);
    m_Leave();
    return bDone;
}

// The receive completion, at up to DISPATCH_LEVEL, with the transport's receive lock held.
void CUSBTransport::m_ReadInterruptPipeCallback(PVOID pvContext, PUCHAR pucData, ULONG ulLength) {
    CUSBTransport* pThis = static_cast<CUSBTransport*>(pvContext);
    pThis->m_ullLastReceiveInterval = CPmDebugManager::m_ElapsedMicroseconds(&pThis->m_llLastReceiveStamp);
    ++pThis->m_ulReceiveTransfers;
    // Only the two status bytes can make a transfer of the chip; anything shorter is noise.
    if (ulLength < 2)
        return;
    if (!pThis->m_pfnReceiveCallback) {
        PmAssertionLine(__FILE__, 294);
        return;
    }
    if (!pThis->m_pvReceiveContext) {
        PmAssertionLine(__FILE__, 295);
        return;
    }
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (!pBuffer)
        return;
    pBuffer->m_pPool = g_pPmMemoryPool;
    if (!pBuffer->m_Assign(pucData, ulLength)) {
        pBuffer->m_Delete();
        return;
    }
    pThis->m_pfnReceiveCallback(pThis->m_pvReceiveContext, pBuffer);
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUSBTransport::m_ReadInterruptPipeCallback TD=%dys", (ULONG)pThis->m_ullLastReceiveInterval);
}
