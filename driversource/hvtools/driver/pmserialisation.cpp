// The information-set stream: sizes, writer and reader. Integers are little-endian, elements follow
// each other without gaps. Compiled into kernel and user-mode images alike.
#include <pmserialisation.h>

static void PmPutDword(PUCHAR pucAt, ULONG ulValue) {
    pucAt[0] = (UCHAR)ulValue;
    pucAt[1] = (UCHAR)(ulValue >> 8);
    pucAt[2] = (UCHAR)(ulValue >> 16);
    pucAt[3] = (UCHAR)(ulValue >> 24);
}

static ULONG PmGetDword(const UCHAR* pucAt) {
    return (ULONG)pucAt[0] | ((ULONG)pucAt[1] << 8) | ((ULONG)pucAt[2] << 16) | ((ULONG)pucAt[3] << 24);
}

static void PmCopyBytes(PUCHAR pucTo, const UCHAR* pucFrom, ULONG ulCount) {
    for (ULONG i = 0; i < ulCount; ++i)
        pucTo[i] = pucFrom[i];
}

// Bytes before the first NUL character of the given width, looking at no more than ulBytes; the
// whole (even) count when there is none.
static ULONG PmTextBytes(const UCHAR* pucText, ULONG ulBytes, BOOLEAN bWide) {
    ULONG ulStep = bWide ? 2 : 1;
    ULONG ulAt = 0;
    while (ulAt + ulStep <= ulBytes && (pucText[ulAt] != 0 || (bWide && pucText[ulAt + 1] != 0)))
        ulAt += ulStep;
    return ulAt;
}

BOOLEAN CPmSerialisation::m_SetFlags(ULONG ulFlags) {
    if (ulFlags > SERIALISE_FLAGS_ALL || !(ulFlags & (SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX)))
        return FALSE;
    m_ulFlags = ulFlags;
    return TRUE;
}

BOOLEAN CPmSerialisation::m_TextOf(CPmSerialisedItems& items, const UCHAR** ppucText, PULONG pulBytes) const {
    PCVOID pvText = NULL;
    ULONG ulBytes = 0;
    if (!items.m_GetText(m_IsWide(), &pvText, &ulBytes))
        return FALSE;
    if (!pvText)
        ulBytes = 0;
    *ppucText = static_cast<const UCHAR*>(pvText);
    // A NUL inside the text would end it early for the reader, and the count would then disagree.
    *pulBytes = ulBytes ? PmTextBytes(*ppucText, ulBytes, m_IsWide()) : 0;
    return TRUE;
}

ULONG CPmSerialisation::m_ElementSize(CPmSerialisedItems& items) const {
    ULONG ulTag = m_Tagged() ? 1 : 0;
    switch (items.m_GetType()) {
    case PM_SERIAL_ITEM_DWORD:
        return ulTag + 4;
    case PM_SERIAL_ITEM_STRING: {
        const UCHAR* pucText;
        ULONG ulBytes;
        if (!m_FramesStrings() || !m_TextOf(items, &pucText, &ulBytes))
            return 0;
        ULONG ulFrame = ulTag + m_TerminatorSize() + ((m_ulFlags & SERIALISE_FLAG_LENGTH_PREFIX) ? 4 : 0);
        if (ulBytes > 0xFFFFFFFFu - ulFrame)
            return 0;
        return ulFrame + ulBytes;
    }
    default:
        return 0;
    }
}

ULONG CPmSerialisation::m_GetSerialisedSize(CPmSerialisedItems& items) const {
    ULONGLONG ullSize = 0;
    if (m_ulFlags & SERIALISE_FLAG_HEADER)
        ullSize += m_Tagged() ? 5 : 4;
    for (BOOLEAN bItem = items.m_First(); bItem; bItem = items.m_Next()) {
        ULONG ulElement = m_ElementSize(items);
        if (!ulElement) {
            items.m_Refused(__LINE__);
            return 0;
        }
        ullSize += ulElement;
        if (ullSize > 0xFFFFFFFFu)
            return 0;
    }
    return (ULONG)ullSize;
}

BOOLEAN CPmSerialisation::m_Serialise(CPmSerialisedItems& items, PUCHAR pucBuffer, PULONG pulRoom) const {
    PUCHAR pucAt = pucBuffer;
    if (m_ulFlags & SERIALISE_FLAG_HEADER) {
        ULONG ulElement = m_Tagged() ? 5 : 4;
        if (*pulRoom < ulElement)
            return FALSE;
        if (m_Tagged())
            *pucAt++ = PM_SERIAL_TAG_HEADER;
        PmPutDword(pucAt, m_ulHeaderValue);
        pucAt += 4;
        *pulRoom -= ulElement;
    }
    for (BOOLEAN bItem = items.m_First(); bItem; bItem = items.m_Next()) {
        ULONG ulElement = m_ElementSize(items);
        if (!ulElement) {
            items.m_Refused(__LINE__);
            return FALSE;
        }
        if (*pulRoom < ulElement)
            return FALSE;
        if (items.m_GetType() == PM_SERIAL_ITEM_DWORD) {
            if (m_Tagged())
                *pucAt++ = PM_SERIAL_TAG_DWORD;
            PmPutDword(pucAt, items.m_GetDword());
            pucAt += 4;
        } else {
            const UCHAR* pucText;
            ULONG ulBytes;
            if (!m_TextOf(items, &pucText, &ulBytes)) {
                items.m_Refused(__LINE__);
                return FALSE;
            }
            if (m_Tagged())
                *pucAt++ = m_IsWide() ? PM_SERIAL_TAG_WIDE_STRING : PM_SERIAL_TAG_ANSI_STRING;
            if (m_ulFlags & SERIALISE_FLAG_LENGTH_PREFIX) {
                PmPutDword(pucAt, ulBytes);
                pucAt += 4;
            }
            PmCopyBytes(pucAt, pucText, ulBytes);
            pucAt += ulBytes;
            for (ULONG i = 0; i < m_TerminatorSize(); ++i)
                *pucAt++ = 0;
        }
        *pulRoom -= ulElement;
    }
    return TRUE;
}

