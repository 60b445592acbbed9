// Cancel-safe queues: the driver keeps the IRPs and the lock, these routines keep cancellation
// right.
//
//   IoCsqInitialize IoCsqInitializeEx IoCsqInsertIrp IoCsqInsertIrpEx IoCsqRemoveNextIrp IoCsqRemoveIrp
//
// While an IRP is queued, Tail.Overlay.DriverContext[3] names its queue, or the IO_CSQ_IRP_CONTEXT
// given at insertion (whose Irp field is cleared once the IRP leaves the queue). Whoever takes
// the cancel routine out of the IRP (IoCancelIrp, or a removal) owns its removal: removals skip
// IRPs whose cancellation has begun.
#include "io_internal.h"

using namespace hvsim;

namespace {

void take_out(PIO_CSQ csq, PIRP irp) {
    auto* context = static_cast<PIO_CSQ_IRP_CONTEXT>(irp->Tail.Overlay.DriverContext[3]);
    csq->CsqRemoveIrp(csq, irp);
    if (context && context->Type == IO_TYPE_CSQ_IRP_CONTEXT) context->Irp = nullptr;
    irp->Tail.Overlay.DriverContext[3] = nullptr;
}

// IO_CSQ keeps the insert routine of both kinds in one slot; Type says which it is.
template <class To, class From> To routine_cast(From routine) {
    return reinterpret_cast<To>(reinterpret_cast<void (*)(void)>(routine));
}

PIO_CSQ queue_of(PIRP irp) {
    auto* tag = static_cast<ULONG*>(irp->Tail.Overlay.DriverContext[3]);
    if (!tag)
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "cancel-safe queue: IRP " + hvsim::io::detail::hex(irp) +
                                                           " lost its queue (DriverContext[3] was overwritten)");
    return *tag == IO_TYPE_CSQ_IRP_CONTEXT ? static_cast<PIO_CSQ_IRP_CONTEXT>(static_cast<void*>(tag))->Csq
                                           : static_cast<PIO_CSQ>(static_cast<void*>(tag));
}

// Runs at DISPATCH_LEVEL with the cancel lock held; completes the IRP at the canceller's IRQL.
VOID csq_cancel_routine(PDEVICE_OBJECT, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PIO_CSQ csq = queue_of(Irp);
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    take_out(csq, Irp);
    csq->CsqReleaseLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, Irp);
}

NTSTATUS initialize(PIO_CSQ Csq, ULONG type, PIO_CSQ_INSERT_IRP insert, PIO_CSQ_REMOVE_IRP remove,
                    PIO_CSQ_PEEK_NEXT_IRP peek, PIO_CSQ_ACQUIRE_LOCK acquire, PIO_CSQ_RELEASE_LOCK release,
                    PIO_CSQ_COMPLETE_CANCELED_IRP complete) {
    if (!Csq || !insert || !remove || !peek || !acquire || !release || !complete) return STATUS_INVALID_PARAMETER;
    Csq->Type = type;
    Csq->CsqInsertIrp = insert;
    Csq->CsqRemoveIrp = remove;
    Csq->CsqPeekNextIrp = peek;
    Csq->CsqAcquireLock = acquire;
    Csq->CsqReleaseLock = release;
    Csq->CsqCompleteCanceledIrp = complete;
    Csq->ReservePointer = nullptr;
    return STATUS_SUCCESS;
}

} // namespace

HV_EXTERN_C_BEGIN

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
    return initialize(Csq, IO_TYPE_CSQ, CsqInsertIrp, CsqRemoveIrp, CsqPeekNextIrp, CsqAcquireLock, CsqReleaseLock,
                      CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
    return initialize(Csq, IO_TYPE_CSQ_EX, routine_cast<PIO_CSQ_INSERT_IRP>(CsqInsertIrp), CsqRemoveIrp, CsqPeekNextIrp,
                      CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
}

VOID IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context) {
    IoCsqInsertIrpEx(Csq, Irp, Context, nullptr);
}

NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext) {
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    if (Csq->Type == IO_TYPE_CSQ_EX)
        status = routine_cast<PIO_CSQ_INSERT_IRP_EX>(Csq->CsqInsertIrp)(Csq, Irp, InsertContext);
    else
        Csq->CsqInsertIrp(Csq, Irp);
    if (!NT_SUCCESS(status)) {
        Csq->CsqReleaseLock(Csq, irql);
        return status;
    }
    if (Context) {
        Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
        Context->Irp = Irp;
        Context->Csq = Csq;
        Irp->Tail.Overlay.DriverContext[3] = Context;
    } else {
        Irp->Tail.Overlay.DriverContext[3] = Csq;
    }
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, csq_cancel_routine);
    // Cancelled before the routine was in place: whoever takes the routine back removes the IRP.
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
        take_out(Csq, Irp);
        Csq->CsqReleaseLock(Csq, irql);
        Csq->CsqCompleteCanceledIrp(Csq, Irp);
        return status;
    }
    Csq->CsqReleaseLock(Csq, irql);
    return status;
}

PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext) {
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
    while (irp) {
        if (IoSetCancelRoutine(irp, nullptr)) {
            take_out(Csq, irp);
            break;
        }
        // Its cancellation has begun; the cancel routine removes it.
        irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context) {
    PIRP irp = nullptr;
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    if (Context && Context->Irp) {
        if (IoSetCancelRoutine(Context->Irp, nullptr)) {
            irp = Context->Irp;
            take_out(Csq, irp);
        }
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

HV_EXTERN_C_END
