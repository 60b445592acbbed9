// The uninstaller program run on the machine with the package installed, a two-port adapter
// plugged, an unplugged adapter, a foreign serial card and a read-only file of an older version:
// silent, through its wizard as a user drives it, and the starts it refuses.
#include "uninstall_machine_fixture.h"

#include <hvsim/programs.h>
#include <hvsim/ui.h>

#include <functional>

namespace {

using hvsim::ui::SheetButton;

constexpr WCHAR kProgram[] = u"C:\\Windows\\System32\\HvUUn23.exe";
constexpr char kInstanceMutex[] = "{9A52E7C1-04B8-4D3F-A6E9-72C15B8D40E3}";
constexpr WCHAR kTitle[] = u"Halvorn Tarrow Uninstallation";
constexpr WCHAR kPortsInUse[] = u"The driver has NOT been removed.\r\n\r\nOne of the COM port is using by another "
                                u"program.\r\nPlease close the COM Port and try again.";

class UninstallerProgramTest : public UninstallMachineTest {
protected:
    void SetUp() override {
        hvsim::ui::reset_modal_loops();
        UninstallMachineTest::SetUp();
        hvsim::user::reset_process_records();
    }
    void TearDown() override {
        EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
        hvsim::ui::reset_modal_loops();
        UninstallMachineTest::TearDown();
    }

    // The program's windows are left to the test's thread (or to the program's own workers).
    static void LeaveWindows() {
        hvsim::ui::script_modal_visitors({[](HWND) {}});
    }

    hvsim::ProgramRun Run(std::vector<std::u16string> args,
                          hvsim::user::TokenKind token = hvsim::user::TokenKind::Administrator) {
        hvsim::RunOptions options;
        options.token = token;
        return machine_->run_program(std::filesystem::path(kProgram), args, options);
    }

    HANDLE Start(std::vector<std::u16string> args) {
        LeaveWindows();
        return machine_->start_program(std::filesystem::path(kProgram), args);
    }

    static DWORD WaitForExit(HANDLE process) {
        EXPECT_TRUE(hvsim::ui::wait_until([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }));
        DWORD code = 0xDEAD;
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
        return code;
    }

    static hvsim::ui::Sheet Wizard() {
        HWND sheet = nullptr;
        EXPECT_TRUE(hvsim::ui::wait_until([&] { return (sheet = hvsim::ui::find_sheet(kTitle)) != nullptr; }));
        return hvsim::ui::Sheet(sheet);
    }

    static void WaitForPage(const hvsim::ui::Sheet& sheet, int index) {
        EXPECT_TRUE(hvsim::ui::wait_until([&] { return sheet.page_index() == index; })) << "page " << index;
        hvsim::ui::wait_idle();
    }

