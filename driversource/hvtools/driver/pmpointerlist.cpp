// Pool-backed doubly linked pointer lists.
#include <pmmemorypool.h>

CPmPointerList::CPmPointerList(POOL_TYPE ePoolType)
    : m_pHead(NULL), m_pTail(NULL), m_pCursor(NULL), m_ePoolType(ePoolType), m_ulCount(0) {}

void PmLinkAtTail(PmListNode** ppHead, PmListNode** ppTail, PmListNode* pNode) {
    pNode->m_pNext = NULL;
    pNode->m_pPrevious = *ppTail;
    if (*ppTail)
        (*ppTail)->m_pNext = pNode;
    else
        *ppHead = pNode;
    *ppTail = pNode;
}

void PmUnlinkNode(PmListNode** ppHead, PmListNode** ppTail, PmListNode* pNode) {
    if (pNode->m_pPrevious)
        pNode->m_pPrevious->m_pNext = pNode->m_pNext;
    else
        *ppHead = pNode->m_pNext;
    if (pNode->m_pNext)
        pNode->m_pNext->m_pPrevious = pNode->m_pPrevious;
    else
        *ppTail = pNode->m_pPrevious;
}

PmListNode* PmNodeAt(PmListNode* pHead, ULONG ulCount, ULONG ulPosition) {
    if (ulPosition == 0 || ulPosition > ulCount)
        return NULL;
    PmListNode* pNode = pHead;
    while (--ulPosition)
        pNode = pNode->m_pNext;
    return pNode;
}

PmListNode* CPmPointerList::m_Append(PVOID pvElement) {
    PmListNode* pNode = static_cast<PmListNode*>(PmAllocateMemory(sizeof(PmListNode), m_ePoolType));
    if (!pNode)
        return NULL;
    pNode->m_pvElement = pvElement;
    pNode->m_pvSpare = NULL;
    PmLinkAtTail(&m_pHead, &m_pTail, pNode);
    ++m_ulCount;
    return pNode;
}

PVOID CPmPointerList::m_Take(PmListNode* pNode) {
    if (!pNode)
        return NULL;
    PVOID pvElement = pNode->m_pvElement;
    if (m_pCursor == pNode)
        m_pCursor = pNode->m_pNext;
    PmUnlinkNode(&m_pHead, &m_pTail, pNode);
    --m_ulCount;
    PmFreeMemory(pNode);
    return pvElement;
}

PVOID CPmPointerList::m_RemoveHead() { return m_Take(m_pHead); }

PVOID CPmPointerList::m_RemoveAtCursor() { return m_Take(m_pCursor); }

PVOID CPmPointerList::m_GetAt(ULONG ulIndex) {
    PmListNode* pNode = PmNodeAt(m_pHead, m_ulCount, ulIndex);
    return pNode ? pNode->m_pvElement : NULL;
}

PVOID CPmPointerList::m_GetFirst() {
    m_pCursor = m_pHead;
    return m_pCursor ? m_pCursor->m_pvElement : NULL;
}

PVOID CPmPointerList::m_GetNext() {
    if (m_pCursor)
        m_pCursor = m_pCursor->m_pNext;
    return m_pCursor ? m_pCursor->m_pvElement : NULL;
}

PVOID CPmPointerList::m_GetCurrent() { return m_pCursor ? m_pCursor->m_pvElement : NULL; }

void CPmPointerList::m_RemoveAll() {
    while (m_pHead)
        m_Take(m_pHead);
    m_pCursor = NULL;
}

void CPmPointerList::m_Clear() {
    while (m_pHead)
        PmFreeMemory(m_RemoveHead());
    m_pCursor = NULL;
}

void CPmPointerList::m_DeleteFixedListElements() {
    while (m_pHead) {
        CPmFixedList* pFixedList = static_cast<CPmFixedList*>(m_RemoveHead());
        if (pFixedList) {
            pFixedList->m_Clear();
            PmFreeMemory(pFixedList);
        }
    }
    m_pCursor = NULL;
}

void CPmPointerList::m_DeleteAll() {
    while (m_pHead)
        delete static_cast<CPmObject*>(m_RemoveHead());
    m_pCursor = NULL;
}

PVOID CPmPointerList::m_AddNewZeroed(ULONG ulSize) {
    PVOID pvElement = PmAllocateZeroedMemory(ulSize, m_ePoolType);
    if (!pvElement)
        return NULL;
    if (!m_Append(pvElement)) {
        PmFreeMemory(pvElement);
        return NULL;
    }
    return pvElement;
}

PVOID CPmPointerList::m_AddNewPointer() { return m_AddNewZeroed(8); }

PVOID CPmPointerList::m_AddNewRecord() { return m_AddNewZeroed(32); }

PVOID CPmPointerList::m_AddNew() { return m_AddNewZeroed(40); }

CPmLockedList::CPmLockedList(POOL_TYPE ePoolType) : m_List(ePoolType), m_ulRecordCount(PM_LOCKED_LIST_RECORDS) {
    m_UsageLock.m_SetLimit(PM_USAGE_UNLIMITED);
    m_UsageLock.m_Init(TRUE);
    KeInitializeEvent(&m_kEvent, NotificationEvent, FALSE);
    for (ULONG ulRecord = 0; ulRecord < m_ulRecordCount; ++ulRecord) {
        PVOID pvRecord = PmAllocateZeroedMemory(PM_LOCKED_LIST_RECORD_SIZE, ePoolType);
        PmListNode* pNode = pvRecord ? m_List.m_Append(pvRecord) : NULL;
        if (!pNode) {
            PmFreeMemory(pvRecord);
            m_List.m_Clear();
            m_ulRecordCount = 0;
            return;
        }
        pNode->m_pvSpare = pvRecord;
    }
}

void CPmLockedList::m_Clear() {
    // Detach the whole chain under the lock; free it outside, where paged nodes may be freed.
    m_SpinLock.m_Lock();
    PmListNode* pNode = m_List.m_pHead;
    m_List.m_pHead = NULL;
    m_List.m_pTail = NULL;
    m_List.m_pCursor = NULL;
    m_List.m_ulCount = 0;
    m_SpinLock.m_Unlock();
    KeClearEvent(&m_kEvent);
    while (pNode) {
        PmListNode* pNext = pNode->m_pNext;
        PmFreeMemory(pNode->m_pvElement);
        PmFreeMemory(pNode);
        pNode = pNext;
    }
}
