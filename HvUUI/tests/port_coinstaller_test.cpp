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

namespace {

TEST_F(PortMachineTest, SavedSettingsAreRestoredOnceAndTheirKeyDeleted) {
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD1");
    auto ports = ports_of(card);
    ASSERT_EQ(1u, ports.size());
    ASSERT_EQ(u"COM1", value(ports[0], u"Device Parameters", u"PortName"));
    write_save_key(card, ports[0]);

    install_port_driver_again();
    EXPECT_EQ(u"COM9", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"Test Serial Port (COM9)", value(ports[0], u"", u"FriendlyName"));
    EXPECT_EQ(9600u, dword(ports[0], u"Device Parameters", u"Baudrate"));
    EXPECT_EQ(0xBEEFu, dword(ports[0], u"Device Parameters", u"SupportedBaudRates"));
    EXPECT_EQ(7u, dword(ports[0], u"Device Parameters\\UI1", u"Latency"));
    EXPECT_EQ(u"USB", value(ports[0], u"Device Parameters\\UI1", u"InterfaceType"));
    EXPECT_TRUE(claimed(9));
    EXPECT_FALSE(claimed(1));
    EXPECT_EQ(u"COM9", serialcomm(dos_target(u"COM9")));
    EXPECT_EQ(u"<none>", dos_target(u"COM1"));
    // Restored ports are re-enumerated and get no default entry.
    EXPECT_EQ(u"<none>", ports_entry(u"COM9"));
    EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Enum\\" + card + u"\\Device Parameters\\" +
                            PortSaveKeyName(ports[0])));

    // Used once: the next installation restores nothing.
    OpenedDevice port(ports[0]);
    ASSERT_TRUE(SetDeviceDwordValue(port.set, &port.data, u"Baudrate", 19200));
    install_port_driver_again();
    EXPECT_EQ(19200u, dword(ports[0], u"Device Parameters", u"Baudrate"));
    EXPECT_EQ(u"COM9", value(ports[0], u"Device Parameters", u"PortName"));
}

TEST_F(PortMachineTest, ASavedNameEqualToTheCurrentOneKeepsItsClaim) {
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD1");
    auto ports = ports_of(card);
    ASSERT_EQ(1u, ports.size());
    write_save_key(card, ports[0]);
    OpenedDevice port(ports[0]);
    ASSERT_TRUE(CCOMPortUtil(port.set, port.data).m_ChangePortName(u"COM9", nullptr, FALSE, FALSE));
    ASSERT_TRUE(claimed(9));

    size_t reenumerations = hvsim::user::reenumerate_calls().size();
    COINSTALLER_CONTEXT_DATA context{TRUE, NO_ERROR, nullptr};
    EXPECT_EQ(DWORD(NO_ERROR), HvUCoInstallPort(DIF_INSTALLDEVICE, port.set, &port.data, &context));
    EXPECT_EQ(u"COM9", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_TRUE(claimed(9));
    EXPECT_EQ(u"COM9", serialcomm(dos_target(u"COM9")));
    EXPECT_GT(hvsim::user::reenumerate_calls().size(), reenumerations);
}

TEST_F(PortMachineTest, AFailedInstallationIsReportedAfterTheStepsRanWithoutAPortsEntry) {
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD1");
    auto ports = ports_of(card);
    ASSERT_EQ(1u, ports.size());
    write_save_key(card, ports[0]);
    OpenedDevice port(ports[0]);
    COINSTALLER_CONTEXT_DATA context{TRUE, ERROR_GEN_FAILURE, nullptr};
    EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), HvUCoInstallPort(DIF_INSTALLDEVICE, port.set, &port.data, &context));
    EXPECT_EQ(u"COM9", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(9600u, dword(ports[0], u"Device Parameters", u"Baudrate"));
    EXPECT_EQ(u"<none>", ports_entry(u"COM9"));

    // Without saved settings the default entry is not written either.
    EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), HvUCoInstallPort(DIF_INSTALLDEVICE, port.set, &port.data, &context));
    EXPECT_EQ(u"<none>", ports_entry(u"COM9"));
    context.InstallResult = NO_ERROR;
    EXPECT_EQ(DWORD(NO_ERROR), HvUCoInstallPort(DIF_INSTALLDEVICE, port.set, &port.data, &context));
    EXPECT_EQ(u"115200,n,8,1", ports_entry(u"COM9"));

    COINSTALLER_CONTEXT_DATA pre{FALSE, NO_ERROR, nullptr};
    EXPECT_EQ(DWORD(ERROR_DI_POSTPROCESSING_REQUIRED), HvUCoInstallPort(DIF_INSTALLDEVICE, port.set, &port.data, &pre));
    EXPECT_EQ(DWORD(NO_ERROR), HvUCoInstallPort(DIF_PROPERTYCHANGE, port.set, &port.data, &pre));
}

