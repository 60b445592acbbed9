// Windows and window classes (user32).
//
//   RegisterClass(Ex)W, UnregisterClassW, GetClassInfoExW, GetClassNameW   classes
//   CreateWindowExW, DestroyWindow, IsWindow                              creation and destruction
//   DefWindowProcW, CallWindowProcW                                       default handling, subclassing
//   Get/SetWindowLong(Ptr)W, GetClassLongPtrW                             window longs
//   GetParent, SetParent, GetAncestor, GetWindow, IsChild, FindWindow(Ex)W,
//   EnumChildWindows, GetDesktopWindow, GetWindowThreadProcessId          the tree
//   EnableWindow, ShowWindow, IsWindowEnabled/Visible, IsIconic,
//   SetFocus, GetFocus, Set/GetActiveWindow, Set/GetForegroundWindow      state
//   Set/GetWindowText(A/W), GetWindowTextLengthW                          text
//   GetWindowRect, GetClientRect, MoveWindow, SetWindowPos, ...           geometry (kept, not drawn)
//
// Handles are never used again while the machine runs, so a stale handle fails with
// ERROR_INVALID_WINDOW_HANDLE instead of reaching another window. No lock is held while a
// window procedure runs; calls that change another thread's window run on its owner.
#include "internal/ui_internal.h"

#include <algorithm>
#include <cstring>

