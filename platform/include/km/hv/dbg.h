// Dbg: debugger output, break points and assertions; software tracing (WmiTraceMessage and the
// registration of a driver's trace control GUIDs).
//
//   DbgPrint DbgPrintEx vDbgPrintEx vDbgPrintExWithPrefix DbgBreakPoint KdPrint KdPrintEx
//   KdBreakPoint ASSERT ASSERTMSG NT_ASSERT WmiTraceMessage WmiTraceMessageVa
//   WppInitDriverTracing WppInitDeviceTracing WppCleanupTracing WppTraceControl
//
// Debugger output goes to the machine's debugger log (format: see hv_wchar.h; at most 512 bytes
// per call, as on Windows). A break point is counted and logged and the machine goes on.
// ASSERT is active in every build: a failed assertion logs and breaks.
#pragma once

#include <ntdef.h>
#include <hv/rtl.h>

#include <stdarg.h>

// DbgPrintEx component ids and levels.
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000
#define DPFLTR_SYSTEM_ID 0
#define DPFLTR_SERIAL_ID 37
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_IHVBUS_ID 79
#define DPFLTR_DEFAULT_ID 101

// Software tracing.
typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;

// WmiTraceMessage flags: what the platform adds to each message.
#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO 32
#define TRACE_MESSAGE_FLAG_MASK 0xFFFF

// Trace levels a consumer may ask for.
#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

// One trace control GUID of a driver. The driver keeps an array of these (one per control GUID),
// registers it at tracing initialisation, and tests Logger and Flags before each message; the
// platform writes them whenever a trace consumer enables or disables the GUID (Logger 0 while
// disabled).
typedef struct _WPP_TRACE_CONTROL_BLOCK {
    const GUID* ControlGuid;
    volatile TRACEHANDLE Logger;
    volatile ULONG Flags;
    volatile UCHAR Level;
} WPP_TRACE_CONTROL_BLOCK, *PWPP_TRACE_CONTROL_BLOCK;

HV_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Debugger output.
HV_API ULONG DbgPrint(PCSTR Format, ...);
HV_API ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
HV_API ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
HV_API ULONG vDbgPrintExWithPrefix(PCSTR Prefix, ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
HV_API VOID DbgBreakPoint(void);

// ---------------------------------------------------------------------------------------------
// Software-trace messages. The arguments after MessageNumber are pairs (PVOID data, SIZE_T
// length), ended by a NULL pointer; the length must be passed as a SIZE_T. A logger handle that
// no consumer gave out: STATUS_INVALID_HANDLE. More than 64 KB of arguments:
// STATUS_INVALID_BUFFER_SIZE.
HV_API NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                USHORT MessageNumber, ...);
HV_API NTSTATUS WmiTraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                  USHORT MessageNumber, va_list MessageArgList);

// Tracing initialisation. WppInitDriverTracing: for a driver object (systems with WDM 1.20); an
// enable or disable is written into the blocks directly. WppInitDeviceTracing: for a device object
// (older systems); an enable or disable arrives as an IRP_MJ_SYSTEM_CONTROL request (IRP_MN_
// ENABLE_EVENTS / IRP_MN_DISABLE_EVENTS whose buffer is a WNODE_HEADER with the control GUID and
// the logger handle in HistoricalContext), which the driver hands to WppTraceControl. GUIDs that a
// consumer enabled before the registration take effect at once. The blocks must stay valid until
// WppCleanupTracing. STATUS_OBJECT_NAME_COLLISION when the object is registered already.
HV_API NTSTATUS WppInitDriverTracing(PVOID DriverObject, PCUNICODE_STRING RegistryPath,
                                     PWPP_TRACE_CONTROL_BLOCK Blocks, ULONG Count);
HV_API NTSTATUS WppInitDeviceTracing(PVOID DeviceObject, PCUNICODE_STRING RegistryPath,
                                     PWPP_TRACE_CONTROL_BLOCK Blocks, ULONG Count);
// Clears every block's logger and flags and forgets the registration.
HV_API VOID WppCleanupTracing(PVOID DriverOrDeviceObject);
// The tracing control handler for the device-object registration: answers IRP_MN_ENABLE_EVENTS
// and IRP_MN_DISABLE_EVENTS for one of the registration's control GUIDs (STATUS_SUCCESS, return
// size 0). Another minor code or GUID: STATUS_INVALID_DEVICE_REQUEST; a buffer shorter than a
// WNODE_HEADER: STATUS_BUFFER_TOO_SMALL; an object that is not registered: STATUS_INVALID_PARAMETER.
HV_API NTSTATUS WppTraceControl(PVOID DeviceObject, UCHAR MinorFunction, PVOID Buffer, ULONG BufferSize,
                                PULONG ReturnSize);

HV_EXTERN_C_END

#define KdPrint(args) DbgPrint args
#define KdPrintEx(args) DbgPrintEx args
#define KdBreakPoint() DbgBreakPoint()

#define ASSERT(exp) ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)), FALSE) : TRUE)
#define NT_ASSERT(exp) ASSERT(exp)
#define NT_VERIFY(exp) ASSERT(exp)
