// The URB log and the fault rules.
#include "usb_internal.h"

#include <cstdio>

namespace hvsim::usb::detail {
namespace {

constexpr size_t kLogCapacity = 200'000;

struct FunctionName {
    USHORT function;
    const char* name;
};

constexpr FunctionName kFunctionNames[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, "SELECT_CONFIGURATION"},
    {URB_FUNCTION_SELECT_INTERFACE, "SELECT_INTERFACE"},
    {URB_FUNCTION_ABORT_PIPE, "ABORT_PIPE"},
    {URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, "GET_CURRENT_FRAME_NUMBER"},
    {URB_FUNCTION_CONTROL_TRANSFER, "CONTROL_TRANSFER"},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, "BULK_OR_INTERRUPT_TRANSFER"},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, "GET_DESCRIPTOR_FROM_DEVICE"},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, "SET_DESCRIPTOR_TO_DEVICE"},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, "SET_FEATURE_TO_DEVICE"},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, "SET_FEATURE_TO_INTERFACE"},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, "SET_FEATURE_TO_ENDPOINT"},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, "CLEAR_FEATURE_TO_DEVICE"},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, "CLEAR_FEATURE_TO_INTERFACE"},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, "CLEAR_FEATURE_TO_ENDPOINT"},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, "GET_STATUS_FROM_DEVICE"},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, "GET_STATUS_FROM_INTERFACE"},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, "GET_STATUS_FROM_ENDPOINT"},
    {URB_FUNCTION_VENDOR_DEVICE, "VENDOR_DEVICE"},
    {URB_FUNCTION_VENDOR_INTERFACE, "VENDOR_INTERFACE"},
    {URB_FUNCTION_VENDOR_ENDPOINT, "VENDOR_ENDPOINT"},
    {URB_FUNCTION_CLASS_DEVICE, "CLASS_DEVICE"},
    {URB_FUNCTION_CLASS_INTERFACE, "CLASS_INTERFACE"},
    {URB_FUNCTION_CLASS_ENDPOINT, "CLASS_ENDPOINT"},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, "SYNC_RESET_PIPE_AND_CLEAR_STALL"},
    {URB_FUNCTION_CLASS_OTHER, "CLASS_OTHER"},
    {URB_FUNCTION_VENDOR_OTHER, "VENDOR_OTHER"},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, "GET_STATUS_FROM_OTHER"},
    {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, "CLEAR_FEATURE_TO_OTHER"},
    {URB_FUNCTION_SET_FEATURE_TO_OTHER, "SET_FEATURE_TO_OTHER"},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, "GET_DESCRIPTOR_FROM_ENDPOINT"},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, "SET_DESCRIPTOR_TO_ENDPOINT"},
    {URB_FUNCTION_GET_CONFIGURATION, "GET_CONFIGURATION"},
    {URB_FUNCTION_GET_INTERFACE, "GET_INTERFACE"},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, "GET_DESCRIPTOR_FROM_INTERFACE"},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, "SET_DESCRIPTOR_TO_INTERFACE"},
    {URB_FUNCTION_SYNC_RESET_PIPE, "SYNC_RESET_PIPE"},
    {URB_FUNCTION_SYNC_CLEAR_STALL, "SYNC_CLEAR_STALL"},
    {URB_FUNCTION_CONTROL_TRANSFER_EX, "CONTROL_TRANSFER_EX"},
    {kResetPortRecord, "RESET_PORT"},
};

USHORT function_of(const Transfer& t) { return t.urb ? t.urb->UrbHeader.Function : kResetPortRecord; }

bool matches(const UrbMatch& m, const Transfer& t) {
    if (m.port && *m.port != t.device->port) return false;
    if (m.interface && *m.interface != t.interface) return false;
    if (m.function && *m.function != function_of(t)) return false;
    if (m.endpoint && *m.endpoint != (t.pipe ? t.pipe->endpoint.address : 0)) return false;
    if (m.request && (t.op != Op::control || *m.request != t.setup.request)) return false;
    if (m.in && *m.in != t.in) return false;
    return true;
}

char hex_digit(unsigned v) { return "0123456789ABCDEF"[v & 15]; }

void append(State& s, UrbRecord record) {
    s.log.push_back(std::move(record));
    if (s.log.size() > kLogCapacity) {
        s.log.pop_front();
        ++s.first_serial;
    }
}

} // namespace

