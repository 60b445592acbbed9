// The framework's read, write and control queues as an application sees them: ReadFile,
// WriteFile, DeviceIoControl, CancelIo and CloseHandle on the test driver's port, in a process of
// the machine, on its virtual clock. The driver's sink can stall and acknowledge written bytes,
// and its source feeds a numbered pattern, so that every count and every byte can be checked.
#include <windows.h>
#include <ntddser.h>

#include <gtest/gtest.h>
#include <hvsim/user.h>

#include <string>
#include <vector>

#include "hvgentest_protocol.h"
#include "pmframeworkboot.h"

#include "support/folder_test.h"
#include "support/pending.h"

namespace {

constexpr LONG kStatusTimeout = 0x00000102;
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);

using hvtest::Pending;

std::string pattern(ULONG first, ULONG count) {
    std::string bytes(count, '\0');
    for (ULONG i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(HvgtPatternByte(first + i));
    return bytes;
}

class QueueEndToEnd : public hvtest::FolderTest {
  protected:
    void SetUp() override {
        gendrvtest::boot_framework_machine(machine_root());
        gendrvtest::add_framework_device({}, 0);
    }
    void TearDown() override {
        hvsim::user::current_process()->close_all_handles();
        gendrvtest::shutdown_framework_machine();
        FolderTest::TearDown();
    }

    // Plug is SetUp; this opens the port for overlapped I/O.
    HANDLE open() {
        port_ = CreateFileW(u"\\\\.\\HVGT", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(port_, INVALID_HANDLE_VALUE);
        return port_;
    }

    // A control request that the driver completes at once; its status as GetOverlappedResult
    // reports it.
    BOOL control(ULONG code, const void* input, DWORD input_length, void* output = nullptr,
                 DWORD output_length = 0, DWORD* returned = nullptr) {
        Pending request;
        DWORD count = 0;
        DeviceIoControl(port_, code, const_cast<void*>(input), input_length, output, output_length, nullptr,
                        &request.overlapped);
        EXPECT_TRUE(request.done()) << "control code " << std::hex << code << " pends";
        BOOL result = GetOverlappedResult(port_, &request.overlapped, &count, TRUE);
        if (returned)
            *returned = count;
        return result;
    }
    BOOL control_ulong(ULONG code, ULONG value) { return control(code, &value, sizeof value); }

    void set_timeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG write_multiplier = 0,
                      ULONG write_constant = 0) {
        SERIAL_TIMEOUTS timeouts{interval, multiplier, constant, write_multiplier, write_constant};
        ASSERT_TRUE(control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts));
    }
    void feed(ULONG count) { ASSERT_TRUE(control_ulong(IOCTL_HVGT_FEED, count)); }
    void stall_writes() { ASSERT_TRUE(control_ulong(IOCTL_HVGT_STALL_WRITES, 1)); }
    ULONG acknowledge(ULONG count) {
        ULONG acknowledged = 0;
        EXPECT_TRUE(
            control(IOCTL_HVGT_ACKNOWLEDGE, &count, sizeof count, &acknowledged, sizeof acknowledged));
        return acknowledged;
    }
    void purge(ULONG flags) { ASSERT_TRUE(control_ulong(IOCTL_SERIAL_PURGE, flags)); }
    HvgtState state() {
        HvgtState out{};
        EXPECT_TRUE(control(IOCTL_HVGT_QUERY, nullptr, 0, &out, sizeof out));
        return out;
    }

    // Starts an overlapped read or write; the driver queues both, so each starts pending.
    void start_read(Pending& request, char* buffer, DWORD length) {
        EXPECT_FALSE(ReadFile(port_, buffer, length, nullptr, &request.overlapped));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    void start_write(Pending& request, const std::string& data) {
        EXPECT_FALSE(
            WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), nullptr, &request.overlapped));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    void start_wait_on_mask(Pending& request, ULONG* events) {
        EXPECT_FALSE(DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, events, sizeof *events,
                                     nullptr, &request.overlapped));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    // A read that must complete at once, and what it got.
    std::string read_now(DWORD length) {
        Pending request;
        std::string buffer(length, '\0');
        start_read(request, buffer.data(), length);
        EXPECT_TRUE(request.done());
        DWORD count = 0;
        EXPECT_TRUE(GetOverlappedResult(port_, &request.overlapped, &count, FALSE));
        buffer.resize(count);
        return buffer;
    }

    // A write after ended ones whose chunks the stalled sink still holds: the sink's late
    // acknowledgement of those `written_off` bytes completes nothing; the write's own bytes do.
    void expect_written_off_then_write(ULONG written_off, ULONG length) {
        Pending next;
        start_write(next, pattern(0, length));
        settle();
        EXPECT_EQ(acknowledge(written_off), written_off);
        settle();
        EXPECT_FALSE(next.done());
        EXPECT_EQ(acknowledge(length), length);
        ASSERT_TRUE(next.done());
        EXPECT_EQ(next.status(), 0);
        EXPECT_EQ(next.information(), length);
    }

    static ULONGLONG now() { return GetTickCount64(); }
    // Chunks go down on the device's worker: the clock moves this millisecond only once every
    // thread of the machine, the worker too, has nothing left to do.
    static void settle() { Sleep(1); }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

// ---------------------------------------------------------------------------------------------
// Read timeouts

// Interval MAXDWORD with zero totals: a read returns at once with whatever is held, even nothing.
TEST_F(QueueEndToEnd, ImmediateReadReturnsWhatIsHeldAtOnce) {
    open();
    set_timeouts(MAXDWORD, 0, 0);
    feed(5);
    const ULONGLONG start = now();
    EXPECT_EQ(read_now(10), pattern(0, 5));
    EXPECT_EQ(read_now(10), "");
    EXPECT_EQ(now(), start);
}

// MAXDWORD, MAXDWORD, constant: held data returns at once; otherwise the first byte to arrive
// ends the read, and none within the constant ends it with a timeout and nothing.
TEST_F(QueueEndToEnd, FirstByteWaitEndsWithTheFirstArrivalOrTheConstant) {
    open();
    set_timeouts(MAXDWORD, MAXDWORD, 500);
    feed(3);
    EXPECT_EQ(read_now(10), pattern(0, 3));

    Pending first;
    char buffer[10] = {};
    ULONGLONG start = now();
    start_read(first, buffer, sizeof buffer);
    EXPECT_FALSE(first.wait(200));
    feed(4);
    ASSERT_TRUE(first.done());
    DWORD count = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &first.overlapped, &count, FALSE));
    EXPECT_EQ(std::string(buffer, count), pattern(3, 4));
    EXPECT_EQ(now() - start, 200u);

    Pending empty;
    start = now();
    start_read(empty, buffer, sizeof buffer);
    ASSERT_TRUE(empty.wait());
    EXPECT_EQ(now() - start, 500u);
    EXPECT_EQ(empty.status(), kStatusTimeout);
    // STATUS_TIMEOUT is a success status: the read succeeds with no bytes.
    count = 99;
    EXPECT_TRUE(GetOverlappedResult(port_, &empty.overlapped, &count, FALSE));
    EXPECT_EQ(count, 0u);
}

