// The arithmetic of the FTDI port object: the baud divisor, the line word, the early
// acknowledgement limit, the size of the next receive transfer and the latency policy. Pure
// functions, so that each rule can be checked on its own.
#pragma once

#include <wdm.h>

// The chip's baud clock and the highest rate the port accepts.
#define FTDI_BAUD_CLOCK 3000000u
#define FTDI_MAXIMUM_BAUD_RATE 921600u
// The divisor field of the baud request.
#define FTDI_DIVISOR_MASK 0x3FFFu

// Bulk-in packets: a modem-status byte, a line-status byte and up to 62 data bytes.
#define FTDI_PACKET_SIZE 64u
#define FTDI_PACKET_DATA 62u
// The largest receive transfer.
#define FTDI_MAXIMUM_TRANSFER 4096u

// Latency policies.
#define FTDI_POLICY_SPECIFIC_LATENCY_TIME 0u
#define FTDI_POLICY_LOW_CPU_USAGE 1u
// Used for a port that has no bus settings, or settings outside what the formulas take.
#define FTDI_DEFAULT_MAXIMUM_LATENCY 1040u
#define FTDI_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING 0u
#define FTDI_DEFAULT_LOW_CPU_USAGE_FINE_TUNING 192u
#define FTDI_MAXIMUM_FINE_TUNING 256u

struct FtdiBaudDivisor {
    USHORT unValue;         // wValue of the baud request: divisor and the two low fraction-code bits
    UCHAR ucFractionHigh;   // the third fraction-code bit
    ULONG ulDifference;     // |requested - programmed| in baud
};

// The divisor search: FALSE for 0, for rates above 921600 and for rates whose divisor does not fit
// the 14-bit field (below 184 baud), which the chip cannot program.
BOOLEAN FtdiFindBaudDivisor(ULONG ulBaudRate, FtdiBaudDivisor* pDivisor);

// The FTDI_SET_DATA word: data-bits code 0..3 (5..8 bits), parity 0..4, stop-bits code 0..2.
USHORT FtdiLineWord(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits, BOOLEAN bBreak);

// How many characters a millisecond carries at the rate and framing, plus one.
ULONG FtdiEarlyAcknowledgeLimit(ULONG ulBaudRate, ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits);
// One character on the line in 100 ns units (start bit, data bits code 0..3, parity, stop bits code;
// one and a half stop bits count as two), rounded up.
ULONGLONG FtdiCharacterTime(ULONG ulBaudRate, ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits);

// The size of the next receive transfer from the port driver's free space; *pbLow says the space is
// too small to go on receiving.
ULONG FtdiNextRxTransferSize(ULONG ulFree, ULONG ulIncoming, ULONG ulRxFifoSize, ULONG ulCurrentSize,
                             PBOOLEAN pbLow);

struct FtdiLatencySettings {
    ULONG ulPolicyType;
    ULONG ulMaximumLatency;
    ULONG ulMaximumLatencyFineTuning;
    ULONG ulLowCpuUsageFineTuning;
};

// The latency timer (ms) and receive transfer size for a baud rate; FALSE for an unknown policy.
// A maximum latency of 0 takes the default and fine tuning above 256 counts as 256.
BOOLEAN FtdiLatencyPolicy(const FtdiLatencySettings* pSettings, ULONG ulBaudRate, PULONG pulLatency,
                          PULONG pulTransferSize);
