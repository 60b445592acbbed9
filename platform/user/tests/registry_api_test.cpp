// The Win32 registry API: lengths, terminators and error codes, enumeration, deletion rules and
// key security.
#include <windows.h>

#include <gtest/gtest.h>
#include <hvsim/kernel.h>
#include <hvsim/user_hooks.h>

#include <cstring>
#include <string>

namespace {

class RegistryApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvsim::kernel_boot({});
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvTest", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key_, nullptr));
    }
    void TearDown() override {
        RegCloseKey(key_);
        EXPECT_EQ(0u, hvsim::user::open_registry_handles());
        hvsim::user::set_registry_token(hvsim::user::TokenKind::Administrator);
        hvsim::kernel_shutdown();
    }
    HKEY key_ = nullptr;
};

TEST_F(RegistryApiTest, StringValuesKeepExactlyTheBytesWritten) {
    // COM5 written without its terminator stays 8 bytes and comes back unterminated.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, u"PortName", 0, REG_SZ, (const BYTE*)u"COM5", 8));
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'x');
    DWORD type = 0, size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, u"PortName", nullptr, &type, (BYTE*)buffer, &size));
    EXPECT_EQ(DWORD(REG_SZ), type);
    EXPECT_EQ(8u, size);
    EXPECT_EQ(u'x', buffer[4]);

    // With its terminator: 10 bytes.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, u"Other", 0, REG_SZ, (const BYTE*)u"COM5", 10));
    size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, u"Other", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(10u, size);
}

TEST_F(RegistryApiTest, ShortBuffersAndMissingValuesGiveTheirErrors) {
    DWORD value = 0x12345678;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, u"Number", 0, REG_DWORD, (const BYTE*)&value, 4));
    BYTE small[3];
    DWORD size = sizeof small, type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key_, u"Number", nullptr, &type, small, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(DWORD(REG_DWORD), type);

    size = 4;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key_, u"Missing", nullptr, nullptr, small, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(key_, u"Number", nullptr, nullptr, small, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(key_, u"Missing"));

    HKEY missing = (HKEY)1;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(key_, u"NoSuchKey", 0, KEY_READ, &missing));
    EXPECT_EQ(nullptr, missing);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW((HKEY)0x7777, u"Number", nullptr, nullptr, nullptr, &size));
}

TEST_F(RegistryApiTest, NarrowFormsConvertNamesAndStrings) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "InfPath", 0, REG_SZ, (const BYTE*)"oem3.inf", 9));
    WCHAR wide[16] = {};
    DWORD size = sizeof wide;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, u"INFPATH", nullptr, nullptr, (BYTE*)wide, &size));
    EXPECT_EQ(18u, size);
    EXPECT_EQ(std::u16string(u"oem3.inf"), wide);

    char narrow[50] = {};
    size = sizeof narrow;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "InfPath", nullptr, nullptr, (BYTE*)narrow, &size));
    EXPECT_EQ(9u, size);
    EXPECT_STREQ("oem3.inf", narrow);
    size = 4;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key_, "InfPath", nullptr, nullptr, (BYTE*)narrow, &size));
    EXPECT_EQ(9u, size);
}

TEST_F(RegistryApiTest, EnumerationCountsCharactersAndEndsWithNoMoreItems) {
    HKEY sub;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key_, u"Child1", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
    RegCloseKey(sub);
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key_, u"Child1", 0, nullptr, 0, KEY_READ, nullptr, &sub, &disposition));
    EXPECT_EQ(DWORD(REG_OPENED_EXISTING_KEY), disposition);
    RegCloseKey(sub);

    WCHAR name[8];
    DWORD count = 8;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(key_, 0, name, &count, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(6u, count);
    EXPECT_EQ(std::u16string(u"Child1"), name);
    count = 6; // no room for the terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(key_, 0, name, &count, nullptr, nullptr, nullptr, nullptr));
    count = 8;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExW(key_, 1, name, &count, nullptr, nullptr, nullptr, nullptr));
    char narrow[50];
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(key_, 0, narrow, sizeof narrow));
    EXPECT_STREQ("Child1", narrow);

    DWORD one = 1;
    RegSetValueExW(key_, u"First", 0, REG_DWORD, (const BYTE*)&one, 4);
    RegSetValueExW(key_, u"Second", 0, REG_SZ, (const BYTE*)u"abc", 8);
    WCHAR value_name[16];
    BYTE data[16];
    DWORD name_count = 16, data_size = sizeof data, type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(key_, 1, value_name, &name_count, nullptr, &type, data, &data_size));
    EXPECT_EQ(std::u16string(u"Second"), value_name);
    EXPECT_EQ(6u, name_count);
    EXPECT_EQ(8u, data_size);
    EXPECT_EQ(DWORD(REG_SZ), type);
    name_count = 16;
    data_size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(key_, 1, value_name, &name_count, nullptr, &type, data, &data_size));
    EXPECT_EQ(8u, data_size);
    name_count = 16;
    data_size = sizeof data;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueW(key_, 2, value_name, &name_count, nullptr, &type, data, &data_size));
}