namespace hvsim::ui {
namespace {

struct State {
    std::recursive_mutex lock;
    std::map<uintptr_t, WindowPtr> windows;
    std::vector<std::shared_ptr<WindowClass>> classes;
    uintptr_t next_handle = 0x10010;
    ATOM next_atom = 0xC000;
};
State& state() {
    static State* s = new State;
    return *s;
}

std::shared_ptr<WindowClass> find_class(LPCWSTR name, HINSTANCE instance) {
    ensure_system_classes();
    auto& s = state();
    std::lock_guard lock(s.lock);
    const bool by_atom = IS_INTRESOURCE(name);
    std::shared_ptr<WindowClass> global;
    for (auto& c : s.classes) {
        const bool match = by_atom ? c->atom == ATOM(uintptr_t(name)) : equal_no_case(c->name, name);
        if (!match) continue;
        // A module's own class comes before a global or system class of the same name.
        if (c->instance == instance && !c->system) return c;
        if (!global) global = c;
    }
    return global;
}

void add_child(Window& parent, HWND child) { parent.children.push_back(child); }

void remove_child(HWND parent, HWND child) {
    auto p = find_window(parent);
    if (!p) return;
    std::lock_guard lock(windows_lock());
    auto& c = p->children;
    c.erase(std::remove(c.begin(), c.end(), child), c.end());
}

LRESULT send(HWND hwnd, UINT msg, WPARAM wp = 0, LPARAM lp = 0) { return SendMessageW(hwnd, msg, wp, lp); }

// WM_DESTROY reaches a window before its children; WM_NCDESTROY after them.
void send_destroy(const WindowPtr& w) {
    send(w->handle, WM_DESTROY);
    std::vector<HWND> children;
    {
        std::lock_guard lock(windows_lock());
        children = w->children;
    }
    for (HWND child : children)
        if (auto c = find_window(child)) {
            c->destroying = true;
            send_destroy(c);
        }
}

void release_window(const WindowPtr& w);

void free_window(const WindowPtr& w) {
    std::vector<HWND> children;
    {
        std::lock_guard lock(windows_lock());
        children = w->children;
    }
    for (HWND child : children)
        if (auto c = find_window(child)) free_window(c);
    send(w->handle, WM_NCDESTROY);
    release_window(w);
}

void release_window(const WindowPtr& w) {
    auto& s = state();
    {
        std::lock_guard lock(s.lock);
        s.windows.erase(uintptr_t(w->handle));
        if (w->cls) --w->cls->windows;
        w->children.clear();
    }
    if (w->parent) remove_child(w->parent, w->handle);
    auto q = w->queue;
    if (q && q->thread_id == GetCurrentThreadId()) {
        if (q->focus == w->handle) q->focus = nullptr;
        if (q->active == w->handle) q->active = nullptr;
        std::lock_guard lock(q->mutex);
        auto& t = q->timers;
        t.erase(std::remove_if(t.begin(), t.end(), [&](const Timer& timer) { return timer.hwnd == w->handle; }),
                t.end());
    }
    if (w->dialog && w->dialog->font) DeleteObject(w->dialog->font);
    if (w->system_menu) destroy_menu(w->system_menu);
}

bool is_ancestor(HWND ancestor, HWND hwnd) {
    for (auto w = find_window(hwnd); w && w->parent; w = find_window(w->parent))
        if (w->parent == ancestor) return true;
    return false;
}

// Activation of a top-level window of the calling thread.
void activate(const WindowPtr& w) {
    auto q = current_queue();
    HWND previous = q->active;
    if (previous == w->handle) return;
    q->active = w->handle;
    if (previous && find_window(previous)) send(previous, WM_ACTIVATE, WA_INACTIVE, LPARAM(w->handle));
    send(w->handle, WM_NCACTIVATE, TRUE);
    send(w->handle, WM_ACTIVATE, WA_ACTIVE, LPARAM(previous));
}

// The next top-level window of the thread to activate when `leaving` goes: its owner, if enabled.
void activate_other(const WindowPtr& leaving) {
    auto q = current_queue();
    if (q->active != leaving->handle) return;
    q->active = nullptr;
    send(leaving->handle, WM_ACTIVATE, WA_INACTIVE, 0);
    if (auto owner = find_window(leaving->owner); owner && is_own_window(*owner) && !(owner->style & WS_DISABLED))
        activate(owner);
}

} // namespace

std::recursive_mutex& windows_lock() { return state().lock; }

WindowPtr find_window(HWND hwnd) {
    auto& s = state();
    std::lock_guard lock(s.lock);
    auto it = s.windows.find(uintptr_t(hwnd));
    return it == s.windows.end() ? nullptr : it->second;
}

WindowPtr window_of(HWND hwnd) {
    auto w = find_window(hwnd);
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

std::vector<WindowPtr> all_windows() {
    auto& s = state();
    std::lock_guard lock(s.lock);
    std::vector<WindowPtr> result;
    for (auto& [handle, w] : s.windows) result.push_back(w);
    return result;
}

bool is_own_window(const Window& w) { return w.queue && w.queue->thread_id == GetCurrentThreadId(); }

std::u16string class_name_of(const Window& w) { return w.cls ? w.cls->name : std::u16string(); }

HWND root_of(HWND hwnd) {
    auto w = find_window(hwnd);
    while (w && (w->style & WS_CHILD) && w->parent) {
        auto p = find_window(w->parent);
        if (!p) break;
        w = p;
    }
    return w ? w->handle : nullptr;
}

bool visible_chain(const Window& w) {
    std::lock_guard lock(windows_lock());
    if (!(w.style & WS_VISIBLE)) return false;
    for (auto p = find_window(w.parent); p; p = find_window(p->parent))
        if (!(p->style & WS_VISIBLE)) return false;
    return true;
}

void register_system_class(const char16_t* name, WNDPROC proc, int window_extra, UINT style, ATOM atom) {
    auto& s = state();
    std::lock_guard lock(s.lock);
    auto c = std::make_shared<WindowClass>();
    c->name = name;
    c->atom = atom ? atom : s.next_atom++;
    c->proc = proc;
    c->window_extra = window_extra;
    c->style = style | CS_GLOBALCLASS;
    c->system = true;
    s.classes.push_back(c);
}

void drop_thread_windows(DWORD thread_id) {
    auto& s = state();
    std::lock_guard lock(s.lock);
    for (auto it = s.windows.begin(); it != s.windows.end();) {
        if (it->second->queue && it->second->queue->thread_id == thread_id) {
            if (it->second->cls) --it->second->cls->windows;
            it = s.windows.erase(it);
        } else {
            ++it;
        }
    }
}

void destroy_all_windows() {
    auto& s = state();
    std::lock_guard lock(s.lock);
    s.windows.clear();
    s.classes.erase(std::remove_if(s.classes.begin(), s.classes.end(), [](auto& c) { return !c->system; }),
                    s.classes.end());
    for (auto& c : s.classes) c->windows = 0;
}

} // namespace hvsim::ui

using namespace hvsim::ui;

HV_EXTERN_C_BEGIN

// ---- Classes ------------------------------------------------------------------------------------------

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wc) {
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXW) || !wc->lpszClassName || !wc->lpfnWndProc || wc->cbWndExtra < 0 ||
        wc->cbClsExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ensure_system_classes();
    auto& s = state();
    std::lock_guard lock(s.lock);
    for (auto& c : s.classes)
        if (!c->system && c->instance == wc->hInstance && !IS_INTRESOURCE(wc->lpszClassName) &&
            equal_no_case(c->name, wc->lpszClassName)) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    auto c = std::make_shared<WindowClass>();
    c->name = wc->lpszClassName;
    c->atom = s.next_atom++;
    c->style = wc->style;
    c->proc = wc->lpfnWndProc;
    c->class_extra = wc->cbClsExtra;
    c->window_extra = wc->cbWndExtra;
    c->instance = wc->hInstance;
    c->icon = wc->hIcon;
    c->cursor = wc->hCursor;
    c->background = wc->hbrBackground;
    s.classes.push_back(c);
    return c->atom;
}

