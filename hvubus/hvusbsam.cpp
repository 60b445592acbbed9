// The bus driver's entry, its driver-specific object and the callbacks it installs in its bus
// functional device.
#include "hvusbsam.h"

#include <pmdebugmanager.h>
#include <pmwmi.h>

#include "ftdi1port.h"
#include "hvubushardwareid.h"
#include "hvubustrace.h"
#include "hvubuswmi.h"

static const CHAR s_szSourcePath[] = "hvubus\\hvusbsam";

// The hardware-ID property is read into this much first, then into what the system asks for.
#define HVUBUS_HARDWARE_ID_FIRST_READ 255

static CHvUsbSamDriver* PmBusDriver(CPmDriverClass* pObject) { return static_cast<CHvUsbSamDriver*>(pObject); }

CHvUsbSamDriver::CHvUsbSamDriver() : m_pBusDevice(NULL), m_PortList(NonPagedPool), m_pBusSettings(NULL) {
    PM_TRACE(HVUBUS_TRACE, "HvUBus Constructor - IN");
    KeInitializeMutex(&m_PortListMutex, 0);
    m_UsageLock.m_Init(TRUE);
    PM_TRACE(HVUBUS_TRACE, "HvUBus Constructor - OUT");
}

// A device refused at AddDevice never ran its removal: its ports (none in practice) go here.
CHvUsbSamDriver::~CHvUsbSamDriver() {
    m_UsageLock.m_DisableAndWait();
    m_DestroyAllPorts();
}

void CHvUsbSamDriver::m_LockPorts() {
    KeWaitForSingleObject(&m_PortListMutex, Executive, KernelMode, FALSE, NULL);
}

void CHvUsbSamDriver::m_UnlockPorts() { KeReleaseMutex(&m_PortListMutex, FALSE); }

// In list order, with the list locked: a port cannot go while it is being called.
void CHvUsbSamDriver::m_ForEachPort(void (*pfnCall)(CHvUsbSamDriver* pDriver, CHvUBusPort* pPort)) {
    m_LockPorts();
    for (CHvUBusPort* pPort = static_cast<CHvUBusPort*>(m_PortList.m_GetFirst()); pPort;
         pPort = static_cast<CHvUBusPort*>(m_PortList.m_GetNext()))
        pfnCall(this, pPort);
    m_UnlockPorts();
}

// Each port leaves the list before it is taken down: closing it changes the device's power, and
// the power callbacks walk the list.
void CHvUsbSamDriver::m_DestroyAllPorts() {
    for (;;) {
        m_LockPorts();
        CHvUBusPort* pPort = static_cast<CHvUBusPort*>(m_PortList.m_RemoveHead());
        m_UnlockPorts();
        if (!pPort)
            return;
        pPort->m_DeInit();
        delete pPort;
    }
}

// Only the first string of the multi-string property counts. Any failure to read refuses.
BOOLEAN CHvUsbSamDriver::m_IsOwnDevice() {
    PDEVICE_OBJECT pPhysicalDeviceObject = m_pBusDevice->m_pPhysicalDeviceObject;
    ULONG ulSize = HVUBUS_HARDWARE_ID_FIRST_READ;
    PVOID pvBuffer = PmAllocateMemory(ulSize, PagedPool);
    if (!pvBuffer)
        return FALSE;
    ULONG ulResult = 0;
    NTSTATUS ntStatus = IoGetDeviceProperty(pPhysicalDeviceObject, DevicePropertyHardwareID, ulSize, pvBuffer,
                                            &ulResult);
    if (ntStatus == STATUS_BUFFER_TOO_SMALL && ulResult > ulSize) {
        PmFreeMemory(pvBuffer);
        ulSize = ulResult;
        pvBuffer = PmAllocateMemory(ulSize, PagedPool);
        if (!pvBuffer)
            return FALSE;
        ntStatus = IoGetDeviceProperty(pPhysicalDeviceObject, DevicePropertyHardwareID, ulSize, pvBuffer, &ulResult);
    }
    BOOLEAN bAccepted = FALSE;
    if (NT_SUCCESS(ntStatus) && ulResult <= ulSize)
        bAccepted = HvUBusIsAcceptedHardwareId(static_cast<PCWSTR>(pvBuffer), ulResult / sizeof(WCHAR));
    PmFreeMemory(pvBuffer);
    return bAccepted;
}

