// The "About" page of the advanced sheet: the maker and a link to its web site.
#pragma once

#include <atlbase.h>
#include <atlwin.h>
#include <atldlgs.h>
#include <atlctrlx.h>

#include "PageResources.h"
#include "Utils.h"

class CAboutPage : public CPropertyPageImpl<CAboutPage> {
public:
    enum { IDD = IDD_ABOUT };

    CAboutPage();
    ~CAboutPage();

    BEGIN_MSG_MAP(CAboutPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_CTLCOLORDLG, OnCtlColor)
    MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnCtlColor)
    CHAIN_MSG_MAP(CPropertyPageImpl<CAboutPage>)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCtlColor(UINT, WPARAM, LPARAM, BOOL&);

private:
    CHyperLink m_Link;
    CHvPageBrush m_Brush;
};
