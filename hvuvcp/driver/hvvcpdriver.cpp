// The port driver's entry and its driver-specific object: start and removal of a COM port, its
// open, close, cleanup and writes, and the settings written through the settings interface.
#include "hvvcpdriver.h"

#include <pmdebugmanager.h>
#include <pmphysicaldevice.h>
#include <pmreadqueuecsq.h>
#include <pmregistry.h>
#include <pmwritequeuecsq.h>

#include "hvvcpwmi.h"
#include "vcp.h"
#include "hvuvcptrace.h"

static const CHAR s_szSourcePath[] = "hvuvcp\\driver\\hvvcpdriver";

// {6E3A91C4-52D7-4F08-9B1E-3C7D20A5F146}
static const GUID GUID_HVUVCP_SETTINGS_INTERFACE = {
    0x6E3A91C4, 0x52D7, 0x4F08, {0x9B, 0x1E, 0x3C, 0x7D, 0x20, 0xA5, 0xF1, 0x46}};

CHvUVCPDriver::CHvUVCPDriver()
    : m_pFunctionalDevice(NULL), m_bOpened(FALSE), m_pVCP(NULL), m_pRetiredVCP(NULL), m_PortName(NonPagedPool),
      m_InterfaceLinkName(NonPagedPool), m_hParametersKey(NULL), m_CreatedLinkName(NonPagedPool),
      m_SerialCommValueName(NonPagedPool) {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver Constructor - IN");
    m_VCPUsageLock.m_Init(TRUE);
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver Constructor - OUT (Success)");
}

CHvUVCPDriver::~CHvUVCPDriver() {
    // The read queue outlives this object: it must not call back into it.
    if (m_pFunctionalDevice && m_pFunctionalDevice->m_pReadQueue)
        m_pFunctionalDevice->m_pReadQueue->m_SetAmountChangedNotification(NULL, NULL);
    m_PortName.m_Empty();
    m_InterfaceLinkName.m_Empty();
    m_VCPUsageLock.m_DisableAndWait();
    delete m_pVCP;
    m_pVCP = NULL;
    delete m_pRetiredVCP;
    m_pRetiredVCP = NULL;
    KeClearEvent(&m_VCPUsageLock.m_kIdleEvent);
}

CVCP* CHvUVCPDriver::m_AcquireVCP() {
    if (!m_pVCP || !m_VCPUsageLock.m_Acquire())
        return NULL;
    CVCP* pVCP = m_pVCP;
    if (!pVCP)
        m_VCPUsageLock.m_Release();
    return pVCP;
}

BOOLEAN CHvUVCPDriver::m_AddDevice(CPmDriverClass* pObject, CPmDriver* pDriver, CPmFunctionalDevice* pDevice) {
    CHvUVCPDriver* pThis = PmPortDriverOf(pObject);
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_AddDevice - IN");
    pThis->m_pFunctionalDevice = pDevice;
    PmDriverCallbacks& callbacks = pDevice->m_Callbacks;
    callbacks.m_PnpStartDeviceCallback = m_PnpStartDevice;
    callbacks.m_CreateCallback = m_Create;
    callbacks.m_PnpRemoveDeviceCallback = m_PnpRemoveDevice;
    callbacks.m_CleanupCallback = m_CleanUp;
    callbacks.m_PowerDownResetDeviceFunction = m_PowerDownResetDevice;
    callbacks.m_PowerUpInitDeviceFunction = m_PowerUpInitDevice;
    callbacks.m_UserModeInterfaceCallback = m_UserModeInterface;
    callbacks.m_ulWmiGuidCount = HVUVCP_WMI_BLOCKS;
    callbacks.m_pWmiGuidTable = g_aHvUVcpWmiGuidTable;
    callbacks.m_WmiGetRequiredSizeCallback = m_WmiGetRequiredSizeCallback;
    callbacks.m_WmiQueryDataBlockCallback = m_WmiQueryDataBlockCallback;
    callbacks.m_WmiSetDataBlockCallback = m_WmiSetDataBlockCallback;
    callbacks.m_WmiSetDataItemCallback = m_WmiSetDataItemCallback;
    callbacks.m_WmiExecuteMethodCallback = m_WmiExecuteMethodCallback;
    callbacks.m_WmiGetRequiredSizeForMethodCallback = m_WmiGetRequiredSizeForMethodCallback;
    callbacks.m_WmiFunctionControlCallback = m_WmiFunctionControlCallback;
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_AddDevice - OUT (Success)");
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Start.

BOOLEAN CHvUVCPDriver::m_ReadPortName() {
    m_hParametersKey = m_pFunctionalDevice->m_OpenDeviceRegistryKey();
    if (!m_hParametersKey) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Error Opening Device parameter key.");
        return FALSE;
    }
    BOOLEAN bRead = CPmRegistry::m_QueryString(m_hParametersKey, u"PortName", m_PortName) && !m_PortName.m_IsEmpty();
    ZwClose(m_hParametersKey);
    m_hParametersKey = NULL;
    if (!bRead) {
        m_PortName.m_Empty();
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Error reading 'PortName' device parameter key.");
        return FALSE;
    }
    return TRUE;
}

