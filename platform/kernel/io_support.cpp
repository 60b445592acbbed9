// The I/O manager's memory and the names its messages use.
#include "io_internal.h"

#include <cstdio>

namespace hvsim::io::detail {

void* allocate(size_t size, ULONG tag) {
    return pool::allocate(NonPagedPool, size, tag, reinterpret_cast<const void*>(&allocate));
}

void release(void* block, ULONG tag) { pool::free(block, tag, true, reinterpret_cast<const void*>(&allocate)); }

std::string narrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) out.push_back(c < 0x80 ? (char)c : '?');
    return out;
}

std::string driver_name_of(const DRIVER_OBJECT* driver) {
    if (!driver) return "(no driver)";
    if (!driver->DriverName.Buffer) return "(unnamed driver)";
    return narrow({driver->DriverName.Buffer, driver->DriverName.Length / sizeof(WCHAR)});
}

const char* major_name(UCHAR major) {
    static const char* const names[] = {
        "IRP_MJ_CREATE",
        "IRP_MJ_CREATE_NAMED_PIPE",
        "IRP_MJ_CLOSE",
        "IRP_MJ_READ",
        "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION",
        "IRP_MJ_SET_INFORMATION",
        "IRP_MJ_QUERY_EA",
        "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS",
        "IRP_MJ_QUERY_VOLUME_INFORMATION",
        "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL",
        "IRP_MJ_FILE_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL",
        "IRP_MJ_SHUTDOWN",
        "IRP_MJ_LOCK_CONTROL",
        "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT",
        "IRP_MJ_QUERY_SECURITY",
        "IRP_MJ_SET_SECURITY",
        "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CHANGE",
        "IRP_MJ_QUERY_QUOTA",
        "IRP_MJ_SET_QUOTA",
        "IRP_MJ_PNP",
    };
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_(invalid)";
}

std::string hex(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

std::string hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace hvsim::io::detail
