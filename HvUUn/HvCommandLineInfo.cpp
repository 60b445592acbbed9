#include "HvCommandLineInfo.h"

CHvCommandLineInfo::CHvCommandLineInfo() : m_bSilent(FALSE), m_bHelp(FALSE), m_bLettersValid(TRUE) {}

CHvCommandLineInfo::~CHvCommandLineInfo() = default;

void CHvCommandLineInfo::ParseParam(const char* param, BOOL flag, BOOL) {
    if (!flag) {
        m_strParameter = param ? param : "";
        return;
    }
    if (!param) return;
    if (lstrcmpiA(param, "s") == 0) {
        m_bSilent = TRUE;
        return;
    }
    if (lstrcmpiA(param, "h") == 0 || lstrcmpiA(param, "?") == 0) {
        m_bHelp = TRUE;
        return;
    }
    for (const char* letter = param; *letter && m_bLettersValid; ++letter) {
        switch (*letter) {
        case '?':
        case 'H':
        case 'h':
            m_bHelp = TRUE;
            break;
        case 'S':
        case 's':
            m_bSilent = TRUE;
            break;
        default:
            m_bLettersValid = FALSE;
            break;
        }
    }
}
