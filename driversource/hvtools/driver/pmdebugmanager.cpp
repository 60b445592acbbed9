// Debug manager: level-filtered trace lines, the assertion line and the driver's event-log source.
#include <pmdebugmanager.h>
#include <pmregistry.h>

#include <ntstrsafe.h>

static const CHAR s_szSourcePath[] = "driversource\\hvtools\\driver\\pmdebugmanager";

CPmDebugManager* g_pPmDebugManager = NULL;
ULONG g_ulPmLogLevel = 0;
LONGLONG g_llPmElapsedStamp = 0;

const GUID g_aPmTraceControlGuids[PM_TRACE_CONTROL_GUIDS] = {
    {0x0D3F9E62, 0xA7B5, 0x4C18, {0x9E, 0x40, 0x6B, 0x2A, 0x81, 0xC7, 0xF5, 0x39}},
    {0x8A61C0D5, 0x3E92, 0x4F7B, {0xB1, 0xD8, 0x4E, 0x07, 0xA5, 0x3C, 0x92, 0xF6}},
    {0x4C9B2F70, 0xE1A6, 0x4D35, {0xA8, 0xF3, 0x97, 0xC6, 0xE2, 0x0B, 0x15, 0xD8}},
    {0xD25E84A1, 0x6F3C, 0x4B97, {0x8D, 0x02, 0x3A, 0x1F, 0x95, 0xE6, 0xC7, 0xB4}},
    {0x69F0A3C8, 0xB4D2, 0x4E51, {0x9A, 0x76, 0xC1, 0x8E, 0x2F, 0x0D, 0x43, 0xB9}},
    {0xA3D76E14, 0x0C5B, 0x4F29, {0xB8, 0xE1, 0x6F, 0x94, 0xD2, 0xA0, 0x7C, 0x35}},
    {0x1B48C9F6, 0x72E3, 0x4A0D, {0x95, 0xBC, 0xE3, 0xD0, 0x6A, 0x81, 0xF2, 0x7C}},
    {0xF5C2087B, 0x4D19, 0x4E6A, {0xA3, 0xF0, 0x8B, 0x52, 0xC7, 0xE9, 0xD6, 0x14}},
};

const GUID g_PmTraceMessageGuid = {0x5AA2B709, 0xE56D, 0x49BE, {0x8F, 0x61, 0xFD, 0x05, 0x5B, 0xFF, 0x40, 0xAB}};

WPP_TRACE_CONTROL_BLOCK g_aPmTraceControl[PM_TRACE_CONTROL_GUIDS] = {
    {&g_aPmTraceControlGuids[0], 0, 0, 0}, {&g_aPmTraceControlGuids[1], 0, 0, 0},
    {&g_aPmTraceControlGuids[2], 0, 0, 0}, {&g_aPmTraceControlGuids[3], 0, 0, 0},
    {&g_aPmTraceControlGuids[4], 0, 0, 0}, {&g_aPmTraceControlGuids[5], 0, 0, 0},
    {&g_aPmTraceControlGuids[6], 0, 0, 0}, {&g_aPmTraceControlGuids[7], 0, 0, 0},
};

// Message flags of every line: sequence, GUID, time stamp and system information.
static const ULONG s_ulTraceMessageFlags =
    TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;

// The control GUID (0-based) and flag that a level stands for; FALSE for a level without one.
static BOOLEAN PmTraceFlagOfLevel(ULONG ulLevel, PULONG pulGuid, PULONG pulFlag) {
    struct LevelRange {
        ULONG ulFirst, ulLast, ulGuid;
    };
    static const LevelRange s_aRanges[] = {
        {0, 0, 0}, {1, 2, 1}, {3, 4, 2}, {5, 6, 3}, {7, 30, 4}, {31, 34, 5}, {35, 38, 6}, {39, 54, 7},
    };
    if (ulLevel == 55 || ulLevel == 56)
        ulLevel = 17;
    for (const LevelRange& range : s_aRanges) {
        if (ulLevel >= range.ulFirst && ulLevel <= range.ulLast) {
            *pulGuid = range.ulGuid;
            *pulFlag = 1u << (ulLevel - range.ulFirst);
            return TRUE;
        }
    }
    return FALSE;
}

static BOOLEAN PmTraceEnabled(ULONG ulGuid, ULONG ulFlag) {
    const WPP_TRACE_CONTROL_BLOCK& block = g_aPmTraceControl[ulGuid];
    return block.Logger != 0 && (block.Flags & ulFlag) != 0;
}

