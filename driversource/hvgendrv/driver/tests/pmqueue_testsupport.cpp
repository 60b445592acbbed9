#include "pmqueue_testsupport.h"

#include <hvsim/io.h>
#include <hvsim/debug_log.h>
#include <hvsim/pool.h>
#include <hvsim/registry.h>

#include <pmmemorypool.h>

namespace pmqtest {

ULONGLONG now_ms() { return KeQueryInterruptTime() / 10000; }

void advance_ms(ULONGLONG ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)(ms * 10000);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// ---------------------------------------------------------------------------------------------

Request::Request(UCHAR major, ULONG length, ULONG control_code) : data_(length ? length : 1) {
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(1, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
    stack->MajorFunction = major;
    if (major == IRP_MJ_READ)
        stack->Parameters.Read.Length = length;
    else if (major == IRP_MJ_WRITE)
        stack->Parameters.Write.Length = length;
    else {
        stack->Parameters.DeviceIoControl.IoControlCode = control_code;
        stack->Parameters.DeviceIoControl.OutputBufferLength = length;
    }
    irp_->AssociatedIrp.SystemBuffer = data_.data();
    irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp_, completion_routine, this, TRUE, TRUE, TRUE);
}

Request::~Request() {
    if (irp_ && done()) {
        irp_->MdlAddress = nullptr;
        IoFreeIrp(irp_);
    } else if (irp_) {
        ADD_FAILURE() << "a request was never completed";
    }
    if (mdl_)
        IoFreeMdl(mdl_);
}

void Request::use_mdl() {
    mdl_ = IoAllocateMdl(data_.data(), (ULONG)data_.size(), FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, mdl_);
    MmBuildMdlForNonPagedPool(mdl_);
    irp_->MdlAddress = mdl_;
    irp_->AssociatedIrp.SystemBuffer = nullptr;
}

NTSTATUS Request::completion_routine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    Request* request = static_cast<Request*>(context);
    request->status_ = irp->IoStatus.Status;
    request->information_ = irp->IoStatus.Information;
    request->completed_at_ms_ = now_ms();
    request->completions_.fetch_add(1);
    if (request->on_complete)
        request->on_complete(*request);
    KeSetEvent(&request->event_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::vector<UCHAR> Request::received() const {
    return std::vector<UCHAR>(data_.begin(), data_.begin() + (ptrdiff_t)std::min<ULONG_PTR>(information_, data_.size()));
}

bool Request::wait(ULONGLONG timeout_ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)(timeout_ms * 10000);
    return KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------

BOOLEAN ChunkSink::routine(PVOID context, CPmBuffer* chunk) {
    ChunkSink* sink = static_cast<ChunkSink*>(context);
    if (sink->refuse.load()) {
        chunk->m_Delete();
        return FALSE;
    }
    ULONG length = chunk->m_ulLength;
    {
        std::lock_guard lock(sink->mutex_);
        sink->bytes_.insert(sink->bytes_.end(), chunk->m_pucData, chunk->m_pucData + length);
        sink->sizes_.push_back(length);
    }
    chunk->m_Delete();
    if (sink->on_chunk)
        sink->on_chunk(length);
    return TRUE;
}

std::vector<UCHAR> ChunkSink::take_bytes() {
    std::lock_guard lock(mutex_);
    return std::exchange(bytes_, {});
}

size_t ChunkSink::chunk_count() {
    std::lock_guard lock(mutex_);
    return sizes_.size();
}

std::vector<ULONG> ChunkSink::chunk_sizes() {
    std::lock_guard lock(mutex_);
    return sizes_;
}

CPmBuffer* make_buffer(const std::vector<UCHAR>& bytes) {
    auto* buffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (!buffer)
        return nullptr;
    buffer->m_pPool = g_pPmMemoryPool;
    if (!bytes.empty() && !buffer->m_Assign(bytes.data(), (ULONG)bytes.size())) {
        buffer->m_Delete();
        return nullptr;
    }
    return buffer;
}

std::vector<UCHAR> bytes_of(const std::string& text) { return std::vector<UCHAR>(text.begin(), text.end()); }

// ---------------------------------------------------------------------------------------------

QueueDevice::QueueDevice() {
    driver_ = hvsim::io::create_driver_object(u"PmQueueTest", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\PmQueueTest");
    EXPECT_NE(driver_, nullptr);
    driver_->MajorFunction[IRP_MJ_READ] = dispatch;
    driver_->MajorFunction[IRP_MJ_WRITE] = dispatch;
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(QueueDevice*), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device));
    *static_cast<QueueDevice**>(device->DeviceExtension) = this;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    read = new (NonPagedPool) CPmReadQueue();
    write = new (NonPagedPool) CPmWriteQueue();
    control = new (NonPagedPool) CPmControlQueue();
    EXPECT_TRUE(write->m_Initialize(ChunkSink::routine, &sink, device));
}

QueueDevice::~QueueDevice() {
    destroy_queues();
    IoDeleteDevice(device);
    hvsim::io::delete_driver_object(driver_);
}

void QueueDevice::destroy_queues() {
    PmDeleteObject(read);
    PmDeleteObject(write);
    PmDeleteObject(control);
    read = nullptr;
    write = nullptr;
    control = nullptr;
}

NTSTATUS QueueDevice::dispatch(PDEVICE_OBJECT device, PIRP irp) {
    QueueDevice* self = *static_cast<QueueDevice**>(device->DeviceExtension);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_READ:
        if (self->read)
            return self->read->m_QueueIrp(irp);
        break;
    case IRP_MJ_WRITE:
        if (self->write)
            return self->write->m_QueueIrp(irp);
        break;
    case IRP_MJ_DEVICE_CONTROL:
        if (self->control)
            return self->control->m_QueueIrp(irp);
        break;
    }
    irp->IoStatus.Status = STATUS_DELETE_PENDING;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
}

