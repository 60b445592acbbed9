// IRPs through device stacks: dispatch, completion order, thread and IRQL, keeping an IRP with
// STATUS_MORE_PROCESSING_REQUIRED, pending propagation, and the always-on ownership checks.
#include "io_test_driver.h"

#include <hvsim/object.h>

#include <atomic>
#include <thread>

using namespace hvsim;
using namespace hvsim::iotest;

namespace {

using IoIrp = IoTest;

// Records the completion routines that ran, with their thread and IRQL.
struct Completions {
    std::mutex mutex;
    std::vector<std::string> order;
    std::vector<std::thread::id> threads;
    std::vector<KIRQL> irqls;
    void add(const std::string& who) {
        std::lock_guard lock(mutex);
        order.push_back(who);
        threads.push_back(std::this_thread::get_id());
        irqls.push_back(KeGetCurrentIrql());
    }
};

struct RoutineContext {
    Completions* completions;
    std::string name;
    bool keep = false; // return STATUS_MORE_PROCESSING_REQUIRED
    KEVENT* event = nullptr;
};

NTSTATUS record_completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* c = static_cast<RoutineContext*>(context);
    c->completions->add(c->name);
    if (c->event) KeSetEvent(c->event, IO_NO_INCREMENT, FALSE);
    if (c->keep) return STATUS_MORE_PROCESSING_REQUIRED;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

// An IRP of the sender's own, for `top`'s stack, with the sender's routine on its first location.
PIRP read_irp(PDEVICE_OBJECT top, RoutineContext* sender) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, record_completion, sender, TRUE, TRUE, TRUE);
    return irp;
}

// A three-device stack: a filter and a function device above a bus device that pends every
// request until the test completes it.
struct Stack {
    TestDriver driver{u"StackTest"};
    PendingIrps pending;
    TestDevice& bus = driver.create("bus");
    TestDevice& function = driver.attach("function", bus);
    TestDevice& filter = driver.attach("filter", function);
    Completions completions;
    RoutineContext function_routine{&completions, "function"};
    RoutineContext filter_routine{&completions, "filter"};
    RoutineContext sender{&completions, "sender", true};

    Stack() {
        bus.on(IRP_MJ_READ, [this](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return pending.pend(irp); });
        auto with_routine = [](RoutineContext* routine) {
            return [routine](TestDevice& device, PIRP irp, PIO_STACK_LOCATION) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, record_completion, routine, TRUE, TRUE, TRUE);
                return IoCallDriver(device.lower, irp);
            };
        };
        function.on(IRP_MJ_READ, with_routine(&function_routine));
        filter.on(IRP_MJ_READ, with_routine(&filter_routine));
    }
    // A read of the sender's own, sent to the top of `top`'s part of the stack.
    PIRP send(TestDevice& top) {
        PIRP irp = read_irp(top.object, &sender);
        IoCallDriver(top.object, irp);
        return irp;
    }
};

TEST_F(IoIrp, StackSizesGrowWithEachAttachedDevice) {
    Stack s;
    EXPECT_EQ(s.bus.object->StackSize, 1);
    EXPECT_EQ(s.function.object->StackSize, 2);
    EXPECT_EQ(s.filter.object->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(s.bus.object), s.filter.object);
}

TEST_F(IoIrp, CompletionRoutinesRunBottomUpInTheCompletingThreadAtItsIrql) {
    Stack s;
    PIRP irp = read_irp(s.filter.object, &s.sender);
    EXPECT_EQ(IoCallDriver(s.filter.object, irp), STATUS_PENDING);
    ASSERT_EQ(s.pending.size(), 1u);

    std::thread::id completer;
    std::thread worker = sched::start_thread("completer", [&] {
        completer = std::this_thread::get_id();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        complete(s.pending.take(), STATUS_SUCCESS, 7);
        KeLowerIrql(old);
    });
    sched::join(worker);

    EXPECT_EQ(s.completions.order, (std::vector<std::string>{"function", "filter", "sender"}));
    for (auto id : s.completions.threads) EXPECT_EQ(id, completer);
    for (auto irql : s.completions.irqls) EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1) << "completion climbed back to the sender";
    IoFreeIrp(irp);
}

