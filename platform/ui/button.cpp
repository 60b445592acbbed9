// The Button class: push buttons, check boxes (two- and three-state) and radio buttons, with
// group boxes drawn by the same class. Automatic check boxes toggle and automatic radio buttons
// check themselves and clear the others of their group when clicked, before BN_CLICKED.
#include "internal/ui_internal.h"

namespace hvsim::ui {
namespace {

struct ButtonModel : WindowModel {
    UINT check = BST_UNCHECKED;
    UINT state = 0;
    HANDLE image = nullptr;
};

DWORD type_of(HWND hwnd) { return DWORD(GetWindowLongPtrW(hwnd, GWL_STYLE)) & BS_TYPEMASK; }

bool checkable(DWORD type) {
    return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON || type == BS_3STATE ||
           type == BS_AUTO3STATE || type == BS_AUTORADIOBUTTON;
}

ButtonModel& model(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w->model) w->model = std::make_unique<ButtonModel>();
    return static_cast<ButtonModel&>(*w->model);
}

// The other automatic radio buttons of the button's group lose their check, hidden and disabled
// ones included.
void clear_group(HWND button) {
    HWND dialog = GetParent(button);
    std::vector<HWND> siblings;
    if (auto p = find_window(dialog)) {
        std::lock_guard lock(windows_lock());
        siblings = p->children;
    }
    auto at = std::find(siblings.begin(), siblings.end(), button);
    if (at == siblings.end()) return;
    auto start = at;
    while (start != siblings.begin() && !(GetWindowLongPtrW(*start, GWL_STYLE) & WS_GROUP)) --start;
    for (auto it = start; it != siblings.end(); ++it) {
        if (it != start && (GetWindowLongPtrW(*it, GWL_STYLE) & WS_GROUP)) break;
        if (*it != button && type_of(*it) == BS_AUTORADIOBUTTON) SendMessageW(*it, BM_SETCHECK, BST_UNCHECKED, 0);
    }
}

LRESULT CALLBACK button_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: model(hwnd); return 0;
    case BM_GETCHECK: return checkable(type_of(hwnd)) ? model(hwnd).check : BST_UNCHECKED;
    case BM_SETCHECK: {
        const DWORD type = type_of(hwnd);
        if (!checkable(type)) return 0;
        UINT check = UINT(wp);
        if (check == BST_INDETERMINATE && type != BS_3STATE && type != BS_AUTO3STATE) check = BST_CHECKED;
        model(hwnd).check = check > BST_INDETERMINATE ? BST_UNCHECKED : check;
        return 0;
    }
    case BM_GETSTATE: return model(hwnd).check | model(hwnd).state;
    case BM_SETSTATE:
        if (wp)
            model(hwnd).state |= BST_PUSHED;
        else
            model(hwnd).state &= ~BST_PUSHED;
        return 0;
    case BM_SETSTYLE: {
        const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
        SetWindowLongPtrW(hwnd, GWL_STYLE, (style & ~LONG_PTR(BS_TYPEMASK)) | LONG_PTR(wp & BS_TYPEMASK));
        return 0;
    }
    case BM_CLICK: click_button(hwnd); return 0;
    case BM_GETIMAGE: return LRESULT(model(hwnd).image);
    case BM_SETIMAGE: return LRESULT(std::exchange(model(hwnd).image, HANDLE(lp)));
    case WM_GETDLGCODE: {
        const DWORD type = type_of(hwnd);
        if (type == BS_DEFPUSHBUTTON) return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
        if (type == BS_PUSHBUTTON) return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
        if (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON) return DLGC_BUTTON | DLGC_RADIOBUTTON;
        if (type == BS_GROUPBOX) return DLGC_STATIC;
        return DLGC_BUTTON;
    }
    case WM_SETFOCUS:
        if (GetWindowLongPtrW(hwnd, GWL_STYLE) & BS_NOTIFY) notify_parent_command(hwnd, BN_SETFOCUS);
        return 0;
    case WM_KILLFOCUS:
        if (GetWindowLongPtrW(hwnd, GWL_STYLE) & BS_NOTIFY) notify_parent_command(hwnd, BN_KILLFOCUS);
        return 0;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace

void register_button_class() { register_system_class(u"Button", button_proc); }

// A disabled button takes no click. A click focuses the button, changes an automatic check
// box or radio button, then tells the parent.
void click_button(HWND hwnd) {
    if (!IsWindowEnabled(hwnd)) return;
    const DWORD type = type_of(hwnd);
    if (type == BS_GROUPBOX) return;
    SetFocus(hwnd);
    if (type == BS_AUTOCHECKBOX) {
        SendMessageW(hwnd, BM_SETCHECK, model(hwnd).check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
    } else if (type == BS_AUTO3STATE) {
        SendMessageW(hwnd, BM_SETCHECK, (model(hwnd).check + 1) % 3, 0);
    } else if (type == BS_AUTORADIOBUTTON) {
        SendMessageW(hwnd, BM_SETCHECK, BST_CHECKED, 0);
        clear_group(hwnd);
    }
    if (IsWindow(hwnd)) notify_parent_command(hwnd, BN_CLICKED);
}

} // namespace hvsim::ui
