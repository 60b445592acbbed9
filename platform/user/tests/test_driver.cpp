// The tests' in-process driver (see test_driver.h).
#include <wdm.h>

#include <hvsim/debug_log.h>
#include <hvsim/io.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "test_driver.h"

namespace test_driver {
namespace {

struct State {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    KSPIN_LOCK lock = 0;
    LIST_ENTRY held; // reads and kPend requests, guarded by lock
    std::string data;
    std::mutex text_mutex;
    std::vector<std::string> events;
    std::string written;
};
State g;

void note(const std::string& event) {
    std::lock_guard lock(g.text_mutex);
    g.events.push_back(event);
}

std::string hex(ULONG value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(value));
    return buffer;
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void cancel_held(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&g.lock, &old);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g.lock, old);
    note("cancel " + std::string(IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ ? "read" : "ioctl"));
    complete(irp, STATUS_CANCELLED, 0);
}

// Called with g.lock held; the IRP is marked pending either way. STATUS_CANCELLED: it was
// cancelled before it could be held, and the caller completes it.
NTSTATUS hold(PIRP irp) {
    IoMarkIrpPending(irp);
    InsertTailList(&g.held, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, cancel_held);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        return STATUS_CANCELLED;
    }
    return STATUS_PENDING;
}

// Serves held reads from the data while both last. Called with g.lock held; returns the reads
// to complete once the lock is released.
std::vector<std::pair<PIRP, ULONG>> serve_reads() {
    std::vector<std::pair<PIRP, ULONG>> done;
    for (PLIST_ENTRY e = g.held.Flink; e != &g.held && !g.data.empty();) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_READ || !IoSetCancelRoutine(irp, nullptr)) continue;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        ULONG n = static_cast<ULONG>(std::min<size_t>(stack->Parameters.Read.Length, g.data.size()));
        std::memcpy(irp->AssociatedIrp.SystemBuffer, g.data.data(), n);
        g.data.erase(0, n);
        done.emplace_back(irp, n);
    }
    return done;
}

void add_data(const std::string& bytes) {
    KIRQL old;
    KeAcquireSpinLock(&g.lock, &old);
    g.data += bytes;
    auto done = serve_reads();
    KeReleaseSpinLock(&g.lock, old);
    for (auto [irp, n] : done) complete(irp, STATUS_SUCCESS, n);
}