TEST_F(IoIrp, MoreProcessingRequiredStopsCompletionAndTheKeeperCompletesLater) {
    Stack s;
    s.function_routine.keep = true;
    PIRP irp = s.send(s.filter);
    complete(s.pending.take(), STATUS_SUCCESS);
    EXPECT_EQ(s.completions.order, std::vector<std::string>{"function"});
    // The function driver owns it again, at its own stack location.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, s.function.object);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(s.completions.order, (std::vector<std::string>{"function", "filter", "sender"}));
    IoFreeIrp(irp);
}

TEST_F(IoIrp, AKeptIrpIsSentAgainAsItIsAndReusedAfterIoReuseIrp) {
    Stack s;
    PIRP irp = s.send(s.function);
    complete(s.pending.take(), STATUS_CANCELLED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);

    // Manual reuse, as a continuous reader does: set the next location again and send.
    irp->Cancel = FALSE;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, record_completion, &s.sender, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(s.function.object, irp), STATUS_PENDING);
    complete(s.pending.take(), STATUS_SUCCESS, 3);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);

    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);
    IoFreeIrp(irp);
}

TEST_F(IoIrp, InvokeFlagsSelectWhichCompletionsCallTheRoutine) {
    TestDriver driver;
    TestDevice& lower = driver.create("lower");
    NTSTATUS answer = STATUS_SUCCESS;
    lower.on(IRP_MJ_READ, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return complete(irp, answer); });
    Completions completions;
    struct Case {
        bool success, error, cancel;
        NTSTATUS status;
        bool cancelled;
        bool expect_call;
    } cases[] = {
        {true, false, false, STATUS_SUCCESS, false, true},      {true, false, false, STATUS_UNSUCCESSFUL, false, false},
        {false, true, false, STATUS_UNSUCCESSFUL, false, true}, {false, true, false, STATUS_SUCCESS, false, false},
        {false, false, true, STATUS_CANCELLED, true, true},     {false, false, true, STATUS_CANCELLED, false, false},
        {true, true, true, STATUS_TIMEOUT, false, true},
    };
    for (const auto& c : cases) {
        completions.order.clear();
        RoutineContext routine{&completions, "routine", true};
        PIRP irp = IoAllocateIrp(lower.object->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, record_completion, &routine, c.success, c.error, c.cancel);
        irp->Cancel = c.cancelled;
        answer = c.status;
        if (c.expect_call) {
            IoCallDriver(lower.object, irp);
            EXPECT_EQ(completions.order.size(), 1u) << "status " << std::hex << c.status;
            IoFreeIrp(irp);
        } else {
            // Without the routine the completion would run past the sender: that is the check
            // below, so only the routine's absence is looked at here, through a parent IRP.
            IoFreeIrp(irp);
            TestDevice& upper = driver.attach("upper", lower);
            upper.on(IRP_MJ_READ, [&](TestDevice& device, PIRP parent, PIO_STACK_LOCATION) {
                IoCopyCurrentIrpStackLocationToNext(parent);
                IoSetCompletionRoutine(parent, record_completion, &routine, c.success, c.error, c.cancel);
                return IoCallDriver(device.lower, parent);
            });
            RoutineContext sender{&completions, "sender", true};
            PIRP outer = read_irp(upper.object, &sender);
            outer->Cancel = c.cancelled;
            IoCallDriver(upper.object, outer);
            EXPECT_EQ(completions.order, std::vector<std::string>{"sender"}) << "status " << std::hex << c.status;
            IoFreeIrp(outer);
            driver.remove(upper);
        }
    }
}

