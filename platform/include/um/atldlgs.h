// The WTL-like property sheet and property page templates.
//
// A page object fills its PROPSHEETPAGE (m_psp) from T::IDD and its title, and answers the
// sheet's notifications through T's handlers, with Windows' meanings, the answer going to
// DWLP_MSGRESULT:
//   int OnSetActive()        0 to show the page, -1 to skip it, or a page's template id
//   BOOL OnKillActive()      FALSE lets the page go, TRUE keeps it
//   int OnApply()            PSNRET_NOERROR, PSNRET_INVALID or PSNRET_INVALID_NOCHANGEPAGE; any
//                            other value keeps the sheet open on the page (INVALID_NOCHANGEPAGE)
//   void OnReset()           Cancel
//   BOOL OnQueryCancel()     FALSE lets the sheet be cancelled, TRUE refuses
//   void OnHelp()
//   int OnWizardBack(), int OnWizardNext()   0 for the neighbour, -1 to stay, or a template id
//   INT_PTR OnWizardFinish() FALSE lets the wizard finish, TRUE refuses
// T's map chains to CPropertyPageImpl<T> for them. A page deletes itself when the sheet releases
// it only where asked (m_bDeleteOnRelease, or an OnPageRelease of T's own). A page object
// destroyed while its sheet still shows it is an assertion: its window is let go, and what the
// sheet still sends for it finds no object.
#pragma once

#include <atlwin.h>

#include <cstring>
#include <string>
#include <vector>

namespace ATL {

// A page's PROPSHEETPAGE and, after it, the serial number that finds the page object again.
struct CPropertyPageData : public PROPSHEETPAGEW {
    ULONGLONG serial;
};

// A pending sheet of this thread takes the window the system made for it (PSCB_INITIALIZED, or
// the first page's WM_INITDIALOG when the sheet's callback did not come first).
HV_CLASSLIB_INTERNAL void AtlAttachPendingSheet(HWND sheet);

class CPropertySheetWindow : public CWindow {
public:
    CPropertySheetWindow(HWND window = nullptr) : CWindow(window) {}
    CPropertySheetWindow& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }

    BOOL SetActivePage(int index) {
        return static_cast<BOOL>(::SendMessageW(m_hWnd, PSM_SETCURSEL, static_cast<WPARAM>(index), 0));
    }
    HWND GetCurrentPageHwnd() const {
        return reinterpret_cast<HWND>(::SendMessageW(m_hWnd, PSM_GETCURRENTPAGEHWND, 0, 0));
    }
    // Acts on the page shown, whatever the button's state; returns once the press is handled.
    void PressButton(int button) { ::SendMessageW(m_hWnd, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0); }
    void SetWizardButtons(DWORD flags) { ::PostMessageW(m_hWnd, PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(flags)); }
    void SetModified(HWND page, BOOL changed = TRUE) {
        ::SendMessageW(m_hWnd, changed ? PSM_CHANGED : PSM_UNCHANGED, reinterpret_cast<WPARAM>(page), 0);
    }
};

class CPropertyPageWindow : public CWindow {
public:
    CPropertyPageWindow(HWND window = nullptr) : CWindow(window) {}
    CPropertyPageWindow& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }

    CPropertySheetWindow GetPropertySheet() const { return CPropertySheetWindow(::GetParent(m_hWnd)); }
    void SetModified(BOOL changed = TRUE) { GetPropertySheet().SetModified(m_hWnd, changed); }
    void CancelToClose() { ::PostMessageW(::GetParent(m_hWnd), PSM_CANCELTOCLOSE, 0, 0); }
};

