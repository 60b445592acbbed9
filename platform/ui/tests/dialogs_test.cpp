// Dialogs: templates declared as a resource script, the loader, modal loops and their visitors,
// and the dialog manager's item calls.
#include "ui_fixture.h"

#include <hv_resource.h>

#include "internal/ui_internal.h"

namespace {

constexpr UINT IDD_SETTINGS = 200, IDD_NESTED = 201, IDD_BROKEN_CLASS = 202;

HV_DIALOGS_BEGIN
HV_DIALOGEX(IDD_SETTINGS, 0, 0, 200, 120, DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, u"Settings")
HV_FONT(8, u"MS Shell Dlg")
HV_LTEXT(u"&Speed:", 10, 8, 10, 40, 8)
HV_EDITTEXT(11, 50, 8, 60, 12, ES_NUMBER)
HV_AUTOCHECKBOX(u"&Override", 12, 8, 30, 80, 10)
HV_PUSHBUTTON(u"&More...", 13, 8, 50, 50, 14, WS_DISABLED)
HV_ICON(5, 14, 120, 8, HV_NOT(WS_VISIBLE))
HV_DEFPUSHBUTTON(u"OK", IDOK, 90, 100, 50, 14)
HV_PUSHBUTTON(u"Cancel", IDCANCEL, 145, 100, 50, 14)
HV_DIALOGEX(IDD_NESTED, 0, 0, 100, 40, WS_POPUP | WS_CAPTION, u"Nested")
HV_PUSHBUTTON(u"Open", 20, 5, 5, 40, 14)
HV_PUSHBUTTON(u"Close", IDCANCEL, 50, 5, 40, 14)
HV_DIALOGEX(IDD_BROKEN_CLASS, 0, 0, 100, 40, WS_POPUP, u"Broken")
HV_CONTROL(u"", 30, u"NoSuchControlClass", 0, 0, 0, 10, 10)
HV_DIALOGS_END

INT_PTR CALLBACK settings_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        message_log().add("init:" + std::to_string(lp));
        SetDlgItemInt(hwnd, 11, 9600, FALSE);
        return TRUE;
    case WM_COMMAND:
        message_log().add("command:" + std::to_string(LOWORD(wp)) + ":" + std::to_string(HIWORD(wp)));
        if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) EndDialog(hwnd, LOWORD(wp) == IDOK ? 77 : IDCANCEL);
        return TRUE;
    case WM_DESTROY: message_log().add("destroy"); return FALSE;
    default: return FALSE;
    }
}

INT_PTR CALLBACK nested_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COMMAND && LOWORD(wp) == 20) {
        // A modal loop inside a modal loop.
        EndDialog(hwnd, 100 + DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_NESTED), hwnd, nested_proc, 0));
        return TRUE;
    }
    if (msg == WM_COMMAND && LOWORD(wp) == IDCANCEL) {
        EndDialog(hwnd, 1);
        return TRUE;
    }
    return msg == WM_INITDIALOG;
}

// A template of a known size, as a resource is.
HWND create_bounded(const std::vector<BYTE>& bytes) {
    auto t = hvsim::ui::parse_dialog_template(bytes.data(), bytes.size());
    return t ? hvsim::ui::create_dialog(nullptr, *t, nullptr, settings_proc, 0, false) : nullptr;
}

TEST_F(UiTest, TheLoaderFindsAModulesDialogsAsExtendedTemplates) {
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), RT_DIALOG);
    ASSERT_NE(nullptr, resource);
    auto* words = static_cast<const WORD*>(LockResource(LoadResource(nullptr, resource)));
    ASSERT_NE(nullptr, words);
    EXPECT_EQ(1, words[0]);
    EXPECT_EQ(0xFFFF, words[1]);
    EXPECT_GT(SizeofResource(nullptr, resource), 100u);
    EXPECT_EQ(nullptr, FindResourceW(nullptr, MAKEINTRESOURCEW(999), RT_DIALOG));
    EXPECT_EQ(DWORD(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), RT_MENU));
    EXPECT_EQ(DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
    EXPECT_NE(nullptr, FindResourceW(nullptr, u"#200", RT_DIALOG));
}

