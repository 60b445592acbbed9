// Deferred work at PASSIVE_LEVEL: a dedicated system thread, or per device the system's delayed work
// queue.
#pragma once

#include <pmmemorypool.h>
#include <pmusagelock.h>

// A posted item's function: (first argument, second argument).
typedef VOID PM_WORK_FUNCTION(PVOID pvArgument1, PVOID pvArgument2);
typedef PM_WORK_FUNCTION* PPM_WORK_FUNCTION;
// The function a worker thread calls each time one of its wait objects is signalled.
typedef VOID PM_THREAD_FUNCTION(PVOID pvContext);
typedef PM_THREAD_FUNCTION* PPM_THREAD_FUNCTION;

#define PM_WORKER_WAIT_OBJECTS 2

// A posted item: its function and the two arguments.
struct PmWorkerItem {
    PPM_WORK_FUNCTION m_pfnFunction;
    PVOID m_pvArgument1;
    PVOID m_pvArgument2;
};

class CPmWorkerThread {
public:
    PPM_THREAD_FUNCTION m_pfnWork;
    PVOID m_pvContext;
    KEVENT m_kStopEvent;
    KEVENT m_kDoneEvent;
    BOOLEAN m_bStop;
    HANDLE m_hThread;
    PVOID m_pThreadObject;
    PVOID* m_ppvWaitObjects;
    ULONG m_ulWaitObjectCount;
    LARGE_INTEGER m_liTimeout; // relative; 0 waits without time-out
    BOOLEAN m_bCallFirst;
    KWAIT_BLOCK m_aWaitBlocks[PM_WORKER_WAIT_OBJECTS];
    ULONG m_ulPriority;
    UCHAR m_ucLevel;
    CPmPointerList m_Items;
    KEVENT m_kItemEvent;
    CPmSpinLock m_ItemLock;

    // Starts a thread that runs posted items. The arguments are not used: the thread always runs at
    // priority 31 and level 0.
    CPmWorkerThread(ULONG ulPriority, UCHAR ucLevel);
    // No thread until m_Create (the device worker embeds one this way).
    CPmWorkerThread();
    // Stops the thread and discards items that never ran.
    ~CPmWorkerThread();

    CPmWorkerThread(const CPmWorkerThread&) = delete;
    CPmWorkerThread& operator=(const CPmWorkerThread&) = delete;

    BOOLEAN m_Init();
    // Waits on the first of the wait objects and on the stop event, calling pfnWork(pvContext) each
    // time one of them is signalled. A running thread is stopped first. In the bus driver there is
    // no level argument and the level is always 0.
#if defined(HV_PM_BUS_DRIVER)
    BOOLEAN m_Create(PPM_THREAD_FUNCTION pfnWork, PVOID pvContext, PVOID* ppvWaitObjects, ULONG ulPriority);
#else
    BOOLEAN m_Create(PPM_THREAD_FUNCTION pfnWork, PVOID pvContext, PVOID* ppvWaitObjects, ULONG ulPriority,
                     UCHAR ucLevel);
#endif
    // Queues pfnFunction(pvContext, NULL) for the thread; FALSE when the item cannot be allocated.
    BOOLEAN m_Post(PPM_WORK_FUNCTION pfnFunction, PVOID pvContext);
    // PASSIVE_LEVEL, never on the worker's own thread.
    void m_Stop();
    void m_Reset();

    BOOLEAN m_IsRunning() const { return m_hThread != NULL; }

    static KSTART_ROUTINE sm_ThreadRoutine;
    static PM_THREAD_FUNCTION sm_DrainItems;

private:
    void m_Initialize();
    BOOLEAN m_CreateThread(PPM_THREAD_FUNCTION pfnWork, PVOID pvContext, PVOID* ppvWaitObjects, ULONG ulPriority,
                           UCHAR ucLevel);
};

// An item of a device worker.
struct PmDeviceWorkItem : PmWorkerItem {
    PIO_WORKITEM m_pWorkItem;
    CPmUsageLock* m_pUsageLock;
};

#define PM_DEVICE_WORKER_DEFAULT 0
#define PM_DEVICE_WORKER_OWN_THREAD 1

class CPmDeviceWorker {
public:
    PDEVICE_OBJECT m_pDeviceObject; // work-item mode; NULL in thread mode
    ULONG m_ulPriority;
    KEVENT m_kEvent1;
    KEVENT m_kEvent2;
    CPmWorkerThread m_Thread;
    CPmPointerList m_Items;
    ULONG m_ulItemCount;
    KEVENT m_kItemEvent;
    CPmSpinLock m_ItemLock;
    CPmUsageLock m_UsageLock; // work items in flight

    // Work items for the device when the system has them (WDM 1.10) and a device is given, else an own
    // thread.
    explicit CPmDeviceWorker(PDEVICE_OBJECT pDeviceObject);
    // Mode PM_DEVICE_WORKER_OWN_THREAD starts an own thread at once, whatever the system offers:
    // items then run one at a time in the order they were posted.
    CPmDeviceWorker(PDEVICE_OBJECT pDeviceObject, ULONG ulMode);
    ~CPmDeviceWorker();

    CPmDeviceWorker(const CPmDeviceWorker&) = delete;
    CPmDeviceWorker& operator=(const CPmDeviceWorker&) = delete;

    BOOLEAN m_Init(PDEVICE_OBJECT pDeviceObject);
    // Runs pfnFunction(pvArgument1, pvArgument2) at PASSIVE_LEVEL; FALSE when the work is dropped
    // (no memory, or the worker is stopping).
    BOOLEAN m_Post(PPM_WORK_FUNCTION pfnFunction, PVOID pvArgument1, PVOID pvArgument2);
    // Work-item mode: waits for every queued item. Thread mode: stops the thread and discards what is
    // still queued. PASSIVE_LEVEL.
    void m_Stop();

    BOOLEAN m_UsesWorkItems() const { return m_pDeviceObject != NULL; }

    static IO_WORKITEM_ROUTINE sm_WorkItemRoutine;
    static PM_THREAD_FUNCTION sm_DrainItems;

private:
    void m_Initialize();
    void m_DiscardItems();
};
