// WMILIB: checks a WMI request against the driver's GUID list and turns it into the driver's
// callbacks; completes requests with the WNODE sizes the WMI service expects.
#include <wmilib.h>

#include <hvsim/kernel.h>

#include <cstring>
#include <vector>

namespace {

ULONG align8(ULONG value) { return (value + 7) & ~7u; }

NTSTATUS complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Leaves the IRP to the caller with its status set.
NTSTATUS not_completed(PIRP irp, NTSTATUS status, PSYSCTL_IRP_DISPOSITION disposition, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    *disposition = IrpNotCompleted;
    return status;
}

bool find_guid(const WMILIB_CONTEXT* context, const GUID* guid, ULONG* index) {
    if (!guid || !context->GuidList) return false;
    for (ULONG i = 0; i < context->GuidCount; ++i)
        if (context->GuidList[i].Guid && IsEqualGUID(*context->GuidList[i].Guid, *guid)) {
            *index = i;
            return true;
        }
    return false;
}

// Appends a counted string (USHORT byte count, then the characters) and returns its offset.
ULONG put_counted(UCHAR* base, ULONG* offset, const UNICODE_STRING* text) {
    ULONG at = *offset;
    USHORT bytes = text ? text->Length : 0;
    std::memcpy(base + at, &bytes, sizeof bytes);
    if (bytes) std::memcpy(base + at + sizeof bytes, text->Buffer, bytes);
    *offset += sizeof(USHORT) + bytes;
    return at;
}

NTSTATUS registration_info(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, UCHAR minor,
                           PSYSCTL_IRP_DISPOSITION disposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!context->QueryWmiRegInfo) return not_completed(irp, STATUS_INVALID_DEVICE_REQUEST, disposition);
    ULONG flags = 0;
    UNICODE_STRING instance_name{};
    UNICODE_STRING mof_name{};
    PUNICODE_STRING registry_path = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = context->QueryWmiRegInfo(device, &flags, &instance_name, &registry_path, &mof_name, &pdo);
    // The instance name's buffer is pool memory that the driver hands over.
    struct FreeName {
        UNICODE_STRING* name;
        ~FreeName() {
            if (name->Buffer) ExFreePool(name->Buffer);
        }
    } free_name{&instance_name};
    if (!NT_SUCCESS(status)) return not_completed(irp, status, disposition);
    if ((flags & WMIREG_FLAG_INSTANCE_PDO) && !pdo) return not_completed(irp, STATUS_INVALID_PARAMETER, disposition);

    ULONG size = offsetof(WMIREGINFO, WmiRegGuid) + context->GuidCount * (ULONG)sizeof(WMIREGGUID);
    ULONG strings = size;
    size += sizeof(USHORT) + (registry_path ? registry_path->Length : 0);
    if (mof_name.Length) size += sizeof(USHORT) + mof_name.Length;
    if (flags & WMIREG_FLAG_INSTANCE_BASENAME) size += sizeof(USHORT) + instance_name.Length;

