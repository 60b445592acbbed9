#include "PmUninstallOperation.h"

#include <cfgmgr32.h>
#include <io.h>

#include <cerrno>

#include "UninstallUtil.h"

BOOL ReadString(HKEY key, LPCSTR name, CString& value) {
    constexpr DWORD kValueBytes = 260;
    char buffer[kValueBytes + 1] = {};
    DWORD type = 0, size = kValueBytes;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return FALSE;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return FALSE;
    value = buffer;
    return TRUE;
}

void CPmUninstallOperation::SetBar(CProgressCtrl* bar, int lower, int upper) {
    if (!bar || !bar->GetSafeHwnd()) return;
    bar->SetRange(static_cast<short>(lower), static_cast<short>(upper));
    // A bar the previous step filled starts again from its beginning, not from where it was.
    bar->SetPos(lower);
    bar->SetStep(1);
}

void CPmUninstallOperation::StepBar(CProgressCtrl* bar) {
    if (bar && bar->GetSafeHwnd()) bar->StepIt();
}

void CPmUninstallOperation::FillBar(CProgressCtrl* bar) {
    SetBar(bar, 0, 1);
    StepBar(bar);
}

CPmUninstallOperation::DeleteResult CPmUninstallOperation::DeletePath(CPmUninstallData& data, LPCSTR path) {
    if (_access(path, 6) != 0) {
        if (errno == ENOENT) return DeleteResult::Missing;
        if (_chmod(path, _S_IREAD | _S_IWRITE) != 0) {
            CString text;
            text.Format("Can't change permission access for file: %s.", path);
            CWinApp* app = AfxGetApp();
            ::MessageBoxA(nullptr, text, app ? app->m_pszAppName : nullptr, MB_ICONEXCLAMATION | MB_OK);
        }
    }
    if (_unlink(path) == 0) return DeleteResult::Deleted;
    if (errno == ENOENT) return DeleteResult::Missing;
    // In use or protected: it goes at the next start, and only a restart completes the removal.
    if (!data.m_FailedDeletionList.Find(path)) data.m_FailedDeletionList.AddTail(path);
    MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    data.m_bRebootNeeded = TRUE;
    return DeleteResult::Scheduled;
}

BOOL CPmUninstallOperation::RescanDevices(BOOL* needRestart) {
    *needRestart = FALSE;
    DEVINST root = 0;
    if (CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return FALSE;
    const CONFIGRET result = CM_Reenumerate_DevNode(root, 0);
    if (result == CR_SUCCESS) return TRUE;
    if (result == CR_NEED_RESTART) *needRestart = TRUE;
    return FALSE;
}

BOOL CPmUninstallOperation::DeleteInstalledUninstaller() {
    CString systemDir;
    CWinApp* app = AfxGetApp();
    if (!CUninstallUtil().m_GetSystemDir(systemDir) || !app || !app->m_pszExeName || !*app->m_pszExeName)
        return FALSE;
    CString path;
    path.Format("%s\\%s.exe", systemDir.GetString(), app->m_pszExeName);
    CString commandLine;
    commandLine.Format("command.com /c del \"%s\"", path.GetString());

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};

    HANDLE token = nullptr, primary = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token))
        DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityDelegation, TokenPrimary, &primary);

    const DWORD previousPriority = GetPriorityClass(GetCurrentProcess());
    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    BOOL started;
    if (primary)
        started = CreateProcessAsUserA(primary, nullptr, commandLine.GetBuffer(), nullptr, nullptr, TRUE,
                                       NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process);
    else
        started = CreateProcessA(nullptr, commandLine.GetBuffer(), nullptr, nullptr, TRUE,
                                 NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process);
    // The raised class only serves the start of the command; the program goes on at its own.
    SetPriorityClass(GetCurrentProcess(), previousPriority ? previousPriority : NORMAL_PRIORITY_CLASS);
    if (primary) CloseHandle(primary);
    if (token) CloseHandle(token);

    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return TRUE;
    }
    // A system without the command interpreter (every x64 one): the file goes at the next start.
    return MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}
