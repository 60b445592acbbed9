// HTML Help and the shell's ShellExecute, as the machine has them: HtmlHelpW loads hhctrl.ocx
// from System32 (the machine's stand-in, which records what it was asked) and calls its export;
// ShellExecuteW opens nothing and records the call.
#include <htmlhelp.h>
#include <shellapi.h>

#include <hvsim/ui.h>

#include "internal/ui_internal.h"

#include <dlfcn.h>

#include <filesystem>

namespace hvsim::ui {
namespace {

struct Calls {
    std::mutex mutex;
    std::vector<HelpCall> help;
    std::vector<ShellCall> shell;
};
Calls& calls() {
    static Calls* c = new Calls;
    return *c;
}

std::u16string copy(LPCWSTR text) { return text ? std::u16string(text) : std::u16string(); }

} // namespace

void record_help_call(HelpCall call) {
    auto& c = calls();
    std::lock_guard lock(c.mutex);
    c.help.push_back(std::move(call));
}

std::vector<HelpCall> help_calls() {
    auto& c = calls();
    std::lock_guard lock(c.mutex);
    return c.help;
}

std::vector<ShellCall> shell_calls() {
    auto& c = calls();
    std::lock_guard lock(c.mutex);
    return c.shell;
}

void reset_help_and_shell() {
    auto& c = calls();
    std::lock_guard lock(c.mutex);
    c.help.clear();
    c.shell.clear();
}

// The machine's hhctrl.ocx is built beside the window system: ../system32 from its library.
std::filesystem::path help_control_image() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&help_control_image), &info) || !info.dli_fname) return {};
    return std::filesystem::path(info.dli_fname).parent_path().parent_path() / "system32" / "hhctrl.ocx";
}

bool install_system_files(const std::filesystem::path& system32) {
    std::error_code error;
    const auto image = help_control_image();
    if (image.empty() || !std::filesystem::exists(image, error)) return false;
    std::filesystem::create_directories(system32, error);
    std::filesystem::copy_file(image, system32 / "hhctrl.ocx", std::filesystem::copy_options::overwrite_existing,
                               error);
    return !error;
}

} // namespace hvsim::ui

using namespace hvsim::ui;

HV_EXTERN_C_BEGIN

HWND WINAPI HtmlHelpW(HWND caller, LPCWSTR file, UINT command, DWORD_PTR data) {
    HMODULE control = LoadLibraryW(u"hhctrl.ocx");
    if (!control) return nullptr;
    auto entry = reinterpret_cast<PFN_HTMLHELPW>(reinterpret_cast<void*>(GetProcAddress(control, "HtmlHelpW")));
    HWND result = entry ? entry(caller, file, command, data) : nullptr;
    FreeLibrary(control);
    return result;
}

HWND WINAPI HtmlHelpA(HWND caller, LPCSTR file, UINT command, DWORD_PTR data) {
    const std::u16string wide = file ? widen(file) : std::u16string();
    return HtmlHelpW(caller, file ? wide.c_str() : nullptr, command, data);
}

HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                               INT show) {
    if (!file || !*file) return reinterpret_cast<HINSTANCE>(uintptr_t(SE_ERR_FNF));
    auto& c = calls();
    std::lock_guard lock(c.mutex);
    c.shell.push_back(ShellCall{hwnd, copy(operation), file, copy(parameters), copy(directory), show});
    return reinterpret_cast<HINSTANCE>(uintptr_t(42));
}

HINSTANCE WINAPI ShellExecuteA(HWND hwnd, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                               INT show) {
    auto w = [](LPCSTR s) { return s ? widen(s) : std::u16string(); };
    const std::u16string o = w(operation), f = w(file), p = w(parameters), d = w(directory);
    return ShellExecuteW(hwnd, operation ? o.c_str() : nullptr, file ? f.c_str() : nullptr,
                         parameters ? p.c_str() : nullptr, directory ? d.c_str() : nullptr, show);
}

HV_EXTERN_C_END
