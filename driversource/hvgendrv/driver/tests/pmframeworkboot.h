// The machine of the framework's tests as plain functions over kernel-free types, so that tests
// written against the Win32 side (which cannot include the kernel's headers) boot the same one.
#pragma once

#include <basetsd.h>

#include <filesystem>
#include <map>
#include <string>

namespace gendrvtest {

// The configuration of a test device (its Device Parameters); the defaults name it "HvGenTest"
// with the link "HVGT", counted names, on a PDO that is not a framework child.
struct DeviceConfig {
    std::map<std::u16string, DWORD> dwords = {
        {u"TypeOfDevice", 0x22},  {u"DeviceIndexingPolicyType", 1},
        {u"LowestStackLayer", 1}, {u"DeviceIsExclusive", 0},
        {u"IoType", 4},
    };
    std::map<std::u16string, std::u16string> strings = {{u"DeviceName", u"HvGenTest"},
                                                        {u"SymbolicLinkName", u"HVGT"}};

    DeviceConfig& flags(DWORD value) {
        dwords[u"TestFlags"] = value;
        return *this;
    }
    DeviceConfig& set(const std::u16string& name, DWORD value) {
        dwords[name] = value;
        return *this;
    }
};

// Boots a machine on the virtual clock in the folder, with the test driver installed as a service
// and its framework trace enabled.
void boot_framework_machine(const std::filesystem::path& root);
// Shuts the machine down; a driver that still holds pool bug-checks there.
void shutdown_framework_machine();
// A root device bound to the test driver, started once this returns; `ordinal` makes its driver
// key name unique. Returns its instance ID.
std::u16string add_framework_device(const DeviceConfig& config, int ordinal);

} // namespace gendrvtest
