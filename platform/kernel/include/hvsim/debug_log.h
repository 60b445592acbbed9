// The machine's debugger log (DbgPrint, break points, assertions, bug checks, kernel reports) and
// its trace log (WmiTraceMessage), with the trace consumers' control of the drivers' trace GUIDs.
//
// Both logs are kept in memory for tests and cleared at boot. The debugger log is also written to
// "debugger.log" in the machine's folder when it has one, and to stderr when the environment
// variable HVSIM_DEBUG is 1.
#pragma once

#include <hv/dbg.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim {

// Appends text to the debugger log (used by the bug check).
void debugger_log_write(const std::string& text);

} // namespace hvsim

namespace hvsim::debug_log {

std::string text();
// The log split at line ends (a last line without its end included).
std::vector<std::string> lines();
// Lines that contain the text.
size_t count(std::string_view text);
bool contains(std::string_view text);
void clear();
// DbgBreakPoint calls (and failed assertions) since boot.
uint64_t break_points();
// Mirrors the log to a file (appending); an empty path stops mirroring.
void set_mirror_file(const std::string& path);

} // namespace hvsim::debug_log

namespace hvsim::trace_log {

// One captured WmiTraceMessage.
struct Record {
    uint64_t sequence; // 1 for the first message since boot
    TRACEHANDLE logger;
    ULONG flags; // the MessageFlags given
    GUID message_guid;
    USHORT number;
    GUID control_guid; // the control GUID the logger was enabled for
    std::string image; // the image that sent the message
    std::vector<std::vector<uint8_t>> arguments;

    // The first argument as text, without the terminating NUL.
    std::string text() const;
    // Argument i as a 32-bit value (0 when it has fewer than 4 bytes).
    ULONG ulong_argument(size_t i) const;
};

std::vector<Record> records();
size_t count(const GUID& control_guid, USHORT number);
void clear();

// A trace consumer enables a control GUID with flags and a level, for every image or only one
// ("HvUVCP.sys"); the registered drivers' control blocks are updated at once and GUIDs registered
// later take the setting at registration. Returns the logger handle, which stays the same while
// the GUID remains enabled for that image choice.
TRACEHANDLE enable(const GUID& control_guid, ULONG flags, UCHAR level = TRACE_LEVEL_VERBOSE,
                   std::string_view image = {});
void disable(const GUID& control_guid, std::string_view image = {});
// Disables everything (also done at boot).
void disable_all();

// The registrations made by WppInit*Tracing, for tests.
struct Registration {
    void* object;
    bool through_system_control; // registered for a device object
    std::string image;
    std::vector<GUID> control_guids;
};
std::vector<Registration> registrations();

// For device-object registrations, an enable or disable is handed to this deliverer (the WMI
// manager), which sends the IRP_MJ_SYSTEM_CONTROL request to the device. The buffer is a
// WNODE_HEADER: BufferSize 48, Guid the control GUID, HistoricalContext the logger (0 on
// disable), Flags WNODE_FLAG_TRACED_GUID. Without a deliverer the blocks are updated directly.
using SystemControlDeliverer =
    std::function<void(void* device_object, UCHAR minor_function, const std::vector<uint8_t>& buffer)>;
void set_system_control_deliverer(SystemControlDeliverer deliverer);

} // namespace hvsim::trace_log
