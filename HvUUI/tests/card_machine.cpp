#include <wdm.h>

#include <hvsim/debug_log.h>
#include <hvsim/pnp.h>

#include "card_machine.h"

namespace card_test {

std::u16string add_root_device(const std::u16string& hardware_id) {
    hvsim::pnp::RootDeviceSpec spec;
    spec.hardware_id = hardware_id;
    std::u16string instance;
    hvsim::pnp::create_root_device(spec, &instance);
    hvsim::pnp::wait_quiet();
    return instance;
}

bool started(const std::u16string& instance_id) {
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance_id);
    return node != hvsim::pnp::no_node && hvsim::pnp::to_string(hvsim::pnp::state_of(node)) == std::string("started");
}

void wait_quiet() { hvsim::pnp::wait_quiet(); }

size_t debugger_lines_with(const std::string& text) { return hvsim::debug_log::count(text); }

} // namespace card_test
