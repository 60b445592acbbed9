// The Windows-printf formatter: what drivers' DbgPrint lines and programs' swprintf calls produce.
#include <hvsim/format.h>
#include <wdm.h>

#include <gtest/gtest.h>

using hvsim::text::format;

namespace {

TEST(FormatNarrow, StringConversionsFollowWindowsWidths) {
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, u"COM3");
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "HvUVCP");
    EXPECT_EQ(format("%s|%S|%ws|%ls|%hs", "a", u"b", u"c", u"d", "e"), "a|b|c|d|e");
    EXPECT_EQ(format("[%wZ] [%Z]", &wide, &ansi), "[COM3] [HvUVCP]");
    EXPECT_EQ(format("%c%C%wc", 'x', u'y', u'z'), "xyz");
    EXPECT_EQ(format("%s %ws %wZ", (char*)nullptr, (char16_t*)nullptr, (UNICODE_STRING*)nullptr),
              "(null) (null) (null)");
}

TEST(FormatNarrow, CountedStringsUseTheirLengthNotATerminator) {
    WCHAR text[] = u"COM12";
    UNICODE_STRING s{4 * sizeof(WCHAR), sizeof text, text};
    EXPECT_EQ(format("%wZ", &s), "COM1");
}

TEST(FormatNarrow, IntegerSizesAreThoseOfWindows) {
    LONG minus_one = -1;
    EXPECT_EQ(format("%d %i %u", -5, 7, 3000000000u), "-5 7 3000000000");
    EXPECT_EQ(format("%lu %lx", minus_one, minus_one), "4294967295 ffffffff") << "l is 32 bits";
    EXPECT_EQ(format("%I64d %I64x %lld %llu", -2LL, 0x1234567890ULL, -3LL, 18446744073709551615ULL),
              "-2 1234567890 -3 18446744073709551615");
    EXPECT_EQ(format("%Iu %zu %hd %hhu", (size_t)1 << 40, (size_t)5, 70000, 300), "1099511627776 5 4464 44");
    EXPECT_EQ(format("%X %#x %#o %o", 0xBEEFu, 255u, 8u, 8u), "BEEF 0xff 010 10");
}

TEST(FormatNarrow, WidthPrecisionAndFlags) {
    EXPECT_EQ(format("%08x|%-5d|%5d|%+d|% d", 0x1Fu, 42, 42, 3, 3), "0000001f|42   |   42|+3| 3");
    EXPECT_EQ(format("%.3d|%.0d|%5.2s|%-4s|", 7, 0, "abc", "x"), "007||   ab|x   |");
    EXPECT_EQ(format("%*d|%-*d|%.*s", 4, 1, 3, 2, 1, "zz"), "   1|2  |z");
    EXPECT_EQ(format("%08.3d", 5), "     005") << "a precision turns the zero flag off";
}

TEST(FormatNarrow, PointersAreSixteenUpperCaseDigits) {
    EXPECT_EQ(format("%p", (void*)0xABCDEF), "0000000000ABCDEF");
    EXPECT_EQ(format("%p", nullptr), "0000000000000000");
}

TEST(FormatNarrow, OddConversionsAreHarmless) {
    int written = 99;
    EXPECT_EQ(format("a%nb", &written), "ab");
    EXPECT_EQ(written, 99) << "%n writes nothing";
    EXPECT_EQ(format("100%% %q %"), "100% %q %");
    EXPECT_EQ(format("%5.1f|%e", 3.14159, 1.0), "  3.1|1.000000e+00");
}

TEST(FormatNarrow, WideTextUsesTheAnsiCodePage) { EXPECT_EQ(format("%ws", u"\u20AC\u00E9\u4E2D"), "\x80\xE9?"); }

TEST(FormatWide, LowerCaseLettersTakeWideArguments) {
    EXPECT_EQ(format(u"%s|%S|%hs|%ls|%c|%C", u"a", "b", "c", u"d", u'e', 'f'), u"a|b|c|d|e|f");
    EXPECT_EQ(format(u"\\\\.\\COM%d", 3), u"\\\\.\\COM3");
    EXPECT_EQ(format(u"%S", "\x80"), u"\u20AC");
}

TEST(CrtFormatting, SwprintfWithCountTerminatesAndSignalsTruncation) {
    char16_t buffer[6];
    EXPECT_EQ(swprintf(buffer, 6, u"%d", 12345), 5);
    EXPECT_EQ(std::u16string(buffer), u"12345");
    EXPECT_EQ(swprintf(buffer, 6, u"%d", 123456), -1);
    EXPECT_EQ(std::u16string(buffer), u"12345");
    EXPECT_EQ(swprintf(buffer, 0, u"x"), -1);
}

TEST(CrtFormatting, SnwprintfLeavesNoTerminatorWhenFull) {
    char16_t buffer[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(_snwprintf(buffer, 3, u"abc"), 3);
    EXPECT_EQ(buffer[3], u'#');
    EXPECT_EQ(_snwprintf(buffer, 3, u"abcd"), -1);
    EXPECT_EQ(std::u16string(buffer, 3), u"abc");
    EXPECT_EQ(buffer[3], u'#');
    EXPECT_EQ(_snwprintf(buffer, 4, u"ab"), 2);
    EXPECT_EQ(std::u16string(buffer), u"ab");
}

TEST(CrtFormatting, NarrowCountedFormsAndLengths) {
    char buffer[8];
    EXPECT_EQ(_snprintf(buffer, sizeof buffer, "%ws=%u", u"x", 7u), 3);
    EXPECT_STREQ(buffer, "x=7");
    EXPECT_EQ(_snprintf(buffer, 2, "long"), -1);
    EXPECT_EQ(_scprintf("%s%d", "ab", 100), 5);
    EXPECT_EQ(_scwprintf(u"%s", u"four"), 4);
    char16_t unbounded[32];
    EXPECT_EQ(swprintf(unbounded, u"%s-%04X", u"VID", 0x403u), 8);
    EXPECT_EQ(std::u16string(unbounded), u"VID-0403");
}

TEST(CodePage, Windows1252BothWays) {
    using hvsim::text::ansi_to_wide;
    using hvsim::text::wide_to_ansi;
    EXPECT_EQ(ansi_to_wide((unsigned char)0x80), u'\u20AC');
    EXPECT_EQ(ansi_to_wide((unsigned char)0x9F), u'\u0178');
    EXPECT_EQ(ansi_to_wide((unsigned char)0x81), u'\u0081') << "undefined bytes map to themselves";
    for (int b = 0; b < 256; ++b) {
        bool mapped = false;
        EXPECT_EQ(wide_to_ansi(ansi_to_wide((unsigned char)b), &mapped), b);
        EXPECT_TRUE(mapped);
    }
    bool mapped = true;
    EXPECT_EQ(wide_to_ansi(u'\u0100', &mapped), '?');
    EXPECT_FALSE(mapped);
}

TEST(CodePage, Utf8KeepsEveryCharacter) {
    std::u16string text = u"A\u00E9\u20AC\U0001F600";
    EXPECT_EQ(hvsim::text::to_utf8(text), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(hvsim::text::from_utf8(hvsim::text::to_utf8(text)), text);
    EXPECT_EQ(hvsim::text::from_utf8("\xFF"
                                     "a\xE2\x82"),
              u"\uFFFDa\uFFFD");
}

} // namespace