void PmAssertionLine(PCSTR pszSourcePath, ULONG ulLine) { DbgPrint("ASSERT at - %s %d\n", pszSourcePath, ulLine); }

BOOLEAN CPmDebugManager::m_IsLevelEnabled(ULONG ulLevel) {
    ULONG ulGuid, ulFlag;
    return PmTraceFlagOfLevel(ulLevel, &ulGuid, &ulFlag) && PmTraceEnabled(ulGuid, ulFlag);
}

void CPmDebugManager::m_Trace(CPmDebugManager* pManager, ULONG ulLevel, PCSTR pszFormat, ...) {
    if (!pManager)
        return;
    if (ulLevel == 55 || ulLevel == 56)
        ulLevel = 17;
    ULONG ulGuid, ulFlag;
    if (!PmTraceFlagOfLevel(ulLevel, &ulGuid, &ulFlag)) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return;
    }
    if (!PmTraceEnabled(ulGuid, ulFlag))
        return;
    size_t cchFormat = 0;
    if (!pszFormat || !NT_SUCCESS(RtlStringCchLengthA(pszFormat, PM_TRACE_MAX_LINE + 1, &cchFormat))) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return;
    }
    CHAR szLine[256];
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS ntStatus = RtlStringCbVPrintfA(szLine, sizeof(szLine), pszFormat, args);
    va_end(args);
    size_t cchLine = 0;
    if (!NT_SUCCESS(ntStatus) || !NT_SUCCESS(RtlStringCchLengthA(szLine, PM_TRACE_MAX_LINE + 1, &cchLine))) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return;
    }
    WmiTraceMessage(g_aPmTraceControl[ulGuid].Logger, s_ulTraceMessageFlags, &g_PmTraceMessageGuid,
                    (USHORT)(ulLevel + 10), szLine, (SIZE_T)(cchLine + 1), NULL);
    m_Hook(pszFormat);
}

void CPmDebugManager::m_Hook(PCSTR pszFormat) {}

// Dump lines of at most PM_HEXDUMP_MAX_LINE characters: the heading, then two hex digits and a
// blank per byte, a byte only while at least 4 characters of room remain; continuation lines hold
// hex pairs only.
void CPmDebugManager::m_TraceHexLines(ULONG ulLevel, PCSTR pszHeading, const void* pvData, ULONG ulByteCount) {
    static const CHAR s_szHex[] = "0123456789ABCDEF";
    const UCHAR* pucData = static_cast<const UCHAR*>(pvData);
    CHAR szLine[PM_HEXDUMP_MAX_LINE + 1];
    NTSTATUS ntStatus = RtlStringCbPrintfA(szLine, sizeof(szLine), "%s", pszHeading);
    size_t cchLine = 0;
    RtlStringCchLengthA(szLine, sizeof(szLine), &cchLine);
    if (!NT_SUCCESS(ntStatus) || (ulByteCount && PM_HEXDUMP_MAX_LINE - cchLine < 4)) {
        // The heading leaves no room for a byte.
        PM_ASSERTION_LINE(s_szSourcePath);
        return;
    }
    for (ULONG ulIndex = 0; ulIndex < ulByteCount; ++ulIndex) {
        if (PM_HEXDUMP_MAX_LINE - cchLine < 4) {
            m_Trace(this, ulLevel, "%s", szLine);
            cchLine = 0;
        }
        szLine[cchLine++] = s_szHex[pucData[ulIndex] >> 4];
        szLine[cchLine++] = s_szHex[pucData[ulIndex] & 0xF];
        szLine[cchLine++] = ' ';
        szLine[cchLine] = '\0';
    }
    m_Trace(this, ulLevel, "%s", szLine);
}

