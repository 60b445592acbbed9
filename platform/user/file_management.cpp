// Files and folders as names: attributes, deletion, moves and folders.
//
//   GetFileAttributesW/A, SetFileAttributesW/A   attributes the machine keeps itself (read-only
//                                                holds whoever the host user is), saved in the
//                                                machine folder's file-attributes.txt
//   DeleteFileW/A, MoveFileW/A, MoveFileExW/A    in-use and read-only files refused; a delayed
//                                                move goes to the pending renames
//   CreateDirectoryW/A, RemoveDirectoryW/A
#include <windows.h>

#include <hvsim/format.h>
#include <hvsim/host_file.h>
#include <hvsim/kernel.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "internal/machine_files.h"
#include "internal/pending_renames.h"
#include "internal/security_internal.h"
#include "internal/user_internal.h"

namespace hvsim::user::files {
namespace {

constexpr DWORD kStoredAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// What a file that the machine has no record of carries: it came from outside, like a file
// copied onto the drive.
constexpr DWORD kDefaultFileAttributes = FILE_ATTRIBUTE_ARCHIVE;

std::u16string upper(std::u16string text) {
    for (auto& c : text) c = towupper(c);
    return text;
}

// The attributes of the C: drive by upper-cased path. Loaded at boot, written at every change.
struct AttributeStore {
    std::mutex mutex;
    std::filesystem::path file;
    std::map<std::u16string, DWORD> by_path;

    void save_locked() const {
        if (file.empty()) return;
        std::ostringstream out;
        out << "# Attributes of the files of the C: drive, kept by the machine.\n";
        for (const auto& [path, attributes] : by_path) {
            char value[16];
            std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(attributes));
            out << value << ' ' << text::to_utf8(path) << '\n';
        }
        // A failed save keeps the old file whole; the attributes in memory stay right for this boot.
        std::string why;
        if (!write_file_atomically(file, out.str(), &why)) debugger_output("file attributes: " + why + "\n");
    }

    void load(const std::filesystem::path& root) {
        std::lock_guard lock(mutex);
        by_path.clear();
        file = root.empty() ? std::filesystem::path() : root / "file-attributes.txt";
        if (file.empty()) return;
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            const auto space = line.find(' ');
            if (space == std::string::npos) continue;
            char* end = nullptr;
            const unsigned long value = std::strtoul(line.c_str(), &end, 16);
            if (end != line.c_str() + space) continue; // a damaged line loses only its own entry
            by_path[upper(text::from_utf8(line.substr(space + 1)))] = static_cast<DWORD>(value) & kStoredAttributes;
        }
    }
};
AttributeStore& store() {
    static AttributeStore* s = new AttributeStore;
    return *s;
}

[[maybe_unused]] const bool g_registered = [] {
    register_kernel_subsystem({"file attributes", 905, [](const KernelOptions& options) { store().load(options.root); },
                               [] { store().load({}); }});
    return true;
}();

bool parent_exists(const MachinePath& path) {
    std::error_code error;
    return path.is_root() || std::filesystem::is_directory(path.parent().host, error);
}

DWORD missing(const MachinePath& path) { return parent_exists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND; }

} // namespace