ATOM WINAPI RegisterClassW(const WNDCLASSW* wc) {
    if (!wc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WNDCLASSEXW ex{sizeof ex, wc->style,   wc->lpfnWndProc,   wc->cbClsExtra,   wc->cbWndExtra,    wc->hInstance,
                   wc->hIcon, wc->hCursor, wc->hbrBackground, wc->lpszMenuName, wc->lpszClassName, nullptr};
    return RegisterClassExW(&ex);
}

BOOL WINAPI UnregisterClassW(LPCWSTR name, HINSTANCE instance) {
    auto& s = state();
    std::lock_guard lock(s.lock);
    for (auto it = s.classes.begin(); it != s.classes.end(); ++it) {
        auto& c = *it;
        if (c->system || c->instance != instance) continue;
        if (IS_INTRESOURCE(name) ? c->atom != ATOM(uintptr_t(name)) : !equal_no_case(c->name, name)) continue;
        if (c->windows) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
        s.classes.erase(it);
        return TRUE;
    }
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
}

BOOL WINAPI GetClassInfoExW(HINSTANCE instance, LPCWSTR name, LPWNDCLASSEXW wc) {
    auto c = name ? find_class(name, instance) : nullptr;
    if (!c || !wc) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *wc = WNDCLASSEXW{sizeof *wc,
                      c->style,
                      c->proc,
                      c->class_extra,
                      c->window_extra,
                      c->instance,
                      c->icon,
                      c->cursor,
                      c->background,
                      nullptr,
                      IS_INTRESOURCE(name) ? name : name,
                      nullptr};
    return TRUE;
}

int WINAPI GetClassNameW(HWND hwnd, LPWSTR buffer, int max) {
    auto w = window_of(hwnd);
    if (!w || !buffer || max <= 0) return 0;
    const std::u16string name = class_name_of(*w);
    const int n = std::min<int>(int(name.size()), max - 1);
    std::copy_n(name.data(), n, buffer);
    buffer[n] = 0;
    return n;
}

// ---- Creation and destruction ------------------------------------------------------------------------

HWND WINAPI CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x, int y,
                            int width, int height, HWND parent_handle, HMENU menu, HINSTANCE instance, LPVOID param) {
    auto cls = class_name ? find_class(class_name, instance) : nullptr;
    if (!cls) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    WindowPtr parent;
    if (parent_handle && parent_handle != HWND_MESSAGE) {
        parent = window_of(parent_handle);
        if (!parent) return nullptr;
    }
    if ((style & WS_CHILD) && !parent) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return nullptr;
    }
    auto w = std::make_shared<Window>();
    w->cls = cls;
    w->queue = current_queue();
    w->process_id = GetCurrentProcessId();
    w->instance = instance;
    w->proc = cls->proc;
    w->style = style & ~WS_VISIBLE;
    w->ex_style = ex_style;
    w->extra.assign(size_t(cls->window_extra), 0);
    if (x == CW_USEDEFAULT) x = y = 0;
    if (width == CW_USEDEFAULT) width = height = 0;
    w->rect = RECT{x, y, x + width, y + height};
    if (style & WS_CHILD) {
        w->parent = parent->handle;
        w->id = LONG_PTR(menu);
    } else if (parent) {
        // A top-level window's "parent" is its owner: the root of the window given.
        w->owner = root_of(parent->handle);
    }
    {
        auto& s = state();
        std::lock_guard lock(s.lock);
        w->handle = reinterpret_cast<HWND>(s.next_handle);
        s.next_handle += 4;
        s.windows[uintptr_t(w->handle)] = w;
        ++cls->windows;
        if (parent && (style & WS_CHILD)) add_child(*parent, w->handle);
    }
    HWND hwnd = w->handle;
    CREATESTRUCTW cs{param,       instance,    menu,       parent ? parent->handle : nullptr,
                     height,      width,       y,          x,
                     LONG(style), window_name, class_name, ex_style};
    if (!SendMessageW(hwnd, WM_NCCREATE, 0, LPARAM(&cs))) {
        if (find_window(hwnd)) free_window(w);
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    RECT client = w->rect;
    SendMessageW(hwnd, WM_NCCALCSIZE, FALSE, LPARAM(&client));
    if (SendMessageW(hwnd, WM_CREATE, 0, LPARAM(&cs)) == -1) {
        if (find_window(hwnd)) DestroyWindow(hwnd);
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    if (!find_window(hwnd)) return nullptr;
    SendMessageW(hwnd, WM_SIZE, 0, MAKELPARAM(width, height));
    SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(x, y));
    if (parent && (style & WS_CHILD) && !(ex_style & WS_EX_NOPARENTNOTIFY))
        SendMessageW(parent->handle, WM_PARENTNOTIFY, MAKEWPARAM(WM_CREATE, LOWORD(w->id)), LPARAM(hwnd));
    if ((style & WS_VISIBLE) && find_window(hwnd)) ShowWindow(hwnd, SW_SHOW);
    return find_window(hwnd) ? hwnd : nullptr;
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
    auto w = window_of(hwnd);
    if (!w) return FALSE;
    if (!is_own_window(*w)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (w->destroying) return TRUE;
    w->destroying = true;
    // Owned windows go first.
    for (auto& other : all_windows())
        if (other->owner == hwnd && !other->destroying && is_own_window(*other)) DestroyWindow(other->handle);
    if (w->parent && (w->style & WS_CHILD) && !(w->ex_style & WS_EX_NOPARENTNOTIFY))
        SendMessageW(w->parent, WM_PARENTNOTIFY, MAKEWPARAM(WM_DESTROY, LOWORD(w->id)), LPARAM(hwnd));
    {
        std::lock_guard lock(windows_lock());
        w->style &= ~WS_VISIBLE;
    }
    auto q = current_queue();
    if (q->focus && (q->focus == hwnd || is_ancestor(hwnd, q->focus))) {
        HWND focus = q->focus;
        q->focus = nullptr;
        if (find_window(focus)) SendMessageW(focus, WM_KILLFOCUS, 0, 0);
    }
    if (!(w->style & WS_CHILD)) activate_other(w);
    send_destroy(w);
    free_window(w);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hwnd) { return find_window(hwnd) != nullptr; }

// ---- Procedures ------------------------------------------------------------------------------------

LRESULT WINAPI CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (!proc) return 0;
    return proc(hwnd, msg, wp, lp);
}

