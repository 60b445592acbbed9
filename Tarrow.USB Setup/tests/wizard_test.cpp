// The setup wizard run by script as a user runs it: the intro page tells what the detection
// found, the install page runs with nothing to press and no way out, the question about a
// previous installation is answered Yes or No, and the finish page shows the result.
#include "setup_machine.h"

#include <hvsim/format.h>
#include <hvsim/ui.h>

#include <algorithm>

namespace {

using hvsim::ui::SheetButton;

constexpr char16_t kDetecting[] = u"Please wait while detecting previous installations.....";
constexpr char16_t kFound[] = u"Setup detected a previous installation. Setup will uninstall the existing installation "
                              u"and re-install current version from fresh.";
constexpr char16_t kQuestion[] =
    u"Setup detected a previous installation.\r\nIf you continue, setup will uninstall the existing installation "
    u"and re-install current version.\r\nIt will not keep the previous device settings.\r\n\r\nDo you want to "
    u"continue?";
constexpr char16_t kCompleted[] = u"Installation process completed.";
constexpr char16_t kSuccess[] = u"You have successfully installed your Halvorn Tarrow products.";
constexpr char16_t kNotInstalled[] = u"Product was not installed.";

// What the script saw on the way through the wizard.
struct Seen {
    std::u16string sheet_title, welcome, detection, remove_devices_text;
    bool detecting = false, cancel_while_detecting = false, close_while_detecting = false;
    bool icon = false, remove_devices = false, cancel_after_detection = false, help = true;
    int install_page = -1;
    bool install_cancel = true, install_next = true, install_close = true;
    std::u16string finish_title, finish_text, finish_close, finish_note;
    bool finished = false;
};

// Goes through the wizard: Next on the intro page once the detection is done, then waits for
// the install run to end on the finish page, and presses Finish.
hvsim::ui::ModalVisitor script(Seen& seen) {
    return [&seen](HWND window) {
        hvsim::ui::Sheet sheet(window);
        hvsim::ui::Dialog intro = sheet.page();
        // While the detection runs, the sheet cannot be left.
        if (intro.text(1026) == kDetecting) {
            seen.detecting = true;
            seen.cancel_while_detecting = sheet.button_enabled(SheetButton::Cancel);
            seen.close_while_detecting =
                EnableMenuItem(GetSystemMenu(window, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED) == MF_ENABLED;
        }
        if (!hvsim::ui::wait_until(
                [&] { return intro.visible(1002) && sheet.button_enabled(SheetButton::Next); }))
            return sheet.press(SheetButton::Cancel), void();
        seen.sheet_title = sheet.text();
        seen.welcome = intro.text(1000);
        seen.detection = intro.text(1026);
        seen.icon = intro.visible(1027);
        seen.remove_devices = intro.visible(1002);
        seen.remove_devices_text = intro.text(1002);
        seen.cancel_after_detection = sheet.button_enabled(SheetButton::Cancel);
        seen.help = sheet.button_visible(SheetButton::Help);
        sheet.press(SheetButton::Next);
        // The worker waits seconds of machine time before its rescans: the page is seen meanwhile.
        seen.install_page = sheet.page_index();
        if (seen.install_page == 1) {
            // The page's buttons arrive by a posted message.
            hvsim::ui::wait_until([&] { return !sheet.button_enabled(SheetButton::Next); }, 10'000'000);
            seen.install_cancel = sheet.button_enabled(SheetButton::Cancel);
            seen.install_next = sheet.button_enabled(SheetButton::Next);
            seen.install_close = EnableMenuItem(GetSystemMenu(window, FALSE), SC_CLOSE, MF_BYCOMMAND) != -1;
        }
        if (!hvsim::ui::wait_until([&] { return sheet.page_index() == 2; })) return sheet.press(SheetButton::Cancel), void();
        hvsim::ui::Dialog finish = sheet.page();
        seen.finish_title = finish.text(1015);
        seen.finish_text = finish.text(1016);
        seen.finish_close = finish.text(1017);
        seen.finish_note = finish.text(1018);
        seen.finished = sheet.press(SheetButton::Finish);
    };
}

struct WizardCase {
    const char* name;
    bool previous;          // the package installed and an adapter plugged before
    int answer;             // to the question, 0 when none is asked
    const char* corrupt;    // an INF of the medium that is no INF
    const char* drop;       // an INF the medium lacks
    const char16_t* detection;
    const char16_t* finish_title;
    const char16_t* finish_text; // a part of it
    bool installs;          // the previous installation is replaced
};

class SetupWizardTest : public SetupMachineTest, public ::testing::WithParamInterface<WizardCase> {};

TEST_P(SetupWizardTest, ShowsTheDetectionRunsTheInstallAndEndsOnTheResult) {
    const WizardCase& c = GetParam();
    std::vector<hvsim::ComPort> before;
    if (c.previous) before = install_and_plug();
    const auto store = store_files();
    hvsim::user::reset_comdb_hooks();
    hvsim::user::reset_message_boxes();
    if (c.answer) hvsim::user::script_message_box_answers({c.answer});
    hvsim::ui::reset_modal_loops();
    Seen seen;
    hvsim::ui::script_modal_visitors({script(seen)});

    const auto medium = c.corrupt || c.drop ? medium_copy("medium", c.corrupt, c.drop) : std::filesystem::path();
    hvsim::ProgramRun run = run_setup({}, std::nullopt, medium);
    EXPECT_EQ(0u, run.exit_code) << run.output;

    EXPECT_EQ(u"Halvorn Tarrow Installation", seen.sheet_title);
    EXPECT_EQ(u"Halvorn Tarrow Installation", seen.welcome);
    if (seen.detecting) {
        EXPECT_FALSE(seen.cancel_while_detecting);
        EXPECT_FALSE(seen.close_while_detecting);
    }
    EXPECT_EQ(std::u16string(c.detection), seen.detection);
    EXPECT_EQ(c.previous, seen.icon);
    EXPECT_TRUE(seen.remove_devices);
    EXPECT_EQ(u"PLEASE REMOVE ALL Tarrow devices.\n\nTo Continue : Click 'Next'.", seen.remove_devices_text);
    EXPECT_TRUE(seen.cancel_after_detection);
    EXPECT_FALSE(seen.help);
    EXPECT_EQ(1, seen.install_page);
    EXPECT_FALSE(seen.install_cancel) << "Cancel during the install run";
    EXPECT_FALSE(seen.install_next);
    EXPECT_FALSE(seen.install_close) << "the close box during the install run";
    EXPECT_EQ(std::u16string(c.finish_title), seen.finish_title);
    EXPECT_NE(std::u16string::npos, seen.finish_text.find(c.finish_text)) << hvsim::text::to_utf8(seen.finish_text);
    EXPECT_EQ(u"To close this wizard, Click 'Finish'.", seen.finish_close);
    EXPECT_EQ(u"", seen.finish_note);
    EXPECT_TRUE(seen.finished);

    const auto boxes = hvsim::user::message_box_transcript();
    const bool asked = std::any_of(boxes.begin(), boxes.end(), [](const auto& box) {
        return box.text == kQuestion && box.caption == u"Confirm?" && box.type == (MB_YESNO | MB_ICONQUESTION) &&
               box.owner != nullptr;
    });
    EXPECT_EQ(c.answer != 0, asked);
    if (c.corrupt) {
        ASSERT_FALSE(boxes.empty());
        EXPECT_EQ(u"Unable to install driver INF file", boxes.back().text);
        EXPECT_EQ(u"Installer failure", boxes.back().caption);
    }
    if (!c.previous) {
        EXPECT_TRUE(in_store("HVUBUS.INF"));
        EXPECT_TRUE(in_store("HVUSER.INF"));
        return;
    }
    // Replaced, or left as it was.
    auto released = released_numbers();
    EXPECT_EQ(c.installs, !released.empty());
    if (!c.installs && !c.corrupt) {
        EXPECT_EQ(store, store_files());
    }
    const auto after = ports_of_adapter();
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(before[i].name, after[i].name);
}

constexpr char16_t kNotFound[] = u"Error: Setup cannot find necessory inf file to install.";

INSTANTIATE_TEST_SUITE_P(
    Runs, SetupWizardTest,
    ::testing::Values(
        WizardCase{"Fresh", false, 0, nullptr, nullptr, u"", kCompleted, kSuccess, true},
        WizardCase{"PreviousYes", true, IDYES, nullptr, nullptr, kFound, kCompleted, kSuccess, true},
        WizardCase{"PreviousNo", true, IDNO, nullptr, nullptr, kFound, kNotInstalled,
                   u"A previous installation was detected.", false},
        WizardCase{"CorruptPortInf", true, IDYES, "HVUSER.INF", nullptr, kFound, kNotInstalled,
                   u"Unable to install driver INF file D:\\HVUSER.INF. Error Code: 0x", false},
        WizardCase{"NoBusInf", true, IDYES, nullptr, "HVUBUS.INF", kFound, kNotInstalled, kNotFound, false}),
    [](const ::testing::TestParamInfo<WizardCase>& info) { return std::string(info.param.name); });

} // namespace
