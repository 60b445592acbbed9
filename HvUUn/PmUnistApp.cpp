#include "PmUnistApp.h"

#include <commctrl.h>

#include <vector>

#include "HvCommandLineInfo.h"
#include "PmUninstallSheet.h"
#include "PmWin95Dialog.h"
#include "UninstallUtil.h"
#include "resource.h"

namespace {

const char kInstanceMutex[] = "{9A52E7C1-04B8-4D3F-A6E9-72C15B8D40E3}";

BOOL GetVersionRecord(OSVERSIONINFOEXA& version) {
    version = {};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) return TRUE;
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
}

} // namespace

CPmUnistApp theApp;

BEGIN_MESSAGE_MAP(CPmUnistApp, CWinApp)
END_MESSAGE_MAP()

BOOL CPmUnistApp::InitInstance() {
    m_nExitCode = 1;
    // One uninstaller at a time; the handle stays open for the life of the process.
    if (HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutex)) {
        const DWORD error = GetLastError();
        ReleaseMutex(mutex);
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) return FALSE;
    }

    InitCommonControls();
    CWinApp::InitInstance();
    AfxEnableControlContainer();

    if (IsWindows95()) {
        CPmWin95Dialog dialog;
        m_pMainWnd = &dialog;
        dialog.DoModal();
        m_pMainWnd = nullptr;
        if (dialog.Uninstalled()) m_nExitCode = 0;
        return FALSE;
    }

    if (CUninstallUtil().m_IsWin2000OrLater() && !IsUserAnAdministrator()) {
        AfxMessageBox(IDS_NOT_ADMINISTRATOR, MB_ICONERROR);
        return FALSE;
    }

    const BOOL colour = HasColourDisplay();
    HBITMAP watermark = LoadBitmapA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(colour ? IDB_WATERMARK : IDB_WATERMARK_16));
    HBITMAP header = LoadBitmapA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(colour ? IDB_HEADER : IDB_HEADER_16));

    CHvCommandLineInfo commandLine;
    ParseCommandLine(commandLine);

    {
        CPmUninstallSheet sheet(IDS_SHEET_CAPTION, nullptr, 0, watermark, nullptr, header, commandLine.m_bSilent);
        if (!sheet.HasOperation()) {
            AfxMessageBox(IDS_NO_OPERATION, MB_ICONERROR);
        } else {
            sheet.m_psh.hInstance = AfxGetInstanceHandle();
            m_pMainWnd = &sheet;
            sheet.DoModal();
            m_pMainWnd = nullptr;
            if (sheet.Uninstalled()) m_nExitCode = 0;
        }
    }
    if (watermark) DeleteObject(watermark);
    if (header) DeleteObject(header);
    return FALSE;
}

int CPmUnistApp::ExitInstance() {
    CWinApp::ExitInstance();
    return m_nExitCode;
}

BOOL IsUserAnAdministrator() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        if (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return FALSE;
    }
    BOOL administrator = FALSE;
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenGroups, nullptr, 0, &size) && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        std::vector<BYTE> buffer(size);
        auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        if (GetTokenInformation(token, TokenGroups, groups, size, &size) &&
            AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                     0, 0, 0, &administrators)) {
            for (DWORD i = 0; i < groups->GroupCount && !administrator; ++i) {
                // A filtered administrator holds the group for deny entries only: not enabled.
                const DWORD attributes = groups->Groups[i].Attributes;
                administrator = EqualSid(groups->Groups[i].Sid, administrators) && (attributes & SE_GROUP_ENABLED) &&
                                !(attributes & SE_GROUP_USE_FOR_DENY_ONLY);
            }
            FreeSid(administrators);
        }
    }
    CloseHandle(token);
    return administrator;
}

BOOL HasColourDisplay() {
    HDC screen = GetDC(nullptr);
    if (!screen) return FALSE;
    const int bits = GetDeviceCaps(screen, BITSPIXEL);
    ReleaseDC(nullptr, screen);
    return bits > 7;
}

BOOL IsWindows95() {
    OSVERSIONINFOEXA version;
    return GetVersionRecord(version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
           version.dwMajorVersion == 4 && version.dwMinorVersion == 0;
}
