// Files on devices: CreateFile on "\\.\NAME" and device-interface paths, ReadFile, WriteFile
// and DeviceIoControl (synchronous and overlapped), GetOverlappedResult, CancelIo and the
// cleanup and close that CloseHandle starts.
#include <windows.h>

#include <hv_wchar.h>
#include <hvsim/io.h>

#include <algorithm>
#include <map>
#include <thread>

#include "internal/handles.h"

namespace hvsim::user {
namespace {

// FILE_* values of the kernel's create request.
constexpr ULONG kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3, kFileOverwrite = 4,
                kFileOverwriteIf = 5;
constexpr ULONG kFileWriteThrough = 0x2, kFileSequentialOnly = 0x4, kFileNoIntermediateBuffering = 0x8,
                kFileSynchronousIoNonalert = 0x20, kFileNonDirectoryFile = 0x40, kFileRandomAccess = 0x800,
                kFileDeleteOnClose = 0x1000, kFileOpenForBackupIntent = 0x4000;
constexpr LONG kStatusSuccess = 0, kStatusPending = 0x103, kStatusEndOfFile = static_cast<LONG>(0xC0000011);

bool nt_success(LONG status) { return status >= 0; }
bool nt_error(LONG status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// The file object stays referenced while anything in user mode holds it (a handle, a request in
// flight), so a request that races with CloseHandle meets a closed file, never freed memory.
class DeviceFile : public UserObject {
public:
    DeviceFile(io::FileObject* file, bool overlapped)
        : UserObject(ObjectKind::File), file(file), overlapped(overlapped) {
        reference_kernel_object(file);
    }
    ~DeviceFile() override { dereference_kernel_object(file); }
    // Signalled when a request on the file completes, as the file object is on Windows.
    void* dispatcher() override { return completed.dispatcher(); }
    void last_handle_closed() override {
        closed = true;
        io::close_file(file);
    }

    io::FileObject* const file;
    const bool overlapped;
    std::atomic<bool> closed{false};
    KernelEvent completed{true, false};

    // Requests not yet complete, by OVERLAPPED (null for a synchronous one without), with the
    // thread that issued each: CancelIoEx finds them here.
    std::mutex mutex;
    std::multimap<const OVERLAPPED*, std::thread::id> outstanding;
};

// "\\.\NAME" and "\\?\NAME" are "\??\NAME"; "\\.\GLOBALROOT\..." is a path of the kernel's
// namespace; the reserved DOS device names (COM1 to COM9, LPT1 to LPT9, NUL, AUX, PRN, CON) name
// their devices without a prefix. Paths of the C: drive name no device.
bool kernel_path(std::u16string_view path, std::u16string* out) {
    auto starts = [&](std::u16string_view prefix) {
        return path.size() >= prefix.size() && _wcsnicmp(path.data(), prefix.data(), prefix.size()) == 0;
    };
    if (starts(u"\\\\.\\GLOBALROOT\\") || starts(u"\\\\?\\GLOBALROOT\\")) {
        *out = std::u16string(path.substr(14));
        return true;
    }
    if (starts(u"\\\\.\\") || starts(u"\\\\?\\")) {
        if (path.size() == 4) return false;
        *out = u"\\??\\" + std::u16string(path.substr(4));
        return true;
    }
    std::u16string name(path);
    if (!name.empty() && name.back() == u':') name.pop_back();
    static constexpr const char16_t* kReserved[] = {u"NUL", u"AUX", u"PRN", u"CON"};
    bool reserved = std::any_of(std::begin(kReserved), std::end(kReserved),
                                [&](const char16_t* r) { return _wcsicmp(name.c_str(), r) == 0; });
    if (name.size() == 4 && (_wcsnicmp(name.c_str(), u"COM", 3) == 0 || _wcsnicmp(name.c_str(), u"LPT", 3) == 0) &&
        name[3] >= u'1' && name[3] <= u'9')
        reserved = true;
    if (!reserved) return false;
    *out = u"\\??\\" + name;
    return true;
}

bool disposition_of(DWORD creation, ULONG* disposition) {
    switch (creation) {
    case CREATE_NEW: *disposition = kFileCreate; return true;
    case CREATE_ALWAYS: *disposition = kFileOverwriteIf; return true;
    case OPEN_EXISTING: *disposition = kFileOpen; return true;
    case OPEN_ALWAYS: *disposition = kFileOpenIf; return true;
    case TRUNCATE_EXISTING: *disposition = kFileOverwrite; return true;
    default: return false;
    }
}

ULONG create_options_of(DWORD flags) {
    ULONG options = (flags & FILE_FLAG_BACKUP_SEMANTICS) ? kFileOpenForBackupIntent : kFileNonDirectoryFile;
    if (!(flags & FILE_FLAG_OVERLAPPED)) options |= kFileSynchronousIoNonalert;
    if (flags & FILE_FLAG_WRITE_THROUGH) options |= kFileWriteThrough;
    if (flags & FILE_FLAG_NO_BUFFERING) options |= kFileNoIntermediateBuffering;
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN) options |= kFileSequentialOnly;
    if (flags & FILE_FLAG_RANDOM_ACCESS) options |= kFileRandomAccess;
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) options |= kFileDeleteOnClose;
    return options;
}

// Sets the bytes transferred and the result of a finished request the way ReadFile, WriteFile,
// DeviceIoControl and GetOverlappedResult report it: the count unless the status is an error,
// TRUE only for a success status.
BOOL report(LONG status, ULONG_PTR information, LPDWORD transferred) {
    if (transferred && !nt_error(status)) *transferred = static_cast<DWORD>(information);
    if (nt_success(status)) return TRUE;
    set_last_status(status);
    return FALSE;
}

using SyncCall = std::function<io::IoResult()>;
using AsyncCall = std::function<io::Issue(io::Completion)>;

// One request on a device file, synchronous or overlapped according to how the file was opened.
BOOL perform(const std::shared_ptr<DeviceFile>& file, LPOVERLAPPED overlapped, LPDWORD transferred,
             const SyncCall& sync, const AsyncCall& async, bool end_of_file_is_success) {
    if (transferred) *transferred = 0;
    std::shared_ptr<UserObject> event;
    if (overlapped && overlapped->hEvent) {
        // The low bit of hEvent asks Windows to skip the completion port; the event is the rest.
        HANDLE h = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
        event = resolve_handle(h, ObjectKind::Event);
        if (!event) return FALSE;
    }
    auto* event_object = static_cast<EventObject*>(event.get());

    const auto issuer = std::this_thread::get_id();
    {
        std::lock_guard lock(file->mutex);
        file->outstanding.emplace(overlapped, issuer);
    }
    auto forget = [file = file.get(), overlapped, issuer] {
        std::lock_guard lock(file->mutex);
        auto [first, last] = file->outstanding.equal_range(overlapped);
        auto it = std::find_if(first, last, [&](const auto& entry) { return entry.second == issuer; });
        if (it != last) file->outstanding.erase(it);
    };

    if (!file->overlapped) {
        file->completed.reset();
        if (event_object) event_object->event.reset();
        io::IoResult result = sync();
        forget();
        if (end_of_file_is_success && result.status == kStatusEndOfFile) result = {kStatusSuccess, 0};
        if (overlapped) {
            overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(result.status));
            overlapped->InternalHigh = result.information;
            if (event_object) event_object->event.set();
        }
        file->completed.set();
        return report(result.status, result.information, transferred);
    }

