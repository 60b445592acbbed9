// A program written against the kit's user-mode headers alone: it opens the end-to-end test
// device by its DOS name and by its interface path, exchanges data, cancels a pended read, and
// reports what it saw. Usage: e2e_program INTERFACE-PATH MESSAGE; exit code 0 when everything
// behaved, else the number of the step that did not. "e2e_program --leak" makes the driver leak
// pool, which its unload at shutdown reports; "e2e_program --crash" reads a member through a null pointer.
#include <windows.h>

#include <hv_stdio.h>
#include <hv_wchar.h>

namespace {

constexpr DWORD kGetCounts = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kLeak = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Counts {
    ULONG creates, reads, writes, controls, cleanups, closes;
};

int fail(int step, const WCHAR* what) {
    wprintf(u"step %d failed: %s (error %u)\n", step, what, GetLastError());
    return step;
}

} // namespace

int wmain(int argc, WCHAR** argv) {
    if (argc == 2 && lstrcmpW(argv[1], u"--leak") == 0) {
        HANDLE h = CreateFileW(u"\\\\.\\HVE2E", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD n = 0;
        if (h == INVALID_HANDLE_VALUE || !DeviceIoControl(h, kLeak, nullptr, 0, nullptr, 0, &n, nullptr))
            return fail(1, u"leak");
        CloseHandle(h);
        return 0;
    }
    if (argc == 2 && lstrcmpW(argv[1], u"--crash") == 0) {
        // A member of a structure at a null pointer, as a program bug makes it.
        volatile ULONG_PTR member = 8;
        return *reinterpret_cast<volatile int*>(member);
    }
    if (argc != 3) {
        wprintf(u"usage: %s INTERFACE-PATH MESSAGE\n", argv[0]);
        return 100;
    }
    // 1: an exclusive device refuses a second open.
    HANDLE h = CreateFileW(u"\\\\.\\HVE2E", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(1, u"open \\\\.\\HVE2E");
    if (CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) != INVALID_HANDLE_VALUE ||
        GetLastError() != ERROR_ACCESS_DENIED)
        return fail(1, u"second open");

    // 2: data goes round.
    char message[256];
    int length = WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, message, sizeof message, nullptr, nullptr) - 1;
    DWORD n = 0;
    if (length <= 0 || !WriteFile(h, message, static_cast<DWORD>(length), &n, nullptr) ||
        n != static_cast<DWORD>(length))
        return fail(2, u"write");
    char echo[256] = {};
    if (!ReadFile(h, echo, static_cast<DWORD>(length), &n, nullptr) || n != static_cast<DWORD>(length))
        return fail(2, u"read");
    WCHAR wide[256];
    MultiByteToWideChar(CP_UTF8, 0, echo, length + 1, wide, 256);
    wprintf(u"echo: %s\n", wide);
    CloseHandle(h);

    // 3: through the interface, a pended read ends with CancelIo.
    h = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(3, u"open the interface");
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ReadFile(h, echo, 4, nullptr, &overlapped) || GetLastError() != ERROR_IO_PENDING)
        return fail(3, u"read should pend");
    if (WaitForSingleObject(overlapped.hEvent, 2000) != WAIT_TIMEOUT) return fail(3, u"read ended early");
    CancelIo(h);
    if (GetOverlappedResult(h, &overlapped, &n, TRUE) || GetLastError() != ERROR_OPERATION_ABORTED)
        return fail(3, u"cancelled read");

    // 4: the driver counted every request; an unknown code and a short buffer are refused.
    Counts counts = {};
    if (!DeviceIoControl(h, kGetCounts, nullptr, 0, &counts, sizeof counts, &n, &overlapped))
        if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &overlapped, &n, TRUE))
            return fail(4, u"counts");
    wprintf(u"creates %u reads %u writes %u cleanups %u closes %u\n", counts.creates, counts.reads, counts.writes,
            counts.cleanups, counts.closes);
    if (counts.creates != 2 || counts.reads != 2 || counts.writes != 1 || counts.cleanups != 1 || counts.closes != 1)
        return fail(4, u"unexpected counts");
    if (DeviceIoControl(h, kGetCounts, nullptr, 0, &counts, 2, &n, &overlapped) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return fail(4, u"short buffer");
    if (DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x999, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
                        nullptr, 0, &n, &overlapped) ||
        GetLastError() != ERROR_INVALID_FUNCTION)
        return fail(4, u"unknown code");
    CloseHandle(overlapped.hEvent);

    // 5: a closed handle is refused.
    CloseHandle(h);
    if (ReadFile(h, echo, 1, &n, nullptr) || GetLastError() != ERROR_INVALID_HANDLE)
        return fail(5, u"closed handle");
    wprintf(u"all steps passed\n");
    return 0;
}
