// A bus driver on the device framework, for the child-device tests: its device lists children in
// the "Child<n>" subkeys of its key, and it serves the requests that reach it through them. Each
// callback writes one "HVGB ..." line to the debugger log.
#include <wdm.h>

#include <pmdriver.h>
#include <pmfunctionaldevice.h>
#include <pmusermodeinterface.h>

#include "../hvgentestbus_protocol.h"

namespace {

class CGenBusDriver : public CPmDriverClass {
public:
    CPmFunctionalDevice* m_pDevice = NULL;
};

// One bus setting per child, kept under "UI<ContextID>" of the bus device's key.
class CGenBusSettings : public CPmInformationSet {
public:
    ULONG m_ulLatency = 0;
    CGenBusSettings() : CPmInformationSet(NULL) {
        if (!m_AddDword(u"Latency", &m_ulLatency, 16))
            m_SetValid(FALSE);
    }
};

NTSTATUS OnInternalControl(CPmDriverClass* pObject, ULONG ulCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                           ULONG ulOutputLength, PULONG_PTR pulInformation) {
    DbgPrint("HVGB internal %08x\n", ulCode);
    if (ulCode != IOCTL_HVGB_PING)
        return STATUS_NOT_SUPPORTED;
    if (ulOutputLength < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    *static_cast<PULONG>(pvOutput) = HVGB_PING_ANSWER;
    *pulInformation = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS OnDeviceControl(CPmDriverClass* pObject, ULONG ulCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                         ULONG ulOutputLength, PULONG_PTR pulInformation) {
    DbgPrint("HVGB device control %08x\n", ulCode);
    return STATUS_SUCCESS;
}

BOOLEAN OnApplySettings(CPmDriverClass* pObject, CPmInformationSet* pSet, ULONG ulIndex, ULONG ulMode, PBOOLEAN pbFlag) {
    *pbFlag = FALSE;
    DbgPrint("HVGB settings %u %u %u\n", ulIndex, ulMode, static_cast<CGenBusSettings*>(pSet)->m_ulLatency);
    return TRUE;
}

// Writes at a child that carry data for the bus; the buffer is lent.
void OnDirectWrite(CPmDriverClass* pObject, ULONGLONG ullValue, CPmBuffer* pBuffer) {
    DbgPrint("HVGB direct write %u %08x %02x\n", pBuffer->m_ulLength, (ULONG)ullValue,
             pBuffer->m_ulLength ? pBuffer->m_pucData[0] : 0);
}

BOOLEAN OnStart(CPmDriverClass* pObject) {
    DbgPrint("HVGB start\n");
    return TRUE;
}

void OnRemove(CPmDriverClass* pObject) { DbgPrint("HVGB remove\n"); }

BOOLEAN AddDeviceFunction(CPmDriverClass* pObject, CPmDriver* pWrapper, CPmFunctionalDevice* pDevice) {
    static_cast<CGenBusDriver*>(pObject)->m_pDevice = pDevice;
    PmDriverCallbacks& callbacks = pDevice->m_Callbacks;
    callbacks.m_PnpStartDeviceCallback = OnStart;
    callbacks.m_PnpRemoveDeviceCallback = OnRemove;
    callbacks.m_InternalDeviceControlCallback = OnInternalControl;
    callbacks.m_SimpleDeviceControlCallback = OnDeviceControl;
    callbacks.m_UserModeInterfaceCallback = OnApplySettings;
    callbacks.m_DirectWriteCallback = OnDirectWrite;
    DbgPrint("HVGB add device\n");
    return TRUE;
}

BOOLEAN CreateDriverClass(PPM_ADD_DEVICE_FUNCTION* ppfnAddDeviceFunction, PPM_DEVICE_CREATION* ppfnDeviceCreation,
                          CPmDriverClass** ppObject) {
    *ppObject = new (NonPagedPool) CGenBusDriver();
    if (!*ppObject)
        return FALSE;
    *ppfnAddDeviceFunction = AddDeviceFunction;
    return TRUE;
}

void DestroyDriverClass(CPmDriverClass* pObject) { delete static_cast<CGenBusDriver*>(pObject); }

BOOLEAN CreateSettings(PmUserModeInterface* pInterface) {
    CGenBusSettings* pSet = new (PagedPool) CGenBusSettings();
    if (!pSet || !pSet->m_GetValid()) {
        delete pSet;
        return FALSE;
    }
    pInterface->m_SetSettings(pSet, GUID_HVGENDRV_BUS_INTERFACE);
    return TRUE;
}

void RemoveHook() {}

} // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject,
                                                                        PUNICODE_STRING pRegistryPath) {
    PmDriverDescription description;
    RtlZeroMemory(&description, sizeof(description));
    description.m_pszDriverName = u"HvGenTestBus";
    description.m_pszFileName = u"hvgentestbus.sys";
    description.m_pfnCreateDriverClass = CreateDriverClass;
    description.m_pfnDestroyDriverClass = DestroyDriverClass;
    description.m_pfnUnloadCleanup = PmDriverUnloadCleanup;
    description.m_pfnCreateSettings = CreateSettings;
    description.m_pfnRemoveHook = RemoveHook;
    return PmDriverEntry(pDriverObject, pRegistryPath, &description);
}
