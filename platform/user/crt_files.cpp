// The C runtime's file routines on the machine's drives (_access, _chmod, _unlink) and its
// multibyte-string routines (_mbsupr_s, _mbsstr) in the machine's single-byte ANSI code page.
// Failures set errno as the Windows runtime maps the Win32 errors.
#include <windows.h>
#include <io.h>
#include <mbstring.h>

#include <hv_wchar.h>
#include <hvsim/format.h>

#include <cerrno>
#include <cstring>

#include "internal/machine_files.h"
#include "internal/user_internal.h"

namespace {

using namespace hvsim::user;

int errno_of(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_FILENAME_EXCED_RANGE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    default: return EINVAL;
    }
}

int fail(int error) {
    errno = error;
    return -1;
}

// The resolved path, or -1 with errno set.
int resolve(const char* path, files::MachinePath* out) {
    if (!path) return fail(EINVAL);
    if (DWORD error = files::resolve(widen_ansi(path), out); error != ERROR_SUCCESS) return fail(errno_of(error));
    return 0;
}

} // namespace

HV_EXTERN_C_BEGIN

int _access(const char* path, int mode) {
    files::MachinePath resolved;
    if (resolve(path, &resolved) != 0) return -1;
    if (mode & ~6) return fail(EINVAL);
    const DWORD attributes = files::attributes_of(resolved);
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail(ENOENT);
    if ((mode & 2) && (attributes & FILE_ATTRIBUTE_READONLY)) return fail(EACCES);
    return 0;
}

int _chmod(const char* path, int mode) {
    files::MachinePath resolved;
    if (resolve(path, &resolved) != 0) return -1;
    const DWORD attributes = files::attributes_of(resolved);
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail(ENOENT);
    if (resolved.read_only) return fail(EACCES);
    const DWORD kept = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
    files::store_attributes(resolved, (mode & _S_IWRITE) ? kept : kept | FILE_ATTRIBUTE_READONLY);
    return 0;
}

int _unlink(const char* path) {
    files::MachinePath resolved;
    if (resolve(path, &resolved) != 0) return -1;
    if (DWORD error = files::delete_entry(resolved, false); error != ERROR_SUCCESS) return fail(errno_of(error));
    return 0;
}

errno_t _mbsupr_s(unsigned char* str, size_t size) {
    if (!str) return EINVAL;
    const size_t length = strnlen(reinterpret_cast<const char*>(str), size);
    if (length == size) {
        if (size) str[0] = 0;
        return EINVAL;
    }
    // A letter whose capital the code page lacks stays as it is.
    for (size_t i = 0; i < length; ++i) {
        bool mapped = true;
        const unsigned char upper = hvsim::text::wide_to_ansi(towupper(hvsim::text::ansi_to_wide(str[i])), &mapped);
        if (mapped) str[i] = upper;
    }
    return 0;
}

unsigned char* _mbsstr(const unsigned char* str, const unsigned char* substr) {
    if (!str || !substr) {
        errno = EINVAL;
        return nullptr;
    }
    return reinterpret_cast<unsigned char*>(
        const_cast<char*>(std::strstr(reinterpret_cast<const char*>(str), reinterpret_cast<const char*>(substr))));
}

HV_EXTERN_C_END
