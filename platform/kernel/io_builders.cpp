// IRPs that drivers have the I/O manager build.
//
//   IoBuildDeviceIoControlRequest IoBuildSynchronousFsdRequest IoBuildAsynchronousFsdRequest
//
// Synchronous requests belong to the I/O manager: at completion it copies buffered output back,
// fills the caller's IO_STATUS_BLOCK, signals the caller's event and frees the IRP. Asynchronous
// requests belong to their caller, whose completion routine frees them (with IoFreeIrp, which
// also frees the buffers attached here) and returns STATUS_MORE_PROCESSING_REQUIRED; buffered
// read data reaches the caller's buffer before that routine runs.
#include "io_internal.h"

using namespace hvsim;
using namespace hvsim::io::detail;

namespace {

PIRP build_fsd_request(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                       PIO_STATUS_BLOCK iosb, IrpKind kind) {
    switch (major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_FLUSH_BUFFERS:
    case IRP_MJ_SHUTDOWN:
    case IRP_MJ_PNP:
    case IRP_MJ_POWER: break;
    default: return nullptr;
    }
    if (!device) return nullptr;
    PIRP irp = allocate_irp(device->StackSize, kind);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION stack = first_location(irp);
    stack->MajorFunction = (UCHAR)major;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        if (!buffer && length) {
            free_irp_unchecked(irp);
            return nullptr;
        }
        stack->Parameters.Read.Length = length;
        stack->Parameters.Read.ByteOffset.QuadPart = offset ? offset->QuadPart : 0;
        irp->Flags |= major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
        if (!NT_SUCCESS(attach_transfer_buffer(irp, device, major == IRP_MJ_READ, buffer, length))) {
            free_irp_unchecked(irp);
            return nullptr;
        }
    }
    irp->UserIosb = iosb;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    return irp;
}

} // namespace

HV_EXTERN_C_BEGIN

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    if (!DeviceObject) return nullptr;
    if ((!InputBuffer && InputBufferLength) || (!OutputBuffer && OutputBufferLength)) return nullptr;
    PIRP irp = allocate_irp(DeviceObject->StackSize, IrpKind::Synchronous);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION stack = first_location(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    if (!NT_SUCCESS(attach_control_buffers(irp, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                                           OutputBufferLength))) {
        free_irp_unchecked(irp);
        return nullptr;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = build_fsd_request(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock,
                                 IrpKind::Synchronous);
    if (irp) {
        irp->UserEvent = Event;
        irp->Flags |= IRP_SYNCHRONOUS_API;
    }
    return irp;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
    return build_fsd_request(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock,
                             IrpKind::AsyncFsd);
}

HV_EXTERN_C_END
