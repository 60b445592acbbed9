// The uninstaller on Windows 98 and 95: the Windows 9x operation against the registry layout and
// the files that the older product generations left there, the wizard driving it, and the single
// dialog of Windows 95.
#include <windows.h>
#include <cfgmgr32.h>
#include <commctrl.h>

#include <gtest/gtest.h>
#include <hvsim/machine.h>
#include <hvsim/ui.h>
#include <hvsim/user_hooks.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <fstream>
#include <set>

#include "PmWin9xUninstallOperation.h"

namespace fs = std::filesystem;

namespace {

using hvsim::ui::SheetButton;

constexpr WCHAR kTitle[] = u"Halvorn Tarrow Uninstallation";

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::set<std::string> UpperSet(const CStringList& list) {
    std::set<std::string> out;
    for (POSITION at = list.GetHeadPosition(); at;) out.insert(Upper(list.GetNext(at).GetString()));
    return out;
}

// A key of the layout: its path under HKEY_LOCAL_MACHINE and its string values.
struct LayoutKey {
    const char* path;
    std::vector<std::pair<const char*, const char*>> values;
};

// What the older generations left: their devices under Enum, their driver keys under
// Services\Class, their Uninstall key; and beside them what belongs to others.
const LayoutKey kProductKeys[] = {
    {"Enum\\PCI\\VEN_5D7E&DEV_0001&SUBSYS_00015D7E\\BUS_00&DEV_0A&FUNC_00", {{"Driver", "MultiPortSerial\\0000"}}},
    {"Enum\\PCMCIA\\HALVORN-SERIAL_CARD-1234\\1", {{"Driver", "Ports\\0001"}}},
    {"Enum\\MF\\CHILD0000\\HALVORN_PORT_0", {{"Driver", "Ports\\0002"}}},
    {"Enum\\Root\\MultiFunction\\0000", {{"Mfg", "Pellmark Ltd."}, {"Driver", "MultiFunction\\0000"}}},
    {"System\\CurrentControlSet\\Services\\Class\\MultiPortSerial\\0000", {{"ProviderName", "Pellmark"}}},
    {"System\\CurrentControlSet\\Services\\Class\\Ports\\0001", {{"ProviderName", "Pellmark"}}},
    {"System\\CurrentControlSet\\Services\\Class\\Ports\\0002", {{"ProviderName", "PELLMARK"}}},
    {"System\\CurrentControlSet\\Services\\Class\\Ports\\0003", {{"ProviderName", "Pellmark Ltd"}}},
    {"System\\CurrentControlSet\\Services\\Class\\MultiFunction\\0000", {{"ProviderName", "Pellmark"}}},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellmark\\Files", {}},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarrow.USB", {}},
};
const LayoutKey kForeignKeys[] = {
    {"Enum\\PCI\\VEN_8086&DEV_7110\\X", {{"Driver", "Ports\\0009"}}},
    {"Enum\\MF\\CHILD0000\\OTHER_PORT", {{"Driver", "Ports\\0009"}}},
    {"Enum\\Root\\MultiFunction\\0001", {{"Mfg", "Other Maker"}}},
    {"System\\CurrentControlSet\\Services\\Class\\Ports\\0009", {{"ProviderName", "Microsoft"}}},
};
// What the search must find: the roots as it upper-cases them, the rest as the registry has it.
const char* const kFoundKeys[] = {
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellmark",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarrow.USB",
    "ENUM\\PCI\\VEN_5D7E&DEV_0001&SUBSYS_00015D7E",
    "ENUM\\PCI\\VEN_5D7E&DEV_0001&SUBSYS_00015D7E\\BUS_00&DEV_0A&FUNC_00",
    "System\\CurrentControlSet\\Services\\Class\\MultiPortSerial\\0000",
    "ENUM\\PCMCIA\\HALVORN-SERIAL_CARD-1234",
    "ENUM\\PCMCIA\\HALVORN-SERIAL_CARD-1234\\1",
    "System\\CurrentControlSet\\Services\\Class\\Ports\\0001",
    "ENUM\\MF\\CHILD0000\\HALVORN_PORT_0",
    "System\\CurrentControlSet\\Services\\Class\\Ports\\0002",
    "ENUM\\ROOT\\MULTIFUNCTION\\0000",
    "System\\CurrentControlSet\\Services\\Class\\MultiFunction\\0000",
    "System\\CurrentControlSet\\Services\\Class\\Ports\\0003",
};

