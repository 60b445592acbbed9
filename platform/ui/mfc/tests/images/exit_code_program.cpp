// A program image of the MFC-like layer: its application object parses the command line and
// gives the program's exit code. "exit_code_program N" ends with N after the message loop;
// "exit_code_program /fail" ends from InitInstance with 3; "/name" prints the program's names.
#include <afxwin.h>

#include <hv_stdio.h>

#include <cstdlib>

namespace {

class CExitCodeInfo : public CCommandLineInfo {
public:
    void ParseParam(const char* param, BOOL flag, BOOL) override {
        if (!flag) m_code = std::atoi(param);
        else if (lstrcmpiA(param, "fail") == 0) m_fail = TRUE;
        else if (lstrcmpiA(param, "name") == 0) m_name = TRUE;
    }
    int m_code = 0;
    BOOL m_fail = FALSE;
    BOOL m_name = FALSE;
};

class CExitCodeApp : public CWinApp {
public:
    BOOL InitInstance() override {
        CWinApp::InitInstance();
        CExitCodeInfo info;
        ParseCommandLine(info);
        if (info.m_name) {
            WCHAR exe[64], app[64];
            MultiByteToWideChar(CP_ACP, 0, m_pszExeName, -1, exe, 64);
            MultiByteToWideChar(CP_ACP, 0, m_pszAppName, -1, app, 64);
            wprintf(u"exe %s, app %s\n", exe, app);
        }
        m_code = info.m_fail ? 3 : info.m_code;
        return !info.m_fail;
    }
    int ExitInstance() override {
        CWinApp::ExitInstance();
        return m_code;
    }

private:
    int m_code = 0;
};

CExitCodeApp theApp;

} // namespace