// Length × multiplier + constant from the read's start, whatever arrives meanwhile.
TEST_F(QueueEndToEnd, TotalTimeoutEndsAReadWithTheBytesItGot) {
    open();
    set_timeouts(0, 10, 100);
    Pending read;
    char buffer[20] = {};
    const ULONGLONG start = now();
    start_read(read, buffer, sizeof buffer);
    EXPECT_FALSE(read.wait(100));
    feed(5);
    EXPECT_FALSE(read.wait(150));
    feed(2);
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(now() - start, 20u * 10 + 100);
    EXPECT_EQ(read.status(), kStatusTimeout);
    DWORD count = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &read.overlapped, &count, FALSE));
    EXPECT_EQ(std::string(buffer, count), pattern(0, 7));

    // A read that fills in time completes with success and stops its timer.
    Pending full;
    start_read(full, buffer, 4);
    feed(4);
    ASSERT_TRUE(full.done());
    EXPECT_EQ(full.status(), 0);
    EXPECT_EQ(full.information(), 4u);
    EXPECT_EQ(std::string(buffer, 4), pattern(7, 4));
}

// The interval runs only once a byte arrived, and starts again with every byte.
TEST_F(QueueEndToEnd, IntervalTimeoutEndsAReadOnceTheLineFallsSilent) {
    open();
    set_timeouts(50, 0, 0);
    Pending read;
    char buffer[10] = {};
    start_read(read, buffer, sizeof buffer);
    // No byte yet: nothing times out, however long.
    EXPECT_FALSE(read.wait(10000));
    feed(3);
    EXPECT_FALSE(read.wait(30));
    feed(2);
    const ULONGLONG last = now();
    EXPECT_FALSE(read.wait(49));
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(now() - last, 50u);
    EXPECT_EQ(read.status(), kStatusTimeout);
    DWORD count = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &read.overlapped, &count, FALSE));
    EXPECT_EQ(std::string(buffer, count), pattern(0, 5));
}

