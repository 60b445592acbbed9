// The pending restart request of the machine: ExitWindowsEx records it, the machine takes it once
// the requesting program has ended.
#include <hvsim/user_hooks.h>

#include <mutex>

namespace hvsim::user {
namespace {
std::mutex request_mutex;
std::optional<UINT> pending_request;
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
