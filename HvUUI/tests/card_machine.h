// The kernel side of the co-installer tests' machine, which the Win32 side cannot include.
#pragma once

#include <cstddef>
#include <string>

namespace card_test {

// A root-enumerated device with the hardware ID and no driver yet; returns its instance ID.
std::u16string add_root_device(const std::u16string& hardware_id);
// Whether the device node of the instance is started.
bool started(const std::u16string& instance_id);
void wait_quiet();
// Debugger log lines that hold the text.
size_t debugger_lines_with(const std::string& text);

} // namespace card_test
