// The read queue under the serial timeout rules, in machine time: reads sent through a device
// object to the queue, data handed in as the port driver hands it.
#include "pmframeworkmachine.h"
#include "pmqueue_testsupport.h"

#include <hvsim/pool.h>

using namespace pmqtest;

namespace {

class ReadQueue : public QueueDeviceTest {
protected:
    void timeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        dev->read->m_SetTimeouts(interval, multiplier, constant);
    }
    void arrive(const std::string& text) { dev->read->m_DataForPendingIrpArrived(make_buffer(bytes_of(text))); }
    std::unique_ptr<Request> read(ULONG length) {
        auto request = std::make_unique<Request>(IRP_MJ_READ, length);
        EXPECT_EQ(STATUS_PENDING, dev->send(*request));
        return request;
    }
    static std::string text_of(const Request& request) {
        auto bytes = request.received();
        return std::string(bytes.begin(), bytes.end());
    }
};

TEST_F(ReadQueue, ImmediateReturnGivesWhatIsThereAtOnce) {
    timeouts(MAXULONG, 0, 0);
    auto empty = read(10);
    EXPECT_TRUE(empty->done());
    EXPECT_EQ(STATUS_SUCCESS, empty->status());
    EXPECT_EQ(0u, empty->information());

    arrive("abc");
    auto some = read(10);
    ASSERT_TRUE(some->done());
    EXPECT_EQ(STATUS_SUCCESS, some->status());
    EXPECT_EQ("abc", text_of(*some));
    EXPECT_EQ(0u, dev->read->m_GetAmountInQueue());
}

TEST_F(ReadQueue, FirstByteWaitReturnsWithTheFirstDataOrTimesOut) {
    timeouts(MAXULONG, MAXULONG, 100);
    ULONGLONG start = now_ms();
    auto first = read(10);
    advance_ms(20);
    EXPECT_FALSE(first->done());
    arrive("xyz");
    ASSERT_TRUE(first->wait(0));
    EXPECT_EQ(STATUS_SUCCESS, first->status());
    EXPECT_EQ("xyz", text_of(*first));
    EXPECT_EQ(start + 20, first->completed_at_ms());

    start = now_ms();
    auto second = read(10);
    ASSERT_TRUE(second->wait());
    EXPECT_EQ(STATUS_TIMEOUT, second->status());
    EXPECT_EQ(0u, second->information());
    EXPECT_EQ(start + 100, second->completed_at_ms());
}

TEST_F(ReadQueue, NoTimeoutsWaitUntilTheReadIsFull) {
    timeouts(0, 0, 0);
    auto request = read(10);
    arrive("0123");
    arrive("456");
    advance_ms(5000);
    EXPECT_FALSE(request->done());
    arrive("789ab");
    ASSERT_TRUE(request->wait(0));
    EXPECT_EQ(STATUS_SUCCESS, request->status());
    EXPECT_EQ("0123456789", text_of(*request));
    // The rest stays held, the partly read buffer advanced in place.
    EXPECT_EQ(2u, dev->read->m_GetAmountInQueue());
    timeouts(MAXULONG, 0, 0);
    auto rest = read(10);
    EXPECT_EQ("ab", text_of(*rest));
}

TEST_F(ReadQueue, TotalTimeoutEndsTheReadWithTheBytesReceived) {
    timeouts(0, 10, 100);
    ULONGLONG start = now_ms();
    auto request = read(10);
    advance_ms(50);
    arrive("abc");
    ASSERT_TRUE(request->wait());
    EXPECT_EQ(STATUS_TIMEOUT, request->status());
    EXPECT_EQ("abc", text_of(*request));
    EXPECT_EQ(start + 200, request->completed_at_ms());
}

