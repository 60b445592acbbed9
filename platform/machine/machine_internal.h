// Pieces of the machine shared by its sources.
#pragma once

#include <hvsim/machine.h>

#include <filesystem>
#include <optional>
#include <string>

namespace hvsim {

// What machine.txt holds.
struct MachineConfiguration {
    std::optional<ClockMode> clock;
    std::optional<std::string> windows; // a name of windows_version_named
};

// A missing file gives an empty configuration; a malformed one a MachineError naming the line.
MachineConfiguration read_configuration(const std::filesystem::path& file);
void write_configuration(const std::filesystem::path& file, const MachineConfiguration& configuration);
std::optional<ClockMode> parse_clock(std::string_view text);
const char* clock_name(ClockMode clock);

// "error 2 (ERROR_FILE_NOT_FOUND)": a Windows error code as a message shows it.
std::string windows_error_text(DWORD error);

// The kinds of image the machine runs, told by the file name's extension (.sys, .exe, .dll).
enum class ImageKind { Driver, Program, Library };
std::optional<ImageKind> image_kind_of_name(const std::string& file_name);
// Why the file is not an image of that kind (empty, not a shared object, no DriverEntry or wmain
// exported); nothing when it is one.
std::optional<std::string> image_problem(const std::filesystem::path& file, ImageKind kind);

// The Windows versions by their names ("7", "vista", "xp", "2000", "me", "98", "95").
std::optional<user::WindowsVersion> windows_version_named(std::string_view name);
std::string windows_version_names();

// Writes debugger.log and trace.log of the current boot into the folder.
void write_logs(const std::filesystem::path& folder);

std::string format_device_tree();

// Waits until the platform has installed every device that arrived without a driver, and the
// devices those installations made.
void settle_installations();

// The host controller and the saved USB devices, at boot; the adapters, once the kernel is down.
void boot_usb(const std::filesystem::path& root);
void release_usb_devices();

} // namespace hvsim
