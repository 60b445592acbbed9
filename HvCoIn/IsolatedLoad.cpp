#include "IsolatedLoad.h"

#include <mutex>

namespace {

// The resource ID under which a library keeps the manifest it is isolated by.
constexpr WORD kIsolationManifest = 2;

std::mutex g_contextLock;
HANDLE g_context = INVALID_HANDLE_VALUE;

// Created on first use and kept until the library unloads; a failure is tried again next time.
HANDLE OwnActivationContext() {
    std::lock_guard<std::mutex> lock(g_contextLock);
    if (g_context == INVALID_HANDLE_VALUE) {
        ACTCTXW request{};
        request.cbSize = sizeof request;
        request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.hModule = g_hInstance;
        request.lpResourceName = MAKEINTRESOURCEW(kIsolationManifest);
        g_context = CreateActCtxW(&request);
    }
    return g_context;
}

// Deactivates on every way out, a throwing library entry point included.
class CActivation {
public:
    explicit CActivation(HANDLE context) : m_active(ActivateActCtx(context, &m_cookie) != FALSE) {}
    ~CActivation() {
        if (m_active) DeactivateActCtx(0, m_cookie);
    }
    CActivation(const CActivation&) = delete;
    CActivation& operator=(const CActivation&) = delete;
    bool m_IsActive() const { return m_active; }

private:
    ULONG_PTR m_cookie = 0;
    bool m_active;
};

} // namespace

HINSTANCE g_hInstance = nullptr;

HMODULE IsolationAwareLoadLibrary(LPCWSTR path) {
    HANDLE context = OwnActivationContext();
    if (context == INVALID_HANDLE_VALUE) return nullptr;
    CActivation activation(context);
    if (!activation.m_IsActive()) return nullptr;
    return LoadLibraryW(path);
}

void ReleaseIsolationContext() {
    std::lock_guard<std::mutex> lock(g_contextLock);
    if (g_context != INVALID_HANDLE_VALUE) ReleaseActCtx(g_context);
    g_context = INVALID_HANDLE_VALUE;
}
