// The bus driver HvUBus (service "HvUsbSam"): its driver-specific object, which serves one bus
// functional device, keeps the ports that the port driver created on it and the bus settings set.
#pragma once

#include <wdm.h>

#include <pmdriver.h>
#include <pmfunctionaldevice.h>
#include <pmusermodeinterface.h>

#include "hvubusport.h"
#include "hvubususermodeinterface.h"

class CHvUsbSamDriver : public CPmDriverClass {
public:
    CPmFunctionalDevice* m_pBusDevice;
    // CHvUBusPort objects, owned; guarded by m_PortListMutex (walks may wait on the device).
    CPmPointerList m_PortList;
    KMUTEX m_PortListMutex;
    CPmUsageLock m_UsageLock;
    // The set most recently received from the settings interface, which owns it; NULL until then.
    CHvUBusUserModeInterface* m_pBusSettings;

    CHvUsbSamDriver();
    ~CHvUsbSamDriver() override;

    static PM_ADD_DEVICE_FUNCTION m_AddDevice;
    static PM_OBJECT_CALLBACK m_PnpStartDevice;
    static PM_OBJECT_NOTIFICATION m_CleanUp;
    static PM_OBJECT_CALLBACK m_CleanUpLogOnly;
    static PM_REBALANCE_CALLBACK m_RebalanceDevice;
    static PM_OBJECT_NOTIFICATION m_PowerDownResetDevice;
    static PM_OBJECT_NOTIFICATION m_PowerUpInitDevice;
    static PM_USER_MODE_INTERFACE_CALLBACK m_UserModeInterface;
    static PM_CONTROL_CALLBACK m_InternalDeviceControlCallback;

    static PM_WMI_QUERY_CALLBACK m_WmiQueryDataBlockCallback;
    static PM_WMI_SIZE_CALLBACK m_WmiGetRequiredSizeCallback;
    static PM_WMI_SET_BLOCK_CALLBACK m_WmiSetDataBlockCallback;
    static PM_WMI_SET_ITEM_CALLBACK m_WmiSetDataItemCallback;
    static PM_WMI_EXECUTE_CALLBACK m_WmiExecuteMethodCallback;
    static PM_WMI_METHOD_SIZE_CALLBACK m_WmiGetRequiredSizeForMethodCallback;
    static PM_WMI_FUNCTION_CONTROL_CALLBACK m_WmiFunctionControlCallback;

private:
    BOOLEAN m_IsOwnDevice();
    void m_DoRemoveDevice();
    void m_DestroyAllPorts();
    void m_LockPorts();
    void m_UnlockPorts();
    void m_PushSettings(CHvUBusPort* pPort);
    void m_ForEachPort(void (*pfnCall)(CHvUsbSamDriver* pDriver, CHvUBusPort* pPort));
    NTSTATUS m_CreateISerial(PVOID pvBuffer, ULONG ulInputLength, ULONG ulOutputLength, PULONG_PTR pulInformation);
    NTSTATUS m_ReleaseISerial(PVOID pvBuffer, ULONG ulInputLength);
};
