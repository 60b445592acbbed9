// The ComboBox class: a list with a current selection, shown through an edit field of its own
// (CBS_DROPDOWN and CBS_SIMPLE; the field is the child with id 1001) or as a drop-down list
// (CBS_DROPDOWNLIST). The field follows the selection; what the user types in it is told to the
// parent as CBN_EDITUPDATE and CBN_EDITCHANGE, and a pick from the list as CBN_SELCHANGE.
#include "internal/ui_internal.h"

#include <algorithm>

namespace hvsim::ui {
namespace {

constexpr int kEditId = 1001;

struct Item {
    std::u16string text;
    LPARAM data = 0;
};

struct ComboModel : WindowModel {
    std::vector<Item> items;
    int current = CB_ERR;
    HWND edit = nullptr;
    bool setting_edit = false; // the combo writes its own field: no CBN_EDITCHANGE
    bool dropped = false;
    bool extended_ui = false;
    int item_height = 13;
};

ComboModel& model(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w->model) w->model = std::make_unique<ComboModel>();
    return static_cast<ComboModel&>(*w->model);
}

DWORD kind(HWND hwnd) { return DWORD(GetWindowLongPtrW(hwnd, GWL_STYLE)) & 3; }

// What the combo shows: the field's text, or the selected item of a drop-down list.
void show_text(HWND hwnd, const std::u16string& text) {
    auto& m = model(hwnd);
    if (m.edit) {
        m.setting_edit = true;
        SetWindowTextW(m.edit, text.c_str());
        m.setting_edit = false;
    }
    auto w = find_window(hwnd);
    std::lock_guard lock(windows_lock());
    w->text = text;
}

bool prefix_of(const std::u16string& text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && equal_no_case(std::u16string_view(text).substr(0, prefix.size()), prefix);
}

// The first item after `start` (wrapping round) that matches.
int find(const ComboModel& m, WPARAM start, LPCWSTR text, bool exact) {
    if (!text || m.items.empty()) return CB_ERR;
    const int count = int(m.items.size());
    const int first = int(start) < 0 || int(start) >= count ? 0 : int(start) + 1;
    for (int n = 0; n < count; ++n) {
        const int i = (first + n) % count;
        if (exact ? equal_no_case(m.items[size_t(i)].text, text) : prefix_of(m.items[size_t(i)].text, text)) return i;
    }
    return CB_ERR;
}

// A sorted list orders its items as Windows does, without regard to case.
bool less_no_case(std::u16string_view a, std::u16string_view b) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char16_t x, char16_t y) { return lower(x) < lower(y); });
}

int insert(HWND hwnd, int index, LPCWSTR text) {
    auto& m = model(hwnd);
    if (!text) return CB_ERR;
    int at = index < 0 || index > int(m.items.size()) ? int(m.items.size()) : index;
    if (index == -2 || (GetWindowLongPtrW(hwnd, GWL_STYLE) & CBS_SORT)) {
        at = 0;
        while (at < int(m.items.size()) && !less_no_case(text, m.items[size_t(at)].text)) ++at;
    }
    m.items.insert(m.items.begin() + at, Item{text, 0});
    if (m.current >= at) ++m.current;
    return at;
}

int select(HWND hwnd, int index) {
    auto& m = model(hwnd);
    if (index < 0 || index >= int(m.items.size())) {
        m.current = CB_ERR;
        show_text(hwnd, {});
        return CB_ERR;
    }
    m.current = index;
    show_text(hwnd, m.items[size_t(index)].text);
    return index;
}

