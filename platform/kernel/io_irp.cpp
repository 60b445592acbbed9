// IRPs: allocation, stack locations, IoCallDriver and completion, with the always-on checks.
//
//   IoAllocateIrp IoFreeIrp IoReuseIrp IoSizeOfIrp IoGetCurrentIrpStackLocation
//   IoGetNextIrpStackLocation IoSetNextIrpStackLocation IoSkipCurrentIrpStackLocation
//   IoCopyCurrentIrpStackLocationToNext IoSetCompletionRoutine IoSetCompletionRoutineEx
//   IoMarkIrpPending IofCallDriver IofCompleteRequest
//
// Stack locations are numbered from 1 at the bottom of the stack; CurrentLocation is
// StackCount + 1 while no driver holds the IRP. IoCallDriver moves down one location, completion
// moves up one location per routine, as on Windows, so an IRP that a completion routine kept
// with STATUS_MORE_PROCESSING_REQUIRED can be sent again as it is.
//
// Ownership: an IRP is held by drivers from the IoCallDriver of its owner (the allocator, or the
// I/O manager) until completion climbs back to the owner's location. Completing or freeing it
// outside that span, or freeing it while a driver holds it, is a bug check. Freed IRPs stay in a
// quarantine for a while (poisoned), so a second completion is recognised as one.
#include "io_internal.h"

#include <hvsim/sched.h>
#include <image_calls.h>

#include <cstring>
#include <deque>
#include <new>
#include <unordered_set>

namespace hvsim::io::detail {
namespace {

constexpr uint32_t kLive = 0x21505249;  // "IRP!"
constexpr uint32_t kFreed = 0x45455246; // "FREE"
constexpr size_t kHeader = (sizeof(IrpRecord) + 15) & ~size_t(15);
constexpr size_t kQuarantine = 256;

struct IrpTable {
    std::mutex lock;
    std::unordered_set<IRP*> live;
    std::unordered_set<IRP*> freed;
    std::deque<IRP*> quarantine;
};

IrpTable& table() {
    static IrpTable* t = new IrpTable;
    return *t;
}

// Dispatch routines running on this thread, innermost last: IoMarkIrpPending notes itself in the
// frame of the IRP's current location, so the return status can be checked.
struct Frame {
    IRP* irp;
    CHAR location;
    bool marked_pending;
};
thread_local std::vector<Frame> t_frames;
thread_local int t_completion_depth = 0;

char* block_of(IRP* irp) { return reinterpret_cast<char*>(irp) - kHeader; }

PIO_STACK_LOCATION location(IRP* irp, int n) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (n - 1); }

void release_block(IRP* irp) {
    char* block = block_of(irp);
    auto* record = reinterpret_cast<IrpRecord*>(block);
    HV_UNPOISON(irp, record->irp_size);
    bool from_heap = record->from_heap;
    record->~IrpRecord();
    if (from_heap)
        ::operator delete(block, std::align_val_t(16));
    else
        release(block, kTagIrp);
}

enum class Use { Send, Complete, Free, Cancel, Other };

IrpRecord* checked(IRP* irp, const char* routine, Use use) {
    auto& t = table();
    {
        std::lock_guard lock(t.lock);
        if (irp && t.live.count(irp)) return record_of(irp);
        if (!irp || !t.freed.count(irp))
            bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      std::string(routine) + " called with " + hex(irp) + ", which is not an IRP");
    }
    bug_check(use == Use::Complete ? MULTIPLE_IRP_COMPLETE_REQUESTS : DRIVER_VERIFIER_IOMANAGER_VIOLATION,
              std::string(routine) + " called with IRP " + hex(irp) +
                  (use == Use::Complete ? ", which was completed already and freed (completed twice)"
                                        : ", which was freed already"));
}

bool held_by_driver(IRP* irp, const IrpRecord* record) { return record->sent && irp->CurrentLocation < record->origin; }

// IoFreeIrp and IoReuseIrp need the IRP back with its sender, its cancel routine gone.
void require_returned(IRP* irp, const IrpRecord* record, const char* routine) {
    if (irp->CancelRoutine)
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                  std::string(routine) + " on IRP " + hex(irp) + " with a cancel routine still set");
    if (held_by_driver(irp, record))
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                  std::string(routine) + " on IRP " + hex(irp) + " while a driver still holds it (stack location " +
                      std::to_string(irp->CurrentLocation) + " of " + std::to_string(irp->StackCount) + ")");
}

