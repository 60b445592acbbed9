// Threads of simulated processes: creation, suspension at start, exit and exit codes, and the
// user APCs that their alertable waits run.
#include <windows.h>

#include "internal/handles.h"

namespace hvsim::user {

void ThreadObject::queue_apc(std::function<void()> apc) {
    std::lock_guard lock(apc_mutex_);
    apcs_.push_back(std::move(apc));
    apc_pending_.set();
}

bool ThreadObject::run_apcs() {
    bool ran = false;
    for (;;) {
        std::function<void()> apc;
        {
            std::lock_guard lock(apc_mutex_);
            if (apcs_.empty()) {
                apc_pending_.reset();
                return ran;
            }
            apc = std::move(apcs_.front());
            apcs_.pop_front();
        }
        apc();
        ran = true;
    }
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

DWORD WINAPI QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData) {
    auto object = resolve_handle(hThread, ObjectKind::Thread);
    if (!object) return 0;
    auto& thread = static_cast<ThreadObject&>(*object);
    if (!pfnAPC || thread.has_exited()) {
        SetLastError(pfnAPC ? ERROR_GEN_FAILURE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    thread.queue_apc([pfnAPC, dwData] { pfnAPC(dwData); });
    return 1;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress || (dwCreationFlags & ~(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto process = current_process();
    auto thread = std::make_shared<ThreadObject>(allocate_client_id());
    const bool suspended = (dwCreationFlags & CREATE_SUSPENDED) != 0;
    if (suspended) thread->suspend_count = 1;
    // The handle exists before the thread runs, so that a thread that ends at once can still be
    // waited for through it.
    HANDLE handle = process->state().handles.insert(thread, THREAD_ALL_ACCESS);
    if (lpThreadId) *lpThreadId = thread->id();
    start_process_thread(process, thread, [thread, suspended, lpStartAddress, lpParameter]() -> DWORD {
        if (suspended) {
            void* resumed = thread->resumed.dispatcher();
            wait_for_dispatchers(1, &resumed, false, INFINITE);
        }
        return lpStartAddress(lpParameter);
    });
    return handle;
}

void WINAPI ExitThread(DWORD dwExitCode) { throw ThreadExit{dwExitCode}; }

DWORD WINAPI ResumeThread(HANDLE hThread) {
    auto object = resolve_handle(hThread, ObjectKind::Thread);
    if (!object) return static_cast<DWORD>(-1);
    auto& thread = static_cast<ThreadObject&>(*object);
    LONG previous = thread.suspend_count.load();
    while (previous > 0 && !thread.suspend_count.compare_exchange_weak(previous, previous - 1)) {}
    if (previous == 1) thread.resumed.set();
    return static_cast<DWORD>(previous);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto object = resolve_handle(hThread, ObjectKind::Thread);
    if (!object) return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = static_cast<ThreadObject&>(*object).exit_code();
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    auto object = resolve_handle(hProcess, ObjectKind::Process);
    if (!object) return FALSE;
    auto process = static_cast<ProcessObject&>(*object).process();
    if (!process || !lpExitCode) {
        SetLastError(process ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = process->exit_code();
    return TRUE;
}

HV_EXTERN_C_END
