// Completion routines and user APCs: ReadFileEx and WriteFileEx, QueueUserAPC, the alertable
// waits that run them, GetOverlappedResultEx, CancelIoEx of one request among several of a
// thread, and CancelSynchronousIo.
#include "user_fixture.h"

#include <vector>

namespace {

struct Completion {
    DWORD error;
    DWORD bytes;
    LPOVERLAPPED overlapped;
};
std::vector<Completion> g_completions;

VOID WINAPI record_completion(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
    g_completions.push_back({error, bytes, overlapped});
}

std::vector<ULONG_PTR> g_apcs;
VOID NTAPI record_apc(ULONG_PTR parameter) { g_apcs.push_back(parameter); }

class AlertableIo : public UserModeTest {
protected:
    void SetUp() override {
        UserModeTest::SetUp();
        g_completions.clear();
        g_apcs.clear();
    }
};

TEST_F(AlertableIo, ACompletionRoutineRunsOnlyInAnAlertableWaitOfItsThread) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED read{}, write{};
    // The event is the caller's to use: a request with a routine leaves it alone.
    read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[8] = {};
    ASSERT_TRUE(ReadFileEx(h, buffer, 3, &read, record_completion));
    EXPECT_EQ(WaitForSingleObjectEx(read.hEvent, 0, TRUE), static_cast<DWORD>(WAIT_TIMEOUT));
    // Written and looped back at once: both requests are done, neither routine has run.
    ASSERT_TRUE(WriteFileEx(h, "abc", 3, &write, record_completion));
    EXPECT_TRUE(HasOverlappedIoCompleted(&read));
    EXPECT_TRUE(HasOverlappedIoCompleted(&write));
    Sleep(10);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(g_completions.empty());