// A fresh IRP, as IoInitializeIrp leaves it: no driver holds it.
void initialize(IRP* irp, USHORT size, CCHAR stack_count, UCHAR allocation_flags) {
    std::memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stack_count;
    irp->AllocationFlags = allocation_flags;
    irp->CurrentLocation = (CHAR)(stack_count + 1);
    irp->Tail.Overlay.CurrentStackLocation = location(irp, stack_count + 1);
    InitializeListHead(&irp->ThreadListEntry);
}

void mark_pending(IRP* irp) {
    location(irp, irp->CurrentLocation)->Control |= SL_PENDING_RETURNED;
    for (auto frame = t_frames.rbegin(); frame != t_frames.rend(); ++frame)
        if (frame->irp == irp && frame->location == irp->CurrentLocation) {
            frame->marked_pending = true;
            break;
        }
}

bool should_invoke(const IRP* irp, UCHAR control) {
    NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) || (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

// Completion reached the top of the stack: what the owner of the IRP does with it.
void finish_at_top(IRP* irp, IrpRecord* record) {
    switch (record->kind) {
    case IrpKind::Driver:
    case IrpKind::AsyncFsd:
        bug_check(
            DRIVER_VERIFIER_IOMANAGER_VIOLATION,
            "IRP " + hex(irp) +
                (record->kind == IrpKind::Driver ? " from IoAllocateIrp" : " from IoBuildAsynchronousFsdRequest") +
                " was completed past its top stack location: its sender's completion routine must return "
                "STATUS_MORE_PROCESSING_REQUIRED and free or reuse it");
    case IrpKind::Synchronous: {
        copy_back_buffered(irp);
        if (irp->UserIosb) {
            irp->UserIosb->Status = irp->IoStatus.Status;
            irp->UserIosb->Information = irp->IoStatus.Information;
        }
        PKEVENT event = irp->UserEvent;
        free_irp_unchecked(irp);
        // The waiter may return as soon as the event is set; nothing of the caller's is touched after.
        if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        return;
    }
    case IrpKind::Request: {
        copy_back_buffered(irp);
        NTSTATUS status = irp->IoStatus.Status;
        ULONG_PTR information = irp->IoStatus.Information;
        auto finish = std::move(record->finish);
        FILE_OBJECT* file = record->file;
        if (!file || file_request_done(file, irp)) free_irp_unchecked(irp);
        if (file) ob::dereference(file);
        if (finish) finish(status, information);
        return;
    }
    }
}

struct CompletionExContext {
    PIO_COMPLETION_ROUTINE routine;
    PVOID context;
    PDEVICE_OBJECT device;
    ldr::ImageSlot* image; // held from the set to the routine's return
    UCHAR control;
};

// Runs the routine given to IoSetCompletionRoutineEx under its own invoke rules, then lets the
// device and the driver's image go.
NTSTATUS completion_ex_trampoline(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto* ex = static_cast<CompletionExContext*>(Context);
    CompletionExContext copy = *ex;
    release(ex, kTagCompletion);
    NTSTATUS result = STATUS_SUCCESS;
    if (should_invoke(Irp, copy.control))
        result = copy.routine(DeviceObject, Irp, copy.context);
    else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
        mark_pending(Irp);
    ldr::leave_image(copy.image);
    ob::dereference(copy.device);
    return result;
}

} // namespace

void require_irp(IRP* irp, const char* routine) { checked(irp, routine, Use::Cancel); }

IrpRecord* record_of(IRP* irp) { return reinterpret_cast<IrpRecord*>(block_of(irp)); }

PIO_STACK_LOCATION first_location(IRP* irp) { return location(irp, irp->StackCount); }

int completion_depth() { return t_completion_depth; }

IRP* allocate_irp(CCHAR stack_size, IrpKind kind, bool must_succeed) {
    if (stack_size < 0) return nullptr;
    USHORT size = IoSizeOfIrp(stack_size);
    char* block = static_cast<char*>(allocate(kHeader + size, kTagIrp));
    bool from_heap = false;
    if (!block && must_succeed) {
        block = static_cast<char*>(::operator new(kHeader + size, std::align_val_t(16)));
        from_heap = true;
    }
    if (!block) return nullptr;
    auto* record = new (block) IrpRecord{};
    record->from_heap = from_heap;
    record->magic = kLive;
    record->kind = kind;
    record->irp_size = size;
    auto* irp = reinterpret_cast<IRP*>(block + kHeader);
    initialize(irp, size, stack_size, 0);
    auto& t = table();
    std::lock_guard lock(t.lock);
    t.live.insert(irp);
    return irp;
}

