// A machine thread's host-level wait: a bounded spin, then a futex sleep on its own word; and the
// scheduler's adaptive mutex.
#include "parking.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace hvsim::sched::detail {
namespace {

// About as long as a host sleep and wake-up cost; a wait that outlasts it sleeps.
constexpr int64_t kSpinNs = 30'000;

int64_t steady_ns() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

long futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op | FUTEX_PRIVATE_FLAG, value, timeout, nullptr, 0);
}

// Host wake-ups named under an AdaptiveMutex this thread holds, made once it lets go of it. A
// woken thread always finds its sequence moved first, so a wake-up made late (even after the
// thread stopped waiting) changes nothing but its timing; a wake of a private futex only names an
// address, so one made after the word's thread is gone touches nothing either.
thread_local int t_held = 0;
thread_local std::vector<Parking*> t_deferred;

} // namespace

bool Parking::park(uint32_t ticket, std::optional<int64_t> until_ns) {
    const int64_t start = steady_ns();
    if (spin_) {
        const int64_t spin_end = start + kSpinNs;
        for (unsigned i = 1;; ++i) {
            if (sequence_.load(std::memory_order_acquire) != ticket) return true;
            cpu_relax();
            if (i % 64 == 0 && steady_ns() >= spin_end) break;
        }
    }
    sleeping_.store(true, std::memory_order_seq_cst);
    bool woken = true;
    while (sequence_.load(std::memory_order_seq_cst) == ticket) {
        timespec relative{};
        const timespec* timeout = nullptr;
        if (until_ns) {
            const int64_t left = *until_ns - steady_ns();
            if (left <= 0) {
                woken = false;
                break;
            }
            relative.tv_sec = left / 1'000'000'000;
            relative.tv_nsec = left % 1'000'000'000;
            timeout = &relative;
        }
        futex(&sequence_, FUTEX_WAIT, ticket, timeout); // EAGAIN, EINTR and timeouts loop to the checks
    }
    sleeping_.store(false, std::memory_order_relaxed);
    // Spin next time only if spinning would have caught this wake-up.
    spin_ = woken && steady_ns() - start <= kSpinNs;
    return woken;
}

AdaptiveMutex::AdaptiveMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void AdaptiveMutex::lock() {
    pthread_mutex_lock(&mutex_);
    ++t_held;
}

bool AdaptiveMutex::try_lock() {
    if (pthread_mutex_trylock(&mutex_) != 0) return false;
    ++t_held;
    return true;
}

void AdaptiveMutex::unlock() {
    pthread_mutex_unlock(&mutex_);
    if (--t_held > 0 || t_deferred.empty()) return;
    for (Parking* parking : t_deferred) parking->wake_host();
    t_deferred.clear();
}

void Parking::wake() {
    sequence_.fetch_add(1, std::memory_order_seq_cst);
    if (!sleeping_.load(std::memory_order_seq_cst)) return;
    if (t_held > 0)
        t_deferred.push_back(this);
    else
        wake_host();
}

void Parking::wake_host() { futex(&sequence_, FUTEX_WAKE, 1, nullptr); }

} // namespace hvsim::sched::detail