BOOLEAN CHvUsbSamDriver::m_AddDevice(CPmDriverClass* pObject, CPmDriver* pDriver, CPmFunctionalDevice* pDevice) {
    CHvUsbSamDriver* pThis = PmBusDriver(pObject);
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_AddDevice - IN");
    pThis->m_pBusDevice = pDevice;
    PmDriverCallbacks& callbacks = pDevice->m_Callbacks;
    callbacks.m_PnpStartDeviceCallback = m_PnpStartDevice;
    callbacks.m_PnpRemoveDeviceCallback = m_CleanUp;
    callbacks.m_CleanupCallback = m_CleanUpLogOnly;
    callbacks.m_RebalanceDeviceCallback = m_RebalanceDevice;
    callbacks.m_PowerDownResetDeviceFunction = m_PowerDownResetDevice;
    callbacks.m_PowerUpInitDeviceFunction = m_PowerUpInitDevice;
    callbacks.m_UserModeInterfaceCallback = m_UserModeInterface;
    callbacks.m_InternalDeviceControlCallback = m_InternalDeviceControlCallback;
    callbacks.m_ulWmiGuidCount = HVUBUS_WMI_BLOCKS;
    callbacks.m_pWmiGuidTable = g_aHvUBusWmiGuidTable;
    callbacks.m_WmiQueryDataBlockCallback = m_WmiQueryDataBlockCallback;
    callbacks.m_WmiGetRequiredSizeCallback = m_WmiGetRequiredSizeCallback;
    callbacks.m_WmiSetDataBlockCallback = m_WmiSetDataBlockCallback;
    callbacks.m_WmiSetDataItemCallback = m_WmiSetDataItemCallback;
    callbacks.m_WmiExecuteMethodCallback = m_WmiExecuteMethodCallback;
    callbacks.m_WmiGetRequiredSizeForMethodCallback = m_WmiGetRequiredSizeForMethodCallback;
    callbacks.m_WmiFunctionControlCallback = m_WmiFunctionControlCallback;
    if (!pThis->m_IsOwnDevice()) {
        PM_TRACE(HVUBUS_TRACE, "HvUBus m_AddDevice - OUT (FAILED - Device is not a Hlavorn ExpressCard Device.)");
        return FALSE;
    }
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_AddDevice - OUT (SUCCESS)");
    return TRUE;
}

// Nothing is configured at start: each port configures the USB device when it is created.
BOOLEAN CHvUsbSamDriver::m_PnpStartDevice(CPmDriverClass* pObject) {
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_PnpStartDevice - IN");
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_DoStartDevice - IN-OUT");
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_PnpStartDevice - OUT (Success)");
    return TRUE;
}

void CHvUsbSamDriver::m_DoRemoveDevice() {
    m_pBusDevice->m_GotoPowerState(PowerDeviceD0);
    m_DestroyAllPorts();
}

void CHvUsbSamDriver::m_CleanUp(CPmDriverClass* pObject) {
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_CleanUp - IN");
    PmBusDriver(pObject)->m_DoRemoveDevice();
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_CleanUp - OUT");
}

BOOLEAN CHvUsbSamDriver::m_CleanUpLogOnly(CPmDriverClass* pObject) {
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_CleanUp - IN-OUT");
    return TRUE;
}

