// Cancellation and cancel-safe queues: IoCancelIrp's contract, and a queue whose removals race
// with cancellation on many threads.
#include "io_test_driver.h"

#include <atomic>
#include <random>

using namespace hvsim;
using namespace hvsim::iotest;

namespace {

using IoCancel = IoTest;

// A driver's queue behind a cancel-safe queue, as the serial queues keep theirs.
struct Queue {
    IO_CSQ csq;
    KSPIN_LOCK lock = 0;
    LIST_ENTRY irps;
    size_t limit = SIZE_MAX; // inserts beyond this are refused
    size_t count = 0;
    std::atomic<int> cancelled{0};
    std::mutex irql_mutex;
    std::vector<KIRQL> cancel_irqls;
    bool lock_held_at_cancel = false;
    // Makes the canceller stop before it takes the queue lock.
    std::atomic<std::thread::id> gated_thread{};
    sched::Event gate_reached, gate_open;

    Queue() {
        InitializeListHead(&irps);
        KeInitializeSpinLock(&lock);
        IoCsqInitializeEx(&csq, insert, remove, peek, acquire, release, complete_canceled);
    }
    static Queue& of(PIO_CSQ csq) { return *CONTAINING_RECORD(csq, Queue, csq); }

    static NTSTATUS insert(PIO_CSQ csq, PIRP irp, PVOID) {
        Queue& q = of(csq);
        if (q.count >= q.limit) return STATUS_INVALID_PARAMETER;
        InsertTailList(&q.irps, &irp->Tail.Overlay.ListEntry);
        ++q.count;
        return STATUS_PENDING;
    }
    static VOID remove(PIO_CSQ csq, PIRP irp) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        --of(csq).count;
    }
    static PIRP peek(PIO_CSQ csq, PIRP irp, PVOID) {
        Queue& q = of(csq);
        PLIST_ENTRY next = irp ? irp->Tail.Overlay.ListEntry.Flink : q.irps.Flink;
        return next == &q.irps ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
    }
    static VOID acquire(PIO_CSQ csq, PKIRQL irql) {
        Queue& q = of(csq);
        if (q.gated_thread.load() == std::this_thread::get_id()) {
            q.gated_thread = std::thread::id();
            q.gate_reached.set();
            q.gate_open.wait();
        }
        KeAcquireSpinLock(&q.lock, irql);
    }
    static VOID release(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&of(csq).lock, irql); }
    static VOID complete_canceled(PIO_CSQ csq, PIRP irp) {
        Queue& q = of(csq);
        {
            std::lock_guard guard(q.irql_mutex);
            q.cancel_irqls.push_back(KeGetCurrentIrql());
        }
        // Taking the lock here would deadlock if it were still held.
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        if (!KeTryToAcquireSpinLockAtDpcLevel(&q.lock)) {
            q.lock_held_at_cancel = true;
        } else {
            KeReleaseSpinLockFromDpcLevel(&q.lock);
        }
        KeLowerIrql(old);
        ++q.cancelled;
        complete(irp, STATUS_CANCELLED);
    }
};

// IRPs sent by the test to a device that queues them; the sender's routine counts completions.
struct Fixture {
    TestDriver driver{u"CsqTest"};
    TestDevice& device = driver.create("device");
    Queue queue;
    std::vector<PIRP> irps;
    std::vector<std::atomic<int>> completions;
    std::vector<NTSTATUS> statuses;
    std::vector<IO_CSQ_IRP_CONTEXT> contexts;
    bool use_contexts = false;

    explicit Fixture(size_t n) : completions(n), statuses(n), contexts(n) {
        device.on(IRP_MJ_READ, [this](TestDevice&, PIRP irp, PIO_STACK_LOCATION) {
            size_t index = (size_t)irp->Tail.Overlay.DriverContext[0];
            NTSTATUS status = IoCsqInsertIrpEx(&queue.csq, irp, use_contexts ? &contexts[index] : nullptr, nullptr);
            if (!NT_SUCCESS(status)) return complete(irp, status);
            return STATUS_PENDING;
        });
        for (size_t i = 0; i < n; ++i) {
            PIRP irp = IoAllocateIrp(device.object->StackSize, FALSE);
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_READ;
            IoSetCompletionRoutine(irp, counted_completion, this, TRUE, TRUE, TRUE);
            irp->Tail.Overlay.DriverContext[0] = (PVOID)i;
            irps.push_back(irp);
        }
    }
    ~Fixture() {
        for (PIRP irp : irps) IoFreeIrp(irp);
    }
    size_t index_of(PIRP irp) { return std::find(irps.begin(), irps.end(), irp) - irps.begin(); }
    static NTSTATUS counted_completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* f = static_cast<Fixture*>(context);
        size_t i = f->index_of(irp);
        f->statuses[i] = irp->IoStatus.Status;
        ++f->completions[i];
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    NTSTATUS send(size_t i) { return IoCallDriver(device.object, irps[i]); }
};

