// What the bus driver asks of each port it keeps in its port list: the port driver's interface
// record (the provider part), taking it down, saving and restoring it around power changes, the bus
// settings it follows, and a snapshot for WMI.
#pragma once

#include <hviserial.h>

#include "hvubuswmiblocks.h"

class CHvUBusPort : public CISerialProvider {
public:
    // The 1-based port number (the child's ContextID).
    virtual ULONG m_GetPortNumber() = 0;
    virtual void m_DeInit() = 0;
    virtual BOOLEAN m_SaveDeviceState() = 0;
    virtual BOOLEAN m_RestoreDeviceState() = 0;
    // The bus settings a port follows, pushed in this order at creation and at every change.
    virtual void m_SetPolicyType(ULONG ulPolicyType) = 0;
    virtual void m_SetMaximumLatency(ULONG ulMaximumLatency) = 0;
    virtual void m_SetMaximumLatencyFineTuning(ULONG ulFineTuning) = 0;
    virtual void m_SetLowCpuUsageFineTuning(ULONG ulFineTuning) = 0;
    virtual void m_SetRxFifoSize(ULONG ulRxFifoSize) = 0;
    virtual void m_SetTxFifoSize(ULONG ulTxFifoSize) = 0;
    // Diagnostics read without a lock: a snapshot.
    virtual void m_GetWmiTiming(HvUBusWmiTiming* pTiming) = 0;
    virtual void m_GetWmiPortState(HvUBusWmiPortState* pState) = 0;
};
