// The dialog manager (user32).
//
//   CreateDialogParamW, CreateDialogIndirectParamW        modeless dialogs
//   DialogBoxParamW, DialogBoxIndirectParamW, EndDialog   modal dialogs
//   DefDlgProcW, IsDialogMessageW, MapDialogRect,
//   GetDialogBaseUnits                                   the dialog class
//   GetDlgItem, GetDlgCtrlID, Set/GetDlgItemText(A/W), Set/GetDlgItemInt, CheckDlgButton,
//   IsDlgButtonChecked, CheckRadioButton, SendDlgItemMessageW,
//   GetNextDlgGroupItem, GetNextDlgTabItem               items
//
// A dialog is made in Windows' order: the dialog window, WM_SETFONT, each control (with its
// WM_SETFONT), then WM_INITDIALOG; a modal dialog is shown once WM_INITDIALOG has run, with its
// owner disabled until EndDialog ends the loop. A template that cannot be read, or that names
// a class nobody registered, makes no window at all.
#include "internal/ui_internal.h"

#include <algorithm>

namespace hvsim::ui {
namespace {

int map_x(int x, const DialogState& d) { return x * d.base_x / 4; }
int map_y(int y, const DialogState& d) { return y * d.base_y / 8; }

std::vector<HWND> children_of(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w) return {};
    std::lock_guard lock(windows_lock());
    return w->children;
}

bool can_take_focus(HWND hwnd) {
    auto w = find_window(hwnd);
    return w && (w->style & WS_VISIBLE) && !(w->style & WS_DISABLED);
}

bool is_default_button(HWND hwnd) {
    auto w = find_window(hwnd);
    return w && equal_no_case(class_name_of(*w), u"Button") && (w->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

std::optional<DialogTemplate> template_at(LPCDLGTEMPLATEW tmpl, size_t size) {
    auto parsed = parse_dialog_template(tmpl, size);
    if (!parsed) SetLastError(ERROR_INVALID_PARAMETER);
    return parsed;
}

// The templates given to the Indirect calls carry no size: they are read up to this bound.
constexpr size_t kIndirectTemplateLimit = 1 << 20;

std::optional<DialogTemplate> template_named(HINSTANCE instance, LPCWSTR name) {
    size_t size = 0;
    const void* data = find_dialog_template(instance, name, &size);
    if (!data) return std::nullopt;
    return template_at(static_cast<LPCDLGTEMPLATEW>(data), size);
}

} // namespace

void register_dialog_class() { register_system_class(u"#32770", DefDlgProcW, DLGWINDOWEXTRA, CS_SAVEBITS, 0x8002); }

DialogState* dialog_state(const WindowPtr& w) {
    if (!w) return nullptr;
    std::lock_guard lock(windows_lock());
    if (!w->dialog) w->dialog = std::make_unique<DialogState>();
    return w->dialog.get();
}

HWND create_dialog(HINSTANCE instance, const DialogTemplate& t, HWND parent, DLGPROC proc, LPARAM param, bool modal) {
    for (const auto& item : t.items) {
        WNDCLASSEXW info{};
        info.cbSize = sizeof info;
        if (!GetClassInfoExW(instance, item.class_name.c_str(), &info)) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
    }
    DWORD style = t.style & ~WS_VISIBLE;
    DWORD ex_style = t.ex_style;
    if (style & DS_CONTROL) {
        style &= ~(WS_CAPTION | WS_SYSMENU);
        ex_style |= WS_EX_CONTROLPARENT;
    }
    DialogState units;
    if (t.style & DS_SETFONT) {
        units.base_x = std::max(1, (t.point_size * 6 + 4) / 8);
        units.base_y = std::max(1, (t.point_size * 13 + 4) / 8);
    } else {
        units.base_x = 8;
        units.base_y = 16;
    }
    const std::u16string& class_name = t.class_name.empty() ? std::u16string(u"#32770") : t.class_name;
    HWND hwnd = CreateWindowExW(ex_style, class_name.c_str(), t.title.c_str(), style, map_x(t.x, units),
                                map_y(t.y, units), map_x(t.cx, units), map_y(t.cy, units), parent, nullptr, instance,
                                reinterpret_cast<LPVOID>(param));
    if (!hwnd) return nullptr;
    auto w = find_window(hwnd);
    DialogState* d = dialog_state(w);
    d->base_x = units.base_x;
    d->base_y = units.base_y;
    d->modal = modal;
    w->dialog_units = RECT{t.x, t.y, t.cx, t.cy};
    w->has_dialog_units = true;
    if (proc) SetWindowLongPtrW(hwnd, int(DWLP_DLGPROC), LONG_PTR(proc));
    if (t.style & DS_SETFONT) {
        d->font = create_dialog_font(t.face, t.point_size, t.weight ? t.weight : FW_NORMAL, t.italic);
        SendMessageW(hwnd, WM_SETFONT, WPARAM(d->font), FALSE);
    }
    for (const auto& item : t.items) {
        if (!IsWindow(hwnd)) return nullptr;
        LPVOID data = item.creation_data.empty() ? nullptr : const_cast<BYTE*>(item.creation_data.data());
        HWND control =
            CreateWindowExW(item.ex_style | WS_EX_NOPARENTNOTIFY, item.class_name.c_str(), item.title.c_str(),
                            item.style | WS_CHILD, map_x(item.x, *d), map_y(item.y, *d), map_x(item.cx, *d),
                            map_y(item.cy, *d), hwnd, reinterpret_cast<HMENU>(uintptr_t(item.id)), instance, data);
        if (!control) {
            if (t.style & DS_NOFAILCREATE) continue;
            if (IsWindow(hwnd)) DestroyWindow(hwnd);
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (auto c = find_window(control)) {
            c->dialog_units = RECT{item.x, item.y, item.cx, item.cy};
            c->has_dialog_units = true;
        }
        if (d->font) SendMessageW(control, WM_SETFONT, WPARAM(d->font), FALSE);
        if (item.title_resource && equal_no_case(item.class_name, u"Static"))
            SendMessageW(control, STM_SETICON, WPARAM(LoadIconW(instance, MAKEINTRESOURCEW(item.title_resource))), 0);
    }
    HWND focus = GetNextDlgTabItem(hwnd, nullptr, FALSE);
    const LRESULT set_focus = SendMessageW(hwnd, WM_INITDIALOG, WPARAM(focus), param);
    if (!IsWindow(hwnd)) return nullptr;
    if (set_focus && focus && IsWindow(focus)) SetFocus(focus);
    if ((t.style & WS_VISIBLE) && !modal && !d->ended) ShowWindow(hwnd, SW_SHOWNORMAL);
    return hwnd;
}

INT_PTR run_modal_dialog(HWND hwnd, HWND owner) {
    auto w = find_window(hwnd);
    DialogState* d = dialog_state(w);
    auto o = find_window(owner);
    const bool disable = o && is_own_window(*o) && !(o->style & WS_DISABLED);
    if (!d->ended) {
        if (disable) EnableWindow(owner, FALSE);
        ShowWindow(hwnd, SW_SHOWNORMAL);
        run_modal_loop(hwnd, [&] { return !IsWindow(hwnd) || d->ended; });
    }
    const INT_PTR result = IsWindow(hwnd) ? d->result : 0;
    if (disable && IsWindow(owner)) EnableWindow(owner, TRUE);
    if (IsWindow(hwnd)) DestroyWindow(hwnd);
    return result;
}

} // namespace hvsim::ui

using namespace hvsim::ui;

HV_EXTERN_C_BEGIN

HWND WINAPI CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW tmpl, HWND parent, DLGPROC proc,
                                       LPARAM param) {
    auto t = template_at(tmpl, kIndirectTemplateLimit);
    return t ? create_dialog(instance, *t, parent, proc, param, false) : nullptr;
}

HWND WINAPI CreateDialogParamW(HINSTANCE instance, LPCWSTR name, HWND parent, DLGPROC proc, LPARAM param) {
    auto t = template_named(instance, name);
    return t ? create_dialog(instance, *t, parent, proc, param, false) : nullptr;
}

namespace {
INT_PTR dialog_box(HINSTANCE instance, const std::optional<DialogTemplate>& t, HWND parent, DLGPROC proc,
                   LPARAM param) {
    if (!t) return -1;
    if (parent && !window_of(parent)) return -1;
    HWND owner = parent ? root_of(parent) : nullptr;
    DialogTemplate modal = *t;
    modal.style &= ~WS_CHILD;
    modal.style |= WS_POPUP;
    HWND hwnd = create_dialog(instance, modal, owner, proc, param, true);
    if (!hwnd) return -1;
    return run_modal_dialog(hwnd, owner);
}
} // namespace

INT_PTR WINAPI DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW tmpl, HWND parent, DLGPROC proc,
                                       LPARAM param) {
    return dialog_box(instance, template_at(tmpl, kIndirectTemplateLimit), parent, proc, param);
}