LRESULT CALLBACK combo_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: {
        auto& m = model(hwnd);
        if (kind(hwnd) != CBS_DROPDOWNLIST) {
            RECT r;
            GetClientRect(hwnd, &r);
            m.edit = CreateWindowExW(0, u"Edit", u"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 0, 0, r.right - 18, 20,
                                     hwnd, HMENU(intptr_t(kEditId)), nullptr, nullptr);
            if (!m.edit) return -1;
        }
        return 0;
    }
    case CB_ADDSTRING: return insert(hwnd, -1, reinterpret_cast<LPCWSTR>(lp));
    case CB_INSERTSTRING:
        return insert(hwnd, int(wp) == -1 ? int(model(hwnd).items.size()) : int(wp), reinterpret_cast<LPCWSTR>(lp));
    case CB_DELETESTRING: {
        auto& m = model(hwnd);
        const int index = int(wp);
        if (index < 0 || index >= int(m.items.size())) return CB_ERR;
        m.items.erase(m.items.begin() + index);
        if (m.current == index)
            select(hwnd, CB_ERR);
        else if (m.current > index)
            --m.current;
        return LRESULT(m.items.size());
    }
    case CB_RESETCONTENT:
        model(hwnd).items.clear();
        select(hwnd, CB_ERR);
        return CB_OKAY;
    case CB_GETCOUNT: return LRESULT(model(hwnd).items.size());
    case CB_GETCURSEL: return model(hwnd).current;
    case CB_SETCURSEL: return select(hwnd, int(wp));
    case CB_GETLBTEXT: {
        auto& m = model(hwnd);
        const int index = int(wp);
        if (index < 0 || index >= int(m.items.size()) || !lp) return CB_ERR;
        const auto& text = m.items[size_t(index)].text;
        auto* buffer = reinterpret_cast<LPWSTR>(lp);
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = 0;
        return LRESULT(text.size());
    }
    case CB_GETLBTEXTLEN: {
        auto& m = model(hwnd);
        const int index = int(wp);
        if (index < 0 || index >= int(m.items.size())) return CB_ERR;
        return LRESULT(m.items[size_t(index)].text.size());
    }
    case CB_GETITEMDATA: {
        auto& m = model(hwnd);
        const int index = int(wp);
        if (index < 0 || index >= int(m.items.size())) return CB_ERR;
        return m.items[size_t(index)].data;
    }
    case CB_SETITEMDATA: {
        auto& m = model(hwnd);
        const int index = int(wp);
        if (index < 0 || index >= int(m.items.size())) return CB_ERR;
        m.items[size_t(index)].data = lp;
        return TRUE;
    }
    case CB_FINDSTRING: return find(model(hwnd), wp, reinterpret_cast<LPCWSTR>(lp), false);
    case CB_FINDSTRINGEXACT: return find(model(hwnd), wp, reinterpret_cast<LPCWSTR>(lp), true);
    case CB_SELECTSTRING: {
        const int index = find(model(hwnd), wp, reinterpret_cast<LPCWSTR>(lp), false);
        return index == CB_ERR ? CB_ERR : select(hwnd, index);
    }
    case CB_LIMITTEXT:
        if (!model(hwnd).edit) return CB_ERR;
        SendMessageW(model(hwnd).edit, EM_LIMITTEXT, wp, 0);
        return TRUE;
    case CB_GETEDITSEL: return model(hwnd).edit ? SendMessageW(model(hwnd).edit, EM_GETSEL, wp, lp) : CB_ERR;
    case CB_SETEDITSEL:
        if (!model(hwnd).edit) return CB_ERR;
        SendMessageW(model(hwnd).edit, EM_SETSEL, WPARAM(short(LOWORD(lp))), LPARAM(short(HIWORD(lp))));
        return TRUE;
    case CB_SHOWDROPDOWN: {
        auto& m = model(hwnd);
        if (bool(wp) == m.dropped || kind(hwnd) == CBS_SIMPLE) return TRUE;
        m.dropped = wp != 0;
        notify_parent_command(hwnd, m.dropped ? CBN_DROPDOWN : CBN_CLOSEUP);
        return TRUE;
    }
    case CB_GETDROPPEDSTATE: return model(hwnd).dropped;
    case CB_SETEXTENDEDUI: model(hwnd).extended_ui = wp != 0; return CB_OKAY;
    case CB_GETEXTENDEDUI: return model(hwnd).extended_ui;
    case CB_SETITEMHEIGHT: model(hwnd).item_height = int(lp); return CB_OKAY;
    case CB_GETITEMHEIGHT: return model(hwnd).item_height;
    case CB_GETDROPPEDCONTROLRECT:
        if (lp) GetWindowRect(hwnd, reinterpret_cast<LPRECT>(lp));
        return TRUE;
    case WM_SETTEXT: {
        const std::u16string text = lp ? reinterpret_cast<LPCWSTR>(lp) : u"";
        if (kind(hwnd) == CBS_DROPDOWNLIST) {
            const int index = find(model(hwnd), WPARAM(-1), text.c_str(), true);
            if (index == CB_ERR) return CB_ERR;
            select(hwnd, index);
            return TRUE;
        }
        show_text(hwnd, text);
        return TRUE;
    }
    case WM_COMMAND:
        // What the own field tells, the combo tells its parent in its own words.
        if (HWND(lp) == model(hwnd).edit && HWND(lp)) {
            auto& m = model(hwnd);
            switch (HIWORD(wp)) {
            case EN_CHANGE: {
                WCHAR buffer[1024];
                GetWindowTextW(m.edit, buffer, 1024);
                {
                    auto w = find_window(hwnd);
                    std::lock_guard lock(windows_lock());
                    w->text = buffer;
                }
                if (!m.setting_edit) notify_parent_command(hwnd, CBN_EDITCHANGE);
                break;
            }
            case EN_UPDATE:
                if (!m.setting_edit) notify_parent_command(hwnd, CBN_EDITUPDATE);
                break;
            case EN_SETFOCUS: notify_parent_command(hwnd, CBN_SETFOCUS); break;
            case EN_KILLFOCUS: notify_parent_command(hwnd, CBN_KILLFOCUS); break;
            default: break;
            }
        }
        return 0;
    case WM_SETFOCUS:
        if (model(hwnd).edit)
            SetFocus(model(hwnd).edit);
        else
            notify_parent_command(hwnd, CBN_SETFOCUS);
        return 0;
    case WM_KILLFOCUS:
        if (!model(hwnd).edit) notify_parent_command(hwnd, CBN_KILLFOCUS);
        return 0;
    case WM_SETFONT:
        if (model(hwnd).edit) SendMessageW(model(hwnd).edit, WM_SETFONT, wp, lp);
        return DefWindowProcW(hwnd, msg, wp, lp);
    case WM_ENABLE:
        if (model(hwnd).edit) EnableWindow(model(hwnd).edit, BOOL(wp));
        return 0;
    case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace

void register_combo_box_class() { register_system_class(u"ComboBox", combo_proc); }

HWND combo_edit(HWND combo) {
    auto* m = model_of<ComboModel>(combo);
    return m ? m->edit : nullptr;
}

void combo_user_select(HWND combo, int index) {
    if (!IsWindowEnabled(combo)) return;
    SetFocus(combo);
    if (SendMessageW(combo, CB_SETCURSEL, WPARAM(index), 0) == CB_ERR) return;
    notify_parent_command(combo, CBN_SELCHANGE);
}

} // namespace hvsim::ui
