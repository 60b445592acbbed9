// The scheduler's part in kernel boot and shutdown. It boots first and shuts down last.
//
// Boot: a fresh clock of the chosen kind and a DPC thread.
// Shutdown: system threads must have ended (they run driver code that is about to go away);
// timers still set are cancelled; the DPC thread drains its queue and stops; mutexes still owned
// are forgotten, since the memory they live in belongs to the kernel that goes.
#include "sched_internal.h"

#include <cstdio>

namespace {

using namespace hvsim::sched::detail;

// How long shutdown waits for system threads to end, in machine time.
constexpr int64_t kSystemThreadGrace = 5 * hvsim::sched::kTicksPerSecond;

void boot(const hvsim::KernelOptions& options) {
    reset_clock(options.clock);
    // The booting thread drives the machine: it counts as running from here on, so the clock
    // does not move while it sets things up.
    current_thread();
    start_dpc_thread();
}

void shutdown() {
    std::string remaining = wait_for_system_threads(hvsim::sched::now() + kSystemThreadGrace);
    if (!remaining.empty())
        hvsim::bug_check(hvsim::DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                         "kernel shutdown: system threads still running:\n" + remaining);
    if (size_t cancelled = cancel_all_timers())
        std::fprintf(stderr, "hvsim: kernel shutdown cancelled %zu timer(s) still set\n", cancelled);
    stop_dpc_thread();
    cancel_all_timers(); // set again by the last DPCs
    forget_owned_mutexes();
}

struct Registration {
    Registration() { hvsim::register_kernel_subsystem({"scheduler", -1000, boot, shutdown}); }
} g_registration;

} // namespace
