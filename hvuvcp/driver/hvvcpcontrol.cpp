// The serial control codes of a COM port: the standard codes, the maker's own and the internal
// ones, each checked against its buffer sizes and handed to one operation of the port object.
#include "hvvcpdriver.h"

#include <pmdebugmanager.h>

#include "hvserialioctl.h"
#include "hvuvcptrace.h"
#include "vcp.h"

static const CHAR s_szSourcePath[] = "hvuvcp\\driver\\hvvcpcontrol";


namespace {

// One request as the dispatch hands it to a row's handler, its buffers already checked.
struct HvUVcpRequest {
    PVOID m_pvInput;
    ULONG m_ulInputLength;
    PVOID m_pvOutput;
    ULONG m_ulOutputLength;
    PULONG_PTR m_pulInformation;
    CPmControlQueue** m_ppControlQueue;

    template <class T> const T& In() const { return *static_cast<const T*>(m_pvInput); }
};

typedef NTSTATUS HvUVcpHandler(CVCP* pVCP, const HvUVcpRequest& request);

// One control code: its name, the least input and output it needs, and what serves it.
struct HvUVcpControlRow {
    ULONG m_ulCode;
    PCSTR m_pszName;
    ULONG m_ulMinInput;
    ULONG m_ulMinOutput;
    HvUVcpHandler* m_pfnHandler;
};

// An answer of fixed size into the output buffer.
NTSTATUS Answer(const HvUVcpRequest& request, const void* pvAnswer, ULONG ulSize) {
    RtlCopyMemory(request.m_pvOutput, pvAnswer, ulSize);
    *request.m_pulInformation = ulSize;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerUlong(const HvUVcpRequest& request, ULONG ulValue) { return Answer(request, &ulValue, sizeof(ulValue)); }

// Operations that answer a structure they fill.
template <class T, NTSTATUS (CVCP::*Fill)(T*)> NTSTATUS AnswerFilled(CVCP* pVCP, const HvUVcpRequest& request) {
    T value;
    RtlZeroMemory(&value, sizeof(value));
    NTSTATUS ntStatus = (pVCP->*Fill)(&value);
    return NT_SUCCESS(ntStatus) ? Answer(request, &value, sizeof(value)) : ntStatus;
}

// Operations without arguments.
template <NTSTATUS (CVCP::*Operation)()> NTSTATUS Call(CVCP* pVCP, const HvUVcpRequest&) { return (pVCP->*Operation)(); }

// Operations that take the input structure.
template <class T, NTSTATUS (CVCP::*Operation)(const T*)> NTSTATUS CallWithInput(CVCP* pVCP, const HvUVcpRequest& request) {
    T value;
    RtlCopyMemory(&value, request.m_pvInput, sizeof(value));
    return (pVCP->*Operation)(&value);
}

NTSTATUS NotSupported(CVCP*, const HvUVcpRequest&) { return STATUS_NOT_SUPPORTED; }

NTSTATUS ImmediateChar(CVCP* pVCP, const HvUVcpRequest& r) { return pVCP->m_SendImmediateChar(r.In<UCHAR>()); }
NTSTATUS SetWaitMask(CVCP* pVCP, const HvUVcpRequest& r) { return pVCP->m_SetWaitMask(r.In<ULONG>()); }
NTSTATUS Purge(CVCP* pVCP, const HvUVcpRequest& r) { return pVCP->m_Purge(r.In<ULONG>()); }
NTSTATUS LsrMstInsert(CVCP* pVCP, const HvUVcpRequest& r) { return pVCP->m_SetLsrMstInsert(r.In<UCHAR>()); }
NTSTATUS FifoControl(CVCP* pVCP, const HvUVcpRequest& r) { return pVCP->m_SetFifoControl(r.In<UCHAR>()); }
NTSTATUS SetLoopback(CVCP* pVCP, const HvUVcpRequest&) { return pVCP->m_SetInternalLoopBackMode(1); }
NTSTATUS ClearLoopback(CVCP* pVCP, const HvUVcpRequest&) { return pVCP->m_SetInternalLoopBackMode(0); }

NTSTATUS SetTimeouts(CVCP* pVCP, const HvUVcpRequest& r) {
    NTSTATUS ntStatus = CallWithInput<SERIAL_TIMEOUTS, &CVCP::m_SetTimeouts>(pVCP, r);
    // The stored timeouts go back only into an output that can hold them all.
    if (NT_SUCCESS(ntStatus) && r.m_ulOutputLength >= sizeof(SERIAL_TIMEOUTS) && r.m_pvOutput)
        ntStatus = Answer(r, &pVCP->m_Timeouts, sizeof(SERIAL_TIMEOUTS));
    return ntStatus;
}

NTSTATUS GetTimeouts(CVCP* pVCP, const HvUVcpRequest& r) { return Answer(r, &pVCP->m_Timeouts, sizeof(SERIAL_TIMEOUTS)); }
NTSTATUS GetChars(CVCP* pVCP, const HvUVcpRequest& r) { return Answer(r, &pVCP->m_SpecialChars, sizeof(SERIAL_CHARS)); }
NTSTATUS GetHandFlow(CVCP* pVCP, const HvUVcpRequest& r) { return Answer(r, &pVCP->m_HandFlow, sizeof(SERIAL_HANDFLOW)); }
NTSTATUS GetBaudRate(CVCP* pVCP, const HvUVcpRequest& r) { return AnswerUlong(r, pVCP->m_ulBaudRate); }
NTSTATUS GetModemStatus(CVCP* pVCP, const HvUVcpRequest& r) { return AnswerUlong(r, pVCP->m_GetModemStatus()); }
NTSTATUS GetModemControl(CVCP* pVCP, const HvUVcpRequest& r) { return AnswerUlong(r, pVCP->m_ucModemControl); }
NTSTATUS ConfigSize(CVCP*, const HvUVcpRequest& r) { return AnswerUlong(r, 0); }

NTSTATUS GetDtrRts(CVCP* pVCP, const HvUVcpRequest& r) {
    return AnswerUlong(r, pVCP->m_ucModemControl & (SERIAL_DTR_STATE | SERIAL_RTS_STATE));
}

NTSTATUS GetWaitMask(CVCP* pVCP, const HvUVcpRequest& r) {
    ULONG ulMask = 0;
    NTSTATUS ntStatus = pVCP->m_GetWaitMask(&ulMask);
    return NT_SUCCESS(ntStatus) ? AnswerUlong(r, ulMask) : ntStatus;
}

NTSTATUS WaitOnMask(CVCP* pVCP, const HvUVcpRequest& r) {
    return pVCP->m_WaitOnMask(r.m_pvOutput, r.m_ulOutputLength, r.m_pulInformation, r.m_ppControlQueue);
}

NTSTATUS GetLineControl(CVCP* pVCP, const HvUVcpRequest& r) {
    SERIAL_LINE_CONTROL lineControl;
    lineControl.StopBits = pVCP->m_ucStopBits;
    lineControl.Parity = pVCP->m_ucParity;
    lineControl.WordLength = pVCP->m_ucWordLength;
    return Answer(r, &lineControl, sizeof(lineControl));
}

NTSTATUS GetStats(CVCP* pVCP, const HvUVcpRequest& r) {
    SERIALPERF_STATS stats = pVCP->m_PerfStats;
    NTSTATUS ntStatus = Answer(r, &stats, sizeof(stats));
    PM_TRACE(HVUVCP_TRACE_STATS, "=================== HvUVCP Tx RX Stat ======================");
    PM_TRACE(HVUVCP_TRACE_STATS, "ReceivedCount : %d", stats.ReceivedCount);
    PM_TRACE(HVUVCP_TRACE_STATS, "TransmittedCount : %d", stats.TransmittedCount);
    PM_TRACE(HVUVCP_TRACE_STATS, "FrameErrorCount : %d", stats.FrameErrorCount);
    PM_TRACE(HVUVCP_TRACE_STATS, "SerialOverrunErrorCount : %d", stats.SerialOverrunErrorCount);
    PM_TRACE(HVUVCP_TRACE_STATS, "BufferOverrunErrorCount : %d", stats.BufferOverrunErrorCount);
    PM_TRACE(HVUVCP_TRACE_STATS, "ParityErrorCount : %d", stats.ParityErrorCount);
    return ntStatus;
}

NTSTATUS ClearStats(CVCP* pVCP, const HvUVcpRequest&) {
    pVCP->m_ClearStats();
    return STATUS_SUCCESS;
}

NTSTATUS GetDuplexMode(CVCP* pVCP, const HvUVcpRequest& r) {
    CHvUVcpUserModeInterface* pSettings = pVCP->m_pSettings;
    if (!pSettings) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    HVSERIAL_DUPLEX_MODE duplex;
    RtlZeroMemory(&duplex, sizeof(duplex));
    duplex.DuplexMode = pSettings->m_ulDuplexMode;
    duplex.CtsTrue = pSettings->m_ul422485CtsTrue != 0;
    return Answer(r, &duplex, sizeof(duplex));
}

NTSTATUS SetDuplexMode(CVCP* pVCP, const HvUVcpRequest& r) {
    const HVSERIAL_DUPLEX_MODE& duplex = r.In<HVSERIAL_DUPLEX_MODE>();
    if (duplex.DuplexMode < HVSERIAL_DUPLEX_MODE_FIRST || duplex.DuplexMode > HVSERIAL_DUPLEX_MODE_LAST)
        return STATUS_INVALID_PARAMETER;
    return pVCP->m_SetDuplexMode(duplex.DuplexMode, duplex.CtsTrue);
}

NTSTATUS ReadEeprom(CVCP* pVCP, const HvUVcpRequest& r) {
    HVSERIAL_EEPROM_REQUEST request;
    RtlCopyMemory(&request, r.m_pvInput, sizeof(request));
    if (r.m_ulOutputLength != request.Length)
        return STATUS_BUFFER_TOO_SMALL;
    if (request.Length && !r.m_pvOutput)
        return STATUS_INVALID_PARAMETER;
    // The data comes into a buffer of its own: the request shares the system buffer.
    PUCHAR pucData = static_cast<PUCHAR>(PmAllocateMemory(request.Length ? request.Length : 1, NonPagedPool));
    if (!pucData)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS ntStatus = pVCP->m_ReadEeprom(request.Offset, request.Length, pucData);
    if (NT_SUCCESS(ntStatus)) {
        RtlCopyMemory(r.m_pvOutput, pucData, request.Length);
        *r.m_pulInformation = request.Length;
    }
    PmFreeMemory(pucData);
    return ntStatus;
}

NTSTATUS WriteEeprom(CVCP* pVCP, const HvUVcpRequest& r) {
    const HVSERIAL_EEPROM_REQUEST& request = r.In<HVSERIAL_EEPROM_REQUEST>();
    if ((ULONGLONG)r.m_ulInputLength != sizeof(HVSERIAL_EEPROM_REQUEST) + (ULONGLONG)request.Length ||
        r.m_ulOutputLength != 0)
        return STATUS_BUFFER_TOO_SMALL;
    return pVCP->m_WriteEeprom(request.Offset, request.Length,
                               static_cast<const UCHAR*>(r.m_pvInput) + sizeof(HVSERIAL_EEPROM_REQUEST));
}

#define HVUVCP_ROW(code, in, out, handler) {code, #code, in, out, handler}

const HvUVcpControlRow s_aControlRows[] = {
    HVUVCP_ROW(IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0, (CallWithInput<SERIAL_BAUD_RATE, &CVCP::m_SetBaudRate>)),
    HVUVCP_ROW(IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0, (CallWithInput<SERIAL_QUEUE_SIZE, &CVCP::m_SetQueueSize>)),
    HVUVCP_ROW(IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0,
               (CallWithInput<SERIAL_LINE_CONTROL, &CVCP::m_SetLineControl>)),
    HVUVCP_ROW(IOCTL_SERIAL_SET_BREAK_ON, 0, 0, Call<&CVCP::m_SetBreakOn>),
    HVUVCP_ROW(IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, Call<&CVCP::m_SetBreakOff>),
    HVUVCP_ROW(IOCTL_SERIAL_IMMEDIATE_CHAR, sizeof(UCHAR), 0, ImmediateChar),
    HVUVCP_ROW(IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, SetTimeouts),
    HVUVCP_ROW(IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS), GetTimeouts),
    HVUVCP_ROW(IOCTL_SERIAL_SET_DTR, 0, 0, Call<&CVCP::m_SetDtr>),
    HVUVCP_ROW(IOCTL_SERIAL_CLR_DTR, 0, 0, Call<&CVCP::m_ClearDtr>),
    HVUVCP_ROW(IOCTL_SERIAL_RESET_DEVICE, 0, 0, Call<&CVCP::m_ResetDevice>),
    HVUVCP_ROW(IOCTL_SERIAL_SET_RTS, 0, 0, Call<&CVCP::m_SetRts>),
    HVUVCP_ROW(IOCTL_SERIAL_CLR_RTS, 0, 0, Call<&CVCP::m_ClearRts>),
    HVUVCP_ROW(IOCTL_SERIAL_SET_XOFF, 0, 0, Call<&CVCP::m_SetXoff>),
    HVUVCP_ROW(IOCTL_SERIAL_SET_XON, 0, 0, Call<&CVCP::m_SetXon>),
    HVUVCP_ROW(IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG), GetWaitMask),
    HVUVCP_ROW(IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0, SetWaitMask),
    HVUVCP_ROW(IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG), WaitOnMask),
    HVUVCP_ROW(IOCTL_SERIAL_PURGE, sizeof(ULONG), 0, Purge),
    HVUVCP_ROW(IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE), GetBaudRate),
    HVUVCP_ROW(IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), GetLineControl),
    HVUVCP_ROW(IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS), GetChars),
    HVUVCP_ROW(IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0, (CallWithInput<SERIAL_CHARS, &CVCP::m_SetSpecialCharacters>)),
    HVUVCP_ROW(IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW), GetHandFlow),
    HVUVCP_ROW(IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, (CallWithInput<SERIAL_HANDFLOW, &CVCP::m_SetHandFlow>)),
    HVUVCP_ROW(IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG), GetModemStatus),
    // The one code served in the error-abort state: it ends that state.
    HVUVCP_ROW(IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), (AnswerFilled<SERIAL_STATUS, &CVCP::m_GetCommStatus>)),
    HVUVCP_ROW(IOCTL_SERIAL_XOFF_COUNTER, 0, 0, NotSupported),
    HVUVCP_ROW(IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP),
               (AnswerFilled<SERIAL_COMMPROP, &CVCP::m_GetPortProperties>)),
    HVUVCP_ROW(IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG), GetDtrRts),
    HVUVCP_ROW(IOCTL_SERIAL_LSRMST_INSERT, sizeof(UCHAR), 0, LsrMstInsert),
    HVUVCP_ROW(IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG), ConfigSize),
    HVUVCP_ROW(IOCTL_SERIAL_GET_COMMCONFIG, 0, 0, NotSupported),
    HVUVCP_ROW(IOCTL_SERIAL_SET_COMMCONFIG, 0, 0, NotSupported),
    HVUVCP_ROW(IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS), GetStats),
    HVUVCP_ROW(IOCTL_SERIAL_CLEAR_STATS, 0, 0, ClearStats),
    HVUVCP_ROW(IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG), GetModemControl),
    HVUVCP_ROW(IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0, (CallWithInput<ULONG, &CVCP::m_SetModemControl>)),
    HVUVCP_ROW(IOCTL_SERIAL_SET_FIFO_CONTROL, sizeof(UCHAR), 0, FifoControl),
    // The EEPROM codes check their sizes against the request they carry.
    HVUVCP_ROW(IOCTL_HVSERIAL_GET_DUPLEX_MODE, 0, sizeof(HVSERIAL_DUPLEX_MODE), GetDuplexMode),
    HVUVCP_ROW(IOCTL_HVSERIAL_SET_DUPLEX_MODE, sizeof(HVSERIAL_DUPLEX_MODE), 0, SetDuplexMode),
    HVUVCP_ROW(IOCTL_HVSERIAL_SET_LOOPBACK_MODE, 0, 0, SetLoopback),
    HVUVCP_ROW(IOCTL_HVSERIAL_CLEAR_LOOPBACK_MODE, 0, 0, ClearLoopback),
    HVUVCP_ROW(IOCTL_HVSERIAL_READ_EEPROM, sizeof(HVSERIAL_EEPROM_REQUEST), 0, ReadEeprom),
    HVUVCP_ROW(IOCTL_HVSERIAL_WRITE_EEPROM, sizeof(HVSERIAL_EEPROM_REQUEST) + sizeof(ULONG), 0, WriteEeprom),
};

