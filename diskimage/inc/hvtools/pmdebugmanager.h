// The drivers' trace facility: level-filtered software-trace lines, the assertion line, the event-log
// source of the driver and a few naming helpers for log lines.
#pragma once

#include <pmmemorypool.h>
#include <pmspinlock.h>
#include <pmstring.h>

// Event messages of the drivers' message tables ("Halvorn Ltd - (%1).\r\n").
#define PM_EVENT_INFORMATION ((NTSTATUS)0x60070001L)
#define PM_EVENT_WARNING ((NTSTATUS)0xA0070401L)
#define PM_EVENT_ERROR ((NTSTATUS)0xE0070801L)

// The framework's trace levels (a driver names its own above these).
#define PM_TRACE_WORKER_CREATE 0   // worker threads: creation
#define PM_TRACE_DEVICE_WORKER 1   // device workers
#define PM_TRACE_WORKER_INIT 2     // worker threads: start
#define PM_TRACE_DISPATCH_IN 3     // dispatch entries
#define PM_TRACE_DISPATCH_OUT 4    // dispatch exits
#define PM_TRACE_CONTROL_QUEUE 30  // the wait-on-mask queue
#define PM_TRACE_FDO 31            // functional device: construction, create, cleanup, close, removal
#define PM_TRACE_FDO_RESULT 32     // functional device: the outcome of its construction
#define PM_TRACE_FDO_PNP 33        // functional device: Plug and Play
#define PM_TRACE_FDO_POWER 34      // functional device: power
#define PM_TRACE_PDO 35            // physical device: construction, the children
#define PM_TRACE_PDO_RESULT 36     // physical device: the outcome of its construction
#define PM_TRACE_PDO_PNP 37        // physical device: Plug and Play
#define PM_TRACE_PDO_POWER 38      // physical device: power
#define PM_TRACE_READ_COPY 43      // read queue: data copied into reads
#define PM_TRACE_READ_ARRIVAL 55   // read queue: time to take arriving data
#define PM_TRACE_READ_TIMING 56    // read queue: time to complete reads

// Longest format and longest formatted line a trace call accepts.
#define PM_TRACE_MAX_LINE 250
// Longest line of a hex dump.
#define PM_HEXDUMP_MAX_LINE 102
// Message number of the elapsed-time message that ends a hex dump.
#define PM_HEXDUMP_ELAPSED_MESSAGE 65

// The framework's eight software-trace control GUIDs, in registration order, and the GUID its trace
// messages carry.
#define PM_TRACE_CONTROL_GUIDS 8
extern const GUID g_aPmTraceControlGuids[PM_TRACE_CONTROL_GUIDS];
extern const GUID g_PmTraceMessageGuid;
// Enable state of each control GUID, written by the platform when a trace consumer enables one.
extern WPP_TRACE_CONTROL_BLOCK g_aPmTraceControl[PM_TRACE_CONTROL_GUIDS];

// Writes "ASSERT at - <source path> <line>" to the debugger. The caller then fails its operation.
void PmAssertionLine(PCSTR pszSourcePath, ULONG ulLine);
#define PM_ASSERTION_LINE(path) PmAssertionLine((path), __LINE__)

class CPmDebugManager : public CPmObject {
public:
    CPmString m_ServiceKeyPath;
    CPmString m_EventSourceName;
    PVOID m_pDriverObject;
    ULONG m_ulLowestEventCode;
    ULONG m_ulHighestEventCode;
    ULONG m_ulDebugMask;
    ULONG m_ulOperatorDebugMask;
    CPmString m_DriverName;
    CPmSpinLock m_SpinLock;

    // Registers the event-log source named pszEventSourceName, then reads the debug masks from the
    // service key. *pbSuccess is FALSE when the registration or a name copy failed.
    CPmDebugManager(PVOID pDriverObject, PCWSTR pszEventSourceName, PCUNICODE_STRING pServiceKeyPath,
                    BOOLEAN* pbSuccess);
    ~CPmDebugManager() override;

    // Writes one trace line at the given level; nothing when pManager is NULL or nobody listens.
    static void m_Trace(CPmDebugManager* pManager, ULONG ulLevel, PCSTR pszFormat, ...);
    static void m_Hook(PCSTR pszFormat);

    void m_TraceHexDump(ULONG ulLevel, const void* pvData, ULONG ulByteCount, PCSTR pszText);
    // The data alone, in lines that begin "0x".
    void m_HexDump(ULONG ulLevel, const void* pvData, ULONG ulByteCount);
    // The name of a few wait and completion statuses; "STATUS_?????" for any other.
    static PCSTR m_StatusName(NTSTATUS ntStatus);

    // Microseconds since *pllStamp, which becomes now.
    static ULONGLONG m_ElapsedMicroseconds(PLONGLONG pllStamp);
    static PCSTR m_PnpMinorName(ULONG ulMinorCode);

    void m_UnregisterEventSource();

    // TRUE when a line of this level would be sent.
    static BOOLEAN m_IsLevelEnabled(ULONG ulLevel);

    // Software tracing for the driver object (systems with WDM 1.20), or per device object before.
    static NTSTATUS m_InitializeDriverTracing(PVOID pDriverObject, PCUNICODE_STRING pRegistryPath);
    static NTSTATUS m_InitializeDeviceTracing(PVOID pDeviceObject, PCUNICODE_STRING pRegistryPath);
    static void m_CleanupTracing(PVOID pDriverOrDeviceObject);

private:
    BOOLEAN m_RegisterEventSource();
    void m_TraceHexLines(ULONG ulLevel, PCSTR pszHeading, const void* pvData, ULONG ulByteCount);
};

// The driver's manager, created in DriverEntry right after the memory pool.
extern CPmDebugManager* g_pPmDebugManager;
// LogLevel of the service key, as admitted at registration.
extern ULONG g_ulPmLogLevel;
// Performance-counter stamp of the last elapsed-time measure.
extern LONGLONG g_llPmElapsedStamp;

#define PM_TRACE(level, ...) CPmDebugManager::m_Trace(g_pPmDebugManager, (level), __VA_ARGS__)
