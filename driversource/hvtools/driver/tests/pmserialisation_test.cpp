// The serialised stream of information sets: exact bytes, round trips, the reader's refusals, and
// the agreement of writer and reader under every flag combination.
#include "pmtestsupport.h"

#include <pminformationset.h>
#include <pmserialisation.h>

#include <hvsim/debug_log.h>

#include <string>
#include <vector>

using namespace pmtest;

namespace {

using Bytes = std::vector<UCHAR>;

// A set whose items the test chooses: DWORDs and strings in any order.
class StreamSet : public CPmInformationSet {
public:
    ULONG m_aulValues[40] = {};
    CPmString* m_apTexts[8] = {};
    ULONG m_ulDwords = 0;
    ULONG m_ulTexts = 0;

    explicit StreamSet(ULONG flags = PM_SERIALISE_DEFAULT_FLAGS) : CPmInformationSet(nullptr) {
        m_Serialisation.m_ulFlags = flags;
    }
    ~StreamSet() override {
        for (CPmString* text : m_apTexts)
            PmDeleteObject(text);
    }
    PULONG dword(ULONG default_value = 0) {
        PULONG target = &m_aulValues[m_ulDwords++];
        EXPECT_TRUE(m_AddDword(u"D", target, default_value));
        *target = default_value;
        return target;
    }
    CPmString* string(const char* default_text = "") {
        CPmString* target = new (PagedPool) CPmString(PagedPool);
        m_apTexts[m_ulTexts++] = target;
        EXPECT_TRUE(m_AddString(u"S", target, default_text));
        target->m_AssignAnsi(default_text);
        return target;
    }
    Bytes serialise() {
        ULONG size = m_GetSerialisedSize();
        Bytes out(size);
        ULONG room = size;
        EXPECT_TRUE(m_Serialise(out.data(), &room));
        EXPECT_EQ(0u, room);
        return out;
    }
    bool deserialise(const Bytes& in, ULONG* left = nullptr) {
        ULONG length = (ULONG)in.size();
        BOOLEAN read = m_Deserialise(in.data(), &length);
        if (left)
            *left = length;
        return read;
    }
};

std::u16string text(const CPmString* s) { return text_of(s->m_GetUnicodeString()); }

Bytes le32(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class PmSerialisationTest : public PmKernelTest {};

} // namespace

TEST_F(PmSerialisationTest, ElementsHaveTheLayoutOfTheDefaultFlags) {
    StreamSet set;
    *set.dword() = 115200;
    set.string("USB");
    set.string("");
    EXPECT_EQ(4u + 8u + 5u, set.m_GetSerialisedSize());
    Bytes expected = {0x00, 0xC2, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x55, 0x53, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(expected, set.serialise());
}

TEST_F(PmSerialisationTest, SettingsSetsOfThePortAndBusShapeHaveTheirSizes) {
    StreamSet port;
    for (ULONG i = 0; i < 33; ++i)
        *port.dword() = 0x01010101 * i;
    Bytes stream = port.serialise();
    ASSERT_EQ(132u, stream.size());
    for (ULONG i = 0; i < 33; ++i)
        EXPECT_EQ(le32(0x01010101 * i), Bytes(stream.begin() + 4 * i, stream.begin() + 4 * i + 4)) << i;

    StreamSet bus;
    for (ULONG i = 0; i < 12; ++i)
        bus.dword(i);
    bus.string("USB");
    EXPECT_EQ(56u, bus.m_GetSerialisedSize());
}

TEST_F(PmSerialisationTest, EveryValueTypeRoundTrips) {
    for (ULONG flags : {0x03u, 0x07u, 0x0Bu, 0x0Fu, 0x13u, 0x1Fu, 0x01u, 0x02u, 0x05u, 0x06u}) {
        SCOPED_TRACE(flags);
        StreamSet from(flags);
        *from.dword() = 0xFFFFFFFF;
        from.string("Caf\xE9 -> \x80");
        *from.dword() = 0;
        from.string("");
        *from.dword() = 921600;
        Bytes stream = from.serialise();

        StreamSet to(flags);
        to.dword(7);
        to.string("old");
        to.dword(7);
        to.string("old");
        to.dword(7);
        ULONG left = 99;
        ASSERT_TRUE(to.deserialise(stream, &left));
        EXPECT_EQ(0u, left);
        EXPECT_EQ(0xFFFFFFFFu, to.m_aulValues[0]);
        EXPECT_EQ(0u, to.m_aulValues[1]);
        EXPECT_EQ(921600u, to.m_aulValues[2]);
        EXPECT_EQ(text(from.m_apTexts[0]), text(to.m_apTexts[0]));
        EXPECT_EQ(u"", text(to.m_apTexts[1]));
    }
}

TEST_F(PmSerialisationTest, WideStringsCarryEveryCharacter) {
    StreamSet from(SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX | SERIALISE_FLAG_WIDE_CHARS);
    CPmString* s = from.string();
    ASSERT_EQ(STATUS_SUCCESS, s->m_Assign(u"\u20AC\u4E2D"));
    Bytes expected = le32(4) + Bytes{0xAC, 0x20, 0x2D, 0x4E, 0x00, 0x00};
    EXPECT_EQ(expected, from.serialise());

    // Read from an odd address: the stream has no alignment.
    Bytes shifted = Bytes{0xEE} + expected;
    StreamSet to(from.m_Serialisation.m_ulFlags);
    to.string();
    ULONG length = (ULONG)expected.size();
    ASSERT_TRUE(to.m_Deserialise(shifted.data() + 1, &length));
    EXPECT_EQ(u"\u20AC\u4E2D", text(to.m_apTexts[0]));
}

TEST_F(PmSerialisationTest, ReaderRefusesStringsThatDoNotAddUp) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    StreamSet set;
    set.dword();
    CPmString* s = set.string("keep");

    // The count runs past the end of the stream.
    EXPECT_FALSE(set.deserialise(le32(1) + le32(4) + Bytes{'a', 'b', 'c', 0}));
    EXPECT_EQ(1u, set.m_aulValues[0]); // the DWORD before was stored
    EXPECT_EQ(u"keep", text(s));
    // The count differs from the text before the NUL, either way.
    EXPECT_FALSE(set.deserialise(le32(2) + le32(3) + Bytes{'a', 'b', 0, 0, 0}));
    EXPECT_FALSE(set.deserialise(le32(2) + le32(1) + Bytes{'a', 'b', 0}));
    // No terminator at all.
    EXPECT_FALSE(set.deserialise(le32(2) + le32(2) + Bytes{'a', 'b'}));
    EXPECT_EQ(u"keep", text(s));
    EXPECT_GE(hvsim::debug_log::count("pmserialisation.h"), 4u);

    // Bytes after the last item are left over, not refused.
    ULONG left = 0;
    EXPECT_TRUE(set.deserialise(le32(3) + le32(2) + Bytes{'o', 'k', 0, 0xAA, 0xBB}, &left));
    EXPECT_EQ(2u, left);
    EXPECT_EQ(u"ok", text(s));
}

TEST_F(PmSerialisationTest, AShortStreamStoresTheItemsBeforeTheFault) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    StreamSet set;
    for (int i = 0; i < 3; ++i)
        set.dword(100);
    Bytes stream = le32(1) + le32(2) + le32(3);
    stream.pop_back();
    EXPECT_FALSE(set.deserialise(stream));
    EXPECT_EQ(1u, set.m_aulValues[0]);
    EXPECT_EQ(2u, set.m_aulValues[1]);
    EXPECT_EQ(100u, set.m_aulValues[2]);
}

