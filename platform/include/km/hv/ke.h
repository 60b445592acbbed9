// Ke: IRQL, spin locks, interlocked operations, dispatcher objects (events, mutexes, semaphores,
// timers, threads), waits, DPCs, time, fast mutexes and the current thread.
//
// Drivers embed these structures and free them without a call, so every piece of state lives
// inside the structure: a waiting thread links wait blocks from its own stack into the object's
// wait list under the kernel's one dispatcher lock.
#pragma once

#include <ntdef.h>

// ---------------------------------------------------------------------------------------------
// Interlocked operations: full barriers, inline. User-mode headers may define the same set under
// the same guard.
#ifndef HV_INTERLOCKED_DEFINED
#define HV_INTERLOCKED_DEFINED

inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
// Returns the initial value, whether or not the exchange took place.
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedXor(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);
}
inline CHAR InterlockedExchange8(CHAR volatile* Target, CHAR Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline CHAR InterlockedOr8(CHAR volatile* Destination, CHAR Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}

inline LONG64 InterlockedIncrement64(LONG64 volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedAdd64(LONG64 volatile* Addend, LONG64 Value) {
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange, LONG64 Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG64 InterlockedOr64(LONG64 volatile* Destination, LONG64 Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedAnd64(LONG64 volatile* Destination, LONG64 Value) {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}

inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

inline void KeMemoryBarrier(void) {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
#define MemoryBarrier() KeMemoryBarrier()

#endif // HV_INTERLOCKED_DEFINED

// ---------------------------------------------------------------------------------------------
// Types

typedef LONG KPRIORITY;
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef struct _KSPIN_LOCK_QUEUE {
    struct _KSPIN_LOCK_QUEUE* volatile Next;
    PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

// Thread objects are opaque; both names point at the same object.
typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD ETHREAD, *PETHREAD;

// Values of DISPATCHER_HEADER.Type.
typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
    DpcObject = 19,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Inserted; // timers: set and not yet expired
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    UCHAR WaitType;
    UCHAR BlockState;
    USHORT WaitKey;
    LONG SpareLong;
    PKTHREAD Thread;
    PVOID Object;
    PVOID SparePtr;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    WrEventPair,
    WrQueue,
    WrLpcReceive,
    WrLpcReply,
    WrVirtualMemory,
    WrPageOut,
    WrRendezvous,
    WrKeyedEvent,
    WrTerminated,
    WrProcessInSwap,
    WrCpuRateControl,
    WrCalloutStack,
    WrKernel,
    WrResource,
    WrPushLock,
    WrMutex,
    WrQuantumEnd,
    WrDispatchInt,
    WrPreempted,
    WrYieldExecution,
    WrFastMutex,
    WrGuardedMutex,
    WrRundown,
    MaximumWaitReason
} KWAIT_REASON;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry; // in the owner's list of owned mutexes
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    UCHAR Inserted; // in the DPC queue
    UCHAR Spare[3];
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    ULONG64 Sequence; // queue order, used by KeFlushQueuedDpcs
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime; // machine time of the next expiry, 100-ns units since boot
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
    LONG Period; // milliseconds; 0 for a one-shot timer
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _FAST_MUTEX {
    volatile LONG Count; // 1 free, 0 owned, below 0 owned with waiters
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

// Increments accepted by KeSetEvent and friends; priorities are not modelled.
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1
#define MUTANT_INCREMENT 1

HV_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// IRQL, kept per thread.
HV_API KIRQL KeGetCurrentIrql(void);
HV_API void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
HV_API void KeLowerIrql(KIRQL NewIrql);
HV_API KIRQL KeRaiseIrqlToDpcLevel(void);

// ---------------------------------------------------------------------------------------------
// Spin locks. Acquiring twice on one thread or releasing a lock the thread does not hold is a
// bug check.
HV_API void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
HV_API KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
HV_API void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
HV_API void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
HV_API void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
HV_API BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
HV_API BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);
HV_API void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
HV_API void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
HV_API void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
HV_API void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle);

#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

// ---------------------------------------------------------------------------------------------
// Events
HV_API void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
HV_API LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
HV_API LONG KeResetEvent(PRKEVENT Event);
HV_API void KeClearEvent(PRKEVENT Event);
HV_API LONG KeReadStateEvent(PRKEVENT Event);
HV_API LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

// Mutexes: recursive for the owner; a release by another thread is a bug check.
HV_API void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
HV_API LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
HV_API LONG KeReadStateMutex(PRKMUTEX Mutex);

// Semaphores
HV_API void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
HV_API LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
HV_API LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Fast mutexes: raise to APC_LEVEL while held, not recursive.
HV_API void ExInitializeFastMutex(PFAST_MUTEX FastMutex);
HV_API void ExAcquireFastMutex(PFAST_MUTEX FastMutex);
HV_API void ExReleaseFastMutex(PFAST_MUTEX FastMutex);
HV_API BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
HV_API void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
HV_API void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

// ---------------------------------------------------------------------------------------------
// Waits. Timeout NULL waits forever, 0 polls, negative is relative and positive absolute system
// time, in 100-ns units. Alertable waits behave as non-alertable (there are no APCs).
HV_API NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                      BOOLEAN Alertable, PLARGE_INTEGER Timeout);
HV_API NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                         KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                         PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray);
HV_API NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

#define KeWaitForMutexObject KeWaitForSingleObject

// ---------------------------------------------------------------------------------------------
// DPCs run in queue order on the kernel's DPC thread at DISPATCH_LEVEL.
HV_API void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
HV_API BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
HV_API BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
HV_API void KeFlushQueuedDpcs(void);

// Timers
HV_API void KeInitializeTimer(PKTIMER Timer);
HV_API void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
HV_API BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
HV_API BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
HV_API BOOLEAN KeCancelTimer(PKTIMER Timer);
HV_API BOOLEAN KeReadStateTimer(PKTIMER Timer);

// ---------------------------------------------------------------------------------------------
// Time. System time counts 100-ns units since 1601; interrupt time counts them since boot.
HV_API void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
HV_API ULONGLONG KeQueryInterruptTime(void);
HV_API void KeQueryTickCount(PLARGE_INTEGER TickCount);
HV_API ULONG KeQueryTimeIncrement(void);
HV_API LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
HV_API void KeStallExecutionProcessor(ULONG MicroSeconds);

// ---------------------------------------------------------------------------------------------
// Threads and processors
HV_API PKTHREAD KeGetCurrentThread(void);
HV_API KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
HV_API KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
HV_API ULONG KeGetCurrentProcessorNumber(void);
HV_API CCHAR KeNumberProcessors;

HV_EXTERN_C_END
