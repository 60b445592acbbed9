// The window system as a module of the machine: its built-in classes, its part in boot and
// shutdown (no window outlives a machine), and the text conversions its ANSI entry points use.
#include <hvsim/kernel.h>
#include <hvsim/user_hooks.h>

#include "internal/ui_internal.h"

namespace hvsim::ui {
namespace {

struct UiSubsystem {
    static void boot(const KernelOptions&) {
        destroy_all_windows();
        user::reset_message_boxes();
    }
    static void shutdown() { destroy_all_windows(); }
};

const bool registered = [] {
    register_kernel_subsystem({"window system", 960, UiSubsystem::boot, UiSubsystem::shutdown});
    return true;
}();

} // namespace

void ensure_system_classes() {
    static std::once_flag once;
    std::call_once(once, [] {
        register_dialog_class();
        register_button_class();
        register_static_class();
        register_edit_class();
        register_combo_box_class();
        register_trackbar_class();
        register_progress_class();
        register_animation_class();
        register_tooltip_class();
        register_tab_class();
    });
}

std::string utf8(std::u16string_view text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size_t(std::max(n, 0)), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), n, nullptr, nullptr);
    return result;
}

std::u16string widen(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::u16string result(size_t(std::max(n, 1)), u'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, result.data(), n);
    result.resize(result.size() - 1);
    return result;
}

std::string narrow(const std::u16string& text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size_t(std::max(n, 1)), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, result.data(), n, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}

bool equal_no_case(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

} // namespace hvsim::ui

using namespace hvsim::ui;

HV_EXTERN_C_BEGIN

void WINAPI InitCommonControls(void) { ensure_system_classes(); }

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* icc) {
    if (!icc || icc->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ensure_system_classes();
    return TRUE;
}

HV_EXTERN_C_END