TEST_F(UiTest, EachModuleHasItsOwnDialogs) {
    std::filesystem::copy_file(HV_TEST_DIALOGS_IMAGE, root_ / "C" / "Windows" / "System32" / "HvTestDialogs.dll");
    HMODULE library = LoadLibraryW(u"HvTestDialogs.dll");
    ASSERT_NE(nullptr, library);
    HWND theirs = CreateDialogParamW(library, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, nullptr, 0);
    HWND ours = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, settings_proc, 0);
    ASSERT_TRUE(theirs && ours);
    EXPECT_EQ(u"From the library", hvsim::ui::Dialog(theirs).text());
    EXPECT_EQ(u"Settings", hvsim::ui::Dialog(ours).text());
    EXPECT_EQ(nullptr, FindResourceW(library, MAKEINTRESOURCEW(IDD_NESTED), RT_DIALOG));
    DestroyWindow(theirs);
    DestroyWindow(ours);
    // Unloaded, the library's dialogs are gone with it.
    FreeLibrary(library);
    EXPECT_EQ(nullptr, FindResourceW(library, MAKEINTRESOURCEW(IDD_SETTINGS), RT_DIALOG));
}

TEST_F(UiTest, AModelessDialogIsMadeInWindowsOrder) {
    HWND dialog = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, settings_proc, 5);
    ASSERT_NE(nullptr, dialog);
    // Setting the field in WM_INITDIALOG tells the dialog at once; then the field takes the focus.
    EXPECT_EQ((std::vector<std::string>{"init:5", "command:11:1024", "command:11:768", "command:11:256"}),
              message_log().take());
    hvsim::ui::Dialog d(dialog);
    EXPECT_EQ(u"9600", d.text(11));
    BOOL ok = FALSE;
    EXPECT_EQ(9600u, GetDlgItemInt(dialog, 11, &ok, FALSE));
    EXPECT_TRUE(ok);
    EXPECT_FALSE(d.enabled(13));
    EXPECT_FALSE(d.visible(14));
    EXPECT_FALSE(IsWindowVisible(dialog));         // no WS_VISIBLE in the template
    EXPECT_EQ(GetDlgItem(dialog, 11), GetFocus()); // the first tab stop
    EXPECT_EQ(MAKELRESULT(IDOK, DC_HASDEFID), SendMessageW(dialog, DM_GETDEFID, 0, 0));
    // Nobody clicks a hidden dialog, nor a disabled button; a check box toggles before its parent
    // hears of it.
    EXPECT_FALSE(d.click(12));
    ShowWindow(dialog, SW_SHOW);
    message_log().take();
    EXPECT_FALSE(d.click(13));
    EXPECT_TRUE(d.click(12));
    EXPECT_TRUE(d.checked(12));
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(dialog, 12));
    EXPECT_EQ((std::vector<std::string>{"command:11:512", "command:12:0"}), message_log().take());
    DestroyWindow(dialog);
    EXPECT_EQ(std::vector<std::string>{"destroy"}, message_log().take());
}

TEST_F(UiTest, DialogItemNumbersAreReadAsWindowsReadsThem) {
    HWND dialog = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, settings_proc, 0);
    struct Case {
        const char16_t* text;
        BOOL is_signed;
        UINT value;
        BOOL translated;
    };
    const Case cases[] = {
        {u"  42 ", FALSE, 42, TRUE},      {u"-7", TRUE, UINT(-7), TRUE},
        {u"-7", FALSE, 0, FALSE},         {u"4294967295", FALSE, 0xFFFFFFFFu, TRUE},
        {u"4294967296", FALSE, 0, FALSE}, {u"2147483648", TRUE, 0, FALSE},
        {u"12a", FALSE, 0, FALSE},        {u"", FALSE, 0, FALSE},
    };
    for (const auto& c : cases) {
        SetDlgItemTextW(dialog, 10, c.text);
        BOOL translated = 2;
        EXPECT_EQ(c.value, GetDlgItemInt(dialog, 10, &translated, c.is_signed))
            << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
        EXPECT_EQ(c.translated, translated);
    }
    DestroyWindow(dialog);
}

