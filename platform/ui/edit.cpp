// The Edit class, single-line: text, selection, limit, read-only and ES_NUMBER fields. Typed
// characters go through WM_CHAR, where ES_NUMBER refuses what is not a digit (with a beep, as
// Windows refuses it) and every change tells the parent EN_UPDATE then EN_CHANGE.
#include "internal/ui_internal.h"

namespace hvsim::ui {
namespace {

struct EditModel : WindowModel {
    size_t limit = 30000;
    DWORD sel_start = 0;
    DWORD sel_end = 0;
    bool modified = false;
};

EditModel& model(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w->model) w->model = std::make_unique<EditModel>();
    return static_cast<EditModel&>(*w->model);
}

std::u16string text_of(HWND hwnd) {
    auto w = find_window(hwnd);
    std::lock_guard lock(windows_lock());
    return w->text;
}

void set_text(HWND hwnd, std::u16string text) {
    auto w = find_window(hwnd);
    std::lock_guard lock(windows_lock());
    w->text = std::move(text);
}

void changed(HWND hwnd) {
    notify_parent_command(hwnd, EN_UPDATE);
    notify_parent_command(hwnd, EN_CHANGE);
}

// Replaces the selection; false when the limit leaves no room.
bool replace_selection(HWND hwnd, std::u16string_view with) {
    auto& m = model(hwnd);
    std::u16string text = text_of(hwnd);
    const size_t start = std::min<size_t>(std::min(m.sel_start, m.sel_end), text.size());
    const size_t end = std::min<size_t>(std::max(m.sel_start, m.sel_end), text.size());
    if (text.size() - (end - start) + with.size() > m.limit) {
        notify_parent_command(hwnd, EN_MAXTEXT);
        return false;
    }
    text.replace(start, end - start, with);
    m.sel_start = m.sel_end = DWORD(start + with.size());
    set_text(hwnd, std::move(text));
    return true;
}

LRESULT CALLBACK edit_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: model(hwnd); return 0;
    case WM_SETTEXT: {
        DefWindowProcW(hwnd, msg, wp, lp);
        auto& m = model(hwnd);
        m.sel_start = m.sel_end = 0;
        m.modified = false;
        changed(hwnd);
        return TRUE;
    }
    case WM_CHAR: {
        const DWORD style = DWORD(GetWindowLongPtrW(hwnd, GWL_STYLE));
        const char16_t c = char16_t(wp);
        if (style & ES_READONLY) return 0;
        if (c == u'\b') {
            auto& m = model(hwnd);
            if (m.sel_start == m.sel_end && m.sel_start > 0) --m.sel_start;
            if (m.sel_start == m.sel_end) return 0;
            replace_selection(hwnd, {});
        } else {
            if ((style & ES_NUMBER) && (c < u'0' || c > u'9')) {
                MessageBeep(0);
                return 0;
            }
            if (!replace_selection(hwnd, std::u16string_view(&c, 1))) return 0;
        }
        model(hwnd).modified = true;
        changed(hwnd);
        return 0;
    }
    case EM_GETSEL: {
        auto& m = model(hwnd);
        if (wp) *reinterpret_cast<DWORD*>(wp) = m.sel_start;
        if (lp) *reinterpret_cast<DWORD*>(lp) = m.sel_end;
        return MAKELRESULT(m.sel_start, m.sel_end);
    }
    case EM_SETSEL: {
        auto& m = model(hwnd);
        const DWORD length = DWORD(text_of(hwnd).size());
        const int start = int(wp), end = int(lp);
        if (start < 0) {
            m.sel_start = m.sel_end;
            return 0;
        }
        m.sel_start = std::min<DWORD>(DWORD(start), length);
        m.sel_end = end < 0 ? length : std::min<DWORD>(DWORD(end), length);
        return 0;
    }
    case EM_REPLACESEL: {
        if (replace_selection(hwnd, lp ? reinterpret_cast<LPCWSTR>(lp) : u"")) changed(hwnd);
        return 0;
    }
    case EM_LIMITTEXT: model(hwnd).limit = wp ? size_t(wp) : 0x7FFFFFFE; return 0;
    case EM_GETLIMITTEXT: return LRESULT(model(hwnd).limit);
    case EM_GETMODIFY: return model(hwnd).modified;
    case EM_SETMODIFY: model(hwnd).modified = wp != 0; return 0;
    case EM_SETREADONLY: {
        const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
        SetWindowLongPtrW(hwnd, GWL_STYLE, wp ? style | ES_READONLY : style & ~LONG_PTR(ES_READONLY));
        return TRUE;
    }
    case WM_GETDLGCODE: return DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
    case WM_SETFOCUS: notify_parent_command(hwnd, EN_SETFOCUS); return 0;
    case WM_KILLFOCUS: notify_parent_command(hwnd, EN_KILLFOCUS); return 0;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace

void register_edit_class() { register_system_class(u"Edit", edit_proc); }

// Select all, then each character, as a user typing over the field.
void edit_user_type(HWND hwnd, std::u16string_view text) {
    SetFocus(hwnd);
    SendMessageW(hwnd, EM_SETSEL, 0, -1);
    if (!text_of(hwnd).empty()) SendMessageW(hwnd, WM_CHAR, u'\b', 0);
    for (char16_t c : text) SendMessageW(hwnd, WM_CHAR, c, 0);
}

} // namespace hvsim::ui
