// Calls that only some Windows versions offer, looked up at run time, and the restart.
#pragma once

#include <windows.h>

// Switches WOW64 file-system redirection; 1 when the system has no such switch.
BOOL EnableFsRedirection(BOOL enable);
// RegDeleteKeyExA where the system has it (the key must have no subkeys), else the recursive
// SHDeleteKeyA in the default view.
LONG DeleteKeyEx(HKEY root, LPCSTR subKey, REGSAM view, DWORD reserved);
// Restarts at once, closing programs without asking; the shutdown privilege is enabled first on
// Windows 2000 and later.
void RestartWindows();
// The Windows 9x restart: no privilege to enable.
void RestartWindows9x();