TEST_F(PmSerialisationTest, TagsAndHeaderAreWrittenAndChecked) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    const ULONG flags = SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX | SERIALISE_FLAG_TYPE_TAGS |
                        SERIALISE_FLAG_HEADER;
    StreamSet set(flags);
    set.m_Serialisation.m_ulHeaderValue = 0x12345678;
    *set.dword() = 5;
    set.string("A");
    Bytes expected = Bytes{0} + le32(0x12345678) + Bytes{2} + le32(5) + Bytes{3} + le32(1) + Bytes{'A', 0};
    EXPECT_EQ(expected.size(), set.m_GetSerialisedSize());
    EXPECT_EQ(expected, set.serialise());
    EXPECT_TRUE(set.deserialise(expected));

    Bytes wrong_header = expected;
    wrong_header[1] ^= 1;
    EXPECT_FALSE(set.deserialise(wrong_header));
    Bytes wrong_dword_tag = expected;
    wrong_dword_tag[5] = 3;
    EXPECT_FALSE(set.deserialise(wrong_dword_tag));
    Bytes wide_tag = expected;
    wide_tag[10] = 4; // a 16-bit string where 8-bit ones are carried
    EXPECT_FALSE(set.deserialise(wide_tag));

    // Without tags the header is four bytes.
    set.m_Serialisation.m_ulFlags = PM_SERIALISE_DEFAULT_FLAGS | SERIALISE_FLAG_HEADER;
    EXPECT_EQ(4u + 4u + 6u, set.m_GetSerialisedSize());
}

