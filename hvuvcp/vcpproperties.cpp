// The port object's properties: what the port and the bus driver can do (COMMPROP, baud rates,
// signals), duplex mode, loopback, FIFO trigger levels and the EEPROM.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>

static const CHAR s_szSourcePath[] = "hvuvcp\\vcpproperties.cpp";

// The standard rates and their SERIAL_BAUD_* bits; the rates above 128000 stand for "any rate".
const VcpBaudRateBit g_aVcpBaudRateBits[VCP_BAUD_RATE_BITS] = {
    {75, 0x1},        {110, 0x2},       {135, 0x4},       {150, 0x8},       {300, 0x10},       {600, 0x20},
    {1200, 0x40},     {1800, 0x80},     {2400, 0x100},    {4800, 0x200},    {7200, 0x400},     {9600, 0x800},
    {14400, 0x1000},  {19200, 0x2000},  {38400, 0x4000},  {56000, 0x8000},  {128000, 0x10000}, {115200, 0x20000},
    {57600, 0x40000}, {230400, HVUVCP_BAUD_ANY_RATE}, {460800, HVUVCP_BAUD_ANY_RATE}, {921600, HVUVCP_BAUD_ANY_RATE},
};

BOOLEAN CVCP::m_SetTriggerLevels(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetTriggerLevels");
    if (!pISerial)
        return FALSE;
    return VCP_CALL(pISerial, m_TriggerLevelsCallback, ucTransmit, ucReceive, ucFlowControl);
}

BOOLEAN CVCP::m_SetFifoEnable(BOOLEAN bEnable) {
    if (!m_pSettings)
        return FALSE;
    UCHAR ucTransmit = (UCHAR)m_pSettings->m_ulTransmitTriggerLevel;
    UCHAR ucFlowControl = (UCHAR)m_pSettings->m_ulFlowControlTriggerLevel;
    if (bEnable && m_ucSavedReceiveLevel) {
        BOOLEAN bDone = m_SetTriggerLevels(ucTransmit, m_ucSavedReceiveLevel, ucFlowControl);
        m_ucSavedReceiveLevel = 0;
        return bDone;
    }
    if (!bEnable && !m_ucSavedReceiveLevel) {
        // A saved level of 0 means none; keep at least 1 so that enabling finds it.
        UCHAR ucSaved = (UCHAR)m_pSettings->m_ulReceiveTriggerLevel;
        m_ucSavedReceiveLevel = ucSaved ? ucSaved : 1;
        return m_SetTriggerLevels(ucTransmit, 1, ucFlowControl);
    }
    return TRUE;
}

NTSTATUS CVCP::m_SetFifoControl(UCHAR ucFifoControl) {
    return m_SetFifoEnable((BOOLEAN)(ucFifoControl & 1)) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

ULONG CVCP::m_GetPortType() {
    ISerial* pISerial = m_BusInterface.m_GetRecord();
    return pISerial && pISerial->m_bDuplexOperation ? HVUVCP_PORT_TYPE_RS422_485 : HVUVCP_PORT_TYPE_RS232;
}

NTSTATUS CVCP::m_GetPortProperties(SERIAL_COMMPROP* pCommProp) {
    if (!pCommProp) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_GetPortProperties - OUT - Fail-> pCommProp is NULL.");
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pSettings) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(pCommProp, sizeof(*pCommProp));
    pCommProp->PacketLength = sizeof(SERIAL_COMMPROP);
    pCommProp->PacketVersion = 2;
    pCommProp->ServiceMask = SERIAL_SP_SERIALCOMM;
    pCommProp->MaxBaud = HVUVCP_BAUD_ANY_RATE;
    pCommProp->ProvSubType = m_GetPortType() == HVUVCP_PORT_TYPE_RS422_485 ? SERIAL_SP_RS422 : SERIAL_SP_RS232;
    pCommProp->ProvCapabilities = 0xFF;
    pCommProp->SettableParams = 0x7F;
    pCommProp->SettableBaud = m_pSettings->m_ulSupportedBaudRates;
    pCommProp->SettableData = (USHORT)m_pSettings->m_ulSupportedDataBits;
    pCommProp->SettableStopParity = (USHORT)(m_pSettings->m_ulSupportedStopBits | m_pSettings->m_ulSupportedParities);
    pCommProp->CurrentRxQueue = m_ulQueueSize;
    return STATUS_SUCCESS;
}

BOOLEAN CVCP::m_IsBaudRateSettable(ULONG ulBaudRate) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_IsBaudRateSettable");
    return pISerial ? VCP_CALL(pISerial, m_IsBaudRateSupportedCallback, ulBaudRate) : FALSE;
}