BOOLEAN CHvUsbSamDriver::m_RebalanceDevice(CPmDriverClass* pObject, ULONG ulPhase) {
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_RebalanceDevice - IN (%d)", ulPhase);
    PmBusDriver(pObject)->m_pBusDevice->m_GotoPowerState(PowerDeviceD0);
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_RebalanceDevice - OUT");
    return TRUE;
}

void CHvUsbSamDriver::m_PowerDownResetDevice(CPmDriverClass* pObject) {
    CHvUsbSamDriver* pThis = PmBusDriver(pObject);
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_PowerDownResetDevice - IN");
    pThis->m_ForEachPort([](CHvUsbSamDriver*, CHvUBusPort* pPort) { pPort->m_SaveDeviceState(); });
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_PowerDownResetDevice - OUT");
}

void CHvUsbSamDriver::m_PowerUpInitDevice(CPmDriverClass* pObject) {
    CHvUsbSamDriver* pThis = PmBusDriver(pObject);
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_PowerUpInitDevice - IN");
    pThis->m_ForEachPort([](CHvUsbSamDriver*, CHvUBusPort* pPort) { pPort->m_RestoreDeviceState(); });
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_PowerUpInitDevice - OUT");
}

// The same order as at port creation.
void CHvUsbSamDriver::m_PushSettings(CHvUBusPort* pPort) {
    CHvUBusUserModeInterface* pSet = m_pBusSettings;
    PM_TRACE(HVUBUS_TRACE, "==================HvUBus UI Parameter======================");
    PM_TRACE(HVUBUS_TRACE, "->InterfaceType: %s", pSet->m_InterfaceType.m_GetAnsiString()->Buffer
                                                       ? pSet->m_InterfaceType.m_GetAnsiString()->Buffer
                                                       : "");
    PM_TRACE(HVUBUS_TRACE, "->RxFifoSize: %d", pSet->m_ulRxFifoSize);
    PM_TRACE(HVUBUS_TRACE, "->TxFifoSize: %d", pSet->m_ulTxFifoSize);
    PM_TRACE(HVUBUS_TRACE, "->PolicyType: %d", pSet->m_ulPolicyType);
    PM_TRACE(HVUBUS_TRACE, "->Max. Latency: %d", pSet->m_ulMaximumLatency);
    PM_TRACE(HVUBUS_TRACE, "->Max. Latency Slider Pos: %d", pSet->m_ulMaximumLatencySliderPos);
    PM_TRACE(HVUBUS_TRACE, "->Max. Latency Fine Tuning: %d", pSet->m_ulMaximumLatencyFineTuning);
    PM_TRACE(HVUBUS_TRACE, "->Max. Low CPU Usage Fine Tuning: %d", pSet->m_ulLowCpuUsageFineTuning);
    PM_TRACE(HVUBUS_TRACE, "===========================================================");
    pPort->m_SetPolicyType(pSet->m_ulPolicyType);
    pPort->m_SetMaximumLatency(pSet->m_ulMaximumLatency);
    pPort->m_SetMaximumLatencyFineTuning(pSet->m_ulMaximumLatencyFineTuning);
    pPort->m_SetLowCpuUsageFineTuning(pSet->m_ulLowCpuUsageFineTuning);
    pPort->m_SetRxFifoSize(pSet->m_ulRxFifoSize);
    pPort->m_SetTxFifoSize(pSet->m_ulTxFifoSize);
}

// Mode 1 only asks for defaults fitted to the device; the bus driver has none to fit, so the set
// is taken only when it is applied. New latency values act at a port's next open or baud change.
BOOLEAN CHvUsbSamDriver::m_UserModeInterface(CPmDriverClass* pObject, CPmInformationSet* pSet, ULONG ulIndex,
                                             ULONG ulMode, PBOOLEAN pbFlag) {
    CHvUsbSamDriver* pThis = PmBusDriver(pObject);
    *pbFlag = FALSE;
    if (ulMode != PM_SETTINGS_APPLY)
        return TRUE;
    if (!pSet) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    pThis->m_LockPorts();
    pThis->m_pBusSettings = static_cast<CHvUBusUserModeInterface*>(pSet);
    pThis->m_UnlockPorts();
    pThis->m_ForEachPort([](CHvUsbSamDriver* pDriver, CHvUBusPort* pPort) { pDriver->m_PushSettings(pPort); });
    return TRUE;
}

