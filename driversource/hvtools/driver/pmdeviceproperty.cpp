// Device property query.
#include <pmdeviceproperty.h>
#include <pmdebugmanager.h>
#include <pmmemorypool.h>

static const CHAR s_szSourcePath[] = "driversource\\hvtools\\driver\\pmdeviceproperty";

BOOLEAN CPmDeviceProperty::m_Get(PVOID* ppvBlock, PULONG pulLength) {
    *ppvBlock = NULL;
    *pulLength = 0;
    ULONG cbBlock = sizeof(ULONG);
    // One retry with the length the system asks for.
    for (ULONG ulAttempt = 0; ulAttempt < 2; ++ulAttempt) {
        PVOID pvBlock = PmAllocateZeroedMemory(cbBlock, PagedPool);
        if (!pvBlock)
            return FALSE;
        ULONG cbResult = 0;
        NTSTATUS ntStatus =
            IoGetDeviceProperty(m_pDeviceObject, DevicePropertyDriverKeyName, cbBlock, pvBlock, &cbResult);
        if (NT_SUCCESS(ntStatus)) {
            *ppvBlock = pvBlock;
            *pulLength = cbResult;
            return TRUE;
        }
        PmFreeMemory(pvBlock);
        if (ntStatus != STATUS_BUFFER_TOO_SMALL || cbResult <= cbBlock)
            return FALSE;
        cbBlock = cbResult;
    }
    return FALSE;
}

BOOLEAN CPmDeviceProperty::m_GetString(CPmString& value) {
    if (!m_pDeviceObject) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    PVOID pvBlock;
    ULONG cbLength;
    if (!m_Get(&pvBlock, &cbLength))
        return FALSE;
    // The text ends at its terminator and never beyond what the system wrote.
    PCWCH pwcText = static_cast<PCWCH>(pvBlock);
    ULONG cchMax = cbLength / sizeof(WCHAR);
    ULONG cch = 0;
    while (cch < cchMax && pwcText[cch])
        ++cch;
    BOOLEAN bAssigned = FALSE;
    if (cch * sizeof(WCHAR) <= MAXUSHORT) {
        UNICODE_STRING usText = {(USHORT)(cch * sizeof(WCHAR)), (USHORT)(cch * sizeof(WCHAR)), const_cast<PWCH>(pwcText)};
        bAssigned = NT_SUCCESS(value.m_AssignUnicodeString(&usText));
    }
    PmFreeMemory(pvBlock);
    return bAssigned;
}
