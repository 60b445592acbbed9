// hvsim's device commands: the device tree and the USB devices.
#include <cstdio>

#include "hvsim_command.h"

namespace hvsim::command {

int devices(Invocation& in) {
    Machine& machine = in.machine();
    std::fputs(machine.device_tree_text().c_str(), stdout);
    std::fputs(machine.usb_devices_text().c_str(), stdout);
    return 0;
}

} // namespace hvsim::command
