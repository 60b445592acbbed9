// The DriverEntry of every framework driver, and the usual unload cleanup.
#include <pmdriver.h>
#include <pmdebugmanager.h>

static void PmFreeDebugManager() {
    if (g_pPmDebugManager) {
        g_pPmDebugManager->m_UnregisterEventSource();
        delete g_pPmDebugManager;
        g_pPmDebugManager = NULL;
    }
}

void PmDriverUnloadCleanup() {
    PmFreeDebugManager();
    CPmMemoryPool::m_DestroyGlobal();
}

NTSTATUS PmDriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath, PmDriverDescription* pDescription) {
    g_pPmMemoryPool = NULL;
    g_pPmDebugManager = NULL;
    if (!CPmMemoryPool::m_CreateGlobal())
        return STATUS_UNSUCCESSFUL;

    NTSTATUS ntStatus = STATUS_UNSUCCESSFUL;
    BOOLEAN bTracing = FALSE;
    CPmDriver* pDriver = NULL;
    {
        CPmString registryPath(NonPagedPool);
        CPmString driverName(NonPagedPool, pDescription->m_pszDriverName);
        BOOLEAN bSuccess = NT_SUCCESS(registryPath.m_AssignUnicodeString(pRegistryPath)) &&
                           NT_SUCCESS(driverName.m_GetStatus()) && !driverName.m_IsEmpty();
        if (bSuccess) {
            g_pPmDebugManager = new (NonPagedPool) CPmDebugManager(pDriverObject, driverName.m_GetText(),
                                                                   registryPath.m_GetUnicodeString(), &bSuccess);
            if (g_pPmDebugManager && !bSuccess)
                PmFreeDebugManager();
        }
        if (!g_pPmDebugManager) {
            CPmMemoryPool::m_DestroyGlobal();
            return STATUS_UNSUCCESSFUL;
        }

        pDescription->m_pDriverObject = pDriverObject;
        pDescription->m_pRegistryPath = pRegistryPath;
        if (IoIsWdmVersionAvailable(1, 0x20))
            bTracing = NT_SUCCESS(CPmDebugManager::m_InitializeDriverTracing(pDriverObject, pRegistryPath));

        InterlockedIncrement(&g_lPmLiveDrivers);
        pDriver = new (NonPagedPool) CPmDriver();
        if (!pDriver)
            InterlockedDecrement(&g_lPmLiveDrivers);
        else
            ntStatus = pDriver->m_DriverEntry(pDescription);
    }
    if (pDriver && ntStatus == STATUS_SUCCESS)
        return STATUS_SUCCESS;

    // No unload follows a failed DriverEntry: give back everything made here.
    if (pDriver) {
        pDriverObject->DriverStartIo = NULL;
        pDriverObject->DriverUnload = NULL;
        if (pDriverObject->DriverExtension)
            pDriverObject->DriverExtension->AddDevice = NULL;
        delete pDriver;
        InterlockedDecrement(&g_lPmLiveDrivers);
    }
    if (bTracing)
        CPmDebugManager::m_CleanupTracing(pDriverObject);
    PmFreeDebugManager();
    CPmMemoryPool::m_DestroyGlobal();
    return STATUS_UNSUCCESSFUL;
}
