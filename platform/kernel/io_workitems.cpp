// Work items and the system worker threads that run them.
//
//   IoAllocateWorkItem IoFreeWorkItem IoQueueWorkItem IoQueueWorkItemEx IoSizeofWorkItem
//
// Items of every queue type go to one pool of worker threads in queue order. The pool starts
// empty (idle workers at boot would look like a stalled machine before its first thread runs)
// and grows while every worker is busy, so items run several at a time and one that blocks does not hold
// up the others. A routine runs at PASSIVE_LEVEL with its device object referenced, and must
// return at PASSIVE_LEVEL.
#include "io_internal.h"

#include <hvsim/sched.h>
#include <image_calls.h>

#include <deque>

struct _IO_WORKITEM {
    uint32_t magic;
    std::atomic<bool> queued;
    PDEVICE_OBJECT device;
};

namespace hvsim::io::detail {
namespace {

constexpr uint32_t kItemLive = 0x4b524f57;  // "WORK"
constexpr uint32_t kItemFreed = 0x44454544; // "DEED"
constexpr size_t kMaxWorkers = 16;

struct WorkerPool {
    std::mutex lock;
    sched::ConditionVariable wake;
    std::deque<std::function<void()>> jobs;
    std::vector<std::thread> threads;
    size_t idle = 0;
    bool running = false;
    bool stopping = false;
};

WorkerPool& pool() {
    static WorkerPool* p = new WorkerPool;
    return *p;
}

void worker_loop() {
    auto& p = pool();
    std::unique_lock lock(p.lock);
    for (;;) {
        while (p.jobs.empty() && !p.stopping) {
            ++p.idle;
            p.wake.wait(lock);
            --p.idle;
        }
        if (p.jobs.empty()) return; // stopping, and everything queued has run
        auto job = std::move(p.jobs.front());
        p.jobs.pop_front();
        lock.unlock();
        job();
        KIRQL irql = KeGetCurrentIrql();
        if (irql != PASSIVE_LEVEL)
            bug_check(WORKER_THREAD_RETURNED_AT_BAD_IRQL,
                      "a work item routine returned at IRQL " + std::to_string(irql) + " instead of PASSIVE_LEVEL");
        lock.lock();
    }
}

void start_worker_locked(WorkerPool& p) {
    p.threads.push_back(sched::start_thread("System worker " + std::to_string(p.threads.size()), worker_loop));
}

PIO_WORKITEM checked_item(PIO_WORKITEM item, const char* routine) {
    if (!item || item->magic != kItemLive)
        bug_check(WORKER_INVALID,
                  std::string(routine) + " called with " + hex(item) + ", which is not a live work item");
    return item;
}

// The device reference and the hold on the routine's image last until the routine returned, so
// that its driver stays loaded meanwhile.
void queue_item(PIO_WORKITEM item, const void* routine, std::function<void()> run) {
    if (item->queued.exchange(true))
        bug_check(WORKER_INVALID, "IoQueueWorkItem: work item " + hex(item) + " is queued already");
    PDEVICE_OBJECT device = item->device;
    ob::reference(device);
    ldr::ImageSlot* image = ldr::enter_image(routine, "work item routine");
    queue_system_work([item, device, image, run = std::move(run)] {
        // The routine may free or queue the item again.
        item->queued = false;
        run();
        ldr::leave_image(image);
        ob::dereference(device);
    });
}

} // namespace

void queue_system_work(std::function<void()> job) {
    auto& p = pool();
    std::lock_guard lock(p.lock);
    if (!p.running || p.stopping)
        bug_check(WORKER_INVALID, "work queued for a system worker thread while the kernel is not running");
    p.jobs.push_back(std::move(job));
    if (p.idle == 0 && p.threads.size() < kMaxWorkers) start_worker_locked(p);
    p.wake.notify_one();
}

void start_workers() {
    auto& p = pool();
    std::lock_guard lock(p.lock);
    p.running = true;
    p.stopping = false;
}

void stop_workers() {
    auto& p = pool();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(p.lock);
        if (!p.running) return;
        p.stopping = true;
        p.wake.notify_all();
    }
    // Workers may still start others while they drain the queue; join until none is left.
    for (;;) {
        {
            std::lock_guard lock(p.lock);
            if (p.threads.empty()) break;
            threads.swap(p.threads);
        }
        for (auto& thread : threads) sched::join(thread);
        threads.clear();
    }
    std::lock_guard lock(p.lock);
    p.running = false;
    p.idle = 0;
}

} // namespace hvsim::io::detail

using namespace hvsim;
using namespace hvsim::io::detail;

HV_EXTERN_C_BEGIN

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    if (!DeviceObject) return nullptr;
    auto* item = static_cast<PIO_WORKITEM>(allocate(sizeof(IO_WORKITEM), kTagWorkItem));
    if (!item) return nullptr;
    item->magic = kItemLive;
    new (&item->queued) std::atomic<bool>(false);
    item->device = DeviceObject;
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    checked_item(IoWorkItem, "IoFreeWorkItem");
    if (IoWorkItem->queued)
        bug_check(WORKER_INVALID, "IoFreeWorkItem: work item " + hex(IoWorkItem) + " is still queued");
    IoWorkItem->magic = kItemFreed;
    release(IoWorkItem, kTagWorkItem);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
    checked_item(IoWorkItem, "IoQueueWorkItem");
    PDEVICE_OBJECT device = IoWorkItem->device;
    queue_item(IoWorkItem, reinterpret_cast<const void*>(WorkerRoutine),
               [WorkerRoutine, device, Context] { WorkerRoutine(device, Context); });
}

VOID IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                       PVOID Context) {
    checked_item(IoWorkItem, "IoQueueWorkItemEx");
    PDEVICE_OBJECT device = IoWorkItem->device;
    queue_item(IoWorkItem, reinterpret_cast<const void*>(WorkerRoutine),
               [WorkerRoutine, device, Context, IoWorkItem] { WorkerRoutine(device, Context, IoWorkItem); });
}

ULONG IoSizeofWorkItem(void) { return sizeof(IO_WORKITEM); }

HV_EXTERN_C_END
