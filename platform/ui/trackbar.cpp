// The trackbar class (msctls_trackbar32). The thumb's position always lies within the range:
// setting either, in any order, clamps it. A drag tells the parent through WM_HSCROLL (or
// WM_VSCROLL for TBS_VERT) with the trackbar's handle.
#include "internal/ui_internal.h"

#include <algorithm>

namespace hvsim::ui {
namespace {

struct TrackbarModel : WindowModel {
    LONG min = 0;
    LONG max = 100;
    LONG pos = 0;
    LONG line = 1;
    LONG page = 20;
    LONG tic_frequency = 1;
    std::vector<LONG> tics;
    LONG sel_start = 0;
    LONG sel_end = 0;

    void clamp() { pos = std::max(min, std::min(pos, max)); }
};

TrackbarModel& model(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w->model) w->model = std::make_unique<TrackbarModel>();
    return static_cast<TrackbarModel&>(*w->model);
}

void notify(HWND hwnd, WORD code, LONG pos) {
    const UINT msg = (GetWindowLongPtrW(hwnd, GWL_STYLE) & TBS_VERT) ? WM_VSCROLL : WM_HSCROLL;
    if (HWND parent = GetParent(hwnd)) SendMessageW(parent, msg, MAKEWPARAM(code, WORD(pos)), LPARAM(hwnd));
}

LRESULT CALLBACK trackbar_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: model(hwnd); return 0;
    case TBM_GETPOS: return model(hwnd).pos;
    case TBM_GETRANGEMIN: return model(hwnd).min;
    case TBM_GETRANGEMAX: return model(hwnd).max;
    case TBM_SETPOS: {
        auto& m = model(hwnd);
        m.pos = LONG(lp);
        m.clamp();
        return 0;
    }
    case TBM_SETPOSNOTIFY: {
        auto& m = model(hwnd);
        m.pos = LONG(lp);
        m.clamp();
        notify(hwnd, TB_THUMBPOSITION, m.pos);
        return 0;
    }
    case TBM_SETRANGE: {
        auto& m = model(hwnd);
        m.min = LONG(LOWORD(lp));
        m.max = LONG(HIWORD(lp));
        m.clamp();
        return 0;
    }
    case TBM_SETRANGEMIN: {
        auto& m = model(hwnd);
        m.min = LONG(lp);
        m.clamp();
        return 0;
    }
    case TBM_SETRANGEMAX: {
        auto& m = model(hwnd);
        m.max = LONG(lp);
        m.clamp();
        return 0;
    }
    case TBM_SETPAGESIZE: return std::exchange(model(hwnd).page, LONG(lp));
    case TBM_GETPAGESIZE: return model(hwnd).page;
    case TBM_SETLINESIZE: return std::exchange(model(hwnd).line, LONG(lp));
    case TBM_GETLINESIZE: return model(hwnd).line;
    case TBM_SETTICFREQ: model(hwnd).tic_frequency = std::max<LONG>(1, LONG(wp)); return 0;
    case TBM_SETTIC: {
        auto& m = model(hwnd);
        if (LONG(lp) < m.min || LONG(lp) > m.max) return FALSE;
        m.tics.push_back(LONG(lp));
        return TRUE;
    }
    case TBM_CLEARTICS: model(hwnd).tics.clear(); return 0;
    case TBM_GETNUMTICS: {
        auto& m = model(hwnd);
        if (GetWindowLongPtrW(hwnd, GWL_STYLE) & TBS_NOTICKS) return 0;
        if (GetWindowLongPtrW(hwnd, GWL_STYLE) & TBS_AUTOTICKS)
            return (m.max - m.min) / m.tic_frequency + 1 + (((m.max - m.min) % m.tic_frequency) ? 1 : 0);
        return LRESULT(m.tics.size()) + 2;
    }
    case TBM_SETSEL: {
        auto& m = model(hwnd);
        m.sel_start = LONG(short(LOWORD(lp)));
        m.sel_end = LONG(short(HIWORD(lp)));
        return 0;
    }
    case TBM_SETSELSTART: model(hwnd).sel_start = LONG(lp); return 0;
    case TBM_SETSELEND: model(hwnd).sel_end = LONG(lp); return 0;
    case TBM_GETSELSTART: return model(hwnd).sel_start;
    case TBM_GETSELEND: return model(hwnd).sel_end;
    case TBM_CLEARSEL: model(hwnd).sel_start = model(hwnd).sel_end = 0; return 0;
    case WM_GETDLGCODE: return DLGC_WANTARROWS;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace

void register_trackbar_class() { register_system_class(TRACKBAR_CLASSW, trackbar_proc); }

// A drag to the position: the thumb follows it, the parent hears the track, the drop and the end.
void trackbar_user_slide(HWND hwnd, int position) {
    if (!IsWindowEnabled(hwnd)) return;
    SetFocus(hwnd);
    auto& m = model(hwnd);
    m.pos = position;
    m.clamp();
    notify(hwnd, TB_THUMBTRACK, m.pos);
    notify(hwnd, TB_THUMBPOSITION, m.pos);
    notify(hwnd, TB_ENDTRACK, m.pos);
}

} // namespace hvsim::ui
