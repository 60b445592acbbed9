// Private state shared by the I/O manager's sources (io_*.cpp).
#pragma once

#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/object.h>
#include <hvsim/pool.h>
#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Memory that no one may touch any more: the sanitizer build traps accesses to it.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HV_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define HV_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define HV_POISON(address, size) ((void)(address), (void)(size))
#define HV_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace hvsim::io::detail {

// Bug-check codes of the I/O manager's checks that hvsim/kernel.h does not list.
constexpr ULONG NO_MORE_IRP_STACK_LOCATIONS = 0x35;
constexpr ULONG CANCEL_STATE_IN_COMPLETED_IRP = 0x48;
constexpr ULONG WORKER_THREAD_RETURNED_AT_BAD_IRQL = 0xE1;
constexpr ULONG WORKER_INVALID = 0xE4;

// ---------------------------------------------------------------------------------------------
// Memory: the I/O manager's blocks come from the pool, charged to the kernel, so that injected
// pool failures reach IoAllocateIrp and IoCreateDevice as they do on Windows.
void* allocate(size_t size, ULONG tag);
void release(void* block, ULONG tag);

constexpr ULONG kTagIrp = pool::tag_from_text("Irp ");
constexpr ULONG kTagDevice = pool::tag_from_text("Devi");
constexpr ULONG kTagDriver = pool::tag_from_text("Driv");
constexpr ULONG kTagFile = pool::tag_from_text("File");
constexpr ULONG kTagBuffer = pool::tag_from_text("IrBf");
constexpr ULONG kTagMdl = pool::tag_from_text("Mdl ");
constexpr ULONG kTagWorkItem = pool::tag_from_text("IoWk");
constexpr ULONG kTagCompletion = pool::tag_from_text("CpEx");

// Names in messages: "\Driver\HvUVCP", "IRP_MJ_READ".
std::string narrow(std::u16string_view text);
std::string driver_name_of(const DRIVER_OBJECT* driver);
const char* major_name(UCHAR major);
std::string hex(const void* pointer);
std::string hex(ULONG value);

// ---------------------------------------------------------------------------------------------
// Object types (io_objects.cpp, io_files.cpp)

extern ob::ObjectType g_device_type;
extern ob::ObjectType g_driver_type;
extern ob::ObjectType g_file_type;

// The private part of a device object, reached through DeviceObjectExtension.
struct DeviceExtra {
    DEVOBJ_EXTENSION pub{}; // first, so DeviceObjectExtension points at both
    std::u16string name;    // as created; empty when unnamed
    bool deleted = false;
    size_t extension_size = 0;
};
DeviceExtra* extra_of(const DEVICE_OBJECT* device);
// Guards the device stacks (AttachedDevice, AttachedTo) and the drivers' device lists.
std::mutex& topology_lock();

// ---------------------------------------------------------------------------------------------
// Namespace (io_namespace.cpp)

enum class NameKind { Device, Driver, SymbolicLink };
// STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_PATH_NOT_FOUND (no such directory),
// STATUS_OBJECT_NAME_INVALID or STATUS_SUCCESS.
NTSTATUS insert_name(std::u16string_view name, NameKind kind, void* object);
void remove_name(std::u16string_view name, void* object);
// The object a name names (links not followed), or nullptr; not referenced.
void* find_named_object(std::u16string_view name, NameKind kind);
// As resolve_path, with the device referenced when the status is a success.
ResolvedPath resolve_referenced(std::u16string_view path);
// Called at boot and shutdown: an empty namespace with its standard directories.
void reset_namespace();

// ---------------------------------------------------------------------------------------------
// IRPs (io_irp.cpp)

enum class IrpKind : uint8_t {
    Driver,      // IoAllocateIrp: its owner frees it after its completion routine
    AsyncFsd,    // IoBuildAsynchronousFsdRequest: as Driver, with the I/O manager's buffers
    Synchronous, // IoBuildDeviceIoControlRequest, IoBuildSynchronousFsdRequest: event and IOSB
    Request,     // the I/O manager's own (files, platform requests): finished by a callback
};

