// Counted wide string with its 8-bit and numeric views.
#include <pmstring.h>
#include <pmmemorypool.h>

// Longest text: MaximumLength (Length + 2) must fit in a USHORT.
static const SIZE_T s_cbMaxText = 0xFFFC;

static SIZE_T PmWideLength(PCWSTR pszText, SIZE_T cchLimit) {
    SIZE_T cch = 0;
    while (cch <= cchLimit && pszText[cch])
        ++cch;
    return cch;
}

static SIZE_T PmAnsiLength(PCSTR pszText, SIZE_T cchLimit) {
    SIZE_T cch = 0;
    while (cch <= cchLimit && pszText[cch])
        ++cch;
    return cch;
}

static BOOLEAN PmIsHexDigit(WCHAR wc) {
    return (wc >= u'0' && wc <= u'9') || (wc >= u'a' && wc <= u'f') || (wc >= u'A' && wc <= u'F');
}

CPmString::CPmString(POOL_TYPE ePoolType, PCWSTR pszText)
    : m_ntStatus(STATUS_SUCCESS), m_usText{0, 0, NULL}, m_asText{0, 0, NULL}, m_ePoolType(ePoolType), m_ulNumber(0),
      m_bNumberValid(FALSE) {
    if (pszText)
        m_Assign(pszText);
}

CPmString::CPmString(const CPmString& other)
    : m_ntStatus(STATUS_SUCCESS), m_usText{0, 0, NULL}, m_asText{0, 0, NULL}, m_ePoolType(other.m_ePoolType),
      m_ulNumber(0), m_bNumberValid(FALSE) {
    m_Copy(other);
}

CPmString::~CPmString() { m_Free(); }

void CPmString::m_Free() {
    PmFreeMemory(m_usText.Buffer);
    PmFreeMemory(m_asText.Buffer);
    m_usText.Buffer = NULL;
    m_usText.Length = m_usText.MaximumLength = 0;
    m_asText.Buffer = NULL;
    m_asText.Length = m_asText.MaximumLength = 0;
    m_ulNumber = 0;
    m_bNumberValid = FALSE;
}

NTSTATUS CPmString::m_Install(PWCH pwcBuffer, USHORT usLength) {
    if (usLength == 0) {
        PmFreeMemory(pwcBuffer);
        m_Free();
        return m_ntStatus = STATUS_SUCCESS;
    }
    pwcBuffer[usLength / sizeof(WCHAR)] = UNICODE_NULL;
    UNICODE_STRING usText = {usLength, (USHORT)(usLength + sizeof(WCHAR)), pwcBuffer};

    ULONG cbAnsi = NLS_MB_CODE_PAGE_TAG ? RtlxUnicodeStringToAnsiSize(&usText) : usLength / sizeof(WCHAR) + 1;
    PCHAR pchAnsi = cbAnsi <= MAXUSHORT ? static_cast<PCHAR>(PmAllocateMemory(cbAnsi, m_ePoolType)) : NULL;
    if (!pchAnsi) {
        PmFreeMemory(pwcBuffer);
        return m_ntStatus = STATUS_NO_MEMORY;
    }
    ANSI_STRING asText = {0, (USHORT)cbAnsi, pchAnsi};
    NTSTATUS ntStatus = RtlUnicodeStringToAnsiString(&asText, &usText, FALSE);
    if (!NT_SUCCESS(ntStatus)) {
        PmFreeMemory(pchAnsi);
        PmFreeMemory(pwcBuffer);
        return m_ntStatus = ntStatus;
    }
    pchAnsi[asText.Length < cbAnsi ? asText.Length : cbAnsi - 1] = ANSI_NULL;

    m_Free();
    m_usText = usText;
    m_asText = asText;

    // RtlUnicodeStringToInteger stops quietly at the first foreign character ("COM3" would read as
    // 0xC), so the text must consist of hex digits alone, at most eight of them significant.
    ULONG cch = usLength / sizeof(WCHAR);
    ULONG cchSignificant = 0;
    BOOLEAN bDigits = TRUE;
    for (ULONG ulIndex = 0; ulIndex < cch && bDigits; ++ulIndex) {
        bDigits = PmIsHexDigit(pwcBuffer[ulIndex]);
        if (cchSignificant || pwcBuffer[ulIndex] != u'0')
            ++cchSignificant;
    }
    ULONG ulNumber = 0;
    if (bDigits && cchSignificant <= 8 && NT_SUCCESS(RtlUnicodeStringToInteger(&m_usText, 16, &ulNumber))) {
        m_ulNumber = ulNumber;
        m_bNumberValid = TRUE;
    }
    return m_ntStatus = STATUS_SUCCESS;
}

