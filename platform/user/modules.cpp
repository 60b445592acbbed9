// Libraries and local memory (kernel32).
//
//   LoadLibraryW/A   a library image of the machine, loaded with dlopen; a bare name is looked
//                    for in C:\Windows\System32, then in the current directory
//   GetProcAddress, FreeLibrary
//   LocalAlloc, LocalFree
#include <windows.h>

#include <hvsim/user_hooks.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "internal/setupapi_platform.h"
#include "internal/user_internal.h"

namespace {

using namespace hvsim::user;

using DllEntry = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

struct Modules {
    std::mutex mutex;
    std::map<void*, size_t> references; // dlopen handle -> LoadLibrary count
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
    for (auto& [handle, count] : m.references) total += count;
    return total;
}

} // namespace hvsim::user

HV_EXTERN_C_BEGIN

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
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
        first = m.references[handle]++ == 0;
    }
    // The library's entry point sees its first load, as on Windows.
    if (first) {
        if (auto entry = reinterpret_cast<DllEntry>(dlsym(handle, "DllMain"));
            entry && !entry(module, DLL_PROCESS_ATTACH, nullptr)) {
            {
                auto& m = modules();
                std::lock_guard lock(m.mutex);
                m.references.erase(handle);
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
    {
        auto& m = modules();
        std::lock_guard lock(m.mutex);
        if (!m.references.count(hModule)) {
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
    {
        auto& m = modules();
        std::lock_guard lock(m.mutex);
        auto it = m.references.find(hLibModule);
        if (it == m.references.end()) {
            set_last_error(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        last = --it->second == 0;
        if (last) m.references.erase(it);
    }
    if (last)
        if (auto entry = reinterpret_cast<DllEntry>(dlsym(hLibModule, "DllMain"))) entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
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

HV_EXTERN_C_END
