// The command-line parser record and the walk that hands it every argument.
#include "mfc_internal.h"

#include <string>
#include <vector>

CCommandLineInfo::CCommandLineInfo()
    : m_nShellCommand(FileNew), m_bShowSplash(TRUE), m_bRunEmbedded(FALSE), m_bRunAutomated(FALSE) {}

CCommandLineInfo::~CCommandLineInfo() = default;

// The plain record takes the first file name; switches mean nothing to it.
void CCommandLineInfo::ParseParam(const char* param, BOOL flag, BOOL) {
    if (flag || !param || !m_strFileName.IsEmpty()) return;
    m_strFileName = param;
    m_nShellCommand = FileOpen;
}

void hv_mfc_parse_arguments(CCommandLineInfo& info, const std::vector<std::string>& arguments) {
    for (size_t i = 1; i < arguments.size(); ++i) {
        const char* param = arguments[i].c_str();
        BOOL flag = FALSE;
        if (param[0] == '-' || param[0] == '/') {
            flag = TRUE;
            ++param;
        }
        info.ParseParam(param, flag, i + 1 == arguments.size());
    }
}
