// Regular files on the machine's drive: opening, reading and writing, searches, attributes,
// deletion and moves with the in-use rules, the C runtime's file routines, and paths that try to
// leave the machine.
#include <windows.h>
#include <io.h>
#include <mbstring.h>

#include <gtest/gtest.h>
#include <hvsim/machine_drives.h>
#include <hvsim/user.h>
#include <hvsim/user_hooks.h>

#include <cerrno>
#include <fstream>
#include <unistd.h>

#include "installation_machine.h"

namespace fs = std::filesystem;

namespace {

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        folder_ =
            fs::temp_directory_path() / ("hv-files-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(folder_);
        installation_test::boot(folder_ / "machine");
        fs::create_directories(drive() / "Temp");
    }
    void TearDown() override {
        hvsim::user::current_process()->close_all_handles();
        hvsim::user::set_registry_token(hvsim::user::TokenKind::Administrator);
        installation_test::shutdown();
        fs::remove_all(folder_);
    }
    fs::path drive() const { return folder_ / "machine" / "C"; }

    static HANDLE create(const WCHAR* path, DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD share = 0,
                         DWORD disposition = CREATE_ALWAYS, DWORD flags = 0) {
        return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    }
    static void write_file(const WCHAR* path, const std::string& text) {
        HANDLE h = create(path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
        CloseHandle(h);
    }

    fs::path folder_;
};

TEST_F(FilesTest, AFileIsWrittenReadAndSizedWhateverTheCaseOfItsName) {
    HANDLE h = create(u"C:\\Temp\\Note.TXT");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
    EXPECT_EQ(n, 11u);
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 11u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    char text[16] = {};
    ASSERT_TRUE(ReadFile(h, text, sizeof text, &n, nullptr));
    EXPECT_EQ(std::string(text, n), "world");
    // At the end a read succeeds with nothing.
    ASSERT_TRUE(ReadFile(h, text, sizeof text, &n, nullptr));
    EXPECT_EQ(n, 0u);
    SetLastError(0);
    EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_TRUE(CloseHandle(h));

    // The same file under another case; the host keeps the name it was created with.
    HANDLE again = create(u"c:\\temp\\NOTE.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(again, nullptr), 11u);
    EXPECT_FALSE(WriteFile(again, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(again);
    EXPECT_TRUE(fs::exists(drive() / "Temp" / "Note.TXT"));
    EXPECT_FALSE(fs::exists(drive() / "Temp" / "NOTE.txt"));
}

TEST_F(FilesTest, DispositionsGiveWindowsResults) {
    struct Case {
        const WCHAR* path;
        DWORD disposition;
        bool opens;
        DWORD error;
    } cases[] = {
        {u"C:\\Temp\\new.bin", CREATE_NEW, true, ERROR_SUCCESS},
        {u"C:\\Temp\\new.bin", CREATE_NEW, false, ERROR_FILE_EXISTS},
        {u"C:\\Temp\\new.bin", OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS},
        {u"C:\\Temp\\new.bin", CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS},
        {u"C:\\Temp\\other.bin", OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND},
        {u"C:\\Temp\\other.bin", TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND},
        {u"C:\\NoFolder\\x.bin", CREATE_ALWAYS, false, ERROR_PATH_NOT_FOUND},
        {u"C:\\Temp", OPEN_EXISTING, false, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SetLastError(12345);
        HANDLE h = create(c.path, GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << c.disposition;
        EXPECT_EQ(GetLastError(), c.error) << c.disposition;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    // A folder opens for its attributes with backup semantics.
    HANDLE folder =
        create(u"C:\\Temp", FILE_READ_ATTRIBUTES, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    EXPECT_NE(folder, INVALID_HANDLE_VALUE);
    CloseHandle(folder);
}

// Nothing outside the machine's folder is reached, whatever the path says.
TEST_F(FilesTest, PathsThatLeaveTheDriveAreRefused) {
    const fs::path outside = folder_ / "outside.txt";
    std::ofstream(outside) << "keep me";
    fs::create_directory_symlink(folder_, drive() / "Temp" / "escape");
    const std::u16string long_name(300, u'a');
    struct Case {
        std::u16string path;
        DWORD error;
    } cases[] = {
        {u"C:\\..\\outside.txt", ERROR_PATH_NOT_FOUND},
        {u"..\\..\\..\\..\\outside.txt", ERROR_PATH_NOT_FOUND},
        {u"C:\\Temp\\..\\..\\..\\outside.txt", ERROR_PATH_NOT_FOUND},
        {u"\\\\server\\share\\outside.txt", ERROR_BAD_NETPATH},
        {u"E:\\outside.txt", ERROR_PATH_NOT_FOUND},
        {u"D:\\outside.txt", ERROR_PATH_NOT_FOUND}, // no medium offered
        {u"C:\\Temp\\escape\\outside.txt", ERROR_ACCESS_DENIED},
        {u"C:\\Temp\\a<b", ERROR_INVALID_NAME},
        {u"C:\\Temp\\a*b", ERROR_INVALID_NAME},
        {u"\\\\?\\C:\\..\\outside.txt", ERROR_PATH_NOT_FOUND},
        {u"C:\\Temp\\" + long_name, ERROR_FILENAME_EXCED_RANGE},
        // A host path is a path of the current drive, as on Windows.
        {u"/" + std::u16string(outside.u16string()).substr(1), ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        const std::string shown(c.path.begin(), c.path.end());
        SetLastError(0);
        EXPECT_EQ(create(c.path.c_str(), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE) << shown;
        EXPECT_EQ(GetLastError(), c.error) << shown;
        EXPECT_FALSE(DeleteFileW(c.path.c_str())) << shown;
        EXPECT_FALSE(MoveFileW(c.path.c_str(), u"C:\\Temp\\moved.txt")) << shown;
        EXPECT_EQ(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES) << shown;
        EXPECT_FALSE(SetFileAttributesW(c.path.c_str(), FILE_ATTRIBUTE_READONLY)) << shown;
        std::string narrow(c.path.begin(), c.path.end());
        EXPECT_EQ(_unlink(narrow.c_str()), -1) << shown;
    }
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_FALSE(fs::exists(drive() / "Temp" / "moved.txt"));
    // Climbing inside the drive is fine.
    write_file(u"C:\\Temp\\..\\Temp\\.\\inside.txt", "x");
    EXPECT_TRUE(fs::exists(drive() / "Temp" / "inside.txt"));
}

TEST_F(FilesTest, SearchesMatchWildcardsWithoutRegardToCase) {
    fs::create_directories(drive() / "Windows" / "inf");
    for (const char* name : {"oem0.inf", "OEM1.INF", "oem0.pnf", "machine.inf", "oemx"})
        std::ofstream(drive() / "Windows" / "inf" / name) << "[Version]";
    auto names_of = [](const WCHAR* pattern) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        std::string narrow(pattern, pattern + std::char_traits<char16_t>::length(pattern));
        HANDLE h = FindFirstFileA(narrow.c_str(), &data);
        if (h == INVALID_HANDLE_VALUE) return names;
        do names.push_back(data.cFileName);
        while (FindNextFileA(h, &data));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(h));
        return names;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(names_of(u"C:\\Windows\\inf\\oem*.inf"), (Names{"oem0.inf", "OEM1.INF"}));
    EXPECT_EQ(names_of(u"c:\\windows\\INF\\OEM?.*"), (Names{"oem0.inf", "oem0.pnf", "OEM1.INF", "oemx"}));
    EXPECT_EQ(names_of(u"C:\\Windows\\inf\\oemx.*"), (Names{"oemx"}));
    EXPECT_EQ(names_of(u"C:\\Windows\\inf\\*.*").size(), 7u); // with "." and ".."
    EXPECT_EQ(names_of(u"C:\\Windows\\inf\\*.*").front(), ".");

    WIN32_FIND_DATAW data;
    EXPECT_EQ(FindFirstFileW(u"C:\\Windows\\inf\\*.sys", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileW(u"C:\\Nowhere\\*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    HANDLE h = FindFirstFileW(u"C:\\Windows\\inf\\machine.inf", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"machine.inf");
    EXPECT_EQ(data.nFileSizeLow, 9u);
    EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_ARCHIVE));
    FindClose(h);
    EXPECT_FALSE(FindClose(h));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

// Read-only holds whoever the host user is, and it is kept across boots.
TEST_F(FilesTest, ReadOnlyFilesRefuseWritesAndDeletionUntilMadeWritable) {
    write_file(u"C:\\Temp\\driver.sys", "image");
    ASSERT_TRUE(SetFileAttributesW(u"C:\\Temp\\driver.sys", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\TEMP\\DRIVER.SYS"), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(create(u"C:\\Temp\\driver.sys", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(u"C:\\Temp\\driver.sys"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    errno = 0;
    EXPECT_EQ(_access("C:\\Temp\\driver.sys", 6), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_access("C:\\Temp\\driver.sys", 4), 0);
    EXPECT_EQ(_unlink("C:\\Temp\\driver.sys"), -1);
    EXPECT_EQ(errno, EACCES);

    installation_test::shutdown();
    installation_test::boot(folder_ / "machine");
    EXPECT_EQ(GetFileAttributesW(u"C:\\Temp\\driver.sys"), DWORD(FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(_chmod("C:\\Temp\\driver.sys", _S_IREAD | _S_IWRITE), 0);
    EXPECT_EQ(_access("C:\\Temp\\driver.sys", 6), 0);
    EXPECT_EQ(_unlink("C:\\Temp\\driver.sys"), 0);
    EXPECT_EQ(_access("C:\\Temp\\driver.sys", 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_chmod("C:\\Temp\\driver.sys", _S_IWRITE), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(GetFileAttributesW(u"C:\\Temp"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FilesTest, AFileInUseRefusesDeletionAndMovesUnlessItsOpensShareDeletion) {
    struct Case {
        DWORD share;
        DWORD error; // of the deletion while the file is open
    } cases[] = {
        {0, ERROR_SHARING_VIOLATION},
        {FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_SHARING_VIOLATION},
        {FILE_SHARE_DELETE, ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        write_file(u"C:\\Temp\\busy.txt", "data");
        HANDLE h = create(u"C:\\Temp\\busy.txt", GENERIC_READ, c.share, OPEN_EXISTING);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        SetLastError(0);
        EXPECT_EQ(DeleteFileW(u"C:\\Temp\\busy.txt"), c.error == ERROR_SUCCESS) << c.share;
        EXPECT_EQ(GetLastError(), c.error) << c.share;
        if (c.error != ERROR_SUCCESS) {
            EXPECT_FALSE(MoveFileW(u"C:\\Temp\\busy.txt", u"C:\\Temp\\moved.txt"));
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(_unlink("C:\\Temp\\busy.txt"), -1);
            EXPECT_EQ(errno, EACCES);
            // A second open must share what the first one does, and the other way round.
            EXPECT_EQ(create(u"C:\\Temp\\busy.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
        }
        CloseHandle(h);
        DeleteFileW(u"C:\\Temp\\busy.txt");
        EXPECT_FALSE(fs::exists(drive() / "Temp" / "busy.txt"));
    }
    // Two readers that share reading get along.
    write_file(u"C:\\Temp\\shared.txt", "data");
    HANDLE a = create(u"C:\\Temp\\shared.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE b = create(u"C:\\Temp\\shared.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
}

TEST_F(FilesTest, ALoadedLibraryIsInUseUntilItIsFreed) {
    fs::create_directories(drive() / "Windows" / "System32");
    fs::copy_file(HV_TEST_COINSTALLER, drive() / "Windows" / "System32" / "HvTestCoInst.dll");
    HMODULE library = LoadLibraryW(u"HvTestCoInst.dll");
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(GetModuleHandleA("hvtestcoinst.dll"), library);
    EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\System32\\HvTestCoInst.dll"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(create(u"C:\\Windows\\System32\\HvTestCoInst.dll", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(FreeLibrary(library));
    EXPECT_EQ(GetModuleHandleA("HvTestCoInst.dll"), nullptr);
    EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\System32\\HvTestCoInst.dll"));
}

TEST_F(FilesTest, MovesFollowWindowsRules) {
    write_file(u"C:\\Temp\\a.txt", "a");
    write_file(u"C:\\Temp\\b.txt", "b");
    EXPECT_FALSE(MoveFileW(u"C:\\Temp\\a.txt", u"C:\\Temp\\b.txt"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(MoveFileExW(u"C:\\Temp\\a.txt", u"C:\\Temp\\b.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(fs::exists(drive() / "Temp" / "a.txt"));
    EXPECT_FALSE(MoveFileW(u"C:\\Temp\\a.txt", u"C:\\Temp\\c.txt"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(MoveFileW(u"C:\\Temp\\b.txt", u"C:\\Missing\\c.txt"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(MoveFileExW(u"C:\\Temp\\b.txt", nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // The attributes go with the file.
    ASSERT_TRUE(SetFileAttributesW(u"C:\\Temp\\b.txt", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(MoveFileA("C:\\Temp\\b.txt", "C:\\Temp\\c.txt"));
    EXPECT_EQ(GetFileAttributesW(u"C:\\Temp\\c.txt"), DWORD(FILE_ATTRIBUTE_HIDDEN));
    write_file(u"C:\\Temp\\b.txt", "new");
    EXPECT_EQ(GetFileAttributesW(u"C:\\Temp\\b.txt"), DWORD(FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(FilesTest, DelayedMovesAreListedForTheNextStartByAdministratorsOnly) {
    write_file(u"C:\\Temp\\old.dll", "x");
    hvsim::user::set_registry_token(hvsim::user::TokenKind::FilteredAdministrator);
    EXPECT_FALSE(MoveFileExA("C:\\Temp\\old.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    hvsim::user::set_registry_token(hvsim::user::TokenKind::Administrator);
    ASSERT_TRUE(MoveFileExA("c:\\temp\\old.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(u"C:\\Temp\\gone.dll", u"C:\\Temp\\new.dll",
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(
        MoveFileExW(u"C:\\Temp\\old.dll", u"C:\\Temp\\x.dll", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    HKEY key;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    WCHAR list[256] = {};
    DWORD size = sizeof list, type = 0;
    ASSERT_EQ(
        RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(list), &size),
        ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    static const char16_t kList[] = u"\\??\\C:\\Temp\\old.dll\0\0\\??\\C:\\Temp\\gone.dll\0!\\??\\C:\\Temp\\new.dll\0";
    const std::u16string expected(kList, std::size(kList));
    EXPECT_EQ(std::u16string(list, size / sizeof(WCHAR)), expected);

    // The start carries out what it can and reports the rest.
    auto done = hvsim::user::carry_out_pending_file_operations();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_TRUE(done[0].done);
    EXPECT_EQ(done[0].result, "deleted");
    EXPECT_FALSE(done[1].done);
    EXPECT_EQ(done[1].result, "the file was not found");
    EXPECT_FALSE(fs::exists(drive() / "Temp" / "old.dll"));
    EXPECT_TRUE(hvsim::user::carry_out_pending_file_operations().empty());
}

TEST_F(FilesTest, FoldersAreMadeAndRemovedWhenEmpty) {
    EXPECT_TRUE(CreateDirectoryA("C:\\Temp\\Sub", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"C:\\Temp\\sub", nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(u"C:\\No\\Sub", nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    write_file(u"C:\\Temp\\Sub\\f.txt", "x");
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\Temp\\Sub"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\Temp\\Sub\\f.txt"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIRECTORY));
    EXPECT_FALSE(DeleteFileW(u"C:\\Temp\\Sub"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileW(u"C:\\Temp\\Sub\\f.txt"));
    EXPECT_TRUE(RemoveDirectoryA("c:\\temp\\sub"));
    EXPECT_FALSE(fs::exists(drive() / "Temp" / "Sub"));
}

TEST_F(FilesTest, TheMediumIsAReadOnlyDriveD) {
    const fs::path medium = folder_ / "cd";
    fs::create_directories(medium / "Disk1");
    std::ofstream(medium / "Disk1" / "HVUBUS.INF") << "[Version]";
    hvsim::user::set_media_folder(medium);
    HANDLE h = create(u"d:\\disk1\\hvubus.inf", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesW(u"D:\\Disk1\\HVUBUS.INF"), DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(create(u"D:\\Disk1\\new.txt"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(u"D:\\Disk1\\HVUBUS.INF"));
    EXPECT_FALSE(MoveFileW(u"D:\\Disk1\\HVUBUS.INF", u"C:\\Temp\\HVUBUS.INF"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SAME_DEVICE));
    hvsim::user::set_media_folder(std::nullopt);
    EXPECT_TRUE(fs::exists(medium / "Disk1" / "HVUBUS.INF"));
}

TEST(RuntimeStrings, UpperCaseAndSearchInTheAnsiCodePage) {
    unsigned char text[] = "usb\\vid_7a5c&pid_1001 \xe9";
    EXPECT_EQ(_mbsupr_s(text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "USB\\VID_7A5C&PID_1001 \xc9");
    EXPECT_EQ(_mbsstr(text, reinterpret_cast<const unsigned char*>("PID_1001")), text + 13);
    EXPECT_EQ(_mbsstr(text, reinterpret_cast<const unsigned char*>("PID_1002")), nullptr);
    // No terminator within the size: refused, and the text is emptied.
    unsigned char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(_mbsupr_s(unterminated, sizeof unterminated), EINVAL);
    EXPECT_EQ(unterminated[0], 0);
    EXPECT_EQ(_mbsupr_s(nullptr, 4), EINVAL);

    WCHAR word[] = u"Halvorn Ltd.";
    EXPECT_EQ(CharUpperW(word), word);
    EXPECT_EQ(std::u16string(word), u"HALVORN LTD.");
    EXPECT_EQ(std::u16string(CharLowerW(word)), u"halvorn ltd.");
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(ULONG_PTR(u'q')))), ULONG_PTR(u'Q'));
}

} // namespace
