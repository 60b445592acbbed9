// Counted string and byte buffer.
#include "pmtestsupport.h"

#include <pmbuffer.h>
#include <pmstring.h>

#include <string>
#include <vector>

using namespace pmtest;

namespace {

class PmStringTest : public PmKernelTest {};

std::u16string wide(const CPmString& s) { return text_of(s.m_GetUnicodeString()); }
std::string narrow(const CPmString& s) { return text_of(s.m_GetAnsiString()); }

// The invariants every string keeps after every operation.
void expect_consistent(const CPmString& s) {
    const UNICODE_STRING& w = *s.m_GetUnicodeString();
    const ANSI_STRING& a = *s.m_GetAnsiString();
    if (w.Length == 0) {
        EXPECT_EQ(nullptr, w.Buffer);
        EXPECT_EQ(0, w.MaximumLength);
        EXPECT_EQ(nullptr, a.Buffer);
        EXPECT_FALSE(s.m_bNumberValid);
        return;
    }
    EXPECT_EQ(w.Length + 2, w.MaximumLength);
    EXPECT_EQ(0, w.Buffer[w.Length / 2]);
    ASSERT_NE(nullptr, a.Buffer);
    EXPECT_EQ(w.Length / 2, a.Length);
    EXPECT_EQ(0, a.Buffer[a.Length]);
}

TEST_F(PmStringTest, NumberViewReadsHexOnlyWhenTheWholeTextIsHex) {
    CPmString s(PagedPool, u"10");
    ULONG number = 0;
    EXPECT_TRUE(s.m_GetNumber(&number));
    EXPECT_EQ(16u, number);
    struct Case {
        const char16_t* text;
        bool valid;
        ULONG number;
    } cases[] = {
        {u"COM3", false, 0}, {u"ff", true, 0xFF},          {u"0000001A", true, 0x1A}, {u"FFFFFFFF", true, 0xFFFFFFFF},
        {u"100000000", false, 0}, {u" 1", false, 0},      {u"-1", false, 0},        {u"0x10", false, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(STATUS_SUCCESS, s.m_Assign(c.text));
        EXPECT_EQ(c.valid, (bool)s.m_GetNumber(&number)) << std::string(c.text, c.text + 4);
        if (c.valid) {
            EXPECT_EQ(c.number, number);
        }
        expect_consistent(s);
    }
    s.m_Empty();
    EXPECT_FALSE(s.m_GetNumber(&number));
    expect_consistent(s);
}

TEST_F(PmStringTest, AssignmentsFromEveryKindOfText) {
    CPmString s(NonPagedPool);
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignAnsi("Port\xE9"));
    EXPECT_EQ(u"Port\u00E9", wide(s));
    EXPECT_EQ("Port\xE9", narrow(s));
    expect_consistent(s);

    ANSI_STRING counted = {3, 3, const_cast<PCHAR>("ABCDEF")};
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignAnsiString(&counted));
    EXPECT_EQ(u"ABC", wide(s));

    WCHAR unterminated[] = {u'x', u'y', u'z'};
    UNICODE_STRING us = {4, 6, unterminated};
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignUnicodeString(&us));
    EXPECT_EQ(u"xy", wide(s));
    expect_consistent(s);

    // Characters outside the ANSI code page keep the wide text; the narrow view shows '?'.
    EXPECT_EQ(STATUS_SUCCESS, s.m_Assign(u"a\u4E2Db"));
    EXPECT_EQ("a?b", narrow(s));

    CPmString copy(s);
    EXPECT_EQ(u"a\u4E2Db", wide(copy));
    EXPECT_EQ(NonPagedPool, copy.m_ePoolType);
    EXPECT_EQ(STATUS_SUCCESS, copy.m_Copy(copy));
    EXPECT_EQ(u"a\u4E2Db", wide(copy));

    EXPECT_EQ(STATUS_SUCCESS, s.m_Assign(nullptr));
    EXPECT_TRUE(s.m_IsEmpty());
    EXPECT_EQ(STATUS_SUCCESS, s.m_Assign(u""));
    expect_consistent(s);
}

