// Base types with the widths Windows x64 gives them (LLP64), shared by kernel and user mode.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define HV_EXTERN_C extern "C"
#define HV_EXTERN_C_BEGIN extern "C" {
#define HV_EXTERN_C_END }
#else
#define HV_EXTERN_C extern
#define HV_EXTERN_C_BEGIN
#define HV_EXTERN_C_END
#endif

// Platform routines are exported by the platform's shared libraries; images built with hidden
// visibility still import them.
#define HV_API HV_EXTERN_C __attribute__((visibility("default")))
// What an image exports (its entry points), whatever its default visibility.
#define DECLSPEC_EXPORT __attribute__((visibility("default")))

#define NTAPI
#define WINAPI
#define APIENTRY
#define CALLBACK
#define __stdcall
#define __cdecl
#define IN
#define OUT
#define OPTIONAL
#define UNALIGNED
#define CONST const
#define VOID void
#define FORCEINLINE inline

#ifndef NULL
#define NULL nullptr
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef void* PVOID;
typedef const void* PCVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;

typedef char CHAR;
typedef signed char CCHAR;
typedef unsigned char UCHAR;
typedef unsigned char BYTE;
typedef unsigned char BOOLEAN;
typedef short SHORT;
typedef short CSHORT;
typedef unsigned short USHORT;
typedef unsigned short WORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef uint64_t DWORDLONG;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef int8_t INT8;
typedef int16_t INT16;
typedef uint32_t ULONG32;
typedef int32_t LONG32;
typedef uint32_t DWORD32;

typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef intptr_t SSIZE_T;

typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef CHAR* LPSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;
typedef CHAR* PCH;
typedef const CHAR* PCCH;

typedef UCHAR* PUCHAR;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef BOOLEAN* PBOOLEAN;
typedef SHORT* PSHORT;
typedef USHORT* PUSHORT;
typedef WORD* PWORD;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef INT* PINT;
typedef UINT* PUINT;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef ULONG_PTR* PULONG_PTR;
typedef LONG_PTR* PLONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef VOID* PVOID64;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffu
#define MAXLONG 0x7fffffff
#define MAXDWORD 0xffffffffu

#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKEWORD(a, b) ((WORD)(((BYTE)(((DWORD_PTR)(a)) & 0xff)) | ((WORD)((BYTE)(((DWORD_PTR)(b)) & 0xff))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define UNREFERENCED_PARAMETER(p) ((void)(p))

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(DWORD) == 4, "LLP64 widths");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
static_assert(sizeof(ULONG_PTR) == 8 && sizeof(SIZE_T) == 8 && sizeof(PVOID) == 8, "x64 pointers");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");
