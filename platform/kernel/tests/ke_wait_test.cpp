// Waits, events, mutexes, semaphores and fast mutexes on the virtual clock.
#include <sched_testing.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace hvsim::ktest;
using hvsim::sched::now;

namespace {

using KeWait = VirtualKernelTest;

TEST_F(KeWait, TenSecondTimeoutCostsNoRealTimeAndReportsTenSeconds) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER system_before, system_after;
    KeQuerySystemTime(&system_before);
    ULONGLONG interrupt_before = KeQueryInterruptTime();
    NTSTATUS status = STATUS_SUCCESS;
    auto real = real_time_of([&] { status = wait(&event, sec(10)); });
    KeQuerySystemTime(&system_after);
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_LT(real.count(), 1000);
    EXPECT_EQ(KeQueryInterruptTime() - interrupt_before, static_cast<ULONGLONG>(sec(10)));
    EXPECT_EQ(system_after.QuadPart - system_before.QuadPart, sec(10));
}

TEST_F(KeWait, ZeroTimeoutPollsWithoutTimePassing) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EXPECT_EQ(poll(&event), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(poll(&event), STATUS_SUCCESS);
    EXPECT_EQ(poll(&event), STATUS_TIMEOUT) << "the poll consumed the synchronization event";
    EXPECT_EQ(now(), 0);
}

TEST_F(KeWait, AbsoluteTimeoutIsSystemTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    delay(ms(250));
    LARGE_INTEGER at;
    KeQuerySystemTime(&at);
    at.QuadPart += sec(2);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    EXPECT_EQ(now(), ms(2250));
    at.QuadPart -= sec(1); // already past
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    EXPECT_EQ(now(), ms(2250));
}

// Three waiters with 5 s timeouts; the event is set once at 1 s.
std::vector<NTSTATUS> three_waiters_one_set(EVENT_TYPE type, LONG* previous, LONG* state_after) {
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    std::vector<NTSTATUS> results(3);
    std::vector<int64_t> woken_at(3);
    MachineThreads waiters;
    waiters.start(3, "waiter", [&](int i) {
        LARGE_INTEGER timeout = after(sec(5));
        results[i] = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        woken_at[i] = now();
    });
    LARGE_INTEGER one_second = after(sec(1));
    KeDelayExecutionThread(KernelMode, FALSE, &one_second); // every waiter is blocked by then
    *previous = KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    *state_after = KeReadStateEvent(&event);
    waiters.join();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(woken_at[i], results[i] == STATUS_SUCCESS ? sec(1) : sec(5));
    return results;
}

TEST_F(KeWait, SynchronizationEventReleasesOneWaiterAndIsConsumed) {
    LONG previous = -1, state = -1;
    auto results = three_waiters_one_set(SynchronizationEvent, &previous, &state);
    EXPECT_EQ(std::count(results.begin(), results.end(), STATUS_SUCCESS), 1);
    EXPECT_EQ(std::count(results.begin(), results.end(), STATUS_TIMEOUT), 2);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(state, 0) << "the waiter took the signal before KeSetEvent returned";
}

TEST_F(KeWait, NotificationEventReleasesEveryWaiterAndStaysSet) {
    LONG previous = -1, state = -1;
    auto results = three_waiters_one_set(NotificationEvent, &previous, &state);
    EXPECT_EQ(std::count(results.begin(), results.end(), STATUS_SUCCESS), 3);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(state, 1);
}

TEST_F(KeWait, EventStateRoutinesReturnThePreviousState) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KePulseEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "a pulse leaves the event reset";
}

TEST_F(KeWait, PulseReleasesCurrentWaitersOnly) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS result = STATUS_PENDING;
    std::thread waiter = hvsim::sched::start_thread("waiter", [&] { result = wait(&event, sec(3)); });
    delay(sec(1));
    KePulseEvent(&event, IO_NO_INCREMENT, FALSE);
    hvsim::sched::join(waiter);
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_EQ(now(), sec(1));
    EXPECT_EQ(poll(&event), STATUS_TIMEOUT);
}

TEST_F(KeWait, WaitAnyReportsTheLowestSignalledIndexAndConsumesOnlyThatObject) {
    KEVENT events[3];
    for (auto& event : events) KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    PVOID objects[3] = {&events[0], &events[1], &events[2]};
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero = zero_timeout();
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&events[1]), 0);
    EXPECT_EQ(KeReadStateEvent(&events[2]), 1);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_2);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
}

