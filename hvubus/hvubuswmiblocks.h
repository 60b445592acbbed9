// The layouts of the bus driver's WMI data blocks, as WMI consumers read them.
#pragma once

#include <wdm.h>

// Block 0: the first port's timing and counters.
struct HvUBusWmiTiming {
    ULONG ulLastReceiveCompletionTime;
    ULONG ulHandOverStartTime;
    ULONG ulHandOverEndTime;
    ULONG ulTransportReceiveTime; // ms
    ULONG ulTransportCallbackTime;
    ULONG ulBytesTransmitted;
    ULONG ulBytesReceived;
};
static_assert(sizeof(HvUBusWmiTiming) == 28, "WMI timing block");

// Block 1: the bus settings (all 0 before the first settings set arrived).
struct HvUBusWmiSettings {
    ULONG ulRxFifoSize;
    ULONG ulTxFifoSize;
    ULONG ulMaximumBaudRate;
    ULONG ulPolicyType;
    ULONG ulMaximumLatency;
    ULONG ulMaximumLatencyFineTuning;
    ULONG ulMaximumLatencySliderPos;
    ULONG ulLowCpuUsageFineTuning;
};
static_assert(sizeof(HvUBusWmiSettings) == 32, "WMI settings block");

// Block 2: the first port's state.
#pragma pack(push, 1)
struct HvUBusWmiPortState {
    ULONG ulReceiveTransferSize;
    ULONG ulTransmitTransferSize;
    ULONG ulLatencyTimer;
    ULONG ulLastLineStatus;
    ULONG ulLastModemStatus;
    ULONG ulPendingTransmitBytes;
    ULONG ulTransmitterFree;
    ULONG ulReceiveRunning;
    ULONG ulModemControlWord;
    ULONG ulFlowControlWord;
    ULONG ulBaudDivisorWord;
    ULONG ulLineWord;
    ULONG ulPortOpen;
    ULONG ulDuplexMode;
    UCHAR ucReadHandOverPending;
    UCHAR ucTransmitBusy;
    UCHAR ucXoffSent;
    UCHAR ucXoffReceived;
};
#pragma pack(pop)
static_assert(sizeof(HvUBusWmiPortState) == 60, "WMI port state block");
