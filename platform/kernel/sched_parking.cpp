// A machine thread's host-level wait: a bounded spin, then a futex sleep on its own word; and the
// scheduler's adaptive mutex.
#include "parking.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <vector>

namespace hvsim::sched::detail {
namespace {

// A spin is at least about as long as a host sleep and wake-up cost, and twice the thread's typical
// wait beyond that, up to Parking::kLongestSpinNs.
constexpr int64_t kShortestSpinNs = 30'000;
// How long a look at the host's load holds.
constexpr int64_t kLoadCheckNs = 5'000'000;

int64_t steady_ns() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// Whether every thread the host could run now has a core. When not, a spinning thread holds a
// core that the thread which would wake it may be waiting for, and spinning only slows the
// hand-off down: a parked thread then sleeps at once. The count of runnable threads comes from
// /proc/loadavg, read by one thread every few milliseconds.
bool host_has_room() {
    static std::atomic<int64_t> checked_at{0};
    static std::atomic<bool> room{true};
    static const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const int64_t now = steady_ns();
    int64_t last = checked_at.load(std::memory_order_relaxed);
    if (now - last < kLoadCheckNs || !checked_at.compare_exchange_strong(last, now, std::memory_order_relaxed))
        return room.load(std::memory_order_relaxed);
    char text[128] = {};
    long runnable = -1;
    if (const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC); fd >= 0) {
        const ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        if (n > 0) runnable = runnable_threads(text);
    }
    const bool now_room = runnable < 0 || cores <= 0 || runnable <= cores;
    room.store(now_room, std::memory_order_relaxed);
    return now_room;
}

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

long runnable_threads(const char* loadavg) {
    // "0.50 0.40 0.30 3/250 1234": the fourth field counts the runnable threads, the reader too.
    double averages[3];
    long runnable = -1, total = -1;
    if (std::sscanf(loadavg, "%lf %lf %lf %ld/%ld", &averages[0], &averages[1], &averages[2], &runnable, &total) != 5 ||
        runnable < 0 || total < runnable)
        return -1;
    return runnable;
}

bool Parking::park(uint32_t ticket, std::optional<int64_t> until_ns) {
    const int64_t start = steady_ns();
    if (spin_ && host_has_room()) {
        const int64_t spin_end = start + std::clamp(2 * typical_ns_, kShortestSpinNs, kLongestSpinNs);
        for (unsigned i = 1;; ++i) {
            if (sequence_.load(std::memory_order_acquire) != ticket) {
                note_wait(steady_ns() - start);
                return true;
            }
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
    if (woken)
        note_wait(steady_ns() - start);
    else
        spin_ = false;
    return woken;
}

// One long wait among short ones moves the average a quarter of the way, so that the hand-offs of
// a transfer in flight keep spinning and a thread that waits for the line settles into sleeping.
void Parking::note_wait(int64_t waited_ns) {
    typical_ns_ = (3 * typical_ns_ + std::min(waited_ns, 4 * kLongestSpinNs)) / 4;
    spin_ = typical_ns_ <= kLongestSpinNs;
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
