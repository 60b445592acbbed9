// A booted machine in a temporary folder for the device-installation tests, with helpers over
// the kernel that the Win32 side of a test cannot include.
#pragma once

#include <basetsd.h>

#include <filesystem>
#include <string>

namespace installation_test {

// Boots a kernel with the virtual clock in `root` (its C: drive made) and starts the tree.
void boot(const std::filesystem::path& root);
void shutdown();

// A root-enumerated device with the hardware ID and no driver; returns its instance ID.
std::u16string add_device(const std::u16string& hardware_id);
// "Started", "Initialized"... ("Deleted" for an unknown instance).
std::string state_of(const std::u16string& instance_id);
ULONG problem_of(const std::u16string& instance_id);
bool driver_loaded(const std::u16string& service);
void wait_quiet();

} // namespace installation_test
