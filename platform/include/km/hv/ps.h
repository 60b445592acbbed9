// Ps: system threads.
#pragma once

#include <ntdef.h>
#include <hv/ke.h>
#include <hv/ob.h>

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define THREAD_TERMINATE 0x0001
#define THREAD_SUSPEND_RESUME 0x0002
#define THREAD_GET_CONTEXT 0x0008
#define THREAD_SET_CONTEXT 0x0010
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_SET_INFORMATION 0x0020
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()

HV_EXTERN_C_BEGIN

HV_API POBJECT_TYPE* PsThreadType;

// Starts StartRoutine on a new system thread at PASSIVE_LEVEL. ProcessHandle must be NULL or
// NtCurrentProcess(). The routine must return (or call PsTerminateSystemThread) at PASSIVE_LEVEL.
HV_API NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                     PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
// Ends the calling system thread; returns STATUS_INVALID_PARAMETER on any other thread.
HV_API NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
HV_API PETHREAD PsGetCurrentThread(void);
HV_API HANDLE PsGetCurrentThreadId(void);
HV_API HANDLE PsGetThreadId(PETHREAD Thread);
HV_API BOOLEAN PsIsSystemThread(PETHREAD Thread);

HV_EXTERN_C_END
