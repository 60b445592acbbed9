// The machine's Windows version: what GetVersionEx answers on each, which exports the system
// modules have, and that the version stays with the machine's folder.
#include <windows.h>

#include <hvsim/machine.h>

#include <gtest/gtest.h>

#include <fstream>

#include "support/folder_test.h"

namespace {

class WindowsVersionTest : public hvtest::FolderTest {
protected:
    hvsim::MachineOptions options(std::optional<std::string> windows) const {
        hvsim::MachineOptions o;
        o.root = machine_root();
        o.clock = hvsim::ClockMode::Virtual;
        o.windows = std::move(windows);
        return o;
    }
};

bool exported(const char* module, const char* name) {
    return GetProcAddress(GetModuleHandleA(module), name) != nullptr;
}

TEST_F(WindowsVersionTest, GetVersionExAndTheExportsFollowTheVersion) {
    struct Case {
        const char* windows;
        DWORD major, minor, platform;
        bool extended; // the 156-byte record is understood
        bool redirection, delete_key_ex;
    } cases[] = {
        {"7", 6, 1, VER_PLATFORM_WIN32_NT, true, true, true},
        {"vista", 6, 0, VER_PLATFORM_WIN32_NT, true, true, true},
        {"xp", 5, 1, VER_PLATFORM_WIN32_NT, true, true, false},
        {"2000", 5, 0, VER_PLATFORM_WIN32_NT, true, false, false},
        {"me", 4, 90, VER_PLATFORM_WIN32_WINDOWS, false, false, false},
        {"98", 4, 10, VER_PLATFORM_WIN32_WINDOWS, false, false, false},
        {"95", 4, 0, VER_PLATFORM_WIN32_WINDOWS, false, false, false},
    };
    for (const auto& c : cases) {
        hvsim::Machine machine(options(c.windows));
        OSVERSIONINFOEXA extended{};
        extended.dwOSVersionInfoSize = sizeof extended;
        static_assert(sizeof(OSVERSIONINFOEXA) == 156 && sizeof(OSVERSIONINFOA) == 148);
        EXPECT_EQ(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended)) != FALSE, c.extended) << c.windows;
        OSVERSIONINFOA plain{};
        plain.dwOSVersionInfoSize = sizeof plain;
        ASSERT_TRUE(GetVersionExA(&plain)) << c.windows;
        EXPECT_EQ(plain.dwMajorVersion, c.major) << c.windows;
        EXPECT_EQ(plain.dwMinorVersion, c.minor) << c.windows;
        EXPECT_EQ(plain.dwPlatformId, c.platform) << c.windows;
        if (c.extended) {
            EXPECT_EQ(extended.dwMajorVersion, c.major) << c.windows;
        }
        // Windows 9x keeps its version in the high word of the build number too.
        if (c.platform == VER_PLATFORM_WIN32_WINDOWS) {
            EXPECT_EQ(plain.dwBuildNumber >> 16, (c.major << 8) | c.minor);
        }
        OSVERSIONINFOW wide{};
        wide.dwOSVersionInfoSize = sizeof wide;
        EXPECT_EQ(GetVersionExW(&wide) != FALSE, c.platform == VER_PLATFORM_WIN32_NT) << c.windows;
        EXPECT_EQ(exported("KERNEL32.DLL", "Wow64EnableWow64FsRedirection"), c.redirection) << c.windows;
        EXPECT_EQ(exported("Advapi32.DLL", "RegDeleteKeyExA"), c.delete_key_ex) << c.windows;
        EXPECT_TRUE(exported("Advapi32.DLL", "RegOpenKeyExA")) << c.windows;
        // Windows 9x keeps delayed moves elsewhere: the routine is a stub there.
        EXPECT_EQ(MoveFileExW(u"C:\\old.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE,
                  c.platform == VER_PLATFORM_WIN32_NT)
            << c.windows;
        // The device tree does not change with it.
        EXPECT_NE(machine.device_tree_text().find("HTREE\\ROOT\\0"), std::string::npos) << c.windows;
    }
}

TEST_F(WindowsVersionTest, TheVersionIsKeptInTheMachinesFolder) {
    auto result = run_hvsim(HVSIM_EXECUTABLE, "--windows 98 devices");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(hvtest::read_file(machine_root() / "machine.txt").find("windows = 98\n"), std::string::npos);
    // A later hvsim without the option keeps it.
    result = run_hvsim(HVSIM_EXECUTABLE, "devices");
    ASSERT_EQ(result.status, 0) << result.output;
    hvsim::Machine machine(options(std::nullopt));
    EXPECT_EQ(machine.windows(), "98");
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMinorVersion, 10u);
    machine.restart();
    EXPECT_EQ(GetVersion() & 0xFFFF, 0x0A04u);
}

TEST_F(WindowsVersionTest, ABadVersionIsRefused) {
    EXPECT_THROW(hvsim::Machine(options("3.1")), hvsim::MachineError);
    std::filesystem::create_directories(machine_root());
    std::ofstream(machine_root() / "machine.txt") << "windows = nt4\n";
    EXPECT_THROW(hvsim::Machine(options(std::nullopt)), hvsim::MachineError);
}

} // namespace
