// The bold heading font of the wizard's exterior pages and of the Windows 95 dialog.
#pragma once

#include <afxwin.h>

// (Re)creates `font` as an 8-point "Verdana Bold" on the system's message font; FALSE when the
// system gives no message font.
BOOL CreateHeadingFont(CFont& font);
