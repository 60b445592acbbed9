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
// Runs as a user APC of the thread that started the request, in one of its alertable waits.
typedef VOID(WINAPI* LPOVERLAPPED_COMPLETION_ROUTINE)(DWORD dwErrorCode, DWORD dwNumberOfBytesTransfered,
                                                      LPOVERLAPPED lpOverlapped);
typedef VOID(NTAPI* PAPCFUNC)(ULONG_PTR Parameter);
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
// Requests of a handle opened for overlapped I/O whose end runs a completion routine (hEvent is
// the caller's; it is not signalled).
HV_API BOOL WINAPI ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                              LPOVERLAPPED lpOverlapped, LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
HV_API BOOL WINAPI WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                               LPOVERLAPPED lpOverlapped,
                               LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
HV_API BOOL WINAPI GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                         LPDWORD lpNumberOfBytesTransferred, DWORD dwMilliseconds,
                                         BOOL bAlertable);
// The synchronous request the thread waits in, on whatever handle.
HV_API BOOL WINAPI CancelSynchronousIo(HANDLE hThread);
// On a COM port: returns once the writes issued on the handle before it are done.
HV_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);

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
// Alertable forms: the thread's queued user APCs run first and the wait ends with
// WAIT_IO_COMPLETION.
HV_API DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable);
HV_API DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable);
HV_API DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                             DWORD dwMilliseconds, BOOL bAlertable);
HV_API DWORD WINAPI QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData);

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

// ---- Serial communications: DCB, timeouts, status and properties of a COM port ----------------
// Each routine is one or more serial control codes on the port's handle; a driver's failure
// status becomes the thread's last error as DeviceIoControl reports it.

// BaudRate.
#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_56000 56000
#define CBR_57600 57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000

// Parity and StopBits.
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

// fDtrControl and fRtsControl.
#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;
static_assert(sizeof(DCB) == 28, "DCB layout");

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;
static_assert(sizeof(COMSTAT) == 12, "COMSTAT layout");

// dwProvSpec1 of a COMMPROP whose wPacketLength the caller has set to the size of its buffer.
#define COMMPROP_INITIALIZED ((DWORD)0xE73CF52E)

typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;
static_assert(sizeof(COMMPROP) == 64, "COMMPROP layout");

// COMMPROP values.
#define SP_SERIALCOMM ((DWORD)0x00000001)
#define PST_UNSPECIFIED ((DWORD)0x00000000)
#define PST_RS232 ((DWORD)0x00000001)
#define PST_PARALLELPORT ((DWORD)0x00000002)
#define PST_RS422 ((DWORD)0x00000003)
#define PST_RS423 ((DWORD)0x00000004)
#define PST_RS449 ((DWORD)0x00000005)
#define PST_MODEM ((DWORD)0x00000006)
#define PST_FAX ((DWORD)0x00000021)
#define PST_SCANNER ((DWORD)0x00000022)
#define PST_NETWORK_BRIDGE ((DWORD)0x00000100)
#define PST_LAT ((DWORD)0x00000101)
#define PST_TCPIP_TELNET ((DWORD)0x00000102)
#define PST_X25 ((DWORD)0x00000103)
#define PCF_DTRDSR ((DWORD)0x0001)
#define PCF_RTSCTS ((DWORD)0x0002)
#define PCF_RLSD ((DWORD)0x0004)
#define PCF_PARITY_CHECK ((DWORD)0x0008)
#define PCF_XONXOFF ((DWORD)0x0010)
#define PCF_SETXCHAR ((DWORD)0x0020)
#define PCF_TOTALTIMEOUTS ((DWORD)0x0040)
#define PCF_INTTIMEOUTS ((DWORD)0x0080)
#define PCF_SPECIALCHARS ((DWORD)0x0100)
#define PCF_16BITMODE ((DWORD)0x0200)
#define SP_PARITY ((DWORD)0x0001)
#define SP_BAUD ((DWORD)0x0002)
#define SP_DATABITS ((DWORD)0x0004)
#define SP_STOPBITS ((DWORD)0x0008)
#define SP_HANDSHAKING ((DWORD)0x0010)
#define SP_PARITY_CHECK ((DWORD)0x0020)
#define SP_RLSD ((DWORD)0x0040)
#define BAUD_075 ((DWORD)0x00000001)
#define BAUD_110 ((DWORD)0x00000002)
#define BAUD_134_5 ((DWORD)0x00000004)
#define BAUD_150 ((DWORD)0x00000008)
#define BAUD_300 ((DWORD)0x00000010)
#define BAUD_600 ((DWORD)0x00000020)
#define BAUD_1200 ((DWORD)0x00000040)
#define BAUD_1800 ((DWORD)0x00000080)
#define BAUD_2400 ((DWORD)0x00000100)
#define BAUD_4800 ((DWORD)0x00000200)
#define BAUD_7200 ((DWORD)0x00000400)
#define BAUD_9600 ((DWORD)0x00000800)
#define BAUD_14400 ((DWORD)0x00001000)
#define BAUD_19200 ((DWORD)0x00002000)
#define BAUD_38400 ((DWORD)0x00004000)
#define BAUD_56K ((DWORD)0x00008000)
#define BAUD_128K ((DWORD)0x00010000)
#define BAUD_115200 ((DWORD)0x00020000)
#define BAUD_57600 ((DWORD)0x00040000)
#define BAUD_USER ((DWORD)0x10000000)
#define DATABITS_5 ((WORD)0x0001)
#define DATABITS_6 ((WORD)0x0002)
#define DATABITS_7 ((WORD)0x0004)
#define DATABITS_8 ((WORD)0x0008)
#define DATABITS_16 ((WORD)0x0010)
#define DATABITS_16X ((WORD)0x0020)
#define STOPBITS_10 ((WORD)0x0001)
#define STOPBITS_15 ((WORD)0x0002)
#define STOPBITS_20 ((WORD)0x0004)
#define PARITY_NONE ((WORD)0x0100)
#define PARITY_ODD ((WORD)0x0200)
#define PARITY_EVEN ((WORD)0x0400)
#define PARITY_MARK ((WORD)0x0800)
#define PARITY_SPACE ((WORD)0x1000)

// ClearCommError's errors.
#define CE_RXOVER 0x0001
#define CE_OVERRUN 0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME 0x0008
#define CE_BREAK 0x0010
#define CE_TXFULL 0x0100
#define CE_PTO 0x0200
#define CE_IOE 0x0400
#define CE_DNS 0x0800
#define CE_OOP 0x1000
#define CE_MODE 0x8000

// Events of SetCommMask and WaitCommEvent.
#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100
#define EV_PERR 0x0200
#define EV_RX80FULL 0x0400
#define EV_EVENT1 0x0800
#define EV_EVENT2 0x1000

// EscapeCommFunction.
#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9

// PurgeComm.
#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

// GetCommModemStatus.
#define MS_CTS_ON ((DWORD)0x0010)
#define MS_DSR_ON ((DWORD)0x0020)
#define MS_RING_ON ((DWORD)0x0040)
#define MS_RLSD_ON ((DWORD)0x0080)

// A port's configuration: its DCB and its provider's subtype (PST_*), without provider data.
typedef struct _COMMCONFIG {
    DWORD dwSize;
    WORD wVersion;
    WORD wReserved;
    DCB dcb;
    DWORD dwProviderSubType;
    DWORD dwProviderOffset;
    DWORD dwProviderSize;
    WCHAR wcProviderData[1];
} COMMCONFIG, *LPCOMMCONFIG;
static_assert(sizeof(COMMCONFIG) == 52, "COMMCONFIG layout");

HV_EXTERN_C_BEGIN

HV_API BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
HV_API BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize);
// The configuration a port opens with, kept as the port's entry "COMn:" of the Ports key.
HV_API BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
HV_API BOOL WINAPI SetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, DWORD dwSize);
// The numbers of the machine's COM ports, from SERIALCOMM, ascending. ERROR_SUCCESS,
// ERROR_MORE_DATA (the count still set) or ERROR_FILE_NOT_FOUND (none).
HV_API ULONG WINAPI GetCommPorts(PULONG lpPortNumbers, ULONG uPortNumbersCount, PULONG puPortNumbersFound);
HV_API BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
HV_API BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
HV_API BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
HV_API BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
HV_API BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
HV_API BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
HV_API BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
HV_API BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
HV_API BOOL WINAPI SetCommBreak(HANDLE hFile);
HV_API BOOL WINAPI ClearCommBreak(HANDLE hFile);
HV_API BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
HV_API BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);
HV_API BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
HV_API BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
HV_API BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar);
HV_API BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
// A DCB (and timeouts) from a device-control string in the form of the mode command:
// "baud=9600 parity=N data=8 stop=1 xon=off to=on" or "COM1: 96,n,8,1,p".
HV_API BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB);
HV_API BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB);
HV_API BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts);
HV_API BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts);

HV_EXTERN_C_END
