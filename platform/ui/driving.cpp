// Driving windows as a user would, from any thread (hvsim/ui.h): each action runs on the thread
// that owns the control, so the program sees the same messages as from a person at the screen.
// Also the scripted visitors of modal loops and the waits on the machine's clock.
#include <hvsim/ui.h>

#include "internal/ui_internal.h"

#include <deque>

namespace hvsim::ui {
namespace {

struct ModalState {
    std::mutex mutex;
    std::deque<ModalVisitor> visitors;
    std::vector<std::u16string> transcript;
    size_t unscripted = 0;
    bool leave_unscripted = false;
};
ModalState& modal_state() {
    static ModalState* s = new ModalState;
    return *s;
}

std::u16string text_of(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w) return {};
    std::lock_guard lock(windows_lock());
    return w->text;
}

// Runs `action` on the control's thread if the control can take user input.
bool act(HWND control, const std::function<void()>& action) {
    auto w = find_window(control);
    if (!w || !IsWindowEnabled(control) || !IsWindowVisible(control)) return false;
    call_on_owner(w, [&]() -> LRESULT {
        action();
        return 0;
    });
    return true;
}

template <class T> T on_owner(HWND hwnd, T fallback, const std::function<T()>& read) {
    auto w = find_window(hwnd);
    if (!w) return fallback;
    T result = fallback;
    call_on_owner(w, [&]() -> LRESULT {
        result = read();
        return 0;
    });
    return result;
}

bool is_dialog_like(const Window& w) {
    return !(w.style & WS_CHILD) && (w.style & WS_VISIBLE) && (w.dialog || is_property_sheet(w.handle));
}

HWND newest(std::u16string_view title, DWORD process_id, bool sheets_only) {
    auto windows = all_windows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        auto& w = **it;
        if (!is_dialog_like(w) || (process_id && w.process_id != process_id)) continue;
        if (sheets_only && !is_property_sheet(w.handle)) continue;
        if (!title.empty() && text_of(w.handle) != title) continue;
        return w.handle;
    }
    return nullptr;
}

} // namespace

thread_local bool t_left_to_others = false;

void leave_next_modal_loop_to_others() { t_left_to_others = true; }

void visit_modal_loop(HWND window) {
    ModalVisitor visitor;
    {
        auto& s = modal_state();
        std::lock_guard lock(s.mutex);
        s.transcript.push_back(text_of(window));
        if (std::exchange(t_left_to_others, false)) return;
        if (!s.visitors.empty()) {
            visitor = std::move(s.visitors.front());
            s.visitors.pop_front();
        } else if (s.leave_unscripted) {
            return;
        } else {
            ++s.unscripted;
        }
    }
    if (visitor) {
        visitor(window);
        return;
    }
    // Nobody is there to answer: Cancel, as a person closing it would; a dialog that ignores its
    // Cancel button ends anyway.
    OutputDebugStringA(("Unscripted modal loop: " + utf8(text_of(window)) + "\n").c_str());
    if (is_property_sheet(window)) {
        SendMessageW(window, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    } else {
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), LPARAM(GetDlgItem(window, IDCANCEL)));
    }
    if (IsWindow(window) && !is_property_sheet(window)) {
        auto w = find_window(window);
        if (DialogState* d = dialog_state(w); d && !d->ended) EndDialog(window, IDCANCEL);
    }
    if (IsWindow(window) && is_property_sheet(window) && !Sheet(window).ended()) EndDialog(window, 0);
}

void script_modal_visitors(std::vector<ModalVisitor> visitors) {
    auto& s = modal_state();
    std::lock_guard lock(s.mutex);
    for (auto& v : visitors) s.visitors.push_back(std::move(v));
}

void leave_unscripted_modal_loops(bool leave) {
    auto& s = modal_state();
    std::lock_guard lock(s.mutex);
    s.leave_unscripted = leave;
}

size_t unscripted_modal_loops() {
    auto& s = modal_state();
    std::lock_guard lock(s.mutex);
    return s.unscripted;
}

std::vector<std::u16string> modal_transcript() {
    auto& s = modal_state();
    std::lock_guard lock(s.mutex);
    return s.transcript;
}

void reset_modal_loops() {
    auto& s = modal_state();
    std::lock_guard lock(s.mutex);
    s.visitors.clear();
    s.transcript.clear();
    s.leave_unscripted = false;
    s.unscripted = 0;
}

std::vector<HWND> top_level_windows(DWORD process_id) {
    std::vector<HWND> result;
    for (auto& w : all_windows())
        if (!(w->style & WS_CHILD) && (!process_id || w->process_id == process_id)) result.push_back(w->handle);
    return result;
}

HWND find_dialog(std::u16string_view title, DWORD process_id) { return newest(title, process_id, false); }
HWND find_sheet(std::u16string_view title, DWORD process_id) { return newest(title, process_id, true); }

// On a thread with windows (a visitor inside a modal loop) the thread's own messages are
// handled meanwhile, as a nested loop would.
bool wait_until(const std::function<bool()>& condition, int64_t timeout) {
    const int64_t deadline = sched::now() + timeout;
    while (!condition()) {
        MSG msg;
        bool quit = false;
        while (!quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(int(msg.wParam));
                quit = true;
            } else {
                DispatchMessageW(&msg);
            }
        }
        if (condition()) return true;
        if (sched::now() >= deadline) return false;
        sched::sleep_for(sched::kTicksPerMillisecond);
    }
    return true;
}

