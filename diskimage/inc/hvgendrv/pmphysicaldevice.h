// The framework's physical child device: one per numbered "Child" subkey of a bus functional
// device's key. Its identity and capability answers come from that subkey; control requests that
// reach it go to the parent's dispatch. The port driver reads its ContextID across drivers, so the
// layout below is shared by both driver images.
#pragma once

#include <pmcallbackobject.h>
#include <pmdeviceconfiguration.h>
#include <pmdevice.h>
#include <pminformationset.h>
#include <pmlowerstackio.h>

class CPmFunctionalDevice;

// The identity of a child, read from its subkey; values in registration order.
class CPmPhysicalDeviceRegistryInformationSet : public CPmInformationSet {
public:
    ULONG m_ulContextID; // the 1-based port number; the port driver reads it
    ULONG m_ulTypeOfDevice;
    CPmString m_DeviceName;
    CPmString m_DeviceTextDescription;
    CPmString m_BusQueryDeviceID;
    CPmString m_BusQueryHardwareIDs;
    CPmString m_BusTypeGuid;
    ULONG m_ulLegacyBusType;
    CPmString m_SymbolicLinkName;
    ULONG m_ulDeviceIsExclusive;
    ULONG m_ulIoType;
    ULONG m_ulDoPowerPagable;
    ULONG m_ulChildDeviceID;
    ULONG m_ulLockSupported;
    ULONG m_ulEjectSupported;
    ULONG m_ulRemovable;
    ULONG m_ulDockDevice;
    ULONG m_ulUniqueID;
    ULONG m_ulSilentInstall;
    ULONG m_ulRawDeviceOK;
    ULONG m_ulSurpriseRemovalOK;
    ULONG m_ulWakeFromD0;
    ULONG m_ulWakeFromD1;
    ULONG m_ulWakeFromD2;
    ULONG m_ulWakeFromD3;
    ULONG m_ulHardwareDisabled;
    ULONG m_ulAddress;
    ULONG m_ulUINumber;
    // PowerSystemWorking, Sleeping1, Sleeping2, Sleeping3, Hibernate, Shutdown.
    ULONG m_aulDeviceState[6];
    ULONG m_ulSystemWake;
    ULONG m_ulDeviceWake;
    ULONG m_ulD1Latency;
    ULONG m_ulD2Latency;
    ULONG m_ulD3Latency;
    ULONG m_ulHandleDeviceTextLocationInformation;
    CPmString m_DeviceTextLocationInformation;
    ULONG m_ulHandleBusQueryHardwareIDs;
    ULONG m_ulHandleBusQueryCompatibleIDs;
    CPmString m_BusQueryCompatibleIDs;
    ULONG m_ulHandleBusQueryInstanceID;
    CPmString m_BusQueryInstanceID;
    ULONG m_ulReadServerType;
    ULONG m_ulIncomingWriteType;
    ULONG m_ulBusNumber;

    // Kept beside the registered values: no registry value fills them.
    GUID m_BusTypeGuidValue; // m_BusTypeGuid parsed; all zero when the text is empty
    CPmString m_PairingName;

    CPmConfigurableValidator m_LegacyBusTypeValidator;
    CPmConfigurableValidator m_IoTypeValidator;
    CPmConfigurableValidator m_DeviceStateValidator;
    CPmConfigurableValidator m_SystemWakeValidator;
    CPmStringValidator m_BusTypeGuidValidator;

    // Registers the items and loads them from the child key; the set is invalid when an item
    // could not be registered or a stored value is refused.
    explicit CPmPhysicalDeviceRegistryInformationSet(HANDLE hChildKey);

    static PM_STRING_CHECK sm_CheckGuid;

private:
    BOOLEAN m_AddGuidText();
};

// One entry of the per-client bookkeeping list: {value, value, in-use byte} twice.
struct PmClientEntry {
    ULONG_PTR m_aulFirst[2];
    BOOLEAN m_bFirstInUse;
    ULONG_PTR m_aulSecond[2];
    BOOLEAN m_bSecondInUse;
};

