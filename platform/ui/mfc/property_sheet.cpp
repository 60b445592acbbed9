// CPropertySheet and CPropertyPage: the pages' PROPSHEETPAGEs, their notifications, and the
// sheet's window, taken over once the system has made it.
#include "mfc_internal.h"

#include <algorithm>
#include <cstring>

namespace {

std::u16string load_wide(UINT id) {
    const WCHAR* text = nullptr;
    int length = ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&text), 0);
    return text && length > 0 ? std::u16string(text, static_cast<size_t>(length)) : std::u16string();
}

std::u16string widen(LPCSTR text) {
    if (!text || !*text) return {};
    int n = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::u16string wide(static_cast<size_t>(std::max(n, 1)), u'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
    wide.resize(static_cast<size_t>(std::max(n - 1, 0)));
    return wide;
}

} // namespace

// ---- Pages -------------------------------------------------------------------------------------

CPropertyPage::CPropertyPage(UINT template_id, UINT caption_id, UINT header_title_id, UINT header_subtitle_id)
    : CDialog(template_id) {
    std::memset(static_cast<void*>(&m_psp), 0, sizeof m_psp);
    m_psp.dwSize = sizeof m_psp;
    m_psp.hInstance = AfxGetResourceHandle();
    m_psp.pszTemplate = MAKEINTRESOURCEW(template_id);
    m_psp.pfnDlgProc = &CPropertyPage::AfxPageProc;
    m_psp.lParam = reinterpret_cast<LPARAM>(this);
    m_psp.serial = hvclass::register_page(static_cast<CWnd*>(this));
    if (caption_id) {
        m_strCaption = load_wide(caption_id);
        m_psp.pszTitle = m_strCaption.c_str();
        m_psp.dwFlags |= PSP_USETITLE;
    }
    if (header_title_id) {
        m_strHeaderTitle = load_wide(header_title_id);
        m_psp.pszHeaderTitle = m_strHeaderTitle.c_str();
        m_psp.dwFlags |= PSP_USEHEADERTITLE;
    }
    if (header_subtitle_id) {
        m_strHeaderSubTitle = load_wide(header_subtitle_id);
        m_psp.pszHeaderSubTitle = m_strHeaderSubTitle.c_str();
        m_psp.dwFlags |= PSP_USEHEADERSUBTITLE;
    }
}

CPropertyPage::~CPropertyPage() {
    hvclass::unregister_page(m_psp.serial);
    if (m_hWnd && FromHandlePermanent(m_hWnd) == this && ::IsWindow(m_hWnd)) {
        ASSERT(!"a property page destroyed while its sheet is open");
        hvclass::unbind(m_hWnd, this);
        m_hWnd = nullptr;
    }
}

BOOL CPropertyPage::OnSetActive() {
    if (m_bFirstSetActive)
        m_bFirstSetActive = FALSE;
    else
        UpdateData(FALSE);
    return TRUE;
}

BOOL CPropertyPage::OnKillActive() { return UpdateData(TRUE); }

BOOL CPropertyPage::OnApply() {
    OnOK();
    return TRUE;
}

void CPropertyPage::OnReset() { OnCancel(); }
BOOL CPropertyPage::OnQueryCancel() { return TRUE; }
LRESULT CPropertyPage::OnWizardBack() { return 0; }
LRESULT CPropertyPage::OnWizardNext() { return 0; }
BOOL CPropertyPage::OnWizardFinish() { return TRUE; }

void CPropertyPage::SetModified(BOOL changed) {
    ::SendMessageW(::GetParent(m_hWnd), changed ? PSM_CHANGED : PSM_UNCHANGED, reinterpret_cast<WPARAM>(m_hWnd), 0);
}

void CPropertyPage::CancelToClose() { ::PostMessageW(::GetParent(m_hWnd), PSM_CANCELTOCLOSE, 0, 0); }

BOOL CPropertyPage::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (CWnd::OnNotify(wParam, lParam, result)) return TRUE;
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    switch (header ? header->code : 0) {
    case PSN_SETACTIVE: *result = OnSetActive() ? 0 : -1; return TRUE;
    case PSN_KILLACTIVE: *result = OnKillActive() ? FALSE : TRUE; return TRUE;
    case PSN_APPLY: *result = OnApply() ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE; return TRUE;
    case PSN_RESET:
        OnReset();
        *result = 0;
        return TRUE;
    case PSN_QUERYCANCEL: *result = OnQueryCancel() ? FALSE : TRUE; return TRUE;
    case PSN_WIZBACK: *result = OnWizardBack(); return TRUE;
    case PSN_WIZNEXT: *result = OnWizardNext(); return TRUE;
    case PSN_WIZFINISH: *result = OnWizardFinish() ? FALSE : TRUE; return TRUE;
    case PSN_HELP:
        SendMessage(WM_COMMAND, ID_HELP, 0);
        *result = 0;
        return TRUE;
    default: return FALSE;
    }
}

