// Property sheets and wizards (comctl32).
//
//   CreatePropertySheetPageW, DestroyPropertySheetPage   pages
//   PropertySheetW                                       modal and modeless sheets, wizards
//
// In comctl32's order: a page's dialog is made at its first activation (WM_INITDIALOG with the
// page's copied PROPSHEETPAGEW as lParam), then PSN_SETACTIVE; leaving a page asks it with
// PSN_KILLACTIVE (non-zero keeps it). OK asks the current page, then sends PSN_APPLY to every
// page whose dialog exists, in page order: PSNRET_INVALID shows that page and stops,
// PSNRET_INVALID_NOCHANGEPAGE stops where it is. Cancel asks PSN_QUERYCANCEL, then PSN_RESET
// reaches every made page. At the end WM_DESTROY reaches every made page and PSPCB_RELEASE
// every page, shown or not. A wizard moves with PSN_WIZBACK / PSN_WIZNEXT (0 the next page, -1
// stay, or a page's template id) and ends with PSN_WIZFINISH. PSM_PRESSBUTTON acts whatever the
// button's state and returns once the press has run, the next page's PSN_SETACTIVE included.
#include "internal/ui_internal.h"

#include <hvsim/ui.h>

#include <algorithm>
#include <cstring>
#include <cstddef>
#include <set>

struct _PSP {
    std::vector<std::max_align_t> storage; // the copied PROPSHEETPAGEW and what its owner appended
    HWND hwnd = nullptr;
    bool changed = false;
    bool creation_failed = false;
    std::u16string header_title;
    std::u16string header_subtitle;
    PROPSHEETPAGEW* psp() { return reinterpret_cast<PROPSHEETPAGEW*>(storage.data()); }
};