TEST_F(RegistryApiTest, KeysWithSubkeysAreNotDeleted) {
    HKEY sub;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(key_, u"Save\\UI1", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
    RegCloseKey(sub);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(key_, u"Save"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(key_, u"Save\\UI1"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(key_, u"Save"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(key_, u"Save"));
}

TEST_F(RegistryApiTest, HandlesAllowOnlyTheAccessTheyWereOpenedWith) {
    HKEY reader;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HvTest", 0, KEY_READ, &reader));
    DWORD one = 1;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExW(reader, u"X", 0, REG_DWORD, (const BYTE*)&one, 4));
    HKEY sub;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(reader, u"New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
    RegCloseKey(reader);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(reader));
}

TEST_F(RegistryApiTest, DaclsDecideWhoOpensAKey) {
    using hvsim::user::AccessEntry;
    HKEY sub;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(key_, u"Protected", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
    // SYSTEM full control, everyone may read, administrators may also change the DACL.
    auto descriptor = hvsim::user::make_security_descriptor(
        {{"S-1-5-18", KEY_ALL_ACCESS}, {"S-1-1-0", KEY_READ}, {"S-1-5-32-544", KEY_READ | WRITE_DAC}}, "S-1-5-18");
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(sub, DACL_SECURITY_INFORMATION, descriptor.data()));
    RegCloseKey(sub);

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(key_, u"Protected", 0, KEY_ALL_ACCESS, &sub));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(key_, u"Protected", 0, KEY_READ, &sub));
    RegCloseKey(sub);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(key_, u"Protected"));

    hvsim::user::set_registry_token(hvsim::user::TokenKind::StandardUser);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(key_, u"Protected", 0, WRITE_DAC, &sub));
    hvsim::user::set_registry_token(hvsim::user::TokenKind::Administrator);

    // The administrator grants everyone full control; afterwards the DACL is exactly that.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(key_, u"Protected", 0, WRITE_DAC | READ_CONTROL, &sub));
    auto open = hvsim::user::make_security_descriptor({{"S-1-1-0", KEY_ALL_ACCESS}});
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(sub, DACL_SECURITY_INFORMATION, open.data()));
    BYTE buffer[256];
    DWORD size = 4;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, RegGetKeySecurity(sub, DACL_SECURITY_INFORMATION, buffer, &size));
    size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegGetKeySecurity(sub, DACL_SECURITY_INFORMATION, buffer, &size));
    auto dacl = hvsim::user::dacl_of(std::vector<BYTE>(buffer, buffer + size));
    ASSERT_TRUE(dacl.has_value());
    ASSERT_EQ(1u, dacl->size());
    EXPECT_EQ("S-1-1-0", (*dacl)[0].sid);
    EXPECT_EQ(ACCESS_MASK(KEY_ALL_ACCESS), (*dacl)[0].mask);
    RegCloseKey(sub);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(key_, u"Protected"));
}

TEST_F(RegistryApiTest, DenyOnlyAdministratorsGetNoAdministratorRights) {
    HKEY sub;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(key_, u"AdminOnly", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
    auto descriptor = hvsim::user::make_security_descriptor({{"S-1-5-32-544", KEY_ALL_ACCESS}}, "S-1-5-18");
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(sub, DACL_SECURITY_INFORMATION, descriptor.data()));
    RegCloseKey(sub);
    hvsim::user::set_registry_token(hvsim::user::TokenKind::FilteredAdministrator);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(key_, u"AdminOnly", 0, KEY_READ, &sub));
    hvsim::user::set_registry_token(hvsim::user::TokenKind::Administrator);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(key_, u"AdminOnly", 0, KEY_READ, &sub));
    RegCloseKey(sub);
}

} // namespace
