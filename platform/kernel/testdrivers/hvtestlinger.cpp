// A function driver for the loader's tests whose code is still running, or still due to run, when
// its last device goes. It logs to the debugger log ("HVTL ..."), passes PnP and power requests
// down, and at IRP_MN_REMOVE_DEVICE leaves behind what the DWORD AtRemove of its Device
// Parameters says (read at removal):
//   0  nothing, beyond waiting for the request that HvTestLingerSend sent to complete
//   1  a queued work item that lingers 50 ms
//   2  a system thread that lingers 50 ms
//   3  a timer set for a second with a DPC of its own
//   4  the request HvTestLingerSend sent, not waited for
//   5  a system thread that never ends
// Every routine that lingers logs once on entry and once on its way out, from its own code.
#include <wdm.h>

#include "testdriver.h"

#define HVTL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Extension {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
};

KEVENT g_sent_done; // set by the completion routine before it lingers
KEVENT g_never;     // never set
BOOLEAN g_sent;
PDEVICE_OBJECT g_device; // the last one added
KTIMER g_timer;
KDPC g_dpc;

void linger() {
    LARGE_INTEGER delay;
    delay.QuadPart = -50 * 10'000; // 50 ms
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

NTSTATUS sent_irp_done(PDEVICE_OBJECT, PIRP irp, PVOID) {
    DbgPrint("HVTL COMPLETION\n");
    KeSetEvent(&g_sent_done, IO_NO_INCREMENT, FALSE);
    linger();
    DbgPrint("HVTL COMPLETION RETURNS\n");
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID work_routine(PDEVICE_OBJECT, PVOID context) {
    DbgPrint("HVTL WORK ITEM\n");
    linger();
    DbgPrint("HVTL WORK ITEM RETURNS\n");
    IoFreeWorkItem((PIO_WORKITEM)context);
}

VOID thread_routine(PVOID forever) {
    DbgPrint("HVTL THREAD\n");
    if (forever) KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, nullptr);
    linger();
    DbgPrint("HVTL THREAD RETURNS\n");
}

VOID timer_dpc(PKDPC, PVOID, PVOID, PVOID) { DbgPrint("HVTL DPC\n"); }

void start_thread(bool forever) {
    HANDLE thread = nullptr;
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, thread_routine,
                                        forever ? &g_never : nullptr)))
        ZwClose(thread);
}

void leave_behind(PDEVICE_OBJECT device, ULONG what) {
    switch (what) {
    case 1:
        if (PIO_WORKITEM item = IoAllocateWorkItem(device)) IoQueueWorkItem(item, work_routine, DelayedWorkQueue, item);
        break;
    case 2: start_thread(false); break;
    case 3: {
        LARGE_INTEGER due;
        due.QuadPart = -10'000'000; // a second
        KeSetTimer(&g_timer, due, &g_dpc);
        break;
    }
    case 5: start_thread(true); break;
    default: break;
    }
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = (Extension*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_START_DEVICE) {
        NTSTATUS status = hvtest::forward_and_wait(ext->lower, irp);
        return hvtest::complete(irp, status, irp->IoStatus.Information);
    }
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        ULONG what = 0;
        HANDLE key = nullptr;
        if (NT_SUCCESS(IoOpenDeviceRegistryKey(ext->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
            what = hvtest::read_dword(key, u"AtRemove", 0);
            ZwClose(key);
        }
        DbgPrint("HVTL REMOVE %u\n", what);
        if (g_sent && what != 4) KeWaitForSingleObject(&g_sent_done, Executive, KernelMode, FALSE, nullptr);
        leave_behind(device, what);
        return hvtest::remove_and_delete(device, ext->lower, irp);
    }
    if (stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE || stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
        irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = (Extension*)device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS dispatch_pass(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = (Extension*)device->DeviceExtension;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = (Extension*)device->DeviceExtension;
    ext->pdo = pdo;
    g_device = device;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void unload(PDRIVER_OBJECT) { DbgPrint("HVTL UNLOAD\n"); }

} // namespace

// Sends one internal control request to `target`, completed through this image's routine, set
// with IoSetCompletionRoutineEx on the driver's device when `ex` is TRUE.
HVTL_EXPORT NTSTATUS HvTestLingerSend(PDEVICE_OBJECT target, BOOLEAN ex) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (!ex) {
        IoSetCompletionRoutine(irp, sent_irp_done, nullptr, TRUE, TRUE, TRUE);
    } else if (NTSTATUS status = IoSetCompletionRoutineEx(g_device, irp, sent_irp_done, nullptr, TRUE, TRUE, TRUE);
               !NT_SUCCESS(status)) {
        IoFreeIrp(irp);
        return status;
    }
    g_sent = TRUE;
    DbgPrint("HVTL SEND\n");
    return IoCallDriver(target, irp);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    KeInitializeEvent(&g_sent_done, NotificationEvent, FALSE);
    KeInitializeEvent(&g_never, NotificationEvent, FALSE);
    KeInitializeTimer(&g_timer);
    KeInitializeDpc(&g_dpc, timer_dpc, nullptr);
    g_sent = FALSE;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    for (auto& major : driver->MajorFunction) major = dispatch_pass;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    return STATUS_SUCCESS;
}