// The port driver's requests for a port's interface record, passed on by the port's child device.
NTSTATUS CHvUsbSamDriver::m_InternalDeviceControlCallback(CPmDriverClass* pObject, ULONG ulControlCode, PVOID pvInput,
                                                          ULONG ulInputLength, PVOID pvOutput, ULONG ulOutputLength,
                                                          PULONG_PTR pulInformation) {
    CHvUsbSamDriver* pThis = PmBusDriver(pObject);
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_InternalDeviceControlCallback - IN - IOCTL - 0x%X", ulControlCode);
    NTSTATUS ntStatus;
    *pulInformation = 0;
    switch (ulControlCode) {
    case IOCTL_CREATE_HVISERIAL:
        PM_TRACE(HVUBUS_TRACE, "HvUBus m_InternalDeviceControlCallback - IOCTL_CREATE_HVISERIAL");
        ntStatus = HvISerialCheckCreateBuffers(pvInput, ulInputLength, pvOutput, ulOutputLength);
        if (NT_SUCCESS(ntStatus))
            ntStatus = pThis->m_CreateISerial(pvInput, ulInputLength, ulOutputLength, pulInformation);
        break;
    case IOCTL_RELEASE_HVISERIAL:
        PM_TRACE(HVUBUS_TRACE, "HvUBus m_InternalDeviceControlCallback - IOCTL_RELEASE_HVISERIAL");
        ntStatus = HvISerialCheckReleaseBuffers(pvInput, ulInputLength);
        if (NT_SUCCESS(ntStatus))
            ntStatus = pThis->m_ReleaseISerial(pvInput, ulInputLength);
        break;
    default:
        ntStatus = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    PM_TRACE(HVUBUS_TRACE, "HvUBus m_InternalDeviceControlCallback - OUT - IOCTL - 0x%X (NTSTATUS:0x%X)", ulControlCode,
             ntStatus);
    return ntStatus;
}

// The request and the answer share one buffer: the request is read before the answer is written.
NTSTATUS CHvUsbSamDriver::m_CreateISerial(PVOID pvBuffer, ULONG ulInputLength, ULONG ulOutputLength,
                                          PULONG_PTR pulInformation) {
    const CreateHvISerialRequestStruct request = *static_cast<const CreateHvISerialRequestStruct*>(pvBuffer);
    CFTDI1Port* pPort = new (NonPagedPool) CFTDI1Port(m_pBusDevice, request.ulPortNumber);
    if (!pPort)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!pPort->m_Init()) {
        delete pPort;
        return STATUS_UNSUCCESSFUL;
    }
    BOOLEAN bDuplex = FALSE;
    m_LockPorts();
    if (CHvUBusUserModeInterface* pSet = m_pBusSettings) {
        m_PushSettings(pPort);
        bDuplex = HvISerialIsDuplexPort(pSet->m_ulPortType, request.ulPortNumber);
    }
    // The version asked for is not examined: this bus driver builds version 4.
    ISerial* pISerial = pPort->m_CreateInterface_ISerial(HVISERIAL_VERSION, bDuplex);
    if (!pISerial || !m_PortList.m_Append(pPort)) {
        m_UnlockPorts();
        if (!pISerial)
            PM_TRACE(HVUBUS_TRACE, "Error: pCreateHvISerialResponseStruct->pISerial is NULL");
        pPort->m_DeInit();
        delete pPort;
        return STATUS_UNSUCCESSFUL;
    }
    m_UnlockPorts();
    static_cast<CreateHvISerialResponseStruct*>(pvBuffer)->pISerial = pISerial;
    *pulInformation = sizeof(CreateHvISerialResponseStruct);
    return STATUS_SUCCESS;
}