DWORD error_of_host(const std::error_code& error) {
    switch (static_cast<std::errc>(error.value())) {
    case std::errc::no_such_file_or_directory: return ERROR_FILE_NOT_FOUND;
    case std::errc::permission_denied:
    case std::errc::operation_not_permitted:
    case std::errc::read_only_file_system: return ERROR_ACCESS_DENIED;
    case std::errc::file_exists: return ERROR_ALREADY_EXISTS;
    case std::errc::directory_not_empty: return ERROR_DIR_NOT_EMPTY;
    case std::errc::no_space_on_device: return ERROR_DISK_FULL;
    case std::errc::cross_device_link: return ERROR_NOT_SAME_DEVICE;
    case std::errc::invalid_argument: return ERROR_ACCESS_DENIED;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD attributes_of(const MachinePath& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path.host, error);
    if (!std::filesystem::exists(status)) return INVALID_FILE_ATTRIBUTES;
    const bool folder = std::filesystem::is_directory(status);
    DWORD attributes = folder ? 0 : kDefaultFileAttributes;
    if (!path.read_only) {
        auto& s = store();
        std::lock_guard lock(s.mutex);
        if (auto it = s.by_path.find(upper(path.text())); it != s.by_path.end()) attributes = it->second;
    } else {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (folder) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

void store_attributes(const MachinePath& path, DWORD attributes) {
    if (path.read_only) return;
    auto& s = store();
    std::lock_guard lock(s.mutex);
    s.by_path[upper(path.text())] = attributes & kStoredAttributes;
    s.save_locked();
}

void move_attributes(const MachinePath& from, const MachinePath& to) {
    auto& s = store();
    std::lock_guard lock(s.mutex);
    const std::u16string old_key = upper(from.text());
    const std::u16string new_key = upper(to.text());
    std::map<std::u16string, DWORD> moved;
    for (auto it = s.by_path.begin(); it != s.by_path.end();) {
        const std::u16string& key = it->first;
        if (key == new_key || key.starts_with(new_key + u"\\")) {
            it = s.by_path.erase(it); // what the target replaced goes
        } else {
            ++it;
        }
    }
    for (auto it = s.by_path.begin(); it != s.by_path.end();) {
        const std::u16string& key = it->first;
        if (key == old_key || key.starts_with(old_key + u"\\")) {
            moved[new_key + key.substr(old_key.size())] = it->second;
            it = s.by_path.erase(it);
        } else {
            ++it;
        }
    }
    s.by_path.merge(moved);
    s.save_locked();
}

void forget_attributes(const MachinePath& path) {
    auto& s = store();
    std::lock_guard lock(s.mutex);
    if (s.by_path.erase(upper(path.text()))) s.save_locked();
}

DWORD delete_entry(const MachinePath& path, bool folder) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path.host, error);
    if (!std::filesystem::exists(status)) return missing(path);
    if (path.read_only || path.is_root()) return ERROR_ACCESS_DENIED;
    const bool is_folder = std::filesystem::is_directory(status);
    if (!folder && is_folder) return ERROR_ACCESS_DENIED;
    if (folder && !is_folder) return ERROR_DIRECTORY;
    if (attributes_of(path) & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
    if (folder && !std::filesystem::is_empty(path.host, error)) return ERROR_DIR_NOT_EMPTY;
    if (DWORD in_use = check_delete(path.host); in_use != ERROR_SUCCESS) return in_use;
    if (!std::filesystem::remove(path.host, error)) return error ? error_of_host(error) : missing(path);
    forget_attributes(path);
    return ERROR_SUCCESS;
}

DWORD move_entry(const MachinePath& from, const MachinePath& to, bool replace) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(from.host, error);
    if (!std::filesystem::exists(status)) return missing(from);
    if (from.drive != to.drive) return ERROR_NOT_SAME_DEVICE;
    if (from.read_only || to.read_only || from.is_root() || to.is_root()) return ERROR_ACCESS_DENIED;
    if (!parent_exists(to)) return ERROR_PATH_NOT_FOUND;
    const bool same_entry = std::filesystem::equivalent(from.host, to.host, error);
    if (!same_entry && std::filesystem::exists(to.host, error)) {
        if (!replace) return ERROR_ALREADY_EXISTS;
        if (std::filesystem::is_directory(to.host, error) || std::filesystem::is_directory(status))
            return ERROR_ACCESS_DENIED;
        if (attributes_of(to) & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
        if (DWORD in_use = check_delete(to.host); in_use != ERROR_SUCCESS) return in_use;
    }
    if (DWORD in_use = check_delete(from.host); in_use != ERROR_SUCCESS) return in_use;
    std::filesystem::rename(from.host, to.host, error);
    if (error) return error_of_host(error);
    move_attributes(from, to);
    return ERROR_SUCCESS;
}

} // namespace hvsim::user::files

namespace {

using namespace hvsim::user;

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Runs `action` on the resolved path; a path that does not resolve fails with its error.
template <class Action> BOOL on_path(LPCWSTR name, Action action) {
    if (!name) return fail(ERROR_INVALID_PARAMETER);
    files::MachinePath path;
    if (DWORD error = files::resolve(name, &path); error != ERROR_SUCCESS) return fail(error);
    DWORD error = action(path);
    if (error != ERROR_SUCCESS) return fail(error);
    return TRUE;
}

std::u16string wide(LPCSTR text) { return widen_ansi(text); }

} // namespace

HV_EXTERN_C_BEGIN

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    on_path(lpFileName, [&](const files::MachinePath& path) -> DWORD {
        attributes = files::attributes_of(path);
        if (attributes != INVALID_FILE_ATTRIBUTES) return ERROR_SUCCESS;
        return path.is_root()
                   ? ERROR_SUCCESS
                   : (std::filesystem::is_directory(path.parent().host) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    });
    return attributes;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    if (!lpFileName) return fail(ERROR_INVALID_PARAMETER), INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(wide(lpFileName).c_str());
}

BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    return on_path(lpFileName, [&](const files::MachinePath& path) -> DWORD {
        const DWORD current = files::attributes_of(path);
        if (current == INVALID_FILE_ATTRIBUTES)
            return std::filesystem::is_directory(path.parent().host) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        if (path.read_only) return ERROR_ACCESS_DENIED;
        files::store_attributes(path, dwFileAttributes);
        return ERROR_SUCCESS;
    });
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    if (!lpFileName) return fail(ERROR_INVALID_PARAMETER);
    return SetFileAttributesW(wide(lpFileName).c_str(), dwFileAttributes);
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    return on_path(lpFileName, [](const files::MachinePath& path) { return files::delete_entry(path, false); });
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (!lpFileName) return fail(ERROR_INVALID_PARAMETER);
    return DeleteFileW(wide(lpFileName).c_str());
}

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    constexpr DWORD kKnown =
        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_WRITE_THROUGH;
    if (!lpExistingFileName || (dwFlags & ~kKnown) ||
        ((dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) && (dwFlags & MOVEFILE_COPY_ALLOWED)) ||
        (!lpNewFileName && !(dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT)))
        return fail(ERROR_INVALID_PARAMETER);
    // Windows 9x has the routine as a stub only (it keeps delayed moves in WININIT.INI).
    if (windows_9x()) return fail(ERROR_CALL_NOT_IMPLEMENTED);
    files::MachinePath from, to;
    if (DWORD error = files::resolve(lpExistingFileName, &from); error != ERROR_SUCCESS) return fail(error);
    if (lpNewFileName && *lpNewFileName)
        if (DWORD error = files::resolve(lpNewFileName, &to); error != ERROR_SUCCESS) return fail(error);
    const bool replace = (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0;
    DWORD error;
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        error = files::schedule_at_restart(from, lpNewFileName && *lpNewFileName ? &to : nullptr, replace);
    } else {
        error = files::move_entry(from, to, replace);
    }
    if (error != ERROR_SUCCESS) return fail(error);
    return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (!lpExistingFileName) return fail(ERROR_INVALID_PARAMETER);
    const std::u16string to = lpNewFileName ? wide(lpNewFileName) : std::u16string();
    return MoveFileExW(wide(lpExistingFileName).c_str(), lpNewFileName ? to.c_str() : nullptr, dwFlags);
}

BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
    if (!lpNewFileName) return fail(ERROR_INVALID_PARAMETER);
    return MoveFileExW(lpExistingFileName, lpNewFileName, 0);
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    if (!lpNewFileName) return fail(ERROR_INVALID_PARAMETER);
    return MoveFileExA(lpExistingFileName, lpNewFileName, 0);
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    return on_path(lpPathName, [](const files::MachinePath& path) -> DWORD {
        std::error_code error;
        if (path.is_root() || std::filesystem::exists(path.host, error)) return ERROR_ALREADY_EXISTS;
        if (!std::filesystem::is_directory(path.parent().host, error)) return ERROR_PATH_NOT_FOUND;
        if (path.read_only) return ERROR_ACCESS_DENIED;
        std::filesystem::create_directory(path.host, error);
        if (error) return files::error_of_host(error);
        files::forget_attributes(path);
        return ERROR_SUCCESS;
    });
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    if (!lpPathName) return fail(ERROR_INVALID_PARAMETER);
    return CreateDirectoryW(wide(lpPathName).c_str(), lpSecurityAttributes);
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
    return on_path(lpPathName, [](const files::MachinePath& path) { return files::delete_entry(path, true); });
}

BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName) {
    if (!lpPathName) return fail(ERROR_INVALID_PARAMETER);
    return RemoveDirectoryW(wide(lpPathName).c_str());
}

HV_EXTERN_C_END
