// C++ hooks of the machine's drives for the machine and tests: the installation medium and the
// file operations that wait for the next start.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace hvsim::user {

// A host folder offered as the read-only drive D: (an installation medium), or none. Kept until
// changed, across boots.
void set_media_folder(std::optional<std::filesystem::path> folder);

// One entry of the pending renames as the boot carried it out.
struct PendingFileOperation {
    std::u16string from;
    std::u16string to;  // empty: a deletion
    bool done = false;
    std::string result; // "moved", "deleted", or why not ("the file was not found")
};
// Carries out Session Manager's PendingFileRenameOperations, in order, as far as each entry can
// be, and clears the list. The machine calls it at boot, before any driver starts.
std::vector<PendingFileOperation> carry_out_pending_file_operations();

} // namespace hvsim::user