// The link, the serial-device map entry and the COM-port interface; each is remembered as soon
// as it exists, so that a failure part way leaves only what removal will undo.
BOOLEAN CHvUVCPDriver::m_PublishPort() {
    if (!m_pFunctionalDevice->m_AddSymbolicLinkName(m_PortName)) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Error m_pFunctionalDevice->m_AddSymbolicLinkName() call.");
        return FALSE;
    }
    if (!NT_SUCCESS(m_CreatedLinkName.m_Copy(m_PortName))) {
        // The link exists but could not be remembered: take it down at once.
        m_pFunctionalDevice->m_DeleteSymbolicLinkName(m_PortName);
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - String error ('PortName').");
        return FALSE;
    }

    CPmString valueName(NonPagedPool, u"\\Device\\");
    if (!NT_SUCCESS(valueName.m_GetStatus())) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - String error ('\\Device\\').");
        return FALSE;
    }
    if (!NT_SUCCESS(valueName.m_AppendString(m_pFunctionalDevice->m_DeviceName))) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - String error ('FullDeviceName').");
        return FALSE;
    }
    NTSTATUS ntStatus = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", valueName.m_GetText(), REG_SZ,
                                              const_cast<PWCHAR>(m_PortName.m_GetText()),
                                              (m_PortName.m_GetLength() + 1) * sizeof(WCHAR));
    if (!NT_SUCCESS(ntStatus)) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Error writing to 'SERIALCOMM' registry key.");
        return FALSE;
    }
    m_SerialCommValueName.m_Swap(valueName);

    UNICODE_STRING usLink = {0, 0, NULL};
    ntStatus = IoRegisterDeviceInterface(m_pFunctionalDevice->m_pPhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL,
                                         &usLink);
    if (!NT_SUCCESS(ntStatus)) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Error calling IoRegisterDeviceInterface (NTSTATUS:0x%X).",
                 ntStatus);
        return FALSE;
    }
    ntStatus = m_InterfaceLinkName.m_AssignUnicodeString(&usLink);
    RtlFreeUnicodeString(&usLink);
    if (!NT_SUCCESS(ntStatus))
        return FALSE;
    UNICODE_STRING usInterface = *m_InterfaceLinkName.m_GetUnicodeString();
    ntStatus = IoSetDeviceInterfaceState(&usInterface, TRUE);
    if (!NT_SUCCESS(ntStatus)) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Error calling IoSetDeviceInterfaceState (NTSTATUS:0x%X).",
                 ntStatus);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CHvUVCPDriver::m_CreatePortObject() {
    if (m_AcquireVCP()) {
        m_ReleaseVCP();
        return TRUE;
    }
    ULONG ulPortNumber = 0;
    if (!CPmPhysicalDevice::sm_GetContextId(m_pFunctionalDevice, &ulPortNumber)) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Error no bus driver's child below.");
        return FALSE;
    }
    m_VCPUsageLock.m_Init(FALSE);
    CVCP* pVCP = new (NonPagedPool) CVCP();
    if (!pVCP) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Error pVCP is NULL after calling m_Init.");
        return FALSE;
    }
    if (!pVCP->m_Init(m_pFunctionalDevice, ulPortNumber)) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Error calling pVCP->m_Init().");
        delete pVCP;
        return FALSE;
    }
    m_pVCP = pVCP;
    m_VCPUsageLock.m_SetEnabled(TRUE);
    return TRUE;
}