// A string assigned from a part of its own text: the text is copied before the old one goes.
TEST_F(PmStringTest, AssignmentsFromTheStringsOwnText) {
    CPmString s(PagedPool, u"\\DosDevices\\COM3");
    EXPECT_EQ(STATUS_SUCCESS, s.m_Assign(s.m_GetText() + 12));
    EXPECT_EQ(u"COM3", wide(s));
    expect_consistent(s);
    UNICODE_STRING part = *s.m_GetUnicodeString();
    part.Length = 3 * sizeof(WCHAR);
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignUnicodeString(&part));
    EXPECT_EQ(u"COM", wide(s));
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignAnsi(s.m_GetAnsiText() + 1));
    EXPECT_EQ(u"OM", wide(s));
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignAnsiString(s.m_GetAnsiString()));
    EXPECT_EQ(u"OM", wide(s));
    expect_consistent(s);
}

TEST_F(PmStringTest, IntegersInDecimalAndHex) {
    CPmString s(PagedPool);
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignInteger(255, 16));
    EXPECT_EQ(u"FF", wide(s));
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignInteger(4294967295u, 10));
    EXPECT_EQ(u"4294967295", wide(s));
    expect_consistent(s);
    // Eight hex digits still leave room for the terminator.
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignInteger(0xFFFFFFFF, 16));
    EXPECT_EQ(u"FFFFFFFF", wide(s));
    expect_consistent(s);
    EXPECT_EQ(STATUS_SUCCESS, s.m_AssignInteger(0x1234ABCD, 7));
    EXPECT_EQ(u"1234ABCD", wide(s));
    EXPECT_EQ(STATUS_SUCCESS, s.m_AppendInteger(42));
    EXPECT_EQ(u"1234ABCD42", wide(s));
}

TEST_F(PmStringTest, AppendsAndPrepends) {
    CPmString s(PagedPool);
    EXPECT_EQ(STATUS_SUCCESS, s.m_Append(u"COM"));
    EXPECT_EQ(u"COM", wide(s));
    EXPECT_EQ(STATUS_SUCCESS, s.m_AppendInteger(3));
    EXPECT_EQ(STATUS_SUCCESS, s.m_Prepend(u"\\DosDevices\\"));
    EXPECT_EQ(STATUS_SUCCESS, s.m_PrependAnsi("\\"));
    EXPECT_EQ(STATUS_SUCCESS, s.m_AppendAnsi(nullptr));
    EXPECT_EQ(STATUS_SUCCESS, s.m_Append(nullptr));
    EXPECT_EQ(u"\\\\DosDevices\\COM3", wide(s));
    expect_consistent(s);

    CPmString other(PagedPool, u"-x");
    EXPECT_EQ(STATUS_SUCCESS, s.m_AppendString(other));
    EXPECT_EQ(STATUS_SUCCESS, s.m_AppendString(s));
    EXPECT_EQ(u"\\\\DosDevices\\COM3-x\\\\DosDevices\\COM3-x", wide(s));

    ANSI_STRING ansi = {2, 2, const_cast<PCHAR>("ab")};
    UNICODE_STRING counted = {2, 2, const_cast<PWCH>(u"c")};
    CPmString t(PagedPool, u"_");
    EXPECT_EQ(STATUS_SUCCESS, t.m_Concatenate(PmStringAnsiCounted, &ansi, TRUE));
    EXPECT_EQ(STATUS_SUCCESS, t.m_Concatenate(PmStringWideCounted, &counted, FALSE));
    EXPECT_EQ(u"ab_c", wide(t));

    // An empty string where text is needed.
    CPmString empty(PagedPool);
    EXPECT_EQ(STATUS_NOT_FOUND, t.m_AppendString(empty));
    EXPECT_EQ(STATUS_NOT_FOUND, t.m_GetStatus());
    EXPECT_EQ(u"ab_c", wide(t));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, t.m_Concatenate((PmStringKind)9, u"x", FALSE));
}