TEST_F(IoCancel, CancelWithoutARoutineOnlySetsTheFlag) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);
}

TEST_F(IoCancel, TheCancelRoutineRunsAtDispatchWithTheCancelLockAndTheCallersIrqlSaved) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    struct Seen {
        KIRQL irql = 0xFF;
        KIRQL saved = 0xFF;
        bool cancel_flag = false;
    };
    static Seen seen;
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
        seen.irql = KeGetCurrentIrql();
        seen.saved = irp->CancelIrql;
        seen.cancel_flag = irp->Cancel;
        EXPECT_EQ(irp->CancelRoutine, nullptr) << "taken out before the call";
        IoReleaseCancelSpinLock(irp->CancelIrql);
    });
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_EQ(seen.saved, PASSIVE_LEVEL);
    EXPECT_TRUE(seen.cancel_flag);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(IoCancelIrp(irp)) << "the routine runs once";
    IoFreeIrp(irp);
}

TEST_F(IoCancel, QueueInsertionMarksPendingAndRemovalGivesTheIrpBackInOrder) {
    Fixture f(3);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(f.send(i), STATUS_PENDING);
    EXPECT_EQ(f.queue.count, 3u);
    EXPECT_TRUE(IoGetCurrentIrpStackLocation(f.irps[0])->Control & SL_PENDING_RETURNED);
    EXPECT_NE(f.irps[0]->CancelRoutine, nullptr);
    PIRP first = IoCsqRemoveNextIrp(&f.queue.csq, nullptr);
    EXPECT_EQ(first, f.irps[0]);
    EXPECT_EQ(first->CancelRoutine, nullptr);
    EXPECT_EQ(first->Tail.Overlay.DriverContext[3], nullptr);
    complete(first, STATUS_SUCCESS);
    EXPECT_EQ(f.completions[0], 1);
    EXPECT_TRUE(f.irps[0]->PendingReturned);

    // Cancelling a queued IRP completes it through the queue, at the canceller's IRQL, unlocked.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(IoCancelIrp(f.irps[1]));
    KeLowerIrql(old);
    EXPECT_EQ(f.statuses[1], STATUS_CANCELLED);
    EXPECT_EQ(f.queue.cancel_irqls, std::vector<KIRQL>{DISPATCH_LEVEL});
    EXPECT_FALSE(f.queue.lock_held_at_cancel);
    EXPECT_EQ(IoCsqRemoveNextIrp(&f.queue.csq, nullptr), f.irps[2]);
    EXPECT_EQ(IoCsqRemoveNextIrp(&f.queue.csq, nullptr), nullptr);
    complete(f.irps[2], STATUS_SUCCESS);
}

