// The kernel side of the device-installation tests' machine.
#include <wdm.h>

#include <hvsim/kernel.h>
#include <hvsim/pnp.h>

#include "installation_machine.h"

namespace installation_test {

void boot(const std::filesystem::path& root) {
    std::filesystem::create_directories(root / "C" / "Windows" / "System32" / "drivers");
    std::filesystem::create_directories(root / "C" / "Windows" / "inf");
    hvsim::KernelOptions options;
    options.clock = hvsim::ClockMode::Virtual;
    options.root = root;
    hvsim::kernel_boot(options);
    hvsim::pnp::start_tree();
}

void shutdown() { hvsim::kernel_shutdown(); }

std::u16string add_device(const std::u16string& hardware_id) {
    hvsim::pnp::RootDeviceSpec spec;
    spec.hardware_id = hardware_id;
    std::u16string instance;
    hvsim::pnp::create_root_device(spec, &instance);
    hvsim::pnp::wait_quiet();
    return instance;
}

std::string state_of(const std::u16string& instance_id) {
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance_id);
    if (node == hvsim::pnp::no_node) return "Deleted";
    return hvsim::pnp::to_string(hvsim::pnp::state_of(node));
}

ULONG problem_of(const std::u16string& instance_id) {
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance_id);
    return node == hvsim::pnp::no_node ? 0 : hvsim::pnp::problem_of(node);
}

bool driver_loaded(const std::u16string& service) { return hvsim::ldr::is_loaded(service); }

void wait_quiet() { hvsim::pnp::wait_quiet(); }

} // namespace installation_test
