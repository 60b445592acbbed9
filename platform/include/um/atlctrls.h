// The WTL-like control wrappers: a window handle and the control's messages.
#pragma once

#include <atlwin.h>

namespace WTL {

using ATL::CWindow;

class CStatic : public CWindow {
public:
    CStatic(HWND window = nullptr) : CWindow(window) {}
    CStatic& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }
    HICON SetIcon(HICON icon) {
        return reinterpret_cast<HICON>(::SendMessageW(m_hWnd, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0));
    }
    HICON GetIcon() const { return reinterpret_cast<HICON>(::SendMessageW(m_hWnd, STM_GETICON, 0, 0)); }
};

class CButton : public CWindow {
public:
    CButton(HWND window = nullptr) : CWindow(window) {}
    CButton& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }
    int GetCheck() const { return static_cast<int>(::SendMessageW(m_hWnd, BM_GETCHECK, 0, 0)); }
    void SetCheck(int check) { ::SendMessageW(m_hWnd, BM_SETCHECK, static_cast<WPARAM>(check), 0); }
    void Click() { ::SendMessageW(m_hWnd, BM_CLICK, 0, 0); }
};

class CEdit : public CWindow {
public:
    CEdit(HWND window = nullptr) : CWindow(window) {}
    CEdit& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }
    void SetLimitText(UINT max) { ::SendMessageW(m_hWnd, EM_LIMITTEXT, max, 0); }
    void SetSel(int start, int end) { ::SendMessageW(m_hWnd, EM_SETSEL, static_cast<WPARAM>(start), end); }
    BOOL SetReadOnly(BOOL read_only = TRUE) {
        return static_cast<BOOL>(::SendMessageW(m_hWnd, EM_SETREADONLY, static_cast<WPARAM>(read_only), 0));
    }
};

class CComboBox : public CWindow {
public:
    CComboBox(HWND window = nullptr) : CWindow(window) {}
    CComboBox& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }
    void ResetContent() { ::SendMessageW(m_hWnd, CB_RESETCONTENT, 0, 0); }
    int AddString(LPCWSTR text) { return Int(::SendMessageW(m_hWnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text))); }
    int InsertString(int index, LPCWSTR text) {
        return Int(::SendMessageW(m_hWnd, CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text)));
    }
    int DeleteString(UINT index) { return Int(::SendMessageW(m_hWnd, CB_DELETESTRING, index, 0)); }
    int GetCount() const { return Int(::SendMessageW(m_hWnd, CB_GETCOUNT, 0, 0)); }
    int GetCurSel() const { return Int(::SendMessageW(m_hWnd, CB_GETCURSEL, 0, 0)); }
    int SetCurSel(int index) { return Int(::SendMessageW(m_hWnd, CB_SETCURSEL, static_cast<WPARAM>(index), 0)); }
    DWORD_PTR GetItemData(int index) const {
        return static_cast<DWORD_PTR>(::SendMessageW(m_hWnd, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
    }
    int SetItemData(int index, DWORD_PTR data) {
        return Int(::SendMessageW(m_hWnd, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data)));
    }
    int GetLBTextLen(int index) const {
        return Int(::SendMessageW(m_hWnd, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0));
    }
    // The buffer holds GetLBTextLen + 1 characters.
    int GetLBText(int index, LPWSTR text) const {
        return Int(::SendMessageW(m_hWnd, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text)));
    }
    int FindStringExact(int start, LPCWSTR text) const {
        return Int(::SendMessageW(m_hWnd, CB_FINDSTRINGEXACT, static_cast<WPARAM>(start), reinterpret_cast<LPARAM>(text)));
    }

private:
    static int Int(LRESULT result) { return static_cast<int>(result); }
};

