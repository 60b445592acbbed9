// Activation contexts (kernel32): what isolation-aware loading creates from a library's manifest
// and activates around its LoadLibrary. The machine has no side-by-side assemblies, so a context
// only checks that its source exists; contexts are counted and activations stacked per thread so
// that a leak or a mismatched deactivation shows.
//
//   CreateActCtxW, ActivateActCtx, DeactivateActCtx, ReleaseActCtx
#include <windows.h>

#include <hvsim/programs.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "internal/machine_files.h"
#include "internal/system_modules.h"
#include "internal/user_internal.h"

namespace hvsim::user {
namespace {

struct Context {
    size_t references = 1;
};

struct State {
    std::mutex mutex;
    std::set<Context*> live;
    std::map<ActCtxRoutine, DWORD> fail_next;
    ULONG_PTR next_cookie = 1;
};
State& state() {
    static State* s = new State;
    return *s;
}

struct Activation {
    ULONG_PTR cookie;
    Context* context;
};
thread_local std::vector<Activation> t_stack;

std::optional<DWORD> take_failure(ActCtxRoutine routine) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.fail_next.find(routine);
    if (it == s.fail_next.end()) return std::nullopt;
    DWORD error = it->second;
    s.fail_next.erase(it);
    return error;
}

void release(Context* context) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.live.count(context) || --context->references) return;
    s.live.erase(context);
    delete context;
}

bool source_exists(PCACTCTXW request) {
    if (request->dwFlags & ACTCTX_FLAG_HMODULE_VALID) return request->hModule != nullptr;
    if (!request->lpSource || !*request->lpSource) return false;
    files::MachinePath path;
    std::error_code error;
    return files::resolve(request->lpSource, &path) == ERROR_SUCCESS &&
           std::filesystem::is_regular_file(path.host, error);
}

} // namespace

void actctx_fail_next(ActCtxRoutine routine, DWORD error) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.fail_next[routine] = error;
}

size_t activation_contexts() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.live.size();
}

void reset_actctx_hooks() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.fail_next.clear();
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

HANDLE WINAPI CreateActCtxW(PCACTCTXW pActCtx) {
    if (!pActCtx || pActCtx->cbSize < sizeof(ACTCTXW) - sizeof(HMODULE)) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (auto error = take_failure(ActCtxRoutine::Create)) {
        set_last_error(*error);
        return INVALID_HANDLE_VALUE;
    }
    if (!source_exists(pActCtx)) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto* context = new Context;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.live.insert(context);
    return context;
}

BOOL WINAPI ActivateActCtx(HANDLE hActCtx, ULONG_PTR* lpCookie) {
    if (!lpCookie) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (auto error = take_failure(ActCtxRoutine::Activate)) {
        set_last_error(*error);
        return FALSE;
    }
    auto* context = static_cast<Context*>(hActCtx);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.live.count(context)) {
        set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // An active context holds a reference of its own until it is deactivated.
    ++context->references;
    *lpCookie = s.next_cookie++;
    t_stack.push_back({*lpCookie, context});
    return TRUE;
}

BOOL WINAPI DeactivateActCtx(DWORD dwFlags, ULONG_PTR ulCookie) {
    auto it = std::find_if(t_stack.begin(), t_stack.end(), [&](const Activation& a) { return a.cookie == ulCookie; });
    if (it == t_stack.end()) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Only the innermost activation may end, unless the caller forces the ones above it too.
    if (it + 1 != t_stack.end() && !(dwFlags & DEACTIVATE_ACTCTX_FLAG_FORCE_EARLY_DEACTIVATION)) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<Activation> ended(it, t_stack.end());
    t_stack.erase(it, t_stack.end());
    for (const auto& activation : ended) release(activation.context);
    return TRUE;
}

void WINAPI ReleaseActCtx(HANDLE hActCtx) {
    if (hActCtx && hActCtx != INVALID_HANDLE_VALUE) release(static_cast<Context*>(hActCtx));
}

HV_EXTERN_C_END