void free_irp_unchecked(IRP* irp) {
    auto* record = record_of(irp);
    if (record->owns_system_buffer && irp->AssociatedIrp.SystemBuffer)
        release(irp->AssociatedIrp.SystemBuffer, kTagBuffer);
    if (record->owned_mdl) IoFreeMdl(record->owned_mdl);
    record->finish = nullptr;
    record->magic = kFreed;
    std::memset(irp, 0xDD, record->irp_size);
    HV_POISON(irp, record->irp_size);
    IRP* evicted = nullptr;
    {
        auto& t = table();
        std::lock_guard lock(t.lock);
        t.live.erase(irp);
        t.freed.insert(irp);
        t.quarantine.push_back(irp);
        if (t.quarantine.size() > kQuarantine) {
            evicted = t.quarantine.front();
            t.quarantine.pop_front();
            t.freed.erase(evicted);
        }
    }
    if (evicted) release_block(evicted);
}

void release_quarantine() {
    auto& t = table();
    std::deque<IRP*> quarantine;
    {
        std::lock_guard lock(t.lock);
        quarantine.swap(t.quarantine);
        t.freed.clear();
        t.live.clear();
    }
    for (IRP* irp : quarantine) release_block(irp);
}

} // namespace hvsim::io::detail

namespace hvsim::io {

size_t live_irp_count() {
    auto& t = detail::table();
    std::lock_guard lock(t.lock);
    return t.live.size();
}

} // namespace hvsim::io

using namespace hvsim;
using namespace hvsim::io::detail;

HV_EXTERN_C_BEGIN

USHORT IoSizeOfIrp(CCHAR StackSize) { return (USHORT)(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION)); }

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) { return allocate_irp(StackSize, IrpKind::Driver); }

VOID IoFreeIrp(PIRP Irp) {
    IrpRecord* record = checked(Irp, "IoFreeIrp", Use::Free);
    if (record->kind == IrpKind::Request)
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoFreeIrp on IRP " + hex(Irp) + ", which the I/O manager owns");
    require_returned(Irp, record, "IoFreeIrp");
    free_irp_unchecked(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    IrpRecord* record = checked(Irp, "IoReuseIrp", Use::Other);
    if (record->kind != IrpKind::Driver)
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                  "IoReuseIrp on IRP " + hex(Irp) + ", which IoAllocateIrp did not allocate");
    require_returned(Irp, record, "IoReuseIrp");
    initialize(Irp, Irp->Size, Irp->StackCount, Irp->AllocationFlags);
    Irp->IoStatus.Status = Iostatus;
    record->sent = false;
    record->origin = 0;
}

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return location(Irp, Irp->CurrentLocation); }

PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    if (Irp->CurrentLocation <= 1)
        bug_check(NO_MORE_IRP_STACK_LOCATIONS, "IRP " + hex(Irp) +
                                                   " has no stack location left below the current one (StackCount " +
                                                   std::to_string(Irp->StackCount) + ")");
    return location(Irp, Irp->CurrentLocation - 1);
}

VOID IoSetNextIrpStackLocation(PIRP Irp) {
    if (Irp->CurrentLocation <= 1)
        bug_check(NO_MORE_IRP_STACK_LOCATIONS,
                  "IoSetNextIrpStackLocation: IRP " + hex(Irp) + " has no stack location left");
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation = location(Irp, Irp->CurrentLocation);
}

VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    if (Irp->CurrentLocation > Irp->StackCount)
        bug_check(NO_MORE_IRP_STACK_LOCATIONS,
                  "IoSkipCurrentIrpStackLocation: IRP " + hex(Irp) + " has no current stack location");
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation = location(Irp, Irp->CurrentLocation);
}

VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    std::memcpy(next, IoGetCurrentIrpStackLocation(Irp), offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, BOOLEAN InvokeOnSuccess,
                            BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = (UCHAR)((InvokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) | (InvokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                            (InvokeOnCancel ? SL_INVOKE_ON_CANCEL : 0));
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                  PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel) {
    auto* ex = static_cast<CompletionExContext*>(allocate(sizeof(CompletionExContext), kTagCompletion));
    if (!ex) return STATUS_INSUFFICIENT_RESOURCES;
    ex->routine = CompletionRoutine;
    ex->context = Context;
    ex->device = DeviceObject;
    ex->image = ldr::enter_image(reinterpret_cast<const void*>(CompletionRoutine), "completion routine");
    ex->control = (UCHAR)((InvokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) | (InvokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                          (InvokeOnCancel ? SL_INVOKE_ON_CANCEL : 0));
    ob::reference(DeviceObject);
    IoSetCompletionRoutine(Irp, completion_ex_trampoline, ex, TRUE, TRUE, TRUE);
    return STATUS_SUCCESS;
}

VOID IoMarkIrpPending(PIRP Irp) { mark_pending(Irp); }

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IrpRecord* record = checked(Irp, "IoCallDriver", Use::Send);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) bug_check(IRQL_NOT_LESS_OR_EQUAL, "IoCallDriver at IRQL " + std::to_string(irql));
    if (!DeviceObject || !ob::is_object(DeviceObject, &g_device_type))
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                  "IoCallDriver to " + hex(DeviceObject) + ", which is not a device object");
    if (Irp->CurrentLocation <= 1)
        bug_check(NO_MORE_IRP_STACK_LOCATIONS,
                  "IoCallDriver to a device of " + driver_name_of(DeviceObject->DriverObject) + ": IRP " + hex(Irp) +
                      " has no stack location left (StackCount " + std::to_string(Irp->StackCount) +
                      ", the device's StackSize " + std::to_string(DeviceObject->StackSize) + ")");
    if (!record->sent || Irp->CurrentLocation >= record->origin) {
        record->sent = true;
        record->origin = Irp->CurrentLocation;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation = location(Irp, Irp->CurrentLocation);
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    UCHAR major = stack->MajorFunction;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    if (major > IRP_MJ_MAXIMUM_FUNCTION)
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoCallDriver with major function " + std::to_string(major));
    PDRIVER_DISPATCH dispatch = driver->MajorFunction[major];
    if (!dispatch)
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                  driver_name_of(driver) + " has no dispatch routine for " + major_name(major));

    t_frames.push_back({Irp, Irp->CurrentLocation, false});
    NTSTATUS status = dispatch(DeviceObject, Irp);
    bool marked = t_frames.back().marked_pending;
    t_frames.pop_back();

    if (KeGetCurrentIrql() != irql)
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "the " + std::string(major_name(major)) +
                                                          " dispatch routine of " + driver_name_of(driver) +
                                                          " returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                                          ", called at " + std::to_string(irql));
    if (marked && status != STATUS_PENDING)
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "the " + std::string(major_name(major)) +
                                                           " dispatch routine of " + driver_name_of(driver) +
                                                           " marked IRP " + hex(Irp) + " pending but returned " +
                                                           hex((ULONG)status) + " instead of STATUS_PENDING");
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    IrpRecord* record = checked(Irp, "IoCompleteRequest", Use::Complete);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) bug_check(IRQL_NOT_LESS_OR_EQUAL, "IoCompleteRequest at IRQL " + std::to_string(irql));
    if (Irp->IoStatus.Status == STATUS_PENDING)
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IRP " + hex(Irp) + " completed with STATUS_PENDING");
    if (Irp->CancelRoutine)
        bug_check(CANCEL_STATE_IN_COMPLETED_IRP, "IRP " + hex(Irp) + " completed with its cancel routine " +
                                                     hex(reinterpret_cast<void*>(Irp->CancelRoutine)) + " still set");
    if (!held_by_driver(Irp, record)) {
        bool unsent_io_manager_irp =
            !record->sent && (record->kind == IrpKind::Synchronous || record->kind == IrpKind::Request);
        if (!unsent_io_manager_irp)
            bug_check(MULTIPLE_IRP_COMPLETE_REQUESTS,
                      "IRP " + hex(Irp) + " completed while no driver holds it (completed twice, or by its sender)");
    }

    ++t_completion_depth;
    struct DepthGuard {
        ~DepthGuard() { --t_completion_depth; }
    } depth_guard;

    Irp->PendingReturned = FALSE;
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = location(Irp, Irp->CurrentLocation);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation = location(Irp, Irp->CurrentLocation);
        // The sender's routine of an asynchronous read finds the data in its buffer.
        if (Irp->CurrentLocation > Irp->StackCount && record->kind == IrpKind::AsyncFsd) copy_back_buffered(Irp);

        if (routine && should_invoke(Irp, control)) {
            PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                        ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                        : nullptr;
            NTSTATUS result;
            {
                ldr::ImageCall call(reinterpret_cast<const void*>(routine), "completion routine");
                result = routine(device, Irp, context);
            }
            if (KeGetCurrentIrql() != irql)
                bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION,
                          "completion routine " + hex(reinterpret_cast<void*>(routine)) + " returned at IRQL " +
                              std::to_string(KeGetCurrentIrql()) + ", called at " + std::to_string(irql));
            // The routine's owner keeps the IRP; it may be gone already.
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            mark_pending(Irp);
        }
    }
    finish_at_top(Irp, record);
}

HV_EXTERN_C_END