    if (!overlapped) {
        forget();
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    file->completed.reset();
    if (event_object) event_object->event.reset();
    // Runs in the completing thread, possibly at DISPATCH_LEVEL; it holds the event and the file
    // so that both outlive a handle closed meanwhile. It lets the file go before the waiter wakes:
    // a waiter that then closes its handle must find the file closed when CloseHandle returns (an
    // exclusive device opens again at once), not whenever this thread gets round to releasing it.
    io::Completion done = [file = std::shared_ptr<DeviceFile>(file), event, overlapped, forget](LONG status,
                                                                                      ULONG_PTR information) mutable {
        forget();
        overlapped->InternalHigh = information;
        __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)), __ATOMIC_SEQ_CST);
        file->completed.set();
        file.reset();
        if (event) static_cast<EventObject&>(*event).event.set();
    };
    io::Issue issue = async(std::move(done));
    if (!issue.issued) {
        forget();
        overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(issue.status));
        set_last_status(issue.status);
        return FALSE;
    }
    if (issue.status == kStatusPending) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return report(issue.status, overlapped->InternalHigh, transferred);
}

// The byte offset an OVERLAPPED gives a read or write; none without one.
class FileOffset {
public:
    explicit FileOffset(const OVERLAPPED* overlapped)
        : present_(overlapped != nullptr),
          value_(overlapped ? (static_cast<LONGLONG>(overlapped->OffsetHigh) << 32) | overlapped->Offset : 0) {}
    const LONGLONG* get() const { return present_ ? &value_ : nullptr; }

private:
    bool present_;
    LONGLONG value_;
};

std::shared_ptr<DeviceFile> device_file(const std::shared_ptr<UserObject>& object) {
    if (!object || object->kind() != ObjectKind::File || static_cast<DeviceFile&>(*object).closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<DeviceFile>(object);
}

} // namespace
} // namespace hvsim::user

using namespace hvsim;
using namespace hvsim::user;