LRESULT WINAPI DefWindowProcW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto w = window_of(hwnd);
    if (!w) return 0;
    switch (msg) {
    case WM_NCCREATE: {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        if (cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName)) {
            std::lock_guard lock(windows_lock());
            w->text = cs->lpszName;
        }
        return TRUE;
    }
    case WM_SETTEXT: {
        std::lock_guard lock(windows_lock());
        w->text = lp ? reinterpret_cast<LPCWSTR>(lp) : u"";
        return TRUE;
    }
    case WM_GETTEXT: {
        auto* buffer = reinterpret_cast<LPWSTR>(lp);
        if (!buffer || wp == 0) return 0;
        std::lock_guard lock(windows_lock());
        const size_t n = std::min<size_t>(w->text.size(), wp - 1);
        std::copy_n(w->text.data(), n, buffer);
        buffer[n] = 0;
        return LRESULT(n);
    }
    case WM_GETTEXTLENGTH: {
        std::lock_guard lock(windows_lock());
        return LRESULT(w->text.size());
    }
    case WM_SETFONT: w->font = HFONT(wp); return 0;
    case WM_GETFONT: return LRESULT(w->font);
    case WM_SETICON: {
        HICON previous = w->icon;
        w->icon = HICON(lp);
        return LRESULT(previous);
    }
    case WM_GETICON: return LRESULT(w->icon);
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    case WM_SYSCOMMAND:
        if ((wp & 0xFFF0) == SC_CLOSE) SendMessageW(hwnd, WM_CLOSE, 0, 0);
        return 0;
    // Help and context menus travel up to the parent, or the owner of a top-level window.
    case WM_HELP:
    case WM_CONTEXTMENU: {
        HWND up = (w->style & WS_CHILD) ? w->parent : w->owner;
        return up ? SendMessageW(up, msg, wp, lp) : 0;
    }
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        return LRESULT(
            GetSysColorBrush(msg == WM_CTLCOLOREDIT || msg == WM_CTLCOLORLISTBOX ? COLOR_WINDOW : COLOR_BTNFACE));
    case WM_NOTIFYFORMAT: return 1;  // NFR_UNICODE
    case WM_MOUSEACTIVATE: return 1; // MA_ACTIVATE
    case WM_NCHITTEST: return 1;     // HTCLIENT
    case WM_ERASEBKGND: return 1;
    default: return 0;
    }
}