const std::u16string kRefusal =
    u"Please update the Halvorn driver found under Universal Serial Bus Controllers in Device Manager.\r\nThis will "
    u"automatically initiate the port driver update.\r\n\r\nPlease see Product Manual for further details.";

TEST_F(PortMachineTest, AMarkedPortRefusesADriverUpdate) {
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD1");
    auto ports = ports_of(card);
    ASSERT_EQ(1u, ports.size());
    OpenedDevice port(ports[0]);
    CHVDeviceRegInfo device(port.set, port.data);
    COINSTALLER_CONTEXT_DATA context{FALSE, NO_ERROR, nullptr};
    for (const char16_t* mark : {u"1", u"01", u"1x"}) {
        hvsim::user::reset_message_boxes();
        ASSERT_TRUE(device.m_SetDeviceValue(u"NoUpgrade", mark));
        EXPECT_EQ(DWORD(ERROR_DI_DONT_INSTALL), HvUCoInstallPort(DIF_UPDATEDRIVER_UI, port.set, &port.data, &context));
        auto boxes = hvsim::user::message_box_transcript();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(nullptr, boxes[0].owner);
        EXPECT_EQ(u"Tarrow", boxes[0].caption);
        EXPECT_EQ(UINT(MB_ICONERROR), boxes[0].type);
        EXPECT_EQ(kRefusal, boxes[0].text);
    }
    // Through SetupAPI the installed library answers, with the text of its own resources.
    hvsim::user::reset_message_boxes();
    ASSERT_TRUE(device.m_SetDeviceValue(u"NoUpgrade", u"1"));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_UPDATEDRIVER_UI, port.set, &port.data));
    EXPECT_EQ(DWORD(ERROR_DI_DONT_INSTALL), GetLastError());
    ASSERT_EQ(1u, hvsim::user::message_box_transcript().size());
    EXPECT_EQ(kRefusal, hvsim::user::message_box_transcript()[0].text);
    hvsim::user::reset_message_boxes();
    for (const char16_t* mark : {u"0", u"10", u""}) {
        ASSERT_TRUE(device.m_SetDeviceValue(u"NoUpgrade", mark));
        EXPECT_EQ(DWORD(NO_ERROR), HvUCoInstallPort(DIF_UPDATEDRIVER_UI, port.set, &port.data, &context));
    }
    HKEY key = SetupDiOpenDevRegKey(port.set, &port.data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    RegDeleteValueW(key, u"NoUpgrade");
    RegCloseKey(key);
    EXPECT_EQ(DWORD(NO_ERROR), HvUCoInstallPort(DIF_UPDATEDRIVER_UI, port.set, &port.data, &context));
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
}

