// Version, clock and folders as a process sees them.
#include <hvsim/sched.h>

#include "user_fixture.h"

using SystemInfoTest = UserModeTest;

TEST_F(SystemInfoTest, TheVersionIsTheMachinesAndChecksTheRecordSize) {
    OSVERSIONINFOEXW ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&ex)));
    EXPECT_EQ(ex.dwMajorVersion, 6u);
    EXPECT_EQ(ex.dwMinorVersion, 1u);
    EXPECT_EQ(ex.dwBuildNumber, 7601u);
    EXPECT_EQ(ex.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(std::u16string(ex.szCSDVersion), u"Service Pack 1");
    EXPECT_EQ(ex.wServicePackMajor, 1);
    EXPECT_EQ(ex.wProductType, VER_NT_WORKSTATION);
    EXPECT_EQ(GetVersion(), (7601u << 16) | (1u << 8) | 6u);

    OSVERSIONINFOA a{};
    a.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    hvsim::user::WindowsVersion vista;
    vista.minor = 0;
    vista.build = 6002;
    vista.service_pack = u"Service Pack 2";
    hvsim::user::set_windows_version(vista);
    a.dwOSVersionInfoSize = sizeof a;
    ASSERT_TRUE(GetVersionExA(&a));
    EXPECT_EQ(a.dwMinorVersion, 0u);
    EXPECT_EQ(a.dwBuildNumber, 6002u);
    EXPECT_STREQ(a.szCSDVersion, "Service Pack 2");
}

TEST_F(SystemInfoTest, TheClocksFollowTheMachineClock) {
    const ULONGLONG tick = GetTickCount64();
    LARGE_INTEGER counter, frequency;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_TRUE(QueryPerformanceCounter(&counter));
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    Sleep(1500);
    LARGE_INTEGER later;
    QueryPerformanceCounter(&later);
    FILETIME after;
    GetSystemTimeAsFileTime(&after);
    EXPECT_EQ(GetTickCount64() - tick, 1500u);
    EXPECT_EQ(static_cast<DWORD>(GetTickCount64()), GetTickCount());
    EXPECT_EQ(later.QuadPart - counter.QuadPart, frequency.QuadPart * 3 / 2);
    auto as_ticks = [](const FILETIME& t) {
        return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    EXPECT_EQ(as_ticks(after) - as_ticks(before), 15'000'000u);
    // The virtual clock starts on its fixed date.
    EXPECT_EQ(as_ticks(before),
              static_cast<ULONGLONG>(hvsim::sched::kVirtualBootSystemTime + hvsim::sched::now() - 15'000'000));
}

TEST_F(SystemInfoTest, FoldersFollowTheSizeConventionOfWindows) {
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 19u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\System32");
    // Too small: the size needed with the terminator, nothing written.
    buffer[0] = u'#';
    EXPECT_EQ(GetWindowsDirectoryW(buffer, 5), 11u);
    EXPECT_EQ(buffer[0], u'#');
    char narrow[MAX_PATH];
    EXPECT_EQ(GetSystemWindowsDirectoryA(narrow, MAX_PATH), 10u);
    EXPECT_STREQ(narrow, "C:\\Windows");
    // A short module buffer is filled, terminated and reported as short.
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 4), 4u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::u16string(buffer), u"C:\\");
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_TRUE(SetEnvironmentVariableW(u"HV_TEST", u"1"));
    EXPECT_EQ(GetEnvironmentVariableW(u"hv_test", buffer, MAX_PATH), 1u);
    EXPECT_TRUE(SetEnvironmentVariableW(u"HV_TEST", nullptr));
    EXPECT_EQ(GetEnvironmentVariableW(u"HV_TEST", buffer, MAX_PATH), 0u);
    EXPECT_FALSE(SetEnvironmentVariableW(u"A=B", u"1"));
}

TEST_F(SystemInfoTest, DebuggerOutputGoesToTheDebuggerLog) {
    OutputDebugStringW(u"hello from user mode\n");
    OutputDebugStringA("narrow caf\xe9\n");
    OutputDebugStringW(nullptr);
    EXPECT_TRUE(test_driver::debug_log_contains("hello from user mode"));
    EXPECT_TRUE(test_driver::debug_log_contains("narrow caf\xc3\xa9"));
}
