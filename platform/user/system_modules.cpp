// The system modules: every process has them loaded, GetModuleHandle and LoadLibrary give
// their handles, and GetProcAddress finds in them the platform's routines that the machine's
// Windows version exports (the routines that came with a later version are missing on an
// older one).
//
//   GetModuleHandleW/A               system modules, loaded libraries, NULL for the own image
//   Wow64EnableWow64FsRedirection    a 64-bit system's switch, from Windows XP
#include <windows.h>

#include <hvsim/format.h>
#include <hvsim/user.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "internal/system_modules.h"
#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

struct SystemModule {
    const char16_t* name; // upper case, with its extension
};
// The handle of a system module is the address of its row.
constexpr SystemModule kSystemModules[] = {
    {u"NTDLL.DLL"},    {u"KERNEL32.DLL"}, {u"KERNELBASE.DLL"}, {u"ADVAPI32.DLL"}, {u"USER32.DLL"},
    {u"GDI32.DLL"},    {u"COMCTL32.DLL"}, {u"SHLWAPI.DLL"},    {u"SHELL32.DLL"},  {u"SETUPAPI.DLL"},
    {u"CFGMGR32.DLL"}, {u"NEWDEV.DLL"},   {u"MSPORTS.DLL"},
};

// Exports that a Windows version before `major.minor` (and every Windows 9x) does not have.
struct VersionedExport {
    const char16_t* module;
    const char* name;
    DWORD major;
    DWORD minor;
};
constexpr VersionedExport kVersionedExports[] = {
    {u"KERNEL32.DLL", "GetFileSizeEx", 5, 0},
    {u"KERNEL32.DLL", "SetFilePointerEx", 5, 0},
    {u"KERNEL32.DLL", "Wow64EnableWow64FsRedirection", 5, 1},
    {u"KERNEL32.DLL", "CreateActCtxW", 5, 1},
    {u"KERNEL32.DLL", "ActivateActCtx", 5, 1},
    {u"KERNEL32.DLL", "DeactivateActCtx", 5, 1},
    {u"KERNEL32.DLL", "ReleaseActCtx", 5, 1},
    {u"KERNEL32.DLL", "GetTickCount64", 6, 0},
    {u"KERNEL32.DLL", "CancelIoEx", 6, 0},
    {u"ADVAPI32.DLL", "RegDeleteKeyExA", 5, 2},
    {u"ADVAPI32.DLL", "RegDeleteKeyExW", 5, 2},
};

bool version_has(const VersionedExport& e) {
    const WindowsVersion v = windows_version();
    if (v.platform_id != VER_PLATFORM_WIN32_NT) return false;
    return v.major > e.major || (v.major == e.major && v.minor >= e.minor);
}

const SystemModule* row_of(HMODULE module) {
    for (const auto& row : kSystemModules)
        if (reinterpret_cast<HMODULE>(const_cast<SystemModule*>(&row)) == module) return &row;
    return nullptr;
}

// The platform's own libraries hold every routine of every system module.
bool platform_library(const void* symbol) {
    Dl_info info{};
    if (!dladdr(symbol, &info) || !info.dli_fname) return false;
    const std::string_view file =
        std::strrchr(info.dli_fname, '/') ? std::strrchr(info.dli_fname, '/') + 1 : info.dli_fname;
    return file.starts_with("libhvuser.") || file.starts_with("libhvui.");
}

thread_local bool t_redirection = true;

} // namespace

HMODULE system_module(std::u16string_view name) {
    std::u16string key = text::upcase(name);
    // A path names a system module only in the system folder.
    if (const size_t slash = key.find_last_of(u"\\/"); slash != std::u16string::npos) {
        if (key.substr(0, slash) != text::upcase(system_directory)) return nullptr;
        key = key.substr(slash + 1);
    }
    if (key.find(u'.') == std::u16string::npos) key += u".DLL";
    for (const auto& row : kSystemModules)
        if (key == row.name) return reinterpret_cast<HMODULE>(const_cast<SystemModule*>(&row));
    return nullptr;
}

bool is_system_module(HMODULE module) { return row_of(module) != nullptr; }

FARPROC system_export(HMODULE module, const char* name) {
    const SystemModule* row = row_of(module);
    if (!row || !name) {
        set_last_error(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    for (const auto& e : kVersionedExports)
        if (std::u16string_view(e.module) == row->name && std::strcmp(e.name, name) == 0 && !version_has(e)) {
            set_last_error(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
    void* symbol = dlsym(RTLD_DEFAULT, name);
    if (!symbol) {
        // The window system's library may be mapped only for a program image, out of the global
        // scope.
        if (void* ui = dlopen("libhvui.so", RTLD_LAZY | RTLD_NOLOAD)) {
            symbol = dlsym(ui, name);
            dlclose(ui);
        }
    }
    if (!symbol || !platform_library(symbol)) {
        set_last_error(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    if (!lpModuleName) {
        ProcessState& state = current_process()->state();
        if (state.image_module) return static_cast<HMODULE>(state.image_module);
        // The machine's own process: the host program.
        static void* host = dlopen(nullptr, RTLD_LAZY);
        return static_cast<HMODULE>(host);
    }
    if (HMODULE module = system_module(lpModuleName)) return module;
    if (HMODULE module = loaded_library(lpModuleName)) return module;
    set_last_error(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (!lpModuleName) return GetModuleHandleW(nullptr);
    return GetModuleHandleW(widen_ansi(lpModuleName).c_str());
}

// Programs of this machine are native 64-bit ones, so there is nothing to redirect; the switch is
// kept per thread as a 64-bit system keeps it.
BOOLEAN WINAPI Wow64EnableWow64FsRedirection(BOOLEAN Wow64FsEnableRedirection) {
    t_redirection = Wow64FsEnableRedirection != 0;
    return TRUE;
}

HV_EXTERN_C_END
