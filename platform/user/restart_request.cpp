// Ending the session: ExitWindowsEx with the shutdown-privilege rule, and the pending request
// that the machine takes once the requesting program has ended.
#include <windows.h>

#include <hvsim/user_hooks.h>

#include <mutex>

#include "internal/security_internal.h"

namespace hvsim::user {
namespace {
std::mutex request_mutex;
std::optional<UINT> pending_request;

constexpr UINT kKnownFlags = EWX_SHUTDOWN | EWX_REBOOT | EWX_FORCE | EWX_POWEROFF | EWX_FORCEIFHUNG;
} // namespace

void request_restart(UINT flags) {
    std::lock_guard lock(request_mutex);
    pending_request = flags;
}

std::optional<UINT> take_restart_request() {
    std::lock_guard lock(request_mutex);
    std::optional<UINT> request = pending_request;
    pending_request.reset();
    return request;
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD) {
    if (uFlags & ~kKnownFlags) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A logoff ends the caller's session, which the machine does not keep: there is nothing to
    // carry out.
    if (!(uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF))) return TRUE;
    if (!windows_9x() && !token_privilege_enabled(*current_token(), kShutdownPrivilege)) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    request_restart(uFlags);
    return TRUE;
}

HV_EXTERN_C_END
