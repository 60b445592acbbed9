// Message maps and CWnd: dispatching a bound window's messages to the map, the window's own
// handling, and the objects that stand for handles.
#include "mfc_internal.h"

#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

// Wrappers of handles no object is bound to, kept for the image's lifetime (as MFC's temporary
// objects, but never freed under a caller).
template <typename Handle, typename Object> class Wrappers {
public:
    Object* get(Handle handle) {
        std::lock_guard lock(mutex_);
        auto& slot = objects_[handle];
        if (!slot) {
            slot = std::make_unique<Object>();
            slot->Attach(handle);
        }
        return slot.get();
    }

private:
    std::mutex mutex_;
    std::unordered_map<Handle, std::unique_ptr<Object>> objects_;
};

// A window wrapper that is never bound: it only carries the handle.
class CTempWnd : public CWnd {
public:
    ~CTempWnd() override { m_hWnd = nullptr; }
    BOOL Attach(HWND window) {
        m_hWnd = window;
        return TRUE;
    }
};

Wrappers<HWND, CTempWnd>& window_wrappers() {
    static Wrappers<HWND, CTempWnd> w;
    return w;
}

Wrappers<HMENU, CMenu>& menu_wrappers() {
    static Wrappers<HMENU, CMenu> w;
    return w;
}

// The message a dialog's Default() hands to the dialog manager, which must not come back to the
// object that asked for it.
thread_local HWND default_window = nullptr;
thread_local UINT default_message = 0;

} // namespace

// The object standing for what does not exist: its calls fail on a null handle.
static CWnd* missing_window() { return window_wrappers().get(nullptr); }

bool hv_mfc_in_default(HWND window, UINT message) { return default_window == window && default_message == message; }

// ---- CCmdTarget -------------------------------------------------------------------------------------

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CCmdTarget::DispatchFromMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry && entry->pfn; ++entry) {
            if (entry->nMessage != message) continue;
            if (message == WM_COMMAND) {
                const UINT id = LOWORD(wParam), code = HIWORD(wParam);
                if (entry->nCode != code || id < entry->nID || id > entry->nLastID) continue;
            } else if (message == WM_NOTIFY) {
                const auto* header = reinterpret_cast<const NMHDR*>(lParam);
                if (!header || entry->nCode != header->code || header->idFrom < entry->nID ||
                    header->idFrom > entry->nLastID)
                    continue;
            }
            return entry->pfn(this, wParam, lParam, result);
        }
    }
    return FALSE;
}

BOOL CCmdTarget::OnCmdMsg(UINT id, int code) {
    LRESULT ignored = 0;
    return DispatchFromMap(WM_COMMAND, MAKEWPARAM(id, code), 0, &ignored);
}

// ---- CWnd -----------------------------------------------------------------------------------------

CWnd::~CWnd() {
    if (m_hWnd && hvclass::lookup(m_hWnd, hvclass::Kind::MfcWindow) == this) {
        if (::IsWindow(m_hWnd)) {
            ASSERT(!"a window object destroyed while its window exists");
            if (m_pfnSuper) ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
        }
        hvclass::unbind(m_hWnd, this);
    }
}

CWnd* CWnd::FromHandlePermanent(HWND window) {
    return static_cast<CWnd*>(hvclass::lookup(window, hvclass::Kind::MfcWindow));
}

CWnd* CWnd::FromHandle(HWND window) {
    if (!window) return nullptr;
    if (CWnd* bound = FromHandlePermanent(window)) return bound;
    return window_wrappers().get(window);
}

BOOL CWnd::Attach(HWND window) {
    if (!HV_CLASSLIB_CHECK(m_hWnd == nullptr, "Attach on an object that has a window")) return FALSE;
    if (!hvclass::bind(window, hvclass::Kind::MfcWindow, this)) return FALSE;
    m_hWnd = window;
    return TRUE;
}

HWND CWnd::Detach() {
    HWND window = m_hWnd;
    if (window) hvclass::unbind(window, this);
    m_hWnd = nullptr;
    return window;
}

BOOL CWnd::SubclassWindow(HWND window) {
    if (!HV_CLASSLIB_CHECK(::IsWindow(window), "SubclassWindow of no window") || !Attach(window)) return FALSE;
    auto old = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::AfxWndProc)));
    if (!old) {
        Detach();
        return FALSE;
    }
    m_pfnSuper = old;
    return TRUE;
}

HWND CWnd::UnsubclassWindow() {
    if (!m_pfnSuper) return nullptr;
    ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    m_pfnSuper = nullptr;
    return Detach();
}

BOOL CWnd::DestroyWindow() { return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE; }

