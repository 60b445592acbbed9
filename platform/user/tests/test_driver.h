// A driver built into the tests: one exclusive device, "\Device\HvUserTest", reachable from user
// mode as "\\.\HVUTEST". Writes loop back into the data that reads return; reads wait for data;
// control codes below exercise pending, completion statuses and late completion.
#pragma once

#include <basetsd.h>

#include <string>
#include <vector>

namespace test_driver {

constexpr ULONG ioctl(ULONG function, ULONG method = 0) { return (0x22u << 16) | (function << 2) | method; }

// Output = input (METHOD_BUFFERED); a short output gives STATUS_BUFFER_TOO_SMALL.
constexpr ULONG kEcho = ioctl(0x800);
// Pends until cancelled or until the file's cleanup.
constexpr ULONG kPend = ioctl(0x801);
// Input {LONG status, ULONG information}: completes at once with them, the output filled with
// `information` bytes of 0xAB.
constexpr ULONG kCompleteWith = ioctl(0x802);
// Input {ULONG milliseconds}: completes from a timer DPC (at DISPATCH_LEVEL) after that long,
// with the output's first DWORD set to 0x600D and Information 4.
constexpr ULONG kCompleteLater = ioctl(0x803);

struct CompleteWith {
    LONG status;
    ULONG information;
};

void install();
void uninstall();

// What reached the driver, in order: "create \ref", "read 4", "write 5", "ioctl 0x...",
// "cleanup", "close", "cancel read", ...
std::vector<std::string> events();
void clear_events();
// Requests the driver holds.
size_t held_requests();
// Bytes the writes sent, and data for the reads.
std::string written();
void feed(const std::string& data);

// Whether the machine's debugger log has a line containing the text.
bool debug_log_contains(const std::string& text);

} // namespace test_driver
