// The serial control codes of a COM port: the standard codes, the maker's own and the internal
// ones, each checked against its buffer sizes and handed to one operation of the port object.
#include "hvvcpdriver.h"

#include <pmdebugmanager.h>

#include "hvserialioctl.h"
#include "hvuvcptrace.h"
#include "vcp.h"

static const CHAR s_szSourcePath[] = "hvuvcp\\driver\\hvvcpcontrol";


namespace {

// One control code: its name and the least input and output it needs.
struct HvUVcpControlRow {
    ULONG m_ulCode;
    PCSTR m_pszName;
    ULONG m_ulMinInput;
    ULONG m_ulMinOutput;
};

#define HVUVCP_ROW(code, in, out) {code, #code, in, out}

const HvUVcpControlRow s_aControlRows[] = {
    HVUVCP_ROW(IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_BREAK_ON, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_BREAK_OFF, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_IMMEDIATE_CHAR, sizeof(UCHAR), 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0),
    HVUVCP_ROW(IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS)),
    HVUVCP_ROW(IOCTL_SERIAL_SET_DTR, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_CLR_DTR, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_RESET_DEVICE, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_RTS, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_CLR_RTS, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_XOFF, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_XON, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG)),
    HVUVCP_ROW(IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0),
    HVUVCP_ROW(IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG)),
    HVUVCP_ROW(IOCTL_SERIAL_PURGE, sizeof(ULONG), 0),
    HVUVCP_ROW(IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE)),
    HVUVCP_ROW(IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL)),
    HVUVCP_ROW(IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS)),
    HVUVCP_ROW(IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0),
    HVUVCP_ROW(IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW)),
    HVUVCP_ROW(IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0),
    HVUVCP_ROW(IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG)),
    HVUVCP_ROW(IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)),
    HVUVCP_ROW(IOCTL_SERIAL_XOFF_COUNTER, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP)),
    HVUVCP_ROW(IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG)),
    HVUVCP_ROW(IOCTL_SERIAL_LSRMST_INSERT, sizeof(UCHAR), 0),
    HVUVCP_ROW(IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG)),
    HVUVCP_ROW(IOCTL_SERIAL_GET_COMMCONFIG, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_COMMCONFIG, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS)),
    HVUVCP_ROW(IOCTL_SERIAL_CLEAR_STATS, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG)),
    HVUVCP_ROW(IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0),
    HVUVCP_ROW(IOCTL_SERIAL_SET_FIFO_CONTROL, sizeof(UCHAR), 0),
    // The EEPROM codes check their sizes against the request they carry.
    HVUVCP_ROW(IOCTL_HVSERIAL_GET_DUPLEX_MODE, 0, sizeof(HVSERIAL_DUPLEX_MODE)),
    HVUVCP_ROW(IOCTL_HVSERIAL_SET_DUPLEX_MODE, sizeof(HVSERIAL_DUPLEX_MODE), 0),
    HVUVCP_ROW(IOCTL_HVSERIAL_SET_LOOPBACK_MODE, 0, 0),
    HVUVCP_ROW(IOCTL_HVSERIAL_CLEAR_LOOPBACK_MODE, 0, 0),
    HVUVCP_ROW(IOCTL_HVSERIAL_READ_EEPROM, sizeof(HVSERIAL_EEPROM_REQUEST), 0),
    HVUVCP_ROW(IOCTL_HVSERIAL_WRITE_EEPROM, sizeof(HVSERIAL_EEPROM_REQUEST) + sizeof(ULONG), 0),
};

const HvUVcpControlRow s_aInternalRows[] = {
    HVUVCP_ROW(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0, 0),
    HVUVCP_ROW(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0, sizeof(SERIAL_BASIC_SETTINGS)),
    HVUVCP_ROW(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, sizeof(SERIAL_BASIC_SETTINGS), 0),
};

