// System threads: creation with handles, waiting on the thread object, termination, checks.
#include <sched_testing.h>

#include <hvsim/object.h>

#include <atomic>
#include <functional>

using namespace hvsim::ktest;
using hvsim::sched::now;

namespace {

class PsThread : public VirtualKernelTest {
protected:
    // Starts a system thread running body; returns its handle.
    HANDLE start(std::function<void()> body, CLIENT_ID* client = nullptr) {
        bodies_.push_back(std::make_unique<std::function<void()>>(std::move(body)));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE handle = nullptr;
        NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, client, trampoline,
                                               bodies_.back().get());
        EXPECT_EQ(status, STATUS_SUCCESS);
        return handle;
    }
    static void trampoline(PVOID context) { (*static_cast<std::function<void()>*>(context))(); }

    // The thread object behind a handle, referenced.
    static PETHREAD object_of(HANDLE handle) {
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        return static_cast<PETHREAD>(object);
    }
    // Waits for the thread to end and lets go of it, as the drivers' workers do.
    static void finish(HANDLE handle) {
        PETHREAD thread = object_of(handle);
        EXPECT_EQ(wait_forever(thread), STATUS_SUCCESS);
        ObDereferenceObject(thread);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }

private:
    std::vector<std::unique_ptr<std::function<void()>>> bodies_;
};

TEST_F(PsThread, RunsTheRoutineAtPassiveLevelOnItsOwnThreadObject) {
    KIRQL irql = HIGH_LEVEL;
    PKTHREAD seen_thread = nullptr;
    PETHREAD seen_ethread = nullptr;
    HANDLE seen_id = nullptr;
    CLIENT_ID client{};
    HANDLE handle = start(
        [&] {
            irql = KeGetCurrentIrql();
            seen_thread = KeGetCurrentThread();
            seen_ethread = PsGetCurrentThread();
            seen_id = PsGetCurrentThreadId();
        },
        &client);
    ASSERT_NE(handle, nullptr);
    PETHREAD thread = object_of(handle);
    EXPECT_EQ(wait_forever(thread), STATUS_SUCCESS);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
    EXPECT_EQ(static_cast<PVOID>(seen_thread), static_cast<PVOID>(thread));
    EXPECT_EQ(seen_ethread, thread);
    EXPECT_EQ(seen_id, client.UniqueThread);
    EXPECT_EQ(PsGetThreadId(thread), client.UniqueThread);
    EXPECT_TRUE(PsIsSystemThread(thread));
    EXPECT_NE(client.UniqueThread, PsGetCurrentThreadId());
    EXPECT_EQ(wait_forever(thread), STATUS_SUCCESS) << "an ended thread stays signalled";
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(hvsim::sched::stats().system_threads, 0u);
}

TEST_F(PsThread, WaitingOnTheThreadObjectEndsWhenTheThreadDoes) {
    HANDLE handle = start([] {
        LARGE_INTEGER interval = after(sec(5));
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    });
    PETHREAD thread = object_of(handle);
    EXPECT_EQ(wait(thread, sec(1)), STATUS_TIMEOUT);
    EXPECT_EQ(now(), sec(1));
    EXPECT_EQ(wait_forever(thread), STATUS_SUCCESS);
    EXPECT_EQ(now(), sec(5));
    ObDereferenceObject(thread);
    ZwClose(handle);
}

TEST_F(PsThread, TheObjectOutlivesTheThreadWhileReferenced) {
    HANDLE handle = start([] {});
    PETHREAD thread = object_of(handle);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(wait_forever(thread), STATUS_SUCCESS);
    EXPECT_TRUE(hvsim::ob::is_object(thread, *PsThreadType));
    ObDereferenceObject(thread);
    EXPECT_FALSE(hvsim::ob::is_object(thread, *PsThreadType)) << "the last reference freed it";
}

TEST_F(PsThread, TerminateEndsTheThreadWhereItIs) {
    bool after_terminate = false;
    HANDLE handle = start([&] {
        PsTerminateSystemThread(STATUS_SUCCESS);
        after_terminate = true;
    });
    finish(handle);
    EXPECT_FALSE(after_terminate);
}

TEST_F(PsThread, TerminateOnAThreadThatIsNotASystemThreadIsRefused) {
    EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(PsIsSystemThread(PsGetCurrentThread()));
}

TEST_F(PsThread, WorkerPatternWithStopEvent) {
    // The shape of the drivers' worker threads: wait for work or stop, raise priority, terminate.
    KEVENT work, stop;
    KeInitializeEvent(&work, SynchronizationEvent, TRUE);
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    std::atomic<int> drained{0};
    KPRIORITY old_priority = -1;
    HANDLE handle = start([&] {
        old_priority = KeSetPriorityThread(KeGetCurrentThread(), 31);
        PVOID objects[2] = {&work, &stop};
        for (;;) {
            NTSTATUS status =
                KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
            if (status == STATUS_WAIT_1) break;
            ++drained;
        }
        PsTerminateSystemThread(STATUS_SUCCESS);
    });
    delay(ms(10));
    EXPECT_EQ(drained.load(), 1) << "the work event starts signalled";
    KeSetEvent(&work, IO_NO_INCREMENT, FALSE);
    delay(ms(10));
    EXPECT_EQ(drained.load(), 2);
    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    finish(handle);
    EXPECT_EQ(old_priority, 8);
}

TEST_F(PsThread, BadArgumentsGetAStatus) {
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(PsCreateSystemThread(nullptr, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, trampoline, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, reinterpret_cast<HANDLE>(0x44), nullptr,
                                   trampoline, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(hvsim::sched::stats().system_threads, 0u);
}

TEST_F(PsThread, EndingAtRaisedIrqlOrHoldingAMutexIsABugCheck) {
    EXPECT_DEATH(
        {
            HANDLE handle = start([] {
                KIRQL old;
                KeRaiseIrql(APC_LEVEL, &old);
            });
            finish(handle);
        },
        "BUGCHECK 0x000000C8: system thread .* returned at IRQL 1 instead of PASSIVE_LEVEL");
    EXPECT_DEATH(
        {
            HANDLE handle = start([] {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                PsTerminateSystemThread(STATUS_SUCCESS);
            });
            finish(handle);
        },
        "terminated at IRQL 2");
    static KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_DEATH(
        {
            HANDLE handle = start([] { wait_forever(&mutex); });
            finish(handle);
        },
        "BUGCHECK 0x0000004B: system thread .* ended holding 1 mutex");
}

TEST_F(PsThread, ShutdownWithASystemThreadStillRunningIsABugCheck) {
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_DEATH(
        {
            start([] { wait_forever(&never); });
            hvsim::kernel_shutdown();
        },
        "system threads still running:\n  system thread");
}

} // namespace
