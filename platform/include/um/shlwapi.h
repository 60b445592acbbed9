// shlwapi: the registry helpers of the shell.
#pragma once

#include <windows.h>

HV_EXTERN_C_BEGIN

// Deletes the key with every key below it, each under the caller's access rights.
HV_API LSTATUS WINAPI SHDeleteKeyW(HKEY hkey, LPCWSTR pszSubKey);
HV_API LSTATUS WINAPI SHDeleteKeyA(HKEY hkey, LPCSTR pszSubKey);

HV_EXTERN_C_END
