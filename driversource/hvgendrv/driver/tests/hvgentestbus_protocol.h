// What the framework's child-device tests share with their two test drivers: a bus driver whose
// device lists children in "Child<n>" subkeys, and a function driver for those children.
#pragma once

// Internal device control the bus driver serves: answers HVGB_PING_ANSWER in 4 bytes.
#define IOCTL_HVGB_PING 0x0022E01Cu
#define HVGB_PING_ANSWER 0xB05B05u

// Device control of the children's function driver: its view of the child below (HvgcState).
#define IOCTL_HVGC_QUERY 0x0022E020u

struct HvgcState {
    ULONG ulContextIdRead; // 1 when the accessor found a framework physical device below
    ULONG ulContextId;
    ULONG ulPdoIdentified; // the identity check on the PDO below
    ULONG ulFdoIdentified; // the identity check on its own device object
    ULONG ulDeviceIndex;
    LONG lPingStatus; // IOCTL_HVGB_PING sent at the child
    ULONG ulPingAnswer;
};
