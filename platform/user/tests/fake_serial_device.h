// A serial port built into the tests, "\Device\HvFakeSerial" reachable as "\\.\COM9": it
// records every control request with its input, keeps the state the set requests give it and
// answers the get requests from that state, so the comm routines can be checked code by code.
// What is written comes back to the reads, as through a loopback plug; a read ends once it is
// full, or, with the first-byte timeouts (MAXDWORD, MAXDWORD, C), at its first bytes or empty
// after C ms. Other timeouts are not applied.
#pragma once

#include <basetsd.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake_serial {

struct Request {
    ULONG code;
    std::vector<uint8_t> input;
    ULONG output_length;
};

// The port's answers; the set codes change them as a serial driver would.
struct State {
    ULONG baud = 9600;
    uint8_t line[3] = {0, 0, 8};                    // stop bits, parity, word length
    uint8_t chars[6] = {0x1A, 0, 0, 0, 0x11, 0x13}; // EOF, error, break, event, XON, XOFF
    ULONG handflow[4] = {0x01, 0x40, 2048, 512};    // handshake, flow replace, XON, XOFF limits
    ULONG timeouts[5] = {};
    ULONG queue[2] = {};
    ULONG wait_mask = 0;
    ULONG modem_status = 0;
    ULONG status[5] = {}; // SERIAL_STATUS as five DWORDs
    ULONG purged = 0;
    uint8_t properties[64] = {}; // SERIAL_COMMPROP
};

void install();
void uninstall();

std::vector<Request> requests();
void clear_requests();
State& state();
// The next requests with this code fail with the status (until cleared with 0).
void fail(ULONG code, LONG status);
// Completes a pending wait-on-mask with these events; without one pending they are kept for the
// next wait. Returns whether a wait was completed.
bool signal_events(ULONG events);
size_t pending_waits();
// Bytes written so far.
size_t written();

} // namespace fake_serial
