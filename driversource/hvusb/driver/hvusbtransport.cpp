// URB submission, the port reset, the prepared bulk send and the receive transfer of one port.
#include <hvusbtransport.h>

namespace {

const LONGLONG kOneSecond = -10000000LL;
const LONGLONG kHalfSecond = -5000000LL;

static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk transfer URB");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "vendor request URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor request URB");

PCSTR BoolText(BOOLEAN b) { return b ? "TRUE" : "FALSE"; }

PCSTR StatusText(NTSTATUS ntStatus) {
    switch (ntStatus) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_WAIT_1: return "STATUS_WAIT_1";
    case STATUS_WAIT_2: return "STATUS_WAIT_2";
    case STATUS_WAIT_3: return "STATUS_WAIT_3";
    case STATUS_ALERTED: return "STATUS_ALERTED";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    default: return "STATUS_?????";
    }
}

// Waits the relative time (100-ns units, negative), or without limit when it is 0.
NTSTATUS WaitFor(PKEVENT pEvent, LONGLONG llRelative) {
    if (llRelative == 0)
        return KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, NULL);
    LARGE_INTEGER liTimeout;
    liTimeout.QuadPart = llRelative;
    return KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, &liTimeout);
}

// A request the lower driver still owns must come back before it is freed or reused: wait the
// given time, then without limit (a cancelled request always completes).
void WaitForReturn(PKEVENT pEvent, LONGLONG llRelative, PCSTR pszCaller) {
    if (WaitFor(pEvent, llRelative) == STATUS_TIMEOUT) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "%s - the cancelled request has not come back yet; waiting for it", pszCaller);
        WaitFor(pEvent, 0);
    }
}

// Passive-level submission on the transport's worker.
struct PassiveSubmission {
    CUsbTransport* m_pTransport;
    PURB m_pUrb;
    BOOLEAN m_bResult;
    KEVENT m_kDone;
};

} // namespace

CUsbTransport::CUsbTransport()
    : m_pWorker(NULL), m_lInterruptUrbState(HV_URB_UNINITIALISED), m_pInterruptIrp(NULL), m_pInterruptUrb(NULL),
      m_hInterruptPipe(NULL), m_lInterruptPipeBufferSize(0), m_pvInterruptPipeBuffer(NULL),
      m_pfnInterruptCallback(NULL), m_pvInterruptCallbackContext(NULL), m_bInterruptInFlight(FALSE),
      m_pSendIrp(NULL), m_pSendUrb(NULL), m_bSendEnabled(FALSE), m_bSendInFlight(FALSE) {
    KeInitializeEvent(&m_kInterruptStopEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_kSendDoneEvent, NotificationEvent, TRUE);
}

CUsbTransport::~CUsbTransport() {
    if (m_lInterruptUrbState >= HV_URB_INITIALISED)
        m_DeleteInterruptUrb();
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::~CUsbTransport - Stopping and freeing BulkIrp");
    m_StopSendRequest();
    if (m_pSendIrp)
        IoFreeIrp(m_pSendIrp);
    if (m_pSendUrb)
        PmFreeMemory(m_pSendUrb);
    if (m_pWorker) {
        m_pWorker->~CPmWorkerThread();
        PmFreeMemory(m_pWorker);
    }
}

BOOLEAN CUsbTransport::m_Init(PDEVICE_OBJECT pLowerDeviceObject, PDEVICE_OBJECT pPhysicalDeviceObject) {
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_Init IN");
    m_pLowerDeviceObject = pLowerDeviceObject;
    BOOLEAN bDone = pLowerDeviceObject != NULL && pPhysicalDeviceObject != NULL;
    // Only systems without WDM 1.10 submit from a worker.
    if (bDone && !IoIsWdmVersionAvailable(1, 0x10)) {
        m_pWorker = new (NonPagedPool) CPmWorkerThread(31, 0);
        bDone = m_pWorker != NULL && m_pWorker->m_IsRunning();
    }
    bDone = bDone && m_ReadDeviceDescriptor() && m_ReadRegistry(pPhysicalDeviceObject);
    if (bDone) {
        m_LogConfiguration();
        bDone = m_BuildTransportEndPoints() && m_MatchesRegistry() && m_Configure();
    }
    PM_TRACE(HV_USB_TRACE_LEVEL, bDone ? "CUsbTransport::m_Init OUT" : "CUsbTransport::m_Init OUT - failed");
    return bDone;
}

