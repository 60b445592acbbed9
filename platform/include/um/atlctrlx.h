// The WTL-like extended controls: a static that is a link to a web address (CHyperLink) and the
// tool-tip dialog mix-in (CToolTipDialog).
#pragma once

#include <atlctrls.h>
#include <shellapi.h>

#include <string>

namespace WTL {

// Shows its address (unless the static has a text of its own) and opens it through the shell
// when clicked or when Enter or Space is pressed on it.
template <class T, class TBase = ATL::CWindow, class TWinTraits = ATL::CControlWinTraits>
class CHyperLinkImpl : public ATL::CWindowImpl<T, TBase, TWinTraits> {
public:
    BOOL SubclassWindow(HWND window) {
        if (!ATL::CWindowImpl<T, TBase, TWinTraits>::SubclassWindow(window)) return FALSE;
        this->ModifyStyle(0, SS_NOTIFY);
        ShowAddressIfUntitled();
        return TRUE;
    }

    BOOL SetHyperLink(LPCWSTR address) {
        m_strHyperLink = address ? address : u"";
        ShowAddressIfUntitled();
        return TRUE;
    }
    BOOL GetHyperLink(LPWSTR buffer, int length) const {
        if (!buffer || length <= 0 || static_cast<size_t>(length) <= m_strHyperLink.size()) return FALSE;
        m_strHyperLink.copy(buffer, m_strHyperLink.size());
        buffer[m_strHyperLink.size()] = 0;
        return TRUE;
    }
    bool Navigate() {
        if (m_strHyperLink.empty()) return false;
        HINSTANCE result = ::ShellExecuteW(nullptr, u"open", m_strHyperLink.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        return reinterpret_cast<INT_PTR>(result) > 32;
    }

    BEGIN_MSG_MAP(CHyperLinkImpl)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnLButtonUp)
    MESSAGE_HANDLER(WM_KEYDOWN, OnKeyDown)
    MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
    END_MSG_MAP()

    LRESULT OnLButtonUp(UINT, WPARAM, LPARAM, BOOL&) {
        static_cast<T*>(this)->Navigate();
        return 0;
    }
    LRESULT OnKeyDown(UINT, WPARAM key, LPARAM, BOOL& bHandled) {
        if (key != VK_RETURN && key != VK_SPACE) {
            bHandled = FALSE;
            return 0;
        }
        static_cast<T*>(this)->Navigate();
        return 0;
    }
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&) { return DLGC_WANTCHARS; }

protected:
    std::u16string m_strHyperLink;

private:
    void ShowAddressIfUntitled() {
        if (this->m_hWnd && !m_strHyperLink.empty() && this->GetWindowTextLength() == 0)
            this->SetWindowText(m_strHyperLink.c_str());
    }
};

class CHyperLink : public CHyperLinkImpl<CHyperLink> {
public:
    DECLARE_WND_CLASS(u"WTL_HyperLink")
};

// Tool tips for a dialog's controls: the tip control is made when the dialog starts (T's map
// chains to this one before its own WM_INITDIALOG handler, or TTInit is called) and destroyed
// with it. Tools are added by window, their texts asked of the dialog with TTN_GETDISPINFO.
template <class T> class CToolTipDialog {
public:
    CToolTipCtrl m_TT;

    CToolTipDialog(UINT tip_style = TTS_NOPREFIX | TTS_BALLOON, UINT tool_flags = TTF_IDISHWND | TTF_SUBCLASS)
        : m_uTTStyle(tip_style), m_uToolFlags(tool_flags | TTF_IDISHWND) {}

    void TTInit() {
        if (m_TT.m_hWnd && m_TT.IsWindow()) return;
        m_TT.Create(static_cast<T*>(this)->m_hWnd, m_uTTStyle);
    }
    bool TTAdd(HWND tool) {
        if (!HV_CLASSLIB_CHECK(::IsWindow(tool), "a tool tip for no window")) return false;
        TTInit();
        return m_TT.AddTool(tool, LPSTR_TEXTCALLBACKW, m_uToolFlags) != FALSE;
    }
    bool TTAdd(UINT id) { return TTAdd(::GetDlgItem(static_cast<T*>(this)->m_hWnd, static_cast<int>(id))); }
    void TTActivate(BOOL active) {
        if (m_TT.m_hWnd) m_TT.Activate(active);
    }

    BEGIN_MSG_MAP(CToolTipDialog)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL& bHandled) {
        TTInit();
        bHandled = FALSE;
        return TRUE;
    }
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& bHandled) {
        if (m_TT.m_hWnd && m_TT.IsWindow()) m_TT.DestroyWindow();
        m_TT.m_hWnd = nullptr;
        bHandled = FALSE;
        return 0;
    }

protected:
    UINT m_uTTStyle;
    UINT m_uToolFlags;
};

} // namespace WTL

#ifndef _WTL_NO_AUTOMATIC_NAMESPACE
using namespace WTL;
#endif