    ULONG available = stack->Parameters.WMI.BufferSize;
    auto* buffer = (UCHAR*)stack->Parameters.WMI.Buffer;
    if (!buffer || available < size) {
        // Too small: say how much is needed; the WMI service asks again.
        if (!buffer || available < sizeof(ULONG)) return not_completed(irp, STATUS_BUFFER_TOO_SMALL, disposition);
        std::memcpy(buffer, &size, sizeof size);
        return not_completed(irp, STATUS_SUCCESS, disposition, sizeof(ULONG));
    }
    std::memset(buffer, 0, size);
    auto* info = (WMIREGINFO*)buffer;
    info->BufferSize = size;
    info->GuidCount = context->GuidCount;
    ULONG offset = strings;
    info->RegistryPath = put_counted(buffer, &offset, registry_path);
    if (mof_name.Length) info->MofResourceName = put_counted(buffer, &offset, &mof_name);
    ULONG base_name = (flags & WMIREG_FLAG_INSTANCE_BASENAME) ? put_counted(buffer, &offset, &instance_name) : 0;
    for (ULONG i = 0; i < context->GuidCount; ++i) {
        WMIREGGUID& guid = info->WmiRegGuid[i];
        if (context->GuidList[i].Guid) guid.Guid = *context->GuidList[i].Guid;
        guid.Flags = context->GuidList[i].Flags | flags;
        guid.InstanceCount = context->GuidList[i].InstanceCount;
        if (flags & WMIREG_FLAG_INSTANCE_PDO) {
            guid.Pdo = (ULONG_PTR)pdo;
            // REGINFO_EX hands the WMI service a reference per GUID.
            if (minor == IRP_MN_REGINFO_EX) ObReferenceObject(pdo);
        } else if (flags & WMIREG_FLAG_INSTANCE_BASENAME) {
            guid.BaseNameOffset = base_name;
        }
    }
    return not_completed(irp, STATUS_SUCCESS, disposition, size);
}

} // namespace

