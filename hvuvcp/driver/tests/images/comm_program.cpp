// A serial program on a looped-back COM port, as applications use kernel32: the port's
// configuration, two pended reads of which one is cancelled, a write whose completion routine
// runs in an alertable wait, a flush that waits for a long write, and the port's default
// configuration by name. Usage: comm_program COMn; exit code 0 when everything behaved, else the
// number of the step that did not.
#include <windows.h>

#include <hv_stdio.h>
#include <hv_wchar.h>

#include <string.h>

namespace {

int fail(int step, const char16_t* what) {
    wprintf(u"step %d failed: %s (error %u)\n", step, what, GetLastError());
    return step;
}

struct Written {
    DWORD calls = 0;
    DWORD error = 0xFFFFFFFF;
    DWORD bytes = 0;
    LPOVERLAPPED overlapped = nullptr;
} g_written;

VOID WINAPI on_written(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
    ++g_written.calls;
    g_written.error = error;
    g_written.bytes = bytes;
    g_written.overlapped = overlapped;
}

// Reads until `length` bytes arrived; false on an error.
bool read_all(HANDLE port, char* buffer, DWORD length) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD total = 0;
    bool ok = true;
    while (ok && total < length) {
        DWORD n = 0;
        if (!ReadFile(port, buffer + total, length - total, &n, &overlapped))
            ok = GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(port, &overlapped, &n, TRUE);
        total += n;
    }
    CloseHandle(overlapped.hEvent);
    return ok;
}

} // namespace