// ---- Submission ------------------------------------------------------------------------------

BOOLEAN CUsbTransport::m_SubmitUrb(PURB pUrb, BOOLEAN bForcePassiveLevel) {
    KIRQL irql = KeGetCurrentIrql();
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_SubmitUrb IN - IRQL=%d bForcePassiveLevel=%s", irql,
             BoolText(bForcePassiveLevel));
    BOOLEAN bStatus;
    if (irql > PASSIVE_LEVEL && !IoIsWdmVersionAvailable(1, 0x10) && m_pWorker) {
        PassiveSubmission submission;
        submission.m_pTransport = this;
        submission.m_pUrb = pUrb;
        submission.m_bResult = FALSE;
        KeInitializeEvent(&submission.m_kDone, NotificationEvent, FALSE);
        bStatus = FALSE;
        if (m_pWorker->m_Post(m_SubmitUrbAtPassiveLevel, &submission)) {
            DbgPrint("Block here\n");
            WaitFor(&submission.m_kDone, 0);
            DbgPrint("UnBlock here\n");
            bStatus = submission.m_bResult;
        }
    } else {
        bStatus = m_SubmitUsbRequestDispatchLevel(pUrb, bForcePassiveLevel);
    }
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_SubmitUrb OUT - bStatus=%s", BoolText(bStatus));
    return bStatus;
}

void CUsbTransport::m_SubmitUrbAtPassiveLevel(PVOID pvArgument1, PVOID pvArgument2) {
    PassiveSubmission* pSubmission = static_cast<PassiveSubmission*>(pvArgument1);
    pSubmission->m_bResult = pSubmission->m_pTransport->m_SubmitUsbRequestDispatchLevel(pSubmission->m_pUrb, TRUE);
    KeSetEvent(&pSubmission->m_kDone, IO_NO_INCREMENT, FALSE);
}

BOOLEAN CUsbTransport::m_SubmitUsbRequestDispatchLevel(PURB pUrb, BOOLEAN bWaitWithTimeout) {
    if (!m_pLowerDeviceObject)
        return FALSE;
    PIRP pIrp = IoAllocateIrp(m_pLowerDeviceObject->StackSize, FALSE);
    if (!pIrp) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_SubmitUsbRequestDispatchLevel - IoAllocateIrp failed");
        return FALSE;
    }
    BOOLEAN bDispatch = KeGetCurrentIrql() >= DISPATCH_LEVEL;
    KEVENT kEvent;
    KeInitializeEvent(&kEvent, NotificationEvent, FALSE);
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(pIrp);
    pStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pStack->Parameters.Others.Argument1 = pUrb;
    IoSetCompletionRoutine(pIrp, sm_OnComplete, bDispatch ? NULL : &kEvent, TRUE, TRUE, TRUE);
    NTSTATUS ntStatus = IoCallDriver(m_pLowerDeviceObject, pIrp);
    if (bDispatch) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_SubmitUsbRequestDispatchLevel - IRQL=DISPATCH_LEVEL");
        return TRUE;
    }
    if (ntStatus == STATUS_PENDING) {
        if (bWaitWithTimeout) {
            if (WaitFor(&kEvent, kOneSecond) == STATUS_TIMEOUT) {
                IoCancelIrp(pIrp);
                WaitForReturn(&kEvent, kOneSecond, "CUsbTransport::m_SubmitUsbRequestDispatchLevel");
                PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_SubmitUsbRequestDispatchLevel - timed out, NTSTATUS=%s",
                         StatusText(pIrp->IoStatus.Status));
                IoFreeIrp(pIrp);
                return FALSE;
            }
        } else {
            WaitFor(&kEvent, 0);
        }
    }
    ntStatus = pIrp->IoStatus.Status;
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_SubmitUsbRequestDispatchLevel - After wait, NTSTATUS=%s",
             StatusText(ntStatus));
    IoFreeIrp(pIrp);
    if (ntStatus != STATUS_SUCCESS) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_SubmitUsbRequestDispatchLevel - ntstatus != STATUS_SUCCESS");
        return FALSE;
    }
    return TRUE;
}