HV_EXTERN_C_BEGIN

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = stack->MinorFunction;
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL ||
        (minor > IRP_MN_EXECUTE_METHOD && minor != IRP_MN_REGINFO_EX)) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (stack->Parameters.WMI.ProviderId != (ULONG_PTR)DeviceObject || !WmiLibInfo) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
        return registration_info(WmiLibInfo, DeviceObject, Irp, minor, IrpDisposition);
    if (WmiLibInfo->GuidCount == 0) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }

    ULONG index = 0;
    if (!find_guid(WmiLibInfo, (const GUID*)stack->Parameters.WMI.DataPath, &index))
        return not_completed(Irp, STATUS_WMI_GUID_NOT_FOUND, IrpDisposition);
    ULONG instances = WmiLibInfo->GuidList[index].InstanceCount;
    ULONG size = stack->Parameters.WMI.BufferSize;
    auto* buffer = (UCHAR*)stack->Parameters.WMI.Buffer;
    if (!buffer || size < sizeof(WNODE_HEADER)) return not_completed(Irp, STATUS_BUFFER_TOO_SMALL, IrpDisposition);

    // The requests that name one instance carry its index and where its data lies.
    ULONG instance = 0, data_offset = 0;
    if (minor == IRP_MN_QUERY_SINGLE_INSTANCE || minor == IRP_MN_CHANGE_SINGLE_INSTANCE ||
        minor == IRP_MN_CHANGE_SINGLE_ITEM || minor == IRP_MN_EXECUTE_METHOD) {
        ULONG fixed = minor == IRP_MN_CHANGE_SINGLE_ITEM ? offsetof(WNODE_SINGLE_ITEM, VariableData)
                      : minor == IRP_MN_EXECUTE_METHOD   ? offsetof(WNODE_METHOD_ITEM, VariableData)
                                                         : offsetof(WNODE_SINGLE_INSTANCE, VariableData);
        if (size < fixed) return not_completed(Irp, STATUS_BUFFER_TOO_SMALL, IrpDisposition);
        auto* wnode = (WNODE_SINGLE_INSTANCE*)buffer; // InstanceIndex lies at the same offset in all three
        instance = wnode->InstanceIndex;
        if (!(wnode->WnodeHeader.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) || instance >= instances)
            return not_completed(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, IrpDisposition);
        data_offset = minor == IRP_MN_CHANGE_SINGLE_ITEM ? ((WNODE_SINGLE_ITEM*)buffer)->DataBlockOffset
                      : minor == IRP_MN_EXECUTE_METHOD   ? ((WNODE_METHOD_ITEM*)buffer)->DataBlockOffset
                                                         : wnode->DataBlockOffset;
        if (data_offset > size || data_offset < fixed)
            return not_completed(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
    }

    *IrpDisposition = IrpProcessed;
    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        auto* wnode = (WNODE_ALL_DATA*)buffer;
        ULONG block = align8(offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                             instances * (ULONG)sizeof(OFFSETINSTANCEDATAANDLENGTH));
        if (size < block) {
            // Not even the instance lengths fit: answered here, the driver never sees a NULL array.
            if (size < sizeof(WNODE_TOO_SMALL)) return complete(Irp, STATUS_BUFFER_TOO_SMALL);
            auto* small = (WNODE_TOO_SMALL*)buffer;
            small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
            small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
            small->SizeNeeded = block;
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = sizeof(WNODE_TOO_SMALL);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_BUFFER_TOO_SMALL;
        }
        wnode->InstanceCount = instances;
        wnode->DataBlockOffset = block;
        wnode->WnodeHeader.Flags &= ~WNODE_FLAG_FIXED_INSTANCE_SIZE;
        if (!WmiLibInfo->QueryWmiDataBlock) return complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, 0, instances,
                                             (PULONG)&wnode->OffsetInstanceDataAndLength[0], size - block,
                                             buffer + block);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto* wnode = (WNODE_SINGLE_INSTANCE*)buffer;
        if (!WmiLibInfo->QueryWmiDataBlock) return complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, instance, 1, &wnode->SizeDataBlock,
                                             size - data_offset, buffer + data_offset);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto* wnode = (WNODE_SINGLE_INSTANCE*)buffer;
        if ((ULONGLONG)data_offset + wnode->SizeDataBlock > size) {
            *IrpDisposition = IrpNotCompleted;
            return not_completed(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
        }
        if (!WmiLibInfo->SetWmiDataBlock) return complete(Irp, STATUS_WMI_READ_ONLY);
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, instance, wnode->SizeDataBlock,
                                           buffer + data_offset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto* wnode = (WNODE_SINGLE_ITEM*)buffer;
        if ((ULONGLONG)data_offset + wnode->SizeDataItem > size) {
            *IrpDisposition = IrpNotCompleted;
            return not_completed(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
        }
        if (!WmiLibInfo->SetWmiDataItem) return complete(Irp, STATUS_WMI_READ_ONLY);
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, instance, wnode->ItemId, wnode->SizeDataItem,
                                          buffer + data_offset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto* wnode = (WNODE_METHOD_ITEM*)buffer;
        if ((ULONGLONG)data_offset + wnode->SizeDataBlock > size) {
            *IrpDisposition = IrpNotCompleted;
            return not_completed(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
        }
        if (!WmiLibInfo->ExecuteWmiMethod) return complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
        return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, index, instance, wnode->MethodId, wnode->SizeDataBlock,
                                            size - data_offset, buffer + data_offset);
    }
    case IRP_MN_ENABLE_EVENTS:
    case IRP_MN_DISABLE_EVENTS:
    case IRP_MN_ENABLE_COLLECTION:
    case IRP_MN_DISABLE_COLLECTION: {
        if (!WmiLibInfo->WmiFunctionControl) return complete(Irp, STATUS_SUCCESS);
        bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, index, events ? WmiEventControl : WmiDataBlockControl,
                                              enable);
    }
    default: *IrpDisposition = IrpNotWmi; return Irp->IoStatus.Status;
    }
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                            CCHAR PriorityBoost) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* buffer = (UCHAR*)stack->Parameters.WMI.Buffer;
    ULONG size = stack->Parameters.WMI.BufferSize;
    NTSTATUS irp_status = Status;
    ULONG_PTR information = 0;

    // The data block's offset in the answer and, for a too-small answer, the size needed.
    ULONG data_offset = 0;
    bool sized = false;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA:
        if (buffer && size >= offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength)) {
            data_offset = ((WNODE_ALL_DATA*)buffer)->DataBlockOffset;
            sized = true;
        }
        break;
    case IRP_MN_QUERY_SINGLE_INSTANCE:
        if (buffer && size >= offsetof(WNODE_SINGLE_INSTANCE, VariableData)) {
            data_offset = ((WNODE_SINGLE_INSTANCE*)buffer)->DataBlockOffset;
            sized = true;
        }
        break;
    case IRP_MN_EXECUTE_METHOD:
        if (buffer && size >= offsetof(WNODE_METHOD_ITEM, VariableData)) {
            data_offset = ((WNODE_METHOD_ITEM*)buffer)->DataBlockOffset;
            sized = true;
        }
        break;
    default: break;
    }
    ULONGLONG total = (ULONGLONG)data_offset + BufferUsed;
    if (sized && NT_SUCCESS(Status) && total > size) Status = irp_status = STATUS_BUFFER_TOO_SMALL;

    if (sized && Status == STATUS_BUFFER_TOO_SMALL) {
        if (size >= sizeof(WNODE_TOO_SMALL)) {
            auto* small = (WNODE_TOO_SMALL*)buffer;
            small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
            small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
            small->SizeNeeded = (ULONG)total;
            irp_status = STATUS_SUCCESS;
            information = sizeof(WNODE_TOO_SMALL);
        }
    } else if (sized && NT_SUCCESS(Status)) {
        switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ALL_DATA: {
            auto* wnode = (WNODE_ALL_DATA*)buffer;
            // The driver left one length per instance; the answer gives each instance its own
            // 8-byte aligned offset (the pairs overwrite the lengths, so read them first).
            std::vector<ULONG> lengths(wnode->InstanceCount);
            std::memcpy(lengths.data(), &wnode->OffsetInstanceDataAndLength[0], lengths.size() * sizeof(ULONG));
            ULONG offset = data_offset;
            for (size_t i = 0; i < lengths.size(); ++i) {
                wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
                wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = lengths[i];
                offset += align8(lengths[i]);
            }
            wnode->WnodeHeader.BufferSize = (ULONG)total;
            break;
        }
        case IRP_MN_QUERY_SINGLE_INSTANCE: {
            auto* wnode = (WNODE_SINGLE_INSTANCE*)buffer;
            wnode->SizeDataBlock = BufferUsed;
            wnode->WnodeHeader.BufferSize = (ULONG)total;
            break;
        }
        case IRP_MN_EXECUTE_METHOD: {
            auto* wnode = (WNODE_METHOD_ITEM*)buffer;
            wnode->SizeDataBlock = BufferUsed;
            wnode->WnodeHeader.BufferSize = (ULONG)total;
            break;
        }
        default: break;
        }
        information = (ULONG_PTR)total;
    }
    Irp->IoStatus.Status = irp_status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