int wmain(int argc, WCHAR** argv) {
    if (argc != 2) {
        wprintf(u"usage: %s COMn\n", argv[0]);
        return 100;
    }
    const WCHAR* name = argv[1];
    WCHAR path[32] = u"\\\\.\\";
    lstrcatW(path, name);
    HANDLE port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return fail(1, u"open");

    // 2: the configuration needs room for a COMMCONFIG, says how much, and carries the DCB.
    COMMCONFIG config{};
    DWORD size = 8;
    if (GetCommConfig(port, &config, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        size != sizeof config)
        return fail(2, u"GetCommConfig with a short buffer");
    if (!GetCommConfig(port, &config, &size) || config.dwSize != sizeof config || config.wVersion != 1 ||
        config.dcb.DCBlength != sizeof(DCB) || config.dwProviderSubType != PST_RS232)
        return fail(2, u"GetCommConfig");
    config.dcb.BaudRate = 9600;
    config.dcb.ByteSize = 8;
    config.dcb.Parity = NOPARITY;
    config.dcb.StopBits = ONESTOPBIT;
    config.dcb.fOutxCtsFlow = 0;
    config.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommConfig(port, &config, sizeof config))
        return fail(2, u"SetCommConfig");
    DCB dcb{};
    if (!GetCommState(port, &dcb) || dcb.BaudRate != 9600)
        return fail(2, u"the baud rate SetCommConfig set");
    COMMTIMEOUTS timeouts{};
    if (!SetCommTimeouts(port, &timeouts))
        return fail(2, u"SetCommTimeouts");

    // 3: of two pended reads, CancelIoEx ends the one it names; the other stays.
    OVERLAPPED first{}, second{};
    first.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    second.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char first_data[4] = {}, second_data[4] = {};
    if (ReadFile(port, first_data, 4, nullptr, &first) || GetLastError() != ERROR_IO_PENDING ||
        ReadFile(port, second_data, 4, nullptr, &second) || GetLastError() != ERROR_IO_PENDING)
        return fail(3, u"two pended reads");
    if (!CancelIoEx(port, &first))
        return fail(3, u"CancelIoEx");
    DWORD n = 0;
    if (WaitForSingleObject(first.hEvent, 5000) != WAIT_OBJECT_0 ||
        GetOverlappedResult(port, &first, &n, FALSE) || GetLastError() != ERROR_OPERATION_ABORTED)
        return fail(3, u"the cancelled read");
    if (HasOverlappedIoCompleted(&second))
        return fail(3, u"the other read ended too");
    if (CancelIoEx(port, &first) || GetLastError() != ERROR_NOT_FOUND)
        return fail(3, u"CancelIoEx of an ended read");

    // 4: WriteFileEx's routine runs in an alertable wait of this thread, and only there.
    OVERLAPPED write{};
    if (!WriteFileEx(port, "wxyz", 4, &write, on_written))
        return fail(4, u"WriteFileEx");
    Sleep(100);
    if (g_written.calls != 0)
        return fail(4, u"the routine ran outside an alertable wait");
    if (SleepEx(5000, TRUE) != WAIT_IO_COMPLETION)
        return fail(4, u"SleepEx");
    if (g_written.calls != 1 || g_written.error != 0 || g_written.bytes != 4 ||
        g_written.overlapped != &write)
        return fail(4, u"the completion routine's arguments");

    // 5: the remaining read has the looped-back bytes.
    if (!GetOverlappedResult(port, &second, &n, TRUE) || n != 4 || second_data[0] != 'w' ||
        second_data[3] != 'z')
        return fail(5, u"the second read");

    // 6: a flush returns once a write that takes two seconds on the line is done.
    static char outgoing[2000], incoming[2000];
    for (DWORD i = 0; i < sizeof outgoing; ++i)
        outgoing[i] = static_cast<char>('a' + i % 26);
    OVERLAPPED long_write{};
    long_write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const ULONGLONG start = GetTickCount64();
    if (!WriteFile(port, outgoing, sizeof outgoing, nullptr, &long_write) &&
        GetLastError() != ERROR_IO_PENDING)
        return fail(6, u"the long write");
    if (!FlushFileBuffers(port))
        return fail(6, u"FlushFileBuffers");
    const ULONGLONG flushed = GetTickCount64() - start;
    if (!HasOverlappedIoCompleted(&long_write))
        return fail(6, u"the write still ran after the flush");
    if (!GetOverlappedResult(port, &long_write, &n, FALSE) || n != sizeof outgoing)
        return fail(6, u"the long write's count");
    if (flushed < 1500)
        return fail(6, u"the flush returned before the line could send the data");
    if (!read_all(port, incoming, sizeof incoming) || memcmp(incoming, outgoing, sizeof incoming) != 0)
        return fail(6, u"the long write's data");

    // 7: the machine lists the port, and its default configuration is kept by name.
    ULONG numbers[16] = {}, found = 0;
    const ULONG number = static_cast<ULONG>(_wtoi(name + 3));
    bool listed = false;
    if (GetCommPorts(numbers, 16, &found) != ERROR_SUCCESS)
        return fail(7, u"GetCommPorts");
    for (ULONG i = 0; i < found; ++i)
        listed = listed || numbers[i] == number;
    if (!listed)
        return fail(7, u"the port is not listed");
    COMMCONFIG defaults{};
    size = sizeof defaults;
    if (!GetDefaultCommConfigW(name, &defaults, &size))
        return fail(7, u"GetDefaultCommConfigW");
    defaults.dcb.BaudRate = 19200;
    defaults.dcb.Parity = EVENPARITY;
    defaults.dcb.ByteSize = 7;
    if (!SetDefaultCommConfigW(name, &defaults, sizeof defaults))
        return fail(7, u"SetDefaultCommConfigW");
    COMMCONFIG again{};
    size = sizeof again;
    if (!GetDefaultCommConfigW(name, &again, &size) || again.dcb.BaudRate != 19200 ||
        again.dcb.Parity != EVENPARITY || again.dcb.ByteSize != 7)
        return fail(7, u"the default configuration read back");

    CloseHandle(first.hEvent);
    CloseHandle(second.hEvent);
    CloseHandle(long_write.hEvent);
    CloseHandle(port);
    wprintf(u"all steps passed (flush after %u ms)\n", static_cast<unsigned>(flushed));
    return 0;
}
