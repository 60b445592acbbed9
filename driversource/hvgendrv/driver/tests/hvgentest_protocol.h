// What the framework's test driver and its tests share: the behaviour flags read from the
// device's "TestFlags" value and the driver's control codes.
#pragma once

#include <basetsd.h>

#define HVGT_FAIL_ADD 0x1          // AddDevice refuses the device (after the device object exists)
#define HVGT_FAIL_CREATE 0x2       // the create callback refuses an open
#define HVGT_FAIL_START 0x4        // the start callback fails
#define HVGT_FAIL_QUERY_STOP 0x8   // the rebalance callback refuses a query-stop
#define HVGT_SETTINGS_CALLBACK 0x10 // installs a settings callback (open and start run the update)
#define HVGT_FAIL_SETTINGS 0x20    // the settings callback fails
#define HVGT_DIRECT_WRITE 0x40     // writes bypass the write queue

#define HVGT_MAX_HELD 8
// The credit the driver grants at every open.
#define HVGT_TRANSFER_SIZE 64

// Device control: echoes the input. METHOD_BUFFERED.
#define IOCTL_HVGT_ECHO 0x0022E000u
// Device control: the driver's view of its device (HvgtState). METHOD_BUFFERED.
#define IOCTL_HVGT_QUERY 0x0022E004u
// Device control with METHOD_NEITHER: the framework refuses it.
#define IOCTL_HVGT_NEITHER 0x0022E00Bu
// Device control: records the serial events of the 4-byte input, as received line status would.
#define IOCTL_HVGT_RAISE_EVENTS 0x0022E010u
// Internal device control: the driver holds the request until cleanup, removal or cancellation.
#define IOCTL_HVGT_HOLD 0x0022E00Cu
// Device control, 4-byte input: non-zero stalls the sink (chunks written are taken but neither
// acknowledged nor looped back), zero returns to the loopback. METHOD_BUFFERED.
#define IOCTL_HVGT_STALL_WRITES 0x0022E014u
// Device control, 4-byte input n: the stalled sink acknowledges up to n of the bytes it took.
#define IOCTL_HVGT_ACKNOWLEDGE 0x0022E018u
// Device control, 4-byte input n: n bytes of the received-data pattern arrive for the reads.
#define IOCTL_HVGT_FEED 0x0022E01Cu
// Device control, 4-byte input n: the next chunk written is taken only after n ms of machine
// time, as by a transmitter still busy with earlier data.
#define IOCTL_HVGT_DELAY_WRITES 0x0022E020u

// Byte k of everything IOCTL_HVGT_FEED delivers on a device: a period that no power of two
// divides, so that a lost, repeated or misplaced chunk shows.
inline unsigned char HvgtPatternByte(unsigned long ulIndex) { return (unsigned char)(ulIndex % 251); }

struct HvgtState {
    ULONG ulPowerUps;
    ULONG ulPowerDowns;
    ULONG ulLastPowerUpIrql;
    ULONG ulPnpState;
    ULONG ulDevicePowerState;
    ULONG aulPowerMap[6];
    ULONG ulDeviceIndex;
    ULONG ulAmountInReadQueue;
    // The write sink: bytes handed down to it, and those of them not yet acknowledged.
    ULONG ulBytesSent;
    ULONG ulBytesUnacknowledged;
    // Bytes IOCTL_HVGT_FEED delivered so far.
    ULONG ulBytesFed;
};
