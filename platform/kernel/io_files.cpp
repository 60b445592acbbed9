// File objects on devices, and the requests user mode makes on them.
//
//   open_file read_file(_async) write_file(_async) device_control(_async) flush_file cancel_io
//   cancel_request outstanding_requests close_file IoGetRelatedDeviceObject IoGetDeviceObjectPointer
//
// A file object references the device it opened (the named one) and counts as an open of it in
// DEVICE_OBJECT.ReferenceCount, which is what keeps an exclusive device to one open at a time.
// Every request on a file references the file, so IRP_MJ_CLOSE, which the last reference sends,
// always comes after the requests still outstanding at cleanup have completed. A close that the
// last reference sends from a completion or at raised IRQL goes to a system worker thread.
#include "io_internal.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace hvsim::io::detail {
namespace {

struct FileBlock : FILE_OBJECT {
    std::u16string file_name;
    ACCESS_MASK granted = 0;
    bool created = false; // IRP_MJ_CREATE succeeded: cleanup and close are owed
    std::atomic<bool> cleaned_up{false};
    std::mutex lock;
    std::vector<IRP*> outstanding;
};

FileBlock* block_of(FILE_OBJECT* file) { return static_cast<FileBlock*>(file); }

ACCESS_MASK map_generic(ACCESS_MASK access) {
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

bool device_gone(DEVICE_OBJECT* device) {
    auto* extra = extra_of(device);
    return extra->deleted || (extra->pub.ExtensionFlags &
                              (DOE_UNLOAD_PENDING | DOE_DELETE_PENDING | DOE_REMOVE_PENDING | DOE_REMOVE_PROCESSED));
}

void free_file(FileBlock* file) {
    PDEVICE_OBJECT device = file->DeviceObject;
    InterlockedDecrement(&device->ReferenceCount);
    file->~FileBlock();
    release(file, kTagFile);
    ob::dereference(device);
}

// Cleanup and close go to the stack of the opened device unless its driver deleted it already.
IoResult send_file_request(FileBlock* file, UCHAR major, bool reference_file) {
    if (extra_of(file->DeviceObject)->deleted) return {STATUS_SUCCESS, 0};
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    IoResult result = send_request_and_wait(
        top, reference_file ? file : nullptr,
        [file, major](IRP* irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = major;
            stack->FileObject = file;
            irp->Flags |= IRP_SYNCHRONOUS_API | (major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
            return STATUS_SUCCESS;
        },
        STATUS_SUCCESS, true);
    ob::dereference(top);
    return result;
}

void destroy_file(void* body) {
    auto* file = block_of(static_cast<FILE_OBJECT*>(body));
    if (!file->created) return free_file(file);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL && completion_depth() == 0) {
        send_file_request(file, IRP_MJ_CLOSE, false);
        return free_file(file);
    }
    queue_system_work([file] {
        send_file_request(file, IRP_MJ_CLOSE, false);
        free_file(file);
    });
}

// The file behind a caller's pointer, still open; nullptr otherwise.
FileBlock* open_file_of(FILE_OBJECT* file) {
    if (!file || !ob::is_object(file, &g_file_type)) return nullptr;
    FileBlock* block = block_of(file);
    return block->cleaned_up.load() ? nullptr : block;
}

NTSTATUS cleanup(FileBlock* file) {
    IoResult result = send_file_request(file, IRP_MJ_CLEANUP, true);
    file->Flags |= FO_CLEANUP_COMPLETE;
    return result.status;
}

using FileSetup = std::function<NTSTATUS(IRP* irp, PIO_STACK_LOCATION stack, PDEVICE_OBJECT top)>;

// Sends a request on an open file to the top of its device's stack.
Sent issue(FILE_OBJECT* file_object, ACCESS_MASK required, const FileSetup& setup, RequestFinish done) {
    FileBlock* file = open_file_of(file_object);
    if (!file) return {STATUS_INVALID_HANDLE, false};
    if ((file->granted & required) != required) return {STATUS_ACCESS_DENIED, false};
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    Sent sent = send_request(
        top, file, [&](IRP* irp, PIO_STACK_LOCATION stack) { return setup(irp, stack, top); }, STATUS_SUCCESS, false,
        std::move(done));
    ob::dereference(top);
    return sent;
}

// A read or a write: the two differ in direction and in the access they need.
Sent transfer_request(FILE_OBJECT* file, UCHAR major, void* buffer, ULONG length, const LONGLONG* offset,
                      RequestFinish done, const void* key = nullptr) {
    if (!buffer && length) return {STATUS_ACCESS_VIOLATION, false};
    const bool read = major == IRP_MJ_READ;
    return issue(
        file, read ? FILE_READ_DATA : FILE_WRITE_DATA,
        [&](IRP* irp, PIO_STACK_LOCATION stack, PDEVICE_OBJECT top) {
            stack->MajorFunction = major;
            stack->Parameters.Read.Length = length; // Write has the same layout
            stack->Parameters.Read.ByteOffset.QuadPart = offset ? *offset : 0;
            irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
            record_of(irp)->key = key;
            return attach_transfer_buffer(irp, top, read, buffer, length);
        },
        std::move(done));
}

// The access a control code asks of the handle, in its two access bits.
ACCESS_MASK access_for_code(ULONG code) {
    ULONG access = (code >> 14) & 3;
    return ((access & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) | ((access & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
}

Sent control_request(FILE_OBJECT* file, ULONG code, const void* input, ULONG input_length, void* output,
                     ULONG output_length, bool internal, RequestFinish done, const void* key = nullptr) {
    if ((!input && input_length) || (!output && output_length)) return {STATUS_ACCESS_VIOLATION, false};
    return issue(
        file, access_for_code(code),
        [&](IRP* irp, PIO_STACK_LOCATION stack, PDEVICE_OBJECT) {
            stack->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
            record_of(irp)->key = key;
            return attach_control_buffers(irp, code, input, input_length, output, output_length);
        },
        std::move(done));
}

Issue to_issue(Sent sent) { return {sent.status, sent.issued}; }

} // namespace

ob::ObjectType g_file_type{"File", destroy_file};

void file_request_issued(FILE_OBJECT* file, IRP* irp) {
    FileBlock* block = block_of(file);
    std::lock_guard lock(block->lock);
    block->outstanding.push_back(irp);
}

bool file_request_done(FILE_OBJECT* file, IRP* irp) {
    FileBlock* block = block_of(file);
    std::lock_guard lock(block->lock);
    auto found = std::find(block->outstanding.begin(), block->outstanding.end(), irp);
    if (found != block->outstanding.end()) block->outstanding.erase(found);
    IrpRecord* record = record_of(irp);
    if (record->pins > 0) {
        record->free_when_unpinned = true;
        return false;
    }
    return true;
}

} // namespace hvsim::io::detail

namespace hvsim::io {
using namespace detail;

LONG open_file(const OpenOptions& options, FileObject** result) {
    *result = nullptr;
    ResolvedPath resolved = resolve_referenced(options.path);
    if (!NT_SUCCESS(resolved.status)) return resolved.status;
    PDEVICE_OBJECT device = resolved.device;
    if (device_gone(device) || (device->Flags & DO_DEVICE_INITIALIZING)) {
        ob::dereference(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (device->Flags & DO_EXCLUSIVE) {
        if (InterlockedCompareExchange(&device->ReferenceCount, 1, 0) != 0) {
            ob::dereference(device);
            return STATUS_ACCESS_DENIED;
        }
    } else {
        InterlockedIncrement(&device->ReferenceCount);
    }
    void* memory = allocate(sizeof(FileBlock), kTagFile);
    if (!memory) {
        InterlockedDecrement(&device->ReferenceCount);
        ob::dereference(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* file = new (memory) FileBlock{};
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->file_name = resolved.remainder;
    file->FileName.Length = (USHORT)(file->file_name.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = (USHORT)(file->FileName.Length + sizeof(WCHAR));
    file->FileName.Buffer = file->file_name.empty() ? nullptr : file->file_name.data();
    file->granted = map_generic(options.desired_access);
    file->ReadAccess = (file->granted & FILE_READ_DATA) != 0;
    file->WriteAccess = (file->granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->DeleteAccess = (file->granted & DELETE) != 0;
    file->SharedRead = (options.share_access & FILE_SHARE_READ) != 0;
    file->SharedWrite = (options.share_access & FILE_SHARE_WRITE) != 0;
    file->SharedDelete = (options.share_access & FILE_SHARE_DELETE) != 0;
    if (options.create_options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        file->Flags |= FO_SYNCHRONOUS_IO;
    if (options.create_options & FILE_SYNCHRONOUS_IO_ALERT) file->Flags |= FO_ALERTABLE_IO;
    ob::insert_object(static_cast<FILE_OBJECT*>(file), &g_file_type);

    IO_SECURITY_CONTEXT security{nullptr, nullptr, options.desired_access, options.create_options};
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    IoResult created = send_request_and_wait(
        top, file,
        [&](IRP* irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_CREATE;
            stack->Parameters.Create.SecurityContext = &security;
            stack->Parameters.Create.Options =
                (options.disposition << 24) | (options.create_options & FILE_VALID_OPTION_FLAGS);
            stack->Parameters.Create.FileAttributes = (USHORT)options.file_attributes;
            stack->Parameters.Create.ShareAccess = (USHORT)options.share_access;
            irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
            return STATUS_SUCCESS;
        },
        STATUS_SUCCESS, false);
    ob::dereference(top);
    if (!NT_SUCCESS(created.status)) {
        ob::dereference(static_cast<FILE_OBJECT*>(file));
        return created.status;
    }
    file->created = true;
    file->Flags |= FO_HANDLE_CREATED;
    *result = file;
    return created.status;
}

IoResult read_file(FileObject* file, void* buffer, ULONG length, const LONGLONG* offset) {
    return wait_for([&](RequestFinish done) {
        return transfer_request(file, IRP_MJ_READ, buffer, length, offset, std::move(done));
    });
}

Issue read_file_async(FileObject* file, void* buffer, ULONG length, Completion done, const LONGLONG* offset,
                      const void* key) {
    return to_issue(transfer_request(file, IRP_MJ_READ, buffer, length, offset, std::move(done), key));
}

IoResult write_file(FileObject* file, const void* buffer, ULONG length, const LONGLONG* offset) {
    return wait_for([&](RequestFinish done) {
        return transfer_request(file, IRP_MJ_WRITE, const_cast<void*>(buffer), length, offset, std::move(done));
    });
}

Issue write_file_async(FileObject* file, const void* buffer, ULONG length, Completion done, const LONGLONG* offset,
                       const void* key) {
    return to_issue(
        transfer_request(file, IRP_MJ_WRITE, const_cast<void*>(buffer), length, offset, std::move(done), key));
}

IoResult device_control(FileObject* file, ULONG code, const void* input, ULONG input_length, void* output,
                        ULONG output_length, bool internal) {
    return wait_for([&](RequestFinish done) {
        return control_request(file, code, input, input_length, output, output_length, internal, std::move(done));
    });
}

Issue device_control_async(FileObject* file, ULONG code, const void* input, ULONG input_length, void* output,
                           ULONG output_length, Completion done, bool internal, const void* key) {
    return to_issue(
        control_request(file, code, input, input_length, output, output_length, internal, std::move(done), key));
}

IoResult flush_file(FileObject* file) {
    return wait_for([&](RequestFinish done) {
        return issue(
            file, FILE_WRITE_DATA,
            [](IRP*, PIO_STACK_LOCATION stack, PDEVICE_OBJECT) {
                stack->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
                return STATUS_SUCCESS;
            },
            std::move(done));
    });
}

namespace {

size_t cancel_matching(FileObject* file_object, const std::function<bool(const IrpRecord&)>& matches) {
    FileBlock* file = open_file_of(file_object);
    if (!file) return 0;
    // Pinned IRPs stay allocated even if they complete meanwhile; the last unpin frees them.
    std::vector<IRP*> mine;
    {
        std::lock_guard lock(file->lock);
        for (IRP* irp : file->outstanding) {
            IrpRecord* record = record_of(irp);
            if (!matches(*record)) continue;
            ++record->pins;
            mine.push_back(irp);
        }
    }
    for (IRP* irp : mine) IoCancelIrp(irp);
    std::vector<IRP*> to_free;
    {
        std::lock_guard lock(file->lock);
        for (IRP* irp : mine) {
            IrpRecord* record = record_of(irp);
            if (--record->pins == 0 && record->free_when_unpinned) to_free.push_back(irp);
        }
    }
    for (IRP* irp : to_free) free_irp_unchecked(irp);
    return mine.size();
}

} // namespace

size_t cancel_io(FileObject* file, std::thread::id issuer) {
    return cancel_matching(file, [issuer](const IrpRecord& record) { return record.issuer == issuer; });
}

size_t cancel_request(FileObject* file, const void* key) {
    if (!key) return 0;
    return cancel_matching(file, [key](const IrpRecord& record) { return record.key == key; });
}

size_t outstanding_requests(FileObject* file_object) {
    if (!file_object || !ob::is_object(file_object, &g_file_type)) return 0;
    FileBlock* file = block_of(file_object);
    std::lock_guard lock(file->lock);
    return file->outstanding.size();
}

LONG close_file(FileObject* file_object) {
    FileBlock* file = open_file_of(file_object);
    if (!file || file->cleaned_up.exchange(true)) return STATUS_INVALID_HANDLE;
    NTSTATUS status = cleanup(file);
    ob::dereference(static_cast<FILE_OBJECT*>(file));
    return status;
}

} // namespace hvsim::io

using namespace hvsim;
using namespace hvsim::io::detail;

HV_EXTERN_C_BEGIN

POBJECT_TYPE IoFileObjectTypeValue = &g_file_type;
POBJECT_TYPE* IoFileObjectType = &IoFileObjectTypeValue;

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    return IoGetAttachedDevice(FileObject->DeviceObject);
}

// Opens the device as a handle would, closes the handle (IRP_MJ_CLEANUP) and keeps the file
// object referenced: its last dereference sends IRP_MJ_CLOSE.
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
    if (!ObjectName || !ObjectName->Buffer || !FileObject || !DeviceObject) return STATUS_INVALID_PARAMETER;
    hvsim::io::OpenOptions options;
    options.path.assign(ObjectName->Buffer, ObjectName->Length / sizeof(WCHAR));
    options.desired_access = DesiredAccess;
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = hvsim::io::open_file(options, &file);
    if (!NT_SUCCESS(status)) return status;
    auto* block = static_cast<FileBlock*>(file);
    block->cleaned_up = true;
    cleanup(block);
    *FileObject = file;
    *DeviceObject = IoGetRelatedDeviceObject(file);
    return status;
}

HV_EXTERN_C_END
