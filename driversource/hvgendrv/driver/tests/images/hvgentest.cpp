// A small driver on the device framework, for the framework's tests: it hands its driver object to
// the framework at DriverEntry and installs its callbacks the way the two real drivers do (the
// factory and AddDevice first, the data and control callbacks at the end of its start). Each
// callback writes one "HVGT ..." line to the debugger log, so that tests can check the order in
// which the framework calls them.
//
// "TestFlags" in the device's Device Parameters key picks failures and behaviours (below).
#include <wdm.h>
#include <ntddser.h>

#include <pmcontrolqueue.h>
#include <pmdebugmanager.h>
#include <pmdriver.h>
#include <pmfunctionaldevice.h>
#include <pmirphelpers.h>
#include <pmlowerstackio.h>
#include <pmreadqueuecsq.h>
#include <pmregistry.h>
#include <pmwritequeuecsq.h>
#include <pmusermodeinterface.h>

#include "../hvgentest_protocol.h"

namespace {

class CGenTestDriver : public CPmDriverClass {
public:
    CPmFunctionalDevice* m_pDevice = NULL;
    ULONG m_ulFlags = 0;
    // Internal requests the driver holds (IRP form); guarded by the spin lock.
    CPmSpinLock m_Lock;
    PIRP m_apHeld[HVGT_MAX_HELD] = {};
    // The write sink and the received-data source, guarded by the spin lock.
    BOOLEAN m_bWritesStalled = FALSE;
    ULONG m_ulNextWriteDelayMs = 0;
    ULONG m_ulBytesSent = 0;
    ULONG m_ulBytesUnacknowledged = 0;
    ULONG m_ulBytesFed = 0;
    ULONG m_ulPowerUps = 0;
    ULONG m_ulPowerDowns = 0;
    KIRQL m_LastPowerUpIrql = 0;
};

void Log(PCSTR pszEvent) { DbgPrint("HVGT %s\n", pszEvent); }

// Takes a held request out of the table; NULL when the slot is empty or its request went.
PIRP TakeHeld(CGenTestDriver* pDriver, PIRP pIrp) {
    PIRP pTaken = NULL;
    pDriver->m_Lock.m_Lock();
    for (PIRP& pHeld : pDriver->m_apHeld) {
        if (pHeld && (!pIrp || pHeld == pIrp)) {
            pTaken = pHeld;
            pHeld = NULL;
            break;
        }
    }
    pDriver->m_Lock.m_Unlock();
    return pTaken;
}

void HeldCancelRoutine(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    CPmFunctionalDevice* pDevice =
        static_cast<CPmFunctionalDevice*>(CPmDevice::sm_GetExtension(pDeviceObject)->m_pDevice);
    CGenTestDriver* pDriver = pDevice ? static_cast<CGenTestDriver*>(pDevice->m_pDriverClass) : NULL;
    if (pDriver && TakeHeld(pDriver, pIrp) == pIrp) {
        Log("cancelled held request");
        PmCompleteWithStatusAndInformation(pIrp, STATUS_CANCELLED, 0);
    }
}

void CompleteAllHeld(CGenTestDriver* pDriver, NTSTATUS ntStatus) {
    for (PIRP pIrp = TakeHeld(pDriver, NULL); pIrp; pIrp = TakeHeld(pDriver, NULL)) {
        if (IoSetCancelRoutine(pIrp, NULL) == NULL)
            continue; // being cancelled: its cancel routine completes it
        PmCompleteWithStatusAndInformation(pIrp, ntStatus, 0);
    }
}

// The port driver's connect reports the transfer size as the first bytes written: the write
// queue's first credit.
BOOLEAN OnCreate(CPmDriverClass* pObject) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    Log("create");
    if (pDriver->m_ulFlags & HVGT_FAIL_CREATE)
        return FALSE;
    // The write queue forgets what it sent before: so does the sink.
    pDriver->m_Lock.m_Lock();
    pDriver->m_bWritesStalled = FALSE;
    pDriver->m_ulBytesUnacknowledged = 0;
    pDriver->m_Lock.m_Unlock();
    pDriver->m_pDevice->m_pWriteQueue->m_DataWritten(HVGT_TRANSFER_SIZE);
    return TRUE;
}

