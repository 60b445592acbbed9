// kernel32: handles, files on devices, overlapped I/O, synchronisation objects, threads, time,
// version, strings and console output.
#pragma once

#include <windef.h>
#include <winerror.h>

#include <stdarg.h>

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INFINITE 0xFFFFFFFF

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Internal holds the status and InternalHigh the byte count, laid out as the kernel's I/O status
// block so that the I/O manager writes them directly.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
static_assert(sizeof(OVERLAPPED) == 32, "OVERLAPPED layout");

#define HasOverlappedIoCompleted(lpOverlapped) (((DWORD)(lpOverlapped)->Internal) != STATUS_PENDING)

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

// CreateFile dispositions and flags.
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_FLAG_POSIX_SEMANTICS 0x01000000
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define FILE_FLAG_OPEN_NO_RECALL 0x00100000

// Waits.
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define WAIT_OBJECT_0 ((STATUS_WAIT_0) + 0)
#define WAIT_ABANDONED ((STATUS_ABANDONED_WAIT_0) + 0)
#define WAIT_ABANDONED_0 ((STATUS_ABANDONED_WAIT_0) + 0)
#define WAIT_IO_COMPLETION STATUS_USER_APC

// Threads and processes.
#define CREATE_SUSPENDED 0x00000004
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000
#define STILL_ACTIVE STATUS_PENDING
#define NORMAL_PRIORITY_CLASS 0x00000020
#define THREAD_PRIORITY_NORMAL 0

// Standard handles.
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

HV_EXTERN_C_BEGIN

// The entry point of a program image, which the machine calls in the program's new process.
HV_API int wmain(int argc, WCHAR** argv);

// Errors, per thread.
HV_API DWORD WINAPI GetLastError(void);
HV_API void WINAPI SetLastError(DWORD dwErrCode);

// Handles.
HV_API BOOL WINAPI CloseHandle(HANDLE hObject);
HV_API BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                                   LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle,
                                   DWORD dwOptions);
HV_API HANDLE WINAPI GetCurrentProcess(void);
HV_API HANDLE WINAPI GetCurrentThread(void);
HV_API DWORD WINAPI GetCurrentProcessId(void);
HV_API DWORD WINAPI GetCurrentThreadId(void);

// Files on devices.
HV_API HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                 LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                 DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HV_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                 LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                 DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HV_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                            LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
HV_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                             LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
HV_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                   LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                   LPOVERLAPPED lpOverlapped);
HV_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                       LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
HV_API BOOL WINAPI CancelIo(HANDLE hFile);
HV_API BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);

// Events and mutexes. Names are machine-wide.
HV_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                  LPCWSTR lpName);
HV_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                  LPCSTR lpName);
HV_API HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
HV_API HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
HV_API BOOL WINAPI SetEvent(HANDLE hEvent);
HV_API BOOL WINAPI ResetEvent(HANDLE hEvent);
HV_API HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
HV_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
HV_API HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
HV_API HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
HV_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);

// Waits on events, mutexes, threads and processes.
HV_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
HV_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                           DWORD dwMilliseconds);
HV_API void WINAPI Sleep(DWORD dwMilliseconds);

// Threads and processes.
HV_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                  LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                                  LPDWORD lpThreadId);
HV_API __attribute__((noreturn)) void WINAPI ExitThread(DWORD dwExitCode);
HV_API DWORD WINAPI ResumeThread(HANDLE hThread);
HV_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
HV_API BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
HV_API LPWSTR WINAPI GetCommandLineW(void);
HV_API LPSTR WINAPI GetCommandLineA(void);
HV_API DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
HV_API DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
HV_API DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
HV_API BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue);
HV_API DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
HV_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
HV_API UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
HV_API UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
HV_API UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);
HV_API UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
HV_API UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);
HV_API UINT WINAPI GetSystemWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);

// Time, from the machine's clock.
HV_API DWORD WINAPI GetTickCount(void);
HV_API ULONGLONG WINAPI GetTickCount64(void);
HV_API BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
HV_API BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
HV_API void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);

// Version, as the machine is configured.
HV_API BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);
HV_API BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
HV_API DWORD WINAPI GetVersion(void);

// Debugger output goes to the machine's debugger log.
HV_API void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);
HV_API void WINAPI OutputDebugStringA(LPCSTR lpOutputString);

// Console output of the process.
HV_API HANDLE WINAPI GetStdHandle(DWORD nStdHandle);
HV_API BOOL WINAPI SetStdHandle(DWORD nStdHandle, HANDLE hHandle);
HV_API BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const VOID* lpBuffer, DWORD nNumberOfCharsToWrite,
                                 LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved);
HV_API BOOL WINAPI WriteConsoleA(HANDLE hConsoleOutput, const VOID* lpBuffer, DWORD nNumberOfCharsToWrite,
                                 LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved);

// Strings.
HV_API int WINAPI lstrlenW(LPCWSTR lpString);
HV_API int WINAPI lstrlenA(LPCSTR lpString);
HV_API LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2);
HV_API LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
HV_API LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
HV_API LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2);
HV_API int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
HV_API int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
HV_API int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2);
HV_API int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
// Formats into a buffer of at most 1024 characters, as Windows does.
HV_API int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...);
HV_API int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
HV_API int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist);

// Libraries: a bare name is looked for in the system directory, then the current directory.
// A library's exported DllMain, when it has one, sees its first load and its last release.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
HV_API HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
HV_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
HV_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
HV_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);

// Local memory.
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
typedef HANDLE HLOCAL;
HV_API HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HV_API HLOCAL WINAPI LocalFree(HLOCAL hMem);

// DOS device names ("COM3" -> "\Device\HvUVCP0"). A name keeps the definitions it had before:
// removing the current one brings the previous back.
#define DDD_RAW_TARGET_PATH 0x00000001
#define DDD_REMOVE_DEFINITION 0x00000002
#define DDD_EXACT_MATCH_ON_REMOVE 0x00000004
#define DDD_NO_BROADCAST_SYSTEM 0x00000008
HV_API DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax);
HV_API DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax);
HV_API BOOL WINAPI DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath);
HV_API BOOL WINAPI DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath);

HV_EXTERN_C_END
