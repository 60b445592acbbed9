// IRQL: a simulated level per thread.
#include <hvsim/kernel.h>
#include <wdm.h>

#include <string>

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
}

HV_EXTERN_C_BEGIN

KIRQL KeGetCurrentIrql(void) { return t_irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < t_irql)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, "KeRaiseIrql to " + std::to_string(NewIrql) +
                                                            " below the current IRQL " + std::to_string(t_irql));
    *OldIrql = t_irql;
    t_irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > t_irql)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to " + std::to_string(NewIrql) +
                                                            " above the current IRQL " + std::to_string(t_irql));
    t_irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

HV_EXTERN_C_END
