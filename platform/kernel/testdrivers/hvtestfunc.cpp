// A function driver for the kernel's tests. It logs every PnP, power, create and WMI request it
// sees to the debugger log ("HVTF ..."), passes PnP and power requests down as a WDM function
// driver does, and takes its behaviour from the registry:
//   service key:       FailDriverEntry, LeakAtUnload (DWORD, read at unload: 1 pool, 2 a mapping of
//                      device memory)
//   Device Parameters: RefuseQueryRemove, FailStart, NoPowerPolicy (DWORD 1),
//                      ReportState (PNP_DEVICE_* bits, read at each query),
//                      InterfaceRef (REG_SZ; "*" registers without a reference string), Wmi (DWORD 1),
//                      SerialPort (DWORD 1: a named, exclusive device that at start links the DOS
//                      name of its PortName to itself and enters it in SERIALCOMM, as a port driver;
//                      it keeps its device name across restarts in SerialDeviceNumber, so a link a
//                      rename in user mode made to it is its own, and a link to another device
//                      fails the start)
// Memory resources are mapped at start and unmapped at stop, surprise removal and removal.
#include <wdm.h>
#include <ntstrsafe.h>
#include <wmilib.h>

#include "testdriver.h"

namespace {

struct Extension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    ULONG refuse_query_remove;
    ULONG fail_start;
    ULONG no_power_policy;
    ULONG use_wmi;
    BOOLEAN want_interface;
    WCHAR interface_ref[64];
    UNICODE_STRING link;
    WMIGUIDREGINFO wmi_guids[1];
    WMILIB_CONTEXT wmi;
    ULONG wmi_value;
    PVOID mapped[2];
    SIZE_T mapped_length[2];
    ULONG serial_port;
    WCHAR device_name[32];
    WCHAR dos_link[64];
};

UNICODE_STRING g_registry_path;
WCHAR g_registry_path_buffer[256];

const char* power_minor(UCHAR minor) {
    switch (minor) {
    case IRP_MN_SET_POWER: return "SET";
    case IRP_MN_QUERY_POWER: return "QUERY";
    case IRP_MN_WAIT_WAKE: return "WAIT_WAKE";
    default: return "OTHER";
    }
}

// ---- WMI ---------------------------------------------------------------------------------------

NTSTATUS query_reg_info(PDEVICE_OBJECT device, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* registry_path,
                        PUNICODE_STRING, PDEVICE_OBJECT* pdo) {
    auto* ext = (Extension*)device->DeviceExtension;
    *flags = WMIREG_FLAG_INSTANCE_PDO;
    *registry_path = &g_registry_path;
    *pdo = ext->pdo;
    return STATUS_SUCCESS;
}

NTSTATUS query_data_block(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG count, PULONG lengths, ULONG available,
                          PUCHAR buffer) {
    auto* ext = (Extension*)device->DeviceExtension;
    if (count != 1 || available < sizeof(ULONG))
        return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), IO_NO_INCREMENT);
    RtlCopyMemory(buffer, &ext->wmi_value, sizeof(ULONG));
    lengths[0] = sizeof(ULONG);
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, sizeof(ULONG), IO_NO_INCREMENT);
}

NTSTATUS set_data_block(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG size, PUCHAR buffer) {
    auto* ext = (Extension*)device->DeviceExtension;
    NTSTATUS status = STATUS_WMI_SET_FAILURE;
    if (size == sizeof(ULONG)) {
        RtlCopyMemory(&ext->wmi_value, buffer, sizeof(ULONG));
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(device, irp, status, 0, IO_NO_INCREMENT);
}

NTSTATUS set_data_item(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG item, ULONG size, PUCHAR buffer) {
    auto* ext = (Extension*)device->DeviceExtension;
    NTSTATUS status = STATUS_WMI_ITEMID_NOT_FOUND;
    if (item == 0 && size == sizeof(ULONG)) {
        RtlCopyMemory(&ext->wmi_value, buffer, sizeof(ULONG));
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(device, irp, status, 0, IO_NO_INCREMENT);
}

// Method 1 answers its ULONG input plus one.
NTSTATUS execute_method(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG method, ULONG in_size, ULONG out_size,
                        PUCHAR buffer) {
    if (method != 1) return WmiCompleteRequest(device, irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, IO_NO_INCREMENT);
    if (in_size < sizeof(ULONG) || out_size < sizeof(ULONG))
        return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), IO_NO_INCREMENT);
    ULONG value;
    RtlCopyMemory(&value, buffer, sizeof value);
    ++value;
    RtlCopyMemory(buffer, &value, sizeof value);
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, sizeof(ULONG), IO_NO_INCREMENT);
}

// Enabling the block's events fires one event that carries the current value.
NTSTATUS function_control(PDEVICE_OBJECT device, PIRP irp, ULONG index, WMIENABLEDISABLECONTROL function,
                          BOOLEAN enable) {
    auto* ext = (Extension*)device->DeviceExtension;
    DbgPrint("HVTF WMI %s %s\n", function == WmiEventControl ? "events" : "collection", enable ? "on" : "off");
    if (function == WmiEventControl && enable) {
        auto* data = (PULONG)ExAllocatePoolWithTag(NonPagedPool, sizeof(ULONG), 'tvEH');
        if (data) {
            *data = ext->wmi_value;
            WmiFireEvent(device, &GUID_HVTEST_WMI_BLOCK, 0, sizeof(ULONG), data);
        }
    }
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

NTSTATUS dispatch_system_control(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = (Extension*)device->DeviceExtension;
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&ext->wmi, device, irp, &disposition);
    switch (disposition) {
    case IrpProcessed: return status;
    case IrpNotCompleted:
        status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    default: IoSkipCurrentIrpStackLocation(irp); return IoCallDriver(ext->lower, irp);
    }
}

// ---- PnP ---------------------------------------------------------------------------------------

void drop_interface(Extension* ext) {
    if (!ext->link.Buffer) return;
    IoSetDeviceInterfaceState(&ext->link, FALSE);
    RtlFreeUnicodeString(&ext->link);
}

void unmap_memory(Extension* ext) {
    for (int i = 0; i < 2; ++i) {
        if (!ext->mapped[i]) continue;
        MmUnmapIoSpace(ext->mapped[i], ext->mapped_length[i]);
        ext->mapped[i] = nullptr;
        ext->mapped_length[i] = 0;
    }
}

// Maps the first two memory ranges of the translated resources; a failed mapping fails the start.
NTSTATUS map_memory(Extension* ext, PCM_RESOURCE_LIST resources) {
    if (!resources || resources->Count == 0) return STATUS_SUCCESS;
    PCM_PARTIAL_RESOURCE_LIST list = &resources->List[0].PartialResourceList;
    int next = 0;
    for (ULONG i = 0; i < list->Count && next < 2; ++i) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &list->PartialDescriptors[i];
        if (d->Type != CmResourceTypeMemory) continue;
        PVOID mapped = MmMapIoSpace(d->u.Memory.Start, d->u.Memory.Length, MmNonCached);
        DbgPrint("HVTF MAP %u %s\n", d->u.Memory.Length, mapped ? "ok" : "failed");
        if (!mapped) {
            unmap_memory(ext);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ext->mapped[next] = mapped;
        ext->mapped_length[next++] = d->u.Memory.Length;
    }
    return STATUS_SUCCESS;
}

// Whether the link exists and leads to this device.
bool link_is_own(Extension* ext, PUNICODE_STRING link) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, link, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, SYMBOLIC_LINK_QUERY, &attributes))) return false;
    WCHAR text[64] = {};
    UNICODE_STRING target = {0, sizeof text - sizeof(WCHAR), text};
    UNICODE_STRING own;
    RtlInitUnicodeString(&own, ext->device_name);
    bool is_own =
        NT_SUCCESS(ZwQuerySymbolicLinkObject(handle, &target, nullptr)) && RtlEqualUnicodeString(&target, &own, TRUE);
    ZwClose(handle);
    return is_own;
}

// The DOS name and SERIALCOMM value of a serial port, from its PortName at start. A link of that
// name to another device fails the start, as it does the port driver's.
NTSTATUS publish_port_name(Extension* ext) {
    WCHAR name[64] = {};
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(ext->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) return STATUS_SUCCESS;
    BOOLEAN found = hvtest::read_string(key, u"PortName", name);
    ZwClose(key);
    if (!found) return STATUS_SUCCESS;
    UNICODE_STRING device_name, link;
    RtlInitUnicodeString(&device_name, ext->device_name);
    RtlStringCbPrintfW(ext->dos_link, sizeof ext->dos_link, u"\\DosDevices\\%ws", name);
    RtlInitUnicodeString(&link, ext->dos_link);
    NTSTATUS status = IoCreateSymbolicLink(&link, &device_name);
    if (status == STATUS_OBJECT_NAME_COLLISION && link_is_own(ext, &link)) status = STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
        ext->dos_link[0] = 0;
        return status;
    }
    RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", ext->device_name, REG_SZ, name,
                          (ULONG)((wcslen(name) + 1) * sizeof(WCHAR)));
    return STATUS_SUCCESS;
}