template <class T, class TBase = CPropertyPageWindow> class CPropertyPageImpl : public CDialogImplBaseT<TBase> {
public:
    CPropertyPageData m_psp;
    // Where the sheet's release of the page deletes the object.
    bool m_bDeleteOnRelease = false;

    CPropertyPageImpl(_U_STRINGorID title = static_cast<LPCWSTR>(nullptr)) {
        std::memset(static_cast<void*>(&m_psp), 0, sizeof m_psp);
        m_psp.dwSize = sizeof m_psp;
        m_psp.dwFlags = PSP_USECALLBACK;
        m_psp.hInstance = AtlGetResourceInstance();
        m_psp.pszTemplate = MAKEINTRESOURCEW(T::IDD);
        m_psp.pfnDlgProc = &AtlPageProc;
        m_psp.lParam = reinterpret_cast<LPARAM>(this);
        m_psp.pfnCallback = &PropPageCallback;
        m_psp.serial = hvclass::register_page(static_cast<CWindowDispatch*>(this));
        SetTitle(title);
    }
    ~CPropertyPageImpl() {
        hvclass::unregister_page(m_psp.serial);
        if (this->m_hWnd && ::IsWindow(this->m_hWnd)) {
            ATLASSERT(!"a property page destroyed while its sheet is open");
            hvclass::unbind(this->m_hWnd, static_cast<CWindowDispatch*>(this));
            this->m_hWnd = nullptr;
        }
    }

    operator PROPSHEETPAGEW*() { return &m_psp; }

    void SetTitle(_U_STRINGorID title) {
        if (!title.m_lpstr) return;
        m_psp.pszTitle = AtlResolveString(title, m_strTitle);
        m_psp.dwFlags |= PSP_USETITLE;
    }
    void SetHeaderTitle(LPCWSTR text) {
        m_strHeaderTitle = text ? text : u"";
        m_psp.pszHeaderTitle = m_strHeaderTitle.c_str();
        m_psp.dwFlags |= PSP_USEHEADERTITLE;
    }
    void SetHeaderSubTitle(LPCWSTR text) {
        m_strHeaderSubTitle = text ? text : u"";
        m_psp.pszHeaderSubTitle = m_strHeaderSubTitle.c_str();
        m_psp.dwFlags |= PSP_USEHEADERSUBTITLE;
    }
    // The system's page for this object (for a sheet or an add-page callback).
    HPROPSHEETPAGE Create() { return ::CreatePropertySheetPageW(&m_psp); }

    static UINT CALLBACK PropPageCallback(HWND, UINT message, LPPROPSHEETPAGEW psp) {
        if (message == PSPCB_CREATE) return TRUE;
        if (message != PSPCB_RELEASE || !psp || psp->dwSize < sizeof(CPropertyPageData)) return 0;
        auto* page = static_cast<CWindowDispatch*>(
            hvclass::find_page(static_cast<const CPropertyPageData*>(psp)->serial));
        if (page) static_cast<T*>(static_cast<CPropertyPageImpl*>(page))->OnPageRelease();
        return 0;
    }

    BEGIN_MSG_MAP(CPropertyPageImpl)
    MESSAGE_HANDLER(WM_NOTIFY, OnNotify)
    END_MSG_MAP()

    LRESULT OnNotify(UINT, WPARAM, LPARAM lParam, BOOL& bHandled) {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        T* pT = static_cast<T*>(this);
        switch (header ? header->code : 0) {
        case PSN_SETACTIVE: return pT->OnSetActive();
        case PSN_KILLACTIVE: return pT->OnKillActive() ? TRUE : FALSE;
        case PSN_APPLY: return CheckedApply(pT->OnApply());
        case PSN_RESET: pT->OnReset(); return 0;
        case PSN_QUERYCANCEL: return pT->OnQueryCancel() ? TRUE : FALSE;
        case PSN_HELP: pT->OnHelp(); return 0;
        case PSN_WIZBACK: return pT->OnWizardBack();
        case PSN_WIZNEXT: return pT->OnWizardNext();
        case PSN_WIZFINISH: return pT->OnWizardFinish();
        default: bHandled = FALSE; return 0;
        }
    }

    // The defaults: every step allowed.
    int OnSetActive() { return 0; }
    BOOL OnKillActive() { return FALSE; }
    int OnApply() { return PSNRET_NOERROR; }
    void OnReset() {}
    BOOL OnQueryCancel() { return FALSE; }
    void OnHelp() {}
    int OnWizardBack() { return 0; }
    int OnWizardNext() { return 0; }
    INT_PTR OnWizardFinish() { return FALSE; }
    void OnPageRelease() {
        if (m_bDeleteOnRelease) delete static_cast<T*>(this);
    }

private:
    static LRESULT CheckedApply(int result) {
        if (result == PSNRET_NOERROR || result == PSNRET_INVALID || result == PSNRET_INVALID_NOCHANGEPAGE)
            return result;
        ATLASSERT(!"OnApply answered no PSNRET_ value");
        return PSNRET_INVALID_NOCHANGEPAGE;
    }

    std::u16string m_strTitle, m_strHeaderTitle, m_strHeaderSubTitle;
};

