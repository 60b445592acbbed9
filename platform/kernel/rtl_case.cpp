// The platform's one case table, used by the C runtime's wide routines, the Rtl string routines
// and every case-blind name comparison (registry, object names).
//
//   towupper towlower iswalpha iswupper iswlower RtlUpcaseUnicodeChar RtlDowncaseUnicodeChar
//
// Covered: ASCII, Latin-1, Latin Extended-A, basic Greek and Cyrillic. Other characters have no
// case.
#include <hv_wchar.h>
#include <wdm.h>

namespace {

// Latin Extended-A pairs capital/small as even/odd code points, except in the two ranges where
// the capital is the odd one and at the letters without a partner.
bool latin_a_upper(char16_t c) {
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return c % 2 == 1;
    return c % 2 == 0;
}
bool latin_a_cased(char16_t c) {
    return c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F;
}

char16_t to_upper(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? (char16_t)(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (char16_t)(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (latin_a_cased(c)) return latin_a_upper(c) ? c : (char16_t)(c - 1);
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return (char16_t)(c - 0x20);
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x430 && c <= 0x44F) return (char16_t)(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return (char16_t)(c - 0x50);
    return c;
}

char16_t to_lower(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? (char16_t)(c + 0x20) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return (char16_t)(c + 0x20);
    if (c == 0x178) return 0xFF;
    if (latin_a_cased(c)) return latin_a_upper(c) ? (char16_t)(c + 1) : c;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return (char16_t)(c + 0x20);
    if (c >= 0x410 && c <= 0x42F) return (char16_t)(c + 0x20);
    if (c >= 0x400 && c <= 0x40F) return (char16_t)(c + 0x50);
    return c;
}

} // namespace

char16_t towupper(char16_t c) { return to_upper(c); }
char16_t towlower(char16_t c) { return to_lower(c); }
int iswupper(char16_t c) { return to_lower(c) != c; }
int iswlower(char16_t c) { return to_upper(c) != c || c == 0xDF; }
int iswalpha(char16_t c) {
    return iswupper(c) || iswlower(c) || c == 0xAA || c == 0xBA || c == 0x130 || c == 0x131 || c == 0x138 ||
           c == 0x149 || c == 0x17F;
}

HV_EXTERN_C_BEGIN

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return to_upper(SourceCharacter); }
WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter) { return to_lower(SourceCharacter); }

HV_EXTERN_C_END
