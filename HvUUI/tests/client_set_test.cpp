// The pages' copies of the settings sets and their stream: sizes and bytes the drivers expect,
// and streams that do not fit, each read as far as it goes.
#include "HvUBusUserModeInterface.h"
#include "HvUVcpUserModeInterface.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;

void put_dword(Bytes& out, ULONG value) {
    for (int i = 0; i < 4; ++i) out.push_back(UCHAR(value >> (8 * i)));
}

// The bus set's first six values (1 to 6), then the given bytes for the interface name and on.
Bytes bus_stream(const Bytes& rest) {
    Bytes out;
    for (ULONG v = 1; v <= 6; ++v) put_dword(out, v);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

Bytes counted(ULONG count, const std::string& text, bool terminated = true) {
    Bytes out;
    put_dword(out, count);
    out.insert(out.end(), text.begin(), text.end());
    if (terminated) out.push_back(0);
    return out;
}

TEST(ClientSetTest, TheSetsSerialiseAsTheDriversDo) {
    CHvUVcpUserModeInterface port;
    EXPECT_TRUE(port.m_GetValid());
    EXPECT_EQ(33u, port.m_GetItemCount());
    port.m_ulPortType = 255;
    Bytes out(port.m_GetSerialisedSize());
    ASSERT_EQ(132u, out.size());
    ULONG room = ULONG(out.size());
    ASSERT_TRUE(port.m_Serialise(out.data(), &room));
    EXPECT_EQ(0u, room);
    EXPECT_EQ((Bytes{0xFF, 0, 0, 0, 0x00, 0x10, 0x0E, 0x00}), Bytes(out.begin(), out.begin() + 8)); // 255, 921600

    CHvUBusUserModeInterface bus;
    EXPECT_EQ(13u, bus.m_GetItemCount());
    bus.m_InterfaceType = u"USB";
    out.assign(bus.m_GetSerialisedSize(), 0);
    ASSERT_EQ(56u, out.size());
    room = ULONG(out.size());
    ASSERT_TRUE(bus.m_Serialise(out.data(), &room));
    EXPECT_EQ((Bytes{3, 0, 0, 0, 'U', 'S', 'B', 0}), Bytes(out.begin() + 24, out.begin() + 32));

    // A name of 255 characters is the longest a set carries.
    bus.m_InterfaceType.assign(255, u'x');
    EXPECT_EQ(48u + 4 + 255 + 1, bus.m_GetSerialisedSize());
    bus.m_InterfaceType.assign(256, u'x');
    EXPECT_EQ(0u, bus.m_GetSerialisedSize());
    out.assign(600, 0);
    room = ULONG(out.size());
    EXPECT_FALSE(bus.m_Serialise(out.data(), &room));

    // The flags of one call: the terminator dropped, the set's own flags kept.
    bus.m_InterfaceType = u"USB";
    EXPECT_EQ(55u, bus.m_GetSerialisedSize(SERIALISE_FLAG_LENGTH_PREFIX));
    EXPECT_EQ(0u, bus.m_GetSerialisedSize(SERIALISE_FLAG_WIDE_CHARS)) << "strings without framing";
    EXPECT_EQ(56u, bus.m_GetSerialisedSize());
}

TEST(ClientSetTest, APortStreamOneByteShortUpdatesTheFirst32Values) {
    CHvUVcpUserModeInterface written;
    written.m_ulBaudrate = 9600;
    written.m_ulRiSupported = 0;
    Bytes out(132);
    ULONG room = 132;
    ASSERT_TRUE(written.m_Serialise(out.data(), &room));

    CHvUVcpUserModeInterface read;
    ULONG length = 131;
    EXPECT_FALSE(read.m_Deserialise(out.data(), &length));
    EXPECT_EQ(9600u, read.m_ulBaudrate);
    EXPECT_TRUE(read.m_HasValue(&read.m_ulDcdSupported));
    EXPECT_FALSE(read.m_HasValue(&read.m_ulRiSupported));
    EXPECT_EQ(1u, read.m_ulRiSupported);
    EXPECT_FALSE(read.m_IsComplete());
}

// Each stream fails at the interface name, after the six values before it.
struct BadBusStream {
    const char* what;
    Bytes rest;
};

class BadBusStreamTest : public ::testing::TestWithParam<BadBusStream> {};

TEST_P(BadBusStreamTest, IsRefusedAtTheNameWithTheValuesBeforeItRead) {
    Bytes stream = bus_stream(GetParam().rest);
    CHvUBusUserModeInterface bus;
    bus.m_InterfaceType = u"old";
    ULONG length = ULONG(stream.size());
    EXPECT_FALSE(bus.m_Deserialise(stream.data(), &length));
    EXPECT_EQ(6u, bus.m_ulMaximumBaudRate);
    EXPECT_TRUE(bus.m_HasValue(&bus.m_ulMaximumBaudRate));
    EXPECT_FALSE(bus.m_HasValue(&bus.m_InterfaceType));
    EXPECT_EQ(u"old", bus.m_InterfaceType);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, BadBusStreamTest,
    ::testing::Values(BadBusStream{"count 3, text of 2", counted(3, "US")},
                      BadBusStream{"count beyond the stream", counted(1000, "USB")},
                      BadBusStream{"fewer than 4 bytes for the count", Bytes{3, 0}},
                      BadBusStream{"no terminator within the stream", counted(3, "USB", false)},
                      BadBusStream{"longer than a set carries", counted(300, std::string(300, 'U'))}),
    [](const auto& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c)
            if (isalnum(static_cast<unsigned char>(*c))) name += *c;
        return name;
    });

TEST(ClientSetTest, ExtraBytesAfterTheLastValueAreLeftOverForTheCallerToJudge) {
    Bytes stream = bus_stream(counted(3, "USB"));
    for (ULONG v = 7; v <= 12; ++v) put_dword(stream, v);
    put_dword(stream, 0xABCD);
    CHvUBusUserModeInterface bus;
    ULONG length = ULONG(stream.size());
    ASSERT_TRUE(bus.m_Deserialise(stream.data(), &length));
    EXPECT_EQ(4u, length);
    EXPECT_EQ(u"USB", bus.m_InterfaceType);
    EXPECT_EQ(12u, bus.m_ulPortType);

    CHvUBusUserModeInterface copy;
    copy.m_AssignValues(bus);
    EXPECT_EQ(u"USB", copy.m_InterfaceType);
    EXPECT_EQ(11u, copy.m_ulLowCpuUsageFineTuning);
    EXPECT_TRUE(copy.m_HasValue(&copy.m_ulPortType));
}

// An item that cannot be registered leaves the set invalid: its stream would not match.
class BrokenSet : public CPmInformationSet {
public:
    BrokenSet() {
        m_AddDword(u"First", &first);
        m_AddDword(nullptr, &second);
    }
    ULONG first = 0, second = 0;
};

TEST(ClientSetTest, ASetShortOfAnItemIsInvalidAndNeverComplete) {
    BrokenSet set;
    EXPECT_FALSE(set.m_GetValid());
    EXPECT_EQ(1u, set.m_GetItemCount());
    Bytes stream;
    put_dword(stream, 5);
    ULONG length = 4;
    set.m_Deserialise(stream.data(), &length);
    set.m_SetComplete(TRUE);
    EXPECT_FALSE(set.m_IsComplete());
}

} // namespace
