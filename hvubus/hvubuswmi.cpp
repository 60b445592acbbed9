// The bus driver's WMI block table and its schema.
#include "hvubuswmi.h"

// {6B1D93E4-27A5-4C08-B3E1-58F2A90D7C16}
const GUID GUID_HVUBUS_WMI_TIMING = {0x6B1D93E4, 0x27A5, 0x4C08, {0xB3, 0xE1, 0x58, 0xF2, 0xA9, 0x0D, 0x7C, 0x16}};
// {2D8E47B1-C963-4F2A-8E05-71B6D3A2F948}
const GUID GUID_HVUBUS_WMI_SETTINGS = {0x2D8E47B1, 0xC963, 0x4F2A, {0x8E, 0x05, 0x71, 0xB6, 0xD3, 0xA2, 0xF9, 0x48}};
// {9F3A05C7-4E81-4B6D-A2C9-0D58E71B3F64}
const GUID GUID_HVUBUS_WMI_PORT_STATE = {0x9F3A05C7, 0x4E81, 0x4B6D, {0xA2, 0xC9, 0x0D, 0x58, 0xE7, 0x1B, 0x3F, 0x64}};
// {05901221-D566-11D1-B2F0-00A0C9062910}
const GUID GUID_HVUBUS_WMI_BINARY_SCHEMA = {0x05901221, 0xD566, 0x11D1, {0xB2, 0xF0, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};

// The schema the blocks are described by. Consumers read it as the provider's schema; it is
// kept as the text it is written in.
static const char s_szSchema[] = R"MOF(// Schema of the bus driver's WMI blocks.
#pragma namespace("\\\\.\\root\\wmi")

[WMI, Dynamic, Provider("WMIProv"), Locale("MS\\0x409"),
 Description("Timing and counters of the first port of a USB serial adapter"),
 guid("{6B1D93E4-27A5-4C08-B3E1-58F2A90D7C16}")]
class HvUBus_PortTiming
{
    [key, read] string InstanceName;
    [read] boolean Active;
    [WmiDataId(1), read, Description("Time of the last receive completion (ms)")] uint32 LastReceiveCompletionTime;
    [WmiDataId(2), read, Description("Start of the last hand-over at PASSIVE_LEVEL (ms)")] uint32 HandOverStartTime;
    [WmiDataId(3), read, Description("End of the last hand-over (ms)")] uint32 HandOverEndTime;
    [WmiDataId(4), read, Description("Time spent in the transport's receive (ms)")] uint32 TransportReceiveTime;
    [WmiDataId(5), read, Description("Time spent in the transport's callback (ms)")] uint32 TransportCallbackTime;
    [WmiDataId(6), read, Description("Bytes transmitted")] uint32 BytesTransmitted;
    [WmiDataId(7), read, Description("Bytes received")] uint32 BytesReceived;
};

[WMI, Dynamic, Provider("WMIProv"), Locale("MS\\0x409"),
 Description("Bus settings of a USB serial adapter"),
 guid("{2D8E47B1-C963-4F2A-8E05-71B6D3A2F948}")]
class HvUBus_BusSettings
{
    [key, read] string InstanceName;
    [read] boolean Active;
    [WmiDataId(1), read] uint32 RxFifoSize;
    [WmiDataId(2), read] uint32 TxFifoSize;
    [WmiDataId(3), read] uint32 MaximumBaudRate;
    [WmiDataId(4), read, Values{"SpecificLatencyTime", "LowCpuUsage"}, ValueMap{"0", "1"}] uint32 PolicyType;
    [WmiDataId(5), read] uint32 MaximumLatency;
    [WmiDataId(6), read] uint32 MaximumLatencyFineTuning;
    [WmiDataId(7), read] uint32 MaximumLatencySliderPos;
    [WmiDataId(8), read] uint32 LowCpuUsageFineTuning;
};

[WMI, Dynamic, Provider("WMIProv"), Locale("MS\\0x409"),
 Description("State of the first port of a USB serial adapter"),
 guid("{9F3A05C7-4E81-4B6D-A2C9-0D58E71B3F64}")]
class HvUBus_PortState
{
    [key, read] string InstanceName;
    [read] boolean Active;
    [WmiDataId(1), read] uint32 ReceiveTransferSize;
    [WmiDataId(2), read] uint32 TransmitTransferSize;
    [WmiDataId(3), read] uint32 LatencyTimer;
    [WmiDataId(4), read] uint32 LastLineStatus;
    [WmiDataId(5), read] uint32 LastModemStatus;
    [WmiDataId(6), read] uint32 PendingTransmitBytes;
    [WmiDataId(7), read, Description("1 when the transmitter is not held")] uint32 TransmitterFree;
    [WmiDataId(8), read, Description("1 when the receive is not paused")] uint32 ReceiveRunning;
    [WmiDataId(9), read] uint32 ModemControlWord;
    [WmiDataId(10), read] uint32 FlowControlWord;
    [WmiDataId(11), read] uint32 BaudDivisorWord;
    [WmiDataId(12), read] uint32 LineWord;
    [WmiDataId(13), read] uint32 PortOpen;
    [WmiDataId(14), read] uint32 DuplexMode;
    [WmiDataId(15), read] uint8 ReadHandOverPending;
    [WmiDataId(16), read] uint8 TransmitBusy;
    [WmiDataId(17), read] uint8 XoffSent;
    [WmiDataId(18), read] uint8 XoffReceived;
};
)MOF";

const UCHAR* const g_pucHvUBusWmiSchema = reinterpret_cast<const UCHAR*>(s_szSchema);
const ULONG g_ulHvUBusWmiSchemaSize = sizeof(s_szSchema) - 1;

// One instance each; nothing can be set.
const PmWmiGuidEntry g_aHvUBusWmiGuidTable[HVUBUS_WMI_BLOCKS] = {
    {&GUID_HVUBUS_WMI_TIMING, 1, 0, sizeof(HvUBusWmiTiming), 1, 7, 0},
    {&GUID_HVUBUS_WMI_SETTINGS, 1, 0, sizeof(HvUBusWmiSettings), 1, 8, 0},
    {&GUID_HVUBUS_WMI_PORT_STATE, 1, 0, sizeof(HvUBusWmiPortState), 1, 18, 0},
    {&GUID_HVUBUS_WMI_BINARY_SCHEMA, 1, 0, sizeof(s_szSchema) - 1, 1, 0, 0},
};
