// The MFC-like window layer: message maps, CWnd, dialogs and their data exchange, the basic
// controls, menus and fonts, threads, the application object and the program entry that runs it.
//
// A window is bound to its object through the image's window map (hv_classlib.h): a dialog by
// its first message, a subclassed window at once. CWnd::FromHandle gives the bound object, or a
// wrapper of the handle kept for the image's lifetime. GetDlgItem, GetParent and GetSystemMenu
// give, for what does not exist, an object without a handle whose calls fail as Windows fails
// them, never a null pointer.
#pragma once

#include <afx.h>
#include <commctrl.h>
#include <htmlhelp.h>

#include <string>
#include <vector>

class CCmdTarget;
class CWnd;
class CMenu;
class CFont;
class CDataExchange;

#define ID_HELP 0xE146
#define AFX_IDS_APP_TITLE 0xE000

// ---- Message maps ---------------------------------------------------------------------------------

// A handler entry: the message (and for WM_COMMAND / WM_NOTIFY the code and the id range), and
// the adapter that calls the member with the message's parameters.
typedef BOOL (*AFX_PMSG_HANDLER)(CCmdTarget* target, WPARAM wParam, LPARAM lParam, LRESULT* result);
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    AFX_PMSG_HANDLER pfn;
};
struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                                                                                \
protected:                                                                                                   \
    static const AFX_MSGMAP* GetThisMessageMap();                                                            \
    virtual const AFX_MSGMAP* GetMessageMap() const;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                               \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }                       \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                                        \
        typedef theClass ThisClass [[maybe_unused]];                                                         \
        typedef baseClass TheBaseClass;                                                                      \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                                                    \
    {0, 0, 0, 0, nullptr}                                                                                    \
    }                                                                                                        \
    ;                                                                                                        \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]};           \
    return &messageMap;                                                                                      \
    }

#define AFX_HANDLER(body)                                                                                    \
    [](CCmdTarget* target, WPARAM wParam, LPARAM lParam, LRESULT* result) -> BOOL {                          \
        ThisClass* self = static_cast<ThisClass*>(target);                                                   \
        (void)self;                                                                                          \
        (void)wParam;                                                                                        \
        (void)lParam;                                                                                        \
        *result = 0;                                                                                         \
        body;                                                                                                \
        return TRUE;                                                                                         \
    }

#define ON_WM_DESTROY() {WM_DESTROY, 0, 0, 0, AFX_HANDLER(self->OnDestroy())},
#define ON_WM_ENABLE() {WM_ENABLE, 0, 0, 0, AFX_HANDLER(self->OnEnable(static_cast<BOOL>(wParam)))},
#define ON_WM_ACTIVATE()                                                                                     \
    {WM_ACTIVATE, 0, 0, 0,                                                                                   \
     AFX_HANDLER(self->OnActivate(LOWORD(wParam), CWnd::FromHandle(reinterpret_cast<HWND>(lParam)),          \
                                  static_cast<BOOL>(HIWORD(wParam))))},
#define ON_COMMAND(id, memberFxn) {WM_COMMAND, 0, (id), (id), AFX_HANDLER((self->*(memberFxn))())},
#define ON_BN_CLICKED(id, memberFxn) {WM_COMMAND, BN_CLICKED, (id), (id), AFX_HANDLER((self->*(memberFxn))())},
#define ON_NOTIFY(code, id, memberFxn)                                                                       \
    {WM_NOTIFY, static_cast<UINT>(code), (id), (id),                                                         \
     AFX_HANDLER((self->*(memberFxn))(reinterpret_cast<NMHDR*>(lParam), result))},

class CCmdTarget : public CObject {
public:
    // Runs the map entry for a command (WM_COMMAND's id and code); FALSE when there is none.
    virtual BOOL OnCmdMsg(UINT id, int code);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
    // The map entry of the message, from this class's map to its bases'; FALSE when none ran.
    BOOL DispatchFromMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
};

// ---- Windows ------------------------------------------------------------------------------------------

class CWnd : public CCmdTarget {
public:
    HWND m_hWnd = nullptr;
    // A modal loop's result once it is set (-1 before).
    int m_nModalResult = -1;

    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    ~CWnd() override;

    operator HWND() const { return m_hWnd; }
    HWND GetSafeHwnd() const { return m_hWnd; }

    // The object a window is bound to, else a wrapper of the handle; null for a null handle.
    static CWnd* FromHandle(HWND window);
    static CWnd* FromHandlePermanent(HWND window);

