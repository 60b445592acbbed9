// A small bus driver on the device framework for the transport's tests: it attaches to a USB
// device (or one interface of it) and turns each IOCTL_HVUT_REQUEST into one call of the per-port
// transport, as the bus driver's port object will. Received data is unpacked from the chip's
// 64-byte packets into a ring that the tests drain.
#include <wdm.h>

#include <pmdebugmanager.h>
#include <pmdriver.h>
#include <pmfunctionaldevice.h>
#include <pmusagelock.h>

#include "../../../../../hvubus/usbtransport.h"
#include "../hvusbtest_protocol.h"

namespace {

const ULONG kRingSize = 512 * 1024;
const ULONG kPacketSize = 64;

class CUsbTestDriver : public CPmDriverClass {
public:
    CPmFunctionalDevice* m_pDevice = NULL;
    CUSBTransport* m_pTransport = NULL;
    CPmSpinLock m_RingLock;
    PUCHAR m_pucRing = NULL;
    ULONG m_ulHead = 0;
    ULONG m_ulLevel = 0;
    ULONG m_ulTransfers = 0;
    ULONG m_ulStatusOnly = 0;
    ULONGLONG m_ullReceived = 0;
    ULONGLONG m_ullLost = 0;
    // Requests run beside removal: the transport goes only once none is using it.
    CPmUsageLock m_Usage;

    CUsbTestDriver() { m_Usage.m_Init(TRUE); }

