// The driver's tracked memory pool and the root object.
#include <pmmemorypool.h>

CPmMemoryPool* g_pPmMemoryPool = NULL;
LONG g_lPmMemoryPoolUsers = 0;

// A block's slots, then its link back to the previous block (null in the first), so that the
// newest blocks are reached without walking the chain under the table's lock.
static const ULONG s_ulBackLink = PM_TRACKING_SLOTS;
static const SIZE_T s_cbTrackingBlock = (PM_TRACKING_SLOTS + 1) * sizeof(PVOID);
// How many of the newest tracking blocks a free searches before the rest.
static const ULONG s_ulNewestBlocks = 4;

void* CPmMemoryPool::operator new(size_t size, POOL_TYPE ePoolType) noexcept {
    return ExAllocatePoolWithTag(ePoolType, size, PM_TAG_POOL);
}

void CPmMemoryPool::operator delete(void* pv) noexcept {
    if (pv)
        ExFreePool(pv);
}

CPmMemoryPool::CPmMemoryPool(BOOLEAN bStrict) : m_ntStatus(STATUS_UNSUCCESSFUL), m_pTable(NULL), m_bStrict(bStrict) {
    PmTrackingTable* pTable =
        static_cast<PmTrackingTable*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PmTrackingTable), PM_TAG_POOL));
    if (!pTable)
        return;
    PVOID* ppvBlock = static_cast<PVOID*>(ExAllocatePoolWithTag(NonPagedPool, s_cbTrackingBlock, PM_TAG_BLOCK));
    if (!ppvBlock) {
        ExFreePool(pTable);
        return;
    }
    RtlZeroMemory(ppvBlock, s_cbTrackingBlock);
    pTable->m_ppvFirstBlock = ppvBlock;
    pTable->m_ppvCurrentBlock = ppvBlock;
    pTable->m_ulNextSlot = 1;
    pTable->m_ulFailedBlockAllocations = 0;
    pTable->m_SpinLock.m_Initialize();
    m_pTable = pTable;
    m_ntStatus = STATUS_SUCCESS;
}

CPmMemoryPool::~CPmMemoryPool() {
    if (!m_pTable)
        return;
    m_FreeAll();
    ExFreePool(m_pTable->m_ppvFirstBlock);
    ExFreePool(m_pTable);
    m_pTable = NULL;
}

BOOLEAN CPmMemoryPool::m_CreateGlobal() {
    if (InterlockedIncrement(&g_lPmMemoryPoolUsers) > 1 && g_pPmMemoryPool)
        return TRUE;
    CPmMemoryPool* pPool = new (NonPagedPool) CPmMemoryPool(TRUE);
    if (!pPool || pPool->m_ntStatus != STATUS_SUCCESS) {
        delete pPool;
        // A failed creation counts no user, so a later attempt creates the pool again.
        InterlockedDecrement(&g_lPmMemoryPoolUsers);
        return FALSE;
    }
    g_pPmMemoryPool = pPool;
    return TRUE;
}

void CPmMemoryPool::m_DestroyGlobal() {
    LONG lUsers = InterlockedDecrement(&g_lPmMemoryPoolUsers);
    if (lUsers > 0)
        return;
    if (lUsers < 0) {
        // A destroy without a create.
        InterlockedIncrement(&g_lPmMemoryPoolUsers);
        return;
    }
    CPmMemoryPool* pPool = g_pPmMemoryPool;
    g_pPmMemoryPool = NULL;
    delete pPool;
}

PVOID CPmMemoryPool::m_AllocateBuffer(POOL_TYPE ePoolType, ULONG ulSize) { return m_Allocate(ulSize, ePoolType); }

PVOID CPmMemoryPool::m_Allocate(SIZE_T size, POOL_TYPE ePoolType) {
    if (m_bStrict && size == 0)
        size = 1;
    PVOID pv = ExAllocatePoolWithTag(ePoolType, size, PM_TAG_ALLOCATION);
    if (!pv)
        return NULL;
    if (!NT_SUCCESS(m_Enter(pv))) {
        ExFreePool(pv);
        return NULL;
    }
    return pv;
}

NTSTATUS CPmMemoryPool::m_Free(PVOID pv) {
    if (!pv)
        return STATUS_INVALID_PARAMETER;
    return m_Remove(pv);
}

