// The last-error value of each thread and the translation of kernel status codes to Win32 errors.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <iterator>

#include "internal/user_internal.h"

namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;

struct StatusMapping {
    ULONG status;
    DWORD error;
};

// Windows' translation of the status codes the kernel and the drivers return, sorted by status.
constexpr StatusMapping kStatusToError[] = {
    {0x00000000, ERROR_SUCCESS},
    {0x00000102, ERROR_TIMEOUT},                // STATUS_TIMEOUT
    {0x00000103, ERROR_IO_PENDING},             // STATUS_PENDING
    {0x00000105, ERROR_MORE_DATA},              // STATUS_MORE_ENTRIES
    {0x00000106, ERROR_NOT_ALL_ASSIGNED},       // STATUS_NOT_ALL_ASSIGNED
    {0x00000107, ERROR_SOME_NOT_MAPPED},        // STATUS_SOME_NOT_MAPPED
    {0x40000000, ERROR_ALREADY_EXISTS},         // STATUS_OBJECT_NAME_EXISTS
    {0x80000005, ERROR_MORE_DATA},              // STATUS_BUFFER_OVERFLOW
    {0x80000006, ERROR_NO_MORE_FILES},          // STATUS_NO_MORE_FILES
    {0x8000001A, ERROR_NO_MORE_ITEMS},          // STATUS_NO_MORE_ENTRIES
    {0xC0000001, ERROR_GEN_FAILURE},            // STATUS_UNSUCCESSFUL
    {0xC0000002, ERROR_INVALID_FUNCTION},       // STATUS_NOT_IMPLEMENTED
    {0xC0000003, ERROR_INVALID_PARAMETER},      // STATUS_INVALID_INFO_CLASS
    {0xC0000004, ERROR_BAD_LENGTH},             // STATUS_INFO_LENGTH_MISMATCH
    {0xC0000005, ERROR_NOACCESS},               // STATUS_ACCESS_VIOLATION
    {0xC0000008, ERROR_INVALID_HANDLE},         // STATUS_INVALID_HANDLE
    {0xC000000D, ERROR_INVALID_PARAMETER},      // STATUS_INVALID_PARAMETER
    {0xC000000E, ERROR_FILE_NOT_FOUND},         // STATUS_NO_SUCH_DEVICE
    {0xC000000F, ERROR_FILE_NOT_FOUND},         // STATUS_NO_SUCH_FILE
    {0xC0000010, ERROR_INVALID_FUNCTION},       // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000011, ERROR_HANDLE_EOF},             // STATUS_END_OF_FILE
    {0xC0000016, ERROR_MORE_DATA},              // STATUS_MORE_PROCESSING_REQUIRED
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},      // STATUS_NO_MEMORY
    {0xC0000022, ERROR_ACCESS_DENIED},          // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},    // STATUS_BUFFER_TOO_SMALL
    {0xC0000024, ERROR_INVALID_HANDLE},         // STATUS_OBJECT_TYPE_MISMATCH
    {0xC0000033, ERROR_INVALID_NAME},           // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},         // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035, ERROR_ALREADY_EXISTS},         // STATUS_OBJECT_NAME_COLLISION
    {0xC0000039, ERROR_BAD_PATHNAME},           // STATUS_OBJECT_PATH_INVALID
    {0xC000003A, ERROR_PATH_NOT_FOUND},         // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC000003B, ERROR_BAD_PATHNAME},           // STATUS_OBJECT_PATH_SYNTAX_BAD
    {0xC000003C, ERROR_IO_DEVICE},              // STATUS_DATA_OVERRUN
    {0xC0000043, ERROR_SHARING_VIOLATION},      // STATUS_SHARING_VIOLATION
    {0xC0000046, ERROR_NOT_OWNER},              // STATUS_MUTANT_NOT_OWNED
    {0xC0000047, ERROR_TOO_MANY_POSTS},         // STATUS_SEMAPHORE_LIMIT_EXCEEDED
    {0xC0000056, ERROR_ACCESS_DENIED},          // STATUS_DELETE_PENDING
    {0xC0000095, ERROR_ARITHMETIC_OVERFLOW},    // STATUS_INTEGER_OVERFLOW
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},    // STATUS_INSUFFICIENT_RESOURCES
    {0xC000009D, ERROR_NOT_READY},              // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000A3, ERROR_NOT_READY},              // STATUS_DEVICE_NOT_READY
    {0xC00000B5, ERROR_SEM_TIMEOUT},            // STATUS_IO_TIMEOUT
    {0xC00000BA, ERROR_ACCESS_DENIED},          // STATUS_FILE_IS_A_DIRECTORY
    {0xC00000BB, ERROR_NOT_SUPPORTED},          // STATUS_NOT_SUPPORTED
    {0xC00000C0, ERROR_DEV_NOT_EXIST},          // STATUS_DEVICE_DOES_NOT_EXIST
    {0xC00000E5, ERROR_INTERNAL_ERROR},         // STATUS_INTERNAL_ERROR
    {0xC00000EF, ERROR_INVALID_PARAMETER},      // STATUS_INVALID_PARAMETER_1
    {0xC00000F0, ERROR_INVALID_PARAMETER},      // STATUS_INVALID_PARAMETER_2
    {0xC00000F1, ERROR_INVALID_PARAMETER},      // STATUS_INVALID_PARAMETER_3
    {0xC0000103, ERROR_DIRECTORY},              // STATUS_NOT_A_DIRECTORY
    {0xC0000120, ERROR_OPERATION_ABORTED},      // STATUS_CANCELLED
    {0xC0000121, ERROR_ACCESS_DENIED},          // STATUS_CANNOT_DELETE
    {0xC0000150, ERROR_SERIAL_NO_DEVICE},       // STATUS_SERIAL_NO_DEVICE_INITED
    {0xC000017C, ERROR_KEY_DELETED},            // STATUS_KEY_DELETED
    {0xC0000182, ERROR_INVALID_PARAMETER},      // STATUS_DEVICE_CONFIGURATION_ERROR
    {0xC0000183, ERROR_IO_DEVICE},              // STATUS_DRIVER_INTERNAL_ERROR
    {0xC0000184, ERROR_BAD_COMMAND},            // STATUS_INVALID_DEVICE_STATE
    {0xC0000185, ERROR_IO_DEVICE},              // STATUS_IO_DEVICE_ERROR
    {0xC0000206, ERROR_INVALID_USER_BUFFER},    // STATUS_INVALID_BUFFER_SIZE
    {0xC0000225, ERROR_NOT_FOUND},              // STATUS_NOT_FOUND
    {0xC000026C, ERROR_BAD_DRIVER},             // STATUS_DRIVER_UNABLE_TO_LOAD
    {0xC0000295, ERROR_WMI_GUID_NOT_FOUND},     // STATUS_WMI_GUID_NOT_FOUND
    {0xC0000296, ERROR_WMI_INSTANCE_NOT_FOUND}, // STATUS_WMI_INSTANCE_NOT_FOUND
    {0xC0000297, ERROR_WMI_ITEMID_NOT_FOUND},   // STATUS_WMI_ITEMID_NOT_FOUND
    {0xC0000298, ERROR_WMI_TRY_AGAIN},          // STATUS_WMI_TRY_AGAIN
    {0xC00002B6, ERROR_DEV_NOT_EXIST},          // STATUS_DEVICE_REMOVED
    {0xC00002C6, ERROR_WMI_READ_ONLY},          // STATUS_WMI_READ_ONLY
    {0xC00002C7, ERROR_WMI_SET_FAILURE},        // STATUS_WMI_SET_FAILURE
    {0xC00002DD, ERROR_NOT_SUPPORTED},          // STATUS_WMI_NOT_SUPPORTED
};

