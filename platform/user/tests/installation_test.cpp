// Device installation end to end on a machine: an INF with a test driver installed for a
// plugged device and for an arriving one, the Ports class installer's COM name, co-installers
// with both passes, refusals and failures, the INF store, removal and restart.
#include <windows.h>
#include <cfgmgr32.h>
#include <msports.h>
#include <newdev.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <hvsim/machine_drives.h>
#include <hvsim/user_hooks.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "installation_machine.h"
#include "support/folder_test.h"

namespace {

namespace fs = std::filesystem;

// The test driver registers an interface of this class when "InterfaceRef" is set.
// {5C1E8A20-7D43-4B6E-9A51-2F0C3D8E6B17}
constexpr GUID kTestInterface = {0x5c1e8a20, 0x7d43, 0x4b6e, {0x9a, 0x51, 0x2f, 0x0c, 0x3d, 0x8e, 0x6b, 0x17}};
// The tests' own setup class.
constexpr GUID kTestClass = {0x6a1f3b52, 0x0c7e, 0x4d19, {0x8e, 0x41, 0x7b, 0x2d, 0x90, 0x3c, 0x55, 0xa8}};
constexpr const char* kTestClassText = "{6A1F3B52-0C7E-4D19-8E41-7B2D903C55A8}";
constexpr const char* kPortsClassText = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

std::string inf_text(const char* klass, const char* guid, const char* image = "hvtestfunc.sys") {
    return std::string("; A test INF\r\n[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=") + klass +
           "\r\nClassGuid=" + guid + R"(
Provider=%Prov%
DriverVer=01/02/2024,1.2.3.4

[Manufacturer]
%Prov%=Models,NTamd64

[Models.NTamd64]
%Desc%=TestInstall, ROOT\HVINFTEST, ROOT\HVINFOTHER

[DestinationDirs]
DefaultDestDir = 12
Test.CoCopy = 11

[TestInstall.NT]
CopyFiles=Test.Copy
AddReg=Test.DrvReg

[TestInstall.NT.HW]
AddReg=Test.HwReg

[TestInstall.NT.Services]
AddService = HvTestFunc, 0x00000002, Test.Service

[Test.Service]
DisplayName    = %Desc%
ServiceType    = 1
StartType      = 3
ErrorControl   = 1
ServiceBinary  = %12%\)" +
           image + R"(

[TestInstall.NT.CoInstallers]
CopyFiles=Test.CoCopy
AddReg=Test.CoReg

[Test.Copy]
)" + image +
           R"(

[Test.CoCopy]
HvTestCoInst.dll

[Test.DrvReg]
HKR,,EnumPropPages32,,"HvUUI23.dll,HvUPortPropPage"

[Test.HwReg]
HKR,,InterfaceRef,,"*"
HKR,,Number,0x00010001,42
HKR,,Ids,0x00010000,"first","second"
HKR,Child1,ContextID,0x00010001,0x10

[Test.CoReg]
HKR,,CoInstallers32,0x00010000,"HvTestCoInst.dll,HvTestDeviceCoInstaller"

[Strings]
Prov = "Test Maker" ; the provider
Desc = "Test serial port"
)";
}

class InstallationTest : public hvtest::FolderTest {
protected:
    void SetUp() override {
        root_ = machine_root();
        installation_test::boot(root_);
        source_ = root_ / "package";
        fs::create_directories(source_);
        fs::copy_file(HV_TESTFUNC_IMAGE, source_ / "hvtestfunc.sys");
        fs::copy_file(HV_TEST_COINSTALLER, source_ / "HvTestCoInst.dll");
    }
    void TearDown() override {
        EXPECT_EQ(0u, hvsim::user::open_device_info_sets());
        EXPECT_EQ(0u, hvsim::user::loaded_libraries());
        installation_test::shutdown();
        FolderTest::TearDown();
    }

    std::u16string write_inf(const std::string& text, const char* name = "hvtest.inf") {
        std::ofstream(source_ / name, std::ios::binary) << text;
        std::string path = (source_ / name).string();
        return std::u16string(path.begin(), path.end());
    }

