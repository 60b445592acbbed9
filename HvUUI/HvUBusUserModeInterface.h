// The pages' copy of the bus settings set: the 12 values and the interface name of the bus
// driver's set, in its order.
#pragma once

#include "PmInformationSet.h"

// PolicyType.
#define HVUBUS_POLICY_MAXIMUM_LATENCY 0
#define HVUBUS_POLICY_LOW_CPU_USAGE 1

class CHvUBusUserModeInterface : public CPmInformationSet {
public:
    // Until a read the values are 0 and the interface name empty.
    ULONG m_ulUSB_TxTransferSize = 0;
    ULONG m_ulUSB_RxTransferSize = 0;
    ULONG m_ulUSB_LatencyTimer = 0;
    ULONG m_ulRxFifoSize = 0;
    ULONG m_ulTxFifoSize = 0;
    ULONG m_ulMaximumBaudRate = 0;
    std::u16string m_InterfaceType;
    ULONG m_ulPolicyType = 0;
    ULONG m_ulMaximumLatency = 0;
    ULONG m_ulMaximumLatencySliderPos = 0;
    ULONG m_ulMaximumLatencyFineTuning = 0;
    ULONG m_ulLowCpuUsageFineTuning = 0;
    ULONG m_ulPortType = 0;

    CHvUBusUserModeInterface();

    void m_AssignValues(const CHvUBusUserModeInterface& other);
};
