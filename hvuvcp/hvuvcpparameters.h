// The port's parameters and the value list of the port settings set: the values Device Manager's
// port pages show and change through the settings interface, and that the port driver applies
// when the port connects and when a set is written. The stream carries values only, so the
// client's copy must register the same names in the same order; the value list below is that
// order. Only the base types, so that the property pages compile it too.
#pragma once

#include <basetsd.h>

// SupportedBaudRates: SERIAL_BAUD_* bits of SettableBaud, and "any rate".
#define HVUVCP_BAUD_ANY_RATE 0x10000000u

// PortType.
#define HVUVCP_PORT_TYPE_RS232 0
#define HVUVCP_PORT_TYPE_RS422_485 1
#define HVUVCP_PORT_TYPE_UNKNOWN 255

// FlowControl (8 also reads as none).
#define HVUVCP_FLOW_NONE 0
#define HVUVCP_FLOW_CTS_RTS 1
#define HVUVCP_FLOW_DTR_DSR 2
#define HVUVCP_FLOW_XON_XOFF 4

// What the driver may change of the application's settings.
class CVCPEmulation {
public:
    ULONG m_ulOverridBaudRates;
    ULONG m_ulOverrideStopbits;
    ULONG m_ulOverrideParity;
    ULONG m_ulOverrideDataBits;
    ULONG m_ulOverrideFlowControl;
    ULONG m_ulEmulateCTSTrue;
    ULONG m_ulEmulateDSRTrue;
};

// The port's parameters. Construction gives every value its default.
class CVcpParameters : public CVCPEmulation {
public:
    ULONG m_ulPortType;
    ULONG m_ulMinBaudRate;
    ULONG m_ulMaxBaudRate;
    ULONG m_ulDuplexMode;
    ULONG m_ul422485CtsTrue;
    ULONG m_ulBaudrate;
    ULONG m_ulDatabits; // 0..3 = 5..8 data bits
    ULONG m_ulParity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    ULONG m_ulStopbits; // 0 one, 1 one and a half, 2 two
    ULONG m_ulFlowControl;
    ULONG m_ulReceiveTriggerLevel; // percent
    ULONG m_ulTransmitTriggerLevel;
    ULONG m_ulFlowControlTriggerLevel;
    ULONG m_ulSupportedBaudRates;
    ULONG m_ulSupportedParities;
    ULONG m_ulSupportedDataBits;
    ULONG m_ulSupportedStopBits;
    ULONG m_ulSupportedFlowControls;
    ULONG m_ulSupportedDuplexModes;
    ULONG m_ulLogLevel;
    ULONG m_ulCtsSupported;
    ULONG m_ulRtsSupported;
    ULONG m_ulDtrSupported;
    ULONG m_ulDsrSupported;
    ULONG m_ulDcdSupported;
    ULONG m_ulRiSupported;

    CVcpParameters();

    // Within [MinBaudRate, MaxBaudRate], and either any rate is admitted or the rate is a standard
    // rate whose SupportedBaudRates bit is set (134 and 135 share one bit).
    BOOLEAN m_IsBaudRateSupported(ULONG ulBaudRate) const;
};

// One value of the set: its registry name, its default and the member that holds it.
struct HvUVcpSetting {
    PCWSTR m_pszName;
    ULONG m_ulDefault;
    ULONG CVcpParameters::*m_pulMember;
};

#define HVUVCP_SETTINGS 33
// The values in registration order, which is the order of the serialised stream.
extern const HvUVcpSetting g_aHvUVcpSettings[HVUVCP_SETTINGS];
