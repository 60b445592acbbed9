// Files on devices: CreateFile on "\\.\NAME" and device-interface paths, ReadFile, WriteFile
// and DeviceIoControl (synchronous and overlapped), ReadFileEx and WriteFileEx with their
// completion routines, GetOverlappedResult(Ex), the cancellations, FlushFileBuffers and the
// cleanup and close that CloseHandle starts. Paths and handles of regular files go
// to regular_files.cpp.
#include <windows.h>
#include <winternl.h>

#include <hv_wchar.h>
#include <hvsim/io.h>

#include <algorithm>
#include <list>
#include <map>
#include <set>
#include <thread>

#include "internal/handles.h"
#include "internal/regular_files.h"

namespace hvsim::user {
namespace {

// FILE_* values of the kernel's create request.
constexpr ULONG kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3, kFileOverwrite = 4, kFileOverwriteIf = 5;
constexpr ULONG kFileWriteThrough = 0x2, kFileSequentialOnly = 0x4, kFileNoIntermediateBuffering = 0x8,
                kFileSynchronousIoNonalert = 0x20, kFileNonDirectoryFile = 0x40, kFileRandomAccess = 0x800,
                kFileDeleteOnClose = 0x1000, kFileOpenForBackupIntent = 0x4000;
constexpr LONG kStatusSuccess = 0, kStatusPending = 0x103, kStatusEndOfFile = static_cast<LONG>(0xC0000011);

bool nt_success(LONG status) { return status >= 0; }
bool nt_error(LONG status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// Writes in flight on a file, by the order they were issued in, so that a flush can wait for
// those that came before it. A write ends in its completing thread, possibly at DISPATCH_LEVEL.
class WriteTracker {
public:
    uint64_t begin() {
        std::lock_guard lock(mutex_);
        in_flight_.insert(next_);
        return next_++;
    }
    void end(uint64_t write) {
        std::lock_guard lock(mutex_);
        in_flight_.erase(write);
        for (KernelEvent* waiter : waiters_) waiter->set();
    }
    // Returns once every write begun before the call has ended.
    void wait_for_earlier() {
        KernelEvent changed(false, false);
        uint64_t limit;
        {
            std::lock_guard lock(mutex_);
            limit = next_;
            waiters_.push_back(&changed);
        }
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (in_flight_.empty() || *in_flight_.begin() >= limit) {
                    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &changed));
                    return;
                }
            }
            void* dispatcher = changed.dispatcher();
            wait_for_dispatchers(1, &dispatcher, false, INFINITE);
        }
    }

private:
    std::mutex mutex_;
    uint64_t next_ = 0;
    std::set<uint64_t> in_flight_;
    std::vector<KernelEvent*> waiters_;
};

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
    // thread that issued each: CancelIoEx finds them here. An asynchronous one carries its
    // OVERLAPPED down to the I/O manager as its key.
    struct Outstanding {
        std::thread::id issuer;
        bool asynchronous;
    };
    std::mutex mutex;
    std::multimap<const OVERLAPPED*, Outstanding> outstanding;
    WriteTracker writes;
};

// Synchronous requests in progress, by the thread that waits in each: CancelSynchronousIo.
struct SynchronousRequest {
    DWORD thread;
    std::thread::id issuer;
    std::shared_ptr<DeviceFile> file;
};
struct SynchronousRequests {
    std::mutex mutex;
    std::list<SynchronousRequest> requests;
};
SynchronousRequests& synchronous_requests() {
    static SynchronousRequests* s = new SynchronousRequests;
    return *s;
}

// Registered for as long as the synchronous request runs.
class SynchronousScope {
public:
    explicit SynchronousScope(const std::shared_ptr<DeviceFile>& file) {
        auto& s = synchronous_requests();
        std::lock_guard lock(s.mutex);
        entry_ = s.requests.insert(s.requests.end(), {current_thread_id(), std::this_thread::get_id(), file});
    }
    ~SynchronousScope() {
        auto& s = synchronous_requests();
        std::lock_guard lock(s.mutex);
        s.requests.erase(entry_);
    }
    SynchronousScope(const SynchronousScope&) = delete;
    SynchronousScope& operator=(const SynchronousScope&) = delete;

private:
    std::list<SynchronousRequest>::iterator entry_;
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

// The completion routine of ReadFileEx or WriteFileEx, queued to the issuing thread as a user APC
// once the request has ended, and only when its issue did not fail.
class CompletionApc {
public:
    CompletionApc(LPOVERLAPPED_COMPLETION_ROUTINE routine, LPOVERLAPPED overlapped)
        : thread_(current_thread_object()), routine_(routine), overlapped_(overlapped) {}
    void completed(LONG status, ULONG_PTR information) {
        std::lock_guard lock(mutex_);
        status_ = status;
        information_ = information;
        completed_ = true;
        queue_when_known();
    }
    void issued(bool deliver) {
        std::lock_guard lock(mutex_);
        deliver_ = deliver;
        issued_ = true;
        queue_when_known();
    }

private:
    void queue_when_known() {
        if (!completed_ || !issued_ || !deliver_) return;
        const DWORD error = nt_success(status_) ? ERROR_SUCCESS : RtlNtStatusToDosError(status_);
        const DWORD bytes = static_cast<DWORD>(information_);
        thread_->queue_apc(
            [routine = routine_, overlapped = overlapped_, error, bytes] { routine(error, bytes, overlapped); });
    }

