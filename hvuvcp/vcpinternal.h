// What the port object's source files share.
#pragma once

#include <wdm.h>

#include <hviserial.h>

#include "hvuvcptrace.h"


// The kinds of flow work that can wait on the passive worker (bits of m_lFlowWorkPosted).
#define VCP_FLOW_OFF_POSTED 1
#define VCP_FLOW_ON_POSTED 2

inline LONG VcpRead(LONG volatile* pl) { return InterlockedCompareExchange(pl, 0, 0); }

inline void VcpIncrement(ULONG* pulCounter) { InterlockedIncrement(reinterpret_cast<LONG volatile*>(pulCounter)); }

// Calls an operation of the record; FALSE when the record, the operation or the provider is missing.
#define VCP_CALL(pISerial, operation, ...) \
    HvISerialCallOperation((pISerial), &HvISerialOperations::operation __VA_OPT__(, ) __VA_ARGS__)

struct VcpBaudRateBit {
    ULONG m_ulRate;
    ULONG m_ulBit;
};
#define VCP_BAUD_RATE_BITS 22
extern const VcpBaudRateBit g_aVcpBaudRateBits[VCP_BAUD_RATE_BITS];

// Subtracts without going below 0; the value before.
inline LONG VcpSaturatingSubtract(LONG volatile* plValue, LONG lCount) {
    LONG lOld = InterlockedCompareExchange(plValue, 0, 0);
    for (;;) {
        LONG lNew = lOld > lCount ? lOld - lCount : 0;
        LONG lSeen = InterlockedCompareExchange(plValue, lNew, lOld);
        if (lSeen == lOld)
            return lOld;
        lOld = lSeen;
    }
}