void CPmMemoryPool::m_FreeMemory(PVOID pv) {
    if (!pv)
        return;
    if (m_Free(pv) == STATUS_SUCCESS || !m_bStrict)
        ExFreePool(pv);
}

void CPmMemoryPool::m_QueryTracking(PULONG pulBlocks, PULONG pulNextSlot, PULONG pulFailedBlocks) {
    ULONG ulBlocks = 0, ulNextSlot = 0, ulFailed = 0;
    if (m_pTable) {
        m_pTable->m_SpinLock.m_Lock();
        for (PVOID* ppvBlock = m_pTable->m_ppvFirstBlock; ppvBlock; ppvBlock = static_cast<PVOID*>(ppvBlock[0]))
            ++ulBlocks;
        ulNextSlot = m_pTable->m_ulNextSlot;
        ulFailed = m_pTable->m_ulFailedBlockAllocations;
        m_pTable->m_SpinLock.m_Unlock();
    }
    if (pulBlocks)
        *pulBlocks = ulBlocks;
    if (pulNextSlot)
        *pulNextSlot = ulNextSlot;
    if (pulFailedBlocks)
        *pulFailedBlocks = ulFailed;
}

NTSTATUS CPmMemoryPool::m_Enter(PVOID pv) {
    PmTrackingTable* pTable = m_pTable;
    if (!pTable)
        return STATUS_UNSUCCESSFUL;
    pTable->m_SpinLock.m_Lock();
    if (pTable->m_ulNextSlot == PM_TRACKING_SLOTS) {
        PVOID* ppvBlock = static_cast<PVOID*>(ExAllocatePoolWithTag(NonPagedPool, s_cbTrackingBlock, PM_TAG_BLOCK));
        if (!ppvBlock) {
            // Only this allocation fails; every pointer tracked so far stays tracked.
            ++pTable->m_ulFailedBlockAllocations;
            pTable->m_SpinLock.m_Unlock();
            return STATUS_NO_MEMORY;
        }
        RtlZeroMemory(ppvBlock, s_cbTrackingBlock);
        ppvBlock[s_ulBackLink] = pTable->m_ppvCurrentBlock;
        pTable->m_ppvCurrentBlock[0] = ppvBlock;
        pTable->m_ppvCurrentBlock = ppvBlock;
        pTable->m_ulNextSlot = 1;
    }
    pTable->m_ppvCurrentBlock[pTable->m_ulNextSlot++] = pv;
    pTable->m_SpinLock.m_Unlock();
    return STATUS_SUCCESS;
}

NTSTATUS CPmMemoryPool::m_Remove(PVOID pv) {
    PmTrackingTable* pTable = m_pTable;
    if (!pTable)
        return STATUS_INVALID_PARAMETER;
    pTable->m_SpinLock.m_Lock();
    // Short-lived buffers were entered last, behind the long-lived objects: the newest blocks are
    // searched first (back from the current one), each from its last slot, then the older ones.
    PVOID* ppvSlot = NULL;
    PVOID* ppvOldestSearched = NULL;
    PVOID* ppvBlock = pTable->m_ppvCurrentBlock;
    for (ULONG ulBlock = 0; ulBlock < s_ulNewestBlocks && ppvBlock && !ppvSlot; ++ulBlock) {
        ULONG ulUsed = ppvBlock == pTable->m_ppvCurrentBlock ? pTable->m_ulNextSlot : PM_TRACKING_SLOTS;
        for (ULONG ulSlot = ulUsed; ulSlot > 1; --ulSlot) {
            if (ppvBlock[ulSlot - 1] == pv) {
                ppvSlot = &ppvBlock[ulSlot - 1];
                break;
            }
        }
        ppvOldestSearched = ppvBlock;
        ppvBlock = static_cast<PVOID*>(ppvBlock[s_ulBackLink]);
    }
    for (ppvBlock = pTable->m_ppvFirstBlock; ppvBlock != ppvOldestSearched && !ppvSlot;
         ppvBlock = static_cast<PVOID*>(ppvBlock[0])) {
        for (ULONG ulSlot = 1; ulSlot < PM_TRACKING_SLOTS; ++ulSlot) {
            if (ppvBlock[ulSlot] == pv) {
                ppvSlot = &ppvBlock[ulSlot];
                break;
            }
        }
    }
    if (!ppvSlot) {
        pTable->m_SpinLock.m_Unlock();
        return STATUS_INVALID_PARAMETER;
    }
    // Keep the table dense: the last tracked pointer fills the gap.
    PVOID* ppvLast = &pTable->m_ppvCurrentBlock[pTable->m_ulNextSlot - 1];
    if (ppvSlot != ppvLast)
        *ppvSlot = *ppvLast;
    m_TakeOutLastSlot();
    pTable->m_SpinLock.m_Unlock();
    return STATUS_SUCCESS;
}

