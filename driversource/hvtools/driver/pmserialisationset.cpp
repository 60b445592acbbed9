// The kernel's information sets as the stream format sees them, and the set's stream operations.
#include <pmserialisationset.h>
#include <pmdebugmanager.h>

// Refusals name the format's header, as the format's own checks.
static const CHAR s_szFormatPath[] = "diskimage\\inc\\hvtools\\pmserialisation.h";

BOOLEAN CPmInformationSetItems::m_First() {
    m_pItem = static_cast<PmInformationItem*>(m_Set.m_Items.m_GetFirst());
    return m_pItem != NULL;
}

BOOLEAN CPmInformationSetItems::m_Next() {
    m_pItem = static_cast<PmInformationItem*>(m_Set.m_Items.m_GetNext());
    return m_pItem != NULL;
}

ULONG CPmInformationSetItems::m_GetType() {
    switch (m_pItem->m_ulType) {
    case PM_ITEM_DWORD:
        return PM_SERIAL_ITEM_DWORD;
    case PM_ITEM_STRING:
        return PM_SERIAL_ITEM_STRING;
    default:
        return 0;
    }
}

ULONG CPmInformationSetItems::m_GetDword() { return *static_cast<PULONG>(m_pItem->m_pvTarget); }

void CPmInformationSetItems::m_SetDword(ULONG ulValue) { *static_cast<PULONG>(m_pItem->m_pvTarget) = ulValue; }

BOOLEAN CPmInformationSetItems::m_GetText(BOOLEAN bWide, PCVOID* ppvText, PULONG pulBytes) {
    const CPmString* pText = static_cast<const CPmString*>(m_pItem->m_pvTarget);
    if (bWide) {
        *ppvText = pText->m_GetUnicodeString()->Buffer;
        *pulBytes = pText->m_GetUnicodeString()->Length;
        return TRUE;
    }
    *ppvText = pText->m_GetAnsiString()->Buffer;
    *pulBytes = pText->m_GetAnsiString()->Length;
    // The narrow view is rebuilt with every change; without it the text would go out empty.
    return *pulBytes != 0 || pText->m_IsEmpty();
}

BOOLEAN CPmInformationSetItems::m_SetText(BOOLEAN bWide, PCVOID pvText, ULONG ulBytes) {
    CPmString* pText = static_cast<CPmString*>(m_pItem->m_pvTarget);
    // Counted strings hold at most 0xFFFF bytes; longer text is refused rather than cut.
    if (ulBytes > MAXUSHORT - 1)
        return FALSE;
    NTSTATUS ntStatus;
    if (bWide) {
        UNICODE_STRING usText = {(USHORT)ulBytes, (USHORT)ulBytes, static_cast<PWCH>(const_cast<PVOID>(pvText))};
        ntStatus = pText->m_AssignUnicodeString(&usText);
    } else {
        ANSI_STRING asText = {(USHORT)ulBytes, (USHORT)ulBytes, static_cast<PCHAR>(const_cast<PVOID>(pvText))};
        ntStatus = pText->m_AssignAnsiString(&asText);
    }
    return NT_SUCCESS(ntStatus);
}

void CPmInformationSetItems::m_Refused(ULONG ulLine) { PmAssertionLine(s_szFormatPath, ulLine); }

ULONG CPmInformationSet::m_GetSerialisedSize(const CPmSerialisation* pFormat) {
    CPmInformationSetItems items(*this);
    return (pFormat ? *pFormat : m_Serialisation).m_GetSerialisedSize(items);
}

BOOLEAN CPmInformationSet::m_Serialise(PUCHAR pucBuffer, PULONG pulRoom, const CPmSerialisation* pFormat) {
    CPmInformationSetItems items(*this);
    return (pFormat ? *pFormat : m_Serialisation).m_Serialise(items, pucBuffer, pulRoom);
}

BOOLEAN CPmInformationSet::m_Deserialise(const UCHAR* pucBuffer, PULONG pulLength, const CPmSerialisation* pFormat) {
    CPmInformationSetItems items(*this);
    return (pFormat ? *pFormat : m_Serialisation).m_Deserialise(items, pucBuffer, pulLength);
}