NTSTATUS dispatch_create(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UNICODE_STRING& name = stack->FileObject->FileName;
    std::u16string text(name.Buffer ? name.Buffer : u"", name.Length / sizeof(WCHAR));
    std::string narrow(text.begin(), text.end());
    note("create " + narrow);
    return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS dispatch_read(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    note("read " + std::to_string(stack->Parameters.Read.Length));
    if (stack->Parameters.Read.Length == 0) return complete(irp, STATUS_SUCCESS, 0);
    KIRQL old;
    KeAcquireSpinLock(&g.lock, &old);
    NTSTATUS status = hold(irp);
    auto done = serve_reads();
    KeReleaseSpinLock(&g.lock, old);
    for (auto [ready, n] : done) complete(ready, STATUS_SUCCESS, n);
    if (status == STATUS_CANCELLED) complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
}

NTSTATUS dispatch_write(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG length = stack->Parameters.Write.Length;
    note("write " + std::to_string(length));
    std::string bytes(static_cast<const char*>(irp->AssociatedIrp.SystemBuffer), length);
    {
        std::lock_guard lock(g.text_mutex);
        g.written += bytes;
    }
    add_data(bytes);
    return complete(irp, STATUS_SUCCESS, length);
}

struct LateCompletion {
    KTIMER timer;
    KDPC dpc;
    PIRP irp;
};

void complete_late(PKDPC, PVOID context, PVOID, PVOID) {
    auto* late = static_cast<LateCompletion*>(context);
    PIRP irp = late->irp;
    delete late;
    *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = 0x600D;
    complete(irp, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS dispatch_control(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto& p = stack->Parameters.DeviceIoControl;
    note("ioctl " + hex(p.IoControlCode));
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    switch (p.IoControlCode) {
    case kEcho:
        if (p.OutputBufferLength < p.InputBufferLength) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        return complete(irp, STATUS_SUCCESS, p.InputBufferLength);
    case kPend: {
        KIRQL old;
        KeAcquireSpinLock(&g.lock, &old);
        NTSTATUS status = hold(irp);
        KeReleaseSpinLock(&g.lock, old);
        if (status == STATUS_CANCELLED) complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    case kCompleteWith: {
        if (p.InputBufferLength < sizeof(CompleteWith)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        CompleteWith request;
        std::memcpy(&request, buffer, sizeof request);
        ULONG n = std::min(request.information, p.OutputBufferLength);
        std::memset(buffer, 0xAB, n);
        return complete(irp, request.status, n);
    }
    case kCompleteLater: {
        if (p.InputBufferLength < sizeof(ULONG) || p.OutputBufferLength < sizeof(ULONG))
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        auto* late = new LateCompletion{};
        late->irp = irp;
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(*static_cast<ULONG*>(buffer)) * 10'000;
        KeInitializeTimer(&late->timer);
        KeInitializeDpc(&late->dpc, complete_late, late);
        IoMarkIrpPending(irp);
        KeSetTimer(&late->timer, due, &late->dpc);
        return STATUS_PENDING;
    }
    default: return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS dispatch_cleanup(PDEVICE_OBJECT, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    note("cleanup");
    std::vector<PIRP> cancelled;
    KIRQL old;
    KeAcquireSpinLock(&g.lock, &old);
    for (PLIST_ENTRY e = g.held.Flink; e != &g.held;) {
        PIRP held = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        if (IoGetCurrentIrpStackLocation(held)->FileObject != file || !IoSetCancelRoutine(held, nullptr)) continue;
        RemoveEntryList(&held->Tail.Overlay.ListEntry);
        cancelled.push_back(held);
    }
    KeReleaseSpinLock(&g.lock, old);
    for (PIRP held : cancelled) complete(held, STATUS_CANCELLED, 0);
    return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS dispatch_close(PDEVICE_OBJECT, PIRP irp) {
    note("close");
    return complete(irp, STATUS_SUCCESS, 0);
}

} // namespace

void install() {
    g.data.clear();
    g.written.clear();
    g.events.clear();
    KeInitializeSpinLock(&g.lock);
    InitializeListHead(&g.held);
    g.driver = hvsim::io::create_driver_object(u"HvUserTest",
                                               u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HvUserTest");
    g.driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    g.driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
    g.driver->MajorFunction[IRP_MJ_WRITE] = dispatch_write;
    g.driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    g.driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
    g.driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\HvUserTest");
    RtlInitUnicodeString(&link, u"\\??\\HVUTEST");
    IoCreateDevice(g.driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &g.device);
    g.device->Flags |= DO_BUFFERED_IO;
    IoCreateSymbolicLink(&link, &name);
    hvsim::io::finish_driver_initialization(g.driver);
}

void uninstall() {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\??\\HVUTEST");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g.device);
    hvsim::io::delete_driver_object(g.driver);
    g.device = nullptr;
    g.driver = nullptr;
}

std::vector<std::string> events() {
    std::lock_guard lock(g.text_mutex);
    return g.events;
}

void clear_events() {
    std::lock_guard lock(g.text_mutex);
    g.events.clear();
}

size_t held_requests() {
    KIRQL old;
    KeAcquireSpinLock(&g.lock, &old);
    size_t n = 0;
    for (PLIST_ENTRY e = g.held.Flink; e != &g.held; e = e->Flink) ++n;
    KeReleaseSpinLock(&g.lock, old);
    return n;
}

std::string written() {
    std::lock_guard lock(g.text_mutex);
    return g.written;
}

void feed(const std::string& data) { add_data(data); }

bool debug_log_contains(const std::string& text) { return hvsim::debug_log::contains(text); }

} // namespace test_driver
