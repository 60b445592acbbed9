// Searching a folder of the machine's drives: FindFirstFileW/A, FindNextFileW/A, FindClose.
// The entries matching the pattern are listed when the search starts, "." and ".." first in a
// folder other than a root, as Windows lists them.
#include <windows.h>

#include <hvsim/format.h>

#include <sys/stat.h>

#include <algorithm>

#include "internal/handles.h"
#include "internal/machine_files.h"

namespace hvsim::user {
namespace {

// 100-ns units between 1601 and 1970.
constexpr LONGLONG kUnixEpoch = 116444736000000000LL;

struct Entry {
    std::u16string name;
    DWORD attributes;
    ULONGLONG size;
    LONGLONG written; // 100-ns units since 1601
};

class FileSearch : public UserObject {
public:
    explicit FileSearch(std::vector<Entry> entries)
        : UserObject(ObjectKind::FileSearch), entries_(std::move(entries)) {}
    // The next entry, or null at the end.
    const Entry* next() {
        std::lock_guard lock(mutex_);
        return next_ < entries_.size() ? &entries_[next_++] : nullptr;
    }

private:
    std::mutex mutex_;
    std::vector<Entry> entries_;
    size_t next_ = 0;
};

LONGLONG write_time_of(const std::filesystem::path& host) {
    struct stat info {};
    if (::stat(host.c_str(), &info) != 0) return 0;
    return kUnixEpoch + static_cast<LONGLONG>(info.st_mtim.tv_sec) * 10'000'000 + info.st_mtim.tv_nsec / 100;
}

Entry entry_of(const files::MachinePath& path, std::u16string name) {
    std::error_code error;
    const bool folder = std::filesystem::is_directory(path.host, error);
    return {std::move(name), files::attributes_of(path),
            folder ? 0 : static_cast<ULONGLONG>(std::filesystem::file_size(path.host, error)),
            write_time_of(path.host)};
}

// The matching entries of the pattern's folder; an error when there is none.
DWORD search(const files::MachinePath& pattern_path, std::vector<Entry>* out) {
    const std::u16string pattern = pattern_path.name();
    const files::MachinePath folder = pattern_path.parent();
    std::error_code error;
    if (pattern_path.is_root() || !std::filesystem::is_directory(folder.host, error)) return ERROR_PATH_NOT_FOUND;
    if (!folder.is_root()) {
        for (const char16_t* dots : {u".", u".."})
            if (files::wildcard_match(pattern, dots)) out->push_back(entry_of(folder, dots));
    }
    std::vector<Entry> found;
    for (const auto& item : std::filesystem::directory_iterator(folder.host, error)) {
        std::u16string name = text::from_utf8(item.path().filename().string());
        if (!files::wildcard_match(pattern, name)) continue;
        files::MachinePath child = folder;
        child.parts.push_back(name);
        child.host = item.path();
        found.push_back(entry_of(child, std::move(name)));
    }
    // NTFS lists a folder in the order of its upper-cased names.
    std::sort(found.begin(), found.end(), [](const Entry& a, const Entry& b) {
        return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                            [](char16_t x, char16_t y) { return towupper(x) < towupper(y); });
    });
    out->insert(out->end(), found.begin(), found.end());
    return out->empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

template <class Data> bool fill(const Entry& entry, Data* data) {
    using Char = std::remove_reference_t<decltype(data->cFileName[0])>;
    std::basic_string<Char> name;
    if constexpr (sizeof(Char) == 1)
        name = narrow_ansi(entry.name);
    else
        name = entry.name;
    if (name.size() >= std::size(data->cFileName)) return false;
    *data = {};
    data->dwFileAttributes = entry.attributes;
    data->ftLastWriteTime = {static_cast<DWORD>(entry.written), static_cast<DWORD>(entry.written >> 32)};
    data->ftCreationTime = data->ftLastWriteTime;
    data->ftLastAccessTime = data->ftLastWriteTime;
    data->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(entry.size);
    std::copy(name.begin(), name.end(), data->cFileName);
    return true;
}

template <class Data> BOOL find_next(HANDLE handle, Data* data) {
    auto object = resolve_handle(handle, ObjectKind::FileSearch);
    if (!object) return FALSE;
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& search = static_cast<FileSearch&>(*object);
    // A name that cannot be given in the caller's form is passed over.
    while (const Entry* entry = search.next())
        if (fill(*entry, data)) return TRUE;
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

template <class Data> HANDLE find_first(const std::u16string& pattern, Data* data) {
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    files::MachinePath path;
    if (DWORD error = files::resolve(pattern, &path, true); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<Entry> entries;
    if (DWORD error = search(path, &entries); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = insert_handle(std::make_shared<FileSearch>(std::move(entries)), 0);
    if (!find_next(handle, data)) {
        current_process()->state().handles.close(handle);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

} // namespace
} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return find_first(lpFileName, lpFindFileData);
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return find_first(widen_ansi(lpFileName), lpFindFileData);
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    return find_next(hFindFile, lpFindFileData);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    return find_next(hFindFile, lpFindFileData);
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    if (!resolve_handle(hFindFile, ObjectKind::FileSearch)) return FALSE;
    return current_process()->state().handles.close(hFindFile) ? TRUE : FALSE;
}

HV_EXTERN_C_END
