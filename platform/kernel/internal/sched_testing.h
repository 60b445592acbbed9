// Helpers for the scheduler's tests: a fresh kernel per test, time in readable units, threads.
#pragma once

#include <hvsim/kernel.h>
#include <hvsim/sched.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace hvsim::ktest {

constexpr int64_t ms(int64_t n) { return n * sched::kTicksPerMillisecond; }
constexpr int64_t sec(int64_t n) { return n * sched::kTicksPerSecond; }

// A Windows relative timeout.
inline LARGE_INTEGER after(int64_t ticks) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ticks;
    return timeout;
}

inline LARGE_INTEGER zero_timeout() {
    LARGE_INTEGER timeout;
    timeout.QuadPart = 0;
    return timeout;
}

template <ClockMode Mode> class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Death tests run in a fresh process: the kernel's threads do not survive a fork.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        KernelOptions options;
        options.clock = Mode;
        kernel_boot(options);
    }
    void TearDown() override { kernel_shutdown(); }

    // Waits on a kernel object with a relative timeout.
    static NTSTATUS wait(PVOID object, int64_t timeout_ticks) {
        LARGE_INTEGER timeout = after(timeout_ticks);
        return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
    }
    static NTSTATUS wait_forever(PVOID object) {
        return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    }
    static NTSTATUS poll(PVOID object) {
        LARGE_INTEGER timeout = zero_timeout();
        return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
    }
    static void delay(int64_t ticks) {
        LARGE_INTEGER interval = after(ticks);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
};

using VirtualKernelTest = KernelTest<ClockMode::Virtual>;
using RealKernelTest = KernelTest<ClockMode::Real>;

// Machine threads started together and joined together (also when a test fails early).
class MachineThreads {
public:
    MachineThreads() = default;
    MachineThreads(const MachineThreads&) = delete;
    MachineThreads& operator=(const MachineThreads&) = delete;
    ~MachineThreads() { join(); }

    // Starts count threads running body(index).
    void start(int count, const std::string& name, std::function<void(int)> body) {
        for (int i = 0; i < count; ++i)
            threads_.push_back(sched::start_thread(name + " " + std::to_string(i), [body, i] { body(i); }));
    }
    void join() {
        for (auto& thread : threads_)
            if (thread.joinable()) sched::join(thread);
        threads_.clear();
    }

private:
    std::vector<std::thread> threads_;
};

// Real time spent by a callable, for checking that virtual waits cost none.
template <class F> std::chrono::milliseconds real_time_of(F&& body) {
    auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

} // namespace hvsim::ktest