NTSTATUS QueueDevice::send(Request& request) { return IoCallDriver(device, request.irp()); }

// ---------------------------------------------------------------------------------------------

static ULONG tracked_allocations() {
    if (!g_pPmMemoryPool)
        return 0;
    ULONG blocks = 0, next_slot = 0;
    g_pPmMemoryPool->m_QueryTracking(&blocks, &next_slot, nullptr);
    return (blocks - 1) * (PM_TRACKING_SLOTS - 1) + next_slot - 1;
}

void QueueTest::SetUp() {
    hvsim::KernelOptions options;
    options.clock = hvsim::ClockMode::Virtual;
    hvsim::kernel_boot(options);
    ASSERT_TRUE(CPmMemoryPool::m_CreateGlobal());
}

void QueueTest::TearDown() {
    EXPECT_EQ(0u, tracked_allocations()) << "pool allocations still held at the end of the test";
    CPmMemoryPool::m_DestroyGlobal();
    hvsim::kernel_shutdown();
}

static const char16_t kTraceServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmQueueTrace";

TraceSession::TraceSession(std::initializer_list<ULONG> levels) {
    EXPECT_EQ(STATUS_SUCCESS, hvsim::registry::create_key(kTraceServiceKey));
    RtlInitUnicodeString(&service_path_, kTraceServiceKey);
    BOOLEAN ok = FALSE;
    manager_ = new (NonPagedPool) CPmDebugManager(nullptr, u"PmQueueTrace", &service_path_, &ok);
    EXPECT_TRUE(manager_ && ok);
    driver_ = hvsim::io::create_driver_object(u"PmQueueTrace", kTraceServiceKey);
    EXPECT_EQ(STATUS_SUCCESS, CPmDebugManager::m_InitializeDriverTracing(driver_, &service_path_));
    g_pPmDebugManager = manager_;
    // The debug manager's level table: control GUID and flag of each level.
    struct Range {
        ULONG first, last, guid;
    };
    static const Range kRanges[] = {{1, 2, 1}, {3, 4, 2}, {5, 6, 3}, {7, 30, 4}, {31, 34, 5}, {35, 38, 6}, {39, 54, 7}};
    std::vector<ULONG> flags(PM_TRACE_CONTROL_GUIDS, 0);
    for (ULONG level : levels) {
        if (level == 55 || level == 56)
            level = 17;
        for (const Range& range : kRanges)
            if (level >= range.first && level <= range.last)
                flags[range.guid] |= 1u << (level - range.first);
    }
    std::string image = hvsim::pool::image_of_address(reinterpret_cast<const void*>(&now_ms));
    for (ULONG guid = 0; guid < PM_TRACE_CONTROL_GUIDS; ++guid)
        if (flags[guid])
            hvsim::trace_log::enable(g_aPmTraceControlGuids[guid], flags[guid], TRACE_LEVEL_VERBOSE, image);
}

TraceSession::~TraceSession() {
    g_pPmDebugManager = nullptr;
    hvsim::trace_log::disable_all();
    if (manager_) {
        manager_->m_UnregisterEventSource();
        delete manager_;
    }
    if (driver_) {
        CPmDebugManager::m_CleanupTracing(driver_);
        hvsim::io::delete_driver_object(driver_);
    }
}

std::vector<std::string> TraceSession::lines() const {
    std::vector<std::string> lines;
    for (const auto& record : hvsim::trace_log::records())
        lines.push_back(record.text());
    return lines;
}

bool TraceSession::contains(const std::string& start) const {
    for (const auto& line : lines())
        if (line.rfind(start, 0) == 0)
            return true;
    return false;
}

void Threads::start(int count, const std::string& name, std::function<void(int)> body) {
    for (int i = 0; i < count; ++i)
        threads_.push_back(hvsim::sched::start_thread(name + " " + std::to_string(i), [body, i] { body(i); }));
}

void Threads::join() {
    for (auto& thread : threads_)
        if (thread.joinable())
            hvsim::sched::join(thread);
    threads_.clear();
}

} // namespace pmqtest