BOOLEAN CHvUVCPDriver::m_DoStartDevice() {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - IN");
    // A start after a stop keeps the name, link, map entry and interface it has.
    if (m_PortName.m_IsEmpty() && (!m_ReadPortName() || !m_PublishPort()))
        return FALSE;
    if (!m_CreatePortObject())
        return FALSE;

    PmDriverCallbacks& callbacks = m_pFunctionalDevice->m_Callbacks;
    callbacks.m_WriteCallback = m_WriteCallback;
    callbacks.m_DeviceControlCallback = m_DeviceControlCallback;
    callbacks.m_InternalDeviceControlCallback = m_InternalDeviceControlCallback;
    callbacks.m_CloseCallback = m_Close;
    m_pFunctionalDevice->m_pReadQueue->m_SetAmountChangedNotification(m_DataAmountChangedInReadQueue, this);
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT (Success).");
    return TRUE;
}

BOOLEAN CHvUVCPDriver::m_PnpStartDevice(CPmDriverClass* pObject) {
    CHvUVCPDriver* pThis = PmPortDriverOf(pObject);
    if (pThis->m_DoStartDevice())
        return TRUE;
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_PnpStartDevice - OUT (Failed)- It will do remove device.");
    pThis->m_DoRemoveDevice();
    return FALSE;
}

// ---------------------------------------------------------------------------------------------
// Removal.

void CHvUVCPDriver::m_EndQueuedRequests(CVCP* pVCP, BOOLEAN bRefuse) {
    CPmReadQueue* pReadQueue = m_pFunctionalDevice->m_pReadQueue;
    CPmWriteQueue* pWriteQueue = m_pFunctionalDevice->m_pWriteQueue;
    if (bRefuse) {
        pReadQueue->m_SetActive(FALSE, STATUS_DEVICE_REMOVED);
        pWriteQueue->m_SetActive(FALSE, STATUS_DEVICE_REMOVED);
    }
    if (pVCP)
        pVCP->m_WaitMask.m_CancelAll();
    pReadQueue->m_CancelAll();
    pWriteQueue->m_CancelAll();
    pReadQueue->m_Purge();
}

// Undoes what start created, from what start remembered: the registry may no longer name the
// port, and a name another device holds (never ours, or given to it by a rename since) is left.
void CHvUVCPDriver::m_DoRemoveDevice() {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoRemoveDevice - IN");
    m_VCPUsageLock.m_SetEnabled(FALSE);
    CVCP* pVCP = m_pVCP;
    if (pVCP && m_bOpened) {
        pVCP->m_SetCommEventsReceived(SERIAL_EV_EVENT2);
        pVCP->m_ResolveCurrentEventMask();
        pVCP->m_Disconnect();
    }
    // A handle may stay open after a surprise removal: what it still sends must end at once
    // rather than wait in queues nothing will ever serve.
    m_EndQueuedRequests(pVCP, TRUE);
    m_pFunctionalDevice->m_pReadQueue->m_SetAmountChangedNotification(NULL, NULL);
    m_bOpened = FALSE;
    m_VCPUsageLock.m_DisableAndWait();
    m_pVCP = NULL;
    if (pVCP) {
        // Gives the record back and stops the worker; the object itself is retired.
        pVCP->m_DeInit();
        delete m_pRetiredVCP;
        m_pRetiredVCP = pVCP;
    }

    if (!m_InterfaceLinkName.m_IsEmpty()) {
        UNICODE_STRING usInterface = *m_InterfaceLinkName.m_GetUnicodeString();
        IoSetDeviceInterfaceState(&usInterface, FALSE);
        m_InterfaceLinkName.m_Empty();
    }
    if (!m_CreatedLinkName.m_IsEmpty()) {
        m_pFunctionalDevice->m_DeleteSymbolicLinkName(m_CreatedLinkName);
        m_CreatedLinkName.m_Empty();
    }
    m_PortName.m_Empty();
    if (!m_SerialCommValueName.m_IsEmpty()) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", m_SerialCommValueName.m_GetText());
        m_SerialCommValueName.m_Empty();
    }
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoRemoveDevice - OUT");
}

