// The current thread and its priority; the one processor.
//
//   KeGetCurrentThread, KeSetPriorityThread, KeQueryPriorityThread,
//   KeGetCurrentProcessorNumber, KeNumberProcessors
//
// Priorities are recorded, not scheduled by.
#include "sched_internal.h"

using namespace hvsim::sched::detail;

HV_EXTERN_C_BEGIN

CCHAR KeNumberProcessors = 1;

PKTHREAD KeGetCurrentThread(void) { return current_thread(); }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    if (!Thread || Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY)
        hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION, "KeSetPriorityThread: priority " +
                                                                        std::to_string(Priority) + " for thread " +
                                                                        hex(Thread) + " is outside 0..31");
    Lock lock(dispatcher().lock);
    auto* thread = static_cast<_ETHREAD*>(Thread);
    KPRIORITY old = thread->priority;
    thread->priority = Priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    Lock lock(dispatcher().lock);
    return static_cast<_ETHREAD*>(Thread)->priority;
}

ULONG KeGetCurrentProcessorNumber(void) { return 0; }

HV_EXTERN_C_END