    EXPECT_EQ(SleepEx(INFINITE, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
    ASSERT_EQ(g_completions.size(), 2u);
    EXPECT_EQ(g_completions[0].overlapped, &read);
    EXPECT_EQ(g_completions[0].error, 0u);
    EXPECT_EQ(g_completions[0].bytes, 3u);
    EXPECT_EQ(std::string(buffer), "abc");
    EXPECT_EQ(g_completions[1].overlapped, &write);
    EXPECT_EQ(WaitForSingleObject(read.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // Nothing left: the next alertable wait times out.
    EXPECT_EQ(SleepEx(5, TRUE), 0u);

    // A cancelled request reports its end through the routine too.
    ASSERT_TRUE(ReadFileEx(h, buffer, 4, &read, record_completion));
    ASSERT_TRUE(CancelIoEx(h, &read));
    EXPECT_EQ(SleepEx(0, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
    ASSERT_EQ(g_completions.size(), 3u);
    EXPECT_EQ(g_completions[2].error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(g_completions[2].bytes, 0u);
    CloseHandle(read.hEvent);
    CloseHandle(h);
}

TEST_F(AlertableIo, MisusedRequestsWithRoutinesAreRefusedAndQueueNothing) {
    HANDLE synchronous = open_device();
    ASSERT_NE(synchronous, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    char buffer[4];
    struct {
        HANDLE handle;
        LPOVERLAPPED overlapped;
        LPOVERLAPPED_COMPLETION_ROUTINE routine;
        DWORD error;
    } const cases[] = {
        {synchronous, &overlapped, record_completion, ERROR_INVALID_PARAMETER},
        {nullptr, &overlapped, record_completion, ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(ReadFileEx(c.handle, buffer, 4, c.overlapped, c.routine));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_FALSE(WriteFileEx(c.handle, buffer, 4, c.overlapped, c.routine));
        EXPECT_EQ(GetLastError(), c.error);
    }
    CloseHandle(synchronous);
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    EXPECT_FALSE(ReadFileEx(h, buffer, 4, nullptr, record_completion));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ReadFileEx(h, buffer, 4, &overlapped, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
    EXPECT_TRUE(g_completions.empty());
    CloseHandle(h);
}

// An APC queued to a thread waits for that thread to wait alertably, in any of the waits.
TEST_F(AlertableIo, QueuedApcsEndAlertableWaitsOfTheirThreadInOrder) {
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE self = GetCurrentThread();
    ASSERT_TRUE(QueueUserAPC(record_apc, self, 1));
    ASSERT_TRUE(QueueUserAPC(record_apc, self, 2));
    EXPECT_EQ(WaitForSingleObject(never, 1), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(g_apcs.empty());
    EXPECT_EQ(WaitForSingleObjectEx(never, INFINITE, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
    EXPECT_EQ(g_apcs, (std::vector<ULONG_PTR>{1, 2}));

    // One queued from another thread while this one waits for all of two objects.
    struct Context {
        HANDLE target;
    } context{nullptr};
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), self, GetCurrentProcess(), &context.target, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    HANDLE queuer = CreateThread(
        nullptr, 0,
        [](void* c) -> DWORD {
            Sleep(50);
            return QueueUserAPC(record_apc, static_cast<Context*>(c)->target, 3);
        },
        &context, 0, nullptr);
    HANDLE both[] = {never, queuer};
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(WaitForMultipleObjectsEx(2, both, TRUE, 10000, TRUE), static_cast<DWORD>(WAIT_IO_COMPLETION));
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_EQ(g_apcs.back(), 3u);
    EXPECT_EQ(WaitForMultipleObjectsEx(2, both, TRUE, 30, TRUE), static_cast<DWORD>(WAIT_TIMEOUT));
    WaitForSingleObject(queuer, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(queuer, &code);
    EXPECT_EQ(code, 1u);
    // A thread that has ended takes no APC.
    EXPECT_FALSE(QueueUserAPC(record_apc, queuer, 4));
    EXPECT_FALSE(QueueUserAPC(nullptr, self, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(queuer);
    CloseHandle(context.target);
    CloseHandle(never);
}

TEST_F(AlertableIo, GetOverlappedResultExWaitsAsLongAsItIsTold) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[4];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buffer, 2, nullptr, &overlapped));
    EXPECT_FALSE(GetOverlappedResultEx(h, &overlapped, &n, 0, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(GetOverlappedResultEx(h, &overlapped, &n, 200, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(GetTickCount64() - start, 200u);
    ASSERT_TRUE(QueueUserAPC(record_apc, GetCurrentThread(), 7));
    EXPECT_FALSE(GetOverlappedResultEx(h, &overlapped, &n, INFINITE, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_IO_COMPLETION));
    EXPECT_EQ(g_apcs, std::vector<ULONG_PTR>{7});
    test_driver::feed("ok");
    ASSERT_TRUE(GetOverlappedResultEx(h, &overlapped, &n, 100, TRUE));
    EXPECT_EQ(n, 2u);
    CloseHandle(overlapped.hEvent);
    CloseHandle(h);
}

// Two reads of one thread on one handle: the OVERLAPPED names which one goes.
TEST_F(AlertableIo, CancelIoExEndsTheNamedRequestAndLeavesTheOthers) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED first{}, second{};
    first.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    second.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char a[2], b[2];
    EXPECT_FALSE(ReadFile(h, a, 2, nullptr, &first));
    EXPECT_FALSE(ReadFile(h, b, 2, nullptr, &second));
    ASSERT_TRUE(CancelIoEx(h, &second));
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &second, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(HasOverlappedIoCompleted(&first));
    test_driver::feed("xy");
    ASSERT_TRUE(GetOverlappedResult(h, &first, &n, TRUE));
    EXPECT_EQ(std::string(a, 2), "xy");
    CloseHandle(first.hEvent);
    CloseHandle(second.hEvent);
    CloseHandle(h);
}

TEST_F(AlertableIo, CancelSynchronousIoEndsTheReadAThreadWaitsIn) {
    HANDLE h = open_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CancelSynchronousIo(GetCurrentThread()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    BlockedRead reader(h);
    ASSERT_TRUE(CancelSynchronousIo(reader.thread));
    EXPECT_TRUE(reader.ended(1000));
    EXPECT_FALSE(reader.result);
    EXPECT_EQ(reader.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(CancelSynchronousIo(reader.thread));
    CloseHandle(h);
}

} // namespace
