// Timers and DPCs: ordering, expiry on the virtual clock, cancellation, periodic timers, flushing.
#include <sched_testing.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace hvsim::ktest;
using hvsim::sched::now;

namespace {

// A DPC that records each run: when, at which IRQL, with which arguments.
struct Recorder {
    struct Run {
        int tag;
        int64_t at;
        KIRQL irql;
        PVOID argument1;
        PVOID argument2;
        std::thread::id thread;
    };
    std::mutex lock;
    std::vector<Run> runs;

    static void routine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
        auto* self = static_cast<Recorder*>(context);
        std::lock_guard guard(self->lock);
        self->runs.push_back({static_cast<int>(dpc->Number), now(), KeGetCurrentIrql(), argument1, argument2,
                              std::this_thread::get_id()});
    }
    size_t count() {
        std::lock_guard guard(lock);
        return runs.size();
    }
};

class KeTimerDpc : public VirtualKernelTest {
protected:
    Recorder recorder;
    void init_dpc(KDPC* dpc, int tag) {
        KeInitializeDpc(dpc, Recorder::routine, &recorder);
        dpc->Number = static_cast<USHORT>(tag); // the tag, read back by the routine
    }
};

TEST_F(KeTimerDpc, DpcsRunInQueueOrderAtDispatchLevelOnTheDpcThread) {
    KDPC dpcs[8];
    for (int i = 0; i < 8; ++i) init_dpc(&dpcs[i], i);
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(KeInsertQueueDpc(&dpcs[i], reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(i + 100)), nullptr));
    KeFlushQueuedDpcs();
    ASSERT_EQ(recorder.runs.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(recorder.runs[i].tag, i);
        EXPECT_EQ(recorder.runs[i].irql, DISPATCH_LEVEL);
        EXPECT_EQ(recorder.runs[i].argument1, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(i + 100)));
        EXPECT_NE(recorder.runs[i].thread, std::this_thread::get_id());
        EXPECT_EQ(recorder.runs[i].thread, recorder.runs[0].thread);
    }
}

// A DPC that holds the DPC thread until released, so that the queue behind it stays put.
struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};
    static void routine(PKDPC, PVOID context, PVOID, PVOID) {
        auto* gate = static_cast<Gate*>(context);
        gate->entered = true;
        while (!gate->open) std::this_thread::yield();
    }
};

TEST_F(KeTimerDpc, AQueuedDpcIsQueuedOnceAndCanBeRemoved) {
    Gate gate;
    KDPC blocker, first, second;
    KeInitializeDpc(&blocker, Gate::routine, &gate);
    init_dpc(&first, 1);
    init_dpc(&second, 2);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    while (!gate.entered) std::this_thread::yield();

    EXPECT_TRUE(KeInsertQueueDpc(&first, reinterpret_cast<PVOID>(1), nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&first, reinterpret_cast<PVOID>(2), nullptr)) << "already queued";
    EXPECT_TRUE(KeInsertQueueDpc(&second, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&second));
    EXPECT_FALSE(KeRemoveQueueDpc(&second));
    gate.open = true;
    KeFlushQueuedDpcs();
    ASSERT_EQ(recorder.runs.size(), 1u);
    EXPECT_EQ(recorder.runs[0].tag, 1);
    EXPECT_EQ(recorder.runs[0].argument1, reinterpret_cast<PVOID>(1)) << "the second insertion changed nothing";
    EXPECT_FALSE(KeRemoveQueueDpc(&first)) << "it ran";
}

struct SlowWork {
    std::atomic<int> finished{0};
    static void routine(PKDPC, PVOID context, PVOID, PVOID) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // real work takes real time
        ++static_cast<SlowWork*>(context)->finished;
    }
};