// With both, the total ends a read whose bytes keep coming inside the interval.
TEST_F(QueueEndToEnd, TotalTimeoutBoundsAReadThatTheIntervalKeepsAlive) {
    open();
    set_timeouts(50, 0, 300);
    Pending read;
    char buffer[64] = {};
    const ULONGLONG start = now();
    start_read(read, buffer, sizeof buffer);
    ULONG fed = 0;
    while (!read.wait(40)) {
        feed(1);
        ++fed;
        ASSERT_LT(fed, 64u);
    }
    EXPECT_EQ(now() - start, 300u);
    EXPECT_EQ(read.status(), kStatusTimeout);
    EXPECT_EQ(read.information(), 7u);
    EXPECT_EQ(std::string(buffer, 7), pattern(0, 7));
}

// No timeouts: a read waits for all its bytes.
TEST_F(QueueEndToEnd, WithoutTimeoutsAReadWaitsForAllItsBytes) {
    open();
    set_timeouts(0, 0, 0);
    Pending read;
    char buffer[10] = {};
    start_read(read, buffer, sizeof buffer);
    feed(4);
    EXPECT_FALSE(read.wait(60000));
    EXPECT_EQ(state().ulAmountInReadQueue, 0u);
    feed(9);
    ASSERT_TRUE(read.done());
    DWORD count = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &read.overlapped, &count, FALSE));
    EXPECT_EQ(std::string(buffer, count), pattern(0, 10));
    // The rest stays held for the next read.
    EXPECT_EQ(state().ulAmountInReadQueue, 3u);
    EXPECT_EQ(read_now(3), pattern(10, 3));
}

