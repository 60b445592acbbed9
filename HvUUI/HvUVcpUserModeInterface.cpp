#include "HvUVcpUserModeInterface.h"

CHvUVcpUserModeInterface::CHvUVcpUserModeInterface() {
    // The names and their order are the port driver's own list.
    for (const HvUVcpSetting& setting : g_aHvUVcpSettings) m_AddDword(setting.m_pszName, &(this->*setting.m_pulMember));
    m_ulOverridBaudRates = m_ulOverrideStopbits = m_ulOverrideParity = m_ulOverrideDataBits = 0;
    m_ulEmulateCTSTrue = m_ulEmulateDSRTrue = 0;
    m_ulPortType = HVUVCP_PORT_TYPE_RS232;
    m_ulMinBaudRate = 60;
    m_ulMaxBaudRate = 921600;
    m_ulFlowControl = HVUVCP_FLOW_CTS_RTS;
    for (ULONG* p : {&m_ulReceiveTriggerLevel, &m_ulTransmitTriggerLevel, &m_ulFlowControlTriggerLevel,
                     &m_ulSupportedBaudRates, &m_ulSupportedParities, &m_ulSupportedDataBits, &m_ulSupportedStopBits,
                     &m_ulSupportedFlowControls})
        *p = 0xFFFFFFFF;
    m_ulSupportedDuplexModes = 255;
    m_ulLogLevel = 0;
    for (ULONG* p : {&m_ulCtsSupported, &m_ulRtsSupported, &m_ulDtrSupported, &m_ulDsrSupported, &m_ulDcdSupported,
                     &m_ulRiSupported})
        *p = 1;
}

void CHvUVcpUserModeInterface::m_AssignValues(const CHvUVcpUserModeInterface& other) {
    static_cast<CVcpParameters&>(*this) = other;
    m_CopyReadState(other);
}
