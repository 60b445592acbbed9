// The ATL-like window classes: CWindow (a handle and the calls on it), message maps, and the
// window and dialog implementations whose objects handle their windows' messages. A window is
// bound to its object through the image's window map (hv_classlib.h): a window made by the
// object is bound by its first message, a subclassed one at once.
#pragma once

#include <atlbase.h>

namespace ATL {

constexpr DWORD kErrorClassAlreadyExists = 1410;

class CWindow {
public:
    HWND m_hWnd;

    CWindow(HWND window = nullptr) : m_hWnd(window) {}
    CWindow& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }
    operator HWND() const { return m_hWnd; }

    void Attach(HWND window) { m_hWnd = window; }
    HWND Detach() {
        HWND window = m_hWnd;
        m_hWnd = nullptr;
        return window;
    }
    BOOL IsWindow() const { return ::IsWindow(m_hWnd); }
    BOOL DestroyWindow() {
        if (!::DestroyWindow(m_hWnd)) return FALSE;
        m_hWnd = nullptr;
        return TRUE;
    }

    // Messages.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::PostMessageW(m_hWnd, message, wParam, lParam);
    }

    // Text.
    BOOL SetWindowText(LPCWSTR text) { return ::SetWindowTextW(m_hWnd, text); }
    int GetWindowText(LPWSTR text, int max) const { return ::GetWindowTextW(m_hWnd, text, max); }
    int GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
    void SetFont(HFONT font, BOOL redraw = TRUE) {
        ::SendMessageW(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), MAKELPARAM(redraw, 0));
    }
    HFONT GetFont() const { return reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0)); }

    // State.
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    HWND SetFocus() { return ::SetFocus(m_hWnd); }
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
    DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }
    BOOL ModifyStyle(DWORD remove, DWORD add, UINT flags = 0) { return Modify(GWL_STYLE, remove, add, flags); }
    BOOL ModifyStyleEx(DWORD remove, DWORD add, UINT flags = 0) { return Modify(GWL_EXSTYLE, remove, add, flags); }
    LONG_PTR GetWindowLongPtr(int index) const { return ::GetWindowLongPtrW(m_hWnd, index); }
    LONG_PTR SetWindowLongPtr(int index, LONG_PTR value) { return ::SetWindowLongPtrW(m_hWnd, index, value); }
    BOOL GetClientRect(LPRECT rect) const { return ::GetClientRect(m_hWnd, rect); }
    BOOL GetWindowRect(LPRECT rect) const { return ::GetWindowRect(m_hWnd, rect); }

    // Relatives.
    CWindow GetParent() const { return CWindow(::GetParent(m_hWnd)); }
    CWindow GetWindow(UINT command) const { return CWindow(::GetWindow(m_hWnd, command)); }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    HMENU GetSystemMenu(BOOL revert) const { return ::GetSystemMenu(m_hWnd, revert); }

    // A dialog's items.
    CWindow GetDlgItem(int id) const { return CWindow(::GetDlgItem(m_hWnd, id)); }
    BOOL SetDlgItemText(int id, LPCWSTR text) { return ::SetDlgItemTextW(m_hWnd, id, text); }
    UINT GetDlgItemText(int id, LPWSTR text, int max) const { return ::GetDlgItemTextW(m_hWnd, id, text, max); }
    BOOL SetDlgItemInt(int id, UINT value, BOOL is_signed = TRUE) {
        return ::SetDlgItemInt(m_hWnd, id, value, is_signed);
    }
    UINT GetDlgItemInt(int id, BOOL* translated = nullptr, BOOL is_signed = TRUE) const {
        return ::GetDlgItemInt(m_hWnd, id, translated, is_signed);
    }
    BOOL CheckDlgButton(int id, UINT check) { return ::CheckDlgButton(m_hWnd, id, check); }
    UINT IsDlgButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id); }
    LRESULT SendDlgItemMessage(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendDlgItemMessageW(m_hWnd, id, message, wParam, lParam);
    }

    int MessageBox(LPCWSTR text, LPCWSTR caption = nullptr, UINT type = MB_OK) {
        return ::MessageBoxW(m_hWnd, text, caption, type);
    }