// Files on C:, by their folder below C:\Windows; each product file with the companion that goes
// with it, or none.
struct LayoutFile {
    const char* folder;
    const char* name;
    const char* companion;
};
const LayoutFile kProductFiles[] = {
    {"System32", "PMSERIAL.VXD", nullptr}, {"System32", "PmPorts.dll", nullptr},
    {"System32", "PMSERIAL.INF", "PMSERIAL.PNF"}, {"inf", "PMPORT.INF", "PMPORT.PNF"},
    {"inf\\Other", "PELLMARK.INF", nullptr}, {"inf", "PMDRV.BIN", nullptr},
    {"Help", "PMCARD.HLP", "PMCARD.GID"}, {"System32", "PMSERIAL.HLP", nullptr},
};
const LayoutFile kForeignFiles[] = {
    {"inf", "OTHER.INF", "OTHER.PNF"},
    {"System32", "OTHER.VXD", nullptr},
};

class Win9xUninstallTest : public ::testing::Test {
protected:
    void StartMachine(const char* windows) {
        static std::atomic<int> counter{0};
        root_ = fs::temp_directory_path() / ("hv-uun9x-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(root_);
        hvsim::MachineOptions options;
        options.root = root_;
        options.clock = hvsim::ClockMode::Virtual;
        options.windows = windows;
        machine_ = std::make_unique<hvsim::Machine>(options);
        hvsim::user::reset_message_boxes();
        hvsim::ui::reset_modal_loops();
    }

    void TearDown() override {
        EXPECT_EQ(0u, hvsim::user::unscripted_message_boxes());
        EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
        hvsim::ui::reset_modal_loops();
        if (machine_) machine_->shutdown();
        machine_.reset();
        hvsim::user::set_windows_version(hvsim::user::WindowsVersion{});
        fs::remove_all(root_);
    }

    fs::path HostPath(const char* folder, const char* name) const {
        fs::path path = root_ / "C" / "Windows";
        std::string rest = folder;
        for (size_t at; (at = rest.find('\\')) != std::string::npos; rest.erase(0, at + 1)) path /= rest.substr(0, at);
        return path / rest / name;
    }

    static void WriteKey(const LayoutKey& key) {
        HKEY handle;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &handle, nullptr))
            << key.path;
        for (const auto& [name, text] : key.values)
            RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(strlen(text) + 1));
        RegCloseKey(handle);
    }

    void WriteFile(const LayoutFile& file) const {
        for (const char* name : {file.name, file.companion}) {
            if (!name) continue;
            fs::create_directories(HostPath(file.folder, name).parent_path());
            std::ofstream(HostPath(file.folder, name)) << "old";
        }
    }

    void WriteLayout() {
        for (const auto& key : kProductKeys) WriteKey(key);
        for (const auto& key : kForeignKeys) WriteKey(key);
        for (const auto& file : kProductFiles) WriteFile(file);
        for (const auto& file : kForeignFiles) WriteFile(file);
        ASSERT_TRUE(SetFileAttributesA("C:\\Windows\\System32\\PmPorts.dll", FILE_ATTRIBUTE_READONLY));
    }

    static bool KeyExists(const char* path) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }

    void ExpectLayoutRemoved() const {
        for (const char* key : kFoundKeys) EXPECT_FALSE(KeyExists(key)) << key;
        for (const auto& file : kProductFiles)
            for (const char* name : {file.name, file.companion})
                if (name) {
                    EXPECT_FALSE(fs::exists(HostPath(file.folder, name))) << name;
                }
        ExpectOthersKept();
    }

    void ExpectLayoutKept() const {
        for (const auto& key : kProductKeys) EXPECT_TRUE(KeyExists(key.path)) << key.path;
        for (const auto& file : kProductFiles) EXPECT_TRUE(fs::exists(HostPath(file.folder, file.name))) << file.name;
        ExpectOthersKept();
    }

    void ExpectOthersKept() const {
        for (const auto& key : kForeignKeys) EXPECT_TRUE(KeyExists(key.path)) << key.path;
        // The multifunction card's device key keeps the function of another maker.
        EXPECT_TRUE(KeyExists("Enum\\MF\\CHILD0000"));
        for (const auto& file : kForeignFiles)
            for (const char* name : {file.name, file.companion})
                if (name) {
                    EXPECT_TRUE(fs::exists(HostPath(file.folder, name))) << name;
                }
    }

    hvsim::ProgramRun Run(std::vector<std::u16string> args, hvsim::user::TokenKind token) {
        hvsim::RunOptions options;
        options.token = token;
        return machine_->run_program(fs::path(HV_UUN_IMAGE), args, options);
    }

    fs::path root_;
    std::unique_ptr<hvsim::Machine> machine_;
};

