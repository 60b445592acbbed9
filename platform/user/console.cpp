// Standard handles and console output of a process, and the CRT's wide console output.
#include <windows.h>

#include <hv_stdio.h>
#include <hv_wchar.h>
#include <hvsim/format.h>

#include "internal/handles.h"

namespace hvsim::user {
namespace {

// The console the process's standard handles name: stream 0 input, 1 output, 2 error.
class ConsoleObject : public UserObject {
public:
    explicit ConsoleObject(int stream) : UserObject(ObjectKind::Console), stream(stream) {}
    const int stream;
};

int stream_of(DWORD std_handle) {
    switch (std_handle) {
    case STD_INPUT_HANDLE: return 0;
    case STD_OUTPUT_HANDLE: return 1;
    case STD_ERROR_HANDLE: return 2;
    default: return -1;
    }
}

// WriteConsole: the characters, converted to the output's UTF-8, to the console of the handle.
template <class Convert>
BOOL write_console(HANDLE handle, const void* buffer, DWORD count, LPDWORD written, Convert convert) {
    auto object = resolve_handle(handle, ObjectKind::Console);
    if (!object) return FALSE;
    if (!buffer && count) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!console_write(*object, buffer ? convert() : std::string(), nullptr)) return FALSE;
    if (written) *written = count;
    return TRUE;
}

} // namespace

bool console_write(UserObject& object, std::string_view bytes, DWORD* written) {
    auto& console = static_cast<ConsoleObject&>(object);
    if (console.stream == 0) {
        set_last_error(ERROR_ACCESS_DENIED);
        return false;
    }
    current_process()->state().write_output(console.stream, bytes);
    if (written) *written = static_cast<DWORD>(bytes.size());
    return true;
}

// The machine passes no input to programs: standard input is at its end.
bool console_read(UserObject& object, DWORD* read) {
    auto& console = static_cast<ConsoleObject&>(object);
    if (console.stream != 0) {
        set_last_error(ERROR_ACCESS_DENIED);
        return false;
    }
    if (read) *read = 0;
    return true;
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    const int stream = stream_of(nStdHandle);
    if (stream < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    ProcessState& state = current_process()->state();
    std::lock_guard lock(state.mutex);
    // Made at first use, so that a program that never writes holds no handles for them.
    if (!state.std_handles[stream]) {
        DWORD access = stream == 0 ? GENERIC_READ | SYNCHRONIZE : GENERIC_WRITE | SYNCHRONIZE;
        state.std_handles[stream] = state.handles.insert(std::make_shared<ConsoleObject>(stream), access);
    }
    return state.std_handles[stream];
}

BOOL WINAPI SetStdHandle(DWORD nStdHandle, HANDLE hHandle) {
    const int stream = stream_of(nStdHandle);
    if (stream < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ProcessState& state = current_process()->state();
    std::lock_guard lock(state.mutex);
    state.std_handles[stream] = hHandle;
    return TRUE;
}

BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const VOID* lpBuffer, DWORD nNumberOfCharsToWrite,
                          LPDWORD lpNumberOfCharsWritten, LPVOID) {
    return write_console(hConsoleOutput, lpBuffer, nNumberOfCharsToWrite, lpNumberOfCharsWritten, [&] {
        return to_utf8(std::u16string_view(static_cast<const WCHAR*>(lpBuffer), nNumberOfCharsToWrite));
    });
}

BOOL WINAPI WriteConsoleA(HANDLE hConsoleOutput, const VOID* lpBuffer, DWORD nNumberOfCharsToWrite,
                          LPDWORD lpNumberOfCharsWritten, LPVOID) {
    return write_console(hConsoleOutput, lpBuffer, nNumberOfCharsToWrite, lpNumberOfCharsWritten, [&] {
        std::string_view text(static_cast<const char*>(lpBuffer), nNumberOfCharsToWrite);
        return to_utf8(hvsim::text::ansi_to_wide(text));
    });
}

HV_EXTERN_C_END

int vwprintf(const WCHAR* format, va_list args) {
    if (!format) return -1;
    std::u16string text = hvsim::text::vformat(format, args);
    current_process()->state().write_output(1, to_utf8(text));
    return static_cast<int>(text.size());
}

int wprintf(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vwprintf(format, args);
    va_end(args);
    return n;
}
