// A windowed program written against the kit's user-mode headers alone: a dialog made from a
// template it lays out in memory, and a two-page modeless property sheet that it drives with
// PSM_SETCURSEL and PSM_PRESSBUTTON. It prints each notification its pages receive and exits
// with 0 when they came in Windows' order, else with the number of the step that did not.
#include <windows.h>
#include <commctrl.h>

#include <hv_stdio.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_seen;

void seen(const char* page, const char* what) {
    g_seen.push_back(std::string(page) + " " + what);
    wprintf(u"%hs %hs\n", page, what);
}

// An extended template: a caption, an edit field and an OK button.
std::vector<WORD> dialog_template(DWORD style) {
    std::vector<WORD> t;
    auto dword = [&](DWORD v) {
        t.push_back(LOWORD(v));
        t.push_back(HIWORD(v));
    };
    auto text = [&](const char16_t* s) {
        for (; *s; ++s) t.push_back(WORD(*s));
        t.push_back(0);
    };
    auto align = [&] {
        if (t.size() % 2) t.push_back(0);
    };
    t.push_back(1);
    t.push_back(0xFFFF);
    dword(0);
    dword(0);
    dword(style | DS_SETFONT);
    t.push_back(2);
    for (WORD v : {0, 0, 120, 60}) t.push_back(v);
    t.push_back(0);
    t.push_back(0);
    text(u"Page");
    t.push_back(8);
    t.push_back(FW_NORMAL);
    t.push_back(0x0100);
    text(u"MS Shell Dlg");
    struct Item {
        WORD cls;
        const char16_t* title;
        DWORD id, style;
    };
    for (const Item& item : {Item{0x81, u"", 100, WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_NUMBER},
                             Item{0x80, u"OK", IDOK, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON}}) {
        align();
        dword(0);
        dword(0);
        dword(item.style);
        for (WORD v : {8, 8, 60, 12}) t.push_back(v);
        dword(item.id);
        t.push_back(0xFFFF);
        t.push_back(item.cls);
        text(item.title);
        t.push_back(0);
    }
    return t;
}

INT_PTR CALLBACK dialog_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        seen("dialog", "WM_INITDIALOG");
        SetDlgItemInt(hwnd, 100, UINT(lp), FALSE);
        return TRUE;
    }
    if (msg == WM_DESTROY) seen("dialog", "WM_DESTROY");
    return FALSE;
}

const char* code_name(UINT code) {
    switch (code) {
    case PSN_SETACTIVE: return "PSN_SETACTIVE";
    case PSN_KILLACTIVE: return "PSN_KILLACTIVE";
    case PSN_APPLY: return "PSN_APPLY";
    case PSN_RESET: return "PSN_RESET";
    default: return nullptr;
    }
}

INT_PTR CALLBACK page_proc(HWND hwnd, UINT msg, WPARAM, LPARAM lp) {
    const char* name = reinterpret_cast<const char*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<PROPSHEETPAGEW*>(lp)->lParam);
        seen(reinterpret_cast<const char*>(reinterpret_cast<PROPSHEETPAGEW*>(lp)->lParam), "WM_INITDIALOG");
        return TRUE;
    case WM_NOTIFY:
        if (const char* code = code_name(reinterpret_cast<NMHDR*>(lp)->code)) seen(name, code);
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_DESTROY: seen(name, "WM_DESTROY"); return FALSE;
    default: return FALSE;
    }
}

UINT CALLBACK page_callback(HWND, UINT msg, PROPSHEETPAGEW* psp) {
    if (msg == PSPCB_RELEASE) seen(reinterpret_cast<const char*>(psp->lParam), "PSPCB_RELEASE");
    return 1;
}

} // namespace

int wmain(int, WCHAR**) {
    InitCommonControls();
    // Step 1: a modeless dialog from the in-memory template.
    const std::vector<WORD> tmpl = dialog_template(WS_POPUP | WS_CAPTION | WS_VISIBLE);
    HWND dialog = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(tmpl.data()), nullptr,
                                             dialog_proc, 9600);
    if (!dialog || GetDlgItemInt(dialog, 100, nullptr, FALSE) != 9600 || !IsWindowVisible(dialog)) return 1;
    DestroyWindow(dialog);

    // Step 2: a two-page modeless sheet.
    const std::vector<WORD> page_template = dialog_template(WS_CHILD | WS_CAPTION);
    PROPSHEETPAGEW pages[2] = {};
    const char* names[2] = {"first", "second"};
    for (int i = 0; i < 2; ++i) {
        pages[i].dwSize = sizeof(PROPSHEETPAGEW);
        pages[i].dwFlags = PSP_DLGINDIRECT | PSP_USECALLBACK | PSP_USETITLE;
        pages[i].pResource = reinterpret_cast<LPCDLGTEMPLATEW>(page_template.data());
        pages[i].pszTitle = i ? u"Second" : u"First";
        pages[i].pfnDlgProc = page_proc;
        pages[i].pfnCallback = page_callback;
        pages[i].lParam = LPARAM(names[i]);
    }
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_MODELESS | PSH_PROPTITLE | PSH_NOAPPLYNOW;
    header.pszCaption = u"Program";
    header.nPages = 2;
    header.ppsp = pages;
    HWND sheet = HWND(PropertySheetW(&header));
    if (!IsWindow(sheet)) return 2;
    WCHAR caption[64];
    GetWindowTextW(sheet, caption, 64);
    if (lstrcmpW(caption, u"Program Properties") != 0) return 3;
    if (!SendMessageW(sheet, PSM_SETCURSEL, 1, 0)) return 4;
    SendMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    if (SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0) != 0) return 5;
    DestroyWindow(sheet);

    const std::vector<std::string> expected = {
        "dialog WM_INITDIALOG", "dialog WM_DESTROY",   "first WM_INITDIALOG",  "first PSN_SETACTIVE",
        "first PSN_KILLACTIVE", "second WM_INITDIALOG", "second PSN_SETACTIVE", "second PSN_KILLACTIVE",
        "first PSN_APPLY",      "second PSN_APPLY",     "first WM_DESTROY",     "second WM_DESTROY",
        "first PSPCB_RELEASE",  "second PSPCB_RELEASE"};
    if (g_seen != expected) return 6;
    wprintf(u"Windows' order\n");
    return 0;
}
