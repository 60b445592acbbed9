// The bus settings set: what the bus device keeps for all of its ports, read and written by the
// property pages through the settings interface.
#pragma once

#include <pminformationset.h>

// Registration order is the order of the serialised form; the pages rely on it.
class CHvUBusUserModeInterface : public CPmInformationSet {
public:
    ULONG m_ulUSB_TxTransferSize;
    ULONG m_ulUSB_RxTransferSize;
    ULONG m_ulUSB_LatencyTimer;
    ULONG m_ulRxFifoSize;
    ULONG m_ulTxFifoSize;
    ULONG m_ulMaximumBaudRate;
    CPmString m_InterfaceType;
    ULONG m_ulPolicyType;
    ULONG m_ulMaximumLatency;
    ULONG m_ulMaximumLatencySliderPos;
    ULONG m_ulMaximumLatencyFineTuning;
    ULONG m_ulLowCpuUsageFineTuning;
    ULONG m_ulPortType;

    // Invalid (m_GetValid FALSE) when an item could not be registered.
    CHvUBusUserModeInterface();

    // Bit (port number - 1) of PortType, for ports 1 to 32.
    BOOLEAN m_IsDuplexPort(ULONG ulPortNumber) const;
};

// Defaults of the bus driver.
#define HVUBUS_DEFAULT_TX_TRANSFER_SIZE 4096
#define HVUBUS_DEFAULT_RX_TRANSFER_SIZE 4096
#define HVUBUS_DEFAULT_LATENCY_TIMER 16
#define HVUBUS_DEFAULT_RX_FIFO_SIZE 256
#define HVUBUS_DEFAULT_TX_FIFO_SIZE 128
#define HVUBUS_DEFAULT_MAXIMUM_BAUD_RATE 921600
#define HVUBUS_DEFAULT_INTERFACE_TYPE "USB"
#define HVUBUS_DEFAULT_POLICY_TYPE 0
#define HVUBUS_DEFAULT_MAXIMUM_LATENCY 1040
#define HVUBUS_DEFAULT_MAXIMUM_LATENCY_SLIDER_POS 6111
#define HVUBUS_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING 0
#define HVUBUS_DEFAULT_LOW_CPU_USAGE_FINE_TUNING 192
#define HVUBUS_DEFAULT_PORT_TYPE 0
