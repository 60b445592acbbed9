// HvCoIn23.dll on a machine: the co-installer a device's hardware key names is loaded from the
// system directory, called with the same four arguments in both passes and released once it is
// done; every name that cannot be followed loads nothing and leaves the installation alone.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <hvsim/machine.h>
#include <hvsim/programs.h>
#include <hvsim/user_hooks.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/folder_test.h"
#include "support/test_inf.h"

namespace {

namespace fs = std::filesystem;

const WCHAR* kRecords = u"SOFTWARE\\HvChainTest";
constexpr DWORD kMissing = 0xFFFFFFFF;

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }
std::string narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// A value of the device's hardware key as a test writes it: its type and raw bytes.
struct Value {
    DWORD type = REG_SZ;
    std::vector<BYTE> bytes;
};
Value text(const std::u16string& s, bool terminated = true) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(s.c_str());
    return {REG_SZ, std::vector<BYTE>(begin, begin + (s.size() + (terminated ? 1 : 0)) * sizeof(WCHAR))};
}
Value typed(DWORD type, const std::u16string& s) { return {type, text(s).bytes}; }
Value number(DWORD n) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(&n);
    return {REG_DWORD, std::vector<BYTE>(begin, begin + 4)};
}

class ChainTest : public hvtest::FolderTest {
protected:
    void SetUp() override {
        root_ = machine_root();
        hvsim::MachineOptions options;
        options.root = root_;
        options.clock = hvsim::ClockMode::Virtual;
        machine_ = std::make_unique<hvsim::Machine>(options);
        fs::copy_file(HV_COIN_IMAGE, machine_->system_directory() / "HvCoIn23.dll");
        fs::copy_file(HV_CHAINED_IMAGE, machine_->system_directory() / "HvChained.dll");
        machine_->add_driver(u"HvTestFunc", HV_TESTFUNC_IMAGE);
        device_ = machine_->add_root_device(u"ROOT\\HVCHAIN", u"HvTestFunc");
        libraries_ = hvsim::user::loaded_libraries();
    }
    void TearDown() override {
        hvsim::user::reset_actctx_hooks();
        EXPECT_EQ(0u, hvsim::user::open_device_info_sets());
        machine_->shutdown();
        machine_.reset();
        FolderTest::TearDown();
    }

    void set_value(const WCHAR* name, const std::optional<Value>& value) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
        ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, device_.c_str(), nullptr, 0, &data));
        HKEY key = SetupDiCreateDevRegKeyW(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        ASSERT_NE((HKEY)INVALID_HANDLE_VALUE, key);
        if (value) RegSetValueExW(key, name, 0, value->type, value->bytes.data(), DWORD(value->bytes.size()));
        else RegDeleteValueW(key, name);
        RegCloseKey(key);
        SetupDiDestroyDeviceInfoList(set);
    }

    static DWORD record(const std::u16string& name) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecords, 0, KEY_READ, &key)) return 0;
        DWORD value = 0, size = sizeof value;
        RegQueryValueExW(key, name.c_str(), nullptr, nullptr, (BYTE*)&value, &size);
        RegCloseKey(key);
        return value;
    }
    static std::vector<std::string> calls() {
        std::vector<std::string> out;
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecords, 0, KEY_READ, &key)) return out;
        for (DWORD i = 0; i < record(u"Calls"); ++i) {
            WCHAR line[200] = {};
            DWORD size = sizeof line - 2;
            RegQueryValueExW(key, (u"Call" + widen(std::to_string(i))).c_str(), nullptr, nullptr, (BYTE*)line, &size);
            out.push_back(narrow(line));
        }
        RegCloseKey(key);
        return out;
    }
    static void answer(const std::u16string& name, DWORD value) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecords, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &key, nullptr));
        RegSetValueExW(key, name.c_str(), 0, REG_DWORD, (const BYTE*)&value, sizeof value);
        RegCloseKey(key);
    }
    // The line the chained co-installer writes for a call with these arguments.
    static std::string line(DI_FUNCTION function, const COINSTALLER_CONTEXT_DATA& context, HDEVINFO set,
                            PSP_DEVINFO_DATA data, DWORD mark = 0) {
        char out[160];
        std::snprintf(out, sizeof out, "%u %s %X %p %p %p %X", function, context.PostProcessing ? "post" : "pre",
                      context.InstallResult, (void*)set, (void*)data, (void*)&context, mark);
        return out;
    }

    // No library of the chain is left loaded, and the chained one was released as often as loaded.
    void expect_nothing_left_loaded() {
        EXPECT_EQ(libraries_, hvsim::user::loaded_libraries());
        EXPECT_EQ(record(u"Attached"), record(u"Detached"));
        EXPECT_EQ(0u, hvsim::user::activation_contexts());
    }

    std::filesystem::path root_;
    std::unique_ptr<hvsim::Machine> machine_;
    std::u16string device_;
    size_t libraries_ = 0;
};

