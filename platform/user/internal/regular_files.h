// The regular-file side of CreateFile, ReadFile and WriteFile, which send paths and handles of
// the machine's drives here.
#pragma once

#include <windows.h>

#include "user_internal.h"

namespace hvsim::user {

// "\\\\?\\C:\\..." and "\\\\.\\C:\\...": a drive's file in the device namespace's spelling.
bool is_drive_path(LPCWSTR name);
HANDLE open_regular_file(LPCWSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags);
bool is_regular_file_handle(const std::shared_ptr<UserObject>& object);
BOOL regular_file_flush(const std::shared_ptr<UserObject>& object);
BOOL regular_file_transfer(const std::shared_ptr<UserObject>& object, bool write, void* buffer, DWORD length,
                           LPDWORD transferred, LPOVERLAPPED overlapped);

} // namespace hvsim::user
