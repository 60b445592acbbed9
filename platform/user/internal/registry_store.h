// The registry store seen from the Win32 side of the library. winnt.h and the kernel's
// ntstatus.h both name five wait statuses; the kernel's definitions win here.
#pragma once

#include <windows.h>

#undef STATUS_WAIT_0
#undef STATUS_ABANDONED_WAIT_0
#undef STATUS_USER_APC
#undef STATUS_TIMEOUT
#undef STATUS_PENDING
#include <hvsim/registry.h>

#include <string>

namespace hvsim::user {

// The Win32 error of a store status.
DWORD registry_error(NTSTATUS status);

// Key access after mapping the generic rights and dropping the view flags.
ACCESS_MASK map_key_access(REGSAM access);

// The key a handle was opened on and the access granted (predefined keys give everything);
// nullptr when the handle is not open.
registry::Key registry_key_of(HKEY handle, ACCESS_MASK* granted);

// What the caller's token gets on a key under its descriptor (everything when it has none).
ACCESS_MASK granted_access(const registry::Key& key);

} // namespace hvsim::user
