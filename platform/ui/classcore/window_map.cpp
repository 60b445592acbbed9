// The class libraries' binding of windows to objects, the pending creations of each thread and
// the registry of live pages.
#include <hv_classlib.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <hv_wchar.h>

namespace hvclass {
namespace {

struct Binding {
    Kind kind;
    void* object;
};

struct State {
    std::mutex mutex;
    std::unordered_map<HWND, Binding> windows;
    std::unordered_map<ULONGLONG, void*> pages;
    ULONGLONG next_serial = 1;
};

State& state() {
    static State s;
    return s;
}

thread_local std::vector<Pending> pending;

} // namespace

bool bind(HWND window, Kind kind, void* object) {
    if (!window || !object) return false;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.windows.emplace(window, Binding{kind, object}).second;
}

void unbind(HWND window, const void* object) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.windows.find(window);
    if (it != s.windows.end() && it->second.object == object) s.windows.erase(it);
}

void* lookup(HWND window, Kind kind) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.windows.find(window);
    return it != s.windows.end() && it->second.kind == kind ? it->second.object : nullptr;
}

void push_pending(Kind kind, void* object) { pending.push_back(Pending{kind, object}); }

void* take_pending(Kind kind) {
    if (pending.empty() || pending.back().kind != kind) return nullptr;
    void* object = pending.back().object;
    pending.pop_back();
    return object;
}

void drop_pending(const void* object) {
    std::erase_if(pending, [&](const Pending& p) { return p.object == object; });
}

ULONGLONG register_page(void* page) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    ULONGLONG serial = s.next_serial++;
    s.pages.emplace(serial, page);
    return serial;
}

void unregister_page(ULONGLONG serial) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.pages.erase(serial);
}

void* find_page(ULONGLONG serial) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.pages.find(serial);
    return it != s.pages.end() ? it->second : nullptr;
}

void report_assert(const char* file, int line, const char* what) {
    char text[512];
    _snprintf(text, sizeof text - 1, "ASSERT at - %s %d: %s\n", file, line, what);
    text[sizeof text - 1] = 0;
    OutputDebugStringA(text);
}

} // namespace hvclass
