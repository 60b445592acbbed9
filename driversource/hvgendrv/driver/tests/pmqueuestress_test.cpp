// Many threads reading, writing, cancelling, purging and cleaning up at once for a few seconds of
// machine time, with every byte accounted for and every request completed exactly once.
#include "pmframeworkmachine.h"
#include "pmqueue_testsupport.h"

#include <ntddser.h>

#include <random>

using namespace pmqtest;

namespace {

constexpr ULONGLONG kRunMs = 3000;

struct ReadRecord {
    std::unique_ptr<Request> request;
};

struct WriteRecord {
    std::unique_ptr<Request> request;
    std::vector<UCHAR> bytes;
};

using QueueStress = QueueDeviceTest;

TEST_F(QueueStress, EveryByteAndEveryRequestIsAccountedFor) {
    const ULONGLONG start = now_ms();
    std::atomic<bool> stop{false};
    std::atomic<int> busy{0};

    // Reads: a source of numbered bytes, readers, a purger.
    std::atomic<ULONGLONG> produced{0};
    std::atomic<ULONGLONG> purged{0};
    std::vector<std::vector<ReadRecord>> reads(3);
    // Writes: each writer's bytes carry its number in the top bit and a running count below, so
    // that its part of the sent stream can be checked against its writes in order.
    std::vector<std::vector<WriteRecord>> writes(2);
    std::vector<UCHAR> sent;
    std::mutex sent_mutex;
    // Wait-on-mask requests.
    std::vector<std::unique_ptr<Request>> waits;

    dev->write->m_DataWritten(4096); // the first report: credit only
    dev->control->m_SetWaitMask(0x1 | 0x8);

    Threads threads;
    auto run = [&](int count, const char* name, std::function<void(int, std::mt19937&)> body) {
        busy += count;
        threads.start(count, name, [&, body](int index) {
            std::mt19937 random(index * 7919 + 17);
            body(index, random);
            --busy;
        });
    };

    run(1, "source", [&](int, std::mt19937& random) {
        ULONGLONG position = 0;
        while (!stop) {
            std::vector<UCHAR> bytes(1 + random() % 48);
            for (auto& byte : bytes)
                byte = (UCHAR)(position++ & 0xFF);
            produced += bytes.size();
            dev->read->m_DataForPendingIrpArrived(make_buffer(bytes));
            advance_ms(random() % 4);
        }
    });
    run(3, "reader", [&](int index, std::mt19937& random) {
        while (!stop) {
            ReadRecord record;
            record.request = std::make_unique<Request>(IRP_MJ_READ, 1 + random() % 64);
            EXPECT_EQ(STATUS_PENDING, dev->send(*record.request));
            if (random() % 5 == 0) {
                advance_ms(random() % 10);
                record.request->cancel();
            }
            while (!record.request->wait(50))
                if (stop)
                    record.request->cancel();
            reads[index].push_back(std::move(record));
        }
    });
    run(1, "read settings", [&](int, std::mt19937& random) {
        static const ULONG kTimeouts[][3] = {
            {MAXULONG, 0, 0}, {MAXULONG, MAXULONG, 20}, {0, 1, 10}, {5, 0, 0}, {0, 0, 0}, {3, 2, 30},
        };
        while (!stop) {
            const ULONG* t = kTimeouts[random() % 6];
            dev->read->m_SetTimeouts(t[0], t[1], t[2]);
            dev->write->m_SetTimeouts(random() % 2, random() % 40);
            if (random() % 4 == 0)
                purged += dev->read->m_Purge();
            advance_ms(random() % 30);
        }
    });
    run(2, "writer", [&](int index, std::mt19937& random) {
        UCHAR counter = 0;
        while (!stop) {
            WriteRecord record;
            // Shorter than the count's cycle, so that a skipped tail is never mistaken for data.
            ULONG length = 1 + random() % 100;
            record.request = std::make_unique<Request>(IRP_MJ_WRITE, length);
            for (ULONG i = 0; i < length; ++i)
                record.request->data()[i] = (UCHAR)((index << 7) | (counter++ & 0x7F));
            record.bytes = record.request->data();
            EXPECT_EQ(STATUS_PENDING, dev->send(*record.request));
            if (random() % 6 == 0) {
                advance_ms(random() % 10);
                record.request->cancel();
            }
            while (!record.request->wait(50))
                if (stop)
                    record.request->cancel();
            writes[index].push_back(std::move(record));
        }
    });
    auto acknowledge_sent = [&](std::mt19937& random, ULONGLONG& owed, bool all) {
        auto bytes = dev->sink.take_bytes();
        {
            std::lock_guard lock(sent_mutex);
            sent.insert(sent.end(), bytes.begin(), bytes.end());
        }
        owed += bytes.size();
        while (owed) {
            ULONG piece = (ULONG)std::min<ULONGLONG>(owed, 1 + random() % 200);
            dev->write->m_DataWritten(piece);
            owed -= piece;
            if (!all && random() % 3 == 0)
                break;
        }
    };
    run(1, "lower layer", [&](int, std::mt19937& random) {
        ULONGLONG owed = 0;
        for (;;) {
            bool last = stop && busy <= 1;
            acknowledge_sent(random, owed, last);
            if (last)
                break;
            advance_ms(random() % 15);
        }
    });
    run(1, "events", [&](int, std::mt19937& random) {
        while (!stop) {
            dev->control->m_SetCommEventsReceived(random() % 2 ? 0x1 : 0x4);
            dev->control->m_ResolveCurrentEventMask();
            if (random() % 10 == 0)
                dev->control->m_SetWaitMask(random() % 3 ? 0x1 : 0x8);
            advance_ms(random() % 8);
        }
    });
    run(1, "waiter", [&](int, std::mt19937& random) {
        while (!stop) {
            auto request = std::make_unique<Request>(IRP_MJ_DEVICE_CONTROL, 4, IOCTL_SERIAL_WAIT_ON_MASK);
            dev->send(*request);
            while (!request->wait(50))
                if (stop)
                    request->cancel();
            waits.push_back(std::move(request));
        }
    });
    run(1, "cleanup", [&](int, std::mt19937& random) {
        while (!stop) {
            advance_ms(50 + random() % 200);
            // As a handle's cleanup does.
            dev->control->m_CancelAll();
            dev->read->m_CancelAll();
            dev->write->m_CancelAll();
        }
    });

    advance_ms(kRunMs);
    stop = true;
    while (busy > 0) {
        dev->read->m_CancelAll();
        dev->write->m_CancelAll();
        dev->control->m_CancelAll();
        advance_ms(20);
    }
    threads.join();
    EXPECT_GE(now_ms(), start + kRunMs);
    // A chunk built just before its write was cancelled may have reached the lower layer late.
    advance_ms(10);
    {
        std::mt19937 random(1);
        ULONGLONG owed = 0;
        acknowledge_sent(random, owed, true);
    }

    // Reads: each request completed once with consecutive bytes; every byte produced went to a
    // read, was purged, or is still held.
    ULONGLONG delivered = 0;
    size_t read_count = 0;
    for (auto& list : reads) {
        for (auto& record : list) {
            ++read_count;
            Request& request = *record.request;
            ASSERT_EQ(1, request.completions());
            auto bytes = request.received();
            delivered += bytes.size();
            for (size_t i = 1; i < bytes.size(); ++i)
                ASSERT_EQ((UCHAR)(bytes[i - 1] + 1), bytes[i]) << "bytes out of order within a read";
            NTSTATUS status = request.status();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_CANCELLED) << status;
        }
    }
    EXPECT_EQ(produced.load(), delivered + purged.load() + dev->read->m_GetAmountInQueue());
    EXPECT_GT(read_count, 100u);