// ---- Window longs ------------------------------------------------------------------------------------

LONG_PTR WINAPI GetWindowLongPtrW(HWND hwnd, int index) {
    auto w = window_of(hwnd);
    if (!w) return 0;
    std::lock_guard lock(windows_lock());
    switch (index) {
    case GWLP_WNDPROC: return LONG_PTR(w->proc);
    case GWLP_HINSTANCE: return LONG_PTR(w->instance);
    case GWLP_HWNDPARENT: return LONG_PTR((w->style & WS_CHILD) ? w->parent : w->owner);
    case GWLP_ID: return w->id;
    case GWL_STYLE: return LONG_PTR(LONG(w->style));
    case GWL_EXSTYLE: return LONG_PTR(LONG(w->ex_style));
    case GWLP_USERDATA: return w->user_data;
    default:
        if (index < 0 || size_t(index) + sizeof(LONG_PTR) > w->extra.size()) {
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
        }
        LONG_PTR value;
        std::memcpy(&value, w->extra.data() + index, sizeof value);
        return value;
    }
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
    auto w = window_of(hwnd);
    if (!w) return 0;
    if (index == GWL_STYLE || index == GWL_EXSTYLE) {
        // Style changes are announced to the window, on its own thread.
        return call_on_owner(w, [w, index, value]() -> LRESULT {
            const WPARAM which = WPARAM(index);
            STYLESTRUCT change{DWORD(index == GWL_STYLE ? w->style : w->ex_style), DWORD(value)};
            SendMessageW(w->handle, WM_STYLECHANGING, which, LPARAM(&change));
            DWORD previous;
            {
                std::lock_guard lock(windows_lock());
                DWORD& field = index == GWL_STYLE ? w->style : w->ex_style;
                previous = field;
                field = change.styleNew;
            }
            change.styleOld = previous;
            SendMessageW(w->handle, WM_STYLECHANGED, which, LPARAM(&change));
            return LRESULT(LONG(previous));
        });
    }
    std::lock_guard lock(windows_lock());
    LONG_PTR previous = 0;
    switch (index) {
    case GWLP_WNDPROC:
        if (!value) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        previous = LONG_PTR(w->proc);
        w->proc = reinterpret_cast<WNDPROC>(value);
        return previous;
    case GWLP_HINSTANCE:
        previous = LONG_PTR(w->instance);
        w->instance = HINSTANCE(value);
        return previous;
    case GWLP_HWNDPARENT:
        previous = LONG_PTR(w->owner);
        w->owner = HWND(value);
        return previous;
    case GWLP_ID:
        previous = w->id;
        w->id = value;
        return previous;
    case GWLP_USERDATA:
        previous = w->user_data;
        w->user_data = value;
        return previous;
    default:
        if (index < 0 || size_t(index) + sizeof(LONG_PTR) > w->extra.size()) {
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
        }
        std::memcpy(&previous, w->extra.data() + index, sizeof previous);
        std::memcpy(w->extra.data() + index, &value, sizeof value);
        return previous;
    }
}

LONG WINAPI GetWindowLongW(HWND hwnd, int index) { return LONG(GetWindowLongPtrW(hwnd, index)); }
LONG WINAPI SetWindowLongW(HWND hwnd, int index, LONG value) { return LONG(SetWindowLongPtrW(hwnd, index, value)); }

ULONG_PTR WINAPI GetClassLongPtrW(HWND hwnd, int index) {
    auto w = window_of(hwnd);
    if (!w || !w->cls) return 0;
    switch (index) {
    case GCLP_WNDPROC: return ULONG_PTR(w->cls->proc);
    case GCL_STYLE: return w->cls->style;
    case GCW_ATOM: return w->cls->atom;
    default: SetLastError(ERROR_INVALID_INDEX); return 0;
    }
}

