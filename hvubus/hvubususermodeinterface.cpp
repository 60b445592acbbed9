// The bus settings set.
#include "hvubususermodeinterface.h"

CHvUBusUserModeInterface::CHvUBusUserModeInterface()
    : CPmInformationSet(NULL), m_ulUSB_TxTransferSize(0), m_ulUSB_RxTransferSize(0), m_ulUSB_LatencyTimer(0),
      m_ulRxFifoSize(0), m_ulTxFifoSize(0), m_ulMaximumBaudRate(0), m_InterfaceType(PagedPool), m_ulPolicyType(0), m_ulMaximumLatency(0),
      m_ulMaximumLatencySliderPos(0), m_ulMaximumLatencyFineTuning(0), m_ulLowCpuUsageFineTuning(0),
      m_ulPortType(0) {
    BOOLEAN bAdded = m_AddDword(u"USB_TxTransferSize", &m_ulUSB_TxTransferSize, HVUBUS_DEFAULT_TX_TRANSFER_SIZE) &&
                     m_AddDword(u"USB_RxTransferSize", &m_ulUSB_RxTransferSize, HVUBUS_DEFAULT_RX_TRANSFER_SIZE) &&
                     m_AddDword(u"USB_LatencyTimer", &m_ulUSB_LatencyTimer, HVUBUS_DEFAULT_LATENCY_TIMER) &&
                     m_AddDword(u"RxFifoSize", &m_ulRxFifoSize, HVUBUS_DEFAULT_RX_FIFO_SIZE) &&
                     m_AddDword(u"TxFifoSize", &m_ulTxFifoSize, HVUBUS_DEFAULT_TX_FIFO_SIZE) &&
                     m_AddDword(u"MaximumBaudRate", &m_ulMaximumBaudRate, HVUBUS_DEFAULT_MAXIMUM_BAUD_RATE) &&
                     m_AddString(u"InterfaceType", &m_InterfaceType, HVUBUS_DEFAULT_INTERFACE_TYPE) &&
                     m_AddDword(u"PolicyType", &m_ulPolicyType, HVUBUS_DEFAULT_POLICY_TYPE) &&
                     m_AddDword(u"MaximumLatency", &m_ulMaximumLatency, HVUBUS_DEFAULT_MAXIMUM_LATENCY) &&
                     m_AddDword(u"MaximumLatencySliderPos", &m_ulMaximumLatencySliderPos,
                                HVUBUS_DEFAULT_MAXIMUM_LATENCY_SLIDER_POS) &&
                     m_AddDword(u"MaximumLatencyFineTuning", &m_ulMaximumLatencyFineTuning,
                                HVUBUS_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING) &&
                     m_AddDword(u"LowCpuUsageFineTuning", &m_ulLowCpuUsageFineTuning,
                                HVUBUS_DEFAULT_LOW_CPU_USAGE_FINE_TUNING) &&
                     m_AddDword(u"PortType", &m_ulPortType, HVUBUS_DEFAULT_PORT_TYPE);
    if (!bAdded)
        m_SetValid(FALSE);
}

BOOLEAN CHvUBusUserModeInterface::m_IsDuplexPort(ULONG ulPortNumber) const {
    if (ulPortNumber < 1 || ulPortNumber > 32)
        return FALSE;
    return (m_ulPortType >> (ulPortNumber - 1)) & 1 ? TRUE : FALSE;
}