namespace hvsim::ui {
namespace {

using Page = _PSP;

struct Pages {
    std::mutex mutex;
    std::set<Page*> live;
};
Pages& pages() {
    static Pages* p = new Pages;
    return *p;
}

bool is_live(Page* page) {
    auto& p = pages();
    std::lock_guard lock(p.mutex);
    return p.live.count(page) != 0;
}

// PSPCB_RELEASE, then the page is gone.
void release(Page* page) {
    {
        auto& p = pages();
        std::lock_guard lock(p.mutex);
        if (!p.live.erase(page)) return;
    }
    PROPSHEETPAGEW* psp = page->psp();
    if ((psp->dwFlags & PSP_USECALLBACK) && psp->pfnCallback) psp->pfnCallback(nullptr, PSPCB_RELEASE, psp);
    if ((psp->dwFlags & PSP_USEREFPARENT) && psp->pcRefParent) --*psp->pcRefParent;
    delete page;
}

// A string or a string-table id of a module.
std::u16string string_or_resource(HINSTANCE instance, LPCWSTR text) {
    if (!text) return {};
    if (!IS_INTRESOURCE(text)) return text;
    WCHAR buffer[1024];
    LoadStringW(instance, UINT(uintptr_t(text)), buffer, 1024);
    return buffer;
}

enum class Button { Ok, Cancel, Apply, Help, Back, Next, Finish };

struct SheetModel : WindowModel {
    HWND hwnd = nullptr;
    DWORD flags = 0;
    HINSTANCE instance = nullptr;
    PFNPROPSHEETCALLBACK callback = nullptr;
    std::u16string caption;
    std::vector<Page*> pages;
    int current = -1;
    int start = 0;
    std::u16string start_title;
    bool wizard = false;
    bool ended = false;
    bool saved = false;
    INT_PTR result = 0;
    int restart = 0;
    DWORD wizard_buttons = 0;
    HWND tab = nullptr;
    bool busy = false; // a press is running: a nested press waits its turn
};

// Handed from PropertySheetW to the sheet's WM_INITDIALOG on the same thread.
thread_local std::unique_ptr<SheetModel> t_pending_sheet;

bool is_wizard(DWORD flags) { return (flags & (PSH_WIZARD | PSH_WIZARD97 | PSH_WIZARD_LITE)) != 0; }

SheetModel* sheet_of(HWND hwnd) { return model_of<SheetModel>(hwnd); }

HWND button(const SheetModel& s, Button b) {
    switch (b) {
    case Button::Ok: return GetDlgItem(s.hwnd, IDOK);
    case Button::Cancel: return GetDlgItem(s.hwnd, IDCANCEL);
    case Button::Apply: return GetDlgItem(s.hwnd, IDC_PS_APPLYNOW);
    case Button::Help: return GetDlgItem(s.hwnd, IDHELP);
    case Button::Back: return GetDlgItem(s.hwnd, IDC_PS_BACK);
    case Button::Next: return GetDlgItem(s.hwnd, IDC_PS_NEXT);
    case Button::Finish: return GetDlgItem(s.hwnd, IDC_PS_FINISH);
    }
    return nullptr;
}

LRESULT notify(const SheetModel& s, Page* page, UINT code, LPARAM lp = 0) {
    if (!page || !page->hwnd || !IsWindow(page->hwnd)) return 0;
    PSHNOTIFY n{{s.hwnd, 0, code}, lp};
    return SendMessageW(page->hwnd, WM_NOTIFY, 0, LPARAM(&n));
}

Page* current_page(const SheetModel& s) {
    return s.current >= 0 && s.current < int(s.pages.size()) ? s.pages[size_t(s.current)] : nullptr;
}

// The page whose template is the resource id a wizard page answered with.
int index_of_template(const SheetModel& s, LRESULT id) {
    for (size_t i = 0; i < s.pages.size(); ++i) {
        const PROPSHEETPAGEW* psp = s.pages[i]->psp();
        if (!(psp->dwFlags & PSP_DLGINDIRECT) && uintptr_t(psp->pszTemplate) == uintptr_t(id)) return int(i);
        if (HWND(id) == s.pages[i]->hwnd && s.pages[i]->hwnd) return int(i);
    }
    return -1;
}

std::optional<DialogTemplate> page_template(Page* page) {
    const PROPSHEETPAGEW* psp = page->psp();
    if (psp->dwFlags & PSP_DLGINDIRECT) return parse_dialog_template(psp->pResource, 1 << 20);
    size_t size = 0;
    const void* data = find_dialog_template(psp->hInstance, psp->pszTemplate, &size);
    return data ? parse_dialog_template(data, size) : std::nullopt;
}

// Where pages stand in the sheet, in dialog units.
constexpr int kPageX = 7, kPageY = 21;

std::u16string page_title(Page* page, const DialogTemplate* t) {
    const PROPSHEETPAGEW* psp = page->psp();
    if (psp->dwFlags & PSP_USETITLE) return string_or_resource(psp->hInstance, psp->pszTitle);
    return t ? t->title : std::u16string();
}

// A page's title before its dialog exists: its own, else its template's caption.
std::u16string title_of(Page* page) {
    auto t = page_template(page);
    return page_title(page, t ? &*t : nullptr);
}

// The page's dialog, made at its first activation; false when it cannot be made.
bool make_page(SheetModel& s, Page* page) {
    if (page->hwnd) return true;
    if (page->creation_failed) return false;
    PROPSHEETPAGEW* psp = page->psp();
    if ((psp->dwFlags & PSP_USECALLBACK) && psp->pfnCallback && !psp->pfnCallback(nullptr, PSPCB_CREATE, psp)) {
        page->creation_failed = true;
        return false;
    }
    auto t = page_template(page);
    if (!t) {
        page->creation_failed = true;
        return false;
    }
    DialogTemplate child = *t;
    child.style = (child.style & ~(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE | DS_MODALFRAME | WS_THICKFRAME)) |
                  WS_CHILD | DS_CONTROL;
    const bool interior = s.wizard && (s.flags & PSH_WIZARD97) && !(psp->dwFlags & PSP_HIDEHEADER);
    child.x = short(s.wizard ? 0 : kPageX);
    child.y = short(s.wizard ? (interior ? 37 : 0) : kPageY);
    page->hwnd = create_dialog(psp->hInstance, child, s.hwnd, psp->pfnDlgProc, LPARAM(psp), false);
    if (!page->hwnd) {
        page->creation_failed = true;
        return false;
    }
    SetWindowTextW(page->hwnd, page_title(page, &*t).c_str());
    return true;
}

void show_only(SheetModel& s, int index) {
    for (size_t i = 0; i < s.pages.size(); ++i)
        if (s.pages[i]->hwnd && int(i) != index) ShowWindow(s.pages[i]->hwnd, SW_HIDE);
    if (Page* page = s.pages[size_t(index)]; page->hwnd) ShowWindow(page->hwnd, SW_SHOWNA);
    s.current = index;
    if (auto* tab = model_of<TabModel>(s.tab)) tab->current = index;
}

// Activates the page at `index`, or in a wizard the first that accepts going in `direction`.
bool set_active(SheetModel& s, int index, int direction) {
    for (size_t tries = 0; tries <= s.pages.size() && index >= 0 && index < int(s.pages.size()); ++tries) {
        Page* page = s.pages[size_t(index)];
        if (!make_page(s, page)) {
            index += direction ? direction : 1;
            continue;
        }
        const LRESULT answer = notify(s, page, PSN_SETACTIVE);
        if (answer == 0 || !s.wizard) {
            show_only(s, index);
            return true;
        }
        const int target = answer == -1 ? index + (direction ? direction : 1) : index_of_template(s, answer);
        if (target == index) {
            show_only(s, index);
            return true;
        }
        index = target;
    }
    return false;
}

// PSN_KILLACTIVE first; the page may keep the sheet where it is.
bool change_page(SheetModel& s, int index, int direction) {
    if (index < 0 || index >= int(s.pages.size())) return false;
    if (Page* old = current_page(s); old && notify(s, old, PSN_KILLACTIVE)) return false;
    return set_active(s, index, direction);
}

void end_sheet(SheetModel& s, INT_PTR result) {
    s.ended = true;
    s.result = result && s.restart ? s.restart : result;
    if (!(s.flags & PSH_MODELESS)) EndDialog(s.hwnd, s.result);
}

// PSN_APPLY to every made page in order; false when a page refused.
bool apply(SheetModel& s, bool closing) {
    if (Page* page = current_page(s); page && notify(s, page, PSN_KILLACTIVE)) return false;
    for (size_t i = 0; i < s.pages.size(); ++i) {
        Page* page = s.pages[i];
        if (!page->hwnd) continue;
        const LRESULT answer = notify(s, page, PSN_APPLY, closing);
        if (answer == PSNRET_INVALID) {
            if (int(i) != s.current) set_active(s, int(i), 0);
            return false;
        }
        if (answer == PSNRET_INVALID_NOCHANGEPAGE) return false;
    }
    s.saved = true;
    for (Page* page : s.pages) page->changed = false;
    if (HWND a = button(s, Button::Apply)) EnableWindow(a, FALSE);
    return true;
}

void press(SheetModel& s, Button b) {
    if (s.ended) return;
    Page* page = current_page(s);
    switch (b) {
    case Button::Ok:
        if (apply(s, true)) end_sheet(s, 1);
        break;
    case Button::Apply: apply(s, false); break;
    case Button::Cancel:
        if (notify(s, page, PSN_QUERYCANCEL)) break;
        for (Page* p : s.pages)
            if (p->hwnd) notify(s, p, PSN_RESET);
        end_sheet(s, s.saved ? 1 : 0);
        break;
    case Button::Help: notify(s, page, PSN_HELP); break;
    case Button::Back:
    case Button::Next: {
        const bool next = b == Button::Next;
        const LRESULT answer = notify(s, page, next ? PSN_WIZNEXT : PSN_WIZBACK);
        if (answer == -1) break;
        const int target = answer ? index_of_template(s, answer) : s.current + (next ? 1 : -1);
        change_page(s, target, next ? 1 : -1);
        break;
    }
    case Button::Finish:
        if (notify(s, page, PSN_WIZFINISH)) break;
        s.saved = true;
        end_sheet(s, 1);
        break;
    }
}

void set_wizard_buttons(SheetModel& s, DWORD flags) {
    s.wizard_buttons = flags;
    const bool finish = (flags & (PSWIZB_FINISH | PSWIZB_DISABLEDFINISH)) != 0;
    const bool both = (s.flags & PSH_WIZARDHASFINISH) != 0;
    if (HWND h = button(s, Button::Back)) EnableWindow(h, (flags & PSWIZB_BACK) != 0);
    if (HWND h = button(s, Button::Next)) {
        EnableWindow(h, (flags & PSWIZB_NEXT) != 0);
        ShowWindow(h, finish && !both ? SW_HIDE : SW_SHOWNA);
    }
    if (HWND h = button(s, Button::Finish)) {
        EnableWindow(h, (flags & PSWIZB_FINISH) != 0 || (both && !(flags & PSWIZB_DISABLEDFINISH)));
        ShowWindow(h, finish || both ? SW_SHOWNA : SW_HIDE);
    }
}

void set_caption(SheetModel& s, const std::u16string& caption, bool property_title) {
    s.caption = property_title ? caption + u" Properties" : caption;
    SetWindowTextW(s.hwnd, s.caption.c_str());
}

int index_of(const SheetModel& s, Page* page) {
    auto it = std::find(s.pages.begin(), s.pages.end(), page);
    return it == s.pages.end() ? -1 : int(it - s.pages.begin());
}

void insert_page(SheetModel& s, size_t at, Page* page) {
    s.pages.insert(s.pages.begin() + std::min(at, s.pages.size()), page);
    if (s.current >= int(at)) ++s.current;
    if (auto* tab = model_of<TabModel>(s.tab))
        tab->titles.insert(tab->titles.begin() + std::min(at, tab->titles.size()), title_of(page));
}

void remove_page(SheetModel& s, int index) {
    if (index < 0 || index >= int(s.pages.size())) return;
    Page* page = s.pages[size_t(index)];
    s.pages.erase(s.pages.begin() + index);
    if (auto* tab = model_of<TabModel>(s.tab); tab && index < int(tab->titles.size()))
        tab->titles.erase(tab->titles.begin() + index);
    if (page->hwnd && IsWindow(page->hwnd)) DestroyWindow(page->hwnd);
    release(page);
    if (s.current == index) {
        s.current = -1;
        if (!s.pages.empty()) set_active(s, std::min(index, int(s.pages.size()) - 1), 0);
    } else if (s.current > index) {
        --s.current;
    }
}

LRESULT reply(HWND hwnd, LRESULT value) {
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, value);
    return TRUE;
}

std::optional<Button> button_of_command(int id) {
    switch (id) {
    case IDOK: return Button::Ok;
    case IDCANCEL: return Button::Cancel;
    case IDC_PS_APPLYNOW: return Button::Apply;
    case IDHELP: return Button::Help;
    case IDC_PS_BACK: return Button::Back;
    case IDC_PS_NEXT: return Button::Next;
    case IDC_PS_FINISH: return Button::Finish;
    default: return std::nullopt;
    }
}

std::optional<Button> button_of_press(WPARAM which) {
    switch (which) {
    case PSBTN_BACK: return Button::Back;
    case PSBTN_NEXT: return Button::Next;
    case PSBTN_FINISH: return Button::Finish;
    case PSBTN_OK: return Button::Ok;
    case PSBTN_APPLYNOW: return Button::Apply;
    case PSBTN_CANCEL: return Button::Cancel;
    case PSBTN_HELP: return Button::Help;
    default: return std::nullopt;
    }
}

INT_PTR CALLBACK sheet_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        auto w = find_window(hwnd);
        w->model = std::move(t_pending_sheet);
        auto* s = sheet_of(hwnd);
        s->hwnd = hwnd;
        s->tab = GetDlgItem(hwnd, IDC_PS_TABCONTROL);
        if (auto* tab = model_of<TabModel>(s->tab))
            for (Page* page : s->pages) tab->titles.push_back(title_of(page));
        set_caption(*s, s->caption, (s->flags & PSH_PROPTITLE) && !s->wizard);
        if (s->wizard) set_wizard_buttons(*s, PSWIZB_BACK | PSWIZB_NEXT);
        if (s->callback) s->callback(hwnd, PSCB_INITIALIZED, 0);
        int start = std::clamp(s->start, 0, std::max(0, int(s->pages.size()) - 1));
        if (!s->start_title.empty())
            for (size_t i = 0; i < s->pages.size(); ++i)
                if (title_of(s->pages[i]) == s->start_title) start = int(i);
        if (!s->pages.empty()) set_active(*s, start, 1);
        return FALSE;
    }
    auto* s = sheet_of(hwnd);
    if (!s) return FALSE;
    switch (msg) {
    case WM_COMMAND:
        if (auto b = button_of_command(LOWORD(wp)); b && HIWORD(wp) == BN_CLICKED) {
            press(*s, *b);
            return TRUE;
        }
        return FALSE;
    case WM_NCDESTROY: {
        std::vector<Page*> all = std::move(s->pages);
        for (Page* page : all) release(page);
        return FALSE;
    }
    case PSM_PRESSBUTTON:
        if (auto b = button_of_press(wp)) press(*s, *b);
        return reply(hwnd, 0);
    case PSM_SETCURSEL: {
        const int index = lp ? index_of(*s, reinterpret_cast<Page*>(lp)) : int(wp);
        return reply(hwnd, index >= 0 && change_page(*s, index, index >= s->current ? 1 : -1));
    }
    case PSM_SETCURSELID: {
        const int index = index_of_template(*s, lp);
        return reply(hwnd, index >= 0 && change_page(*s, index, 1));
    }
    case PSM_SETWIZBUTTONS: set_wizard_buttons(*s, DWORD(lp)); return reply(hwnd, 0);
    case PSM_CHANGED:
    case PSM_UNCHANGED: {
        for (Page* page : s->pages)
            if (page->hwnd == HWND(wp)) page->changed = msg == PSM_CHANGED;
        const bool any = std::any_of(s->pages.begin(), s->pages.end(), [](Page* p) { return p->changed; });
        if (HWND a = button(*s, Button::Apply)) EnableWindow(a, any);
        return reply(hwnd, 0);
    }
    case PSM_CANCELTOCLOSE:
        if (HWND ok = button(*s, Button::Ok)) SetWindowTextW(ok, u"Close");
        if (HWND cancel = button(*s, Button::Cancel)) EnableWindow(cancel, FALSE);
        return reply(hwnd, 0);
    case PSM_REBOOTSYSTEM: s->restart |= ID_PSREBOOTSYSTEM; return reply(hwnd, 0);
    case PSM_RESTARTWINDOWS: s->restart |= ID_PSRESTARTWINDOWS; return reply(hwnd, 0);
    case PSM_SETTITLEW:
        set_caption(*s, string_or_resource(s->instance, reinterpret_cast<LPCWSTR>(lp)), (wp & PSH_PROPTITLE) != 0);
        return reply(hwnd, 0);
    case PSM_SETFINISHTEXTW:
        if (HWND f = button(*s, Button::Finish)) {
            SetWindowTextW(f, reinterpret_cast<LPCWSTR>(lp));
            ShowWindow(f, SW_SHOWNA);
            EnableWindow(f, TRUE);
        }
        if (HWND n = button(*s, Button::Next)) ShowWindow(n, SW_HIDE);
        if (HWND b = button(*s, Button::Back)) ShowWindow(b, SW_HIDE);
        return reply(hwnd, 0);
    case PSM_GETCURRENTPAGEHWND: {
        Page* page = current_page(*s);
        return reply(hwnd, LRESULT(s->ended || !page ? nullptr : page->hwnd));
    }
    case PSM_GETTABCONTROL: return reply(hwnd, LRESULT(s->tab));
    case PSM_ADDPAGE:
    case PSM_INSERTPAGE: {
        auto* page = reinterpret_cast<Page*>(lp);
        if (!is_live(page) || index_of(*s, page) >= 0 || s->pages.size() >= MAXPROPPAGES) return reply(hwnd, FALSE);
        size_t at = s->pages.size();
        if (msg == PSM_INSERTPAGE) {
            if (IS_INTRESOURCE(wp))
                at = wp;
            else
                at = size_t(std::max(0, index_of(*s, reinterpret_cast<Page*>(wp)) + 1));
        }
        insert_page(*s, at, page);
        return reply(hwnd, TRUE);
    }
    case PSM_REMOVEPAGE:
        remove_page(*s, lp ? index_of(*s, reinterpret_cast<Page*>(lp)) : int(wp));
        return reply(hwnd, 0);
    case PSM_APPLY: return reply(hwnd, apply(*s, false));
    case PSM_QUERYSIBLINGS:
        for (Page* page : s->pages)
            if (page->hwnd)
                if (LRESULT r = SendMessageW(page->hwnd, PSM_QUERYSIBLINGS, wp, lp)) return reply(hwnd, r);
        return reply(hwnd, 0);
    case PSM_INDEXTOHWND: return reply(hwnd, wp < s->pages.size() ? LRESULT(s->pages[wp]->hwnd) : 0);
    case PSM_HWNDTOINDEX:
        for (size_t i = 0; i < s->pages.size(); ++i)
            if (s->pages[i]->hwnd == HWND(wp)) return reply(hwnd, LRESULT(i));
        return reply(hwnd, -1);
    case PSM_INDEXTOPAGE: return reply(hwnd, wp < s->pages.size() ? LRESULT(s->pages[wp]) : 0);
    case PSM_PAGETOINDEX: return reply(hwnd, index_of(*s, reinterpret_cast<Page*>(lp)));
    case PSM_IDTOINDEX: return reply(hwnd, index_of_template(*s, lp));
    case PSM_INDEXTOID: {
        if (wp >= s->pages.size()) return reply(hwnd, 0);
        const PROPSHEETPAGEW* psp = s->pages[wp]->psp();
        return reply(hwnd, (psp->dwFlags & PSP_DLGINDIRECT) ? LRESULT(psp->pResource) : LRESULT(psp->pszTemplate));
    }
    case PSM_GETRESULT: return reply(hwnd, s->ended ? s->result : -1);
    case PSM_SETHEADERTITLEW:
    case PSM_SETHEADERSUBTITLEW:
        if (wp < s->pages.size()) {
            auto& field = msg == PSM_SETHEADERTITLEW ? s->pages[wp]->header_title : s->pages[wp]->header_subtitle;
            field = lp ? reinterpret_cast<LPCWSTR>(lp) : u"";
        }
        return reply(hwnd, 0);
    case PSM_ISDIALOGMESSAGE: return reply(hwnd, FALSE);
    default: return FALSE;
    }
}

