// kernel32's loader: resources of a loaded image (dialog templates and other data, declared
// with hv_resource.h and found by module handle, NULL: the process's own image), module handles
// of the system modules and of loaded libraries, and activation contexts (the isolation-aware
// loading of a library with its own manifest).
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

typedef struct tagACTCTXW {
    ULONG cbSize;
    DWORD dwFlags;
    LPCWSTR lpSource;
    USHORT wProcessorArchitecture;
    LANGID wLangId;
    LPCWSTR lpAssemblyDirectory;
    LPCWSTR lpResourceName;
    LPCWSTR lpApplicationName;
    HMODULE hModule;
} ACTCTXW, *PACTCTXW;
typedef const ACTCTXW* PCACTCTXW;
static_assert(sizeof(ACTCTXW) == 56, "ACTCTXW layout");

#define ACTCTX_FLAG_PROCESSOR_ARCHITECTURE_VALID 0x00000001
#define ACTCTX_FLAG_LANGID_VALID 0x00000002
#define ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID 0x00000004
#define ACTCTX_FLAG_RESOURCE_NAME_VALID 0x00000008
#define ACTCTX_FLAG_SET_PROCESS_DEFAULT 0x00000010
#define ACTCTX_FLAG_APPLICATION_NAME_VALID 0x00000020
#define ACTCTX_FLAG_HMODULE_VALID 0x00000080
#define DEACTIVATE_ACTCTX_FLAG_FORCE_EARLY_DEACTIVATION 0x00000001

HV_EXTERN_C_BEGIN

// The system modules (kernel32, advapi32, user32, setupapi...) are loaded in every process;
// their exports follow the machine's Windows version. NULL names the process's own image.
HV_API HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
HV_API HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);

HV_API HANDLE WINAPI CreateActCtxW(PCACTCTXW pActCtx);
HV_API BOOL WINAPI ActivateActCtx(HANDLE hActCtx, ULONG_PTR* lpCookie);
HV_API BOOL WINAPI DeactivateActCtx(DWORD dwFlags, ULONG_PTR ulCookie);
HV_API void WINAPI ReleaseActCtx(HANDLE hActCtx);

// File-system redirection of a 32-bit program on a 64-bit system (from Windows XP).
HV_API BOOLEAN WINAPI Wow64EnableWow64FsRedirection(BOOLEAN Wow64FsEnableRedirection);

HV_EXTERN_C_END
