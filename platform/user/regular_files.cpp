// Regular files on the machine's drives: CreateFile on a path, reads and writes at the handle's
// file pointer (or at an OVERLAPPED's offset), size, pointer and end of file.
//
//   CreateFileW (its path branch)   open_regular_file below
//   ReadFile/WriteFile              read_regular_file, write_regular_file (their branch for
//                                   these handles)
//   FlushFileBuffers                regular_file_flush (its branch for these handles)
//   GetFileSize(Ex), SetFilePointer(Ex), SetEndOfFile
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "internal/handles.h"
#include "internal/machine_files.h"
#include "internal/regular_files.h"

namespace hvsim::user {
namespace {

constexpr DWORD kReadRights = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA;

constexpr GenericMapping kFileMapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

DWORD error_of_errno(int error) {
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    default: return ERROR_GEN_FAILURE;
    }
}

class DiskFile : public UserObject {
public:
    DiskFile(int fd, DWORD access, files::MachinePath path, std::unique_ptr<files::ShareClaim> claim,
             bool delete_on_close)
        : UserObject(ObjectKind::DiskFile), fd_(fd), access_(access), path_(std::move(path)), claim_(std::move(claim)),
          delete_on_close_(delete_on_close) {}
    ~DiskFile() override { close(); }

    void last_handle_closed() override { close(); }

    // One transfer at `offset`, or at the file pointer (which then moves) without one.
    DWORD transfer(bool write, void* buffer, DWORD length, const LONGLONG* offset, DWORD* done) {
        *done = 0;
        if (!(access_ & (write ? kWriteRights : kReadRights))) return ERROR_ACCESS_DENIED;
        if (fd_ < 0) return ERROR_INVALID_HANDLE;
        std::lock_guard lock(mutex_);
        LONGLONG at = offset ? *offset : position_;
        // FILE_APPEND_DATA alone writes at the end, whatever the pointer says.
        if (write && !(access_ & FILE_WRITE_DATA) && !offset) at = size_locked();
        size_t moved = 0;
        while (moved < length) {
            ssize_t n = write ? ::pwrite(fd_, static_cast<const char*>(buffer) + moved, length - moved, at + moved)
                              : ::pread(fd_, static_cast<char*>(buffer) + moved, length - moved, at + moved);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return write && errno == ENOSPC ? ERROR_DISK_FULL : ERROR_GEN_FAILURE;
            if (n == 0) break;
            moved += static_cast<size_t>(n);
        }
        if (!offset) position_ = at + static_cast<LONGLONG>(moved);
        *done = static_cast<DWORD>(moved);
        return ERROR_SUCCESS;
    }

    LONGLONG size() {
        std::lock_guard lock(mutex_);
        return size_locked();
    }

    DWORD seek(LONGLONG distance, DWORD method, LONGLONG* result) {
        std::lock_guard lock(mutex_);
        LONGLONG base;
        switch (method) {
        case FILE_BEGIN: base = 0; break;
        case FILE_CURRENT: base = position_; break;
        case FILE_END: base = size_locked(); break;
        default: return ERROR_INVALID_PARAMETER;
        }
        if (base + distance < 0) return ERROR_NEGATIVE_SEEK;
        position_ = base + distance;
        *result = position_;
        return ERROR_SUCCESS;
    }

    DWORD truncate_at_pointer() {
        if (!(access_ & FILE_WRITE_DATA)) return ERROR_ACCESS_DENIED;
        std::lock_guard lock(mutex_);
        return ::ftruncate(fd_, position_) == 0 ? ERROR_SUCCESS : error_of_errno(errno);
    }

    DWORD flush() {
        if (!(access_ & kWriteRights)) return ERROR_ACCESS_DENIED;
        return ::fsync(fd_) == 0 ? ERROR_SUCCESS : error_of_errno(errno);
    }

private:
    LONGLONG size_locked() const {
        struct stat info {};
        return ::fstat(fd_, &info) == 0 ? static_cast<LONGLONG>(info.st_size) : 0;
    }

    void close() {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return;
        ::close(fd_);
        fd_ = -1;
        claim_.reset();
        if (delete_on_close_) files::delete_entry(path_, false);
    }

