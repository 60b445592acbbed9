// The COM port database: claims, releases, next free, usage reports and growth.
#include <windows.h>
#include <msports.h>

#include <gtest/gtest.h>
#include <hvsim/kernel.h>
#include <hvsim/user_hooks.h>

namespace {

constexpr const WCHAR* kArbiter = u"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

LSTATUS RegGetValueRaw(const WCHAR* name, DWORD* type, BYTE* data, DWORD* size) {
    HKEY key;
    if (LSTATUS e = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kArbiter, 0, KEY_READ, &key)) return e;
    LSTATUS e = RegQueryValueExW(key, name, nullptr, type, data, size);
    RegCloseKey(key);
    return e;
}

class ComDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvsim::kernel_boot({});
        hvsim::user::reset_comdb_hooks();
        ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db_));
    }
    void TearDown() override {
        ComDBClose(db_);
        hvsim::kernel_shutdown();
    }
    DWORD size() {
        DWORD ports = 0;
        EXPECT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(db_, nullptr, 0, CDB_REPORT_BYTES, &ports));
        return ports;
    }
    HCOMDB db_ = HCOMDB_INVALID_HANDLE_VALUE;
};

TEST_F(ComDbTest, ClaimsAndReleasesShowInTheReport) {
    EXPECT_EQ(256u, size());
    BOOL forced = TRUE;
    EXPECT_EQ(ERROR_SUCCESS, ComDBClaimPort(db_, 1, FALSE, &forced));
    EXPECT_FALSE(forced);
    EXPECT_EQ(ERROR_SHARING_VIOLATION, ComDBClaimPort(db_, 1, FALSE, &forced));
    EXPECT_EQ(ERROR_SUCCESS, ComDBClaimPort(db_, 1, TRUE, &forced));
    EXPECT_TRUE(forced);
    EXPECT_EQ(ERROR_SUCCESS, ComDBClaimPort(db_, 256, FALSE, nullptr));

    BYTE bytes[256] = {};
    DWORD reported = 0;
    ASSERT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(db_, bytes, sizeof bytes, CDB_REPORT_BYTES, &reported));
    EXPECT_EQ(256u, reported);
    EXPECT_EQ(1, bytes[0]);
    EXPECT_EQ(0, bytes[1]);
    EXPECT_EQ(1, bytes[255]);

    BYTE bits[32] = {};
    ASSERT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(db_, bits, sizeof bits, CDB_REPORT_BITS, &reported));
    EXPECT_EQ(0x01, bits[0]);
    EXPECT_EQ(0x80, bits[31]);

    EXPECT_EQ(ERROR_SUCCESS, ComDBReleasePort(db_, 1));
    EXPECT_EQ(ERROR_SUCCESS, ComDBReleasePort(db_, 1)); // releasing a free port is harmless
    ASSERT_EQ(ERROR_SUCCESS, ComDBGetCurrentPortUsage(db_, bytes, sizeof bytes, CDB_REPORT_BYTES, &reported));
    EXPECT_EQ(0, bytes[0]);
}

TEST_F(ComDbTest, NumbersOutsideTheDatabaseAreRefused) {
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBClaimPort(db_, 0, TRUE, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBClaimPort(db_, 257, TRUE, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBReleasePort(db_, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBReleasePort(db_, 300));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ComDBClaimPort(HCOMDB_INVALID_HANDLE_VALUE, 3, FALSE, nullptr));
}

TEST_F(ComDbTest, NextFreeIsTheLowestUnclaimedNumber) {
    ComDBClaimPort(db_, 1, FALSE, nullptr);
    ComDBClaimPort(db_, 2, FALSE, nullptr);
    ComDBClaimPort(db_, 4, FALSE, nullptr);
    DWORD number = 0;
    ASSERT_EQ(ERROR_SUCCESS, ComDBClaimNextFreePort(db_, &number));
    EXPECT_EQ(3u, number);
    ASSERT_EQ(ERROR_SUCCESS, ComDBClaimNextFreePort(db_, &number));
    EXPECT_EQ(5u, number);
    for (DWORD n = 6; n <= 256; ++n) ComDBClaimPort(db_, n, FALSE, nullptr);
    EXPECT_EQ(ERROR_NO_LOG_SPACE, ComDBClaimNextFreePort(db_, &number));

    // Growing the database makes room beyond 256, and the claims stay.
    EXPECT_EQ(ERROR_BAD_LENGTH, ComDBResizeDatabase(db_, 256));
    EXPECT_EQ(ERROR_BAD_LENGTH, ComDBResizeDatabase(db_, 1000));
    EXPECT_EQ(ERROR_BAD_LENGTH, ComDBResizeDatabase(db_, 8192));
    ASSERT_EQ(ERROR_SUCCESS, ComDBResizeDatabase(db_, 1024));
    EXPECT_EQ(1024u, size());
    ASSERT_EQ(ERROR_SUCCESS, ComDBClaimNextFreePort(db_, &number));
    EXPECT_EQ(257u, number);
    EXPECT_EQ(ERROR_SUCCESS, ComDBClaimPort(db_, 1024, FALSE, nullptr));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, ComDBClaimPort(db_, 1, FALSE, nullptr));
}

TEST_F(ComDbTest, OpenersShareOneDatabaseKeptInTheRegistry) {
    HCOMDB second;
    ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&second));
    ASSERT_EQ(ERROR_SUCCESS, ComDBClaimPort(db_, 7, FALSE, nullptr));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, ComDBClaimPort(second, 7, FALSE, nullptr));
    ComDBClose(second);
    BYTE bits[64];
    DWORD type = 0, size = sizeof bits;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueRaw(u"ComDB", &type, bits, &size));
    EXPECT_EQ(DWORD(REG_BINARY), type);
    ASSERT_EQ(32u, size);
    EXPECT_EQ(0x40, bits[0]);
}

TEST_F(ComDbTest, InjectedFailuresLeaveAnInvalidHandle) {
    hvsim::user::comdb_fail_next_open(ERROR_ACCESS_DENIED);
    HCOMDB other = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, ComDBOpen(&other));
    EXPECT_EQ(HCOMDB_INVALID_HANDLE_VALUE, other);
    hvsim::user::comdb_fail_next_report(ERROR_GEN_FAILURE);
    BYTE bytes[256];
    EXPECT_EQ(ERROR_GEN_FAILURE, ComDBGetCurrentPortUsage(db_, bytes, sizeof bytes, CDB_REPORT_BYTES, nullptr));
    auto calls = hvsim::user::comdb_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ("ComDBGetCurrentPortUsage", calls.back().routine);
}

TEST_F(ComDbTest, AValueThatIsNotABitmapIsLeftAlone) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kArbiter, 0, KEY_SET_VALUE, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"ComDB", 0, REG_SZ, (const BYTE*)u"junk", 10));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_INVALID_DATA, ComDBClaimPort(db_, 3, FALSE, nullptr));
    WCHAR text[8] = {};
    DWORD type = 0, size = sizeof text;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueRaw(u"ComDB", &type, (BYTE*)text, &size));
    EXPECT_EQ(std::u16string(u"junk"), text);
}

} // namespace
