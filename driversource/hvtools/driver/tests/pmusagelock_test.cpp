// Spin lock and usage lock.
#include "pmtestsupport.h"

#include <hvsim/sched.h>

#include <pmspinlock.h>
#include <pmusagelock.h>

#include <atomic>

using namespace pmtest;

namespace {

class PmLockTest : public PmKernelTest {};

TEST_F(PmLockTest, SpinLockRaisesAndRestoresTheLevel) {
    CPmSpinLock lock;
    EXPECT_EQ(PM_SPINLOCK_FREE, lock.m_ucSavedIrql);
    lock.m_Lock();
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(PASSIVE_LEVEL, lock.m_ucSavedIrql);
    lock.m_Unlock();
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(PM_SPINLOCK_FREE, lock.m_ucSavedIrql);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    lock.m_LockAtDpcLevel();
    EXPECT_EQ(DISPATCH_LEVEL, lock.m_ucSavedIrql);
    lock.m_Unlock();
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeLowerIrql(old);
}

TEST_F(PmLockTest, SpinLockMisuseEntersTheDebuggerAndHarmsNothing) {
    expect_failed_checks_ = true;
    CPmSpinLock lock;
    uint64_t breaks = hvsim::debug_log::break_points();
    lock.m_Unlock(); // not held
    EXPECT_EQ(breaks + 1, hvsim::debug_log::break_points());
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    lock.m_ucSavedIrql = PASSIVE_LEVEL; // marked held although nobody holds it
    lock.m_Lock();
    EXPECT_EQ(breaks + 2, hvsim::debug_log::break_points());
    lock.m_Unlock();

    // Below DISPATCH_LEVEL the lock is taken with a raise, so that the unlock comes back here.
    lock.m_LockAtDpcLevel();
    EXPECT_EQ(breaks + 3, hvsim::debug_log::break_points());
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    lock.m_Unlock();
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(PmLockTest, LimitOfOneAdmitsOneUserAtATime) {
    CPmUsageLock lock;
    lock.m_SetLimit(1);
    lock.m_Init(TRUE);
    EXPECT_TRUE(lock.m_Acquire());
    EXPECT_FALSE(lock.m_Acquire());
    lock.m_Release();
    EXPECT_TRUE(lock.m_Acquire());
    lock.m_Release();
    EXPECT_EQ(0u, lock.m_GetCount());
}

TEST_F(PmLockTest, IdleEventFollowsTheCount) {
    expect_failed_checks_ = true;
    CPmUsageLock lock;
    lock.m_Init(TRUE);
    EXPECT_EQ(1, KeReadStateEvent(&lock.m_kIdleEvent));
    EXPECT_TRUE(lock.m_Acquire());
    EXPECT_TRUE(lock.m_Acquire());
    EXPECT_EQ(0, KeReadStateEvent(&lock.m_kIdleEvent));
    lock.m_Release();
    EXPECT_EQ(0, KeReadStateEvent(&lock.m_kIdleEvent));
    lock.m_Release();
    EXPECT_EQ(1, KeReadStateEvent(&lock.m_kIdleEvent));
    // A release too many is reported and does not wrap the count.
    hvsim::debug_log::clear();
    lock.m_Release();
    EXPECT_EQ(0u, lock.m_GetCount());
    EXPECT_TRUE(hvsim::debug_log::contains("ASSERT at - driversource\\hvtools\\driver\\pmusagelock "));
}

TEST_F(PmLockTest, DisabledLockRefusesUsersUntilEnabledAgain) {
    CPmUsageLock lock;
    EXPECT_FALSE(lock.m_Acquire()); // disabled until m_Init
    lock.m_Init(TRUE);
    EXPECT_EQ(STATUS_SUCCESS, lock.m_DisableAndWait()); // no users: at once
    EXPECT_FALSE(lock.m_Acquire());
    lock.m_SetEnabled(TRUE);
    EXPECT_TRUE(lock.m_Acquire());
    lock.m_SetEnabled(FALSE);
    EXPECT_FALSE(lock.m_Acquire());
    lock.m_Release(); // still counts down while disabled
    EXPECT_EQ(1, KeReadStateEvent(&lock.m_kIdleEvent));
}

TEST_F(PmLockTest, DisableAndWaitOnlyPollsAtDispatchLevel) {
    CPmUsageLock lock;
    lock.m_Init(TRUE);
    ASSERT_TRUE(lock.m_Acquire());
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(STATUS_TIMEOUT, lock.m_DisableAndWait());
    KeLowerIrql(old);
    lock.m_Release();
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(STATUS_SUCCESS, lock.m_DisableAndWait());
    KeLowerIrql(old);
}

// Users on other threads that leave one after another.
struct InFlight {
    CPmUsageLock lock;
    KEVENT entered[3];
    std::atomic<int> released{0};
    int64_t last_release_time = 0;
    int index = 0;
};

struct UserArgs {
    InFlight* shared;
    int index;
};

void user_thread(PVOID context) {
    auto* args = static_cast<UserArgs*>(context);
    InFlight* shared = args->shared;
    EXPECT_TRUE(shared->lock.m_Acquire());
    KeSetEvent(&shared->entered[args->index], IO_NO_INCREMENT, FALSE);
    // Stay inside for (index + 1) * 100 ms of machine time.
    LARGE_INTEGER delay;
    delay.QuadPart = -(args->index + 1) * 100 * hvsim::sched::kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    shared->last_release_time = hvsim::sched::now();
    ++shared->released;
    shared->lock.m_Release();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(PmLockTest, DisableAndWaitReturnsOnlyAfterTheLastUserOnAnotherThreadLeaves) {
    InFlight shared;
    shared.lock.m_Init(TRUE);
    UserArgs args[3];
    HANDLE threads[3];
    for (int i = 0; i < 3; ++i) {
        KeInitializeEvent(&shared.entered[i], NotificationEvent, FALSE);
        args[i] = {&shared, i};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&threads[i], THREAD_ALL_ACCESS, &attributes, nullptr,
                                                       nullptr, user_thread, &args[i]));
    }
    for (auto& entered : shared.entered)
        ASSERT_TRUE(wait(&entered));
    int64_t start = hvsim::sched::now();
    EXPECT_EQ(STATUS_SUCCESS, shared.lock.m_DisableAndWait());
    EXPECT_EQ(3, shared.released.load());
    EXPECT_GE(hvsim::sched::now() - start, 300 * hvsim::sched::kTicksPerMillisecond - 1);
    EXPECT_EQ(0u, shared.lock.m_GetCount());
    EXPECT_FALSE(shared.lock.m_Acquire());
    for (HANDLE thread : threads) {
        PVOID object;
        ASSERT_EQ(STATUS_SUCCESS,
                  ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr));
        EXPECT_TRUE(wait(object));
        ObDereferenceObject(object);
        ZwClose(thread);
    }
}

} // namespace
