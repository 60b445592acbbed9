// The debugger log: kept in memory, mirrored to "debugger.log" in the machine's folder and, with
// HVSIM_DEBUG=1, to stderr.
//
//   DbgBreakPoint RtlAssert hvsim::debugger_log_write hvsim::debug_log::text lines count contains clear
//   break_points set_mirror_file
#include <hvsim/debug_log.h>
#include <hvsim/pool.h>
#include <hvsim/kernel.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace hvsim {
namespace {

struct LogState {
    std::mutex mutex;
    std::string text;
    FILE* mirror = nullptr;
    bool to_stderr = false;
};

std::atomic<uint64_t> g_break_points{0};

LogState& log_state() {
    static LogState* s = new LogState;
    return *s;
}

void open_mirror(LogState& s, const std::string& path) {
    if (s.mirror) std::fclose(s.mirror);
    s.mirror = path.empty() ? nullptr : std::fopen(path.c_str(), "a");
}

void boot(const KernelOptions& options) {
    auto& s = log_state();
    std::lock_guard lock(s.mutex);
    s.text.clear();
    g_break_points = 0;
    const char* env = std::getenv("HVSIM_DEBUG");
    s.to_stderr = env && std::strcmp(env, "1") == 0;
    open_mirror(s, options.root.empty() ? std::string() : (options.root / "debugger.log").string());
}

void shutdown() {
    auto& s = log_state();
    std::lock_guard lock(s.mutex);
    open_mirror(s, {});
}

const bool registered = [] {
    register_kernel_subsystem({"debugger log", -100, boot, shutdown});
    return true;
}();

// Counted and logged; the machine goes on.
void break_point(const void* caller) {
    uint64_t n = ++g_break_points;
    debugger_log_write("*** break point " + std::to_string(n) + " in " + pool::image_of_address(caller) + "\n");
}

} // namespace

void debugger_log_write(const std::string& text) {
    auto& s = log_state();
    std::lock_guard lock(s.mutex);
    s.text += text;
    if (s.mirror) {
        std::fwrite(text.data(), 1, text.size(), s.mirror);
        std::fflush(s.mirror);
    }
    if (s.to_stderr) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

namespace debug_log {

std::string text() {
    auto& s = log_state();
    std::lock_guard lock(s.mutex);
    return s.text;
}

std::vector<std::string> lines() {
    std::string all = text();
    std::vector<std::string> out;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            out.push_back(all.substr(start));
            break;
        }
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

size_t count(std::string_view needle) {
    size_t n = 0;
    for (const auto& line : lines())
        if (line.find(needle) != std::string::npos) ++n;
    return n;
}

bool contains(std::string_view needle) { return text().find(needle) != std::string::npos; }

void clear() {
    auto& s = log_state();
    std::lock_guard lock(s.mutex);
    s.text.clear();
    g_break_points = 0;
}

uint64_t break_points() { return g_break_points; }

void set_mirror_file(const std::string& path) {
    auto& s = log_state();
    std::lock_guard lock(s.mutex);
    open_mirror(s, path);
}

} // namespace debug_log
} // namespace hvsim

HV_EXTERN_C_BEGIN

VOID DbgBreakPoint(void) { hvsim::break_point(__builtin_return_address(0)); }

VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage) {
    std::string text = "*** Assertion failed: ";
    if (MutableMessage) text += std::string(MutableMessage) + " ";
    text += VoidFailedAssertion ? (const char*)VoidFailedAssertion : "?";
    text += "\n***   Source File: ";
    text += VoidFileName ? (const char*)VoidFileName : "?";
    text += ", line " + std::to_string(LineNumber) + "\n";
    hvsim::debugger_log_write(text);
    hvsim::break_point(__builtin_return_address(0));
}

HV_EXTERN_C_END