// HvCoIn23.dll loaded as SetupAPI loads it, and the device opened for the calls.
struct ChainCall {
    explicit ChainCall(const std::u16string& device) {
        module = LoadLibraryW(u"HvCoIn23.dll");
        EXPECT_NE(nullptr, module);
        routine = reinterpret_cast<PCOINSTALLER_ROUTINE>(reinterpret_cast<void (*)()>(
            module ? GetProcAddress(module, "HvUCoInstall") : nullptr));
        EXPECT_NE(nullptr, routine);
        set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        EXPECT_TRUE(SetupDiOpenDeviceInfoW(set, device.c_str(), nullptr, 0, &data));
    }
    ~ChainCall() {
        SetupDiDestroyDeviceInfoList(set);
        if (module) FreeLibrary(module);
    }
    DWORD operator()(DI_FUNCTION function, COINSTALLER_CONTEXT_DATA& context) {
        return routine ? routine(function, set, &data, &context) : kMissing;
    }
    HMODULE module = nullptr;
    PCOINSTALLER_ROUTINE routine = nullptr;
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
};

// Names that cannot be followed: nothing is loaded and the call is passed over.
TEST_F(ChainTest, ANameThatCannotBeFollowedLoadsNothingAndPassesTheCallOver) {
    const std::u16string longName(150, u'a');
    struct Case {
        const char* what;
        std::optional<Value> dll, entry;
        DI_FUNCTION function;
        DWORD expected;
    } cases[] = {
        {"no library name, removal", std::nullopt, text(u"HvChainedCoInstall"), DIF_REMOVE, NO_ERROR},
        {"no library name, other code", std::nullopt, text(u"HvChainedCoInstall"), DIF_PROPERTYCHANGE, NO_ERROR},
        {"empty library name", text(u""), text(u"HvChainedCoInstall"), DIF_INSTALLDEVICE, NO_ERROR},
        {"library name not a string", typed(REG_EXPAND_SZ, u"HvChained.dll"), text(u"HvChainedCoInstall"), DIF_REMOVE,
         NO_ERROR},
        {"library name a number", number(1), text(u"HvChainedCoInstall"), DIF_REMOVE, NO_ERROR},
        {"library name too long for its buffer", text(longName, false), text(u"HvChainedCoInstall"), DIF_REMOVE,
         NO_ERROR},
        {"library given as a path", text(u"C:\\Windows\\System32\\HvChained.dll"), text(u"HvChainedCoInstall"),
         DIF_INSTALLDEVICE, NO_ERROR},
        {"library outside the system folder", text(u"..\\System32\\HvChained.dll"), text(u"HvChainedCoInstall"),
         DIF_INSTALLDEVICE, NO_ERROR},
        {"library name of dots", text(u".."), text(u"HvChainedCoInstall"), DIF_INSTALLDEVICE, NO_ERROR},
        {"missing library", text(u"Missing.dll"), text(u"HvChainedCoInstall"), DIF_INSTALLDEVICE, NO_ERROR},
        {"no entry point", text(u"HvChained.dll"), std::nullopt, DIF_INSTALLDEVICE, NO_ERROR},
        {"empty entry point", text(u"HvChained.dll"), text(u""), DIF_INSTALLDEVICE, NO_ERROR},
        {"entry point not a string", text(u"HvChained.dll"), number(7), DIF_INSTALLDEVICE, NO_ERROR},
        {"entry point not exported", text(u"HvChained.dll"), text(u"HvNoSuchEntry"), DIF_INSTALLDEVICE, NO_ERROR},
        {"chained entry point throws", text(u"HvChained.dll"), text(u"HvThrowingCoInstall"), DIF_INSTALLDEVICE,
         NO_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        set_value(u"CoInstallerDLL", c.dll);
        set_value(u"CoInstallerEntryPoint", c.entry);
        {
            ChainCall call(device_);
            COINSTALLER_CONTEXT_DATA context{};
            EXPECT_EQ(c.expected, call(c.function, context));
        }
        EXPECT_TRUE(calls().empty());
        expect_nothing_left_loaded();
    }
}

TEST_F(ChainTest, WithoutALibraryNameAnInstallationAsksForThePassAfterAndGetsItsResultBack) {
    ChainCall call(device_);
    COINSTALLER_CONTEXT_DATA context{};
    EXPECT_EQ(DWORD(ERROR_DI_POSTPROCESSING_REQUIRED), call(DIF_INSTALLDEVICE, context));
    context.PostProcessing = TRUE;
    for (DWORD result : {DWORD(NO_ERROR), DWORD(ERROR_FILE_NOT_FOUND)}) {
        context.InstallResult = result;
        EXPECT_EQ(result, call(DIF_INSTALLDEVICE, context));
    }
}

// The chained co-installer's answers come back unchanged, it sees exactly the caller's
// arguments, and it stays loaded from a pre pass that asks for more until its post pass.
TEST_F(ChainTest, TheChainedCoInstallerSeesTheSameArgumentsInBothPassesAndItsAnswerComesBack) {
    struct Case {
        const char* what;
        DI_FUNCTION function;
        std::optional<DWORD> pre, post; // scripted answers; none: the defaults
        DWORD expectedPre;
        std::optional<DWORD> expectedPost; // the pass after, when asked for
        DWORD installResult;
    } cases[] = {
        {"refusal", DIF_INSTALLDEVICE, DWORD(ERROR_DI_DONT_INSTALL), std::nullopt, DWORD(ERROR_DI_DONT_INSTALL),
         std::nullopt, 0},
        {"other code", DIF_REMOVE, std::nullopt, std::nullopt, NO_ERROR, std::nullopt, 0},
        {"both passes", DIF_INSTALLDEVICE, std::nullopt, std::nullopt, DWORD(ERROR_DI_POSTPROCESSING_REQUIRED),
         DWORD(NO_ERROR), NO_ERROR},
        {"failed installation", DIF_INSTALLDEVICE, std::nullopt, std::nullopt, DWORD(ERROR_DI_POSTPROCESSING_REQUIRED),
         DWORD(ERROR_INVALID_DATA), ERROR_INVALID_DATA},
        {"refusal after", DIF_INSTALLDEVICE, std::nullopt, DWORD(ERROR_DI_DONT_INSTALL),
         DWORD(ERROR_DI_POSTPROCESSING_REQUIRED), DWORD(ERROR_DI_DONT_INSTALL), NO_ERROR},
        // A failure that is not an answer leaves the installation's own result.
        {"throws after", DIF_INSTALLDEVICE, std::nullopt, DWORD(0xDEAD), DWORD(ERROR_DI_POSTPROCESSING_REQUIRED),
         DWORD(ERROR_INVALID_DATA), ERROR_INVALID_DATA},
        // Released when HvCoIn23.dll unloads.
        {"pass after never comes", DIF_INSTALLDEVICE, std::nullopt, std::nullopt,
         DWORD(ERROR_DI_POSTPROCESSING_REQUIRED), std::nullopt, 0},
    };
    set_value(u"CoInstallerDLL", text(u"HvChained.dll"));
    set_value(u"CoInstallerEntryPoint", text(u"HvChainedCoInstall"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecords);
        if (c.pre) answer(u"Pre" + widen(std::to_string(c.function)), *c.pre);
        if (c.post) answer(u"Post" + widen(std::to_string(c.function)), *c.post);
        {
            ChainCall call(device_);
            COINSTALLER_CONTEXT_DATA context{};
            EXPECT_EQ(c.expectedPre, call(c.function, context));
            std::vector<std::string> expected{line(c.function, context, call.set, &call.data)};
            if (c.expectedPost) {
                // Loaded still, for the pass after.
                EXPECT_EQ(1u, record(u"Attached") - record(u"Detached"));
                context.PostProcessing = TRUE;
                context.InstallResult = c.installResult;
                EXPECT_EQ(*c.expectedPost, call(c.function, context));
                expected.push_back(line(c.function, context, call.set, &call.data, 0x600D));
            }
            EXPECT_EQ(expected, calls());
        }
        EXPECT_EQ(1u, record(u"Attached"));
        expect_nothing_left_loaded();
    }
}

TEST_F(ChainTest, ANameStoredWithoutItsTerminatorIsStillFollowed) {
    set_value(u"CoInstallerDLL", text(u"HvChained.dll", false));
    set_value(u"CoInstallerEntryPoint", text(u"HvChainedCoInstall", false));
    {
        ChainCall call(device_);
        COINSTALLER_CONTEXT_DATA context{};
        EXPECT_EQ(NO_ERROR, call(DIF_REMOVE, context));
    }
    EXPECT_EQ(1u, calls().size());
    expect_nothing_left_loaded();
}

TEST_F(ChainTest, WithoutItsActivationContextNothingIsLoaded) {
    set_value(u"CoInstallerDLL", text(u"HvChained.dll"));
    set_value(u"CoInstallerEntryPoint", text(u"HvChainedCoInstall"));
    for (auto routine : {hvsim::user::ActCtxRoutine::Create, hvsim::user::ActCtxRoutine::Activate}) {
        {
            ChainCall call(device_);
            hvsim::user::actctx_fail_next(routine, ERROR_OUTOFMEMORY);
            COINSTALLER_CONTEXT_DATA context{};
            EXPECT_EQ(NO_ERROR, call(DIF_INSTALLDEVICE, context));
        }
        EXPECT_TRUE(calls().empty());
        expect_nothing_left_loaded();
    }
}

// Through the platform's device installation: the INF registers HvCoIn23.dll and names the
// co-installer it chains to.
TEST_F(ChainTest, AnInstallationCallsTheChainedCoInstallerAroundTheClassInstaller) {
    const fs::path folder = root_ / "media";
    fs::create_directories(folder);
    fs::copy_file(HV_TESTFUNC_IMAGE, folder / "hvtestfunc.sys");
    fs::copy_file(HV_COIN_IMAGE, folder / "HvCoIn23.dll");
    std::ofstream(folder / "chain.inf", std::ios::binary)
        << hvtest::inf::head("", hvtest::inf::kTestCardClass, hvtest::inf::kTestCardClassGuid) + R"([Models.NTamd64]
%Desc%=Dev, ROOT\HVCHAIN

[DestinationDirs]
DefaultDestDir = 12
Dev.CoCopy = 11

[Dev.Copy]
hvtestfunc.sys

[Dev.CoCopy]
HvCoIn23.dll

[Dev.NT]
CopyFiles=Dev.Copy

[Dev.NT.HW]
AddReg=Dev.HwReg

[Dev.NT.Services]
AddService = HvTestFunc, 0x00000002, Dev.Service

[Dev.NT.CoInstallers]
CopyFiles=Dev.CoCopy
AddReg=Dev.CoReg

[Dev.HwReg]
HKR,,CoInstallerDLL,,"HvChained.dll"
HKR,,CoInstallerEntryPoint,,"HvChainedCoInstall"

[Dev.CoReg]
HKR,,CoInstallers32,0x00010000,"HvCoIn23.dll,HvUCoInstall"

)" + hvtest::inf::service("Dev.Service", "Desc", "hvtestfunc.sys") +
               R"([Strings]
Prov = "Test Maker"
Desc = "Chained device"
)";
    const std::u16string inf = widen((folder / "chain.inf").string());
    // The first installation writes the names with the device's values, after the pre pass:
    // the chained co-installer sees the pass after only. Installed again, it sees both.
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"ROOT\\HVCHAIN", inf.c_str(), 0, nullptr))
        << std::hex << GetLastError() << " " << hvsim::user::last_installation_error();
    auto seen = calls();
    ASSERT_EQ(1u, seen.size());
    EXPECT_TRUE(seen[0].starts_with("2 post 0 ")) << seen[0];
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecords);
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"ROOT\\HVCHAIN", inf.c_str(), 0, nullptr))
        << std::hex << GetLastError() << " " << hvsim::user::last_installation_error();
    seen.clear();
    for (auto& call : calls())
        if (call.starts_with("2 ")) seen.push_back(call);
    ASSERT_EQ(2u, seen.size()) << ::testing::PrintToString(calls());
    // The same set, device and context in both passes, and the pre pass's PrivateData kept.
    auto arguments = [](const std::string& call) { return call.substr(call.find(' ', call.find(' ') + 1) + 3); };
    EXPECT_TRUE(seen[0].starts_with("2 pre 0 ")) << seen[0];
    EXPECT_TRUE(seen[1].starts_with("2 post 0 ")) << seen[1];
    EXPECT_TRUE(seen[1].ends_with(" 600D")) << seen[1];
    EXPECT_EQ(arguments(seen[0]).substr(0, arguments(seen[0]).rfind(' ')),
              arguments(seen[1]).substr(0, arguments(seen[1]).rfind(' ')));
    expect_nothing_left_loaded();
}

} // namespace
