// The port object's line control: baud rate, word length, parity and stop bits, and break.
#include "vcp.h"
#include "vcpinternal.h"

#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>

static const CHAR s_szSourcePath[] = "hvuvcp\\vcplinecontrol.cpp";

NTSTATUS CVCP::m_SetBaudRate(const SERIAL_BAUD_RATE* pBaudRate) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetBaudRate - IN");
    if (!pBaudRate)
        return STATUS_INVALID_PARAMETER;
    if (!m_pSettings) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG ulRate = pBaudRate->BaudRate;
    // A rate of 0 is no rate: the bounds of the set may have been written as 0.
    if (ulRate == 0 || !m_pSettings->m_IsBaudRateSupported(ulRate)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetBaudRate - OUT - Failed -> BaudRate:%d is not supported.", ulRate);
        return STATUS_UNSUCCESSFUL;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetBaudRate");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    ULONG ulSent = m_pSettings->m_ulOverridBaudRates && m_pSettings->m_ulBaudrate ? m_pSettings->m_ulBaudrate : ulRate;
    if (!VCP_CALL(pISerial, m_BaudrateCallback, ulSent)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetBaudRate - OUT - Failed -> BaudRate:%d is not settable.", ulSent);
        return STATUS_UNSUCCESSFUL;
    }
    m_ulBaudRate = ulRate;
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetBaudRate - OUT (Success)");
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetLineControl(const SERIAL_LINE_CONTROL* pLineControl) {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetLineControl - IN");
    if (!pLineControl)
        return STATUS_INVALID_PARAMETER;
    if (!m_pSettings) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return STATUS_UNSUCCESSFUL;
    }
    UCHAR ucWordLength = pLineControl->WordLength;
    if (ucWordLength < 5 || ucWordLength > 8 || !(m_pSettings->m_ulSupportedDataBits & (1u << (ucWordLength - 5)))) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetLineControl - OUT - Fail-> DataBits is not supported.");
        return STATUS_UNSUCCESSFUL;
    }
    if (pLineControl->Parity > SPACE_PARITY || !(m_pSettings->m_ulSupportedParities & (0x100u << pLineControl->Parity))) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetLineControl - OUT - Fail-> Parity is not supported.");
        return STATUS_UNSUCCESSFUL;
    }
    if (pLineControl->StopBits > STOP_BITS_2 || !(m_pSettings->m_ulSupportedStopBits & (1u << pLineControl->StopBits))) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetLineControl - OUT - Fail-> StopBits is not supported.");
        return STATUS_UNSUCCESSFUL;
    }
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetLineControl");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    m_ucStopBits = pLineControl->StopBits;
    m_ucParity = pLineControl->Parity;
    m_ucWordLength = ucWordLength;
    ULONG ulDataBits, ulParity, ulStopBits;
    m_SentCommSettings(&ulDataBits, &ulParity, &ulStopBits);
    if (!VCP_CALL(pISerial, m_CommSettingsCallback, ulDataBits, ulParity, ulStopBits)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetLineControl - OUT - Fail-> Error setting comm settings.");
        return STATUS_UNSUCCESSFUL;
    }
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetLineControl - OUT (Success)");
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetBreakOn() {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetBreakOn - IN");
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetBreakOn");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_SetBreakCallback, (BOOLEAN)TRUE)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetBreakOn - OUT - Failed- Error setting Break to TRUE.");
        return STATUS_UNSUCCESSFUL;
    }
    m_SetHold(VcpHoldBreak, TRUE);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetBreakOff() {
    PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetBreakOff - IN");
    if (!m_SetHold(VcpHoldBreak, FALSE))
        return STATUS_SUCCESS;
    ISerial* pISerial = m_GetRecordOrAssert("CVCP::m_SetBreakOff");
    if (!pISerial)
        return STATUS_UNSUCCESSFUL;
    if (!VCP_CALL(pISerial, m_SetBreakCallback, (BOOLEAN)FALSE)) {
        PM_TRACE(HVUVCP_TRACE_VCP, "CVCP::m_SetBreakOff - OUT - Failed- Error setting Break to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}