    void m_Release() {
        // An unplugged device ends its transfers, so the requests holding them return.
        m_Usage.m_DisableAndWait();
        if (m_pTransport) {
            m_pTransport->m_DeInit();
            delete m_pTransport;
            m_pTransport = NULL;
        }
        if (m_pucRing) {
            PmFreeMemory(m_pucRing);
            m_pucRing = NULL;
        }
    }
};

// The port's receive callback: takes the buffer over.
BOOLEAN OnDataArrived(PVOID pvContext, CPmBuffer* pBuffer) {
    CUsbTestDriver* pDriver = static_cast<CUsbTestDriver*>(pvContext);
    PUCHAR puc = pBuffer->m_GetData();
    ULONG ulLength = pBuffer->m_GetLength();
    ULONG ulData = 0;
    pDriver->m_RingLock.m_Lock();
    ++pDriver->m_ulTransfers;
    for (ULONG ulAt = 0; ulAt + 2 <= ulLength; ulAt += kPacketSize) {
        ULONG ulEnd = ulAt + kPacketSize < ulLength ? ulAt + kPacketSize : ulLength;
        for (ULONG ul = ulAt + 2; ul < ulEnd; ++ul) {
            ++ulData;
            if (!pDriver->m_pucRing || pDriver->m_ulLevel == kRingSize) {
                ++pDriver->m_ullLost;
                continue;
            }
            pDriver->m_pucRing[(pDriver->m_ulHead + pDriver->m_ulLevel) % kRingSize] = puc[ul];
            ++pDriver->m_ulLevel;
        }
    }
    pDriver->m_ullReceived += ulData;
    if (ulData == 0)
        ++pDriver->m_ulStatusOnly;
    pDriver->m_RingLock.m_Unlock();
    pBuffer->m_Delete();
    return TRUE;
}

void Drain(CUsbTestDriver* pDriver, HvutRequest* pRequest) {
    ULONG ulWant = pRequest->length < HVUT_DATA_SIZE ? pRequest->length : HVUT_DATA_SIZE;
    pDriver->m_RingLock.m_Lock();
    ULONG ulCount = 0;
    while (ulCount < ulWant && pDriver->m_ulLevel) {
        pRequest->data[ulCount++] = pDriver->m_pucRing[pDriver->m_ulHead];
        pDriver->m_ulHead = (pDriver->m_ulHead + 1) % kRingSize;
        --pDriver->m_ulLevel;
    }
    pRequest->length = ulCount;
    pDriver->m_RingLock.m_Unlock();
}

BOOLEAN Run(CUsbTestDriver* pDriver, HvutRequest* pRequest) {
    CUSBTransport* pTransport = pDriver->m_pTransport;
    switch (pRequest->op) {
    case HVUT_INIT: {
        if (pTransport)
            return FALSE;
        if (!pDriver->m_pucRing)
            pDriver->m_pucRing = static_cast<PUCHAR>(PmAllocateMemory(kRingSize, NonPagedPool));
        pTransport = new (NonPagedPool) CUSBTransport(pDriver->m_pDevice, (USHORT)pRequest->a);
        if (!pTransport)
            return FALSE;
        pTransport->m_SetReceiveCallback(OnDataArrived, pDriver);
        if (!pTransport->m_Init()) {
            delete pTransport;
            return FALSE;
        }
        pDriver->m_pTransport = pTransport;
        return TRUE;
    }
    case HVUT_DEINIT:
        if (!pTransport)
            return FALSE;
        pTransport->m_DeInit();
        return TRUE;
    case HVUT_READ:
        Drain(pDriver, pRequest);
        return TRUE;
    case HVUT_QUERY:
        return TRUE;
    }
    if (!pTransport)
        return FALSE;
    switch (pRequest->op) {
    case HVUT_CONNECT:
        return pTransport->m_Connect();
    case HVUT_DISCONNECT:
        return pTransport->m_Disconnect();
    case HVUT_VENDOR_OUT:
        return pTransport->m_WriteSettings((UCHAR)pRequest->a, (USHORT)pRequest->b, (USHORT)pRequest->c);
    case HVUT_VENDOR_IN: {
        if (pRequest->length == 0 || pRequest->length > HVUT_DATA_SIZE)
            return FALSE;
        CPmBuffer buffer;
        RtlZeroMemory(&buffer, sizeof(buffer));
        if (!buffer.m_Allocate(pRequest->length))
            return FALSE;
        RtlZeroMemory(buffer.m_GetData(), pRequest->length);
        BOOLEAN bDone = pTransport->m_ReadSettings((UCHAR)pRequest->a, &buffer);
        RtlCopyMemory(pRequest->data, buffer.m_GetData(), pRequest->length);
        buffer.m_Clear();
        return bDone;
    }
    case HVUT_BULK_WRITE: {
        if (pRequest->length > HVUT_DATA_SIZE)
            return FALSE;
        CPmBuffer buffer;
        RtlZeroMemory(&buffer, sizeof(buffer));
        if (pRequest->length && !buffer.m_Assign(pRequest->data, pRequest->length))
            return FALSE;
        ULONG ulWritten = 0;
        BOOLEAN bDone = pTransport->m_BulkWrite(&buffer, &ulWritten, HV_SEND_ENDPOINT_KEY);
        pRequest->written = ulWritten;
        buffer.m_Clear();
        return bDone;
    }
    case HVUT_START_RX:
        return pTransport->m_StartReceive(pRequest->a);
    case HVUT_STOP_RX:
        return pTransport->m_StopReceive();
    case HVUT_ENABLE_RX:
        return pTransport->m_EnableReceive();
    case HVUT_DISABLE_RX:
        return pTransport->m_DisableReceive();
    case HVUT_SET_RX_SIZE:
        return pTransport->m_SetReceiveTransferSize(pRequest->a);
    case HVUT_FIND_PIPE: {
        USBD_PIPE_HANDLE hPipe = NULL;
        return pTransport->m_pUsbTransport && pTransport->m_pUsbTransport->m_FindPipe((UCHAR)pRequest->a, &hPipe);
    }
    }
    return FALSE;
}

NTSTATUS OnInternalControl(CPmDriverClass* pObject, ULONG ulCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                           ULONG ulOutputLength, PULONG_PTR pulInformation) {
    if (ulCode != IOCTL_HVUT_REQUEST)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (ulInputLength < sizeof(HvutRequest) || ulOutputLength < sizeof(HvutRequest))
        return STATUS_BUFFER_TOO_SMALL;
    CUsbTestDriver* pDriver = static_cast<CUsbTestDriver*>(pObject);
    HvutRequest* pRequest = static_cast<HvutRequest*>(pvInput);
    if (!pDriver->m_Usage.m_Acquire())
        return STATUS_DEVICE_REMOVED;
    pRequest->result = Run(pDriver, pRequest);
    CUSBTransport* pTransport = pDriver->m_pTransport;
    pRequest->state = pTransport && pTransport->m_pUsbTransport ? pTransport->m_pUsbTransport->m_GetInterruptUrbState() : -1;
    pDriver->m_Usage.m_Release();
    pDriver->m_RingLock.m_Lock();
    pRequest->transfers = pDriver->m_ulTransfers;
    pRequest->status_only = pDriver->m_ulStatusOnly;
    pRequest->received = pDriver->m_ullReceived;
    pRequest->lost = pDriver->m_ullLost;
    pRequest->level = pDriver->m_ulLevel;
    pDriver->m_RingLock.m_Unlock();
    *pulInformation = sizeof(HvutRequest);
    return STATUS_SUCCESS;
}

BOOLEAN OnStart(CPmDriverClass* pObject) { return TRUE; }

void OnRemove(CPmDriverClass* pObject) { static_cast<CUsbTestDriver*>(pObject)->m_Release(); }

BOOLEAN AddDeviceFunction(CPmDriverClass* pObject, CPmDriver* pWrapper, CPmFunctionalDevice* pDevice) {
    CUsbTestDriver* pDriver = static_cast<CUsbTestDriver*>(pObject);
    pDriver->m_pDevice = pDevice;
    PmDriverCallbacks& callbacks = pDevice->m_Callbacks;
    callbacks.m_PnpStartDeviceCallback = OnStart;
    callbacks.m_PnpRemoveDeviceCallback = OnRemove;
    callbacks.m_InternalDeviceControlCallback = OnInternalControl;
    return TRUE;
}

BOOLEAN CreateDriverClass(PPM_ADD_DEVICE_FUNCTION* ppfnAddDeviceFunction, PPM_DEVICE_CREATION* ppfnDeviceCreation,
                          CPmDriverClass** ppObject) {
    *ppObject = new (NonPagedPool) CUsbTestDriver();
    if (!*ppObject)
        return FALSE;
    *ppfnAddDeviceFunction = AddDeviceFunction;
    return TRUE;
}

void DestroyDriverClass(CPmDriverClass* pObject) {
    CUsbTestDriver* pDriver = static_cast<CUsbTestDriver*>(pObject);
    pDriver->m_Release();
    delete pDriver;
}

} // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject,
                                                                        PUNICODE_STRING pRegistryPath) {
    PmDriverDescription description;
    RtlZeroMemory(&description, sizeof(description));
    description.m_pszDriverName = u"HvUsbTest";
    description.m_pszFileName = u"hvusbtest.sys";
    description.m_pfnCreateDriverClass = CreateDriverClass;
    description.m_pfnDestroyDriverClass = DestroyDriverClass;
    description.m_pfnUnloadCleanup = PmDriverUnloadCleanup;
    return PmDriverEntry(pDriverObject, pRegistryPath, &description);
}
