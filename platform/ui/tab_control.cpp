// The tab control class (SysTabControl32), as far as a property sheet uses it: the pages'
// titles and the selected one.
#include "internal/ui_internal.h"

namespace hvsim::ui {
namespace {

LRESULT CALLBACK tab_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* m = model_of<TabModel>(hwnd);
    switch (msg) {
    case WM_CREATE: find_window(hwnd)->model = std::make_unique<TabModel>(); return 0;
    case TCM_GETITEMCOUNT: return m ? LRESULT(m->titles.size()) : 0;
    case TCM_GETCURSEL: return m ? m->current : -1;
    case TCM_SETCURSEL: {
        if (!m || int(wp) >= int(m->titles.size())) return -1;
        return std::exchange(m->current, int(wp));
    }
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace

void register_tab_class() { register_system_class(WC_TABCONTROLW, tab_proc); }

} // namespace hvsim::ui