    std::mutex mutex_;
    std::shared_ptr<ThreadObject> thread_;
    LPOVERLAPPED_COMPLETION_ROUTINE routine_;
    LPOVERLAPPED overlapped_;
    bool completed_ = false, issued_ = false, deliver_ = false;
    LONG status_ = 0;
    ULONG_PTR information_ = 0;
};

// What sets one kind of request apart.
struct RequestKind {
    bool end_of_file_is_success = false;
    bool write = false;
    // ReadFileEx and WriteFileEx: the routine, in place of the event.
    LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
};

// One request on a device file, synchronous or overlapped according to how the file was opened.
BOOL perform(const std::shared_ptr<DeviceFile>& file, LPOVERLAPPED overlapped, LPDWORD transferred,
             const SyncCall& sync, const AsyncCall& async, RequestKind kind) {
    if (transferred) *transferred = 0;
    std::shared_ptr<UserObject> event;
    if (overlapped && overlapped->hEvent && !kind.routine) {
        // The low bit of hEvent asks Windows to skip the completion port; the event is the rest.
        HANDLE h = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
        event = resolve_handle(h, ObjectKind::Event);
        if (!event) return FALSE;
    }
    auto* event_object = static_cast<EventObject*>(event.get());

    const auto issuer = std::this_thread::get_id();
    {
        std::lock_guard lock(file->mutex);
        file->outstanding.emplace(overlapped, DeviceFile::Outstanding{issuer, file->overlapped});
    }
    const uint64_t write = kind.write ? file->writes.begin() : 0;
    auto forget = [file = file.get(), overlapped, issuer] {
        std::lock_guard lock(file->mutex);
        auto [first, last] = file->outstanding.equal_range(overlapped);
        auto it = std::find_if(first, last, [&](const auto& entry) { return entry.second.issuer == issuer; });
        if (it != last) file->outstanding.erase(it);
    };
    // Once the write's result is where its issuer looks, for a flush that waits for it.
    auto write_done = [file = file.get(), write, is_write = kind.write] {
        if (is_write) file->writes.end(write);
    };

    if (!file->overlapped) {
        file->completed.reset();
        if (event_object) event_object->event.reset();
        io::IoResult result;
        {
            SynchronousScope scope(file);
            result = sync();
        }
        forget();
        if (kind.end_of_file_is_success && result.status == kStatusEndOfFile) result = {kStatusSuccess, 0};
        if (overlapped) {
            overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(result.status));
            overlapped->InternalHigh = result.information;
            if (event_object) event_object->event.set();
        }
        file->completed.set();
        write_done();
        return report(result.status, result.information, transferred);
    }

    if (!overlapped) {
        forget();
        write_done();
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    file->completed.reset();
    if (event_object) event_object->event.reset();
    auto apc = kind.routine ? std::make_shared<CompletionApc>(kind.routine, overlapped) : nullptr;
    // Runs in the completing thread, possibly at DISPATCH_LEVEL; it holds the event and the file
    // so that both outlive a handle closed meanwhile. It lets the file go before the waiter wakes:
    // a waiter that then closes its handle must find the file closed when CloseHandle returns (an
    // exclusive device opens again at once), not whenever this thread gets round to releasing it.
    io::Completion done = [file = std::shared_ptr<DeviceFile>(file), event, overlapped, forget, write_done,
                           apc](LONG status, ULONG_PTR information) mutable {
        forget();
        overlapped->InternalHigh = information;
        __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)), __ATOMIC_SEQ_CST);
        file->completed.set();
        write_done();
        file.reset();
        if (event) static_cast<EventObject&>(*event).event.set();
        if (apc) apc->completed(status, information);
    };
    io::Issue issue = async(std::move(done));
    if (!issue.issued) {
        forget();
        overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(issue.status));
        write_done();
        set_last_status(issue.status);
        return FALSE;
    }
    if (apc) {
        // The routine reports the end; a request refused at once has none to report.
        const bool refused = nt_error(issue.status);
        apc->issued(!refused);
        if (refused) {
            set_last_status(issue.status);
            return FALSE;
        }
        SetLastError(ERROR_SUCCESS);
        return TRUE;
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

// A read or a write; a read's end of file is a success.
BOOL transfer(const std::shared_ptr<DeviceFile>& file, bool write, void* buffer, DWORD length, LPDWORD transferred,
              LPOVERLAPPED overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    const FileOffset at(overlapped);
    return perform(
        file, overlapped, transferred,
        [&] {
            return write ? io::write_file(file->file, buffer, length, at.get())
                         : io::read_file(file->file, buffer, length, at.get());
        },
        [&](io::Completion done) {
            return write ? io::write_file_async(file->file, buffer, length, std::move(done), at.get(), overlapped)
                         : io::read_file_async(file->file, buffer, length, std::move(done), at.get(), overlapped);
        },
        RequestKind{!write, write, routine});
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
    if (is_drive_path(lpFileName) || !kernel_path(lpFileName, &options.path))
        return open_regular_file(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
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
    if (is_regular_file_handle(object))
        return regular_file_transfer(object, false, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    auto file = device_file(object);
    if (!file) return FALSE;
    return transfer(file, false, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped, nullptr);
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
    if (is_regular_file_handle(object))
        return regular_file_transfer(object, true, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                                     lpNumberOfBytesWritten, lpOverlapped);
    auto file = device_file(object);
    if (!file) return FALSE;
    return transfer(file, true, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                    lpOverlapped, nullptr);
}

// ReadFileEx and WriteFileEx need a handle opened for overlapped I/O and an OVERLAPPED.
static std::shared_ptr<DeviceFile> file_for_completion_routine(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                                               LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    auto file = device_file(resolve_handle(hFile));
    if (file && (!file->overlapped || !lpOverlapped || !lpCompletionRoutine)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return file;
}

BOOL WINAPI ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    auto file = file_for_completion_routine(hFile, lpOverlapped, lpCompletionRoutine);
    if (!file) return FALSE;
    return transfer(file, false, lpBuffer, nNumberOfBytesToRead, nullptr, lpOverlapped, lpCompletionRoutine);
}

BOOL WINAPI WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPOVERLAPPED lpOverlapped,
                        LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    auto file = file_for_completion_routine(hFile, lpOverlapped, lpCompletionRoutine);
    if (!file) return FALSE;
    return transfer(file, true, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite, nullptr, lpOverlapped,
                    lpCompletionRoutine);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    auto object = resolve_handle(hFile);
    if (is_regular_file_handle(object)) return regular_file_flush(object);
    auto file = device_file(object);
    if (!file) return FALSE;
    file->writes.wait_for_earlier();
    io::IoResult result = io::flush_file(file->file);
    return report(result.status, 0, nullptr);
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
                                            nOutBufferSize, std::move(done), false, lpOverlapped);
        },
        RequestKind{});
}