// Copies the text into a new block and installs it; the old content goes only on success.
NTSTATUS CPmString::m_ReplaceText(PCWCH pwcText, SIZE_T cbLength) {
    cbLength &= ~(SIZE_T)1;
    if (cbLength > s_cbMaxText)
        return m_ntStatus = STATUS_NO_MEMORY;
    if (cbLength == 0)
        return m_Install(NULL, 0);
    PWCH pwcBuffer = static_cast<PWCH>(PmAllocateMemory(cbLength + sizeof(WCHAR), m_ePoolType));
    if (!pwcBuffer)
        return m_ntStatus = STATUS_NO_MEMORY;
    RtlCopyMemory(pwcBuffer, pwcText, cbLength);
    return m_Install(pwcBuffer, (USHORT)cbLength);
}

// Assignments copy the new text before the old one goes, since it may lie inside the old one (a
// string assigned from a part of itself); a failure still leaves the string empty.
NTSTATUS CPmString::m_AssignCounted(PCWCH pwcText, SIZE_T cbLength) {
    if (!pwcText)
        cbLength = 0;
    NTSTATUS ntStatus = m_ReplaceText(pwcText, cbLength);
    if (!NT_SUCCESS(ntStatus))
        m_Free();
    return ntStatus;
}

NTSTATUS CPmString::m_Assign(PCWSTR pszText) {
    if (!pszText)
        return m_AssignCounted(NULL, 0);
    return m_AssignCounted(pszText, PmWideLength(pszText, s_cbMaxText / sizeof(WCHAR)) * sizeof(WCHAR));
}

NTSTATUS CPmString::m_AssignUnicodeString(PCUNICODE_STRING pText) {
    return pText ? m_AssignCounted(pText->Buffer, pText->Length) : m_AssignCounted(NULL, 0);
}

NTSTATUS CPmString::m_Copy(const CPmString& other) {
    if (&other == this)
        return m_ntStatus = STATUS_SUCCESS;
    return m_AssignCounted(other.m_usText.Buffer, other.m_usText.Length);
}

// Converts 8-bit text of the ANSI code page into a new pool block of wide text.
static NTSTATUS PmAnsiToWide(PCCH pchText, SIZE_T cchLength, POOL_TYPE ePoolType, PWCH* ppwcBuffer, PUSHORT pusLength) {
    *ppwcBuffer = NULL;
    *pusLength = 0;
    if (cchLength > MAXUSHORT)
        return STATUS_NO_MEMORY;
    ANSI_STRING asText = {(USHORT)cchLength, (USHORT)cchLength, const_cast<PCHAR>(pchText)};
    SIZE_T cbWide = NLS_MB_CODE_PAGE_TAG ? RtlxAnsiStringToUnicodeSize(&asText) : 2 * cchLength + 2;
    if (cbWide > MAXUSHORT)
        return STATUS_NO_MEMORY;
    PWCH pwcBuffer = static_cast<PWCH>(PmAllocateMemory(cbWide, ePoolType));
    if (!pwcBuffer)
        return STATUS_NO_MEMORY;
    UNICODE_STRING usText = {0, (USHORT)cbWide, pwcBuffer};
    NTSTATUS ntStatus = RtlAnsiStringToUnicodeString(&usText, &asText, FALSE);
    if (!NT_SUCCESS(ntStatus)) {
        PmFreeMemory(pwcBuffer);
        return ntStatus;
    }
    *ppwcBuffer = pwcBuffer;
    *pusLength = usText.Length;
    return STATUS_SUCCESS;
}