TEST_F(ReadQueue, IntervalTimeoutRunsBetweenBytesOnly) {
    timeouts(50, 0, 0);
    auto request = read(10);
    // No byte yet: an interval-only read waits as long as it takes.
    advance_ms(1000);
    EXPECT_FALSE(request->done());
    arrive("a");
    advance_ms(30);
    arrive("b"); // starts the interval anew
    ULONGLONG last = now_ms();
    ASSERT_TRUE(request->wait());
    EXPECT_EQ(STATUS_TIMEOUT, request->status());
    EXPECT_EQ("ab", text_of(*request));
    EXPECT_EQ(last + 50, request->completed_at_ms());
}

TEST_F(ReadQueue, ReadThatBecomesFirstWithoutDataDoesNotTakeTheIntervalTimer) {
    timeouts(50, 0, 0);
    auto first = read(4);
    auto second = read(4);
    arrive("abcd"); // fills the first exactly
    ASSERT_TRUE(first->wait(0));
    EXPECT_EQ("abcd", text_of(*first));
    advance_ms(500);
    EXPECT_FALSE(second->done());
    arrive("e");
    ASSERT_TRUE(second->wait());
    EXPECT_EQ(STATUS_TIMEOUT, second->status());
    EXPECT_EQ("e", text_of(*second));
}

TEST_F(ReadQueue, SecondReadGetsNoDataAndNoTimerUntilItIsFirst) {
    timeouts(0, 0, 100);
    ULONGLONG start = now_ms();
    auto first = read(4);
    auto second = read(4);
    arrive("ab");
    ASSERT_TRUE(first->wait());
    EXPECT_EQ(STATUS_TIMEOUT, first->status());
    EXPECT_EQ("ab", text_of(*first));
    EXPECT_EQ(start + 100, first->completed_at_ms());
    EXPECT_FALSE(second->done());
    ASSERT_TRUE(second->wait());
    EXPECT_EQ(STATUS_TIMEOUT, second->status());
    EXPECT_EQ(0u, second->information());
    EXPECT_EQ(start + 200, second->completed_at_ms());
}

TEST_F(ReadQueue, TimeoutsSetWhileAReadWaitsApplyToTheNextRead) {
    timeouts(0, 0, 100);
    ULONGLONG start = now_ms();
    auto first = read(4);
    timeouts(MAXULONG, 0, 0);
    ASSERT_TRUE(first->wait());
    EXPECT_EQ(STATUS_TIMEOUT, first->status());
    EXPECT_EQ(start + 100, first->completed_at_ms());
    auto second = read(4);
    EXPECT_TRUE(second->done());
}

TEST_F(ReadQueue, HugeTimeoutProductDoesNotWrapIntoAShortOne) {
    // 0x2000000 × 0x80 wraps to 0 in 32 bits; with the constant that would be 10 ms.
    timeouts(0, 0x2000000, 10);
    auto request = read(0x80);
    advance_ms(60000);
    EXPECT_FALSE(request->done());
    dev->read->m_CancelAll();
    EXPECT_EQ(STATUS_CANCELLED, request->status());
}

TEST_F(ReadQueue, DpcOfAnEarlierReadDoesNotTimeOutTheNextOne) {
    timeouts(0, 0, 100);
    auto first = read(2);
    advance_ms(10);
    arrive("ab");
    ASSERT_TRUE(first->done());
    auto second = read(2);
    advance_ms(40);
    // As if the first read's DPC had been queued before its timer was cancelled.
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    CPmReadQueue::sm_TotalTimeoutDpc(&dev->read->m_TotalTimer.m_kDpc, dev->read, nullptr, nullptr);
    CPmReadQueue::sm_IntervalTimeoutDpc(&dev->read->m_IntervalTimer.m_kDpc, dev->read, nullptr, nullptr);
    KeLowerIrql(irql);
    EXPECT_FALSE(second->done());
    ASSERT_TRUE(second->wait());
    EXPECT_EQ(STATUS_TIMEOUT, second->status());
}

