// Worker threads and per-device work items.
#include <pmworkerthread.h>
#include <pmdebugmanager.h>

static const CHAR s_szSourcePath[] = "driversource\\hvtools\\driver\\pmworkerthread";

// The priority every worker thread runs at, and returns to before it ends.
static const ULONG s_ulWorkerPriority = 31;

// Appends the item under the list's lock and wakes the thread; FALSE when no node can be had.
static BOOLEAN PmQueueItem(CPmPointerList* pItems, CPmSpinLock* pLock, PmWorkerItem* pItem, PKEVENT pItemEvent,
                           PULONG pulCount) {
    pLock->m_Lock();
    PmListNode* pNode = pItems->m_Append(pItem);
    if (pNode && pulCount)
        ++*pulCount;
    pLock->m_Unlock();
    if (!pNode)
        return FALSE;
    KeSetEvent(pItemEvent, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

// Runs the queued items one at a time in the order they were posted, never holding the lock while one
// runs; items posted meanwhile are taken in the same pass.
static void PmDrainItems(CPmPointerList* pItems, CPmSpinLock* pLock, PULONG pulCount) {
    pLock->m_Lock();
    PmWorkerItem* pItem = static_cast<PmWorkerItem*>(pItems->m_RemoveHead());
    while (pItem) {
        if (pulCount)
            --*pulCount;
        pLock->m_Unlock();
        pItem->m_pfnFunction(pItem->m_pvArgument1, pItem->m_pvArgument2);
        PmFreeMemory(pItem);
        pLock->m_Lock();
        pItem = static_cast<PmWorkerItem*>(pItems->m_RemoveHead());
    }
    pLock->m_Unlock();
}

static void PmSetIrql(KIRQL ucIrql) {
    KIRQL ucCurrent = KeGetCurrentIrql();
    if (ucIrql > ucCurrent) {
        KIRQL ucOld;
        KeRaiseIrql(ucIrql, &ucOld);
    } else if (ucIrql < ucCurrent) {
        KeLowerIrql(ucIrql);
    }
}

void CPmWorkerThread::m_Initialize() {
    m_pfnWork = NULL;
    m_pvContext = NULL;
    KeInitializeEvent(&m_kStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_kDoneEvent, NotificationEvent, FALSE);
    m_bStop = FALSE;
    m_hThread = NULL;
    m_pThreadObject = NULL;
    m_ppvWaitObjects = NULL;
    m_ulWaitObjectCount = 0;
    m_liTimeout.QuadPart = 0;
    m_bCallFirst = FALSE;
    RtlZeroMemory(m_aWaitBlocks, sizeof(m_aWaitBlocks));
    m_ulPriority = s_ulWorkerPriority;
    m_ucLevel = 0;
    KeInitializeEvent(&m_kItemEvent, SynchronizationEvent, TRUE);
}

CPmWorkerThread::CPmWorkerThread() : m_Items(NonPagedPool) { m_Initialize(); }

CPmWorkerThread::CPmWorkerThread(ULONG ulPriority, UCHAR ucLevel) : m_Items(NonPagedPool) {
    m_Initialize();
    m_Init();
}

CPmWorkerThread::~CPmWorkerThread() {
    m_Stop();
    m_ItemLock.m_Lock();
    while (PmWorkerItem* pItem = static_cast<PmWorkerItem*>(m_Items.m_RemoveHead()))
        PmFreeMemory(pItem);
    m_ItemLock.m_Unlock();
}

BOOLEAN CPmWorkerThread::m_Init() {
    PM_TRACE(PM_TRACE_WORKER_INIT, "CPmWorkerThread::m_Init IN");
    PM_TRACE(PM_TRACE_WORKER_CREATE, "CPmWorkerThread::m_Create IN");
    PVOID apvWaitObjects[1] = {&m_kItemEvent};
    BOOLEAN bCreated = m_CreateThread(sm_DrainItems, this, apvWaitObjects, m_ulPriority, m_ucLevel);
    PM_TRACE(PM_TRACE_WORKER_INIT, "CPmWorkerThread::m_Init OUT");
    return bCreated;
}

#if defined(HV_PM_BUS_DRIVER)
BOOLEAN CPmWorkerThread::m_Create(PPM_THREAD_FUNCTION pfnWork, PVOID pvContext, PVOID* ppvWaitObjects,
                                  ULONG ulPriority) {
    return m_CreateThread(pfnWork, pvContext, ppvWaitObjects, ulPriority, 0);
}
#else
BOOLEAN CPmWorkerThread::m_Create(PPM_THREAD_FUNCTION pfnWork, PVOID pvContext, PVOID* ppvWaitObjects,
                                  ULONG ulPriority, UCHAR ucLevel) {
    return m_CreateThread(pfnWork, pvContext, ppvWaitObjects, ulPriority, ucLevel);
}
#endif

BOOLEAN CPmWorkerThread::m_CreateThread(PPM_THREAD_FUNCTION pfnWork, PVOID pvContext, PVOID* ppvWaitObjects,
                                        ULONG ulPriority, UCHAR ucLevel) {
    if (!pfnWork || !ppvWaitObjects || !ppvWaitObjects[0] || ulPriority >= 32 || ucLevel >= 16) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    if (m_hThread)
        m_Stop();

    PVOID* ppvArray = static_cast<PVOID*>(PmAllocateMemory(PM_WORKER_WAIT_OBJECTS * sizeof(PVOID), NonPagedPool));
    if (!ppvArray)
        return FALSE;
    ppvArray[0] = ppvWaitObjects[0];
    ppvArray[1] = &m_kStopEvent;
    m_ppvWaitObjects = ppvArray;
    m_ulWaitObjectCount = PM_WORKER_WAIT_OBJECTS;
    m_liTimeout.QuadPart = 0;
    m_bCallFirst = FALSE;
    m_pfnWork = pfnWork;
    m_pvContext = pvContext;
    m_ulPriority = ulPriority;
    m_ucLevel = ucLevel;
    m_bStop = FALSE;
    KeClearEvent(&m_kStopEvent);
    KeClearEvent(&m_kDoneEvent);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE hThread = NULL;
    NTSTATUS ntStatus =
        PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &attributes, NULL, NULL, sm_ThreadRoutine, this);
    if (!NT_SUCCESS(ntStatus)) {
        PmFreeMemory(m_ppvWaitObjects);
        m_ppvWaitObjects = NULL;
        m_ulWaitObjectCount = 0;
        return FALSE;
    }
    m_hThread = hThread;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                              &m_pThreadObject, NULL)))
        m_pThreadObject = NULL;
    PM_TRACE(PM_TRACE_WORKER_CREATE, "CPmWorkerThread::m_Create OUT");
    return TRUE;
}

