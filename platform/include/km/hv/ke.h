// Ke: IRQL, spin locks, dispatcher objects, waits, timers, DPCs, time and interlocked operations.
#pragma once

#include <ntdef.h>

HV_EXTERN_C_BEGIN

// IRQL is kept per thread.
HV_API KIRQL KeGetCurrentIrql(void);
HV_API void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
HV_API void KeLowerIrql(KIRQL NewIrql);
HV_API KIRQL KeRaiseIrqlToDpcLevel(void);

HV_EXTERN_C_END