// Every port with the number goes; none is not an error. The record pointer is not consulted.
NTSTATUS CHvUsbSamDriver::m_ReleaseISerial(PVOID pvBuffer, ULONG ulInputLength) {
    const ULONG ulPortNumber = static_cast<const ReleaseHvISerialRequestStruct*>(pvBuffer)->ulPortNumber;
    for (;;) {
        CHvUBusPort* pFound = NULL;
        m_LockPorts();
        for (CHvUBusPort* pPort = static_cast<CHvUBusPort*>(m_PortList.m_GetFirst()); pPort;
             pPort = static_cast<CHvUBusPort*>(m_PortList.m_GetNext())) {
            if (pPort->m_GetPortNumber() == ulPortNumber) {
                m_PortList.m_RemoveAtCursor();
                pFound = pPort;
                break;
            }
        }
        m_UnlockPorts();
        if (!pFound)
            return STATUS_SUCCESS;
        // Outside the list lock: taking a port down waits for power changes, which walk the list.
        pFound->m_DeInit();
        delete pFound;
    }
}

// Blocks 0 and 2 describe the head of the port list; without a port they read as zeros.
BOOLEAN CHvUsbSamDriver::m_WmiQueryDataBlockCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                     PUCHAR pucBuffer) {
    CHvUsbSamDriver* pThis = PmBusDriver(pObject);
    if (ulGuidIndex >= HVUBUS_WMI_BLOCKS)
        return FALSE;
    if (ulInstance != 0) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    switch (ulGuidIndex) {
    case HVUBUS_WMI_TIMING_BLOCK: {
        HvUBusWmiTiming timing;
        RtlZeroMemory(&timing, sizeof(timing));
        pThis->m_LockPorts();
        if (CHvUBusPort* pPort = static_cast<CHvUBusPort*>(pThis->m_PortList.m_GetAt(1)))
            pPort->m_GetWmiTiming(&timing);
        pThis->m_UnlockPorts();
        RtlCopyMemory(pucBuffer, &timing, sizeof(timing));
        return TRUE;
    }
    case HVUBUS_WMI_SETTINGS_BLOCK: {
        HvUBusWmiSettings settings;
        RtlZeroMemory(&settings, sizeof(settings));
        pThis->m_LockPorts();
        if (CHvUBusUserModeInterface* pSet = pThis->m_pBusSettings) {
            settings.ulRxFifoSize = pSet->m_ulRxFifoSize;
            settings.ulTxFifoSize = pSet->m_ulTxFifoSize;
            settings.ulMaximumBaudRate = pSet->m_ulMaximumBaudRate;
            settings.ulPolicyType = pSet->m_ulPolicyType;
            settings.ulMaximumLatency = pSet->m_ulMaximumLatency;
            settings.ulMaximumLatencyFineTuning = pSet->m_ulMaximumLatencyFineTuning;
            settings.ulMaximumLatencySliderPos = pSet->m_ulMaximumLatencySliderPos;
            settings.ulLowCpuUsageFineTuning = pSet->m_ulLowCpuUsageFineTuning;
        }
        pThis->m_UnlockPorts();
        RtlCopyMemory(pucBuffer, &settings, sizeof(settings));
        return TRUE;
    }
    case HVUBUS_WMI_PORT_STATE_BLOCK: {
        HvUBusWmiPortState state;
        RtlZeroMemory(&state, sizeof(state));
        pThis->m_LockPorts();
        if (CHvUBusPort* pPort = static_cast<CHvUBusPort*>(pThis->m_PortList.m_GetAt(1)))
            pPort->m_GetWmiPortState(&state);
        pThis->m_UnlockPorts();
        RtlCopyMemory(pucBuffer, &state, sizeof(state));
        return TRUE;
    }
    default:
        RtlCopyMemory(pucBuffer, g_pucHvUBusWmiSchema, g_ulHvUBusWmiSchemaSize);
        return TRUE;
    }
}

