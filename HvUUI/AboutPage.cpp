#include "AboutPage.h"

CAboutPage::CAboutPage() : CPropertyPageImpl<CAboutPage>(u"About") {}

CAboutPage::~CAboutPage() = default;

LRESULT CAboutPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    m_Brush.m_Create();
    m_Link.SubclassWindow(GetDlgItem(IDC_ABOUT_LINK));
    m_Link.SetHyperLink(HV_MAKER_WEB_ADDRESS);
    return TRUE;
}

LRESULT CAboutPage::OnCtlColor(UINT, WPARAM wParam, LPARAM, BOOL&) { return m_Brush.m_OnCtlColor(wParam); }
