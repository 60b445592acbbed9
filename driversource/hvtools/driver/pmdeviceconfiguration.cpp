// The functional device's configuration set.
#include <pmdeviceconfiguration.h>

BOOLEAN FunctionalDeviceRegistryInformationSet::sm_CheckIoType(ULONG ulValue) {
    return ulValue == 0 || ulValue == DO_BUFFERED_IO || ulValue == DO_DIRECT_IO;
}

FunctionalDeviceRegistryInformationSet::FunctionalDeviceRegistryInformationSet(HANDLE hKey)
    : CPmInformationSet(hKey), m_ulTypeOfDevice(0), m_DeviceName(PagedPool), m_ulDeviceIndexingPolicyType(0),
      m_ulNumberChildDevices(0), m_SymbolicLinkName(PagedPool), m_ulDeviceIsExclusive(0), m_ulIoType(0),
      m_ulDisplayInUi(0), m_ulReadClientType(0), m_ulOutgoingWriteType(0), m_ulLowestStackLayer(0) {
    m_IoTypeValidator.m_SetCheck(sm_CheckIoType);
    BOOLEAN bRegistered =
        m_GetValid() && m_AddItem(1, u"TypeOfDevice", &m_ulTypeOfDevice, PM_ITEM_DWORD, NULL, NULL) &&
        m_AddItem(1, u"DeviceName", &m_DeviceName, PM_ITEM_STRING, NULL, NULL) &&
        m_AddItem(1, u"DeviceIndexingPolicyType", &m_ulDeviceIndexingPolicyType, PM_ITEM_DWORD, NULL, NULL) &&
        m_AddDword(u"NumberChildDevices", &m_ulNumberChildDevices, 0) &&
        m_AddString(u"SymbolicLinkName", &m_SymbolicLinkName, NULL) &&
        m_AddDword(u"DeviceIsExclusive", &m_ulDeviceIsExclusive, 1) &&
        m_AddDword(u"IoType", &m_ulIoType, DO_BUFFERED_IO, &m_IoTypeValidator) &&
        m_AddDword(u"DisplayInUi", &m_ulDisplayInUi, 1) && m_AddDword(u"ReadClientType", &m_ulReadClientType, 0) &&
        m_AddDword(u"OutgoingWriteType", &m_ulOutgoingWriteType, 0) &&
        m_AddDword(u"LowestStackLayer", &m_ulLowestStackLayer, 0);
    if (!bRegistered || !m_LoadFromKey(PM_SECTION_CURRENT))
        m_SetValid(FALSE);
}