NTSTATUS RestoreSettings(CVCP* pVCP, const HvUVcpRequest& r) {
    SERIAL_BASIC_SETTINGS saved;
    RtlCopyMemory(&saved, r.m_pvInput, sizeof(saved));
    return pVCP->m_RestoreBasicSettings(&saved);
}

const HvUVcpControlRow s_aInternalRows[] = {
    HVUVCP_ROW(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0, 0, Call<&CVCP::m_DoWaitWake>),
    HVUVCP_ROW(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0, 0, Call<&CVCP::m_CancelWaitWake>),
    HVUVCP_ROW(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0, sizeof(SERIAL_BASIC_SETTINGS),
               (AnswerFilled<SERIAL_BASIC_SETTINGS, &CVCP::m_InternalBasicSettings>)),
    HVUVCP_ROW(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, sizeof(SERIAL_BASIC_SETTINGS), 0, RestoreSettings),
};

template <size_t N> const HvUVcpControlRow* FindRow(const HvUVcpControlRow (&aRows)[N], ULONG ulCode) {
    for (const HvUVcpControlRow& row : aRows)
        if (row.m_ulCode == ulCode)
            return &row;
    return NULL;
}

// The size checks every row shares: a short buffer fails before anything is read or written, a
// missing one where bytes are needed is refused.
NTSTATUS CheckBuffers(const HvUVcpControlRow* pRow, const HvUVcpRequest& request) {
    if (request.m_ulInputLength < pRow->m_ulMinInput || request.m_ulOutputLength < pRow->m_ulMinOutput)
        return STATUS_BUFFER_TOO_SMALL;
    if ((pRow->m_ulMinInput && !request.m_pvInput) || (pRow->m_ulMinOutput && !request.m_pvOutput))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// A request through its row: refused in the error-abort state (unless it may end it), unknown
// codes not supported, sizes checked, then the row's handler.
template <size_t N>
NTSTATUS Dispatch(const HvUVcpControlRow (&aRows)[N], PCSTR pszKind, CVCP* pVCP, ULONG ulCode,
                  const HvUVcpRequest& request) {
    const HvUVcpControlRow* pRow = FindRow(aRows, ulCode);
    if (ulCode != IOCTL_SERIAL_GET_COMMSTATUS && pVCP->m_IsErrorAbortState())
        return STATUS_CANCELLED;
    if (!pRow) {
        PM_TRACE(HVUVCP_TRACE, "%s - IoCode = 0x%08x - NOT SUPPORTED", pszKind, ulCode);
        return STATUS_NOT_SUPPORTED;
    }
    PM_TRACE(HVUVCP_TRACE_CODES, "%s", pRow->m_pszName);
    NTSTATUS ntStatus = CheckBuffers(pRow, request);
    return ntStatus == STATUS_SUCCESS ? pRow->m_pfnHandler(pVCP, request) : ntStatus;
}

} // namespace

