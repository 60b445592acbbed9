// The command line of the uninstaller and of the setup program: a silent flag, a help flag and
// the last plain argument.
#pragma once

#include <afxwin.h>

class CHvCommandLineInfo : public CCommandLineInfo {
  public:
    CHvCommandLineInfo();
    ~CHvCommandLineInfo() override;

    void ParseParam(const char* param, BOOL flag, BOOL last) override;

    BOOL m_bSilent;
    BOOL m_bHelp;
    CString m_strParameter;
    // Combined switch letters ("/sh") are read until the first letter that is no switch; from
    // then on only whole-word switches count.
    BOOL m_bLettersValid;
};
