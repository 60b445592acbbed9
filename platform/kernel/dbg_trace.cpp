// Software tracing: the trace log that WmiTraceMessage writes, the trace consumers' sessions and
// the drivers' registrations of their trace control GUIDs.
//
//   WmiTraceMessage WmiTraceMessageVa WppInitDriverTracing WppInitDeviceTracing WppCleanupTracing
//   WppTraceControl hvsim::trace_log::records count clear enable disable disable_all registrations
//   set_system_control_deliverer
//
// A session is one consumer's enable of a control GUID, for every image or for one; it owns the
// logger handle that the drivers pass to WmiTraceMessage. A registration's control block takes the
// setting of the session for its own image when there is one, else of the session for all images.
#include <hvsim/debug_log.h>
#include <hvsim/kernel.h>
#include <hvsim/pool.h>
#include <wdm.h>

#include <cstring>
#include <mutex>

namespace hvsim::trace_log {
namespace {

constexpr UCHAR minor_enable_events = 0x04;
constexpr UCHAR minor_disable_events = 0x05;
constexpr size_t max_message_bytes = 0xFFFF;

struct Session {
    TRACEHANDLE logger;
    GUID control;
    ULONG flags;
    UCHAR level;
    std::string image; // empty: every image
};

struct Entry {
    void* object;
    bool through_system_control;
    std::string image;
    PWPP_TRACE_CONTROL_BLOCK blocks;
    ULONG count;
};

// What a registration's block is to become; applied outside the lock, since a delivery reaches the
// driver, which calls WppTraceControl.
struct Action {
    void* object;
    bool through_system_control;
    WPP_TRACE_CONTROL_BLOCK* block;
    GUID control;
    TRACEHANDLE logger;
    ULONG flags;
    UCHAR level;
};

struct State {
    std::mutex mutex;
    std::vector<Session> sessions;
    std::vector<Entry> entries;
    std::vector<Record> records;
    TRACEHANDLE next_logger = 1;
    uint64_t next_sequence = 1;
    SystemControlDeliverer deliverer;
};

State& state() {
    static State* s = new State;
    return *s;
}

const Session* session_for(const State& s, const GUID& control, const std::string& image) {
    const Session* any = nullptr;
    for (const auto& session : s.sessions) {
        if (!(session.control == control)) continue;
        if (session.image == image) return &session;
        if (session.image.empty()) any = &session;
    }
    return any;
}

const Session* session_by_logger(const State& s, TRACEHANDLE logger) {
    for (const auto& session : s.sessions)
        if (session.logger == logger) return &session;
    return nullptr;
}

void collect(const State& s, const Entry& e, const GUID* only, std::vector<Action>* actions) {
    for (ULONG i = 0; i < e.count; ++i) {
        WPP_TRACE_CONTROL_BLOCK* block = &e.blocks[i];
        if (!block->ControlGuid || (only && !(*block->ControlGuid == *only))) continue;
        const Session* session = session_for(s, *block->ControlGuid, e.image);
        Action a{e.object, e.through_system_control, block, *block->ControlGuid, 0, 0, 0};
        if (session) a.logger = session->logger, a.flags = session->flags, a.level = session->level;
        if (a.logger == block->Logger && a.flags == block->Flags && a.level == block->Level) continue;
        actions->push_back(a);
    }
}

void write_block(WPP_TRACE_CONTROL_BLOCK* block, TRACEHANDLE logger, ULONG flags, UCHAR level) {
    block->Flags = flags;
    block->Level = level;
    block->Logger = logger;
}

std::vector<uint8_t> control_buffer(const GUID& control, TRACEHANDLE logger) {
    WNODE_HEADER header;
    std::memset(&header, 0, sizeof header);
    header.BufferSize = sizeof header;
    header.HistoricalContext = logger;
    header.Guid = control;
    header.Flags = WNODE_FLAG_TRACED_GUID;
    std::vector<uint8_t> buffer(sizeof header);
    std::memcpy(buffer.data(), &header, sizeof header);
    return buffer;
}

void run(const std::vector<Action>& actions) {
    SystemControlDeliverer deliverer;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        deliverer = s.deliverer;
    }
    for (const auto& a : actions) {
        if (a.through_system_control && deliverer)
            deliverer(a.object, a.logger ? minor_enable_events : minor_disable_events,
                      control_buffer(a.control, a.logger));
        else
            write_block(a.block, a.logger, a.flags, a.level);
    }
}

std::vector<Action> collect_all(const State& s, const GUID* only) {
    std::vector<Action> actions;
    for (const auto& e : s.entries) collect(s, e, only, &actions);
    return actions;
}

NTSTATUS register_tracing(void* object, bool through_system_control, PWPP_TRACE_CONTROL_BLOCK blocks, ULONG count,
                          const void* caller) {
    if (!object || (count && !blocks)) return STATUS_INVALID_PARAMETER;
    std::vector<Action> actions;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        for (const auto& e : s.entries)
            if (e.object == object) return STATUS_OBJECT_NAME_COLLISION;
        for (ULONG i = 0; i < count; ++i) write_block(&blocks[i], 0, 0, 0);
        s.entries.push_back({object, through_system_control, pool::image_of_address(caller), blocks, count});
        collect(s, s.entries.back(), nullptr, &actions);
    }
    run(actions);
    return STATUS_SUCCESS;
}

