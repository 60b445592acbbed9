// Which USB functions the bus driver takes: the maker's vendor ID, any product but the PID_F range.
#pragma once

#include <wdm.h>

// The first string of a hardware-ID property (at most ulCharacters, up to its terminator),
// compared without regard to case.
BOOLEAN HvUBusIsAcceptedHardwareId(PCWSTR pszHardwareId, ULONG ulCharacters);
