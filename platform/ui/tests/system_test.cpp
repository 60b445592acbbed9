// What programs ask of the desktop: drawing objects, message boxes, metrics, help and the shell.
#include "ui_fixture.h"

#include <htmlhelp.h>
#include <hv_resource.h>
#include <shellapi.h>

#include <cstring>

namespace {

HV_RESOURCES_BEGIN
HV_BITMAP(129, 49, 49, 24)
HV_ICON_RESOURCE(136, 48, 48)
HV_RESOURCES_END

TEST_F(UiTest, DrawingObjectsAreCountedUntilDeleted) {
    const auto before = hvsim::ui::gdi_objects();
    HBRUSH brush = CreateSolidBrush(0x00F6F7F8);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(32, GetDeviceCaps(screen, BITSPIXEL));
    EXPECT_EQ(96, GetDeviceCaps(screen, LOGPIXELSY));
    EXPECT_EQ(OPAQUE, SetBkMode(screen, TRANSPARENT));
    LOGFONTA lf{};
    lf.lfHeight = -(8 * GetDeviceCaps(screen, LOGPIXELSY)) / 72;
    lf.lfWeight = FW_BOLD;
    std::strcpy(lf.lfFaceName, "Verdana Bold");
    HFONT font = CreateFontIndirectA(&lf);
    HBITMAP bitmap = LoadBitmapA(nullptr, MAKEINTRESOURCEA(129));
    ASSERT_TRUE(brush && font && bitmap);
    EXPECT_EQ(nullptr, LoadBitmapA(nullptr, MAKEINTRESOURCEA(130)));
    BITMAP bm{};
    EXPECT_EQ(int(sizeof bm), GetObjectW(bitmap, sizeof bm, &bm));
    EXPECT_EQ(49, bm.bmWidth);
    EXPECT_EQ(24, bm.bmBitsPixel);
    LOGFONTA back{};
    EXPECT_EQ(int(sizeof back), GetObjectA(font, sizeof back, &back));
    EXPECT_STREQ("Verdana Bold", back.lfFaceName);
    EXPECT_EQ(0x00F6F7F8u, *hvsim::ui::brush_color(brush));
    auto during = hvsim::ui::gdi_objects();
    EXPECT_EQ(before.total + 4, during.total);
    EXPECT_EQ(before.device_contexts + 1, during.device_contexts);
    // An object selected into a device context stays; stock objects are never freed.
    HGDIOBJ old = SelectObject(screen, font);
    EXPECT_FALSE(DeleteObject(font));
    SelectObject(screen, old);
    EXPECT_TRUE(DeleteObject(GetStockObject(NULL_BRUSH)));
    for (HGDIOBJ object : {HGDIOBJ(brush), HGDIOBJ(font), HGDIOBJ(bitmap)}) EXPECT_TRUE(DeleteObject(object));
    EXPECT_FALSE(DeleteObject(brush));
    EXPECT_EQ(1, ReleaseDC(nullptr, screen));
    EXPECT_EQ(before.total, hvsim::ui::gdi_objects().total);
    // A dialog's own font goes with the dialog.
    HWND box = CreateWindowExW(0, WC_DIALOG, u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(box);
    EXPECT_EQ(before.total, hvsim::ui::gdi_objects().total);
}

TEST_F(UiTest, AMessageBoxIsAModalWindowOverItsDisabledOwner) {
    HWND owner = CreateWindowExW(0, recording_class(), u"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 10, 10,
                                 nullptr, nullptr, nullptr, nullptr);
    HWND child = CreateWindowExW(0, recording_class(), u"child", WS_CHILD | WS_VISIBLE, 0, 0, 5, 5, owner, nullptr,
                                 nullptr, nullptr);
    message_log().take();
    hvsim::user::reset_message_boxes();
    hvsim::user::script_message_box_answers({IDNO});
    EXPECT_EQ(IDNO, MessageBoxW(child, u"Continue?", u"Warning!", MB_YESNO | MB_ICONINFORMATION));
    auto transcript = hvsim::user::message_box_transcript();
    ASSERT_EQ(1u, transcript.size());
    EXPECT_TRUE(transcript[0].owner_disabled);
    EXPECT_TRUE(IsWindowEnabled(owner));
    auto log = message_log().take();
    EXPECT_EQ(2, std::count(log.begin(), log.end(), "owner:WM_ENABLE"));
    EXPECT_EQ(owner, GetActiveWindow());
    // A bad style or a stale owner shows nothing and takes no answer.
    hvsim::user::script_message_box_answers({IDOK});
    EXPECT_EQ(0, MessageBoxW(nullptr, u"?", u"?", 0x0F));
    DestroyWindow(owner);
    EXPECT_EQ(0, MessageBoxW(child, u"?", u"?", MB_OK));
    EXPECT_EQ(DWORD(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
    EXPECT_EQ(IDOK, MessageBoxW(nullptr, u"Done", u"Setup", MB_OKCANCEL));
    EXPECT_TRUE(hvsim::ui::top_level_windows().empty());
}

TEST_F(UiTest, HelpGoesToTheMachinesHelpControlAndLinksToTheShell) {
    HWND page = CreateWindowExW(0, WC_DIALOG, u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(nullptr, HtmlHelpW(page, u"HvUUI23.chm::/StdPage.htm>mainwin", HH_DISPLAY_TOPIC, 0));
    const DWORD ids[] = {841, 0x806B0349, 222, 0x806B0349, 0, 0};
    HtmlHelpW(page, u"HvUUI23.chm::/HvUUI.txt", HH_TP_HELP_WM_HELP, DWORD_PTR(ids));
    auto calls = hvsim::ui::help_calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(u"HvUUI23.chm::/StdPage.htm>mainwin", calls[0].file);
    EXPECT_EQ(UINT(HH_TP_HELP_WM_HELP), calls[1].command);
    EXPECT_EQ((std::vector<std::pair<DWORD, DWORD>>{{841, 0x806B0349}, {222, 0x806B0349}}), calls[1].ids);
    EXPECT_EQ(0u, hvsim::user::loaded_libraries());
    EXPECT_GT(uintptr_t(ShellExecuteW(page, u"open", u"https://www.example.com", nullptr, nullptr, SW_SHOWNORMAL)),
              32u);
    ASSERT_EQ(1u, hvsim::ui::shell_calls().size());
    EXPECT_EQ(u"https://www.example.com", hvsim::ui::shell_calls()[0].file);
    // Without the control in System32 there is no help.
    std::filesystem::remove(root_ / "C" / "Windows" / "System32" / "hhctrl.ocx");
    EXPECT_EQ(nullptr, HtmlHelpW(page, u"x.chm", HH_DISPLAY_TOPIC, 0));
    DestroyWindow(page);
}

TEST_F(UiTest, TheDesktopAnswersWithItsMetricsAndIcons) {
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    EXPECT_EQ(FW_NORMAL, metrics.lfMessageFont.lfWeight);
    EXPECT_STRNE("", metrics.lfMessageFont.lfFaceName);
    EXPECT_FALSE(SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, 12, &metrics, 0));
    EXPECT_EQ(1024, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_NE(nullptr, LoadIconW(nullptr, IDI_INFORMATION));
    EXPECT_NE(LoadIconW(nullptr, IDI_ERROR), LoadIconW(nullptr, IDI_INFORMATION));
    EXPECT_EQ(nullptr, LoadIconA(nullptr, MAKEINTRESOURCEA(136))); // no module: the system's icons only
}

} // namespace
