// What refuses to go during the removal (a device that vetoes its removal, a file in use, a key
// the administrators may not touch) is left to the restart, and the operation asks for it.
#include "uninstall_machine_fixture.h"

#include <hvsim/machine_drives.h>

namespace {

bool PendingDeletion(const std::u16string& path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                      &key))
        return false;
    WCHAR data[4096] = {};
    DWORD size = sizeof data - 4;
    const LSTATUS status =
        RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, nullptr, (BYTE*)data, &size);
    RegCloseKey(key);
    if (status) return false;
    for (const WCHAR* p = data; *p; p += std::char_traits<char16_t>::length(p) + 1) {
        std::u16string entry(p);
        if (entry.starts_with(u"\\??\\")) entry = entry.substr(4);
        if (Upper(Narrow(entry)) == Upper(Narrow(path))) return true;
    }
    return false;
}

TEST_F(UninstallMachineTest, AFileInUseIsDeletedAtTheRestart) {
    HANDLE file = CreateFileA("C:\\Windows\\System32\\HvCoIn23.dll", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CPmWin2kUninstallOperation operation;
    Search(operation);
    Remove(operation);
    CloseHandle(file);
    EXPECT_TRUE(operation.IsRebootNeeded());
    EXPECT_LE(1, operation.Data().m_FailedDeletionList.GetCount());
    EXPECT_TRUE(operation.Data().m_FailedDeletionList.Find("C:\\WINDOWS\\SYSTEM32\\HVCOIN23.DLL"));
    EXPECT_TRUE(PendingDeletion(u"C:\\Windows\\System32\\HvCoIn23.dll"));
    EXPECT_TRUE(fs::exists(machine_->system_directory() / "HvCoIn23.dll"));
    // The read-only one of the older version was made writable and deleted at once.
    EXPECT_FALSE(fs::exists(machine_->system_directory() / "HvUUI20.dll"));

    hvsim::add_saved_usb_device(root_, kAdapter);
    machine_->restart();
    hvsim::user::wait_for_device_installations();
    card_test::wait_quiet();
    ExpectNothingOfTheProduct(true);
    ExpectTheForeignCardUntouched();
}

TEST_F(UninstallMachineTest, AKeyThatCannotBeDeletedKeepsItsOwnProtectionAndAsksForTheRestart) {
    // A subkey that only the system may touch keeps its parent, the old service's key.
    const auto locked = hvsim::user::make_security_descriptor({{"S-1-5-18", KEY_ALL_ACCESS}}, "S-1-5-18");
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\HvUBUS21\\Locked", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                               const_cast<BYTE*>(locked.data())));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_ACCESS_DENIED,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\HvUBUS21\\Locked", 0,
                            DELETE, &key));
    // The old service's key has a protection of its own.
    const auto own = hvsim::user::make_security_descriptor(
        {{"S-1-5-32-544", KEY_ALL_ACCESS}, {"S-1-5-18", KEY_ALL_ACCESS}});
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\HvUBUS21", 0, WRITE_DAC,
                            &key));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, const_cast<BYTE*>(own.data())));
    RegCloseKey(key);
    const auto before = DaclOf("SYSTEM\\CurrentControlSet\\Services\\HvUBUS21");

    CPmWin2kUninstallOperation operation;
    Search(operation);
    Remove(operation);
    EXPECT_TRUE(operation.IsRebootNeeded());
    EXPECT_TRUE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\HvUBUS21"));
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(2u, before->size());
    EXPECT_EQ(before, DaclOf("SYSTEM\\CurrentControlSet\\Services\\HvUBUS21"));
    // Everything else went.
    EXPECT_FALSE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\HvUsbSam"));
    EXPECT_FALSE(fs::exists(machine_->inf_directory() / package_infs_[0]));
}

// The test driver serves the ports, so that one of them can refuse its removal.
class VetoTest : public UninstallMachineTest {
  protected:
    PortDriver driver() const override { return PortDriver::Test; }
};

TEST_F(VetoTest, AVetoedRemovalIsCompletedByTheRestart) {
    HKEY key;
    ASSERT_EQ(
        ERROR_SUCCESS,
        RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      (u"SYSTEM\\CurrentControlSet\\Enum\\" + ports_[0] + u"\\Device Parameters").c_str(), 0,
                      KEY_ALL_ACCESS, &key));
    DWORD refuse = 1;
    RegSetValueExW(key, u"RefuseQueryRemove", 0, REG_DWORD, (const BYTE*)&refuse, 4);
    RegCloseKey(key);
    install_port_driver_again();
    ASSERT_TRUE(card_test::started(ports_[0]));

    CPmWin2kUninstallOperation operation;
    Search(operation);
    Remove(operation);
    EXPECT_TRUE(operation.IsRebootNeeded());
    // The device that refused is still there until the restart.
    EXPECT_TRUE(card_test::started(ports_[0]));

    hvsim::add_saved_usb_device(root_, kAdapter);
    machine_->restart();
    hvsim::user::wait_for_device_installations();
    card_test::wait_quiet();
    ExpectNothingOfTheProduct(true);
    ExpectTheForeignCardUntouched();
}

} // namespace