// ---- The tree ------------------------------------------------------------------------------------

HWND WINAPI GetParent(HWND hwnd) {
    auto w = window_of(hwnd);
    if (!w) return nullptr;
    return (w->style & WS_CHILD) ? w->parent : w->owner;
}

HWND WINAPI SetParent(HWND child, HWND new_parent) {
    auto w = window_of(child);
    if (!w) return nullptr;
    WindowPtr p;
    if (new_parent && !(p = window_of(new_parent))) return nullptr;
    HWND previous = w->parent;
    if (previous) remove_child(previous, child);
    std::lock_guard lock(windows_lock());
    w->parent = p ? p->handle : nullptr;
    if (p) add_child(*p, child);
    return previous;
}

HWND WINAPI GetAncestor(HWND hwnd, UINT flags) {
    auto w = window_of(hwnd);
    if (!w) return nullptr;
    switch (flags) {
    case GA_PARENT: return w->parent;
    case GA_ROOT: return root_of(hwnd);
    case GA_ROOTOWNER: {
        HWND root = root_of(hwnd);
        for (auto r = find_window(root); r && r->owner; r = find_window(r->owner)) root = r->owner;
        return root;
    }
    default: return nullptr;
    }
}

HWND WINAPI GetWindow(HWND hwnd, UINT cmd) {
    auto w = window_of(hwnd);
    if (!w) return nullptr;
    std::lock_guard lock(windows_lock());
    if (cmd == GW_CHILD) return w->children.empty() ? nullptr : w->children.front();
    if (cmd == GW_OWNER) return w->owner;
    if (cmd == GW_ENABLEDPOPUP) return nullptr;
    auto p = find_window(w->parent);
    if (!p) return cmd == GW_HWNDFIRST || cmd == GW_HWNDLAST ? hwnd : nullptr;
    auto& siblings = p->children;
    auto it = std::find(siblings.begin(), siblings.end(), hwnd);
    switch (cmd) {
    case GW_HWNDFIRST: return siblings.front();
    case GW_HWNDLAST: return siblings.back();
    case GW_HWNDNEXT: return it == siblings.end() || it + 1 == siblings.end() ? nullptr : *(it + 1);
    case GW_HWNDPREV: return it == siblings.begin() || it == siblings.end() ? nullptr : *(it - 1);
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
    }
}

HWND WINAPI GetTopWindow(HWND hwnd) { return hwnd ? GetWindow(hwnd, GW_CHILD) : nullptr; }

BOOL WINAPI IsChild(HWND parent, HWND hwnd) { return is_ancestor(parent, hwnd); }

HWND WINAPI FindWindowExW(HWND parent, HWND after, LPCWSTR class_name, LPCWSTR title) {
    std::vector<HWND> candidates;
    if (parent) {
        auto p = window_of(parent);
        if (!p) return nullptr;
        std::lock_guard lock(windows_lock());
        candidates = p->children;
    } else {
        for (auto& w : all_windows())
            if (!(w->style & WS_CHILD)) candidates.push_back(w->handle);
    }
    bool started = after == nullptr;
    for (HWND candidate : candidates) {
        if (!started) {
            started = candidate == after;
            continue;
        }
        auto w = find_window(candidate);
        if (!w) continue;
        if (class_name) {
            if (IS_INTRESOURCE(class_name) ? (!w->cls || w->cls->atom != ATOM(uintptr_t(class_name)))
                                           : !equal_no_case(class_name_of(*w), class_name))
                continue;
        }
        if (title) {
            std::lock_guard lock(windows_lock());
            if (w->text != title) continue;
        }
        return candidate;
    }
    return nullptr;
}

HWND WINAPI FindWindowW(LPCWSTR class_name, LPCWSTR title) {
    return FindWindowExW(nullptr, nullptr, class_name, title);
}

BOOL WINAPI EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lp) {
    auto p = window_of(parent);
    if (!p || !proc) return FALSE;
    std::vector<HWND> children;
    {
        std::lock_guard lock(windows_lock());
        children = p->children;
    }
    // Every descendant, depth first, as Windows enumerates them.
    for (HWND child : children) {
        if (!find_window(child)) continue;
        if (!proc(child, lp)) return TRUE;
        EnumChildWindows(child, proc, lp);
    }
    return TRUE;
}