    std::mutex mutex_;
    int fd_;
    const DWORD access_;
    const files::MachinePath path_;
    std::unique_ptr<files::ShareClaim> claim_;
    const bool delete_on_close_;
    LONGLONG position_ = 0;
};

std::shared_ptr<DiskFile> disk_file(HANDLE handle) {
    auto object = resolve_handle(handle, ObjectKind::DiskFile);
    return std::static_pointer_cast<DiskFile>(object);
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

// A folder opened for its attributes or as a handle to wait on (FILE_FLAG_BACKUP_SEMANTICS).
class FolderHandle : public UserObject {
public:
    FolderHandle() : UserObject(ObjectKind::DiskFile) {}
};

} // namespace

bool is_drive_path(LPCWSTR name) {
    const std::u16string_view path(name);
    if (path.size() < 7 || path[0] != u'\\' || path[1] != u'\\' || (path[2] != u'?' && path[2] != u'.') ||
        path[3] != u'\\')
        return false;
    const char16_t drive = path[4];
    return ((drive >= u'A' && drive <= u'Z') || (drive >= u'a' && drive <= u'z')) && path[5] == u':' &&
           (path[6] == u'\\' || path[6] == u'/');
}

HANDLE open_regular_file(LPCWSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    files::MachinePath path;
    if (DWORD error = files::resolve(name, &path); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    access = map_generic_access(access, kFileMapping);
    if (disposition == TRUNCATE_EXISTING && !(access & FILE_WRITE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool delete_on_close = (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    if (delete_on_close) access |= DELETE;

    std::error_code ec;
    const auto status = std::filesystem::status(path.host, ec);
    const bool exists = std::filesystem::exists(status);
    if (!exists && !std::filesystem::is_directory(path.parent().host, ec)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (std::filesystem::is_directory(status)) {
        // Folders open only for their attributes, never for data.
        if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || (access & (kWriteRights | DELETE)) || disposition == CREATE_NEW ||
            disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        SetLastError(ERROR_SUCCESS);
        return insert_handle(std::make_shared<FolderHandle>(), access);
    }
    if (exists && disposition == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool writes = (access & (kWriteRights | DELETE)) || disposition == CREATE_ALWAYS ||
                        disposition == TRUNCATE_EXISTING || !exists;
    if (writes && (path.read_only || (exists && (files::attributes_of(path) & FILE_ATTRIBUTE_READONLY)))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    DWORD error = ERROR_SUCCESS;
    const bool truncates = exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    auto claim = files::claim(path.host, access | (truncates ? FILE_WRITE_DATA : 0), share, &error);
    if (!claim) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    int mode = (access & kWriteRights) ? ((access & kReadRights) ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (!exists) mode |= O_CREAT | O_EXCL;
    if (truncates) mode |= O_TRUNC;
    // Without write access the host still needs a writable descriptor to truncate or create.
    if ((mode & (O_CREAT | O_TRUNC)) && (mode & O_ACCMODE) == O_RDONLY) mode = (mode & ~O_ACCMODE) | O_RDWR;
    int fd = ::open(path.host.c_str(), mode | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(error_of_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!exists) {
        // A new file takes the attributes asked for, and is marked for archiving as on Windows.
        DWORD attributes = (flags & 0xFFFF) & ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY);
        files::store_attributes(path, attributes | FILE_ATTRIBUTE_ARCHIVE);
    }
    auto file = std::make_shared<DiskFile>(fd, access, path, std::move(claim), delete_on_close);
    HANDLE handle = insert_handle(std::move(file), access);
    SetLastError(exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                        : ERROR_SUCCESS);
    return handle;
}

bool is_regular_file_handle(const std::shared_ptr<UserObject>& object) {
    return object && object->kind() == ObjectKind::DiskFile;
}

BOOL regular_file_transfer(const std::shared_ptr<UserObject>& object, bool write, void* buffer, DWORD length,
                           LPDWORD transferred, LPOVERLAPPED overlapped) {
    if (transferred) *transferred = 0;
    auto* file = dynamic_cast<DiskFile*>(object.get());
    if (!file) return fail(ERROR_ACCESS_DENIED);
    if (!buffer && length) return fail(ERROR_NOACCESS);
    LONGLONG offset = 0;
    if (overlapped) offset = (static_cast<LONGLONG>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
    DWORD done = 0;
    DWORD error = file->transfer(write, buffer, length, overlapped ? &offset : nullptr, &done);
    // Regular files complete at once; the event tells so as it would for a device.
    if (overlapped && error == ERROR_SUCCESS) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = done;
        if (overlapped->hEvent)
            if (auto event = resolve_handle(overlapped->hEvent, ObjectKind::Event))
                static_cast<EventObject&>(*event).event.set();
    }
    if (transferred) *transferred = done;
    if (error != ERROR_SUCCESS) return fail(error);
    return TRUE;
}

BOOL regular_file_flush(const std::shared_ptr<UserObject>& object) {
    auto* file = dynamic_cast<DiskFile*>(object.get());
    if (!file) return fail(ERROR_ACCESS_DENIED);
    if (DWORD error = file->flush(); error != ERROR_SUCCESS) return fail(error);
    return TRUE;
}

} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size.QuadPart >> 32);
    // A size whose low word is all ones needs the last error to tell it from a failure.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size.QuadPart);
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    auto object = resolve_handle(hFile, ObjectKind::DiskFile);
    if (!object) return FALSE;
    auto* file = dynamic_cast<DiskFile*>(object.get());
    if (!file) return fail(ERROR_INVALID_FUNCTION);
    if (!lpFileSize) return fail(ERROR_INVALID_PARAMETER);
    lpFileSize->QuadPart = file->size();
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    // Without the high part the distance is a signed 32-bit number.
    LARGE_INTEGER distance;
    distance.QuadPart =
        lpDistanceToMoveHigh
            ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<ULONG>(*lpDistanceToMoveHigh)) << 32) |
                                    static_cast<ULONG>(lDistanceToMove))
            : lDistanceToMove;
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(hFile, distance, &position, dwMoveMethod)) return INVALID_SET_FILE_POINTER;
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(position.QuadPart >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(position.QuadPart);
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod) {
    auto file = disk_file(hFile);
    if (!file) return FALSE;
    auto* regular = dynamic_cast<DiskFile*>(file.get());
    if (!regular) return fail(ERROR_INVALID_FUNCTION);
    LONGLONG position = 0;
    if (DWORD error = regular->seek(liDistanceToMove.QuadPart, dwMoveMethod, &position); error != ERROR_SUCCESS)
        return fail(error);
    if (lpNewFilePointer) lpNewFilePointer->QuadPart = position;
    return TRUE;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    auto object = resolve_handle(hFile, ObjectKind::DiskFile);
    auto* file = dynamic_cast<DiskFile*>(object.get());
    if (!object) return FALSE;
    if (!file) return fail(ERROR_ACCESS_DENIED);
    if (DWORD error = file->truncate_at_pointer(); error != ERROR_SUCCESS) return fail(error);
    return TRUE;
}

HV_EXTERN_C_END