    // The class co-installer registered for a class, as the platform keeps it.
    void register_class_coinstaller(const char* guid) {
        fs::copy_file(HV_TEST_COINSTALLER, root_ / "C" / "Windows" / "System32" / "HvTestCoInst.dll",
                      fs::copy_options::overwrite_existing);
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\CoDeviceInstallers", 0,
                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        const char16_t list[] = u"HvTestCoInst.dll,HvTestClassCoInstaller\0";
        std::u16string name(guid, guid + std::strlen(guid));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name.c_str(), 0, REG_MULTI_SZ, (const BYTE*)list, sizeof list));
        RegCloseKey(key);
    }

    static void script(const char16_t* name, DWORD answer) {
        HKEY key;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvCoTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&answer, 4);
        RegCloseKey(key);
    }

    static std::vector<std::string> calls() {
        std::vector<std::string> out;
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvCoTest", 0, KEY_READ, &key)) return out;
        char buffer[8192] = {};
        DWORD size = sizeof buffer - 2;
        RegQueryValueExA(key, "Calls", nullptr, nullptr, (BYTE*)buffer, &size);
        RegCloseKey(key);
        for (const char* p = buffer; *p; p += std::strlen(p) + 1) out.emplace_back(p);
        return out;
    }

    static std::u16string device_string(const std::u16string& instance, const char16_t* subkey, const char16_t* name) {
        std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance;
        if (*subkey) path += std::u16string(u"\\") + subkey;
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return u"<no key>";
        WCHAR text[256] = {};
        DWORD size = sizeof text - 2;
        LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr, (BYTE*)text, &size);
        RegCloseKey(key);
        return status ? u"<none>" : std::u16string(text);
    }

    static DWORD device_dword(const std::u16string& instance, const char16_t* subkey, const char16_t* name) {
        std::u16string path = u"SYSTEM\\CurrentControlSet\\Enum\\" + instance + u"\\" + subkey;
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return 0xDEAD;
        DWORD value = 0, size = 4;
        RegQueryValueExW(key, name, nullptr, nullptr, (BYTE*)&value, &size);
        RegCloseKey(key);
        return value;
    }

    fs::path root_, source_;
};

TEST_F(InstallationTest, DriverUpdateInstallsAPluggedDeviceAndItsDriverLoads) {
    std::u16string device = installation_test::add_device(u"ROOT\\HVINFTEST");
    EXPECT_EQ(DWORD(CM_PROB_FAILED_INSTALL), installation_test::problem_of(device));

    BOOL reboot = TRUE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(
        nullptr, u"root\\hvinftest", write_inf(inf_text("HvTestClass", kTestClassText)).c_str(), 0, &reboot))
        << GetLastError() << " " << hvsim::user::last_installation_error();
    EXPECT_FALSE(reboot);
    EXPECT_EQ("started", installation_test::state_of(device));
    EXPECT_TRUE(installation_test::driver_loaded(u"HvTestFunc"));
    EXPECT_TRUE(fs::exists(root_ / "C" / "Windows" / "System32" / "drivers" / "hvtestfunc.sys"));
    EXPECT_TRUE(fs::exists(root_ / "C" / "Windows" / "inf" / "oem0.inf"));

    // The INF's values, where the INF put them.
    EXPECT_EQ(42u, device_dword(device, u"Device Parameters", u"Number"));
    EXPECT_EQ(0x10u, device_dword(device, u"Device Parameters\\Child1", u"ContextID"));
    EXPECT_EQ(u"HvTestFunc", device_string(device, u"", u"Service"));
    EXPECT_EQ(u"Test serial port", device_string(device, u"", u"DeviceDesc"));
    EXPECT_EQ(u"HvTestClass", device_string(device, u"", u"Class"));

    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, device.c_str(), nullptr, 0, &data));
    EXPECT_EQ(0, std::memcmp(&kTestClass, &data.ClassGuid, sizeof(GUID)));
    BYTE ids[256];
    DWORD type = 0, required = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, ids, sizeof ids, &required));
    EXPECT_EQ(DWORD(REG_MULTI_SZ), type);
    EXPECT_EQ(u"ROOT\\HVINFTEST", std::u16string((const WCHAR*)ids));
    HKEY driver_key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    ASSERT_NE((HKEY)INVALID_HANDLE_VALUE, driver_key);
    char text[64] = {};
    DWORD size = sizeof text;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(driver_key, "InfPath", nullptr, nullptr, (BYTE*)text, &size));
    EXPECT_STREQ("oem0.inf", text);
    size = sizeof text;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(driver_key, "MatchingDeviceId", nullptr, nullptr, (BYTE*)text, &size));
    EXPECT_STREQ("ROOT\\HVINFTEST", text);
    size = sizeof text;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(driver_key, "EnumPropPages32", nullptr, nullptr, (BYTE*)text, &size));
    EXPECT_STREQ("HvUUI23.dll,HvUPortPropPage", text);
    RegCloseKey(driver_key);
    SetupDiDestroyDeviceInfoList(set);

    // The driver registered its interface: user mode finds it by class.
    HDEVINFO interfaces =
        SetupDiGetClassDevsW(&kTestInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, interfaces);
    SP_DEVICE_INTERFACE_DATA interface { sizeof interface, {}, 0, 0 };
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(interfaces, nullptr, &kTestInterface, 0, &interface));
    EXPECT_EQ(DWORD(SPINT_ACTIVE), interface.Flags);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(interfaces, &interface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    std::vector<BYTE> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA owner{sizeof owner, {}, 0, 0};
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(interfaces, &interface, detail, required, nullptr, &owner));
    EXPECT_TRUE(std::u16string(detail->DevicePath).starts_with(u"\\\\?\\ROOT#"));
    HANDLE file = CreateFileW(detail->DevicePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(interfaces, nullptr, &kTestInterface, 1, &interface));
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
    SetupDiDestroyDeviceInfoList(interfaces);
}