class CTrackBarCtrl : public CWindow {
public:
    CTrackBarCtrl(HWND window = nullptr) : CWindow(window) {}
    CTrackBarCtrl& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }
    void SetRange(int min, int max, BOOL redraw = TRUE) {
        ::SendMessageW(m_hWnd, TBM_SETRANGE, static_cast<WPARAM>(redraw), MAKELPARAM(min, max));
    }
    void SetRangeMin(int min, BOOL redraw = FALSE) {
        ::SendMessageW(m_hWnd, TBM_SETRANGEMIN, static_cast<WPARAM>(redraw), min);
    }
    void SetRangeMax(int max, BOOL redraw = FALSE) {
        ::SendMessageW(m_hWnd, TBM_SETRANGEMAX, static_cast<WPARAM>(redraw), max);
    }
    int GetRangeMin() const { return static_cast<int>(::SendMessageW(m_hWnd, TBM_GETRANGEMIN, 0, 0)); }
    int GetRangeMax() const { return static_cast<int>(::SendMessageW(m_hWnd, TBM_GETRANGEMAX, 0, 0)); }
    void SetPos(int position) { ::SendMessageW(m_hWnd, TBM_SETPOS, TRUE, position); }
    int GetPos() const { return static_cast<int>(::SendMessageW(m_hWnd, TBM_GETPOS, 0, 0)); }
    void SetTicFreq(int frequency) { ::SendMessageW(m_hWnd, TBM_SETTICFREQ, static_cast<WPARAM>(frequency), 0); }
    int SetPageSize(int size) { return static_cast<int>(::SendMessageW(m_hWnd, TBM_SETPAGESIZE, 0, size)); }
};

class CToolTipCtrl : public CWindow {
public:
    CToolTipCtrl(HWND window = nullptr) : CWindow(window) {}
    CToolTipCtrl& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }

    HWND Create(HWND owner, DWORD style = 0, DWORD ex_style = 0) {
        m_hWnd = ::CreateWindowExW(ex_style, TOOLTIPS_CLASSW, nullptr, WS_POPUP | style, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr,
                                   ATL::AtlGetResourceInstance(), nullptr);
        return m_hWnd;
    }

    BOOL AddTool(const TOOLINFOW* tool) {
        return static_cast<BOOL>(::SendMessageW(m_hWnd, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(tool)));
    }
    // A tool that is a window of the owner, its text asked for as the tip shows (by default).
    BOOL AddTool(HWND tool, LPCWSTR text = LPSTR_TEXTCALLBACKW, UINT flags = TTF_IDISHWND | TTF_SUBCLASS) {
        TOOLINFOW info{};
        info.cbSize = sizeof info;
        info.uFlags = flags | TTF_IDISHWND;
        info.hwnd = ::GetParent(tool);
        info.uId = reinterpret_cast<UINT_PTR>(tool);
        info.hinst = ATL::AtlGetResourceInstance();
        info.lpszText = const_cast<LPWSTR>(text);
        return AddTool(&info);
    }
    void DelTool(HWND tool) {
        TOOLINFOW info{};
        info.cbSize = sizeof info;
        info.uFlags = TTF_IDISHWND;
        info.hwnd = ::GetParent(tool);
        info.uId = reinterpret_cast<UINT_PTR>(tool);
        ::SendMessageW(m_hWnd, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&info));
    }
    int GetToolCount() const { return static_cast<int>(::SendMessageW(m_hWnd, TTM_GETTOOLCOUNT, 0, 0)); }
    void Activate(BOOL active) { ::SendMessageW(m_hWnd, TTM_ACTIVATE, static_cast<WPARAM>(active), 0); }
    int SetMaxTipWidth(int width) { return static_cast<int>(::SendMessageW(m_hWnd, TTM_SETMAXTIPWIDTH, 0, width)); }
    // The icon is a TTI_ value or an icon handle.
    BOOL SetTitle(UINT_PTR icon, LPCWSTR title) {
        return static_cast<BOOL>(::SendMessageW(m_hWnd, TTM_SETTITLEW, icon, reinterpret_cast<LPARAM>(title)));
    }
    void SetDelayTime(DWORD which, int milliseconds) {
        ::SendMessageW(m_hWnd, TTM_SETDELAYTIME, which, MAKELPARAM(milliseconds, 0));
    }
    void RelayEvent(LPMSG message) { ::SendMessageW(m_hWnd, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(message)); }
    void Pop() { ::SendMessageW(m_hWnd, TTM_POP, 0, 0); }
};

} // namespace WTL

#ifndef _WTL_NO_AUTOMATIC_NAMESPACE
using namespace WTL;
#endif
