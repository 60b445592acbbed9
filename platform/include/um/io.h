// The C runtime's file routines on the machine's drives, with Windows' errno values. Paths are
// 8-bit text in the ANSI code page.
#pragma once

#include <basetsd.h>

// Permission bits of _chmod (Windows keeps them in sys/stat.h).
#ifndef _S_IREAD
#define _S_IREAD 0x0100
#endif
#ifndef _S_IWRITE
#define _S_IWRITE 0x0080
#endif

HV_EXTERN_C_BEGIN

// mode 0: exists, 2: writable, 4: readable, 6: both; 0 or -1 with errno ENOENT, EACCES, EINVAL.
HV_API int _access(const char* path, int mode);
// _S_IWRITE clears the read-only attribute, its absence sets it.
HV_API int _chmod(const char* path, int mode);
// EACCES for a read-only file or one in use.
HV_API int _unlink(const char* path);

HV_EXTERN_C_END