NTSTATUS CUsbTransport::sm_OnComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pvContext) {
    if (!pvContext)
        IoFreeIrp(pIrp);
    else if (pIrp->IoStatus.Status != STATUS_PENDING)
        KeSetEvent(static_cast<PKEVENT>(pvContext), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN CUsbTransport::m_SubmitUsbRequest() {
    if (!m_pLowerDeviceObject)
        return FALSE;
    KEVENT kEvent;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&kEvent, NotificationEvent, FALSE);
    PIRP pIrp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, m_pLowerDeviceObject, NULL, 0, NULL, 0,
                                              TRUE, &kEvent, &ioStatus);
    if (!pIrp) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_SubmitUsbRequest - IoBuildDeviceIoControlRequest failed");
        return FALSE;
    }
    NTSTATUS ntStatus = IoCallDriver(m_pLowerDeviceObject, pIrp);
    if (ntStatus == STATUS_PENDING) {
        WaitFor(&kEvent, 0);
        ntStatus = ioStatus.Status;
    }
    return NT_SUCCESS(ntStatus);
}

// ---- Prepared send request -------------------------------------------------------------------

BOOLEAN CUsbTransport::m_PrepareSendRequest() {
    if (!m_pLowerDeviceObject)
        return FALSE;
    if (!m_pSendIrp) {
        m_pSendIrp = IoAllocateIrp(m_pLowerDeviceObject->StackSize, FALSE);
        m_pSendUrb = static_cast<PURB>(PmAllocateZeroedMemory(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), NonPagedPool));
        if (!m_pSendIrp || !m_pSendUrb) {
            if (m_pSendIrp)
                IoFreeIrp(m_pSendIrp);
            if (m_pSendUrb)
                PmFreeMemory(m_pSendUrb);
            m_pSendIrp = NULL;
            m_pSendUrb = NULL;
            return FALSE;
        }
    }
    m_SendSpinLock.m_Lock();
    m_bSendEnabled = TRUE;
    m_SendSpinLock.m_Unlock();
    return TRUE;
}

void CUsbTransport::m_StopSendRequest() {
    m_SendSpinLock.m_Lock();
    m_bSendEnabled = FALSE;
    BOOLEAN bInFlight = m_bSendInFlight;
    m_SendSpinLock.m_Unlock();
    if (bInFlight) {
        IoCancelIrp(m_pSendIrp);
        WaitForReturn(&m_kSendDoneEvent, kHalfSecond, "CUsbTransport::m_StopSendRequest");
    }
}