private:
    BOOL Modify(int index, DWORD remove, DWORD add, UINT flags) {
        DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, index));
        DWORD changed = (style & ~remove) | add;
        if (changed == style) return FALSE;
        ::SetWindowLongPtrW(m_hWnd, index, static_cast<LONG_PTR>(changed));
        if (flags)
            ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                           SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | flags);
        return TRUE;
    }
};

// ---- Message maps -------------------------------------------------------------------------------

class CMessageMap {
public:
    virtual ~CMessageMap() = default;
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                      DWORD dwMsgMapID) = 0;
};

// The message a handler runs for.
struct _ATL_MSG : public MSG {
    BOOL bHandled;
};

// What the library's window procedures call on a bound object.
class CWindowDispatch {
public:
    virtual LRESULT DispatchWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // Binds a window that the object was waiting for; false when it cannot be bound.
    virtual bool AttachWindow(HWND window, hvclass::Kind kind) = 0;

protected:
    ~CWindowDispatch() = default;
};

// The window procedures: of windows made or subclassed by a window object, of dialogs, and of
// property pages (bound at WM_INITDIALOG through the serial number in their PROPSHEETPAGE).
HV_CLASSLIB_INTERNAL LRESULT CALLBACK AtlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HV_CLASSLIB_INTERNAL INT_PTR CALLBACK AtlDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HV_CLASSLIB_INTERNAL INT_PTR CALLBACK AtlPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#define BEGIN_MSG_MAP(theClass)                                                                               \
public:                                                                                                        \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,          \
                              DWORD dwMsgMapID = 0) {                                                         \
        BOOL bHandled = TRUE;                                                                                  \
        (void)hWnd;                                                                                            \
        (void)bHandled;                                                                                        \
        switch (dwMsgMapID) {                                                                                  \
        case 0:

#define ALT_MSG_MAP(msgMapID)                                                                                  \
    break;                                                                                                     \
    case msgMapID:

#define MESSAGE_HANDLER(msg, func)                                                                             \
    if (uMsg == (msg)) {                                                                                       \
        bHandled = TRUE;                                                                                       \
        lResult = func(uMsg, wParam, lParam, bHandled);                                                        \
        if (bHandled) return TRUE;                                                                             \
    }

#define COMMAND_HANDLER(id, code, func)                                                                        \
    if (uMsg == WM_COMMAND && (id) == LOWORD(wParam) && (code) == HIWORD(wParam)) {                            \
        bHandled = TRUE;                                                                                       \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled);              \
        if (bHandled) return TRUE;                                                                             \
    }

#define COMMAND_ID_HANDLER(id, func)                                                                           \
    if (uMsg == WM_COMMAND && (id) == LOWORD(wParam)) {                                                        \
        bHandled = TRUE;                                                                                       \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled);              \
        if (bHandled) return TRUE;                                                                             \
    }

// A WM_NOTIFY without its header is nobody's notification.
#define NOTIFY_CODE_HANDLER(cd, func)                                                                          \
    if (uMsg == WM_NOTIFY && lParam && (cd) == reinterpret_cast<LPNMHDR>(lParam)->code) {                      \
        bHandled = TRUE;                                                                                       \
        lResult = func(static_cast<int>(wParam), reinterpret_cast<LPNMHDR>(lParam), bHandled);                 \
        if (bHandled) return TRUE;                                                                             \
    }

#define NOTIFY_ID_HANDLER(id, func)                                                                            \
    if (uMsg == WM_NOTIFY && lParam && (id) == reinterpret_cast<LPNMHDR>(lParam)->idFrom) {                    \
        bHandled = TRUE;                                                                                       \
        lResult = func(static_cast<int>(wParam), reinterpret_cast<LPNMHDR>(lParam), bHandled);                 \
        if (bHandled) return TRUE;                                                                             \
    }

