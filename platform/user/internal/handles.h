// Handle lookup for the Win32 entry points (includes windows.h).
#pragma once

#include <windows.h>

#include "user_internal.h"

namespace hvsim::user {

// The object behind a handle of the current process, pseudo-handles included; nullptr when
// there is none (the caller sets ERROR_INVALID_HANDLE).
std::shared_ptr<UserObject> resolve_handle(HANDLE handle, DWORD* access = nullptr);
// The same, of one kind; sets ERROR_INVALID_HANDLE itself when the handle names something else.
std::shared_ptr<UserObject> resolve_handle(HANDLE handle, ObjectKind kind, DWORD* access = nullptr);

HANDLE insert_handle(std::shared_ptr<UserObject> object, DWORD access);

// What the generic rights mean for one kind of object.
struct GenericMapping {
    DWORD read;
    DWORD write;
    DWORD execute;
    DWORD all;
};
DWORD map_generic_access(DWORD access, const GenericMapping& mapping);

} // namespace hvsim::user
