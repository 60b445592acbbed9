// One port's USB transport: URB submission at PASSIVE and DISPATCH level, the port reset, the
// prepared bulk send and the continuously re-armed receive transfer.
#pragma once

#include <hvusb.h>

#include <pmspinlock.h>
#include <pmworkerthread.h>

// States of the receive transfer.
#define HV_URB_UNINITIALISED 0
#define HV_URB_REGISTERED 1
#define HV_URB_INITIALISED 2
#define HV_URB_STARTED 3
#define HV_URB_DISABLED 4
#define HV_URB_CANCELLED 5

// (context, bytes, length) of one completed receive transfer; runs at up to DISPATCH_LEVEL.
typedef VOID HV_INTERRUPT_URB_CALLBACK(PVOID pvContext, PUCHAR pucData, ULONG ulLength);
typedef HV_INTERRUPT_URB_CALLBACK* PHV_INTERRUPT_URB_CALLBACK;

class CUsbTransport : public CUsbDevice {
public:
    // The worker for passive-level submission on systems older than WDM 1.10.
    CPmWorkerThread* m_pWorker;

    // Receive transfer.
    volatile LONG m_lInterruptUrbState;
    PIRP m_pInterruptIrp;
    PURB m_pInterruptUrb;
    USBD_PIPE_HANDLE m_hInterruptPipe;
    volatile LONG m_lInterruptPipeBufferSize;
    PVOID m_pvInterruptPipeBuffer;
    PHV_INTERRUPT_URB_CALLBACK m_pfnInterruptCallback;
    PVOID m_pvInterruptCallbackContext;
    KEVENT m_kInterruptStopEvent;
    CPmSpinLock m_InterruptUrbSpinLock;
    // The receive IRP is with the lower driver (guarded by the spin lock).
    BOOLEAN m_bInterruptInFlight;

    // Prepared send request (guarded by m_SendSpinLock).
    PIRP m_pSendIrp;
    PURB m_pSendUrb;
    BOOLEAN m_bSendEnabled;
    BOOLEAN m_bSendInFlight;
    KEVENT m_kSendDoneEvent;
    CPmSpinLock m_SendSpinLock;

    CUsbTransport();
    // Deletes the receive transfer and frees the prepared send request.
    ~CUsbTransport() override;

    BOOLEAN m_Init(PDEVICE_OBJECT pLowerDeviceObject, PDEVICE_OBJECT pPhysicalDeviceObject);

    // Submission.
    BOOLEAN m_SubmitUrb(PURB pUrb, BOOLEAN bForcePassiveLevel) override;
    BOOLEAN m_SubmitUsbRequest() override;
    // At DISPATCH_LEVEL the request is sent and left: the URB must outlive it.
    BOOLEAN m_SubmitUsbRequestDispatchLevel(PURB pUrb, BOOLEAN bWaitWithTimeout);
    static IO_COMPLETION_ROUTINE sm_OnComplete;
    static PM_WORK_FUNCTION m_SubmitUrbAtPassiveLevel;

    // Prepared send request.
    BOOLEAN m_PrepareSendRequest();
    void m_StopSendRequest();
    BOOLEAN m_SubmitSendUrb(PURB pUrb) override;
    static IO_COMPLETION_ROUTINE sm_OnSendComplete;

    // Receive transfer.
    BOOLEAN m_RegisterInterruptUrbCallback(PHV_INTERRUPT_URB_CALLBACK pfnCallback, PVOID pvContext);
    BOOLEAN m_CreateInterruptUrb();
    BOOLEAN m_StartInterruptUrb(USBD_PIPE_HANDLE hPipe, ULONG ulBufferSize);
    BOOLEAN m_StartInterruptUrb();
    BOOLEAN m_EnableInterruptUrb();
    BOOLEAN m_DisableInterruptUrb();
    BOOLEAN m_StopInterruptUrb();
    BOOLEAN m_DeleteInterruptUrb();
    // The size of the next receive transfer; the old one.
    ULONG m_SetInterruptPipeBufferSize(ULONG ulSize);
    // Under the spin lock: a re-arm passes through INITIALISED on its way back to STARTED, and a
    // caller deciding whether to stop the transfer must not see that step.
    LONG m_GetInterruptUrbState();
    static IO_COMPLETION_ROUTINE sm_OnInterrupt;

    static PCSTR sm_StateName(LONG lState);

private:
    // Under the spin lock: 2 -> 3 with a fresh buffer and the IRP made ready; FALSE leaves 2.
    BOOLEAN m_PrepareInterruptUrb(USBD_PIPE_HANDLE hPipe, ULONG ulBufferSize, PCSTR pszCaller);
    void m_SendInterruptIrp();
    // Under the spin lock; TRUE when the transfer is to be sent again.
    BOOLEAN m_OnInterrupt(PIRP pIrp);
    void m_FreeInterruptBuffer();
};