#define CHAIN_MSG_MAP(theChainClass)                                                                           \
    {                                                                                                          \
        if (theChainClass::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult)) return TRUE;            \
    }

#define END_MSG_MAP()                                                                                          \
    break;                                                                                                     \
    default:                                                                                                   \
        ATLASSERT(!"a message map that has no such alternate map");                                            \
        break;                                                                                                 \
        }                                                                                                      \
        return FALSE;                                                                                          \
        }

// ---- Window objects --------------------------------------------------------------------------------

template <class TBase = CWindow> class CWindowImplRoot : public TBase, public CMessageMap, public CWindowDispatch {
public:
    const _ATL_MSG* m_pCurrentMsg = nullptr;

    CWindowImplRoot() = default;
    CWindowImplRoot(const CWindowImplRoot&) = delete;
    CWindowImplRoot& operator=(const CWindowImplRoot&) = delete;

    BOOL IsMsgHandled() const { return m_pCurrentMsg ? m_pCurrentMsg->bHandled : FALSE; }
    void SetMsgHandled(BOOL handled) {
        if (m_pCurrentMsg) const_cast<_ATL_MSG*>(m_pCurrentMsg)->bHandled = handled;
    }
    // The last message of the window has been handled; the object may delete itself here.
    virtual void OnFinalMessage(HWND) {}

    bool AttachWindow(HWND window, hvclass::Kind kind) override {
        if (!hvclass::bind(window, kind, static_cast<CWindowDispatch*>(this))) return false;
        this->m_hWnd = window;
        return true;
    }

protected:
    // Runs the message map; unhandled messages get `unhandled`. The window's last message
    // releases the binding once no handler of it is still running, then OnFinalMessage.
    template <typename Unhandled>
    LRESULT Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled,
                     Unhandled&& unhandled) {
        _ATL_MSG current{};
        current.hwnd = window;
        current.message = message;
        current.wParam = wParam;
        current.lParam = lParam;
        current.bHandled = TRUE;
        const _ATL_MSG* outer = m_pCurrentMsg;
        m_pCurrentMsg = &current;
        LRESULT result = 0;
        handled = this->ProcessWindowMessage(window, message, wParam, lParam, result, 0);
        if (!handled) result = unhandled();
        if (message == WM_NCDESTROY) m_bWindowGone = true;
        m_pCurrentMsg = outer;
        if (!outer && m_bWindowGone) {
            m_bWindowGone = false;
            hvclass::unbind(window, static_cast<CWindowDispatch*>(this));
            ReleaseWindow();
            this->m_hWnd = nullptr;
            OnFinalMessage(window);
        }
        return result;
    }
    // What the window class undoes when its window goes.
    virtual void ReleaseWindow() {}
    // A window object is not destroyed before its window; if it is, the window is let go so
    // that its messages find no object.
    void CheckReleasedAtDestruction(hvclass::Kind kind) {
        if (this->m_hWnd && ::IsWindow(this->m_hWnd) &&
            hvclass::lookup(this->m_hWnd, kind) == static_cast<CWindowDispatch*>(this)) {
            ATLASSERT(!"a window object destroyed while its window exists");
            hvclass::unbind(this->m_hWnd, static_cast<CWindowDispatch*>(this));
        }
        hvclass::drop_pending(static_cast<CWindowDispatch*>(this));
    }

private:
    bool m_bWindowGone = false;
};

// Styles a window class gives the windows it creates.
template <DWORD t_dwStyle = 0, DWORD t_dwExStyle = 0> class CWinTraits {
public:
    static DWORD GetWndStyle(DWORD style) { return style == 0 ? t_dwStyle : style; }
    static DWORD GetWndExStyle(DWORD ex_style) { return ex_style == 0 ? t_dwExStyle : ex_style; }
};
typedef CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0> CControlWinTraits;
typedef CWinTraits<WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, WS_EX_APPWINDOW | WS_EX_WINDOWEDGE>
    CFrameWinTraits;

