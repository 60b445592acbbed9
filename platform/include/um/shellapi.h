// The shell's ShellExecute: on the machine it opens nothing and records the call (hvsim/ui.h).
#pragma once

#include <windef.h>

// Results at or below 32 are errors.
#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_NOASSOC 31

HV_EXTERN_C_BEGIN
HV_API HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                                      LPCWSTR lpDirectory, INT nShowCmd);
HV_API HINSTANCE WINAPI ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                                      LPCSTR lpDirectory, INT nShowCmd);
HV_EXTERN_C_END

#ifdef UNICODE
#define ShellExecute ShellExecuteW
#else
#define ShellExecute ShellExecuteA
#endif