    // Writes: each writer's share of the sent stream is, write by write, a prefix of the write at
    // least as long as what it reported written, and all of it for a successful write.
    size_t write_count = 0;
    for (int writer = 0; writer < 2; ++writer) {
        std::vector<UCHAR> stream;
        for (UCHAR byte : sent)
            if ((byte >> 7) == writer)
                stream.push_back(byte);
        size_t at = 0;
        for (auto& record : writes[writer]) {
            ++write_count;
            Request& request = *record.request;
            ASSERT_EQ(1, request.completions());
            size_t prefix = 0;
            while (prefix < record.bytes.size() && at < stream.size() && stream[at] == record.bytes[prefix]) {
                ++prefix;
                ++at;
            }
            EXPECT_GE(prefix, request.information()) << "a write reported bytes that were never sent";
            if (request.status() == STATUS_SUCCESS)
                EXPECT_EQ(record.bytes.size(), request.information());
            else
                EXPECT_TRUE(request.status() == STATUS_TIMEOUT || request.status() == STATUS_CANCELLED) << request.status();
        }
        EXPECT_EQ(stream.size(), at) << "bytes were sent that belong to no write";
    }
    EXPECT_GT(write_count, 50u);
    // Every acknowledgement found its write or paid off a discount.
    EXPECT_EQ(0u, dev->write->m_ulDiscount);
    EXPECT_LE(dev->write->m_llDataWritten, 0);
    EXPECT_TRUE(dev->write->m_IsEmpty());

