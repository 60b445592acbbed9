// A bus driver on the device framework, for the child-device tests: its device lists children in
// the "Child<n>" subkeys of its key, and it serves the requests that reach it through them. Each
// callback writes one "HVGB ..." line to the debugger log.
#include <wdm.h>

#include <pmdriver.h>
#include <pmfunctionaldevice.h>
#include <pmphysicaldevice.h>
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

CPmBuffer* NewBuffer(const void* pvData, ULONG ulLength) {
    CPmBuffer* pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (pBuffer && ulLength && !pBuffer->m_Assign(pvData, ulLength)) {
        pBuffer->m_Delete();
        return NULL;
    }
    return pBuffer;
}

// Under the child list's lock, so that the child cannot go meanwhile.
NTSTATUS PostRecord(CPmFunctionalDevice* pDevice, const HvgbRecordHeader& header, CPmBuffer* pData) {
    NTSTATUS ntStatus = STATUS_NO_SUCH_DEVICE;
    pDevice->m_ChildListLock.m_Lock();
    for (PVOID pv = pDevice->m_ChildList.m_GetFirst(); pv; pv = pDevice->m_ChildList.m_GetNext()) {
        PmChildEntry* pEntry = static_cast<PmChildEntry*>(pv);
        if (pEntry->m_ulContextId != header.ulContextId || !pEntry->m_pDeviceObject)
            continue;
        CPmPhysicalDevice* pChild =
            static_cast<CPmPhysicalDevice*>(CPmDevice::sm_GetExtension(pEntry->m_pDeviceObject)->m_pDevice);
        ntStatus =
            pChild->m_PostRecord(pData, (ULONG_PTR)header.ullValue) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        pData = NULL;
        break;
    }
    pDevice->m_ChildListLock.m_Unlock();
    if (pData)
        pData->m_Delete();
    return ntStatus;
}

NTSTATUS OnDeviceControl(CPmDriverClass* pObject, ULONG ulCode, PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                         ULONG ulOutputLength, PULONG_PTR pulInformation) {
    DbgPrint("HVGB device control %08x\n", ulCode);
    CPmFunctionalDevice* pDevice = static_cast<CGenBusDriver*>(pObject)->m_pDevice;
    switch (ulCode) {
    case IOCTL_HVGB_POST_RECORD: {
        HvgbRecordHeader header;
        if (ulInputLength < sizeof(header))
            return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(&header, pvInput, sizeof(header));
        CPmBuffer* pData =
            NewBuffer(static_cast<PUCHAR>(pvInput) + sizeof(header), ulInputLength - sizeof(header));
        return pData ? PostRecord(pDevice, header, pData) : STATUS_INSUFFICIENT_RESOURCES;
    }
    case IOCTL_HVGB_FEED_READS: {
        CPmBuffer* pData = ulInputLength ? NewBuffer(pvInput, ulInputLength) : NULL;
        if (!pData)
            return STATUS_INVALID_PARAMETER;
        pDevice->m_DataForPendingReadArrived(pData);
        return STATUS_SUCCESS;
    }
    }
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
