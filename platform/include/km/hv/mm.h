// Mm: what the memory manager tells drivers about the machine.
//
//   MmQuerySystemSize
//   MmMapIoSpace MmUnmapIoSpace
#pragma once

#include <ntdef.h>

typedef enum _MM_SYSTEM_SIZE { MmSmallSystem = 0, MmMediumSystem = 1, MmLargeSystem = 2 } MM_SYSTEM_SIZE;

typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;

HV_EXTERN_C_BEGIN

// Large unless the machine or a test says otherwise (hvsim/pool.h).
HV_API MM_SYSTEM_SIZE MmQuerySystemSize(void);

// The machine has no device memory: a mapping is zeroed memory of its own, kept until unmapped.
// NULL for a zero length or when no memory is left. Unmapping anything but a whole mapping is a
// bug check.
HV_API PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
HV_API VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

HV_EXTERN_C_END