TEST_F(InstallationTest, AnArrivingDeviceThatMatchesAStoredInfIsInstalled) {
    ASSERT_TRUE(SetupCopyOEMInfW(write_inf(inf_text("HvTestClass", kTestClassText)).c_str(), nullptr, SPOST_PATH, 0,
                                 nullptr, 0, nullptr, nullptr));
    std::u16string device = installation_test::add_device(u"ROOT\\HVINFOTHER");
    hvsim::user::wait_for_device_installations();
    EXPECT_EQ("started", installation_test::state_of(device));
    EXPECT_EQ(42u, device_dword(device, u"Device Parameters", u"Number"));
    EXPECT_EQ(u"Test serial port", device_string(device, u"", u"DeviceDesc"));

    // A device no INF names is left without a driver.
    std::u16string other = installation_test::add_device(u"ROOT\\NOBODYSDEVICE");
    EXPECT_EQ(DWORD(CM_PROB_FAILED_INSTALL), installation_test::problem_of(other));
}

TEST_F(InstallationTest, ADeviceMarkedForReinstallationGetsItsDriverAgainWhenItStarts) {
    std::u16string device = installation_test::add_device(u"ROOT\\HVINFTEST");
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(
        nullptr, u"ROOT\\HVINFTEST", write_inf(inf_text("HvTestClass", kTestClassText)).c_str(), 0, nullptr));
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, device.c_str(), nullptr, 0, &data));
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_WRITE);
    DWORD changed = 7;
    RegSetValueExW(key, u"Number", 0, REG_DWORD, (const BYTE*)&changed, 4);
    RegCloseKey(key);
    DWORD flags = 0x20; // CONFIGFLAG_REINSTALL
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_CONFIGFLAGS, (const BYTE*)&flags, 4));

    SP_PROPCHANGE_PARAMS change{
        {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE}, DICS_PROPCHANGE, DICS_FLAG_GLOBAL, 0};
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &change.ClassInstallHeader, sizeof change));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
    hvsim::user::wait_for_device_installations();
    EXPECT_EQ("started", installation_test::state_of(device));
    EXPECT_EQ(42u, device_dword(device, u"Device Parameters", u"Number"));
    DWORD type = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_CONFIGFLAGS, &type, (BYTE*)&flags, 4, nullptr));
    EXPECT_EQ(0u, flags & 0x20);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(InstallationTest, APortsDeviceGetsTheNextFreeComNameBeforeThePostPass) {
    HCOMDB db;
    ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
    ComDBClaimPort(db, 1, FALSE, nullptr);
    ComDBClaimPort(db, 2, FALSE, nullptr);
    ComDBClose(db);
    register_class_coinstaller(kPortsClassText);
    std::u16string device = installation_test::add_device(u"ROOT\\HVINFTEST");
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"ROOT\\HVINFTEST",
                                                   write_inf(inf_text("Ports", kPortsClassText)).c_str(), 0, nullptr))
        << GetLastError() << " " << hvsim::user::last_installation_error();

    EXPECT_EQ(u"COM3", device_string(device, u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"Test serial port (COM3)", device_string(device, u"", u"FriendlyName"));
    EXPECT_EQ("started", installation_test::state_of(device));
    BYTE usage[8] = {};
    ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
    ASSERT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(db, usage, sizeof usage, CDB_REPORT_BYTES, nullptr));
    ComDBClose(db);
    EXPECT_EQ(1, usage[2]);
    EXPECT_EQ(0, usage[3]);

    // Class co-installer first, then the device's; the post passes in reverse, after the class
    // installer has named the port.
    std::vector<std::string> expected = {"class 34 pre 0 -", "class 2 pre 0 -", "device 2 pre 0 -",
                                         "device 2 post 0 COM3", "class 2 post 0 COM3"};
    auto seen = calls();
    ASSERT_GE(seen.size(), expected.size());
    EXPECT_EQ(expected, std::vector<std::string>(seen.end() - expected.size(), seen.end()));

    // Each call loaded the library and released it again.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvCoTest", 0, KEY_READ, &key));
    DWORD attached = 0, detached = 0, size = 4;
    RegQueryValueExW(key, u"Attached", nullptr, nullptr, (BYTE*)&attached, &size);
    size = 4;
    RegQueryValueExW(key, u"Detached", nullptr, nullptr, (BYTE*)&detached, &size);
    RegCloseKey(key);
    EXPECT_GE(attached, 2u); // one load per class installer call at least
    EXPECT_EQ(attached, detached);
}