// All three read values MAXDWORD is not a timeout: refused, and the timeouts stay.
TEST_F(QueueEndToEnd, AnUndefinedReadTimeoutIsRefused) {
    open();
    set_timeouts(MAXDWORD, 0, 0);
    SERIAL_TIMEOUTS undefined{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    EXPECT_FALSE(control(IOCTL_SERIAL_SET_TIMEOUTS, &undefined, sizeof undefined));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(control(IOCTL_SERIAL_SET_TIMEOUTS, &undefined, sizeof undefined - 1));
    EXPECT_EQ(read_now(4), "");
}

// ---------------------------------------------------------------------------------------------
// Write timeouts

// The sink takes the first chunk and acknowledges part of it: the write ends at its total
// timeout with STATUS_TIMEOUT and the bytes acknowledged, which WriteFile reports as success.
TEST_F(QueueEndToEnd, WriteTotalTimeoutReportsTheBytesWrittenSoFar) {
    open();
    stall_writes();
    set_timeouts(0, 0, 0, 1, 200);
    const std::string data = pattern(0, 100);
    Pending write;
    const ULONGLONG start = now();
    start_write(write, data);
    EXPECT_FALSE(write.wait(50));
    // The open's credit lets one chunk down.
    EXPECT_EQ(state().ulBytesSent, HVGT_TRANSFER_SIZE + 0u);
    EXPECT_EQ(acknowledge(30), 30u);
    ASSERT_TRUE(write.wait());
    EXPECT_EQ(now() - start, 100u * 1 + 200);
    EXPECT_EQ(write.status(), kStatusTimeout);
    DWORD count = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &write.overlapped, &count, FALSE));
    EXPECT_EQ(count, 30u);

    // A synchronous write sees the same: TRUE, and only the bytes written.
    CloseHandle(port_);
    port_ = CreateFileW(u"\\\\.\\HVGT", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    ULONG stall = 1;
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(port_, IOCTL_HVGT_STALL_WRITES, &stall, sizeof stall, nullptr, 0, &returned,
                                nullptr));
    SERIAL_TIMEOUTS timeouts{0, 0, 0, 0, 250};
    ASSERT_TRUE(DeviceIoControl(port_, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0,
                                &returned, nullptr));
    const ULONGLONG sync_start = now();
    count = 99;
    EXPECT_TRUE(WriteFile(port_, data.data(), 10, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(now() - sync_start, 250u);
}

// Acknowledged in time, a write completes with success and no timeout follows.
TEST_F(QueueEndToEnd, AWriteAcknowledgedInTimeSucceeds) {
    open();
    stall_writes();
    set_timeouts(0, 0, 0, 0, 500);
    Pending write;
    start_write(write, pattern(0, 100));
    EXPECT_FALSE(write.wait(100));
    EXPECT_EQ(acknowledge(64), 64u);
    // The credit returned lets the rest go down.
    settle();
    EXPECT_EQ(state().ulBytesSent, 100u);
    EXPECT_FALSE(write.done());
    EXPECT_EQ(acknowledge(100), 36u);
    ASSERT_TRUE(write.done());
    EXPECT_EQ(write.status(), 0);
    EXPECT_EQ(write.information(), 100u);
    Pending next;
    start_write(next, pattern(0, 10));
    settle();
    EXPECT_EQ(acknowledge(10), 10u);
    EXPECT_TRUE(next.done());
    EXPECT_EQ(next.status(), 0);
}

// ---------------------------------------------------------------------------------------------
// Cancellation, cleanup and purge

// CancelIo ends the reads and writes; what a read had received is read again, and a write
// reports the bytes acknowledged of it.
TEST_F(QueueEndToEnd, CancelIoEndsReadsAndWritesKeepingWhatTheyMoved) {
    open();
    set_timeouts(0, 0, 0);
    stall_writes();
    Pending read, write;
    char buffer[10] = {};
    start_read(read, buffer, sizeof buffer);
    feed(3);
    start_write(write, pattern(0, 100));
    settle();
    EXPECT_EQ(acknowledge(20), 20u);
    settle();
    EXPECT_EQ(state().ulBytesSent, 84u);
    ASSERT_TRUE(CancelIo(port_));
    ASSERT_TRUE(read.done());
    ASSERT_TRUE(write.done());
    DWORD count = 99;
    EXPECT_FALSE(GetOverlappedResult(port_, &read.overlapped, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(read.information(), 0u);
    EXPECT_FALSE(GetOverlappedResult(port_, &write.overlapped, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(write.information(), 20u);

    set_timeouts(MAXDWORD, 0, 0);
    EXPECT_EQ(read_now(10), pattern(0, 3));
    // Acknowledgements of what the cancelled write had sent are written off: they do not count
    // for the next write.
    expect_written_off_then_write(64, 5);
}

// A read cancelled while its total timeout runs leaves no timer behind for the next read.
TEST_F(QueueEndToEnd, TheNextReadRunsOnItsOwnTimeoutAfterACancelledOne) {
    open();
    set_timeouts(0, 0, 100);
    Pending first, second;
    char buffer[8];
    start_read(first, buffer, sizeof buffer);
    EXPECT_FALSE(first.wait(60));
    ASSERT_TRUE(CancelIo(port_));
    ASSERT_TRUE(first.done());
    EXPECT_EQ(first.status(), kStatusCancelled);
    const ULONGLONG start = now();
    start_read(second, buffer, sizeof buffer);
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(now() - start, 100u);
    EXPECT_EQ(second.status(), kStatusTimeout);
}

// A write purged while its total timeout runs leaves no timer behind for the next write.
TEST_F(QueueEndToEnd, TheNextWriteRunsOnItsOwnTimeoutAfterAPurgedOne) {
    open();
    stall_writes();
    set_timeouts(0, 0, 0, 0, 300);
    Pending first, second;
    start_write(first, pattern(0, 10));
    EXPECT_FALSE(first.wait(100));
    purge(SERIAL_PURGE_TXABORT);
    ASSERT_TRUE(first.done());
    EXPECT_EQ(first.status(), kStatusCancelled);
    const ULONGLONG start = now();
    start_write(second, pattern(0, 10));
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(now() - start, 300u);
    EXPECT_EQ(second.status(), kStatusTimeout);
    EXPECT_EQ(second.information(), 0u);
}

// CloseHandle with requests pending: cleanup ends every one, and the port opens again as new.
TEST_F(QueueEndToEnd, CloseHandleEndsEveryPendingRequest) {
    open();
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_TRUE(control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask));
    stall_writes();
    Pending read, write, wait;
    char buffer[10];
    ULONG events = 0xFFFFFFFF;
    start_read(read, buffer, sizeof buffer);
    start_write(write, pattern(0, 100));
    start_wait_on_mask(wait, &events);
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    for (Pending* request : {&read, &write, &wait}) {
        ASSERT_TRUE(request->wait());
        EXPECT_EQ(request->status(), kStatusCancelled);
    }

    open();
    set_timeouts(MAXDWORD, 0, 0);
    feed(2);
    EXPECT_EQ(read_now(10), pattern(0, 2));
    // The loopback again, with the open's credit.
    Pending echo;
    start_write(echo, "hello");
    ASSERT_TRUE(echo.wait());
    EXPECT_EQ(echo.information(), 5u);
    EXPECT_EQ(read_now(10), "hello");
}

// A chunk the driver is slow to take when the handle closes still reaches it before the next
// open begins: the new open neither receives the old write's bytes nor is credited with them.
TEST_F(QueueEndToEnd, AChunkOnItsWayDownAtCloseStaysWithTheClosedOpen) {
    open();
    stall_writes();
    ASSERT_TRUE(control_ulong(IOCTL_HVGT_DELAY_WRITES, 100));
    Pending write;
    start_write(write, pattern(0, 100));
    // The driver is taking the first chunk.
    settle();
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(write.wait());
    EXPECT_EQ(write.status(), kStatusCancelled);

    open();
    set_timeouts(MAXDWORD, 0, 0);
    // Long after the old chunk went down, nothing of it has come back to the new open.
    Sleep(500);
    EXPECT_EQ(read_now(100), "");
    // The loopback again, with the new open's own credit: the echo completes on its own bytes.
    Pending echo;
    start_write(echo, "hello");
    ASSERT_TRUE(echo.wait());
    EXPECT_EQ(echo.status(), 0);
    EXPECT_EQ(echo.information(), 5u);
    EXPECT_EQ(read_now(100), "hello");
    EXPECT_EQ(state().ulBytesSent, HVGT_TRANSFER_SIZE + 5u);
}

// Purge of the receive side: RXABORT ends the reads, RXCLEAR drops the held data.
TEST_F(QueueEndToEnd, PurgeEndsReadsAndDropsReceivedData) {
    open();
    set_timeouts(0, 0, 0);
    Pending read;
    char buffer[10];
    start_read(read, buffer, sizeof buffer);
    feed(4);
    purge(SERIAL_PURGE_RXABORT);
    ASSERT_TRUE(read.done());
    EXPECT_EQ(read.status(), kStatusCancelled);
    EXPECT_EQ(state().ulAmountInReadQueue, 4u);
    purge(SERIAL_PURGE_RXCLEAR);
    EXPECT_EQ(state().ulAmountInReadQueue, 0u);
    feed(2);
    set_timeouts(MAXDWORD, 0, 0);
    EXPECT_EQ(read_now(10), pattern(4, 2));
    EXPECT_FALSE(control_ulong(IOCTL_SERIAL_PURGE, 0x10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Purge of the transmit side: TXABORT ends the writes, in flight or waiting for credit.
TEST_F(QueueEndToEnd, PurgeEndsWritesWithTheBytesAcknowledged) {
    open();
    stall_writes();
    Pending first, second;
    start_write(first, pattern(0, 100));
    start_write(second, pattern(100, 10));
    settle();
    EXPECT_EQ(acknowledge(10), 10u);
    settle();
    EXPECT_EQ(state().ulBytesSent, 74u);
    purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR);
    ASSERT_TRUE(first.done());
    ASSERT_TRUE(second.done());
    EXPECT_EQ(first.status(), kStatusCancelled);
    EXPECT_EQ(first.information(), 10u);
    EXPECT_EQ(second.status(), kStatusCancelled);
    EXPECT_EQ(second.information(), 0u);
    // Late acknowledgements of the purged chunks complete nothing new.
    expect_written_off_then_write(64, 4);
}

// ---------------------------------------------------------------------------------------------
// Wait on mask

TEST_F(QueueEndToEnd, WaitOnMaskCompletesOnAMatchingEvent) {
    open();
    ULONG mask = SERIAL_EV_RXFLAG | SERIAL_EV_BREAK;
    ASSERT_TRUE(control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask));
    Pending wait;
    ULONG events = 0xFFFFFFFF;
    start_wait_on_mask(wait, &events);
    ASSERT_TRUE(control_ulong(IOCTL_HVGT_RAISE_EVENTS, SERIAL_EV_CTS));
    EXPECT_FALSE(wait.wait(1000));
    ASSERT_TRUE(control_ulong(IOCTL_HVGT_RAISE_EVENTS, SERIAL_EV_BREAK));
    ASSERT_TRUE(wait.done());
    DWORD count = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &wait.overlapped, &count, FALSE));
    EXPECT_EQ(count, sizeof(ULONG));
    EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_BREAK));

    // An event received while no wait runs satisfies the next wait at once.
    ASSERT_TRUE(control_ulong(IOCTL_HVGT_RAISE_EVENTS, SERIAL_EV_RXFLAG));
    Pending next;
    events = 0;
    EXPECT_FALSE(DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events,
                                 nullptr, &next.overlapped));
    ASSERT_TRUE(next.done());
    EXPECT_EQ(next.status(), 0);
    EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_RXFLAG));
}

