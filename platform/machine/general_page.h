// Device Manager's General page: what the device is, who made it, where it is and how it is.
#pragma once

#include <windows.h>
#include <prsht.h>
#include <setupapi.h>

#include <string>

namespace hvsim {

// A read-only page for the device of the set; nullptr when the page cannot be made. The set and
// the data must outlive the page.
HPROPSHEETPAGE create_general_page(HDEVINFO set, PSP_DEVINFO_DATA data);

// A device property of the set as text; empty when it has none.
std::u16string device_property_text(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property);

} // namespace hvsim
