// Driver update for Plug and Play devices: installs an INF's driver on every present device with
// a given hardware ID.
#pragma once

#include <windows.h>

HV_EXTERN_C_BEGIN

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

HV_API BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, PCWSTR HardwareId, PCWSTR FullInfPath,
                                                      DWORD InstallFlags, PBOOL bRebootRequired);
HV_API BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, PCSTR HardwareId, PCSTR FullInfPath,
                                                      DWORD InstallFlags, PBOOL bRebootRequired);
#define UpdateDriverForPlugAndPlayDevices UpdateDriverForPlugAndPlayDevicesW

HV_EXTERN_C_END
