// C++ hooks of the machine's drives for the machine and tests: the installation medium and the
// file operations that wait for the next start.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

namespace hvsim::user {

// A host folder offered as the read-only drive D: (an installation medium), or none. Kept until
// changed, across boots.
void set_media_folder(std::optional<std::filesystem::path> folder);

// The host file of an existing file of a machine drive ("C:\\Windows\\System32\\x.exe"), found
// without regard to case; none for a missing file or a path that does not resolve.
std::optional<std::filesystem::path> machine_file(std::u16string_view path);
// The full path of an existing folder of a machine drive, as the machine spells it.
std::optional<std::u16string> machine_folder(std::u16string_view path);

// One entry of the pending renames as the boot carried it out.
struct PendingFileOperation {
    std::u16string from;
    std::u16string to; // empty: a deletion
    bool done = false;
    std::string result; // "moved", "deleted", or why not ("the file was not found")
};
// Carries out Session Manager's PendingFileRenameOperations, in order, as far as each entry can
// be, and clears the list. The machine calls it at boot, before any driver starts.
std::vector<PendingFileOperation> carry_out_pending_file_operations();

} // namespace hvsim::user
