// A program image of the MFC-like layer: its application object parses the command line and
// gives the program's exit code. "exit_code_program N" ends with N after the message loop;
// "exit_code_program /fail" ends from InitInstance with 3; "/name" prints the program's names;
// "/string" prints a string of the image's own table.
#include <afxwin.h>

#include <hv_resource.h>
#include <hv_stdio.h>

#include <cstdlib>

HV_STRINGTABLE_BEGIN
HV_STRING(100, u"a string of the program's image")
HV_STRINGTABLE_END

namespace {

class CExitCodeInfo : public CCommandLineInfo {
public:
    void ParseParam(const char* param, BOOL flag, BOOL) override {
        if (!flag)
            m_code = std::atoi(param);
        else if (lstrcmpiA(param, "fail") == 0)
            m_fail = TRUE;
        else if (lstrcmpiA(param, "name") == 0)
            m_name = TRUE;
        else if (lstrcmpiA(param, "string") == 0)
            m_string = TRUE;
    }
    int m_code = 0;
    BOOL m_fail = FALSE;
    BOOL m_name = FALSE;
    BOOL m_string = FALSE;
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
        if (info.m_string) {
            CString text;
            text.LoadString(100);
            WCHAR wide[64];
            MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 64);
            wprintf(u"string %s\n", wide);
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
