// Cancellation of IRPs.
//
//   IoSetCancelRoutine IoCancelIrp IoAcquireCancelSpinLock IoReleaseCancelSpinLock
//
// As on Windows, IoCancelIrp takes the one cancel spin lock, sets Cancel, takes the routine out
// of the IRP and calls it at DISPATCH_LEVEL with the lock held; the routine releases the lock
// (restoring Irp->CancelIrql) and completes the IRP.
#include "io_internal.h"

#include <image_calls.h>

namespace hvsim::io::detail {
namespace {

KSPIN_LOCK g_cancel_lock = 0;
// The thread holding the cancel lock, to catch a cancel routine that returns without releasing it.
std::atomic<std::thread::id> g_cancel_owner{};

} // namespace
} // namespace hvsim::io::detail

using namespace hvsim;
using namespace hvsim::io::detail;

HV_EXTERN_C_BEGIN

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(const_cast<PDRIVER_CANCEL*>(&Irp->CancelRoutine), CancelRoutine, __ATOMIC_SEQ_CST);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancel_lock);
    g_cancel_owner.store(std::this_thread::get_id());
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    if (g_cancel_owner.load() == std::this_thread::get_id()) g_cancel_owner.store(std::thread::id());
    KeReleaseSpinLock(&g_cancel_lock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    require_irp(Irp, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    {
        ldr::ImageCall call(reinterpret_cast<const void*>(routine), "cancel routine");
        routine(device, Irp);
    }
    if (g_cancel_owner.load() == std::this_thread::get_id())
        bug_check(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "cancel routine " + hex(reinterpret_cast<void*>(routine)) +
                                                           " returned without releasing the cancel spin lock");
    return TRUE;
}

HV_EXTERN_C_END
