// Programs of the machine: CreateProcess finding, recording and running images, the image of a
// running program in use, its deletion at the next start, and `hvsim run` with its options.
#include <windows.h>

#include <hvsim/machine.h>
#include <hvsim/programs.h>
#include <hvsim/user_hooks.h>

#include <gtest/gtest.h>

#include <fstream>

#include "support/folder_test.h"

namespace {

using hvsim::Machine;
namespace fs = std::filesystem;

class ProgramsTest : public hvtest::FolderTest {
protected:
    void SetUp() override {
        hvsim::MachineOptions o;
        o.root = machine_root();
        o.clock = hvsim::ClockMode::Virtual;
        machine_.emplace(o);
        fs::create_directories(drive() / "Temp");
        fs::copy_file(HV_TEST_PROBE, machine_->system_directory() / "probe.exe");
        hvsim::user::reset_process_records();
    }
    void TearDown() override {
        hvsim::user::current_process()->close_all_handles();
        machine_.reset();
        hvtest::FolderTest::TearDown();
    }
    fs::path drive() const { return machine_root() / "C"; }
    static std::string read(const fs::path& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // CreateProcessW from the test's own process; the exit code, or the error with ~0u.
    static std::pair<DWORD, DWORD> run(const WCHAR* application, std::u16string command_line, DWORD flags = 0,
                                       const WCHAR* folder = nullptr) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = 0; // SW_HIDE
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(application, command_line.empty() ? nullptr : command_line.data(), nullptr, nullptr, TRUE,
                            flags, nullptr, folder, &startup, &started))
            return {~0u, GetLastError()};
        EXPECT_EQ(WaitForSingleObject(started.hProcess, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(started.hProcess, &code));
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        return {code, ERROR_SUCCESS};
    }

    std::optional<Machine> machine_;
};

TEST_F(ProgramsTest, CreateProcessRecordsWhatItWasAskedAndRunsTheImage) {
    auto [code, error] =
        run(nullptr, u"probe record C:\\Temp\\out.txt", CREATE_NO_WINDOW | HIGH_PRIORITY_CLASS, u"c:\\temp");
    ASSERT_EQ(error, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(read(drive() / "Temp" / "out.txt"), "probe record C:\\Temp\\out.txt\nC:\\Temp\n");

    auto records = hvsim::user::process_creations();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].image, u"C:\\Windows\\System32\\probe.exe");
    EXPECT_EQ(records[0].command_line, u"probe record C:\\Temp\\out.txt");
    EXPECT_EQ(records[0].application_name, u"");
    EXPECT_EQ(records[0].creation_flags, DWORD(CREATE_NO_WINDOW | HIGH_PRIORITY_CLASS));
    EXPECT_EQ(records[0].priority_class, DWORD(HIGH_PRIORITY_CLASS));
    EXPECT_TRUE(records[0].inherit_handles);
    EXPECT_EQ(records[0].startup_size, 104u);
    EXPECT_EQ(records[0].startup_flags, DWORD(STARTF_USESHOWWINDOW));
    EXPECT_EQ(records[0].current_directory, u"C:\\Temp");
    EXPECT_NE(records[0].process_id, 0u);
}