void CancelQueues(CGenTestDriver* pDriver) {
    CPmFunctionalDevice* pDevice = pDriver->m_pDevice;
    pDevice->m_pReadQueue->m_CancelAll();
    pDevice->m_pWriteQueue->m_CancelAll();
    pDevice->m_pControlQueue->m_CancelAll();
}

BOOLEAN OnClose(CPmDriverClass* pObject) {
    Log("close");
    return TRUE;
}

BOOLEAN OnCleanup(CPmDriverClass* pObject) {
    Log("cleanup");
    CompleteAllHeld(static_cast<CGenTestDriver*>(pObject), STATUS_CANCELLED);
    CancelQueues(static_cast<CGenTestDriver*>(pObject));
    return TRUE;
}

void OnRemove(CPmDriverClass* pObject) {
    Log("remove");
    CompleteAllHeld(static_cast<CGenTestDriver*>(pObject), STATUS_CANCELLED);
    CancelQueues(static_cast<CGenTestDriver*>(pObject));
}

// Writes that bypass the write queue arrive here on the device's worker; the buffer is lent.
void OnDirectWrite(CPmDriverClass* pObject, ULONGLONG ullValue, CPmBuffer* pBuffer) {
    DbgPrint("HVGT direct write %u %u %s\n", pBuffer->m_ulLength, (ULONG)ullValue,
             KeGetCurrentIrql() == PASSIVE_LEVEL ? "at passive" : "above passive");
}

// A loopback: every chunk written comes back as received data, and is acknowledged at once.
// A stalled sink takes the chunk and waits for IOCTL_HVGT_ACKNOWLEDGE, as a device whose
// transmitter is held off by flow control would.
BOOLEAN OnWrite(CPmDriverClass* pObject, CPmBuffer* pChunk) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    ULONG ulLength = pChunk->m_ulLength;
    Log("write");
    pDriver->m_Lock.m_Lock();
    ULONG ulDelayMs = pDriver->m_ulNextWriteDelayMs;
    pDriver->m_ulNextWriteDelayMs = 0;
    pDriver->m_Lock.m_Unlock();
    if (ulDelayMs) {
        LARGE_INTEGER liDelay;
        liDelay.QuadPart = -(LONGLONG)ulDelayMs * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &liDelay);
    }
    pDriver->m_Lock.m_Lock();
    BOOLEAN bStalled = pDriver->m_bWritesStalled;
    pDriver->m_ulBytesSent += ulLength;
    if (bStalled)
        pDriver->m_ulBytesUnacknowledged += ulLength;
    pDriver->m_Lock.m_Unlock();
    if (bStalled) {
        pChunk->m_Delete();
        return TRUE;
    }
    pDriver->m_pDevice->m_DataForPendingReadArrived(pChunk);
    pDriver->m_pDevice->m_pWriteQueue->m_DataWritten(ulLength);
    return TRUE;
}

// The stalled sink acknowledges up to ulCount of the bytes it took; the bytes acknowledged.
ULONG AcknowledgeStalled(CGenTestDriver* pDriver, ULONG ulCount) {
    pDriver->m_Lock.m_Lock();
    ULONG ulAcknowledged = ulCount < pDriver->m_ulBytesUnacknowledged ? ulCount : pDriver->m_ulBytesUnacknowledged;
    pDriver->m_ulBytesUnacknowledged -= ulAcknowledged;
    pDriver->m_Lock.m_Unlock();
    if (ulAcknowledged)
        pDriver->m_pDevice->m_pWriteQueue->m_DataWritten(ulAcknowledged);
    return ulAcknowledged;
}