TEST_F(PmStringTest, FailedChangesKeepTheOldTextAndAssignmentsLeaveItEmpty) {
    CPmString s(PagedPool, u"keep");
    for (uint64_t n = 1; n <= 2; ++n) {
        hvsim::pool::fail_nth(n); // the new wide block, then the narrow one
        EXPECT_EQ(STATUS_NO_MEMORY, s.m_Append(u"more"));
        EXPECT_EQ(STATUS_NO_MEMORY, s.m_GetStatus());
        EXPECT_EQ(u"keep", wide(s));
        EXPECT_EQ("keep", narrow(s));
        hvsim::pool::fail_nth(n);
        EXPECT_EQ(STATUS_NO_MEMORY, s.m_MakeUpper());
        EXPECT_EQ(u"keep", wide(s));
        hvsim::pool::fail_nth(n);
        EXPECT_EQ(STATUS_NO_MEMORY, s.m_PrependAnsi("pre"));
        EXPECT_EQ(u"keep", wide(s));
    }
    hvsim::pool::fail_nth(1);
    EXPECT_EQ(STATUS_NO_MEMORY, s.m_Assign(u"new"));
    EXPECT_TRUE(s.m_IsEmpty());
    expect_consistent(s);

    std::u16string too_long(0x7FFF, u'a');
    EXPECT_EQ(STATUS_NO_MEMORY, s.m_Assign(too_long.c_str()));
    std::string too_long_ansi(0x8000, 'a');
    EXPECT_EQ(STATUS_NO_MEMORY, s.m_AssignAnsi(too_long_ansi.c_str()));
    std::u16string longest(0x7FFE, u'b');
    EXPECT_EQ(STATUS_SUCCESS, s.m_Assign(longest.c_str()));
    EXPECT_EQ(0xFFFC, s.m_GetUnicodeString()->Length);
    EXPECT_EQ(STATUS_NO_MEMORY, s.m_Append(u"c"));
    EXPECT_EQ(0xFFFC, s.m_GetUnicodeString()->Length);
}

TEST_F(PmStringTest, UpperCaseChangesOnlyAsciiLetters) {
    CPmString s(PagedPool, u"hvgendrv_{4d36e978}\u00e9z");
    EXPECT_EQ(STATUS_SUCCESS, s.m_MakeUpper());
    EXPECT_EQ(u"HVGENDRV_{4D36E978}\u00e9Z", wide(s));
    expect_consistent(s);
}

TEST_F(PmStringTest, SearchesAndRemovalAreOneBased) {
    CPmString s(PagedPool, u"ABCABC");
    CPmString pattern(PagedPool, u"CA");
    ULONG position = 1;
    EXPECT_TRUE(s.m_Find(&position, pattern));
    EXPECT_EQ(3u, position);
    position = 4;
    EXPECT_FALSE(s.m_Find(&position, pattern));
    position = 0xFFFFFFFF; // far beyond the text: no match, and nothing read outside it
    EXPECT_FALSE(s.m_Find(&position, pattern));
    CPmString empty(PagedPool);
    position = 1;
    EXPECT_FALSE(s.m_Find(&position, empty));
    CPmString whole(PagedPool, u"ABCABC");
    position = 1;
    EXPECT_TRUE(s.m_Find(&position, whole));
    EXPECT_EQ(1u, position);

    position = 3;
    EXPECT_TRUE(s.m_FindChar(&position, 'A'));
    EXPECT_EQ(4u, position);
    position = 5;
    EXPECT_FALSE(s.m_FindChar(&position, 'A'));
    position = 0;
    EXPECT_FALSE(s.m_FindChar(&position, 'A'));

    EXPECT_FALSE(s.m_RemoveCharAt(7));
    EXPECT_FALSE(s.m_RemoveCharAt(0));
    EXPECT_TRUE(s.m_RemoveCharAt(1));
    EXPECT_TRUE(s.m_RemoveCharAt(5));
    EXPECT_EQ(u"BCAB", wide(s));
    expect_consistent(s);
    CPmString one(PagedPool, u"\\");
    EXPECT_TRUE(one.m_RemoveCharAt(1));
    EXPECT_TRUE(one.m_IsEmpty());
}