TEST_F(PmSerialisationTest, WriterNeedsRoomForWholeElements) {
    StreamSet set;
    *set.dword() = 0xA1A2A3A4;
    set.string("abc");
    Bytes out(16, 0xCC);
    ULONG room = 11; // the string needs 8 after the DWORD's 4
    EXPECT_FALSE(set.m_Serialise(out.data(), &room));
    EXPECT_EQ(7u, room);
    EXPECT_EQ(Bytes({0xA4, 0xA3, 0xA2, 0xA1, 0xCC}), Bytes(out.begin(), out.begin() + 5));

    StreamSet empty;
    room = 3;
    EXPECT_TRUE(empty.m_Serialise(out.data(), &room));
    EXPECT_EQ(3u, room);
    EXPECT_EQ(0u, empty.m_GetSerialisedSize());
}

TEST_F(PmSerialisationTest, WriterNeverWritesWhatItsReaderRefuses) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    for (ULONG flags = 0; flags < 32; ++flags) {
        SCOPED_TRACE(flags);
        StreamSet from(flags);
        from.dword(1);
        from.string("");
        CPmString* inner = from.string();
        // A NUL inside a text would end it early for the reader: the writer ends it there too.
        const WCHAR with_nul[] = {u'a', u'b', 0, u'c'};
        UNICODE_STRING counted = {sizeof(with_nul), sizeof(with_nul), const_cast<PWCH>(with_nul)};
        ASSERT_EQ(STATUS_SUCCESS, inner->m_AssignUnicodeString(&counted));
        from.string("xyz");

        CPmSerialisation format = {};
        bool accepted = format.m_SetFlags(flags);
        bool frames = (flags & (SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX)) != 0;
        EXPECT_EQ(frames, accepted);
        if (!frames) {
            // Nothing would tell a reader where a string ends: such a stream is not written.
            EXPECT_EQ(0u, from.m_GetSerialisedSize());
            Bytes out(64);
            ULONG room = 64;
            EXPECT_FALSE(from.m_Serialise(out.data(), &room));
            continue;
        }
        Bytes stream = from.serialise();
        StreamSet to(flags);
        to.dword(9);
        to.string("z");
        to.string("z");
        to.string("z");
        ULONG left = 1;
        ASSERT_TRUE(to.deserialise(stream, &left));
        EXPECT_EQ(0u, left);
        EXPECT_EQ(u"", text(to.m_apTexts[0]));
        EXPECT_EQ(u"ab", text(to.m_apTexts[1]));
        EXPECT_EQ(u"xyz", text(to.m_apTexts[2]));
    }
}

