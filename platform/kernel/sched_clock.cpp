// The machine clock: one per kernel boot, real or virtual, in 100-ns ticks since boot.
//
//   now, clock_mode, boot_system_time, deadline_from_timeout
//   reset_clock (boot)
#include "sched_internal.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace hvsim::sched {

using namespace detail;

int64_t now() {
    auto& d = dispatcher();
    if (d.mode.load(std::memory_order_relaxed) == ClockMode::Virtual) return d.virtual_now.load();
    return (std::chrono::steady_clock::now().time_since_epoch().count() - d.real_base_ns.load()) / 100;
}

ClockMode clock_mode() { return dispatcher().mode.load(); }

int64_t boot_system_time() { return dispatcher().boot_system_time.load(); }

int64_t deadline_from_timeout(int64_t timeout) {
    // Far enough to mean never (some 7000 years), near enough that adding a timer period or the
    // boot date cannot overflow.
    constexpr int64_t kNever = std::numeric_limits<int64_t>::max() / 2;
    int64_t current = now();
    int64_t at;
    if (timeout < 0)
        at = timeout < -kNever ? kNever : current - timeout;
    else
        at = timeout - boot_system_time();
    return std::clamp(at, current, kNever);
}

} // namespace hvsim::sched

namespace hvsim::sched::detail {

void reset_clock(ClockMode mode) {
    auto& d = dispatcher();
    Lock lock(d.lock);
    d.mode.store(mode);
    d.virtual_now.store(0);
    d.real_base_ns.store(std::chrono::steady_clock::now().time_since_epoch().count());
    d.clock_jumps = 0;
    if (mode == ClockMode::Virtual) {
        d.boot_system_time.store(kVirtualBootSystemTime);
    } else {
        constexpr int64_t k1601To1970 = 11'644'473'600LL * kTicksPerSecond;
        auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
        d.boot_system_time.store(k1601To1970 +
                                 std::chrono::duration_cast<std::chrono::nanoseconds>(since_1970).count() / 100);
    }
}

} // namespace hvsim::sched::detail