TEST_F(PmStringTest, CopiesForCallersComeFromTheSystem) {
    CPmString s(PagedPool);
    PCHAR ansi = reinterpret_cast<PCHAR>(1);
    EXPECT_EQ(STATUS_NOT_FOUND, s.m_GetAnsiCopy(&ansi));
    EXPECT_EQ(nullptr, ansi);
    PWCHAR copy = nullptr;
    EXPECT_EQ(STATUS_NOT_FOUND, s.m_GetWideCopy(&copy, 0));

    s.m_Assign(u"ID1");
    ASSERT_EQ(STATUS_SUCCESS, s.m_GetAnsiCopy(&ansi));
    EXPECT_STREQ("ID1", ansi);
    ExFreePool(ansi);
    // Room for a second string and the multi-string's final NUL.
    ASSERT_EQ(STATUS_SUCCESS, s.m_GetWideCopy(&copy, 10));
    EXPECT_EQ(std::u16string(u"ID1"), std::u16string(copy));
    for (int i = 3; i < 3 + 1 + 5; ++i)
        EXPECT_EQ(0, copy[i]);
    auto blocks = hvsim::pool::live_blocks(this_image());
    for (const auto& b : blocks)
        if (b.address == copy) {
            EXPECT_EQ(hvsim::pool::tag_from_text("PmOC"), b.tag);
            EXPECT_EQ(6u + 10u + 2u, b.size);
        }
    ExFreePool(copy);
}

// Buffer ---------------------------------------------------------------------------------------

class PmBufferTest : public PmKernelTest {
protected:
    std::vector<UCHAR> bytes(const CPmBuffer& b) {
        return b.m_pucData ? std::vector<UCHAR>(b.m_pucData, b.m_pucData + b.m_ulLength) : std::vector<UCHAR>{};
    }
    CPmBuffer buffer_{};
    void TearDown() override {
        buffer_.m_Clear();
        PmKernelTest::TearDown();
    }
};

TEST_F(PmBufferTest, AssignAppendPrependAndInsert) {
    const UCHAR abc[] = {'a', 'b', 'c'};
    EXPECT_FALSE(buffer_.m_Assign(nullptr, 3));
    EXPECT_TRUE(buffer_.m_Append(abc, 2)); // an empty buffer assigns
    EXPECT_EQ((std::vector<UCHAR>{'a', 'b'}), bytes(buffer_));
    EXPECT_TRUE(buffer_.m_Append(abc + 2, 1));
    EXPECT_TRUE(buffer_.m_Prepend(abc + 1, 1));
    EXPECT_EQ((std::vector<UCHAR>{'b', 'a', 'b', 'c'}), bytes(buffer_));
    EXPECT_FALSE(buffer_.m_Prepend(abc, 0));
    EXPECT_FALSE(buffer_.m_Prepend(nullptr, 2)); // never copies from nowhere
    EXPECT_FALSE(buffer_.m_Append(nullptr, 2));
    EXPECT_EQ(4u, buffer_.m_GetLength());

    const UCHAR pair[2] = {'\r', '\n'};
    EXPECT_TRUE(buffer_.m_InsertPairAt(pair, 1));
    EXPECT_TRUE(buffer_.m_InsertPairAt(pair, 6)); // at the length: appends
    EXPECT_FALSE(buffer_.m_InsertPairAt(pair, 9));
    EXPECT_EQ((std::vector<UCHAR>{'b', '\r', '\n', 'a', 'b', 'c', '\r', '\n'}), bytes(buffer_));

    ULONG offset = 0;
    EXPECT_TRUE(buffer_.m_FindByte(2, '\r', &offset));
    EXPECT_EQ(6u, offset);
    EXPECT_FALSE(buffer_.m_FindByte(7, '\r', &offset));
    EXPECT_FALSE(buffer_.m_Allocate(4)); // storage exists

    // Assigned from a part of its own bytes: they are copied before the old block goes.
    EXPECT_TRUE(buffer_.m_Assign(buffer_.m_GetData() + 3, 3));
    EXPECT_EQ((std::vector<UCHAR>{'a', 'b', 'c'}), bytes(buffer_));
}

