// Waits on dispatcher objects and delays.
//
//   KeWaitForSingleObject, KeWaitForMultipleObjects, KeDelayExecutionThread
//
// A waiter that cannot be satisfied at once links one wait block per object (its own built-in
// blocks, or the caller's array above THREAD_WAIT_OBJECTS) into the objects' wait lists and
// blocks; the thread that signals an object satisfies the wait and hands over the status.
#include "sched_internal.h"

using namespace hvsim::sched::detail;

namespace {

bool is_dispatcher_type(UCHAR type) {
    switch (type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject: return true;
    default: return false;
    }
}

void check_wait_irql(const char* routine, PLARGE_INTEGER timeout) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL && (!timeout || timeout->QuadPart != 0))
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " with " +
                                                            (timeout ? "a non-zero" : "an infinite") +
                                                            " timeout at IRQL " + std::to_string(irql));
}

NTSTATUS wait_for_objects(const char* routine, ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                          PKWAIT_BLOCK blocks) {
    check_wait_irql(routine, timeout);
    if (count == 0 || !objects) return STATUS_INVALID_PARAMETER;
    if (type != WaitAny && type != WaitAll) return STATUS_INVALID_PARAMETER;
    if (count > MAXIMUM_WAIT_OBJECTS)
        hvsim::bug_check(hvsim::MAXIMUM_WAIT_OBJECTS_EXCEEDED, std::string(routine) + ": " + std::to_string(count) +
                                                                   " objects, more than " +
                                                                   std::to_string(MAXIMUM_WAIT_OBJECTS));
    _ETHREAD* self = current_thread();
    if (!blocks) {
        if (count > THREAD_WAIT_OBJECTS)
            hvsim::bug_check(hvsim::MAXIMUM_WAIT_OBJECTS_EXCEEDED,
                             std::string(routine) + ": " + std::to_string(count) +
                                 " objects without a wait block array (the thread has " +
                                 std::to_string(THREAD_WAIT_OBJECTS) + ")");
        blocks = self->builtin_wait_blocks;
    }
    std::optional<int64_t> deadline;
    if (timeout) deadline = hvsim::sched::deadline_from_timeout(timeout->QuadPart);

    Lock lock(dispatcher().lock);
    for (ULONG i = 0; i < count; ++i) {
        auto* header = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (!header || !is_dispatcher_type(header->Type) || !header->WaitListHead.Flink)
            fail(lock, hvsim::INVALID_DISPATCHER_OBJECT,
                 std::string(routine) + ": object " + std::to_string(i) + " (" + hex(header) +
                     ") is not an initialised dispatcher object");
    }
    for (ULONG i = 0; i < count; ++i) {
        PKWAIT_BLOCK wb = &blocks[i];
        wb->Thread = self;
        wb->Object = objects[i];
        wb->WaitKey = static_cast<USHORT>(i);
        wb->WaitType = static_cast<UCHAR>(type);
        wb->BlockState = 0;
    }
    NTSTATUS status = try_satisfy_wait(self, blocks, count, type);
    if (status != STATUS_PENDING) return status;
    if (timeout && timeout->QuadPart == 0) return STATUS_TIMEOUT;

    for (ULONG i = 0; i < count; ++i)
        InsertTailList(&static_cast<DISPATCHER_HEADER*>(objects[i])->WaitListHead, &blocks[i].WaitListEntry);
    self->wait_blocks = blocks;
    self->wait_count = count;
    self->wait_pending = true;
    block(lock, self, deadline, routine, count == 1 ? objects[0] : static_cast<const void*>(objects));
    if (self->wait_pending) { // the deadline ended it without the scheduler's help (real clock)
        for (ULONG i = 0; i < count; ++i) RemoveEntryList(&blocks[i].WaitListEntry);
        self->wait_pending = false;
        self->wait_status = STATUS_TIMEOUT;
    }
    self->wait_blocks = nullptr;
    self->wait_count = 0;
    return self->wait_status;
}

} // namespace

HV_EXTERN_C_BEGIN

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
    PVOID objects[1] = {Object};
    return wait_for_objects("KeWaitForSingleObject", 1, objects, WaitAny, Timeout, nullptr);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
    return wait_for_objects("KeWaitForMultipleObjects", Count, Object, WaitType, Timeout, WaitBlockArray);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, "KeDelayExecutionThread at IRQL " + std::to_string(irql));
    if (!Interval) return STATUS_INVALID_PARAMETER;
    _ETHREAD* self = current_thread();
    if (Interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    int64_t deadline = hvsim::sched::deadline_from_timeout(Interval->QuadPart);
    Lock lock(dispatcher().lock);
    do block(lock, self, deadline, "KeDelayExecutionThread", nullptr);
    while (!self->timed_out);
    return STATUS_SUCCESS;
}

HV_EXTERN_C_END
