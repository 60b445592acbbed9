// The property-page provider that Device Manager calls (by the name in EnumPropPages32) for the
// pages of a port.
#pragma once

#include <windows.h>
#include <prsht.h>
#include <setupapi.h>

// Adds the Port Settings page for an advanced-properties request, when the port's driver answers
// on its settings interface. TRUE when the request was served (also: not ours to serve).
extern "C" DECLSPEC_EXPORT BOOL WINAPI
HvUPortPropPage(PSP_PROPSHEETPAGE_REQUEST request, LPFNADDPROPSHEETPAGE addPage, LPARAM lParam);