TEST_F(PortMachineTest, TheLibraryCarriesItsStringsInItsImage) {
    HMODULE library = LoadLibraryW(inf("HvUUI23.dll").c_str());
    ASSERT_NE(nullptr, library);
    WCHAR text[64];
    EXPECT_EQ(41, LoadStringW(library, 5049, text, 64));
    EXPECT_EQ(u"There was an error renaming the COM port.", std::u16string(text));
    const WCHAR* in_place = nullptr;
    EXPECT_EQ(int(kRefusal.size()), LoadStringW(library, 5062, reinterpret_cast<LPWSTR>(&in_place), 0));
    EXPECT_EQ(kRefusal, std::u16string(in_place, kRefusal.size()));
    EXPECT_EQ(0, LoadStringW(library, 4711, text, 64)) << "an id the library does not have";
    EXPECT_TRUE(FreeLibrary(library));
}

TEST_F(PortMachineTest, RemovalFreesThePortsNumber) {
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD1");
    auto ports = ports_of(card);
    ASSERT_EQ(1u, ports.size());
    ASSERT_TRUE(claimed(1));
    OpenedDevice port(ports[0]);
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, port.set, &port.data));
    EXPECT_FALSE(claimed(1));
    EXPECT_EQ(u"<none>", dos_target(u"COM1"));
}

TEST_F(PortMachineTest, ACardsPortsAreRenumberedInTreeOrder) {
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD3");
    auto ports = ports_of(card);
    ASSERT_EQ(3u, ports.size());
    EXPECT_EQ(u"COM1", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM2", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM3", value(ports[2], u"Device Parameters", u"PortName"));
    // In order at the last port's installation: marked, nothing renamed.
    EXPECT_EQ(1u, dword(ports[2], u"Device Parameters", u"ChildPortNameSorted"));

    // Out of order (COM7, COM5, COM6) and no longer marked.
    OpenedDevice first(ports[0]), second(ports[1]), third(ports[2]);
    ASSERT_TRUE(CCOMPortUtil(first.set, first.data).m_ChangePortName(u"COM7", nullptr, FALSE, FALSE));
    ASSERT_TRUE(CCOMPortUtil(second.set, second.data).m_ChangePortName(u"COM5", nullptr, FALSE, FALSE));
    ASSERT_TRUE(CCOMPortUtil(third.set, third.data).m_ChangePortName(u"COM6", nullptr, FALSE, FALSE));
    remove_marker(ports[2]);

    EXPECT_TRUE(RenumberCardPorts(first.set, &first.data));
    EXPECT_EQ(u"COM5", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM6", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM7", value(ports[2], u"Device Parameters", u"PortName"));
    EXPECT_EQ(1u, dword(ports[2], u"Device Parameters", u"ChildPortNameSorted"));
    for (DWORD n : {5u, 6u, 7u}) EXPECT_TRUE(claimed(n)) << n;
    for (DWORD n : {1u, 2u, 3u, 4u}) EXPECT_FALSE(claimed(n)) << n;
    EXPECT_EQ(u"COM5", serialcomm(dos_target(u"COM5")));
    EXPECT_EQ(u"COM7", serialcomm(dos_target(u"COM7")));
    EXPECT_EQ(u"Test Serial Port (COM6)", value(ports[1], u"", u"FriendlyName"));
    // The marker device was restarted and is running again.
    EXPECT_TRUE(card_test::started(ports[2]));

    // Marked: a second run changes nothing.
    ASSERT_TRUE(CCOMPortUtil(first.set, first.data).m_ChangePortName(u"COM9", nullptr, FALSE, FALSE));
    EXPECT_TRUE(RenumberCardPorts(first.set, &first.data));
    EXPECT_EQ(u"COM9", value(ports[0], u"Device Parameters", u"PortName"));
}

} // namespace