HWND WINAPI GetDesktopWindow(void) { return reinterpret_cast<HWND>(uintptr_t(0x10010 - 4)); }

DWORD WINAPI GetWindowThreadProcessId(HWND hwnd, LPDWORD process_id) {
    auto w = window_of(hwnd);
    if (!w) return 0;
    if (process_id) *process_id = w->process_id;
    return w->queue ? w->queue->thread_id : 0;
}

// ---- State --------------------------------------------------------------------------------------------

BOOL WINAPI EnableWindow(HWND hwnd, BOOL enable) {
    auto w = window_of(hwnd);
    if (!w) return FALSE;
    return BOOL(call_on_owner(w, [w, enable]() -> LRESULT {
        const bool was_disabled = (w->style & WS_DISABLED) != 0;
        if (was_disabled == !enable) return was_disabled;
        {
            std::lock_guard lock(windows_lock());
            if (enable)
                w->style &= ~WS_DISABLED;
            else
                w->style |= WS_DISABLED;
        }
        auto q = current_queue();
        if (!enable && q->focus && (q->focus == w->handle || IsChild(w->handle, q->focus))) SetFocus(nullptr);
        SendMessageW(w->handle, WM_ENABLE, enable ? TRUE : FALSE, 0);
        return was_disabled;
    }));
}

BOOL WINAPI IsWindowEnabled(HWND hwnd) {
    auto w = window_of(hwnd);
    if (!w) return FALSE;
    std::lock_guard lock(windows_lock());
    return !(w->style & WS_DISABLED);
}

BOOL WINAPI ShowWindow(HWND hwnd, int command) {
    auto w = window_of(hwnd);
    if (!w) return FALSE;
    return BOOL(call_on_owner(w, [w, command]() -> LRESULT {
        const bool was_visible = (w->style & WS_VISIBLE) != 0;
        const bool show = command != SW_HIDE;
        const bool minimize = command == SW_MINIMIZE || command == SW_SHOWMINIMIZED || command == SW_SHOWMINNOACTIVE;
        {
            std::lock_guard lock(windows_lock());
            if (minimize)
                w->style |= WS_MINIMIZE;
            else if (command == SW_RESTORE || command == SW_SHOWNORMAL)
                w->style &= ~WS_MINIMIZE;
        }
        if (show != was_visible) {
            SendMessageW(w->handle, WM_SHOWWINDOW, show, 0);
            std::lock_guard lock(windows_lock());
            if (show)
                w->style |= WS_VISIBLE;
            else
                w->style &= ~WS_VISIBLE;
        }
        const bool activates = show && !minimize && command != SW_SHOWNA && command != SW_SHOWNOACTIVATE &&
                               !(w->style & WS_CHILD) && !(w->ex_style & WS_EX_NOACTIVATE);
        if (activates && find_window(w->handle)) activate(w);
        if (!show && !(w->style & WS_CHILD)) activate_other(w);
        return was_visible;
    }));
}

BOOL WINAPI IsWindowVisible(HWND hwnd) {
    auto w = window_of(hwnd);
    return w && visible_chain(*w);
}

BOOL WINAPI IsIconic(HWND hwnd) {
    auto w = window_of(hwnd);
    return w && (w->style & WS_MINIMIZE);
}