BOOL WINAPI GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                  DWORD dwMilliseconds, BOOL bAlertable) {
    if (!lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto pending = [&] { return __atomic_load_n(&lpOverlapped->Internal, __ATOMIC_SEQ_CST) == kStatusPending; };
    if (pending()) {
        if (dwMilliseconds == 0 && !bAlertable) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Without an event of its own the request signals the file.
        HANDLE waitable =
            lpOverlapped->hEvent
                ? reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(lpOverlapped->hEvent) & ~ULONG_PTR(1))
                : hFile;
        const DWORD waited = WaitForSingleObjectEx(waitable, dwMilliseconds, bAlertable);
        if (waited == WAIT_TIMEOUT || waited == WAIT_IO_COMPLETION) {
            SetLastError(dwMilliseconds == 0 && waited == WAIT_TIMEOUT ? ERROR_IO_INCOMPLETE : waited);
            return FALSE;
        }
        if (waited != WAIT_OBJECT_0) return FALSE;
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

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    return GetOverlappedResultEx(hFile, lpOverlapped, lpNumberOfBytesTransferred, bWait ? INFINITE : 0, FALSE);
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    auto file = device_file(resolve_handle(hFile));
    if (!file) return FALSE;
    io::cancel_io(file->file);
    return TRUE;
}

// Without an OVERLAPPED every request on the file is cancelled, whichever thread issued it (and
// ERROR_NOT_FOUND when there is none); with one, the requests issued with it.
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    auto file = device_file(resolve_handle(hFile));
    if (!file) return FALSE;
    std::vector<std::thread::id> issuers;
    bool keyed = false;
    {
        std::lock_guard lock(file->mutex);
        for (const auto& [request, entry] : file->outstanding) {
            if (lpOverlapped && request != lpOverlapped) continue;
            // A synchronous request is the only one of its thread on the file.
            if (lpOverlapped && entry.asynchronous)
                keyed = true;
            else if (std::find(issuers.begin(), issuers.end(), entry.issuer) == issuers.end())
                issuers.push_back(entry.issuer);
        }
    }
    if (issuers.empty() && !keyed) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    if (keyed) io::cancel_request(file->file, lpOverlapped);
    for (auto issuer : issuers) io::cancel_io(file->file, issuer);
    return TRUE;
}

BOOL WINAPI CancelSynchronousIo(HANDLE hThread) {
    auto object = resolve_handle(hThread, ObjectKind::Thread);
    if (!object) return FALSE;
    const DWORD thread = static_cast<ThreadObject&>(*object).id();
    std::vector<SynchronousRequest> waiting;
    {
        auto& s = synchronous_requests();
        std::lock_guard lock(s.mutex);
        for (const auto& request : s.requests)
            if (request.thread == thread) waiting.push_back(request);
    }
    size_t cancelled = 0;
    for (const auto& request : waiting) cancelled += io::cancel_io(request.file->file, request.issuer);
    if (cancelled == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

HV_EXTERN_C_END
