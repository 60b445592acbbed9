// A function driver on the device framework for the children of the test bus driver: it finds
// its child's number through the framework's accessor and talks to the bus through the child, as
// the port driver does. Each callback writes one "HVGC ..." line to the debugger log.
#include <wdm.h>

#include <pmdriver.h>
#include <pmfunctionaldevice.h>
#include <pmirphelpers.h>
#include <pmlowerstackio.h>
#include <pmphysicaldevice.h>
#include <pmusermodeinterface.h>

#include "../hvgentestbus_protocol.h"

namespace {

class CGenChildDriver : public CPmDriverClass {
public:
    CPmFunctionalDevice* m_pDevice = NULL;
};

class CGenChildSettings : public CPmInformationSet {
public:
    ULONG m_ulSpeed = 0;
    ULONG m_ulParity = 0;
    CGenChildSettings() : CPmInformationSet(NULL) {
        if (!m_AddDword(u"Speed", &m_ulSpeed, 9600) || !m_AddDword(u"Parity", &m_ulParity, 0))
            m_SetValid(FALSE);
    }
};

// {5C1E8A27-94D3-4B60-8F2A-D7136E0B94C5}
constexpr GUID GUID_HVGC_SETTINGS_INTERFACE = {0x5C1E8A27, 0x94D3, 0x4B60, {0x8F, 0x2A, 0xD7, 0x13, 0x6E, 0x0B, 0x94, 0xC5}};

void Query(CPmFunctionalDevice* pDevice, HvgcState* pState) {
    RtlZeroMemory(pState, sizeof(*pState));
    pState->ulContextIdRead = CPmPhysicalDevice::sm_GetContextId(pDevice, &pState->ulContextId);
    pState->ulPdoIdentified = CPmPhysicalDevice::sm_IdentifyDeviceObject(pDevice->m_pPhysicalDeviceObject) != NULL;
    pState->ulFdoIdentified = CPmPhysicalDevice::sm_IdentifyDeviceObject(pDevice->m_pDeviceObject) != NULL;
    pState->ulDeviceIndex = pDevice->m_ulDeviceIndex;
    ULONG ulLength = sizeof(pState->ulPingAnswer);
    pState->lPingStatus = SendInternalDeviceControlSync(pDevice->m_pLowerDeviceObject, IOCTL_HVGB_PING, NULL, 0,
                                                        &pState->ulPingAnswer, &ulLength, TRUE, NULL)
                              ? STATUS_SUCCESS
                              : STATUS_UNSUCCESSFUL;
}

NTSTATUS OnDeviceControl(CPmDriverClass* pObject, ULONG ulCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                         ULONG ulOutputLength, PULONG_PTR pulInformation) {
    CPmFunctionalDevice* pDevice = static_cast<CGenChildDriver*>(pObject)->m_pDevice;
    if (ulCode == IOCTL_HVGC_DELETE_READER) {
        delete pDevice->m_pLowerStackReader;
        pDevice->m_pLowerStackReader = NULL;
        return STATUS_SUCCESS;
    }
    if (ulCode != IOCTL_HVGC_QUERY)
        return STATUS_NOT_SUPPORTED;
    if (ulOutputLength < sizeof(HvgcState))
        return STATUS_BUFFER_TOO_SMALL;
    Query(pDevice, static_cast<HvgcState*>(pvOutput));
    *pulInformation = sizeof(HvgcState);
    return STATUS_SUCCESS;
}

// Each record as "HVGC record <value> <length> <up to 8 data bytes>"; the buffer is freed here.
void OnRecord(PVOID pvContext, ULONG_PTR ulValue, CPmBuffer* pBuffer) {
    static const char s_szDigits[] = "0123456789abcdef";
    char szBytes[2 * 8 + 1] = {};
    for (ULONG ulIndex = 0; ulIndex < pBuffer->m_ulLength && ulIndex < 8; ++ulIndex) {
        szBytes[2 * ulIndex] = s_szDigits[pBuffer->m_pucData[ulIndex] >> 4];
        szBytes[2 * ulIndex + 1] = s_szDigits[pBuffer->m_pucData[ulIndex] & 0xF];
    }
    DbgPrint("HVGC record %llx %u %s\n", (ULONGLONG)ulValue, pBuffer->m_ulLength, szBytes);
    pBuffer->m_Delete();
}

BOOLEAN OnStart(CPmDriverClass* pObject) {
    CGenChildDriver* pDriver = static_cast<CGenChildDriver*>(pObject);
    if (CPmLowerStackReader* pReader = pDriver->m_pDevice->m_pLowerStackReader)
        DbgPrint("HVGC reader %s\n", pReader->m_Open(OnRecord, pDriver) ? "opened" : "refused");
    DbgPrint("HVGC start\n");
    return TRUE;
}

BOOLEAN AddDeviceFunction(CPmDriverClass* pObject, CPmDriver* pWrapper, CPmFunctionalDevice* pDevice) {
    static_cast<CGenChildDriver*>(pObject)->m_pDevice = pDevice;
    ULONG ulContextId = 0;
    if (CPmPhysicalDevice::sm_GetContextId(pDevice, &ulContextId))
        DbgPrint("HVGC add device %u\n", ulContextId);
    else
        DbgPrint("HVGC add device without a child below\n");
    pDevice->m_Callbacks.m_PnpStartDeviceCallback = OnStart;
    pDevice->m_Callbacks.m_SimpleDeviceControlCallback = OnDeviceControl;
    return TRUE;
}

BOOLEAN CreateDriverClass(PPM_ADD_DEVICE_FUNCTION* ppfnAddDeviceFunction, PPM_DEVICE_CREATION* ppfnDeviceCreation,
                          CPmDriverClass** ppObject) {
    *ppObject = new (NonPagedPool) CGenChildDriver();
    if (!*ppObject)
        return FALSE;
    *ppfnAddDeviceFunction = AddDeviceFunction;
    return TRUE;
}

void DestroyDriverClass(CPmDriverClass* pObject) { delete static_cast<CGenChildDriver*>(pObject); }

BOOLEAN CreateSettings(PmUserModeInterface* pInterface) {
    CGenChildSettings* pSet = new (PagedPool) CGenChildSettings();
    if (!pSet || !pSet->m_GetValid()) {
        delete pSet;
        return FALSE;
    }
    pInterface->m_SetSettings(pSet, GUID_HVGC_SETTINGS_INTERFACE);
    return TRUE;
}

void RemoveHook() {}

} // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject,
                                                                        PUNICODE_STRING pRegistryPath) {
    PmDriverDescription description;
    RtlZeroMemory(&description, sizeof(description));
    description.m_pszDriverName = u"HvGenTestChild";
    description.m_pszFileName = u"hvgentestchild.sys";
    description.m_pfnCreateDriverClass = CreateDriverClass;
    description.m_pfnDestroyDriverClass = DestroyDriverClass;
    description.m_pfnUnloadCleanup = PmDriverUnloadCleanup;
    description.m_pfnCreateSettings = CreateSettings;
    description.m_pfnRemoveHook = RemoveHook;
    return PmDriverEntry(pDriverObject, pRegistryPath, &description);
}
