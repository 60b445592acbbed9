// The rename and its five places, the COM port database helpers, the Ports entry and the
// device registry accessor, on a machine's installed port.
#include "port_machine_fixture.h"

#include "CoInstallPort.h"
#include "PortUtil.h"

namespace {

class RenameTest : public PortMachineTest {
protected:
    void SetUp() override {
        PortMachineTest::SetUp();
        card_ = install_root_card(u"ROOT\\HVTESTCARD1");
        auto ports = ports_of(card_);
        ASSERT_EQ(1u, ports.size());
        port_ = ports[0];
        ASSERT_EQ(u"COM1", value(port_, u"Device Parameters", u"PortName"));
        target_ = dos_target(u"COM1");
    }
    // The five places agree on the name.
    void expect_named(const std::u16string& name, DWORD number) {
        EXPECT_EQ(name, value(port_, u"Device Parameters", u"PortName"));
        EXPECT_EQ(u"Test Serial Port (" + name + u")", value(port_, u"", u"FriendlyName"));
        EXPECT_EQ(target_, dos_target(name));
        EXPECT_EQ(name, serialcomm(target_));
        EXPECT_TRUE(claimed(number));
    }
    std::u16string card_, port_, target_;
};

TEST_F(RenameTest, ARenameMovesTheNameInEveryPlace) {
    OpenedDevice port(port_);
    size_t reenumerations = hvsim::user::reenumerate_calls().size();
    ASSERT_TRUE(CCOMPortUtil(port.set, port.data).m_ChangePortName(u"COM7", nullptr, TRUE, TRUE));
    expect_named(u"COM7", 7);
    EXPECT_FALSE(claimed(1));
    EXPECT_EQ(u"<none>", dos_target(u"COM1"));
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(port.set, &port.data, &params));
    EXPECT_TRUE(params.Flags & DI_PROPERTIES_CHANGE);
    auto calls = hvsim::user::reenumerate_calls();
    ASSERT_EQ(reenumerations + 1, calls.size());
    DEVINST root = 0;
    CM_Locate_DevNodeW(&root, nullptr, 0);
    EXPECT_EQ(root, calls.back().node);
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
}

TEST_F(RenameTest, NamesWithoutANumberAreRefusedAndChangeNothing) {
    OpenedDevice port(port_);
    CCOMPortUtil util(port.set, port.data);
    for (const char16_t* bad : {u"", u"COM", u"COMx", u"COM0", u"COM5x", u"LPT1", u"COM257"})
        EXPECT_FALSE(util.m_ChangePortName(bad, nullptr, FALSE, FALSE)) << std::string(bad, bad + 0);
    expect_named(u"COM1", 1);
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
}

TEST_F(RenameTest, QuestionsAnsweredNoChangeNothing) {
    OpenedDevice port(port_);
    CCOMPortUtil util(port.set, port.data);
    // The same name, interactively: nothing to do and nothing asked.
    EXPECT_TRUE(util.m_ChangePortName(u"COM1", nullptr, TRUE, FALSE));
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());

    // A number in use elsewhere is asked about even when not interactive.
    claim(4);
    hvsim::user::script_message_box_answers({IDNO});
    EXPECT_TRUE(util.m_ChangePortName(u"COM4", nullptr, FALSE, FALSE));
    expect_named(u"COM1", 1);
    auto boxes = hvsim::user::message_box_transcript();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(u"Error", boxes[0].caption);
    EXPECT_EQ(UINT(MB_YESNO | MB_ICONINFORMATION), boxes[0].type);
    EXPECT_TRUE(boxes[0].text.starts_with(u"This COM name is being used by another device"));

    // A port open elsewhere is asked about when interactive.
    hvsim::user::reset_message_boxes();
    HANDLE file = CreateFileW(u"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    hvsim::user::script_message_box_answers({IDNO});
    EXPECT_TRUE(util.m_ChangePortName(u"COM6", nullptr, TRUE, FALSE));
    CloseHandle(file);
    expect_named(u"COM1", 1);
    boxes = hvsim::user::message_box_transcript();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_TRUE(boxes[0].text.starts_with(u"The port has been opened by another application."));

    // Yes to the in-use question: both ports now hold the number.
    hvsim::user::reset_message_boxes();
    hvsim::user::script_message_box_answers({IDYES});
    EXPECT_TRUE(util.m_ChangePortName(u"COM4", nullptr, TRUE, FALSE));
    expect_named(u"COM4", 4);
}

TEST_F(RenameTest, ARenameThatCannotMoveTheDosNameLeavesEverythingAsItWas) {
    OpenedDevice port(port_);
    // The DOS name is gone: nothing can be moved, nothing else changes.
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, u"COM1",
                                 target_.c_str()));
    EXPECT_FALSE(CCOMPortUtil(port.set, port.data).m_ChangePortName(u"COM8", nullptr, FALSE, FALSE));
    EXPECT_EQ(u"COM1", value(port_, u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"Test Serial Port (COM1)", value(port_, u"", u"FriendlyName"));
    EXPECT_EQ(u"COM1", serialcomm(target_));
    EXPECT_TRUE(claimed(1));
    EXPECT_FALSE(claimed(8));
    EXPECT_EQ(u"<none>", dos_target(u"COM8"));
    // Removal without a DOS name keeps the number reserved.
    EXPECT_FALSE(CCOMPortUtil(port.set, port.data).m_ReleasePortName());
    EXPECT_TRUE(claimed(1));
}