NTSTATUS trace_message(TRACEHANDLE logger, ULONG flags, LPCGUID message_guid, USHORT number, va_list* args,
                       const void* caller) {
    Record record;
    record.logger = logger;
    record.flags = flags;
    record.message_guid = message_guid ? *message_guid : GUID{};
    record.number = number;
    size_t total = 0;
    for (;;) {
        const void* data = va_arg(*args, const void*);
        if (!data) break;
        // Only the low 32 bits: a caller that passed a ULONG leaves the upper half undefined.
        size_t length = va_arg(*args, size_t) & 0xFFFFFFFFu;
        total += length;
        if (total > max_message_bytes) return STATUS_INVALID_BUFFER_SIZE;
        auto* bytes = static_cast<const uint8_t*>(data);
        record.arguments.emplace_back(bytes, bytes + length);
    }
    record.image = pool::image_of_address(caller);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    const Session* session = session_by_logger(s, logger);
    if (!session) return STATUS_INVALID_HANDLE;
    record.control_guid = session->control;
    record.sequence = s.next_sequence++;
    s.records.push_back(std::move(record));
    return STATUS_SUCCESS;
}

void boot(const KernelOptions&) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.sessions.clear();
    s.entries.clear();
    s.records.clear();
    s.next_sequence = 1;
    s.deliverer = nullptr;
}

void shutdown() {
    auto& s = state();
    std::vector<std::string> left;
    {
        std::lock_guard lock(s.mutex);
        for (const auto& e : s.entries) left.push_back(e.image);
        s.entries.clear();
        s.sessions.clear();
    }
    for (const auto& image : left)
        debugger_log_write("Kernel shutdown: software tracing of " + image + " is still registered\n");
}

const bool registered = [] {
    register_kernel_subsystem({"trace log", -70, boot, shutdown});
    return true;
}();

} // namespace

std::string Record::text() const {
    if (arguments.empty()) return {};
    const auto& a = arguments[0];
    size_t n = a.size();
    while (n && a[n - 1] == 0) --n;
    return std::string(a.begin(), a.begin() + (ptrdiff_t)n);
}

ULONG Record::ulong_argument(size_t i) const {
    if (i >= arguments.size() || arguments[i].size() < sizeof(ULONG)) return 0;
    ULONG v;
    std::memcpy(&v, arguments[i].data(), sizeof v);
    return v;
}

std::vector<Record> records() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.records;
}

size_t count(const GUID& control_guid, USHORT number) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    size_t n = 0;
    for (const auto& r : s.records)
        if (r.control_guid == control_guid && r.number == number) ++n;
    return n;
}

void clear() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.records.clear();
}

TRACEHANDLE enable(const GUID& control_guid, ULONG flags, UCHAR level, std::string_view image) {
    std::vector<Action> actions;
    TRACEHANDLE logger;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        Session* session = nullptr;
        for (auto& existing : s.sessions)
            if (existing.control == control_guid && existing.image == image) session = &existing;
        if (!session) {
            s.sessions.push_back({s.next_logger++, control_guid, 0, 0, std::string(image)});
            session = &s.sessions.back();
        }
        session->flags = flags;
        session->level = level;
        logger = session->logger;
        actions = collect_all(s, &control_guid);
    }
    run(actions);
    return logger;
}

