// Files of the machine's folder on the host, written so that a crash or a second writer never
// leaves a torn file behind.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace hvsim {

// Writes `content` to a temporary file of this process beside `file`, flushes it to the disk and
// renames it over `file`: readers see the old file or the new one, never a mix. On failure the
// temporary file is gone, `file` is as it was, and *error (when given) says what failed.
bool write_file_atomically(const std::filesystem::path& file, std::string_view content, std::string* error = nullptr);

// The same for a copy of a host file.
bool copy_file_atomically(const std::filesystem::path& from, const std::filesystem::path& to,
                          std::string* error = nullptr);

} // namespace hvsim
