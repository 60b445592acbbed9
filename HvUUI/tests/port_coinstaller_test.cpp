// The Ports co-installer in a machine: first numbers of the one model that gets them, restored
// settings, the update refusal, removal and the installation result.
#include "port_machine_fixture.h"

#include "card_machine.h"

#include "CoInstallPort.h"
#include "PortUtil.h"

namespace {

TEST_F(PortMachineTest, AnOrdinaryPortKeepsItsNameAndGetsTheDefaultPortsEntry) {
    claim(1);
    claim(2);
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD1");
    auto ports = ports_of(card);
    ASSERT_EQ(1u, ports.size());
    EXPECT_EQ(u"COM3", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"Test Serial Port (COM3)", value(ports[0], u"", u"FriendlyName"));
    EXPECT_EQ(u"115200,n,8,1", ports_entry(u"COM3"));
    std::u16string target = dos_target(u"COM3");
    EXPECT_EQ(u"COM3", serialcomm(target));
    // One port is in order: the card is marked and never looked at again.
    EXPECT_EQ(1u, dword(ports[0], u"Device Parameters", u"ChildPortNameSorted"));
}

TEST_F(PortMachineTest, APortOfTheFirstNumberModelMovesToTheLowestFreeNumberFromTwo) {
    claim(1);
    claim(2);
    std::u16string card = plug_usb_card("1015");
    ASSERT_TRUE(card.starts_with(u"USB\\VID_7A5C&PID_1015\\"));
    auto ports = ports_of(card);
    ASSERT_EQ(1u, ports.size());
    // The class installer gave it COM3; COM1 and COM2 are taken elsewhere, so COM4.
    EXPECT_EQ(u"COM4", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"Test Serial Port (COM4)", value(ports[0], u"", u"FriendlyName"));
    EXPECT_FALSE(claimed(3));
    EXPECT_TRUE(claimed(4));
    EXPECT_EQ(u"<none>", dos_target(u"COM3"));
    std::u16string target = dos_target(u"COM4");
    EXPECT_TRUE(target.starts_with(u"\\Device\\HvTestSerial"));
    EXPECT_EQ(u"COM4", serialcomm(target));
    // The result is the installation's: no default entry for the name.
    EXPECT_EQ(u"<none>", ports_entry(u"COM4"));
    EXPECT_EQ(u"<none>", ports_entry(u"COM3"));
    // The parent was restarted: the port's driver started again and named itself COM4.
    EXPECT_TRUE(card_test::started(ports[0]));
}

TEST_F(PortMachineTest, APortOfTheFirstNumberModelTakesCom2WhenItIsFree) {
    claim(1);
    claim(2);
    std::u16string card = plug_usb_card("1015");
    auto ports = ports_of(card);
    ASSERT_EQ(1u, ports.size());
    ASSERT_EQ(u"COM4", value(ports[0], u"Device Parameters", u"PortName"));
    // COM2 comes free; installed again, the port keeps COM4 through the class installer and
    // then moves down to COM2.
    HCOMDB db;
    ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
    ComDBReleasePort(db, 2);
    ComDBClose(db);
    install_port_driver_again();
    EXPECT_EQ(u"COM2", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_TRUE(claimed(2));
    EXPECT_FALSE(claimed(4));
    EXPECT_EQ(u"<none>", dos_target(u"COM4"));
    EXPECT_EQ(u"COM2", serialcomm(dos_target(u"COM2")));
}

} // namespace