struct PmClientBookkeeping {
    CPmPointerList m_List; // of PmClientEntry
    CPmSpinLock m_Lock;
};

// Where the registry set's pointer lies in every framework physical device.
#define PM_PHYSICAL_DEVICE_SET_OFFSET 0x1308
// Where ContextID lies in the registry set.
#define PM_PHYSICAL_DEVICE_CONTEXT_ID_OFFSET 0x110

#define PM_PHYSICAL_DEVICE_RESERVE \
    (PM_PHYSICAL_DEVICE_SET_OFFSET - sizeof(CPmDevice) - sizeof(PmClientBookkeeping))

// {B2E6419D-7C30-4F85-A1D8-64C09E3F5B27}: every framework physical device, of any driver image,
// answers on this callback object for its own device object.
DEFINE_GUID(GUID_HVGENDRV_PHYSICAL_DEVICE_IDENTITY, 0xB2E6419D, 0x7C30, 0x4F85, 0xA1, 0xD8, 0x64, 0xC0, 0x9E, 0x3F,
            0x5B, 0x27);

// Bit of a parent's DeviceIndexingPolicyType that hands its device index down to its children.
#define PM_POLICY_CHILDREN_TAKE_INDEX 0x100

// A physical device may belong to the other driver image. Both images compile this one definition
// with the same layout (checked below), so its data members are read directly; its virtual
// operations are never called across images.
class CPmPhysicalDevice : public CPmDevice {
public:
    PmClientBookkeeping m_Clients;
    // Keeps the registry set's pointer where both drivers expect it.
    UCHAR m_aucLayoutReserve[PM_PHYSICAL_DEVICE_RESERVE];
    CPmPhysicalDeviceRegistryInformationSet* m_pRegistrySet;
    PVOID m_pvContext; // answered by IOCTL_HVGENDRV_QUERY_CONTEXT
    ULONG m_ulDeviceIndex;
    CPmFunctionalDevice* m_pParent;
    BOOLEAN m_bNotListed; // the parent no longer lists it: its removal ends it
    // Names as created (with the index appended).
    CPmString m_DeviceName;
    CPmString m_SymbolicLinkName;
    // Makes this device known as a framework physical device to every driver image.
    CPmCallbackObject m_Identity;
    // Guards m_pRecordQueue: an attach replaces it while the bus driver posts.
    CPmSpinLock m_RecordQueueLock;

    CPmPhysicalDevice(PDRIVER_OBJECT pDriverObject, CPmFunctionalDevice* pParent, HANDLE hChildKey, ULONG ulIndex,
                      BOOLEAN* pbSuccess);
    ~CPmPhysicalDevice() override;

    NTSTATUS m_Dispatch_Pnp(PIRP pIrp) override;
    NTSTATUS m_Dispatch_Power(PIRP pIrp) override;
    NTSTATUS m_Dispatch_Create(PIRP pIrp) override;
    NTSTATUS m_Dispatch_Cleanup(PIRP pIrp) override;
    NTSTATUS m_Dispatch_Close(PIRP pIrp) override;
    NTSTATUS m_Dispatch_Read(PIRP pIrp) override;
    NTSTATUS m_Dispatch_Write(PIRP pIrp) override;
    NTSTATUS m_Dispatch_DeviceControl(PIRP pIrp) override;
    NTSTATUS m_Dispatch_InternalDeviceControl(PIRP pIrp) override;
    NTSTATUS m_Dispatch_FlushBuffers(PIRP pIrp) override;
    NTSTATUS m_Dispatch_Shutdown(PIRP pIrp) override;
    NTSTATUS m_Dispatch_SystemControl(PIRP pIrp) override;
    PDEVICE_OBJECT m_GetUsageLock() override { return m_pDeviceObject; }
    BOOLEAN m_IsDeletedByRemoval() override { return m_bNotListed; }

