// The Static class: text, icons, frames and etched lines. Only SS_NOTIFY statics tell their
// parent of clicks and of being enabled or disabled.
#include "internal/ui_internal.h"

namespace hvsim::ui {
namespace {

struct StaticModel : WindowModel {
    HICON icon = nullptr;
    HANDLE image = nullptr;
};

StaticModel& model(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w->model) w->model = std::make_unique<StaticModel>();
    return static_cast<StaticModel&>(*w->model);
}

bool notifies(HWND hwnd) { return (GetWindowLongPtrW(hwnd, GWL_STYLE) & SS_NOTIFY) != 0; }

LRESULT CALLBACK static_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: model(hwnd); return 0;
    case STM_SETICON: return LRESULT(std::exchange(model(hwnd).icon, HICON(wp)));
    case STM_GETICON: return LRESULT(model(hwnd).icon);
    case STM_SETIMAGE:
        if (wp == IMAGE_ICON) return LRESULT(std::exchange(model(hwnd).icon, HICON(lp)));
        return LRESULT(std::exchange(model(hwnd).image, HANDLE(lp)));
    case STM_GETIMAGE: return wp == IMAGE_ICON ? LRESULT(model(hwnd).icon) : LRESULT(model(hwnd).image);
    case WM_ENABLE:
        if (notifies(hwnd)) notify_parent_command(hwnd, wp ? STN_ENABLE : STN_DISABLE);
        return 0;
    case WM_LBUTTONUP: click_static(hwnd); return 0;
    case WM_GETDLGCODE: return DLGC_STATIC;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace

void register_static_class() { register_system_class(u"Static", static_proc); }

void click_static(HWND hwnd) {
    if (IsWindowEnabled(hwnd) && notifies(hwnd)) notify_parent_command(hwnd, STN_CLICKED);
}

} // namespace hvsim::ui
