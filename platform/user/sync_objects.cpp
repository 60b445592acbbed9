// Events, mutexes and waits. Named objects share one machine-wide namespace that lives as long
// as some handle holds the object.
#include <windows.h>

#include <algorithm>
#include <unordered_map>

#include "internal/handles.h"

namespace hvsim::user {
namespace {

constexpr GenericMapping kEventMapping{STANDARD_RIGHTS_READ | 0x1, STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                                       SYNCHRONIZE, EVENT_ALL_ACCESS};
constexpr GenericMapping kMutexMapping{STANDARD_RIGHTS_READ | MUTANT_QUERY_STATE, STANDARD_RIGHTS_WRITE, SYNCHRONIZE,
                                       MUTANT_ALL_ACCESS};

struct Namespace {
    std::mutex mutex;
    std::unordered_map<std::u16string, std::weak_ptr<UserObject>> names;
};
Namespace& names() {
    static Namespace* n = new Namespace;
    return *n;
}

// "Local\NAME" is NAME in the machine's one session; "Global\NAME" is a name of its own. Any
// other backslash names a directory that does not exist (ERROR_PATH_NOT_FOUND).
bool canonical_name(const WCHAR* name, std::u16string* out) {
    constexpr std::u16string_view local = u"Local\\";
    constexpr std::u16string_view global = u"Global\\";
    std::u16string_view text(name);
    if (text.starts_with(local)) text.remove_prefix(local.size());
    std::u16string_view rest = text.starts_with(global) ? text.substr(global.size()) : text;
    if (rest.find(u'\\') != std::u16string_view::npos) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    *out = std::u16string(text);
    return true;
}

// Creates the object or opens the one of that name, with Windows' last-error conventions.
template <class Make> HANDLE create_named(const WCHAR* name, ObjectKind kind, DWORD access, Make make) {
    if (!name || !*name) {
        HANDLE h = insert_handle(make(), access);
        SetLastError(ERROR_SUCCESS);
        return h;
    }
    std::u16string canonical;
    if (!canonical_name(name, &canonical)) return nullptr;
    std::shared_ptr<UserObject> fresh = make();
    std::shared_ptr<UserObject> holder = register_named_object(canonical, fresh);
    if (holder->kind() != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HANDLE h = insert_handle(holder, access);
    SetLastError(holder == fresh ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return h;
}

HANDLE open_named(const WCHAR* name, ObjectKind kind, DWORD access) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string canonical;
    if (!canonical_name(name, &canonical)) return nullptr;
    auto object = find_named_object(canonical);
    if (!object) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (object->kind() != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return insert_handle(std::move(object), access);
}

EventObject* event_for(HANDLE handle, std::shared_ptr<UserObject>& holder) {
    DWORD access = 0;
    holder = resolve_handle(handle, ObjectKind::Event, &access);
    if (!holder) return nullptr;
    if (!(access & EVENT_MODIFY_STATE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return static_cast<EventObject*>(holder.get());
}

// The wide form of a narrow object name; null stays null.
class WideName {
public:
    explicit WideName(const char* name) : null_(!name), text_(widen_ansi(name)) {}
    const WCHAR* get() const { return null_ ? nullptr : text_.c_str(); }

private:
    bool null_;
    std::u16string text_;
};

// Wait results of the alertable waits and of the others.
DWORD wait_result(LONG status, DWORD count) {
    if (status == static_cast<LONG>(STATUS_USER_APC)) return WAIT_IO_COMPLETION;
    if (status >= 0 && static_cast<DWORD>(status) < count) return WAIT_OBJECT_0 + static_cast<DWORD>(status);
    if (static_cast<DWORD>(status) >= STATUS_ABANDONED_WAIT_0 &&
        static_cast<DWORD>(status) < STATUS_ABANDONED_WAIT_0 + count)
        return static_cast<DWORD>(status);
    if (static_cast<DWORD>(status) == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    set_last_status(status);
    return WAIT_FAILED;
}

// A wait for all of its objects cannot take the APC dispatcher in: it waits in slices and looks
// for APCs between them.
constexpr DWORD kApcSliceMs = 10;

} // namespace

LONG wait_alertable(size_t count, void* const* objects, bool wait_all, DWORD milliseconds) {
    auto thread = current_thread_object();
    if (thread->run_apcs()) return static_cast<LONG>(STATUS_USER_APC);
    if (!wait_all && count < MAXIMUM_WAIT_OBJECTS) {
        void* with_apcs[MAXIMUM_WAIT_OBJECTS];
        std::copy(objects, objects + count, with_apcs);
        with_apcs[count] = thread->apc_dispatcher();
        LONG status = wait_for_dispatchers(count + 1, with_apcs, false, milliseconds);
        if (status != static_cast<LONG>(STATUS_WAIT_0 + count)) return status;
        thread->run_apcs();
        return static_cast<LONG>(STATUS_USER_APC);
    }
    const int64_t deadline = machine_time() + static_cast<int64_t>(milliseconds) * 10'000;
    for (;;) {
        DWORD slice = kApcSliceMs;
        if (milliseconds != INFINITE) {
            const int64_t left = (deadline - machine_time() + 9'999) / 10'000;
            slice = static_cast<DWORD>(std::clamp<int64_t>(left, 0, kApcSliceMs));
        }
        LONG status = wait_for_dispatchers(count, objects, wait_all, slice);
        if (status != STATUS_TIMEOUT) return status;
        if (thread->run_apcs()) return static_cast<LONG>(STATUS_USER_APC);
        if (milliseconds != INFINITE && machine_time() >= deadline) return STATUS_TIMEOUT;
    }
}

std::shared_ptr<UserObject> find_named_object(const std::u16string& name) {
    auto& n = names();
    std::lock_guard lock(n.mutex);
    auto it = n.names.find(name);
    if (it == n.names.end()) return nullptr;
    auto object = it->second.lock();
    if (!object) n.names.erase(it);
    return object;
}

std::shared_ptr<UserObject> register_named_object(const std::u16string& name, std::shared_ptr<UserObject> object) {
    auto& n = names();
    std::lock_guard lock(n.mutex);
    std::erase_if(n.names, [](const auto& entry) { return entry.second.expired(); });
    auto [it, inserted] = n.names.try_emplace(name, object);
    if (!inserted) {
        if (auto holder = it->second.lock()) return holder;
        it->second = object;
    }
    return object;
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    return create_named(lpName, ObjectKind::Event, EVENT_ALL_ACCESS,
                        [&] { return std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE); });
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    return CreateEventW(attributes, bManualReset, bInitialState, WideName(lpName).get());
}

HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
    return open_named(lpName, ObjectKind::Event, map_generic_access(dwDesiredAccess, kEventMapping));
}

HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    return OpenEventW(dwDesiredAccess, bInheritHandle, WideName(lpName).get());
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    std::shared_ptr<UserObject> holder;
    EventObject* event = event_for(hEvent, holder);
    if (!event) return FALSE;
    event->event.set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    std::shared_ptr<UserObject> holder;
    EventObject* event = event_for(hEvent, holder);
    if (!event) return FALSE;
    event->event.reset();
    return TRUE;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    // An existing mutex is opened without taking ownership.
    return create_named(lpName, ObjectKind::Mutex, MUTANT_ALL_ACCESS,
                        [&] { return std::make_shared<MutexObject>(bInitialOwner != FALSE); });
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL bInitialOwner, LPCSTR lpName) {
    return CreateMutexW(attributes, bInitialOwner, WideName(lpName).get());
}

HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
    return open_named(lpName, ObjectKind::Mutex, map_generic_access(dwDesiredAccess, kMutexMapping));
}

HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    return OpenMutexW(dwDesiredAccess, bInheritHandle, WideName(lpName).get());
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto holder = resolve_handle(hMutex, ObjectKind::Mutex);
    if (!holder) return FALSE;
    LONG status = static_cast<MutexObject&>(*holder).mutex.release();
    if (status != 0) {
        set_last_status(status);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                                      BOOL bAlertable) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // The objects stay alive for the wait even if another thread closes their handles.
    std::vector<std::shared_ptr<UserObject>> objects(nCount);
    void* dispatchers[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; ++i) {
        DWORD access = 0;
        objects[i] = resolve_handle(lpHandles[i], &access);
        if (!objects[i] || !(dispatchers[i] = objects[i]->dispatcher())) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (!(access & SYNCHRONIZE)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        // Waiting for all of one object twice is refused (STATUS_INVALID_PARAMETER_MIX).
        if (bWaitAll && std::find(dispatchers, dispatchers + i, dispatchers[i]) != dispatchers + i) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
    }
    const LONG status = bAlertable ? wait_alertable(nCount, dispatchers, bWaitAll != FALSE, dwMilliseconds)
                                   : wait_for_dispatchers(nCount, dispatchers, bWaitAll != FALSE, dwMilliseconds);
    return wait_result(status, nCount);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    return WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, bAlertable);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, FALSE);
}

void WINAPI Sleep(DWORD dwMilliseconds) { sleep_milliseconds(dwMilliseconds); }

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    if (!bAlertable) {
        sleep_milliseconds(dwMilliseconds);
        return 0;
    }
    return wait_alertable(0, nullptr, false, dwMilliseconds) == static_cast<LONG>(STATUS_USER_APC) ? WAIT_IO_COMPLETION
                                                                                                   : 0;
}

HV_EXTERN_C_END