// The sheet's own dialog, laid out around the largest page.
std::vector<BYTE> sheet_template(const SheetModel& s) {
    int cx = 0, cy = 0;
    for (Page* page : s.pages)
        if (auto t = page_template(page)) {
            cx = std::max<int>(cx, t->cx);
            cy = std::max<int>(cy, t->cy);
        }
    if (!cx || !cy) cx = 212, cy = 188;
    struct Control {
        const char16_t* cls;
        const char16_t* text;
        int id;
        DWORD style;
        int x, y, w, h;
    };
    std::vector<Control> controls;
    const DWORD push = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
    int width, height;
    if (s.wizard) {
        const bool header = (s.flags & PSH_WIZARD97) != 0;
        width = cx;
        height = cy + (header ? 37 : 0) + 24;
        const int y = height - 18;
        controls = {
            {u"Button", u"< &Back", IDC_PS_BACK, push, width - 222, y, 50, 14},
            {u"Button", u"&Next >", IDC_PS_NEXT, push | BS_DEFPUSHBUTTON, width - 172, y, 50, 14},
            {u"Button", u"Finish", IDC_PS_FINISH, push & ~WS_VISIBLE, width - 172, y, 50, 14},
            {u"Button", u"Cancel", IDCANCEL, push, width - 114, y, 50, 14},
            {u"Button", u"&Help", IDHELP, push, width - 58, y, 50, 14},
        };
    } else {
        width = cx + 14;
        height = cy + kPageY + 24;
        const int y = height - 18;
        controls = {
            {WC_TABCONTROLW, u"", IDC_PS_TABCONTROL, WS_CHILD | WS_VISIBLE | WS_TABSTOP, 4, 4, width - 8, cy + kPageY}};
        std::vector<std::pair<const char16_t*, int>> buttons = {{u"OK", IDOK}, {u"Cancel", IDCANCEL}};
        if (!(s.flags & PSH_NOAPPLYNOW)) buttons.push_back({u"&Apply", IDC_PS_APPLYNOW});
        if (s.flags & PSH_HASHELP) buttons.push_back({u"Help", IDHELP});
        int x = width - 4 - int(buttons.size()) * 54;
        for (auto& [text, id] : buttons) {
            DWORD style = push | (id == IDOK ? BS_DEFPUSHBUTTON : 0) | (id == IDC_PS_APPLYNOW ? WS_DISABLED : 0);
            controls.push_back({u"Button", text, id, style, x, y, 50, 14});
            x += 54;
        }
    }
    auto put = [](std::vector<BYTE>& b, const void* p, size_t n) {
        b.insert(b.end(), static_cast<const BYTE*>(p), static_cast<const BYTE*>(p) + n);
    };
    auto word = [&](std::vector<BYTE>& b, WORD v) { put(b, &v, 2); };
    auto dword = [&](std::vector<BYTE>& b, DWORD v) { put(b, &v, 4); };
    auto text = [&](std::vector<BYTE>& b, const char16_t* t) {
        for (; *t; ++t) word(b, WORD(*t));
        word(b, 0);
    };
    std::vector<BYTE> b;
    word(b, 1);
    word(b, 0xFFFF);
    dword(b, 0);
    dword(b, WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT);
    dword(b, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_3DLOOK | DS_CONTEXTHELP);
    word(b, WORD(controls.size()));
    for (int v : {0, 0, width, height}) word(b, WORD(v));
    word(b, 0);
    word(b, 0);
    word(b, 0);
    word(b, 8);
    word(b, FW_NORMAL);
    word(b, 0x0100);
    text(b, u"MS Shell Dlg");
    for (auto& c : controls) {
        while (b.size() % 4) b.push_back(0);
        dword(b, 0);
        dword(b, 0);
        dword(b, c.style);
        for (int v : {c.x, c.y, c.w, c.h}) word(b, WORD(v));
        dword(b, DWORD(c.id));
        text(b, c.cls);
        text(b, c.text);
        word(b, 0);
    }
    return b;
}

