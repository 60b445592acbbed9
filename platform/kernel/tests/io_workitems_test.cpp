// Work items on the system worker threads.
#include "io_test_driver.h"

#include <hvsim/object.h>

#include <atomic>
#include <set>

using namespace hvsim;
using namespace hvsim::iotest;

namespace {

using IoWorkItems = IoTest;

struct WorkRun {
    sched::Event done;
    std::thread::id thread;
    KIRQL irql = 0xFF;
    PDEVICE_OBJECT device = nullptr;
    LONG_PTR references = 0;
    PIO_WORKITEM item = nullptr;
};

VOID record_run(PDEVICE_OBJECT device, PVOID context) {
    auto* run = static_cast<WorkRun*>(context);
    run->thread = std::this_thread::get_id();
    run->irql = KeGetCurrentIrql();
    run->device = device;
    run->references = ob::reference_count(device);
    run->done.set();
}

struct Again {
    int runs = 0;
    sched::Event done;
};

VOID run_again(PVOID, PVOID context, PIO_WORKITEM item) {
    auto* again = static_cast<Again*>(context);
    if (++again->runs < 3) return IoQueueWorkItemEx(item, run_again, DelayedWorkQueue, context);
    IoFreeWorkItem(item);
    again->done.set();
}

TEST_F(IoWorkItems, RoutinesRunAtPassiveOnAWorkerWithTheirDeviceReferenced) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    PIO_WORKITEM item = IoAllocateWorkItem(device.object);
    ASSERT_NE(item, nullptr);
    LONG_PTR before = ob::reference_count(device.object);
    WorkRun run;
    IoQueueWorkItem(item, record_run, DelayedWorkQueue, &run);
    run.done.wait();
    EXPECT_NE(run.thread, std::this_thread::get_id());
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_EQ(run.device, device.object);
    EXPECT_EQ(run.references, before + 1);
    // The reference goes after the routine returns; wait for the worker to get there.
    while (ob::reference_count(device.object) != before) sched::sleep_for(ms(1));
    IoFreeWorkItem(item);
}

TEST_F(IoWorkItems, TheDeviceOutlivesItsDeletionUntilTheRoutineReturns) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    PIO_WORKITEM item = IoAllocateWorkItem(device.object);
    size_t live = io::live_device_count();
    struct Gate {
        sched::Event started, release, finished;
    } gate;
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID context) {
            auto* g = static_cast<Gate*>(context);
            g->started.set();
            g->release.wait();
            g->finished.set();
        },
        CriticalWorkQueue, &gate);
    gate.started.wait();
    driver.remove(device);
    EXPECT_EQ(io::live_device_count(), live) << "the queued item still holds the device";
    gate.release.set();
    gate.finished.wait();
    while (io::live_device_count() != live - 1) sched::sleep_for(ms(1));
    IoFreeWorkItem(item);
}

TEST_F(IoWorkItems, SeveralItemsRunAtOnceAndAnItemFreesOrRequeuesItself) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    // Each of four items waits until all four have started: only concurrent workers finish.
    struct Together {
        std::atomic<int> started{0};
        sched::Event all_started, all_done;
        std::atomic<int> done{0};
        std::mutex mutex;
        std::set<std::thread::id> threads;
    } together;
    for (int i = 0; i < 4; ++i) {
        PIO_WORKITEM item = IoAllocateWorkItem(device.object);
        IoQueueWorkItemEx(
            item,
            [](PVOID, PVOID context, PIO_WORKITEM item) {
                auto* t = static_cast<Together*>(context);
                {
                    std::lock_guard lock(t->mutex);
                    t->threads.insert(std::this_thread::get_id());
                }
                if (++t->started == 4) t->all_started.set();
                EXPECT_TRUE(t->all_started.wait(sched::now() + sec(1)));
                IoFreeWorkItem(item);
                if (++t->done == 4) t->all_done.set();
            },
            DelayedWorkQueue, &together);
    }
    EXPECT_TRUE(together.all_done.wait(sched::now() + sec(5)));
    EXPECT_EQ(together.threads.size(), 4u);

    // An item may queue itself again from its routine, and free itself at the end.
    Again again;
    PIO_WORKITEM item = IoAllocateWorkItem(device.object);
    IoQueueWorkItemEx(item, run_again, DelayedWorkQueue, &again);
    again.done.wait();
    EXPECT_EQ(again.runs, 3);
}

using IoWorkItemsDeathTest = IoWorkItems;

TEST_F(IoWorkItemsDeathTest, ARoutineReturningAtDispatchIsABugCheck) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    PIO_WORKITEM item = IoAllocateWorkItem(device.object);
    EXPECT_DEATH(
        {
            IoQueueWorkItem(
                item,
                [](PDEVICE_OBJECT, PVOID) {
                    KIRQL old;
                    KeRaiseIrql(DISPATCH_LEVEL, &old);
                },
                DelayedWorkQueue, nullptr);
            sched::sleep_for(sec(1));
        },
        "BUGCHECK 0x000000E1");
    IoFreeWorkItem(item);
}

struct Busy {
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    sched::Event all_started, release;
};

VOID busy_routine(PDEVICE_OBJECT, PVOID context) {
    auto* busy = static_cast<Busy*>(context);
    if (++busy->started == 16) busy->all_started.set();
    busy->release.wait();
    ++busy->finished;
}

TEST_F(IoWorkItemsDeathTest, QueueingOrFreeingAnItemStillInTheQueueIsABugCheck) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    // Sixteen running items hold every worker the pool may have; the next one stays queued.
    Busy busy;
    std::vector<PIO_WORKITEM> items;
    for (int i = 0; i < 16; ++i) {
        items.push_back(IoAllocateWorkItem(device.object));
        IoQueueWorkItem(items.back(), busy_routine, DelayedWorkQueue, &busy);
    }
    busy.all_started.wait();
    PIO_WORKITEM waiting = IoAllocateWorkItem(device.object);
    IoQueueWorkItem(waiting, busy_routine, DelayedWorkQueue, &busy);
    EXPECT_DEATH(IoFreeWorkItem(waiting), "BUGCHECK 0x000000E4.*still queued");
    EXPECT_DEATH(IoQueueWorkItem(waiting, busy_routine, DelayedWorkQueue, &busy),
                 "BUGCHECK 0x000000E4.*queued already");
    busy.release.set();
    while (busy.finished < 17) sched::sleep_for(ms(1));
    items.push_back(waiting);
    for (PIO_WORKITEM item : items) IoFreeWorkItem(item);
}

} // namespace