// Every block has a fixed size in the block table.
BOOLEAN CHvUsbSamDriver::m_WmiGetRequiredSizeCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                      PULONG pulSize) {
    PM_TRACE(HVUBUS_TRACE, "CHvUsbSamDriver::m_WmiGetRequiredSizeCallback - IN and OUT");
    return FALSE;
}

BOOLEAN CHvUsbSamDriver::m_WmiSetDataBlockCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                   ULONG ulSize, PUCHAR pucBuffer) {
    PM_TRACE(HVUBUS_TRACE, "CHvUsbSamDriver::m_WmiSetDataBlockCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CHvUsbSamDriver::m_WmiSetDataItemCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                  ULONG ulItemId, ULONG ulSize, PUCHAR pucBuffer) {
    PM_TRACE(HVUBUS_TRACE, "CHvUsbSamDriver::m_WmiSetDataItemCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CHvUsbSamDriver::m_WmiExecuteMethodCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulInstance,
                                                    PULONG pulInputSize, PULONG pulOutputSize, PUCHAR pucBuffer) {
    PM_TRACE(HVUBUS_TRACE, "CHvUsbSamDriver::m_WmiExecuteMethodCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CHvUsbSamDriver::m_WmiGetRequiredSizeForMethodCallback(CPmDriverClass* pObject, ULONG ulGuidIndex,
                                                               ULONG ulInstance, ULONG ulMethodId, PULONG pulSize) {
    PM_TRACE(HVUBUS_TRACE,
             "CHvUsbSamDriver::m_WmiGetRequiredSizeForMethodCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CHvUsbSamDriver::m_WmiFunctionControlCallback(CPmDriverClass* pObject, ULONG ulGuidIndex, ULONG ulFunction,
                                                      BOOLEAN bEnable) {
    PM_TRACE(HVUBUS_TRACE, "CHvUsbSamDriver::m_WmiFunctionControlCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

namespace {

BOOLEAN CreateDriverClass(PPM_ADD_DEVICE_FUNCTION* ppfnAddDeviceFunction, PPM_DEVICE_CREATION* ppfnDeviceCreation,
                          CPmDriverClass** ppObject) {
    CHvUsbSamDriver* pDriver = new (NonPagedPool) CHvUsbSamDriver();
    if (!pDriver)
        return FALSE;
    *ppObject = pDriver;
    *ppfnAddDeviceFunction = CHvUsbSamDriver::m_AddDevice;
    return TRUE;
}

void DestroyDriverClass(CPmDriverClass* pObject) { delete pObject; }

BOOLEAN CreateSettings(PmUserModeInterface* pInterface) {
    CHvUBusUserModeInterface* pSet = new (PagedPool) CHvUBusUserModeInterface();
    if (!pSet)
        return FALSE;
    if (!pSet->m_GetValid()) {
        delete pSet;
        return FALSE;
    }
    pInterface->m_SetSettings(pSet, GUID_HVGENDRV_BUS_INTERFACE);
    return TRUE;
}

void RemoveHook() {}

} // namespace

extern "C" DECLSPEC_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath) {
    PmDriverDescription description;
    RtlZeroMemory(&description, sizeof(description));
    description.m_pszDriverName = u"HvUsbSam";
    description.m_pszFileName = u"HvUBus.sys";
    description.m_pfnCreateDriverClass = CreateDriverClass;
    description.m_pfnDestroyDriverClass = DestroyDriverClass;
    description.m_pfnUnloadCleanup = PmDriverUnloadCleanup;
    description.m_pfnCreateSettings = CreateSettings;
    description.m_pfnRemoveHook = RemoveHook;
    return PmDriverEntry(pDriverObject, pRegistryPath, &description);
}
