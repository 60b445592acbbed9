// Cards made of several USB serial devices: their ports sit two levels below the port's
// parent, so the renumbering walks from further up the tree.
#include "port_machine_fixture.h"

#include "card_machine.h"

#include "CoInstallPort.h"
#include "PortUtil.h"

namespace {

TEST(ListedCard, IdsAreListedByASubstringOfTheUpperCasedId) {
    EXPECT_TRUE(IsListedCardId(u"USB\\VID_7A5C&PID_2011\\5&1&0&1"));
    EXPECT_TRUE(IsListedCardId(u"usb\\vid_7a5c&pid_2011&mi_01\\6&2&0&1"));
    EXPECT_TRUE(IsListedCardId(u"USB\\VID_7A5C&PID_9008"));
    EXPECT_FALSE(IsListedCardId(u"USB\\VID_7A5C&PID_1015\\5&1&0&1"));
    EXPECT_FALSE(IsListedCardId(u"USB\\VID_7A5C&PID_20"));
    EXPECT_FALSE(IsListedCardId(u""));
}

// The adapter's two interfaces are cards of one port each: the port's parent is listed, so the
// search starts at the host above the adapter, and the adapter is the first-level child that
// carries the marker and is restarted.
TEST_F(PortMachineTest, AListedCompositeCardIsRenumberedFromAboveTheAdapter) {
    std::u16string adapter = plug_adapter("ftdi:vid=0x7A5C,pid=0x2011,interfaces=2");
    auto ports = ports_below(adapter);
    ASSERT_EQ(2u, ports.size());
    std::u16string first_interface = parent_of(ports[0]), second_interface = parent_of(ports[1]);
    ASSERT_TRUE(first_interface.starts_with(u"USB\\VID_7A5C&PID_2011&MI_00\\"));
    ASSERT_TRUE(second_interface.starts_with(u"USB\\VID_7A5C&PID_2011&MI_01\\"));
    EXPECT_EQ(u"COM1", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM2", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(1u, dword(adapter, u"Device Parameters", u"ChildPortNameSorted"));
    EXPECT_EQ(0xBEEFu, dword(first_interface, u"Device Parameters", u"ChildPortNameSorted"));

    rename(ports[0], u"COM6");
    rename(ports[1], u"COM4");
    remove_marker(adapter);
    size_t starts = card_test::debugger_lines_with("HVTB bus PNP 0x00");
    OpenedDevice second(ports[1]);
    EXPECT_TRUE(RenumberCardPorts(second.set, &second.data));
    hvsim::user::wait_for_device_installations();
    EXPECT_EQ(u"COM4", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM6", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"Test Serial Port (COM4)", value(ports[0], u"", u"FriendlyName"));
    EXPECT_EQ(u"COM6", serialcomm(dos_target(u"COM6")));
    EXPECT_TRUE(claimed(4));
    EXPECT_TRUE(claimed(6));
    EXPECT_EQ(1u, dword(adapter, u"Device Parameters", u"ChildPortNameSorted"));
    EXPECT_EQ(0xBEEFu, dword(second_interface, u"Device Parameters", u"ChildPortNameSorted"));
    // The adapter was restarted, and with it both of its interfaces' bus drivers.
    EXPECT_EQ(starts + 2, card_test::debugger_lines_with("HVTB bus PNP 0x00"));
    EXPECT_TRUE(card_test::started(adapter));
    for (const auto& port : ports) EXPECT_TRUE(card_test::started(port));
}

// A port at the third level that is not started ends the walk: nothing is renamed and no
// marker written, so a later installation tries again.
TEST_F(PortMachineTest, AListedCardWithAPortNotStartedIsLeftForLater) {
    std::u16string adapter = plug_adapter("ftdi:vid=0x7A5C,pid=0x2011,interfaces=2");
    auto ports = ports_below(adapter);
    ASSERT_EQ(2u, ports.size());
    rename(ports[0], u"COM6");
    remove_marker(adapter);
    OpenedDevice first(ports[0]), second(ports[1]);
    ASSERT_TRUE(CDeviceUtil().m_DisableDevice(second.set, second.data));
    EXPECT_TRUE(RenumberCardPorts(first.set, &first.data));
    EXPECT_EQ(u"COM6", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM2", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(0xBEEFu, dword(adapter, u"Device Parameters", u"ChildPortNameSorted"));
    ASSERT_TRUE(CDeviceUtil().m_EnableDevice(second.set, second.data));
}

// Two listed adapters on one host: the ports of both are one card, numbered across them in tree
// order; only the last adapter is marked and restarted, and a marked adapter stops the walk.
TEST_F(PortMachineTest, ListedAdaptersOnOneHostAreNumberedAsOneCard) {
    std::u16string one = plug_adapter("ftdi:vid=0x7A5C,pid=0x2011,interfaces=2");
    std::u16string two = plug_adapter("ftdi:vid=0x7A5C,pid=0x2011,interfaces=2");
    auto ports = ports_below(one);
    for (auto& port : ports_below(two)) ports.push_back(port);
    ASSERT_EQ(4u, ports.size());
    const std::u16string descending[] = {u"COM9", u"COM8", u"COM7", u"COM6"};
    for (size_t i = 0; i < ports.size(); ++i) rename(ports[i], descending[i]);
    remove_marker(one);
    remove_marker(two);

    OpenedDevice port(ports[0]);
    // The first adapter still marked from its own installation stops the walk.
    OpenedDevice first_adapter(one);
    ASSERT_TRUE(SetDeviceDwordValue(first_adapter.set, &first_adapter.data, u"ChildPortNameSorted", 1));
    EXPECT_TRUE(RenumberCardPorts(port.set, &port.data));
    EXPECT_EQ(u"COM9", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(0xBEEFu, dword(two, u"Device Parameters", u"ChildPortNameSorted"));

    remove_marker(one);
    size_t starts = card_test::debugger_lines_with("HVTB bus PNP 0x00");
    EXPECT_TRUE(RenumberCardPorts(port.set, &port.data));
    hvsim::user::wait_for_device_installations();
    const std::u16string ascending[] = {u"COM6", u"COM7", u"COM8", u"COM9"};
    for (size_t i = 0; i < ports.size(); ++i)
        EXPECT_EQ(ascending[i], value(ports[i], u"Device Parameters", u"PortName")) << i;
    EXPECT_EQ(0xBEEFu, dword(one, u"Device Parameters", u"ChildPortNameSorted"));
    EXPECT_EQ(1u, dword(two, u"Device Parameters", u"ChildPortNameSorted"));
    EXPECT_EQ(starts + 2, card_test::debugger_lines_with("HVTB bus PNP 0x00"));
    for (const auto& each : ports) EXPECT_TRUE(card_test::started(each));
}

} // namespace
