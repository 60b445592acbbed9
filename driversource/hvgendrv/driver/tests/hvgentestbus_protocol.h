// What the framework's child-device tests share with their two test drivers: a bus driver whose
// device lists children in "Child<n>" subkeys, and a function driver for those children.
#pragma once

#include <basetsd.h>

// Internal device control the bus driver serves: answers HVGB_PING_ANSWER in 4 bytes.
#define IOCTL_HVGB_PING 0x0022E01Cu
#define HVGB_PING_ANSWER 0xB05B05u

// Device control of the children's function driver: its view of the child below (HvgcState).
#define IOCTL_HVGC_QUERY 0x0022E020u

// Device control at the bus device: a record for the reader above child ulContextId; the input is
// an HvgbRecordHeader, then the record's data.
#define IOCTL_HVGB_POST_RECORD 0x0022E028u
// Device control at the bus device: the input bytes arrive for the reads waiting in its read queue.
#define IOCTL_HVGB_FEED_READS 0x0022E02Cu
// Device control of the children's function driver: its reader goes, the device stays.
#define IOCTL_HVGC_DELETE_READER 0x0022E030u

struct HvgbRecordHeader {
    ULONG ulContextId;
    ULONG ulReserved;
    ULONGLONG ullValue;
};

struct HvgcState {
    ULONG ulContextIdRead; // 1 when the accessor found a framework physical device below
    ULONG ulContextId;
    ULONG ulPdoIdentified; // the identity check on the PDO below
    ULONG ulFdoIdentified; // the identity check on its own device object
    ULONG ulDeviceIndex;
    LONG lPingStatus; // IOCTL_HVGB_PING sent at the child
    ULONG ulPingAnswer;
};