namespace {

// The post-install pass renumbers the card's ports on Windows 6.1 and later only.
TEST_F(PortMachineTest, RenumberingWaitsForWindows61) {
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD3");
    auto ports = ports_of(card);
    ASSERT_EQ(3u, ports.size());
    OpenedDevice first(ports[0]), second(ports[1]), third(ports[2]);
    ASSERT_TRUE(CCOMPortUtil(first.set, first.data).m_ChangePortName(u"COM9", nullptr, FALSE, FALSE));
    remove_marker(ports[2]);

    hvsim::user::WindowsVersion vista;
    vista.major = 6;
    vista.minor = 0;
    vista.build = 6002;
    hvsim::user::set_windows_version(vista);
    COINSTALLER_CONTEXT_DATA context{TRUE, NO_ERROR, nullptr};
    EXPECT_EQ(DWORD(NO_ERROR), HvUCoInstallPort(DIF_INSTALLDEVICE, second.set, &second.data, &context));
    EXPECT_EQ(u"COM9", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(0xBEEFu, dword(ports[2], u"Device Parameters", u"ChildPortNameSorted"));
    EXPECT_EQ(u"115200,n,8,1", ports_entry(u"COM2"));

    hvsim::user::set_windows_version(hvsim::user::WindowsVersion{});
    EXPECT_EQ(DWORD(NO_ERROR), HvUCoInstallPort(DIF_INSTALLDEVICE, second.set, &second.data, &context));
    EXPECT_EQ(u"COM2", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM3", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM9", value(ports[2], u"Device Parameters", u"PortName"));
    EXPECT_EQ(1u, dword(ports[2], u"Device Parameters", u"ChildPortNameSorted"));
}

// A port that is not started, or whose name is no COM name, stops the collection: nothing is
// renamed and no marker written, so that a later installation tries again.
TEST_F(PortMachineTest, ACardWithAPortNotStartedOrNotNamedIsLeftForLater) {
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD3");
    auto ports = ports_of(card);
    ASSERT_EQ(3u, ports.size());
    rename(ports[0], u"COM9");
    remove_marker(ports[2]);
    OpenedDevice first(ports[0]), third(ports[2]);
    ASSERT_TRUE(CDeviceUtil().m_DisableDevice(third.set, third.data));
    EXPECT_TRUE(RenumberCardPorts(first.set, &first.data));
    EXPECT_EQ(u"COM9", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(0xBEEFu, dword(ports[2], u"Device Parameters", u"ChildPortNameSorted"));
    ASSERT_TRUE(CDeviceUtil().m_EnableDevice(third.set, third.data));

    ASSERT_TRUE(CHVDeviceRegInfo(third.set, third.data).m_SetDeviceValue(u"PortName", u"COMX"));
    EXPECT_TRUE(RenumberCardPorts(first.set, &first.data));
    EXPECT_EQ(u"COM9", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM2", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(0xBEEFu, dword(ports[2], u"Device Parameters", u"ChildPortNameSorted"));
}

// The first port cannot move (its DOS name is gone) after the holder of its target moved to the
// temporary name: the holder goes back, so no two ports end with one name, and the card is left
// unmarked for a later try.
TEST_F(PortMachineTest, ASwapThatCannotGoThroughIsUndone) {
    std::u16string card = install_root_card(u"ROOT\\HVTESTCARD3");
    auto ports = ports_of(card);
    ASSERT_EQ(3u, ports.size());
    rename(ports[0], u"COM6");
    rename(ports[1], u"COM5");
    rename(ports[2], u"COM7");
    remove_marker(ports[2]);
    std::u16string target = dos_target(u"COM6");
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, u"COM6",
                                 target.c_str()));

    OpenedDevice first(ports[0]);
    EXPECT_TRUE(RenumberCardPorts(first.set, &first.data));
    EXPECT_EQ(u"COM6", value(ports[0], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM5", value(ports[1], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM7", value(ports[2], u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"COM5", serialcomm(dos_target(u"COM5")));
    EXPECT_TRUE(claimed(5));
    EXPECT_FALSE(claimed(3));
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
    EXPECT_EQ(0xBEEFu, dword(ports[2], u"Device Parameters", u"ChildPortNameSorted"));
}

} // namespace
