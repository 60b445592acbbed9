// The per-port transport of the bus driver: the USB transport library behind the small interface
// that a port object uses, every call guarded so that none reaches the library after de-init.
#pragma once

#include <wdm.h>

#include <hvusbtransport.h>

#include <pmbuffer.h>
#include <pmfunctionaldevice.h>
#include <pmusagelock.h>

// The port's receive callback: it takes the buffer over.
typedef BOOLEAN HV_RECEIVE_CALLBACK(PVOID pvContext, CPmBuffer* pBuffer);
typedef HV_RECEIVE_CALLBACK* PHV_RECEIVE_CALLBACK;

// Endpoint handles of the registry: the bulk-in pipe and the bulk-out pipe.
#define HV_RECEIVE_ENDPOINT_HANDLE 1
#define HV_SEND_ENDPOINT_HANDLE 2
// The endpoint key of a bulk write that means the send endpoint.
#define HV_SEND_ENDPOINT_KEY 255

class CTransportBase : public CPmObject {
public:
    CPmFunctionalDevice* m_pBusDevice;
    PHV_RECEIVE_CALLBACK m_pfnReceiveCallback;
    PVOID m_pvReceiveContext;

    explicit CTransportBase(CPmFunctionalDevice* pBusDevice);
    ~CTransportBase() override {}

    virtual BOOLEAN m_Init() = 0;
    virtual void m_DeInit() = 0;
    virtual BOOLEAN m_Connect() = 0;
    virtual BOOLEAN m_Disconnect() = 0;
    // TRUE only when every byte was written; *pulWritten is what was.
    virtual BOOLEAN m_BulkWrite(CPmBuffer* pBuffer, PULONG pulWritten, UCHAR ucEndPointKey) = 0;

    void m_SetReceiveCallback(PHV_RECEIVE_CALLBACK pfnCallback, PVOID pvContext) {
        m_pfnReceiveCallback = pfnCallback;
        m_pvReceiveContext = pvContext;
    }
};

class CUSBTransport : public CTransportBase {
public:
    CUsbTransport* m_pUsbTransport;
    CPmUsageLock m_UsageLock;
    UCHAR m_ucReceiveEndPoint;
    UCHAR m_ucSendEndPoint;
    // The interface index of vendor requests.
    USHORT m_unPortIndex;
    ULONG m_ulReceiveTransferSize;
    BOOLEAN m_bSendPrepared;
    // Timing of the last receive transfer.
    LONGLONG m_llLastReceiveStamp;
    ULONGLONG m_ullLastReceiveInterval;
    ULONG m_ulReceiveTransfers;
    // One bulk write per port at a time.
    KMUTEX m_WriteMutex;

    CUSBTransport(CPmFunctionalDevice* pBusDevice, USHORT unPortIndex);
    ~CUSBTransport() override;

    BOOLEAN m_Init() override;
    void m_DeInit() override;
    BOOLEAN m_Connect() override;
    BOOLEAN m_Disconnect() override;
    BOOLEAN m_BulkWrite(CPmBuffer* pBuffer, PULONG pulWritten, UCHAR ucEndPointKey) override;

    BOOLEAN m_SetReceiveTransferSize(ULONG ulSize);
    BOOLEAN m_StartReceive(ULONG ulSize);
    BOOLEAN m_StopReceive();
    BOOLEAN m_EnableReceive();
    BOOLEAN m_DisableReceive();
    BOOLEAN m_WriteSettings(UCHAR ucRequest, USHORT unValue, USHORT unIndex);
    // Reads the buffer's length from the port's interface.
    BOOLEAN m_ReadSettings(UCHAR ucRequest, CPmBuffer* pBuffer);

    static HV_INTERRUPT_URB_CALLBACK m_ReadInterruptPipeCallback;

private:
    BOOLEAN m_Enter();
    void m_Leave() { m_UsageLock.m_Release(); }
};
