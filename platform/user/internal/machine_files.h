// The machine's drives seen by the file routines: Win32 paths resolved to host files below the
// machine's folder (never outside it), the sharing rules that make a file "in use", and the
// attributes the machine keeps itself.
#pragma once

#include <basetsd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::user::files {

// A path of a machine drive.
struct MachinePath {
    char16_t drive = u'C';
    // Components below the drive's root, each as found on the drive (existing entries keep their
    // own case) or as given.
    std::vector<std::u16string> parts;
    std::filesystem::path host;
    bool read_only = false; // on a read-only medium

    // "C:\Windows\inf\oem0.inf"; "C:\" for the root.
    std::u16string text() const;
    std::u16string name() const { return parts.empty() ? std::u16string() : parts.back(); }
    MachinePath parent() const;
    bool is_root() const { return parts.empty(); }
};

// Resolves a Win32 path (drive-absolute, rooted, relative to the process's current folder,
// "\\?\" and "\??\" forms) to a file of the machine. ERROR_SUCCESS or the error Windows gives:
// ERROR_PATH_NOT_FOUND for a missing drive or a ".." above a root, ERROR_INVALID_NAME for
// characters no name may hold (wildcards too, unless allow_wildcards lets them into the last
// component), ERROR_BAD_NETPATH for a UNC path, ERROR_FILENAME_EXCED_RANGE for a path or name
// beyond Windows' limits.
DWORD resolve(std::u16string_view path, MachinePath* out, bool allow_wildcards = false);

// The host folder offered as the read-only drive D:, or none.
void set_media(std::optional<std::filesystem::path> folder);

// Names compared as Windows compares file names.
bool same_name(std::u16string_view a, std::u16string_view b);
// "*" and "?" as Windows matches them against a name; "*.*" matches every name.
bool wildcard_match(std::u16string_view pattern, std::u16string_view name);

// ---- Sharing ---------------------------------------------------------------------------------

// An open of a file (a handle, or an image mapped by the loader) as the sharing check sees it:
// the data access it has and the sharing it allows.
class ShareClaim {
public:
    ~ShareClaim();
    ShareClaim(const ShareClaim&) = delete;
    ShareClaim& operator=(const ShareClaim&) = delete;

private:
    friend std::unique_ptr<ShareClaim> claim(const std::filesystem::path&, DWORD, DWORD, DWORD*);
    friend std::unique_ptr<ShareClaim> claim_image(const std::filesystem::path&);
    ShareClaim(std::string key, DWORD access, DWORD share);
    std::string key_;
    DWORD access_;
    DWORD share_;
};

// Claims the file for an open with that access and sharing; nullptr with
// ERROR_SHARING_VIOLATION in *error when an open of it (or a loaded image) refuses.
std::unique_ptr<ShareClaim> claim(const std::filesystem::path& host, DWORD access, DWORD share, DWORD* error);
// ERROR_SHARING_VIOLATION when the file, or a file below the folder, is in use so that it cannot
// be deleted or moved; else ERROR_SUCCESS.
DWORD check_delete(const std::filesystem::path& host);
// An image mapped from the file (a library, a program): read and execute, shared for reading
// only, as Windows maps images.
std::unique_ptr<ShareClaim> claim_image(const std::filesystem::path& host);

// ---- Attributes ------------------------------------------------------------------------------

// The attributes of an existing file or folder; INVALID_FILE_ATTRIBUTES when there is none.
DWORD attributes_of(const MachinePath& path);
// Stores attributes the machine keeps (READONLY, HIDDEN, SYSTEM, ARCHIVE...).
void store_attributes(const MachinePath& path, DWORD attributes);
// A file that moves or goes takes its attributes with it.
void move_attributes(const MachinePath& from, const MachinePath& to);
void forget_attributes(const MachinePath& path);

// The Win32 error of a failed host file operation.
DWORD error_of_host(const std::error_code& error);

// Deletes a file, or an empty folder when folder is set, with Windows' rules and errors.
DWORD delete_entry(const MachinePath& path, bool folder);
// Moves a file or folder; replace allows an existing file as the target.
DWORD move_entry(const MachinePath& from, const MachinePath& to, bool replace);

} // namespace hvsim::user::files
