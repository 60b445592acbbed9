// The system modules and their exports by Windows version, activation contexts, global memory
// and the shell's recursive key deletion.
#include <windows.h>
#include <devguid.h>
#include <shlwapi.h>

#include <gtest/gtest.h>
#include <hvsim/kernel.h>
#include <hvsim/programs.h>
#include <hvsim/user.h>
#include <hvsim/user_hooks.h>

namespace {

using hvsim::user::WindowsVersion;

class SystemModulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        hvsim::KernelOptions options;
        options.clock = hvsim::ClockMode::Virtual;
        hvsim::kernel_boot(options);
    }
    void TearDown() override {
        hvsim::user::reset_actctx_hooks();
        EXPECT_EQ(hvsim::user::activation_contexts(), 0u);
        hvsim::user::current_process()->close_all_handles();
        hvsim::kernel_shutdown();
    }
};

WindowsVersion nt(DWORD major, DWORD minor) {
    WindowsVersion v;
    v.major = major;
    v.minor = minor;
    return v;
}

TEST_F(SystemModulesTest, SystemModulesAreLoadedAndFindThePlatformsRoutines) {
    HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_EQ(GetModuleHandleW(u"kernel32"), kernel32);
    EXPECT_EQ(GetModuleHandleW(u"C:\\Windows\\System32\\Kernel32.dll"), kernel32);
    EXPECT_NE(GetModuleHandleA("Advapi32.DLL"), kernel32);
    EXPECT_EQ(GetModuleHandleA("nosuch.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);

    HMODULE loaded = LoadLibraryW(u"kernel32.dll");
    EXPECT_EQ(loaded, kernel32);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(loaded, "CreateFileW")), reinterpret_cast<void*>(&CreateFileW));
    // Only the platform's own routines: nothing of the host's C library, no ordinals.
    EXPECT_EQ(GetProcAddress(loaded, "malloc"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(loaded, "NoSuchRoutine"), nullptr);
    EXPECT_EQ(GetProcAddress(loaded, reinterpret_cast<LPCSTR>(15)), nullptr);
    EXPECT_TRUE(FreeLibrary(loaded));
    EXPECT_EQ(hvsim::user::loaded_libraries(), 0u);
}

TEST_F(SystemModulesTest, ExportsFollowTheWindowsVersion) {
    WindowsVersion win98;
    win98.major = 4;
    win98.minor = 10;
    win98.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    struct Case {
        WindowsVersion version;
        bool redirection;   // Wow64EnableWow64FsRedirection, from 5.1
        bool delete_key_ex; // RegDeleteKeyExA, from 5.2
    } cases[] = {
        {nt(5, 0), false, false}, {nt(5, 1), true, false}, {nt(5, 2), true, true},
        {nt(6, 1), true, true},   {win98, false, false},
    };
    for (const auto& c : cases) {
        hvsim::user::set_windows_version(c.version);
        const auto version = std::to_string(c.version.major) + "." + std::to_string(c.version.minor);
        auto redirection = reinterpret_cast<BOOLEAN(WINAPI*)(BOOLEAN)>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "Wow64EnableWow64FsRedirection")));
        EXPECT_EQ(redirection != nullptr, c.redirection) << version;
        if (redirection) {
            EXPECT_EQ(redirection(FALSE), 1) << version;
            EXPECT_EQ(redirection(TRUE), 1) << version;
        }
        auto delete_key = GetProcAddress(GetModuleHandleA("Advapi32.DLL"), "RegDeleteKeyExA");
        EXPECT_EQ(delete_key != nullptr, c.delete_key_ex) << version;
        // Routines every version has stay.
        EXPECT_NE(GetProcAddress(GetModuleHandleA("advapi32"), "RegOpenKeyExA"), nullptr) << version;
    }
}

TEST_F(SystemModulesTest, ActivationContextsAreCountedAndStackedPerThread) {
    ACTCTXW request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.hModule = GetModuleHandleW(nullptr);
    request.lpResourceName = reinterpret_cast<LPCWSTR>(2);
    HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE);
    ULONG_PTR outer = 0, inner = 0;
    ASSERT_TRUE(ActivateActCtx(context, &outer));
    ASSERT_TRUE(ActivateActCtx(context, &inner));
    // The outer one cannot end before the inner one, unless forced.
    EXPECT_FALSE(DeactivateActCtx(0, outer));
    EXPECT_TRUE(DeactivateActCtx(DEACTIVATE_ACTCTX_FLAG_FORCE_EARLY_DEACTIVATION, outer));
    EXPECT_FALSE(DeactivateActCtx(0, inner));
    ReleaseActCtx(context);
    EXPECT_EQ(hvsim::user::activation_contexts(), 0u);

    // A missing manifest source, and the failure hooks.
    ACTCTXW from_file{};
    from_file.cbSize = sizeof from_file;
    from_file.lpSource = u"C:\\Windows\\System32\\missing.dll";
    EXPECT_EQ(CreateActCtxW(&from_file), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    hvsim::user::actctx_fail_next(hvsim::user::ActCtxRoutine::Create, ERROR_OUTOFMEMORY);
    EXPECT_EQ(CreateActCtxW(&request), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OUTOFMEMORY));
    context = CreateActCtxW(&request);
    hvsim::user::actctx_fail_next(hvsim::user::ActCtxRoutine::Activate, ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ActivateActCtx(context, &outer));
    ReleaseActCtx(context);
}

TEST_F(SystemModulesTest, GlobalMemoryIsZeroedOnRequest) {
    static_assert(GUID_DEVCLASS_PORTS.Data1 == 0x4D36E978 && GUID_DEVCLASS_MULTIPORTSERIAL.Data4[7] == 0x30);
    auto* block = static_cast<unsigned char*>(GlobalAlloc(GMEM_ZEROINIT, 261));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::count(block, block + 261, 0), 261);
    EXPECT_EQ(GlobalLock(block), block);
    EXPECT_FALSE(GlobalUnlock(block));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(GlobalFree(block), nullptr);
}

TEST_F(SystemModulesTest, ShellDeletesAKeyWithItsWholeTree) {
    HKEY key;
    for (const char* path : {"SOFTWARE\\Tree\\A\\A1", "SOFTWARE\\Tree\\A\\A2", "SOFTWARE\\Tree\\B"}) {
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\tree"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree"), ERROR_FILE_NOT_FOUND);
}

} // namespace