INT_PTR CALLBACK CPropertyPage::AfxPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* object = FromHandlePermanent(window);
    if (!object && message == WM_INITDIALOG && lParam) {
        const auto* psp = reinterpret_cast<const PROPSHEETPAGEW*>(lParam);
        if (psp->dwSize >= sizeof(AFX_PROPSHEETPAGE))
            object = static_cast<CWnd*>(hvclass::find_page(static_cast<const AFX_PROPSHEETPAGE*>(psp)->serial));
        if (object && !hvclass::bind(window, hvclass::Kind::MfcWindow, object)) object = nullptr;
        if (object) object->m_hWnd = window;
        if (HWND sheet = ::GetParent(window); sheet && !FromHandlePermanent(sheet))
            CPropertySheet::AttachPending(sheet);
    }
    if (!object) return FALSE;
    return hv_mfc_dialog_message(object, window, message, wParam, lParam);
}

// ---- Sheets ------------------------------------------------------------------------------------

CPropertySheet::CPropertySheet() { Construct(nullptr, 0, nullptr, nullptr, nullptr); }

CPropertySheet::CPropertySheet(UINT caption_id, CWnd* parent, UINT select_page) {
    Construct(parent, select_page, nullptr, nullptr, nullptr);
    m_caption = load_wide(caption_id);
    m_psh.pszCaption = m_caption.c_str();
}

CPropertySheet::CPropertySheet(LPCSTR caption, CWnd* parent, UINT select_page) {
    Construct(parent, select_page, nullptr, nullptr, nullptr);
    m_caption = widen(caption);
    m_psh.pszCaption = m_caption.c_str();
}

CPropertySheet::CPropertySheet(UINT caption_id, CWnd* parent, UINT select_page, HBITMAP watermark, HPALETTE palette,
                               HBITMAP header) {
    Construct(parent, select_page, watermark, palette, header);
    m_caption = load_wide(caption_id);
    m_psh.pszCaption = m_caption.c_str();
}

CPropertySheet::CPropertySheet(LPCSTR caption, CWnd* parent, UINT select_page, HBITMAP watermark, HPALETTE palette,
                               HBITMAP header) {
    Construct(parent, select_page, watermark, palette, header);
    m_caption = widen(caption);
    m_psh.pszCaption = m_caption.c_str();
}

void CPropertySheet::Construct(CWnd* parent, UINT select_page, HBITMAP watermark, HPALETTE palette, HBITMAP header) {
    std::memset(static_cast<void*>(&m_psh), 0, sizeof m_psh);
    m_psh.dwSize = sizeof m_psh;
    m_psh.hInstance = AfxGetResourceHandle();
    m_psh.nStartPage = select_page;
    m_pParentWnd = parent;
    if (watermark) {
        m_psh.hbmWatermark = watermark;
        m_psh.dwFlags |= PSH_WATERMARK | PSH_USEHBMWATERMARK;
    }
    if (palette) {
        m_psh.hplWatermark = palette;
        m_psh.dwFlags |= PSH_USEHPLWATERMARK;
    }
    if (header) {
        m_psh.hbmHeader = header;
        m_psh.dwFlags |= PSH_HEADER | PSH_USEHBMHEADER;
    }
}

CPropertySheet::~CPropertySheet() = default;

void CPropertySheet::AddPage(CPropertyPage* page) {
    if (!HV_CLASSLIB_CHECK(page, "AddPage of no page")) return;
    if (m_hWnd) {
        HPROPSHEETPAGE made = ::CreatePropertySheetPageW(&page->m_psp);
        if (!made || !SendMessage(PSM_ADDPAGE, 0, reinterpret_cast<LPARAM>(made))) {
            if (made) ::DestroyPropertySheetPage(made);
            return;
        }
    }
    m_pages.push_back(page);
}

