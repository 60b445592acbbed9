// The stream format and the settings protocol as a user-mode program sees them: built without any
// kernel header, they give the bytes the drivers give.
#include <pmserialisation.h>
#include <pmusermodeinterface.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;

// A client's set: values held in ordinary strings, 8-bit text taken as it stands.
class ClientItems : public CPmSerialisedItems {
public:
    struct Item {
        ULONG type;
        ULONG dword;
        std::string narrow;
        std::u16string wide;
    };
    std::vector<Item> items;
    size_t at = 0;
    int refusals = 0;

    BOOLEAN m_First() override { return (at = 0) < items.size(); }
    BOOLEAN m_Next() override { return ++at < items.size(); }
    ULONG m_GetType() override { return items[at].type; }
    ULONG m_GetDword() override { return items[at].dword; }
    void m_SetDword(ULONG value) override { items[at].dword = value; }
    BOOLEAN m_GetText(BOOLEAN wide, PCVOID* text, PULONG bytes) override {
        Item& item = items[at];
        *text = wide ? static_cast<PCVOID>(item.wide.data()) : static_cast<PCVOID>(item.narrow.data());
        *bytes = (ULONG)(wide ? item.wide.size() * 2 : item.narrow.size());
        return TRUE;
    }
    BOOLEAN m_SetText(BOOLEAN wide, PCVOID text, ULONG bytes) override {
        Item& item = items[at];
        if (wide) {
            item.wide.resize(bytes / 2);
            std::memcpy(item.wide.data(), text, bytes & ~1u);
        } else {
            item.narrow.assign(static_cast<const char*>(text), bytes);
        }
        return TRUE;
    }
    void m_Refused(ULONG) override { ++refusals; }
};

Bytes write(const CPmSerialisation& format, ClientItems& items) {
    Bytes out(format.m_GetSerialisedSize(items));
    ULONG room = (ULONG)out.size();
    EXPECT_TRUE(format.m_Serialise(items, out.data(), &room));
    EXPECT_EQ(0u, room);
    return out;
}

} // namespace

TEST(PmSerialisationUserTest, ClientStreamsMatchTheDriversBytes) {
    CPmSerialisation format = {PM_SERIALISE_DEFAULT_FLAGS, 0};
    ClientItems items;
    items.items = {{PM_SERIAL_ITEM_DWORD, 115200, {}, {}},
                   {PM_SERIAL_ITEM_STRING, 0, "USB", {}},
                   {PM_SERIAL_ITEM_STRING, 0, "", {}}};
    Bytes expected = {0x00, 0xC2, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x55, 0x53, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(expected, write(format, items));

    ClientItems back;
    back.items = {{PM_SERIAL_ITEM_DWORD, 0, {}, {}},
                  {PM_SERIAL_ITEM_STRING, 0, "x", {}},
                  {PM_SERIAL_ITEM_STRING, 0, "x", {}}};
    ULONG length = (ULONG)expected.size();
    ASSERT_TRUE(format.m_Deserialise(back, expected.data(), &length));
    EXPECT_EQ(115200u, back.items[0].dword);
    EXPECT_EQ("USB", back.items[1].narrow);
    EXPECT_EQ("", back.items[2].narrow);

    // A stream one byte short is refused, quietly unless the client asks to hear of it.
    length = (ULONG)expected.size() - 1;
    EXPECT_FALSE(format.m_Deserialise(back, expected.data(), &length));
    EXPECT_EQ(1, back.refusals);
}

TEST(PmSerialisationUserTest, ProtocolConstantsAreThoseOfTheInterface) {
    static_assert(IOCTL_HVGENDRV_GET_SIZE == 0x8001E000u);
    static_assert(IOCTL_HVGENDRV_GET == 0x8001E004u);
    static_assert(IOCTL_HVGENDRV_SET == 0x8001E008u);
    static_assert(IOCTL_HVGENDRV_RESTORE_DEFAULTS == 0x8001E00Cu);
    static_assert(IOCTL_HVGENDRV_GET_DEFAULTS_SIZE == 0x8001E010u);
    static_assert(IOCTL_HVGENDRV_GET_DEFAULTS == 0x8001E014u);
    static_assert(sizeof(PmUserModeRequestHeader) == 8);
    const GUID port = {0x6E3A91C4, 0x52D7, 0x4F08, {0x9B, 0x1E, 0x3C, 0x7D, 0x20, 0xA5, 0xF1, 0x46}};
    const GUID bus = {0x1F74C2D9, 0x8E05, 0x4A63, {0xB7, 0xC1, 0x9D, 0x2E, 0x46, 0xF0, 0x83, 0xA5}};
    EXPECT_EQ(0, std::memcmp(&port, &GUID_HVGENDRV_PORT_INTERFACE, sizeof(GUID)));
    EXPECT_EQ(0, std::memcmp(&bus, &GUID_HVGENDRV_BUS_INTERFACE, sizeof(GUID)));
}
