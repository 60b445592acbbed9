// Where a blocked machine thread waits on the host: a futex word per thread, with a short spin
// first. A hand-off in the data path is usually answered within tens of microseconds, and a host
// sleep and wake-up adds about as much again to the chain of hand-offs that each transfer
// crosses, so a thread whose waits are typically short spins for about twice that before it
// sleeps; one whose waits are long goes straight to sleep and costs no CPU, and so does every
// thread while the host has more runnable threads than cores.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <optional>

namespace hvsim::sched::detail {

class Parking {
public:
    // Taken before the scheduler's lock is released; a wake() after it ends the park.
    uint32_t ticket() const { return sequence_.load(std::memory_order_acquire); }
    // Waits for a wake() after `ticket`, or until the steady clock reaches `until_ns` (nanoseconds
    // since its epoch); false when the time came first.
    bool park(uint32_t ticket, std::optional<int64_t> until_ns);
    // Ends the current or next park; cheap when the thread is spinning. Called under an
    // AdaptiveMutex, the host wake-up of a sleeping thread waits until that mutex is released, so
    // that nobody waits for the lock behind a system call.
    void wake();

    // No spin lasts longer: a wait longer than the chain of hand-offs of one transfer sleeps.
    static constexpr int64_t kLongestSpinNs = 200'000;

private:
    friend class AdaptiveMutex;
    void wake_host();
    void note_wait(int64_t waited_ns);

    std::atomic<uint32_t> sequence_{0};
    std::atomic<bool> sleeping_{false};
    // Only the parked thread touches these: whether it spins first, and a moving average of its
    // waits that ended in a wake-up.
    bool spin_ = true;
    int64_t typical_ns_ = 0;
};

// The count of runnable host threads in the text of /proc/loadavg; -1 when the text is not that.
long runnable_threads(const char* loadavg);

// A mutex that spins a little before it sleeps: the scheduler's lock is held for a few hundred
// nanoseconds at a time, far less than the host sleep and wake-up a plain mutex pays on contention.
class AdaptiveMutex {
public:
    AdaptiveMutex();
    ~AdaptiveMutex() { pthread_mutex_destroy(&mutex_); }
    AdaptiveMutex(const AdaptiveMutex&) = delete;
    AdaptiveMutex& operator=(const AdaptiveMutex&) = delete;
    void lock();
    bool try_lock();
    // Releases the mutex, then wakes the sleeping threads that wake() named while it was held.
    void unlock();

private:
    pthread_mutex_t mutex_;
};

} // namespace hvsim::sched::detail
