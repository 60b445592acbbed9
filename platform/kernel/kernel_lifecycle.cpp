// Boot and shutdown of the stand-in kernel, and the bug check.
#include <hvsim/kernel.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace hvsim {
namespace {

struct LifecycleState {
    std::mutex mutex;
    std::vector<KernelSubsystem> subsystems;
    bool running = false;
    KernelOptions options;
    std::function<void(ULONG, const std::string&)> bug_check_handler;
};

LifecycleState& state() {
    static LifecycleState* s = new LifecycleState; // never destroyed: used from static initialisers
    return *s;
}

} // namespace

void register_kernel_subsystem(const KernelSubsystem& subsystem) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.subsystems.push_back(subsystem);
    std::stable_sort(s.subsystems.begin(), s.subsystems.end(),
                     [](const KernelSubsystem& a, const KernelSubsystem& b) { return a.order < b.order; });
}

void kernel_boot(const KernelOptions& options) {
    auto& s = state();
    std::vector<KernelSubsystem> subsystems;
    {
        std::lock_guard lock(s.mutex);
        if (s.running) bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "kernel_boot: the kernel is already running");
        s.options = options;
        s.running = true;
        subsystems = s.subsystems;
    }
    for (const auto& subsystem : subsystems)
        if (subsystem.boot) subsystem.boot(options);
}

void kernel_shutdown() {
    auto& s = state();
    std::vector<KernelSubsystem> subsystems;
    {
        std::lock_guard lock(s.mutex);
        if (!s.running) return;
        subsystems = s.subsystems;
    }
    for (auto it = subsystems.rbegin(); it != subsystems.rend(); ++it)
        if (it->shutdown) it->shutdown();
    std::lock_guard lock(s.mutex);
    s.running = false;
}

bool kernel_running() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.running;
}

const KernelOptions& kernel_options() { return state().options; }

void set_bug_check_handler(std::function<void(ULONG, const std::string&)> handler) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.bug_check_handler = std::move(handler);
}

// Hook for the debugger log, which lives with the tracing code.
void debugger_log_write(const std::string& line) __attribute__((weak));

[[noreturn]] void bug_check(ULONG code, const std::string& message) {
    char head[64];
    std::snprintf(head, sizeof head, "*** BUGCHECK 0x%08X: ", code);
    std::string line = head + message;
    if (debugger_log_write) debugger_log_write(line + "\n");
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    std::function<void(ULONG, const std::string&)> handler;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        handler = s.bug_check_handler;
    }
    if (handler) handler(code, message);
    std::abort();
}

} // namespace hvsim
