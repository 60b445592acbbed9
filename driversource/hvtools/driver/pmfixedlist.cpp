// List whose nodes and elements come from two fixed-capacity block arrays.
#include <pmmemorypool.h>
#include <pmdebugmanager.h>

static const CHAR s_szSourcePath[] = "diskimage\\inc\\hvtools\\pmmemorypool.h";

CPmFixedList::CPmFixedList() : m_pHead(NULL), m_pTail(NULL), m_ulCount(0) {
    RtlZeroMemory(&m_Nodes, sizeof(m_Nodes));
    RtlZeroMemory(&m_Elements, sizeof(m_Elements));
    m_Nodes.m_lFirstFree = -1;
    m_Elements.m_lFirstFree = -1;
}

BOOLEAN CPmFixedList::m_AllocateArray(PmFixedBlockArray* pArray, ULONG ulBlockSize, ULONG ulCapacity,
                                      POOL_TYPE ePoolType) {
    PUCHAR pucBase = static_cast<PUCHAR>(PmAllocateMemory((SIZE_T)ulBlockSize * ulCapacity, ePoolType));
    PULONG pulInUse = static_cast<PULONG>(PmAllocateZeroedMemory((SIZE_T)sizeof(ULONG) * ulCapacity, ePoolType));
    if (!pucBase || !pulInUse) {
        PmFreeMemory(pucBase);
        PmFreeMemory(pulInUse);
        return FALSE;
    }
    pArray->m_pucBase = pucBase;
    pArray->m_pulInUse = pulInUse;
    pArray->m_lFirstFree = 0;
    pArray->m_ulCapacity = ulCapacity;
    return TRUE;
}

void CPmFixedList::m_FreeArray(PmFixedBlockArray* pArray) {
    PmFreeMemory(pArray->m_pucBase);
    PmFreeMemory(pArray->m_pulInUse);
    pArray->m_pucBase = NULL;
    pArray->m_pulInUse = NULL;
    pArray->m_lFirstFree = -1;
    pArray->m_ulCapacity = 0;
}

BOOLEAN CPmFixedList::m_Initialize(ULONG ulCapacity, POOL_TYPE ePoolType) {
    if (m_Nodes.m_pucBase || m_Elements.m_pucBase || ulCapacity == 0 || ulCapacity > MAXLONG / PM_FIXED_NODE_SIZE)
        return FALSE;
    if (!m_AllocateArray(&m_Nodes, PM_FIXED_NODE_SIZE, ulCapacity, ePoolType))
        return FALSE;
    if (!m_AllocateArray(&m_Elements, PM_FIXED_ELEMENT_SIZE, ulCapacity, ePoolType)) {
        m_FreeArray(&m_Nodes);
        return FALSE;
    }
    return TRUE;
}

PVOID CPmFixedList::m_TakeBlock(PmFixedBlockArray* pArray, ULONG ulBlockSize) {
    if (!pArray->m_pucBase)
        return NULL;
    LONG lBlock = pArray->m_lFirstFree;
    if (lBlock < 0 || pArray->m_pulInUse[lBlock]) {
        lBlock = -1;
        for (ULONG ulBlock = 0; ulBlock < pArray->m_ulCapacity; ++ulBlock) {
            if (!pArray->m_pulInUse[ulBlock]) {
                lBlock = (LONG)ulBlock;
                break;
            }
        }
        if (lBlock < 0)
            return NULL;
    }
    pArray->m_pulInUse[lBlock] = 1;
    pArray->m_lFirstFree = -1;
    return pArray->m_pucBase + (SIZE_T)lBlock * ulBlockSize;
}

BOOLEAN CPmFixedList::m_ReturnBlock(PmFixedBlockArray* pArray, ULONG ulBlockSize, PVOID pvBlock) {
    PUCHAR pucBlock = static_cast<PUCHAR>(pvBlock);
    if (!pArray->m_pucBase) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    if (pucBlock < pArray->m_pucBase) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    SIZE_T offset = (SIZE_T)(pucBlock - pArray->m_pucBase);
    if (offset >= (SIZE_T)ulBlockSize * pArray->m_ulCapacity || offset % ulBlockSize != 0) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    ULONG ulBlock = (ULONG)(offset / ulBlockSize);
    if (!pArray->m_pulInUse[ulBlock]) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    pArray->m_pulInUse[ulBlock] = 0;
    if (pArray->m_lFirstFree < 0)
        pArray->m_lFirstFree = (LONG)ulBlock;
    return TRUE;
}

PVOID CPmFixedList::m_AddElement() {
    PmListNode* pNode = static_cast<PmListNode*>(m_TakeBlock(&m_Nodes, PM_FIXED_NODE_SIZE));
    if (!pNode)
        return NULL;
    PVOID pvElement = m_TakeBlock(&m_Elements, PM_FIXED_ELEMENT_SIZE);
    if (!pvElement) {
        m_ReturnBlock(&m_Nodes, PM_FIXED_NODE_SIZE, pNode);
        return NULL;
    }
    RtlZeroMemory(pvElement, PM_FIXED_ELEMENT_SIZE);
    pNode->m_pvElement = pvElement;
    pNode->m_pvSpare = NULL;
    PmLinkAtTail(&m_pHead, &m_pTail, pNode);
    ++m_ulCount;
    return pvElement;
}

BOOLEAN CPmFixedList::m_RemoveElement(PVOID pvElement) {
    PmListNode* pNode = m_pHead;
    while (pNode && pNode->m_pvElement != pvElement)
        pNode = pNode->m_pNext;
    if (!pNode)
        return FALSE;
    PmUnlinkNode(&m_pHead, &m_pTail, pNode);
    --m_ulCount;
    m_ReturnBlock(&m_Elements, PM_FIXED_ELEMENT_SIZE, pvElement);
    m_ReturnBlock(&m_Nodes, PM_FIXED_NODE_SIZE, pNode);
    return TRUE;
}

PVOID CPmFixedList::m_GetAt(ULONG ulIndex) {
    PmListNode* pNode = PmNodeAt(m_pHead, m_ulCount, ulIndex);
    return pNode ? pNode->m_pvElement : NULL;
}

void CPmFixedList::m_Clear() {
    PmListNode* pNode = m_pHead;
    while (pNode) {
        PmListNode* pNext = pNode->m_pNext;
        m_ReturnBlock(&m_Elements, PM_FIXED_ELEMENT_SIZE, pNode->m_pvElement);
        m_ReturnBlock(&m_Nodes, PM_FIXED_NODE_SIZE, pNode);
        pNode = pNext;
    }
    m_pHead = NULL;
    m_pTail = NULL;
    m_ulCount = 0;
    m_FreeArray(&m_Nodes);
    m_FreeArray(&m_Elements);
}
