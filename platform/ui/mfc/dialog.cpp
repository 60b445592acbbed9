// CDialog and the data exchange of its controls.
#include "mfc_internal.h"

#include <algorithm>

INT_PTR hv_mfc_dialog_message(CWnd* object, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (hv_mfc_in_default(window, message)) return FALSE;
    BOOL handled = FALSE;
    LRESULT result = CWndAccess::dispatch(object, window, message, wParam, lParam, &handled);
    return handled ? hvclass::dialog_result(window, message, result) : FALSE;
}

CDialog::CDialog(UINT template_id, CWnd* parent) : m_lpszTemplateName(template_id), m_pParentWnd(parent) {
    m_bDialogProc = true;
}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal() {
    if (!HV_CLASSLIB_CHECK(m_hWnd == nullptr, "DoModal on a dialog that has a window")) return -1;
    m_nModalResult = -1;
    HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!owner)
        if (CWnd* main = AfxGetMainWnd(); main && main != this && ::IsWindow(main->m_hWnd)) owner = main->m_hWnd;
    hvclass::push_pending(hvclass::Kind::MfcDialog, this);
    INT_PTR result =
        ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_lpszTemplateName), owner, &CDialog::AfxDlgProc, 0);
    hvclass::drop_pending(this);
    return result;
}

void CDialog::EndDialog(int result) {
    m_nModalResult = result;
    ::EndDialog(m_hWnd, result);
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
    if (CWnd::OnCommand(wParam, lParam)) return TRUE;
    if (HIWORD(wParam) != BN_CLICKED) return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK: OnOK(); return TRUE;
    case IDCANCEL: OnCancel(); return TRUE;
    default: return FALSE;
    }
}

BOOL CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message == WM_INITDIALOG) {
        *result = OnInitDialog();
        return TRUE;
    }
    BOOL handled = CWnd::OnWndMsg(message, wParam, lParam, result);
    if (message == WM_NCDESTROY) {
        // The controls the exchange bound lose their windows with the dialog.
        for (CWnd* control : m_boundControls) control->m_hWnd = nullptr;
        m_boundControls.clear();
    }
    return handled;
}

// What the map leaves is the dialog manager's, after the dialog procedure answers FALSE.
LRESULT CDialog::DefWindowProc(UINT, WPARAM, LPARAM) {
    m_bCurrentHandled = false;
    return 0;
}

INT_PTR CALLBACK CDialog::AfxDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* object = FromHandlePermanent(window);
    if (!object) {
        object = static_cast<CWnd*>(hvclass::take_pending(hvclass::Kind::MfcDialog));
        if (!object || !hvclass::bind(window, hvclass::Kind::MfcWindow, object)) return FALSE;
        object->m_hWnd = window;
    }
    return hv_mfc_dialog_message(object, window, message, wParam, lParam);
}

void AFXAPI DDX_Control(CDataExchange* dx, int id, CWnd& control) {
    if (!dx || !dx->m_pDlgWnd || control.m_hWnd) return;
    HWND item = ::GetDlgItem(dx->m_pDlgWnd->m_hWnd, id);
    if (!HV_CLASSLIB_CHECK(item, "DDX_Control: the dialog has no such control")) return;
    control.m_hWnd = item;
    if (auto* dialog = dynamic_cast<CDialog*>(dx->m_pDlgWnd)) dialog->m_boundControls.push_back(&control);
}
