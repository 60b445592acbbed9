// What the queue tests share: a fresh kernel with the virtual clock and this image's pool for each
// test, a device whose read, write and control requests go straight to the queues under test,
// requests built and watched by the test, a data source for the read queue and a sink for the
// write queue's chunks.
#pragma once

#include <wdm.h>

#include <hvsim/kernel.h>
#include <hvsim/sched.h>

#include <gtest/gtest.h>

#include <pmcontrolqueue.h>
#include <pmdebugmanager.h>
#include <pmreadqueuecsq.h>
#include <pmwritequeuecsq.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pmqtest {

// Machine time in milliseconds since boot.
ULONGLONG now_ms();
// Lets machine time pass (jumps with the virtual clock once every thread waits).
void advance_ms(ULONGLONG ms);

// A request of the test's own: completion is recorded, never freed by the I/O manager.
class Request {
public:
    Request(UCHAR major, ULONG length, ULONG control_code = 0);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    PIRP irp() const { return irp_; }
    std::vector<UCHAR>& data() { return data_; }
    // The bytes a completed read returned.
    std::vector<UCHAR> received() const;

    bool done() const { return completions_.load() > 0; }
    int completions() const { return completions_.load(); }
    NTSTATUS status() const { return status_; }
    ULONG_PTR information() const { return information_; }
    ULONGLONG completed_at_ms() const { return completed_at_ms_; }
    // Waits (machine time) for completion; false when it did not come within the time.
    bool wait(ULONGLONG timeout_ms = 600000);
    BOOLEAN cancel() { return IoCancelIrp(irp_); }
    // Describes the data with an MDL instead of a system buffer, as direct I/O does.
    void use_mdl();
    // Called in the completing thread, after the result was recorded.
    std::function<void(Request&)> on_complete;

private:
    static IO_COMPLETION_ROUTINE completion_routine;
    PIRP irp_;
    PMDL mdl_ = nullptr;
    std::vector<UCHAR> data_;
    KEVENT event_;
    std::atomic<int> completions_{0};
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    ULONGLONG completed_at_ms_ = 0;
};

// Chunks handed down by a write queue.
class ChunkSink {
public:
    static PM_WRITE_CHUNK_ROUTINE routine;
    std::vector<UCHAR> take_bytes();
    size_t chunk_count();
    std::vector<ULONG> chunk_sizes();
    // Called for each chunk in the sending thread (after it was recorded).
    std::function<void(ULONG)> on_chunk;
    // When set, chunks are refused (and freed).
    std::atomic<bool> refuse{false};

private:
    std::mutex mutex_;
    std::vector<UCHAR> bytes_;
    std::vector<ULONG> sizes_;
};

// A received buffer as the port driver hands one to the read queue.
CPmBuffer* make_buffer(const std::vector<UCHAR>& bytes);
std::vector<UCHAR> bytes_of(const std::string& text);

// The queues behind a device object, so that requests go through IoCallDriver.
class QueueDevice {
public:
    QueueDevice();
    ~QueueDevice();

    NTSTATUS send(Request& request);

    CPmReadQueue* read = nullptr;
    CPmWriteQueue* write = nullptr;
    CPmControlQueue* control = nullptr;
    ChunkSink sink;
    PDEVICE_OBJECT device = nullptr;
    // Deletes the queues (as the device's destruction does); later requests are refused.
    void destroy_queues();

private:
    PDRIVER_OBJECT driver_ = nullptr;
    static DRIVER_DISPATCH dispatch;
};

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// With the queues behind a device.
class QueueDeviceTest : public QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        dev = std::make_unique<QueueDevice>();
    }
    void TearDown() override {
        dev.reset();
        QueueTest::TearDown();
    }
    std::unique_ptr<QueueDevice> dev;
};

// The framework's trace lines at the given levels, captured while this lives.
class TraceSession {
public:
    explicit TraceSession(std::initializer_list<ULONG> levels);
    ~TraceSession();
    // The lines sent so far, in order.
    std::vector<std::string> lines() const;
    bool contains(const std::string& start) const;

private:
    CPmDebugManager* manager_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    UNICODE_STRING service_path_{};
};

// Threads of the machine started together and joined together.
class Threads {
public:
    ~Threads() { join(); }
    void start(int count, const std::string& name, std::function<void(int)> body);
    void join();

private:
    std::vector<std::thread> threads_;
};

} // namespace pmqtest
