// The port driver's WMI blocks: the block table, the schema, and the driver class's answers to
// the framework's size and query callbacks. Sets and methods are accepted and ignored.
#include "hvvcpwmi.h"

#include <pmdebugmanager.h>

#include "hvvcpdriver.h"
#include "vcp.h"
#include "hvuvcptrace.h"

static const CHAR s_szSourcePath[] = "hvuvcp\\driver\\hvvcpwmi";

// The standard serial blocks.
static const GUID GUID_HVUVCP_WMI_PORT_NAME = {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
static const GUID GUID_HVUVCP_WMI_COMM_INFO = {0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
static const GUID GUID_HVUVCP_WMI_HARDWARE = {0x270B9B86, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
static const GUID GUID_HVUVCP_WMI_PERFORMANCE = {0x56415ACC, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
static const GUID GUID_HVUVCP_WMI_PROPERTIES = {0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};
// The maker's own.
static const GUID GUID_HVUVCP_WMI_COUNTERS = {0xC4A27E90, 0x3B18, 0x4D62, {0x8F, 0x05, 0xA9, 0xE1, 0xD3, 0x7B, 0x6C, 0x28}};
static const GUID GUID_HVUVCP_WMI_SETTINGS = {0x5B9E03F7, 0xD26C, 0x4A81, {0x9C, 0x47, 0xE0, 0x3A, 0x8F, 0x21, 0xB5, 0xD6}};
static const GUID GUID_HVUVCP_WMI_LINE_STATE = {0xE71C5A38, 0x9F04, 0x4B2D, {0x86, 0xA3, 0x2C, 0x5D, 0x0B, 0x94, 0xE7, 0x1A}};
// The platform's GUID for a provider's binary schema.
static const GUID GUID_HVUVCP_WMI_SCHEMA = {0x05901221, 0xD566, 0x11D1, {0xB2, 0xF0, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};

static const char s_szSchema[] = R"MOF(// Schema of the port driver's own WMI blocks.
#pragma namespace("\\\\.\\root\\wmi")

[WMI, Dynamic, Provider("WMIProv"), Locale("MS\\0x409"),
 Description("Transfer counters of a USB serial port"),
 guid("{C4A27E90-3B18-4D62-8F05-A9E1D37B6C28}")]
class HvUVCP_TransferCounters
{
    [key, read] string InstanceName;
    [read] boolean Active;
    [WmiDataId(1), read, Description("Time the last received buffer took (us)")] uint32 LastReadTime;
    [WmiDataId(2), read] uint32 TransmittedCount;
    [WmiDataId(3), read] uint32 ReceivedCount;
};

[WMI, Dynamic, Provider("WMIProv"), Locale("MS\\0x409"),
 Description("Settings a USB serial port runs with"),
 guid("{5B9E03F7-D26C-4A81-9C47-E03A8F21B5D6}")]
class HvUVCP_PortSettings
{
    [key, read] string InstanceName;
    [read] boolean Active;
    [WmiDataId(1), read, Values{"RS-232", "RS-422/485"}, ValueMap{"0", "1"}] uint32 PortType;
    [WmiDataId(2), read] uint32 MaxBaudRate;
    [WmiDataId(3), read] uint32 MinBaudRate;
    [WmiDataId(4), read] uint32 TransmitTriggerLevel;
    [WmiDataId(5), read] uint32 ReceiveTriggerLevel;
    [WmiDataId(6), read] uint32 FlowControlTriggerLevel;
    [WmiDataId(7), read] uint32 DuplexMode;
    [WmiDataId(8), read] uint32 Baudrate;
    [WmiDataId(9), read] uint32 Databits;
    [WmiDataId(10), read] uint32 Parity;
    [WmiDataId(11), read] uint32 Stopbits;
    [WmiDataId(12), read] uint32 FlowControl;
    [WmiDataId(13), read] uint32 LogLevel;
    [WmiDataId(14), read] uint32 SupportedBaudRates;
    [WmiDataId(15), read] uint32 SupportedParities;
    [WmiDataId(16), read] uint32 SupportedDataBits;
    [WmiDataId(17), read] uint32 SupportedStopBits;
    [WmiDataId(18), read] boolean FlowControlCtsRts;
    [WmiDataId(19), read] boolean FlowControlDtrDsr;
    [WmiDataId(20), read] boolean FlowControlXonXoff;
    [WmiDataId(21), read] boolean DuplexMode1;
    [WmiDataId(22), read] boolean DuplexMode2;
    [WmiDataId(23), read] uint32 OverrideBaudRate;
    [WmiDataId(24), read] uint32 OverrideDataBits;
    [WmiDataId(25), read] uint32 OverrideParity;
    [WmiDataId(26), read] uint32 OverrideStopBits;
    [WmiDataId(27), read] uint32 OverrideFlowControl;
    [WmiDataId(28), read] boolean EmulateCtsTrue;
    [WmiDataId(29), read] boolean EmulateDsrTrue;
    [WmiDataId(30), read] boolean CtsTrue422485;
};

[WMI, Dynamic, Provider("WMIProv"), Locale("MS\\0x409"),
 Description("Lines and holds of a USB serial port"),
 guid("{E71C5A38-9F04-4B2D-86A3-2C5D0B94E71A}")]
class HvUVCP_LineAndHoldState
{
    [key, read] string InstanceName;
    [read] boolean Active;
    [WmiDataId(1), read] uint8 ModemControl;
    [WmiDataId(2), read] uint8 ModemStatus;
    [WmiDataId(3), read] uint8 LineStatus;
    [WmiDataId(4), read] uint32 TransmitHolds;
    [WmiDataId(5), read] uint32 ReceiveHolds;
    [WmiDataId(6), read] uint32 WaitMask;
};
)MOF";

const UCHAR* const g_pucHvUVcpWmiSchema = reinterpret_cast<const UCHAR*>(s_szSchema);
const ULONG g_ulHvUVcpWmiSchemaSize = sizeof(s_szSchema) - 1;

// One instance each; the port name's size is asked of the driver. Nothing can be set.
const PmWmiGuidEntry g_aHvUVcpWmiGuidTable[HVUVCP_WMI_BLOCKS] = {
    {&GUID_HVUVCP_WMI_PORT_NAME, 1, 0, 0, 1, 1, 0},
    {&GUID_HVUVCP_WMI_COMM_INFO, 1, 0, sizeof(HvUVcpWmiCommData), 1, 25, 0},
    {&GUID_HVUVCP_WMI_HARDWARE, 1, 0, sizeof(HvUVcpWmiHardwareData), 1, 6, 0},
    {&GUID_HVUVCP_WMI_PERFORMANCE, 1, 0, sizeof(SERIALPERF_STATS), 1, 6, 0},
    {&GUID_HVUVCP_WMI_PROPERTIES, 1, 0, sizeof(SERIAL_COMMPROP), 1, 19, 0},
    {&GUID_HVUVCP_WMI_COUNTERS, 1, 0, sizeof(HvUVcpWmiTransferCounters), 1, 3, 0},
    {&GUID_HVUVCP_WMI_SETTINGS, 1, 0, sizeof(HvUVcpWmiPortSettings), 1, 30, 0},
    {&GUID_HVUVCP_WMI_LINE_STATE, 1, 0, sizeof(HvUVcpWmiLineState), 1, 6, 0},
    {&GUID_HVUVCP_WMI_SCHEMA, 1, 0, sizeof(s_szSchema) - 1, 1, 0, 0},
};

namespace {

void FillCommData(CVCP* pVCP, HvUVcpWmiCommData* pData) {
    pData->BaudRate = pVCP->m_ulBaudRate;
    pData->BitsPerByte = pVCP->m_ucWordLength;
    // Mark and space swap places in the WMI order.
    static const ULONG s_aulParity[] = {0, 1, 2, 4, 3};
    pData->Parity = pVCP->m_ucParity < 5 ? s_aulParity[pVCP->m_ucParity] : 0;
    pData->ParityCheckEnable = pVCP->m_ucParity != NO_PARITY;
    pData->StopBits = pVCP->m_ucStopBits;
    pData->XoffCharacter = pVCP->m_SpecialChars.XoffChar;
    pData->XoffXmitThreshold = (ULONG)pVCP->m_HandFlow.XoffLimit;
    pData->XonCharacter = pVCP->m_SpecialChars.XonChar;
    pData->XonXmitThreshold = (ULONG)pVCP->m_HandFlow.XonLimit;
    pData->MaximumBaudRate = pVCP->m_pSettings ? pVCP->m_pSettings->m_ulMaxBaudRate : 115200;
    pData->MaximumOutputBufferSize = 0xFFFFFFFF;
    pData->MaximumInputBufferSize = 0xFFFFFFFF;
    pData->Support16BitMode = FALSE;
    pData->SupportDTRDSR = pData->SupportIntervalTimeouts = pData->SupportParityCheck = TRUE;
    pData->SupportRTSCTS = pData->SupportXonXoff = pData->SettableBaudRate = TRUE;
    pData->SettableDataBits = pData->SettableFlowControl = pData->SettableParity = TRUE;
    pData->SettableParityCheck = pData->SettableStopBits = TRUE;
    pData->IsBusy = FALSE;
}

void FillPortSettings(CVCP* pVCP, const CVcpParameters& set, HvUVcpWmiPortSettings* pData) {
    pData->ulPortType = pVCP->m_GetPortType();
    pData->ulMaxBaudRate = set.m_ulMaxBaudRate;
    pData->ulMinBaudRate = set.m_ulMinBaudRate;
    pData->ulTransmitTriggerLevel = set.m_ulTransmitTriggerLevel;
    pData->ulReceiveTriggerLevel = set.m_ulReceiveTriggerLevel;
    pData->ulFlowControlTriggerLevel = set.m_ulFlowControlTriggerLevel;
    pData->ulDuplexMode = set.m_ulDuplexMode;
    pData->ulBaudrate = set.m_ulBaudrate;
    pData->ulDatabits = set.m_ulDatabits;
    pData->ulParity = set.m_ulParity;
    pData->ulStopbits = set.m_ulStopbits;
    pData->ulFlowControl = set.m_ulFlowControl;
    pData->ulLogLevel = set.m_ulLogLevel;
    pData->ulSupportedBaudRates = set.m_ulSupportedBaudRates;
    pData->ulSupportedParities = set.m_ulSupportedParities;
    pData->ulSupportedDataBits = set.m_ulSupportedDataBits;
    pData->ulSupportedStopBits = set.m_ulSupportedStopBits;
    // An RS-422/485 port in duplex mode 2 has no flow control.
    if (!(set.m_ulPortType == HVUVCP_PORT_TYPE_RS422_485 && set.m_ulDuplexMode == 2)) {
        pData->ucFlowCtsRts = (set.m_ulSupportedFlowControls & 0x1) != 0;
        pData->ucFlowDtrDsr = (set.m_ulSupportedFlowControls & 0x2) != 0;
        pData->ucFlowXonXoff = (set.m_ulSupportedFlowControls & 0x4) != 0;
    }
    pData->ucDuplexBit0 = (set.m_ulSupportedDuplexModes & 0x1) != 0;
    pData->ucDuplexBit1 = (set.m_ulSupportedDuplexModes & 0x2) != 0;
    pData->ulOverrideBaudRate = set.m_ulOverridBaudRates != 0;
    pData->ulOverrideDataBits = set.m_ulOverrideDataBits != 0;
    pData->ulOverrideParity = set.m_ulOverrideParity != 0;
    pData->ulOverrideStopBits = set.m_ulOverrideStopbits != 0;
    pData->ulOverrideFlowControl = set.m_ulOverrideFlowControl != 0;
    pData->ucEmulateCtsTrue = set.m_ulEmulateCTSTrue != 0;
    pData->ucEmulateDsrTrue = set.m_ulEmulateDSRTrue != 0;
    pData->uc422485CtsTrue = set.m_ul422485CtsTrue != 0;
}

// The blocks that read the port object; FALSE without one.
BOOLEAN QueryPortBlock(CVCP* pVCP, ULONG ulGuidIndex, PUCHAR pucBuffer) {
    switch (ulGuidIndex) {
    case HVUVCP_WMI_COMM_INFO: {
        HvUVcpWmiCommData data;
        RtlZeroMemory(&data, sizeof(data));
        FillCommData(pVCP, &data);
        RtlCopyMemory(pucBuffer, &data, sizeof(data));
        return TRUE;
    }
    case HVUVCP_WMI_PERFORMANCE: {
        SERIALPERF_STATS stats = pVCP->m_PerfStats;
        RtlCopyMemory(pucBuffer, &stats, sizeof(stats));
        return TRUE;
    }
    case HVUVCP_WMI_COMM_PROPERTIES: {
        SERIAL_COMMPROP properties;
        RtlZeroMemory(&properties, sizeof(properties));
        if (pVCP->m_pSettings) {
            if (!NT_SUCCESS(pVCP->m_GetPortProperties(&properties)))
                return FALSE;
        } else {
            properties.PacketLength = sizeof(properties);
            properties.PacketVersion = 2;
            properties.ServiceMask = SERIAL_SP_SERIALCOMM;
            properties.MaxBaud = SERIAL_BAUD_USER;
            properties.ProvSubType = SERIAL_SP_RS232;
            properties.SettableBaud = 0x1007FFFF;
            properties.SettableData = 15;
            properties.SettableStopParity = 0x1F07;
        }
        RtlCopyMemory(pucBuffer, &properties, sizeof(properties));
        return TRUE;
    }
    case HVUVCP_WMI_TRANSFER_COUNTERS: {
        HvUVcpWmiTransferCounters data = {pVCP->m_ulLastReadTime, pVCP->m_PerfStats.TransmittedCount,
                                          pVCP->m_PerfStats.ReceivedCount};
        RtlCopyMemory(pucBuffer, &data, sizeof(data));
        return TRUE;
    }
    case HVUVCP_WMI_PORT_SETTINGS: {
        if (!pVCP->m_pSettings)
            return FALSE;
        HvUVcpWmiPortSettings data;
        RtlZeroMemory(&data, sizeof(data));
        FillPortSettings(pVCP, *pVCP->m_pSettings, &data);
        RtlCopyMemory(pucBuffer, &data, sizeof(data));
        return TRUE;
    }
    case HVUVCP_WMI_LINE_AND_HOLD_STATE: {
        VcpLineAndHoldState state;
        RtlZeroMemory(&state, sizeof(state));
        pVCP->m_GetLineAndHoldState(&state);
        HvUVcpWmiLineState data = {state.m_ucModemControl, state.m_ucModemStatus, state.m_ucLineStatus, 0,
                                   state.m_ulTransmitHolds, state.m_ulReceiveHolds, state.m_ulWaitMask};
        RtlCopyMemory(pucBuffer, &data, sizeof(data));
        return TRUE;
    }
    }
    return FALSE;
}

} // namespace

BOOLEAN CHvUVCPDriver::m_WmiGetRequiredSizeCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                    PULONG pulSize) {
    if (ulGuidIndex != HVUVCP_WMI_PORT_NAME)
        return FALSE;
    if (ulInstance != 0) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    *pulSize = PmPortDriverOf(pObject)->m_PortName.m_GetLength() * sizeof(WCHAR) + sizeof(USHORT);
    return TRUE;
}

BOOLEAN CHvUVCPDriver::m_WmiQueryDataBlockCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                   PUCHAR pucBuffer) {
    CHvUVCPDriver* pThis = PmPortDriverOf(pObject);
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_WmiQueryDataBlockCallback - IN");
    if (ulInstance != 0) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    switch (ulGuidIndex) {
    case HVUVCP_WMI_PORT_NAME: {
        USHORT usBytes = (USHORT)(pThis->m_PortName.m_GetLength() * sizeof(WCHAR));
        RtlCopyMemory(pucBuffer, &usBytes, sizeof(usBytes));
        RtlCopyMemory(pucBuffer + sizeof(usBytes), pThis->m_PortName.m_GetText(), usBytes);
        return TRUE;
    }
    case HVUVCP_WMI_HARDWARE_CONFIGURATION: {
        HvUVcpWmiHardwareData data;
        RtlZeroMemory(&data, sizeof(data));
        data.InterruptType = 1; // latched
        RtlCopyMemory(pucBuffer, &data, sizeof(data));
        return TRUE;
    }
    case HVUVCP_WMI_SCHEMA:
        RtlCopyMemory(pucBuffer, g_pucHvUVcpWmiSchema, g_ulHvUVcpWmiSchemaSize);
        return TRUE;
    }
    if (ulGuidIndex >= HVUVCP_WMI_BLOCKS)
        return FALSE;
    CVCP* pVCP = pThis->m_AcquireVCP();
    if (!pVCP)
        return FALSE;
    BOOLEAN bAnswered = QueryPortBlock(pVCP, ulGuidIndex, pucBuffer);
    pThis->m_ReleaseVCP();
    return bAnswered;
}

BOOLEAN CHvUVCPDriver::m_WmiSetDataBlockCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                 ULONG ulSize, PUCHAR pucBuffer) {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_WmiQueryDataBlockCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CHvUVCPDriver::m_WmiSetDataItemCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                ULONG ulItemId, ULONG ulSize, PUCHAR pucBuffer) {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_WmiSetDataItemCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CHvUVCPDriver::m_WmiExecuteMethodCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                  PULONG pulInputSize, PULONG pulOutputSize, PUCHAR pucBuffer) {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_WmiExecuteMethodCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CHvUVCPDriver::m_WmiGetRequiredSizeForMethodCallback(CPmDriverClass* pObject, ULONG ulGuidIndex,
                                                             ULONG ulInstance, ULONG ulMethodId, PULONG pulSize) {
    PM_TRACE(HVUVCP_TRACE,
             "CHvUVCPDriver::m_WmiGetRequiredSizeForMethodCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CHvUVCPDriver::m_WmiFunctionControlCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulFunction,
                                                    BOOLEAN bEnable) {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_WmiFunctionControlCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}
