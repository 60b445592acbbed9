// Opening devices and exchanging data with them through CreateFileW and friends, and the errors
// that bad requests from user mode get.
#include <hvsim/io.h>

#include <cstring>

#include "user_fixture.h"

using Events = std::vector<std::string>;

TEST_F(UserModeTest, RequestsReachTheDriverInOrderAndCloseEndsWithCleanupThenClose) {
    HANDLE h = open_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    char buffer[8] = {};
    ASSERT_TRUE(ReadFile(h, buffer, 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_STREQ(buffer, "hello");

    char out[16] = {};
    ASSERT_TRUE(DeviceIoControl(h, test_driver::kEcho, const_cast<char*>("ping"), 4, out, sizeof out, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(out, 4), "ping");

    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(test_driver::events(), (Events{"create ", "write 5", "read 5", "ioctl 0x00222000", "cleanup", "close"}));
    EXPECT_EQ(hvsim::user::current_process()->handle_count(), 0u);
}

TEST_F(UserModeTest, DevicesAreNamedThroughTheDosDeviceDirectoryAndTheKernelNamespace) {
    // The narrow entry point and the kernel's own path reach the same device.
    HANDLE a = CreateFileA("\\\\.\\hvutest", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(a, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(a);
    HANDLE b = open_device(0, u"\\\\.\\GLOBALROOT\\Device\\HvUserTest");
    ASSERT_NE(b, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(b);

    // A device-interface path: the part after the link's name arrives as the file name.
    ASSERT_EQ(hvsim::io::create_symbolic_link(u"\\??\\ROOT#HVTEST#0000#{6e3a91c4-52d7-4f08-9b1e-3c7d20a5f146}",
                                              u"\\Device\\HvUserTest"),
              0);
    HANDLE c = open_device(0, u"\\\\?\\ROOT#HVTEST#0000#{6e3a91c4-52d7-4f08-9b1e-3c7d20a5f146}\\HvGenDrv_Ref");
    ASSERT_NE(c, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(c);
    EXPECT_EQ(test_driver::events(), (Events{"create ", "cleanup", "close", "create ", "cleanup", "close",
                                             "create \\HvGenDrv_Ref", "cleanup", "close"}));
}

TEST_F(UserModeTest, OpensThatNameNoDeviceFailWithWindowsErrors) {
    struct Case {
        const WCHAR* path;
        DWORD error;
    } cases[] = {
        {u"\\\\.\\NOSUCHDEVICE", ERROR_FILE_NOT_FOUND},
        {u"\\\\.\\COM9", ERROR_FILE_NOT_FOUND},
        {u"COM9", ERROR_FILE_NOT_FOUND},
        {u"\\\\.\\GLOBALROOT\\Device\\Nothing", ERROR_FILE_NOT_FOUND},
        {u"", ERROR_PATH_NOT_FOUND},
        {u"\\\\.\\", ERROR_PATH_NOT_FOUND},
        {u"C:\\Windows\\win.ini", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(open_device(0, c.path), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error) << std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path));
    }
    SetLastError(0);
    EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileW(u"\\\\.\\HVUTEST", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Nothing reached the driver.
    EXPECT_TRUE(test_driver::events().empty());
}

TEST_F(UserModeTest, AnExclusiveDeviceRefusesASecondOpenUntilTheFirstCloses) {
    HANDLE first = open_device();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_device(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(first);
    HANDLE again = open_device();
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(again);
}

TEST_F(UserModeTest, AClosedOrForeignHandleGetsInvalidHandle) {
    HANDLE h = open_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(h));
    char buffer[4];
    DWORD n = 77;
    EXPECT_FALSE(ReadFile(h, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(h, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(DeviceIoControl(h, test_driver::kEcho, buffer, 4, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CancelIo(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // An event is no file.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ReadFile(event, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
    // Only the first open and its close reached the driver.
    EXPECT_EQ(test_driver::events(), (Events{"create ", "cleanup", "close"}));
}

TEST_F(UserModeTest, BadBuffersAndUnknownCodesGetTheErrorsWindowsGives) {
    HANDLE h = open_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 99;
    char small[2];
    // The driver refuses an output shorter than the input.
    EXPECT_FALSE(DeviceIoControl(h, test_driver::kEcho, const_cast<char*>("abcd"), 4, small, 2, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(DeviceIoControl(h, test_driver::ioctl(0x9FF), nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // No buffer behind a length: the I/O manager refuses before the driver sees it.
    test_driver::clear_events();
    EXPECT_FALSE(ReadFile(h, nullptr, 10, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_FALSE(WriteFile(h, nullptr, 10, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_FALSE(DeviceIoControl(h, test_driver::kEcho, nullptr, 8, small, 2, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_TRUE(test_driver::events().empty());

    // A zero-length read completes at once.
    EXPECT_TRUE(ReadFile(h, nullptr, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

// The statuses the drivers return, as DeviceIoControl reports them.
TEST_F(UserModeTest, CompletionStatusesBecomeWin32Results) {
    HANDLE h = open_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Case {
        ULONG status;
        BOOL result;
        DWORD error;
        DWORD bytes;
    } cases[] = {
        {0x00000000, TRUE, 0, 4},                          // STATUS_SUCCESS
        {0x00000102, TRUE, 0, 4},                          // STATUS_TIMEOUT is a success (serial reads)
        {0x80000005, FALSE, ERROR_MORE_DATA, 4},           // STATUS_BUFFER_OVERFLOW keeps the count
        {0xC0000023, FALSE, ERROR_INSUFFICIENT_BUFFER, 0}, // STATUS_BUFFER_TOO_SMALL
        {0xC0000001, FALSE, ERROR_GEN_FAILURE, 0},         // STATUS_UNSUCCESSFUL
        {0xC000000D, FALSE, ERROR_INVALID_PARAMETER, 0},   // STATUS_INVALID_PARAMETER
        {0xC0000010, FALSE, ERROR_INVALID_FUNCTION, 0},    // STATUS_INVALID_DEVICE_REQUEST
        {0xC00000BB, FALSE, ERROR_NOT_SUPPORTED, 0},       // STATUS_NOT_SUPPORTED
        {0xC0000120, FALSE, ERROR_OPERATION_ABORTED, 0},   // STATUS_CANCELLED
        {0xC00000B5, FALSE, ERROR_SEM_TIMEOUT, 0},         // STATUS_IO_TIMEOUT
        {0xC0000056, FALSE, ERROR_ACCESS_DENIED, 0},       // STATUS_DELETE_PENDING
        {0xC00002B6, FALSE, ERROR_DEV_NOT_EXIST, 0},       // STATUS_DEVICE_REMOVED
        {0xC0000184, FALSE, ERROR_BAD_COMMAND, 0},         // STATUS_INVALID_DEVICE_STATE
    };
    for (const auto& c : cases) {
        test_driver::CompleteWith request{static_cast<LONG>(c.status), 4};
        unsigned char out[8] = {};
        DWORD n = 1234;
        SetLastError(0);
        EXPECT_EQ(
            DeviceIoControl(h, test_driver::kCompleteWith, &request, sizeof request, out, sizeof out, &n, nullptr),
            c.result)
            << std::hex << c.status;
        if (!c.result) {
            EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        }
        EXPECT_EQ(n, c.bytes) << std::hex << c.status;
    }
    CloseHandle(h);
}
