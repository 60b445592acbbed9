// The hardware resources a functional device is given at start, kept in five lists: I/O ports,
// mapped memory ranges, level-sensitive interrupts, DMA channels and message-signalled interrupts.
#pragma once

#include <wdm.h>

#include <pmmemorypool.h>

// Hardware resources given at start, one record per descriptor kept.
struct PmPortResource {
    ULONGLONG m_ullTranslatedStart;
    ULONG m_ulLength;
    ULONGLONG m_ullRawStart;
};
struct PmMemoryResource {
    PVOID m_pvVirtualAddress;
    ULONG m_ulLength;
    ULONGLONG m_ullRawStart;
};
struct PmInterruptResource {
    ULONG m_ulLevel;
    ULONG m_ulVector;
    KAFFINITY m_Affinity;
    ULONG m_ulRawLevel;
    ULONG m_ulRawVector;
};
struct PmMessageInterruptResource {
    USHORT m_usFlags;
    ULONG m_ulLevel;
    ULONG m_ulVector;
    KAFFINITY m_Affinity;
    USHORT m_usRawMessageCount;
    ULONG m_ulRawVector;
    KAFFINITY m_RawAffinity;
};
struct PmDmaResource {
    ULONG m_ulChannel;
    ULONG m_ulPort;
};

enum PmResourceKind : ULONG {
    PmResourcePort = 0,
    PmResourceMemory = 1,
    PmResourceInterrupt = 2,
    PmResourceDma = 3,
    PmResourceMessageInterrupt = 4,
    PmResourceKinds = 5,
};

class CPmResourceLists {
public:
    CPmPointerList m_aLists[PmResourceKinds];

    CPmResourceLists() = default;
    // Unmaps the memory ranges and frees the records.
    ~CPmResourceLists() { m_Empty(); }
    CPmResourceLists(const CPmResourceLists&) = delete;
    CPmResourceLists& operator=(const CPmResourceLists&) = delete;

    // The n-th matching descriptor of each kind, taken from both lists (only lists of exactly one
    // full descriptor are searched). Empties the lists first. STATUS_UNSUCCESSFUL, with the lists
    // empty, when memory ran out; a memory range that cannot be mapped ends the parsing.
    NTSTATUS m_Parse(PCM_RESOURCE_LIST pRaw, PCM_RESOURCE_LIST pTranslated);
    void m_Empty();
    // The n-th (1-based) record of a list (PmResourceKind), or NULL.
    PVOID m_GetElement(ULONG ulKind, ULONG ulNumber);
};