TEST_F(PmSerialisationTest, FlagsOfTheFormatAreCheckedWhenSet) {
    CPmSerialisation format = {PM_SERIALISE_DEFAULT_FLAGS, 0};
    EXPECT_FALSE(format.m_SetFlags(32));
    EXPECT_FALSE(format.m_SetFlags(SERIALISE_FLAG_WIDE_CHARS | SERIALISE_FLAG_TYPE_TAGS));
    EXPECT_EQ(PM_SERIALISE_DEFAULT_FLAGS, format.m_ulFlags);
    EXPECT_TRUE(format.m_SetFlags(SERIALISE_FLAG_LENGTH_PREFIX));
    EXPECT_EQ((ULONG)SERIALISE_FLAG_LENGTH_PREFIX, format.m_ulFlags);
}

TEST_F(PmSerialisationTest, LengthPrefixWithoutTerminatorCutsAtANulAndChecksWidth) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    StreamSet set(SERIALISE_FLAG_LENGTH_PREFIX);
    CPmString* s = set.string("x");
    EXPECT_TRUE(set.deserialise(le32(0)));
    EXPECT_EQ(u"", text(s));
    EXPECT_TRUE(set.deserialise(le32(4) + Bytes{'a', 0, 'b', 'c'}));
    EXPECT_EQ(u"a", text(s));

    set.m_Serialisation.m_ulFlags = SERIALISE_FLAG_LENGTH_PREFIX | SERIALISE_FLAG_WIDE_CHARS;
    EXPECT_FALSE(set.deserialise(le32(3) + Bytes{'a', 0, 'b'}));
    EXPECT_TRUE(set.deserialise(le32(2) + Bytes{'a', 0}));
    EXPECT_EQ(u"a", text(s));
}

// Items of a type the format does not know: sets refuse to register them, and the format refuses
// them wherever it meets one.
class OddItems : public CPmSerialisedItems {
public:
    BOOLEAN m_First() override { return TRUE; }
    BOOLEAN m_Next() override { return FALSE; }
    ULONG m_GetType() override { return 3; }
    ULONG m_GetDword() override { return 0; }
    void m_SetDword(ULONG) override { ADD_FAILURE(); }
    BOOLEAN m_GetText(BOOLEAN, PCVOID*, PULONG) override { return FALSE; }
    BOOLEAN m_SetText(BOOLEAN, PCVOID, ULONG) override { return FALSE; }
    void m_Refused(ULONG) override { ++refusals; }
    int refusals = 0;
};

TEST_F(PmSerialisationTest, AnItemOfUnknownTypeIsNeitherWrittenNorRead) {
    StreamSet set;
    ULONG odd = 0;
    EXPECT_FALSE(set.m_AddItem(0, u"Odd", &odd, 3, nullptr, nullptr));

    OddItems items;
    CPmSerialisation format = {PM_SERIALISE_DEFAULT_FLAGS, 0};
    EXPECT_EQ(0u, format.m_GetSerialisedSize(items));
    Bytes out(8);
    ULONG room = 8;
    EXPECT_FALSE(format.m_Serialise(items, out.data(), &room));
    ULONG length = 8;
    EXPECT_FALSE(format.m_Deserialise(items, out.data(), &length));
    EXPECT_EQ(3, items.refusals);
}

TEST_F(PmSerialisationTest, RefusalsWriteTheAssertionLineOfTheFormat) {
    expect_failed_checks_ = true; // refused on purpose: the refusals write the assertion line
    StreamSet set;
    set.dword();
    hvsim::debug_log::clear();
    EXPECT_FALSE(set.deserialise(Bytes{1, 2, 3}));
    EXPECT_EQ(1u, hvsim::debug_log::count("ASSERT at - diskimage\\inc\\hvtools\\pmserialisation.h "));
}