TEST_F(KeWait, BlockedWaitAnyWakesWithTheIndexOfTheObjectSet) {
    KEVENT events[3];
    for (auto& event : events) KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    NTSTATUS result = STATUS_PENDING;
    std::thread waiter = hvsim::sched::start_thread("waiter", [&] {
        PVOID objects[3] = {&events[0], &events[1], &events[2]};
        result = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    });
    delay(ms(100));
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    hvsim::sched::join(waiter);
    EXPECT_EQ(result, STATUS_WAIT_2);
    EXPECT_EQ(KeReadStateEvent(&events[2]), 0);
}

TEST_F(KeWait, WaitAllTakesEveryObjectAtOnce) {
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    NTSTATUS result = STATUS_PENDING;
    int64_t woken_at = -1;
    LONG mutex_state_in_waiter = 99;
    std::thread waiter = hvsim::sched::start_thread("waiter", [&] {
        PVOID objects[3] = {&a, &mutex, &b};
        result = KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
        woken_at = now();
        mutex_state_in_waiter = KeReadStateMutex(&mutex);
        KeReleaseMutex(&mutex, FALSE);
    });
    delay(sec(1));
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    delay(sec(1));
    EXPECT_EQ(result, STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&a), 1) << "a partial WaitAll consumes nothing";
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    hvsim::sched::join(waiter);
    EXPECT_EQ(result, STATUS_WAIT_0);
    EXPECT_EQ(woken_at, sec(2));
    EXPECT_EQ(mutex_state_in_waiter, 0) << "the waiter owned the mutex";
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(KeWait, MoreThanThreeObjectsUseTheCallersWaitBlocks) {
    constexpr ULONG kCount = MAXIMUM_WAIT_OBJECTS;
    std::vector<KEVENT> events(kCount);
    std::vector<PVOID> objects;
    for (auto& event : events) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        objects.push_back(&event);
    }
    std::vector<KWAIT_BLOCK> blocks(kCount);
    NTSTATUS result = STATUS_PENDING;
    std::thread waiter = hvsim::sched::start_thread("waiter", [&] {
        result = KeWaitForMultipleObjects(kCount, objects.data(), WaitAny, Executive, KernelMode, FALSE, nullptr,
                                          blocks.data());
    });
    delay(ms(10));
    KeSetEvent(&events[kCount - 1], IO_NO_INCREMENT, FALSE);
    hvsim::sched::join(waiter);
    EXPECT_EQ(result, STATUS_WAIT_0 + static_cast<NTSTATUS>(kCount - 1));
    for (auto& event : events) EXPECT_TRUE(IsListEmpty(&event.Header.WaitListHead));
}

TEST_F(KeWait, TimedOutWaitLeavesNoWaitBlockBehind) {
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID objects[2] = {&a, &b};
    LARGE_INTEGER timeout = after(ms(5));
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_TIMEOUT);
    EXPECT_TRUE(IsListEmpty(&a.Header.WaitListHead));
    EXPECT_TRUE(IsListEmpty(&b.Header.WaitListHead));
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeReadStateEvent(&a), 1) << "no stale waiter consumed the signal";
}