template <class TBase = CWindow, class TWinTraits = CControlWinTraits>
class CWindowImplBaseT : public CWindowImplRoot<TBase> {
public:
    WNDPROC m_pfnSuperWindowProc = ::DefWindowProcW;

    ~CWindowImplBaseT() {
        if (m_bSubclassed && this->m_hWnd && ::IsWindow(this->m_hWnd)) UnsubclassWindow();
        this->CheckReleasedAtDestruction(hvclass::Kind::AtlWindow);
    }

    // Takes over an existing window: its messages reach the map first, then its own procedure.
    BOOL SubclassWindow(HWND window) {
        if (!HV_CLASSLIB_CHECK(this->m_hWnd == nullptr, "SubclassWindow on an object that has a window") ||
            !HV_CLASSLIB_CHECK(::IsWindow(window), "SubclassWindow of no window"))
            return FALSE;
        if (!hvclass::bind(window, hvclass::Kind::AtlWindow, static_cast<CWindowDispatch*>(this))) {
            ATLASSERT(!"SubclassWindow of a window that another object handles");
            return FALSE;
        }
        WNDPROC old = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AtlWindowProc)));
        if (!old) {
            hvclass::unbind(window, static_cast<CWindowDispatch*>(this));
            return FALSE;
        }
        m_pfnSuperWindowProc = old;
        m_bSubclassed = true;
        this->m_hWnd = window;
        return TRUE;
    }
    HWND UnsubclassWindow() {
        HWND window = this->m_hWnd;
        if (!m_bSubclassed || !window) return nullptr;
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuperWindowProc));
        hvclass::unbind(window, static_cast<CWindowDispatch*>(this));
        m_pfnSuperWindowProc = ::DefWindowProcW;
        m_bSubclassed = false;
        this->m_hWnd = nullptr;
        return window;
    }

    // The window's own handling of a message: its class's procedure for a subclassed window.
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
        return ::CallWindowProcW(m_pfnSuperWindowProc, this->m_hWnd, message, wParam, lParam);
    }
    LRESULT DefWindowProc() {
        const _ATL_MSG* msg = this->m_pCurrentMsg;
        return msg ? DefWindowProc(msg->message, msg->wParam, msg->lParam) : 0;
    }

    LRESULT DispatchWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
        BOOL handled = FALSE;
        WNDPROC super = m_pfnSuperWindowProc;
        return this->Dispatch(window, message, wParam, lParam, handled,
                              [&] { return ::CallWindowProcW(super, window, message, wParam, lParam); });
    }

protected:
    // Makes a window of a class whose procedure is the library's: it is bound by its first message.
    HWND CreateOfClass(LPCWSTR class_name, HWND parent, _U_RECT rect, LPCWSTR name, DWORD style, DWORD ex_style,
                       _U_MENUorID menu, LPVOID param) {
        if (!HV_CLASSLIB_CHECK(this->m_hWnd == nullptr, "Create on an object that has a window")) return nullptr;
        RECT none{CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT};
        RECT r = rect.m_lpRect ? *rect.m_lpRect : none;
        const bool defaulted = !rect.m_lpRect;
        hvclass::push_pending(hvclass::Kind::AtlWindow, static_cast<CWindowDispatch*>(this));
        HWND window = ::CreateWindowExW(TWinTraits::GetWndExStyle(ex_style), class_name, name,
                                        TWinTraits::GetWndStyle(style), r.left,
                                        r.top, defaulted ? CW_USEDEFAULT : r.right - r.left,
                                        defaulted ? CW_USEDEFAULT : r.bottom - r.top, parent, menu.m_hMenu,
                                        AtlGetResourceInstance(), param);
        hvclass::drop_pending(static_cast<CWindowDispatch*>(this));
        return window;
    }

