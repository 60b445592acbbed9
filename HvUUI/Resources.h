// The library's string table.
#pragma once

#include <windows.h>

#include <string>

#define IDS_PORT_IN_USE 5047
#define IDS_PORT_OPEN 5048
#define IDS_RENAME_FAILED 5049
#define IDS_UPDATE_REFUSED 5062

// The text of a string of the table; empty for an unknown ID.
std::u16string HvLoadString(UINT id);
