// The MFC-like control-hosting header (AfxEnableControlContainer is in afxwin.h).
#pragma once

#include <afxwin.h>
