// The write queue: chunks by transmit credit, completion by acknowledged bytes, the total
// timeout, cancellation and its discount, in machine time.
#include "pmqueue_testsupport.h"

#include <hvsim/io.h>
#include <hvsim/pool.h>

using namespace pmqtest;

namespace {

class WriteQueue : public QueueDeviceTest {
protected:
    std::unique_ptr<Request> write(const std::string& text) {
        auto request = std::make_unique<Request>(IRP_MJ_WRITE, (ULONG)text.size());
        std::copy(text.begin(), text.end(), request->data().begin());
        EXPECT_EQ(STATUS_PENDING, dev->send(*request));
        return request;
    }
    // Lets the worker build what it can.
    void settle() { advance_ms(1); }
    std::string sent() {
        auto bytes = dev->sink.take_bytes();
        return std::string(bytes.begin(), bytes.end());
    }
    void acknowledge(ULONG count) { dev->write->m_DataWritten(count); }
};

TEST_F(WriteQueue, WritesWaitForTheFirstCreditThenCompleteWhenAcknowledged) {
    auto request = write("hello");
    settle();
    EXPECT_EQ(0u, dev->sink.chunk_count());
    EXPECT_EQ(5u, dev->write->m_GetPendingBytes());
    acknowledge(64); // the first report only grants credit
    settle();
    EXPECT_EQ("hello", sent());
    EXPECT_FALSE(request->done());
    EXPECT_EQ(0u, dev->write->m_GetPendingBytes());
    acknowledge(5);
    ASSERT_TRUE(request->done());
    EXPECT_EQ(STATUS_SUCCESS, request->status());
    EXPECT_EQ(5u, request->information());
    EXPECT_TRUE(dev->write->m_IsEmpty());
}

TEST_F(WriteQueue, LargeWriteGoesOutInChunksNoLargerThanTheCredit) {
    acknowledge(64);
    std::string text(200, 'x');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = (char)('a' + i % 26);
    auto request = write(text);
    settle();
    EXPECT_EQ(std::vector<ULONG>{64}, dev->sink.chunk_sizes());
    ULONG acknowledged = 0;
    while (acknowledged < 200) {
        EXPECT_FALSE(request->done());
        acknowledge(64 - (acknowledged == 192 ? 56 : 0));
        acknowledged += acknowledged == 192 ? 8 : 64;
        settle();
    }
    ASSERT_TRUE(request->done());
    EXPECT_EQ(STATUS_SUCCESS, request->status());
    EXPECT_EQ(200u, request->information());
    for (ULONG size : dev->sink.chunk_sizes())
        EXPECT_LE(size, 64u);
    EXPECT_EQ(text, sent());
}

TEST_F(WriteQueue, AcknowledgementsInsideTheChunkRoutineKeepTheDataFlowing) {
    // The lower layer acknowledges at once, from inside the chunk routine, as the bus driver does
    // with its early acknowledgement.
    dev->sink.on_chunk = [this](ULONG length) { dev->write->m_DataWritten(length); };
    acknowledge(16);
    std::string text(10000, 'q');
    auto request = write(text);
    ASSERT_TRUE(request->wait(1000));
    EXPECT_EQ(STATUS_SUCCESS, request->status());
    EXPECT_EQ(10000u, request->information());
    EXPECT_EQ(text, sent());
    EXPECT_EQ(625u, dev->sink.chunk_count());
}

TEST_F(WriteQueue, WritesSharingAChunkCompleteInOrder) {
    acknowledge(100);
    auto first = write("abc");
    auto second = write("defg");
    settle();
    EXPECT_EQ("abcdefg", sent());
    acknowledge(4);
    EXPECT_TRUE(first->done());
    EXPECT_FALSE(second->done());
    acknowledge(3);
    EXPECT_TRUE(second->done());
    EXPECT_EQ(4u, second->information());
}

TEST_F(WriteQueue, AcknowledgementsOfACancelledWriteDoNotCompleteTheNextEarly) {
    acknowledge(10);
    auto first = write("0123456789");
    settle();
    EXPECT_EQ(10u, sent().size());
    EXPECT_TRUE(first->cancel());
    ASSERT_TRUE(first->done());
    EXPECT_EQ(STATUS_CANCELLED, first->status());
    EXPECT_EQ(0u, first->information());
    auto second = write("abcde");
    settle();
    EXPECT_EQ("", sent()); // no credit until the lower layer reports
    acknowledge(10);       // the cancelled write's bytes
    settle();
    EXPECT_FALSE(second->done());
    EXPECT_EQ("abcde", sent());
    acknowledge(5);
    ASSERT_TRUE(second->done());
    EXPECT_EQ(STATUS_SUCCESS, second->status());
}

TEST_F(WriteQueue, TotalTimeoutWithoutAcknowledgement) {
    dev->write->m_SetTimeouts(0, 100);
    acknowledge(64);
    ULONGLONG start = now_ms();
    auto request = write("stalled");
    ASSERT_TRUE(request->wait());
    EXPECT_EQ(STATUS_TIMEOUT, request->status());
    EXPECT_EQ(0u, request->information());
    EXPECT_EQ(start + 100, request->completed_at_ms());
}

TEST_F(WriteQueue, TimeoutReportsTheBytesWrittenSoFar) {
    dev->write->m_SetTimeouts(10, 100);
    acknowledge(64);
    ULONGLONG start = now_ms();
    auto request = write("0123456789");
    settle();
    acknowledge(4);
    ASSERT_TRUE(request->wait());
    EXPECT_EQ(STATUS_TIMEOUT, request->status());
    EXPECT_EQ(4u, request->information());
    EXPECT_EQ(start + 200, request->completed_at_ms());
    // The rest of its bytes, acknowledged late, are absorbed.
    auto next = write("xy");
    settle();
    acknowledge(6);
    EXPECT_FALSE(next->done());
    acknowledge(2);
    EXPECT_TRUE(next->done());
}

TEST_F(WriteQueue, TimedOutWaitingWriteReportsItsAcknowledgedChunks) {
    dev->write->m_SetTimeouts(0, 100);
    acknowledge(4);
    auto request = write("0123456789");
    settle();
    EXPECT_EQ("0123", sent());
    acknowledge(3); // 3 of the chunk written, credit for 3 more
    settle();
    EXPECT_EQ("456", sent());
    ASSERT_TRUE(request->wait());
    EXPECT_EQ(STATUS_TIMEOUT, request->status());
    EXPECT_EQ(3u, request->information());
}

TEST_F(WriteQueue, EveryStalledWriteTimesOut) {
    dev->write->m_SetTimeouts(0, 100);
    acknowledge(64);
    auto first = write("one");
    auto second = write("two");
    ASSERT_TRUE(first->wait());
    EXPECT_EQ(STATUS_TIMEOUT, first->status());
    ASSERT_TRUE(second->wait());
    EXPECT_EQ(STATUS_TIMEOUT, second->status());
    auto third = write("three");
    ASSERT_TRUE(third->wait());
    EXPECT_EQ(STATUS_TIMEOUT, third->status());
}

TEST_F(WriteQueue, NoTimeoutWhenMultiplierAndConstantAreZero) {
    acknowledge(64);
    auto request = write("patient");
    advance_ms(100000);
    EXPECT_FALSE(request->done());
    dev->write->m_CancelAll();
    EXPECT_EQ(STATUS_CANCELLED, request->status());
}

TEST_F(WriteQueue, CancelAtDispatchLevelDoesNotWaitForTheChunkBuilder) {
    acknowledge(4);
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    std::atomic<bool> in_chunk{false};
    // The chunk routine holds the queue's mutex while it waits.
    dev->sink.on_chunk = [&](ULONG) {
        in_chunk = true;
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    };
    auto first = write("abcd");
    while (!in_chunk)
        advance_ms(1);
    auto second = write("efgh");
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_TRUE(second->cancel());
    KeLowerIrql(irql);
    EXPECT_TRUE(second->done());
    EXPECT_EQ(STATUS_CANCELLED, second->status());
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    settle();
    acknowledge(4);
    EXPECT_TRUE(first->done());
    EXPECT_EQ(STATUS_SUCCESS, first->status());
}

TEST_F(WriteQueue, CancelAllEndsInFlightAndWaitingWrites) {
    acknowledge(6);
    auto first = write("abcd");
    auto second = write("efgh");
    settle();
    acknowledge(5); // the first and one byte of the second
    ASSERT_TRUE(first->done());
    settle();
    dev->write->m_CancelAll();
    EXPECT_EQ(STATUS_CANCELLED, second->status());
    EXPECT_EQ(1u, second->information());
    EXPECT_TRUE(dev->write->m_IsEmpty());
    EXPECT_EQ(0u, dev->write->m_GetPendingBytes());
}

// A cancel-all (purge, cleanup) that runs while a chunk is being built, with a write queued right
// after it: the chunk, which holds bytes of the cancelled write, never goes down; the new write
// goes in a chunk of its own, charged to the credit alone, and its acknowledgement completes it.
TEST_F(WriteQueue, AChunkBegunBeforeACancelAllIsNeverSent) {
    Request first(IRP_MJ_WRITE, 10);
    std::string old_text = "0123456789";
    std::copy(old_text.begin(), old_text.end(), first.data().begin());
    first.use_mdl();
    EXPECT_EQ(STATUS_PENDING, dev->send(first));
    settle(); // no credit yet: nothing is built
    std::unique_ptr<Request> second;
    int mappings = 0;
    // The builder reaches the first write's data: the cancel-all and the new write come now.
    hvsim::io::set_mdl_mapping_hook([&](PMDL) {
        if (mappings++)
            return;
        dev->write->m_CancelAll();
        second = write("abcd");
    });
    acknowledge(64); // the first credit: the chunk is built in this thread
    hvsim::io::set_mdl_mapping_hook({});
    settle();
    ASSERT_EQ(1, mappings);
    ASSERT_TRUE(first.done());
    EXPECT_EQ(STATUS_CANCELLED, first.status());
    EXPECT_EQ(0u, first.information());
    ASSERT_TRUE(second);
    EXPECT_EQ("abcd", sent());
    EXPECT_EQ(std::vector<ULONG>{4}, dev->sink.chunk_sizes());
    // Nothing of the dropped chunk is owed: the new write's own bytes complete it.
    acknowledge(4);
    ASSERT_TRUE(second->done());
    EXPECT_EQ(STATUS_SUCCESS, second->status());
    EXPECT_EQ(4u, second->information());
    // The whole credit is back: the next write goes down in one chunk of 64.
    auto third = write(std::string(64, 'z'));
    settle();
    EXPECT_EQ((std::vector<ULONG>{4, 64}), dev->sink.chunk_sizes());
    acknowledge(64);
    EXPECT_TRUE(third->done());
}

TEST_F(WriteQueue, InactiveQueueRefusesAndANewOpenStartsWithoutCredit) {
    dev->write->m_SetActive(FALSE, STATUS_CANCELLED);
    Request refused(IRP_MJ_WRITE, 3);
    EXPECT_EQ(STATUS_CANCELLED, dev->send(refused));
    EXPECT_EQ(STATUS_CANCELLED, refused.status());
    dev->write->m_SetActive(TRUE, STATUS_CANCELLED);

    acknowledge(64);
    dev->write->m_ResetForOpen();
    auto request = write("abc");
    settle();
    EXPECT_EQ("", sent());
    acknowledge(2); // the new open's first report
    settle();
    EXPECT_EQ("ab", sent());
    EXPECT_FALSE(request->done());
    acknowledge(2);
    settle();
    EXPECT_EQ("c", sent());
    EXPECT_FALSE(request->done());
    acknowledge(1);
    EXPECT_TRUE(request->done());
}

TEST_F(WriteQueue, RefusedChunkLeavesWritesToTheirTimeout) {
    dev->write->m_SetTimeouts(0, 50);
    dev->sink.refuse = true;
    acknowledge(64);
    auto request = write("lost");
    ASSERT_TRUE(request->wait());
    EXPECT_EQ(STATUS_TIMEOUT, request->status());
    EXPECT_EQ(0u, request->information());
}

TEST_F(WriteQueue, ChunkThatCannotBeAllocatedIsBuiltOnTheNextOccasion) {
    auto first = write("abc");
    settle();
    hvsim::pool::fail_nth(1);
    acknowledge(64); // the first credit; building the chunk fails
    hvsim::pool::clear_faults();
    EXPECT_EQ("", sent());
    EXPECT_EQ(3u, dev->write->m_GetPendingBytes());
    auto second = write("de");
    settle();
    EXPECT_EQ("abcde", sent());
    acknowledge(5);
    EXPECT_TRUE(first->done());
    EXPECT_TRUE(second->done());
    EXPECT_EQ(STATUS_SUCCESS, second->status());
}

TEST_F(WriteQueue, WriteThatCannotBeQueuedEndsAtOnce) {
    Request request(IRP_MJ_WRITE, 3);
    hvsim::pool::fail_nth(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, dev->send(request));
    hvsim::pool::clear_faults();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, request.status());
    EXPECT_EQ(0u, request.information());
    EXPECT_TRUE(dev->write->m_IsEmpty());
    EXPECT_EQ(0u, dev->write->m_GetPendingBytes());
}

TEST_F(WriteQueue, EmptyWriteEndsAtOnce) {
    Request request(IRP_MJ_WRITE, 0);
    EXPECT_EQ(STATUS_SUCCESS, dev->send(request));
    EXPECT_EQ(STATUS_SUCCESS, request.status());
    EXPECT_EQ(0u, request.information());
    EXPECT_TRUE(dev->write->m_IsEmpty());
}

TEST_F(WriteQueue, DestructionCancelsEveryWrite) {
    acknowledge(2);
    auto first = write("abcd");
    auto second = write("efgh");
    settle();
    dev->destroy_queues();
    EXPECT_EQ(STATUS_CANCELLED, first->status());
    EXPECT_EQ(STATUS_CANCELLED, second->status());
    EXPECT_EQ(1, first->completions());
    EXPECT_EQ(1, second->completions());
}

} // namespace
