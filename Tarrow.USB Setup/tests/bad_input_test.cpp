// Setup refused or misused: a second instance, no administrator rights, a medium without or with
// a corrupt INF file, the usage switch and an unknown switch. Each refusal says so (silent: by
// its exit code) and leaves a previous installation as it was.
#include "setup_machine.h"

#include <hvsim/format.h>
#include <hvsim/ui.h>

namespace {

constexpr char16_t kNoRights[] = u"You do not have sufficient security permissions to uninstall  programs.\nPlease "
                                 u"contact your administrator or log out and log back in as an administrator.";
constexpr char16_t kUsage[] = u"This setup application is for Halvorn Tarrow installation.\r\n\r\nUsage: \r\n\tSilent "
                              u"Installation -  setup.exe /s\r\n\tNormal Installation -  setup.exe        \r\n";

struct RefusalCase {
    const char* name;
    std::vector<std::u16string> args;
    std::optional<hvsim::user::TokenKind> token;
    bool second_instance;
    const char* corrupt; // an INF of the medium that is no INF
    const char* drop;    // an INF the medium lacks
    DWORD exit_code;
    const char16_t* box; // the one box shown, or none
    UINT box_type;
};

class SetupRefusalTest : public SetupMachineTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SetupRefusalTest, SaysWhyAndLeavesThePreviousInstallationAsItWas) {
    const RefusalCase& c = GetParam();
    const auto before = install_and_plug();
    const auto store = store_files();
    hvsim::user::reset_comdb_hooks();
    hvsim::user::reset_message_boxes();
    HANDLE other = c.second_instance ? CreateMutexA(nullptr, FALSE, "{7C19D4A8-2B6E-4f05-93D1-E48A06C5B27F}") : nullptr;

    const auto medium = c.corrupt || c.drop ? medium_copy("medium", c.corrupt, c.drop) : std::filesystem::path();
    hvsim::ProgramRun run = run_setup(c.args, c.token, medium);
    if (other) CloseHandle(other);

    EXPECT_EQ(c.exit_code, run.exit_code) << run.output;
    const auto boxes = hvsim::user::message_box_transcript();
    if (c.box) {
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(std::u16string(c.box), boxes[0].text);
        EXPECT_EQ(c.box_type, boxes[0].type);
    } else {
        EXPECT_TRUE(boxes.empty()) << hvsim::text::to_utf8(boxes.front().text);
    }
    EXPECT_TRUE(hvsim::ui::modal_transcript().empty()) << "no wizard";
    EXPECT_TRUE(released_numbers().empty());
    if (!c.corrupt) {
        EXPECT_EQ(store, store_files());
    }
    const auto after = ports_of_adapter();
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(before[i].name, after[i].name);
        EXPECT_EQ(before[i].instance_id, after[i].instance_id);
    }
}

using hvsim::user::TokenKind;

INSTANTIATE_TEST_SUITE_P(
    Refusals, SetupRefusalTest,
    ::testing::Values(
        RefusalCase{"SecondInstance", {u"/s"}, std::nullopt, true, nullptr, nullptr, ERROR_ALREADY_EXISTS, nullptr, 0},
        RefusalCase{"StandardUser", {u"/s"}, TokenKind::StandardUser, false, nullptr, nullptr, ERROR_ACCESS_DENIED,
                    kNoRights, MB_ICONHAND},
        RefusalCase{"FilteredAdministrator", {u"/s"}, TokenKind::FilteredAdministrator, false, nullptr, nullptr,
                    ERROR_ACCESS_DENIED, kNoRights, MB_ICONHAND},
        RefusalCase{"NoPortInf", {u"/s"}, std::nullopt, false, nullptr, "HVUSER.INF", ERROR_FILE_NOT_FOUND, nullptr, 0},
        RefusalCase{"CorruptBusInf", {u"/s"}, std::nullopt, false, "HVUBUS.INF", nullptr, ERROR_GENERAL_SYNTAX,
                    nullptr, 0},
        RefusalCase{"CorruptPortInf", {u"-S"}, std::nullopt, false, "HVUSER.INF", nullptr, ERROR_GENERAL_SYNTAX,
                    nullptr, 0},
        // The usage box needs no rights; with the silent switch, the silent run wins.
        RefusalCase{"UsageAsStandardUser", {u"/?"}, TokenKind::StandardUser, false, nullptr, nullptr, 0, kUsage,
                    MB_ICONINFORMATION},
        RefusalCase{"SilentAndHelpAsStandardUser", {u"/hs"}, TokenKind::StandardUser, false, nullptr, nullptr,
                    ERROR_ACCESS_DENIED, kNoRights, MB_ICONHAND}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// The wizard's rights: before Vista only an administrator gets it; from Vista on the manifest
// has elevated the program already. An unknown switch is no reason to refuse.
struct WizardRightsCase {
    const char* name;
    hvsim::user::WindowsVersion windows;
    std::vector<std::u16string> args;
    bool wizard;
};

class SetupWizardRightsTest : public SetupMachineTest, public ::testing::WithParamInterface<WizardRightsCase> {};

TEST_P(SetupWizardRightsTest, OpensTheWizardOrSaysWhyNot) {
    const WizardRightsCase& c = GetParam();
    hvsim::user::set_windows_version(c.windows);
    hvsim::ui::reset_modal_loops();
    std::u16string title;
    // Seen once the detection is done, then left with Cancel: nothing installed.
    hvsim::ui::script_modal_visitors({[&](HWND window) {
        hvsim::ui::Sheet sheet(window);
        hvsim::ui::wait_until([&] { return sheet.page().visible(1002) && sheet.button_enabled(hvsim::ui::SheetButton::Cancel); });
        title = sheet.text();
        sheet.press(hvsim::ui::SheetButton::Cancel);
    }});
    hvsim::ProgramRun run = run_setup(c.args, TokenKind::StandardUser);
    EXPECT_EQ(0u, run.exit_code);
    const auto boxes = hvsim::user::message_box_transcript();
    if (c.wizard) {
        EXPECT_EQ(u"Halvorn Tarrow Installation", title);
        EXPECT_TRUE(boxes.empty());
    } else {
        EXPECT_EQ(0u, hvsim::ui::modal_transcript().size());
        hvsim::ui::reset_modal_loops(); // the visitor was not needed
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(kNoRights, boxes[0].text);
    }
    EXPECT_FALSE(in_store("HVUBUS.INF"));
}

hvsim::user::WindowsVersion xp() {
    hvsim::user::WindowsVersion v;
    v.major = 5;
    v.minor = 1;
    v.build = 2600;
    v.service_pack = u"Service Pack 3";
    v.service_pack_major = 3;
    return v;
}

INSTANTIATE_TEST_SUITE_P(Rights, SetupWizardRightsTest,
                         ::testing::Values(WizardRightsCase{"Windows7", {}, {}, true},
                                           WizardRightsCase{"Windows7UnknownSwitch", {}, {u"/x"}, true},
                                           WizardRightsCase{"WindowsXp", xp(), {}, false}),
                         [](const ::testing::TestParamInfo<WizardRightsCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
