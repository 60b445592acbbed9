// The Windows 2000 and later operation driven directly, on a machine with the package installed,
// a two-port adapter plugged, an adapter that was unplugged again, a foreign serial card and the
// files of an older version.
#include "uninstall_machine_fixture.h"

namespace {

TEST_F(UninstallMachineTest, TheSearchesFindEveryTraceAndNothingForeign) {
    CPmWin2kUninstallOperation operation;
    Search(operation);
    const CPmWin2kUninstallData& data = operation.Data();

    std::vector<std::string> devices;
    for (ULONG i = 1; i <= data.m_DeviceList.m_Count(); ++i) {
        std::string id;
        data.m_DeviceList.m_Nth(i)->m_RegInfo.m_GetRegistryProperty(SPDRP_HARDWAREID, id);
        devices.push_back(Upper(id));
    }
    std::vector<std::u16string> expected{adapter_, unplugged_, unplugged_ports_[0]};
    for (const auto& port : ports_) expected.push_back(port);
    for (const auto& i : ports_of(adapter_)) expected.push_back(i);
    size_t found = 0;
    for (ULONG i = 1; i <= data.m_DeviceList.m_Count(); ++i) {
        SP_DEVINFO_DATA device = data.m_DeviceList.m_Nth(i)->m_DeviceInfoData;
        char instance[MAX_DEVICE_ID_LEN] = {};
        ASSERT_TRUE(
            SetupDiGetDeviceInstanceIdA(data.m_hDeviceInfoSet, &device, instance, sizeof instance, nullptr));
        std::u16string id(instance, instance + strlen(instance));
        EXPECT_NE(id.find(u"HVTEST"), 0u) << instance;
        EXPECT_NE(id, foreign_);
        for (const auto& e : expected) found += Upper(Narrow(e)) == Upper(instance);
        // Each device once, although the port's ID holds three table IDs.
        for (ULONG j = i + 1; j <= data.m_DeviceList.m_Count(); ++j)
            EXPECT_NE(data.m_DeviceList.m_Nth(j)->m_DeviceInfoData.DevInst, device.DevInst) << instance;
    }
    EXPECT_EQ(expected.size(), found) << machine_->device_tree_text();

    for (const char* service : {"HVUSBSAM", "HVUVCP"})
        EXPECT_TRUE(Holds(data.m_ServiceList, service)) << service;
    EXPECT_FALSE(Holds(data.m_ServiceList, "HVTESTFUNC"));
    EXPECT_FALSE(Holds(data.m_ServiceList, "HVTESTBUS"));
    for (const char* file :
         {"C:\\WINDOWS\\SYSTEM32\\DRIVERS\\HVUBUS.SYS", "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\HVUVCP.SYS",
          "C:\\WINDOWS\\SYSTEM32\\HVUUI23.DLL", "C:\\WINDOWS\\SYSTEM32\\HVCOIN23.DLL",
          "C:\\WINDOWS\\SYSTEM32\\HVUUI20.DLL"})
        EXPECT_TRUE(Holds(data.m_DriverFileList, file))
            << file << "\n"
            << ::testing::PrintToString(Strings(data.m_DriverFileList));
    for (const auto& inf : package_infs_) {
        const std::string path = "C:\\WINDOWS\\INF\\" + Upper(inf);
        EXPECT_TRUE(Holds(data.m_InfList, path)) << inf;
        EXPECT_TRUE(Holds(data.m_OemInfList, inf) || Holds(data.m_OemInfList, path)) << inf;
    }
    // Those of the package, and the names of the product's own INF files.
    EXPECT_EQ(package_infs_.size(), data.m_InfList.GetCount())
        << ::testing::PrintToString(Strings(data.m_InfList));
    EXPECT_EQ(3 + package_infs_.size(), data.m_OemInfList.GetCount());
    for (const char* key :
         {"SYSTEM\\CURRENTCONTROLSET\\SERVICES\\HVUSBSAM", "SYSTEM\\CURRENTCONTROLSET\\SERVICES\\HVUVCP",
          "SYSTEM\\CURRENTCONTROLSET\\SERVICES\\HVUBUS21",
          "SYSTEM\\CURRENTCONTROLSET\\SERVICES\\EVENTLOG\\SYSTEM\\HVUSBSAM",
          "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarrow.USB",
          "SYSTEM\\CURRENTCONTROLSET\\ENUM\\USB\\VID_7A5C&PID_1002&MI_00",
          "SYSTEM\\CURRENTCONTROLSET\\ENUM\\USB\\VID_7A5C&PID_1001",
          "SYSTEM\\CURRENTCONTROLSET\\ENUM\\PORTS\\HVUSER23221"})
        EXPECT_TRUE(Holds(data.m_KeyList, key)) << key << "\n"
                                                << ::testing::PrintToString(Strings(data.m_KeyList));
    for (const auto& key : Strings(data.m_KeyList)) EXPECT_EQ(key.find("HVTEST"), std::string::npos) << key;
    std::vector<ULONG> numbers;
    for (POSITION at = data.m_ComNumberList.GetHeadPosition(); at;)
        numbers.push_back(data.m_ComNumberList.GetNext(at));
    std::vector<ULONG> expectedNumbers;
    for (const auto& name : names_) expectedNumbers.push_back(std::stoul(Narrow(name.substr(3))));
    std::sort(numbers.begin(), numbers.end());
    std::sort(expectedNumbers.begin(), expectedNumbers.end());
    EXPECT_EQ(expectedNumbers, numbers);
    EXPECT_TRUE(operation.ArePortsFree());
    EXPECT_FALSE(operation.IsRebootNeeded());
}

TEST_F(UninstallMachineTest, TheRemovalsTakeEveryTraceAndTheRestartTheRest) {
    CPmWin2kUninstallOperation operation;
    Search(operation);
    Remove(operation);
    ExpectNothingOfTheProduct(false);
    ExpectTheForeignCardUntouched();
    // Nothing the uninstaller opened to everyone is left so.
    for (const WCHAR* key : {u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports"}) {
        HKEY handle;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, READ_CONTROL, &handle));
        BYTE descriptor[512];
        DWORD size = sizeof descriptor;
        ASSERT_EQ(ERROR_SUCCESS, RegGetKeySecurity(handle, DACL_SECURITY_INFORMATION, descriptor, &size));
        RegCloseKey(handle);
        auto dacl = hvsim::user::dacl_of(std::vector<BYTE>(descriptor, descriptor + size));
        ASSERT_TRUE(dacl.has_value());
        for (const auto& entry : *dacl) EXPECT_FALSE(entry.sid == "S-1-1-0" && entry.mask == KEY_ALL_ACCESS);
    }