NTSTATUS WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex, ULONG EventDataSize,
                      PVOID EventData) {
    if (!Guid || (EventDataSize && !EventData)) {
        if (EventData) ExFreePool(EventData);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG total = offsetof(WNODE_SINGLE_INSTANCE, VariableData) + EventDataSize;
    auto* wnode = (WNODE_SINGLE_INSTANCE*)ExAllocatePoolWithTag(NonPagedPool, total, 'EimW');
    if (!wnode) {
        if (EventData) ExFreePool(EventData);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(wnode, 0, total);
    wnode->WnodeHeader.BufferSize = total;
    wnode->WnodeHeader.ProviderId = IoWMIDeviceObjectToProviderId(DeviceObject);
    wnode->WnodeHeader.Guid = *Guid;
    wnode->WnodeHeader.Flags = WNODE_FLAG_EVENT_ITEM | WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    KeQuerySystemTime(&wnode->WnodeHeader.TimeStamp);
    wnode->InstanceIndex = InstanceIndex;
    wnode->DataBlockOffset = offsetof(WNODE_SINGLE_INSTANCE, VariableData);
    wnode->SizeDataBlock = EventDataSize;
    if (EventDataSize) std::memcpy(wnode->VariableData, EventData, EventDataSize);
    if (EventData) ExFreePool(EventData);
    NTSTATUS status = IoWMIWriteEvent(wnode);
    if (!NT_SUCCESS(status)) ExFreePool(wnode);
    return status;
}

HV_EXTERN_C_END
