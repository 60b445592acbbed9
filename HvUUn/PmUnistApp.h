// The uninstaller's application object: the start-up checks, then the wizard (or, on Windows 95,
// the single dialog). The program ends when that window closes.
#pragma once

#include <afxwin.h>

class CPmUnistApp : public CWinApp {
public:
    BOOL InitInstance() override;
    // 0 when the uninstallation ran to its end, 1 when it was refused, stopped or left.
    int ExitInstance() override;

    DECLARE_MESSAGE_MAP()

private:
    int m_nExitCode = 1;
};

// The token of the calling thread (or of its process) holds the Administrators group enabled.
BOOL IsUserAnAdministrator();
// The screen shows 8 or more bits per pixel.
BOOL HasColourDisplay();
// Windows 95 itself: the 9x platform, version 4.0.
BOOL IsWindows95();