struct IrpRecord {
    uint32_t magic;
    IrpKind kind;
    USHORT irp_size = 0;
    bool from_heap = false; // a must-succeed IRP the pool could not give
    bool sent = false;      // handed to IoCallDriver since its last return to its owner
    CHAR origin = 0;        // CurrentLocation of its owner when sent
    // Buffers that the I/O manager attached and frees with the IRP.
    bool owns_system_buffer = false;
    PMDL owned_mdl = nullptr;
    // Buffered input operations: Information bytes go back here at completion.
    void* copy_back_to = nullptr;
    ULONG copy_back_limit = 0;
    bool copy_back = false;
    bool copied_back = false;
    // Request IRPs.
    std::function<void(NTSTATUS, ULONG_PTR)> finish;
    FILE_OBJECT* file = nullptr; // referenced while the IRP lives
    std::thread::id issuer;
    const void* key = nullptr; // an asynchronous file request's, for cancel_request
    int pins = 0;              // guarded by the file's lock: cancel_io holding the IRP
    bool free_when_unpinned = false;
};

IRP* allocate_irp(CCHAR stack_size, IrpKind kind, bool must_succeed = false);
IrpRecord* record_of(IRP* irp);
// A bug check unless `irp` is a live IRP.
void require_irp(IRP* irp, const char* routine);
// Frees an IRP and the buffers the I/O manager attached, without the ownership checks.
void free_irp_unchecked(IRP* irp);
// Copies buffered input back to the caller once (Information bytes, not on errors).
void copy_back_buffered(IRP* irp);
// Sets up the first stack location of a fresh IRP for `device` (IoGetNextIrpStackLocation).
PIO_STACK_LOCATION first_location(IRP* irp);
// Depth of IofCompleteRequest calls on this thread.
int completion_depth();
// Releases the quarantine of freed IRPs (at shutdown).
void release_quarantine();

// Buffer handling shared by the builders and the file API (io_buffers.cpp). Each returns
// STATUS_INSUFFICIENT_RESOURCES when memory runs out, and leaves the IRP untouched then.
NTSTATUS attach_control_buffers(IRP* irp, ULONG code, const void* input, ULONG input_length, void* output,
                                ULONG output_length);
NTSTATUS attach_transfer_buffer(IRP* irp, DEVICE_OBJECT* target, bool input_operation, void* buffer, ULONG length);
PMDL build_mdl(void* buffer, ULONG length);

// ---------------------------------------------------------------------------------------------
// The I/O manager's own requests (io_requests.cpp): an IRP of kind Request for the stack whose
// top is `top`, its first stack location filled by `setup`, sent with IoCallDriver. With a file,
// the IRP references it and counts among its outstanding requests. `finish` runs once, after the
// IRP was freed. A `must_succeed` request falls back to the heap when the pool fails (cleanup and
// close cannot fail on Windows either).

using RequestSetup = std::function<NTSTATUS(IRP* irp, PIO_STACK_LOCATION stack)>;
using RequestFinish = std::function<void(NTSTATUS status, ULONG_PTR information)>;

struct Sent {
    NTSTATUS status; // what the dispatch routine returned, or why nothing was sent
    bool issued;
};
Sent send_request(DEVICE_OBJECT* top, FILE_OBJECT* file, const RequestSetup& setup, NTSTATUS initial_status,
                  bool must_succeed, RequestFinish finish);
// Runs `start` with a finish that wakes the caller, and waits for it when the request was issued.
IoResult wait_for(const std::function<Sent(RequestFinish)>& start);
// As send_request, then waits for the completion; Status and Information of the request.
IoResult send_request_and_wait(DEVICE_OBJECT* top, FILE_OBJECT* file, const RequestSetup& setup,
                               NTSTATUS initial_status, bool must_succeed);

// ---------------------------------------------------------------------------------------------
// Files (io_files.cpp)

// The file's outstanding request IRPs. Done returns false when cancel_io still holds the IRP,
// which then frees it.
void file_request_issued(FILE_OBJECT* file, IRP* irp);
bool file_request_done(FILE_OBJECT* file, IRP* irp);

// ---------------------------------------------------------------------------------------------
// Work queue (io_workitems.cpp): runs `job` at PASSIVE_LEVEL on a system worker thread.
void queue_system_work(std::function<void()> job);
void start_workers();
// Runs what is still queued, then ends the worker threads.
void stop_workers();

} // namespace hvsim::io::detail
