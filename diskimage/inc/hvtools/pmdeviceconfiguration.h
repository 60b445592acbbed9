// The values that configure a functional device, read from its physical device's registry key.
#pragma once

#include <pminformationset.h>

class FunctionalDeviceRegistryInformationSet : public CPmInformationSet {
public:
    ULONG m_ulTypeOfDevice;
    CPmString m_DeviceName;
    ULONG m_ulDeviceIndexingPolicyType;
    ULONG m_ulNumberChildDevices;
    CPmString m_SymbolicLinkName;
    ULONG m_ulDeviceIsExclusive;
    ULONG m_ulIoType;
    ULONG m_ulDisplayInUi;
    ULONG m_ulReadClientType;
    ULONG m_ulOutgoingWriteType;
    ULONG m_ulLowestStackLayer;
    CPmConfigurableValidator m_IoTypeValidator;

    // Registers the items and loads them from the key's own values; the set stays invalid when a
    // required value is missing or a value is refused.
    explicit FunctionalDeviceRegistryInformationSet(HANDLE hKey);

    // No direct-I/O flag, buffered I/O or direct I/O.
    static PM_DWORD_CHECK sm_CheckIoType;
};
