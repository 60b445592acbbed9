// The searches' rules on machines laid out by hand: the subsystem filter, the service paths as
// the machine stores them, the COM numbers of port instances, and the INF files by system.
#include "port_machine_fixture.h"

#include "card_machine.h"

#include <filesystem>
#include <fstream>

#include <commctrl.h>

#include "PmWin2kUninstallOperation.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Strings(const CStringList& list) {
    std::vector<std::string> out;
    for (POSITION at = list.GetHeadPosition(); at;) out.emplace_back(list.GetNext(at).GetString());
    return out;
}

void WriteKey(const std::string& path, const std::vector<std::pair<const char*, std::string>>& strings,
              const char* multi = nullptr) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    for (const auto& [name, text] : strings)
        RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text.c_str(), DWORD(text.size() + 1));
    if (multi) {
        std::string value = std::string(multi) + '\0' + '\0';
        RegSetValueExA(key, "HardwareID", 0, REG_MULTI_SZ, (const BYTE*)value.data(), DWORD(value.size()));
    }
    RegCloseKey(key);
}

using SearchTest = PortMachineTest;

TEST_F(SearchTest, ADeviceOfASubsystemFromHex0800To0BFFIsPassedOver) {
    struct Case {
        const char* id;
        bool taken;
    } cases[] = {
        {"USB\\VID_7A5C&PID_1001&SUBSYS_0A001234", false},
        {"USB\\VID_7A5C&PID_1001&SUBSYS_08000000", false},
        {"USB\\VID_7A5C&PID_1001&SUBSYS_0C001234", true},
        {"USB\\VID_7A5C&PID_1001&SUBSYS_07FFFFFF", true},
        // Only the digits that are there are read.
        {"USB\\VID_7A5C&PID_1001&SUBSYS_0A", true},
        {"USB\\VID_7A5C&PID_1001&SUBSYS_", true},
        {"USB\\VID_7A5C&PID_1001", true},
    };
    std::vector<std::u16string> instances;
    for (size_t i = 0; i < std::size(cases); ++i) {
        instances.push_back(card_test::add_root_device(u"ROOT\\HVSUB" + std::u16string(1, u'A' + i)));
        OpenedDevice device(instances.back());
        std::string ids = std::string(cases[i].id) + '\0' + '\0';
        ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(device.set, &device.data, SPDRP_HARDWAREID,
                                                      (const BYTE*)ids.data(), DWORD(ids.size())));
    }
    CPmWin2kUninstallOperation operation;
    ASSERT_TRUE(operation.SearchProducts(nullptr));
    const auto& list = operation.Data().m_DeviceList;
    for (size_t i = 0; i < std::size(cases); ++i) {
        bool found = false;
        for (ULONG n = 1; n <= list.m_Count(); ++n) {
            char id[MAX_DEVICE_ID_LEN] = {};
            SP_DEVINFO_DATA data = list.m_Nth(n)->m_DeviceInfoData;
            SetupDiGetDeviceInstanceIdA(operation.Data().m_hDeviceInfoSet, &data, id, sizeof id, nullptr);
            found = found || std::u16string(id, id + strlen(id)) == instances[i];
        }
        EXPECT_EQ(cases[i].taken, found) << cases[i].id;
    }
}

// A service's binary path as the machine stores it, in each of its forms.
TEST_F(SearchTest, AServicesDriverIsFoundWhereverItsPathPointsTo) {
    struct Case {
        const char* service;
        const char* imagePath;
        const char* file;
    } cases[] = {
        {"HvUSER21", "\\SystemRoot\\System32\\drivers\\HvOld21.sys",
         "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\HVOLD21.SYS"},
        {"HvUSER22", "System32\\DRIVERS\\HvOld22.sys", "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\HVOLD22.SYS"},
        {"HvUSER23", "\\??\\C:\\Program Files\\HvOld23.sys", "C:\\PROGRAM FILES\\HVOLD23.SYS"},
        {"HvENUM23", "C:\\Windows\\HvOld24.sys", "C:\\WINDOWS\\HVOLD24.SYS"},
        {"HvENUM22", "%SystemRoot%\\System32\\drivers\\HvOld25.sys",
         "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\HVOLD25.SYS"},
    };
    for (const auto& c : cases) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                                  (std::string("SYSTEM\\CurrentControlSet\\Services\\") + c.service).c_str(),
                                  0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        const DWORD type = 1, start = 3;
        RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, (const BYTE*)c.imagePath,
                       DWORD(strlen(c.imagePath) + 1));
        RegSetValueExA(key, "Type", 0, REG_DWORD, (const BYTE*)&type, 4);
        RegSetValueExA(key, "Start", 0, REG_DWORD, (const BYTE*)&start, 4);
        RegCloseKey(key);
    }
    CPmWin2kUninstallOperation operation;
    ASSERT_TRUE(operation.SearchDriverFiles(nullptr));
    const auto files = Strings(operation.Data().m_DriverFileList);
    for (const auto& c : cases)
        EXPECT_NE(std::find(files.begin(), files.end(), c.file), files.end())
            << c.imagePath << "\n"
            << ::testing::PrintToString(files);
}

