// An overlapped request of a test program, with an event of its own, on the machine's clock.
#pragma once

#include <windows.h>

namespace hvtest {

struct Pending {
    OVERLAPPED overlapped{};
    Pending() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Pending() { CloseHandle(overlapped.hEvent); }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    bool done() const { return HasOverlappedIoCompleted(&overlapped); }
    LONG status() const { return static_cast<LONG>(static_cast<ULONG>(overlapped.Internal)); }
    ULONG_PTR information() const { return overlapped.InternalHigh; }
    // Waits on the machine's clock, at most `milliseconds`; true when the request completed.
    bool wait(DWORD milliseconds = INFINITE) {
        return WaitForSingleObject(overlapped.hEvent, milliseconds) == WAIT_OBJECT_0;
    }
};

} // namespace hvtest
