// Handles: closing, duplicating, the pseudo-handles of the current process and thread, and the
// lookup every other entry point uses.
#include <windows.h>

#include "internal/handles.h"

namespace hvsim::user {

namespace {
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
} // namespace

std::shared_ptr<UserObject> resolve_handle(HANDLE handle, DWORD* access) {
    if (handle == kCurrentProcess) {
        if (access) *access = PROCESS_ALL_ACCESS;
        return std::make_shared<ProcessObject>(current_process());
    }
    if (handle == kCurrentThread) {
        if (access) *access = THREAD_ALL_ACCESS;
        return current_thread_object();
    }
    return current_process()->state().handles.lookup(handle, access);
}

std::shared_ptr<UserObject> resolve_handle(HANDLE handle, ObjectKind kind, DWORD* access) {
    auto object = resolve_handle(handle, access);
    if (!object || object->kind() != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

DWORD map_generic_access(DWORD access, const GenericMapping& mapping) {
    if (access & GENERIC_READ) access |= mapping.read;
    if (access & GENERIC_WRITE) access |= mapping.write;
    if (access & GENERIC_EXECUTE) access |= mapping.execute;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= mapping.all;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

HANDLE insert_handle(std::shared_ptr<UserObject> object, DWORD access) {
    return current_process()->state().handles.insert(std::move(object), access);
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

BOOL WINAPI CloseHandle(HANDLE hObject) {
    // Closing a pseudo-handle does nothing and succeeds, as on Windows.
    if (hObject == kCurrentProcess || hObject == kCurrentThread) return TRUE;
    if (!current_process()->state().handles.close(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions) {
    auto source_process = resolve_handle(hSourceProcessHandle, ObjectKind::Process);
    auto target_process = resolve_handle(hTargetProcessHandle, ObjectKind::Process);
    if (!source_process || !target_process) return FALSE;
    auto source = static_cast<ProcessObject&>(*source_process).process();
    auto target = static_cast<ProcessObject&>(*target_process).process();
    if (!source || !target || source->has_exited() || target->has_exited()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<UserObject> object;
    DWORD access = 0;
    {
        ProcessScope scope(source);
        object = resolve_handle(hSourceHandle, &access);
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(dwOptions & DUPLICATE_SAME_ACCESS)) access = dwDesiredAccess;
    if (lpTargetHandle) *lpTargetHandle = target->state().handles.insert(std::move(object), access);
    if (dwOptions & DUPLICATE_CLOSE_SOURCE) {
        ProcessScope scope(source);
        CloseHandle(hSourceHandle);
    }
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }

HANDLE WINAPI GetCurrentThread(void) { return kCurrentThread; }

DWORD WINAPI GetCurrentProcessId(void) { return current_process()->id(); }

DWORD WINAPI GetCurrentThreadId(void) { return current_thread_id(); }

HV_EXTERN_C_END