TEST_F(IoCancel, ARefusedInsertLeavesTheIrpToTheDriver) {
    Fixture f(2);
    f.queue.limit = 1;
    EXPECT_EQ(f.send(0), STATUS_PENDING);
    EXPECT_EQ(f.send(1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(f.statuses[1], STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(f.irps[1]->PendingReturned);
    complete(IoCsqRemoveNextIrp(&f.queue.csq, nullptr), STATUS_SUCCESS);
}

TEST_F(IoCancel, AnIrpCancelledBeforeInsertionIsCompletedAsCancelled) {
    Fixture f(1);
    IoCancelIrp(f.irps[0]);
    EXPECT_EQ(f.send(0), STATUS_PENDING) << "the dispatch routine marked it pending";
    EXPECT_EQ(f.completions[0], 1);
    EXPECT_EQ(f.statuses[0], STATUS_CANCELLED);
    EXPECT_EQ(f.queue.count, 0u);
}

TEST_F(IoCancel, RemovalByContextFindsItsIrpUntilItLeavesTheQueue) {
    Fixture f(2);
    f.use_contexts = true;
    f.send(0);
    f.send(1);
    EXPECT_EQ(f.contexts[1].Irp, f.irps[1]);
    EXPECT_EQ(IoCsqRemoveIrp(&f.queue.csq, &f.contexts[1]), f.irps[1]);
    EXPECT_EQ(f.contexts[1].Irp, nullptr);
    EXPECT_EQ(IoCsqRemoveIrp(&f.queue.csq, &f.contexts[1]), nullptr);
    complete(f.irps[1], STATUS_SUCCESS);
    IoCancelIrp(f.irps[0]);
    EXPECT_EQ(f.contexts[0].Irp, nullptr) << "cancellation took it out";
    EXPECT_EQ(IoCsqRemoveIrp(&f.queue.csq, &f.contexts[0]), nullptr);
}

TEST_F(IoCancel, RemovalSkipsAnIrpWhoseCancellationHasBegun) {
    Fixture f(2);
    f.send(0);
    f.send(1);
    std::thread canceller = sched::start_thread("canceller", [&] {
        f.queue.gated_thread = std::this_thread::get_id();
        IoCancelIrp(f.irps[0]);
    });
    f.queue.gate_reached.wait();
    // The canceller holds IRP 0's cancellation but not yet the queue lock.
    EXPECT_EQ(IoCsqRemoveNextIrp(&f.queue.csq, nullptr), f.irps[1]);
    f.queue.gate_open.set();
    sched::join(canceller);
    EXPECT_EQ(f.statuses[0], STATUS_CANCELLED);
    complete(f.irps[1], STATUS_SUCCESS);
    EXPECT_EQ(f.completions[0] + f.completions[1], 2);
}

TEST_F(IoCancel, CancellationRacingRemovalCompletesEveryIrpExactlyOnce) {
    constexpr size_t kIrps = 400;
    Fixture f(kIrps);
    f.use_contexts = true;
    std::atomic<bool> sent_all{false};
    std::atomic<size_t> removed{0};

    std::thread sender = sched::start_thread("sender", [&] {
        for (size_t i = 0; i < kIrps; ++i) f.send(i);
        sent_all = true;
    });
    std::vector<std::thread> removers;
    for (int r = 0; r < 3; ++r)
        removers.push_back(sched::start_thread("remover", [&, r] {
            for (;;) {
                PIRP irp = r == 0 ? IoCsqRemoveIrp(&f.queue.csq, &f.contexts[removed % kIrps])
                                  : IoCsqRemoveNextIrp(&f.queue.csq, nullptr);
                if (irp) {
                    ++removed;
                    complete(irp, STATUS_SUCCESS);
                } else if (sent_all) {
                    KIRQL irql;
                    KeAcquireSpinLock(&f.queue.lock, &irql);
                    bool empty = IsListEmpty(&f.queue.irps);
                    KeReleaseSpinLock(&f.queue.lock, irql);
                    if (empty) return;
                }
            }
        }));
    std::vector<std::thread> cancellers;
    for (int c = 0; c < 3; ++c)
        cancellers.push_back(sched::start_thread("canceller", [&, c] {
            std::mt19937 random(c);
            for (size_t i = 0; i < kIrps; ++i) {
                size_t index = random() % kIrps;
                KIRQL old;
                if (c == 0) KeRaiseIrql(DISPATCH_LEVEL, &old);
                IoCancelIrp(f.irps[index]);
                if (c == 0) KeLowerIrql(old);
            }
        }));
    sched::join(sender);
    for (auto& t : cancellers) sched::join(t);
    for (auto& t : removers) sched::join(t);

    size_t cancelled = 0;
    for (size_t i = 0; i < kIrps; ++i) {
        EXPECT_EQ(f.completions[i], 1) << "IRP " << i;
        EXPECT_TRUE(f.statuses[i] == STATUS_SUCCESS || f.statuses[i] == STATUS_CANCELLED);
        cancelled += f.statuses[i] == STATUS_CANCELLED;
    }
    EXPECT_EQ(cancelled, (size_t)f.queue.cancelled.load());
    EXPECT_EQ(cancelled + removed, kIrps);
}

using IoCancelDeathTest = IoCancel;

TEST_F(IoCancelDeathTest, ACancelRoutineThatKeepsTheCancelLockIsABugCheck) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    EXPECT_DEATH(IoCancelIrp(irp), "BUGCHECK 0x000000C9.*without releasing the cancel spin lock");
    IoSetCancelRoutine(irp, nullptr);
    IoFreeIrp(irp);
}

} // namespace
