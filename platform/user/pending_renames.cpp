// Moves and deletions delayed until the machine starts again: MoveFileEx with
// MOVEFILE_DELAY_UNTIL_REBOOT appends to Session Manager's PendingFileRenameOperations, and the
// boot carries the list out before any driver starts.
//
// The value is a REG_MULTI_SZ of pairs: "\??\" and the source's full path, then "\??\" and the
// target's, "!" in front when an existing target is replaced, or an empty string for a deletion.
#include <hvsim/machine_drives.h>
#include <hvsim/user_hooks.h>

#include <hvsim/format.h>

#include <cstring>

#include "internal/pending_renames.h"
#include "internal/registry_store.h"
#include "internal/security_internal.h"
#include "internal/user_internal.h"

namespace hvsim::user::files {
namespace {

constexpr std::u16string_view kSessionManager =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr std::u16string_view kPendingValue = u"PendingFileRenameOperations";
constexpr ULONG kRegMultiSz = 7;
constexpr std::u16string_view kNativePrefix = u"\\??\\";

std::vector<char16_t> read_list() {
    auto value = registry::get_value(kSessionManager, kPendingValue);
    std::vector<char16_t> text;
    if (!value || value->data.size() < sizeof(char16_t)) return text;
    text.resize(value->data.size() / sizeof(char16_t));
    std::memcpy(text.data(), value->data.data(), text.size() * sizeof(char16_t));
    return text;
}

// The pairs of the list; a string that runs past the data ends the list there.
std::vector<std::pair<std::u16string, std::u16string>> pairs_of(const std::vector<char16_t>& text) {
    std::vector<std::pair<std::u16string, std::u16string>> out;
    size_t at = 0;
    auto next = [&](std::u16string* s) {
        size_t end = at;
        while (end < text.size() && text[end]) ++end;
        if (end >= text.size()) return false;
        s->assign(text.begin() + static_cast<std::ptrdiff_t>(at), text.begin() + static_cast<std::ptrdiff_t>(end));
        at = end + 1;
        return true;
    };
    std::u16string from, to;
    while (next(&from) && !from.empty()) {
        if (!next(&to)) to.clear();
        out.emplace_back(from, to);
    }
    return out;
}

std::string reason(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return "the file was not found";
    case ERROR_PATH_NOT_FOUND: return "the path was not found";
    case ERROR_ALREADY_EXISTS: return "the target exists";
    case ERROR_ACCESS_DENIED: return "access was denied";
    case ERROR_DIR_NOT_EMPTY: return "the folder is not empty";
    case ERROR_SHARING_VIOLATION: return "the file is in use";
    default: return "error " + std::to_string(error);
    }
}

} // namespace

DWORD schedule_at_restart(const MachinePath& from, const MachinePath* to, bool replace) {
    // Only an administrator may write Session Manager's list.
    if (!token_is_administrator(*current_token())) return ERROR_ACCESS_DENIED;
    auto pairs = pairs_of(read_list());
    pairs.emplace_back(std::u16string(kNativePrefix) + from.text(),
                       to ? (replace ? u"!" : u"") + std::u16string(kNativePrefix) + to->text() : std::u16string());
    std::vector<char16_t> list;
    for (const auto& [source, target] : pairs) {
        list.insert(list.end(), source.begin(), source.end());
        list.push_back(0);
        list.insert(list.end(), target.begin(), target.end());
        list.push_back(0);
    }
    list.push_back(0);
    registry::Key key;
    registry::CreateOptions options;
    options.create_parents = true;
    NTSTATUS status = registry::create(nullptr, kSessionManager, &key, nullptr, options);
    if (NT_SUCCESS(status))
        status = registry::set_value(key, kPendingValue, kRegMultiSz, list.data(), list.size() * sizeof(char16_t));
    return NT_SUCCESS(status) ? ERROR_SUCCESS : registry_error(status);
}

} // namespace hvsim::user::files

namespace hvsim::user {

void set_media_folder(std::optional<std::filesystem::path> folder) { files::set_media(std::move(folder)); }

std::vector<PendingFileOperation> carry_out_pending_file_operations() {
    std::vector<PendingFileOperation> done;
    for (const auto& [source, target] : files::pairs_of(files::read_list())) {
        PendingFileOperation entry;
        entry.from = source;
        std::u16string_view to = target;
        const bool replace = !to.empty() && to[0] == u'!';
        if (replace) to.remove_prefix(1);
        entry.to = std::u16string(to);
        files::MachinePath from_path, to_path;
        DWORD error = files::resolve(source, &from_path);
        if (error == ERROR_SUCCESS && !to.empty()) error = files::resolve(to, &to_path);
        if (error == ERROR_SUCCESS) {
            if (to.empty()) {
                // The machine deletes what it was told to, read-only or not.
                std::error_code ec;
                const bool folder = std::filesystem::is_directory(from_path.host, ec);
                if (files::attributes_of(from_path) & FILE_ATTRIBUTE_READONLY)
                    files::store_attributes(from_path, files::attributes_of(from_path) & ~FILE_ATTRIBUTE_READONLY);
                error = files::delete_entry(from_path, folder);
            } else {
                error = files::move_entry(from_path, to_path, replace);
            }
        }
        entry.done = error == ERROR_SUCCESS;
        entry.result = entry.done ? (to.empty() ? "deleted" : "moved") : files::reason(error);
        done.push_back(std::move(entry));
    }
    if (registry::Key key; NT_SUCCESS(registry::open(nullptr, files::kSessionManager, &key)))
        registry::delete_value(key, files::kPendingValue);
    return done;
}

} // namespace hvsim::user
