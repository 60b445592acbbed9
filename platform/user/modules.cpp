// Libraries and local and global memory (kernel32).
//
//   LoadLibraryW/A   a system module (system_modules.cpp), or a library image of the machine,
//                    loaded with dlopen and in use for the file routines while loaded; a bare
//                    name is looked for in C:\Windows\System32, then in the current directory
//   GetProcAddress, FreeLibrary
//   LocalAlloc, LocalFree, GlobalAlloc, GlobalFree, GlobalLock, GlobalUnlock
#include <windows.h>

#include <hvsim/user_hooks.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "internal/machine_files.h"
#include "internal/setupapi_platform.h"
#include "internal/system_modules.h"
#include "internal/user_internal.h"

namespace {

using namespace hvsim::user;

using DllEntry = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

struct Library {
    size_t references = 0;      // LoadLibrary count
    std::filesystem::path file; // empty for a system module
    std::shared_ptr<files::ShareClaim> claim;
};
struct Modules {
    std::mutex mutex;
    std::map<void*, Library> loaded; // dlopen handle (or system module) -> its loads
};
Modules& modules() {
    static Modules* m = new Modules;
    return *m;
}

std::filesystem::path find_library(const std::u16string& name) {
    if (name.find(u'\\') != std::u16string::npos || name.find(u'/') != std::u16string::npos)
        return devices::host_path(name, true);
    for (std::u16string folder : {std::u16string(system_directory), current_process()->state().current_directory}) {
        auto path = devices::host_path(folder + u"\\" + name, true);
        if (!path.empty()) return path;
    }
    return {};
}

} // namespace

namespace hvsim::user {

size_t loaded_libraries() {
    auto& m = modules();
    std::lock_guard lock(m.mutex);
    size_t total = 0;
    for (auto& [handle, library] : m.loaded) total += library.references;
    return total;
}

HMODULE loaded_library(std::u16string_view name) {
    const std::u16string wanted(name);
    auto& m = modules();
    std::lock_guard lock(m.mutex);
    for (auto& [handle, library] : m.loaded) {
        if (library.file.empty()) continue;
        const std::u16string file = widen_ansi(library.file.filename().string().c_str());
        const std::u16string stem = widen_ansi(library.file.stem().string().c_str());
        if (files::same_name(file, wanted) || files::same_name(stem, wanted) ||
            files::same_name(file, wanted.substr(wanted.find_last_of(u"\\/") + 1)))
            return static_cast<HMODULE>(handle);
    }
    return nullptr;
}

} // namespace hvsim::user

HV_EXTERN_C_BEGIN

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (HMODULE module = system_module(lpLibFileName)) {
        auto& m = modules();
        std::lock_guard lock(m.mutex);
        ++m.loaded[module].references;
        return module;
    }
    std::filesystem::path path = find_library(lpLibFileName);
    if (path.empty()) {
        set_last_error(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        debugger_output(std::string("LoadLibrary: ") + dlerror() + "\n");
        set_last_error(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    HMODULE module = reinterpret_cast<HMODULE>(handle);
    bool first;
    {
        auto& m = modules();
        std::lock_guard lock(m.mutex);
        Library& library = m.loaded[handle];
        first = library.references++ == 0;
        if (first) {
            library.file = path;
            library.claim = files::claim_image(path);
        }
    }
    // The library's entry point sees its first load, as on Windows.
    if (first) {
        if (auto entry = reinterpret_cast<DllEntry>(dlsym(handle, "DllMain"));
            entry && !entry(module, DLL_PROCESS_ATTACH, nullptr)) {
            {
                auto& m = modules();
                std::lock_guard lock(m.mutex);
                m.loaded.erase(handle);
            }
            dlclose(handle);
            set_last_error(ERROR_DLL_INIT_FAILED);
            return nullptr;
        }
    }
    return module;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string name = widen_ansi(lpLibFileName);
    return LoadLibraryW(name.c_str());
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (is_system_module(hModule)) {
        if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
            set_last_error(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return system_export(hModule, lpProcName);
    }
    // The process's own image needs no LoadLibrary.
    const bool own_image = hModule && hModule == GetModuleHandleW(nullptr);
    if (!own_image) {
        auto& m = modules();
        std::lock_guard lock(m.mutex);
        if (!m.loaded.count(hModule)) {
            set_last_error(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    }
    // Ordinals name no symbol of an ELF image.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        set_last_error(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* symbol = dlsym(hModule, lpProcName);
    if (!symbol) {
        set_last_error(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    bool last;
    std::shared_ptr<files::ShareClaim> claim;
    {
        auto& m = modules();
        std::lock_guard lock(m.mutex);
        auto it = m.loaded.find(hLibModule);
        if (it == m.loaded.end()) {
            // A system module stays loaded whatever its count.
            if (is_system_module(hLibModule)) return TRUE;
            set_last_error(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        last = --it->second.references == 0;
        if (last) {
            claim = std::move(it->second.claim);
            m.loaded.erase(it);
        }
        if (is_system_module(hLibModule)) return TRUE;
    }
    if (last)
        if (auto entry = reinterpret_cast<DllEntry>(dlsym(hLibModule, "DllMain")))
            entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
    dlclose(hLibModule);
    return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
    if (!block) set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) { return LocalAlloc(uFlags & GMEM_ZEROINIT, dwBytes); }

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) { return LocalFree(hMem); }

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
    if (!hMem) set_last_error(ERROR_INVALID_HANDLE);
    return hMem;
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
    // Blocks never move, so none stays locked: unlocked, without an error.
    set_last_error(hMem ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    return FALSE;
}

HV_EXTERN_C_END
