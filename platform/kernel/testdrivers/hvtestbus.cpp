// A bus driver for the kernel's tests: its function device reports "Children" (Device
// Parameters, DWORD, at most 8) child PDOs with the IDs HVTEST\CHILD / instance <n>, and a
// device control (IOCTL_HVTEST_SET_CHILDREN) changes the count and invalidates the relations.
// Requests at the children are logged as "HVTB <n> PNP 0x..".
#include <wdm.h>

#include "testdriver.h"

namespace {

constexpr ULONG kMaxChildren = 8;

struct Extension {
    BOOLEAN is_child;
    // Function device:
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    ULONG wanted;
    PDEVICE_OBJECT children[kMaxChildren];
    // Child:
    ULONG index;
    BOOLEAN reported;
    BOOLEAN started;
};

Extension* ext_of(PDEVICE_OBJECT device) { return (Extension*)device->DeviceExtension; }

WCHAR* pool_text(const WCHAR* text, size_t count) {
    auto* out = (WCHAR*)ExAllocatePoolWithTag(PagedPool, count * sizeof(WCHAR), 'sbTH');
    if (out) RtlCopyMemory(out, text, count * sizeof(WCHAR));
    return out;
}

// ---- Children ----------------------------------------------------------------------------------

NTSTATUS child_query_id(Extension* ext, PIRP irp, BUS_QUERY_ID_TYPE type) {
    WCHAR digit = (WCHAR)(u'0' + ext->index);
    switch (type) {
    case BusQueryDeviceID: {
        static const WCHAR id[] = u"HVTEST\\CHILD";
        return hvtest::complete(irp, STATUS_SUCCESS, (ULONG_PTR)pool_text(id, sizeof id / sizeof id[0]));
    }
    case BusQueryHardwareIDs: {
        WCHAR ids[] = u"HVTEST\\CHILD_0\0HVTEST\\CHILD\0";
        ids[13] = digit;
        return hvtest::complete(irp, STATUS_SUCCESS, (ULONG_PTR)pool_text(ids, sizeof ids / sizeof ids[0]));
    }
    case BusQueryInstanceID: {
        WCHAR id[] = {digit, 0};
        return hvtest::complete(irp, STATUS_SUCCESS, (ULONG_PTR)pool_text(id, 2));
    }
    default: return hvtest::complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS child_pnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = ext_of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DbgPrint("HVTB %u PNP 0x%02x\n", ext->index, stack->MinorFunction);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: ext->started = TRUE; return hvtest::complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: return hvtest::complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL: ext->started = FALSE; return hvtest::complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        ext->started = FALSE;
        hvtest::complete(irp, STATUS_SUCCESS);
        if (!ext->reported) IoDeleteDevice(device); // gone from the bus: nobody will ask for it again
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_ID: return child_query_id(ext, irp, stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_CAPABILITIES: {
        DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->Address = ext->index;
        caps->UINumber = ext->index + 1;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) caps->DeviceState[s] = PowerDeviceD3;
        return hvtest::complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            static const WCHAR text[] = u"Test child";
            return hvtest::complete(irp, STATUS_SUCCESS, (ULONG_PTR)pool_text(text, sizeof text / sizeof text[0]));
        }
        WCHAR text[] = u"Port #0";
        text[6] = (WCHAR)(u'0' + ext->index);
        return hvtest::complete(irp, STATUS_SUCCESS, (ULONG_PTR)pool_text(text, sizeof text / sizeof text[0]));
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
        auto* info = (PNP_BUS_INFORMATION*)ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), 'ibTH');
        if (!info) return hvtest::complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        info->BusTypeGuid = GUID_HVTEST_BUS_TYPE;
        info->LegacyBusType = PNPBus;
        info->BusNumber = 7;
        return hvtest::complete(irp, STATUS_SUCCESS, (ULONG_PTR)info);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations = (DEVICE_RELATIONS*)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'rbTH');
            if (!relations) return hvtest::complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            relations->Count = 1;
            relations->Objects[0] = device;
            ObReferenceObject(device);
            return hvtest::complete(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
        }
        return hvtest::complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    default: return hvtest::complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS child_power(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        status = STATUS_SUCCESS;
    }
    return hvtest::complete(irp, status, irp->IoStatus.Information);
}

// ---- Function device ----------------------------------------------------------------------------

NTSTATUS bus_relations(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = ext_of(device);
    for (ULONG i = 0; i < kMaxChildren; ++i) {
        if (i < ext->wanted && !ext->children[i]) {
            PDEVICE_OBJECT child = nullptr;
            if (!NT_SUCCESS(IoCreateDevice(device->DriverObject, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child)))
                break;
            Extension* cext = ext_of(child);
            RtlZeroMemory(cext, sizeof *cext);
            cext->is_child = TRUE;
            cext->index = i;
            child->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
            child->Flags &= ~DO_DEVICE_INITIALIZING;
            ext->children[i] = child;
        }
        if (ext->children[i]) ext_of(ext->children[i])->reported = i < ext->wanted;
        // A child no longer reported goes when its REMOVE_DEVICE arrives.
        if (ext->children[i] && i >= ext->wanted) ext->children[i] = nullptr;
    }
    ULONG count = 0;
    for (ULONG i = 0; i < kMaxChildren; ++i)
        if (ext->children[i]) ++count;
    auto* relations = (DEVICE_RELATIONS*)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + kMaxChildren * sizeof(PDEVICE_OBJECT), 'rbTH');
    if (!relations) return hvtest::complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 0;
    for (ULONG i = 0; i < kMaxChildren; ++i)
        if (ext->children[i]) {
            ObReferenceObject(ext->children[i]);
            relations->Objects[relations->Count++] = ext->children[i];
        }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = (ULONG_PTR)relations;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS bus_pnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = ext_of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DbgPrint("HVTB bus PNP 0x%02x\n", stack->MinorFunction);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = hvtest::forward_and_wait(ext->lower, irp);
        return hvtest::complete(irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return bus_relations(device, irp);
        break;
    case IRP_MN_REMOVE_DEVICE: {
        for (ULONG i = 0; i < kMaxChildren; ++i)
            if (ext->children[i]) {
                IoDeleteDevice(ext->children[i]);
                ext->children[i] = nullptr;
            }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: irp->IoStatus.Status = STATUS_SUCCESS; break;
    default: break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS bus_power(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        irp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext_of(device)->lower, irp);
}

NTSTATUS bus_control(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = ext_of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_HVTEST_SET_CHILDREN)
        return hvtest::complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
        return hvtest::complete(irp, STATUS_BUFFER_TOO_SMALL);
    ULONG wanted;
    RtlCopyMemory(&wanted, irp->AssociatedIrp.SystemBuffer, sizeof wanted);
    if (wanted > kMaxChildren) return hvtest::complete(irp, STATUS_INVALID_PARAMETER);
    ext->wanted = wanted;
    IoInvalidateDeviceRelations(ext->pdo, BusRelations);
    return hvtest::complete(irp, STATUS_SUCCESS);
}

// ---- Dispatch ----------------------------------------------------------------------------------

NTSTATUS dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
    return ext_of(device)->is_child ? child_pnp(device, irp) : bus_pnp(device, irp);
}

NTSTATUS dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
    return ext_of(device)->is_child ? child_power(device, irp) : bus_power(device, irp);
}

NTSTATUS dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
    if (ext_of(device)->is_child) return hvtest::complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return bus_control(device, irp);
}

NTSTATUS dispatch_system_control(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = ext_of(device);
    if (ext->is_child) return hvtest::complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS dispatch_success(PDEVICE_OBJECT, PIRP irp) { return hvtest::complete(irp, STATUS_SUCCESS); }

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    Extension* ext = ext_of(device);
    RtlZeroMemory(ext, sizeof *ext);
    ext->pdo = pdo;
    HANDLE key = nullptr;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        ext->wanted = hvtest::read_dword(key, u"Children", 0);
        if (ext->wanted > kMaxChildren) ext->wanted = kMaxChildren;
        ZwClose(key);
    }
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void unload(PDRIVER_OBJECT) { DbgPrint("HVTB UNLOAD\n"); }

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_system_control;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_success;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_success;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_success;
    return STATUS_SUCCESS;
}
