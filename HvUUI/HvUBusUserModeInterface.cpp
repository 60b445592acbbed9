#include "HvUBusUserModeInterface.h"

namespace {

// The bus driver's value list, in its order: the stream carries values only.
struct BusSetting {
    const WCHAR* m_pszName;
    ULONG CHvUBusUserModeInterface::*m_pulMember; // null: the interface name
};

const BusSetting s_aBusSettings[] = {
    {u"USB_TxTransferSize", &CHvUBusUserModeInterface::m_ulUSB_TxTransferSize},
    {u"USB_RxTransferSize", &CHvUBusUserModeInterface::m_ulUSB_RxTransferSize},
    {u"USB_LatencyTimer", &CHvUBusUserModeInterface::m_ulUSB_LatencyTimer},
    {u"RxFifoSize", &CHvUBusUserModeInterface::m_ulRxFifoSize},
    {u"TxFifoSize", &CHvUBusUserModeInterface::m_ulTxFifoSize},
    {u"MaximumBaudRate", &CHvUBusUserModeInterface::m_ulMaximumBaudRate},
    {u"InterfaceType", nullptr},
    {u"PolicyType", &CHvUBusUserModeInterface::m_ulPolicyType},
    {u"MaximumLatency", &CHvUBusUserModeInterface::m_ulMaximumLatency},
    {u"MaximumLatencySliderPos", &CHvUBusUserModeInterface::m_ulMaximumLatencySliderPos},
    {u"MaximumLatencyFineTuning", &CHvUBusUserModeInterface::m_ulMaximumLatencyFineTuning},
    {u"LowCpuUsageFineTuning", &CHvUBusUserModeInterface::m_ulLowCpuUsageFineTuning},
    {u"PortType", &CHvUBusUserModeInterface::m_ulPortType},
};

} // namespace

CHvUBusUserModeInterface::CHvUBusUserModeInterface() {
    for (const BusSetting& setting : s_aBusSettings) {
        if (setting.m_pulMember) m_AddDword(setting.m_pszName, &(this->*setting.m_pulMember));
        else m_AddString(setting.m_pszName, &m_InterfaceType);
    }
}

void CHvUBusUserModeInterface::m_AssignValues(const CHvUBusUserModeInterface& other) {
    for (const BusSetting& setting : s_aBusSettings)
        if (setting.m_pulMember) this->*setting.m_pulMember = other.*setting.m_pulMember;
    m_InterfaceType = other.m_InterfaceType;
    m_CopyReadState(other);
}