TEST_F(InstallationTest, ACoInstallerThatRefusesStopsTheInstallationAndThePostPassSeesWhy) {
    register_class_coinstaller(kTestClassText);
    script(u"devicePre2", ERROR_DI_DONT_INSTALL);
    std::u16string device = installation_test::add_device(u"ROOT\\HVINFTEST");
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(
        nullptr, u"ROOT\\HVINFTEST", write_inf(inf_text("HvTestClass", kTestClassText)).c_str(), 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_DI_DONT_INSTALL), GetLastError());
    EXPECT_FALSE(installation_test::driver_loaded(u"HvTestFunc"));
    EXPECT_NE("started", installation_test::state_of(device));
    auto seen = calls();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ("device 2 pre 0 -", seen[seen.size() - 2]);
    EXPECT_EQ("class 2 post E000022B -", seen.back());
}

TEST_F(InstallationTest, APostPassResultBecomesTheInstallationResult) {
    register_class_coinstaller(kTestClassText);
    script(u"classPost2", ERROR_GEN_FAILURE);
    std::u16string device = installation_test::add_device(u"ROOT\\HVINFTEST");
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(
        nullptr, u"ROOT\\HVINFTEST", write_inf(inf_text("HvTestClass", kTestClassText)).c_str(), 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), GetLastError());
}

TEST_F(InstallationTest, AMissingDriverImageFailsCleanlyWithItsName) {
    std::u16string device = installation_test::add_device(u"ROOT\\HVINFTEST");
    std::u16string inf = write_inf(inf_text("HvTestClass", kTestClassText, "HvMissing.sys"));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"ROOT\\HVINFTEST", inf.c_str(), 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_NE(std::string::npos, hvsim::user::last_installation_error().find("HvMissing.sys"));
    EXPECT_EQ(DWORD(CM_PROB_FAILED_INSTALL), installation_test::problem_of(device));

    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"ROOT\\HVINFTEST", u"/no/such/file.inf", 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"ROOT\\NOTPLUGGED", inf.c_str(), 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_NO_SUCH_DEVINST), GetLastError());
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, nullptr, inf.c_str(), 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}