NTSTATUS CPmString::m_AssignAnsiCounted(PCCH pchText, SIZE_T cchLength) {
    if (!pchText || cchLength == 0)
        return m_AssignCounted(NULL, 0);
    PWCH pwcBuffer;
    USHORT usLength;
    NTSTATUS ntStatus = PmAnsiToWide(pchText, cchLength, m_ePoolType, &pwcBuffer, &usLength);
    if (NT_SUCCESS(ntStatus))
        ntStatus = m_Install(pwcBuffer, usLength);
    if (!NT_SUCCESS(ntStatus)) {
        m_Free();
        m_ntStatus = ntStatus;
    }
    return ntStatus;
}

NTSTATUS CPmString::m_AssignAnsi(PCSTR pszText) {
    return m_AssignAnsiCounted(pszText, pszText ? PmAnsiLength(pszText, MAXUSHORT) : 0);
}

NTSTATUS CPmString::m_AssignAnsiString(PCANSI_STRING pText) {
    return pText ? m_AssignAnsiCounted(pText->Buffer, pText->Length) : m_AssignAnsiCounted(NULL, 0);
}

NTSTATUS CPmString::m_AssignInteger(ULONG ulValue, ULONG ulBase) {
    m_Free();
    // Ten decimal digits or eight hex digits, and the terminator.
    USHORT cbBuffer = ulBase == 10 ? 22 : 18;
    PWCH pwcBuffer = static_cast<PWCH>(PmAllocateMemory(cbBuffer, m_ePoolType));
    if (!pwcBuffer)
        return m_ntStatus = STATUS_NO_MEMORY;
    UNICODE_STRING usText = {0, cbBuffer, pwcBuffer};
    NTSTATUS ntStatus = RtlIntegerToUnicodeString(ulValue, ulBase == 10 ? 10 : 16, &usText);
    if (!NT_SUCCESS(ntStatus)) {
        PmFreeMemory(pwcBuffer);
        return m_ntStatus = ntStatus;
    }
    return m_Install(pwcBuffer, usText.Length);
}

void CPmString::m_Empty() {
    m_Free();
    m_ntStatus = STATUS_SUCCESS;
}

NTSTATUS CPmString::m_Concatenate(PmStringKind eKind, const void* pvSource, BOOLEAN bPrepend) {
    WCHAR awcDigits[11];
    PCWCH pwcAdded = NULL;
    SIZE_T cbAdded = 0;
    PWCH pwcConverted = NULL;

    switch (eKind) {
    case PmStringInteger: {
        if (!pvSource)
            return m_ntStatus = STATUS_INVALID_PARAMETER;
        UNICODE_STRING usDigits = {0, sizeof(awcDigits), awcDigits};
        NTSTATUS ntStatus = RtlIntegerToUnicodeString(*static_cast<const ULONG*>(pvSource), 10, &usDigits);
        if (!NT_SUCCESS(ntStatus))
            return m_ntStatus = ntStatus;
        pwcAdded = awcDigits;
        cbAdded = usDigits.Length;
        break;
    }
    case PmStringAnsiText:
    case PmStringAnsiCounted: {
        PCCH pchText = NULL;
        SIZE_T cchText = 0;
        if (eKind == PmStringAnsiText) {
            // No text appends nothing.
            if (!pvSource || !*static_cast<PCSTR>(pvSource))
                return m_ntStatus = STATUS_SUCCESS;
            pchText = static_cast<PCSTR>(pvSource);
            cchText = PmAnsiLength(pchText, MAXUSHORT);
        } else {
            PCANSI_STRING pText = static_cast<PCANSI_STRING>(pvSource);
            if (!pText || !pText->Buffer || pText->Length == 0)
                return m_ntStatus = STATUS_NOT_FOUND;
            pchText = pText->Buffer;
            cchText = pText->Length;
        }
        USHORT usLength;
        NTSTATUS ntStatus = PmAnsiToWide(pchText, cchText, m_ePoolType, &pwcConverted, &usLength);
        if (!NT_SUCCESS(ntStatus))
            return m_ntStatus = ntStatus;
        pwcAdded = pwcConverted;
        cbAdded = usLength;
        break;
    }
    case PmStringWideText:
        if (!pvSource || !*static_cast<PCWSTR>(pvSource))
            return m_ntStatus = STATUS_SUCCESS;
        pwcAdded = static_cast<PCWSTR>(pvSource);
        cbAdded = PmWideLength(pwcAdded, s_cbMaxText / sizeof(WCHAR)) * sizeof(WCHAR);
        break;
    case PmStringWideCounted:
    case PmStringPmString: {
        PCUNICODE_STRING pText = eKind == PmStringPmString && pvSource
                                     ? static_cast<const CPmString*>(pvSource)->m_GetUnicodeString()
                                     : static_cast<PCUNICODE_STRING>(pvSource);
        if (!pText || !pText->Buffer || pText->Length < sizeof(WCHAR))
            return m_ntStatus = STATUS_NOT_FOUND;
        pwcAdded = pText->Buffer;
        cbAdded = pText->Length & ~1u;
        break;
    }
    default:
        return m_ntStatus = STATUS_INVALID_PARAMETER;
    }

    SIZE_T cbOld = m_usText.Length;
    SIZE_T cbTotal = cbOld + cbAdded;
    PWCH pwcBuffer =
        cbTotal <= s_cbMaxText ? static_cast<PWCH>(PmAllocateMemory(cbTotal + sizeof(WCHAR), m_ePoolType)) : NULL;
    NTSTATUS ntStatus = STATUS_NO_MEMORY;
    if (pwcBuffer) {
        PUCHAR pucBuffer = reinterpret_cast<PUCHAR>(pwcBuffer);
        if (bPrepend) {
            RtlCopyMemory(pucBuffer, pwcAdded, cbAdded);
            if (cbOld)
                RtlCopyMemory(pucBuffer + cbAdded, m_usText.Buffer, cbOld);
        } else {
            if (cbOld)
                RtlCopyMemory(pucBuffer, m_usText.Buffer, cbOld);
            RtlCopyMemory(pucBuffer + cbOld, pwcAdded, cbAdded);
        }
        ntStatus = m_Install(pwcBuffer, (USHORT)cbTotal);
    }
    PmFreeMemory(pwcConverted);
    return m_ntStatus = ntStatus;
}