INT_PTR WINAPI DialogBoxParamW(HINSTANCE instance, LPCWSTR name, HWND parent, DLGPROC proc, LPARAM param) {
    return dialog_box(instance, template_named(instance, name), parent, proc, param);
}

// Any thread may end a dialog: the flag is set and the owner's loop wakes to see it.
BOOL WINAPI EndDialog(HWND hwnd, INT_PTR result) {
    auto w = window_of(hwnd);
    if (!w) return FALSE;
    DialogState* d = dialog_state(w);
    {
        std::lock_guard lock(windows_lock());
        d->ended = true;
        d->result = result;
    }
    wake_queue(w->queue);
    return TRUE;
}

LRESULT WINAPI DefDlgProcW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto w = window_of(hwnd);
    if (!w) return 0;
    DLGPROC proc = nullptr;
    if (w->extra.size() >= DWLP_USER) proc = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(hwnd, int(DWLP_DLGPROC)));
    if (proc) {
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, 0);
        const INT_PTR handled = proc(hwnd, msg, wp, lp);
        switch (msg) {
        // These answer with the procedure's own result.
        case WM_INITDIALOG:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case 0x0039: // WM_COMPAREITEM
        case 0x002E: // WM_VKEYTOITEM
        case 0x002F: // WM_CHARTOITEM
        case 0x0037: // WM_QUERYDRAGICON
            if (handled || msg == WM_INITDIALOG) return handled;
            break;
        default:
            if (handled) return IsWindow(hwnd) ? GetWindowLongPtrW(hwnd, DWLP_MSGRESULT) : 0;
        }
    }
    if (!IsWindow(hwnd)) return 0;
    DialogState* d = dialog_state(w);
    switch (msg) {
    case WM_INITDIALOG: return TRUE;
    case WM_CLOSE: {
        HWND cancel = GetDlgItem(hwnd, IDCANCEL);
        if (!cancel || IsWindowEnabled(cancel))
            PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), LPARAM(cancel));
        else
            MessageBeep(0);
        return 0;
    }
    case WM_SETFOCUS: {
        HWND target =
            d->saved_focus && IsChild(hwnd, d->saved_focus) ? d->saved_focus : GetNextDlgTabItem(hwnd, nullptr, FALSE);
        if (target) SetFocus(target);
        return 0;
    }
    case WM_ACTIVATE:
        if (LOWORD(wp) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(hwnd, focus)) d->saved_focus = focus;
        } else if (d->saved_focus && IsWindow(d->saved_focus)) {
            SetFocus(d->saved_focus);
        }
        return 0;
    case WM_GETFONT: return LRESULT(d->font ? d->font : w->font);
    case DM_GETDEFID:
        for (HWND child : children_of(hwnd))
            if (is_default_button(child)) return MAKELRESULT(GetDlgCtrlID(child), DC_HASDEFID);
        return 0;
    case DM_SETDEFID:
        for (HWND child : children_of(hwnd)) {
            auto c = find_window(child);
            if (!c || !equal_no_case(class_name_of(*c), u"Button")) continue;
            const DWORD type = c->style & BS_TYPEMASK;
            if (GetDlgCtrlID(child) == int(wp) && type == BS_PUSHBUTTON)
                SendMessageW(child, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
            else if (GetDlgCtrlID(child) != int(wp) && type == BS_DEFPUSHBUTTON)
                SendMessageW(child, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
        }
        return TRUE;
    case WM_NEXTDLGCTL: {
        HWND target = lp ? HWND(wp) : GetNextDlgTabItem(hwnd, GetFocus(), wp != 0);
        if (target) SetFocus(target);
        return 0;
    }
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: return LRESULT(GetSysColorBrush(COLOR_BTNFACE));
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

// Keyboard input is not simulated; Return and Escape work as in a dialog.
BOOL WINAPI IsDialogMessageW(HWND hwnd, LPMSG msg) {
    if (!msg || !hwnd || msg->message != WM_KEYDOWN) return FALSE;
    if (msg->hwnd != hwnd && !IsChild(hwnd, msg->hwnd)) return FALSE;
    if (msg->wParam == VK_ESCAPE) {
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), LPARAM(GetDlgItem(hwnd, IDCANCEL)));
        return TRUE;
    }
    if (msg->wParam == VK_RETURN) {
        const LRESULT def = SendMessageW(hwnd, DM_GETDEFID, 0, 0);
        const int id = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : IDOK;
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(hwnd, id)));
        return TRUE;
    }
    return FALSE;
}

