// The progress bar class (msctls_progress32): a position within a range, moved by steps. A step
// past the end starts again from the beginning, as Windows does.
#include "internal/ui_internal.h"

#include <algorithm>

namespace hvsim::ui {
namespace {

struct ProgressModel : WindowModel {
    int min = 0;
    int max = 100;
    int pos = 0;
    int step = 10;
    COLORREF bar = CLR_INVALID;

    void clamp() { pos = std::max(min, std::min(pos, max)); }
};

ProgressModel& model(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w->model) w->model = std::make_unique<ProgressModel>();
    return static_cast<ProgressModel&>(*w->model);
}

LRESULT set_range(ProgressModel& m, int min, int max) {
    const LRESULT previous = MAKELRESULT(WORD(m.min), WORD(m.max));
    m.min = min;
    m.max = max;
    m.clamp();
    return previous;
}

LRESULT CALLBACK progress_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: model(hwnd); return 0;
    case PBM_SETRANGE: return set_range(model(hwnd), int(LOWORD(lp)), int(HIWORD(lp)));
    case PBM_SETRANGE32: return set_range(model(hwnd), int(wp), int(lp));
    case PBM_GETRANGE: {
        auto& m = model(hwnd);
        if (lp) *reinterpret_cast<PBRANGE*>(lp) = PBRANGE{m.min, m.max};
        return wp ? m.min : m.max;
    }
    case PBM_SETPOS: {
        auto& m = model(hwnd);
        const int previous = m.pos;
        m.pos = int(wp);
        m.clamp();
        return previous;
    }
    case PBM_DELTAPOS: {
        auto& m = model(hwnd);
        const int previous = m.pos;
        m.pos += int(wp);
        m.clamp();
        return previous;
    }
    case PBM_SETSTEP: return std::exchange(model(hwnd).step, int(wp));
    case PBM_GETSTEP: return model(hwnd).step;
    case PBM_STEPIT: {
        auto& m = model(hwnd);
        const int previous = m.pos;
        m.pos += m.step;
        if (m.max > m.min && (m.pos > m.max || m.pos < m.min)) m.pos = m.min + ((m.pos - m.min) % (m.max - m.min));
        m.clamp();
        return previous;
    }
    case PBM_GETPOS: return model(hwnd).pos;
    case PBM_SETBARCOLOR: return LRESULT(std::exchange(model(hwnd).bar, COLORREF(lp)));
    case PBM_SETMARQUEE: return TRUE;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace

void register_progress_class() { register_system_class(PROGRESS_CLASSW, progress_proc); }

} // namespace hvsim::ui
