// The C runtime's WCHAR routines and the safe-string routines.
#include <hv_wchar.h>
#include <ntstrsafe.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

TEST(WideCrt, WtoiReadsLeadingDigitsOnly) {
    EXPECT_EQ(_wtoi(u"3"), 3);
    EXPECT_EQ(_wtoi(u"01"), 1);
    EXPECT_EQ(_wtoi(u"1x"), 1);
    EXPECT_EQ(_wtoi(u""), 0);
    EXPECT_EQ(_wtoi(u"COM"), 0);
    EXPECT_EQ(_wtoi(u" \t-42"), -42);
    EXPECT_EQ(_wtoi(u"99999999999"), INT_MAX) << "saturates";
    EXPECT_EQ(_wtoi(u"-99999999999"), INT_MIN);
    EXPECT_EQ(_wtoi64(u"-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(_wtoi(nullptr), 0);
}

TEST(WideCrt, WcstoulBasesAndEnd) {
    char16_t* end = nullptr;
    const char16_t* text = u"0x1Fg";
    EXPECT_EQ(wcstoul(text, &end, 0), 0x1Fu);
    EXPECT_EQ(end, text + 4);
    EXPECT_EQ(wcstoul(u"017", nullptr, 0), 15u);
    EXPECT_EQ(wcstoul(u"ff", nullptr, 16), 255u);
    EXPECT_EQ(wcstoul(u"-1", nullptr, 10), 0xFFFFFFFFu);
    EXPECT_EQ(wcstoul(u"4294967296", nullptr, 10), 0xFFFFFFFFu);
    const char16_t* none = u"  z";
    EXPECT_EQ(wcstol(none, &end, 10), 0);
    EXPECT_EQ(end, none) << "no digits: end is the start";
    EXPECT_EQ(wcstol(u"-2147483649", nullptr, 10), INT32_MIN);
    EXPECT_EQ(wcstoull(u"z", nullptr, 36), 35u);
}

TEST(WideCrt, NumbersToText) {
    char16_t buffer[66];
    EXPECT_EQ(std::u16string(_itow(-15, buffer, 10)), u"-15");
    EXPECT_EQ(std::u16string(_itow(-1, buffer, 16)), u"ffffffff");
    EXPECT_EQ(std::u16string(_ultow(255, buffer, 2)), u"11111111");
    EXPECT_EQ(std::u16string(_ui64tow(0, buffer, 10)), u"0");
}

TEST(WideCrt, CopyCompareSearch) {
    char16_t buffer[8];
    wcsncpy(buffer, u"ab", 4);
    EXPECT_EQ(buffer[2], 0);
    EXPECT_EQ(buffer[3], 0) << "padded with NULs";
    wcscpy(buffer, u"COM");
    wcscat(buffer, u"12");
    wcsncat(buffer, u"345", 1);
    EXPECT_EQ(std::u16string(buffer), u"COM123");
    EXPECT_EQ(wcslen(buffer), 6u);
    EXPECT_EQ(_wcsicmp(u"HvUsbSam", u"HVUSBSAM"), 0);
    EXPECT_LT(_wcsicmp(u"a", u"B"), 0) << "compares lower-case forms";
    EXPECT_EQ(_wcsnicmp(u"COM3x", u"com3y", 4), 0);
    EXPECT_GT(wcscmp(u"b", u"a"), 0);
    EXPECT_EQ(wcsncmp(u"abc", u"abd", 2), 0);
    const char16_t* path = u"\\Device\\HvUVCP0";
    EXPECT_EQ(wcschr(path, u'H'), path + 8);
    EXPECT_EQ(wcsrchr(path, u'\\'), path + 7);
    EXPECT_EQ(wcsstr(path, u"UVCP"), path + 10);
    EXPECT_EQ(wcsstr(path, u"uvcp"), nullptr);
    EXPECT_EQ(wcsspn(u"123abc", u"0123456789"), 3u);
    EXPECT_EQ(wcscspn(u"abc,d", u",;"), 3u);
    EXPECT_EQ(wcspbrk(path, u"0"), path + 14);
}

TEST(WideCrt, CaseTable) {
    char16_t text[] = u"com\u00E9\u0101\u0430\u00FF";
    EXPECT_EQ(std::u16string(_wcsupr(text)), u"COM\u00C9\u0100\u0410\u0178");
    EXPECT_EQ(std::u16string(_wcslwr(text)), u"com\u00E9\u0101\u0430\u00FF");
    EXPECT_EQ(towupper(u'\u00F7'), u'\u00F7') << "division sign has no case";
    EXPECT_EQ(towupper(u'\u00DF'), u'\u00DF');
    EXPECT_EQ(towlower(u'\u0139'), u'\u013A') << "the odd capitals of Latin Extended-A";
    EXPECT_TRUE(iswalpha(u'\u00DF'));
    EXPECT_FALSE(iswalpha(u'1'));
    EXPECT_TRUE(iswspace(u'\t'));
    EXPECT_TRUE(iswxdigit(u'F'));
    char16_t* copy = _wcsdup(u"dup");
    EXPECT_EQ(std::u16string(copy), u"dup");
    std::free(copy);
}

TEST(SafeStrings, CopyTruncatesAndTerminates) {
    WCHAR w[5];
    EXPECT_EQ(RtlStringCchCopyW(w, 5, u"COM12"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(w), u"COM1");
    EXPECT_EQ(RtlStringCbCopyW(w, sizeof w, u"COM"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(w), u"COM");
    EXPECT_EQ(RtlStringCchCopyW(w, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchCopyW(w, 5, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(w[0], 0);
    char a[4];
    EXPECT_EQ(RtlStringCchCopyNA(a, sizeof a, "abcdef", 2), STATUS_SUCCESS);
    EXPECT_STREQ(a, "ab");
}

TEST(SafeStrings, CatNeedsATerminatedDestination) {
    char a[8] = "Hv";
    EXPECT_EQ(RtlStringCchCatA(a, sizeof a, "UVCP"), STATUS_SUCCESS);
    EXPECT_STREQ(a, "HvUVCP");
    EXPECT_EQ(RtlStringCchCatA(a, sizeof a, "123"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(a, "HvUVCP1");
    char full[3] = {'x', 'y', 'z'};
    EXPECT_EQ(RtlStringCchCatA(full, sizeof full, "a"), STATUS_INVALID_PARAMETER);
    WCHAR w[6] = u"ab";
    EXPECT_EQ(RtlStringCbCatNW(w, sizeof w, u"cdef", 2 * sizeof(WCHAR)), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(w), u"abcd");
}

TEST(SafeStrings, PrintfAndLength) {
    char line[8];
    EXPECT_EQ(RtlStringCbPrintfA(line, sizeof line, "%s %d", "ab", 12), STATUS_SUCCESS);
    EXPECT_STREQ(line, "ab 12");
    EXPECT_EQ(RtlStringCbPrintfA(line, sizeof line, "%s", "0123456789"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(line, "0123456");
    WCHAR w[20];
    EXPECT_EQ(RtlStringCchPrintfW(w, 16, u"\\DosDevices\\%ws", u"COM3"), STATUS_BUFFER_OVERFLOW)
        << "16 characters need 17";
    EXPECT_EQ(RtlStringCchPrintfW(w, 20, u"\\DosDevices\\%ws", u"COM3"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(w), u"\\DosDevices\\COM3");
    size_t n = 99;
    EXPECT_EQ(RtlStringCchLengthW(w, 20, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 16u);
    EXPECT_EQ(RtlStringCbLengthW(w, sizeof w, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 32u);
    EXPECT_EQ(RtlStringCchLengthW(w, 16, &n), STATUS_INVALID_PARAMETER) << "not terminated within 16";
    EXPECT_EQ(n, 0u);
}

} // namespace