BOOLEAN CUsbTransport::m_SubmitSendUrb(PURB pUrb) {
    // The send waits for its request.
    if (KeGetCurrentIrql() > APC_LEVEL) {
        PM_ASSERTION_LINE(__FILE__);
        return FALSE;
    }
    m_SendSpinLock.m_Lock();
    if (!m_pSendIrp) {
        m_SendSpinLock.m_Unlock();
        return m_SubmitUrb(pUrb, FALSE);
    }
    if (!m_bSendEnabled || m_bSendInFlight) {
        m_SendSpinLock.m_Unlock();
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_SubmitSendUrb - sending is stopped or busy");
        return FALSE;
    }
    RtlCopyMemory(m_pSendUrb, pUrb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    IoReuseIrp(m_pSendIrp, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(m_pSendIrp);
    pStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pStack->Parameters.Others.Argument1 = m_pSendUrb;
    IoSetCompletionRoutine(m_pSendIrp, sm_OnSendComplete, this, TRUE, TRUE, TRUE);
    KeClearEvent(&m_kSendDoneEvent);
    m_bSendInFlight = TRUE;
    m_SendSpinLock.m_Unlock();

    IoCallDriver(m_pLowerDeviceObject, m_pSendIrp);
    WaitFor(&m_kSendDoneEvent, 0);
    NTSTATUS ntStatus = m_pSendIrp->IoStatus.Status;
    pUrb->UrbHeader.Status = m_pSendUrb->UrbHeader.Status;
    pUrb->UrbBulkOrInterruptTransfer.TransferBufferLength = m_pSendUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;

    m_SendSpinLock.m_Lock();
    m_bSendInFlight = FALSE;
    m_SendSpinLock.m_Unlock();
    return ntStatus == STATUS_SUCCESS;
}

NTSTATUS CUsbTransport::sm_OnSendComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pvContext) {
    KeSetEvent(&static_cast<CUsbTransport*>(pvContext)->m_kSendDoneEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Receive transfer ------------------------------------------------------------------------

PCSTR CUsbTransport::sm_StateName(LONG lState) {
    switch (lState) {
    case HV_URB_UNINITIALISED: return "Uninitialised";
    case HV_URB_REGISTERED: return "Registered";
    case HV_URB_INITIALISED: return "Initialised";
    case HV_URB_STARTED: return "Started";
    case HV_URB_DISABLED: return "Disabled";
    case HV_URB_CANCELLED: return "Cancelled";
    default:
        PmAssertionLine(__FILE__, 169);
        return "Unknown";
    }
}

BOOLEAN CUsbTransport::m_RegisterInterruptUrbCallback(PHV_INTERRUPT_URB_CALLBACK pfnCallback, PVOID pvContext) {
    LONG lState = m_lInterruptUrbState;
    if (lState != HV_URB_UNINITIALISED && lState != HV_URB_REGISTERED) {
        PmAssertionLine(__FILE__, 541);
        return FALSE;
    }
    m_InterruptUrbSpinLock.m_Lock();
    m_pfnInterruptCallback = pfnCallback;
    m_pvInterruptCallbackContext = pvContext;
    m_InterruptUrbSpinLock.m_Unlock();
    if (lState == HV_URB_REGISTERED) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_RegisterInterruptUrbCallback OUT - a callback was already registered");
        return TRUE;
    }
    InterlockedExchange(&m_lInterruptUrbState, HV_URB_REGISTERED);
    return TRUE;
}

BOOLEAN CUsbTransport::m_CreateInterruptUrb() {
    if (m_lInterruptUrbState != HV_URB_REGISTERED || !m_pLowerDeviceObject) {
        PmAssertionLine(__FILE__, 505);
        return FALSE;
    }
    m_pInterruptIrp = IoAllocateIrp(m_pLowerDeviceObject->StackSize, FALSE);
    if (!m_pInterruptIrp) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_CreateInterruptUrb - IoAllocateIrp failed");
        return FALSE;
    }
    m_pInterruptUrb =
        static_cast<PURB>(PmAllocateZeroedMemory(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), NonPagedPool));
    if (!m_pInterruptUrb) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_CreateInterruptUrb - ExAllocate for URB failed");
        IoFreeIrp(m_pInterruptIrp);
        m_pInterruptIrp = NULL;
        return FALSE;
    }
    InterlockedExchange(&m_lInterruptUrbState, HV_URB_INITIALISED);
    return TRUE;
}

ULONG CUsbTransport::m_SetInterruptPipeBufferSize(ULONG ulSize) {
    return (ULONG)InterlockedExchange(&m_lInterruptPipeBufferSize, (LONG)ulSize);
}

void CUsbTransport::m_FreeInterruptBuffer() {
    if (m_pvInterruptPipeBuffer) {
        PmFreeMemory(m_pvInterruptPipeBuffer);
        m_pvInterruptPipeBuffer = NULL;
    }
}

