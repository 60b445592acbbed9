// Blocking primitives for platform code, on the machine clock.
//
//   Event (manual or auto reset), ConditionVariable, sleep_until, sleep_for
//
// All of them keep their state under the scheduler's lock and wait through its wait queues, so
// a waiter counts as blocked and a deadline takes part in the virtual clock's jumps.
#include "sched_internal.h"

namespace hvsim::sched {

using namespace detail;

Event::Event(Reset reset, bool initially_set) : auto_reset_(reset == Reset::Auto), set_(initially_set) {}

void Event::set() {
    // Already set means nobody waits: the set merges with the one pending. It is still a release
    // on the flag (true over true), so the wait that consumes it sees what the caller wrote.
    bool expected = true;
    if (set_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return;
    Lock lock(dispatcher().lock);
    if (auto_reset_) {
        if (!queue_wake_one(waiters_)) set_ = true;
    } else {
        set_ = true;
        queue_wake_all(waiters_);
    }
}

void Event::reset() {
    Lock lock(dispatcher().lock);
    set_ = false;
}

bool Event::is_set() const {
    Lock lock(dispatcher().lock);
    return set_;
}

bool Event::wait(std::optional<int64_t> deadline) {
    _ETHREAD* self = current_thread();
    Lock lock(dispatcher().lock);
    if (set_) {
        if (auto_reset_) set_ = false;
        return true;
    }
    return queue_wait(waiters_, lock, self, deadline, "hvsim::sched::Event", this);
}

void ConditionVariable::notify_one() {
    Lock lock(dispatcher().lock);
    queue_wake_one(waiters_);
}

void ConditionVariable::notify_all() {
    Lock lock(dispatcher().lock);
    queue_wake_all(waiters_);
}

bool ConditionVariable::wait_until(std::unique_lock<std::mutex>& user_lock, std::optional<int64_t> deadline) {
    _ETHREAD* self = current_thread();
    bool notified;
    {
        // Taken before the caller's lock is released, so a notification made under the caller's
        // lock after this point finds the waiter queued.
        Lock lock(dispatcher().lock);
        user_lock.unlock();
        notified = queue_wait(waiters_, lock, self, deadline, "hvsim::sched::ConditionVariable", this);
    }
    user_lock.lock();
    return notified;
}

void sleep_until(int64_t deadline) {
    _ETHREAD* self = current_thread();
    Lock lock(dispatcher().lock);
    do block(lock, self, deadline, "hvsim::sched::sleep", nullptr);
    while (!self->timed_out);
}

void sleep_for(int64_t ticks) { sleep_until(now() + ticks); }

} // namespace hvsim::sched
