// The window system's part in a machine's folder, for the machine (no Windows headers).
#pragma once

#include <filesystem>

namespace hvsim::ui {

// Puts the window system's files (hhctrl.ocx) into a machine's System32; false when they are
// not found beside the window system's library.
bool install_system_files(const std::filesystem::path& system32);

} // namespace hvsim::ui
