// String routines, code-page conversions and the translation of kernel statuses to Win32 errors.
#include <winternl.h>

#include <cstring>
#include <string>

#include "user_fixture.h"

using TextTest = UserModeTest;

TEST_F(TextTest, AnsiConversionsUseWindows1252AndReportWhatTheyCouldNotMap) {
    const char ansi[] = "\x80 caf\xe9";
    WCHAR wide[16];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0), 7);
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, 16), 7);
    EXPECT_EQ(std::u16string(wide), u"\u20ac caf\u00e9");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    char back[16] = {};
    BOOL used_default = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u20ac\u4e2d!", -1, back, sizeof back, nullptr, &used_default), 4);
    EXPECT_STREQ(back, "\x80?!");
    EXPECT_TRUE(used_default);
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u4e2d", 1, back, sizeof back, "#", &used_default), 1);
    EXPECT_EQ(back[0], '#');
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", 3, back, sizeof back, nullptr, &used_default), 3);
    EXPECT_FALSE(used_default);
    EXPECT_EQ(GetACP(), 1252u);
}

TEST_F(TextTest, Utf8ConversionsRefuseWhatIsNotUtf8WhenAsked) {
    WCHAR wide[8];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xf0\x9f\x98\x80", 4, wide, 8), 2);
    EXPECT_EQ(wide[0], 0xD83D);
    EXPECT_EQ(wide[1], 0xDE00);
    // An overlong form and a lone continuation byte.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xc0\xaf", 2, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\x80z", 3, wide, 8), 3);
    EXPECT_EQ(wide[1], 0xFFFD);

    char out[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00e9", 1, out, 8, nullptr, nullptr), 2);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"\xd800", 1, out, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    BOOL used;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"x", 1, out, 8, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Arguments no conversion takes.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(437, 0, "abc", 3, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST_F(TextTest, StringRoutinesFollowWindowsRules) {
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrlenW(u"COM3"), 4);
    EXPECT_EQ(lstrcmpiW(u"com3", u"COM3"), 0);
    EXPECT_LT(lstrcmpiW(u"COM3", u"COM4"), 0);
    // Word order: case matters only at a tie, lower case first.
    EXPECT_LT(lstrcmpW(u"apple", u"Banana"), 0);
    EXPECT_LT(lstrcmpW(u"a", u"A"), 0);
    EXPECT_EQ(lstrcmpW(u"Same", u"Same"), 0);
    EXPECT_LT(lstrcmpiA("abc", "ABD"), 0);
    WCHAR buffer[8];
    lstrcpynW(buffer, u"truncate me", 5);
    EXPECT_EQ(std::u16string(buffer), u"trun");
    lstrcpyW(buffer, u"ab");
    lstrcatW(buffer, u"cd");
    EXPECT_EQ(std::u16string(buffer), u"abcd");

    WCHAR text[1100];
    EXPECT_EQ(wsprintfW(text, u"%s-%d-%04X-%hs", u"COM", 3, 0xBEEF, "x"), 12);
    EXPECT_EQ(std::u16string(text), u"COM-3-BEEF-x");
    // wsprintf stops at 1024 characters with the terminator.
    std::u16string longer(1500, u'z');
    EXPECT_EQ(wsprintfW(text, u"%s", longer.c_str()), 1023);
    EXPECT_EQ(lstrlenW(text), 1023);
    char narrow[32];
    EXPECT_EQ(wsprintfA(narrow, "%s %u", "port", 7u), 6);
    EXPECT_STREQ(narrow, "port 7");
}

TEST_F(TextTest, KernelStatusesTranslateToWindowsErrors) {
    struct Case {
        ULONG status;
        ULONG error;
    } cases[] = {
        {0x00000000, ERROR_SUCCESS},
        {0x00000103, ERROR_IO_PENDING},
        {0x80000005, ERROR_MORE_DATA},
        {0xC0000001, ERROR_GEN_FAILURE},
        {0xC0000002, ERROR_INVALID_FUNCTION},
        {0xC0000005, ERROR_NOACCESS},
        {0xC0000008, ERROR_INVALID_HANDLE},
        {0xC000000D, ERROR_INVALID_PARAMETER},
        {0xC0000010, ERROR_INVALID_FUNCTION},
        {0xC0000022, ERROR_ACCESS_DENIED},
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
        {0xC0000034, ERROR_FILE_NOT_FOUND},
        {0xC000003A, ERROR_PATH_NOT_FOUND},
        {0xC0000056, ERROR_ACCESS_DENIED},
        {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
        {0xC00000B5, ERROR_SEM_TIMEOUT},
        {0xC00000BB, ERROR_NOT_SUPPORTED},
        {0xC0000120, ERROR_OPERATION_ABORTED},
        {0xC0000184, ERROR_BAD_COMMAND},
        {0xC00002B6, ERROR_DEV_NOT_EXIST},
        {0x80070057, ERROR_INVALID_PARAMETER}, // a Win32 error carried in a status
        {0x00000001, 1},                       // STATUS_WAIT_1
        {0xC0DEC0DE, ERROR_MR_MID_NOT_FOUND},  // no translation
    };
    for (const auto& c : cases)
        EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(c.status)), c.error) << std::hex << c.status;
}

TEST_F(TextTest, LastErrorBelongsToEachThread) {
    SetLastError(1234);
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            DWORD seen = GetLastError();
            SetLastError(99);
            return seen;
        },
        nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    CloseHandle(thread);
}
