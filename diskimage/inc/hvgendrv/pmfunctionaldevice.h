// The framework's functional device: one per PDO a framework driver attaches to. It runs Plug and
// Play and power, keeps the one exclusive open, and hands requests to the driver's callbacks.
#pragma once

#include <pmdevice.h>
#include <pmdriver.h>
#include <pmresourcelists.h>

#include <pmbuffer.h>
#include <pmcallbackobject.h>
#include <pmdeviceconfiguration.h>
#include <pmusermodeinterface.h>
#include <pmworkerthread.h>

class CPmInformationSet;
class CPmPhysicalDevice;
class CWmi;
struct PmWmiGuidEntry;

// The driver's callbacks; obj is the driver's own object for this device. BOOLEAN means success.
typedef BOOLEAN PM_OBJECT_CALLBACK(CPmDriverClass* pObject);
typedef PM_OBJECT_CALLBACK* PPM_OBJECT_CALLBACK;
typedef VOID PM_OBJECT_NOTIFICATION(CPmDriverClass* pObject);
typedef PM_OBJECT_NOTIFICATION* PPM_OBJECT_NOTIFICATION;
typedef BOOLEAN PM_REBALANCE_CALLBACK(CPmDriverClass* pObject, ULONG ulPhase);
typedef PM_REBALANCE_CALLBACK* PPM_REBALANCE_CALLBACK;
// The buffer is lent for the call.
typedef VOID PM_DIRECT_WRITE_CALLBACK(CPmDriverClass* pObject, ULONGLONG ullValue, CPmBuffer* pBuffer);
typedef PM_DIRECT_WRITE_CALLBACK* PPM_DIRECT_WRITE_CALLBACK;
typedef BOOLEAN PM_WRITE_CALLBACK(CPmDriverClass* pObject, CPmBuffer* pBuffer);
typedef PM_WRITE_CALLBACK* PPM_WRITE_CALLBACK;
typedef NTSTATUS PM_CONTROL_CALLBACK(CPmDriverClass* pObject, ULONG ulControlCode, PVOID pvInput, ULONG ulInputLength,
                                     PVOID pvOutput, ULONG ulOutputLength, PULONG_PTR pulInformation);
typedef PM_CONTROL_CALLBACK* PPM_CONTROL_CALLBACK;
// The driver completes the IRP (or pends it and completes it later).
typedef NTSTATUS PM_IRP_CALLBACK(CPmDriverClass* pObject, PIRP pIrp);
typedef PM_IRP_CALLBACK* PPM_IRP_CALLBACK;
// As PM_CONTROL_CALLBACK; a control queue named in *ppControlQueue takes the request instead.
typedef NTSTATUS PM_QUEUED_CONTROL_CALLBACK(CPmDriverClass* pObject, ULONG ulControlCode, PVOID pvInput,
                                            ULONG ulInputLength, PVOID pvOutput, ULONG ulOutputLength,
                                            PULONG_PTR pulInformation, CPmControlQueue** ppControlQueue);
typedef PM_QUEUED_CONTROL_CALLBACK* PPM_QUEUED_CONTROL_CALLBACK;
// Applies a settings set: (set, index, mode, out flag).
typedef BOOLEAN PM_USER_MODE_INTERFACE_CALLBACK(CPmDriverClass* pObject, CPmInformationSet* pSet, ULONG ulIndex,
                                                ULONG ulMode, PBOOLEAN pbFlag);
typedef PM_USER_MODE_INTERFACE_CALLBACK* PPM_USER_MODE_INTERFACE_CALLBACK;
// WMI blocks: (GUID index, instance, ...).
typedef BOOLEAN PM_WMI_SIZE_CALLBACK(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance, PULONG pulSize);
typedef BOOLEAN PM_WMI_QUERY_CALLBACK(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer);
typedef BOOLEAN PM_WMI_SET_BLOCK_CALLBACK(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulSize,
                                          PUCHAR pucBuffer);
typedef BOOLEAN PM_WMI_SET_ITEM_CALLBACK(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance, ULONG ulItemId,
                                         ULONG ulSize, PUCHAR pucBuffer);
typedef BOOLEAN PM_WMI_METHOD_SIZE_CALLBACK(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                            ULONG ulMethodId, PULONG pulSize);
typedef BOOLEAN PM_WMI_EXECUTE_CALLBACK(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                        PULONG pulInputSize, PULONG pulOutputSize, PUCHAR pucBuffer);
typedef BOOLEAN PM_WMI_FUNCTION_CONTROL_CALLBACK(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulFunction,
                                                 BOOLEAN bEnable);

// Phases of the rebalance callback.
#define PM_REBALANCE_QUERY_STOP 0
#define PM_REBALANCE_STOP 1
#define PM_REBALANCE_CANCEL_STOP 2
#define PM_REBALANCE_START 3