    // Binds the object to a window without taking over its messages (FALSE when already bound).
    BOOL Attach(HWND window);
    HWND Detach();
    // Takes over a window's messages: the map first, then the window's own procedure.
    BOOL SubclassWindow(HWND window);
    HWND UnsubclassWindow();
    virtual BOOL DestroyWindow();

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::PostMessageW(m_hWnd, message, wParam, lParam);
    }

    void SetWindowText(LPCSTR text) { ::SetWindowTextA(m_hWnd, text); }
    int GetWindowText(LPSTR text, int max) const { return ::GetWindowTextA(m_hWnd, text, max); }
    void GetWindowText(CString& text) const;
    int GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
    void SetDlgItemText(int id, LPCSTR text) { ::SetDlgItemTextA(m_hWnd, id, text); }
    void SetFont(CFont* font, BOOL redraw = TRUE);

    BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    CWnd* SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
    DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }
    BOOL ModifyStyle(DWORD remove, DWORD add, UINT flags = 0) { return Modify(GWL_STYLE, remove, add, flags); }
    BOOL ModifyStyleEx(DWORD remove, DWORD add, UINT flags = 0) { return Modify(GWL_EXSTYLE, remove, add, flags); }

    CWnd* GetParent() const;
    CWnd* GetDlgItem(int id) const;
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    CMenu* GetSystemMenu(BOOL revert) const;
    int MessageBox(LPCSTR text, LPCSTR caption = nullptr, UINT type = MB_OK) {
        return ::MessageBoxA(m_hWnd, text, caption, type);
    }

    // Moves data between the window's controls and the object (DoDataExchange).
    BOOL UpdateData(BOOL save_and_validate = TRUE);

    // The procedures of bound windows.
    static LRESULT CALLBACK AfxWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    virtual void DoDataExchange(CDataExchange* dx) {}
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // FALSE when nothing handled the message.
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The window's own handling of the message being handled, at once.
    LRESULT Default();
    // After the window's last message; the object may delete itself here.
    virtual void PostNcDestroy() {}
    // Whether commands the map does not take go on to the application (dialogs and sheets).
    virtual bool RoutesCommandsToApp() const { return false; }

    afx_msg void OnDestroy() { Default(); }
    afx_msg void OnEnable(BOOL) { Default(); }
    afx_msg void OnActivate(UINT, CWnd*, BOOL) { Default(); }

    // For the procedures: runs one message and ends the binding after the window's last one.
    LRESULT Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam, BOOL* handled);
    void ReleaseWindowAtEnd(HWND window);

    WNDPROC m_pfnSuper = nullptr;
    const MSG* m_pCurrentMsg = nullptr;
    bool m_bCurrentHandled = false;
    bool m_bWindowGone = false;
    bool m_bDialogProc = false;

    friend class CDialog;
    friend class CPropertyPage;
    friend class CPropertySheet;
    friend struct CWndAccess;

private:
    BOOL Modify(int index, DWORD remove, DWORD add, UINT flags);
};

// ---- Data exchange, dialogs ---------------------------------------------------------------------------

class CDataExchange {
public:
    CDataExchange(CWnd* dialog, BOOL save_and_validate) : m_bSaveAndValidate(save_and_validate), m_pDlgWnd(dialog) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
};

// Binds a control object to the dialog's control (once). A control the dialog does not have is
// an assertion; the object stays without a window.
void AFXAPI DDX_Control(CDataExchange* dx, int id, CWnd& control);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT template_id = 0, CWnd* parent = nullptr);
    ~CDialog() override;

    virtual INT_PTR DoModal();
    void EndDialog(int result);
    virtual BOOL OnInitDialog();

    static INT_PTR CALLBACK AfxDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    virtual void OnOK();
    virtual void OnCancel();
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool RoutesCommandsToApp() const override { return true; }

    UINT m_nIDHelp = 0;
    UINT m_lpszTemplateName = 0;
    CWnd* m_pParentWnd = nullptr;
    // The controls DDX_Control bound, released when the window goes.
    std::vector<CWnd*> m_boundControls;

    friend void AFXAPI DDX_Control(CDataExchange* dx, int id, CWnd& control);
    friend struct CWndAccess;
};

// ---- Controls, menus, fonts ----------------------------------------------------------------------------

class CStatic : public CWnd {
public:
    HICON SetIcon(HICON icon) {
        return reinterpret_cast<HICON>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(icon), 0));
    }
    HICON GetIcon() const { return reinterpret_cast<HICON>(SendMessage(STM_GETICON, 0, 0)); }
};

class CButton : public CWnd {
public:
    int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK, 0, 0)); }
    void SetCheck(int check) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(check), 0); }
};

class CMenu : public CObject {
public:
    HMENU m_hMenu = nullptr;

    operator HMENU() const { return m_hMenu; }
    static CMenu* FromHandle(HMENU menu);
    BOOL Attach(HMENU menu) {
        m_hMenu = menu;
        return menu != nullptr;
    }
    HMENU Detach() {
        HMENU menu = m_hMenu;
        m_hMenu = nullptr;
        return menu;
    }
    BOOL DeleteMenu(UINT position, UINT flags) { return ::DeleteMenu(m_hMenu, position, flags); }
    BOOL RemoveMenu(UINT position, UINT flags) { return ::RemoveMenu(m_hMenu, position, flags); }
    UINT EnableMenuItem(UINT item, UINT enable) { return static_cast<UINT>(::EnableMenuItem(m_hMenu, item, enable)); }
    int GetMenuItemCount() const { return ::GetMenuItemCount(m_hMenu); }
};

