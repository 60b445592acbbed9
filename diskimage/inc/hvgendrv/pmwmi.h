// WMI registration of a functional device and the dispatch of its IRP_MJ_SYSTEM_CONTROL requests
// through WMILIB to the driver's WMI callbacks.
#pragma once

#include <wdm.h>
#include <wmilib.h>

#include <pmfunctionaldevice.h>

// One WMI block of a driver.
struct PmWmiGuidEntry {
    const GUID* m_pGuid;
    ULONG m_ulInstanceCount;
    // 1: the block is expensive to collect.
    UCHAR m_ucExpensive;
    // Size of one instance; 0: asked of the driver's required-size callbacks.
    ULONG m_ulFixedSize;
    // 1: set requests are refused.
    ULONG m_ulReadOnly;
    ULONG m_ulItemCount;
    ULONG m_ulMethodCount;
};

// The framework's own GUIDs (its software-trace control GUIDs) registered after the driver's.
#define PM_WMI_FRAMEWORK_GUIDS 8

class CWmi : public CPmObject {
public:
    CPmDriverClass* m_pDriverObject;
    PM_WMI_SIZE_CALLBACK* m_pfnGetRequiredSize;
    PM_WMI_QUERY_CALLBACK* m_pfnQueryDataBlock;
    PM_WMI_SET_BLOCK_CALLBACK* m_pfnSetDataBlock;
    PM_WMI_SET_ITEM_CALLBACK* m_pfnSetDataItem;
    PM_WMI_METHOD_SIZE_CALLBACK* m_pfnGetRequiredSizeForMethod;
    PM_WMI_EXECUTE_CALLBACK* m_pfnExecuteMethod;
    PM_WMI_FUNCTION_CONTROL_CALLBACK* m_pfnFunctionControl;
    PDEVICE_OBJECT m_pDeviceObject;
    PDEVICE_OBJECT m_pLowerDeviceObject;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    UNICODE_STRING m_RegistryPath;
    PWMIGUIDREGINFO m_pRegistration;
    WMILIB_CONTEXT m_WmiLibContext;
    BOOLEAN m_bRegistrationGiven;
    const PmWmiGuidEntry* m_pGuidTable;
    ULONG m_ulGuidCount;
    BOOLEAN m_bRegistered;

    // Registers the device with the driver's blocks and the framework's; *pbSuccess FALSE when
    // anything failed (the object is then deleted by the caller).
    CWmi(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pLowerDeviceObject, PDEVICE_OBJECT pPhysicalDeviceObject,
         PCUNICODE_STRING pRegistryPath, const PmWmiGuidEntry* pGuidTable, ULONG ulGuidCount,
         const PmDriverCallbacks* pCallbacks, CPmDriverClass* pDriverObject, BOOLEAN* pbSuccess);
    ~CWmi() override;

    // The functional device's IRP_MJ_SYSTEM_CONTROL.
    NTSTATUS m_SystemControl(PIRP pIrp);

    static WMI_QUERY_REGINFO_CALLBACK sm_QueryWmiRegInfo;
    static WMI_QUERY_DATABLOCK_CALLBACK sm_QueryWmiDataBlock;
    static WMI_SET_DATABLOCK_CALLBACK sm_SetWmiDataBlock;
    static WMI_SET_DATAITEM_CALLBACK sm_SetWmiDataItem;
    static WMI_EXECUTE_METHOD_CALLBACK sm_ExecuteWmiMethod;

private:
    // A set of a whole block or of one item, under the device's usage lock.
    static NTSTATUS sm_Set(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulGuidIndex, ULONG ulInstanceIndex,
                           BOOLEAN bItem, ULONG ulItemId, ULONG ulBufferSize, PUCHAR pucBuffer);
    NTSTATUS m_QueryDataBlock(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulInstanceCount,
                              PULONG pulInstanceLengths, ULONG ulBufferAvail, PUCHAR pucBuffer, PULONG pulSize);
    NTSTATUS m_SetDataBlock(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulBufferSize, PUCHAR pucBuffer);
    NTSTATUS m_SetDataItem(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulItemId, ULONG ulBufferSize,
                           PUCHAR pucBuffer);
    NTSTATUS m_ExecuteMethod(ULONG ulGuidIndex, ULONG ulInstanceIndex, ULONG ulMethodId, ULONG ulInputSize,
                             ULONG ulOutputSize, PUCHAR pucBuffer, PULONG pulSize);
};