std::optional<Button> sheet_button(SheetButton b) {
    switch (b) {
    case SheetButton::Ok: return Button::Ok;
    case SheetButton::Cancel: return Button::Cancel;
    case SheetButton::Apply: return Button::Apply;
    case SheetButton::Help: return Button::Help;
    case SheetButton::Back: return Button::Back;
    case SheetButton::Next: return Button::Next;
    case SheetButton::Finish: return Button::Finish;
    }
    return std::nullopt;
}

} // namespace

// ---- The machine's view of sheets (hvsim/ui.h) --------------------------------------------------

bool is_property_sheet(HWND hwnd) { return sheet_of(hwnd) != nullptr; }

bool Sheet::wizard() const {
    auto* s = sheet_of(hwnd_);
    return s && s->wizard;
}

HWND Sheet::page_window() const { return HWND(SendMessageW(hwnd_, PSM_GETCURRENTPAGEHWND, 0, 0)); }

int Sheet::page_index() const {
    int index = -1;
    if (auto w = find_window(hwnd_))
        call_on_owner(w, [&]() -> LRESULT {
            if (auto* s = sheet_of(hwnd_)) index = s->current;
            return 0;
        });
    return index;
}

std::vector<std::u16string> Sheet::page_titles() const {
    std::vector<std::u16string> titles;
    if (auto w = find_window(hwnd_))
        call_on_owner(w, [&]() -> LRESULT {
            if (auto* s = sheet_of(hwnd_))
                for (Page* page : s->pages) titles.push_back(page->hwnd ? Dialog(page->hwnd).text() : title_of(page));
            return 0;
        });
    return titles;
}