TEST_F(ProgramsTest, TheImageIsFoundAsWindowsFindsItOrTheCallFailsWithItsError) {
    fs::create_directories(drive() / "Program Files" / "Probe Dir");
    fs::copy_file(HV_TEST_PROBE, drive() / "Program Files" / "Probe Dir" / "probe.exe");
    std::ofstream(drive() / "Temp" / "notes.txt") << "no program";
    struct Case {
        const WCHAR* application;
        std::u16string command_line;
        DWORD flags;
        DWORD code; // ~0u: fails
        DWORD error;
    } cases[] = {
        {nullptr, u"probe.exe exit 3", 0, 3, ERROR_SUCCESS},
        {nullptr, u"\"C:\\Program Files\\Probe Dir\\probe\" exit 4", 0, 4, ERROR_SUCCESS},
        // Unquoted, each run of words up to a space is tried; the runtime still splits the line at
        // every space, so the program sees other arguments than meant (its usage code).
        {nullptr, u"C:\\Program Files\\Probe Dir\\probe exit 5", 0, 100, ERROR_SUCCESS},
        {u"C:\\Windows\\System32\\probe.exe", u"", 0, 100, ERROR_SUCCESS},
        // The starting program's folder comes first in the search of a program it starts.
        {nullptr, u"probe spawn \"probe exit 6\"", 0, 6, ERROR_SUCCESS},
        // An x64 system has no command.com.
        {nullptr, u"command.com /c del C:\\Windows\\System32\\probe.exe", 0, ~0u, ERROR_FILE_NOT_FOUND},
        {u"C:\\Windows\\System32\\probe", u"", 0, ~0u, ERROR_FILE_NOT_FOUND},
        {u"C:\\Nowhere\\probe.exe", u"", 0, ~0u, ERROR_PATH_NOT_FOUND},
        {u"C:\\Temp\\notes.txt", u"", 0, ~0u, ERROR_BAD_EXE_FORMAT},
        {u"C:\\..\\probe.exe", u"", 0, ~0u, ERROR_PATH_NOT_FOUND},
        {nullptr, u"probe exit 1", HIGH_PRIORITY_CLASS | IDLE_PRIORITY_CLASS, ~0u, ERROR_INVALID_PARAMETER},
        {nullptr, u"", 0, ~0u, ERROR_INVALID_PARAMETER},
        // The longest line Windows takes runs the program (its usage code for the extra word).
        {nullptr, u"probe exit 7 " + std::u16string(32766 - 13, u'x'), 0, 100, ERROR_SUCCESS},
        {nullptr, u"probe exit 7 " + std::u16string(32767 - 13, u'x'), 0, ~0u, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        const std::string shown(c.command_line.begin(), c.command_line.end());
        auto [code, error] = run(c.application, c.command_line, c.flags);
        EXPECT_EQ(code, c.code) << shown;
        EXPECT_EQ(error, c.error) << shown;
    }
    auto [code, error] = run(nullptr, u"probe exit 0", 0, u"C:\\NoSuchFolder");
    EXPECT_EQ(error, DWORD(ERROR_DIRECTORY));
    EXPECT_TRUE(fs::exists(machine_->system_directory() / "probe.exe"));
}

TEST_F(ProgramsTest, PriorityClassesAreKeptAndRecorded) {
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), DWORD(NORMAL_PRIORITY_CLASS));
    EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS));
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), DWORD(REALTIME_PRIORITY_CLASS));
    EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), 0x12345));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetPriorityClass(reinterpret_cast<HANDLE>(0x7777), NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS));
    auto changes = hvsim::user::priority_changes();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].priority_class, DWORD(REALTIME_PRIORITY_CLASS));
    EXPECT_EQ(changes[1].priority_class, DWORD(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(changes[1].process_id, GetCurrentProcessId());
}

// The uninstaller's copy in System32 cannot go while it runs: it is deleted at the next start.
TEST_F(ProgramsTest, ARunningProgramsImageIsDeletedAtTheNextStart) {
    const fs::path image = machine_->system_directory() / "HvUUn23.exe";
    fs::copy_file(HV_TEST_PROBE, image);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, u"ProbeGo");
    HANDLE process = machine_->start_program("C:\\Windows\\System32\\HvUUn23.exe", {u"wait", u"ProbeGo"});
    ASSERT_NE(process, nullptr);

    EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\System32\\HvUUn23.exe"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(MoveFileExW(u"C:\\Windows\\System32\\HvUUn23.exe", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    // A list that names a missing file is carried out as far as it can be.
    EXPECT_TRUE(MoveFileExW(u"C:\\Windows\\System32\\Gone.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    std::ofstream(drive() / "Temp" / "old.txt") << "old";
    EXPECT_TRUE(MoveFileExW(u"C:\\Temp\\old.txt", u"C:\\Temp\\new.txt", MOVEFILE_DELAY_UNTIL_REBOOT));

    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(process, INFINITE), WAIT_OBJECT_0);
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(process);
    CloseHandle(go);
    EXPECT_TRUE(fs::exists(image));

    machine_->restart();
    EXPECT_FALSE(fs::exists(image));
    EXPECT_TRUE(fs::exists(drive() / "Temp" / "new.txt"));
    const auto& done = machine_->boot_file_operations();
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[0].from, u"\\??\\C:\\Windows\\System32\\HvUUn23.exe");
    EXPECT_EQ(done[0].result, "deleted");
    EXPECT_EQ(done[1].result, "the file was not found");
    EXPECT_EQ(done[2].result, "moved");
    // The list is gone once carried out, so the next start does nothing.
    machine_->restart();
    EXPECT_TRUE(machine_->boot_file_operations().empty());
}

