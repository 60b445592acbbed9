// Win32 paths on the machine's drives: C: is the machine folder's "C", D: the installation
// medium when one is offered. Every path resolves to a host path below its drive's folder; a
// symbolic link that leads elsewhere is not followed out.
#include <windows.h>

#include <hv_wchar.h>
#include <hvsim/format.h>
#include <hvsim/kernel.h>

#include <algorithm>
#include <mutex>

#include <hvsim/machine_drives.h>

#include "internal/machine_files.h"
#include "internal/user_internal.h"

namespace hvsim::user::files {
namespace {

// Windows' limits: MAX_PATH for a whole path, 255 characters a name; "\\?\" paths may be longer.
constexpr size_t kMaxPath = MAX_PATH - 1;
constexpr size_t kMaxLongPath = 32767;
constexpr size_t kMaxName = 255;

struct Media {
    std::mutex mutex;
    std::optional<std::filesystem::path> folder;
};
Media& media() {
    static Media* m = new Media;
    return *m;
}

bool starts_with_nocase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && same_name(text.substr(0, prefix.size()), prefix);
}

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

bool is_drive_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

char16_t upper_drive(char16_t c) { return c >= u'a' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool bad_name_character(char16_t c, bool wildcards) {
    if (c < 32) return true;
    switch (c) {
    case u'<':
    case u'>':
    case u'"':
    case u'|':
    case u':': return true;
    case u'*':
    case u'?': return !wildcards;
    default: return false;
    }
}

std::optional<std::filesystem::path> drive_folder(char16_t drive, bool* read_only) {
    *read_only = false;
    if (drive == u'C') {
        const auto& root = kernel_options().root;
        if (root.empty()) return std::nullopt;
        return root / "C";
    }
    if (drive == u'D') {
        auto& m = media();
        std::lock_guard lock(m.mutex);
        *read_only = true;
        return m.folder;
    }
    return std::nullopt;
}

// The entry of a host folder whose name equals `name` without regard to case, else the name as
// given.
std::u16string find_entry(const std::filesystem::path& folder, const std::u16string& name) {
    std::error_code error;
    if (std::filesystem::exists(folder / text::to_utf8(name), error)) {
        // An exact match may still differ in case from what the folder lists; it is the same
        // entry on a case-sensitive host only when spelled so.
        return name;
    }
    if (!std::filesystem::is_directory(folder, error)) return name;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::u16string candidate = text::from_utf8(entry.path().filename().string());
        if (same_name(candidate, name)) return candidate;
    }
    return name;
}

// True when `inner` lies at or below `outer` once links are followed.
bool contained(const std::filesystem::path& outer, const std::filesystem::path& inner) {
    std::error_code error;
    const auto base = std::filesystem::weakly_canonical(outer, error);
    if (error) return false;
    const auto full = std::filesystem::weakly_canonical(inner, error);
    if (error) return false;
    auto relative = full.lexically_relative(base);
    return !relative.empty() && *relative.begin() != "..";
}

} // namespace

bool same_name(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return towupper(x) == towupper(y); });
}