constexpr bool sorted_by_status() {
    for (size_t i = 1; i < std::size(kStatusToError); ++i)
        if (kStatusToError[i - 1].status >= kStatusToError[i].status) return false;
    return true;
}
static_assert(sorted_by_status(), "the table is searched by halves");

} // namespace

namespace hvsim::user {

void set_last_error(DWORD error) { t_last_error = error; }

void set_last_status(LONG status) { t_last_error = RtlNtStatusToDosError(status); }

} // namespace hvsim::user

HV_EXTERN_C_BEGIN

DWORD WINAPI GetLastError(void) { return t_last_error; }

void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) {
    const auto code = static_cast<ULONG>(Status);
    const auto* end = std::end(kStatusToError);
    const auto* it = std::lower_bound(std::begin(kStatusToError), end, code,
                                      [](const StatusMapping& m, ULONG s) { return m.status < s; });
    if (it != end && it->status == code) return it->error;
    // The wait statuses are their own results.
    if (code <= 0x3F) return code;
    // A Win32 error carried in a status (facility 7) comes back as itself.
    if ((code & 0xFFFF0000u) == 0x80070000u || (code & 0xFFFF0000u) == 0xC0070000u) return code & 0xFFFFu;
    return ERROR_MR_MID_NOT_FOUND;
}

HV_EXTERN_C_END
