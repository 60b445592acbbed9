// The framework's abstract device: what the functional and the physical device share, the device
// extension that both drivers read in each other's device objects, and the device-object helpers.
#pragma once

#include <wdm.h>

#include <pmbuffer.h>
#include <pmmemorypool.h>
#include <pmstring.h>
#include <pmusagelock.h>

class CPmDevice;
class CPmReadQueue;
class CPmWriteQueue;
class CPmControlQueue;
class CPmRecordQueue;
class CPmLowerStackReader;

// Every framework device object carries this extension: the framework device, then the lock that
// keeps it alive while a request is inside it.
#define PM_DEVICE_EXTENSION_SIZE 64

struct PmDeviceExtension {
    CPmDevice* m_pDevice;
    CPmUsageLock m_UsageLock;
};

static_assert(sizeof(PmDeviceExtension) <= PM_DEVICE_EXTENSION_SIZE, "device extension size");
static_assert(__builtin_offsetof(PmDeviceExtension, m_UsageLock) == 8, "device extension layout");

// Kinds of framework device.
#define PM_DEVICE_KIND_NONE 0
#define PM_DEVICE_KIND_PHYSICAL 1
#define PM_DEVICE_KIND_FUNCTIONAL 2

// PnP states of a framework device.
#define PM_PNP_NOT_STARTED 0
#define PM_PNP_STARTED 1
#define PM_PNP_STOPPED 2
#define PM_PNP_STOP_PENDING 3
#define PM_PNP_REMOVED 4
#define PM_PNP_REMOVE_PENDING 5
#define PM_PNP_SURPRISE_REMOVED 6

// One device power state for each system state from PowerSystemWorking to PowerSystemShutdown.
#define PM_POWER_MAP_SIZE 6

// Reported PnP device-state bits, in the order the pairs are kept.
#define PM_DEVICE_STATE_PAIRS 6
#define PM_DEVICE_STATE_DISPLAY_PAIR 1

struct PmDeviceStatePair {
    UCHAR m_ucPending;
    UCHAR m_ucValue;
};

extern const ULONG g_aulPmDeviceStateBits[PM_DEVICE_STATE_PAIRS];

class CPmDevice : public CPmObject {
public:
    LARGE_INTEGER m_liHalfSecond;
    ULONG m_ulKind;
    PDEVICE_OBJECT m_pDeviceObject;
    // Held across power transitions; removal refuses new users and waits for the last one.
    CPmUsageLock m_UsageLock;
    ULONG m_ulDevicePowerState;
    PDEVICE_OBJECT m_pPairedDevice; // referenced
    PDEVICE_OBJECT m_pRedirectLink; // guarded by the driver wrapper's spin lock
    PDRIVER_OBJECT m_pDriverObject;
    ULONG m_ulPnpState;
    ULONG m_aulPowerMap[PM_POWER_MAP_SIZE];
    PmDeviceStatePair m_aDeviceStatePairs[PM_DEVICE_STATE_PAIRS];
    // Optional parts of a device; NULL while a device has none.
    CPmRecordQueue* m_pRecordQueue;
    CPmLowerStackReader* m_pLowerStackReader;
    CPmReadQueue* m_pReadQueue;
    CPmWriteQueue* m_pWriteQueue;
    CPmControlQueue* m_pControlQueue;

    CPmDevice();
    ~CPmDevice() override;
    CPmDevice(const CPmDevice&) = delete;
    CPmDevice& operator=(const CPmDevice&) = delete;

    // Each operation completes the IRP or passes it on.
    virtual NTSTATUS m_Dispatch_Pnp(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Power(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Create(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Cleanup(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Close(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Read(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Write(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_DeviceControl(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_InternalDeviceControl(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_FlushBuffers(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_Shutdown(PIRP pIrp) = 0;
    virtual NTSTATUS m_Dispatch_SystemControl(PIRP pIrp) = 0;
    // The device object whose extension lock the dispatch entry releases after the operation.
    virtual PDEVICE_OBJECT m_GetUsageLock() = 0;
    // Whether a successful REMOVE_DEVICE ends the device (a physical device its parent still
    // lists stays, to be started again).
    virtual BOOLEAN m_IsDeletedByRemoval() { return TRUE; }

    // "\Device\<name>" (when a name is given) with "\??\<link>" to it (when both are given), the
    // extension initialised for pDevice. FALSE leaves nothing behind.
    static BOOLEAN m_CreateDeviceObjectAndSymbolicLink(PDRIVER_OBJECT pDriverObject, const CPmString* pDeviceName,
                                                       DEVICE_TYPE ulDeviceType, const CPmString* pLinkName,
                                                       BOOLEAN bExclusive, CPmDevice* pDevice,
                                                       PDEVICE_OBJECT* ppDeviceObject);
    static BOOLEAN m_DeleteDeviceObjectAndSymbolicLink(PDEVICE_OBJECT pDeviceObject, const CPmString* pLinkName);
    // The link path a link name stands for, by the system's WDM version.
    static NTSTATUS m_BuildLinkPath(const CPmString& linkName, CPmString& path);

    static PmDeviceExtension* sm_GetExtension(PDEVICE_OBJECT pDeviceObject) {
        return pDeviceObject ? static_cast<PmDeviceExtension*>(pDeviceObject->DeviceExtension) : NULL;
    }

    // The pending device-state bits folded into a reported state; FALSE when none was pending.
    BOOLEAN m_ApplyDeviceStatePairs(PULONG_PTR pulState);

    // Received data for the read queue, which takes the buffer over (freed when there is none).
    void m_DataForPendingReadArrived(CPmBuffer* pBuffer);
    // Bytes held in the read queue.
    ULONG m_GetAmountInReadQueue();
    // Ends what the queues hold (STATUS_CANCELLED) and deletes them; a device whose queues run on
    // its device object's work items does it before that object goes. PASSIVE_LEVEL.
    void m_DestroyQueues();
};