NTSTATUS CPmString::m_AppendInteger(ULONG ulValue) { return m_Concatenate(PmStringInteger, &ulValue, FALSE); }

NTSTATUS CPmString::m_AppendAnsi(PCSTR pszText) { return m_Concatenate(PmStringAnsiText, pszText, FALSE); }

NTSTATUS CPmString::m_Append(PCWSTR pszText) { return m_Concatenate(PmStringWideText, pszText, FALSE); }

NTSTATUS CPmString::m_AppendString(const CPmString& other) { return m_Concatenate(PmStringPmString, &other, FALSE); }

NTSTATUS CPmString::m_PrependAnsi(PCSTR pszText) { return m_Concatenate(PmStringAnsiText, pszText, TRUE); }

NTSTATUS CPmString::m_Prepend(PCWSTR pszText) { return m_Concatenate(PmStringWideText, pszText, TRUE); }

NTSTATUS CPmString::m_MakeUpper() {
    if (m_usText.Length == 0)
        return m_ntStatus = STATUS_SUCCESS;
    PWCH pwcBuffer = static_cast<PWCH>(PmAllocateMemory(m_usText.Length + sizeof(WCHAR), m_ePoolType));
    if (!pwcBuffer)
        return m_ntStatus = STATUS_NO_MEMORY;
    ULONG cch = m_usText.Length / sizeof(WCHAR);
    for (ULONG ulIndex = 0; ulIndex < cch; ++ulIndex) {
        WCHAR wc = m_usText.Buffer[ulIndex];
        pwcBuffer[ulIndex] = (wc >= u'a' && wc <= u'z') ? (WCHAR)(wc - u'a' + u'A') : wc;
    }
    return m_Install(pwcBuffer, m_usText.Length);
}