TEST_F(PmBufferTest, RemovalsKeepBoundsAndClearWhenNothingStays) {
    const UCHAR one[] = {0x11};
    ASSERT_TRUE(buffer_.m_Assign(one, 1));
    EXPECT_FALSE(buffer_.m_RemoveByteAt(0));
    EXPECT_TRUE(buffer_.m_RemoveAllOf(0x11));
    EXPECT_TRUE(buffer_.m_IsEmpty());
    EXPECT_FALSE(buffer_.m_RemoveAllOf(0x11));

    const UCHAR data[] = {1, 0, 2, 0, 3};
    ASSERT_TRUE(buffer_.m_Assign(data, 5));
    EXPECT_FALSE(buffer_.m_RemoveByteAt(5));
    EXPECT_TRUE(buffer_.m_RemoveByteAt(4));
    EXPECT_TRUE(buffer_.m_RemoveAllOf(0));
    EXPECT_EQ((std::vector<UCHAR>{1, 2}), bytes(buffer_));
    EXPECT_FALSE(buffer_.m_RemoveAllOf(9));
}

TEST_F(PmBufferTest, FailedChangesKeepTheOldBytes) {
    const UCHAR data[] = {1, 2, 3, 4};
    ASSERT_TRUE(buffer_.m_Assign(data, 4));
    const UCHAR pair[2] = {9, 9};
    hvsim::pool::fail_nth(1);
    EXPECT_FALSE(buffer_.m_Append(data, 1));
    hvsim::pool::fail_nth(1);
    EXPECT_FALSE(buffer_.m_Prepend(data, 1));
    hvsim::pool::fail_nth(1);
    EXPECT_FALSE(buffer_.m_RemoveByteAt(1));
    hvsim::pool::fail_nth(1);
    EXPECT_FALSE(buffer_.m_InsertPairAt(pair, 2));
    hvsim::pool::fail_nth(1);
    EXPECT_FALSE(buffer_.m_RemoveAllOf(2));
    EXPECT_EQ((std::vector<UCHAR>{1, 2, 3, 4}), bytes(buffer_));
    // Assign clears first.
    hvsim::pool::fail_nth(1);
    EXPECT_FALSE(buffer_.m_Assign(data, 2));
    EXPECT_TRUE(buffer_.m_IsEmpty());
}

TEST_F(PmBufferTest, ClearFreesTheAllocationInsteadOfTheStorage) {
    PUCHAR block = static_cast<PUCHAR>(PmAllocateMemory(16, NonPagedPool));
    buffer_.m_pvAllocation = block;
    buffer_.m_pucData = block + 4;
    buffer_.m_ulLength = 8;
    const UCHAR extra[] = {7};
    EXPECT_TRUE(buffer_.m_Append(extra, 1));
    EXPECT_EQ(nullptr, buffer_.m_pvAllocation);
    EXPECT_EQ(9u, buffer_.m_GetLength());
    EXPECT_EQ(1u, tracked_allocations());
}

TEST_F(PmBufferTest, DeleteFreesTheObjectThroughItsOwnPool) {
    CPmBuffer* buffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    ASSERT_NE(nullptr, buffer);
    buffer->m_pPool = g_pPmMemoryPool;
    const UCHAR data[] = {1, 2};
    ASSERT_TRUE(buffer->m_Assign(data, 2));
    EXPECT_EQ(2u, tracked_allocations());
    buffer->m_Delete();
    EXPECT_EQ(0u, tracked_allocations());
}

} // namespace
