// The library's string resources.
#pragma once

#include <windows.h>

#include <string>

#define IDS_PORT_IN_USE 5047
#define IDS_PORT_OPEN 5048
#define IDS_RENAME_FAILED 5049
#define IDS_UPDATE_REFUSED 5062

// The library's own module, from DllMain; NULL where the code is linked into a program, whose
// image then carries the strings.
extern HINSTANCE g_hInstance;

// The text of a string resource of the library; empty for an unknown ID.
std::u16string HvLoadString(UINT id);
