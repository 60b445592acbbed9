#include "ui_fixture.h"

MessageLog& message_log() {
    static MessageLog log;
    return log;
}

std::string message_name(UINT msg) {
    static const std::pair<UINT, const char*> names[] = {
        {WM_CREATE, "WM_CREATE"},
        {WM_DESTROY, "WM_DESTROY"},
        {WM_NCCREATE, "WM_NCCREATE"},
        {WM_NCDESTROY, "WM_NCDESTROY"},
        {WM_NCCALCSIZE, "WM_NCCALCSIZE"},
        {WM_SIZE, "WM_SIZE"},
        {WM_MOVE, "WM_MOVE"},
        {WM_SHOWWINDOW, "WM_SHOWWINDOW"},
        {WM_ACTIVATE, "WM_ACTIVATE"},
        {WM_NCACTIVATE, "WM_NCACTIVATE"},
        {WM_SETFOCUS, "WM_SETFOCUS"},
        {WM_KILLFOCUS, "WM_KILLFOCUS"},
        {WM_ENABLE, "WM_ENABLE"},
        {WM_SETTEXT, "WM_SETTEXT"},
        {WM_PARENTNOTIFY, "WM_PARENTNOTIFY"},
        {WM_SETFONT, "WM_SETFONT"},
        {WM_INITDIALOG, "WM_INITDIALOG"},
        {WM_COMMAND, "WM_COMMAND"},
        {WM_NOTIFY, "WM_NOTIFY"},
        {WM_HSCROLL, "WM_HSCROLL"},
        {WM_USER, "WM_USER"},
        {WM_APP, "WM_APP"},
        {WM_TIMER, "WM_TIMER"},
        {WM_HELP, "WM_HELP"},
    };
    for (auto& [id, name] : names)
        if (id == msg) return name;
    return "0x" + std::to_string(msg);
}

namespace {
LRESULT CALLBACK recording_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_GETTEXT || msg == WM_GETTEXTLENGTH) return DefWindowProcW(hwnd, msg, wp, lp);
    WCHAR name[64] = {};
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        if (cs->lpszName)
            std::char_traits<char16_t>::copy(name, cs->lpszName,
                                             std::min<size_t>(63, std::char_traits<char16_t>::length(cs->lpszName)));
    } else {
        GetWindowTextW(hwnd, name, 64);
    }
    std::string n;
    for (WCHAR* p = name; *p; ++p) n += char(*p);
    message_log().add(n + ":" + message_name(msg));
    return DefWindowProcW(hwnd, msg, wp, lp);
}
} // namespace

const char16_t* recording_class() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = recording_proc;
    wc.lpszClassName = u"HvRecording";
    RegisterClassExW(&wc); // again after each boot: the machine forgets programs' classes
    return u"HvRecording";
}