void disable(const GUID& control_guid, std::string_view image) {
    std::vector<Action> actions;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        std::erase_if(s.sessions, [&](const Session& x) { return x.control == control_guid && x.image == image; });
        actions = collect_all(s, &control_guid);
    }
    run(actions);
}

void disable_all() {
    std::vector<Action> actions;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        s.sessions.clear();
        actions = collect_all(s, nullptr);
    }
    run(actions);
}

std::vector<Registration> registrations() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<Registration> out;
    for (const auto& e : s.entries) {
        Registration r{e.object, e.through_system_control, e.image, {}};
        for (ULONG i = 0; i < e.count; ++i)
            if (e.blocks[i].ControlGuid) r.control_guids.push_back(*e.blocks[i].ControlGuid);
        out.push_back(std::move(r));
    }
    return out;
}

void set_system_control_deliverer(SystemControlDeliverer deliverer) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.deliverer = std::move(deliverer);
}

} // namespace hvsim::trace_log

HV_EXTERN_C_BEGIN

NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber, ...) {
    va_list ap;
    va_start(ap, MessageNumber);
    NTSTATUS status = hvsim::trace_log::trace_message(LoggerHandle, MessageFlags, MessageGuid, MessageNumber, &ap,
                                                      __builtin_return_address(0));
    va_end(ap);
    return status;
}

NTSTATUS WmiTraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber,
                           va_list MessageArgList) {
    va_list ap;
    va_copy(ap, MessageArgList);
    NTSTATUS status = hvsim::trace_log::trace_message(LoggerHandle, MessageFlags, MessageGuid, MessageNumber, &ap,
                                                      __builtin_return_address(0));
    va_end(ap);
    return status;
}

NTSTATUS WppInitDriverTracing(PVOID DriverObject, PCUNICODE_STRING RegistryPath, PWPP_TRACE_CONTROL_BLOCK Blocks,
                              ULONG Count) {
    return hvsim::trace_log::register_tracing(DriverObject, false, Blocks, Count, __builtin_return_address(0));
}

NTSTATUS WppInitDeviceTracing(PVOID DeviceObject, PCUNICODE_STRING RegistryPath, PWPP_TRACE_CONTROL_BLOCK Blocks,
                              ULONG Count) {
    return hvsim::trace_log::register_tracing(DeviceObject, true, Blocks, Count, __builtin_return_address(0));
}

VOID WppCleanupTracing(PVOID DriverOrDeviceObject) {
    auto& s = hvsim::trace_log::state();
    std::lock_guard lock(s.mutex);
    for (auto it = s.entries.begin(); it != s.entries.end(); ++it) {
        if (it->object != DriverOrDeviceObject) continue;
        for (ULONG i = 0; i < it->count; ++i) hvsim::trace_log::write_block(&it->blocks[i], 0, 0, 0);
        s.entries.erase(it);
        return;
    }
}

NTSTATUS WppTraceControl(PVOID DeviceObject, UCHAR MinorFunction, PVOID Buffer, ULONG BufferSize, PULONG ReturnSize) {
    using namespace hvsim::trace_log;
    if (ReturnSize) *ReturnSize = 0;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    const Entry* entry = nullptr;
    for (const auto& e : s.entries)
        if (e.object == DeviceObject) entry = &e;
    if (!entry) return STATUS_INVALID_PARAMETER;
    if (MinorFunction != minor_enable_events && MinorFunction != minor_disable_events)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!Buffer || BufferSize < sizeof(WNODE_HEADER)) return STATUS_BUFFER_TOO_SMALL;
    WNODE_HEADER header;
    std::memcpy(&header, Buffer, sizeof header);
    for (ULONG i = 0; i < entry->count; ++i) {
        WPP_TRACE_CONTROL_BLOCK* block = &entry->blocks[i];
        if (!block->ControlGuid || !(*block->ControlGuid == header.Guid)) continue;
        if (MinorFunction == minor_disable_events) {
            write_block(block, 0, 0, 0);
            return STATUS_SUCCESS;
        }
        const Session* session = session_by_logger(s, header.HistoricalContext);
        if (!session) return STATUS_INVALID_PARAMETER;
        write_block(block, session->logger, session->flags, session->level);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

HV_EXTERN_C_END
