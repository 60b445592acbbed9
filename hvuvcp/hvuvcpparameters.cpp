// The port's parameters and the value list of the port settings set. Needs only the base types, so
// that user-mode code can compile it too.
#include "hvuvcpparameters.h"

const HvUVcpSetting g_aHvUVcpSettings[HVUVCP_SETTINGS] = {
    {u"PortType", HVUVCP_PORT_TYPE_UNKNOWN, &CVcpParameters::m_ulPortType},
    {u"MaxBaudRate", 921600, &CVcpParameters::m_ulMaxBaudRate},
    {u"MinBaudRate", 75, &CVcpParameters::m_ulMinBaudRate},
    {u"DuplexMode", 0, &CVcpParameters::m_ulDuplexMode},
    {u"Baudrate", 115200, &CVcpParameters::m_ulBaudrate},
    {u"Databits", 3, &CVcpParameters::m_ulDatabits},
    {u"Parity", 0, &CVcpParameters::m_ulParity},
    {u"Stopbits", 0, &CVcpParameters::m_ulStopbits},
    {u"FlowControl", HVUVCP_FLOW_NONE, &CVcpParameters::m_ulFlowControl},
    {u"LogLevel", 0, &CVcpParameters::m_ulLogLevel},
    {u"ReceiveTriggerLevel", 75, &CVcpParameters::m_ulReceiveTriggerLevel},
    {u"TransmitTriggerLevel", 10, &CVcpParameters::m_ulTransmitTriggerLevel},
    {u"FlowControlTriggerLevel", 85, &CVcpParameters::m_ulFlowControlTriggerLevel},
    {u"SupportedBaudRates", 0x1007FFFF, &CVcpParameters::m_ulSupportedBaudRates},
    {u"SupportedParities", 0x1F00, &CVcpParameters::m_ulSupportedParities},
    {u"SupportedDataBits", 15, &CVcpParameters::m_ulSupportedDataBits},
    {u"SupportedStopBits", 7, &CVcpParameters::m_ulSupportedStopBits},
    {u"SupportedFlowControls", 15, &CVcpParameters::m_ulSupportedFlowControls},
    {u"SupportedDuplexModes", 0, &CVcpParameters::m_ulSupportedDuplexModes},
    {u"OverridBaudRates", 0, &CVcpParameters::m_ulOverridBaudRates},
    {u"OverrideDataBits", 0, &CVcpParameters::m_ulOverrideDataBits},
    {u"OverrideParity", 0, &CVcpParameters::m_ulOverrideParity},
    {u"OverrideStopbits", 0, &CVcpParameters::m_ulOverrideStopbits},
    {u"OverrideFlowControl", 0, &CVcpParameters::m_ulOverrideFlowControl},
    {u"EmulateCTSTrue", 0, &CVcpParameters::m_ulEmulateCTSTrue},
    {u"EmulateDSRTrue", 0, &CVcpParameters::m_ulEmulateDSRTrue},
    {u"422485CtsTrue", 0, &CVcpParameters::m_ul422485CtsTrue},
    {u"CtsSupported", 1, &CVcpParameters::m_ulCtsSupported},
    {u"RtsSupported", 1, &CVcpParameters::m_ulRtsSupported},
    {u"DtrSupported", 1, &CVcpParameters::m_ulDtrSupported},
    {u"DsrSupported", 1, &CVcpParameters::m_ulDsrSupported},
    {u"DcdSupported", 1, &CVcpParameters::m_ulDcdSupported},
    {u"RiSupported", 1, &CVcpParameters::m_ulRiSupported},
};

CVcpParameters::CVcpParameters() {
    for (const HvUVcpSetting& setting : g_aHvUVcpSettings)
        this->*setting.m_pulMember = setting.m_ulDefault;
}

namespace {

// The standard rates and their SERIAL_BAUD_* bits.
struct StandardRate {
    ULONG ulRate;
    ULONG ulBit;
};

const StandardRate s_aStandardRates[] = {
    {75, 0x1},       {110, 0x2},      {134, 0x4},        {135, 0x4},        {150, 0x8},
    {300, 0x10},     {600, 0x20},     {1200, 0x40},      {1800, 0x80},      {2400, 0x100},
    {4800, 0x200},   {7200, 0x400},   {9600, 0x800},     {14400, 0x1000},   {19200, 0x2000},
    {38400, 0x4000}, {56000, 0x8000}, {128000, 0x10000}, {115200, 0x20000}, {57600, 0x40000},
};

} // namespace

BOOLEAN CVcpParameters::m_IsBaudRateSupported(ULONG ulBaudRate) const {
    if (ulBaudRate < m_ulMinBaudRate || ulBaudRate > m_ulMaxBaudRate)
        return FALSE;
    if (m_ulSupportedBaudRates & HVUVCP_BAUD_ANY_RATE)
        return TRUE;
    for (const StandardRate& standard : s_aStandardRates)
        if (standard.ulRate == ulBaudRate)
            return (m_ulSupportedBaudRates & standard.ulBit) ? TRUE : FALSE;
    return FALSE;
}