BOOLEAN CVCP::m_CheckSupportedBaudRates() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_CheckSupportedBaudRates");
    if (!pISerial || !m_pSettings)
        return FALSE;
    CVcpParameters& set = *m_pSettings;
    const ULONG ulKnown = 0x1007FFFF;
    ULONG ulMask = 0;
    BOOLEAN bChanged = FALSE;
    if (pISerial->m_ulSupportedBaudRates == HVISERIAL_ASK_EACH_BAUD_RATE) {
        for (const VcpBaudRateBit& entry : g_aVcpBaudRateBits)
            if (entry.m_ulRate >= set.m_ulMinBaudRate && entry.m_ulRate <= set.m_ulMaxBaudRate &&
                VCP_CALL(pISerial, m_IsBaudRateSupportedCallback, entry.m_ulRate))
                ulMask |= entry.m_ulBit;
        bChanged = ulMask != set.m_ulSupportedBaudRates;
    } else {
        ulMask = pISerial->m_ulSupportedBaudRates;
        ULONG ulHighest = 0, ulLowest = MAXULONG;
        for (const VcpBaudRateBit& entry : g_aVcpBaudRateBits)
            if ((ulMask & entry.m_ulBit) && VCP_CALL(pISerial, m_IsBaudRateSupportedCallback, entry.m_ulRate)) {
                ulHighest = entry.m_ulRate > ulHighest ? entry.m_ulRate : ulHighest;
                ulLowest = entry.m_ulRate < ulLowest ? entry.m_ulRate : ulLowest;
            }
        if ((ulMask & 0x1) && VCP_CALL(pISerial, m_IsBaudRateSupportedCallback, (ULONG)60))
            ulLowest = 60;
        if (ulHighest && ulHighest != set.m_ulMaxBaudRate) {
            set.m_ulMaxBaudRate = ulHighest;
            bChanged = TRUE;
        }
        if (ulLowest != MAXULONG && ulLowest != set.m_ulMinBaudRate) {
            set.m_ulMinBaudRate = ulLowest;
            bChanged = TRUE;
        }
        if ((ulMask & ulKnown) && ulMask != set.m_ulSupportedBaudRates)
            bChanged = TRUE;
    }
    if (ulMask & ulKnown)
        set.m_ulSupportedBaudRates = ulMask;
    return bChanged;
}

BOOLEAN CVCP::m_CheckSupportedSignals() {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_CheckSupportedSignals");
    if (!pISerial || !m_pSettings)
        return FALSE;
    ULONG CVcpParameters::*const apMembers[HVISERIAL_SIGNALS] = {
        &CVcpParameters::m_ulCtsSupported, &CVcpParameters::m_ulRtsSupported, &CVcpParameters::m_ulDsrSupported,
        &CVcpParameters::m_ulDtrSupported, &CVcpParameters::m_ulDcdSupported, &CVcpParameters::m_ulRiSupported};
    BOOLEAN bChanged = FALSE;
    for (ULONG i = 0; i < HVISERIAL_SIGNALS; ++i) {
        ULONG ulValue = pISerial->m_abSignals[i];
        if (m_pSettings->*apMembers[i] != ulValue) {
            m_pSettings->*apMembers[i] = ulValue;
            bChanged = TRUE;
        }
    }
    return bChanged;
}

// The duplex modes the bus driver's RS-422/485 ports take (bit n - 1 for mode n): RS-422 full
// duplex and RS-485 half duplex; an RS-232 port has none.
#define HVUVCP_RS422_485_DUPLEX_MODES 0x03

BOOLEAN CVCP::m_CheckSupportedDuplexModes() {
    if (!m_pSettings)
        return FALSE;
    ULONG ulModes = m_GetPortType() == HVUVCP_PORT_TYPE_RS422_485 ? HVUVCP_RS422_485_DUPLEX_MODES : 0;
    if (m_pSettings->m_ulSupportedDuplexModes == ulModes)
        return FALSE;
    m_pSettings->m_ulSupportedDuplexModes = ulModes;
    return TRUE;
}

NTSTATUS CVCP::m_SetDuplexMode(ULONG ulMode, UCHAR ucCtsTrue) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_DuplexModeSettings - IN");
    if (!m_pSettings) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG ulPortType = m_GetPortType();
    if (ulMode && ulPortType == HVUVCP_PORT_TYPE_RS232) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_DuplexModeSettings - OUT - Fail->DUPLEX_MODE_%u set on 232 device.", ulMode);
        return STATUS_UNSUCCESSFUL;
    }
    if (!ulMode && ulPortType == HVUVCP_PORT_TYPE_RS422_485) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_DuplexModeSettings - OUT - Fail->DUPLEX_MODE_NONE set on 422/485 device.");
        return STATUS_UNSUCCESSFUL;
    }
    if (ulMode > 5)
        return STATUS_INVALID_PARAMETER;
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_DuplexModeSettings");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_DuplexModeSettingsCallback, ulMode, (BOOLEAN)(ucCtsTrue != 0))) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_DuplexModeSettings - OUT - Fail->Error setting duplex mode.");
        return STATUS_UNSUCCESSFUL;
    }
    m_pSettings->m_ulDuplexMode = ulMode;
    m_pSettings->m_ul422485CtsTrue = ucCtsTrue;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetInternalLoopBackMode(UCHAR ucState) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetInternalLoopBackMode");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_InternalLoopbackCallback, (BOOLEAN)ucState)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetInternalLoopBackMode - OUT - Fail->Error setting Internal Loopback mode.");
        return STATUS_NOT_IMPLEMENTED;
    }
    m_ucLoopback = ucState;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_ReadEeprom(ULONG ulOffset, ULONG ulLength, PUCHAR pucBuffer) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_ReadEeprom");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!pISerial->m_bReadEepromOperation) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_ReadEeprom - OUT - Fail -> Reading Eeprom not supported.");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (!VCP_CALL(pISerial, m_ReadEepromCallback, ulOffset, ulLength, pucBuffer)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_ReadEeprom - OUT - Fail -> Error reading Eeprom.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_WriteEeprom(ULONG ulOffset, ULONG ulLength, const UCHAR* pucBytes) {
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_WriteEeprom");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!pISerial->m_bWriteEepromOperation) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_WriteEeprom - OUT - Fail -> Writing Eeprom not supported.");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (!VCP_CALL(pISerial, m_WriteEepromCallback, ulOffset, ulLength, pucBytes)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_WriteEeprom - OUT - Fail -> Error writing Eeprom.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}