TEST_F(Win9xUninstallTest, TheOperationFindsTheOlderGenerationsAndRemovesThemWithTheirCompanions) {
    StartMachine("98");
    WriteLayout();
    CPmWin9xUninstallOperation operation;
    ASSERT_TRUE(operation.SearchProducts(nullptr));
    ASSERT_TRUE(operation.SearchDriverFiles(nullptr));
    ASSERT_TRUE(operation.SearchRegistryEntries(nullptr));
    const CPmWin9xUninstallData& data = operation.Data();
    std::set<std::string> keys;
    for (const char* key : kFoundKeys) keys.insert(Upper(key));
    EXPECT_EQ(keys, UpperSet(data.m_KeyList));
    EXPECT_EQ((std::set<std::string>{"C:\\WINDOWS\\SYSTEM32\\PMSERIAL.VXD", "C:\\WINDOWS\\SYSTEM32\\PMPORTS.DLL"}),
              UpperSet(data.m_FileList));
    EXPECT_EQ((std::set<std::string>{"C:\\WINDOWS\\INF\\PMPORT.INF", "C:\\WINDOWS\\INF\\OTHER\\PELLMARK.INF",
                                     "C:\\WINDOWS\\INF\\PMDRV.BIN", "C:\\WINDOWS\\SYSTEM32\\PMSERIAL.INF"}),
              UpperSet(data.m_InfList));
    EXPECT_EQ((std::set<std::string>{"C:\\WINDOWS\\HELP\\PMCARD.HLP", "C:\\WINDOWS\\SYSTEM32\\PMSERIAL.HLP"}),
              UpperSet(data.m_HelpFileList));
    // No ports test on these systems.
    EXPECT_TRUE(operation.ArePortsFree());

    ASSERT_TRUE(operation.UninstallProducts(nullptr));
    ASSERT_TRUE(operation.UninstallDriverFiles(nullptr));
    ASSERT_TRUE(operation.UninstallRegistryEntries(nullptr));
    ExpectLayoutRemoved();
    EXPECT_TRUE(data.m_FailedDeletionList.IsEmpty());
    EXPECT_FALSE(operation.IsRebootNeeded());
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
}