TEST_F(KeTimerDpc, FlushReturnsOnlyWhenEveryDpcQueuedBeforeItHasFinished) {
    SlowWork work;
    KDPC dpcs[5];
    for (auto& dpc : dpcs) {
        KeInitializeDpc(&dpc, SlowWork::routine, &work);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(work.finished.load(), 5);
    KeFlushQueuedDpcs(); // nothing queued: returns at once
}

TEST_F(KeTimerDpc, DpcThatRequeuesItselfGetsItsNewArguments) {
    struct Chain {
        std::vector<ULONG_PTR> seen;
        std::atomic<int> runs{0};
        static void routine(PKDPC dpc, PVOID context, PVOID argument1, PVOID) {
            auto* chain = static_cast<Chain*>(context);
            auto n = reinterpret_cast<ULONG_PTR>(argument1);
            chain->seen.push_back(n);
            if (n < 5) KeInsertQueueDpc(dpc, reinterpret_cast<PVOID>(n + 1), nullptr);
            ++chain->runs;
        }
    } chain;
    KDPC dpc;
    KeInitializeDpc(&dpc, Chain::routine, &chain);
    KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(1), nullptr);
    // Each flush covers only what was queued before it: the next link is queued later.
    while (chain.runs.load() < 5) KeFlushQueuedDpcs();
    KeFlushQueuedDpcs();
    EXPECT_EQ(chain.seen, (std::vector<ULONG_PTR>{1, 2, 3, 4, 5}));
}

TEST_F(KeTimerDpc, TimerExpiresAtItsDueTimeSignalsAndQueuesItsDpc) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    init_dpc(&dpc, 7);
    EXPECT_FALSE(KeSetTimer(&timer, after(ms(100)), &dpc));
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_EQ(wait_forever(&timer), STATUS_SUCCESS);
    EXPECT_EQ(now(), ms(100));
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(wait_forever(&timer), STATUS_SUCCESS) << "a notification timer stays signalled";
    KeFlushQueuedDpcs();
    ASSERT_EQ(recorder.runs.size(), 1u);
    EXPECT_EQ(recorder.runs[0].at, ms(100));
    // The DPC's arguments carry the system time of the expiry.
    LARGE_INTEGER expiry;
    expiry.LowPart = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(recorder.runs[0].argument1));
    expiry.HighPart = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(recorder.runs[0].argument2));
    EXPECT_EQ(expiry.QuadPart, hvsim::sched::kVirtualBootSystemTime + ms(100));
}

TEST_F(KeTimerDpc, AbsoluteAndImmediateDueTimes) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER at;
    KeQuerySystemTime(&at);
    at.QuadPart += sec(3);
    KeSetTimer(&timer, at, nullptr);
    EXPECT_EQ(wait_forever(&timer), STATUS_SUCCESS);
    EXPECT_EQ(now(), sec(3));

    LARGE_INTEGER zero = zero_timeout();
    KeSetTimer(&timer, zero, nullptr);
    EXPECT_TRUE(KeReadStateTimer(&timer)) << "a due time of 0 expires at once";
    EXPECT_EQ(now(), sec(3));
}

TEST_F(KeTimerDpc, SettingASetTimerReplacesItsDueTime) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    init_dpc(&dpc, 1);
    EXPECT_FALSE(KeSetTimer(&timer, after(ms(100)), &dpc));
    delay(ms(50));
    EXPECT_TRUE(KeSetTimer(&timer, after(ms(250)), &dpc)) << "it was still set";
    delay(ms(100)); // past the first due time
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_EQ(wait_forever(&timer), STATUS_SUCCESS);
    EXPECT_EQ(now(), ms(300));
    KeFlushQueuedDpcs();
    ASSERT_EQ(recorder.runs.size(), 1u);
    EXPECT_EQ(recorder.runs[0].at, ms(300));
}

TEST_F(KeTimerDpc, CancelTellsWhetherTheTimerWasStillSet) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    init_dpc(&dpc, 1);
    EXPECT_FALSE(KeCancelTimer(&timer)) << "never set";
    KeSetTimer(&timer, after(ms(100)), &dpc);
    delay(ms(50));
    EXPECT_TRUE(KeCancelTimer(&timer));
    delay(ms(200));
    KeFlushQueuedDpcs();
    EXPECT_EQ(recorder.count(), 0u) << "a cancelled timer's DPC never runs";
    EXPECT_FALSE(KeReadStateTimer(&timer));

    KeSetTimer(&timer, after(ms(100)), &dpc);
    delay(ms(100)); // expiry comes before the waits that end at the same moment
    EXPECT_FALSE(KeCancelTimer(&timer)) << "it had expired";
    KeFlushQueuedDpcs();
    EXPECT_EQ(recorder.count(), 1u);
}