bool Sheet::select_page(int index) const { return SendMessageW(hwnd_, PSM_SETCURSEL, WPARAM(index), 0) != 0; }

bool Sheet::select_page(std::u16string_view title) const {
    const auto titles = page_titles();
    for (size_t i = 0; i < titles.size(); ++i)
        if (titles[i] == title) return select_page(int(i));
    return false;
}

bool Sheet::press(SheetButton b) const {
    if (!button_enabled(b) || !button_visible(b)) return false;
    static constexpr WPARAM kPress[] = {PSBTN_OK,   PSBTN_CANCEL, PSBTN_APPLYNOW, PSBTN_HELP,
                                        PSBTN_BACK, PSBTN_NEXT,   PSBTN_FINISH};
    SendMessageW(hwnd_, PSM_PRESSBUTTON, kPress[int(b)], 0);
    return true;
}

bool Sheet::button_enabled(SheetButton b) const {
    auto* s = sheet_of(hwnd_);
    HWND h = s ? button(*s, *sheet_button(b)) : nullptr;
    return h && IsWindowEnabled(h);
}

bool Sheet::button_visible(SheetButton b) const {
    auto* s = sheet_of(hwnd_);
    HWND h = s ? button(*s, *sheet_button(b)) : nullptr;
    return h && (GetWindowLongPtrW(h, GWL_STYLE) & WS_VISIBLE);
}