TEST_F(Win9xUninstallTest, WithoutTheOlderGenerationsOnlyTheUninstallKeysAreFoundAndTheBarsStillRun) {
    StartMachine("98");
    InitCommonControls();
    CProgressCtrl bar;
    ASSERT_TRUE(bar.Attach(CreateWindowExW(0, PROGRESS_CLASSW, u"", WS_POPUP, 0, 0, 100, 10, nullptr, nullptr,
                                           nullptr, nullptr)));
    auto range = [&] {
        PBRANGE r{};
        bar.SendMessage(PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&r));
        return std::make_pair(int(r.iLow), int(r.iHigh));
    };
    CPmWin9xUninstallOperation operation;
    ASSERT_TRUE(operation.SearchDriverFiles(&bar));
    EXPECT_EQ(std::make_pair(0, 1), range()); // no file: the bar filled
    ASSERT_TRUE(operation.SearchRegistryEntries(&bar));
    EXPECT_EQ(std::make_pair(0, 2), range());
    EXPECT_EQ(2, bar.GetPos());
    EXPECT_EQ(2, operation.Data().m_KeyList.GetCount());
    ASSERT_TRUE(operation.UninstallDriverFiles(&bar));
    EXPECT_EQ(std::make_pair(0, 1), range());
    ASSERT_TRUE(operation.UninstallRegistryEntries(&bar));
    EXPECT_EQ(std::make_pair(1, 2), range());
    // A restart is needed when the rescan says so.
    hvsim::user::cm_fail_next(hvsim::user::CmRoutine::ReenumerateDevNode, CR_NEED_RESTART);
    EXPECT_TRUE(operation.IsRebootNeeded());
    EXPECT_FALSE(operation.IsRebootNeeded());
    DestroyWindow(bar.Detach());
}

TEST_F(Win9xUninstallTest, OnWindows98TheWizardRunsForAUserWithoutAdministratorRights) {
    StartMachine("98");
    WriteLayout();
    hvsim::ui::script_modal_visitors({[](HWND) {}});
    hvsim::RunOptions options;
    options.token = hvsim::user::TokenKind::StandardUser;
    HANDLE process = machine_->start_program(fs::path(HV_UUN_IMAGE), {}, options);
    HWND window = nullptr;
    ASSERT_TRUE(hvsim::ui::wait_until([&] { return (window = hvsim::ui::find_sheet(kTitle)) != nullptr; }));
    hvsim::ui::Sheet sheet(window);
    ASSERT_TRUE(hvsim::ui::wait_until([&] { return sheet.button_enabled(SheetButton::Next); }));
    ASSERT_TRUE(sheet.press(SheetButton::Next));
    // The product search waits two seconds; meanwhile the wizard cannot be left.
    ASSERT_TRUE(hvsim::ui::wait_until(
        [&] { return sheet.page_index() == 1 && sheet.page().text(1006) == u"Searching Tarrow products....."; }));
    // The page posts its buttons, while the worker's text is sent and so comes first: the
    // buttons are set once the wizard has nothing queued, still within the search.
    hvsim::ui::wait_idle();
    EXPECT_EQ(u"Searching Tarrow products.....", sheet.page().text(1006));
    EXPECT_FALSE(sheet.button_enabled(SheetButton::Cancel));
    EXPECT_FALSE(sheet.button_enabled(SheetButton::Next));
    EXPECT_FALSE(sheet.press(SheetButton::Cancel));
    SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(sheet.ended());
    ASSERT_TRUE(hvsim::ui::wait_until([&] { return sheet.page_index() == 2; }));
    hvsim::ui::wait_idle();
    ExpectLayoutKept();
    ASSERT_TRUE(sheet.press(SheetButton::Next));
    ASSERT_TRUE(hvsim::ui::wait_until([&] { return sheet.page_index() == 4; }));
    hvsim::ui::wait_idle();
    ASSERT_TRUE(sheet.press(SheetButton::Finish));
    ASSERT_TRUE(hvsim::ui::wait_until([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }));
    DWORD code = 0xDEAD;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
    ExpectLayoutRemoved();
}

TEST_F(Win9xUninstallTest, OnWindowsMeASilentRunRemovesTheOlderGenerationsWithoutAQuestion) {
    StartMachine("me");
    WriteLayout();
    hvsim::ui::script_modal_visitors({[](HWND) {}});
    const hvsim::ProgramRun run = Run({u"/s"}, hvsim::user::TokenKind::StandardUser);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_FALSE(run.restarted);
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
    ExpectLayoutRemoved();
}

