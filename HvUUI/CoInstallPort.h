// The Ports class co-installer and its steps.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <functional>
#include <string>

// The name of a port's save key under its card's hardware key: of the middle segment of the
// instance ID only its last character stays, and backslashes become "_" (A\BCD\E gives A_D_E).
std::u16string PortSaveKeyName(const std::u16string& instanceId);
// "System\CurrentControlSet\Enum\<ID>\Device Parameters", the device's hardware key.
std::u16string DeviceParametersPath(const std::u16string& instanceId);
// Copies the REG_DWORD and REG_SZ values of `from` that `keep` accepts into `to` (strings with
// their terminator); a REG_SZ named "PortName" is handed back instead when `portName` is given.
void CopyValues(HKEY from, HKEY to, const std::function<bool(const std::u16string&, DWORD)>& keep,
                std::u16string* portName);

BOOL RestorePortSettings(HDEVINFO set, PSP_DEVINFO_DATA data);
BOOL AssignFirstComNumber(HDEVINFO set, PSP_DEVINFO_DATA data);
BOOL IsWindows61OrLater();
void WriteDefaultPortsEntry(HDEVINFO set, PSP_DEVINFO_DATA data);
// ERROR_DI_DONT_INSTALL, after telling the user why, when the device is marked "NoUpgrade".
DWORD RefuseMarkedUpdate(HDEVINFO set, PSP_DEVINFO_DATA data);

BOOL IsListedCardId(const std::u16string& instanceId);
BOOL RenumberCardPorts(HDEVINFO set, PSP_DEVINFO_DATA data);

extern "C" DECLSPEC_EXPORT DWORD CALLBACK
HvUCoInstallPort(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                 PCOINSTALLER_CONTEXT_DATA context);
