// Owned, growable byte buffer in which data moves between the drivers. It carries the pool that
// allocated it, and whoever holds it frees it through that pool.
#pragma once

#include <pmmemorypool.h>

// No constructor: creators zero it (and set the owning pool, or leave it NULL for the global pool).
class CPmBuffer {
public:
    PUCHAR m_pucData;
    // When set, the block to free instead of m_pucData.
    PVOID m_pvAllocation;
    ULONG m_ulLength;
    CPmMemoryPool* m_pPool;

    BOOLEAN m_Allocate(ULONG ulSize);
    void m_Clear();
    // Clears, then frees the buffer object itself through the owning pool.
    void m_Delete();

    BOOLEAN m_Assign(const void* pvBytes, ULONG ulCount);
    BOOLEAN m_Append(const void* pvBytes, ULONG ulCount);
    BOOLEAN m_Prepend(const void* pvBytes, ULONG ulCount);
    BOOLEAN m_FindByte(ULONG ulStart, UCHAR ucByte, PULONG pulOffset) const;
    // Removes the byte at the offset. In the bus driver the argument is a count n (1 <= n < length)
    // and the n bytes that follow byte 0 are removed.
    BOOLEAN m_RemoveByteAt(ULONG ulArgument);
    BOOLEAN m_RemoveAllOf(UCHAR ucByte);
    BOOLEAN m_InsertPairAt(const UCHAR aucPair[2], ULONG ulOffset);

    BOOLEAN m_IsEmpty() const { return m_pucData == NULL; }
    PUCHAR m_GetData() const { return m_pucData; }
    ULONG m_GetLength() const { return m_ulLength; }

private:
    CPmMemoryPool* m_GetPool() const;
    PUCHAR m_AllocateBlock(ULONG ulSize) const;
    void m_FreeBlock(PVOID pv) const;
    // Old bytes then new ones, or new then old.
    BOOLEAN m_Join(const void* pvBytes, ULONG ulCount, BOOLEAN bPrepend);
    // Frees the current block and takes pucBlock (ulLength bytes) in its place.
    void m_Replace(PUCHAR pucBlock, ULONG ulLength);
};
