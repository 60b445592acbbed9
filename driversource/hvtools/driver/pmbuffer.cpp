// Pool-backed byte buffer. Every change allocates the new block before the old one goes, so a failure
// leaves the previous content (m_Assign excepted, which leaves the buffer empty).
#include <pmbuffer.h>

CPmMemoryPool* CPmBuffer::m_GetPool() const { return m_pPool ? m_pPool : g_pPmMemoryPool; }

PUCHAR CPmBuffer::m_AllocateBlock(ULONG ulSize) const {
    CPmMemoryPool* pPool = m_GetPool();
    return pPool ? static_cast<PUCHAR>(pPool->m_Allocate(ulSize, NonPagedPool)) : NULL;
}

void CPmBuffer::m_FreeBlock(PVOID pv) const {
    CPmMemoryPool* pPool = m_GetPool();
    if (pPool && pv)
        pPool->m_FreeMemory(pv);
}

void CPmBuffer::m_Replace(PUCHAR pucBlock, ULONG ulLength) {
    m_FreeBlock(m_pvAllocation ? m_pvAllocation : m_pucData);
    m_pucData = pucBlock;
    m_pvAllocation = NULL;
    m_ulLength = ulLength;
}

BOOLEAN CPmBuffer::m_Allocate(ULONG ulSize) {
    // Also in the bus driver, where m_Assign makes this check: allocating over existing storage would
    // lose the old block.
    if (m_pucData)
        return FALSE;
    PUCHAR pucBlock = m_AllocateBlock(ulSize);
    if (!pucBlock)
        return FALSE;
    m_pucData = pucBlock;
    m_pvAllocation = NULL;
    m_ulLength = ulSize;
    return TRUE;
}

void CPmBuffer::m_Clear() {
    m_FreeBlock(m_pvAllocation ? m_pvAllocation : m_pucData);
    m_pucData = NULL;
    m_pvAllocation = NULL;
    m_ulLength = 0;
}

void CPmBuffer::m_Delete() {
    CPmMemoryPool* pPool = m_GetPool();
    m_Clear();
    if (pPool)
        pPool->m_FreeMemory(this);
}

// The bytes are copied before the old block goes, since they may lie inside it (a buffer assigned
// from a part of itself); a failure still leaves the buffer empty.
BOOLEAN CPmBuffer::m_Assign(const void* pvBytes, ULONG ulCount) {
    if (!pvBytes)
        return FALSE;
    PUCHAR pucBlock = m_AllocateBlock(ulCount);
    if (pucBlock)
        RtlCopyMemory(pucBlock, pvBytes, ulCount);
    m_Clear();
    if (!pucBlock)
        return FALSE;
    m_pucData = pucBlock;
    m_ulLength = ulCount;
    return TRUE;
}

BOOLEAN CPmBuffer::m_Join(const void* pvBytes, ULONG ulCount, BOOLEAN bPrepend) {
    if (!m_pucData)
        return m_Assign(pvBytes, ulCount);
    if (ulCount > MAXULONG - m_ulLength)
        return FALSE;
    PUCHAR pucBlock = m_AllocateBlock(m_ulLength + ulCount);
    if (!pucBlock)
        return FALSE;
    RtlCopyMemory(pucBlock + (bPrepend ? 0 : m_ulLength), pvBytes, ulCount);
    RtlCopyMemory(pucBlock + (bPrepend ? ulCount : 0), m_pucData, m_ulLength);
    m_Replace(pucBlock, m_ulLength + ulCount);
    return TRUE;
}

BOOLEAN CPmBuffer::m_Append(const void* pvBytes, ULONG ulCount) {
    if (!pvBytes)
        return FALSE;
#if defined(HV_PM_BUS_DRIVER)
    if (ulCount == 0)
        return FALSE;
#endif
    return m_Join(pvBytes, ulCount, FALSE);
}

BOOLEAN CPmBuffer::m_Prepend(const void* pvBytes, ULONG ulCount) {
    if (ulCount == 0 || !pvBytes)
        return FALSE;
    return m_Join(pvBytes, ulCount, TRUE);
}

BOOLEAN CPmBuffer::m_FindByte(ULONG ulStart, UCHAR ucByte, PULONG pulOffset) const {
    if (!m_pucData || !pulOffset)
        return FALSE;
    for (ULONG ulOffset = ulStart; ulOffset < m_ulLength; ++ulOffset) {
        if (m_pucData[ulOffset] == ucByte) {
            *pulOffset = ulOffset;
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN CPmBuffer::m_RemoveByteAt(ULONG ulArgument) {
    if (!m_pucData || m_ulLength < 2)
        return FALSE;
#if defined(HV_PM_BUS_DRIVER)
    // A count of bytes after byte 0.
    ULONG ulOffset = 1;
    ULONG ulCount = ulArgument;
    if (ulCount < 1 || ulCount >= m_ulLength)
        return FALSE;
#else
    ULONG ulOffset = ulArgument;
    ULONG ulCount = 1;
    if (ulOffset >= m_ulLength)
        return FALSE;
#endif
    ULONG ulNewLength = m_ulLength - ulCount;
    PUCHAR pucBlock = m_AllocateBlock(ulNewLength);
    if (!pucBlock)
        return FALSE;
    RtlCopyMemory(pucBlock, m_pucData, ulOffset);
    RtlCopyMemory(pucBlock + ulOffset, m_pucData + ulOffset + ulCount, m_ulLength - ulOffset - ulCount);
    m_Replace(pucBlock, ulNewLength);
    return TRUE;
}

BOOLEAN CPmBuffer::m_RemoveAllOf(UCHAR ucByte) {
    if (!m_pucData)
        return FALSE;
    ULONG ulFound = 0;
    for (ULONG ulOffset = 0; ulOffset < m_ulLength; ++ulOffset)
        if (m_pucData[ulOffset] == ucByte)
            ++ulFound;
    if (ulFound == 0)
        return FALSE;
    if (ulFound == m_ulLength) {
        m_Clear();
        return TRUE;
    }
    PUCHAR pucBlock = m_AllocateBlock(m_ulLength - ulFound);
    if (!pucBlock)
        return FALSE;
    ULONG ulKept = 0;
    for (ULONG ulOffset = 0; ulOffset < m_ulLength; ++ulOffset)
        if (m_pucData[ulOffset] != ucByte)
            pucBlock[ulKept++] = m_pucData[ulOffset];
    m_Replace(pucBlock, ulKept);
    return TRUE;
}

BOOLEAN CPmBuffer::m_InsertPairAt(const UCHAR aucPair[2], ULONG ulOffset) {
    if (!aucPair || ulOffset > m_ulLength)
        return FALSE;
    if (ulOffset == m_ulLength)
        return m_Append(aucPair, 2);
    if (m_ulLength > MAXULONG - 2)
        return FALSE;
    PUCHAR pucBlock = m_AllocateBlock(m_ulLength + 2);
    if (!pucBlock)
        return FALSE;
    RtlCopyMemory(pucBlock, m_pucData, ulOffset);
    pucBlock[ulOffset] = aucPair[0];
    pucBlock[ulOffset + 1] = aucPair[1];
    RtlCopyMemory(pucBlock + ulOffset + 2, m_pucData + ulOffset, m_ulLength - ulOffset);
    m_Replace(pucBlock, m_ulLength + 2);
    return TRUE;
}