// Threads without windows (workers that only send) do not count.
bool wait_idle(int64_t timeout) {
    auto me = current_queue();
    return wait_until(
        [&] {
            for (auto& w : all_windows())
                if (w->queue && w->queue != me && !queue_idle(w->queue)) return false;
            return true;
        },
        timeout);
}

// ---- Dialog -----------------------------------------------------------------------------------------

bool Dialog::exists() const { return find_window(hwnd_) != nullptr; }

HWND Dialog::item(int id) const {
    auto w = find_window(hwnd_);
    if (!w) return nullptr;
    std::lock_guard lock(windows_lock());
    for (HWND child : w->children)
        if (auto c = find_window(child); c && int(c->id) == id) return child;
    return nullptr;
}

bool Dialog::type(int id, std::u16string_view text) const {
    HWND control = item(id);
    if (!control) return false;
    const std::string kind = control_kind(control);
    if (kind == "combo")
        control = combo_edit(control);
    else if (kind != "edit")
        return false;
    if (!control) return false;
    const std::u16string copy(text);
    return act(control, [&] { edit_user_type(control, copy); });
}

bool Dialog::select(int id, int index) const {
    HWND control = item(id);
    if (!control || (control_kind(control) != "combo" && control_kind(control) != "list")) return false;
    if (index < 0 || index >= int(SendMessageW(control, CB_GETCOUNT, 0, 0))) return false;
    return act(control, [&] { combo_user_select(control, index); });
}

bool Dialog::select(int id, std::u16string_view item_text) const {
    const auto all = items(id);
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == item_text) return select(id, int(i));
    return false;
}

bool Dialog::click(int id) const {
    HWND control = item(id);
    if (!control) return false;
    const std::string kind = control_kind(control);
    // A static is clicked with the mouse, so that a window that subclasses it (a link) sees it.
    if (kind == "static" || kind == "icon")
        return act(control, [&] {
            SendMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, 0);
            SendMessageW(control, WM_LBUTTONUP, 0, 0);
        });
    return act(control, [&] { click_button(control); });
}

bool Dialog::slide(int id, int pos) const {
    HWND control = item(id);
    if (!control || control_kind(control) != "trackbar") return false;
    return act(control, [&] { trackbar_user_slide(control, pos); });
}

bool Dialog::help(int id) const {
    HWND control = id ? item(id) : hwnd_;
    if (!control) return false;
    auto w = find_window(control);
    call_on_owner(w, [&]() -> LRESULT {
        RECT r{};
        GetWindowRect(control, &r);
        HELPINFO info{sizeof(HELPINFO), HELPINFO_WINDOW, id, control, 0, {r.left, r.top}};
        return SendMessageW(control, WM_HELP, 0, LPARAM(&info));
    });
    return true;
}

std::u16string Dialog::text(int id) const { return text_of(id ? item(id) : hwnd_); }

bool Dialog::checked(int id) const { return SendMessageW(item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
bool Dialog::enabled(int id) const { return IsWindowEnabled(id ? item(id) : hwnd_) != 0; }
bool Dialog::visible(int id) const { return IsWindowVisible(id ? item(id) : hwnd_) != 0; }

std::vector<std::u16string> Dialog::items(int id) const {
    HWND control = item(id);
    return on_owner<std::vector<std::u16string>>(control, {}, [&] {
        std::vector<std::u16string> result;
        const int count = int(SendMessageW(control, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            const LRESULT length = SendMessageW(control, CB_GETLBTEXTLEN, WPARAM(i), 0);
            std::u16string text(size_t(std::max<LRESULT>(length, 0)) + 1, u'\0');
            text.resize(
                size_t(std::max<LRESULT>(SendMessageW(control, CB_GETLBTEXT, WPARAM(i), LPARAM(text.data())), 0)));
            result.push_back(std::move(text));
        }
        return result;
    });
}

int Dialog::selection(int id) const { return int(SendMessageW(item(id), CB_GETCURSEL, 0, 0)); }

int Dialog::position(int id) const {
    HWND control = item(id);
    return int(SendMessageW(control, control_kind(control) == "progress" ? PBM_GETPOS : TBM_GETPOS, 0, 0));
}

std::pair<int, int> Dialog::range(int id) const {
    HWND control = item(id);
    if (control_kind(control) == "progress") {
        PBRANGE r{};
        SendMessageW(control, PBM_GETRANGE, TRUE, LPARAM(&r));
        return {r.iLow, r.iHigh};
    }
    return {int(SendMessageW(control, TBM_GETRANGEMIN, 0, 0)), int(SendMessageW(control, TBM_GETRANGEMAX, 0, 0))};
}

std::optional<Dialog::Tip> Dialog::tip(int id) const {
    HWND control = item(id);
    if (!control) return std::nullopt;
    auto text = tooltip_text(hwnd_, control);
    if (!text) return std::nullopt;
    return Tip{text->title, text->text, text->icon};
}

} // namespace hvsim::ui