BOOLEAN CUsbTransport::m_PrepareInterruptUrb(USBD_PIPE_HANDLE hPipe, ULONG ulBufferSize, PCSTR pszCaller) {
    if (ulBufferSize == 0) {
        PmAssertionLine(__FILE__, 625);
        return FALSE;
    }
    if (m_lInterruptUrbState != HV_URB_INITIALISED || !m_pInterruptIrp) {
        PmAssertionLine(__FILE__, 629);
        return FALSE;
    }
    m_hInterruptPipe = hPipe;
    InterlockedExchange(&m_lInterruptPipeBufferSize, (LONG)ulBufferSize);
    if (m_pvInterruptPipeBuffer) {
        DbgPrint("Error: m_pvInterruptPipeBuffer != NULL\n");
        m_FreeInterruptBuffer();
    }
    m_pvInterruptPipeBuffer = PmAllocateMemory(ulBufferSize, NonPagedPool);
    if (!m_pvInterruptPipeBuffer) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "%s - ExAllocate for m_pvInterruptPipeBuffer failed", pszCaller);
        return FALSE;
    }
    RtlZeroMemory(m_pInterruptUrb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(m_pInterruptUrb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           hPipe, m_pvInterruptPipeBuffer, NULL, ulBufferSize,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    // Clears the cancel flag and routine of the last round.
    IoReuseIrp(m_pInterruptIrp, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(m_pInterruptIrp);
    pStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pStack->Parameters.Others.Argument1 = m_pInterruptUrb;
    IoSetCompletionRoutine(m_pInterruptIrp, sm_OnInterrupt, this, TRUE, TRUE, TRUE);
    KeClearEvent(&m_kInterruptStopEvent);
    InterlockedExchange(&m_lInterruptUrbState, HV_URB_STARTED);
    m_bInterruptInFlight = TRUE;
    return TRUE;
}

// Outside the spin lock: a lower driver may complete the request at once, and the completion takes
// the lock.
void CUsbTransport::m_SendInterruptIrp() { IoCallDriver(m_pLowerDeviceObject, m_pInterruptIrp); }

BOOLEAN CUsbTransport::m_StartInterruptUrb(USBD_PIPE_HANDLE hPipe, ULONG ulBufferSize) {
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_StartInterruptUrb - Current State on entry %s",
             sm_StateName(m_lInterruptUrbState));
    m_InterruptUrbSpinLock.m_Lock();
    BOOLEAN bStarted = m_PrepareInterruptUrb(hPipe, ulBufferSize, "CUsbTransport::m_StartInterruptUrb");
    m_InterruptUrbSpinLock.m_Unlock();
    if (bStarted)
        m_SendInterruptIrp();
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_StartInterruptUrb - Current State at end %s",
             sm_StateName(m_lInterruptUrbState));
    return bStarted;
}

BOOLEAN CUsbTransport::m_StartInterruptUrb() {
    return m_StartInterruptUrb(m_hInterruptPipe, (ULONG)m_lInterruptPipeBufferSize);
}

LONG CUsbTransport::m_GetInterruptUrbState() {
    m_InterruptUrbSpinLock.m_Lock();
    LONG lState = m_lInterruptUrbState;
    m_InterruptUrbSpinLock.m_Unlock();
    return lState;
}

BOOLEAN CUsbTransport::m_EnableInterruptUrb() {
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_EnableInterruptUrb - Current State on entry %s",
             sm_StateName(m_lInterruptUrbState));
    BOOLEAN bResult = FALSE;
    BOOLEAN bSend = FALSE;
    m_InterruptUrbSpinLock.m_Lock();
    LONG lState = m_lInterruptUrbState;
    if (lState == HV_URB_STARTED) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_EnableInterruptUrb - Already started");
        bResult = TRUE;
    } else if (lState == HV_URB_DISABLED && m_bInterruptInFlight) {
        // The disabled transfer has not come back yet: it is simply re-armed when it does.
        InterlockedExchange(&m_lInterruptUrbState, HV_URB_STARTED);
        bResult = TRUE;
    } else if (lState == HV_URB_DISABLED) {
        InterlockedExchange(&m_lInterruptUrbState, HV_URB_INITIALISED);
        bResult = bSend = m_PrepareInterruptUrb(m_hInterruptPipe, (ULONG)m_lInterruptPipeBufferSize,
                                                "CUsbTransport::m_EnableInterruptUrb");
        if (!bResult)
            PmAssertionLine(__FILE__, 766);
    } else {
        PmAssertionLine(__FILE__, 762);
    }
    m_InterruptUrbSpinLock.m_Unlock();
    if (bSend)
        m_SendInterruptIrp();
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_EnableInterruptUrb - Current State at end %s",
             sm_StateName(m_lInterruptUrbState));
    return bResult;
}