void log_submission(Transfer& t) {
    State& s = state();
    UrbRecord r;
    r.serial = s.next_serial++;
    t.serial = r.serial;
    r.submitted = sched::now();
    r.port = t.device->port;
    r.interface = t.interface;
    r.function = function_of(t);
    r.in = t.in;
    if (t.op == Op::control) {
        r.request_type = t.setup.request_type;
        r.request = t.setup.request;
        r.value = t.setup.value;
        r.index = t.setup.index;
    }
    r.length = t.length;
    r.endpoint = t.pipe ? t.pipe->endpoint.address : 0;
    append(s, std::move(r));
}

void log_own_request(const Device& device, USHORT function, USBD_STATUS status) {
    State& s = state();
    UrbRecord r;
    r.serial = s.next_serial++;
    r.submitted = r.completed = sched::now();
    r.port = device.port;
    r.function = function;
    r.status = status;
    r.irp_status = irp_status_of(status);
    append(s, std::move(r));
}

void log_completion(const Transfer& t, USBD_STATUS status, NTSTATUS irp_status) {
    State& s = state();
    if (t.serial < s.first_serial || t.serial - s.first_serial >= s.log.size()) return;
    UrbRecord& r = s.log[t.serial - s.first_serial];
    r.completed = sched::now();
    r.transferred = t.done;
    r.status = status;
    r.irp_status = irp_status;
}

void apply_faults(Transfer& t, int64_t now) {
    State& s = state();
    for (State::Rule& rule : s.rules) {
        if (!matches(rule.match, t)) continue;
        if (++rule.seen <= rule.match.skip) continue;
        if (rule.match.count && rule.applied >= rule.match.count) continue;
        ++rule.applied;
        ++s.injected;
        char text[64];
        switch (rule.fault.kind) {
        case FaultKind::fail:
            t.preset_status = rule.fault.status ? rule.fault.status : USBD_STATUS_XACT_ERROR;
            std::snprintf(text, sizeof text, "fail 0x%08X", (unsigned)t.preset_status);
            break;
        case FaultKind::hold:
            t.hold = true;
            std::snprintf(text, sizeof text, "hold");
            break;
        case FaultKind::delay:
            t.not_before = now + rule.fault.delay;
            std::snprintf(text, sizeof text, "delay %lld us",
                          (long long)(rule.fault.delay / sched::kTicksPerMicrosecond));
            break;
        }
        if (!s.log.empty() && s.log.back().serial == t.serial) s.log.back().fault = text;
        return;
    }
}

} // namespace hvsim::usb::detail

namespace hvsim::usb {

using namespace detail;

std::string function_name(USHORT function) {
    for (const FunctionName& f : kFunctionNames)
        if (f.function == function) return f.name;
    std::string text = "FUNCTION_0x0000";
    for (int i = 0; i < 4; ++i) text[14 - i] = hex_digit(function >> (4 * i));
    return text;
}

std::string UrbRecord::text() const {
    char line[256];
    std::snprintf(line, sizeof line, "#%llu port %u if %d %s %s", (unsigned long long)serial, (unsigned)port, interface,
                  function_name(function).c_str(), in ? "IN" : "OUT");
    std::string out = line;
    if (function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && function != kResetPortRecord) {
        std::snprintf(line, sizeof line, " type=0x%02X req=0x%02X value=0x%04X index=0x%04X", request_type, request,
                      value, index);
        out += line;
    }
    std::snprintf(line, sizeof line, " len=%u ep=0x%02X", (unsigned)length, endpoint);
    out += line;
    if (!fault.empty()) out += " [" + fault + "]";
    if (completed < 0) {
        out += " pending";
    } else {
        std::snprintf(line, sizeof line, " -> 0x%08X/0x%08X %u bytes", (unsigned)irp_status, (unsigned)status,
                      (unsigned)transferred);
        out += line;
    }
    return out;
}

std::vector<UrbRecord> urb_log() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return {s.log.begin(), s.log.end()};
}

void clear_urb_log() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.first_serial = s.next_serial;
    s.log.clear();
}

void inject(const UrbMatch& match, const UrbFault& fault) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.rules.push_back({match, fault, 0, 0});
}

void clear_faults() {
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.rules.clear();
    }
    wake_all_lanes();
}

uint64_t injected_count() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.injected;
}

} // namespace hvsim::usb
