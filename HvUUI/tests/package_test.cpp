// The co-installer with the package installed: the package's INF files, its bus driver and the
// adapters it serves, with the package's port driver once the tree builds it (until then those
// cases are skipped) and with the test driver standing in for it.
#include "port_machine_fixture.h"

#include <fstream>
#include <iterator>

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

// A port with a save key under its card (the bus device) gets its name and settings back, once.
TEST_P(PackageTest, APortGetsItsSavedSettingsBack) {
    std::u16string adapter = plug_adapter("ftdi:vid=0x7A5C,pid=0x1001");
    std::u16string port = only_port(adapter);
    ASSERT_FALSE(port.empty());
    ASSERT_EQ(u"COM1", value(port, u"Device Parameters", u"PortName"));
    write_save_key(adapter, port);
    install_port_driver_again();
    EXPECT_EQ(u"COM9", value(port, u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"Halvorn USB Serial Port (COM9)", value(port, u"", u"FriendlyName"));
    EXPECT_EQ(9600u, dword(port, u"Device Parameters", u"Baudrate"));
    EXPECT_EQ(0xBEEFu, dword(port, u"Device Parameters", u"SupportedBaudRates"));
    EXPECT_EQ(7u, dword(port, u"Device Parameters\\UI1", u"Latency"));
    EXPECT_TRUE(claimed(9));
    EXPECT_FALSE(claimed(1));
    EXPECT_EQ(u"COM9", serialcomm(dos_target(u"COM9")));
    EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Enum\\" + adapter + u"\\Device Parameters\\" +
                            PortSaveKeyName(port)));
    EXPECT_TRUE(card_test::started(port));
}

// Two listed composite adapters: each interface is a bus device with one port, and the four
// ports are one card numbered in tree order from the host above the adapters.
TEST_P(PackageTest, ListedCompositeAdaptersPortsAreNumberedInTreeOrder) {
    std::u16string one = plug_adapter("ftdi:vid=0x7A5C,pid=0x2011,interfaces=2");
    std::u16string two = plug_adapter("ftdi:vid=0x7A5C,pid=0x2012,interfaces=2");
    auto ports = ports_below(one);
    for (auto& port : ports_below(two)) ports.push_back(port);
    ASSERT_EQ(4u, ports.size()) << machine_->device_tree_text();
    for (size_t i = 0; i < ports.size(); ++i)
        EXPECT_EQ(u"COM" + std::u16string(1, u'1' + i), value(ports[i], u"Device Parameters", u"PortName")) << i;
    // The first adapter, marked at its own installation, kept the second one's from renumbering.
    EXPECT_EQ(1u, dword(one, u"Device Parameters", u"ChildPortNameSorted"));
    EXPECT_NE(1u, dword(two, u"Device Parameters", u"ChildPortNameSorted"));

    const std::u16string shuffled[] = {u"COM7", u"COM5", u"COM6", u"COM8"};
    for (size_t i = 0; i < ports.size(); ++i) rename(ports[i], shuffled[i]);
    remove_marker(one);
    remove_marker(two);
    OpenedDevice first(ports[0]);
    EXPECT_TRUE(RenumberCardPorts(first.set, &first.data));
    hvsim::user::wait_for_device_installations();
    const std::u16string sorted[] = {u"COM5", u"COM6", u"COM7", u"COM8"};
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(sorted[i], value(ports[i], u"Device Parameters", u"PortName")) << i;
        EXPECT_EQ(sorted[i], serialcomm(dos_target(sorted[i]))) << i;
        EXPECT_TRUE(card_test::started(ports[i])) << i;
    }
    EXPECT_EQ(0xBEEFu, dword(one, u"Device Parameters", u"ChildPortNameSorted"));
    EXPECT_EQ(1u, dword(two, u"Device Parameters", u"ChildPortNameSorted"));
}

// The bus devices run the package's card co-installer and HvCoIn23.dll as built: they start,
// their ports are named, and a reinstalled bus device keeps its port's name and settings.
TEST_P(PackageTest, TheBusDevicesRunTheCardAndDeviceCoInstallers) {
    std::u16string adapter = plug_adapter("ftdi:vid=0x7A5C,pid=0x1002,interfaces=2");
    auto ports = ports_below(adapter);
    ASSERT_EQ(2u, ports.size()) << machine_->device_tree_text();
    std::ifstream built(HV_COIN_IMAGE, std::ios::binary), installed(machine_->system_directory() / "HvCoIn23.dll",
                                                                    std::ios::binary);
    ASSERT_TRUE(installed.is_open());
    EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(built), {}, std::istreambuf_iterator<char>(installed), {}));
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::u16string bus = parent_of(ports[i]);
        EXPECT_TRUE(card_test::started(bus)) << i;
        EXPECT_TRUE(card_test::started(ports[i])) << i;
        EXPECT_EQ(ComNameOf(DWORD(i + 1)), value(ports[i], u"Device Parameters", u"PortName")) << i;
    }

    const std::u16string bus = parent_of(ports[1]);
    rename(ports[1], u"COM6");
    {
        OpenedDevice port(ports[1]);
        ASSERT_TRUE(SetDeviceDwordValue(port.set, &port.data, u"Baudrate", 57600));
    }
    const std::u16string bus_inf = (kit_ / "HVUBUS.INF").u16string();
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"USB\\VID_7A5C&PID_1002&MI_01", bus_inf.c_str(), 0,
                                                   nullptr))
        << std::hex << GetLastError() << " " << hvsim::user::last_installation_error();
    wait_for_ports(adapter);
    EXPECT_EQ(u"COM6", value(bus, u"Device Parameters\\" + PortSaveKeyName(ports[1]), u"PortName"));
    {
        OpenedDevice port(ports[1]);
        ASSERT_TRUE(SetDeviceDwordValue(port.set, &port.data, u"Baudrate", 300));
    }
    install_port_driver_again();
    EXPECT_EQ(u"COM6", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(57600u, dword(ports[1], u"Device Parameters", u"Baudrate"));
    EXPECT_TRUE(card_test::started(ports[1]));
}

INSTANTIATE_TEST_SUITE_P(Drivers, PackageTest, ::testing::Values(PortDriver::Test, PortDriver::Package),
                         [](const ::testing::TestParamInfo<PortDriver>& info) {
                             return info.param == PortDriver::Test ? "TestPortDriver" : "PackagePortDriver";
                         });

} // namespace