void CPmDebugManager::m_TraceHexDump(ULONG ulLevel, const void* pvData, ULONG ulByteCount, PCSTR pszText) {
    m_ElapsedMicroseconds(&g_llPmElapsedStamp);
    if (m_IsLevelEnabled(ulLevel)) {
        CHAR szHeading[PM_HEXDUMP_MAX_LINE + 1];
        if (!NT_SUCCESS(RtlStringCbPrintfA(szHeading, sizeof(szHeading), "%s - 0x", pszText ? pszText : "")))
            PM_ASSERTION_LINE(s_szSourcePath);
        else
            m_TraceHexLines(ulLevel, szHeading, pvData, ulByteCount);
    }
    ULONG ulGuid, ulFlag;
    if (PmTraceFlagOfLevel(17, &ulGuid, &ulFlag) && PmTraceEnabled(ulGuid, ulFlag)) {
        ULONG ulMicroseconds = (ULONG)m_ElapsedMicroseconds(&g_llPmElapsedStamp);
        WmiTraceMessage(g_aPmTraceControl[ulGuid].Logger, s_ulTraceMessageFlags, &g_PmTraceMessageGuid,
                        PM_HEXDUMP_ELAPSED_MESSAGE, &ulMicroseconds, (SIZE_T)sizeof(ulMicroseconds), NULL);
    }
}

ULONGLONG CPmDebugManager::m_ElapsedMicroseconds(PLONGLONG pllStamp) {
    LARGE_INTEGER liFrequency;
    LARGE_INTEGER liNow = KeQueryPerformanceCounter(&liFrequency);
    LONGLONG llElapsed = liNow.QuadPart - *pllStamp;
    *pllStamp = liNow.QuadPart;
    if (llElapsed <= 0 || liFrequency.QuadPart <= 0)
        return 0;
    // Split so that the multiplication cannot overflow.
    ULONGLONG ullTicks = (ULONGLONG)llElapsed;
    ULONGLONG ullFrequency = (ULONGLONG)liFrequency.QuadPart;
    return ullTicks / ullFrequency * 1000000 + ullTicks % ullFrequency * 1000000 / ullFrequency;
}

PCSTR CPmDebugManager::m_PnpMinorName(ULONG ulMinorCode) {
    static PCSTR const s_apszNames[] = {
        "IRP_MN_START_DEVICE",
        "IRP_MN_QUERY_REMOVE_DEVICE",
        "IRP_MN_REMOVE_DEVICE",
        "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE",
        "IRP_MN_QUERY_STOP_DEVICE",
        "IRP_MN_CANCEL_STOP_DEVICE",
        "IRP_MN_QUERY_DEVICE_RELATIONS",
        "IRP_MN_QUERY_INTERFACE",
        "IRP_MN_QUERY_CAPABILITIES",
        "IRP_MN_QUERY_RESOURCES",
        "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
        "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
        "IRP_MN_?????",
        "IRP_MN_READ_CONFIG",
        "IRP_MN_WRITE_CONFIG",
        "IRP_MN_EJECT",
        "IRP_MN_SET_LOCK",
        "IRP_MN_QUERY_ID",
        "IRP_MN_QUERY_PNP_DEVICE_STATE",
        "IRP_MN_QUERY_BUS_INFORMATION",
        "IRP_MN_DEVICE_USAGE_NOTIFICATION",
        "IRP_MN_SURPRISE_REMOVAL",
    };
    return ulMinorCode < RTL_NUMBER_OF(s_apszNames) ? s_apszNames[ulMinorCode] : "IRP_MN_?????";
}

NTSTATUS CPmDebugManager::m_InitializeDriverTracing(PVOID pDriverObject, PCUNICODE_STRING pRegistryPath) {
    return WppInitDriverTracing(pDriverObject, pRegistryPath, g_aPmTraceControl, PM_TRACE_CONTROL_GUIDS);
}

NTSTATUS CPmDebugManager::m_InitializeDeviceTracing(PVOID pDeviceObject, PCUNICODE_STRING pRegistryPath) {
    return WppInitDeviceTracing(pDeviceObject, pRegistryPath, g_aPmTraceControl, PM_TRACE_CONTROL_GUIDS);
}

void CPmDebugManager::m_CleanupTracing(PVOID pDriverOrDeviceObject) { WppCleanupTracing(pDriverOrDeviceObject); }

