#include "PortPropPage.h"

#include "HvUIPropertyPage.h"

#include <new>

BOOL WINAPI HvUPortPropPage(PSP_PROPSHEETPAGE_REQUEST request, LPFNADDPROPSHEETPAGE addPage, LPARAM lParam) {
    if (!request || request->PageRequested != SPPSR_ENUM_ADV_DEVICE_PROPERTIES) return TRUE;
    // A request for no device has nothing to show; it is not a failure.
    if (!request->DeviceInfoData) return TRUE;
    if (!addPage) return FALSE;

    auto* page = new (std::nothrow) CHvUIPropertyPage(request->DeviceInfoSet, *request->DeviceInfoData);
    if (!page) return FALSE;
    if (!page->m_IsValid()) {
        delete page;
        return FALSE;
    }
    HPROPSHEETPAGE handle = page->Create();
    if (!handle) {
        delete page;
        return FALSE;
    }
    // From here the system page owns the object: its release deletes it.
    page->m_bDeleteOnRelease = true;
    if (addPage(handle, lParam)) return TRUE;
    DestroyPropertySheetPage(handle);
    return FALSE;
}
