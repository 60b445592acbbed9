// hvsim properties: Device Manager's property sheet of a device, and a person's steps on it.
#include <hvsim/device_manager.h>
#include <hvsim/format.h>

#include <cstdio>
#include <iostream>

#include "hvsim_command.h"
#include "machine_internal.h"

namespace hvsim::command {

int properties(Invocation& in) {
    Machine& machine = in.machine();
    settle_installations();
    const std::vector<std::string> steps(in.args().begin() + 1, in.args().end());
    std::fflush(stdout);
    const bool taken = run_property_steps(machine, text::from_utf8(in.args()[0]), steps, std::cout);
    std::cout.flush();
    return taken ? 0 : kExitMachineError;
}

} // namespace hvsim::command