HWND WINAPI SetFocus(HWND hwnd) {
    auto q = current_queue();
    HWND previous = q->focus;
    if (hwnd) {
        auto w = window_of(hwnd);
        if (!w) return nullptr;
        if (!is_own_window(*w)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        if (w->style & WS_DISABLED) return nullptr;
        if (previous == hwnd) return previous;
        if (auto root = find_window(root_of(hwnd)); root && q->active != root->handle && root != w) activate(root);
    }
    q->focus = hwnd;
    if (previous && find_window(previous)) SendMessageW(previous, WM_KILLFOCUS, WPARAM(hwnd), 0);
    if (hwnd && find_window(hwnd) && q->focus == hwnd) SendMessageW(hwnd, WM_SETFOCUS, WPARAM(previous), 0);
    return previous;
}

HWND WINAPI GetFocus(void) { return current_queue()->focus; }

HWND WINAPI SetActiveWindow(HWND hwnd) {
    auto w = window_of(hwnd);
    if (!w) return nullptr;
    HWND previous = current_queue()->active;
    if (is_own_window(*w)) activate(w);
    return previous;
}

HWND WINAPI GetActiveWindow(void) { return current_queue()->active; }
BOOL WINAPI SetForegroundWindow(HWND hwnd) { return SetActiveWindow(hwnd) != nullptr || IsWindow(hwnd); }
HWND WINAPI GetForegroundWindow(void) { return current_queue()->active; }

// ---- Text ------------------------------------------------------------------------------------------

BOOL WINAPI SetWindowTextW(HWND hwnd, LPCWSTR text) {
    if (!window_of(hwnd)) return FALSE;
    return BOOL(SendMessageW(hwnd, WM_SETTEXT, 0, LPARAM(text)));
}

BOOL WINAPI SetWindowTextA(HWND hwnd, LPCSTR text) {
    std::u16string wide = text ? widen(text) : std::u16string();
    return SetWindowTextW(hwnd, text ? wide.c_str() : nullptr);
}

// Another thread's window gives the text the window system keeps, as on Windows.
int WINAPI GetWindowTextW(HWND hwnd, LPWSTR buffer, int max) {
    auto w = window_of(hwnd);
    if (!w || !buffer || max <= 0) return 0;
    if (is_own_window(*w)) return int(SendMessageW(hwnd, WM_GETTEXT, WPARAM(max), LPARAM(buffer)));
    std::lock_guard lock(windows_lock());
    const int n = std::min<int>(int(w->text.size()), max - 1);
    std::copy_n(w->text.data(), n, buffer);
    buffer[n] = 0;
    return n;
}

int WINAPI GetWindowTextA(HWND hwnd, LPSTR buffer, int max) {
    if (!buffer || max <= 0) return 0;
    const int length = GetWindowTextLengthW(hwnd);
    std::u16string wide(size_t(length) + 1, u'\0');
    wide.resize(size_t(GetWindowTextW(hwnd, wide.data(), length + 1)));
    const std::string text = narrow(wide);
    const int n = std::min<int>(int(text.size()), max - 1);
    std::copy_n(text.data(), n, buffer);
    buffer[n] = 0;
    return n;
}

int WINAPI GetWindowTextLengthW(HWND hwnd) {
    auto w = window_of(hwnd);
    if (!w) return 0;
    if (is_own_window(*w)) return int(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0));
    std::lock_guard lock(windows_lock());
    return int(w->text.size());
}

// ---- Geometry ---------------------------------------------------------------------------------------

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
    auto w = window_of(hwnd);
    if (!w || !rect) return FALSE;
    RECT r = w->rect;
    for (auto p = find_window(w->parent); p; p = find_window(p->parent)) {
        r.left += p->rect.left;
        r.right += p->rect.left;
        r.top += p->rect.top;
        r.bottom += p->rect.top;
    }
    *rect = r;
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect) {
    auto w = window_of(hwnd);
    if (!w || !rect) return FALSE;
    *rect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return TRUE;
}

BOOL WINAPI SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags) {
    auto w = window_of(hwnd);
    if (!w) return FALSE;
    {
        std::lock_guard lock(windows_lock());
        RECT& r = w->rect;
        if (!(flags & SWP_NOMOVE)) {
            const LONG width = r.right - r.left, height = r.bottom - r.top;
            r = RECT{x, y, x + width, y + height};
        }
        if (!(flags & SWP_NOSIZE)) {
            r.right = r.left + cx;
            r.bottom = r.top + cy;
        }
    }
    if (flags & SWP_SHOWWINDOW) ShowWindow(hwnd, SW_SHOWNA);
    if (flags & SWP_HIDEWINDOW) ShowWindow(hwnd, SW_HIDE);
    return TRUE;
}

BOOL WINAPI MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
    return SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL WINAPI InvalidateRect(HWND hwnd, const RECT*, BOOL) { return hwnd == nullptr || window_of(hwnd) != nullptr; }
BOOL WINAPI UpdateWindow(HWND hwnd) { return window_of(hwnd) != nullptr; }

BOOL WINAPI ScreenToClient(HWND hwnd, LPPOINT point) {
    RECT r;
    if (!point || !GetWindowRect(hwnd, &r)) return FALSE;
    point->x -= r.left;
    point->y -= r.top;
    return TRUE;
}

BOOL WINAPI ClientToScreen(HWND hwnd, LPPOINT point) {
    RECT r;
    if (!point || !GetWindowRect(hwnd, &r)) return FALSE;
    point->x += r.left;
    point->y += r.top;
    return TRUE;
}

HV_EXTERN_C_END