TEST_F(ProgramsTest, ALoadedDriversImageIsInUseForDeletion) {
    machine_->add_driver(u"HvE2E", HV_TEST_DRIVER);
    machine_->add_root_device(u"ROOT\\HVE2E", u"HvE2E");
    EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\System32\\drivers\\HvE2E.sys"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\Windows\\System32\\drivers"));
    HANDLE image = CreateFileW(u"C:\\Windows\\System32\\drivers\\HvE2E.sys", GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(image, INVALID_HANDLE_VALUE); // reading it is fine
    CloseHandle(image);
    std::ofstream(machine_->drivers_directory() / "Other.sys") << "not loaded";
    EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\System32\\drivers\\other.sys"));
}

// Each program runs with its own token, and a program it starts gets one of the same kind.
TEST_F(ProgramsTest, OnlyAnAdministratorsProgramSchedulesADeletion) {
    using hvsim::user::TokenKind;
    struct Case {
        TokenKind token;
        std::vector<std::u16string> args;
        DWORD code;
    } cases[] = {
        {TokenKind::Administrator, {u"schedule", u"C:\\Temp\\a.txt"}, ERROR_SUCCESS},
        {TokenKind::FilteredAdministrator, {u"schedule", u"C:\\Temp\\a.txt"}, ERROR_ACCESS_DENIED},
        {TokenKind::StandardUser, {u"spawn", u"probe schedule C:\\Temp\\a.txt"}, ERROR_ACCESS_DENIED},
        {TokenKind::Administrator, {u"spawn", u"probe schedule C:\\Temp\\a.txt"}, ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        hvsim::RunOptions how;
        how.token = c.token;
        EXPECT_EQ(machine_->run_program("C:\\Windows\\System32\\probe.exe", c.args, how).exit_code, c.code)
            << static_cast<int>(c.token);
    }
}

// CreateProcessAsUserA runs the program with the primary token it is given, not the caller's.
TEST_F(ProgramsTest, AProgramStartedAsAUserRunsWithThatToken) {
    using hvsim::user::TokenKind;
    auto primary_of_kind = [](TokenKind kind, TOKEN_TYPE type, DWORD access) {
        hvsim::user::set_registry_token(kind);
        HANDLE token = nullptr, copy = nullptr;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token));
        EXPECT_TRUE(DuplicateTokenEx(token, access, nullptr, SecurityDelegation, type, &copy));
        CloseHandle(token);
        hvsim::user::set_registry_token(TokenKind::Administrator);
        return copy;
    };
    auto run_as = [](HANDLE token, DWORD* error) -> DWORD {
        char line[] = "probe schedule C:\\Temp\\a.txt";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        *error = ERROR_SUCCESS;
        if (!CreateProcessAsUserA(token, nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &started)) {
            *error = GetLastError();
            return ~0u;
        }
        EXPECT_EQ(WaitForSingleObject(started.hProcess, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(started.hProcess, &code);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        return code;
    };
    struct Case {
        TokenKind kind;
        TOKEN_TYPE type;
        DWORD access;
        DWORD call_error;
        DWORD exit_code;
    } cases[] = {
        {TokenKind::Administrator, TokenPrimary, MAXIMUM_ALLOWED, ERROR_SUCCESS, ERROR_SUCCESS},
        {TokenKind::StandardUser, TokenPrimary, MAXIMUM_ALLOWED, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
        {TokenKind::Administrator, TokenImpersonation, MAXIMUM_ALLOWED, ERROR_BAD_TOKEN_TYPE, ~0u},
        {TokenKind::Administrator, TokenPrimary, TOKEN_QUERY, ERROR_ACCESS_DENIED, ~0u},
    };
    for (const auto& c : cases) {
        HANDLE token = primary_of_kind(c.kind, c.type, c.access);
        DWORD error = 0;
        EXPECT_EQ(run_as(token, &error), c.exit_code) << static_cast<int>(c.kind) << " " << c.type;
        EXPECT_EQ(error, c.call_error);
        CloseHandle(token);
    }
    EXPECT_EQ(hvsim::user::process_creations().size(), 2u);
}

TEST_F(ProgramsTest, AProgramThatAsksForARestartRestartsTheMachineWhenItEnds) {
    std::ofstream(drive() / "Temp" / "stale.dll") << "x";
    ASSERT_TRUE(MoveFileExW(u"C:\\Temp\\stale.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    auto quiet = machine_->run_program("C:\\Windows\\System32\\probe.exe", {u"exit", u"0"}, hvsim::RunOptions{});
    EXPECT_FALSE(quiet.restarted);
    EXPECT_TRUE(fs::exists(drive() / "Temp" / "stale.dll"));

    hvsim::user::request_restart(2 /* EWX_REBOOT */);
    auto run = machine_->run_program("C:\\Windows\\System32\\probe.exe", {u"exit", u"0"}, hvsim::RunOptions{});
    EXPECT_TRUE(run.restarted);
    ASSERT_EQ(run.file_operations.size(), 1u);
    EXPECT_TRUE(run.file_operations[0].done);
    EXPECT_FALSE(fs::exists(drive() / "Temp" / "stale.dll"));
    EXPECT_TRUE(machine_->running());
}

TEST_F(ProgramsTest, HvsimRunsAProgramByItsMachinePathWithAFolderAndAMedium) {
    const fs::path medium = folder_.path() / "cd";
    fs::create_directories(medium);
    fs::copy_file(HV_TEST_PROBE, medium / "setup.exe");
    machine_.reset();
    auto recorded =
        run_hvsim(HVSIM_EXECUTABLE, "run --cwd 'C:\\Temp' C:\\\\Windows\\\\System32\\\\probe.exe record out.txt");
    EXPECT_EQ(recorded.status, 0) << recorded.output;
    EXPECT_EQ(read(drive() / "Temp" / "out.txt"), "C:\\Windows\\System32\\probe.exe record out.txt\nC:\\Temp\n");
    auto from_medium = run_hvsim(HVSIM_EXECUTABLE, "run --media " + hvtest::shell_quote(medium.string()) +
                                                       " --as user 'D:\\setup.exe' spawn 'D:\\setup.exe exit 4'");
    EXPECT_EQ(from_medium.status, 4) << from_medium.output;
    for (const char* bad : {"run --as guest C:\\\\probe.exe", "run --cwd", "run --media"}) {
        auto refused = run_hvsim(HVSIM_EXECUTABLE, bad);
        EXPECT_EQ(refused.status, 2) << bad << ": " << refused.output;
    }
    auto missing = run_hvsim(HVSIM_EXECUTABLE, "run 'C:\\Windows\\nothing.exe'");
    EXPECT_EQ(missing.status, 1) << missing.output;
    EXPECT_NE(missing.output.find("no such program on the machine"), std::string::npos) << missing.output;
}

} // namespace
