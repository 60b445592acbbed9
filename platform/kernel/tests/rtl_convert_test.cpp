// Code-page conversions, integers and GUIDs as text: the lengths and statuses the drivers' string
// class relies on.
#include <hvsim/pool.h>
#include <sched_testing.h>

#include <cstring>

namespace {

using RtlConvert = hvsim::ktest::VirtualKernelTest;

UNICODE_STRING wide(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST_F(RtlConvert, UnicodeToAnsiAllocatesLengthPlusTerminator) {
    UNICODE_STRING src = wide(u"COM\u20AC\u0100");
    ANSI_STRING dest{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&dest, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 5);
    EXPECT_EQ(dest.MaximumLength, 6);
    EXPECT_STREQ(dest.Buffer, "COM\x80?");
    RtlFreeAnsiString(&dest);
    EXPECT_EQ(RtlxUnicodeStringToAnsiSize(&src), 6u);
}

TEST_F(RtlConvert, UnicodeToAnsiIntoTooSmallABufferWritesWhatFits) {
    UNICODE_STRING src = wide(u"ABCDEF");
    char buffer[4];
    ANSI_STRING dest{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&dest, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 3);
    EXPECT_STREQ(buffer, "ABC");
    char exact[7];
    ANSI_STRING fits{0, sizeof exact, exact};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&fits, &src, FALSE), STATUS_SUCCESS);
    EXPECT_STREQ(exact, "ABCDEF");
    ANSI_STRING none{0, 0, nullptr};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&none, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(nullptr, &src, FALSE), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlConvert, AnsiToUnicodeNeedsRoomForTheTerminator) {
    ANSI_STRING src;
    RtlInitAnsiString(&src, "Port\x93");
    EXPECT_EQ(RtlxAnsiStringToUnicodeSize(&src), 12u);
    WCHAR buffer[5];
    std::memset(buffer, 0x55, sizeof buffer);
    UNICODE_STRING dest{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&dest, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 0) << "left untouched";
    EXPECT_EQ(buffer[0], 0x5555);
    UNICODE_STRING made{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&made, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(made.Length, 10);
    EXPECT_EQ(made.MaximumLength, 12);
    EXPECT_EQ(std::u16string(made.Buffer), u"Port\u201C");
    RtlFreeUnicodeString(&made);
    EXPECT_FALSE(NLS_MB_CODE_PAGE_TAG);
}

TEST_F(RtlConvert, AllocationFailureIsReportedAndLeavesNothing) {
    UNICODE_STRING src = wide(u"x");
    ANSI_STRING dest{};
    hvsim::pool::fail_nth(1);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&dest, &src, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(dest.Buffer, nullptr);
    UNICODE_STRING guid{};
    hvsim::pool::fail_tag(hvsim::pool::tag_from_text("Strg"));
    EXPECT_EQ(RtlStringFromGUID(GUID{}, &guid), STATUS_NO_MEMORY);
    EXPECT_EQ(hvsim::pool::outstanding().count, 0u);
}

TEST_F(RtlConvert, UnicodeStringToIntegerIsLenient) {
    struct Case {
        const char16_t* text;
        ULONG base;
        ULONG value;
    } cases[] = {
        {u"10", 16, 0x10},
        {u"COM3", 16, 0xC},
        {u"  -12", 10, (ULONG)-12},
        {u"+7x", 10, 7},
        {u"0x1F", 0, 0x1F},
        {u"0o17", 0, 15},
        {u"0b101", 0, 5},
        {u"0x1F", 16, 0},
        {u"", 10, 0},
        {u"FFFFFFFF", 16, 0xFFFFFFFF},
        {u"\u0661", 10, 0},
    };
    for (const auto& c : cases) {
        UNICODE_STRING s = wide(c.text);
        ULONG value = 12345;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, c.value) << "base " << c.base;
    }
    UNICODE_STRING s = wide(u"12");
    ULONG value;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 7, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 10, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringToInteger(nullptr, 10, &value), STATUS_INVALID_PARAMETER);
    UNICODE_STRING counted{2, 4, const_cast<PWSTR>(u"98")};
    EXPECT_EQ(RtlUnicodeStringToInteger(&counted, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 9u) << "reads only Length bytes";
    EXPECT_EQ(RtlCharToInteger("  0x2A", 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);
}

TEST_F(RtlConvert, IntegerToUnicodeStringFitsExactlyWithoutTerminator) {
    WCHAR buffer[9];
    std::memset(buffer, 0x55, sizeof buffer);
    UNICODE_STRING s{0, 16, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(0xFFFFFFFF, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 16);
    EXPECT_EQ(std::u16string(buffer, 8), u"FFFFFFFF");
    EXPECT_EQ(buffer[8], 0x5555) << "no room for the terminator: none written";
    s.MaximumLength = 18;
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"FF");
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 0, &s), STATUS_BUFFER_OVERFLOW) << "ten digits in 18 bytes";
    EXPECT_EQ(s.Length, 4) << "unchanged";
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"101");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 3, &s), STATUS_INVALID_PARAMETER);
    char text[4];
    EXPECT_EQ(RtlIntegerToChar(123, 10, sizeof text, text), STATUS_SUCCESS);
    EXPECT_STREQ(text, "123");
    EXPECT_EQ(RtlIntegerToChar(1234, 10, sizeof text, text), STATUS_SUCCESS);
    EXPECT_EQ(std::string(text, 4), "1234") << "an exact fit, without terminator";
    EXPECT_EQ(RtlIntegerToChar(12345, 10, sizeof text, text), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToChar(1, 10, -1, text), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RtlConvert, GuidTextRoundTrip) {
    const GUID callback_guid = {0x3D08F5B2, 0x6C91, 0x47AE, {0x8E, 0x24, 0x51, 0xB7, 0xC9, 0xA0, 0xD3, 0x6F}};
    UNICODE_STRING text{};
    ASSERT_EQ(RtlStringFromGUID(callback_guid, &text), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text.Buffer, text.Length / 2), u"{3D08F5B2-6C91-47AE-8E24-51B7C9A0D36F}");
    EXPECT_EQ(text.Length, 76);
    EXPECT_EQ(text.MaximumLength, 78);
    GUID back{};
    EXPECT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
    EXPECT_TRUE(back == callback_guid);
    RtlFreeUnicodeString(&text);
    UNICODE_STRING lower = wide(u"{3d08f5b2-6c91-47ae-8e24-51b7c9a0d36f}");
    EXPECT_EQ(RtlGUIDFromString(&lower, &back), STATUS_SUCCESS);
    EXPECT_TRUE(back == callback_guid);
    for (const char16_t* bad : {u"3D08F5B2-6C91-47AE-8E24-51B7C9A0D36F", u"{3D08F5B2-6C91-47AE-8E24-51B7C9A0D36G}",
                                u"{3D08F5B2+6C91-47AE-8E24-51B7C9A0D36F}", u""}) {
        UNICODE_STRING s = wide(bad);
        EXPECT_EQ(RtlGUIDFromString(&s, &back), STATUS_INVALID_PARAMETER);
    }
}

} // namespace