TEST_F(RenameTest, TheFriendlyNameChangesOnlyTheExactComName) {
    OpenedDevice port(port_);
    CCOMPortUtil util(port.set, port.data);
    ASSERT_TRUE(util.m_SetFriendlyName(u"Port COM10 (COM1)"));
    ASSERT_TRUE(util.m_ChangePortName(u"COM5", nullptr, FALSE, FALSE));
    EXPECT_EQ(u"Port COM10 (COM5)", value(port_, u"", u"FriendlyName"));
}

TEST_F(RenameTest, TheDatabaseHelpersAndTheNameList) {
    CPortUtil db;
    EXPECT_FALSE(db.m_IsPortNumberFree(5)); // not open
    EXPECT_TRUE(db.m_BuildPortNameList(u"COM1").empty());
    ASSERT_TRUE(db.m_Open());
    EXPECT_TRUE(db.m_IsPortNumberFree(0));
    EXPECT_FALSE(db.m_IsPortNumberFree(257));
    EXPECT_FALSE(db.m_IsPortNumberFree(1));
    EXPECT_TRUE(db.m_IsPortNumberFree(256));
    ASSERT_TRUE(db.m_ClaimPortNumber(256, FALSE));
    EXPECT_FALSE(db.m_IsPortNumberFree(256));
    BOOL forced = FALSE;
    ASSERT_TRUE(db.m_ClaimPortNumber(3, TRUE, &forced));
    EXPECT_FALSE(forced);
    ASSERT_TRUE(db.m_ClaimPortNumber(3, TRUE, &forced));
    EXPECT_TRUE(forced);
    auto names = db.m_BuildPortNameList(u"COM1");
    ASSERT_EQ(255u, names.size());
    EXPECT_EQ(u"COM1", names[0]);
    EXPECT_EQ(u"COM2", names[1]);
    EXPECT_EQ(u"COM3 (in use)", names[2]);
    EXPECT_EQ(u"COM255", names[254]);
    EXPECT_EQ(u"COM1 (in use)", db.m_BuildPortNameList(u"COM2")[0]);
    hvsim::user::comdb_fail_next_report(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(db.m_BuildPortNameList(u"COM1").empty());
    db.m_Close();

    EXPECT_TRUE(db.m_CanOpenPort(u"COM1"));
    EXPECT_FALSE(db.m_CanOpenPort(u"COM99"));
}

TEST_F(RenameTest, PortsEntriesHoldBaudParityDataAndStopBits) {
    CPortUtil ports;
    EXPECT_TRUE(ports.m_WritePortsEntry(u"COM3", 9600, 3, 0, 0, 0));
    EXPECT_EQ(u"9600,n,8,1", ports_entry(u"COM3"));
    EXPECT_TRUE(ports.m_WritePortsEntry(u"COM3", 9600, 3, 0, 0, 4));
    EXPECT_EQ(u"9600,n,8,1,x", ports_entry(u"COM3"));
    EXPECT_TRUE(ports.m_WritePortsEntry(u"COM3", 9600, 3, 0, 0, 1));
    EXPECT_EQ(u"9600,n,8,1,p", ports_entry(u"COM3"));
    EXPECT_TRUE(ports.m_WritePortsEntry(u"COM3", 19200, 0, 4, 1, 2));
    EXPECT_EQ(u"19200,s,5,1.5,p", ports_entry(u"COM3"));
    EXPECT_TRUE(ports.m_WritePortsEntry(u"COM3", 300, 2, 2, 2, 0));
    EXPECT_EQ(u"300,e,7,2", ports_entry(u"COM3"));
    EXPECT_FALSE(ports.m_WritePortsEntry(u"COM3", 9600, 3, 0, 0, 3));
    EXPECT_FALSE(ports.m_WritePortsEntry(u"COM3", 9600, 4, 0, 0, 0));
    EXPECT_FALSE(ports.m_WritePortsEntry(u"COM3", 9600, 3, 5, 0, 0));
    EXPECT_FALSE(ports.m_WritePortsEntry(u"COM3", 9600, 3, 0, 3, 0));
    EXPECT_EQ(u"300,e,7,2", ports_entry(u"COM3"));
}

TEST_F(RenameTest, TheAccessorReadsPropertiesAndBoundedDeviceValues) {
    OpenedDevice port(port_);
    CHVDeviceRegInfo device(port.set, port.data);
    std::u16string text;
    ASSERT_TRUE(device.m_GetClassName(text));
    EXPECT_EQ(u"Ports", text);
    ASSERT_TRUE(device.m_GetDriverKey(text));
    EXPECT_TRUE(text.starts_with(u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\")) << std::string(text.begin(), text.end());
    ASSERT_TRUE(device.m_GetRegistryProperty(SPDRP_HARDWAREID, text));
    EXPECT_TRUE(text.starts_with(u"HVTEST\\CHILD_"));

    // Stored without a terminator, as the drivers store strings.
    ASSERT_TRUE(device.m_SetDeviceValue(u"PortName", u"COM5"));
    HKEY key = SetupDiOpenDevRegKey(port.set, &port.data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    DWORD size = 0, type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"PortName", nullptr, &type, nullptr, &size));
    RegCloseKey(key);
    EXPECT_EQ(8u, size);
    // A value that fills the whole buffer is refused rather than read unterminated.
    ASSERT_TRUE(device.m_SetDeviceValue(u"Long", std::u16string(149, u'a')));
    ASSERT_TRUE(device.m_GetDeviceValue(u"Long", text));
    EXPECT_EQ(149u, text.size());
    // The same with its terminator stored: 300 bytes, still read.
    HKEY writable = SetupDiOpenDevRegKey(port.set, &port.data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_WRITE);
    std::u16string full(149, u'b');
    RegSetValueExW(writable, u"Full", 0, REG_SZ, (const BYTE*)full.c_str(), 300);
    RegCloseKey(writable);
    ASSERT_TRUE(device.m_GetDeviceValue(u"Full", text));
    EXPECT_EQ(full, text);
    ASSERT_TRUE(GetDeviceStringValue(port.set, &port.data, u"Full", text));
    EXPECT_EQ(full, text);
    text = u"kept";
    ASSERT_TRUE(device.m_SetDeviceValue(u"Long", std::u16string(150, u'a')));
    EXPECT_FALSE(device.m_GetDeviceValue(u"Long", text));
    EXPECT_EQ(u"kept", text);
    EXPECT_FALSE(device.m_GetDeviceValue(u"Missing", text));

    // A device without a friendly name.
    OpenedDevice card(card_);
    text.clear();
    EXPECT_FALSE(CHVDeviceRegInfo(card.set, card.data).m_GetFriendlyName(text));
    EXPECT_TRUE(text.empty());

    // 8-bit build.
    CHVDeviceRegInfoA narrow(card.set, card.data);
    ASSERT_TRUE(narrow.m_SetDevice(port.set, port.data));
    std::string ansi;
    ASSERT_TRUE(narrow.m_GetServiceName(ansi));
    EXPECT_EQ("HvTestFunc", ansi);
    ASSERT_TRUE(narrow.m_GetHardwareId(ansi));
    EXPECT_EQ(0u, ansi.find("HVTEST\\CHILD_"));
    ASSERT_TRUE(narrow.m_GetInfPath(ansi));
    EXPECT_EQ("C:\\Windows\\Inf\\oem0.inf", ansi);
    ASSERT_TRUE(narrow.m_GetDeviceValue("PortName", ansi));
    EXPECT_EQ("COM5", ansi);
}

TEST_F(RenameTest, TheParentIsFoundAmongThePresentDevices) {
    OpenedDevice port(port_);
    CHvSetupDi_ParentDevice parent(port.set, &port.data);
    ASSERT_TRUE(parent.m_FindParent());
    WCHAR id[MAX_DEVICE_ID_LEN + 1] = {};
    CM_Get_Device_IDW(parent.m_ParentData().DevInst, id, MAX_DEVICE_ID_LEN + 1, 0);
    EXPECT_EQ(card_, std::u16string(id));

    // The root has no parent; the list is still destroyed with the holder.
    DEVINST root = 0;
    CM_Locate_DevNodeW(&root, nullptr, 0);
    SP_DEVINFO_DATA data = port.data;
    data.DevInst = root;
    size_t sets = hvsim::user::open_device_info_sets();
    {
        CHvSetupDi_ParentDevice none(port.set, &data);
        EXPECT_FALSE(none.m_FindParent());
        EXPECT_EQ(sets + 1, hvsim::user::open_device_info_sets());
    }
    EXPECT_EQ(sets, hvsim::user::open_device_info_sets());
}

TEST(PortSaveKey, KeepsTheLastCharacterOfTheMiddleSegment) {
    EXPECT_EQ(u"A_D_E", PortSaveKeyName(u"A\\BCD\\E"));
    EXPECT_EQ(u"HVTEST_D_7&1b2&0&1", PortSaveKeyName(u"HVTEST\\CHILD\\7&1b2&0&1"));
    EXPECT_EQ(u"A_B_C", PortSaveKeyName(u"A\\B\\C"));
    EXPECT_EQ(u"A__C", PortSaveKeyName(u"A\\\\C"));
    EXPECT_EQ(u"ROOT_PORTS", PortSaveKeyName(u"ROOT\\PORTS"));
    EXPECT_TRUE(IsListedCardId(u"usb\\vid_7a5c&pid_2011&mi_00\\6&1"));
    EXPECT_FALSE(IsListedCardId(u"USB\\VID_7A5C&PID_1015\\1"));
    EXPECT_EQ(12u, ComNumberOf(u"COM12"));
    EXPECT_EQ(0u, ComNumberOf(u"CO"));
}

} // namespace
