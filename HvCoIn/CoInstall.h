// HvUCoInstall: the device co-installer that forwards every call to the co-installer that the
// device's hardware key names.
#pragma once

#include <windows.h>
#include <setupapi.h>

extern "C" DECLSPEC_EXPORT DWORD CALLBACK
HvUCoInstall(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
             PCOINSTALLER_CONTEXT_DATA context);

// Releases the chained libraries still waiting for a pass after the class installer that did not
// come; called at the library's unload.
void ReleaseAwaitingCoInstallers();
