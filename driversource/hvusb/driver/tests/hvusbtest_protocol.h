// What the transport's test bus driver and its tests share: one internal control code whose
// buffered record names an operation of the per-port transport and carries its result.
#pragma once

#define HVUT_INIT 1          // a = port index: create the transport and configure the device
#define HVUT_DEINIT 2
#define HVUT_CONNECT 3
#define HVUT_DISCONNECT 4
#define HVUT_VENDOR_OUT 5    // a = request, b = value, c = index
#define HVUT_VENDOR_IN 6     // a = request, length bytes into data
#define HVUT_BULK_WRITE 7    // length bytes of data; written
#define HVUT_START_RX 8      // a = size
#define HVUT_STOP_RX 9
#define HVUT_ENABLE_RX 10
#define HVUT_DISABLE_RX 11
#define HVUT_SET_RX_SIZE 12  // a = size
#define HVUT_READ 13         // up to length received data bytes into data
#define HVUT_QUERY 14        // the counters below
#define HVUT_FIND_PIPE 15    // a = endpoint handle

#define HVUT_DATA_SIZE 8192

// Internal device control, METHOD_BUFFERED.
#define IOCTL_HVUT_REQUEST 0x0022E400u

struct HvutRequest {
    unsigned int op;
    unsigned int result;      // the operation's BOOLEAN
    unsigned int a, b, c;
    unsigned int length;
    unsigned int written;
    int state;                // of the receive transfer
    unsigned int transfers;   // receive transfers that reached the port
    unsigned int status_only; // of them, transfers without data
    unsigned long long received; // data bytes received
    unsigned long long lost;     // data bytes the ring had no room for
    unsigned int level;          // data bytes waiting in the ring
    unsigned char data[HVUT_DATA_SIZE];
};
