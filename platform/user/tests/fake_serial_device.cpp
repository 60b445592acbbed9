// The tests' fake serial port (see fake_serial_device.h).
#include <wdm.h>
#include <ntddser.h>

#include <hvsim/io.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "fake_serial_device.h"

namespace fake_serial {
namespace {

// Each code with the smallest input and output it takes, and where in the state it reads or
// writes (nothing for the codes that only act).
struct Code {
    ULONG code;
    ULONG in_min;
    ULONG out_min;
    void* (*field)(State&);
};

template <auto Member> void* field_of(State& s) { return &(s.*Member); }

const Code kCodes[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, field_of<&State::baud>},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, field_of<&State::baud>},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, field_of<&State::line>},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, field_of<&State::line>},
    {IOCTL_SERIAL_SET_CHARS, 6, 0, field_of<&State::chars>},
    {IOCTL_SERIAL_GET_CHARS, 0, 6, field_of<&State::chars>},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, field_of<&State::handflow>},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, field_of<&State::handflow>},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, field_of<&State::timeouts>},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, field_of<&State::timeouts>},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, field_of<&State::queue>},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, field_of<&State::wait_mask>},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, field_of<&State::wait_mask>},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, field_of<&State::modem_status>},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, field_of<&State::status>},
    {IOCTL_SERIAL_PURGE, 4, 0, field_of<&State::purged>},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, 64, field_of<&State::properties>},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, nullptr},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, nullptr},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, nullptr},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, nullptr},
    {IOCTL_SERIAL_SET_DTR, 0, 0, nullptr},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, nullptr},
    {IOCTL_SERIAL_SET_RTS, 0, 0, nullptr},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, nullptr},
    {IOCTL_SERIAL_SET_XON, 0, 0, nullptr},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, nullptr},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, nullptr},
};

struct Device {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::mutex mutex; // guards everything below
    State state;
    std::vector<Request> requests;
    std::map<ULONG, LONG> failures;
    ULONG unclaimed_events = 0;
    PIRP wait = nullptr;
    std::vector<uint8_t> data; // written and not yet read
    size_t written = 0;
    PIRP read = nullptr; // the read that waits for data
    ULONG read_filled = 0;
    bool read_any = false; // the read ends with its first bytes
    KTIMER read_timer;
    KDPC read_dpc;
};
Device g;

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void cancel_held(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ULONG_PTR filled = 0;
    {
        std::lock_guard lock(g.mutex);
        if (g.wait == irp) g.wait = nullptr;
        if (g.read == irp) g.read = nullptr, filled = g.read_filled;
    }
    complete(irp, STATUS_CANCELLED, filled);
}

// Takes a held request, if any, for its owner to complete. Called with the mutex held.
PIRP claim(PIRP& held) {
    PIRP irp = held;
    if (irp && !IoSetCancelRoutine(irp, nullptr)) return nullptr; // its cancel routine runs
    held = nullptr;
    return irp;
}

PIRP claim_wait() {
    std::lock_guard lock(g.mutex);
    return claim(g.wait);
}

// Holds a request until it is claimed or cancelled; false when it was cancelled already (the
// caller completes it). Called with the mutex held.
bool hold(PIRP irp, PIRP& held) {
    IoMarkIrpPending(irp);
    held = irp;
    IoSetCancelRoutine(irp, cancel_held);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        held = nullptr;
        return false;
    }
    return true;
}

struct Finished {
    PIRP irp = nullptr;
    ULONG bytes = 0;
};

// Moves written data into the held read; returns the read once it is done. Mutex held.
Finished fill_read() {
    if (!g.read) return {};
    const ULONG length = IoGetCurrentIrpStackLocation(g.read)->Parameters.Read.Length;
    const size_t n = std::min<size_t>(length - g.read_filled, g.data.size());
    if (n) std::memcpy(static_cast<uint8_t*>(g.read->AssociatedIrp.SystemBuffer) + g.read_filled, g.data.data(), n);
    g.data.erase(g.data.begin(), g.data.begin() + static_cast<std::ptrdiff_t>(n));
    g.read_filled += static_cast<ULONG>(n);
    if (g.read_filled != length && !(g.read_any && g.read_filled)) return {};
    return {claim(g.read), g.read_filled};
}

// The timer's read, if it still waits, ends empty.
void read_timed_out(PKDPC, PVOID context, PVOID, PVOID) {
    PIRP read = nullptr;
    {
        std::lock_guard lock(g.mutex);
        if (g.read == context) read = claim(g.read);
    }
    if (read) complete(read, STATUS_TIMEOUT, 0);
}

NTSTATUS dispatch_read(PDEVICE_OBJECT, PIRP irp) {
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (!length) return complete(irp, STATUS_SUCCESS, 0);
    std::unique_lock lock(g.mutex);
    if (g.read) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    g.read_filled = 0;
    const ULONG* t = g.state.timeouts;
    g.read_any = t[0] == MAXULONG && t[1] == MAXULONG && t[2] && t[2] != MAXULONG;
    if (!hold(irp, g.read)) {
        lock.unlock();
        complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    const Finished done = fill_read();
    if (!done.irp && g.read_any) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(t[2]) * 10'000;
        KeCancelTimer(&g.read_timer);
        KeInitializeDpc(&g.read_dpc, read_timed_out, irp);
        KeSetTimer(&g.read_timer, due, &g.read_dpc);
    }
    lock.unlock();
    if (done.irp) complete(done.irp, STATUS_SUCCESS, done.bytes);
    return STATUS_PENDING;
}