TEST_F(ReadQueue, CancelledReadGivesItsBytesToTheNextRead) {
    timeouts(0, 0, 0);
    auto first = read(4);
    auto second = read(4);
    arrive("ab");
    EXPECT_TRUE(first->cancel());
    ASSERT_TRUE(first->done());
    EXPECT_EQ(STATUS_CANCELLED, first->status());
    EXPECT_EQ(0u, first->information());
    EXPECT_FALSE(second->done());
    arrive("cdef");
    ASSERT_TRUE(second->done());
    EXPECT_EQ("abcd", text_of(*second));
    EXPECT_EQ(2u, dev->read->m_GetAmountInQueue());
}

TEST_F(ReadQueue, CancelAllAndPurge) {
    std::vector<std::pair<ULONG, ULONG>> changes;
    dev->read->m_SetAmountChangedNotification(
        [](PVOID context, ULONG now, ULONG before) {
            static_cast<std::vector<std::pair<ULONG, ULONG>>*>(context)->push_back({now, before});
        },
        &changes);
    timeouts(0, 0, 0);
    auto first = read(8);
    auto second = read(8);
    arrive("abc");
    dev->read->m_CancelAll();
    EXPECT_EQ(STATUS_CANCELLED, first->status());
    EXPECT_EQ(0u, first->information());
    EXPECT_EQ(STATUS_CANCELLED, second->status());
    EXPECT_EQ(0u, second->information());

    // The first read's bytes are held again.
    EXPECT_EQ(3u, dev->read->m_GetAmountInQueue());
    arrive("defgh");
    EXPECT_EQ(8u, dev->read->m_GetAmountInQueue());
    EXPECT_EQ(8u, dev->read->m_Purge());
    EXPECT_EQ(0u, dev->read->m_GetAmountInQueue());
    EXPECT_EQ(0u, dev->read->m_Purge());
    // Arrival of 3 taken by the read at once, given back at the cancel, arrival of 5, purge.
    std::vector<std::pair<ULONG, ULONG>> expected = {{3, 0}, {8, 3}, {0, 8}};
    EXPECT_EQ(expected, changes);
}

TEST_F(ReadQueue, InactiveQueueRefusesWithItsStatus) {
    dev->read->m_SetActive(FALSE, STATUS_CANCELLED);
    Request request(IRP_MJ_READ, 4);
    EXPECT_EQ(STATUS_CANCELLED, dev->send(request));
    EXPECT_EQ(STATUS_CANCELLED, request.status());
    EXPECT_EQ(1, request.completions());
    dev->read->m_SetActive(TRUE, STATUS_CANCELLED);
    timeouts(MAXULONG, 0, 0);
    auto accepted = read(4);
    EXPECT_EQ(STATUS_SUCCESS, accepted->status());
}

TEST_F(ReadQueue, DestructionFreesHeldData) {
    arrive("held");
    arrive("data");
    EXPECT_EQ(8u, dev->read->m_GetAmountInQueue());
    dev->destroy_queues(); // the pool check at the end finds nothing left
}

TEST_F(ReadQueue, EmptyBufferIsRefusedAndFreed) {
    CPmBuffer* empty = make_buffer({});
    ASSERT_NE(nullptr, empty);
    dev->read->m_DataForPendingIrpArrived(empty);
    EXPECT_EQ(0u, dev->read->m_GetAmountInQueue());
}

TEST_F(ReadQueue, DestructionCancelsWaitingReadsAndFreesHeldData) {
    timeouts(0, 0, 0);
    auto request = read(8);
    arrive("abc");
    auto behind = read(4);
    arrive("defghijklm"); // fills the first and the second; one byte stays held
    ASSERT_TRUE(request->done());
    ASSERT_TRUE(behind->done());
    EXPECT_EQ("ijkl", text_of(*behind));
    EXPECT_EQ(1u, dev->read->m_GetAmountInQueue());
    auto waiting = read(8);
    arrive("n");
    dev->destroy_queues();
    EXPECT_EQ(STATUS_CANCELLED, waiting->status());
    EXPECT_EQ(0u, waiting->information());
    EXPECT_EQ(1, waiting->completions());
    Request late(IRP_MJ_READ, 4);
    EXPECT_EQ(STATUS_DELETE_PENDING, dev->send(late));
}