TEST_F(KeTimerDpc, PeriodicTimerFiresEveryPeriodUntilCancelled) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    init_dpc(&dpc, 1);
    KeSetTimerEx(&timer, after(ms(10)), 10, &dpc);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(wait_forever(&timer), STATUS_SUCCESS);
        EXPECT_EQ(now(), ms(10 * i));
        EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer is consumed by its waiter";
    }
    delay(ms(25)); // up to 55 ms
    EXPECT_TRUE(KeCancelTimer(&timer)) << "a periodic timer stays set";
    delay(ms(100));
    KeFlushQueuedDpcs();
    ASSERT_EQ(recorder.runs.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(recorder.runs[i].at, ms(10 * (i + 1)));
}

TEST_F(KeTimerDpc, SynchronizationTimerReleasesOneWaiterPerExpiry) {
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    std::atomic<int> woken{0};
    MachineThreads waiters;
    waiters.start(3, "waiter", [&](int) {
        if (wait(&timer, sec(1)) == STATUS_SUCCESS) ++woken;
    });
    delay(ms(1));
    KeSetTimer(&timer, after(ms(10)), nullptr);
    waiters.join();
    EXPECT_EQ(woken.load(), 1);
}

TEST_F(KeTimerDpc, TimersWithEqualDueTimesExpireInTheOrderTheyWereSet) {
    KTIMER timers[4];
    KDPC dpcs[4];
    for (int i = 0; i < 4; ++i) {
        KeInitializeTimer(&timers[i]);
        init_dpc(&dpcs[i], i);
    }
    for (int i : {2, 0, 3, 1}) KeSetTimer(&timers[i], after(ms(5)), &dpcs[i]);
    delay(ms(5));
    KeFlushQueuedDpcs();
    ASSERT_EQ(recorder.runs.size(), 4u);
    EXPECT_EQ(recorder.runs[0].tag, 2);
    EXPECT_EQ(recorder.runs[1].tag, 0);
    EXPECT_EQ(recorder.runs[2].tag, 3);
    EXPECT_EQ(recorder.runs[3].tag, 1);
}

// Cancel against expiry with real concurrency: each cancel that answers TRUE must mean no DPC
// for that setting, each FALSE exactly one.
using KeTimerRealRace = RealKernelTest;

TEST_F(KeTimerRealRace, CancelRacingExpiryRunsTheDpcAtMostOnceAndTellsTheTruth) {
    std::atomic<int> runs{0};
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<std::atomic<int>*>(context); }, &runs);
    std::mt19937 random(12345);
    int expected = 0, cancelled = 0;
    for (int i = 0; i < 300; ++i) {
        KeSetTimer(&timer, after(50 + random() % 100), &dpc); // 5 to 15 microseconds
        // Cancel somewhere between well before and well after the DPC thread's wake-up.
        auto spin_until = std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 300);
        while (std::chrono::steady_clock::now() < spin_until) {}
        if (KeCancelTimer(&timer))
            ++cancelled;
        else
            ++expected;
        KeFlushQueuedDpcs();
        ASSERT_EQ(runs.load(), expected) << "after " << i + 1 << " rounds";
    }
    // Both outcomes occurred, or the race was not exercised.
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(expected, 0);
}

TEST_F(KeTimerDpc, MisuseIsABugCheck) {
    KDPC dpc{};
    EXPECT_DEATH(KeInsertQueueDpc(&dpc, nullptr, nullptr), "is not an initialised DPC");
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_DEATH(KeSetTimerEx(&timer, after(ms(1)), -5, nullptr), "negative period");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeFlushQueuedDpcs();
        },
        "KeFlushQueuedDpcs at IRQL 2");
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    EXPECT_DEATH(
        {
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeFlushQueuedDpcs();
        },
        "BUGCHECK 0x000000C8: DPC routine .* returned at IRQL 0");
}

} // namespace