HV_EXTERN_C_BEGIN

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!*lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    io::OpenOptions options;
    if (!disposition_of(dwCreationDisposition, &options.disposition) ||
        (dwShareMode & ~static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!kernel_path(lpFileName, &options.path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // As Windows does, every open may also wait on the file and read its attributes.
    options.desired_access = dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    options.share_access = dwShareMode;
    options.create_options = create_options_of(dwFlagsAndAttributes);
    options.file_attributes = dwFlagsAndAttributes & 0xFFFF;
    io::FileObject* file = nullptr;
    LONG status = io::open_file(options, &file);
    if (!nt_success(status)) {
        set_last_status(status);
        return INVALID_HANDLE_VALUE;
    }
    auto object = std::make_shared<DeviceFile>(file, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
    HANDLE handle = insert_handle(std::move(object), options.desired_access);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(widen_ansi(lpFileName).c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    auto object = resolve_handle(hFile);
    if (object && object->kind() == ObjectKind::Console) {
        if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
        return console_read(*object, lpNumberOfBytesRead) ? TRUE : FALSE;
    }
    auto file = device_file(object);
    if (!file) return FALSE;
    const FileOffset at(lpOverlapped);
    return perform(
        file, lpOverlapped, lpNumberOfBytesRead,
        [&] { return io::read_file(file->file, lpBuffer, nNumberOfBytesToRead, at.get()); },
        [&](io::Completion done) {
            return io::read_file_async(file->file, lpBuffer, nNumberOfBytesToRead, std::move(done), at.get());
        },
        true);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    auto object = resolve_handle(hFile);
    if (object && object->kind() == ObjectKind::Console) {
        if (!lpBuffer && nNumberOfBytesToWrite) {
            SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
        std::string_view bytes(static_cast<const char*>(lpBuffer), lpBuffer ? nNumberOfBytesToWrite : 0);
        return console_write(*object, bytes, lpNumberOfBytesWritten) ? TRUE : FALSE;
    }
    auto file = device_file(object);
    if (!file) return FALSE;
    const FileOffset at(lpOverlapped);
    return perform(
        file, lpOverlapped, lpNumberOfBytesWritten,
        [&] { return io::write_file(file->file, lpBuffer, nNumberOfBytesToWrite, at.get()); },
        [&](io::Completion done) {
            return io::write_file_async(file->file, lpBuffer, nNumberOfBytesToWrite, std::move(done), at.get());
        },
        false);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    auto file = device_file(resolve_handle(hDevice));
    if (!file) return FALSE;
    return perform(
        file, lpOverlapped, lpBytesReturned,
        [&] {
            return io::device_control(file->file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                      nOutBufferSize);
        },
        [&](io::Completion done) {
            return io::device_control_async(file->file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                            nOutBufferSize, std::move(done));
        },
        false);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    if (!lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto pending = [&] { return __atomic_load_n(&lpOverlapped->Internal, __ATOMIC_SEQ_CST) == kStatusPending; };
    if (pending()) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Without an event of its own the request signals the file.
        HANDLE waitable = lpOverlapped->hEvent
                              ? reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(lpOverlapped->hEvent) &
                                                         ~ULONG_PTR(1))
                              : hFile;
        if (WaitForSingleObject(waitable, INFINITE) != WAIT_OBJECT_0) return FALSE;
        // An event shared with other requests may have been set by one of them.
        if (pending()) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    const LONG status = static_cast<LONG>(static_cast<ULONG>(lpOverlapped->Internal));
    if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (nt_success(status)) return TRUE;
    set_last_status(status);
    return FALSE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    auto file = device_file(resolve_handle(hFile));
    if (!file) return FALSE;
    io::cancel_io(file->file);
    return TRUE;
}

// Without an OVERLAPPED every request on the file is cancelled, whichever thread issued it (and
// ERROR_NOT_FOUND when there is none). A single request is cancelled when it is the only one outstanding from its thread; telling it
// apart from the thread's other requests is not possible (ERROR_NOT_SUPPORTED).
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    auto file = device_file(resolve_handle(hFile));
    if (!file) return FALSE;
    std::vector<std::thread::id> issuers;
    {
        std::lock_guard lock(file->mutex);
        if (!lpOverlapped) {
            for (const auto& [request, issuer] : file->outstanding)
                if (std::find(issuers.begin(), issuers.end(), issuer) == issuers.end()) issuers.push_back(issuer);
        } else {
            auto it = file->outstanding.find(lpOverlapped);
            if (it == file->outstanding.end()) {
                SetLastError(ERROR_NOT_FOUND);
                return FALSE;
            }
            const auto issuer = it->second;
            auto same_issuer = std::count_if(file->outstanding.begin(), file->outstanding.end(),
                                             [&](const auto& entry) { return entry.second == issuer; });
            if (same_issuer != 1) {
                SetLastError(ERROR_NOT_SUPPORTED);
                return FALSE;
            }
            issuers.push_back(issuer);
        }
    }
    if (issuers.empty() && !lpOverlapped) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    for (auto issuer : issuers) io::cancel_io(file->file, issuer);
    return TRUE;
}

HV_EXTERN_C_END
