// The card co-installer: a card's ports keep their names and settings across the card's
// reinstallation, and the card's removal starts the program its hardware key names.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

// Copies each child port's settings into a save key under the card's hardware key, for the
// Ports co-installer to bring back once the port is installed again.
void SaveChildPortSettings(HDEVINFO set, PSP_DEVINFO_DATA data);
// Starts the program that the card's "UnInstall" value names in the system directory.
BOOL RunCardUninstallProgram(HDEVINFO set, PSP_DEVINFO_DATA data, BOOL wait);
// Starts the program at the path; with `wait`, waits at most a minute for it to end.
BOOL StartProgram(const std::u16string& path, BOOL wait);

extern "C" DECLSPEC_EXPORT DWORD CALLBACK
HvUCoInstallCard(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                 PCOINSTALLER_CONTEXT_DATA context);