NTSTATUS dispatch_write(PDEVICE_OBJECT, PIRP irp) {
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    const auto* bytes = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    std::unique_lock lock(g.mutex);
    g.data.insert(g.data.end(), bytes, bytes + length);
    g.written += length;
    const Finished done = fill_read();
    lock.unlock();
    if (done.irp) complete(done.irp, STATUS_SUCCESS, done.bytes);
    return complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS wait_on_mask(PIRP irp) {
    std::unique_lock lock(g.mutex);
    if (g.wait) return complete(irp, STATUS_INVALID_PARAMETER, 0);
    if (g.unclaimed_events) {
        *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = g.unclaimed_events;
        g.unclaimed_events = 0;
        lock.unlock();
        return complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    if (!hold(irp, g.wait)) {
        lock.unlock();
        complete(irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

NTSTATUS dispatch_control(PDEVICE_OBJECT, PIRP irp) {
    const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const Code* code = nullptr;
    for (const auto& c : kCodes)
        if (c.code == p.IoControlCode) code = &c;
    LONG failure = 0;
    {
        std::lock_guard lock(g.mutex);
        Request r{p.IoControlCode, {}, p.OutputBufferLength};
        if (buffer) r.input.assign(buffer, buffer + p.InputBufferLength);
        g.requests.push_back(std::move(r));
        if (auto it = g.failures.find(p.IoControlCode); it != g.failures.end()) failure = it->second;
    }
    if (!code) return complete(irp, STATUS_NOT_SUPPORTED, 0);
    if (p.InputBufferLength < code->in_min || p.OutputBufferLength < code->out_min)
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    if (failure) return complete(irp, failure, 0);
    if (code->code == IOCTL_SERIAL_WAIT_ON_MASK) return wait_on_mask(irp);
    if (!code->field) return complete(irp, STATUS_SUCCESS, 0);
    std::lock_guard lock(g.mutex);
    void* field = code->field(g.state);
    if (code->in_min) {
        std::memcpy(field, buffer, code->in_min);
        return complete(irp, STATUS_SUCCESS, 0);
    }
    std::memcpy(buffer, field, code->out_min);
    return complete(irp, STATUS_SUCCESS, code->out_min);
}

NTSTATUS dispatch_cleanup(PDEVICE_OBJECT, PIRP irp) {
    PIRP wait, read;
    ULONG_PTR filled;
    {
        std::lock_guard lock(g.mutex);
        wait = claim(g.wait);
        read = claim(g.read);
        filled = g.read_filled;
        g.data.clear();
    }
    if (wait) complete(wait, STATUS_CANCELLED, 0);
    if (read) complete(read, STATUS_CANCELLED, filled);
    return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS dispatch_other(PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 0); }

} // namespace

void install() {
    g.state = State{};
    g.requests.clear();
    g.failures.clear();
    g.unclaimed_events = 0;
    g.wait = nullptr;
    g.read = nullptr;
    g.data.clear();
    g.written = 0;
    KeInitializeTimer(&g.read_timer);
    g.driver = hvsim::io::create_driver_object(
        u"HvFakeSerial", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HvFakeSerial");
    g.driver->MajorFunction[IRP_MJ_CREATE] = dispatch_other;
    g.driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_other;
    g.driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
    g.driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    g.driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
    g.driver->MajorFunction[IRP_MJ_WRITE] = dispatch_write;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\HvFakeSerial");
    RtlInitUnicodeString(&link, u"\\??\\COM9");
    IoCreateDevice(g.driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &g.device);
    g.device->Flags |= DO_BUFFERED_IO;
    IoCreateSymbolicLink(&link, &name);
    hvsim::io::finish_driver_initialization(g.driver);
}

void uninstall() {
    KeCancelTimer(&g.read_timer);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\??\\COM9");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g.device);
    hvsim::io::delete_driver_object(g.driver);
    g.device = nullptr;
    g.driver = nullptr;
}

std::vector<Request> requests() {
    std::lock_guard lock(g.mutex);
    return g.requests;
}

void clear_requests() {
    std::lock_guard lock(g.mutex);
    g.requests.clear();
}

State& state() { return g.state; }

void fail(ULONG code, LONG status) {
    std::lock_guard lock(g.mutex);
    if (status)
        g.failures[code] = status;
    else
        g.failures.erase(code);
}

bool signal_events(ULONG events) {
    PIRP wait = claim_wait();
    if (!wait) {
        std::lock_guard lock(g.mutex);
        g.unclaimed_events |= events;
        return false;
    }
    *static_cast<ULONG*>(wait->AssociatedIrp.SystemBuffer) = events;
    complete(wait, STATUS_SUCCESS, sizeof(ULONG));
    return true;
}

size_t written() {
    std::lock_guard lock(g.mutex);
    return g.written;
}

size_t pending_waits() {
    std::lock_guard lock(g.mutex);
    return g.wait ? 1 : 0;
}

} // namespace fake_serial
