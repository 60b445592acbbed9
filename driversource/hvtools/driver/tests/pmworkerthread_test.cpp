// Worker threads and device workers.
#include "pmtestsupport.h"

#include <hvsim/io.h>

#include <pmworkerthread.h>

#include <algorithm>
#include <mutex>
#include <vector>

using namespace pmtest;

namespace {

class PmWorkerTest : public PmKernelTest {
protected:
    // A root device whose PDO can own work items.
    PDEVICE_OBJECT make_device() { return make_root_device(u"root\\hvtoolsworker"); }
};

struct Journal {
    std::mutex mutex;
    std::vector<int> order;
    KEVENT gate;
    KEVENT done;
    int expected = 0;
    KIRQL irql = 0xFF;
    KPRIORITY priority = -1;

    Journal() {
        KeInitializeEvent(&gate, NotificationEvent, FALSE);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
    }
    void add(int value) {
        std::lock_guard lock(mutex);
        order.push_back(value);
        if ((int)order.size() == expected)
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    }
};

Journal* g_journal;

void record(PVOID argument1, PVOID argument2) {
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    g_journal->add((int)(ULONG_PTR)argument1 + (int)(ULONG_PTR)argument2);
}

void blocker(PVOID, PVOID) {
    pmtest::wait(&g_journal->gate);
    g_journal->add(0);
}

TEST_F(PmWorkerTest, ItemsPostedWhileOneRunsAreTakenInOrderInTheSamePass) {
    Journal journal;
    g_journal = &journal;
    journal.expected = 4;
    {
        CPmWorkerThread worker(31, 1);
        ASSERT_TRUE(worker.m_IsRunning());
        ASSERT_TRUE(worker.m_Post(blocker, nullptr));
        for (int i = 1; i <= 3; ++i)
            ASSERT_TRUE(worker.m_Post(record, (PVOID)(ULONG_PTR)i));
        KeSetEvent(&journal.gate, IO_NO_INCREMENT, FALSE);
        ASSERT_TRUE(wait(&journal.done));
        EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), journal.order);
        worker.m_Stop();
        EXPECT_FALSE(worker.m_IsRunning());
        worker.m_Stop(); // harmless twice
    }
}

void note_context(PVOID context) {
    auto* journal = static_cast<Journal*>(context);
    journal->irql = KeGetCurrentIrql();
    journal->priority = KeQueryPriorityThread(KeGetCurrentThread());
    journal->add(1);
}

TEST_F(PmWorkerTest, CreateChecksItsArgumentsAndStartsNoThreadOnRefusal) {
    expect_failed_checks_ = true;
    CPmWorkerThread worker;
    Journal journal;
    PVOID waits[1] = {&journal.gate};
    hvsim::debug_log::clear();
    EXPECT_FALSE(worker.m_Create(note_context, &journal, waits, 32, 0));
    EXPECT_FALSE(worker.m_Create(note_context, &journal, waits, 0, 16));
    EXPECT_FALSE(worker.m_Create(note_context, &journal, nullptr, 0, 0));
    EXPECT_EQ(3u, hvsim::debug_log::count("ASSERT at - driversource\\hvtools\\driver\\pmworkerthread "));
    EXPECT_FALSE(worker.m_IsRunning());
}

TEST_F(PmWorkerTest, WorkRunsAtTheThreadsLevelAndPriority) {
    CPmWorkerThread worker;
    Journal journal;
    journal.expected = 1;
    KEVENT trigger;
    KeInitializeEvent(&trigger, SynchronizationEvent, FALSE);
    PVOID waits[1] = {&trigger};
    ASSERT_TRUE(worker.m_Create(note_context, &journal, waits, 12, 1));
    KeSetEvent(&trigger, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(wait(&journal.done));
    EXPECT_EQ(APC_LEVEL, journal.irql);

    // A second create stops the first thread before it starts the new one.
    PVOID first_thread = worker.m_pThreadObject;
    ObReferenceObject(first_thread);
    Journal second;
    second.expected = 1;
    ASSERT_TRUE(worker.m_Create(note_context, &second, waits, 12, 0));
    EXPECT_TRUE(wait(first_thread, 1));
    ObDereferenceObject(first_thread);
    KeSetEvent(&trigger, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(wait(&second.done));
    EXPECT_EQ(PASSIVE_LEVEL, second.irql);
    EXPECT_EQ(12, second.priority);
    worker.m_Stop();
}

// The worker's thread routine, entered above PASSIVE_LEVEL. The level goes back down only after
// the routine has ended the thread, since a system thread must end at PASSIVE_LEVEL.
void start_above_passive_level(PVOID context) {
    KIRQL old_irql;
    KeRaiseIrql(APC_LEVEL, &old_irql);
    try {
        CPmWorkerThread::sm_ThreadRoutine(context);
    } catch (...) {
        KeLowerIrql(old_irql);
        throw;
    }
    KeLowerIrql(old_irql);
}

TEST_F(PmWorkerTest, ARoutineStartedAbovePassiveLevelStillSignalsThatItIsDone) {
    expect_failed_checks_ = true;
    CPmWorkerThread worker;
    hvsim::debug_log::clear(); // before the thread starts: it prints its assertion line at once
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                                   start_above_passive_level, &worker));
    PVOID thread_object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread_object, nullptr));
    worker.m_hThread = thread;
    worker.m_pThreadObject = thread_object;

    // Ten seconds of machine time: a routine that never signals would leave m_Stop waiting for ever.
    ASSERT_TRUE(wait(&worker.m_kDoneEvent, 10 * 10000000LL));
    EXPECT_EQ(1u, hvsim::debug_log::count("ASSERT at - driversource\\hvtools\\driver\\pmworkerthread "));
    worker.m_Stop();
    EXPECT_FALSE(worker.m_IsRunning());
}