TEST_F(IoIrp, PendingReturnedReachesEachRoutineAndTheSender) {
    Stack s;
    std::vector<BOOLEAN> seen;
    struct Probe {
        std::vector<BOOLEAN>* seen;
    } probe{&seen};
    // The function device's routine looks at PendingReturned and propagates it.
    s.function.on(IRP_MJ_READ, [&](TestDevice& device, PIRP irp, PIO_STACK_LOCATION) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
                static_cast<Probe*>(context)->seen->push_back(irp->PendingReturned);
                if (irp->PendingReturned) IoMarkIrpPending(irp);
                return STATUS_SUCCESS;
            },
            &probe, TRUE, TRUE, TRUE);
        return IoCallDriver(device.lower, irp);
    });
    // The filter skips its location: no routine, the I/O manager propagates for it.
    s.filter.handlers.erase(IRP_MJ_READ);
    PIRP irp = read_irp(s.filter.object, &s.sender);
    EXPECT_EQ(IoCallDriver(s.filter.object, irp), STATUS_PENDING);
    complete(s.pending.take(), STATUS_SUCCESS);
    EXPECT_EQ(seen, std::vector<BOOLEAN>{TRUE});
    EXPECT_TRUE(irp->PendingReturned) << "the sender's routine sees that the stack pended";
    IoFreeIrp(irp);

    // Completed at once, nothing pended: PendingReturned stays FALSE all the way.
    seen.clear();
    s.bus.on(IRP_MJ_READ, [](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return complete(irp, STATUS_SUCCESS); });
    irp = read_irp(s.filter.object, &s.sender);
    EXPECT_EQ(IoCallDriver(s.filter.object, irp), STATUS_SUCCESS);
    EXPECT_EQ(seen, std::vector<BOOLEAN>{FALSE});
    EXPECT_FALSE(irp->PendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IoIrp, CompletionRoutineExKeepsTheDeviceUntilItRan) {
    Stack s;
    Completions completions;
    RoutineContext routine{&completions, "ex", false};
    s.function.on(IRP_MJ_READ, [&](TestDevice& device, PIRP irp, PIO_STACK_LOCATION) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        EXPECT_EQ(IoSetCompletionRoutineEx(device.object, irp, record_completion, &routine, TRUE, FALSE, FALSE),
                  STATUS_SUCCESS);
        return IoCallDriver(device.lower, irp);
    });
    RoutineContext sender{&completions, "sender", true};
    PIRP irp = read_irp(s.function.object, &sender);
    LONG_PTR before = ob::reference_count(s.function.object);
    IoCallDriver(s.function.object, irp);
    EXPECT_EQ(ob::reference_count(s.function.object), before + 1);
    complete(s.pending.take(), STATUS_SUCCESS);
    EXPECT_EQ(ob::reference_count(s.function.object), before);
    EXPECT_EQ(completions.order, (std::vector<std::string>{"ex", "sender"}));

    // Not invoked on error: the reference still goes.
    completions.order.clear();
    irp->Cancel = FALSE;
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, record_completion, &sender, TRUE, TRUE, TRUE);
    IoCallDriver(s.function.object, irp);
    complete(s.pending.take(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ob::reference_count(s.function.object), before);
    EXPECT_EQ(completions.order, std::vector<std::string>{"sender"});
    IoFreeIrp(irp);
}

