// Overlapped requests: events, GetOverlappedResult, cancellation by CancelIo, CancelIoEx and
// CloseHandle, and completion on the virtual clock.
#include <hvsim/sched.h>

#include "user_fixture.h"

namespace {

struct Request {
    OVERLAPPED overlapped{};
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Request() { overlapped.hEvent = event; }
    ~Request() { CloseHandle(event); }
};

DWORD run_on_thread(DWORD (*body)(void*), void* context) {
    HANDLE thread = CreateThread(nullptr, 0, body, context, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

} // namespace

TEST_F(UserModeTest, APendedReadCompletesThroughItsEventAndGetOverlappedResult) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Request r;
    char buffer[8] = {};
    DWORD n = 55;
    EXPECT_FALSE(ReadFile(h, buffer, 3, &n, &r.overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&r.overlapped));
    EXPECT_FALSE(GetOverlappedResult(h, &r.overlapped, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(WaitForSingleObject(r.event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    test_driver::feed("abcdef");
    EXPECT_EQ(WaitForSingleObject(r.event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(HasOverlappedIoCompleted(&r.overlapped));
    ASSERT_TRUE(GetOverlappedResult(h, &r.overlapped, &n, TRUE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buffer), "abc");
    // The driver pends every read, even one it fills at once: the caller learns it from the
    // OVERLAPPED, already complete.
    EXPECT_FALSE(ReadFile(h, buffer, 8, &n, &r.overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(HasOverlappedIoCompleted(&r.overlapped));
    ASSERT_TRUE(GetOverlappedResult(h, &r.overlapped, &n, FALSE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buffer, 3), "def");
    // A write the driver completes in its dispatch routine reports its count directly.
    EXPECT_TRUE(WriteFile(h, "ghij", 4, &n, &r.overlapped));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(WaitForSingleObject(r.event, 0), WAIT_OBJECT_0);
    CloseHandle(h);
}

TEST_F(UserModeTest, WithoutAnEventTheFileItselfSignalsCompletion) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    char buffer[4];
    EXPECT_FALSE(ReadFile(h, buffer, 2, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    test_driver::feed("xy");
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &overlapped, &n, TRUE));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    CloseHandle(h);
}

TEST_F(UserModeTest, CancelIoAbortsTheCallersPendedRequests) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Request read, control;
    char buffer[4];
    EXPECT_FALSE(ReadFile(h, buffer, 4, nullptr, &read.overlapped));
    EXPECT_FALSE(DeviceIoControl(h, test_driver::kPend, nullptr, 0, nullptr, 0, nullptr, &control.overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(test_driver::held_requests(), 2u);

    // Another thread's CancelIo leaves this thread's requests alone.
    struct Context {
        HANDLE h;
    } context{h};
    EXPECT_EQ(run_on_thread([](void* c) -> DWORD { return CancelIo(static_cast<Context*>(c)->h); }, &context), 1u);
    EXPECT_EQ(test_driver::held_requests(), 2u);

    ASSERT_TRUE(CancelIo(h));
    HANDLE both[] = {read.event, control.event};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    DWORD n = 9;
    EXPECT_FALSE(GetOverlappedResult(h, &read.overlapped, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(GetOverlappedResult(h, &control.overlapped, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(test_driver::held_requests(), 0u);
    CloseHandle(h);
}

TEST_F(UserModeTest, CancelIoExReachesRequestsOfEveryThread) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CancelIoEx(h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    Request r;
    char buffer[4];
    EXPECT_FALSE(ReadFile(h, buffer, 4, nullptr, &r.overlapped));
    OVERLAPPED other{};
    EXPECT_FALSE(CancelIoEx(h, &other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    struct Context {
        HANDLE h;
        OVERLAPPED* overlapped;
    } context{h, &r.overlapped};
    EXPECT_EQ(run_on_thread(
                  [](void* c) -> DWORD {
                      auto* ctx = static_cast<Context*>(c);
                      return CancelIoEx(ctx->h, ctx->overlapped);
                  },
                  &context),
              1u);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &r.overlapped, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(h);
}

TEST_F(UserModeTest, CloseHandleCancelsPendedRequestsThroughCleanup) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Request r;
    char buffer[4];
    EXPECT_FALSE(ReadFile(h, buffer, 4, nullptr, &r.overlapped));
    ASSERT_TRUE(CloseHandle(h));
    // The request completed although its handle is gone; its OVERLAPPED says how.
    EXPECT_EQ(WaitForSingleObject(r.event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(r.overlapped.Internal, 0xC0000120u);
    const auto events = test_driver::events();
    EXPECT_EQ(events, (std::vector<std::string>{"create ", "read 4", "cleanup", "close"}));
}

TEST_F(UserModeTest, ASynchronousReadBlockedInAnotherThreadEndsWhenTheHandleCloses) {
    HANDLE h = open_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BlockedRead reader(h);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_TRUE(reader.ended(1000));
    EXPECT_FALSE(reader.result);
    EXPECT_EQ(reader.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(UserModeTest, LateCompletionFromADpcWakesTheWaiterOnTheVirtualClock) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Request r;
    ULONG delay = 5000, result = 0;
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(DeviceIoControl(h, test_driver::kCompleteLater, &delay, sizeof delay, &result, sizeof result, nullptr,
                                 &r.overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(r.event, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(GetTickCount64() - start, 1000u);
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &r.overlapped, &n, TRUE));
    EXPECT_EQ(GetTickCount64() - start, 5000u);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(result, 0x600Du);
    CloseHandle(h);
}

TEST_F(UserModeTest, OverlappedMisuseIsRefused) {
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[4];
    DWORD n;
    // An overlapped handle needs an OVERLAPPED.
    EXPECT_FALSE(ReadFile(h, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Its event must be an event.
    OVERLAPPED overlapped{};
    overlapped.hEvent = h;
    EXPECT_FALSE(ReadFile(h, buffer, 4, &n, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetOverlappedResult(h, nullptr, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(test_driver::held_requests(), 0u);
    CloseHandle(h);
}

TEST_F(UserModeTest, AnOverlappedOnASynchronousHandleReportsTheResultToo) {
    HANDLE h = open_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Request r;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &n, &r.overlapped));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(r.overlapped.Internal, 0u);
    EXPECT_EQ(r.overlapped.InternalHigh, 3u);
    EXPECT_EQ(WaitForSingleObject(r.event, 0), WAIT_OBJECT_0);
    CloseHandle(h);
}