TEST_F(PmWorkerTest, DeviceWorkerUsesWorkItemsAndDropsWorkOnceStopped) {
    PDEVICE_OBJECT device = make_device();
    ASSERT_NE(nullptr, device);
    Journal journal;
    g_journal = &journal;
    journal.expected = 3;
    CPmDeviceWorker worker(device);
    ASSERT_TRUE(worker.m_UsesWorkItems());
    for (int i = 1; i <= 3; ++i)
        ASSERT_TRUE(worker.m_Post(record, (PVOID)(ULONG_PTR)i, (PVOID)(ULONG_PTR)10));
    // Stop waits for every queued work item.
    worker.m_Stop();
    EXPECT_EQ(3u, journal.order.size());
    EXPECT_FALSE(worker.m_Post(record, (PVOID)1, nullptr));
    EXPECT_EQ(3u, journal.order.size());
    std::sort(journal.order.begin(), journal.order.end());
    EXPECT_EQ((std::vector<int>{11, 12, 13}), journal.order);
}

TEST_F(PmWorkerTest, DeviceWorkerRunsItsOwnThreadWithoutWorkItems) {
    hvsim::io::set_wdm_version(1, 0x00);
    PDEVICE_OBJECT device = make_device();
    Journal journal;
    g_journal = &journal;
    journal.expected = 2;
    {
        CPmDeviceWorker worker(device);
        EXPECT_FALSE(worker.m_UsesWorkItems());
        ASSERT_TRUE(worker.m_Thread.m_IsRunning());
        ASSERT_TRUE(worker.m_Post(record, (PVOID)1, nullptr));
        ASSERT_TRUE(worker.m_Post(record, (PVOID)2, nullptr));
        ASSERT_TRUE(wait(&journal.done));
        EXPECT_EQ((std::vector<int>{1, 2}), journal.order);
        worker.m_Stop();
        EXPECT_FALSE(worker.m_Post(record, (PVOID)3, nullptr));
    }
    // Without a device object the worker always has its own thread.
    CPmDeviceWorker plain(nullptr);
    EXPECT_FALSE(plain.m_UsesWorkItems());
    EXPECT_TRUE(plain.m_Thread.m_IsRunning());
}

// The bus driver's port workers keep the order of their items: an own thread even where the
// system offers work items.
TEST_F(PmWorkerTest, DeviceWorkerInOwnThreadModeStartsItsThreadAtOnce) {
    PDEVICE_OBJECT device = make_device();
    ASSERT_NE(nullptr, device);
    Journal journal;
    g_journal = &journal;
    journal.expected = 3;
    {
        CPmDeviceWorker worker(device, PM_DEVICE_WORKER_OWN_THREAD);
        EXPECT_FALSE(worker.m_UsesWorkItems());
        ASSERT_TRUE(worker.m_Thread.m_IsRunning());
        for (int i = 1; i <= 3; ++i)
            ASSERT_TRUE(worker.m_Post(record, (PVOID)(ULONG_PTR)i, nullptr));
        ASSERT_TRUE(wait(&journal.done));
        EXPECT_EQ((std::vector<int>{1, 2, 3}), journal.order);
    }
    CPmDeviceWorker items(device, PM_DEVICE_WORKER_DEFAULT);
    EXPECT_TRUE(items.m_UsesWorkItems());
    items.m_Stop();
}

TEST_F(PmWorkerTest, DeviceWorkerDropsWorkWhenAWorkItemCannotBeHad) {
    PDEVICE_OBJECT device = make_device();
    Journal journal;
    g_journal = &journal;
    CPmDeviceWorker worker(device);
    hvsim::pool::fail_nth(1);
    EXPECT_FALSE(worker.m_Post(record, (PVOID)1, nullptr));
    hvsim::pool::fail_nth(2); // the work item itself
    EXPECT_FALSE(worker.m_Post(record, (PVOID)1, nullptr));
    EXPECT_EQ(0u, worker.m_UsageLock.m_GetCount());
    worker.m_Stop();
    EXPECT_TRUE(journal.order.empty());
}

} // namespace
