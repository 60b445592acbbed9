// The control queue: IOCTL_SERIAL_WAIT_ON_MASK against recorded events and the wait mask.
#include "pmframeworkmachine.h"
#include "pmqueue_testsupport.h"

#include <hvsim/pool.h>
#include <ntddser.h>

using namespace pmqtest;

namespace {

constexpr ULONG EV_RXCHAR = SERIAL_EV_RXCHAR;
constexpr ULONG EV_TXEMPTY = SERIAL_EV_TXEMPTY;
constexpr ULONG EV_CTS = SERIAL_EV_CTS;
constexpr ULONG EV_PERR = SERIAL_EV_PERR;
constexpr ULONG EV_RX80FULL = SERIAL_EV_RX80FULL;

class ControlQueue : public QueueDeviceTest {
protected:
    std::unique_ptr<Request> wait_on_mask() {
        auto request = std::make_unique<Request>(IRP_MJ_DEVICE_CONTROL, 4, IOCTL_SERIAL_WAIT_ON_MASK);
        std::fill(request->data().begin(), request->data().end(), 0xEE);
        last_dispatch = dev->send(*request);
        return request;
    }
    static ULONG events_of(Request& request) {
        ULONG events;
        memcpy(&events, request.data().data(), sizeof events);
        return events;
    }
    void record(ULONG events) {
        dev->control->m_SetCommEventsReceived(events);
        dev->control->m_ResolveCurrentEventMask();
    }
    NTSTATUS last_dispatch = STATUS_SUCCESS;
};

TEST_F(ControlQueue, ZeroMaskRefusesTheWait) {
    auto request = wait_on_mask();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, last_dispatch);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, request->status());
    EXPECT_EQ(4u, request->information());
    EXPECT_EQ(0u, events_of(*request));
}

TEST_F(ControlQueue, EventRecordedBeforeTheWaitCompletesItAtOnce) {
    dev->control->m_SetWaitMask(EV_RXCHAR | EV_CTS);
    record(EV_RXCHAR | EV_TXEMPTY);
    auto request = wait_on_mask();
    // Marked pending before it was completed: the dispatch answer stays STATUS_PENDING.
    EXPECT_EQ(STATUS_PENDING, last_dispatch);
    ASSERT_TRUE(request->done());
    EXPECT_EQ(STATUS_SUCCESS, request->status());
    EXPECT_EQ(4u, request->information());
    EXPECT_EQ(EV_RXCHAR, events_of(*request));
    // Only the delivered bit is taken from the received events.
    EXPECT_EQ(EV_TXEMPTY, dev->control->m_GetEventsReceived());
}

TEST_F(ControlQueue, WaitStaysPendingUntilAMatchingEvent) {
    dev->control->m_SetWaitMask(EV_CTS);
    record(EV_RXCHAR);
    auto request = wait_on_mask();
    EXPECT_EQ(STATUS_PENDING, last_dispatch);
    EXPECT_FALSE(request->done());
    EXPECT_EQ(EV_RXCHAR, dev->control->m_GetEventsReceived());
    record(EV_PERR); // never satisfies a wait
    EXPECT_FALSE(request->done());
    record(EV_CTS);
    ASSERT_TRUE(request->done());
    EXPECT_EQ(STATUS_SUCCESS, request->status());
    EXPECT_EQ(EV_CTS, events_of(*request));
}

TEST_F(ControlQueue, PerrAloneNeverSatisfiesEvenWhenMasked) {
    dev->control->m_SetWaitMask(EV_PERR | EV_RX80FULL);
    record(EV_PERR);
    auto request = wait_on_mask();
    EXPECT_FALSE(request->done());
    record(EV_RX80FULL);
    ASSERT_TRUE(request->done());
    EXPECT_EQ(EV_RX80FULL, events_of(*request));
}

TEST_F(ControlQueue, SecondWaitIsRefused) {
    dev->control->m_SetWaitMask(EV_CTS);
    auto first = wait_on_mask();
    auto second = wait_on_mask();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, last_dispatch);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, second->status());
    EXPECT_EQ(4u, second->information());
    EXPECT_EQ(0u, events_of(*second));
    EXPECT_FALSE(first->done());
    dev->control->m_CancelAll();
    EXPECT_EQ(STATUS_CANCELLED, first->status());
}

