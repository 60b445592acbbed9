#include "InstApp.h"

#include <securitybaseapi.h>

#include <vector>

#include "HvCommandLineInfo.h"
#include "InstallSheet.h"
#include "Resource.h"

namespace {

const char kMutexName[] = "{7C19D4A8-2B6E-4f05-93D1-E48A06C5B27F}";

// The token's groups, or none.
std::vector<BYTE> ReadTokenGroups(HANDLE token) {
    DWORD size = 0;
    if (GetTokenInformation(token, TokenGroups, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::vector<BYTE> groups(size);
    if (!GetTokenInformation(token, TokenGroups, groups.data(), size, &size)) return {};
    return groups;
}

} // namespace

CPmInstApp theApp;

BEGIN_MESSAGE_MAP(CPmInstApp, CWinApp)
ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CPmInstApp::CPmInstApp() : CWinApp(nullptr) {}

BOOL CPmInstApp::InitInstance() {
    InitCommonControls();
    CWinApp::InitInstance();

    HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexName);
    if (mutex && (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_ACCESS_DENIED)) {
        m_ExitCode = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    // The handle stays open for the life of the process.

    CHvCommandLineInfo info;
    ParseCommandLine(info);
    if (info.m_bSilent) return RunSilent();
    if (info.m_bHelp) {
        ShowUsage();
        return TRUE;
    }
    AfxEnableControlContainer();
    if (IsVistaOrLater() || IsUserAdmin()) {
        RunWizard();
    } else {
        AfxMessageBox(IDS_NO_RIGHTS, MB_ICONHAND);
    }
    return FALSE;
}

int CPmInstApp::ExitInstance() {
    CWinApp::ExitInstance();
    return static_cast<int>(m_ExitCode);
}

BOOL CPmInstApp::RunSilent() {
    CTarrowUSBInstallPage page(TRUE);
    CTarrowUSBInstallData data;
    if (!IsUserAdmin()) {
        AfxMessageBox(IDS_NO_RIGHTS, MB_ICONHAND);
        m_ExitCode = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    page.m_pInstallData = &data;
    page.RunInstall();
    // A silent run that installed nothing says so to whoever started it.
    m_ExitCode = data.m_Installed ? 0 : data.m_FailureCode;
    return TRUE;
}

void CPmInstApp::ShowUsage() {
    CString name;
    name.LoadString(IDS_WELCOME);
    name.Replace("Installation", "installation");
    CString usage;
    usage.Format("This setup application is for %s.\r\n\r\nUsage: \r\n\tSilent Installation -  setup.exe /s\r\n\tNormal "
                 "Installation -  setup.exe        \r\n",
                 name.GetString());
    MessageBoxA(nullptr, usage, "Setup.exe", MB_ICONINFORMATION);
}

void CPmInstApp::RunWizard() {
    const BOOL high_color = HasHighColorDisplay();
    HBITMAP watermark = LoadBitmapA(AfxGetResourceHandle(), MAKEINTRESOURCEA(high_color ? IDB_WATERMARK : IDB_WATERMARK_LOW));
    HBITMAP header = LoadBitmapA(AfxGetResourceHandle(), MAKEINTRESOURCEA(high_color ? IDB_HEADER : IDB_HEADER_LOW));
    auto* sheet = new CTarrowUSBInstallSheet(IDS_SHEET_CAPTION, nullptr, 0, watermark, nullptr, header);
    m_pMainWnd = sheet;
    sheet->DoModal();
    m_pMainWnd = nullptr;
    // A worker may still be on its last steps after the sheet has gone.
    sheet->m_pInstallData->WaitForWorkers();
    delete sheet->m_pInstallData;
    delete sheet;
    if (watermark) DeleteObject(watermark);
    if (header) DeleteObject(header);
}

BOOL CPmInstApp::HasHighColorDisplay() {
    HDC screen = GetDC(nullptr);
    if (!screen) return FALSE;
    const BOOL high = GetDeviceCaps(screen, BITSPIXEL) > 7;
    ReleaseDC(nullptr, screen);
    return high;
}

BOOL CPmInstApp::IsVistaOrLater() {
    OSVERSIONINFOEXA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version)) && version.dwMajorVersion > 5;
}

BOOL CPmInstApp::IsUserAdmin() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token)) {
        if (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return FALSE;
    }
    std::vector<BYTE> buffer = ReadTokenGroups(token);
    CloseHandle(token);
    if (buffer.empty()) return FALSE;
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators))
        return FALSE;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    BOOL admin = FALSE;
    for (DWORD i = 0; i < groups->GroupCount && !admin; ++i) {
        // A filtered administrator holds the group for deny entries only: no rights from it.
        const DWORD attributes = groups->Groups[i].Attributes;
        admin = EqualSid(groups->Groups[i].Sid, administrators) && (attributes & SE_GROUP_ENABLED) &&
                !(attributes & SE_GROUP_USE_FOR_DENY_ONLY);
    }
    FreeSid(administrators);
    return admin;
}
