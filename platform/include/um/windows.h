// The Win32 API of the machine.
#pragma once

#include <basetsd.h>
#include <guiddef.h>
#include <winnt.h>
#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winnls.h>
#include <winioctl.h>
#include <fileapi.h>
#include <processthreadsapi.h>
#include <libloaderapi.h>

#if __has_include(<winreg.h>)
#include <winreg.h>
#endif
#if __has_include(<wingdi.h>)
#include <wingdi.h>
#endif
#if __has_include(<winuser.h>)
#include <winuser.h>
#endif
#include <securitybaseapi.h>
#if __has_include(<winsvc.h>)
#include <winsvc.h>
#endif
