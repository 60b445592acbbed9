// The service wrapper against the bus driver's service on a machine with the package and an
// adapter; the shims on the systems that have and lack what they look up; the restart; the
// deletion of the installed uninstaller.
#include "port_machine_fixture.h"

#include <shlwapi.h>

#include <hvsim/programs.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "HVServiceUtil.h"
#include "PmUninstallOperation.h"
#include "SystemShims.h"

namespace {

namespace fs = std::filesystem;

hvsim::user::WindowsVersion Version(DWORD platform, DWORD major, DWORD minor) {
    hvsim::user::WindowsVersion version;
    version.platform_id = platform;
    version.major = major;
    version.minor = minor;
    return version;
}

class ServiceTest : public PortMachineTest {
  protected:
    void SetUp() override {
        PortMachineTest::SetUp();
        if (HasFatalFailure()) return;
        if (std::string why = install_package(PortDriver::Package); !why.empty()) GTEST_SKIP() << why;
        plug_adapter("ftdi:vid=0x7A5C,pid=0x1001");
    }
};

TEST_F(ServiceTest, TheLoadedBusDriverRunsCannotBeStoppedAndIsMarkedForDeletion) {
    CHVServiceUtil service;
    ASSERT_TRUE(service.m_OpenService("HvUsbSam", SERVICE_ALL_ACCESS));
    EXPECT_TRUE(service.m_IsRunning());
    SERVICE_STATUS status{};
    EXPECT_TRUE(service.m_QueryStatus(&status));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), status.dwCurrentState);
    ASSERT_TRUE(service.m_QueryConfig());
    EXPECT_TRUE(CString(service.m_strBinaryPath).MakeUpper().Find("\\DRIVERS\\HVUBUS.SYS") > 0)
        << service.m_strBinaryPath.GetString();
    EXPECT_FALSE(service.m_strDisplayName.IsEmpty());
    // Its devices keep it loaded.
    EXPECT_FALSE(service.m_Stop());
    EXPECT_EQ(DWORD(ERROR_INVALID_SERVICE_CONTROL), GetLastError());

    // A missing service: nothing stays open, not even the service opened before.
    EXPECT_FALSE(service.m_OpenService("HvNoSuchService", SERVICE_ALL_ACCESS));
    EXPECT_FALSE(service.m_IsRunning());
    EXPECT_TRUE(service.m_Delete());

    ASSERT_TRUE(service.m_OpenService("HvUsbSam", SERVICE_ALL_ACCESS));
    EXPECT_TRUE(service.m_Delete());
    EXPECT_FALSE(service.m_QueryConfig()); // the handle went with the deletion
    CHVServiceUtil again;
    ASSERT_TRUE(again.m_OpenService("HvUsbSam", SERVICE_ALL_ACCESS));
    EXPECT_FALSE(again.m_Delete());
    EXPECT_EQ(DWORD(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
    EXPECT_TRUE(again.m_CloseService());
    EXPECT_TRUE(again.m_CloseManager());
}

TEST_F(ServiceTest, AStoppedServiceCannotBeStoppedAndALongConfigurationIsRead) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\HvLong", 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const std::string path = "\\SystemRoot\\System32\\drivers\\" + std::string(5000, 'x') + ".sys";
    const DWORD type = 1, start = 3, error = 1;
    RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, (const BYTE*)path.c_str(), DWORD(path.size() + 1));
    RegSetValueExA(key, "Type", 0, REG_DWORD, (const BYTE*)&type, 4);
    RegSetValueExA(key, "Start", 0, REG_DWORD, (const BYTE*)&start, 4);
    RegSetValueExA(key, "ErrorControl", 0, REG_DWORD, (const BYTE*)&error, 4);
    RegCloseKey(key);

    CHVServiceUtil service;
    ASSERT_TRUE(service.m_OpenService("HvLong", SERVICE_ALL_ACCESS));
    EXPECT_FALSE(service.m_IsRunning());
    EXPECT_FALSE(service.m_Stop());
    EXPECT_EQ(DWORD(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
    ASSERT_TRUE(service.m_QueryConfig());
    EXPECT_EQ(path, service.m_strBinaryPath.GetString());
}

TEST_F(ServiceTest, WithoutAnOpenServiceNothingIsAsked) {
    CHVServiceUtil service;
    EXPECT_FALSE(service.m_Control(SERVICE_CONTROL_INTERROGATE));
    EXPECT_FALSE(service.m_QueryStatus(nullptr));
    EXPECT_FALSE(service.m_QueryConfig());
    EXPECT_TRUE(service.m_CloseService());
    EXPECT_TRUE(service.m_CloseManager());
}

// The switch and RegDeleteKeyExA are found on the systems that have them, at every call.
TEST_F(PortMachineTest, TheShimsFollowTheSystem) {
    struct Case {
        hvsim::user::WindowsVersion version;
        BOOL redirection; // what EnableFsRedirection answers
        bool treeDeleted; // DeleteKeyEx of a key with a subkey
    } cases[] = {
        {Version(2, 5, 0), 1, true},
        {Version(2, 5, 1), TRUE, true},
        {Version(2, 6, 1), TRUE, false},
    };
    for (const auto& c : cases) {
        hvsim::user::set_windows_version(c.version);
        EXPECT_EQ(c.redirection, EnableFsRedirection(FALSE)) << c.version.minor;
        EXPECT_EQ(c.redirection, EnableFsRedirection(TRUE));
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\HvShim\\Sub", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegCloseKey(key);
        const LONG status = DeleteKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\HvShim", KEY_WOW64_64KEY, 0);
        EXPECT_EQ(c.treeDeleted, status == ERROR_SUCCESS) << c.version.major << "." << c.version.minor;
        EXPECT_EQ(!c.treeDeleted, key_exists(u"SOFTWARE\\HvShim"));
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\HvShim");
    }
}

TEST_F(PortMachineTest, TheRestartAsksForTheShutdownPrivilegeOnlyOnNt) {
    using hvsim::user::TokenKind;
    struct Case {
        hvsim::user::WindowsVersion version;
        TokenKind token;
        std::vector<std::u16string> boxes;
        bool restarts;
    } cases[] = {
        {Version(2, 6, 1), TokenKind::Administrator, {}, true},
        {Version(2, 5, 0), TokenKind::Administrator, {}, true},
        {Version(1, 4, 10), TokenKind::Administrator, {}, true},
        {Version(2, 6, 1), TokenKind::StandardUser, {}, true},
    };
    for (const auto& c : cases) {
        hvsim::user::set_windows_version(c.version);
        hvsim::user::set_registry_token(c.token);
        hvsim::user::reset_message_boxes();
        RestartWindows();
        std::vector<std::u16string> boxes;
        for (const auto& box : hvsim::user::message_box_transcript()) boxes.push_back(box.text);
        EXPECT_EQ(c.boxes, boxes) << c.version.major << "." << c.version.minor;
        auto request = hvsim::user::take_restart_request();
        EXPECT_EQ(c.restarts, request.has_value());
        if (request) {
            EXPECT_EQ(UINT(EWX_REBOOT | EWX_FORCE), *request);
        }
    }
    hvsim::user::set_registry_token(TokenKind::Administrator);
}

TEST_F(PortMachineTest, TheRescanTellsWhenOnlyARestartCompletesIt) {
    using hvsim::user::CmRoutine;
    struct Case {
        std::optional<std::pair<CmRoutine, DWORD>> failure;
        BOOL result;
        BOOL needRestart;
    } cases[] = {
        {std::nullopt, TRUE, FALSE},
        {std::make_pair(CmRoutine::ReenumerateDevNode, DWORD(CR_NEED_RESTART)), FALSE, TRUE},
        {std::make_pair(CmRoutine::ReenumerateDevNode, DWORD(CR_FAILURE)), FALSE, FALSE},
        {std::make_pair(CmRoutine::LocateDevNode, DWORD(CR_NO_SUCH_DEVNODE)), FALSE, FALSE},
    };
    CPmUninstallOperation operation;
    for (const auto& c : cases) {
        if (c.failure) hvsim::user::cm_fail_next(c.failure->first, c.failure->second);
        BOOL needRestart = TRUE;
        EXPECT_EQ(c.result, operation.RescanDevices(&needRestart));
        EXPECT_EQ(c.needRestart, needRestart);
    }
    hvsim::user::reset_cm_hooks();
}

class SelfDeletionTest : public PortMachineTest {
  protected:
    void SetUp() override {
        PortMachineTest::SetUp();
        app_.m_pszExeName = "HvUUn23";
        std::ofstream(machine_->system_directory() / "HvUUn23.exe") << "image";
        hvsim::user::reset_process_records();
    }
    CWinApp app_;
    CPmUninstallOperation operation_;
};

// No system of the machine has the command interpreter: the file goes at the next start.
TEST_F(SelfDeletionTest, WithoutACommandInterpreterTheCopyIsDeletedAtTheRestart) {
    EXPECT_TRUE(operation_.DeleteInstalledUninstaller());
    auto started = hvsim::user::process_creations();
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ(u"command.com /c del \"C:\\Windows\\System32\\HvUUn23.exe\"", started[0].command_line);
    EXPECT_EQ(104u, started[0].startup_size);
    EXPECT_EQ(DWORD(STARTF_USESHOWWINDOW), started[0].startup_flags);
    EXPECT_EQ(WORD(SW_HIDE), started[0].show_window);
    EXPECT_EQ(DWORD(NORMAL_PRIORITY_CLASS), started[0].creation_flags);
    EXPECT_TRUE(started[0].inherit_handles);
    EXPECT_NE(DWORD(ERROR_SUCCESS), started[0].error);
    // Raised for the start, and lowered again.
    auto priorities = hvsim::user::priority_changes();
    ASSERT_EQ(2u, priorities.size());
    EXPECT_EQ(DWORD(REALTIME_PRIORITY_CLASS), priorities[0].priority_class);
    EXPECT_EQ(DWORD(NORMAL_PRIORITY_CLASS), priorities[1].priority_class);
    EXPECT_EQ(DWORD(NORMAL_PRIORITY_CLASS), GetPriorityClass(GetCurrentProcess()));

    machine_->restart();
    EXPECT_FALSE(fs::exists(machine_->system_directory() / "HvUUn23.exe"));
}

TEST_F(SelfDeletionTest, WithACommandInterpreterItRunsHidden) {
    fs::copy_file(HV_TEST_PROBE, machine_->system_directory() / "command.com");
    EXPECT_TRUE(operation_.DeleteInstalledUninstaller());
    auto started = hvsim::user::process_creations();
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ(DWORD(ERROR_SUCCESS), started[0].error);
    EXPECT_EQ(u"C:\\Windows\\System32\\command.com", started[0].image);
    machine_->restart();
    // Nothing was left to the restart.
    EXPECT_TRUE(fs::exists(machine_->system_directory() / "HvUUn23.exe"));
}

TEST_F(SelfDeletionTest, WithoutAProgramNameNothingIsStarted) {
    app_.m_pszExeName = nullptr;
    EXPECT_FALSE(operation_.DeleteInstalledUninstaller());
    EXPECT_TRUE(hvsim::user::process_creations().empty());
}

} // namespace
