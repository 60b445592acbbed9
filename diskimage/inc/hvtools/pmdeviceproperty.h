// Reads a device's driver key name through the PnP manager.
#pragma once

#include <pmstring.h>

class CPmDeviceProperty {
public:
    PDEVICE_OBJECT m_pDeviceObject; // the physical device object

    explicit CPmDeviceProperty(PDEVICE_OBJECT pDeviceObject = NULL) : m_pDeviceObject(pDeviceObject) {}

    // A zeroed pool block holding the driver key name and its length in bytes; the caller frees the
    // block through the pool.
    BOOLEAN m_Get(PVOID* ppvBlock, PULONG pulLength);
    BOOLEAN m_GetString(CPmString& value);
};