TEST_F(QueueEndToEnd, ANewMaskCompletesTheWaitWithNoEvents) {
    open();
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_TRUE(control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask));
    Pending wait;
    ULONG events = 0xFFFFFFFF;
    start_wait_on_mask(wait, &events);
    // A second wait while one waits is refused.
    Pending second;
    ULONG second_events = 0xFFFFFFFF;
    EXPECT_FALSE(DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &second_events,
                                 sizeof second_events, nullptr, &second.overlapped));
    ASSERT_TRUE(second.done());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(wait.done());

    mask = SERIAL_EV_CTS;
    ASSERT_TRUE(control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask));
    ASSERT_TRUE(wait.done());
    EXPECT_EQ(wait.status(), 0);
    EXPECT_EQ(wait.information(), sizeof(ULONG));
    EXPECT_EQ(events, 0u);
}

TEST_F(QueueEndToEnd, CleanupCancelsTheWaitOnMask) {
    open();
    ULONG mask = SERIAL_EV_DSR;
    ASSERT_TRUE(control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask));
    Pending wait;
    ULONG events = 0xFFFFFFFF;
    start_wait_on_mask(wait, &events);
    EXPECT_FALSE(wait.wait(500));
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(wait.done());
    EXPECT_EQ(wait.status(), kStatusCancelled);
}

} // namespace
