// Mm: what the memory manager tells drivers about the machine, and mappings of device memory.
//
//   MmQuerySystemSize MmMapIoSpace MmUnmapIoSpace
#pragma once

#include <ntdef.h>

typedef enum _MM_SYSTEM_SIZE { MmSmallSystem = 0, MmMediumSystem = 1, MmLargeSystem = 2 } MM_SYSTEM_SIZE;

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached = 3,
    MmNonCachedUnordered = 4,
    MmUSWCCached = 5,
    MmMaximumCacheType = 6
} MEMORY_CACHING_TYPE;

HV_EXTERN_C_BEGIN

// Large unless the machine or a test says otherwise (hvsim/pool.h).
HV_API MM_SYSTEM_SIZE MmQuerySystemSize(void);

// No device sits behind the physical range: each mapping is zeroed memory of its own. NULL for an
// empty range, an unknown caching type, or a failure the machine injects (hvsim/pool.h).
HV_API PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
// Only a mapping that exists, with the length it was made with.
HV_API VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

HV_EXTERN_C_END