BOOLEAN CPmString::m_FindChar(PULONG pulPosition, CHAR cCharacter) const {
    if (!pulPosition || *pulPosition == 0)
        return FALSE;
    for (ULONG ulPosition = *pulPosition; ulPosition <= m_asText.Length; ++ulPosition) {
        if (m_asText.Buffer[ulPosition - 1] == cCharacter) {
            *pulPosition = ulPosition;
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN CPmString::m_Find(PULONG pulPosition, const CPmString& pattern) const {
    ULONG cchPattern = pattern.m_asText.Length;
    if (!pulPosition || *pulPosition == 0 || cchPattern == 0)
        return FALSE;
    // Counted in 64 bits, so that a start far beyond the text cannot wrap round into it.
    for (; (ULONGLONG)*pulPosition + cchPattern - 1 <= m_asText.Length; ++*pulPosition) {
        if (RtlCompareMemory(m_asText.Buffer + *pulPosition - 1, pattern.m_asText.Buffer, cchPattern) == cchPattern)
            return TRUE;
    }
    return FALSE;
}

BOOLEAN CPmString::m_RemoveCharAt(ULONG ulPosition) {
    ULONG cch = m_usText.Length / sizeof(WCHAR);
    if (ulPosition == 0 || ulPosition > cch)
        return FALSE;
    USHORT cbNew = (USHORT)(m_usText.Length - sizeof(WCHAR));
    PWCH pwcBuffer = static_cast<PWCH>(PmAllocateMemory(cbNew + sizeof(WCHAR), m_ePoolType));
    if (!pwcBuffer) {
        m_ntStatus = STATUS_NO_MEMORY;
        return FALSE;
    }
    RtlCopyMemory(pwcBuffer, m_usText.Buffer, (ulPosition - 1) * sizeof(WCHAR));
    RtlCopyMemory(pwcBuffer + ulPosition - 1, m_usText.Buffer + ulPosition, (cch - ulPosition) * sizeof(WCHAR));
    return NT_SUCCESS(m_Install(pwcBuffer, cbNew));
}

NTSTATUS CPmString::m_GetAnsiCopy(PCHAR* ppszCopy) {
    if (!ppszCopy)
        return m_ntStatus = STATUS_INVALID_PARAMETER;
    *ppszCopy = NULL;
    if (m_asText.Length == 0)
        return m_ntStatus = STATUS_NOT_FOUND;
    PCHAR pszCopy = static_cast<PCHAR>(ExAllocatePoolWithTag(m_ePoolType, m_asText.Length + 1, PM_TAG_COPY));
    if (!pszCopy)
        return m_ntStatus = STATUS_NO_MEMORY;
    RtlZeroMemory(pszCopy, m_asText.Length + 1);
    RtlCopyMemory(pszCopy, m_asText.Buffer, m_asText.Length);
    *ppszCopy = pszCopy;
    return m_ntStatus = STATUS_SUCCESS;
}

NTSTATUS CPmString::m_GetWideCopy(PWCHAR* ppszCopy, ULONG ulSpareBytes) {
    if (!ppszCopy)
        return m_ntStatus = STATUS_INVALID_PARAMETER;
    *ppszCopy = NULL;
    if (m_usText.Length == 0)
        return m_ntStatus = STATUS_NOT_FOUND;
    SIZE_T cbCopy = (SIZE_T)m_usText.Length + ulSpareBytes + sizeof(WCHAR);
    PWCHAR pszCopy = static_cast<PWCHAR>(ExAllocatePoolWithTag(m_ePoolType, cbCopy, PM_TAG_COPY));
    if (!pszCopy)
        return m_ntStatus = STATUS_NO_MEMORY;
    RtlZeroMemory(pszCopy, cbCopy);
    RtlCopyMemory(pszCopy, m_usText.Buffer, m_usText.Length);
    *ppszCopy = pszCopy;
    return m_ntStatus = STATUS_SUCCESS;
}

BOOLEAN CPmString::m_GetNumber(PULONG pulNumber) const {
    if (pulNumber)
        *pulNumber = m_ulNumber;
    return m_bNumberValid;
}

void CPmString::m_Swap(CPmString& other) {
    NTSTATUS ntStatus = m_ntStatus;
    UNICODE_STRING usText = m_usText;
    ANSI_STRING asText = m_asText;
    POOL_TYPE ePoolType = m_ePoolType;
    ULONG ulNumber = m_ulNumber;
    BOOLEAN bNumberValid = m_bNumberValid;
    m_ntStatus = other.m_ntStatus;
    m_usText = other.m_usText;
    m_asText = other.m_asText;
    m_ePoolType = other.m_ePoolType;
    m_ulNumber = other.m_ulNumber;
    m_bNumberValid = other.m_bNumberValid;
    other.m_ntStatus = ntStatus;
    other.m_usText = usText;
    other.m_asText = asText;
    other.m_ePoolType = ePoolType;
    other.m_ulNumber = ulNumber;
    other.m_bNumberValid = bNumberValid;
}