// ulCount bytes of the pattern arrive as one received buffer.
NTSTATUS Feed(CGenTestDriver* pDriver, ULONG ulCount) {
    if (ulCount == 0)
        return STATUS_SUCCESS;
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (!pBuffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    pBuffer->m_pPool = g_pPmMemoryPool;
    if (!pBuffer->m_Allocate(ulCount)) {
        pBuffer->m_Delete();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The lock gives each feed its own stretch of the pattern.
    pDriver->m_Lock.m_Lock();
    for (ULONG ulIndex = 0; ulIndex < ulCount; ++ulIndex)
        pBuffer->m_pucData[ulIndex] = HvgtPatternByte(pDriver->m_ulBytesFed + ulIndex);
    pDriver->m_ulBytesFed += ulCount;
    pDriver->m_Lock.m_Unlock();
    pDriver->m_pDevice->m_DataForPendingReadArrived(pBuffer);
    return STATUS_SUCCESS;
}

// What a serial port's purge does with the framework's queues; the transmit buffer is the
// sink's, which has none.
void Purge(CPmFunctionalDevice* pDevice, ULONG ulFlags) {
    if (ulFlags & SERIAL_PURGE_TXABORT)
        pDevice->m_pWriteQueue->m_CancelAll();
    if (ulFlags & SERIAL_PURGE_RXABORT)
        pDevice->m_pReadQueue->m_CancelAll();
    if (ulFlags & SERIAL_PURGE_RXCLEAR)
        pDevice->m_pReadQueue->m_Purge();
}

BOOLEAN OnRebalance(CPmDriverClass* pObject, ULONG ulPhase) {
    static const char* const s_apszPhases[] = {"rebalance 0", "rebalance 1", "rebalance 2", "rebalance 3"};
    Log(ulPhase < 4 ? s_apszPhases[ulPhase] : "rebalance ?");
    return !(ulPhase == PM_REBALANCE_QUERY_STOP && (static_cast<CGenTestDriver*>(pObject)->m_ulFlags & HVGT_FAIL_QUERY_STOP));
}

void OnPowerDown(CPmDriverClass* pObject) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    ++pDriver->m_ulPowerDowns;
    // The bus driver saves its ports here, with requests to its device that it waits for.
    Log(KeGetCurrentIrql() == PASSIVE_LEVEL ? "power down at passive" : "power down above passive");
}

// The bus driver's power-up talks to its device and waits: only possible at PASSIVE_LEVEL.
void OnPowerUp(CPmDriverClass* pObject) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    ++pDriver->m_ulPowerUps;
    pDriver->m_LastPowerUpIrql = KeGetCurrentIrql();
    LARGE_INTEGER liDelay;
    liDelay.QuadPart = -10000; // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &liDelay);
    Log(pDriver->m_LastPowerUpIrql == PASSIVE_LEVEL ? "power up at passive" : "power up above passive");
}