private:
    void ReleaseWindow() override {
        m_bSubclassed = false;
        m_pfnSuperWindowProc = ::DefWindowProcW;
    }
    bool m_bSubclassed = false;
};

// The class a window object registers for the windows it creates.
#define DECLARE_WND_CLASS(className)                                                                           \
    static LPCWSTR GetWndClassName() { return className; }

template <class T, class TBase = CWindow, class TWinTraits = CControlWinTraits>
class CWindowImpl : public CWindowImplBaseT<TBase, TWinTraits> {
public:
    DECLARE_WND_CLASS(nullptr)

    HWND Create(HWND parent, _U_RECT rect = nullptr, LPCWSTR name = nullptr, DWORD style = 0, DWORD ex_style = 0,
                _U_MENUorID menu = 0U, LPVOID param = nullptr) {
        LPCWSTR class_name = RegisteredClass();
        if (!class_name) return nullptr;
        return this->CreateOfClass(class_name, parent, rect, name, style, ex_style, menu, param);
    }

private:
    static LPCWSTR RegisteredClass() {
        static const std::u16string name = [] {
            std::u16string n;
            if (LPCWSTR declared = T::GetWndClassName()) n = declared;
            else {
                static const int tag = 0;
                char16_t unique[40];
                swprintf(unique, 40, u"ATL:%p", static_cast<const void*>(&tag));
                n = unique;
            }
            WNDCLASSEXW wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = &AtlWindowProc;
            wc.hInstance = AtlGetResourceInstance();
            wc.lpszClassName = n.c_str();
            if (!::RegisterClassExW(&wc) && GetLastError() != kErrorClassAlreadyExists) n.clear();
            return n;
        }();
        return name.empty() ? nullptr : name.c_str();
    }
};

// ---- Dialogs ----------------------------------------------------------------------------------------

template <class TBase = CWindow> class CDialogImplBaseT : public CWindowImplRoot<TBase> {
public:
    ~CDialogImplBaseT() { this->CheckReleasedAtDestruction(hvclass::Kind::AtlDialog); }

    LRESULT DispatchWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
        BOOL handled = FALSE;
        LRESULT result =
            this->Dispatch(window, message, wParam, lParam, handled, [] { return LRESULT(0); });
        return handled ? hvclass::dialog_result(window, message, result) : FALSE;
    }
};

// A dialog of template T::IDD from the module's resource instance, modal or modeless.
template <class T, class TBase = CWindow> class CDialogImpl : public CDialogImplBaseT<TBase> {
public:
    INT_PTR DoModal(HWND parent = ::GetActiveWindow(), LPARAM init_param = 0) {
        if (!HV_CLASSLIB_CHECK(this->m_hWnd == nullptr, "DoModal on a dialog that has a window")) return -1;
        hvclass::push_pending(hvclass::Kind::AtlDialog, static_cast<CWindowDispatch*>(this));
        INT_PTR result = ::DialogBoxParamW(AtlGetResourceInstance(), MAKEINTRESOURCEW(T::IDD), parent,
                                           &AtlDialogProc, init_param);
        hvclass::drop_pending(static_cast<CWindowDispatch*>(this));
        return result;
    }
    BOOL EndDialog(int result) { return ::EndDialog(this->m_hWnd, result); }

    HWND Create(HWND parent, LPARAM init_param = 0) {
        if (!HV_CLASSLIB_CHECK(this->m_hWnd == nullptr, "Create on a dialog that has a window")) return nullptr;
        hvclass::push_pending(hvclass::Kind::AtlDialog, static_cast<CWindowDispatch*>(this));
        HWND window = ::CreateDialogParamW(AtlGetResourceInstance(), MAKEINTRESOURCEW(T::IDD), parent,
                                           &AtlDialogProc, init_param);
        hvclass::drop_pending(static_cast<CWindowDispatch*>(this));
        return window;
    }
};

} // namespace ATL
