// Events, mutexes, named objects and waits on the virtual clock.
#include <hvsim/sched.h>

#include <chrono>

#include "user_fixture.h"

using SyncTest = UserModeTest;

TEST_F(SyncTest, EventsAreManualOrAutoReset) {
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_TRUE(manual && automatic);
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // An auto-reset event satisfies one wait.
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(manual);
    CloseHandle(automatic);
}

TEST_F(SyncTest, NamedObjectsAreSharedWhileAHandleHoldsThem) {
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, u"HvTestEvent");
    ASSERT_TRUE(a);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE b = CreateEventW(nullptr, FALSE, TRUE, u"HvTestEvent");
    ASSERT_TRUE(b);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(a, b);
    // One object: the second creation's arguments were ignored.
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    HANDLE c = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Local\\HvTestEvent");
    EXPECT_TRUE(c);
    // Names are case-sensitive; another kind of object cannot take the name.
    EXPECT_FALSE(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"hvtestevent"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CreateMutexW(nullptr, FALSE, u"HvTestEvent"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(OpenMutexW(SYNCHRONIZE, FALSE, u"HvTestEvent"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CreateEventW(nullptr, TRUE, FALSE, u"No\\Such\\Directory"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(c);
    // The name went with the last handle.
    EXPECT_FALSE(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"HvTestEvent"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SyncTest, HandlesKeepTheRightsTheyWereOpenedWith) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"HvRights");
    HANDLE waiter = OpenEventW(SYNCHRONIZE, FALSE, u"HvRights");
    HANDLE setter = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"HvRights");
    ASSERT_TRUE(event && waiter && setter);
    EXPECT_FALSE(SetEvent(waiter));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(SetEvent(setter));
    EXPECT_EQ(WaitForSingleObject(setter, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(WaitForSingleObject(waiter, 0), WAIT_OBJECT_0);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), waiter, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_FALSE(CloseHandle(waiter));
    EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
    CloseHandle(copy);
    CloseHandle(setter);
    CloseHandle(event);
}

TEST_F(SyncTest, MutexesBelongToTheThreadThatHoldsThem) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, u"HvTestMutex");
    ASSERT_TRUE(mutex);
    // The owner may take it again; another thread may neither take nor release it.
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    struct Context {
        HANDLE mutex;
        DWORD wait = 0;
        BOOL released = TRUE;
        DWORD release_error = 0;
        DWORD later_wait = 0;
    } context{mutex};
    auto probe = [](void* c) -> DWORD {
        auto* ctx = static_cast<Context*>(c);
        ctx->wait = WaitForSingleObject(ctx->mutex, 0);
        ctx->released = ReleaseMutex(ctx->mutex);
        ctx->release_error = GetLastError();
        ctx->later_wait = WaitForSingleObject(ctx->mutex, 10000);
        if (ctx->later_wait == WAIT_OBJECT_0) ReleaseMutex(ctx->mutex);
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, 0, probe, &context, 0, nullptr);
    Sleep(100);
    EXPECT_EQ(context.wait, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(context.released);
    EXPECT_EQ(context.release_error, static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(ReleaseMutex(mutex));
    // Still held once more by this thread.
    EXPECT_EQ(WaitForSingleObject(thread, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(thread, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(context.later_wait, WAIT_OBJECT_0);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    // Opening an existing mutex never takes it.
    HANDLE again = CreateMutexW(nullptr, TRUE, u"HvTestMutex");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(ReleaseMutex(again));
    CloseHandle(again);
    CloseHandle(thread);
    CloseHandle(mutex);
}

TEST_F(SyncTest, AMutexLeftByAnEndedThreadIsAbandoned) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE thread = CreateThread(
        nullptr, 0, [](void* m) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(m), 0); }, mutex, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_ABANDONED));
    // Whoever gets it abandoned owns it.
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ReleaseMutex(mutex);
    CloseHandle(thread);
    CloseHandle(mutex);
}

TEST_F(SyncTest, WaitForMultipleObjectsWaitsForAnyOrAll) {
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE both[] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);

    // Refused waits.
    EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE twice[] = {a, a};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Standard handles name no waitable object.
    EXPECT_EQ(WaitForSingleObject(GetStdHandle(STD_OUTPUT_HANDLE), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(a);
}

TEST_F(SyncTest, TimeoutsAndSleepsRunOnTheVirtualClock) {
    const auto real_start = std::chrono::steady_clock::now();
    const ULONGLONG start = GetTickCount64();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 3000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(GetTickCount64() - start, 3000u);
    Sleep(10000);
    EXPECT_EQ(GetTickCount64() - start, 13000u);
    // Thirteen seconds of machine time cost no real ones.
    EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(2));

    // A thread's Sleep ends a wait for the thread at the same machine time.
    HANDLE sleeper = CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            Sleep(2500);
            return 7;
        },
        nullptr, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(sleeper, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(GetTickCount64() - start, 15500u);
    CloseHandle(sleeper);
    CloseHandle(event);
}