void CHvUVCPDriver::m_PnpRemoveDevice(CPmDriverClass* pObject) { PmPortDriverOf(pObject)->m_DoRemoveDevice(); }

// ---------------------------------------------------------------------------------------------
// Open, close, cleanup and writes.

BOOLEAN CHvUVCPDriver::m_Create(CPmDriverClass* pObject) {
    CHvUVCPDriver* pThis = PmPortDriverOf(pObject);
    if (pThis->m_bOpened) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Failed because Device is already Opened.");
        return FALSE;
    }
    CVCP* pVCP = pThis->m_AcquireVCP();
    if (!pVCP) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT - Failed - pVCP is NULL.");
        return FALSE;
    }
    BOOLEAN bConnected = pVCP->m_Connect();
    pThis->m_bOpened = bConnected;
    pThis->m_ReleaseVCP();
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_DoStartDevice - OUT (%s).", bConnected ? "Success" : "Failed");
    return bConnected;
}

BOOLEAN CHvUVCPDriver::m_Close(CPmDriverClass* pObject) {
    CHvUVCPDriver* pThis = PmPortDriverOf(pObject);
    CVCP* pVCP = pThis->m_AcquireVCP();
    if (!pVCP) {
        pThis->m_bOpened = FALSE;
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_Close - OUT - Failed because pVCP is NULL.");
        return FALSE;
    }
    BOOLEAN bDisconnected = pVCP->m_Disconnect();
    pThis->m_bOpened = FALSE;
    pThis->m_ReleaseVCP();
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_Close - OUT (%s).", bDisconnected ? "Success" : "Failed");
    return TRUE;
}

// Whatever the handle left queued ends here, opened or not, port object or not: a handle that
// outlived its port must still be able to close.
BOOLEAN CHvUVCPDriver::m_CleanUp(CPmDriverClass* pObject) {
    CHvUVCPDriver* pThis = PmPortDriverOf(pObject);
    CVCP* pVCP = pThis->m_AcquireVCP();
    pThis->m_EndQueuedRequests(pVCP ? pVCP : pThis->m_pRetiredVCP, FALSE);
    if (!pVCP) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_CleanUp - OUT - Failed because pVCP is NULL.");
        return FALSE;
    }
    pThis->m_ReleaseVCP();
    return TRUE;
}

BOOLEAN CHvUVCPDriver::m_WriteCallback(CPmDriverClass* pObject, CPmBuffer* pBuffer) {
    CHvUVCPDriver* pThis = PmPortDriverOf(pObject);
    CVCP* pVCP = pThis->m_AcquireVCP();
    if (!pVCP) {
        PM_ASSERTION_LINE(s_szSourcePath);
        pBuffer->m_Delete();
        return FALSE;
    }
    BOOLEAN bWritten = pVCP->m_Write(pBuffer);
    pThis->m_ReleaseVCP();
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_WriteCallback - OUT (%s).", bWritten ? "Success" : "Failed");
    return bWritten;
}

// May run at DISPATCH_LEVEL (the read queue's timers).
void CHvUVCPDriver::m_DataAmountChangedInReadQueue(PVOID pvContext, ULONG ulNewAmount, ULONG ulOldAmount) {
    CHvUVCPDriver* pThis = static_cast<CHvUVCPDriver*>(pvContext);
    if (!pThis->m_bOpened)
        return;
    if (CVCP* pVCP = pThis->m_AcquireVCP()) {
        pVCP->m_DataAmountChangedInReadQueue(ulNewAmount, ulOldAmount);
        pThis->m_ReleaseVCP();
    }
}

void CHvUVCPDriver::m_PowerDownResetDevice(CPmDriverClass* pObject) {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_PowerDownResetDevice - IN and OUT (do nothing in this function)");
}

void CHvUVCPDriver::m_PowerUpInitDevice(CPmDriverClass* pObject) {
    PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_PowerUpInitDevice - IN and OUT (do nothing in this function)");
}

// ---------------------------------------------------------------------------------------------
// Settings written through the settings interface, and loaded at every start and open.