// Called under the table's lock with at least one tracked pointer in the current block.
void CPmMemoryPool::m_TakeOutLastSlot() {
    PmTrackingTable* pTable = m_pTable;
    PVOID* ppvCurrent = pTable->m_ppvCurrentBlock;
    if (pTable->m_ulNextSlot > 2) {
        ppvCurrent[--pTable->m_ulNextSlot] = NULL;
        return;
    }
    ppvCurrent[1] = NULL;
    if (ppvCurrent == pTable->m_ppvFirstBlock) {
        pTable->m_ulNextSlot = 1;
        return;
    }
    PVOID* ppvPrevious = static_cast<PVOID*>(ppvCurrent[s_ulBackLink]);
    ppvPrevious[0] = NULL;
    ExFreePool(ppvCurrent);
    pTable->m_ppvCurrentBlock = ppvPrevious;
    pTable->m_ulNextSlot = PM_TRACKING_SLOTS;
}

// Only at the last destroy, when nobody else can reach the pool; the table's lock is not taken, since
// paged blocks must be freed below DISPATCH_LEVEL.
void CPmMemoryPool::m_FreeAll() {
    PmTrackingTable* pTable = m_pTable;
    PVOID* ppvBlock = pTable->m_ppvFirstBlock;
    while (ppvBlock) {
        ULONG ulUsed = ppvBlock == pTable->m_ppvCurrentBlock ? pTable->m_ulNextSlot : PM_TRACKING_SLOTS;
        for (ULONG ulSlot = 1; ulSlot < ulUsed; ++ulSlot) {
            if (ppvBlock[ulSlot]) {
                ExFreePool(ppvBlock[ulSlot]);
                ppvBlock[ulSlot] = NULL;
            }
        }
        PVOID* ppvNext = static_cast<PVOID*>(ppvBlock[0]);
        if (ppvBlock != pTable->m_ppvFirstBlock)
            ExFreePool(ppvBlock);
        ppvBlock = ppvNext;
    }
    RtlZeroMemory(pTable->m_ppvFirstBlock, s_cbTrackingBlock);
    pTable->m_ppvCurrentBlock = pTable->m_ppvFirstBlock;
    pTable->m_ulNextSlot = 1;
}

PVOID PmAllocateMemory(SIZE_T size, POOL_TYPE ePoolType) {
    CPmMemoryPool* pPool = g_pPmMemoryPool;
    return pPool ? pPool->m_Allocate(size, ePoolType) : NULL;
}

PVOID PmAllocateZeroedMemory(SIZE_T size, POOL_TYPE ePoolType) {
    PVOID pv = PmAllocateMemory(size, ePoolType);
    if (pv)
        RtlZeroMemory(pv, size);
    return pv;
}

void PmFreeMemory(PVOID pv) {
    CPmMemoryPool* pPool = g_pPmMemoryPool;
    if (pPool)
        pPool->m_FreeMemory(pv);
}

void* operator new(size_t size, POOL_TYPE ePoolType) noexcept { return PmAllocateMemory(size, ePoolType); }

void operator delete(void* pv, POOL_TYPE) noexcept { PmFreeMemory(pv); }

void* CPmObject::operator new(size_t size, POOL_TYPE ePoolType) noexcept { return PmAllocateMemory(size, ePoolType); }

void CPmObject::operator delete(void* pv) noexcept { PmFreeMemory(pv); }

void CPmObject::operator delete(void* pv, POOL_TYPE) noexcept { PmFreeMemory(pv); }