BOOLEAN CUsbTransport::m_DisableInterruptUrb() {
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_DisableInterruptUrb - Current State on entry %s",
             sm_StateName(m_lInterruptUrbState));
    BOOLEAN bResult = TRUE;
    LONG lOld = InterlockedCompareExchange(&m_lInterruptUrbState, HV_URB_DISABLED, HV_URB_STARTED);
    if (lOld != HV_URB_STARTED) {
        PmAssertionLine(__FILE__, 798);
        bResult = FALSE;
        // An idle transfer is disabled all the same, so that the next enable starts it; a
        // transfer being stopped or not yet created keeps its state.
        if (lOld == HV_URB_INITIALISED)
            InterlockedCompareExchange(&m_lInterruptUrbState, HV_URB_DISABLED, HV_URB_INITIALISED);
    }
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_DisableInterruptUrb - Current State at end %s",
             sm_StateName(m_lInterruptUrbState));
    return bResult;
}

BOOLEAN CUsbTransport::m_StopInterruptUrb() {
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_StopInterruptUrb - Current State on entry %s",
             sm_StateName(m_lInterruptUrbState));
    if (KeGetCurrentIrql() > APC_LEVEL) {
        PM_ASSERTION_LINE(__FILE__);
        return FALSE;
    }
    m_InterruptUrbSpinLock.m_Lock();
    LONG lState = m_lInterruptUrbState;
    if (lState != HV_URB_STARTED && lState != HV_URB_DISABLED) {
        m_InterruptUrbSpinLock.m_Unlock();
        PmAssertionLine(__FILE__, 713);
        return FALSE;
    }
    if (!m_pInterruptIrp) {
        m_InterruptUrbSpinLock.m_Unlock();
        PmAssertionLine(__FILE__, 725);
        return FALSE;
    }
    InterlockedExchange(&m_lInterruptUrbState, HV_URB_CANCELLED);
    BOOLEAN bInFlight = m_bInterruptInFlight;
    m_InterruptUrbSpinLock.m_Unlock();

    if (bInFlight) {
        IoCancelIrp(m_pInterruptIrp);
        WaitFor(&m_kInterruptStopEvent, 0);
    }

    BOOLEAN bResult = TRUE;
    m_InterruptUrbSpinLock.m_Lock();
    lState = m_lInterruptUrbState;
    if (lState != HV_URB_CANCELLED && lState != HV_URB_INITIALISED) {
        PmAssertionLine(__FILE__, 735);
        bResult = FALSE;
    }
    // Nothing is in flight now, whether or not a request came back: the next start must work.
    InterlockedExchange(&m_lInterruptUrbState, HV_URB_INITIALISED);
    m_FreeInterruptBuffer();
    m_InterruptUrbSpinLock.m_Unlock();
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_StopInterruptUrb - Current State at end %s",
             sm_StateName(m_lInterruptUrbState));
    return bResult;
}

BOOLEAN CUsbTransport::m_DeleteInterruptUrb() {
    // Read under the lock: a completion that has already made the transfer idle may still be
    // freeing its buffer, and must be done before the IRP, the URB and this object go.
    m_InterruptUrbSpinLock.m_Lock();
    LONG lState = m_lInterruptUrbState;
    m_InterruptUrbSpinLock.m_Unlock();
    if (lState == HV_URB_STARTED || lState == HV_URB_DISABLED) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_DeleteInterruptUrb - Need to stop URB first");
        if (!m_StopInterruptUrb()) {
            PmAssertionLine(__FILE__, 578);
            return FALSE;
        }
    }
    m_InterruptUrbSpinLock.m_Lock();
    lState = m_lInterruptUrbState;
    m_InterruptUrbSpinLock.m_Unlock();
    if (lState != HV_URB_INITIALISED) {
        PmAssertionLine(__FILE__, 591);
        return FALSE;
    }
    m_FreeInterruptBuffer();
    if (m_pInterruptIrp)
        IoFreeIrp(m_pInterruptIrp);
    if (m_pInterruptUrb)
        PmFreeMemory(m_pInterruptUrb);
    m_pInterruptIrp = NULL;
    m_pInterruptUrb = NULL;
    InterlockedExchange(&m_lInterruptUrbState, HV_URB_REGISTERED);
    return TRUE;
}