namespace {
std::u16string header_text(HWND sheet, bool title) {
    std::u16string text;
    if (auto w = find_window(sheet))
        call_on_owner(w, [&]() -> LRESULT {
            auto* s = sheet_of(sheet);
            Page* page = s ? current_page(*s) : nullptr;
            if (!page || !s->wizard || (page->psp()->dwFlags & PSP_HIDEHEADER)) return 0;
            const PROPSHEETPAGEW* psp = page->psp();
            const std::u16string& set = title ? page->header_title : page->header_subtitle;
            const DWORD flag = title ? PSP_USEHEADERTITLE : PSP_USEHEADERSUBTITLE;
            if (!set.empty())
                text = set;
            else if ((psp->dwFlags & flag) && psp->dwSize >= PROPSHEETPAGEW_V2_SIZE)
                text = string_or_resource(psp->hInstance, title ? psp->pszHeaderTitle : psp->pszHeaderSubTitle);
            return 0;
        });
    return text;
}
} // namespace

std::u16string Sheet::header_title() const { return header_text(hwnd_, true); }
std::u16string Sheet::header_subtitle() const { return header_text(hwnd_, false); }

bool Sheet::ended() const {
    auto* s = sheet_of(hwnd_);
    return !s || s->ended;
}

} // namespace hvsim::ui

