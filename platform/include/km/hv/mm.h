// Mm: what the memory manager tells drivers about the machine.
//
//   MmQuerySystemSize
#pragma once

#include <ntdef.h>

typedef enum _MM_SYSTEM_SIZE { MmSmallSystem = 0, MmMediumSystem = 1, MmLargeSystem = 2 } MM_SYSTEM_SIZE;

HV_EXTERN_C_BEGIN

// Large unless the machine or a test says otherwise (hvsim/pool.h).
HV_API MM_SYSTEM_SIZE MmQuerySystemSize(void);

HV_EXTERN_C_END
