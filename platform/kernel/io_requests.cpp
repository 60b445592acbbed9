// Requests that the I/O manager itself sends: for files, and for the PnP manager, the power
// manager and WMI (send_and_wait, send_async).
#include "io_internal.h"

#include <hvsim/sched.h>

#include <memory>

namespace hvsim::io::detail {

Sent send_request(DEVICE_OBJECT* top, FILE_OBJECT* file, const RequestSetup& setup, NTSTATUS initial_status,
                  bool must_succeed, RequestFinish finish) {
    IRP* irp = allocate_irp(top->StackSize, IrpKind::Request, must_succeed);
    if (!irp) return {STATUS_INSUFFICIENT_RESOURCES, false};
    irp->IoStatus.Status = initial_status;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = first_location(irp);
    stack->FileObject = file;
    NTSTATUS status = setup ? setup(irp, stack) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
        free_irp_unchecked(irp);
        return {status, false};
    }
    IrpRecord* record = record_of(irp);
    record->finish = std::move(finish);
    record->issuer = std::this_thread::get_id();
    if (file) {
        ob::reference(file);
        record->file = file;
        file_request_issued(file, irp);
    }
    return {IofCallDriver(top, irp), true};
}

IoResult wait_for(const std::function<Sent(RequestFinish)>& start) {
    if (KeGetCurrentIrql() > APC_LEVEL)
        bug_check(IRQL_NOT_LESS_OR_EQUAL, "synchronous I/O at IRQL " + std::to_string(KeGetCurrentIrql()));
    struct Waiter {
        sched::Event done{sched::Event::Reset::Manual};
        IoResult result{};
    };
    // Shared, so that the completing thread may still hold it after the waiter returned.
    auto waiter = std::make_shared<Waiter>();
    Sent sent = start([waiter](NTSTATUS status, ULONG_PTR information) {
        waiter->result = {status, information};
        waiter->done.set();
    });
    if (!sent.issued) return {sent.status, 0};
    waiter->done.wait();
    return waiter->result;
}

IoResult send_request_and_wait(DEVICE_OBJECT* top, FILE_OBJECT* file, const RequestSetup& setup,
                               NTSTATUS initial_status, bool must_succeed) {
    return wait_for([&](RequestFinish finish) {
        return send_request(top, file, setup, initial_status, must_succeed, std::move(finish));
    });
}

} // namespace hvsim::io::detail

namespace hvsim::io {
using namespace detail;

IoResult send_and_wait(DeviceObject* target, const IrpSetup& setup, LONG initial_status) {
    return send_request_and_wait(
        target, nullptr,
        [&setup](IRP* irp, PIO_STACK_LOCATION stack) {
            if (setup) setup(irp, stack);
            return STATUS_SUCCESS;
        },
        initial_status, false);
}

Issue send_async(DeviceObject* target, const IrpSetup& setup, LONG initial_status, Completion done) {
    Sent sent = send_request(
        target, nullptr,
        [&setup](IRP* irp, PIO_STACK_LOCATION stack) {
            if (setup) setup(irp, stack);
            return STATUS_SUCCESS;
        },
        initial_status, false, std::move(done));
    return {sent.status, sent.issued};
}

} // namespace hvsim::io