NTSTATUS CHvUVCPDriver::m_DeviceControlCallback(CPmDriverClass* pObject, ULONG ulControlCode, PVOID pvInput,
                                                ULONG ulInputLength, PVOID pvOutput, ULONG ulOutputLength,
                                                PULONG_PTR pulInformation, CPmControlQueue** ppControlQueue) {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DeviceControlCallback - IN - IOCTL - 0x%X", ulControlCode);
    *pulInformation = 0;
    NTSTATUS ntStatus = PmPortDriverOf(pObject)->m_DispatchControl(ulControlCode, pvInput, ulInputLength, pvOutput,
                                                                   ulOutputLength, pulInformation, ppControlQueue);
    if (!NT_SUCCESS(ntStatus))
        *pulInformation = 0;
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DeviceControlCallback - OUT - IOCTL - 0x%X (NTSTATUS:0x%X)",
             ulControlCode, ntStatus);
    return ntStatus;
}

NTSTATUS CHvUVCPDriver::m_DispatchControl(ULONG ulCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                                          ULONG ulOutputLength, PULONG_PTR pulInformation,
                                          CPmControlQueue** ppControlQueue) {
    if (!m_bOpened) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DeviceControlCallback - Error: Device is not opened.");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // One use of the port object covers the whole request.
    CVCP* pVCP = m_AcquireVCP();
    if (!pVCP) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DeviceControlCallback - Error - pVCP is NULL.");
        return STATUS_UNSUCCESSFUL;
    }
    const HvUVcpRequest request = {pvInput, ulInputLength, pvOutput, ulOutputLength, pulInformation, ppControlQueue};
    NTSTATUS ntStatus = Dispatch(s_aControlRows, "Device Control", pVCP, ulCode, request);
    m_ReleaseVCP();
    return ntStatus;
}

