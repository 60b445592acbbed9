// Many threads signalling, waiting with timeouts, locking and setting timers at once, on the
// virtual clock. Run under the sanitizer build as well.
#include <sched_testing.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace hvsim::ktest;
using hvsim::sched::now;
namespace sched = hvsim::sched;

namespace {

using SchedStress = VirtualKernelTest;

TEST_F(SchedStress, ManyThreadsSignalAndWaitWithTimeouts) {
    constexpr int kThreads = 16;
    constexpr int kRounds = 300;
    std::vector<KEVENT> events(kThreads);
    for (auto& event : events) KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    FAST_MUTEX fast;
    ExInitializeFastMutex(&fast);
    KSPIN_LOCK spin;
    KeInitializeSpinLock(&spin);
    long under_mutex = 0, under_fast = 0, under_spin = 0;
    std::atomic<long> sets{0}, successes{0}, timeouts{0};

    MachineThreads threads;
    threads.start(kThreads, "stress", [&](int t) {
        std::mt19937 random(t * 7919 + 1);
        int64_t previous = now();
        for (int round = 0; round < kRounds; ++round) {
            KeSetEvent(&events[random() % kThreads], IO_NO_INCREMENT, FALSE);
            ++sets;
            LARGE_INTEGER timeout = after(ms(1 + random() % 5));
            NTSTATUS status = KeWaitForSingleObject(&events[t], Executive, KernelMode, FALSE, &timeout);
            (status == STATUS_SUCCESS ? successes : timeouts)++;
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT) << status;
            int64_t current = now();
            EXPECT_GE(current, previous) << "machine time never goes back";
            previous = current;
            switch (round % 3) {
            case 0:
                KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                ++under_mutex;
                KeReleaseMutex(&mutex, FALSE);
                KeReleaseMutex(&mutex, FALSE);
                break;
            case 1:
                ExAcquireFastMutex(&fast);
                ++under_fast;
                ExReleaseFastMutex(&fast);
                break;
            default: {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&spin);
                ++under_spin;
                KeReleaseSpinLock(&spin, old);
                if (random() % 4 == 0) {
                    LARGE_INTEGER interval = after(random() % 20000);
                    KeDelayExecutionThread(KernelMode, FALSE, &interval);
                }
            }
            }
        }
    });
    threads.join();

    EXPECT_EQ(under_mutex, kThreads * ((kRounds + 2) / 3));
    EXPECT_EQ(under_fast, kThreads * ((kRounds + 1) / 3));
    EXPECT_EQ(under_spin, kThreads * (kRounds / 3));
    EXPECT_EQ(successes + timeouts, kThreads * kRounds);
    EXPECT_LE(successes.load(), sets.load()) << "no wait succeeded without a set";
    EXPECT_GT(successes.load(), 0);
    EXPECT_GT(timeouts.load(), 0);
    EXPECT_GT(now(), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(fast.Count, 1);
    for (auto& event : events) EXPECT_TRUE(IsListEmpty(&event.Header.WaitListHead));
}

TEST_F(SchedStress, TimersSetAndCancelledFromManyThreadsRunEachDpcAtMostOnce) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    struct PerThread {
        KTIMER timer;
        KDPC dpc;
        std::atomic<int> runs{0};
        int expected = 0;
    };
    std::vector<PerThread> slots(kThreads);
    for (auto& slot : slots) {
        KeInitializeTimer(&slot.timer);
        KeInitializeDpc(
            &slot.dpc, [](PKDPC, PVOID context, PVOID, PVOID) { ++static_cast<PerThread*>(context)->runs; }, &slot);
    }
    MachineThreads threads;
    threads.start(kThreads, "timers", [&](int t) {
        std::mt19937 random(t + 99);
        PerThread& slot = slots[t];
        for (int round = 0; round < kRounds; ++round) {
            // A re-set replaces a setting that has not expired: that one will never fire.
            if (KeSetTimer(&slot.timer, after(ms(1 + random() % 4)), &slot.dpc)) --slot.expected;
            ++slot.expected;
            LARGE_INTEGER interval = after(random() % ms(5));
            if (random() % 2) KeDelayExecutionThread(KernelMode, FALSE, &interval);
            if (random() % 2 && KeCancelTimer(&slot.timer)) --slot.expected;
        }
        if (KeCancelTimer(&slot.timer)) --slot.expected;
    });
    threads.join();
    KeFlushQueuedDpcs();
    for (auto& slot : slots) {
        EXPECT_EQ(slot.runs.load(), slot.expected);
        EXPECT_GT(slot.expected, 0);
    }
}

TEST_F(SchedStress, SystemThreadsComeAndGo) {
    constexpr int kThreads = 64;
    std::atomic<int> ran{0};
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    struct Context {
        std::atomic<int>* ran;
        PKEVENT go;
    } context{&ran, &go};
    std::vector<HANDLE> handles;
    for (int i = 0; i < kThreads; ++i) {
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(
                      &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                      [](PVOID p) {
                          auto* c = static_cast<Context*>(p);
                          KeWaitForSingleObject(c->go, Executive, KernelMode, FALSE, nullptr);
                          ++*c->ran;
                      },
                      &context),
                  STATUS_SUCCESS);
        handles.push_back(handle);
    }
    EXPECT_EQ(sched::stats().system_threads, static_cast<size_t>(kThreads));
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    for (HANDLE handle : handles) {
        PVOID thread = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
                  STATUS_SUCCESS);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
        ZwClose(handle);
    }
    EXPECT_EQ(ran.load(), kThreads);
    EXPECT_EQ(sched::stats().system_threads, 0u);
}

// Sets from many threads, some on an event that is already set, reach the one consumer: what a
// producer did before its set is seen by the wait that consumes it or a later one. Each producer
// waits for its item to be taken before the next, so a lost set stops everything.
TEST_F(SchedStress, SetsOfAnEventAlreadySetAreNotLost) {
    constexpr int kProducers = 8;
    constexpr long kItems = 500;
    sched::Event ready(sched::Event::Reset::Auto);
    std::vector<std::atomic<long>> produced(kProducers);
    std::vector<std::unique_ptr<sched::Event>> taken;
    for (int i = 0; i < kProducers; ++i) taken.push_back(std::make_unique<sched::Event>(sched::Event::Reset::Auto));
    MachineThreads producers;
    producers.start(kProducers, "producer", [&](int i) {
        for (long k = 1; k <= kItems; ++k) {
            produced[i].store(k, std::memory_order_relaxed);
            ready.set();
            if (!taken[i]->wait(now() + ms(100))) return;
        }
    });
    std::vector<long> seen(kProducers);
    long total = 0;
    int timeouts = 0;
    // With every producer waiting for its item to be taken, a wait with nothing set times out on
    // the virtual clock at once.
    while (total < kProducers * kItems && timeouts == 0) {
        if (!ready.wait(now() + ms(50))) ++timeouts;
        for (int i = 0; i < kProducers; ++i) {
            const long latest = produced[i].load(std::memory_order_relaxed);
            if (latest == seen[i]) continue;
            total += latest - seen[i];
            seen[i] = latest;
            taken[i]->set();
        }
    }
    producers.join();
    EXPECT_EQ(total, kProducers * kItems);
    EXPECT_EQ(timeouts, 0) << "a set was lost";
}

} // namespace
