// The test port driver: DriverEntry, AddDevice, pass-through dispatch, the record's callbacks.
#include "testportdriver.h"

#include <hvsim/pnp.h>

#include <algorithm>
#include <new>

namespace porttest {

namespace {

std::atomic<ULONG> g_after_release{0};
std::atomic<ULONG> g_released_at_removal{0};

// Entries of the sink's call list are kept up to this many.
constexpr size_t kMaxCalls = 20000;

Port* sink_port(PVOID context) {
    Port* port = static_cast<Port*>(context);
    if (port->sink.released)
        ++g_after_release;
    return port;
}

void note(Port* port, std::string line) {
    std::lock_guard lock(port->sink.mutex);
    if (port->sink.calls.size() < kMaxCalls) port->sink.calls.push_back(std::move(line));
}

std::string flags(std::initializer_list<BOOLEAN> values) {
    std::string out;
    for (BOOLEAN v : values) out += v ? " 1" : " 0";
    return out;
}

BOOLEAN on_read(PVOID context, CPmBuffer* buffer) {
    Port* port = sink_port(context);
    Sink& sink = port->sink;
    BOOLEAN taken = TRUE;
    {
        std::lock_guard lock(sink.mutex);
        const ULONG length = buffer->m_GetLength();
        if (sink.level() + length > sink.capacity) {
            sink.overflow += length;
            taken = FALSE;
        } else {
            sink.received.append(reinterpret_cast<const char*>(buffer->m_GetData()), length);
        }
        ++sink.reads;
    }
    buffer->m_Delete();
    sink.changed.notify_all();
    return taken;
}

BOOLEAN on_unused(PVOID context) {
    note(sink_port(context), "unused");
    return FALSE;
}

BOOLEAN on_line(PVOID context, BOOLEAN overrun, BOOLEAN parity, BOOLEAN framing, BOOLEAN brk, BOOLEAN ready,
                BOOLEAN thre, BOOLEAN temt, BOOLEAN fifo) {
    Port* port = sink_port(context);
    note(port, "line" + flags({overrun, parity, framing, brk, ready, thre, temt, fifo}));
    port->sink.changed.notify_all();
    return TRUE;
}

BOOLEAN on_modem(PVOID context, BOOLEAN cts, BOOLEAN dsr, BOOLEAN ri, BOOLEAN trailing, BOOLEAN dcd) {
    Port* port = sink_port(context);
    note(port, "modem" + flags({cts, dsr, ri, trailing, dcd}));
    port->sink.changed.notify_all();
    return TRUE;
}

BOOLEAN on_written(PVOID context, ULONG count) {
    Port* port = sink_port(context);
    {
        std::lock_guard lock(port->sink.mutex);
        port->sink.written += count;
        port->sink.credit += count;
        if (port->sink.calls.size() < kMaxCalls) port->sink.calls.push_back("written " + std::to_string(count));
    }
    port->sink.changed.notify_all();
    return TRUE;
}

BOOLEAN on_immediate_sent(PVOID context) {
    Port* port = sink_port(context);
    {
        std::lock_guard lock(port->sink.mutex);
        ++port->sink.immediate_sent;
    }
    note(port, "immediate");
    return TRUE;
}

BOOLEAN on_xoff_holding(PVOID context, BOOLEAN held) {
    note(sink_port(context), "xoff-holding" + flags({held}));
    return TRUE;
}

BOOLEAN on_xoff_sent(PVOID context, BOOLEAN sent) {
    Port* port = sink_port(context);
    {
        std::lock_guard lock(port->sink.mutex);
        ++port->sink.xoff_sent;
    }
    note(port, "xoff-sent" + flags({sent}));
    return TRUE;
}

BOOLEAN on_space(PVOID context, ULONG incoming, ULONG reserve, PULONG available) {
    Port* port = sink_port(context);
    Sink& sink = port->sink;
    bool flow_off = false;
    {
        std::lock_guard lock(sink.mutex);
        const size_t level = sink.level();
        *available = (ULONG)(sink.capacity > level ? sink.capacity - level : 0);
        if (level + incoming + reserve >= sink.flow_off_level && !sink.want_flow_off) {
            sink.want_flow_off = true;
            flow_off = true;
        }
    }
    if (flow_off) sink.changed.notify_all();
    return TRUE;
}

NTSTATUS pass_down(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(port_of(device)->lower, irp);
}

NTSTATUS complete_success(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void release_at_removal(Port* port) {
    if (port->record && port->release_on_remove) {
        release_record(*port);
        ++g_released_at_removal;
    }
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = port_of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SURPRISE_REMOVAL:
        release_at_removal(port);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
        release_at_removal(port);
        {
            std::unique_lock lock(port->sink.mutex);
            port->sink.changed.wait(lock, [&] { return port->writers == 0; });
        }
        ++port->removals;
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = port->lower;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        port->~Port();
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(device, irp);
    default:
        return pass_down(device, irp);
    }
}

NTSTATUS dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(port_of(device)->lower, irp);
}

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Port), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    Port* port = new (device->DeviceExtension) Port;
    port->device = device;
    port->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!port->lower) {
        port->~Port();
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void unload(PDRIVER_OBJECT) {}

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_CREATE] = complete_success;
    driver->MajorFunction[IRP_MJ_CLOSE] = complete_success;
    driver->MajorFunction[IRP_MJ_CLEANUP] = complete_success;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = pass_down;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = pass_down;
    return STATUS_SUCCESS;
}

} // namespace

