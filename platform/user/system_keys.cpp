// Keys that every installation of Windows has, with the descriptors Windows gives them, made at
// boot when the machine's registry lacks them.
#include <wdm.h>

#include <hvsim/kernel.h>
#include <hvsim/registry.h>
#include <hvsim/security.h>

namespace hvsim::user {
namespace {

// The list of COM ports' settings (the Ports entries): administrators may change it, users read.
constexpr std::u16string_view kPortsKey =
    u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

void boot(const KernelOptions&) {
    registry::Key key;
    registry::CreateOptions options;
    options.create_parents = true;
    if (NT_SUCCESS(registry::create(nullptr, kPortsKey, &key, nullptr, options)))
        security::give_descriptor(key, security::system_settings_descriptor());
}

// After the registry (its boot loads the machine's file).
[[maybe_unused]] const bool g_registered = [] {
    register_kernel_subsystem({"system keys", 57, boot, nullptr});
    return true;
}();

} // namespace
} // namespace hvsim::user
