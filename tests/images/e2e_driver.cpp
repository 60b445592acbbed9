// A function driver written against the kit's kernel headers alone. Its device allows one open
// at a time, loops writes back into reads, pends reads until data comes, counts requests, and is
// reachable as "\\.\HVE2E" (the first device; later ones "\\.\HVE2E1"...) and through a device
// interface with the reference string "e2e".
#include <ntddk.h>

namespace {

// {3C5E7B2A-9D41-4E6F-8A13-52B0C7D9E604}
const GUID kInterface = {0x3c5e7b2a, 0x9d41, 0x4e6f, {0x8a, 0x13, 0x52, 0xb0, 0xc7, 0xd9, 0xe6, 0x04}};
constexpr ULONG kTag = ('E' << 24) | ('2' << 16) | ('E' << 8) | 'H'; // "HE2E" in a pool dump
constexpr ULONG kBufferSize = 4096;
constexpr ULONG kGetCounts = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Allocates pool under the tag "Leak" and never frees it: the unload's pool check must catch it.
constexpr ULONG kLeak = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kLeakTag = ('k' << 24) | ('a' << 16) | ('e' << 8) | 'L';

struct Counts {
    ULONG creates, reads, writes, controls, cleanups, closes;
};

struct Extension {
    PDEVICE_OBJECT lower;
    WCHAR device_name[32];
    WCHAR dos_name[32];
    LONG open;
    UNICODE_STRING interface_link;
    bool link_created;
    KSPIN_LOCK lock;
    LIST_ENTRY pending_reads;
    UCHAR* data; // pool, kBufferSize bytes
    ULONG data_length;
    Counts counts;
};

LONG g_devices;

Extension* extension_of(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

// prefix followed by the number, unless it is 0.
void numbered_name(WCHAR* out, const WCHAR* prefix, ULONG number) {
    while (*prefix) *out++ = *prefix++;
    WCHAR digits[12];
    int n = 0;
    for (; number; number /= 10) digits[n++] = static_cast<WCHAR>(u'0' + number % 10);
    while (n) *out++ = digits[--n];
    *out = 0;
}

NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void cancel_read(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Extension* ext = extension_of(device);
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->lock, old);
    finish(irp, STATUS_CANCELLED, 0);
}

// Moves data into waiting reads; returns the first read it filled (the caller completes the
// chain linked through ListEntry). Called with the lock held.
PIRP fill_reads(Extension* ext) {
    PIRP filled = nullptr;
    PIRP* tail = &filled;
    while (ext->data_length && !IsListEmpty(&ext->pending_reads)) {
        PIRP irp = CONTAINING_RECORD(ext->pending_reads.Flink, IRP, Tail.Overlay.ListEntry);
        if (!IoSetCancelRoutine(irp, nullptr)) break; // being cancelled
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        ULONG wanted = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        ULONG n = wanted < ext->data_length ? wanted : ext->data_length;
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, ext->data, n);
        RtlMoveMemory(ext->data, ext->data + n, ext->data_length - n);
        ext->data_length -= n;
        irp->IoStatus.Information = n;
        irp->Tail.Overlay.DriverContext[0] = nullptr;
        *tail = irp;
        tail = reinterpret_cast<PIRP*>(&irp->Tail.Overlay.DriverContext[0]);
    }
    return filled;
}