template <class T, class TBase = CPropertySheetWindow> class CPropertySheetImpl : public CWindowImplBaseT<TBase> {
public:
    PROPSHEETHEADERW m_psh;
    std::vector<HPROPSHEETPAGE> m_arrPages;

    CPropertySheetImpl(_U_STRINGorID title = static_cast<LPCWSTR>(nullptr), UINT start_page = 0,
                       HWND parent = nullptr) {
        std::memset(static_cast<void*>(&m_psh), 0, sizeof m_psh);
        m_psh.dwSize = sizeof m_psh;
        m_psh.dwFlags = PSH_USECALLBACK;
        m_psh.hInstance = AtlGetResourceInstance();
        m_psh.nStartPage = start_page;
        m_psh.hwndParent = parent;
        m_psh.pfnCallback = &PropSheetCallback;
        if (title.m_lpstr) m_psh.pszCaption = AtlResolveString(title, m_strCaption);
    }
    // Pages that no sheet took are released as the system releases them.
    ~CPropertySheetImpl() {
        for (HPROPSHEETPAGE page : m_arrPages) ::DestroyPropertySheetPage(page);
    }

    static int CALLBACK PropSheetCallback(HWND window, UINT message, LPARAM) {
        if (message == PSCB_INITIALIZED) AtlAttachPendingSheet(window);
        return 0;
    }
    bool AttachWindow(HWND window, hvclass::Kind) override {
        if (!this->SubclassWindow(window)) return false;
        static_cast<T*>(this)->OnSheetInitialized();
        return true;
    }
    // The sheet's window exists and its object handles it.
    void OnSheetInitialized() {}

    BOOL AddPage(HPROPSHEETPAGE page) {
        if (!page) return FALSE;
        if (this->m_hWnd) return static_cast<BOOL>(::SendMessageW(this->m_hWnd, PSM_ADDPAGE, 0, reinterpret_cast<LPARAM>(page)));
        m_arrPages.push_back(page);
        return TRUE;
    }
    BOOL AddPage(LPCPROPSHEETPAGEW page) {
        HPROPSHEETPAGE made = ::CreatePropertySheetPageW(page);
        if (!made) return FALSE;
        if (AddPage(made)) return TRUE;
        ::DestroyPropertySheetPage(made);
        return FALSE;
    }
    int GetPageCount() const { return static_cast<int>(m_arrPages.size()); }

    // Before the sheet runs: its caption (with PSH_PROPTITLE: "<title> Properties"); afterwards
    // the window's.
    void SetTitle(LPCWSTR title, UINT style = 0) {
        if (this->m_hWnd) {
            ::SendMessageW(this->m_hWnd, PSM_SETTITLEW, style, reinterpret_cast<LPARAM>(title));
            return;
        }
        m_strCaption = title ? title : u"";
        m_psh.pszCaption = m_strCaption.c_str();
        if (style & PSH_PROPTITLE) m_psh.dwFlags |= PSH_PROPTITLE;
        else m_psh.dwFlags &= ~static_cast<DWORD>(PSH_PROPTITLE);
    }

    // Runs the sheet; its result (1 after OK, 0 after Cancel, -1 when it could not be made). The
    // pages go to the sheet, which releases them.
    INT_PTR DoModal(HWND parent = ::GetActiveWindow()) {
        if (!HV_CLASSLIB_CHECK(this->m_hWnd == nullptr, "DoModal on a sheet that is running")) return -1;
        m_psh.hwndParent = parent;
        m_psh.dwFlags &= ~static_cast<DWORD>(PSH_MODELESS);
        return Run();
    }
    // A modeless sheet: its window.
    HWND Create(HWND parent = nullptr) {
        if (!HV_CLASSLIB_CHECK(this->m_hWnd == nullptr, "Create on a sheet that is running")) return nullptr;
        m_psh.hwndParent = parent;
        m_psh.dwFlags |= PSH_MODELESS;
        HWND window = reinterpret_cast<HWND>(Run());
        if (window == reinterpret_cast<HWND>(-1)) return nullptr;
        if (window && !this->m_hWnd) AttachWindow(window, hvclass::Kind::AtlWindow);
        return window;
    }

    BEGIN_MSG_MAP(CPropertySheetImpl)
    END_MSG_MAP()

private:
    INT_PTR Run() {
        m_psh.phpage = m_arrPages.data();
        m_psh.nPages = static_cast<UINT>(m_arrPages.size());
        hvclass::push_pending(hvclass::Kind::AtlSheet, static_cast<CWindowDispatch*>(this));
        INT_PTR result = ::PropertySheetW(&m_psh);
        hvclass::drop_pending(static_cast<CWindowDispatch*>(this));
        m_arrPages.clear();
        m_psh.phpage = nullptr;
        m_psh.nPages = 0;
        return result;
    }

    std::u16string m_strCaption;
};

class CPropertySheet : public CPropertySheetImpl<CPropertySheet> {
public:
    CPropertySheet(_U_STRINGorID title = static_cast<LPCWSTR>(nullptr), UINT start_page = 0,
                   HWND parent = nullptr)
        : CPropertySheetImpl<CPropertySheet>(title, start_page, parent) {}
};

} // namespace ATL
