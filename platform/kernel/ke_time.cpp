// Time as drivers see it, all from the machine clock.
//
//   KeQuerySystemTime          100-ns units since 1601: the boot date plus machine time
//   KeQueryInterruptTime       100-ns units since boot
//   KeQueryTickCount           clock ticks of KeQueryTimeIncrement since boot
//   KeQueryTimeIncrement       156250 (15.625 ms)
//   KeQueryPerformanceCounter  10 MHz
//   KeStallExecutionProcessor  a busy wait with the real clock; no time passes with the virtual one
#include "sched_internal.h"

#include <chrono>

namespace {
constexpr ULONG kTimeIncrement = 156250;
constexpr LONGLONG kPerformanceFrequency = 10'000'000;
} // namespace

HV_EXTERN_C_BEGIN

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = hvsim::sched::boot_system_time() + hvsim::sched::now();
}

ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(hvsim::sched::now()); }

void KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = hvsim::sched::now() / kTimeIncrement; }

ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = kPerformanceFrequency;
    LARGE_INTEGER counter;
    counter.QuadPart = hvsim::sched::now() * (kPerformanceFrequency / hvsim::sched::kTicksPerSecond);
    return counter;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
    if (hvsim::sched::clock_mode() == hvsim::ClockMode::Virtual) return;
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < until) {}
}

HV_EXTERN_C_END