using namespace hvsim::ui;

HV_EXTERN_C_BEGIN

HPROPSHEETPAGE WINAPI CreatePropertySheetPageW(LPCPROPSHEETPAGEW psp) {
    if (!psp || psp->dwSize < PROPSHEETPAGEW_V1_SIZE || psp->dwSize > (1u << 16)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* page = new Page;
    const size_t size = std::max<size_t>(psp->dwSize, sizeof(PROPSHEETPAGEW));
    page->storage.resize((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    std::memcpy(page->storage.data(), psp, psp->dwSize);
    {
        auto& p = pages();
        std::lock_guard lock(p.mutex);
        p.live.insert(page);
    }
    PROPSHEETPAGEW* copy = page->psp();
    if ((copy->dwFlags & PSP_USECALLBACK) && copy->pfnCallback) copy->pfnCallback(nullptr, PSPCB_ADDREF, copy);
    if ((copy->dwFlags & PSP_USEREFPARENT) && copy->pcRefParent) ++*copy->pcRefParent;
    return page;
}

BOOL WINAPI DestroyPropertySheetPage(HPROPSHEETPAGE page) {
    if (!is_live(page)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (page->hwnd && IsWindow(page->hwnd)) DestroyWindow(page->hwnd);
    release(page);
    return TRUE;
}

INT_PTR WINAPI PropertySheetW(LPCPROPSHEETHEADERW h) {
    if (!h || h->dwSize < PROPSHEETHEADERW_V1_SIZE || h->nPages > MAXPROPPAGES || (h->nPages && !h->phpage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    auto s = std::make_unique<SheetModel>();
    s->flags = h->dwFlags;
    s->instance = h->hInstance;
    s->wizard = is_wizard(h->dwFlags);
    s->callback = (h->dwFlags & PSH_USECALLBACK) ? h->pfnCallback : nullptr;
    s->caption = string_or_resource(h->hInstance, h->pszCaption);
    if (h->dwFlags & PSH_USEPSTARTPAGE)
        s->start_title = string_or_resource(h->hInstance, h->pStartPage);
    else
        s->start = int(h->nStartPage);
    bool pages_ok = true;
    if (h->dwFlags & PSH_PROPSHEETPAGE) {
        auto* p = reinterpret_cast<const BYTE*>(h->ppsp);
        for (UINT i = 0; i < h->nPages; ++i) {
            auto* psp = reinterpret_cast<LPCPROPSHEETPAGEW>(p);
            HPROPSHEETPAGE page = CreatePropertySheetPageW(psp);
            if (!page) {
                pages_ok = false;
                break;
            }
            s->pages.push_back(page);
            p += psp->dwSize;
        }
    } else {
        // The sheet owns the pages handed to it, even when it fails.
        for (UINT i = 0; i < h->nPages; ++i) {
            if (is_live(h->phpage[i]) && std::find(s->pages.begin(), s->pages.end(), h->phpage[i]) == s->pages.end())
                s->pages.push_back(h->phpage[i]);
            else
                pages_ok = false;
        }
    }
    auto fail = [&]() -> INT_PTR {
        for (Page* page : s->pages) release(page);
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    };
    if (!pages_ok) return fail();
    std::vector<BYTE> tmpl = sheet_template(*s);
    if (s->callback) s->callback(nullptr, PSCB_PRECREATE, LPARAM(tmpl.data()));
    auto parsed = parse_dialog_template(tmpl.data(), tmpl.size());
    if (!parsed) return fail();
    HWND owner = h->hwndParent ? root_of(h->hwndParent) : nullptr;
    const bool modal = !(h->dwFlags & PSH_MODELESS);
    t_pending_sheet = std::move(s);
    HWND hwnd = create_dialog(h->hInstance, *parsed, owner, sheet_proc, 0, modal);
    if (t_pending_sheet) {
        // Never reached WM_INITDIALOG.
        s = std::move(t_pending_sheet);
        return fail();
    }
    if (!hwnd) return -1;
    if (!modal) {
        ShowWindow(hwnd, SW_SHOWNORMAL);
        return INT_PTR(hwnd);
    }
    return run_modal_dialog(hwnd, owner);
}

HV_EXTERN_C_END