void register_driver() {
    static const bool registered = [] {
        hvsim::ldr::register_builtin_driver(kService, driver_entry);
        return true;
    }();
    (void)registered;
}

void SchedLock::lock() {
    std::unique_lock guard(mutex_);
    free_.wait(guard, [this] { return !held_; });
    held_ = true;
}

void SchedLock::unlock() {
    {
        std::lock_guard guard(mutex_);
        held_ = false;
    }
    free_.notify_all();
}

Port* port_of(PDEVICE_OBJECT device) { return static_cast<Port*>(device->DeviceExtension); }

std::atomic<ULONG>& callbacks_after_release() { return g_after_release; }
std::atomic<ULONG>& released_at_removal() { return g_released_at_removal; }

ControlResult send_internal(Port& port, ULONG code, void* input, ULONG input_length, void* output,
                            ULONG output_length) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io_status = {};
    PIRP irp = IoBuildDeviceIoControlRequest(code, port.lower, input, input_length, output, output_length, TRUE,
                                             &done, &io_status);
    if (!irp) return {STATUS_INSUFFICIENT_RESOURCES, 0};
    NTSTATUS status = IoCallDriver(port.lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = io_status.Status;
    }
    return {status, io_status.Information};
}

ControlResult create_record(Port& port, ULONG port_number, bool bind) {
    CreateHvISerialRequestStruct request;
    HvISerialInitCreateRequest(&request, port_number);
    CreateHvISerialResponseStruct response = {};
    ControlResult result = send_internal(port, IOCTL_CREATE_HVISERIAL, &request, sizeof(request), &response,
                                         sizeof(response));
    ISerial* record = HvISerialRecordOfAnswer(result.status, result.information, &response);
    if (record && bind) {
        port.record = record;
        port.port_number = port_number;
        port.sink.released = false;
        HvISerialCallbacks& callbacks = record->m_Callbacks;
        callbacks.m_Read = on_read;
        callbacks.m_Unused = on_unused;
        callbacks.m_LineStatusCallback = on_line;
        callbacks.m_ModemStatusCallback = on_modem;
        callbacks.m_DataWrittenCallback = on_written;
        callbacks.m_ImmediateCharacterSentCallback = on_immediate_sent;
        callbacks.m_XoffHoldingCallback = on_xoff_holding;
        callbacks.m_XoffSentCallback = on_xoff_sent;
        callbacks.m_AvailableReceiveBufferSizeCallback = on_space;
        record->m_pvCallbackContext = &port;
    }
    return result;
}

ControlResult release_record(Port& port) {
    port.operations.lock();
    ReleaseHvISerialRequestStruct request;
    HvISerialInitReleaseRequest(&request, port.port_number, port.record);
    ControlResult result = send_internal(port, IOCTL_RELEASE_HVISERIAL, &request, sizeof(request), nullptr, 0);
    {
        std::lock_guard lock(port.sink.mutex);
        port.sink.released = true;
    }
    port.record = nullptr;
    port.operations.unlock();
    port.sink.changed.notify_all();
    return result;
}

namespace {

// Counts a thread inside write() for as long as it lives.
class Writer {
public:
    explicit Writer(Port& port) : port_(port) {
        std::lock_guard lock(port_.sink.mutex);
        ++port_.writers;
    }
    // Notified under the lock: once the removal sees no writer it deletes the port, so this
    // thread must not touch it after the lock is released.
    ~Writer() {
        std::lock_guard lock(port_.sink.mutex);
        --port_.writers;
        port_.sink.changed.notify_all();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

private:
    Port& port_;
};

} // namespace

BOOLEAN write(Port& port, const std::string& bytes) {
    Writer writer(port);
    size_t done = 0;
    while (done < bytes.size()) {
        size_t chunk = 0;
        {
            std::unique_lock lock(port.sink.mutex);
            const int64_t deadline = hvsim::sched::now() + 60 * hvsim::sched::kTicksPerSecond;
            if (!port.sink.changed.wait_until(lock, deadline, [&] { return port.sink.credit > 0 || port.sink.released; }))
                return FALSE;
            if (port.sink.released) return FALSE;
            chunk = (size_t)std::min<ULONGLONG>(port.sink.credit, bytes.size() - done);
            port.sink.credit -= chunk;
        }
        CPmBuffer* buffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
        if (!buffer) return FALSE;
        buffer->m_pPool = g_pPmMemoryPool;
        if (!buffer->m_Assign(bytes.data() + done, (ULONG)chunk)) {
            buffer->m_Delete();
            return FALSE;
        }
        // The buffer is the bus driver's once the operation is called, whatever it answers.
        port.operations.lock();
        if (!port.record) {
            port.operations.unlock();
            buffer->m_Delete();
            return FALSE;
        }
        BOOLEAN taken = HvISerialCallOperation(port.record, &HvISerialOperations::m_PortWriteCallback, buffer);
        port.operations.unlock();
        if (!taken) return FALSE;
        done += chunk;
    }
    return TRUE;
}

bool create_pool() { return CPmMemoryPool::m_CreateGlobal(); }
void destroy_pool() { CPmMemoryPool::m_DestroyGlobal(); }

} // namespace porttest
