// The port settings set as an information set of the port driver.
#include "hvuvcpusermodeinterface.h"

#include <pmdebugmanager.h>
#include "hvuvcptrace.h"

CHvUVcpUserModeInterface::CHvUVcpUserModeInterface() : CPmInformationSet(NULL) {
    for (const HvUVcpSetting& setting : g_aHvUVcpSettings) {
        if (!m_GetValid())
            break;
        if (!m_AddDword(setting.m_pszName, &(this->*setting.m_pulMember), setting.m_ulDefault))
            m_SetValid(FALSE);
    }
}

void CHvUVcpUserModeInterface::m_Dump() const {
    static const char* const s_apszDataBits[] = {"5", "6", "7", "8"};
    static const char* const s_apszParities[] = {"None", "Odd", "Even", "Mark", "Space"};
    static const char* const s_apszStopBits[] = {"1", "1.5", "2"};

    PM_TRACE(HVUVCP_TRACE_SETTINGS, "===================HvUVCP UI Parameters======================");
    if (m_ulPortType) {
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Device Type: RS-422/485 Port");
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->DuplexMode: 0x%X", m_ulDuplexMode);
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->422485CtsTrue: %d", m_ul422485CtsTrue);
    } else {
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Device Type: RS-232 Port");
    }
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->MaxBaudRate: %d", m_ulMaxBaudRate);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->MinBaudRate: %d", m_ulMinBaudRate);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->BaudRate: %d", m_ulBaudrate);
    // A code outside its range is shown as it is stored.
    if (m_ulDatabits < 4)
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Databits: %s", s_apszDataBits[m_ulDatabits]);
    else
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Databits: code %d", m_ulDatabits);
    if (m_ulParity < 5)
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Parity: %s", s_apszParities[m_ulParity]);
    else
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Parity: code %d", m_ulParity);
    if (m_ulStopbits < 3)
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Stopbits: %s", s_apszStopBits[m_ulStopbits]);
    else
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Stopbits: code %d", m_ulStopbits);
    switch (m_ulFlowControl) {
    case HVUVCP_FLOW_CTS_RTS:
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->FlowControl: CTS/RTS");
        break;
    case HVUVCP_FLOW_DTR_DSR:
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->FlowControl: DTR/DSR");
        break;
    case HVUVCP_FLOW_XON_XOFF:
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->FlowControl: Xon/Xoff");
        break;
    default:
        PM_TRACE(HVUVCP_TRACE_SETTINGS, "->FlowControl: None");
        break;
    }
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Receive Trigger Level: %d%%", m_ulReceiveTriggerLevel);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Transmit Trigger Level: %d%%", m_ulTransmitTriggerLevel);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->Flow Control Trigger Level: %d%%", m_ulFlowControlTriggerLevel);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->SupportedBaudRates: 0x%X", m_ulSupportedBaudRates);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->SupportedParities: 0x%X", m_ulSupportedParities);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->SupportedDataBits: 0x%X", m_ulSupportedDataBits);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->SupportedStopBits: 0x%X", m_ulSupportedStopBits);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->SupportedFlowControls: 0x%X", m_ulSupportedFlowControls);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->SupportedDuplexModes: 0x%X", m_ulSupportedDuplexModes);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->m_OverrideBaudrate: %d", m_ulOverridBaudRates);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->m_OverrideDataBits: %d", m_ulOverrideDataBits);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->m_OverrideParity: %d", m_ulOverrideParity);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->m_OverrideStopBits: %d", m_ulOverrideStopbits);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->m_OverrideFlowControl: %d", m_ulOverrideFlowControl);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->m_EmulateCtsAlwaysTrue: %d", m_ulEmulateCTSTrue);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "->m_EmulateDsrAlwaysTrue: %d", m_ulEmulateDSRTrue);
    PM_TRACE(HVUVCP_TRACE_SETTINGS, "===========================================================");
}