TEST_F(IoIrp, DeviceControlRequestIsBufferedSignalledAndFreedByTheIoManager) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    device.on(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION stack) {
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, code);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 8u);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 12u);
        auto* buffer = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
        // One buffer for both directions: read the input before writing the output.
        ULONG a = buffer[0], b = buffer[1];
        buffer[0] = a + b;
        buffer[1] = a * b;
        buffer[2] = 0xFEEDu;
        return complete(irp, STATUS_SUCCESS, 8); // only two of the three DWORDs
    });
    ULONG input[2] = {3, 4};
    ULONG output[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(code, device.object, input, sizeof input, output, sizeof output, TRUE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    size_t live = io::live_irp_count();
    EXPECT_EQ(IoCallDriver(device.object, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 8u);
    EXPECT_EQ(output[0], 7u);
    EXPECT_EQ(output[1], 12u);
    EXPECT_EQ(output[2], 0xAAAAu) << "only Information bytes come back";
    EXPECT_EQ(io::live_irp_count(), live - 1) << "the I/O manager freed it";
}

TEST_F(IoIrp, SynchronousRequestPendedOnAnotherThreadWakesTheWaiter) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    PendingIrps pending;
    device.on(IRP_MJ_DEVICE_CONTROL, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return pending.pend(irp); });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             device.object, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    ASSERT_EQ(IoCallDriver(device.object, irp), STATUS_PENDING);
    std::thread completer = sched::start_thread("completer", [&] {
        LARGE_INTEGER delay;
        delay.QuadPart = -sec(2);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        complete(pending.take(), STATUS_TIMEOUT, 0);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_TIMEOUT);
    EXPECT_EQ(sched::now(), sec(2));
    sched::join(completer);
}

TEST_F(IoIrp, FsdRequestsFollowTheDevicesBufferingFlags) {
    TestDriver driver;
    for (ULONG flags : {ULONG(DO_BUFFERED_IO), ULONG(DO_DIRECT_IO), ULONG(0)}) {
        TestDevice& device = driver.create("device", {}, flags);
        device.on(IRP_MJ_READ, [flags](TestDevice&, PIRP irp, PIO_STACK_LOCATION stack) {
            EXPECT_EQ(stack->Parameters.Read.Length, 6u);
            EXPECT_EQ(stack->Parameters.Read.ByteOffset.QuadPart, 40);
            char* target = nullptr;
            if (flags & DO_BUFFERED_IO)
                target = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
            else if (flags & DO_DIRECT_IO)
                target = static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
            else
                target = static_cast<char*>(irp->UserBuffer);
            EXPECT_NE(target, nullptr);
            if (flags & DO_DIRECT_IO) {
                EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), 6u);
            }
            memcpy(target, "abcdef", 4);
            return complete(irp, STATUS_SUCCESS, 4);
        });
        char buffer[6] = {'-', '-', '-', '-', '-', '-'};
        LARGE_INTEGER offset;
        offset.QuadPart = 40;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp =
            IoBuildSynchronousFsdRequest(IRP_MJ_READ, device.object, buffer, sizeof buffer, &offset, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        IoCallDriver(device.object, irp);
        EXPECT_EQ(iosb.Information, 4u);
        EXPECT_EQ(std::string(buffer, 6), "abcd--") << "flags " << flags;
    }
    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_DEVICE_CONTROL, driver.object->DeviceObject, nullptr, 0, nullptr,
                                           nullptr, nullptr),
              nullptr);
}

TEST_F(IoIrp, AsynchronousFsdReadDeliversDataBeforeTheSendersRoutineFreesIt) {
    TestDriver driver;
    TestDevice& device = driver.create("device", {}, DO_BUFFERED_IO);
    device.on(IRP_MJ_READ, [](TestDevice&, PIRP irp, PIO_STACK_LOCATION) {
        memcpy(irp->AssociatedIrp.SystemBuffer, "xyz", 3);
        return complete(irp, STATUS_SUCCESS, 3);
    });
    char buffer[3] = {};
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, device.object, buffer, 3, nullptr, &iosb);
    struct Seen {
        std::string data;
        char* buffer;
    } seen{{}, buffer};
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
            auto* s = static_cast<Seen*>(context);
            s->data.assign(s->buffer, 3);
            IoFreeIrp(irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &seen, TRUE, TRUE, TRUE);
    IoCallDriver(device.object, irp);
    EXPECT_EQ(seen.data, "xyz");
}

// ---------------------------------------------------------------------------------------------
// The always-on checks

using IoIrpDeathTest = IoIrp;