NTSTATUS CHvUVCPDriver::m_InternalDeviceControlCallback(CPmDriverClass* pObject, ULONG ulControlCode, PVOID pvInput,
                                                        ULONG ulInputLength, PVOID pvOutput, ULONG ulOutputLength,
                                                        PULONG_PTR pulInformation) {
    CHvUVCPDriver* pThis = PmPortDriverOf(pObject);
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_InternalDeviceControlCallback - IN");
    *pulInformation = 0;
    CVCP* pVCP = pThis->m_AcquireVCP();
    if (!pVCP) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_InternalDeviceControlCallback - OUT - Failed because pVCP is NULL.");
        return STATUS_UNSUCCESSFUL;
    }
    const HvUVcpRequest request = {pvInput, ulInputLength, pvOutput, ulOutputLength, pulInformation, NULL};
    // The error-abort state refuses every internal code.
    NTSTATUS ntStatus = pVCP->m_IsErrorAbortState()
                            ? STATUS_CANCELLED
                            : Dispatch(s_aInternalRows, "Device Internal Control", pVCP, ulControlCode, request);
    pThis->m_ReleaseVCP();
    if (!NT_SUCCESS(ntStatus))
        *pulInformation = 0;
    else
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_InternalDeviceControlCallback - OUT - (NTSTATUS:0x%X)", ntStatus);
    return ntStatus;
}