NTSTATUS OnDeviceControl(CPmDriverClass* pObject, ULONG ulCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                         ULONG ulOutputLength, PULONG_PTR pulInformation, CPmControlQueue** ppControlQueue) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    CPmFunctionalDevice* pDevice = pDriver->m_pDevice;
    Log("device control");
    switch (ulCode) {
    case IOCTL_HVGT_ECHO:
        if (ulOutputLength < ulInputLength)
            return STATUS_BUFFER_TOO_SMALL;
        // Input and output share the system buffer.
        *pulInformation = ulInputLength;
        return STATUS_SUCCESS;
    case IOCTL_HVGT_QUERY: {
        if (ulOutputLength < sizeof(HvgtState))
            return STATUS_BUFFER_TOO_SMALL;
        HvgtState* pState = static_cast<HvgtState*>(pvOutput);
        pState->ulPowerUps = pDriver->m_ulPowerUps;
        pState->ulPowerDowns = pDriver->m_ulPowerDowns;
        pState->ulLastPowerUpIrql = pDriver->m_LastPowerUpIrql;
        pState->ulPnpState = pDevice->m_ulPnpState;
        pState->ulDevicePowerState = pDevice->m_ulDevicePowerState;
        for (ULONG ulIndex = 0; ulIndex < PM_POWER_MAP_SIZE; ++ulIndex)
            pState->aulPowerMap[ulIndex] = pDevice->m_aulPowerMap[ulIndex];
        pState->ulDeviceIndex = pDevice->m_ulDeviceIndex;
        pState->ulAmountInReadQueue = pDevice->m_GetAmountInReadQueue();
        pDriver->m_Lock.m_Lock();
        pState->ulBytesSent = pDriver->m_ulBytesSent;
        pState->ulBytesUnacknowledged = pDriver->m_ulBytesUnacknowledged;
        pState->ulBytesFed = pDriver->m_ulBytesFed;
        pDriver->m_Lock.m_Unlock();
        *pulInformation = sizeof(HvgtState);
        return STATUS_SUCCESS;
    }
    case IOCTL_HVGT_RAISE_EVENTS:
        if (ulInputLength < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        pDevice->m_pControlQueue->m_SetCommEventsReceived(*static_cast<PULONG>(pvInput));
        pDevice->m_pControlQueue->m_ResolveCurrentEventMask();
        return STATUS_SUCCESS;
    case IOCTL_HVGT_STALL_WRITES:
        if (ulInputLength < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        pDriver->m_Lock.m_Lock();
        pDriver->m_bWritesStalled = *static_cast<PULONG>(pvInput) != 0;
        pDriver->m_Lock.m_Unlock();
        return STATUS_SUCCESS;
    case IOCTL_HVGT_DELAY_WRITES:
        if (ulInputLength < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        pDriver->m_Lock.m_Lock();
        pDriver->m_ulNextWriteDelayMs = *static_cast<PULONG>(pvInput);
        pDriver->m_Lock.m_Unlock();
        return STATUS_SUCCESS;
    case IOCTL_HVGT_ACKNOWLEDGE: {
        if (ulInputLength < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        ULONG ulAcknowledged = AcknowledgeStalled(pDriver, *static_cast<PULONG>(pvInput));
        if (ulOutputLength >= sizeof(ULONG)) {
            *static_cast<PULONG>(pvOutput) = ulAcknowledged;
            *pulInformation = sizeof(ULONG);
        }
        return STATUS_SUCCESS;
    }
    case IOCTL_HVGT_FEED:
        if (ulInputLength < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        return Feed(pDriver, *static_cast<PULONG>(pvInput));
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        if (ulInputLength < sizeof(SERIAL_TIMEOUTS))
            return STATUS_BUFFER_TOO_SMALL;
        const SERIAL_TIMEOUTS* pTimeouts = static_cast<const SERIAL_TIMEOUTS*>(pvInput);
        // MAXULONG for all three read values is not a timeout the contract defines.
        if (pTimeouts->ReadIntervalTimeout == MAXULONG && pTimeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
            pTimeouts->ReadTotalTimeoutConstant == MAXULONG)
            return STATUS_INVALID_PARAMETER;
        pDevice->m_pReadQueue->m_SetTimeouts(pTimeouts->ReadIntervalTimeout, pTimeouts->ReadTotalTimeoutMultiplier,
                                             pTimeouts->ReadTotalTimeoutConstant);
        pDevice->m_pWriteQueue->m_SetTimeouts(pTimeouts->WriteTotalTimeoutMultiplier,
                                              pTimeouts->WriteTotalTimeoutConstant);
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_PURGE:
        if (ulInputLength < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (*static_cast<PULONG>(pvInput) &
            ~(ULONG)(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR))
            return STATUS_INVALID_PARAMETER;
        Purge(pDevice, *static_cast<PULONG>(pvInput));
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        if (ulInputLength < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        pDevice->m_pControlQueue->m_SetWaitMask(*static_cast<PULONG>(pvInput));
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_WAIT_ON_MASK:
        *ppControlQueue = pDevice->m_pControlQueue;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

// Held requests stay with the driver until cleanup, removal or cancellation ends them.
NTSTATUS OnInternalControl(CPmDriverClass* pObject, PIRP pIrp) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    ULONG ulCode = IoGetCurrentIrpStackLocation(pIrp)->Parameters.DeviceIoControl.IoControlCode;
    if (ulCode != IOCTL_HVGT_HOLD)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_NOT_SUPPORTED, 0);
    Log("hold");
    IoMarkIrpPending(pIrp);
    BOOLEAN bHeld = FALSE;
    pDriver->m_Lock.m_Lock();
    for (PIRP& pHeld : pDriver->m_apHeld) {
        if (!pHeld) {
            pHeld = pIrp;
            bHeld = TRUE;
            break;
        }
    }
    if (bHeld)
        IoSetCancelRoutine(pIrp, HeldCancelRoutine);
    pDriver->m_Lock.m_Unlock();
    if (!bHeld) {
        PmCompleteWithStatusAndInformation(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return STATUS_PENDING;
    }
    if (pIrp->Cancel && IoSetCancelRoutine(pIrp, NULL) && TakeHeld(pDriver, pIrp) == pIrp)
        PmCompleteWithStatusAndInformation(pIrp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
}

void OnRecord(PVOID pvContext, ULONG_PTR ulValue, CPmBuffer* pBuffer) {
    Log("record");
    pBuffer->m_Delete();
}

// As the port driver does: the data and control callbacks exist only once the device started.
BOOLEAN OnStart(CPmDriverClass* pObject) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    Log("start");
    if (CPmLowerStackReader* pReader = pDriver->m_pDevice->m_pLowerStackReader)
        Log(pReader->m_Open(OnRecord, pDriver) ? "reader opened" : "reader refused");
    if (pDriver->m_ulFlags & HVGT_FAIL_START)
        return FALSE;
    pDriver->m_pDevice->m_Callbacks.m_CloseCallback = OnClose;
    if (pDriver->m_ulFlags & HVGT_DIRECT_WRITE)
        pDriver->m_pDevice->m_Callbacks.m_DirectWriteCallback = OnDirectWrite;
    else
        pDriver->m_pDevice->m_Callbacks.m_WriteCallback = OnWrite;
    pDriver->m_pDevice->m_Callbacks.m_DeviceControlCallback = OnDeviceControl;
    return TRUE;
}

// Fails only once the device runs, so that the start succeeds and an open finds the failure.
BOOLEAN OnApplySettings(CPmDriverClass* pObject, CPmInformationSet* pSet, ULONG ulIndex, ULONG ulMode, PBOOLEAN pbFlag) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    *pbFlag = FALSE;
    Log(ulMode == PM_SETTINGS_APPLY ? "apply settings" : "adjust defaults");
    return !((pDriver->m_ulFlags & HVGT_FAIL_SETTINGS) && pDriver->m_pDevice->m_ulPnpState == PM_PNP_STARTED);
}

BOOLEAN AddDeviceFunction(CPmDriverClass* pObject, CPmDriver* pWrapper, CPmFunctionalDevice* pDevice) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    pDriver->m_pDevice = pDevice;
    HANDLE hKey = pDevice->m_OpenDeviceRegistryKey();
    if (hKey) {
        CPmRegistry::m_QueryDword(hKey, u"TestFlags", &pDriver->m_ulFlags);
        ZwClose(hKey);
    }
    Log("add device");
    if (pDriver->m_ulFlags & HVGT_FAIL_ADD)
        return FALSE;
    PmDriverCallbacks& callbacks = pDevice->m_Callbacks;
    callbacks.m_CreateCallback = OnCreate;
    callbacks.m_CleanupCallback = OnCleanup;
    callbacks.m_PnpStartDeviceCallback = OnStart;
    callbacks.m_PnpRemoveDeviceCallback = OnRemove;
    callbacks.m_RebalanceDeviceCallback = OnRebalance;
    callbacks.m_InternalDeviceControlIrpCallback = OnInternalControl;
    callbacks.m_PowerDownResetDeviceFunction = OnPowerDown;
    callbacks.m_PowerUpInitDeviceFunction = OnPowerUp;
    if (pDriver->m_ulFlags & HVGT_SETTINGS_CALLBACK)
        callbacks.m_UserModeInterfaceCallback = OnApplySettings;
    return TRUE;
}

BOOLEAN CreateDriverClass(PPM_ADD_DEVICE_FUNCTION* ppfnAddDeviceFunction, PPM_DEVICE_CREATION* ppfnDeviceCreation,
                          CPmDriverClass** ppObject) {
    *ppObject = new (NonPagedPool) CGenTestDriver();
    if (!*ppObject)
        return FALSE;
    *ppfnAddDeviceFunction = AddDeviceFunction;
    Log("driver class");
    return TRUE;
}

// Runs while the framework device is being deleted (its extension no longer leads to it): a
// request sent to the device object now must end without reaching this driver.
void SendDuringDestruction(PDEVICE_OBJECT pDeviceObject) {
    KEVENT kEvent;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&kEvent, NotificationEvent, FALSE);
    PIRP pIrp = IoBuildDeviceIoControlRequest(IOCTL_HVGT_HOLD, pDeviceObject, NULL, 0, NULL, 0, TRUE, &kEvent, &ioStatus);
    if (!pIrp)
        return;
    NTSTATUS ntStatus = IofCallDriver(pDeviceObject, pIrp);
    if (ntStatus == STATUS_PENDING) {
        KeWaitForSingleObject(&kEvent, Executive, KernelMode, FALSE, NULL);
        ntStatus = ioStatus.Status;
    }
    DbgPrint("HVGT request during destruction %08x\n", ntStatus);
}

void DestroyDriverClass(CPmDriverClass* pObject) {
    CGenTestDriver* pDriver = static_cast<CGenTestDriver*>(pObject);
    Log("destroy");
    if (pDriver->m_pDevice && pDriver->m_pDevice->m_pDeviceObject)
        SendDuringDestruction(pDriver->m_pDevice->m_pDeviceObject);
    delete pDriver;
}

// A number and a text, kept under the device key's "UI1" subkey by the settings interface.
class CGenTestSettings : public CPmInformationSet {
public:
    ULONG m_ulSpeed = 0;
    CPmString m_InterfaceType{PagedPool};
    CGenTestSettings() : CPmInformationSet(NULL) {
        if (!m_AddDword(u"Speed", &m_ulSpeed, 9600) || !m_AddString(u"InterfaceType", &m_InterfaceType, "USB"))
            m_SetValid(FALSE);
    }
};

BOOLEAN CreateSettings(PmUserModeInterface* pInterface) {
    CGenTestSettings* pSet = new (PagedPool) CGenTestSettings();
    if (!pSet || !pSet->m_GetValid()) {
        delete pSet;
        return FALSE;
    }
    // The port driver's interface: the one settings programs look for.
    pInterface->m_SetSettings(pSet, GUID_HVGENDRV_PORT_INTERFACE);
    return TRUE;
}

void RemoveHook() {}

} // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject,
                                                                        PUNICODE_STRING pRegistryPath) {
    PmDriverDescription description;
    RtlZeroMemory(&description, sizeof(description));
    description.m_pszDriverName = u"HvGenTest";
    description.m_pszFileName = u"hvgentest.sys";
    description.m_pfnCreateDriverClass = CreateDriverClass;
    description.m_pfnDestroyDriverClass = DestroyDriverClass;
    description.m_pfnUnloadCleanup = PmDriverUnloadCleanup;
    description.m_pfnCreateSettings = CreateSettings;
    description.m_pfnRemoveHook = RemoveHook;
    return PmDriverEntry(pDriverObject, pRegistryPath, &description);
}