TEST_F(IoIrpDeathTest, CompletingTwiceIsABugCheck) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    device.on(IRP_MJ_DEVICE_CONTROL, [](TestDevice&, PIRP irp, PIO_STACK_LOCATION) {
        complete(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, device.object, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    EXPECT_DEATH(IoCallDriver(device.object, irp), "BUGCHECK 0x00000044.*completed twice");
}

TEST_F(IoIrpDeathTest, CompletingAnIrpThatCameBackToItsSenderIsABugCheck) {
    Stack s;
    PIRP irp = s.send(s.function);
    complete(s.pending.take(), STATUS_SUCCESS);
    EXPECT_DEATH(IoCompleteRequest(irp, IO_NO_INCREMENT), "BUGCHECK 0x00000044.*no driver holds it");
    IoFreeIrp(irp);
}

TEST_F(IoIrpDeathTest, FreeingAnIrpThatADriverHoldsIsABugCheck) {
    Stack s;
    PIRP irp = s.send(s.function);
    PIRP held = s.pending.take();
    EXPECT_DEATH(IoFreeIrp(irp), "BUGCHECK 0x000000C9.*still holds it");
    complete(held, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IoIrpDeathTest, FreeingAnIrpWithACancelRoutineIsABugCheck) {
    Stack s;
    PIRP irp = s.send(s.function);
    // Still queued with its cancel routine; the sender frees it in a forked copy.
    EXPECT_DEATH(IoFreeIrp(irp), "BUGCHECK 0x000000C9.*cancel routine");
    complete(s.pending.take(), STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IoIrpDeathTest, MarkingPendingAndReturningSuccessIsABugCheck) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    device.on(IRP_MJ_READ, [](TestDevice&, PIRP irp, PIO_STACK_LOCATION) {
        IoMarkIrpPending(irp);
        complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    });
    Completions completions;
    RoutineContext sender{&completions, "sender", true};
    PIRP irp = read_irp(device.object, &sender);
    EXPECT_DEATH(IoCallDriver(device.object, irp),
                 "BUGCHECK 0x000000C9.*marked IRP .* pending but returned 0x00000000");
}

TEST_F(IoIrpDeathTest, CompletingWithStatusPendingIsABugCheck) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    device.on(IRP_MJ_READ, [](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return complete(irp, STATUS_PENDING); });
    Completions completions;
    RoutineContext sender{&completions, "sender", true};
    PIRP irp = read_irp(device.object, &sender);
    EXPECT_DEATH(IoCallDriver(device.object, irp), "BUGCHECK 0x000000C9.*completed with STATUS_PENDING");
    IoFreeIrp(irp);
}

TEST_F(IoIrpDeathTest, CompletingWithTheCancelRoutineSetIsABugCheck) {
    Stack s;
    PIRP irp = s.send(s.function);
    EXPECT_DEATH(complete(irp, STATUS_SUCCESS), "BUGCHECK 0x00000048.*cancel routine");
    complete(s.pending.take(), STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IoIrpDeathTest, TooFewStackLocationsIsABugCheck) {
    Stack s;
    Completions completions;
    RoutineContext sender{&completions, "sender", true};
    PIRP irp = read_irp(s.function.object, &sender); // two locations for a three-device stack
    EXPECT_DEATH(IoCallDriver(s.filter.object, irp), "BUGCHECK 0x00000035.*no stack location left");
    IoFreeIrp(irp);
}

TEST_F(IoIrpDeathTest, AnAllocatedIrpCompletedPastItsSenderIsABugCheck) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_DEATH(IoCallDriver(device.object, irp), "BUGCHECK 0x000000C9.*STATUS_MORE_PROCESSING_REQUIRED");
    IoFreeIrp(irp);
}

TEST_F(IoIrpDeathTest, MethodBufferedInformationBeyondTheOutputIsABugCheck) {
    TestDriver driver;
    TestDevice& device = driver.create("device");
    device.on(IRP_MJ_DEVICE_CONTROL,
              [](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return complete(irp, STATUS_SUCCESS, 16); });
    char input[16] = {}, output[4];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, device.object, input, sizeof input, output, sizeof output, FALSE,
                                             &event, &iosb);
    EXPECT_DEATH(IoCallDriver(device.object, irp),
                 "BUGCHECK 0x000000C9.*Information 16, more than the caller's buffer of 4");
    IoFreeIrp(irp);
}

} // namespace