TEST_F(ControlQueue, NewMaskCompletesTheWaitWithNoEvents) {
    dev->control->m_SetWaitMask(EV_CTS);
    record(EV_RXCHAR);
    auto request = wait_on_mask();
    dev->control->m_SetWaitMask(EV_RXCHAR);
    ASSERT_TRUE(request->done());
    EXPECT_EQ(STATUS_SUCCESS, request->status());
    EXPECT_EQ(4u, request->information());
    EXPECT_EQ(0u, events_of(*request));
    // The events received under the old mask are forgotten.
    EXPECT_EQ(0u, dev->control->m_GetEventsReceived());
    EXPECT_EQ(EV_RXCHAR, dev->control->m_GetWaitMask());
}

TEST_F(ControlQueue, CancelCleanupAndDestructionEndTheWaitWithStatusCancelled) {
    dev->control->m_SetWaitMask(EV_CTS);
    auto cancelled = wait_on_mask();
    EXPECT_TRUE(cancelled->cancel());
    EXPECT_EQ(STATUS_CANCELLED, cancelled->status());
    EXPECT_EQ(0u, cancelled->information());

    auto cleaned = wait_on_mask();
    EXPECT_EQ(STATUS_PENDING, last_dispatch);
    dev->control->m_CancelAll();
    EXPECT_EQ(STATUS_CANCELLED, cleaned->status());

    auto destroyed = wait_on_mask();
    dev->destroy_queues();
    EXPECT_EQ(STATUS_CANCELLED, destroyed->status());
    EXPECT_EQ(1, destroyed->completions());
}

TEST_F(ControlQueue, ClearedEventsNoLongerSatisfy) {
    dev->control->m_SetWaitMask(EV_TXEMPTY);
    dev->control->m_SetCommEventsReceived(EV_TXEMPTY);
    dev->control->m_ClearCommEvents(EV_TXEMPTY);
    auto request = wait_on_mask();
    EXPECT_FALSE(request->done());
    dev->control->m_SetWaitMask(0);
    EXPECT_TRUE(request->done());
}

TEST_F(ControlQueue, WaitThatCannotBeQueuedEndsWithNoEvents) {
    dev->control->m_SetWaitMask(EV_CTS);
    Request request(IRP_MJ_DEVICE_CONTROL, 4, IOCTL_SERIAL_WAIT_ON_MASK);
    hvsim::pool::fail_nth(1);
    last_dispatch = dev->send(request);
    hvsim::pool::clear_faults();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, last_dispatch);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, request.status());
    EXPECT_EQ(4u, request.information());
    EXPECT_EQ(0u, events_of(request));
}

TEST_F(ControlQueue, ShortOutputBufferIsRefused) {
    dev->control->m_SetWaitMask(EV_CTS);
    Request request(IRP_MJ_DEVICE_CONTROL, 2, IOCTL_SERIAL_WAIT_ON_MASK);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, dev->send(request));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, request.status());
}

TEST_F(ControlQueue, EventsFromManyThreadsCompleteEveryWaitOnce) {
    dev->control->m_SetWaitMask(EV_RXCHAR | EV_CTS);
    std::atomic<bool> stop{false};
    Threads threads;
    threads.start(3, "events", [&](int index) {
        while (!stop) {
            dev->control->m_SetCommEventsReceived(index == 0 ? EV_RXCHAR : EV_CTS);
            dev->control->m_ResolveCurrentEventMask();
            advance_ms(1);
        }
    });
    for (int round = 0; round < 200; ++round) {
        auto request = wait_on_mask();
        if (round % 7 == 3)
            request->cancel();
        ASSERT_TRUE(request->wait(10000));
        EXPECT_EQ(1, request->completions());
        if (request->status() == STATUS_SUCCESS)
            EXPECT_NE(0u, events_of(*request) & (EV_RXCHAR | EV_CTS));
        else
            EXPECT_EQ(STATUS_CANCELLED, request->status());
    }
    stop = true;
    threads.join();
}

