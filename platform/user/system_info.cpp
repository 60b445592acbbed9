// What a process learns about itself and the machine: version, clock, folders, command line,
// environment, its image, and debugger output.
#include <windows.h>

#include <hv_wchar.h>

#include <algorithm>
#include <cstring>

#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

struct VersionSetting {
    std::mutex mutex;
    WindowsVersion version;
};
VersionSetting& version_setting() {
    static VersionSetting* v = new VersionSetting;
    return *v;
}

// The convention of GetCurrentDirectory, GetSystemDirectory and GetEnvironmentVariable: the
// length without terminator when it fits, else the size needed with the terminator.
template <class Char> DWORD copy_out(const std::basic_string<Char>& text, Char* buffer, DWORD size) {
    if (!buffer || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

bool equal_names(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return towlower(x) == towlower(y); });
}

template <class Info> BOOL fill_version(Info* info, size_t base_size, size_t extended_size) {
    if (!info) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const WindowsVersion v = windows_version();
    // The extended record came with Windows 2000; Windows 9x refuses it, so callers retry with
    // the plain one.
    const bool knows_extended = v.platform_id == VER_PLATFORM_WIN32_NT && v.major >= 5;
    if (info->dwOSVersionInfoSize != base_size && (info->dwOSVersionInfoSize != extended_size || !knows_extended)) {
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = v.major;
    info->dwMinorVersion = v.minor;
    info->dwBuildNumber = v.build;
    info->dwPlatformId = v.platform_id;
    using Char = std::remove_reference_t<decltype(info->szCSDVersion[0])>;
    std::basic_string<Char> csd;
    if constexpr (sizeof(Char) == 1)
        csd = narrow_ansi(v.service_pack);
    else
        csd = v.service_pack;
    const size_t n = std::min(csd.size(), std::size(info->szCSDVersion) - 1);
    std::fill(std::begin(info->szCSDVersion), std::end(info->szCSDVersion), Char(0));
    std::copy_n(csd.begin(), n, info->szCSDVersion);
    if (info->dwOSVersionInfoSize == extended_size) {
        auto* ex = reinterpret_cast<std::conditional_t<sizeof(Char) == 1, OSVERSIONINFOEXA, OSVERSIONINFOEXW>*>(info);
        ex->wServicePackMajor = v.service_pack_major;
        ex->wServicePackMinor = v.service_pack_minor;
        ex->wSuiteMask = v.suite_mask;
        ex->wProductType = v.product_type;
        ex->wReserved = 0;
    }
    return TRUE;
}

// Only the process's own image is known (a null module); the copy is truncated and terminated
// when the buffer is short, with ERROR_INSUFFICIENT_BUFFER.
template <class Char>
DWORD module_file_name(HMODULE module, const std::basic_string<Char>& path, Char* buffer, DWORD size) {
    if (module) {
        set_last_error(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!buffer || size == 0) {
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        std::copy_n(path.begin(), size - 1, buffer);
        buffer[size - 1] = 0;
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

} // namespace

void set_windows_version(const WindowsVersion& version) {
    auto& v = version_setting();
    std::lock_guard lock(v.mutex);
    v.version = version;
}

WindowsVersion windows_version() {
    auto& v = version_setting();
    std::lock_guard lock(v.mutex);
    return v.version;
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    // Windows 9x has the wide routines as stubs only.
    if (windows_version().platform_id != VER_PLATFORM_WIN32_NT) {
        set_last_error(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return fill_version(lpVersionInformation, sizeof(OSVERSIONINFOW), sizeof(OSVERSIONINFOEXW));
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    return fill_version(lpVersionInformation, sizeof(OSVERSIONINFOA), sizeof(OSVERSIONINFOEXA));
}

// Build in the high word (with bit 31 set on the Windows 9x platform), minor and major below.
DWORD WINAPI GetVersion(void) {
    const WindowsVersion v = windows_version();
    DWORD high = v.build & 0x7FFF;
    if (v.platform_id != VER_PLATFORM_WIN32_NT) high |= 0x8000;
    return (high << 16) | ((v.minor & 0xFF) << 8) | (v.major & 0xFF);
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

ULONGLONG WINAPI GetTickCount64(void) { return static_cast<ULONGLONG>(machine_time() / 10'000); }

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (!lpPerformanceCount) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = machine_time();
    return TRUE;
}

// The counter counts the machine clock's 100-ns ticks.
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (!lpFrequency) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpFrequency->QuadPart = 10'000'000;
    return TRUE;
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    if (!lpSystemTimeAsFileTime) return;
    const auto now = static_cast<ULONGLONG>(machine_system_time());
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(now);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(now >> 32);
}

LPWSTR WINAPI GetCommandLineW(void) { return current_process()->state().command_line_w.data(); }

LPSTR WINAPI GetCommandLineA(void) { return current_process()->state().command_line_a.data(); }

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    ProcessState& state = current_process()->state();
    std::lock_guard lock(state.mutex);
    return copy_out(state.current_directory, lpBuffer, nBufferLength);
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    ProcessState& state = current_process()->state();
    std::lock_guard lock(state.mutex);
    return copy_out(narrow_ansi(state.current_directory), lpBuffer, nBufferLength);
}

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
    if (!lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ProcessState& state = current_process()->state();
    std::lock_guard lock(state.mutex);
    for (const auto& [name, value] : state.environment)
        if (equal_names(name, lpName)) return copy_out(value, lpBuffer, nSize);
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
    if (!lpName || !*lpName || wcschr(lpName, u'=')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ProcessState& state = current_process()->state();
    std::lock_guard lock(state.mutex);
    auto& env = state.environment;
    auto it = std::find_if(env.begin(), env.end(), [&](const auto& entry) { return equal_names(entry.first, lpName); });
    if (!lpValue) {
        if (it != env.end()) env.erase(it);
        return TRUE;
    }
    if (it != env.end())
        it->second = lpValue;
    else
        env.emplace_back(lpName, lpValue);
    return TRUE;
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    return module_file_name(hModule, current_process()->options().image_path, lpFilename, nSize);
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    return module_file_name(hModule, narrow_ansi(current_process()->options().image_path), lpFilename, nSize);
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    return copy_out(std::u16string(system_directory), lpBuffer, uSize);
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    return copy_out(narrow_ansi(std::u16string(system_directory)), lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    return copy_out(std::u16string(windows_directory), lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    return copy_out(narrow_ansi(std::u16string(windows_directory)), lpBuffer, uSize);
}

UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) { return GetWindowsDirectoryW(lpBuffer, uSize); }

UINT WINAPI GetSystemWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) { return GetWindowsDirectoryA(lpBuffer, uSize); }

void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
    if (lpOutputString) debugger_output(to_utf8(lpOutputString));
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    if (lpOutputString) debugger_output(to_utf8(widen_ansi(lpOutputString)));
}

HV_EXTERN_C_END