// The setup program reads its INF files from its own folder on the installation medium.
TEST_F(InstallationTest, AnInfOnTheMediumIsCopiedIntoTheStore) {
    write_inf(inf_text("HvTestClass", kTestClassText), "HVTEST.INF");
    hvsim::user::set_media_folder(source_);
    char name[MAX_PATH];
    EXPECT_TRUE(SetupCopyOEMInfA("d:\\hvtest.inf", nullptr, SPOST_PATH, 0, name, sizeof name, nullptr, nullptr));
    EXPECT_STREQ("C:\\Windows\\inf\\oem0.inf", name);
    EXPECT_FALSE(SetupCopyOEMInfA("D:\\..\\hvtest.inf", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    hvsim::user::set_media_folder(std::nullopt);
    EXPECT_TRUE(fs::exists(source_ / "HVTEST.INF"));
}

TEST_F(InstallationTest, TheInfStoreKeepsOneCopyAndRefusesToDropAnInfInUse) {
    std::u16string inf = write_inf(inf_text("HvTestClass", kTestClassText));
    char name[MAX_PATH];
    char* component = nullptr;
    DWORD required = 0;
    std::string narrow(inf.begin(), inf.end());
    ASSERT_TRUE(SetupCopyOEMInfA(narrow.c_str(), nullptr, SPOST_PATH, 0, name, sizeof name, &required, &component));
    EXPECT_STREQ("C:\\Windows\\inf\\oem0.inf", name);
    EXPECT_STREQ("oem0.inf", component);
    EXPECT_EQ(std::strlen(name) + 1, required);
    ASSERT_TRUE(SetupCopyOEMInfA(narrow.c_str(), nullptr, SPOST_PATH, 0, name, sizeof name, nullptr, nullptr));
    EXPECT_STREQ("C:\\Windows\\inf\\oem0.inf", name);
    EXPECT_FALSE(
        SetupCopyOEMInfA(narrow.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(SetupCopyOEMInfA("C:\\nowhere\\x.inf", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(SetupCopyOEMInfA(narrow.c_str(), nullptr, SPOST_PATH, 0, name, 5, &required, nullptr));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    installation_test::add_device(u"ROOT\\HVINFTEST"); // installed at arrival from the store
    hvsim::user::wait_for_device_installations();
    EXPECT_FALSE(SetupUninstallOEMInfA("oem0.inf", 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_INF_IN_USE_BY_DEVICES), GetLastError());
    EXPECT_FALSE(SetupUninstallOEMInfA("C:\\Windows\\inf\\oem0.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_TRUE(SetupUninstallOEMInfA("OEM0.INF", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(fs::exists(root_ / "C" / "Windows" / "inf" / "oem0.inf"));
    EXPECT_FALSE(fs::exists(root_ / "C" / "Windows" / "inf" / "oem0.pnf"));
    EXPECT_FALSE(SetupUninstallOEMInfA("oem0.inf", SUOI_FORCEDELETE, nullptr));
}

TEST_F(InstallationTest, RemovalCallsTheCoInstallersAndDeletesTheDevice) {
    std::u16string device = installation_test::add_device(u"ROOT\\HVINFTEST");
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(
        nullptr, u"ROOT\\HVINFTEST", write_inf(inf_text("HvTestClass", kTestClassText)).c_str(), 0, nullptr));
    HDEVINFO set = SetupDiGetClassDevsW(&kTestClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));

    // A restart through the class installer: disable, then enable.
    SP_PROPCHANGE_PARAMS change{
        {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE}, DICS_DISABLE, DICS_FLAG_GLOBAL, 0};
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &change.ClassInstallHeader, sizeof change));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
    EXPECT_EQ(DWORD(CM_PROB_DISABLED), installation_test::problem_of(device));
    change.StateChange = DICS_ENABLE;
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &change.ClassInstallHeader, sizeof change));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
    EXPECT_EQ("started", installation_test::state_of(device));

    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
    auto seen = calls();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ("device 5 pre 0 -", seen[seen.size() - 2]);
    EXPECT_EQ("device 5 post 0 -", seen.back());
    EXPECT_EQ(u"<no key>", device_string(device, u"", u"Service"));
    EXPECT_FALSE(SetupDiRemoveDevice(set, &data));
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace

namespace {

// The package's INF files, installed with the test driver standing in for the images.
class PackageInfTest : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        for (const char* inf : {"HVUBUS.INF", "HVUSER.INF"})
            fs::copy_file(fs::path(HV_PACKAGE_DIR) / inf, source_ / inf);
        for (const char* image : {"HvUBus.sys", "HvUVCP.sys"}) fs::copy_file(HV_TESTFUNC_IMAGE, source_ / image);
        // Libraries that are not images yet: the runner skips a co-installer it cannot load.
        for (const char* other : {"HvUUI23.dll", "HvCoIn23.dll", "HvUUn23.exe"}) std::ofstream(source_ / other) << "x";
    }
    std::u16string inf(const char* name) {
        std::string path = (source_ / name).string();
        return std::u16string(path.begin(), path.end());
    }
};

TEST_F(PackageInfTest, TheBusInfNamesEveryHardwareIdOfTheSetupProgram) {
    auto ids = hvsim::user::inf_hardware_ids(inf("HVUBUS.INF"));
    // The setup program's 89 IDs in its order, then the third and fourth function of each of the
    // 28 composite products.
    ASSERT_EQ(89u + 2 * 28u, ids.size());
    EXPECT_EQ(u"USB\\VID_7A5C&PID_1001", ids.front());
    EXPECT_EQ(u"USB\\VID_7A5C&PID_1002&MI_01", ids[3]);
    EXPECT_EQ(u"USB\\VID_7A5C&PID_2003&MI_01", ids[88]);
    EXPECT_EQ(u"USB\\VID_7A5C&PID_1002&MI_02", ids[89]);
    EXPECT_EQ(u"USB\\VID_7A5C&PID_2003&MI_03", ids.back());
    EXPECT_EQ((std::vector<std::u16string>{u"PORTS\\HVUSER23221", u"PORTS\\HVUSER42248521"}),
              hvsim::user::inf_hardware_ids(inf("HVUSER.INF")));
    EXPECT_TRUE(hvsim::user::inf_missing_files(inf("HVUBUS.INF")).empty());
    fs::remove(source_ / "HvUBus.sys");
    EXPECT_EQ(std::vector<std::u16string>{u"HvUBus.sys"}, hvsim::user::inf_missing_files(inf("HVUBUS.INF")));
}

TEST_F(PackageInfTest, ABusDeviceGetsTheValuesItsDriverReads) {
    std::u16string device = installation_test::add_device(u"USB\\VID_7A5C&PID_1002&MI_01");
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"USB\\VID_7A5C&PID_1002&MI_01", inf("HVUBUS.INF").c_str(),
                                                   0, nullptr))
        << GetLastError() << " " << hvsim::user::last_installation_error();
    EXPECT_TRUE(installation_test::driver_loaded(u"HvUsbSam"));
    EXPECT_EQ(u"HvUsbSam", device_string(device, u"", u"Service"));
    EXPECT_EQ(u"HvUBus", device_string(device, u"", u"Class"));
    EXPECT_EQ(1u, device_dword(device, u"Device Parameters", u"NumberChildDevices"));
    EXPECT_EQ(1u, device_dword(device, u"Device Parameters\\Child1", u"ContextID"));
    EXPECT_EQ(u"PORTS\\HVUSER23221", device_string(device, u"Device Parameters\\Child1", u"BusQueryHardwareIDs"));
    EXPECT_EQ(0u, device_dword(device, u"Device Parameters\\USB", u"DeviceClass"));
    EXPECT_EQ(1u, device_dword(device, u"Device Parameters\\EndPoint1", u"InterfaceNumber"));
    EXPECT_EQ(0x83u, device_dword(device, u"Device Parameters\\EndPoint1", u"EndPointAddress"));
    EXPECT_EQ(2u, device_dword(device, u"Device Parameters\\EndPoint2", u"EndPointHandle"));
    EXPECT_EQ(0x04u, device_dword(device, u"Device Parameters\\EndPoint2", u"EndPointAddress"));
    EXPECT_EQ(u"HvUUn23.exe", device_string(device, u"Device Parameters", u"UnInstall"));
    EXPECT_TRUE(fs::exists(root_ / "C" / "Windows" / "System32" / "drivers" / "HvUBus.sys"));
    EXPECT_TRUE(fs::exists(root_ / "C" / "Windows" / "System32" / "HvCoIn23.dll"));
}