void CPropertySheet::RemovePage(CPropertyPage* page) {
    int index = GetPageIndex(page);
    if (index < 0) return;
    if (m_hWnd) SendMessage(PSM_REMOVEPAGE, static_cast<WPARAM>(index), 0);
    m_pages.erase(m_pages.begin() + index);
}

CPropertyPage* CPropertySheet::GetPage(int index) const {
    return index >= 0 && index < GetPageCount() ? m_pages[static_cast<size_t>(index)] : nullptr;
}

int CPropertySheet::GetPageIndex(CPropertyPage* page) const {
    auto it = std::find(m_pages.begin(), m_pages.end(), page);
    return it == m_pages.end() ? -1 : static_cast<int>(it - m_pages.begin());
}

CPropertyPage* CPropertySheet::GetActivePage() const {
    if (!m_hWnd) return GetPage(static_cast<int>(m_psh.nStartPage));
    HWND shown = reinterpret_cast<HWND>(SendMessage(PSM_GETCURRENTPAGEHWND, 0, 0));
    for (CPropertyPage* page : m_pages)
        if (shown && page->m_hWnd == shown) return page;
    return nullptr;
}

int CPropertySheet::GetActiveIndex() const { return GetPageIndex(GetActivePage()); }

BOOL CPropertySheet::SetActivePage(int index) {
    if (index < 0 || index >= GetPageCount()) return FALSE;
    if (!m_hWnd) {
        m_psh.nStartPage = static_cast<UINT>(index);
        return TRUE;
    }
    return static_cast<BOOL>(SendMessage(PSM_SETCURSEL, static_cast<WPARAM>(index), 0));
}

void CPropertySheet::SetTitle(LPCSTR text, UINT style) {
    m_caption = widen(text);
    if (m_hWnd) {
        SendMessage(PSM_SETTITLEW, style, reinterpret_cast<LPARAM>(m_caption.c_str()));
        return;
    }
    m_psh.pszCaption = m_caption.c_str();
    if (style & PSH_PROPTITLE)
        m_psh.dwFlags |= PSH_PROPTITLE;
    else
        m_psh.dwFlags &= ~static_cast<DWORD>(PSH_PROPTITLE);
}

bool CPropertySheet::IsWizard() const { return (m_psh.dwFlags & (PSH_WIZARD | PSH_WIZARD97 | PSH_WIZARD_LITE)) != 0; }

INT_PTR CPropertySheet::DoModal() {
    if (!HV_CLASSLIB_CHECK(m_hWnd == nullptr, "DoModal on a sheet that is running")) return -1;
    m_nModalResult = -1;
    std::vector<HPROPSHEETPAGE> pages;
    for (CPropertyPage* page : m_pages) {
        HPROPSHEETPAGE made = ::CreatePropertySheetPageW(&page->m_psp);
        if (!made) {
            for (HPROPSHEETPAGE p : pages) ::DestroyPropertySheetPage(p);
            return -1;
        }
        pages.push_back(made);
    }
    HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    m_psh.hwndParent = owner;
    m_psh.dwFlags |= PSH_USECALLBACK;
    m_psh.dwFlags &= ~static_cast<DWORD>(PSH_PROPSHEETPAGE | PSH_MODELESS);
    m_psh.pfnCallback = &CPropertySheet::AfxSheetCallback;
    m_psh.phpage = pages.data();
    m_psh.nPages = static_cast<UINT>(pages.size());
    hvclass::push_pending(hvclass::Kind::MfcSheet, this);
    INT_PTR result = ::PropertySheetW(&m_psh);
    hvclass::drop_pending(this);
    m_psh.phpage = nullptr;
    m_psh.nPages = 0;
    if (m_nModalResult != -1) return m_nModalResult;
    if (result < 0) return -1;
    if (result == 0) return IDCANCEL;
    return IsWizard() ? ID_WIZFINISH : IDOK;
}

void CPropertySheet::EndDialog(int result) {
    m_nModalResult = result;
    PostMessage(PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
}

int CALLBACK CPropertySheet::AfxSheetCallback(HWND window, UINT message, LPARAM) {
    if (message == PSCB_INITIALIZED) AttachPending(window);
    return 0;
}

void CPropertySheet::AttachPending(HWND window) {
    auto* sheet = static_cast<CPropertySheet*>(hvclass::take_pending(hvclass::Kind::MfcSheet));
    if (sheet && sheet->SubclassWindow(window)) sheet->OnInitDialog();
}
