// What the USB test client driver and the tests share: one control code whose buffer describes a
// request for the client to send down as an URB, and receives its outcome.
#pragma once

#include <basetsd.h>

// IRP_MJ_DEVICE_CONTROL, METHOD_BUFFERED: input and output are one ClientRequest.
#define IOCTL_USBCLIENT_REQUEST 0x0022E000u

enum ClientOp : ULONG {
    ClientConfigure = 1,  // read the descriptors, select every interface the device shows
    ClientDescriptor = 2, // GET_DESCRIPTOR_FROM_DEVICE: type, index, length
    ClientControl = 3,    // a vendor or class request: function, in, request, value, index, length
    ClientBulk = 4,       // on the pipe of endpoint: length bytes (out: data[] is sent)
    ClientAbortPipe = 5,  // endpoint
    ClientResetPipe = 6,  // endpoint
    ClientResetPort = 7,
    ClientPortStatus = 8, // transferred = the port status flags
    ClientCancelAll = 9,  // cancels every URB of the client in flight; transferred = how many
    ClientUnconfigure = 10,
    ClientRawUrb = 11,          // submits data[] as an URB of `length` bytes as it stands (bad input)
    ClientBadPipe = 12,         // a bulk transfer on a pipe handle the stack never gave
    ClientSelectInterface = 13, // interface `index`, alternate setting `value`; its pipes replace the client's
};

inline constexpr ULONG kClientDataSize = 16384;

struct ClientRequest {
    ULONG op;
    USHORT function;
    UCHAR in;
    UCHAR endpoint;
    UCHAR request;
    UCHAR descriptor_type;
    UCHAR descriptor_index;
    UCHAR short_ok;
    USHORT value;
    USHORT index;
    ULONG length;
    // Outcome
    LONG irp_status;
    LONG urb_status;
    ULONG transferred;
    ULONG pipe_count;
    UCHAR completion_irql; // the IRQL the URB completed at
    UCHAR reserved[3];
    UCHAR pipes[32];    // endpoint addresses of the selected pipes
    ULONG64 handles[8]; // and the first pipe handles
    UCHAR data[kClientDataSize];
};
