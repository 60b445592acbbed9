// A small driver-like image that compiles the support library in and exports a few entry points,
// so that a test can load two of them side by side.
#include <wdm.h>

#include <pmbuffer.h>
#include <pmcallbackobject.h>
#include <pmdebugmanager.h>
#include <pmregistry.h>
#include <pmusagelock.h>

#define PM_TEST_EXPORT extern "C" __attribute__((visibility("default")))

PM_TEST_EXPORT BOOLEAN PmImageIsBusVariant() {
#if defined(HV_PM_BUS_DRIVER)
    return TRUE;
#else
    return FALSE;
#endif
}

PM_TEST_EXPORT BOOLEAN PmImageCreatePool() { return CPmMemoryPool::m_CreateGlobal(); }
PM_TEST_EXPORT void PmImageDestroyPool() { CPmMemoryPool::m_DestroyGlobal(); }
PM_TEST_EXPORT PVOID PmImagePool() { return g_pPmMemoryPool; }

PM_TEST_EXPORT ULONG PmImageTrackedCount() {
    if (!g_pPmMemoryPool)
        return 0;
    ULONG ulBlocks, ulNextSlot;
    g_pPmMemoryPool->m_QueryTracking(&ulBlocks, &ulNextSlot, NULL);
    return (ulBlocks - 1) * (PM_TRACKING_SLOTS - 1) + ulNextSlot - 1;
}

PM_TEST_EXPORT PVOID PmImageAllocate(ULONG ulSize) { return PmAllocateMemory(ulSize, NonPagedPool); }
PM_TEST_EXPORT NTSTATUS PmImageFree(PVOID pv) { return g_pPmMemoryPool ? g_pPmMemoryPool->m_Free(pv) : STATUS_UNSUCCESSFUL; }
PM_TEST_EXPORT void PmImageFreeMemory(PVOID pv) { PmFreeMemory(pv); }

// A buffer object and its storage from this image's pool.
PM_TEST_EXPORT CPmBuffer* PmImageCreateBuffer(const UCHAR* pucBytes, ULONG ulCount) {
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (!pBuffer)
        return NULL;
    pBuffer->m_pPool = g_pPmMemoryPool;
    if (!pBuffer->m_Assign(pucBytes, ulCount)) {
        pBuffer->m_Delete();
        return NULL;
    }
    return pBuffer;
}
// Another image's buffer, freed here through the pool it carries.
PM_TEST_EXPORT BOOLEAN PmImageAppendAndDeleteBuffer(CPmBuffer* pBuffer, const UCHAR* pucBytes, ULONG ulCount) {
    BOOLEAN bAppended = pBuffer->m_Append(pucBytes, ulCount);
    pBuffer->m_Delete();
    return bAppended;
}

PM_TEST_EXPORT BOOLEAN PmImageBufferOperation(ULONG ulOperation, const UCHAR* pucBytes, ULONG ulCount, ULONG ulArgument,
                                              UCHAR* pucOut, PULONG pulOutLength) {
    CPmBuffer buffer;
    RtlZeroMemory(&buffer, sizeof(buffer));
    if (ulCount && !buffer.m_Assign(pucBytes, ulCount))
        return FALSE;
    BOOLEAN bResult = FALSE;
    switch (ulOperation) {
    case 0:
        bResult = buffer.m_RemoveByteAt(ulArgument);
        break;
    case 1:
        bResult = buffer.m_Append(pucBytes, ulArgument);
        break;
    }
    *pulOutLength = buffer.m_ulLength;
    if (buffer.m_pucData)
        RtlCopyMemory(pucOut, buffer.m_pucData, buffer.m_ulLength);
    buffer.m_Clear();
    return bResult;
}

PM_TEST_EXPORT BOOLEAN PmImageWriteString(ULONG ulRelativeTo, PCWSTR pszPath, PCWSTR pszName, PCWSTR pszText, ULONG ulType) {
    CPmString text(PagedPool, pszText);
    return CPmRegistry::m_WriteString(ulRelativeTo, pszPath, pszName, text, ulType);
}

PM_TEST_EXPORT BOOLEAN PmImageSetEnabledFalseRefuses() {
    CPmUsageLock lock;
    lock.m_Init(TRUE);
    lock.m_SetEnabled(FALSE);
    BOOLEAN bAcquired = lock.m_Acquire();
    if (bAcquired)
        lock.m_Release();
    return !bAcquired;
}

PM_TEST_EXPORT BOOLEAN PmImageCreateDebugManager(PCWSTR pszName, PCUNICODE_STRING pServiceKey) {
    BOOLEAN bSuccess = FALSE;
    g_pPmDebugManager = new (NonPagedPool) CPmDebugManager(NULL, pszName, pServiceKey, &bSuccess);
    if (g_pPmDebugManager && !bSuccess) {
        delete g_pPmDebugManager;
        g_pPmDebugManager = NULL;
    }
    return g_pPmDebugManager != NULL;
}

PM_TEST_EXPORT void PmImageDestroyDebugManager() {
    if (g_pPmDebugManager) {
        g_pPmDebugManager->m_UnregisterEventSource();
        delete g_pPmDebugManager;
        g_pPmDebugManager = NULL;
    }
}

PM_TEST_EXPORT PVOID PmImageDebugManager() { return g_pPmDebugManager; }

PM_TEST_EXPORT NTSTATUS PmImageInitializeTracing(PVOID pDriverObject, PCUNICODE_STRING pRegistryPath) {
    return CPmDebugManager::m_InitializeDriverTracing(pDriverObject, pRegistryPath);
}
PM_TEST_EXPORT void PmImageCleanupTracing(PVOID pDriverObject) { CPmDebugManager::m_CleanupTracing(pDriverObject); }
PM_TEST_EXPORT void PmImageTrace(ULONG ulLevel, PCSTR pszText) { PM_TRACE(ulLevel, "%s", pszText); }

// One callback object per image, answering notifications with the image's pool address.
static CPmCallbackObject* s_pCallbackObject;

static void PmImageAnswer(PVOID pvContext, PVOID pvArgument1, PVOID pvArgument2) {
    PVOID* ppvAnswers = static_cast<PVOID*>(pvArgument1);
    ULONG ulSlot = (ULONG)(ULONG_PTR)pvContext;
    ppvAnswers[ulSlot] = g_pPmMemoryPool;
}

PM_TEST_EXPORT BOOLEAN PmImageRegisterCallback(ULONG ulSlot) {
    s_pCallbackObject = new (NonPagedPool) CPmCallbackObject;
    if (!s_pCallbackObject)
        return FALSE;
    if (!s_pCallbackObject->m_Register(GUID_HVGENDRV_CALLBACK_OBJECT, PmImageAnswer, (PVOID)(ULONG_PTR)ulSlot)) {
        PmDeleteObject(s_pCallbackObject);
        s_pCallbackObject = NULL;
        return FALSE;
    }
    return TRUE;
}
PM_TEST_EXPORT BOOLEAN PmImageNotify(PVOID* ppvAnswers) {
    return s_pCallbackObject && s_pCallbackObject->m_Notify(ppvAnswers, NULL);
}
PM_TEST_EXPORT void PmImageCloseCallback() {
    PmDeleteObject(s_pCallbackObject);
    s_pCallbackObject = NULL;
}