class CGdiObject : public CObject {
public:
    HGDIOBJ m_hObject = nullptr;

    CGdiObject() = default;
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;
    ~CGdiObject() override { DeleteObject(); }

    operator HGDIOBJ() const { return m_hObject; }
    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    BOOL Attach(HGDIOBJ object) {
        if (m_hObject) return FALSE;
        m_hObject = object;
        return object != nullptr;
    }
    HGDIOBJ Detach() {
        HGDIOBJ object = m_hObject;
        m_hObject = nullptr;
        return object;
    }
    BOOL DeleteObject() {
        if (!m_hObject) return FALSE;
        BOOL deleted = ::DeleteObject(m_hObject);
        m_hObject = nullptr;
        return deleted;
    }
};

class CFont : public CGdiObject {
public:
    operator HFONT() const { return static_cast<HFONT>(m_hObject); }
    BOOL CreateFontIndirect(const LOGFONTA* font) {
        if (!HV_CLASSLIB_CHECK(m_hObject == nullptr, "CreateFontIndirect on a font that exists")) return FALSE;
        return Attach(::CreateFontIndirectA(font));
    }
};

// ---- Threads, the application ------------------------------------------------------------------------

typedef UINT (*AFX_THREADPROC)(LPVOID param);

class CWinThread : public CCmdTarget {
public:
    CWinThread();
    CWinThread(AFX_THREADPROC proc, LPVOID param);
    ~CWinThread() override;

    BOOL CreateThread(DWORD flags = 0, UINT stack_size = 0, LPSECURITY_ATTRIBUTES security = nullptr);
    DWORD ResumeThread() { return ::ResumeThread(m_hThread); }
    operator HANDLE() const { return m_hThread; }

    virtual BOOL InitInstance() { return TRUE; }
    virtual int Run();
    virtual int ExitInstance();

    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    // The object deletes itself when its thread ends.
    BOOL m_bAutoDelete = TRUE;
    CWnd* m_pMainWnd = nullptr;
    AFX_THREADPROC m_pfnThreadProc = nullptr;
    LPVOID m_pThreadParams = nullptr;

protected:
    MSG m_msgCur{};
};

// A worker running proc(param); the thread object deletes itself when it ends.
CWinThread* AFXAPI AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                                  UINT stack_size = 0, DWORD flags = 0, LPSECURITY_ATTRIBUTES security = nullptr);

class CCommandLineInfo : public CObject {
public:
    CCommandLineInfo();
    ~CCommandLineInfo() override;
    // One argument after the program's name, in order; a switch ("-x" or "/x") comes without
    // its first character and with flag TRUE.
    virtual void ParseParam(const char* param, BOOL flag, BOOL last);

    enum { FileNew, FileOpen, FilePrint, FilePrintTo, FileDDE, AppRegister, AppUnregister, FileNothing = -1 }
        m_nShellCommand;
    BOOL m_bShowSplash;
    BOOL m_bRunEmbedded;
    BOOL m_bRunAutomated;
    CString m_strFileName;
};

class CWinApp : public CWinThread {
public:
    explicit CWinApp(LPCSTR app_name = nullptr);
    ~CWinApp() override;

    virtual BOOL InitApplication() { return TRUE; }
    BOOL InitInstance() override { return TRUE; }
    // The message loop (ended at once when there is no main window), then ExitInstance.
    int Run() override;
    // The program's exit code: the WM_QUIT code of the loop (0 when none ran).
    int ExitInstance() override;

    // Hands every argument of the command line to the parser.
    void ParseCommandLine(CCommandLineInfo& info);

    afx_msg void OnHelp();

    LPCSTR m_pszAppName = nullptr;
    LPCSTR m_pszExeName = nullptr;
    LPCSTR m_pszHelpFilePath = nullptr;
    HINSTANCE m_hInstance = nullptr;
    LPSTR m_lpCmdLine = nullptr;
    int m_nCmdShow = SW_SHOWNORMAL;

    // The program entry runs the application with the program's arguments.
    int RunProgram(int argc, WCHAR** argv);

    DECLARE_MESSAGE_MAP()

private:
    std::vector<std::string> m_arguments;
    std::string m_appName, m_exeName, m_helpPath, m_commandLine;
};

CWinApp* AFXAPI AfxGetApp();
CWnd* AFXAPI AfxGetMainWnd();
HINSTANCE AFXAPI AfxGetInstanceHandle();
HINSTANCE AFXAPI AfxGetResourceHandle();
// A box owned by the main window, captioned with the application's name.
int AFXAPI AfxMessageBox(LPCSTR text, UINT type = MB_OK, UINT help_id = 0);
int AFXAPI AfxMessageBox(UINT prompt_id, UINT type = MB_OK, UINT help_id = static_cast<UINT>(-1));
// The program may host controls: nothing to prepare on this system.
void AFXAPI AfxEnableControlContainer();
