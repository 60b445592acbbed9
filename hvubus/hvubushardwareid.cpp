// The hardware-ID test of the bus driver.
#include "hvubushardwareid.h"

static const WCHAR s_szAcceptedPrefix[] = u"USB\\VID_7A5C&PID_";
static const WCHAR s_szRefusedPrefix[] = u"USB\\VID_7A5C&PID_F";

static WCHAR HvUBusUpper(WCHAR wc) { return wc >= u'a' && wc <= u'z' ? (WCHAR)(wc - u'a' + u'A') : wc; }

// Whether pszText (upper-cased) holds pszPattern at ulStart.
static BOOLEAN HvUBusMatchesAt(PCWSTR pszText, ULONG ulStart, PCWSTR pszPattern, ULONG ulPattern) {
    for (ULONG ulIndex = 0; ulIndex < ulPattern; ++ulIndex)
        if (HvUBusUpper(pszText[ulStart + ulIndex]) != pszPattern[ulIndex])
            return FALSE;
    return TRUE;
}

BOOLEAN HvUBusIsAcceptedHardwareId(PCWSTR pszHardwareId, ULONG ulCharacters) {
    const ULONG ulAccepted = (ULONG)(sizeof(s_szAcceptedPrefix) / sizeof(WCHAR)) - 1;
    const ULONG ulRefused = (ULONG)(sizeof(s_szRefusedPrefix) / sizeof(WCHAR)) - 1;
    if (!pszHardwareId)
        return FALSE;
    ULONG ulLength = 0;
    while (ulLength < ulCharacters && pszHardwareId[ulLength])
        ++ulLength;
    if (ulLength >= ulRefused && HvUBusMatchesAt(pszHardwareId, 0, s_szRefusedPrefix, ulRefused))
        return FALSE;
    for (ULONG ulStart = 0; ulStart + ulAccepted <= ulLength; ++ulStart)
        if (HvUBusMatchesAt(pszHardwareId, ulStart, s_szAcceptedPrefix, ulAccepted))
            return TRUE;
    return FALSE;
}