TEST_F(KeWait, BadArgumentsGetAStatus) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    PVOID objects[1] = {&event};
    EXPECT_EQ(KeWaitForMultipleObjects(0, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeWaitForMultipleObjects(1, nullptr, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeWaitForMultipleObjects(1, objects, WaitNotification, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(KeWait, DelaysWakeThreadsInDeadlineOrder) {
    const int64_t delays_ms[] = {50, 10, 40, 20, 30, 10};
    std::mutex order_lock;
    std::vector<std::pair<int64_t, int64_t>> wakes; // (machine time, requested delay)
    MachineThreads sleepers;
    sleepers.start(std::size(delays_ms), "sleeper", [&](int i) {
        LARGE_INTEGER interval = after(ms(delays_ms[i]));
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
        std::lock_guard guard(order_lock);
        wakes.emplace_back(now(), delays_ms[i]);
    });
    sleepers.join();
    ASSERT_EQ(wakes.size(), std::size(delays_ms));
    for (size_t i = 0; i < wakes.size(); ++i) {
        EXPECT_EQ(wakes[i].first, ms(wakes[i].second));
        if (i) {
            EXPECT_LE(wakes[i - 1].second, wakes[i].second);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Mutexes and semaphores

TEST_F(KeWait, MutexIsRecursiveForItsOwnerAndExcludesOthers) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(wait_forever(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(wait_forever(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());

    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    int64_t acquired_at = -1;
    std::thread other = hvsim::sched::start_thread("other", [&] {
        first = wait(&mutex, ms(100));
        second = wait(&mutex, sec(10));
        acquired_at = now();
        KeReleaseMutex(&mutex, FALSE);
    });
    delay(sec(1));
    EXPECT_EQ(first, STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(second, STATUS_PENDING) << "still held once";
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    hvsim::sched::join(other);
    EXPECT_EQ(second, STATUS_SUCCESS);
    EXPECT_EQ(acquired_at, sec(1));
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
}

TEST_F(KeWait, MutexLeftByAThreadThatEndedIsAbandonedToTheNextWaiter) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    std::thread owner = hvsim::sched::start_thread("owner", [&] { wait_forever(&mutex); });
    hvsim::sched::join(owner);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(wait_forever(&mutex), STATUS_ABANDONED_WAIT_0);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(wait_forever(&mutex), STATUS_SUCCESS) << "abandonment is reported once";
    KeReleaseMutex(&mutex, FALSE);
}

TEST_F(KeWait, MutexReleasedByAThreadThatDoesNotOwnItIsABugCheck) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_DEATH(KeReleaseMutex(&mutex, FALSE), "BUGCHECK 0x0000001E: KeReleaseMutex: .* not owned");
    EXPECT_DEATH(
        {
            std::thread owner = hvsim::sched::start_thread("owner", [&] { wait_forever(&mutex); });
            hvsim::sched::join(owner);
            KeReleaseMutex(&mutex, FALSE);
        },
        "not owned by the calling thread");
}

TEST_F(KeWait, SemaphoreCountsUpToItsLimit) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    EXPECT_EQ(poll(&semaphore), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 2, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
    EXPECT_EQ(poll(&semaphore), STATUS_SUCCESS);
    EXPECT_EQ(poll(&semaphore), STATUS_SUCCESS);
    EXPECT_EQ(poll(&semaphore), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 1, FALSE), 0);
    EXPECT_DEATH(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 2, FALSE), "STATUS_SEMAPHORE_LIMIT_EXCEEDED");
}

TEST_F(KeWait, SemaphoreReleaseWakesAsManyWaitersAsItsCount) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 10);
    std::atomic<int> acquired{0};
    MachineThreads waiters;
    waiters.start(4, "waiter", [&](int) {
        if (wait(&semaphore, sec(1)) == STATUS_SUCCESS) ++acquired;
    });
    delay(ms(10));
    KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 3, FALSE);
    waiters.join();
    EXPECT_EQ(acquired.load(), 3);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

// ---------------------------------------------------------------------------------------------
// Fast mutexes

TEST_F(KeWait, FastMutexExcludesAndRaisesToApcLevel) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long counter = 0;
    MachineThreads workers;
    workers.start(4, "worker", [&](int) {
        for (int i = 0; i < 500; ++i) {
            ExAcquireFastMutex(&mutex);
            EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
            long seen = counter;
            if (i % 50 == 0) std::this_thread::yield();
            counter = seen + 1;
            ExReleaseFastMutex(&mutex);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
    });
    workers.join();
    EXPECT_EQ(counter, 2000);
    EXPECT_EQ(mutex.Count, 1);
}

TEST_F(KeWait, FastMutexTryAcquireFailsWhileHeld) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    BOOLEAN other_got_it = TRUE;
    std::thread other = hvsim::sched::start_thread("other", [&] {
        other_got_it = ExTryToAcquireFastMutex(&mutex);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
    hvsim::sched::join(other);
    EXPECT_FALSE(other_got_it);
    ExReleaseFastMutex(&mutex);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
}

TEST_F(KeWait, FastMutexMisuseIsABugCheck) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
        },
        "BUGCHECK 0x000000C4: ExAcquireFastMutex: fast mutex .* already owned");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            ExReleaseFastMutex(&mutex);
        },
        "not owned by the calling thread");
}

} // namespace