NTSTATUS CUsbTransport::sm_OnInterrupt(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pvContext) {
    if (!pIrp) {
        PmAssertionLine(__FILE__, 821);
        return STATUS_INVALID_PARAMETER;
    }
    if (!pvContext) {
        PmAssertionLine(__FILE__, 822);
        return STATUS_INVALID_PARAMETER;
    }
    CUsbTransport* pThis = static_cast<CUsbTransport*>(pvContext);
    pThis->m_InterruptUrbSpinLock.m_Lock();
    BOOLEAN bRearm = pThis->m_OnInterrupt(pIrp);
    pThis->m_InterruptUrbSpinLock.m_Unlock();
    if (bRearm)
        pThis->m_SendInterruptIrp();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN CUsbTransport::m_OnInterrupt(PIRP pIrp) {
    m_bInterruptInFlight = FALSE;
    NTSTATUS ntStatus = pIrp->IoStatus.Status;
    LONG lState = m_lInterruptUrbState;

    if (ntStatus == STATUS_CANCELLED || pIrp->Cancel || lState == HV_URB_CANCELLED) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_OnInterrupt - IRP was cancelled");
        LONG lOld = InterlockedExchange(&m_lInterruptUrbState, HV_URB_INITIALISED);
        if (lOld != HV_URB_CANCELLED && lOld != HV_URB_STARTED)
            PmAssertionLine(__FILE__, 879);
        if (!m_pvInterruptPipeBuffer)
            PmAssertionLine(__FILE__, 881);
        m_FreeInterruptBuffer();
        KeSetEvent(&m_kInterruptStopEvent, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    if (lState != HV_URB_STARTED && lState != HV_URB_DISABLED) {
        PmAssertionLine(__FILE__, 893);
        m_FreeInterruptBuffer();
        KeSetEvent(&m_kInterruptStopEvent, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    if (!NT_SUCCESS(ntStatus)) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_OnInterrupt - IRP was no successful, NTSTATUS=%s",
                 StatusText(ntStatus));
        // Not sent again; idle, so that a later start or stop-and-start brings it back.
        InterlockedExchange(&m_lInterruptUrbState, HV_URB_INITIALISED);
        m_FreeInterruptBuffer();
        KeSetEvent(&m_kInterruptStopEvent, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    if (!m_pfnInterruptCallback || !m_pvInterruptCallbackContext || !m_pvInterruptPipeBuffer) {
        PmAssertionLine(__FILE__, !m_pfnInterruptCallback ? 907 : !m_pvInterruptCallbackContext ? 908 : 909);
        InterlockedExchange(&m_lInterruptUrbState, HV_URB_INITIALISED);
        m_FreeInterruptBuffer();
        KeSetEvent(&m_kInterruptStopEvent, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    ULONG ulLength = m_pInterruptUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (ulLength != 0)
        m_pfnInterruptCallback(m_pvInterruptCallbackContext, static_cast<PUCHAR>(m_pvInterruptPipeBuffer), ulLength);
    else
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_OnInterrupt - Data amount received was 0");
    m_FreeInterruptBuffer();

    if (m_lInterruptUrbState == HV_URB_DISABLED) {
        PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_OnInterrupt - Not re-starting URB, as state machine state was 'Disabled'");
        KeSetEvent(&m_kInterruptStopEvent, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    LONG lOld = InterlockedExchange(&m_lInterruptUrbState, HV_URB_INITIALISED);
    if (lOld != HV_URB_STARTED)
        PmAssertionLine(__FILE__, 954);
    PM_TRACE(HV_USB_TRACE_LEVEL, "CUsbTransport::m_OnInterrupt - Re-starting interrupt URB");
    if (!m_PrepareInterruptUrb(m_hInterruptPipe, (ULONG)m_lInterruptPipeBufferSize, "CUsbTransport::m_OnInterrupt")) {
        KeSetEvent(&m_kInterruptStopEvent, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    return TRUE;
}