template <size_t N> const HvUVcpControlRow* FindRow(const HvUVcpControlRow (&aRows)[N], ULONG ulCode) {
    for (const HvUVcpControlRow& row : aRows)
        if (row.m_ulCode == ulCode)
            return &row;
    return NULL;
}

// The size checks every row shares: a short buffer fails before anything is read or written, a
// missing one where bytes are needed is refused.
NTSTATUS CheckBuffers(const HvUVcpControlRow* pRow, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                      ULONG ulOutputLength) {
    if (ulInputLength < pRow->m_ulMinInput || ulOutputLength < pRow->m_ulMinOutput)
        return STATUS_BUFFER_TOO_SMALL;
    if ((pRow->m_ulMinInput && !pvInput) || (pRow->m_ulMinOutput && !pvOutput))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// An answer of fixed size into the output buffer.
NTSTATUS Answer(PVOID pvOutput, const void* pvAnswer, ULONG ulSize, PULONG_PTR pulInformation) {
    RtlCopyMemory(pvOutput, pvAnswer, ulSize);
    *pulInformation = ulSize;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerUlong(PVOID pvOutput, ULONG ulValue, PULONG_PTR pulInformation) {
    return Answer(pvOutput, &ulValue, sizeof(ulValue), pulInformation);
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
    NTSTATUS ntStatus;
    const HvUVcpControlRow* pRow = FindRow(s_aControlRows, ulCode);
    if (ulCode != IOCTL_SERIAL_GET_COMMSTATUS && pVCP->m_IsErrorAbortState()) {
        ntStatus = STATUS_CANCELLED;
    } else if (!pRow) {
        PM_TRACE(HVUVCP_TRACE, "Device Control - IoCode = 0x%08x - NOT SUPPORTED", ulCode);
        ntStatus = STATUS_NOT_SUPPORTED;
    } else {
        PM_TRACE(HVUVCP_TRACE_CODES, "%s", pRow->m_pszName);
        ntStatus = CheckBuffers(pRow, pvInput, ulInputLength, pvOutput, ulOutputLength);
    }
    if (ntStatus != STATUS_SUCCESS) {
        m_ReleaseVCP();
        return ntStatus;
    }

    switch (ulCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        ntStatus = pVCP->m_SetBaudRate(static_cast<const SERIAL_BAUD_RATE*>(pvInput));
        break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        ntStatus = pVCP->m_SetQueueSize(static_cast<const SERIAL_QUEUE_SIZE*>(pvInput));
        break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        ntStatus = pVCP->m_SetLineControl(static_cast<const SERIAL_LINE_CONTROL*>(pvInput));
        break;
    case IOCTL_SERIAL_SET_BREAK_ON:
        ntStatus = pVCP->m_SetBreakOn();
        break;
    case IOCTL_SERIAL_SET_BREAK_OFF:
        ntStatus = pVCP->m_SetBreakOff();
        break;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        ntStatus = pVCP->m_SendImmediateChar(*static_cast<const UCHAR*>(pvInput));
        break;
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        SERIAL_TIMEOUTS timeouts;
        RtlCopyMemory(&timeouts, pvInput, sizeof(timeouts));
        ntStatus = pVCP->m_SetTimeouts(&timeouts);
        // The stored timeouts go back only into an output that can hold them all.
        if (NT_SUCCESS(ntStatus) && ulOutputLength >= sizeof(SERIAL_TIMEOUTS) && pvOutput)
            ntStatus = Answer(pvOutput, &pVCP->m_Timeouts, sizeof(SERIAL_TIMEOUTS), pulInformation);
        break;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS:
        ntStatus = Answer(pvOutput, &pVCP->m_Timeouts, sizeof(SERIAL_TIMEOUTS), pulInformation);
        break;
    case IOCTL_SERIAL_SET_DTR:
        ntStatus = pVCP->m_SetDtr();
        break;
    case IOCTL_SERIAL_CLR_DTR:
        ntStatus = pVCP->m_ClearDtr();
        break;
    case IOCTL_SERIAL_RESET_DEVICE:
        ntStatus = pVCP->m_ResetDevice();
        break;
    case IOCTL_SERIAL_SET_RTS:
        ntStatus = pVCP->m_SetRts();
        break;
    case IOCTL_SERIAL_CLR_RTS:
        ntStatus = pVCP->m_ClearRts();
        break;
    case IOCTL_SERIAL_SET_XOFF:
        ntStatus = pVCP->m_SetXoff();
        break;
    case IOCTL_SERIAL_SET_XON:
        ntStatus = pVCP->m_SetXon();
        break;
    case IOCTL_SERIAL_GET_WAIT_MASK: {
        ULONG ulMask = 0;
        ntStatus = pVCP->m_GetWaitMask(&ulMask);
        if (NT_SUCCESS(ntStatus))
            ntStatus = AnswerUlong(pvOutput, ulMask, pulInformation);
        break;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK:
        ntStatus = pVCP->m_SetWaitMask(*static_cast<const ULONG*>(pvInput));
        break;
    case IOCTL_SERIAL_WAIT_ON_MASK:
        ntStatus = pVCP->m_WaitOnMask(pvOutput, ulOutputLength, pulInformation, ppControlQueue);
        break;
    case IOCTL_SERIAL_PURGE:
        ntStatus = pVCP->m_Purge(*static_cast<const ULONG*>(pvInput));
        break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        ntStatus = AnswerUlong(pvOutput, pVCP->m_ulBaudRate, pulInformation);
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL lineControl;
        lineControl.StopBits = pVCP->m_ucStopBits;
        lineControl.Parity = pVCP->m_ucParity;
        lineControl.WordLength = pVCP->m_ucWordLength;
        ntStatus = Answer(pvOutput, &lineControl, sizeof(lineControl), pulInformation);
        break;
    }
    case IOCTL_SERIAL_GET_CHARS:
        ntStatus = Answer(pvOutput, &pVCP->m_SpecialChars, sizeof(SERIAL_CHARS), pulInformation);
        break;
    case IOCTL_SERIAL_SET_CHARS:
        ntStatus = pVCP->m_SetSpecialCharacters(static_cast<const SERIAL_CHARS*>(pvInput));
        break;
    case IOCTL_SERIAL_GET_HANDFLOW:
        ntStatus = Answer(pvOutput, &pVCP->m_HandFlow, sizeof(SERIAL_HANDFLOW), pulInformation);
        break;
    case IOCTL_SERIAL_SET_HANDFLOW:
        ntStatus = pVCP->m_SetHandFlow(static_cast<const SERIAL_HANDFLOW*>(pvInput));
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        ntStatus = AnswerUlong(pvOutput, pVCP->m_GetModemStatus(), pulInformation);
        break;
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        // The one code served in the error-abort state: it ends that state.
        SERIAL_STATUS status;
        RtlZeroMemory(&status, sizeof(status));
        ntStatus = pVCP->m_GetCommStatus(&status);
        if (NT_SUCCESS(ntStatus))
            ntStatus = Answer(pvOutput, &status, sizeof(status), pulInformation);
        break;
    }
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_SET_COMMCONFIG:
        ntStatus = STATUS_NOT_SUPPORTED;
        break;
    case IOCTL_SERIAL_GET_PROPERTIES: {
        SERIAL_COMMPROP properties;
        RtlZeroMemory(&properties, sizeof(properties));
        ntStatus = pVCP->m_GetPortProperties(&properties);
        if (NT_SUCCESS(ntStatus))
            ntStatus = Answer(pvOutput, &properties, sizeof(properties), pulInformation);
        break;
    }
    case IOCTL_SERIAL_GET_DTRRTS:
        ntStatus = AnswerUlong(pvOutput, pVCP->m_ucModemControl & (SERIAL_DTR_STATE | SERIAL_RTS_STATE),
                               pulInformation);
        break;
    case IOCTL_SERIAL_LSRMST_INSERT:
        ntStatus = pVCP->m_SetLsrMstInsert(*static_cast<const UCHAR*>(pvInput));
        break;
    case IOCTL_SERIAL_CONFIG_SIZE:
        ntStatus = AnswerUlong(pvOutput, 0, pulInformation);
        break;
    case IOCTL_SERIAL_GET_STATS: {
        SERIALPERF_STATS stats = pVCP->m_PerfStats;
        ntStatus = Answer(pvOutput, &stats, sizeof(stats), pulInformation);
        PM_TRACE(HVUVCP_TRACE_STATS, "=================== HvUVCP Tx RX Stat ======================");
        PM_TRACE(HVUVCP_TRACE_STATS, "ReceivedCount : %d", stats.ReceivedCount);
        PM_TRACE(HVUVCP_TRACE_STATS, "TransmittedCount : %d", stats.TransmittedCount);
        PM_TRACE(HVUVCP_TRACE_STATS, "FrameErrorCount : %d", stats.FrameErrorCount);
        PM_TRACE(HVUVCP_TRACE_STATS, "SerialOverrunErrorCount : %d", stats.SerialOverrunErrorCount);
        PM_TRACE(HVUVCP_TRACE_STATS, "BufferOverrunErrorCount : %d", stats.BufferOverrunErrorCount);
        PM_TRACE(HVUVCP_TRACE_STATS, "ParityErrorCount : %d", stats.ParityErrorCount);
        break;
    }
    case IOCTL_SERIAL_CLEAR_STATS:
        pVCP->m_ClearStats();
        ntStatus = STATUS_SUCCESS;
        break;
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        ntStatus = AnswerUlong(pvOutput, pVCP->m_ucModemControl, pulInformation);
        break;
    case IOCTL_SERIAL_SET_MODEM_CONTROL: {
        ULONG ulModemControl = *static_cast<const ULONG*>(pvInput);
        ntStatus = pVCP->m_SetModemControl(&ulModemControl);
        break;
    }
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        ntStatus = pVCP->m_SetFifoControl(*static_cast<const UCHAR*>(pvInput));
        break;
    default:
        ntStatus = m_DispatchMakerControl(pVCP, ulCode, pvInput, ulInputLength, pvOutput, ulOutputLength,
                                          pulInformation);
        break;
    }
    m_ReleaseVCP();
    return ntStatus;
}

NTSTATUS CHvUVCPDriver::m_DispatchMakerControl(CVCP* pVCP, ULONG ulCode, PVOID pvInput, ULONG ulInputLength,
                                               PVOID pvOutput, ULONG ulOutputLength, PULONG_PTR pulInformation) {
    switch (ulCode) {
    case IOCTL_HVSERIAL_GET_DUPLEX_MODE: {
        CHvUVcpUserModeInterface* pSettings = pVCP->m_pSettings;
        if (!pSettings) {
            PM_ASSERTION_LINE(s_szSourcePath);
            return STATUS_UNSUCCESSFUL;
        }
        HVSERIAL_DUPLEX_MODE duplex;
        RtlZeroMemory(&duplex, sizeof(duplex));
        duplex.DuplexMode = pSettings->m_ulDuplexMode;
        duplex.CtsTrue = pSettings->m_ul422485CtsTrue != 0;
        return Answer(pvOutput, &duplex, sizeof(duplex), pulInformation);
    }
    case IOCTL_HVSERIAL_SET_DUPLEX_MODE: {
        const HVSERIAL_DUPLEX_MODE* pDuplex = static_cast<const HVSERIAL_DUPLEX_MODE*>(pvInput);
        if (pDuplex->DuplexMode < HVSERIAL_DUPLEX_MODE_FIRST || pDuplex->DuplexMode > HVSERIAL_DUPLEX_MODE_LAST)
            return STATUS_INVALID_PARAMETER;
        return pVCP->m_SetDuplexMode(pDuplex->DuplexMode, pDuplex->CtsTrue);
    }
    case IOCTL_HVSERIAL_SET_LOOPBACK_MODE:
        return pVCP->m_SetInternalLoopBackMode(1);
    case IOCTL_HVSERIAL_CLEAR_LOOPBACK_MODE:
        return pVCP->m_SetInternalLoopBackMode(0);
    case IOCTL_HVSERIAL_READ_EEPROM: {
        HVSERIAL_EEPROM_REQUEST request;
        RtlCopyMemory(&request, pvInput, sizeof(request));
        if (ulOutputLength != request.Length)
            return STATUS_BUFFER_TOO_SMALL;
        if (request.Length && !pvOutput)
            return STATUS_INVALID_PARAMETER;
        // The data comes into a buffer of its own: the request shares the system buffer.
        PUCHAR pucData = static_cast<PUCHAR>(PmAllocateMemory(request.Length ? request.Length : 1, NonPagedPool));
        if (!pucData)
            return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS ntStatus = pVCP->m_ReadEeprom(request.Offset, request.Length, pucData);
        if (NT_SUCCESS(ntStatus)) {
            RtlCopyMemory(pvOutput, pucData, request.Length);
            *pulInformation = request.Length;
        }
        PmFreeMemory(pucData);
        return ntStatus;
    }
    case IOCTL_HVSERIAL_WRITE_EEPROM: {
        const HVSERIAL_EEPROM_REQUEST* pRequest = static_cast<const HVSERIAL_EEPROM_REQUEST*>(pvInput);
        if ((ULONGLONG)ulInputLength != sizeof(HVSERIAL_EEPROM_REQUEST) + (ULONGLONG)pRequest->Length ||
            ulOutputLength != 0)
            return STATUS_BUFFER_TOO_SMALL;
        return pVCP->m_WriteEeprom(pRequest->Offset, pRequest->Length,
                                   static_cast<const UCHAR*>(pvInput) + sizeof(HVSERIAL_EEPROM_REQUEST));
    }
    }
    PM_ASSERTION_LINE(s_szSourcePath);
    return STATUS_NOT_SUPPORTED;
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
    NTSTATUS ntStatus;
    const HvUVcpControlRow* pRow = FindRow(s_aInternalRows, ulControlCode);
    if (pVCP->m_IsErrorAbortState()) {
        ntStatus = STATUS_CANCELLED;
    } else if (!pRow) {
        PM_TRACE(HVUVCP_TRACE, "Device Internal Control - IoCode = 0x%08x - NOT SUPPORTED", ulControlCode);
        ntStatus = STATUS_NOT_SUPPORTED;
    } else {
        PM_TRACE(HVUVCP_TRACE_CODES, "%s", pRow->m_pszName);
        ntStatus = CheckBuffers(pRow, pvInput, ulInputLength, pvOutput, ulOutputLength);
    }
    if (ntStatus == STATUS_SUCCESS) {
        switch (ulControlCode) {
        case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
            ntStatus = pVCP->m_DoWaitWake();
            break;
        case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
            ntStatus = pVCP->m_CancelWaitWake();
            break;
        case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: {
            SERIAL_BASIC_SETTINGS saved;
            RtlZeroMemory(&saved, sizeof(saved));
            ntStatus = pVCP->m_InternalBasicSettings(&saved);
            if (NT_SUCCESS(ntStatus))
                ntStatus = Answer(pvOutput, &saved, sizeof(saved), pulInformation);
            break;
        }
        case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS: {
            SERIAL_BASIC_SETTINGS saved;
            RtlCopyMemory(&saved, pvInput, sizeof(saved));
            ntStatus = pVCP->m_RestoreBasicSettings(&saved);
            break;
        }
        }
    }
    pThis->m_ReleaseVCP();
    if (!NT_SUCCESS(ntStatus))
        *pulInformation = 0;
    else
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_InternalDeviceControlCallback - OUT - (NTSTATUS:0x%X)", ntStatus);
    return ntStatus;
}
