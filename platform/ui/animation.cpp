// The animation control (SysAnimate32): opens a clip from a module's "AVI" resources or a file
// and plays it (nothing is shown). ACS_AUTOPLAY starts playing as soon as a clip is open; the
// parent hears ACN_START and ACN_STOP through WM_COMMAND.
#include "internal/ui_internal.h"

#include <hv_resource.h>

namespace hvsim::ui {
namespace {

struct AnimationModel : WindowModel {
    bool open = false;
    std::u16string clip;
    bool playing = false;
    int from = 0, to = -1, repeat = -1;
};

AnimationModel& model(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w->model) w->model = std::make_unique<AnimationModel>();
    return static_cast<AnimationModel&>(*w->model);
}

void stop(HWND hwnd) {
    auto& m = model(hwnd);
    if (!m.playing) return;
    m.playing = false;
    notify_parent_command(hwnd, ACN_STOP);
}

BOOL play(HWND hwnd, int repeat, int from, int to) {
    auto& m = model(hwnd);
    if (!m.open) return FALSE;
    m.repeat = repeat;
    m.from = from;
    m.to = to;
    m.playing = true;
    notify_parent_command(hwnd, ACN_START);
    return TRUE;
}

bool file_exists(LPCWSTR path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

// A clip by resource (MAKEINTRESOURCE or a name) of the module given, else of the window's own.
BOOL open(HWND hwnd, HINSTANCE instance, LPCWSTR name) {
    auto& m = model(hwnd);
    stop(hwnd);
    m.open = false;
    m.clip.clear();
    if (!name) return TRUE;
    if (!instance) instance = HINSTANCE(GetWindowLongPtrW(hwnd, GWLP_HINSTANCE));
    const LPCWSTR type = MAKEINTRESOURCEW(HV_RESOURCE_TYPE_AVI);
    if (FindResourceW(instance, name, type) || (!IS_INTRESOURCE(name) && FindResourceW(instance, name, u"AVI"))) {
        if (IS_INTRESOURCE(name))
            for (char c : "#" + std::to_string(uintptr_t(name))) m.clip.push_back(char16_t(c));
        else
            m.clip = name;
    } else if (!IS_INTRESOURCE(name) && file_exists(name)) {
        m.clip = name;
    } else {
        return FALSE;
    }
    m.open = true;
    if (GetWindowLongPtrW(hwnd, GWL_STYLE) & ACS_AUTOPLAY) play(hwnd, -1, 0, -1);
    return TRUE;
}

LRESULT CALLBACK animation_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: model(hwnd); return 0;
    case ACM_OPENW: return open(hwnd, HINSTANCE(wp), reinterpret_cast<LPCWSTR>(lp));
    case ACM_OPENA: {
        if (IS_INTRESOURCE(lp)) return open(hwnd, HINSTANCE(wp), reinterpret_cast<LPCWSTR>(lp));
        const std::u16string name = widen(reinterpret_cast<const char*>(lp));
        return open(hwnd, HINSTANCE(wp), name.c_str());
    }
    case ACM_PLAY: return play(hwnd, int(wp), short(LOWORD(lp)), short(HIWORD(lp)));
    case ACM_STOP: stop(hwnd); return TRUE;
    case ACM_ISPLAYING: return model(hwnd).playing;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

} // namespace

void register_animation_class() { register_system_class(ANIMATE_CLASSW, animation_proc); }

} // namespace hvsim::ui
