// Counted strings: lengths in bytes, what is written when the destination is too small, and that
// NULL or short inputs never crash.
#include <hvsim/pool.h>
#include <sched_testing.h>

#include <cstring>

namespace {

using RtlString = hvsim::ktest::VirtualKernelTest;

TEST_F(RtlString, InitCountsBytesAndToleratesNull) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, u"Services");
    EXPECT_EQ(u.Length, 16);
    EXPECT_EQ(u.MaximumLength, 18);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(u.MaximumLength, 0);
    EXPECT_EQ(u.Buffer, nullptr);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "abc");
    EXPECT_EQ(a.Length, 3);
    EXPECT_EQ(a.MaximumLength, 4);
    RtlInitUnicodeString(nullptr, u"x");
}

TEST_F(RtlString, CopyTruncatesToTheDestinationAndTerminatesWhenThereIsRoom) {
    WCHAR buffer[4];
    std::memset(buffer, 0x55, sizeof buffer);
    UNICODE_STRING dest{0, sizeof buffer, buffer};
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, u"ABCDEF");
    RtlCopyUnicodeString(&dest, &src);
    EXPECT_EQ(dest.Length, 8);
    EXPECT_EQ(std::u16string(buffer, 4), u"ABCD");
    RtlInitUnicodeString(&src, u"XY");
    RtlCopyUnicodeString(&dest, &src);
    EXPECT_EQ(dest.Length, 4);
    EXPECT_EQ(buffer[2], 0);
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0);
}

TEST_F(RtlString, AppendRefusesWhatDoesNotFitAndKeepsTheText) {
    WCHAR buffer[8] = {};
    UNICODE_STRING dest{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"\\Device"), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 14);
    EXPECT_EQ(buffer[7], 0) << "terminated while there is room";
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"\\X"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(dest.Length, 14);
    EXPECT_EQ(std::u16string(buffer), u"\\Device");
    UNICODE_STRING one;
    RtlInitUnicodeString(&one, u"Z");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &one), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 16) << "an exact fit leaves no terminator";
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(nullptr, u"a"), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlString, ComparisonWithAndWithoutCase) {
    UNICODE_STRING a, b, prefix;
    RtlInitUnicodeString(&a, u"\\HVGENDRV_ABC");
    RtlInitUnicodeString(&b, u"\\hvgendrv_abc");
    RtlInitUnicodeString(&prefix, u"\\hvgendrv_");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &a, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &a, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&a, &prefix, TRUE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &prefix, TRUE), 0) << "the longer one is greater";
    EXPECT_TRUE(RtlEqualUnicodeString(nullptr, nullptr, TRUE));
    UNICODE_STRING latin1, upper;
    RtlInitUnicodeString(&latin1, u"g\u00E9n\u00E9ral");
    RtlInitUnicodeString(&upper, u"G\u00C9N\u00C9RAL");
    EXPECT_TRUE(RtlEqualUnicodeString(&latin1, &upper, TRUE));
}

TEST_F(RtlString, UpcaseIntoTheCallersBufferOrANewOne) {
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, u"com\u00E93");
    WCHAR small[3];
    UNICODE_STRING dest{0, sizeof small, small};
    EXPECT_EQ(RtlUpcaseUnicodeString(&dest, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 0);
    UNICODE_STRING made{};
    ASSERT_EQ(RtlUpcaseUnicodeString(&made, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(made.Buffer, made.Length / 2), u"COM\u00C93");
    EXPECT_EQ(made.MaximumLength, src.Length);
    EXPECT_EQ(hvsim::pool::outstanding({}, hvsim::pool::tag_from_text("Strg")).count, 1u);
    RtlFreeUnicodeString(&made);
    EXPECT_EQ(made.Buffer, nullptr);
    EXPECT_EQ(hvsim::pool::outstanding({}, hvsim::pool::tag_from_text("Strg")).count, 0u);
    RtlFreeUnicodeString(&made);
}

TEST_F(RtlString, MemoryHelpers) {
    unsigned char a[6] = {1, 2, 3, 4, 5, 6}, b[6] = {1, 2, 3, 9, 5, 6};
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
    EXPECT_FALSE(RtlEqualMemory(a, b, 6));
    RtlFillMemory(b, 6, 0xAA);
    RtlCopyMemory(a, b, 2);
    RtlMoveMemory(a + 1, a, 4);
    EXPECT_EQ(a[2], 0xAA);
    EXPECT_EQ(a[4], 4);
    RtlZeroMemory(a, 6);
    EXPECT_EQ(a[5], 0);
}

} // namespace