TEST_F(ControlQueue, TraceLines) {
    TraceSession trace({30});
    dev->control->m_SetWaitMask(EV_CTS);
    auto request = wait_on_mask();
    record(EV_CTS);
    auto renewed = wait_on_mask();
    dev->control->m_SetWaitMask(EV_RXCHAR);
    auto cancelled = wait_on_mask();
    dev->control->m_CancelAll();
    dev->control->m_ClearCommEvents(EV_TXEMPTY);
    for (const char* line :
         {"CPmControlQueue::m_GetWaitMask - CurrentMask:0x8", "CPmControlQueue::m_QueueIrp (m_WaitOnMask) - Queued MaskIrp:0x",
          "CPmControlQueue::m_ResolveCurrentEventMask - ReturnedEvent: 0x8, EventsReceived:0x0, CurrentMask:0x8",
          "CPmControlQueue::m_ResolveCurrentEventMask - Completed MaskIrp:0x", "CPmControlQueue::m_SetWaitMask - Completed MaskIrp:0x",
          "CPmControlQueue::m_SetWaitMask - Cancelled MaskIrp:0x", "CPmControlQueue::m_ClearCommEvents - EventsReceived:0x0, CurrentMask:0x1"})
        EXPECT_TRUE(trace.contains(line)) << line;
}

// Through the I/O manager, on the framework's test driver.
class ControlQueueMachine : public gendrvtest::FrameworkMachine {
protected:
    hvsim::io::Issue wait_async(ULONG* events, LONG* status, ULONG_PTR* information) {
        *status = STATUS_PENDING;
        return hvsim::io::device_control_async(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, events, sizeof(ULONG),
                                               [status, information](LONG result, ULONG_PTR info) {
                                                   *information = info;
                                                   *status = result;
                                               });
    }
    void set_mask(ULONG mask) {
        ASSERT_EQ(STATUS_SUCCESS,
                  hvsim::io::device_control(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0).status);
    }
    hvsim::io::FileObject* file = nullptr;
};

TEST_F(ControlQueueMachine, NewMaskEndsTheWaitWithNoEventsAndCleanupCancelsIt) {
    add_device();
    ASSERT_EQ(STATUS_SUCCESS, open(u"HVGT", &file));
    set_mask(EV_RXCHAR);
    ULONG events = 0xFFFFFFFF;
    LONG status;
    ULONG_PTR information = 0;
    auto issue = wait_async(&events, &status, &information);
    ASSERT_TRUE(issue.issued);
    EXPECT_EQ(STATUS_PENDING, issue.status);
    set_mask(EV_CTS);
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(sizeof(ULONG), information);
    EXPECT_EQ(0u, events);

    // A byte looped back is no event of this mask: the wait stays until the handle closes.
    ASSERT_TRUE(wait_async(&events, &status, &information).issued);
    ASSERT_EQ(STATUS_SUCCESS, hvsim::io::write_file(file, "x", 1).status);
    EXPECT_EQ(STATUS_PENDING, status);
    EXPECT_EQ(STATUS_SUCCESS, hvsim::io::close_file(file));
    EXPECT_EQ(STATUS_CANCELLED, status);
    EXPECT_EQ(0u, information);
    expect_driver_unloaded_clean();
}

TEST_F(ControlQueueMachine, CancelIoEndsTheWait) {
    add_device();
    ASSERT_EQ(STATUS_SUCCESS, open(u"HVGT", &file));
    set_mask(EV_CTS);
    ULONG events = 0;
    LONG status;
    ULONG_PTR information = 0;
    ASSERT_TRUE(wait_async(&events, &status, &information).issued);
    EXPECT_EQ(1u, hvsim::io::cancel_io(file));
    EXPECT_EQ(STATUS_CANCELLED, status);
    // The next wait is taken again.
    ASSERT_TRUE(wait_async(&events, &status, &information).issued);
    ULONG raised = EV_CTS;
    ASSERT_EQ(STATUS_SUCCESS,
              hvsim::io::device_control(file, IOCTL_HVGT_RAISE_EVENTS, &raised, sizeof raised, nullptr, 0).status);
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(EV_CTS, events);
    EXPECT_EQ(STATUS_SUCCESS, hvsim::io::close_file(file));
    expect_driver_unloaded_clean();
}

} // namespace
