// The GPIO co-installer: removing the GPIO function of a two-function card removes its
// multiport-serial function too.
#pragma once

#include <windows.h>
#include <setupapi.h>

// The machine-wide guard of one removal: TRUE when another removal holds it. Otherwise the
// guard's handle is handed out in *mutex (NULL when it could not be made), for the caller to
// close once its removal is done.
BOOL AcquireRemovalGuard(HANDLE* mutex);
// Removes the present multiport-serial device whose location text is the device's own with the
// character after "function " changed from `from` to `to`; FALSE when the device's location
// does not read that way or the devices cannot be listed.
BOOL RemoveSiblingFunctionDevice(HDEVINFO set, PSP_DEVINFO_DATA data, WCHAR from, WCHAR to);

extern "C" DECLSPEC_EXPORT DWORD CALLBACK
HvUCoInstallGpio(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                 PCOINSTALLER_CONTEXT_DATA context);
