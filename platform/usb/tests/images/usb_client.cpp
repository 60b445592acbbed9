// A USB client driver for the stack's tests: the function driver of a plugged device (or of one
// interface of it) that turns each IOCTL_USBCLIENT_REQUEST into an URB sent to the PDO below,
// the way a real client driver builds and sends them, and reports the outcome.
#include <usbdlib.h>
#include <wdm.h>

#include "usb_client.h"

namespace {

constexpr ULONG kTag = 'tcUH';
constexpr ULONG kFlights = 64;

struct Extension;

// An URB in flight. The IRP goes back to the pool when both its completion and any canceller
// are done with it.
struct Flight {
    Extension* ext;
    PIRP irp;
    PURB urb;
    PIRP user;
    LONG refs;
    BOOLEAN used;
};

struct Extension {
    PDEVICE_OBJECT lower;
    KSPIN_LOCK lock;
    Flight flights[kFlights];
    ULONG outstanding;
    KEVENT idle;
    ULONG pipe_count;
    UCHAR endpoints[32];
    USBD_PIPE_HANDLE handles[32];
    USBD_CONFIGURATION_HANDLE configuration;
};

Extension* ext_of(PDEVICE_OBJECT device) { return (Extension*)device->DeviceExtension; }

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS finish_user(PIRP user, ClientRequest* req, NTSTATUS irp_status, USBD_STATUS urb_status) {
    req->irp_status = irp_status;
    req->urb_status = urb_status;
    return complete(user, STATUS_SUCCESS, sizeof(ClientRequest));
}

void release(Flight* flight) {
    Extension* ext = flight->ext;
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    if (--flight->refs == 0) {
        IoFreeIrp(flight->irp);
        flight->used = FALSE;
        if (--ext->outstanding == 0) KeSetEvent(&ext->idle, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ext->lock, old);
}

NTSTATUS on_complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* flight = (Flight*)context;
    auto* req = (ClientRequest*)flight->user->AssociatedIrp.SystemBuffer;
    PURB urb = flight->urb;
    req->transferred = 0;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
        urb->UrbHeader.Function == URB_FUNCTION_VENDOR_INTERFACE ||
        urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE ||
        urb->UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE ||
        urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
        req->transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    req->completion_irql = KeGetCurrentIrql();
    NTSTATUS status = irp->IoStatus.Status;
    USBD_STATUS urb_status = urb->UrbHeader.Status;
    ExFreePool(urb);
    finish_user(flight->user, req, status, urb_status);
    release(flight);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the URB (from pool; freed at completion) and leaves the user's request pending.
NTSTATUS send_async(Extension* ext, PIRP user, ClientRequest* req, PURB urb) {
    PIRP irp = IoAllocateIrp(ext->lower->StackSize, FALSE);
    if (!irp) {
        ExFreePool(urb);
        return finish_user(user, req, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    Flight* flight = nullptr;
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    for (ULONG i = 0; i < kFlights && !flight; ++i)
        if (!ext->flights[i].used) flight = &ext->flights[i];
    if (flight) {
        *flight = {ext, irp, urb, user, 1, TRUE};
        if (ext->outstanding++ == 0) KeClearEvent(&ext->idle);
    }
    KeReleaseSpinLock(&ext->lock, old);
    if (!flight) {
        IoFreeIrp(irp);
        ExFreePool(urb);
        return finish_user(user, req, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, on_complete, flight, TRUE, TRUE, TRUE);
    IoMarkIrpPending(user);
    IoCallDriver(ext->lower, irp);
    return STATUS_PENDING;
}

ULONG cancel_all(Extension* ext) {
    Flight* taken[kFlights];
    ULONG count = 0;
    KIRQL old;
    KeAcquireSpinLock(&ext->lock, &old);
    for (ULONG i = 0; i < kFlights; ++i)
        if (ext->flights[i].used) {
            ++ext->flights[i].refs;
            taken[count++] = &ext->flights[i];
        }
    KeReleaseSpinLock(&ext->lock, old);
    for (ULONG i = 0; i < count; ++i) {
        IoCancelIrp(taken[i]->irp);
        release(taken[i]);
    }
    return count;
}

// Sends an internal control request and waits for it (PASSIVE_LEVEL).
NTSTATUS send_sync(Extension* ext, ULONG code, PVOID argument) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, ext->lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

PURB new_urb(USHORT size) {
    auto* urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size < sizeof(URB) ? sizeof(URB) : size, kTag);
    if (urb) RtlZeroMemory(urb, size < sizeof(URB) ? sizeof(URB) : size);
    return urb;
}

USBD_PIPE_HANDLE pipe_of(Extension* ext, UCHAR endpoint) {
    for (ULONG i = 0; i < ext->pipe_count; ++i)
        if (ext->endpoints[i] == endpoint) return ext->handles[i];
    return nullptr;
}

NTSTATUS read_descriptor(Extension* ext, UCHAR type, PVOID buffer, ULONG length, USBD_STATUS* urb_status) {
    PURB urb = new_urb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                                 nullptr, length, nullptr);
    NTSTATUS status = send_sync(ext, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    *urb_status = urb->UrbHeader.Status;
    ExFreePool(urb);
    return status;
}

// Reads the descriptors and selects every interface at alternate setting 0, as a client does.
NTSTATUS configure(Extension* ext, ClientRequest* req) {
    USBD_STATUS urb_status = 0;
    USB_DEVICE_DESCRIPTOR device;
    NTSTATUS status = read_descriptor(ext, USB_DEVICE_DESCRIPTOR_TYPE, &device, sizeof device, &urb_status);
    if (!NT_SUCCESS(status)) return req->urb_status = urb_status, status;
    USB_CONFIGURATION_DESCRIPTOR head;
    status = read_descriptor(ext, USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, sizeof head, &urb_status);
    if (!NT_SUCCESS(status)) return req->urb_status = urb_status, status;
    auto* config = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, head.wTotalLength, kTag);
    if (!config) return STATUS_INSUFFICIENT_RESOURCES;
    status = read_descriptor(ext, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, head.wTotalLength, &urb_status);
    if (!NT_SUCCESS(status)) {
        ExFreePool(config);
        return req->urb_status = urb_status, status;
    }
    USBD_INTERFACE_LIST_ENTRY list[9];
    RtlZeroMemory(list, sizeof list);
    ULONG count = 0;
    for (PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, -1, -1, -1);
         d && count < 8; d = USBD_ParseConfigurationDescriptorEx(config, (PUCHAR)d + d->bLength, -1, 0, -1, -1, -1))
        list[count++].InterfaceDescriptor = d;
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (!urb) {
        ExFreePool(config);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < count; ++i)
        for (ULONG p = 0; p < list[i].Interface->NumberOfPipes; ++p)
            list[i].Interface->Pipes[p].MaximumTransferSize = 0xFFFFFFFF;
    status = send_sync(ext, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    req->urb_status = urb->UrbHeader.Status;
    ext->pipe_count = 0;
    ext->configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    if (NT_SUCCESS(status))
        for (ULONG i = 0; i < count; ++i)
            for (ULONG p = 0; p < list[i].Interface->NumberOfPipes && ext->pipe_count < 32; ++p) {
                ext->endpoints[ext->pipe_count] = list[i].Interface->Pipes[p].EndpointAddress;
                ext->handles[ext->pipe_count] = list[i].Interface->Pipes[p].PipeHandle;
                ++ext->pipe_count;
            }
    req->pipe_count = ext->pipe_count;
    for (ULONG i = 0; i < ext->pipe_count; ++i) {
        req->pipes[i] = ext->endpoints[i];
        if (i < 8) req->handles[i] = (ULONG64)(ULONG_PTR)ext->handles[i];
    }
    req->transferred = count;
    ExFreePool(urb);
    ExFreePool(config);
    return status;
}

// Selects an alternate setting (room for eight pipes) and takes its pipes as the client's own.
NTSTATUS select_interface(Extension* ext, ClientRequest* req) {
    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(8);
    PURB urb = new_urb(size);
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildSelectInterfaceRequest(urb, size, ext->configuration, (UCHAR)req->index, (UCHAR)req->value);
    urb->UrbSelectInterface.Interface.Length = GET_USBD_INTERFACE_SIZE(8);
    NTSTATUS status = send_sync(ext, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    req->urb_status = urb->UrbHeader.Status;
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
        ext->pipe_count = 0;
        for (ULONG p = 0; p < info->NumberOfPipes && p < 8; ++p) {
            ext->endpoints[p] = info->Pipes[p].EndpointAddress;
            ext->handles[p] = info->Pipes[p].PipeHandle;
            req->pipes[p] = ext->endpoints[p];
            req->handles[p] = (ULONG64)(ULONG_PTR)ext->handles[p];
            ++ext->pipe_count;
        }
        req->pipe_count = ext->pipe_count;
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS request(Extension* ext, PIRP user, ClientRequest* req) {
    switch (req->op) {
    case ClientSelectInterface: {
        req->urb_status = 0;
        NTSTATUS status = select_interface(ext, req);
        return finish_user(user, req, status, req->urb_status);
    }
    case ClientConfigure: {
        req->urb_status = 0;
        NTSTATUS status = configure(ext, req);
        return finish_user(user, req, status, req->urb_status);
    }
    case ClientUnconfigure: {
        PURB urb = new_urb(sizeof(struct _URB_SELECT_CONFIGURATION));
        if (!urb) return finish_user(user, req, STATUS_INSUFFICIENT_RESOURCES, 0);
        UsbBuildSelectConfigurationRequest(urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
        ext->pipe_count = 0;
        return send_async(ext, user, req, urb);
    }
    case ClientDescriptor: {
        PURB urb = new_urb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
        if (!urb) return finish_user(user, req, STATUS_INSUFFICIENT_RESOURCES, 0);
        UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), req->descriptor_type,
                                     req->descriptor_index, 0, req->data, nullptr, req->length, nullptr);
        return send_async(ext, user, req, urb);
    }
    case ClientControl: {
        PURB urb = new_urb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        if (!urb) return finish_user(user, req, STATUS_INSUFFICIENT_RESOURCES, 0);
        ULONG flags = req->in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
        UsbBuildVendorRequest(urb, req->function, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0,
                              req->request, req->value, req->index, req->length ? req->data : nullptr, nullptr,
                              req->length, nullptr);
        return send_async(ext, user, req, urb);
    }
    case ClientBulk:
    case ClientBadPipe: {
        USBD_PIPE_HANDLE pipe =
            req->op == ClientBadPipe ? (USBD_PIPE_HANDLE)(ULONG_PTR)0x5A5A0 : pipe_of(ext, req->endpoint);
        if (!pipe || req->length > kClientDataSize) return finish_user(user, req, STATUS_INVALID_PARAMETER, 0);
        PURB urb = new_urb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        if (!urb) return finish_user(user, req, STATUS_INSUFFICIENT_RESOURCES, 0);
        ULONG flags =
            (req->endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN | (req->short_ok ? USBD_SHORT_TRANSFER_OK : 0) : 0;
        UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                               req->data, nullptr, req->length, flags, nullptr);
        return send_async(ext, user, req, urb);
    }
    case ClientAbortPipe:
    case ClientResetPipe: {
        USBD_PIPE_HANDLE pipe = pipe_of(ext, req->endpoint);
        if (!pipe) return finish_user(user, req, STATUS_INVALID_PARAMETER, 0);
        PURB urb = new_urb(sizeof(struct _URB_PIPE_REQUEST));
        if (!urb) return finish_user(user, req, STATUS_INSUFFICIENT_RESOURCES, 0);
        urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
        urb->UrbHeader.Function =
            req->op == ClientAbortPipe ? URB_FUNCTION_ABORT_PIPE : URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        urb->UrbPipeRequest.PipeHandle = pipe;
        return send_async(ext, user, req, urb);
    }
    case ClientRawUrb: {
        if (req->length > kClientDataSize || req->length > 0xFFFF)
            return finish_user(user, req, STATUS_INVALID_PARAMETER, 0);
        PURB urb = new_urb((USHORT)req->length);
        if (!urb) return finish_user(user, req, STATUS_INSUFFICIENT_RESOURCES, 0);
        RtlCopyMemory(urb, req->data, req->length);
        return send_async(ext, user, req, urb);
    }
    case ClientResetPort: return finish_user(user, req, send_sync(ext, IOCTL_INTERNAL_USB_RESET_PORT, nullptr), 0);
    case ClientPortStatus: {
        ULONG flags = 0xFFFFFFFF;
        NTSTATUS status = send_sync(ext, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &flags);
        req->transferred = flags;
        return finish_user(user, req, status, 0);
    }
    case ClientCancelAll: req->transferred = cancel_all(ext); return finish_user(user, req, STATUS_SUCCESS, 0);
    default: return complete(user, STATUS_INVALID_PARAMETER);
    }
}

NTSTATUS dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_USBCLIENT_REQUEST)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ClientRequest) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ClientRequest) ||
        !irp->AssociatedIrp.SystemBuffer)
        return complete(irp, STATUS_BUFFER_TOO_SMALL);
    return request(ext_of(device), irp, (ClientRequest*)irp->AssociatedIrp.SystemBuffer);
}

NTSTATUS signal_event(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = ext_of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, signal_event, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return complete(irp, irp->IoStatus.Status);
    }
    case IRP_MN_REMOVE_DEVICE: {
        cancel_all(ext);
        KeWaitForSingleObject(&ext->idle, Executive, KernelMode, FALSE, nullptr);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE: irp->IoStatus.Status = STATUS_SUCCESS; break;
    default: break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext_of(device)->lower, irp);
}

NTSTATUS dispatch_pass(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext_of(device)->lower, irp);
}

NTSTATUS dispatch_success(PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); }

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    Extension* ext = ext_of(device);
    RtlZeroMemory(ext, sizeof *ext);
    KeInitializeSpinLock(&ext->lock);
    KeInitializeEvent(&ext->idle, NotificationEvent, TRUE);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = add_device;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_pass;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_success;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_success;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_success;
    return STATUS_SUCCESS;
}