TEST_F(ReadQueue, AllocationFailuresLoseNothingButWhatCouldNotBeKept) {
    timeouts(MAXULONG, 0, 0);
    // The queue cannot take the read: it ends at once, and says why.
    Request refused(IRP_MJ_READ, 4);
    hvsim::pool::fail_nth(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, dev->send(refused));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, refused.status());
    // Data that cannot be held is dropped (and freed); what was held stays.
    arrive("kept");
    CPmBuffer* dropped = make_buffer(bytes_of("dropped"));
    hvsim::pool::fail_nth(1);
    dev->read->m_DataForPendingIrpArrived(dropped);
    hvsim::pool::clear_faults();
    EXPECT_EQ(4u, dev->read->m_GetAmountInQueue());
    auto request = read(10);
    EXPECT_EQ("kept", text_of(*request));
}

TEST_F(ReadQueue, TimingTraceLines) {
    TraceSession trace({43, 56});
    timeouts(MAXULONG, 0, 0);
    auto at_once = read(4);
    timeouts(0, 0, 20);
    auto waiting = read(4);
    arrive("abcd");
    auto timed_out = read(4);
    ASSERT_TRUE(timed_out->wait());
    dev->read->m_CancelAll();
    for (const char* line : {"QI D=", "CPmReadQueue::m_QueueIrp Interval D=", "CI1 D=", "DQ D=", "DQ - 0x61 62 63 64",
                             "DQL1 DL=", "DQL2 ulLengthToCopy=4 m_ulCurrentLength=4", "DQLEND", "CI5 D=",
                             "CI5 - 0x61 62 63 64", "CPmReadQueue::m_DataForPendingIrpArrived D=", "CI6 D="})
        EXPECT_TRUE(trace.contains(line)) << line;
}

// Through the I/O manager, on the framework's test driver (whose writes loop back as received
// data). Its reads wait with no timeouts set.
class ReadQueueMachine : public gendrvtest::FrameworkMachine {};

TEST_F(ReadQueueMachine, ReadsWaitForTheirBytesAndEndOnCancelAndOnCleanup) {
    add_device();
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, open(u"HVGT", &file));
    char buffer[8] = {};
    LONG status = STATUS_PENDING;
    ULONG_PTR information = 0;
    auto record = [&](LONG result, ULONG_PTR info) {
        information = info;
        status = result;
    };
    ASSERT_EQ(STATUS_PENDING, hvsim::io::read_file_async(file, buffer, sizeof buffer, record).status);
    ASSERT_EQ(STATUS_SUCCESS, hvsim::io::write_file(file, "abc", 3).status);
    EXPECT_EQ(STATUS_PENDING, status);
    ASSERT_EQ(STATUS_SUCCESS, hvsim::io::write_file(file, "defghij", 7).status);
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(8u, information);
    EXPECT_EQ("abcdefgh", std::string(buffer, 8));

    // The two bytes left over go to the next read; cancelled, it gives them back for the one after.
    status = STATUS_PENDING;
    ASSERT_EQ(STATUS_PENDING, hvsim::io::read_file_async(file, buffer, sizeof buffer, record).status);
    EXPECT_EQ(1u, hvsim::io::cancel_io(file));
    EXPECT_EQ(STATUS_CANCELLED, status);
    EXPECT_EQ(0u, information);
    EXPECT_EQ(2u, query_state(file).ulAmountInReadQueue);
    char two[2] = {};
    auto got = hvsim::io::read_file(file, two, sizeof two);
    EXPECT_EQ(STATUS_SUCCESS, got.status);
    EXPECT_EQ("ij", std::string(two, 2));

    status = STATUS_PENDING;
    ASSERT_EQ(STATUS_PENDING, hvsim::io::read_file_async(file, buffer, sizeof buffer, record).status);
    EXPECT_EQ(STATUS_SUCCESS, hvsim::io::close_file(file));
    EXPECT_EQ(STATUS_CANCELLED, status);
    EXPECT_EQ(0u, information);
    expect_driver_unloaded_clean();
}

} // namespace
