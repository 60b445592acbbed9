// The port driver's WMI blocks: the standard serial blocks, three of the maker's own and the
// schema, with the layouts WMI consumers read.
#pragma once

#include <wdm.h>

#include <pmwmi.h>

// Indexes of the block table.
#define HVUVCP_WMI_PORT_NAME 0
#define HVUVCP_WMI_COMM_INFO 1
#define HVUVCP_WMI_HARDWARE_CONFIGURATION 2
#define HVUVCP_WMI_PERFORMANCE 3
#define HVUVCP_WMI_COMM_PROPERTIES 4
#define HVUVCP_WMI_TRANSFER_COUNTERS 5
#define HVUVCP_WMI_PORT_SETTINGS 6
#define HVUVCP_WMI_LINE_AND_HOLD_STATE 7
#define HVUVCP_WMI_SCHEMA 8
#define HVUVCP_WMI_BLOCKS 9

// Block 1. Parity in the serial WMI order: 0 none, 1 odd, 2 even, 3 space, 4 mark.
struct HvUVcpWmiCommData {
    ULONG BaudRate;
    ULONG BitsPerByte;
    ULONG Parity;
    BOOLEAN ParityCheckEnable;
    ULONG StopBits;
    ULONG XoffCharacter;
    ULONG XoffXmitThreshold;
    ULONG XonCharacter;
    ULONG XonXmitThreshold;
    ULONG MaximumBaudRate;
    ULONG MaximumOutputBufferSize;
    ULONG MaximumInputBufferSize;
    BOOLEAN Support16BitMode;
    BOOLEAN SupportDTRDSR;
    BOOLEAN SupportIntervalTimeouts;
    BOOLEAN SupportParityCheck;
    BOOLEAN SupportRTSCTS;
    BOOLEAN SupportXonXoff;
    BOOLEAN SettableBaudRate;
    BOOLEAN SettableDataBits;
    BOOLEAN SettableFlowControl;
    BOOLEAN SettableParity;
    BOOLEAN SettableParityCheck;
    BOOLEAN SettableStopBits;
    BOOLEAN IsBusy;
};
static_assert(sizeof(HvUVcpWmiCommData) == 64 && offsetof(HvUVcpWmiCommData, Support16BitMode) == 48,
              "WMI comm data block");

// Block 2.
struct HvUVcpWmiHardwareData {
    ULONG IrqNumber;
    ULONG IrqVector;
    ULONG IrqLevel;
    ULONGLONG IrqAffinityMask;
    ULONG InterruptType;
    ULONGLONG BaseIOAddress;
};
static_assert(sizeof(HvUVcpWmiHardwareData) == 40, "WMI hardware block");

// Block 3 is SERIALPERF_STATS as it stands.

// Block 5.
struct HvUVcpWmiTransferCounters {
    ULONG ulLastReadTime; // microseconds the last received buffer took
    ULONG ulTransmittedCount;
    ULONG ulReceivedCount;
};
static_assert(sizeof(HvUVcpWmiTransferCounters) == 12, "WMI transfer counters block");

// Block 6: the port settings as the port runs with them.
#pragma pack(push, 1)
struct HvUVcpWmiPortSettings {
    ULONG ulPortType;
    ULONG ulMaxBaudRate;
    ULONG ulMinBaudRate;
    ULONG ulTransmitTriggerLevel;
    ULONG ulReceiveTriggerLevel;
    ULONG ulFlowControlTriggerLevel;
    ULONG ulDuplexMode;
    ULONG ulBaudrate;
    ULONG ulDatabits;
    ULONG ulParity;
    ULONG ulStopbits;
    ULONG ulFlowControl;
    ULONG ulLogLevel;
    ULONG ulSupportedBaudRates;
    ULONG ulSupportedParities;
    ULONG ulSupportedDataBits;
    ULONG ulSupportedStopBits;
    UCHAR ucFlowCtsRts;
    UCHAR ucFlowDtrDsr;
    UCHAR ucFlowXonXoff;
    UCHAR ucDuplexBit0;
    UCHAR ucDuplexBit1;
    UCHAR aucReserved1[3];
    ULONG ulOverrideBaudRate;
    ULONG ulOverrideDataBits;
    ULONG ulOverrideParity;
    ULONG ulOverrideStopBits;
    ULONG ulOverrideFlowControl;
    UCHAR ucEmulateCtsTrue;
    UCHAR ucEmulateDsrTrue;
    UCHAR uc422485CtsTrue;
};
#pragma pack(pop)
static_assert(sizeof(HvUVcpWmiPortSettings) == 99 && offsetof(HvUVcpWmiPortSettings, ulOverrideBaudRate) == 76 &&
                  offsetof(HvUVcpWmiPortSettings, ucEmulateCtsTrue) == 96,
              "WMI port settings block");

// Block 7.
struct HvUVcpWmiLineState {
    UCHAR ucModemControl;
    UCHAR ucModemStatus;
    UCHAR ucLineStatus;
    UCHAR ucReserved;
    ULONG ulTransmitHolds; // 0x1 CTS, 0x2 DSR, 0x4 DCD, 0x8 XOFF received, 0x20 break
    ULONG ulReceiveHolds;  // 0x40 DSR sensitivity, 0x10 XOFF sent
    ULONG ulWaitMask;
};
static_assert(sizeof(HvUVcpWmiLineState) == 16, "WMI line state block");

extern const PmWmiGuidEntry g_aHvUVcpWmiGuidTable[HVUVCP_WMI_BLOCKS];

// The schema of the maker's three blocks, returned as stored.
extern const UCHAR* const g_pucHvUVcpWmiSchema;
extern const ULONG g_ulHvUVcpWmiSchemaSize;