    for (auto& request : waits)
        EXPECT_EQ(1, request->completions());
}

// The same through the I/O manager on the framework's test driver, whose writes loop back into
// its read queue: what the writes report written is what the reads can have read.
class QueueStressMachine : public gendrvtest::FrameworkMachine {};

TEST_F(QueueStressMachine, LoopedBackBytesAreReadExactlyOnce) {
    add_device();
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, open(u"HVGT", &file));
    const ULONGLONG start = now_ms();
    std::atomic<bool> stop{false};
    std::atomic<ULONGLONG> written{0};
    std::atomic<ULONGLONG> read{0};
    std::atomic<int> requests{0};
    std::atomic<int> completions{0};
    std::mutex ids_mutex;
    std::vector<std::thread::id> reader_ids;

    Threads threads;
    threads.start(2, "writer", [&](int index) {
        std::mt19937 random(index + 1);
        std::vector<UCHAR> data(300);
        while (!stop) {
            ULONG length = 1 + random() % (ULONG)data.size();
            for (ULONG i = 0; i < length; ++i)
                data[i] = (UCHAR)i;
            ++requests;
            auto result = hvsim::io::write_file(file, data.data(), length);
            ++completions;
            EXPECT_EQ(STATUS_SUCCESS, result.status);
            written += result.information;
            advance_ms(random() % 5);
        }
    });
    threads.start(2, "reader", [&](int index) {
        {
            std::lock_guard lock(ids_mutex);
            reader_ids.push_back(std::this_thread::get_id());
        }
        std::mt19937 random(index + 11);
        while (!stop) {
            std::vector<UCHAR> data(1 + random() % 200);
            std::atomic<LONG> status{STATUS_PENDING};
            std::atomic<ULONG_PTR> information{0};
            ++requests;
            auto issue = hvsim::io::read_file_async(file, data.data(), (ULONG)data.size(), [&](LONG result, ULONG_PTR info) {
                information = info;
                status = result;
                ++completions;
            });
            ASSERT_TRUE(issue.issued);
            while (status == STATUS_PENDING) {
                advance_ms(1);
                if (stop)
                    hvsim::io::cancel_io(file);
            }
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << status;
            read += information;
        }
    });
    threads.start(1, "canceller", [&](int) {
        std::mt19937 random(99);
        while (!stop) {
            advance_ms(1 + random() % 20);
            std::thread::id target;
            {
                std::lock_guard lock(ids_mutex);
                if (!reader_ids.empty())
                    target = reader_ids[random() % reader_ids.size()];
            }
            hvsim::io::cancel_io(file, target);
        }
    });
    advance_ms(2000);
    stop = true;
    threads.join();
    EXPECT_GE(now_ms(), start + 2000);
    EXPECT_EQ(requests.load(), completions.load());
    EXPECT_GT(written.load(), 10000u);
    // Every byte written came back once: read, or still held.
    EXPECT_EQ(written.load(), read.load() + query_state(file).ulAmountInReadQueue);
    EXPECT_EQ(STATUS_SUCCESS, hvsim::io::close_file(file));
    expect_driver_unloaded_clean();
}

} // namespace