TEST_F(SearchTest, PortInstancesGiveTheirComNumbersOnlyWhenTheyAreTheProducts) {
    struct Case {
        const char* instance;
        const char* service;
        const char* portName;
    } cases[] = {
        {"0001", "HvUVCP", "COM12"}, {"0002", "HvUVCP", "COM"}, // no number
        {"0003", "HvUVCP", "CO"},                               // shorter than "COM"
        {"0004", "HvUVCP", "COMX"},                             // no digits
        {"0005", "HvUVCP", "COM0"},                             // no port 0
        {"0006", "HvUVCP", "COM7x"},                            // the leading digits
        {"0007", "Serial", "COM9"},                             // another maker's driver
        {"0008", "", "COM14"},                                  // no service: taken
    };
    for (const auto& c : cases) {
        const std::string instance =
            std::string("SYSTEM\\CurrentControlSet\\Enum\\Ports\\HVUSER23221\\") + c.instance;
        std::vector<std::pair<const char*, std::string>> values{{"Class", "Ports"}};
        if (*c.service) values.emplace_back("Service", c.service);
        WriteKey(instance, values, "PORTS\\HVUSER23221");
        WriteKey(instance + "\\Device Parameters", {{"PortName", c.portName}});
    }
    CPmWin2kUninstallOperation operation;
    ASSERT_TRUE(operation.SearchRegistryEntries(nullptr));
    std::vector<ULONG> numbers;
    const auto& list = operation.Data().m_ComNumberList;
    for (POSITION at = list.GetHeadPosition(); at;) numbers.push_back(list.GetNext(at));
    EXPECT_EQ((std::vector<ULONG>{12, 7, 14}), numbers);
    const auto keys = Strings(operation.Data().m_KeyList);
    EXPECT_NE(std::find(keys.begin(), keys.end(), "SYSTEM\\CURRENTCONTROLSET\\ENUM\\PORTS\\HVUSER23221"),
              keys.end());
}

// On Windows 2000 a product INF is taken by its name; later systems read it for a product class
// and ID.
TEST_F(SearchTest, TheProductsInfFilesByNameOnWindows2000AndByTextLater) {
    struct Case {
        hvsim::user::WindowsVersion version;
        const char* text;
        bool taken;
    } cases[] = {
        {{5, 0, 2195}, "[Version]\nClass=Other\n", true},
        {{6, 1, 7601}, "[Version]\nClass=Other\n", false},
        {{6, 1, 7601}, "[Version]\nClass=Ports\n[M]\n%D%=I, PORTS\\HVUSER23221\n", true},
    };
    for (const auto& c : cases) {
        hvsim::user::set_windows_version(c.version);
        std::ofstream(machine_->inf_directory() / "HVUSER.inf", std::ios::binary) << c.text;
        CPmWin2kUninstallOperation operation;
        ASSERT_TRUE(operation.SearchDriverFiles(nullptr));
        const auto infs = Strings(operation.Data().m_InfList);
        EXPECT_EQ(c.taken, std::find(infs.begin(), infs.end(), "C:\\WINDOWS\\INF\\HVUSER.INF") != infs.end())
            << c.version.major << " " << c.text;
    }
}

// The page's step bar: one step per file entry removed; an entry whose file is already gone
// takes none.
TEST_F(SearchTest, TheStepBarCountsTheEntriesThatWereThere) {
    for (const char* name : {"HvUUI10.dll", "HvUUI11.dll", "HvCoIn10.dll"})
        std::ofstream(machine_->system_directory() / name) << "old";
    HWND window =
        CreateWindowExW(0, PROGRESS_CLASSW, u"", WS_POPUP, 0, 0, 100, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    CProgressCtrl bar;
    ASSERT_TRUE(bar.Attach(window));
    auto range = [&] {
        PBRANGE r{};
        SendMessageW(window, PBM_GETRANGE, FALSE, LPARAM(&r));
        return std::make_pair(r.iLow, r.iHigh);
    };

    CPmWin2kUninstallOperation operation;
    ASSERT_TRUE(operation.SearchDriverFiles(&bar));
    EXPECT_EQ(std::make_pair(0, 1), range());
    EXPECT_EQ(1, bar.GetPos());
    ASSERT_EQ(3, operation.Data().m_DriverFileList.GetCount());

    fs::remove(machine_->system_directory() / "HvUUI11.dll");
    ASSERT_TRUE(operation.UninstallDriverFiles(&bar));
    EXPECT_EQ(std::make_pair(1, 3), range());
    EXPECT_EQ(3, bar.GetPos());
    EXPECT_FALSE(operation.IsRebootNeeded());
    EXPECT_FALSE(fs::exists(machine_->system_directory() / "HvUUI10.dll"));

    bar.Detach();
    DestroyWindow(window);
}

} // namespace