// The link goes only while it still leads here: a rename may have given the name to another.
void withdraw_port_name(Extension* ext) {
    if (!ext->serial_port) return;
    if (ext->dos_link[0]) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->dos_link);
        if (link_is_own(ext, &link)) IoDeleteSymbolicLink(&link);
        ext->dos_link[0] = 0;
    }
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", ext->device_name);
}

NTSTATUS start_device(Extension* ext, PIRP irp) {
    NTSTATUS status = hvtest::forward_and_wait(ext->lower, irp);
    if (NT_SUCCESS(status) && ext->fail_start) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status) && !ext->mapped[0])
        status =
            map_memory(ext, IoGetCurrentIrpStackLocation(irp)->Parameters.StartDevice.AllocatedResourcesTranslated);
    if (NT_SUCCESS(status) && ext->want_interface && !ext->link.Buffer) {
        UNICODE_STRING ref;
        RtlInitUnicodeString(&ref, ext->interface_ref);
        bool with_ref = !(ext->interface_ref[0] == u'*' && ext->interface_ref[1] == 0);
        status = IoRegisterDeviceInterface(ext->pdo, &GUID_HVTEST_INTERFACE, with_ref ? &ref : nullptr, &ext->link);
        if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&ext->link, TRUE);
    }
    if (NT_SUCCESS(status) && ext->serial_port) status = publish_port_name(ext);
    return hvtest::complete(irp, status, irp->IoStatus.Information);
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = (Extension*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = stack->MinorFunction;
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS)
        DbgPrint("HVTF PNP 0x%02x %d\n", minor, (int)stack->Parameters.QueryDeviceRelations.Type);
    else
        DbgPrint("HVTF PNP 0x%02x\n", minor);
    switch (minor) {
    case IRP_MN_START_DEVICE: return start_device(ext, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (ext->refuse_query_remove) return hvtest::complete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        withdraw_port_name(ext);
        drop_interface(ext);
        unmap_memory(ext);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        withdraw_port_name(ext);
        drop_interface(ext);
        unmap_memory(ext);
        if (ext->use_wmi) IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
        return hvtest::remove_and_delete(device, ext->lower, irp);
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE: {
        // The state bits to report are read anew each time (Device Parameters, ReportState).
        HANDLE key = nullptr;
        ULONG report = 0;
        if (NT_SUCCESS(IoOpenDeviceRegistryKey(ext->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
            report = hvtest::read_dword(key, u"ReportState", 0);
            ZwClose(key);
        }
        if (report) {
            irp->IoStatus.Information |= report;
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    }
    case IRP_MN_STOP_DEVICE:
        withdraw_port_name(ext);
        unmap_memory(ext);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: irp->IoStatus.Status = STATUS_SUCCESS; break;
    default: break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

// ---- Power -------------------------------------------------------------------------------------

void device_irp_done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    auto* system_irp = (PIRP)context;
    system_irp->IoStatus.Status = status->Status;
    PoStartNextPowerIrp(system_irp);
    IoCompleteRequest(system_irp, IO_NO_INCREMENT);
}

// The power policy owner asks for the device state that matches the system state once the
// lower drivers have the system IRP, and finishes the system IRP with the device IRP.
NTSTATUS system_irp_done(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    auto* ext = (Extension*)device->DeviceExtension;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    POWER_STATE state;
    state.DeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    DbgPrint("HVTF REQUEST D%d at IRQL %u\n", (int)state.DeviceState - 1, (unsigned)KeGetCurrentIrql());
    NTSTATUS status = PoRequestPowerIrp(ext->pdo, IRP_MN_SET_POWER, state, device_irp_done, irp, nullptr);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Status = status;
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = (Extension*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool system = stack->Parameters.Power.Type == SystemPowerState;
    ULONG value =
        system ? (ULONG)stack->Parameters.Power.State.SystemState : (ULONG)stack->Parameters.Power.State.DeviceState;
    DbgPrint("HVTF POWER %s %c%u\n", power_minor(stack->MinorFunction), system ? 'S' : 'D',
             system ? value - 1 : value - 1);
    if (stack->MinorFunction == IRP_MN_SET_POWER && system && !ext->no_power_policy) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, system_irp_done, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(ext->lower, irp);
        return STATUS_PENDING;
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER && !system)
        PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        irp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

// ---- Files ---------------------------------------------------------------------------------------

NTSTATUS dispatch_create(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PUNICODE_STRING name = stack->FileObject ? &stack->FileObject->FileName : nullptr;
    DbgPrint("HVTF CREATE '%wZ'\n", name);
    return hvtest::complete(irp, STATUS_SUCCESS);
}

NTSTATUS dispatch_success(PDEVICE_OBJECT, PIRP irp) { return hvtest::complete(irp, STATUS_SUCCESS); }

// ---- Driver ------------------------------------------------------------------------------------

// A serial device's number, kept in its Device Parameters so that its device name survives a
// restart. New numbers come from a count in the service key, which outlives an unload of the
// image; AddDevice calls come one at a time.
ULONG serial_device_number(HANDLE parameters) {
    ULONG number = hvtest::read_dword(parameters, u"SerialDeviceNumber", 0);
    if (number) return number;
    ULONG count = 0;
    if (HANDLE service = hvtest::open_key(&g_registry_path)) {
        count = hvtest::read_dword(service, u"SerialDeviceCount", 0);
        ZwClose(service);
    }
    number = count + 1;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, g_registry_path_buffer, u"SerialDeviceCount", REG_DWORD, &number,
                          sizeof number);
    UNICODE_STRING value_name;
    RtlInitUnicodeString(&value_name, u"SerialDeviceNumber");
    ZwSetValueKey(parameters, &value_name, 0, REG_DWORD, &number, sizeof number);
    return number;
}

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    DbgPrint("HVTF AddDevice\n");
    ULONG serial_port = 0;
    ULONG serial_number = 0;
    HANDLE parameters = nullptr;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ | KEY_WRITE, &parameters))) {
        serial_port = hvtest::read_dword(parameters, u"SerialPort", 0);
        if (serial_port) serial_number = serial_device_number(parameters);
        ZwClose(parameters);
    }
    WCHAR device_name[32] = {};
    UNICODE_STRING name;
    if (serial_port) {
        RtlStringCbPrintfW(device_name, sizeof device_name, u"\\Device\\HvTestSerial%u", serial_number);
        RtlInitUnicodeString(&name, device_name);
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), serial_port ? &name : nullptr,
                                     serial_port ? FILE_DEVICE_SERIAL_PORT : FILE_DEVICE_UNKNOWN, 0,
                                     serial_port ? TRUE : FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = (Extension*)device->DeviceExtension;
    RtlZeroMemory(ext, sizeof *ext);
    ext->serial_port = serial_port;
    RtlCopyMemory(ext->device_name, device_name, sizeof device_name);
    ext->self = device;
    ext->pdo = pdo;

    HANDLE key = nullptr;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        ext->refuse_query_remove = hvtest::read_dword(key, u"RefuseQueryRemove", 0);
        ext->fail_start = hvtest::read_dword(key, u"FailStart", 0);
        ext->no_power_policy = hvtest::read_dword(key, u"NoPowerPolicy", 0);
        ext->use_wmi = hvtest::read_dword(key, u"Wmi", 0);
        ext->want_interface = hvtest::read_string(key, u"InterfaceRef", ext->interface_ref);
        ZwClose(key);
    }
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (ext->use_wmi) {
        ext->wmi_value = 0x1234;
        ext->wmi_guids[0].Guid = &GUID_HVTEST_WMI_BLOCK;
        ext->wmi_guids[0].InstanceCount = 1;
        ext->wmi_guids[0].Flags = 0;
        ext->wmi.GuidCount = 1;
        ext->wmi.GuidList = ext->wmi_guids;
        ext->wmi.QueryWmiRegInfo = query_reg_info;
        ext->wmi.QueryWmiDataBlock = query_data_block;
        ext->wmi.SetWmiDataBlock = set_data_block;
        ext->wmi.SetWmiDataItem = set_data_item;
        ext->wmi.ExecuteWmiMethod = execute_method;
        ext->wmi.WmiFunctionControl = function_control;
        IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Whether to leak is read at unload, so that a test can change its mind.
void unload(PDRIVER_OBJECT) {
    DbgPrint("HVTF UNLOAD\n");
    ULONG leak = 0;
    if (HANDLE key = hvtest::open_key(&g_registry_path)) {
        leak = hvtest::read_dword(key, u"LeakAtUnload", 0);
        ZwClose(key);
    }
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = 0xFEB00000;
    if (leak == 1) ExAllocatePoolWithTag(NonPagedPool, 40, 'kaeL');
    if (leak == 2) MmMapIoSpace(physical, 16, MmNonCached);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    DbgPrint("HVTF DriverEntry '%wZ'\n", registry_path);
    g_registry_path.Buffer = g_registry_path_buffer;
    g_registry_path.Length = 0;
    g_registry_path.MaximumLength = sizeof g_registry_path_buffer;
    RtlCopyUnicodeString(&g_registry_path, registry_path);
    if (HANDLE key = hvtest::open_key(registry_path)) {
        ULONG fail = hvtest::read_dword(key, u"FailDriverEntry", 0);
        ZwClose(key);
        if (fail) return STATUS_UNSUCCESSFUL;
    }
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_system_control;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_success;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_success;
    return STATUS_SUCCESS;
}
