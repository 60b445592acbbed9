// The co-installer with the package installed: the package's INF files, its bus driver and the
// adapters it serves, with the package's port driver once the tree builds it (until then those
// cases are skipped) and with the test driver standing in for it.
#include "port_machine_fixture.h"

#include "card_machine.h"

#include "CoInstallPort.h"
#include "PortUtil.h"

namespace {

class PackageTest : public PortMachineTest, public ::testing::WithParamInterface<PortDriver> {
protected:
    void SetUp() override {
        PortMachineTest::SetUp();
        if (HasFatalFailure()) return;
        if (std::string why = install_package(GetParam()); !why.empty()) GTEST_SKIP() << why;
    }

    // The single port of a single-interface adapter.
    std::u16string only_port(const std::u16string& adapter) {
        auto ports = ports_below(adapter);
        EXPECT_EQ(1u, ports.size()) << machine_->device_tree_text();
        return ports.empty() ? std::u16string() : ports[0];
    }
};

TEST_P(PackageTest, APortOfTheFirstNumberModelMovesDownAndItsAdapterRestarts) {
    claim(1);
    claim(2);
    std::u16string adapter = plug_adapter("ftdi:vid=0x7A5C,pid=0x1015");
    std::u16string port = only_port(adapter);
    ASSERT_FALSE(port.empty());
    EXPECT_TRUE(port.starts_with(u"PORTS\\HVUSER23221\\"));
    // The class installer gave it COM3; COM1 and COM2 are taken elsewhere, so COM4.
    EXPECT_EQ(u"COM4", value(port, u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"Halvorn USB Serial Port (COM4)", value(port, u"", u"FriendlyName"));
    EXPECT_FALSE(claimed(3));
    EXPECT_TRUE(claimed(4));
    EXPECT_EQ(u"<none>", dos_target(u"COM3"));
    EXPECT_EQ(u"COM4", serialcomm(dos_target(u"COM4")));
    EXPECT_EQ(u"<none>", ports_entry(u"COM4"));
    // The bus driver was restarted under its adapter, and the port with it.
    EXPECT_TRUE(card_test::started(adapter));
    EXPECT_TRUE(card_test::started(port));

    // COM2 comes free: installed again, the port moves down to it.
    HCOMDB db;
    ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
    ComDBReleasePort(db, 2);
    ComDBClose(db);
    install_port_driver_again();
    EXPECT_EQ(u"COM2", value(port, u"Device Parameters", u"PortName"));
    EXPECT_TRUE(claimed(2));
    EXPECT_FALSE(claimed(4));
    EXPECT_EQ(u"COM2", serialcomm(dos_target(u"COM2")));
    EXPECT_TRUE(card_test::started(port));
}

// An ordinary adapter's port keeps the class installer's name and gets the default entry; the
// package marks its ports against updates of their own, and their removal frees the name.
TEST_P(PackageTest, AnOrdinaryPortIsNamedRefusesUpdatesAndFreesItsNameOnRemoval) {
    std::u16string adapter = plug_adapter("ftdi:vid=0x7A5C,pid=0x1001");
    std::u16string port = only_port(adapter);
    ASSERT_FALSE(port.empty());
    EXPECT_EQ(u"COM1", value(port, u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"115200,n,8,1", ports_entry(u"COM1"));
    EXPECT_EQ(1u, dword(port, u"Device Parameters", u"ChildPortNameSorted"));

    OpenedDevice device(port);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_UPDATEDRIVER_UI, device.set, &device.data));
    EXPECT_EQ(DWORD(ERROR_DI_DONT_INSTALL), GetLastError());
    auto boxes = hvsim::user::message_box_transcript();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(u"Tarrow", boxes[0].caption);
    EXPECT_TRUE(boxes[0].text.starts_with(u"Please update the Halvorn driver"));

    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, device.set, &device.data));
    EXPECT_FALSE(claimed(1));
    EXPECT_EQ(u"<none>", dos_target(u"COM1"));
}

// A listed composite adapter: each interface is a bus device with one port; the ports are
// numbered in tree order from the host above the adapter, which is marked and restarted.
TEST_P(PackageTest, AListedCompositeAdaptersPortsAreNumberedInTreeOrder) {
    std::u16string adapter = plug_adapter("ftdi:vid=0x7A5C,pid=0x2011,interfaces=2");
    auto ports = ports_below(adapter);
    ASSERT_EQ(2u, ports.size()) << machine_->device_tree_text();
    EXPECT_EQ(u"COM1", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM2", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(1u, dword(adapter, u"Device Parameters", u"ChildPortNameSorted"));

    for (auto [port, name] : {std::pair{ports[0], u"COM6"}, std::pair{ports[1], u"COM4"}}) {
        OpenedDevice device(port);
        ASSERT_TRUE(CCOMPortUtil(device.set, device.data).m_ChangePortName(name, nullptr, FALSE, FALSE));
    }
    OpenedDevice card(adapter);
    HKEY key = SetupDiOpenDevRegKey(card.set, &card.data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    RegDeleteValueW(key, u"ChildPortNameSorted");
    RegCloseKey(key);
    OpenedDevice first(ports[0]);
    EXPECT_TRUE(RenumberCardPorts(first.set, &first.data));
    hvsim::user::wait_for_device_installations();
    EXPECT_EQ(u"COM4", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM6", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM6", serialcomm(dos_target(u"COM6")));
    EXPECT_EQ(1u, dword(adapter, u"Device Parameters", u"ChildPortNameSorted"));
    for (const auto& port : ports) EXPECT_TRUE(card_test::started(port));
}

INSTANTIATE_TEST_SUITE_P(Drivers, PackageTest, ::testing::Values(PortDriver::Test, PortDriver::Package),
                         [](const ::testing::TestParamInfo<PortDriver>& info) {
                             return info.param == PortDriver::Test ? "TestPortDriver" : "PackagePortDriver";
                         });

} // namespace
