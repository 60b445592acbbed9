// The machine's clock and scheduler, for platform code (host controller, emulated devices, user
// mode, the machine).
//
// Time is counted in 100-ns ticks since boot. With the virtual clock, time stands still while any
// machine thread runs; when every machine thread is blocked (in a kernel wait or delay, the idle
// DPC thread, or one of the primitives below), time jumps to the earliest deadline and that
// deadline fires. With the real clock the same calls wait for real.
//
// Every thread that waits in the kernel or through these primitives is a machine thread; it is
// registered on first use and counts as running until it blocks here or exits. So a machine
// thread must never block where the scheduler cannot see it (a std::condition_variable, a join,
// a read from a pty) unless it says so with ExternalWait: the clock would stand still meanwhile.
#pragma once

#include <hvsim/kernel.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace hvsim::sched {

namespace detail {
// Threads waiting on one of the primitives below, linked through nodes on their own stacks.
struct WaitNode;
struct WaitQueue {
    WaitNode* head = nullptr;
    WaitNode* tail = nullptr;
};
} // namespace detail

constexpr int64_t kTicksPerMicrosecond = 10;
constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kTicksPerSecond = 10'000'000;

// Machine time: 100-ns ticks since boot.
int64_t now();
ClockMode clock_mode();
// System time at boot (100-ns units since 1601): a fixed date with the virtual clock, the real
// date with the real one.
int64_t boot_system_time();
// The fixed boot date of the virtual clock: 2013-03-01 08:00:00 UTC.
constexpr int64_t kVirtualBootSystemTime = (11'644'473'600LL + 1'362'124'800LL) * kTicksPerSecond;

// Converts a Windows timeout (negative relative, positive absolute system time, 100-ns units)
// into an absolute machine-time deadline.
int64_t deadline_from_timeout(int64_t timeout);

// Registers the calling thread as a machine thread for its lifetime, under a name that the stall
// diagnostic shows. Threads are registered automatically on first use; this only names them
// earlier. Nesting on one thread is harmless.
class MachineThread {
public:
    explicit MachineThread(std::string name);
    ~MachineThread();
    MachineThread(const MachineThread&) = delete;
    MachineThread& operator=(const MachineThread&) = delete;

private:
    bool owns_;
};

// Names the calling machine thread (registering it if needed).
void set_thread_name(std::string name);

// Marks a stretch in which the calling machine thread blocks on something outside the machine
// (a pty, a join of a foreign thread): it counts as blocked meanwhile, with no deadline.
class ExternalWait {
public:
    explicit ExternalWait(const char* what);
    ~ExternalWait();
    ExternalWait(const ExternalWait&) = delete;
    ExternalWait& operator=(const ExternalWait&) = delete;
};

// Starts a std::thread that is a machine thread from its first instruction: the creator counts it
// as running before it is scheduled, so the clock cannot jump past its first steps.
std::thread start_thread(std::string name, std::function<void()> body);
// Joins a thread as an external wait.
void join(std::thread& thread);
// Abandons the mutexes the calling thread still owns, as its end would; for threads whose end is
// observed (a user-mode thread handle) before the machine thread itself retires.
void abandon_owned_mutexes();

// A manual- or auto-reset event. Setting it from any thread (registered or not) works.
class Event {
public:
    enum class Reset { Manual, Auto };
    explicit Event(Reset reset = Reset::Manual, bool initially_set = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    bool is_set() const;
    // Waits until the event is set or the machine-time deadline passes; false on timeout. An
    // auto-reset event is consumed by the wait that it satisfies.
    bool wait(std::optional<int64_t> deadline = std::nullopt);
    bool wait_for(int64_t ticks) { return wait(now() + ticks); }

private:
    bool auto_reset_;
    std::atomic<bool> set_;     // written under the scheduler's lock; set() reads it without
    detail::WaitQueue waiters_; // guarded by the scheduler's lock
};

// A condition variable over a std::mutex. Waiting releases the caller's lock and counts as
// blocked. Notifying from any thread works.
class ConditionVariable {
public:
    ConditionVariable() = default;
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    void notify_one();
    void notify_all();
    // False when the deadline passed without a notification.
    bool wait_until(std::unique_lock<std::mutex>& lock, std::optional<int64_t> deadline);
    void wait(std::unique_lock<std::mutex>& lock) { wait_until(lock, std::nullopt); }
    template <class Predicate>
    bool wait_until(std::unique_lock<std::mutex>& lock, std::optional<int64_t> deadline, Predicate predicate) {
        while (!predicate())
            if (!wait_until(lock, deadline)) return predicate();
        return true;
    }
    template <class Predicate> void wait(std::unique_lock<std::mutex>& lock, Predicate predicate) {
        while (!predicate()) wait(lock);
    }

private:
    detail::WaitQueue waiters_; // guarded by the scheduler's lock
};

void sleep_until(int64_t deadline);
void sleep_for(int64_t ticks);

// For tests and diagnostics.
struct SchedulerStats {
    size_t machine_threads; // registered and alive
    size_t running_threads; // of which not blocked
    size_t system_threads;  // created by PsCreateSystemThread and not yet ended
    uint64_t clock_jumps;   // times the virtual clock moved to a deadline
};
SchedulerStats stats();
// One line per machine thread: its name and what it waits on.
std::string describe_threads();

} // namespace hvsim::sched
