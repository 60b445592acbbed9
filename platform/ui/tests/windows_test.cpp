// Windows: creation and destruction in Windows' order, subclassing, longs, and stale handles.
#include "ui_fixture.h"

namespace {

HWND make(const char16_t* name, DWORD style = WS_OVERLAPPEDWINDOW, HWND parent = nullptr, int id = 0) {
    return CreateWindowExW(0, recording_class(), name, style, 0, 0, 100, 50, parent, HMENU(intptr_t(id)), nullptr,
                           nullptr);
}

TEST_F(UiTest, CreationAndDestructionComeInWindowsOrder) {
    HWND top = make(u"top");
    HWND a = make(u"a", WS_CHILD | WS_VISIBLE, top, 1);
    HWND b = make(u"b", WS_CHILD, a, 2);
    ASSERT_TRUE(top && a && b);
    EXPECT_EQ(
        (std::vector<std::string>{"top:WM_NCCREATE", "top:WM_NCCALCSIZE", "top:WM_CREATE", "top:WM_SIZE", "top:WM_MOVE",
                                  "a:WM_NCCREATE", "a:WM_NCCALCSIZE", "a:WM_CREATE", "a:WM_SIZE", "a:WM_MOVE",
                                  "top:WM_PARENTNOTIFY", "a:WM_SHOWWINDOW", "b:WM_NCCREATE", "b:WM_NCCALCSIZE",
                                  "b:WM_CREATE", "b:WM_SIZE", "b:WM_MOVE", "a:WM_PARENTNOTIFY"}),
        message_log().take());
    EXPECT_EQ(a, GetWindow(top, GW_CHILD));
    EXPECT_EQ(top, GetParent(a));
    EXPECT_TRUE(IsChild(top, b));
    EXPECT_FALSE(IsWindowVisible(b));
    // WM_DESTROY goes down the tree, WM_NCDESTROY comes back up.
    EXPECT_TRUE(DestroyWindow(top));
    EXPECT_EQ((std::vector<std::string>{"top:WM_DESTROY", "a:WM_DESTROY", "b:WM_DESTROY", "b:WM_NCDESTROY",
                                        "a:WM_NCDESTROY", "top:WM_NCDESTROY"}),
              message_log().take());
    EXPECT_FALSE(IsWindow(a));
}

LRESULT CALLBACK refuse_nccreate(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    return msg == WM_NCCREATE ? FALSE : DefWindowProcW(hwnd, msg, wp, lp);
}
LRESULT CALLBACK refuse_create(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CREATE) return -1;
    if (msg == WM_DESTROY) message_log().add("destroyed");
    return DefWindowProcW(hwnd, msg, wp, lp);
}

TEST_F(UiTest, AWindowThatRefusesItsCreationIsNotMade) {
    for (WNDPROC proc : {refuse_nccreate, refuse_create}) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = proc;
        wc.lpszClassName = proc == refuse_create ? u"RefuseCreate" : u"RefuseNcCreate";
        ASSERT_TRUE(RegisterClassExW(&wc));
        EXPECT_EQ(nullptr,
                  CreateWindowExW(0, wc.lpszClassName, u"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
        EXPECT_TRUE(hvsim::ui::top_level_windows().empty());
    }
    EXPECT_EQ(std::vector<std::string>{"destroyed"}, message_log().take());
    EXPECT_EQ(nullptr, CreateWindowExW(0, u"NoSuchClass", u"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_CANNOT_FIND_WND_CLASS), GetLastError());
    EXPECT_EQ(nullptr, make(u"orphan", WS_CHILD));
    EXPECT_EQ(DWORD(ERROR_TLW_WITH_WSCHILD), GetLastError());
}

WNDPROC g_previous;
LRESULT CALLBACK subclass(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_USER) return 7 + CallWindowProcW(g_previous, hwnd, msg, wp, lp);
    return CallWindowProcW(g_previous, hwnd, msg, wp, lp);
}

TEST_F(UiTest, SubclassingChainsProceduresAndLongsKeepTheirValues) {
    HWND w = make(u"w");
    g_previous = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(w, GWLP_WNDPROC, LONG_PTR(subclass)));
    ASSERT_NE(nullptr, g_previous);
    message_log().take();
    EXPECT_EQ(7, SendMessageW(w, WM_USER, 0, 0));
    EXPECT_EQ(std::vector<std::string>{"w:WM_USER"}, message_log().take());
    EXPECT_EQ(0, SetWindowLongPtrW(w, GWLP_USERDATA, 42));
    EXPECT_EQ(42, GetWindowLongPtrW(w, GWLP_USERDATA));
    SetWindowLongPtrW(w, GWL_STYLE, WS_POPUP | WS_DISABLED);
    EXPECT_FALSE(IsWindowEnabled(w));
    EXPECT_TRUE(SetWindowTextW(w, u"renamed"));
    WCHAR text[16];
    EXPECT_EQ(7, GetWindowTextW(w, text, 16));
    EXPECT_EQ(std::u16string(u"renamed"), text);
    SetLastError(0);
    EXPECT_EQ(0, GetWindowLongPtrW(w, 64));
    EXPECT_EQ(DWORD(ERROR_INVALID_INDEX), GetLastError());
}

TEST_F(UiTest, StaleHandlesFailWithInvalidWindowHandle) {
    HWND w = make(u"gone");
    DestroyWindow(w);
    const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
        {"SendMessageW", [&] { return SendMessageW(w, WM_USER, 0, 0) == 0; }},
        {"PostMessageW", [&] { return !PostMessageW(w, WM_USER, 0, 0); }},
        {"SetWindowTextW", [&] { return !SetWindowTextW(w, u"x"); }},
        {"ShowWindow", [&] { return !ShowWindow(w, SW_SHOW); }},
        {"EnableWindow", [&] { return !EnableWindow(w, TRUE); }},
        {"DestroyWindow", [&] { return !DestroyWindow(w); }},
        {"GetWindowLongPtrW", [&] { return GetWindowLongPtrW(w, GWL_STYLE) == 0; }},
        {"GetDlgItem", [&] { return GetDlgItem(w, 1) == nullptr; }},
        {"EndDialog", [&] { return !EndDialog(w, 1); }},
    };
    for (auto& [name, call] : calls) {
        SetLastError(0);
        EXPECT_TRUE(call()) << name;
        EXPECT_EQ(DWORD(ERROR_INVALID_WINDOW_HANDLE), GetLastError()) << name;
    }
}

TEST_F(UiTest, FocusAndActivationMoveWithTheWindows) {
    HWND top = make(u"top", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    HWND a = make(u"a", WS_CHILD | WS_VISIBLE, top, 1);
    HWND b = make(u"b", WS_CHILD | WS_VISIBLE, top, 2);
    EXPECT_EQ(top, GetActiveWindow());
    SetFocus(a);
    message_log().take();
    SetFocus(b);
    EXPECT_EQ((std::vector<std::string>{"a:WM_KILLFOCUS", "b:WM_SETFOCUS"}), message_log().take());
    EnableWindow(b, FALSE);
    EXPECT_EQ(nullptr, GetFocus());
    EXPECT_EQ(nullptr, SetFocus(b)); // a disabled window takes no focus
    HMENU menu = GetSystemMenu(top, FALSE);
    EXPECT_TRUE(DeleteMenu(menu, SC_CLOSE, MF_BYCOMMAND));
    EXPECT_FALSE(DeleteMenu(menu, SC_CLOSE, MF_BYCOMMAND));
}

} // namespace
