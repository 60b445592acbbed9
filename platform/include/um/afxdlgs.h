// The MFC-like property sheet and property page, wizards included.
//
// A page answers the sheet's notifications through its virtual handlers, with MFC's meanings:
// OnSetActive TRUE shows the page (FALSE skips it); OnKillActive TRUE lets it go; OnApply TRUE
// accepts (FALSE keeps the sheet open on the page); OnQueryCancel TRUE lets the sheet be
// cancelled; OnWizardBack / OnWizardNext 0 for the neighbour, -1 to stay, or a template id;
// OnWizardFinish TRUE lets the wizard finish. A page object destroyed while its sheet still shows
// it is an assertion: its window is let go, and what the sheet still sends for it finds nothing.
#pragma once

#include <afxwin.h>

#include <string>
#include <vector>

#ifndef ID_WIZBACK
#define ID_WIZBACK 0x3023
#define ID_WIZNEXT 0x3024
#define ID_WIZFINISH 0x3025
#endif

// A page's PROPSHEETPAGE and, after it, the serial number that finds the page object again.
struct AFX_PROPSHEETPAGE : public PROPSHEETPAGEW {
    ULONGLONG serial;
};

class CPropertySheet;

class CPropertyPage : public CDialog {
public:
    explicit CPropertyPage(UINT template_id, UINT caption_id = 0, UINT header_title_id = 0,
                           UINT header_subtitle_id = 0);
    ~CPropertyPage() override;

    AFX_PROPSHEETPAGE m_psp;

    virtual BOOL OnSetActive();
    virtual BOOL OnKillActive();
    virtual BOOL OnApply();
    virtual void OnReset();
    virtual BOOL OnQueryCancel();
    virtual LRESULT OnWizardBack();
    virtual LRESULT OnWizardNext();
    virtual BOOL OnWizardFinish();

    void SetModified(BOOL changed = TRUE);
    void CancelToClose();

    static INT_PTR CALLBACK AfxPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    // A page's OK and Cancel are the sheet's: they end nothing here.
    void OnOK() override {}
    void OnCancel() override {}
    BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) override;

    BOOL m_bFirstSetActive = TRUE;

private:
    std::u16string m_strCaption, m_strHeaderTitle, m_strHeaderSubTitle;
};

class CPropertySheet : public CWnd {
public:
    PROPSHEETHEADERW m_psh;

    CPropertySheet();
    explicit CPropertySheet(UINT caption_id, CWnd* parent = nullptr, UINT select_page = 0);
    explicit CPropertySheet(LPCSTR caption, CWnd* parent = nullptr, UINT select_page = 0);
    // A wizard's pictures: the watermark of its exterior pages and the header of the others.
    CPropertySheet(UINT caption_id, CWnd* parent, UINT select_page, HBITMAP watermark, HPALETTE palette = nullptr,
                   HBITMAP header = nullptr);
    CPropertySheet(LPCSTR caption, CWnd* parent, UINT select_page, HBITMAP watermark, HPALETTE palette = nullptr,
                   HBITMAP header = nullptr);
    ~CPropertySheet() override;

    void AddPage(CPropertyPage* page);
    void RemovePage(CPropertyPage* page);
    int GetPageCount() const { return static_cast<int>(m_pages.size()); }
    CPropertyPage* GetPage(int index) const;
    int GetPageIndex(CPropertyPage* page) const;
    CPropertyPage* GetActivePage() const;
    int GetActiveIndex() const;
    BOOL SetActivePage(int index);
    BOOL SetActivePage(CPropertyPage* page) { return SetActivePage(GetPageIndex(page)); }

    // Before the sheet runs its caption (PSH_PROPTITLE: "<caption> Properties"), then the window's.
    void SetTitle(LPCSTR text, UINT style = 0);
    void SetWizardMode() { m_psh.dwFlags |= PSH_WIZARD; }
    void SetWizardButtons(DWORD flags) { PostMessage(PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(flags)); }
    // Acts on the page shown whatever the button's state; returns once the press is handled.
    void PressButton(int button) { SendMessage(PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0); }

    // Runs the sheet modally. The result is the one EndDialog or m_nModalResult set; else IDOK
    // (a wizard: ID_WIZFINISH) after OK, IDCANCEL after Cancel, -1 when it could not be made.
    virtual INT_PTR DoModal();
    // From any thread: ends the sheet with the result, as its Cancel button would.
    void EndDialog(int result);
    // The sheet's window exists; the system's own start of the sheet has run.
    virtual BOOL OnInitDialog() { return TRUE; }

    static int CALLBACK AfxSheetCallback(HWND window, UINT message, LPARAM lParam);
    // A pending sheet of this thread takes the window the system made for it.
    static void AttachPending(HWND window);

protected:
    bool RoutesCommandsToApp() const override { return true; }

private:
    void Construct(CWnd* parent, UINT select_page, HBITMAP watermark, HPALETTE palette, HBITMAP header);
    bool IsWizard() const;

    std::vector<CPropertyPage*> m_pages;
    std::u16string m_caption;
    CWnd* m_pParentWnd = nullptr;
};
