// Resources of a loaded image (kernel32): an image's dialog templates and other data, declared
// with hv_resource.h and found by module handle (NULL: the process's own image).
#pragma once

#include <windef.h>

DECLARE_HANDLE(HRSRC);

#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#ifdef UNICODE
#define MAKEINTRESOURCE MAKEINTRESOURCEW
#else
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#endif

// Resource types.
#define RT_CURSOR MAKEINTRESOURCEW(1)
#define RT_BITMAP MAKEINTRESOURCEW(2)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_GROUP_CURSOR MAKEINTRESOURCEW(12)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)

HV_EXTERN_C_BEGIN

// NULL with ERROR_RESOURCE_TYPE_NOT_FOUND (the module has no resources of that type) or
// ERROR_RESOURCE_NAME_NOT_FOUND. Names may be strings or MAKEINTRESOURCE values.
HV_API HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
HV_API HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
HV_API HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
HV_API LPVOID WINAPI LockResource(HGLOBAL hResData);
HV_API DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
HV_API BOOL WINAPI FreeResource(HGLOBAL hResData);

HV_EXTERN_C_END