    // At the parent's first start: one child per "Child<n>" subkey of the device key, n = 1 ..
    // NumberChildDevices, except those whose DoNotCreateAtStartup is 1. FALSE (a missing subkey,
    // a failed construction) leaves no child behind.
    static BOOLEAN m_CreateAllChildDevices(CPmFunctionalDevice* pParent, HANDLE hDeviceKey);
    // At the parent's removal: each child waits for the requests inside it and goes.
    static void m_DeleteAllChildDevices(CPmFunctionalDevice* pParent);

    // The framework physical device under a functional device, or NULL when its PDO is none
    // (another bus's PDO) or is being deleted. The object stays valid while the functional device
    // is attached to it. These three run at PASSIVE_LEVEL.
    static CPmPhysicalDevice* sm_GetAttachedDevice(CPmFunctionalDevice* pDevice);
    // The one way both drivers read a child's number: FALSE when the device is not on a framework
    // physical device.
    static BOOLEAN sm_GetContextId(CPmFunctionalDevice* pDevice, PULONG pulContextId);
    // The framework physical device, of any driver image, whose device object this is and whose
    // extension still admits requests; NULL for every other device object. Nothing of the object
    // is read before it is known.
    static CPmPhysicalDevice* sm_IdentifyDeviceObject(PDEVICE_OBJECT pDeviceObject);

    ULONG m_GetContextId() const { return m_pRegistrySet->m_ulContextID; }
    ULONG m_GetDeviceIndex() const { return m_ulDeviceIndex; }
    CPmFunctionalDevice* m_GetParent() const { return m_pParent; }
    const CPmString& m_GetPairingName() const { return m_pRegistrySet->m_PairingName; }

    // A record for the reader above; the data is taken over whatever the result. FALSE when no
    // reader is attached or memory is short. Up to DISPATCH_LEVEL.
    BOOLEAN m_PostRecord(CPmBuffer* pData, ULONG_PTR ulValue);

    // For a removed functional device above (its m_Remove): clears the entries not in use.
    void m_ClearUnusedClientEntries();

private:
    BOOLEAN m_Construct(HANDLE hChildKey);
    NTSTATUS m_PnpRemove(PIRP pIrp);
    NTSTATUS m_PnpTargetRelation(PIRP pIrp);
    NTSTATUS m_PnpCapabilities(PIRP pIrp);
    NTSTATUS m_PnpDeviceText(PIRP pIrp);
    NTSTATUS m_PnpQueryId(PIRP pIrp);
    NTSTATUS m_PnpBusInformation(PIRP pIrp);
    NTSTATUS m_PnpDeviceState(PIRP pIrp);
    NTSTATUS m_SetPower(PIRP pIrp, BOOLEAN bQuery);
    BOOLEAN m_IsListedByParent();
    NTSTATUS m_AttachNotifier(PIRP pIrp);
    NTSTATUS m_ReadRecord(PIRP pIrp);
    // The record queue goes (NULL), or a new one takes its place; the old one tells its reader
    // that nothing is announced when that reader is known to be there still.
    void m_ReplaceRecordQueue(CPmRecordQueue* pNew, BOOLEAN bReaderThere);
    // Data of a buffered read or write, or NULL when the device object does not buffer.
    PVOID m_GetSystemBuffer(PIRP pIrp);
    static PM_CALLBACK_HANDLER sm_IdentityHandler;
};

// Both driver images read these two fields in each other's objects.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(__builtin_offsetof(CPmPhysicalDevice, m_pRegistrySet) == PM_PHYSICAL_DEVICE_SET_OFFSET,
              "physical device layout");
static_assert(__builtin_offsetof(CPmPhysicalDeviceRegistryInformationSet, m_ulContextID) ==
                  PM_PHYSICAL_DEVICE_CONTEXT_ID_OFFSET,
              "physical device set layout");
#pragma GCC diagnostic pop
