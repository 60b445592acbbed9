// The kernel side of the COM-port tests' machine (device nodes and interfaces), which the Win32
// side cannot include.
#pragma once

#include <guiddef.h>

#include <string>
#include <vector>

namespace comport_test {

// The instance IDs of a node's children; empty when the node is gone.
std::vector<std::u16string> children(const std::u16string& instance_id);
// "started", "removed", ... or "gone".
std::string state(const std::u16string& instance_id);
// Whether an enabled COM-port interface of the node exists.
bool has_com_port_interface(const std::u16string& instance_id);
// How many enabled COM-port interfaces the machine has.
size_t com_port_interfaces();
void wait_quiet();
// Removes and starts the node again, as a driver update does; false when a driver refused.
bool restart(const std::u16string& instance_id);

// One WMI block of the node's port driver (instance 0): its status and data.
struct WmiBlock {
    long status = -1;
    std::vector<unsigned char> data;
};
WmiBlock query_wmi(const std::u16string& instance_id, const GUID& guid);

// An internal device control sent, as another kernel component sends it, to the top of the
// node's device stack and waited for.
struct InternalResult {
    long status = -1;
    std::vector<unsigned char> output; // the output buffer as it came back
    unsigned long long information = 0;
};
InternalResult internal_control(const std::u16string& instance_id, unsigned long code,
                                std::vector<unsigned char> input, unsigned long output_length);

} // namespace comport_test
