// Simulated processes and their threads: identity, exit codes, standard output, and the handles
// a process leaves behind.
#include <hv_stdio.h>

#include <mutex>

#include "user_fixture.h"

using ProcessTest = UserModeTest;
using hvsim::user::Process;
using hvsim::user::ProcessOptions;

namespace {

struct Captured {
    std::mutex mutex;
    std::string out, err;
};

ProcessOptions capturing(Captured& c) {
    ProcessOptions options;
    options.image_path = u"C:\\Windows\\System32\\tool.exe";
    options.command_line = u"tool.exe --fast \"two words\"";
    options.current_directory = u"C:\\Work";
    options.environment = {{u"PATH", u"C:\\Windows"}};
    options.standard_output = [&c](std::string_view s) {
        std::lock_guard lock(c.mutex);
        c.out.append(s);
    };
    options.standard_error = [&c](std::string_view s) {
        std::lock_guard lock(c.mutex);
        c.err.append(s);
    };
    return options;
}

} // namespace

TEST_F(ProcessTest, ThreadsReportTheirIdsAndExitCodes) {
    struct Context {
        DWORD process_id = 0, thread_id = 0;
    } context;
    DWORD id = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* c) -> DWORD {
            auto* ctx = static_cast<Context*>(c);
            ctx->process_id = GetCurrentProcessId();
            ctx->thread_id = GetCurrentThreadId();
            ExitThread(42);
        },
        &context, 0, &id);
    ASSERT_TRUE(thread);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(context.thread_id, id);
    EXPECT_NE(context.thread_id, GetCurrentThreadId());
    EXPECT_EQ(context.process_id, GetCurrentProcessId());
    // Waiting on one's own thread pseudo-handle never ends; polling it shows it running.
    EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    CloseHandle(thread);

    EXPECT_FALSE(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ProcessTest, ASuspendedThreadStartsOnResume) {
    static LONG ran;
    ran = 0;
    HANDLE thread = CreateThread(
        nullptr, 0, [](void*) -> DWORD { return ++ran; }, nullptr, CREATE_SUSPENDED, nullptr);
    ASSERT_TRUE(thread);
    EXPECT_EQ(WaitForSingleObject(thread, 500), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(ResumeThread(thread), 0u);
    CloseHandle(thread);
}

TEST_F(ProcessTest, AProcessSeesItsOwnCommandLineFolderAndEnvironment) {
    Captured captured;
    auto process = Process::create(capturing(captured));
    struct Seen {
        std::u16string command_line, directory, path, missing_error;
        std::u16string module;
        DWORD id = 0;
    } seen;
    process->start([&]() -> DWORD {
        seen.command_line = GetCommandLineW();
        WCHAR buffer[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, buffer);
        seen.directory = buffer;
        DWORD n = GetEnvironmentVariableW(u"path", buffer, MAX_PATH);
        seen.path.assign(buffer, n);
        seen.missing_error =
            GetEnvironmentVariableW(u"NOPE", buffer, MAX_PATH) == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND
                ? u"not found"
                : u"?";
        GetModuleFileNameW(nullptr, buffer, MAX_PATH);
        seen.module = buffer;
        seen.id = GetCurrentProcessId();
        return 0;
    });
    EXPECT_EQ(process->wait(), 0u);
    EXPECT_EQ(seen.command_line, u"tool.exe --fast \"two words\"");
    EXPECT_EQ(seen.directory, u"C:\\Work");
    EXPECT_EQ(seen.path, u"C:\\Windows");
    EXPECT_EQ(seen.missing_error, u"not found");
    EXPECT_EQ(seen.module, u"C:\\Windows\\System32\\tool.exe");
    EXPECT_EQ(seen.id, process->id());
    EXPECT_NE(seen.id, GetCurrentProcessId());
}

TEST_F(ProcessTest, StandardOutputReachesTheProcessesSink) {
    Captured captured;
    auto process = Process::create(capturing(captured));
    process->start([]() -> DWORD {
        DWORD n = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "raw bytes\n", 10, &n, nullptr);
        WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), u"wide \u00e9\n", 7, &n, nullptr);
        wprintf(u"%s=%d %hs\n", u"answer", 42, "narrow");
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), "oops\n", 5, &n, nullptr);
        // Standard input is at its end.
        char c;
        return ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &n, nullptr) && n == 0 ? 3 : 4;
    });
    EXPECT_EQ(process->wait(), 3u);
    EXPECT_EQ(captured.out, "raw bytes\nwide \xc3\xa9\nanswer=42 narrow\n");
    EXPECT_EQ(captured.err, "oops\n");
}

TEST_F(ProcessTest, AProcessEndsAfterItsThreadsAndClosesWhatItLeftOpen) {
    Captured captured;
    auto process = Process::create(capturing(captured));
    static HANDLE worker_done;
    worker_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    process->start([]() -> DWORD {
        // Left open on purpose: the process's end closes it.
        CreateFileW(u"\\\\.\\HVUTEST", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        CreateThread(
            nullptr, 0,
            [](void*) -> DWORD {
                Sleep(3000);
                return 0;
            },
            nullptr, 0, nullptr);
        return 9;
    });
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(process->wait(), 9u);
    // The worker's three seconds passed first.
    EXPECT_EQ(GetTickCount64() - start, 3000u);
    EXPECT_TRUE(process->has_exited());
    EXPECT_EQ(process->handle_count(), 0u);
    EXPECT_EQ(test_driver::events(), (std::vector<std::string>{"create ", "cleanup", "close"}));
    CloseHandle(worker_done);
}

TEST_F(ProcessTest, AnUncaughtExceptionEndsTheThreadWithAMessage) {
    Captured captured;
    auto process = Process::create(capturing(captured));
    process->start([]() -> DWORD { throw std::runtime_error("broken"); });
    EXPECT_EQ(process->wait(), 0xE06D7363u);
    EXPECT_EQ(captured.err, "unhandled exception: broken\n");
}

TEST_F(ProcessTest, ProcessHandlesServeWaitsAndExitCodes) {
    auto process = Process::create({});
    HANDLE h = process->open_handle();
    ASSERT_TRUE(h);
    process->start([]() -> DWORD {
        Sleep(1000);
        return 5;
    });
    EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 5u);
    EXPECT_EQ(process->wait(), 5u);
    ASSERT_TRUE(CloseHandle(h));
    // The caller's own process is running.
    ASSERT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
}
