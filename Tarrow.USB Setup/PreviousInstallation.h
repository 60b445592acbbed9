// A previous installation of the product: its detection, the marking of its absent devices
// for reinstallation, and the rescans that follow an install run.
#pragma once

#include "InstallData.h"

// TRUE when a device of the bus INF's IDs was ever installed: connected with a driver or a
// problem other than "not configured", or known but absent.
BOOL DetectPreviousInstallation(CTarrowUSBInstallData* data);

// Sets CONFIGFLAG_REINSTALL on the absent devices of the bus INF's IDs, so that each gets its
// driver again when it is next plugged in. A failed write is shown unless the run is silent.
void MarkAbsentDevicesForReinstallation(CTarrowUSBInstallData* data, BOOL silent);

// The upper-cased copy of a hardware ID that the property test is given.
CString UpperCaseId(const CString& id);
