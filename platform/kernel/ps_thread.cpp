// System threads.
//
//   PsCreateSystemThread, PsTerminateSystemThread, PsGetCurrentThread, PsGetCurrentThreadId,
//   PsGetThreadId, PsIsSystemThread, PsThreadType
//
// A system thread is a std::thread running a trampoline around the start routine. Its thread
// object is known to the object manager: the running thread holds one reference and the handle
// another, so the object outlives whichever goes last. The object is signalled when the thread
// ends. PsTerminateSystemThread unwinds to the trampoline with a private exception; only platform
// frames and the driver's own frames lie between, and the driver frames need no cleanup.
#include "sched_internal.h"

#include <hvsim/object.h>
#include <image_calls.h>

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

using namespace hvsim::sched::detail;

namespace {

void destroy_thread(void* body) { delete static_cast<_ETHREAD*>(body); }

void release_running_reference(_ETHREAD* thread) { hvsim::ob::dereference(thread); }

_OBJECT_TYPE g_thread_type{"Thread", destroy_thread};
POBJECT_TYPE g_thread_type_pointer = &g_thread_type;

const HANDLE kSystemProcessId = reinterpret_cast<HANDLE>(4);

struct TerminateThread {}; // thrown by PsTerminateSystemThread, caught by the trampoline

// "system thread 12 (HvUBus.sys)": where the start routine lives, for the diagnostics.
std::string thread_name(PKSTART_ROUTINE routine) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(routine), &info) && info.dli_fname) {
        std::string where = std::filesystem::path(info.dli_fname).filename().string();
        if (info.dli_sname) where += "!" + std::string(info.dli_sname);
        return where;
    }
    return hex(reinterpret_cast<void*>(routine));
}

// `image` holds the start routine's image from the thread's creation until the routine is left.
void run_system_thread(_ETHREAD* thread, PKSTART_ROUTINE routine, PVOID context, hvsim::ldr::ImageSlot* image) {
    adopt_thread(thread);
    try {
        routine(context);
    } catch (const TerminateThread&) {}
    hvsim::ldr::leave_image(image);
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        hvsim::bug_check(hvsim::IRQL_UNEXPECTED_VALUE,
                         thread->name + (thread->terminated ? " terminated" : " returned") + " at IRQL " +
                             std::to_string(irql) + " instead of PASSIVE_LEVEL");
    if (!thread->owned_mutexes.empty())
        hvsim::bug_check(hvsim::THREAD_TERMINATE_HELD_MUTEX, thread->name + " ended holding " +
                                                                 std::to_string(thread->owned_mutexes.size()) +
                                                                 " mutex(es)");
    if (!thread->terminated) thread->exit_status = STATUS_SUCCESS;
    retire_current_thread(release_running_reference);
}

} // namespace

HV_EXTERN_C_BEGIN

POBJECT_TYPE* PsThreadType = &g_thread_type_pointer;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, "PsCreateSystemThread at IRQL " + std::to_string(irql));
    if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
    if (ProcessHandle && ProcessHandle != NtCurrentProcess()) return STATUS_INVALID_HANDLE;
    *ThreadHandle = nullptr;

    _ETHREAD* thread;
    {
        Lock lock(dispatcher().lock);
        thread = create_thread_locked({}, true);
        thread->name = "system thread " + std::to_string(thread->id) + " (" + thread_name(StartRoutine) + ")";
    }
    hvsim::ob::insert_object(thread, &g_thread_type); // the running thread's reference
    HANDLE handle = hvsim::ob::create_handle(thread, DesiredAccess);
    bool started = false;
    hvsim::ldr::ImageSlot* image =
        hvsim::ldr::enter_image(reinterpret_cast<const void*>(StartRoutine), "system thread");
    if (handle) {
        try {
            std::thread(run_system_thread, thread, StartRoutine, StartContext, image).detach();
            started = true;
        } catch (const std::system_error&) {
            hvsim::ob::close_handle(handle);
        }
    }
    if (!started) { // it never ran: it leaves the machine as if it had ended at once
        hvsim::ldr::leave_image(image);
        thread->exit_status = STATUS_INSUFFICIENT_RESOURCES;
        retire_thread(thread, release_running_reference);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = handle;
    if (ClientId) {
        ClientId->UniqueProcess = kSystemProcessId;
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(thread->id);
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    _ETHREAD* self = current_thread_if_registered();
    if (!self || !self->system_thread) return STATUS_INVALID_PARAMETER;
    self->terminated = true;
    self->exit_status = ExitStatus;
    throw TerminateThread{};
}

PETHREAD PsGetCurrentThread(void) { return current_thread(); }

HANDLE PsGetCurrentThreadId(void) { return reinterpret_cast<HANDLE>(current_thread()->id); }

HANDLE PsGetThreadId(PETHREAD Thread) { return reinterpret_cast<HANDLE>(Thread->id); }

BOOLEAN PsIsSystemThread(PETHREAD Thread) { return Thread->system_thread ? TRUE : FALSE; }

HV_EXTERN_C_END
