#include "PmUninstallSheet.h"

#include <new>

#include "PmWin2kUninstallOperation.h"
#include "PmWin9xUninstallOperation.h"
#include "UninstallUtil.h"
#include "WorkerThread.h"
#include "resource.h"

CPmUninstallSheet::CPmUninstallSheet(UINT captionId, CWnd* parent, UINT selectPage, HBITMAP watermark,
                                     HPALETTE palette, HBITMAP header, BOOL silent)
    : CPropertySheet(captionId, parent, selectPage, watermark, palette, header), m_bSilent(silent ? 1 : 0) {
    AddPage(&m_IntroPage);
    AddPage(&m_SearchPage);
    if (!m_bSilent) AddPage(&m_ConfirmPage);
    AddPage(&m_UninstallPage);
    AddPage(&m_FinishPage);
    m_psh.dwFlags |= PSH_WIZARD97 | PSH_HEADER | PSH_WATERMARK;

    if (CUninstallUtil().m_IsWin98OrMe()) m_pOperation = new (std::nothrow) CPmWin9xUninstallOperation;
    else m_pOperation = new (std::nothrow) CPmWin2kUninstallOperation;
    for (CPmWizardPage* page : std::initializer_list<CPmWizardPage*>{&m_IntroPage, &m_SearchPage, &m_ConfirmPage,
                                                                      &m_UninstallPage, &m_FinishPage})
        page->Bind(this, m_pOperation);
}

CPmUninstallSheet::~CPmUninstallSheet() {
    WaitForWorkers();
    delete m_pOperation;
}

BOOL CPmUninstallSheet::OnInitDialog() {
    CPropertySheet::OnInitDialog();
    CString title;
    title.LoadString(IDS_PAGE_TITLE);
    SetTitle(title);
    if (m_bSilent) {
        ShowWindow(SW_MINIMIZE);
        ModifyStyleEx(WS_EX_APPWINDOW, 0);
    }
    return TRUE;
}

void CPmUninstallSheet::StartWorker(AFX_THREADPROC proc, LPVOID page) {
    if (CWinThread* worker = ::StartWorker(proc, page)) m_Workers.push_back(worker);
}

void CPmUninstallSheet::WaitForWorkers() {
    // A worker may still be on its way out (it ended the wizard itself), and the operation and
    // the pages are its until it is gone.
    while (!m_Workers.empty()) {
        CWinThread* worker = m_Workers.back();
        m_Workers.pop_back();
        ::WaitForWorker(worker);
    }
}