BOOL WINAPI MapDialogRect(HWND hwnd, LPRECT rect) {
    auto w = window_of(hwnd);
    if (!w || !rect || !w->dialog) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DialogState& d = *w->dialog;
    *rect = RECT{map_x(rect->left, d), map_y(rect->top, d), map_x(rect->right, d), map_y(rect->bottom, d)};
    return TRUE;
}

LONG WINAPI GetDialogBaseUnits(void) { return MAKELONG(8, 16); }

// ---- Items ----------------------------------------------------------------------------------------

HWND WINAPI GetDlgItem(HWND hwnd, int id) {
    if (!window_of(hwnd)) return nullptr;
    for (HWND child : children_of(hwnd)) {
        auto c = find_window(child);
        if (c && int(c->id) == id) return child;
    }
    SetLastError(1421); // ERROR_CONTROL_ID_NOT_FOUND
    return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hwnd) { return int(GetWindowLongPtrW(hwnd, GWLP_ID)); }

BOOL WINAPI SetDlgItemTextW(HWND hwnd, int id, LPCWSTR text) {
    HWND item = GetDlgItem(hwnd, id);
    return item && SetWindowTextW(item, text);
}

BOOL WINAPI SetDlgItemTextA(HWND hwnd, int id, LPCSTR text) {
    HWND item = GetDlgItem(hwnd, id);
    return item && SetWindowTextA(item, text);
}

