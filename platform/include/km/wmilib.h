// WMILIB: the helper library that turns IRP_MJ_SYSTEM_CONTROL requests into driver callbacks.
#pragma once

#include <wdm.h>

typedef struct _WMIGUIDREGINFO {
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags; // WMIREG_FLAG_*
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;
static_assert(sizeof(WMIGUIDREGINFO) == 16, "WMIGUIDREGINFO layout");

typedef enum _WMIENABLEDISABLECONTROL { WmiEventControl, WmiDataBlockControl } WMIENABLEDISABLECONTROL,
    *PWMIENABLEDISABLECONTROL;

typedef enum _SYSCTL_IRP_DISPOSITION {
    IrpProcessed,    // WMILIB (or the callback through WmiCompleteRequest) completed the IRP
    IrpNotCompleted, // the caller completes the IRP, whose IoStatus is set
    IrpNotWmi,       // not a WMI request: the caller handles or forwards it
    IrpForward       // meant for another device: the caller passes it down
} SYSCTL_IRP_DISPOSITION, *PSYSCTL_IRP_DISPOSITION;

typedef NTSTATUS WMI_QUERY_REGINFO_CALLBACK(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                            PUNICODE_STRING InstanceName, PUNICODE_STRING* RegistryPath,
                                            PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo);
typedef WMI_QUERY_REGINFO_CALLBACK* PWMI_QUERY_REGINFO;

typedef NTSTATUS WMI_QUERY_DATABLOCK_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                              ULONG InstanceIndex, ULONG InstanceCount,
                                              PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer);
typedef WMI_QUERY_DATABLOCK_CALLBACK* PWMI_QUERY_DATABLOCK;

typedef NTSTATUS WMI_SET_DATABLOCK_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                            ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
typedef WMI_SET_DATABLOCK_CALLBACK* PWMI_SET_DATABLOCK;

typedef NTSTATUS WMI_SET_DATAITEM_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                           ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize,
                                           PUCHAR Buffer);
typedef WMI_SET_DATAITEM_CALLBACK* PWMI_SET_DATAITEM;

typedef NTSTATUS WMI_EXECUTE_METHOD_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                             ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                             ULONG OutBufferSize, PUCHAR Buffer);
typedef WMI_EXECUTE_METHOD_CALLBACK* PWMI_EXECUTE_METHOD;

typedef NTSTATUS WMI_FUNCTION_CONTROL_CALLBACK(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                               WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);
typedef WMI_FUNCTION_CONTROL_CALLBACK* PWMI_FUNCTION_CONTROL;

typedef struct _WMILIB_CONTEXT {
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;
    PWMI_QUERY_REGINFO QueryWmiRegInfo;
    PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
    PWMI_SET_DATABLOCK SetWmiDataBlock;
    PWMI_SET_DATAITEM SetWmiDataItem;
    PWMI_EXECUTE_METHOD ExecuteWmiMethod;
    PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

HV_EXTERN_C_BEGIN

HV_API NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                 PSYSCTL_IRP_DISPOSITION IrpDisposition);
// Completes a request that a WMILIB callback served. BufferUsed is the data size written, or,
// with STATUS_BUFFER_TOO_SMALL, the data size needed: the caller then receives a WNODE_TOO_SMALL.
HV_API NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                   CCHAR PriorityBoost);
// Sends an event of a registered GUID. EventData is pool memory that this routine frees.
HV_API NTSTATUS WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex,
                             ULONG EventDataSize, PVOID EventData);

HV_EXTERN_C_END