bool wildcard_match(std::u16string_view pattern, std::u16string_view name) {
    if (pattern == u"*.*" || pattern == u"*") return true;
    // "name.*" also matches "name" without an extension.
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*" &&
        name.find(u'.') == std::u16string_view::npos && wildcard_match(pattern.substr(0, pattern.size() - 2), name))
        return true;
    size_t p = 0, n = 0, star = std::u16string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || towupper(pattern[p]) == towupper(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

void set_media(std::optional<std::filesystem::path> folder) {
    auto& m = media();
    std::lock_guard lock(m.mutex);
    m.folder = std::move(folder);
}

std::u16string MachinePath::text() const {
    std::u16string out{drive, u':'};
    if (parts.empty()) return out + u"\\";
    for (const auto& part : parts) out += u"\\" + part;
    return out;
}

MachinePath MachinePath::parent() const {
    MachinePath up = *this;
    if (!up.parts.empty()) {
        up.parts.pop_back();
        up.host = host.parent_path();
    }
    return up;
}

DWORD resolve(std::u16string_view path, MachinePath* out, bool allow_wildcards) {
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    // The device namespace names a drive's files as "\\.\C:\..."; anything else there is no file.
    if (starts_with_nocase(path, u"\\\\.\\")) {
        path.remove_prefix(4);
        if (path.size() < 2 || path[1] != u':' || !is_drive_letter(path[0])) return ERROR_PATH_NOT_FOUND;
    }
    bool long_form = false;
    if (starts_with_nocase(path, u"\\\\?\\") || starts_with_nocase(path, u"\\??\\")) {
        path.remove_prefix(4);
        long_form = true;
        // These forms name full paths only: a drive and its folders (a UNC share is no drive here).
        if (path.size() < 2 || path[1] != u':' || !is_drive_letter(path[0])) return ERROR_INVALID_NAME;
    }
    if (path.size() > (long_form ? kMaxLongPath : kMaxPath)) return ERROR_FILENAME_EXCED_RANGE;
    if (!long_form && path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) return ERROR_BAD_NETPATH;

    // The starting point: a drive's root, the current drive's root, or the current folder.
    std::u16string current;
    {
        ProcessState& state = current_process()->state();
        std::lock_guard lock(state.mutex);
        current = state.current_directory;
    }
    char16_t drive = current.size() >= 2 && current[1] == u':' ? upper_drive(current[0]) : u'C';
    std::vector<std::u16string> parts;
    std::u16string_view rest = path;
    auto split_into = [&](std::u16string_view text) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = start;
            while (end < text.size() && !is_separator(text[end])) ++end;
            if (end > start) parts.emplace_back(text.substr(start, end - start));
            start = end + 1;
        }
    };
    if (rest.size() >= 2 && rest[1] == u':' && is_drive_letter(rest[0])) {
        const char16_t named = upper_drive(rest[0]);
        rest.remove_prefix(2);
        // "D:name" is relative to the current folder only on the current drive.
        if ((rest.empty() || !is_separator(rest[0])) && named == drive)
            split_into(std::u16string_view(current).substr(2));
        drive = named;
    } else if (!is_separator(rest[0])) {
        if (current.size() >= 2) split_into(std::u16string_view(current).substr(2));
    }

    // Dots: "." stays, ".." climbs, but never above the drive's root.
    std::vector<std::u16string> given;
    split_into(rest);
    for (auto& part : parts) {
        if (part == u".") continue;
        if (part == u"..") {
            if (given.empty()) return ERROR_PATH_NOT_FOUND;
            given.pop_back();
            continue;
        }
        // Windows drops trailing dots and spaces of a name.
        while (!long_form && !part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
        if (part.empty()) return ERROR_INVALID_NAME;
        if (part.size() > kMaxName) return ERROR_FILENAME_EXCED_RANGE;
        given.push_back(std::move(part));
    }
    for (size_t i = 0; i < given.size(); ++i) {
        const bool wildcards = allow_wildcards && i + 1 == given.size();
        if (std::any_of(given[i].begin(), given[i].end(), [&](char16_t c) { return bad_name_character(c, wildcards); }))
            return ERROR_INVALID_NAME;
    }

    MachinePath resolved;
    resolved.drive = drive;
    auto folder = drive_folder(drive, &resolved.read_only);
    if (!folder) return ERROR_PATH_NOT_FOUND;
    std::filesystem::path host = *folder;
    for (const auto& part : given) {
        std::u16string found = find_entry(host, part);
        host /= text::to_utf8(found);
        resolved.parts.push_back(std::move(found));
    }
    if (!contained(*folder, host) && !given.empty()) return ERROR_ACCESS_DENIED;
    resolved.host = std::move(host);
    *out = std::move(resolved);
    return ERROR_SUCCESS;
}

} // namespace hvsim::user::files

namespace hvsim::user {

std::optional<std::filesystem::path> machine_file(std::u16string_view path) {
    files::MachinePath resolved;
    std::error_code error;
    if (files::resolve(path, &resolved) != ERROR_SUCCESS || !std::filesystem::is_regular_file(resolved.host, error))
        return std::nullopt;
    return resolved.host;
}

std::optional<std::u16string> machine_folder(std::u16string_view path) {
    files::MachinePath resolved;
    std::error_code error;
    if (files::resolve(path, &resolved) != ERROR_SUCCESS || !std::filesystem::is_directory(resolved.host, error))
        return std::nullopt;
    return resolved.text();
}

} // namespace hvsim::user