UINT WINAPI GetDlgItemTextW(HWND hwnd, int id, LPWSTR buffer, int max) {
    HWND item = GetDlgItem(hwnd, id);
    if (!item) {
        if (buffer && max > 0) buffer[0] = 0;
        return 0;
    }
    return UINT(GetWindowTextW(item, buffer, max));
}

UINT WINAPI GetDlgItemTextA(HWND hwnd, int id, LPSTR buffer, int max) {
    HWND item = GetDlgItem(hwnd, id);
    if (!item) {
        if (buffer && max > 0) buffer[0] = 0;
        return 0;
    }
    return UINT(GetWindowTextA(item, buffer, max));
}

BOOL WINAPI SetDlgItemInt(HWND hwnd, int id, UINT value, BOOL is_signed) {
    std::u16string text;
    const bool negative = is_signed && int(value) < 0;
    unsigned long long magnitude = negative ? -(long long)int(value) : value;
    do {
        text.insert(text.begin(), char16_t(u'0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude);
    if (negative) text.insert(text.begin(), u'-');
    return SetDlgItemTextW(hwnd, id, text.c_str());
}

// Blanks around the number are allowed; anything else, or a number out of range, is no number.
UINT WINAPI GetDlgItemInt(HWND hwnd, int id, BOOL* translated, BOOL is_signed) {
    if (translated) *translated = FALSE;
    WCHAR buffer[64];
    if (!GetDlgItem(hwnd, id)) return 0;
    GetDlgItemTextW(hwnd, id, buffer, 64);
    const WCHAR* p = buffer;
    while (*p == u' ') ++p;
    bool negative = false;
    if (is_signed && *p == u'-') {
        negative = true;
        ++p;
    }
    if (*p < u'0' || *p > u'9') return 0;
    unsigned long long value = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        value = value * 10 + unsigned(*p - u'0');
        if (value > 0xFFFFFFFFull) return 0;
    }
    while (*p == u' ') ++p;
    if (*p) return 0;
    if (is_signed && (negative ? value > 0x80000000ull : value > 0x7FFFFFFFull)) return 0;
    if (translated) *translated = TRUE;
    return negative ? UINT(-(long long)value) : UINT(value);
}

BOOL WINAPI CheckDlgButton(HWND hwnd, int id, UINT check) {
    HWND item = GetDlgItem(hwnd, id);
    if (!item) return FALSE;
    SendMessageW(item, BM_SETCHECK, check, 0);
    return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND hwnd, int id) {
    HWND item = GetDlgItem(hwnd, id);
    return item ? UINT(SendMessageW(item, BM_GETCHECK, 0, 0)) : 0;
}

BOOL WINAPI CheckRadioButton(HWND hwnd, int first, int last, int check) {
    if (!window_of(hwnd)) return FALSE;
    for (int id = first; id <= last; ++id)
        if (HWND item = GetDlgItem(hwnd, id)) SendMessageW(item, BM_SETCHECK, id == check ? BST_CHECKED : 0, 0);
    return TRUE;
}

LRESULT WINAPI SendDlgItemMessageW(HWND hwnd, int id, UINT msg, WPARAM wp, LPARAM lp) {
    HWND item = GetDlgItem(hwnd, id);
    return item ? SendMessageW(item, msg, wp, lp) : 0;
}

HWND WINAPI GetNextDlgTabItem(HWND hwnd, HWND control, BOOL previous) {
    if (!window_of(hwnd)) return nullptr;
    std::vector<HWND> stops;
    for (HWND child : children_of(hwnd))
        if (can_take_focus(child) && (GetWindowLongPtrW(child, GWL_STYLE) & WS_TABSTOP)) stops.push_back(child);
    if (stops.empty()) return nullptr;
    if (previous) std::reverse(stops.begin(), stops.end());
    auto it = std::find(stops.begin(), stops.end(), control);
    if (it == stops.end() || ++it == stops.end()) return stops.front();
    return *it;
}

// A group runs from a control with WS_GROUP up to the next one.
HWND WINAPI GetNextDlgGroupItem(HWND hwnd, HWND control, BOOL previous) {
    if (!window_of(hwnd)) return nullptr;
    const std::vector<HWND> all = children_of(hwnd);
    auto at = std::find(all.begin(), all.end(), control);
    if (at == all.end()) return control ? nullptr : GetNextDlgTabItem(hwnd, nullptr, FALSE);
    auto start = at;
    while (start != all.begin() && !(GetWindowLongPtrW(*start, GWL_STYLE) & WS_GROUP)) --start;
    auto end = at + 1;
    while (end != all.end() && !(GetWindowLongPtrW(*end, GWL_STYLE) & WS_GROUP)) ++end;
    std::vector<HWND> group(start, end);
    if (previous) std::reverse(group.begin(), group.end());
    auto it = std::find(group.begin(), group.end(), control);
    for (size_t step = 1; step <= group.size(); ++step) {
        HWND candidate = group[size_t(it - group.begin() + step) % group.size()];
        if (can_take_focus(candidate)) return candidate;
    }
    return control;
}

HV_EXTERN_C_END
