// A machine thread's host-level wait: no wake-up is lost, whether it comes before the park,
// while the thread spins or while it sleeps, or is made under the scheduler's mutex (whose
// release makes it), and a park with a time limit ends at it.
#include <parking.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using hvsim::sched::detail::AdaptiveMutex;
using hvsim::sched::detail::Parking;

int64_t steady_ns() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

TEST(Parking, AWakeAfterTheTicketEndsTheParkAndNoneIsLost) {
    Parking early;
    const uint32_t ticket = early.ticket();
    early.wake();
    EXPECT_TRUE(early.park(ticket, steady_ns() + 1'000'000'000)) << "a wake before the park was lost";

    Parking idle;
    const int64_t start = steady_ns();
    EXPECT_FALSE(idle.park(idle.ticket(), start + 2'000'000));
    EXPECT_GE(steady_ns() - start, 2'000'000);

    // Two threads hand a token back and forth; the waker sometimes pauses past the spin, so both
    // the spinning and the sleeping waiter are woken, and wakes some under one or two held
    // mutexes. A lost wake-up ends a park at its limit.
    struct Case {
        int pause_every, held;
    };
    for (const Case c : {Case{0, 0}, Case{7, 0}, Case{7, 1}, Case{7, 2}}) {
        const int pause_every = c.pause_every;
        Parking sides[2];
        AdaptiveMutex mutexes[2][2];
        std::atomic<int> turn{0};
        std::atomic<int> lost{0};
        constexpr int kRounds = 2000;
        auto play = [&](int me) {
            for (int round = 0; round < kRounds; ++round) {
                for (;;) {
                    const uint32_t ticket = sides[me].ticket();
                    if (turn.load() == me) break;
                    if (!sides[me].park(ticket, steady_ns() + 2'000'000'000)) {
                        ++lost;
                        return;
                    }
                }
                if (pause_every && round % pause_every == 0)
                    std::this_thread::sleep_for(std::chrono::nanoseconds(Parking::kLongestSpinNs + 50'000));
                turn.store(1 - me);
                const int held = round % 2 ? c.held : 0;
                for (int m = 0; m < held; ++m) mutexes[me][m].lock();
                sides[1 - me].wake();
                // The inner release leaves an outer mutex held: only the last one makes the wake.
                for (int m = held - 1; m >= 0; --m) mutexes[me][m].unlock();
            }
        };
        std::thread other(play, 1);
        play(0);
        other.join();
        EXPECT_EQ(lost.load(), 0) << "pause every " << pause_every << ", " << c.held << " held";
    }
}

} // namespace

// What a parked thread reads to decide whether it may spin: a text that is not /proc/loadavg's
// gives no count, and the caller then spins as it would on an idle host.
TEST(Parking, RunnableThreadsComeFromTheFourthFieldOfTheLoadAverages) {
    const struct {
        const char* text;
        long runnable;
    } cases[] = {
        {"0.50 0.40 0.30 3/250 1234\n", 3}, {"12.00 9.10 4.00 17/402 99", 17}, {"0.50 0.40 0.30 3 1234", -1},
        {"0.50 0.40 3/250 1234", -1},       {"0.50 0.40 0.30 9/4 1234", -1},   {"", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(hvsim::sched::detail::runnable_threads(c.text), c.runnable) << c.text;
}