void complete_filled(PIRP irp) {
    while (irp) {
        PIRP next = static_cast<PIRP>(irp->Tail.Overlay.DriverContext[0]);
        finish(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        irp = next;
    }
}

NTSTATUS on_create(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = extension_of(device);
    if (InterlockedCompareExchange(&ext->open, 1, 0) != 0) return finish(irp, STATUS_ACCESS_DENIED, 0);
    ++ext->counts.creates;
    return finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS on_close(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = extension_of(device);
    ++ext->counts.closes;
    InterlockedExchange(&ext->open, 0);
    return finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS on_cleanup(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = extension_of(device);
    ++ext->counts.cleanups;
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    for (PLIST_ENTRY e = ext->pending_reads.Flink; e != &ext->pending_reads;) {
        PIRP held = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        if (!IoSetCancelRoutine(held, nullptr)) continue;
        RemoveEntryList(&held->Tail.Overlay.ListEntry);
        InsertTailList(&cancelled, &held->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&ext->lock, old);
    while (!IsListEmpty(&cancelled))
        finish(CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED, 0);
    return finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS on_read(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = extension_of(device);
    ++ext->counts.reads;
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) return finish(irp, STATUS_SUCCESS, 0);
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    IoMarkIrpPending(irp);
    InsertTailList(&ext->pending_reads, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, cancel_read);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&ext->lock, old);
        finish(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    PIRP filled = fill_reads(ext);
    KeReleaseSpinLock(&ext->lock, old);
    complete_filled(filled);
    return STATUS_PENDING;
}

NTSTATUS on_write(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = extension_of(device);
    ++ext->counts.writes;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    if (length > kBufferSize - ext->data_length) {
        KeReleaseSpinLock(&ext->lock, old);
        return finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlCopyMemory(ext->data + ext->data_length, irp->AssociatedIrp.SystemBuffer, length);
    ext->data_length += length;
    PIRP filled = fill_reads(ext);
    KeReleaseSpinLock(&ext->lock, old);
    complete_filled(filled);
    return finish(irp, STATUS_SUCCESS, length);
}

NTSTATUS on_control(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = extension_of(device);
    ++ext->counts.controls;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == kLeak)
        return finish(irp, ExAllocatePoolWithTag(NonPagedPool, 64, kLeakTag) ? STATUS_SUCCESS : STATUS_NO_MEMORY, 0);
    if (stack->Parameters.DeviceIoControl.IoControlCode != kGetCounts)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(Counts))
        return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &ext->counts, sizeof(Counts));
    return finish(irp, STATUS_SUCCESS, sizeof(Counts));
}

NTSTATUS signal_event(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for it to come back.
NTSTATUS forward_and_wait(Extension* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signal_event, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS on_pnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = extension_of(device);
    UNICODE_STRING dos_name;
    RtlInitUnicodeString(&dos_name, ext->dos_name);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = forward_and_wait(ext, irp);
        if (NT_SUCCESS(status)) {
            UNICODE_STRING device_name;
            RtlInitUnicodeString(&device_name, ext->device_name);
            status = IoCreateSymbolicLink(&dos_name, &device_name);
            ext->link_created = NT_SUCCESS(status);
            if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&ext->interface_link, TRUE);
        }
        DbgPrint("HvE2E: start - %08x\n", status);
        return finish(irp, status, 0);
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: {
        const bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
        if (ext->link_created) {
            IoSetDeviceInterfaceState(&ext->interface_link, FALSE);
            IoDeleteSymbolicLink(&dos_name);
            ext->link_created = false;
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        if (remove) {
            DbgPrint("HvE2E: remove\n");
            RtlFreeUnicodeString(&ext->interface_link);
            ExFreePoolWithTag(ext->data, kTag);
            IoDetachDevice(ext->lower);
            IoDeleteDevice(device);
        }
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS on_power(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension_of(device)->lower, irp);
}

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    const ULONG number = static_cast<ULONG>(InterlockedIncrement(&g_devices) - 1);
    WCHAR device_name[32];
    numbered_name(device_name, u"\\Device\\HvE2E", number);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, device_name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    Extension* ext = extension_of(device);
    RtlZeroMemory(ext, sizeof *ext);
    RtlCopyMemory(ext->device_name, device_name, sizeof device_name);
    numbered_name(ext->dos_name, u"\\??\\HVE2E", number);
    KeInitializeSpinLock(&ext->lock);
    InitializeListHead(&ext->pending_reads);
    ext->data = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kBufferSize, kTag));
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"e2e");
    if (ext->data) status = IoRegisterDeviceInterface(pdo, &kInterface, &reference, &ext->interface_link);
    if (!ext->data || !NT_SUCCESS(status)) {
        if (ext->data) ExFreePoolWithTag(ext->data, kTag);
        IoDeleteDevice(device);
        return ext->data ? status : STATUS_INSUFFICIENT_RESOURCES;
    }
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    DbgPrint("HvE2E: added\n");
    return STATUS_SUCCESS;
}

void unload(PDRIVER_OBJECT) { DbgPrint("HvE2E: unload\n"); }

} // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_CREATE] = on_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = on_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = on_cleanup;
    driver->MajorFunction[IRP_MJ_READ] = on_read;
    driver->MajorFunction[IRP_MJ_WRITE] = on_write;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_control;
    driver->MajorFunction[IRP_MJ_PNP] = on_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = on_power;
    DbgPrint("HvE2E: loaded\n");
    return STATUS_SUCCESS;
}