    // A page of the wizard that has been shown, found by one of its controls.
    static hvsim::ui::Dialog PageWith(const hvsim::ui::Sheet& sheet, int control) {
        for (HWND child = GetWindow(sheet.hwnd(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            if (GetDlgItem(child, control)) return hvsim::ui::Dialog(child);
        ADD_FAILURE() << "no page with control " << control;
        return hvsim::ui::Dialog();
    }

    // Nothing of the product was touched: its ports run, its services, files and names are there.
    void ExpectEverythingKept() {
        for (const auto& port : ports_) EXPECT_TRUE(card_test::started(port)) << Narrow(port);
        EXPECT_TRUE(DeviceExists(unplugged_ports_[0]));
        for (const char* service : {"HvUsbSam", "HvUVCP"}) EXPECT_TRUE(ServiceExists(service)) << service;
        EXPECT_TRUE(key_exists(u"SYSTEM\\CurrentControlSet\\Services\\HvUBUS21"));
        for (const WCHAR* file : {u"C:\\Windows\\System32\\drivers\\HvUBus.sys", u"C:\\Windows\\System32\\HvUUI23.dll",
                                  u"C:\\Windows\\System32\\HvUUI20.dll", kProgram})
            EXPECT_TRUE(OnDrive(file)) << Narrow(file);
        for (const auto& inf : package_infs_) EXPECT_TRUE(fs::exists(machine_->inf_directory() / inf)) << inf;
        for (const auto& name : names_) EXPECT_TRUE(claimed(std::stoul(Narrow(name.substr(3))))) << Narrow(name);
        EXPECT_FALSE(hvsim::user::take_restart_request());
    }

    // The command lines of the processes the program tried to start for its own deletion.
    static std::vector<std::u16string> SelfDeletions() {
        std::vector<std::u16string> lines;
        for (const auto& started : hvsim::user::process_creations())
            if (started.command_line.find(u"command.com") != std::u16string::npos) lines.push_back(started.command_line);
        return lines;
    }

    static std::vector<std::u16string> BoxTexts() {
        std::vector<std::u16string> texts;
        for (const auto& box : hvsim::user::message_box_transcript()) texts.push_back(box.text);
        return texts;
    }
};

TEST_F(UninstallerProgramTest, ASilentRunRemovesEveryTraceWithoutAQuestionAndTheRestartFinishesIt) {
    LeaveWindows();
    const hvsim::ProgramRun run = Run({u"/s"});
    EXPECT_EQ(0u, run.exit_code);
    // Nothing is asked, not even the restart that the program's own file in use needs.
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty()) << Narrow(BoxTexts().front());
    EXPECT_FALSE(run.restarted);
    EXPECT_EQ(std::vector<std::u16string>{kTitle}, hvsim::ui::modal_transcript());
    ExpectNothingOfTheProduct(false);
    ExpectTheForeignCardUntouched();
    EXPECT_FALSE(OnDrive(u"C:\\Windows\\System32\\HvUUI20.dll")) << "the read-only file";
    // Finish was never pressed: the installed copy of the uninstaller is not deleted for itself.
    EXPECT_TRUE(SelfDeletions().empty());

    machine_->restart();
    ExpectNothingOfTheProduct(true);
    ExpectTheForeignCardUntouched();
    EXPECT_FALSE(OnDrive(kProgram));
    // The adapter is still plugged, and nothing drives it now.
    for (const auto& function : ports_of(adapter_)) {
        EXPECT_FALSE(card_test::started(function)) << Narrow(function);
        EXPECT_EQ(u"<none>", value(function, u"", u"Service")) << Narrow(function);
    }
}

// The restart question at the end, answered either way.
class UninstallerWizardTest : public UninstallerProgramTest, public ::testing::WithParamInterface<int> {};

TEST_P(UninstallerWizardTest, ShowsEachStepAndRemovesTheProductOnceConfirmed) {
    HANDLE process = Start({});
    hvsim::ui::Sheet sheet = Wizard();
    WaitForPage(sheet, 0);
    EXPECT_EQ(5u, sheet.page_titles().size());
    hvsim::ui::Dialog intro = sheet.page();
    EXPECT_EQ(u"Halvorn Tarrow Uninstallation", intro.text(1000));
    EXPECT_EQ(u"This wizard will guide you through the uninstallation process of Tarrow Product.", intro.text(1001));
    EXPECT_EQ(u"To Continue : Click 'Next'.", intro.text(1002));
    EXPECT_TRUE(sheet.button_enabled(SheetButton::Next));
    EXPECT_FALSE(sheet.button_enabled(SheetButton::Back));
    EXPECT_FALSE(sheet.button_visible(SheetButton::Help));
    EXPECT_TRUE(sheet.button_enabled(SheetButton::Cancel));
    ASSERT_TRUE(sheet.press(SheetButton::Next));

    // The search runs by itself and stops at the confirmation, where nothing is removed yet.
    WaitForPage(sheet, 2);
    hvsim::ui::Dialog search = PageWith(sheet, 1006);
    EXPECT_EQ(u"Finished searching.", search.text(1006));
    EXPECT_EQ(u"Overall Progress:", search.text(1014));
    EXPECT_EQ(std::make_pair(0, 3), search.range(1012));
    EXPECT_EQ(3, search.position(1012));
    hvsim::ui::Dialog confirm = sheet.page();
    EXPECT_EQ(u" Confimation..", sheet.header_title());
    EXPECT_EQ(u" Do you really want to continue?", sheet.header_subtitle());
    EXPECT_EQ(u"Please confirm that you wish to start the uninstallation process for Halvorn Tarrow products.",
              confirm.text(1007));
    EXPECT_EQ(u"To start Uninstallation:  Click 'Next'\nTo exit: Click 'Cancel'", confirm.text(1008));
    EXPECT_TRUE(sheet.button_enabled(SheetButton::Next));
    EXPECT_TRUE(sheet.button_enabled(SheetButton::Cancel));
    EXPECT_FALSE(sheet.button_enabled(SheetButton::Back));
    for (const auto& port : ports_) EXPECT_TRUE(card_test::started(port));
    ASSERT_TRUE(sheet.press(SheetButton::Next));

    WaitForPage(sheet, 4);
    hvsim::ui::Dialog uninstall = PageWith(sheet, 1013);
    EXPECT_EQ(u"Uninstallation process completed.", uninstall.text(1013));
    EXPECT_EQ(u"Overall Progress:", uninstall.text(1014));
    EXPECT_EQ(3, uninstall.position(1012));
    hvsim::ui::Dialog finish = sheet.page();
    EXPECT_EQ(u"Uninstallation process completed.", finish.text(1015));
    EXPECT_EQ(u"You have successfully uninstalled your Halvorn Tarrow products.", finish.text(1016));
    EXPECT_EQ(u"To close this wizard, Click 'Finish'.", finish.text(1017));
    EXPECT_EQ(u"", finish.text(1018));
    EXPECT_TRUE(sheet.button_enabled(SheetButton::Finish));
    EXPECT_FALSE(sheet.button_enabled(SheetButton::Back));
    // From the uninstall page on, neither Cancel nor the close box ends the wizard.
    EXPECT_FALSE(sheet.button_enabled(SheetButton::Cancel));
    SendMessageW(sheet.hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
    hvsim::ui::wait_idle();
    EXPECT_FALSE(sheet.ended());
    ExpectNothingOfTheProduct(false);

    // The program's own file goes only at the restart, so the wizard asks for it at its end.
    hvsim::user::script_message_box_answers({GetParam()});
    ASSERT_TRUE(sheet.press(SheetButton::Finish));
    EXPECT_EQ(0u, WaitForExit(process));
    const auto boxes = hvsim::user::message_box_transcript();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(u"You need to restart your system to complete uninstallation.\nDo you want to restart your system NOW?",
              boxes[0].text);
    EXPECT_EQ(u"Tarrow Uninstallation ", boxes[0].caption);
    EXPECT_EQ(UINT(MB_YESNO | MB_ICONQUESTION), boxes[0].type);
    // Yes restarts at once, closing programs without asking.
    const std::optional<UINT> restart = hvsim::user::take_restart_request();
    if (GetParam() == IDYES) {
        EXPECT_EQ(std::optional<UINT>(EWX_REBOOT | EWX_FORCE), restart);
    } else {
        EXPECT_FALSE(restart);
    }
    ExpectTheForeignCardUntouched();
    // Finish deletes the installed copy, its path quoted.
    EXPECT_EQ(std::vector<std::u16string>{u"command.com /c del \"C:\\Windows\\System32\\HvUUn23.exe\""},
              SelfDeletions());

    machine_->restart();
    ExpectNothingOfTheProduct(true);
    EXPECT_FALSE(OnDrive(kProgram));
}

INSTANTIATE_TEST_SUITE_P(RestartAnswers, UninstallerWizardTest, ::testing::Values(IDNO, IDYES));

// Three ways out of the wizard before anything is removed.
enum class Leave { PortOpenAtStart, PortOpenedOnTheConfirmPage, CancelOnTheConfirmPage };

class UninstallerLeftEarlyTest : public UninstallerProgramTest, public ::testing::WithParamInterface<Leave> {};

TEST_P(UninstallerLeftEarlyTest, RemovesNothing) {
    const std::u16string port = u"\\\\.\\" + names_[0];
    HANDLE open = INVALID_HANDLE_VALUE;
    auto open_port = [&] {
        open = CreateFileW(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, open) << GetLastError();
    };
    if (GetParam() == Leave::PortOpenAtStart) open_port();
    HANDLE process = Start({});
    hvsim::ui::Sheet sheet = Wizard();
    WaitForPage(sheet, 0);
    ASSERT_TRUE(sheet.press(SheetButton::Next));
    if (GetParam() != Leave::PortOpenAtStart) {
        WaitForPage(sheet, 2);
        if (GetParam() == Leave::PortOpenedOnTheConfirmPage) {
            open_port();
            ASSERT_TRUE(sheet.press(SheetButton::Next));
        } else {
            ASSERT_TRUE(sheet.press(SheetButton::Cancel));
        }
    }
    EXPECT_EQ(1u, WaitForExit(process));
    if (open != INVALID_HANDLE_VALUE) CloseHandle(open);
    const auto boxes = hvsim::user::message_box_transcript();
    if (GetParam() == Leave::CancelOnTheConfirmPage) {
        EXPECT_TRUE(boxes.empty());
    } else {
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(kPortsInUse, boxes[0].text);
        EXPECT_EQ(u"Un-installation Error", boxes[0].caption);
        EXPECT_EQ(UINT(MB_ICONERROR), boxes[0].type);
    }
    ExpectEverythingKept();
}

INSTANTIATE_TEST_SUITE_P(Ways, UninstallerLeftEarlyTest,
                         ::testing::Values(Leave::PortOpenAtStart, Leave::PortOpenedOnTheConfirmPage,
                                           Leave::CancelOnTheConfirmPage));

// In a silent run, a failure that ends the program is still reported.
TEST_F(UninstallerProgramTest, ASilentRunStopsAtAnOpenPortWithItsMessage) {
    HANDLE open = CreateFileW((u"\\\\.\\" + names_[1]).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    LeaveWindows();
    EXPECT_EQ(1u, Run({u"/s"}).exit_code);
    CloseHandle(open);
    EXPECT_EQ(std::vector<std::u16string>{kPortsInUse}, BoxTexts());
    ExpectEverythingKept();
}

TEST_F(UninstallerProgramTest, ASecondInstanceEndsAtOnceWithoutAWindow) {
    HANDLE first = CreateMutexA(nullptr, FALSE, kInstanceMutex);
    ASSERT_NE(nullptr, first);
    const hvsim::ProgramRun run = Run({u"/s"});
    CloseHandle(first);
    EXPECT_EQ(1u, run.exit_code);
    EXPECT_TRUE(hvsim::ui::modal_transcript().empty());
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
    ExpectEverythingKept();
}

TEST_F(UninstallerProgramTest, OnlyAnAdministratorWithTheGroupEnabledMayUninstall) {
    for (const auto token : {hvsim::user::TokenKind::StandardUser, hvsim::user::TokenKind::FilteredAdministrator}) {
        SCOPED_TRACE(token == hvsim::user::TokenKind::StandardUser ? "standard user" : "filtered administrator");
        hvsim::user::reset_message_boxes();
        const hvsim::ProgramRun run = Run({u"/s"}, token);
        EXPECT_EQ(1u, run.exit_code);
        const auto boxes = hvsim::user::message_box_transcript();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(u"You do not have sufficient security permissions to uninstall  programs.\nPlease contact your "
                  u"administrator or log out and log back in as an administrator.",
                  boxes[0].text);
        EXPECT_EQ(UINT(MB_ICONERROR), boxes[0].type);
        EXPECT_TRUE(hvsim::ui::modal_transcript().empty());
        ExpectEverythingKept();
    }
}

// Help, an unknown switch and a plain argument mean nothing to the uninstaller: the ordinary
// wizard, with its confirmation, shows.
TEST_F(UninstallerProgramTest, ArgumentsOtherThanSilentGiveTheOrdinaryWizard) {
    for (const char16_t* argument : {u"/x", u"/h", u"-?", u"notes.txt"}) {
        SCOPED_TRACE(Narrow(argument));
        hvsim::ui::reset_modal_loops();
        size_t pages = 0;
        bool visible = false;
        hvsim::ui::script_modal_visitors({[&](HWND window) {
            hvsim::ui::Sheet sheet(window);
            pages = sheet.page_titles().size();
            visible = IsWindowVisible(window);
            sheet.press(SheetButton::Cancel);
        }});
        EXPECT_EQ(1u, Run({argument}).exit_code);
        EXPECT_EQ(5u, pages);
        EXPECT_TRUE(visible);
    }
    EXPECT_TRUE(hvsim::user::message_box_transcript().empty());
    ExpectEverythingKept();
}

} // namespace