void CWnd::GetWindowText(CString& text) const {
    int length = ::GetWindowTextLengthW(m_hWnd);
    // Multibyte text may take two bytes a character.
    int room = length * 2 + 1;
    int copied = ::GetWindowTextA(m_hWnd, text.GetBuffer(room), room + 1);
    text.ReleaseBuffer(copied > 0 ? copied : 0);
}

void CWnd::SetFont(CFont* font, BOOL redraw) {
    HFONT handle = font ? static_cast<HFONT>(font->m_hObject) : nullptr;
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(handle), MAKELPARAM(redraw, 0));
}

CWnd* CWnd::GetParent() const {
    CWnd* parent = FromHandle(::GetParent(m_hWnd));
    return parent ? parent : missing_window();
}

CWnd* CWnd::GetDlgItem(int id) const {
    CWnd* item = FromHandle(::GetDlgItem(m_hWnd, id));
    return item ? item : missing_window();
}

CMenu* CWnd::GetSystemMenu(BOOL revert) const { return CMenu::FromHandle(::GetSystemMenu(m_hWnd, revert)); }

CMenu* CMenu::FromHandle(HMENU menu) { return menu_wrappers().get(menu); }

BOOL CWnd::UpdateData(BOOL save_and_validate) {
    CDataExchange dx(this, save_and_validate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CWnd::Modify(int index, DWORD remove, DWORD add, UINT flags) {
    DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, index));
    DWORD changed = (style & ~remove) | add;
    if (changed == style) return FALSE;
    ::SetWindowLongPtrW(m_hWnd, index, static_cast<LONG_PTR>(changed));
    if (flags)
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | flags);
    return TRUE;
}

LRESULT CALLBACK CWnd::AfxWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* object = FromHandlePermanent(window);
    if (!object) return ::DefWindowProcW(window, message, wParam, lParam);
    BOOL handled = FALSE;
    return object->Dispatch(window, message, wParam, lParam, &handled);
}

LRESULT CWnd::Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam, BOOL* handled) {
    MSG current{};
    current.hwnd = window;
    current.message = message;
    current.wParam = wParam;
    current.lParam = lParam;
    const MSG* outer = m_pCurrentMsg;
    const bool outer_handled = m_bCurrentHandled;
    m_pCurrentMsg = &current;
    m_bCurrentHandled = true;
    LRESULT result = WindowProc(message, wParam, lParam);
    *handled = m_bCurrentHandled;
    if (message == WM_NCDESTROY) m_bWindowGone = true;
    m_pCurrentMsg = outer;
    m_bCurrentHandled = outer_handled;
    if (!outer && m_bWindowGone) ReleaseWindowAtEnd(window);
    return result;
}

void CWnd::ReleaseWindowAtEnd(HWND window) {
    m_bWindowGone = false;
    hvclass::unbind(window, this);
    m_pfnSuper = nullptr;
    m_hWnd = nullptr;
    // The main window's end ends the program's message loop.
    if (CWinApp* app = AfxGetApp(); app && app->m_pMainWnd == this) {
        app->m_pMainWnd = nullptr;
        ::PostQuitMessage(0);
    }
    PostNcDestroy();
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (!OnWndMsg(message, wParam, lParam, &result)) result = DefWindowProc(message, wParam, lParam);
    return result;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message == WM_COMMAND) {
        *result = 0;
        return OnCommand(wParam, lParam);
    }
    if (message == WM_NOTIFY) return OnNotify(wParam, lParam, result);
    return DispatchFromMap(message, wParam, lParam, result);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
    LRESULT ignored = 0;
    if (DispatchFromMap(WM_COMMAND, wParam, lParam, &ignored)) return TRUE;
    CWinApp* app = AfxGetApp();
    return RoutesCommandsToApp() && app ? app->OnCmdMsg(LOWORD(wParam), HIWORD(wParam)) : FALSE;
}

BOOL CWnd::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
    return DispatchFromMap(WM_NOTIFY, wParam, lParam, result);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_pfnSuper) return ::CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Default() {
    const MSG* msg = m_pCurrentMsg;
    if (!msg) return 0;
    if (!m_bDialogProc) return DefWindowProc(msg->message, msg->wParam, msg->lParam);
    // A dialog's own handling is the dialog manager's, which asks the dialog procedure first.
    HWND outer_window = default_window;
    UINT outer_message = default_message;
    default_window = msg->hwnd;
    default_message = msg->message;
    LRESULT result = ::DefDlgProcW(msg->hwnd, msg->message, msg->wParam, msg->lParam);
    default_window = outer_window;
    default_message = outer_message;
    return result;
}