    // The adapter stays plugged through the restart.
    hvsim::add_saved_usb_device(root_, kAdapter);
    machine_->restart();
    hvsim::user::wait_for_device_installations();
    card_test::wait_quiet();
    ExpectNothingOfTheProduct(true);
    ExpectTheForeignCardUntouched();
    std::u16string adapter;
    for (const auto& device : machine_->usb_devices()) adapter = device.instance_id;
    ASSERT_FALSE(adapter.empty());
    EXPECT_TRUE(ports_below(adapter).empty()) << machine_->device_tree_text();
    for (const auto& interface : ports_of(adapter))
        EXPECT_EQ(u"<none>", value(interface, u"", u"Service")) << machine_->device_tree_text();
}

TEST_F(UninstallMachineTest, AnOpenPortStopsTheRemovalBeforeAnythingIsRemoved) {
    CPmWin2kUninstallOperation operation;
    Search(operation);
    ASSERT_TRUE(operation.ArePortsFree());
    // Opened after the search, while the user reads the confirmation.
    HANDLE port = CreateFileW((u"\\\\.\\" + names_[0]).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    EXPECT_FALSE(operation.ArePortsFree());
    EXPECT_FALSE(operation.UninstallProducts(nullptr));
    CloseHandle(port);
    for (const auto& p : ports_) EXPECT_TRUE(card_test::started(p));
    EXPECT_TRUE(ServiceExists("HvUsbSam"));
    EXPECT_TRUE(claimed(std::stoul(Narrow(names_[0].substr(3)))));
}

} // namespace
