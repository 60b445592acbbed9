// A program for the machine's process tests, written against the user-mode headers alone.
// Usage: probe COMMAND [ARGUMENTS]
//   exit N               ends with exit code N
//   record PATH          writes its command line and current folder to the file PATH, one a line
//   wait EVENT           holds until the named event is set
//   spawn COMMAND-LINE   starts COMMAND-LINE with CreateProcessW and ends with its exit code
//   schedule PATH        schedules PATH for deletion at the next start; ends with the error
#include <windows.h>

#include <hv_wchar.h>

namespace {

int record(const WCHAR* path) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 10;
    WCHAR folder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, folder);
    char text[2 * MAX_PATH + 64];
    int length = WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, text, sizeof text, nullptr, nullptr) - 1;
    text[length++] = '\n';
    length += WideCharToMultiByte(CP_UTF8, 0, folder, -1, text + length, sizeof text - length, nullptr, nullptr) - 1;
    text[length++] = '\n';
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
    return ok ? 0 : 11;
}

int spawn(WCHAR* command_line) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        return 20;
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(started.hProcess, &code);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return static_cast<int>(code);
}

} // namespace

int wmain(int argc, WCHAR** argv) {
    if (argc == 3 && lstrcmpW(argv[1], u"exit") == 0) return _wtoi(argv[2]);
    if (argc == 3 && lstrcmpW(argv[1], u"record") == 0) return record(argv[2]);
    if (argc == 3 && lstrcmpW(argv[1], u"wait") == 0) {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, argv[2]);
        if (!event) return 30;
        WaitForSingleObject(event, INFINITE);
        CloseHandle(event);
        return 0;
    }
    if (argc == 3 && lstrcmpW(argv[1], u"spawn") == 0) return spawn(argv[2]);
    if (argc == 3 && lstrcmpW(argv[1], u"schedule") == 0)
        return MoveFileExW(argv[2], nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 0 : static_cast<int>(GetLastError());
    return 100;
}