BOOLEAN CPmSerialisation::m_ReadString(const UCHAR** ppucCursor, PULONG pulRemaining,
                                       CPmSerialisedItems& target) const {
    const UCHAR* pucAt = *ppucCursor;
    ULONG ulRemaining = *pulRemaining;
    BOOLEAN bWide = m_IsWide();
    if (m_Tagged()) {
        if (ulRemaining < 1) {
            target.m_Refused(__LINE__);
            return FALSE;
        }
        UCHAR ucTag = *pucAt;
        if (ucTag != (bWide ? PM_SERIAL_TAG_WIDE_STRING : PM_SERIAL_TAG_ANSI_STRING)) {
            target.m_Refused(__LINE__);
            return FALSE;
        }
        ++pucAt;
        --ulRemaining;
    }
    BOOLEAN bPrefixed = (m_ulFlags & SERIALISE_FLAG_LENGTH_PREFIX) != 0;
    ULONG ulCount = 0;
    if (bPrefixed) {
        if (ulRemaining < 4) {
            target.m_Refused(__LINE__);
            return FALSE;
        }
        ulCount = PmGetDword(pucAt);
        pucAt += 4;
        ulRemaining -= 4;
        if (ulCount > ulRemaining) {
            target.m_Refused(__LINE__);
            return FALSE;
        }
    }
    ULONG ulTextBytes;
    ULONG ulConsumed;
    if (m_ulFlags & SERIALISE_FLAG_TERMINATOR) {
        ULONG ulTerminator = m_TerminatorSize();
        // With a count the NUL is accepted only right behind it, so nothing further is searched.
        ULONG ulSearch = ulRemaining;
        if (bPrefixed && ulRemaining - ulCount > ulTerminator)
            ulSearch = ulCount + ulTerminator;
        ulTextBytes = PmTextBytes(pucAt, ulSearch, bWide);
        if (ulTextBytes + ulTerminator > ulSearch) {
            target.m_Refused(__LINE__); // no terminator within the stream
            return FALSE;
        }
        if (bPrefixed && ulCount != ulTextBytes) {
            target.m_Refused(__LINE__);
            return FALSE;
        }
        ulConsumed = ulTextBytes + ulTerminator;
    } else if (bPrefixed) {
        // A count of 0 is the empty string the writer makes of one.
        if (bWide && (ulCount & 1)) {
            target.m_Refused(__LINE__);
            return FALSE;
        }
        ulTextBytes = PmTextBytes(pucAt, ulCount, bWide);
        ulConsumed = ulCount;
    } else {
        target.m_Refused(__LINE__); // nothing tells where the string ends
        return FALSE;
    }
    if (!target.m_SetText(bWide, pucAt, ulTextBytes)) {
        target.m_Refused(__LINE__);
        return FALSE;
    }
    *ppucCursor = pucAt + ulConsumed;
    *pulRemaining = ulRemaining - ulConsumed;
    return TRUE;
}

BOOLEAN CPmSerialisation::m_Deserialise(CPmSerialisedItems& items, const UCHAR* pucBuffer, PULONG pulLength) const {
    const UCHAR* pucAt = pucBuffer;
    ULONG ulRemaining = pucBuffer ? *pulLength : 0;
    BOOLEAN bResult = TRUE;
    if (m_ulFlags & SERIALISE_FLAG_HEADER) {
        if (m_Tagged()) {
            if (ulRemaining < 1 || *pucAt != PM_SERIAL_TAG_HEADER) {
                items.m_Refused(__LINE__);
                return FALSE;
            }
            ++pucAt;
            --ulRemaining;
        }
        if (ulRemaining < 4 || PmGetDword(pucAt) != m_ulHeaderValue) {
            items.m_Refused(__LINE__);
            return FALSE;
        }
        pucAt += 4;
        ulRemaining -= 4;
    }
    for (BOOLEAN bItem = items.m_First(); bItem && bResult; bItem = items.m_Next()) {
        switch (items.m_GetType()) {
        case PM_SERIAL_ITEM_DWORD:
            if (m_Tagged()) {
                if (ulRemaining < 1 || *pucAt != PM_SERIAL_TAG_DWORD) {
                    items.m_Refused(__LINE__);
                    bResult = FALSE;
                    break;
                }
                ++pucAt;
                --ulRemaining;
            }
            if (ulRemaining < 4) {
                items.m_Refused(__LINE__);
                bResult = FALSE;
                break;
            }
            items.m_SetDword(PmGetDword(pucAt));
            pucAt += 4;
            ulRemaining -= 4;
            break;
        case PM_SERIAL_ITEM_STRING:
            bResult = m_ReadString(&pucAt, &ulRemaining, items);
            break;
        default:
            items.m_Refused(__LINE__);
            bResult = FALSE;
            break;
        }
    }
    *pulLength = ulRemaining;
    return bResult;
}