TEST_F(UiTest, AModalDialogDisablesItsOwnerUntilItEnds) {
    HWND owner = CreateWindowExW(0, recording_class(), u"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 10, 10,
                                 nullptr, nullptr, nullptr, nullptr);
    message_log().take();
    bool owner_was_disabled = false;
    hvsim::ui::script_modal_visitors({[&](HWND dialog) {
        owner_was_disabled = !IsWindowEnabled(owner);
        hvsim::ui::Dialog d(dialog);
        EXPECT_TRUE(d.type(11, u"12x34"));
        EXPECT_EQ(u"1234", d.text(11)); // ES_NUMBER refused the letter
        EXPECT_TRUE(d.click(IDOK));
    }});
    EXPECT_EQ(77, DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), owner, settings_proc, 0));
    EXPECT_TRUE(owner_was_disabled);
    EXPECT_TRUE(IsWindowEnabled(owner));
    // The owner is disabled once the dialog is made, before it shows.
    auto log = message_log().take();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ("init:0", log[0]);
    EXPECT_EQ(2, std::count(log.begin(), log.end(), "owner:WM_ENABLE"));
    EXPECT_NE(std::find(log.begin(), log.end(), "command:1:0"), log.end());
    EXPECT_EQ(std::vector<std::u16string>{u"Settings"}, hvsim::ui::modal_transcript());

    // The Indirect form runs the same loop on a template in memory; none is no dialog.
    auto* in_memory = static_cast<LPCDLGTEMPLATEW>(
        LockResource(LoadResource(nullptr, FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), RT_DIALOG))));
    hvsim::ui::script_modal_visitors({[&](HWND dialog) {
        owner_was_disabled = !IsWindowEnabled(owner);
        EXPECT_TRUE(hvsim::ui::Dialog(dialog).click(IDOK));
    }});
    EXPECT_EQ(77, DialogBoxIndirectParamW(nullptr, in_memory, owner, settings_proc, 5));
    EXPECT_TRUE(owner_was_disabled);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_EQ("init:5", message_log().take().front());
    EXPECT_EQ(-1, DialogBoxIndirectParamW(nullptr, nullptr, owner, settings_proc, 0));
    DestroyWindow(owner);
}

TEST_F(UiTest, ModalLoopsNestAndEachTakesItsVisitor) {
    std::vector<std::u16string> seen;
    hvsim::ui::script_modal_visitors({
        [&](HWND outer) {
            seen.push_back(hvsim::ui::Dialog(outer).text());
            hvsim::ui::Dialog(outer).click(20);
        },
        [&](HWND inner) {
            seen.push_back(u"inner");
            hvsim::ui::Dialog(inner).click(IDCANCEL);
        },
    });
    EXPECT_EQ(101, DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_NESTED), nullptr, nested_proc, 0));
    EXPECT_EQ((std::vector<std::u16string>{u"Nested", u"inner"}), seen);
    EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
}

TEST_F(UiTest, AnUnscriptedModalLoopEndsWithCancelAndIsCounted) {
    EXPECT_EQ(IDCANCEL, DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, settings_proc, 0));
    EXPECT_EQ(1u, hvsim::ui::unscripted_modal_loops());
    hvsim::ui::reset_modal_loops();
}

TEST_F(UiTest, AnUnattendedModalLoopIsLeftToTheProgramsOwnThreads) {
    hvsim::ui::leave_unscripted_modal_loops(true);
    std::thread worker = machine_thread([] {
        ASSERT_TRUE(hvsim::ui::wait_until([] { return hvsim::ui::find_dialog(u"Settings") != nullptr; }));
        hvsim::ui::Dialog(hvsim::ui::find_dialog(u"Settings")).click(IDOK);
    });
    EXPECT_EQ(77, DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, settings_proc, 0));
    worker.join();
    EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
    EXPECT_EQ(std::vector<std::u16string>{u"Settings"}, hvsim::ui::modal_transcript());
    hvsim::ui::reset_modal_loops();
}

TEST_F(UiTest, ABadTemplateMakesNoWindow) {
    EXPECT_EQ(nullptr, CreateDialogParamW(nullptr, MAKEINTRESOURCEW(IDD_BROKEN_CLASS), nullptr, settings_proc, 0));
    EXPECT_EQ(DWORD(ERROR_CANNOT_FIND_WND_CLASS), GetLastError());
    EXPECT_EQ(-1, DialogBoxParamW(nullptr, MAKEINTRESOURCEW(999), nullptr, settings_proc, 0));
    // A template cut short anywhere is refused, never read past its end.
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_SETTINGS), RT_DIALOG);
    auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, resource)));
    const DWORD size = SizeofResource(nullptr, resource);
    for (DWORD cut = 0; cut < size; cut += 7) {
        std::vector<BYTE> truncated(bytes, bytes + cut);
        truncated.resize(cut + 2, 0xFF); // an unterminated string at the end
        EXPECT_EQ(nullptr, create_bounded(truncated)) << cut;
    }
    EXPECT_TRUE(hvsim::ui::top_level_windows().empty());
    std::vector<BYTE> whole(bytes, bytes + size);
    HWND dialog = create_bounded(whole);
    EXPECT_NE(nullptr, dialog);
    DestroyWindow(dialog);
}

} // namespace
