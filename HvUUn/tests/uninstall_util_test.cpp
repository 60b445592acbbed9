// The uninstall utility: the version questions on every system, the property test, the removal
// of a device and the opening of protected key trees.
#include "port_machine_fixture.h"

#include "card_machine.h"

#include <hvsim/security.h>

#include <optional>

#include "UninstallUtil.h"

namespace {

struct VersionCase {
    const char* name;
    DWORD platform, major, minor;
    BOOL win2000OrLater, windows2000, win98OrMe;
};

class VersionMatrix : public ::testing::TestWithParam<VersionCase> {
  protected:
    void TearDown() override { hvsim::user::set_windows_version(hvsim::user::WindowsVersion{}); }
};

TEST_P(VersionMatrix, AnswersEachQuestion) {
    const VersionCase& c = GetParam();
    hvsim::user::WindowsVersion version;
    version.platform_id = c.platform;
    version.major = c.major;
    version.minor = c.minor;
    hvsim::user::set_windows_version(version);
    CUninstallUtil util;
    EXPECT_EQ(c.win2000OrLater, util.m_IsWin2000OrLater());
    EXPECT_EQ(c.windows2000, util.m_IsWindows2000());
    EXPECT_EQ(c.win98OrMe, util.m_IsWin98OrMe());
}

// Windows 9x and NT 4 refuse the extended record: the plain one answers for them.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Systems, VersionMatrix, ::testing::Values(
    VersionCase{"Windows95", 1, 4, 0, FALSE, FALSE, FALSE},
    VersionCase{"Windows98", 1, 4, 10, FALSE, FALSE, TRUE},
    VersionCase{"WindowsMe", 1, 4, 90, FALSE, FALSE, TRUE},
    VersionCase{"WindowsNt4", 2, 4, 0, FALSE, FALSE, FALSE},
    VersionCase{"Windows2000", 2, 5, 0, TRUE, TRUE, FALSE},
    VersionCase{"WindowsXp", 2, 5, 1, TRUE, FALSE, FALSE},
    VersionCase{"WindowsVista", 2, 6, 0, TRUE, FALSE, FALSE},
    VersionCase{"Windows7", 2, 6, 1, TRUE, FALSE, FALSE}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

class UninstallUtilTest : public PortMachineTest {
  protected:
    static std::optional<std::vector<hvsim::user::AccessEntry>> Dacl(const std::string& path) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL, &key) != ERROR_SUCCESS)
            return std::nullopt;
        BYTE descriptor[1024];
        DWORD size = sizeof descriptor;
        const LSTATUS status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return std::nullopt;
        return hvsim::user::dacl_of(std::vector<BYTE>(descriptor, descriptor + size));
    }
    static bool EveryoneFullOnly(const std::string& path) {
        auto dacl = Dacl(path);
        return dacl && dacl->size() == 1 && (*dacl)[0].sid == "S-1-1-0" &&
               (*dacl)[0].mask == KEY_ALL_ACCESS && !(*dacl)[0].deny;
    }
    // A key that only the system may read; the administrators own it.
    static void CreateSystemOnlyKey(const std::string& path) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        const auto descriptor = hvsim::user::make_security_descriptor({{"S-1-5-18", KEY_ALL_ACCESS}});
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, const_cast<BYTE*>(descriptor.data())));
        RegCloseKey(key);
    }
};

TEST_F(UninstallUtilTest, ThePropertyTestReadsTheFirstIdOnlyAndIgnoresCase) {
    const std::u16string instance = card_test::add_root_device(u"ROOT\\HVFIRST");
    OpenedDevice device(instance);
    static const char ids[] = "root\\hvfirst&rev_01\0USB\\VID_7A5C&PID_1001\0";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(device.set, &device.data, SPDRP_HARDWAREID,
                                                  (const BYTE*)ids, sizeof ids));
    CUninstallUtil util;
    EXPECT_TRUE(util.m_DevicePropertyContains(device.set, "ROOT\\HVFIRST", &device.data, SPDRP_HARDWAREID));
    EXPECT_TRUE(util.m_DevicePropertyContains(device.set, "&REV_01", &device.data, SPDRP_HARDWAREID));
    EXPECT_FALSE(util.m_DevicePropertyContains(device.set, "USB\\VID_7A5C", &device.data, SPDRP_HARDWAREID));
    EXPECT_FALSE(util.m_DevicePropertyContains(device.set, "ROOT", &device.data, SPDRP_FRIENDLYNAME));
    EXPECT_FALSE(util.m_DevicePropertyContains(device.set, "ROOT", nullptr, SPDRP_HARDWAREID));
}

TEST_F(UninstallUtilTest, ARemovedDeviceCannotBeRemovedAgainButLeavesTheSet) {
    const std::u16string instance = card_test::add_root_device(u"ROOT\\HVGONE");
    OpenedDevice first(instance), second(instance);
    CUninstallUtil util;
    BOOL reboot = TRUE;
    EXPECT_TRUE(util.m_RemoveDevice(first.set, &first.data, &reboot));
    EXPECT_FALSE(reboot);
    EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Enum\\" + instance));
    EXPECT_FALSE(util.m_RemoveDevice(second.set, &second.data));
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(second.set, 0, &data));
}

TEST_F(UninstallUtilTest, AProtectedTreeIsOpenedToEveryoneFromTheTopDown) {
    CreateSystemOnlyKey("SOFTWARE\\HvTree");
    CreateSystemOnlyKey("SOFTWARE\\HvTree\\A");
    CreateSystemOnlyKey("SOFTWARE\\HvTree\\A\\B");
    HKEY key;
    ASSERT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\HvTree", 0, KEY_READ, &key));
    CUninstallUtil util;
    EXPECT_TRUE(util.m_GrantKeyTreeAccess("SOFTWARE\\HvTree", 0));
    for (const char* path : {"SOFTWARE\\HvTree", "SOFTWARE\\HvTree\\A", "SOFTWARE\\HvTree\\A\\B"})
        EXPECT_TRUE(EveryoneFullOnly(path)) << path;

    EXPECT_FALSE(util.m_GrantKeyTreeAccess("SOFTWARE\\HvNoSuchTree", 0));
    EXPECT_FALSE(key_exists(u"SOFTWARE\\HvNoSuchTree"));
}

TEST_F(UninstallUtilTest, TheTreeWalkStopsWhereAPathWouldNotFitItsBuffer) {
    // Each level adds 62 characters: the fourth level's path is 263 characters long.
    const std::string level(61, 'K');
    std::vector<std::string> paths{"SOFTWARE\\HvLong"};
    for (int i = 0; i < 4; ++i) paths.push_back(paths.back() + "\\" + level);
    for (const auto& path : paths) CreateSystemOnlyKey(path);
    ASSERT_GE(paths.back().size(), 260u);
    ASSERT_LT(paths[3].size(), 260u);
    EXPECT_TRUE(CUninstallUtil().m_GrantKeyTreeAccess(paths[0].c_str(), 0));
    for (size_t i = 0; i + 1 < paths.size(); ++i) EXPECT_TRUE(EveryoneFullOnly(paths[i])) << i;
    EXPECT_FALSE(EveryoneFullOnly(paths.back()));
}

TEST_F(UninstallUtilTest, TheSystemFolder) {
    CString dir;
    ASSERT_TRUE(CUninstallUtil().m_GetSystemDir(dir));
    EXPECT_STREQ("C:\\Windows\\System32", dir.GetString());
}

} // namespace