CPmDebugManager::CPmDebugManager(PVOID pDriverObject, PCWSTR pszEventSourceName, PCUNICODE_STRING pServiceKeyPath,
                                 BOOLEAN* pbSuccess)
    : m_ServiceKeyPath(NonPagedPool), m_EventSourceName(NonPagedPool), m_pDriverObject(pDriverObject),
      m_ulLowestEventCode(0), m_ulHighestEventCode(0), m_ulDebugMask(0), m_ulOperatorDebugMask(0),
      m_DriverName(NonPagedPool) {
    BOOLEAN bSuccess = pszEventSourceName && *pszEventSourceName && pServiceKeyPath &&
                       NT_SUCCESS(m_ServiceKeyPath.m_AssignUnicodeString(pServiceKeyPath)) &&
                       !m_ServiceKeyPath.m_IsEmpty() && NT_SUCCESS(m_EventSourceName.m_Assign(pszEventSourceName)) &&
                       m_RegisterEventSource();
    if (bSuccess) {
        if (!CPmRegistry::m_ReadDword(m_ServiceKeyPath.m_GetUnicodeString(), u"DebugMask", &m_ulDebugMask))
            m_ulDebugMask = 0;
        if (!CPmRegistry::m_ReadDword(m_ServiceKeyPath.m_GetUnicodeString(), u"OperatorDebugMask",
                                      &m_ulOperatorDebugMask))
            m_ulOperatorDebugMask = 0;
        bSuccess = NT_SUCCESS(m_DriverName.m_Assign(pszEventSourceName));
    }
    if (pbSuccess)
        *pbSuccess = bSuccess;
}

CPmDebugManager::~CPmDebugManager() {}

BOOLEAN CPmDebugManager::m_RegisterEventSource() {
    ULONG ulLogLevel = 0;
    if (!CPmRegistry::m_ReadDword(m_ServiceKeyPath.m_GetUnicodeString(), u"LogLevel", &ulLogLevel) ||
        ulLogLevel > 3) {
        ulLogLevel = 1;
        if (!CPmRegistry::m_WriteDword(PM_REGISTRY_ABSOLUTE, m_ServiceKeyPath.m_GetText(), u"LogLevel", ulLogLevel))
            return FALSE;
    }
    g_ulPmLogLevel = ulLogLevel;
    static const ULONG s_aulLowest[] = {0, 2048, 1024, 1};
    m_ulLowestEventCode = s_aulLowest[ulLogLevel];
    m_ulHighestEventCode = ulLogLevel ? 2815 : 0;

    CPmString key(NonPagedPool, u"EventLog\\System\\");
    if (!NT_SUCCESS(key.m_AppendString(m_EventSourceName)) || !CPmRegistry::m_CreateKey(key.m_GetText()))
        return FALSE;
    CPmString messageFile(NonPagedPool, u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\");
    if (!NT_SUCCESS(messageFile.m_AppendString(m_EventSourceName)) || !NT_SUCCESS(messageFile.m_Append(u".sys")))
        return FALSE;
    return CPmRegistry::m_WriteString(PM_REGISTRY_SERVICES, key.m_GetText(), u"EventMessageFile", messageFile,
                                      REG_EXPAND_SZ) &&
           CPmRegistry::m_WriteDword(PM_REGISTRY_SERVICES, key.m_GetText(), u"TypesSupported", 7);
}

void CPmDebugManager::m_UnregisterEventSource() {
    CPmString key(NonPagedPool, u"\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\");
    HANDLE hKey;
    if (!m_EventSourceName.m_IsEmpty() && NT_SUCCESS(key.m_AppendString(m_EventSourceName)) &&
        CPmRegistry::m_OpenPath(key.m_GetUnicodeString(), &hKey, KEY_ALL_ACCESS, FALSE)) {
        ZwDeleteKey(hKey);
        ZwClose(hKey);
    }
    m_ServiceKeyPath.m_Empty();
    m_EventSourceName.m_Empty();
}

void CPmDebugManager::m_HexDump(ULONG ulLevel, const void* pvData, ULONG ulByteCount) {
    if (m_IsLevelEnabled(ulLevel))
        m_TraceHexLines(ulLevel, "0x", pvData, ulByteCount);
}

PCSTR CPmDebugManager::m_StatusName(NTSTATUS ntStatus) {
    switch ((ULONG)ntStatus) {
    case 0x00000000:
        return "STATUS_SUCCESS";
    case 0x00000001:
        return "STATUS_WAIT_1";
    case 0x00000002:
        return "STATUS_WAIT_2";
    case 0x00000003:
        return "STATUS_WAIT_3";
    case 0x00000101:
        return "STATUS_ALERTED";
    case 0x00000102:
        return "STATUS_TIMEOUT";
    case 0x00000103:
        return "STATUS_PENDING";
    case 0xC0000001:
        return "STATUS_UNSUCCESSFUL";
    }
    return "STATUS_?????";
}