struct PmDriverCallbacks {
    PPM_ADD_DEVICE_FUNCTION m_AddDeviceFunction;
    PPM_DEVICE_CREATION m_DeviceCreation;
    PPM_OBJECT_CALLBACK m_CreateCallback;
    PPM_OBJECT_CALLBACK m_CloseCallback;
    PPM_OBJECT_CALLBACK m_CleanupCallback;
    PPM_OBJECT_CALLBACK m_PnpStartDeviceCallback;
    PPM_OBJECT_NOTIFICATION m_PnpRemoveDeviceCallback;
    PPM_REBALANCE_CALLBACK m_RebalanceDeviceCallback;
    PVOID m_pvReserved;
    PPM_DIRECT_WRITE_CALLBACK m_DirectWriteCallback;
    PPM_WRITE_CALLBACK m_WriteCallback;
    PPM_CONTROL_CALLBACK m_InternalDeviceControlCallback;
    PPM_IRP_CALLBACK m_InternalDeviceControlIrpCallback;
    PPM_CONTROL_CALLBACK m_SimpleDeviceControlCallback;
    PPM_QUEUED_CONTROL_CALLBACK m_DeviceControlCallback;
    PPM_OBJECT_NOTIFICATION m_PowerDownResetDeviceFunction;
    PPM_OBJECT_NOTIFICATION m_PowerUpInitDeviceFunction;
    PPM_USER_MODE_INTERFACE_CALLBACK m_UserModeInterfaceCallback;
    ULONG m_ulWmiGuidCount;
    const PmWmiGuidEntry* m_pWmiGuidTable;
    PM_WMI_SIZE_CALLBACK* m_WmiGetRequiredSizeCallback;
    PM_WMI_QUERY_CALLBACK* m_WmiQueryDataBlockCallback;
    PM_WMI_SET_BLOCK_CALLBACK* m_WmiSetDataBlockCallback;
    PM_WMI_SET_ITEM_CALLBACK* m_WmiSetDataItemCallback;
    PM_WMI_METHOD_SIZE_CALLBACK* m_WmiGetRequiredSizeForMethodCallback;
    PM_WMI_EXECUTE_CALLBACK* m_WmiExecuteMethodCallback;
    PM_WMI_FUNCTION_CONTROL_CALLBACK* m_WmiFunctionControlCallback;
};

// One child device of a bus functional device.
struct PmChildEntry {
    ULONG m_ulState;
    PDEVICE_OBJECT m_pDeviceObject;
    ULONG m_ulContextId;
    ULONG m_aulReserved[2];
};

class CPmFunctionalDevice : public CPmDevice {
public:
    PmDriverCallbacks m_Callbacks;
    // Runs direct writes at PASSIVE_LEVEL.
    CPmDeviceWorker* m_pDeviceWorker;
    FunctionalDeviceRegistryInformationSet* m_pConfiguration;
    CPmString m_DeviceName;
    CPmString m_SymbolicLinkName;
    CPmString m_RegistryPath;
    CPmDriverClass* m_pDriverClass;
    // Guards every call into the driver's object; disabled until the object exists.
    CPmUsageLock m_CallbackUsageLock;
    CPmResourceLists m_Resources;
    CPmPointerList m_ChildList;
    CPmSpinLock m_ChildListLock;
    CPmCallbackObject m_CallbackObject;
    // The settings interface of this device (created with it).
    PmUserModeInterface* m_pUserModeInterface;
    // One open at a time.
    CPmUsageLock m_OpenLock;
    ULONG m_ulDeviceIndex;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    PDEVICE_OBJECT m_pLowerDeviceObject;
    CWmi* m_pWmi;
    BOOLEAN m_bOwnBus;
    BOOLEAN m_bLowestStackLayer;
    CPmDriver* m_pDriver;
    // Finishes a device power-up at PASSIVE_LEVEL.
    PIO_WORKITEM m_pPowerUpWorkItem;
    // Requests the device state of a new system state at PASSIVE_LEVEL.
    PIO_WORKITEM m_pSystemPowerWorkItem;

    CPmFunctionalDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject,
                        PCUNICODE_STRING pRegistryPath, BOOLEAN* pbSuccess);
    ~CPmFunctionalDevice() override;

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

    // The PDO's device key (closed by the caller), or NULL.
    virtual HANDLE m_OpenDeviceRegistryKey();
    // The n-th (1-based) record of a resource list (PmResourceKind), or NULL.
    virtual PVOID m_GetListElement(ULONG ulKind, ULONG ulNumber);
    PmPortResource* m_GetPortResource(ULONG ulNumber) {
        return static_cast<PmPortResource*>(m_GetListElement(PmResourcePort, ulNumber));
    }
    PmMemoryResource* m_GetMemoryResource(ULONG ulNumber) {
        return static_cast<PmMemoryResource*>(m_GetListElement(PmResourceMemory, ulNumber));
    }
    PmInterruptResource* m_GetInterruptResource(ULONG ulNumber) {
        return static_cast<PmInterruptResource*>(m_GetListElement(PmResourceInterrupt, ulNumber));
    }
    PmDmaResource* m_GetDmaResource(ULONG ulNumber) {
        return static_cast<PmDmaResource*>(m_GetListElement(PmResourceDma, ulNumber));
    }
    PmMessageInterruptResource* m_GetMessageInterruptResource(ULONG ulNumber) {
        return static_cast<PmMessageInterruptResource*>(m_GetListElement(PmResourceMessageInterrupt, ulNumber));
    }
    virtual BOOLEAN m_NotifyCallbackObject(PVOID* ppvAnswer);

    // Requests IRP_MN_SET_POWER for a device power state (PowerDeviceD0, PowerDeviceD3) through the
    // device's own stack and waits for it. PASSIVE_LEVEL.
    BOOLEAN m_GotoPowerState(ULONG ulDevicePowerState);

    // "\??\<name>" to this device (the port driver's COM name). A link of that name that already
    // leads to this device (a rename in user mode makes one) is taken as this device's own.
    BOOLEAN m_AddSymbolicLinkName(const CPmString& name);
    // Deletes "\??\<name>" only while it leads to this device: the name may have gone to another.
    void m_DeleteSymbolicLinkName(const CPmString& name);
    // The settings interface applies a set through the driver.
    BOOLEAN m_ApplySettings(CPmInformationSet* pSet, ULONG ulIndex, ULONG ulMode, PBOOLEAN pbFlag);
    // Write data that bypasses the write queue; the data (pool memory of this driver) is taken over.
    void m_DirectWrite(ULONGLONG ullValue, PVOID pvData, ULONG ulLength);

    // A buffered device control to the functional device above the framework physical device
    // under pDevice (the parent bus device), with the caller's file object. FALSE when there is
    // none or the request failed; *pulOutputLength is the room on entry, the bytes returned after.
    static BOOLEAN sm_SendDeviceControlToLower(CPmFunctionalDevice* pDevice, ULONG ulControlCode, PVOID pvInput,
                                               ULONG ulInputLength, PVOID pvOutput, PULONG pulOutputLength,
                                               PFILE_OBJECT pFileObject);

private:
    BOOLEAN m_Construct(PCUNICODE_STRING pRegistryPath);
    BOOLEAN m_LoadConfiguration(HANDLE hDeviceKey);
    BOOLEAN m_NameDevice(HANDLE hDeviceKey);
    BOOLEAN m_NameFromRegistryCounter(HANDLE hDeviceKey);
    BOOLEAN m_NameFromPhysicalDevice();
    BOOLEAN m_UseDeviceIndex(ULONG ulIndex);
    void m_DeleteWorkerAndWmi();
    BOOLEAN m_Pair();
    void m_PairWithNamedDevice();
    void m_Unpair();
    void m_ReleaseParts();
    // Stops the reader's thread before anything it delivers to goes.
    void m_DeleteLowerStackReader();

    // Request routing.
    BOOLEAN m_IsSettingsHandle(PIRP pIrp, PBOOLEAN pbSettings);
    NTSTATUS m_RunSettingsUpdate();

    // Calls into the driver object under the callback lock; FALSE when the object is gone.
    BOOLEAN m_EnterCallback();
    void m_LeaveCallback() { m_CallbackUsageLock.m_Release(); }
    BOOLEAN m_CallObjectCallback(PPM_OBJECT_CALLBACK pfnCallback, PBOOLEAN pbResult);
    void m_CallNotification(PPM_OBJECT_NOTIFICATION pfnCallback);
    BOOLEAN m_CallRebalance(ULONG ulPhase, PBOOLEAN pbResult);

    // PnP.
    NTSTATUS m_PnpStart(PIRP pIrp);
    NTSTATUS m_PnpRemove(PIRP pIrp);
    NTSTATUS m_PnpBusRelations(PIRP pIrp);
    NTSTATUS m_PnpCapabilities(PIRP pIrp);
    NTSTATUS m_PnpPassDown(PIRP pIrp);
    void m_Remove();
    void m_ClearClientEntriesBelow();
    static IO_COMPLETION_ROUTINE sm_QueryCapabilitiesCompletionRoutine;

    // Power.
    NTSTATUS m_PowerPassDown(PIRP pIrp);
    NTSTATUS m_SystemSetPower(PIRP pIrp);
    NTSTATUS m_HandleDevicePoweringDown(PIRP pIrp);
    NTSTATUS m_HandleDevicePoweringUp(PIRP pIrp);
    static IO_COMPLETION_ROUTINE sm_SystemPowerCompletionRoutine;
    static IO_WORKITEM_ROUTINE sm_SystemPowerWorkItem;
    static REQUEST_POWER_COMPLETE sm_DevicePowerRequestComplete;
    static IO_COMPLETION_ROUTINE sm_PowerUpCompletionRoutine;
    static IO_WORKITEM_ROUTINE sm_PowerUpWorkItem;
    static PM_WORK_FUNCTION sm_DirectWriteWork;
    static PM_CALLBACK_HANDLER sm_CallbackObjectHandler;
    static PM_SETTINGS_CALLBACK sm_SettingsCallback;
    static BOOLEAN sm_WriteChunk(PVOID pvContext, CPmBuffer* pChunk);
    static PM_FORWARD_CALLBACK sm_ForwardCallback;
};