TEST_F(PackageInfTest, APortDeviceIsAComPortWithThePortCoInstallerRegistered) {
    std::u16string device = installation_test::add_device(u"PORTS\\HVUSER23221");
    ASSERT_TRUE(
        UpdateDriverForPlugAndPlayDevicesW(nullptr, u"PORTS\\HVUSER23221", inf("HVUSER.INF").c_str(), 0, nullptr))
        << GetLastError() << " " << hvsim::user::last_installation_error();
    EXPECT_TRUE(installation_test::driver_loaded(u"HvUVCP"));
    EXPECT_EQ(u"COM1", device_string(device, u"Device Parameters", u"PortName"));
    EXPECT_EQ(u"Halvorn USB Serial Port (COM1)", device_string(device, u"", u"FriendlyName"));
    EXPECT_EQ(u"", device_string(device, u"Device Parameters", u"CoInstallerDLL"));
    EXPECT_EQ(u"1", device_string(device, u"Device Parameters", u"NoUpgrade"));

    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, device.c_str(), nullptr, 0, &data));
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    ASSERT_NE((HKEY)INVALID_HANDLE_VALUE, key);
    WCHAR list[128] = {};
    DWORD size = sizeof list - 4;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"CoInstallers32", nullptr, nullptr, (BYTE*)list, &size));
    EXPECT_EQ(u"HvUUI23.dll,HvUCoInstallPort", std::u16string(list));
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace
