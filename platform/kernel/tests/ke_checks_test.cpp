// IRQL rules, spin locks and interlocked operations, with the always-on checks as death tests.
#include <sched_testing.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace hvsim::ktest;

namespace {

using KeChecks = VirtualKernelTest;

TEST_F(KeChecks, SpinLockRaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeTestSpinLock(&lock));

    KLOCK_QUEUE_HANDLE handle;
    KeRaiseIrql(APC_LEVEL, &old);
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
}

TEST_F(KeChecks, SpinLockExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] { // spin locks need no machine thread
            for (int i = 0; i < 20000; ++i) {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
                ++counter;
                KeReleaseSpinLock(&lock, old);
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
}

TEST_F(KeChecks, TryToAcquireAtDpcLevelFailsWhileAnotherThreadHoldsTheLock) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    BOOLEAN other_got_it = TRUE;
    std::thread other([&] {
        KIRQL other_old = KeRaiseIrqlToDpcLevel();
        other_got_it = KeTryToAcquireSpinLockAtDpcLevel(&lock);
        KeLowerIrql(other_old);
    });
    other.join();
    EXPECT_FALSE(other_got_it);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    KeReleaseSpinLock(&lock, old);
}

TEST_F(KeChecks, SpinLockMisuseIsABugCheck) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KeAcquireSpinLockRaiseToDpc(&lock);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "BUGCHECK 0x0000000F: .*already held by the calling thread");
    EXPECT_DEATH(KeReleaseSpinLock(&lock, PASSIVE_LEVEL), "BUGCHECK 0x00000010: .* is not held");
    EXPECT_DEATH(
        {
            std::thread holder([&] { KeAcquireSpinLockRaiseToDpc(&lock); });
            holder.join();
            KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        "BUGCHECK 0x00000010: .* is held by another thread");
    EXPECT_DEATH(KeAcquireSpinLockAtDpcLevel(&lock), "KeAcquireSpinLockAtDpcLevel .* below DISPATCH_LEVEL");
}

TEST_F(KeChecks, RaisingBelowTheCurrentIrqlIsABugCheck) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "BUGCHECK 0x0000000A: KeRaiseIrql to 1 below the current IRQL 2");
}

TEST_F(KeChecks, WaitsAtDispatchLevelMayOnlyPoll) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(poll(&event), STATUS_TIMEOUT);
    KeLowerIrql(old);

    EXPECT_DEATH(
        {
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            wait(&event, ms(1));
        },
        "BUGCHECK 0x0000000A: KeWaitForSingleObject with a non-zero timeout at IRQL 2");
    EXPECT_DEATH(
        {
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            wait_forever(&event);
        },
        "KeWaitForSingleObject with an infinite timeout at IRQL 2");
    EXPECT_DEATH(
        {
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            delay(ms(1));
        },
        "KeDelayExecutionThread at IRQL 2");
}

TEST_F(KeChecks, WaitMisuseIsABugCheck) {
    KEVENT events[4];
    for (auto& event : events) KeInitializeEvent(&event, NotificationEvent, FALSE);
    PVOID objects[4] = {&events[0], &events[1], &events[2], &events[3]};
    EXPECT_DEATH(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
                 "BUGCHECK 0x0000000C: .*4 objects without a wait block array");
    std::vector<PVOID> many(MAXIMUM_WAIT_OBJECTS + 1, &events[0]);
    std::vector<KWAIT_BLOCK> blocks(many.size());
    EXPECT_DEATH(KeWaitForMultipleObjects(static_cast<ULONG>(many.size()), many.data(), WaitAny, Executive, KernelMode,
                                          FALSE, nullptr, blocks.data()),
                 "65 objects, more than 64");
    alignas(KEVENT) unsigned char garbage[sizeof(KEVENT)];
    std::fill(std::begin(garbage), std::end(garbage), 0xAB);
    EXPECT_DEATH(wait_forever(garbage), "is not an initialised dispatcher object");
    EXPECT_DEATH(KeSetEvent(reinterpret_cast<PKEVENT>(garbage), IO_NO_INCREMENT, FALSE),
                 "KeSetEvent: .* is not an initialised object");
}

TEST_F(KeChecks, PriorityIsRecordedAndReturned) {
    PKTHREAD self = KeGetCurrentThread();
    EXPECT_EQ(KeGetCurrentThread(), self);
    KPRIORITY original = KeQueryPriorityThread(self);
    EXPECT_EQ(KeSetPriorityThread(self, HIGH_PRIORITY), original);
    EXPECT_EQ(KeSetPriorityThread(self, original), HIGH_PRIORITY);
    EXPECT_EQ(KeGetCurrentProcessorNumber(), 0u);
    EXPECT_EQ(KeNumberProcessors, 1);
    EXPECT_DEATH(KeSetPriorityThread(self, 32), "priority 32 .* outside 0..31");
}

TEST_F(KeChecks, InterlockedOperationsReturnWhatWindowsReturns) {
    volatile LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12) << "no exchange, initial value";
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(InterlockedOr(&value, 6), 1);
    EXPECT_EQ(InterlockedAnd(&value, 3), 7);
    EXPECT_EQ(value, 3);

    volatile LONG64 wide = 0x100000000LL;
    EXPECT_EQ(InterlockedIncrement64(&wide), 0x100000001LL);
    EXPECT_EQ(InterlockedCompareExchange64(&wide, 0, 0x100000001LL), 0x100000001LL);
    EXPECT_EQ(wide, 0);

    int a = 0, b = 0;
    PVOID volatile pointer = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &b, &b), &a);
    EXPECT_EQ(InterlockedExchangePointer(&pointer, &b), &a);
    EXPECT_EQ(pointer, &b);

    volatile LONG shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) InterlockedIncrement(&shared);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared, 40000);
}

} // namespace
