// The MFC-like extensions header: the window layer and its dialogs.
#pragma once

#include <afxwin.h>
#include <afxdlgs.h>
