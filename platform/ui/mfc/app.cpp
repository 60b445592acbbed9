// The application object, the program entry that runs it, and the application's services:
// message boxes, help, the instance and resource handles.
#include "mfc_internal.h"

#include <atomic>

namespace {

std::atomic<CWinApp*> g_app{nullptr};

std::string narrow(const WCHAR* text) {
    if (!text) return {};
    int n = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// The command line after the program's name.
const char* arguments_of(const char* line) {
    if (!line) return "";
    const char* p = line;
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

} // namespace

BEGIN_MESSAGE_MAP(CWinApp, CWinThread)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCSTR app_name) {
    if (app_name) {
        m_appName = app_name;
        m_pszAppName = m_appName.c_str();
    }
    CWinApp* none = nullptr;
    if (!g_app.compare_exchange_strong(none, this)) ASSERT(!"a second application object in one program");
}

CWinApp::~CWinApp() {
    CWinApp* self = this;
    g_app.compare_exchange_strong(self, nullptr);
}

int CWinApp::RunProgram(int argc, WCHAR** argv) {
    m_arguments.clear();
    for (int i = 0; i < argc && argv; ++i) m_arguments.push_back(narrow(argv[i]));
    m_nThreadID = ::GetCurrentThreadId();

    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string full = path[0] ? std::string(path) : (m_arguments.empty() ? std::string() : m_arguments[0]);
    std::string name = full.substr(full.find_last_of("\\/") == std::string::npos ? 0 : full.find_last_of("\\/") + 1);
    m_exeName = name.substr(0, name.find_last_of('.'));
    m_pszExeName = m_exeName.c_str();
    size_t dot = full.find_last_of('.');
    m_helpPath = (dot != std::string::npos && dot > full.find_last_of("\\/") + 0 ? full.substr(0, dot) : full) + ".chm";
    m_pszHelpFilePath = m_helpPath.c_str();
    if (!m_pszAppName) {
        CString title;
        m_appName = title.LoadString(AFX_IDS_APP_TITLE) ? std::string(title.GetString()) : m_exeName;
        m_pszAppName = m_appName.c_str();
    }
    m_commandLine = arguments_of(::GetCommandLineA());
    m_lpCmdLine = m_commandLine.data();

    if (!InitApplication()) return -1;
    if (!InitInstance()) {
        if (m_pMainWnd && ::IsWindow(m_pMainWnd->m_hWnd)) m_pMainWnd->DestroyWindow();
        return ExitInstance();
    }
    return Run();
}

int CWinApp::Run() {
    if (!m_pMainWnd || !::IsWindow(m_pMainWnd->m_hWnd)) ::PostQuitMessage(0);
    return CWinThread::Run();
}

int CWinApp::ExitInstance() { return CWinThread::ExitInstance(); }

void CWinApp::ParseCommandLine(CCommandLineInfo& info) { hv_mfc_parse_arguments(info, m_arguments); }

void CWinApp::OnHelp() {
    CWnd* main = AfxGetMainWnd();
    ::HtmlHelpA(main ? main->m_hWnd : nullptr, m_pszHelpFilePath, HH_DISPLAY_TOPIC, 0);
}

CWinApp* AFXAPI AfxGetApp() { return g_app.load(); }

CWnd* AFXAPI AfxGetMainWnd() {
    CWinApp* app = AfxGetApp();
    return app ? app->m_pMainWnd : nullptr;
}

HINSTANCE AFXAPI AfxGetInstanceHandle() {
    CWinApp* app = AfxGetApp();
    return app ? app->m_hInstance : nullptr;
}

HINSTANCE AFXAPI AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

int AFXAPI AfxMessageBox(LPCSTR text, UINT type, UINT) {
    CWinApp* app = AfxGetApp();
    CWnd* main = AfxGetMainWnd();
    HWND owner = main && ::IsWindow(main->m_hWnd) ? main->m_hWnd : nullptr;
    return ::MessageBoxA(owner, text, app && app->m_pszAppName ? app->m_pszAppName : "", type);
}

int AFXAPI AfxMessageBox(UINT prompt_id, UINT type, UINT help_id) {
    CString text;
    text.LoadString(AfxGetResourceHandle(), prompt_id);
    return AfxMessageBox(text.GetString(), type, help_id);
}

void AFXAPI AfxEnableControlContainer() {}

// The program image's entry: the image's application object runs with the program's arguments.
int wmain(int argc, WCHAR** argv) {
    CWinApp* app = AfxGetApp();
    if (!HV_CLASSLIB_CHECK(app, "a program without an application object")) return -1;
    return app->RunProgram(argc, argv);
}