// The Windows 95 dialog: Uninstall runs the whole sequence once, Finish ends the program after
// the worker and asks for a restart only when one is needed.
struct Win95Case {
    const char* what;
    bool finish_at_once; // Finish pressed while the worker runs
    bool restart_needed;
    int answer;          // to the restart question, 0 when none is asked
    bool file_in_use = false;
};

class Win95DialogTest : public Win9xUninstallTest, public ::testing::WithParamInterface<Win95Case> {};

TEST_P(Win95DialogTest, RunsTheSequenceOnceAndEndsAfterIt) {
    const Win95Case& c = GetParam();
    StartMachine("95");
    WriteLayout();
    // A file held open cannot go before the restart, which the removal then needs.
    HANDLE held = INVALID_HANDLE_VALUE;
    if (c.file_in_use) {
        held = CreateFileA("C:\\Windows\\System32\\PMSERIAL.VXD", GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
    }
    if (c.answer) hvsim::user::script_message_box_answers({c.answer});
    std::vector<std::string> seen;
    std::vector<hvsim::user::MessageBoxEntry> boxes;
    hvsim::ui::script_modal_visitors({[&](HWND window) {
        hvsim::ui::Dialog dialog(window);
        EXPECT_EQ(u"Pleace click <Uninstall> to remove all Halvorn Devices from your machine. Otherwise click "
                  u"<Finish> to exit.",
                  dialog.text(1019));
        for (int id : {1021, 1022, 1023, 1014, 1024}) EXPECT_FALSE(dialog.visible(id)) << id;
        EXPECT_TRUE(dialog.click(IDOK));
        // Once started, the sequence cannot be started again.
        EXPECT_FALSE(dialog.enabled(IDOK));
        if (!c.finish_at_once) {
            EXPECT_TRUE(hvsim::ui::wait_until(
                [&] { return dialog.text(1023) == u"Uninstallation process completed."; }));
            hvsim::ui::wait_idle();
            EXPECT_EQ(6, dialog.position(1022));
            for (int id : {1021, 1022, 1023, 1014}) EXPECT_TRUE(dialog.visible(id)) << id;
            seen.push_back("completed");
        }
        if (c.restart_needed) hvsim::user::cm_fail_next(hvsim::user::CmRoutine::ReenumerateDevNode, CR_NEED_RESTART);
        EXPECT_TRUE(dialog.click(IDCANCEL));
        // The restart that the answer asks for comes after the program: what it was asked, before.
        boxes = hvsim::user::message_box_transcript();
    }});
    const hvsim::ProgramRun run = Run({}, hvsim::user::TokenKind::StandardUser);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(c.finish_at_once ? 0u : 1u, seen.size());
    EXPECT_EQ(std::vector<std::u16string>{kTitle}, hvsim::ui::modal_transcript());
    if (c.answer) {
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(u"You need to reboot your machine to complete uninstallation.\nDo you want to reboot now?",
                  boxes[0].text);
        EXPECT_EQ(UINT(MB_YESNO), boxes[0].type);
    } else {
        EXPECT_TRUE(boxes.empty());
    }
    EXPECT_EQ(c.answer == IDYES, run.restarted);
    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
        EXPECT_TRUE(fs::exists(HostPath("System32", "PMSERIAL.VXD")));
        fs::remove(HostPath("System32", "PMSERIAL.VXD"));
    }
    ExpectLayoutRemoved();
}

INSTANTIATE_TEST_SUITE_P(Cases, Win95DialogTest,
                         ::testing::Values(Win95Case{"no restart needed", false, false, 0},
                                           Win95Case{"Finish while the worker runs", true, false, 0},
                                           Win95Case{"restart needed, answered yes", false, true, IDYES},
                                           Win95Case{"restart needed, answered no", false, true, IDNO},
                                           // Finish asks only once the worker is done with the files.
                                           Win95Case{"Finish at once with a file in use", true, false, IDNO, true}),
                         [](const auto& info) {
                             std::string name = info.param.what;
                             name.erase(std::remove_if(name.begin(), name.end(),
                                                       [](char ch) { return !std::isalnum((unsigned char)ch); }),
                                        name.end());
                             return name;
                         });

} // namespace