BOOLEAN CHvUVCPDriver::m_UserModeInterface(CPmDriverClass* pObject, CPmInformationSet* pSet, ULONG ulIndex,
                                           ULONG ulMode, PBOOLEAN pbFlag) {
    CHvUVCPDriver* pThis = PmPortDriverOf(pObject);
    *pbFlag = FALSE;
    CVCP* pVCP = pThis->m_AcquireVCP();
    if (!pVCP) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_UserModeInterface - OUT - Failed because pVCP is NULL.");
        return FALSE;
    }
    CHvUVcpUserModeInterface* pSettings = static_cast<CHvUVcpUserModeInterface*>(pSet);
    pSettings->m_Dump();
    pVCP->m_SetSettings(pSettings);
    BOOLEAN bChanged = pVCP->m_CheckSupportedBaudRates();
    BOOLEAN bSuccess = FALSE;
    if (!pVCP->m_IsBaudRateSettable(pSettings->m_ulBaudrate)) {
        PM_TRACE(HVUVCP_TRACE,
                 "CHvUVCPDriver::m_UserModeInterface - OUT - Failed because checking Baudrate (%d) is settable baudrate",
                 pSettings->m_ulBaudrate);
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_UserModeInterface - OUT (Error)");
    } else if (!pVCP->m_SetTriggerLevels((UCHAR)pSettings->m_ulTransmitTriggerLevel,
                                         (UCHAR)pSettings->m_ulReceiveTriggerLevel,
                                         (UCHAR)pSettings->m_ulFlowControlTriggerLevel)) {
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_UserModeInterface - OUT - m_SetTriggerLevels failed.");
    } else {
        if (pVCP->m_CheckSupportedSignals())
            bChanged = TRUE;
        if (pVCP->m_CheckSupportedDuplexModes())
            bChanged = TRUE;
        if (ulMode == PM_SETTINGS_ADJUST_DEFAULTS) {
            ULONG ulPortType = pVCP->m_GetPortType();
            if (ulPortType != pSettings->m_ulPortType) {
                pSettings->m_ulPortType = ulPortType;
                if (ulPortType == HVUVCP_PORT_TYPE_RS232)
                    pSettings->m_ulDuplexMode = 0;
                else if (pSettings->m_ulDuplexMode == 0)
                    pSettings->m_ulDuplexMode = 1;
            }
            bChanged = TRUE;
        }
        pVCP->m_AcceptSettings();
        PM_TRACE(HVUVCP_TRACE, "CHvUVCPDriver::m_UserModeInterface - OUT (Success)");
        bSuccess = TRUE;
    }
    pThis->m_ReleaseVCP();
    *pbFlag = bChanged;
    return bSuccess;
}

// ---------------------------------------------------------------------------------------------
// Entry.

namespace {

BOOLEAN CreateDriverClass(PPM_ADD_DEVICE_FUNCTION* ppfnAddDeviceFunction, PPM_DEVICE_CREATION* ppfnDeviceCreation,
                          CPmDriverClass** ppObject) {
    CHvUVCPDriver* pDriver = new (NonPagedPool) CHvUVCPDriver();
    if (!pDriver)
        return FALSE;
    *ppObject = pDriver;
    *ppfnAddDeviceFunction = CHvUVCPDriver::m_AddDevice;
    return TRUE;
}

void DestroyDriverClass(CPmDriverClass* pObject) { delete pObject; }

BOOLEAN CreateSettings(PmUserModeInterface* pInterface) {
    CHvUVcpUserModeInterface* pSet = new (PagedPool) CHvUVcpUserModeInterface();
    if (!pSet)
        return FALSE;
    if (!pSet->m_GetValid()) {
        delete pSet;
        return FALSE;
    }
    pInterface->m_SetSettings(pSet, GUID_HVUVCP_SETTINGS_INTERFACE);
    return TRUE;
}

void RemoveHook() {}

} // namespace

extern "C" DECLSPEC_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath) {
    PmDriverDescription description;
    RtlZeroMemory(&description, sizeof(description));
    description.m_pszDriverName = u"HvUVCP";
    description.m_pszFileName = u"HvUVCP.sys";
    description.m_pfnCreateDriverClass = CreateDriverClass;
    description.m_pfnDestroyDriverClass = DestroyDriverClass;
    description.m_pfnUnloadCleanup = PmDriverUnloadCleanup;
    description.m_pfnCreateSettings = CreateSettings;
    description.m_pfnRemoveHook = RemoveHook;
    return PmDriverEntry(pDriverObject, pRegistryPath, &description);
}
