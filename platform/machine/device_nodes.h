// Device nodes as hvsim shows them (for sources that see the PnP manager; the kernel's headers do
// not mix with windows.h).
#pragma once

#include <hvsim/pnp.h>

#include <string>

namespace hvsim {

// What Device Manager calls the device: its friendly name ("USB Serial Port (COM3)"), else its
// description.
std::string device_display_name(const pnp::NodeInfo& info);
// "started", "removed, problem 22 (disabled)".
std::string device_state_text(const pnp::NodeInfo& info);
// One node's block of `hvsim devices`, each line after `indent`.
std::string format_device_node(pnp::DevInst node, const std::string& indent);

} // namespace hvsim