void CPmWorkerThread::sm_ThreadRoutine(PVOID pvContext) {
    CPmWorkerThread* pThis = static_cast<CPmWorkerThread*>(pvContext);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        PM_ASSERTION_LINE(s_szSourcePath);
        // Still tell m_Stop that the thread is gone, or it would wait for ever.
        KeSetEvent(&pThis->m_kDoneEvent, IO_NO_INCREMENT, FALSE);
        PsTerminateSystemThread(STATUS_SUCCESS);
        return;
    }
    BOOLEAN bRaised = FALSE;
    KIRQL ucOldIrql = PASSIVE_LEVEL;
    if (pThis->m_ucLevel) {
        KeRaiseIrql(APC_LEVEL, &ucOldIrql);
        bRaised = TRUE;
    } else if (pThis->m_ulPriority) {
        KeSetPriorityThread(KeGetCurrentThread(), (KPRIORITY)pThis->m_ulPriority);
    }
    if (pThis->m_bCallFirst)
        pThis->m_pfnWork(pThis->m_pvContext);

    for (;;) {
        NTSTATUS ntStatus = KeWaitForMultipleObjects(
            pThis->m_ulWaitObjectCount, pThis->m_ppvWaitObjects, WaitAny, Executive, KernelMode, FALSE,
            pThis->m_liTimeout.QuadPart ? &pThis->m_liTimeout : NULL, pThis->m_aWaitBlocks);
        if (pThis->m_bStop || !NT_SUCCESS(ntStatus))
            break;
        KIRQL ucIrql = KeGetCurrentIrql();
        if (pThis->m_ucLevel <= APC_LEVEL)
            PmSetIrql(pThis->m_ucLevel);
        pThis->m_pfnWork(pThis->m_pvContext);
        PmSetIrql(ucIrql);
    }

    if (bRaised)
        KeLowerIrql(ucOldIrql);
    KeSetPriorityThread(KeGetCurrentThread(), (KPRIORITY)s_ulWorkerPriority);
    // The object may go as soon as the done event is set.
    KeSetEvent(&pThis->m_kDoneEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void CPmWorkerThread::sm_DrainItems(PVOID pvContext) {
    CPmWorkerThread* pThis = static_cast<CPmWorkerThread*>(pvContext);
    PmDrainItems(&pThis->m_Items, &pThis->m_ItemLock, NULL);
}

BOOLEAN CPmWorkerThread::m_Post(PPM_WORK_FUNCTION pfnFunction, PVOID pvContext) {
    if (!pfnFunction)
        return FALSE;
    PmWorkerItem* pItem = static_cast<PmWorkerItem*>(PmAllocateMemory(sizeof(PmWorkerItem), NonPagedPool));
    if (!pItem)
        return FALSE;
    pItem->m_pfnFunction = pfnFunction;
    pItem->m_pvArgument1 = pvContext;
    pItem->m_pvArgument2 = NULL;
    if (!PmQueueItem(&m_Items, &m_ItemLock, pItem, &m_kItemEvent, NULL)) {
        PmFreeMemory(pItem);
        return FALSE;
    }
    return TRUE;
}

void CPmWorkerThread::m_Stop() {
    if (!m_hThread)
        return;
    m_bStop = TRUE;
    KeSetEvent(&m_kStopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&m_kDoneEvent, Executive, KernelMode, FALSE, NULL);
    if (m_pThreadObject) {
        // The routine is past its last statement only when the thread object is signalled.
        KeWaitForSingleObject(m_pThreadObject, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(m_pThreadObject);
    }
    ZwClose(m_hThread);
    m_Reset();
}

void CPmWorkerThread::m_Reset() {
    m_pfnWork = NULL;
    m_pvContext = NULL;
    m_bStop = FALSE;
    KeClearEvent(&m_kStopEvent);
    KeClearEvent(&m_kDoneEvent);
    PmFreeMemory(m_ppvWaitObjects);
    m_ppvWaitObjects = NULL;
    m_hThread = NULL;
    m_pThreadObject = NULL;
    m_ulWaitObjectCount = 0;
}

void CPmDeviceWorker::m_Initialize() {
    KeInitializeEvent(&m_kEvent1, NotificationEvent, FALSE);
    KeInitializeEvent(&m_kEvent2, NotificationEvent, FALSE);
    KeInitializeEvent(&m_kItemEvent, SynchronizationEvent, TRUE);
    m_UsageLock.m_SetLimit(PM_USAGE_UNLIMITED);
    m_UsageLock.m_Init(TRUE);
}

CPmDeviceWorker::CPmDeviceWorker(PDEVICE_OBJECT pDeviceObject)
    : m_pDeviceObject(NULL), m_ulPriority(0), m_Items(NonPagedPool), m_ulItemCount(0) {
    m_Initialize();
    m_Init(pDeviceObject);
}

CPmDeviceWorker::CPmDeviceWorker(PDEVICE_OBJECT pDeviceObject, ULONG ulMode)
    : m_pDeviceObject(NULL), m_ulPriority(0), m_Items(NonPagedPool), m_ulItemCount(0) {
    m_Initialize();
    m_Init(ulMode == PM_DEVICE_WORKER_OWN_THREAD ? NULL : pDeviceObject);
}

CPmDeviceWorker::~CPmDeviceWorker() { m_Stop(); }

BOOLEAN CPmDeviceWorker::m_Init(PDEVICE_OBJECT pDeviceObject) {
    PM_TRACE(PM_TRACE_DEVICE_WORKER, "CPmDeviceWorker::m_Init IN");
    if (pDeviceObject && IoIsWdmVersionAvailable(1, 0x10)) {
        m_pDeviceObject = pDeviceObject;
        PM_TRACE(PM_TRACE_DEVICE_WORKER, "CPmDeviceWorker::m_Init OUT");
        return TRUE;
    }
    m_pDeviceObject = NULL;
    PM_TRACE(PM_TRACE_WORKER_CREATE, "CPmDeviceWorker::m_Create IN");
    PVOID apvWaitObjects[1] = {&m_kItemEvent};
#if defined(HV_PM_BUS_DRIVER)
    BOOLEAN bCreated = m_Thread.m_Create(sm_DrainItems, this, apvWaitObjects, m_ulPriority);
#else
    BOOLEAN bCreated = m_Thread.m_Create(sm_DrainItems, this, apvWaitObjects, m_ulPriority, 0);
#endif
    PM_TRACE(PM_TRACE_DEVICE_WORKER, "CPmDeviceWorker::m_Init OUT");
    return bCreated;
}

BOOLEAN CPmDeviceWorker::m_Post(PPM_WORK_FUNCTION pfnFunction, PVOID pvArgument1, PVOID pvArgument2) {
    if (!pfnFunction)
        return FALSE;
    PmDeviceWorkItem* pItem =
        static_cast<PmDeviceWorkItem*>(PmAllocateMemory(sizeof(PmDeviceWorkItem), NonPagedPool));
    if (!pItem)
        return FALSE;
    pItem->m_pfnFunction = pfnFunction;
    pItem->m_pvArgument1 = pvArgument1;
    pItem->m_pvArgument2 = pvArgument2;
    pItem->m_pWorkItem = NULL;
    pItem->m_pUsageLock = &m_UsageLock;

    if (m_pDeviceObject) {
        if (!m_UsageLock.m_Acquire()) {
            // Stopping: the work is dropped.
            PmFreeMemory(pItem);
            return FALSE;
        }
        pItem->m_pWorkItem = IoAllocateWorkItem(m_pDeviceObject);
        if (!pItem->m_pWorkItem) {
            m_UsageLock.m_Release();
            PmFreeMemory(pItem);
            return FALSE;
        }
        IoQueueWorkItem(pItem->m_pWorkItem, sm_WorkItemRoutine, DelayedWorkQueue, pItem);
        return TRUE;
    }

    // A stopped thread would never run the item.
    if (!m_Thread.m_IsRunning()) {
        PmFreeMemory(pItem);
        return FALSE;
    }
    if (!PmQueueItem(&m_Items, &m_ItemLock, pItem, &m_kItemEvent, &m_ulItemCount)) {
        PmFreeMemory(pItem);
        return FALSE;
    }
    return TRUE;
}

void CPmDeviceWorker::sm_WorkItemRoutine(PDEVICE_OBJECT pDeviceObject, PVOID pvContext) {
    PmDeviceWorkItem* pItem = static_cast<PmDeviceWorkItem*>(pvContext);
    pItem->m_pfnFunction(pItem->m_pvArgument1, pItem->m_pvArgument2);
    IoFreeWorkItem(pItem->m_pWorkItem);
    CPmUsageLock* pUsageLock = pItem->m_pUsageLock;
    PmFreeMemory(pItem);
    // Last: once released, the worker may be gone.
    pUsageLock->m_Release();
}

void CPmDeviceWorker::sm_DrainItems(PVOID pvContext) {
    CPmDeviceWorker* pThis = static_cast<CPmDeviceWorker*>(pvContext);
    PmDrainItems(&pThis->m_Items, &pThis->m_ItemLock, &pThis->m_ulItemCount);
}

void CPmDeviceWorker::m_DiscardItems() {
    m_ItemLock.m_Lock();
    while (PmDeviceWorkItem* pItem = static_cast<PmDeviceWorkItem*>(m_Items.m_RemoveHead()))
        PmFreeMemory(pItem);
    m_ulItemCount = 0;
    m_ItemLock.m_Unlock();
}

void CPmDeviceWorker::m_Stop() {
    if (m_pDeviceObject) {
        m_UsageLock.m_DisableAndWait();
        return;
    }
    m_Thread.m_Stop();
    m_DiscardItems();
}
