// Programs of the MFC-like layer: a three-page wizard whose workers advance it, ended by Finish,
// by EndDialog from a worker, or by a result set before Finish; a dialog whose map takes its
// buttons, whose controls the data exchange binds, and whose worker drives its progress bar.
// The machine's own headers come first: their kernel-mode ASSERT gives way to the layer's.
#include "class_library_test.h"
#undef ASSERT

#include <afxwin.h>
#include <afxdlgs.h>
#include <afxcmn.h>

#include <hv_resource.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr UINT IDD_INTRO = 601, IDD_WORK = 602, IDD_DONE = 603, IDD_SINGLE = 604;
constexpr int IDC_HEADING = 1000, IDC_STEP = 1006, IDC_PROGRESS = 1003, IDC_MISSING = 1099;

} // namespace

HV_STRINGTABLE_BEGIN
HV_STRING(103, u"Installation for Tarrow")
HV_STRING(104, u"Tarrow Installation ")
HV_STRING(108, u" Installing")
HV_STRING(132, u"Halvorn Tarrow Installation")
HV_STRINGTABLE_END

HV_DIALOGS_BEGIN
HV_DIALOGEX(IDD_INTRO, 0, 0, 312, 190, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Intro")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"Welcome", IDC_HEADING, 114, 9, 191, 22)
HV_DIALOGEX(IDD_WORK, 0, 0, 300, 140, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Work")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"", IDC_STEP, 37, 76, 208, 8)
HV_CONTROL(u"", IDC_PROGRESS, PROGRESS_CLASSW, WS_BORDER, 37, 94, 235, 14)
HV_DIALOGEX(IDD_DONE, 0, 0, 311, 158, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Done")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"", IDC_HEADING, 117, 10, 187, 20)
HV_DIALOGEX(IDD_SINGLE, 0, 0, 305, 193, DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU, u"Uninstall")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"", IDC_STEP, 10, 10, 200, 8)
HV_CONTROL(u"", IDC_PROGRESS, PROGRESS_CLASSW, WS_BORDER, 10, 30, 200, 14)
HV_DEFPUSHBUTTON(u"&Uninstall", IDOK, 10, 170, 50, 14)
HV_PUSHBUTTON(u"&Finish", IDCANCEL, 70, 170, 50, 14)
HV_DIALOGS_END

namespace {

using MfcWindowTest = ClassLibraryTest;

// What the wizard's pages and workers did, from every thread.
class Journal {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // Workers started and not yet ended: the pages they use must outlive them.
    std::atomic<int> workers{0};
    void wait_for_workers() {
        while (workers.load() > 0) Sleep(1);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// How the last page's worker ends the wizard.
enum class Ending { PressFinish, EndDialogFromWorker, ResultThenFinish };

class CWizardSheet;

class CWizardPage : public CPropertyPage {
public:
    CWizardPage(UINT id, const char* name, CWizardSheet* sheet, Journal* journal)
        : CPropertyPage(id, 0, id == IDD_WORK ? 108 : 0), m_name(name), m_sheet(sheet), m_journal(journal) {
        if (id != IDD_WORK) m_psp.dwFlags |= PSP_HIDEHEADER;
    }

    BOOL OnInitDialog() override {
        CPropertyPage::OnInitDialog();
        m_journal->add(m_name + " init");
        CString title;
        title.LoadString(132);
        SetWindowText(title);
        return TRUE;
    }
    BOOL OnSetActive() override;
    LRESULT OnWizardNext() override {
        m_journal->add(m_name + " next");
        return CPropertyPage::OnWizardNext();
    }
    BOOL OnWizardFinish() override {
        m_journal->add(m_name + " finish");
        return CPropertyPage::OnWizardFinish();
    }
    BOOL OnQueryCancel() override {
        m_journal->add(m_name + " cancel");
        return TRUE;
    }

    void DoDataExchange(CDataExchange* dx) override {
        CPropertyPage::DoDataExchange(dx);
        if (m_psp.pszTemplate == MAKEINTRESOURCEW(IDD_WORK)) {
            DDX_Control(dx, IDC_STEP, m_step);
            DDX_Control(dx, IDC_PROGRESS, m_progress);
        }
    }

    std::string m_name;
    CWizardSheet* m_sheet;
    Journal* m_journal;
    CStatic m_step;
    CProgressCtrl m_progress;

protected:
    afx_msg void OnDestroy() {
        CPropertyPage::OnDestroy();
        m_journal->add(m_name + " destroyed");
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CWizardPage, CPropertyPage)
ON_WM_DESTROY()
END_MESSAGE_MAP()

class CWizardSheet : public CPropertySheet {
public:
    CWizardSheet(Ending ending, Journal* journal)
        : CPropertySheet(103u, nullptr, 0, nullptr, nullptr, nullptr), ending(ending), journal(journal),
          intro(IDD_INTRO, "intro", this, journal), work(IDD_WORK, "work", this, journal),
          done(IDD_DONE, "done", this, journal) {
        AddPage(&intro);
        AddPage(&work);
        AddPage(&done);
        m_psh.dwFlags |= PSH_WIZARD97 | PSH_HEADER | PSH_WATERMARK;
    }
    BOOL OnInitDialog() override {
        CPropertySheet::OnInitDialog();
        journal->add("sheet init");
        return TRUE;
    }

    Ending ending;
    Journal* journal;
    CWizardPage intro, work, done;
};

UINT IntroThread(LPVOID param) {
    auto* page = static_cast<CWizardPage*>(param);
    page->m_journal->add("intro worker");
    ::SendMessageW(page->GetParent()->m_hWnd, PSM_PRESSBUTTON, PSBTN_NEXT, 0);
    --page->m_journal->workers;
    return 0;
}

UINT WorkThread(LPVOID param) {
    auto* page = static_cast<CWizardPage*>(param);
    page->m_progress.SetRange(0, 3);
    page->m_progress.SetStep(1);
    for (int step = 0; step < 3; ++step) {
        page->m_step.SetWindowText(("step " + std::to_string(step)).c_str());
        Sleep(10'000); // machine time: a long step costs nothing here
        page->m_progress.StepIt();
    }
    page->m_journal->add("work worker at " + std::to_string(page->m_progress.GetPos()));
    page->m_sheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
    page->m_sheet->PressButton(PSBTN_NEXT);
    --page->m_journal->workers;
    return 0;
}

UINT DoneThread(LPVOID param) {
    auto* page = static_cast<CWizardPage*>(param);
    CWizardSheet* sheet = page->m_sheet;
    switch (sheet->ending) {
    case Ending::PressFinish: sheet->PressButton(PSBTN_FINISH); break;
    case Ending::EndDialogFromWorker: sheet->EndDialog(IDOK); break;
    case Ending::ResultThenFinish:
        sheet->m_nModalResult = 77;
        sheet->PressButton(PSBTN_FINISH);
        break;
    }
    --page->m_journal->workers;
    return 0;
}

BOOL CWizardPage::OnSetActive() {
    m_journal->add(m_name + " active");
    AFX_THREADPROC worker = m_name == "intro" ? IntroThread : m_name == "work" ? WorkThread : DoneThread;
    GetParent()->PostMessage(PSM_SETWIZBUTTONS, 0, m_name == "done" ? PSWIZB_FINISH : PSWIZB_DISABLEDFINISH);
    ++m_journal->workers;
    AfxBeginThread(worker, this);
    return CPropertyPage::OnSetActive();
}

struct WizardCase {
    const char* name;
    Ending ending;
    INT_PTR result;
    bool finishes;
};

TEST_F(MfcWindowTest, AThreePageWizardAdvancedByItsWorkersEndsAsItsLastWorkerSays) {
    const WizardCase cases[] = {
        {"Finish pressed", Ending::PressFinish, ID_WIZFINISH, true},
        {"EndDialog from the worker presses Cancel", Ending::EndDialogFromWorker, IDOK, false},
        {"a result set before Finish", Ending::ResultThenFinish, 77, true},
    };
    for (const auto& c : cases) {
        Journal journal;
        CWizardSheet sheet(c.ending, &journal);
        const ULONGLONG start = GetTickCount64();
        leave_modal_loops_to_the_program();
        EXPECT_EQ(c.result, sheet.DoModal()) << c.name;
        journal.wait_for_workers();
        EXPECT_GE(GetTickCount64() - start, 30'000u) << c.name << ": the work page's worker slept in machine time";
        std::vector<std::string> expected = {"sheet init", "intro init", "intro active", "intro worker",
                                             "intro next", "work init",  "work active",  "work worker at 3",
                                             "work next",  "done init",  "done active"};
        expected.push_back(c.finishes ? "done finish" : "done cancel");
        for (const char* page : {"intro", "work", "done"}) expected.push_back(std::string(page) + " destroyed");
        auto lines = journal.lines();
        EXPECT_EQ(expected, lines) << c.name;
        EXPECT_EQ(nullptr, sheet.m_hWnd) << c.name;
        EXPECT_EQ(nullptr, sheet.work.m_progress.m_hWnd) << c.name << ": bound controls let go of their windows";
    }
    EXPECT_FALSE(hvsim::debug_log::contains("ASSERT"));
}

// The Windows 95 dialog's shape: Uninstall starts a worker, Finish ends the dialog.
class CSingleDialog : public CDialog {
public:
    CSingleDialog() : CDialog(IDD_SINGLE) {}

    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        m_step.SetWindowText("ready");
        // As the user would: Uninstall first.
        PostMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(IDOK)->m_hWnd));
        return TRUE;
    }
    void DoDataExchange(CDataExchange* dx) override {
        CDialog::DoDataExchange(dx);
        DDX_Control(dx, IDC_STEP, m_step);
        DDX_Control(dx, IDC_PROGRESS, m_progress);
        DDX_Control(dx, IDOK, m_uninstall);
        DDX_Control(dx, IDC_MISSING, m_missing);
    }

    afx_msg void OnUninstall() {
        events.push_back("uninstall");
        AfxBeginThread(
            [](LPVOID param) -> UINT {
                auto* dialog = static_cast<CSingleDialog*>(param);
                dialog->m_progress.SetRange(0, 6);
                dialog->m_progress.SetStep(1);
                for (int i = 0; i < 6; ++i) dialog->m_progress.StepIt();
                dialog->m_step.SetWindowText("done");
                dialog->m_uninstall.EnableWindow(FALSE);
                dialog->PostMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                return 0;
            },
            this);
    }
    afx_msg void OnFinish() {
        CString step;
        m_step.GetWindowText(step);
        events.push_back("finish after " + std::string(step.GetString()) + " at " +
                         std::to_string(m_progress.GetPos()));
        // A window that is missing answers as a null handle does.
        GetDlgItem(IDC_MISSING)->ShowWindow(SW_HIDE);
        m_missing.SetWindowText("nothing");
        OnCancel();
    }

    std::vector<std::string> events;
    CStatic m_step, m_missing;
    CProgressCtrl m_progress;
    CButton m_uninstall;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CSingleDialog, CDialog)
ON_BN_CLICKED(IDOK, &CSingleDialog::OnUninstall)
ON_BN_CLICKED(IDCANCEL, &CSingleDialog::OnFinish)
END_MESSAGE_MAP()

TEST_F(MfcWindowTest, ADialogsMapTakesItsButtonsAndItsBoundControlsFollowAWorker) {
    CSingleDialog dialog;
    leave_modal_loops_to_the_program();
    EXPECT_EQ(IDCANCEL, dialog.DoModal());
    EXPECT_EQ((std::vector<std::string>{"uninstall", "finish after done at 6"}), dialog.events);
    EXPECT_TRUE(hvsim::debug_log::contains("DDX_Control: the dialog has no such control"));
    EXPECT_EQ(nullptr, dialog.m_missing.m_hWnd);
    EXPECT_EQ(nullptr, dialog.m_step.m_hWnd) << "the dialog's end lets its controls go";
}

} // namespace
