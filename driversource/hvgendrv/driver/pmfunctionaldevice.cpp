// The functional device: construction at AddDevice, naming, pairing and destruction, and the
// calls into the driver's object.
#include <pmfunctionaldevice.h>
#include <pmdebugmanager.h>
#include <pmirphelpers.h>
#include <pmregistry.h>

#include <pmcontrolqueue.h>
#include <pmreadqueuecsq.h>
#include <pmwmi.h>
#include <pmwritequeuecsq.h>

#include <pmphysicaldevice.h>

static const CHAR s_szSourcePath[] = "driversource\\hvgendrv\\driver\\pmfunctionaldevice";

#define PM_HARDWARE_ID_FIRST_SIZE 255

CPmFunctionalDevice::CPmFunctionalDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject,
                                         PCUNICODE_STRING pRegistryPath, BOOLEAN* pbSuccess)
    : m_pDeviceWorker(NULL), m_pConfiguration(NULL), m_DeviceName(NonPagedPool), m_SymbolicLinkName(NonPagedPool),
      m_RegistryPath(NonPagedPool), m_pDriverClass(NULL), m_pUserModeInterface(NULL), m_ulDeviceIndex(0),
      m_pPhysicalDeviceObject(pPhysicalDeviceObject), m_pLowerDeviceObject(NULL), m_pWmi(NULL),
      m_bOwnBus(FALSE), m_bLowestStackLayer(FALSE), m_pDriver(CPmDriver::sm_FromDriverObject(pDriverObject)),
      m_pPowerUpWorkItem(NULL), m_pSystemPowerWorkItem(NULL) {
    RtlZeroMemory(&m_Callbacks, sizeof(m_Callbacks));
    m_pDriverObject = pDriverObject;
    m_CallbackUsageLock.m_Init(FALSE);
    m_OpenLock.m_SetLimit(1);
    m_OpenLock.m_Init(TRUE);
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice IN");
    BOOLEAN bSuccess = m_Construct(pRegistryPath);
    if (bSuccess) {
        m_UsageLock.m_Init(TRUE);
        PM_TRACE(PM_TRACE_FDO_RESULT, "CPmFunctionalDevice::CPmFunctionalDevice OUT - SUCCESS");
    } else {
        PM_TRACE(PM_TRACE_FDO_RESULT, "CPmFunctionalDevice::CPmFunctionalDevice ERROR");
        m_ReleaseParts();
        PM_TRACE(PM_TRACE_FDO_RESULT, "CPmFunctionalDevice::CPmFunctionalDevice OUT - ERROR");
    }
    *pbSuccess = bSuccess;
}

BOOLEAN CPmFunctionalDevice::m_Construct(PCUNICODE_STRING pRegistryPath) {
    if (!m_pDriver || !NT_SUCCESS(m_RegistryPath.m_AssignUnicodeString(pRegistryPath)))
        return FALSE;

    CPmDriverClass* pObject = NULL;
    if (!m_pDriver->m_pfnCreateDriverClass ||
        !m_pDriver->m_pfnCreateDriverClass(&m_Callbacks.m_AddDeviceFunction, &m_Callbacks.m_DeviceCreation, &pObject) ||
        !pObject) {
        if (pObject && m_pDriver->m_pfnDestroyDriverClass)
            m_pDriver->m_pfnDestroyDriverClass(pObject);
        return FALSE;
    }
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice - SpecificDriverCreation SUCCESS");
    m_pDriverClass = pObject;
    m_CallbackUsageLock.m_SetEnabled(TRUE);

    HANDLE hDeviceKey = m_OpenDeviceRegistryKey();
    if (!hDeviceKey)
        return FALSE;
    BOOLEAN bNamed = m_LoadConfiguration(hDeviceKey) && m_NameDevice(hDeviceKey);
    ZwClose(hDeviceKey);
    if (!bNamed)
        return FALSE;

    if (!m_CreateDeviceObjectAndSymbolicLink(m_pDriverObject, &m_DeviceName, m_pConfiguration->m_ulTypeOfDevice,
                                             &m_SymbolicLinkName, m_pConfiguration->m_ulDeviceIsExclusive != 0, this,
                                             &m_pDeviceObject))
        return FALSE;
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice - m_CreateDeviceObjectAndSymbolicLink SUCCESS");
    m_pDeviceObject->Flags |= m_pConfiguration->m_ulIoType;
    m_pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    m_pDeviceObject->Flags |= m_pPhysicalDeviceObject->Flags & DO_POWER_PAGABLE;
    m_ulKind = PM_DEVICE_KIND_FUNCTIONAL;
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice - PDO = %08x, FDO = %08x",
             (ULONG)(ULONG_PTR)m_pPhysicalDeviceObject, (ULONG)(ULONG_PTR)m_pDeviceObject);
    m_pLowerDeviceObject = IoAttachDeviceToDeviceStack(m_pDeviceObject, m_pPhysicalDeviceObject);
    if (!m_pLowerDeviceObject)
        return FALSE;

    // The settings interface: the driver's set, its sections (one per child of a bus device) and,
    // for a device on a framework child, the child's number as its own section.
    m_pUserModeInterface = new (NonPagedPool) PmUserModeInterface();
    if (!m_pUserModeInterface)
        return FALSE;
    m_pUserModeInterface->m_SetCallbacks(this, sm_SettingsCallback, sm_ForwardCallback);
    if (m_pDriver->m_pfnCreateSettings && !m_pDriver->m_pfnCreateSettings(m_pUserModeInterface))
        return FALSE;
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice - m_pDeviceAdded SUCCESS");
    m_pUserModeInterface->m_SetSectionCount(m_pConfiguration->m_ulNumberChildDevices);
    if (!m_bLowestStackLayer) {
        ULONG ulContextId;
        if (!CPmPhysicalDevice::sm_GetContextId(this, &ulContextId))
            return FALSE;
        m_pUserModeInterface->m_SetCurrentIndex(ulContextId);
    }
    if (!m_pUserModeInterface->m_Init(m_pPhysicalDeviceObject))
        return FALSE;
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice - m_UserModeInterface.m_Init SUCCESS");

    if (m_Callbacks.m_AddDeviceFunction) {
        BOOLEAN bAdded = FALSE;
        if (!m_EnterCallback())
            return FALSE;
        bAdded = m_Callbacks.m_AddDeviceFunction(m_pDriverClass, m_pDriver, this);
        m_LeaveCallback();
        if (!bAdded)
            return FALSE;
        PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice - m_AddDeviceFunction SUCCESS");
    }

    BOOLEAN bWmi = FALSE;
    m_pWmi = new (NonPagedPool) CWmi(m_pDeviceObject, m_pLowerDeviceObject, m_pPhysicalDeviceObject,
                                     m_RegistryPath.m_GetUnicodeString(), m_Callbacks.m_pWmiGuidTable,
                                     m_Callbacks.m_ulWmiGuidCount, &m_Callbacks, m_pDriverClass, &bWmi);
    if (!m_pWmi || !bWmi)
        return FALSE;
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice - CWmi construction SUCCESS");

    // The write queue runs on its own worker; this one runs direct writes.
    m_pDeviceWorker = new (NonPagedPool) CPmDeviceWorker(m_pDeviceObject);
    m_pPowerUpWorkItem = IoAllocateWorkItem(m_pDeviceObject);
    m_pSystemPowerWorkItem = IoAllocateWorkItem(m_pDeviceObject);
    m_pReadQueue = new (NonPagedPool) CPmReadQueue();
    m_pWriteQueue = new (NonPagedPool) CPmWriteQueue();
    m_pControlQueue = new (NonPagedPool) CPmControlQueue();
    if (!m_pDeviceWorker || !m_pPowerUpWorkItem || !m_pSystemPowerWorkItem || !m_pReadQueue || !m_pWriteQueue || !m_pControlQueue ||
        !m_pWriteQueue->m_Initialize(sm_WriteChunk, this, m_pDeviceObject))
        return FALSE;

    return m_Pair();
}

BOOLEAN CPmFunctionalDevice::m_LoadConfiguration(HANDLE hDeviceKey) {
    m_pConfiguration = new (PagedPool) FunctionalDeviceRegistryInformationSet(hDeviceKey);
    // A device whose configuration is missing or refused is not attached.
    if (!m_pConfiguration || !m_pConfiguration->m_GetValid())
        return FALSE;
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice - FunctionalDeviceRegistryInformationSet SUCCESS");
    m_aDeviceStatePairs[PM_DEVICE_STATE_DISPLAY_PAIR].m_ucPending = 1;
    m_aDeviceStatePairs[PM_DEVICE_STATE_DISPLAY_PAIR].m_ucValue = m_pConfiguration->m_ulDisplayInUi == 0;
    m_bLowestStackLayer = m_pConfiguration->m_ulLowestStackLayer != 0;
    if (m_bLowestStackLayer &&
        !m_CallbackObject.m_Register(GUID_HVGENDRV_CALLBACK_OBJECT, sm_CallbackObjectHandler, this))
        return FALSE;
    return NT_SUCCESS(m_DeviceName.m_Copy(m_pConfiguration->m_DeviceName)) &&
           NT_SUCCESS(m_SymbolicLinkName.m_Copy(m_pConfiguration->m_SymbolicLinkName));
}

BOOLEAN CPmFunctionalDevice::m_NameDevice(HANDLE hDeviceKey) {
    if (m_Callbacks.m_DeviceCreation) {
        BOOLEAN bNamed = FALSE;
        if (m_EnterCallback()) {
            bNamed = m_Callbacks.m_DeviceCreation(m_pDriverClass, hDeviceKey, &m_DeviceName, &m_SymbolicLinkName);
            m_LeaveCallback();
        }
        if (!bNamed)
            PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::CPmFunctionalDevice - m_DeviceCreation ERROR");
        return bNamed;
    }
    switch (m_pConfiguration->m_ulDeviceIndexingPolicyType & 0xFF) {
    case 1:
        return m_NameFromRegistryCounter(hDeviceKey);
    case 2:
        return m_NameFromPhysicalDevice();
    }
    return FALSE;
}

BOOLEAN CPmFunctionalDevice::m_NameFromRegistryCounter(HANDLE hDeviceKey) {
    ULONG ulIndex = 0;
    ULONG ulStored = 0;
    // 0 is never written; such a value is taken as missing.
    if (CPmRegistry::m_QueryDword(hDeviceKey, u"DeviceNameIndex", &ulStored) && ulStored != 0) {
        ulIndex = ulStored - 1;
    } else {
        ULONG* pulCounter = &m_pDriverClass->m_ulDeviceCount;
        if (*pulCounter == 0 &&
            !CPmRegistry::m_ReadDword(m_RegistryPath.m_GetUnicodeString(), u"DeviceCount", pulCounter))
            *pulCounter = 0;
        ulIndex = (*pulCounter)++;
        UNICODE_STRING usName;
        RtlInitUnicodeString(&usName, u"DeviceNameIndex");
        ULONG ulValue = *pulCounter;
        if (!NT_SUCCESS(ZwSetValueKey(hDeviceKey, &usName, 0, REG_DWORD, &ulValue, sizeof(ulValue))) ||
            !CPmRegistry::m_WriteDword(PM_REGISTRY_ABSOLUTE, m_RegistryPath.m_GetText(), u"DeviceCount", ulValue))
            return FALSE;
    }
    return m_UseDeviceIndex(ulIndex);
}

// A non-zero index is appended to the device and link names.
BOOLEAN CPmFunctionalDevice::m_UseDeviceIndex(ULONG ulIndex) {
    if (ulIndex != 0) {
        if (!m_DeviceName.m_IsEmpty() && !NT_SUCCESS(m_DeviceName.m_AppendInteger(ulIndex)))
            return FALSE;
        if (!m_SymbolicLinkName.m_IsEmpty() && !NT_SUCCESS(m_SymbolicLinkName.m_AppendInteger(ulIndex)))
            return FALSE;
    }
    m_ulDeviceIndex = ulIndex;
    return TRUE;
}

// The framework child below gives its index (the parent's index when the parent hands it down).
BOOLEAN CPmFunctionalDevice::m_NameFromPhysicalDevice() {
    CPmPhysicalDevice* pBelow = CPmPhysicalDevice::sm_GetAttachedDevice(this);
    if (!pBelow) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    return m_UseDeviceIndex(pBelow->m_GetDeviceIndex());
}

BOOLEAN CPmFunctionalDevice::sm_SendDeviceControlToLower(CPmFunctionalDevice* pDevice, ULONG ulControlCode,
                                                         PVOID pvInput, ULONG ulInputLength, PVOID pvOutput,
                                                         PULONG pulOutputLength, PFILE_OBJECT pFileObject) {
    CPmPhysicalDevice* pBelow = CPmPhysicalDevice::sm_GetAttachedDevice(pDevice);
    CPmFunctionalDevice* pParent = pBelow ? pBelow->m_GetParent() : NULL;
    if (!pParent || !pParent->m_pDeviceObject)
        return FALSE;
    return SendInternalDeviceControlSync(pParent->m_pDeviceObject, ulControlCode, pvInput, ulInputLength, pvOutput,
                                         pulOutputLength, FALSE, pFileObject);
}

// A transmit chunk of the write queue goes to the driver, which owns it from then on.
BOOLEAN CPmFunctionalDevice::sm_WriteChunk(PVOID pvContext, CPmBuffer* pChunk) {
    CPmFunctionalDevice* pDevice = static_cast<CPmFunctionalDevice*>(pvContext);
    if (!pDevice->m_Callbacks.m_WriteCallback || !pDevice->m_EnterCallback()) {
        pChunk->m_Delete();
        return FALSE;
    }
    BOOLEAN bSent = pDevice->m_Callbacks.m_WriteCallback(pDevice->m_pDriverClass, pChunk);
    pDevice->m_LeaveCallback();
    return bSent;
}

BOOLEAN CPmFunctionalDevice::sm_SettingsCallback(PVOID pvContext, CPmInformationSet* pSet, ULONG ulIndex, ULONG ulMode,
                                                 PBOOLEAN pbFlag) {
    return static_cast<CPmFunctionalDevice*>(pvContext)->m_ApplySettings(pSet, ulIndex, ulMode, pbFlag);
}

// Settings requests for the device above come back here: selector n > 0 goes to the parent.
BOOLEAN CPmFunctionalDevice::sm_ForwardCallback(PVOID pvContext, ULONG ulControlCode, PVOID pvBuffer,
                                                ULONG ulInputLength, PULONG pulOutputLength,
                                                PFILE_OBJECT pFileObject) {
    return sm_SendDeviceControlToLower(static_cast<CPmFunctionalDevice*>(pvContext), ulControlCode, pvBuffer,
                                       ulInputLength, pvBuffer, pulOutputLength, pFileObject);
}

BOOLEAN CPmFunctionalDevice::m_Pair() {
    PVOID pvIds = NULL;
    ULONG cbIds = PM_HARDWARE_ID_FIRST_SIZE;
    NTSTATUS ntStatus = STATUS_UNSUCCESSFUL;
    for (ULONG ulAttempt = 0; ulAttempt < 2; ++ulAttempt) {
        pvIds = PmAllocateZeroedMemory(cbIds + sizeof(WCHAR) * 2, PagedPool);
        if (!pvIds)
            return FALSE;
        ULONG cbResult = 0;
        ntStatus = IoGetDeviceProperty(m_pPhysicalDeviceObject, DevicePropertyHardwareID, cbIds, pvIds, &cbResult);
        if (NT_SUCCESS(ntStatus)) {
            cbIds = cbResult;
            break;
        }
        PmFreeMemory(pvIds);
        pvIds = NULL;
        if (ntStatus != STATUS_BUFFER_TOO_SMALL || cbResult <= cbIds)
            return FALSE;
        cbIds = cbResult;
    }
    if (!pvIds)
        return FALSE;
    if (!m_pDriver->m_AddToDeviceList(m_pDeviceObject)) {
        PmFreeMemory(pvIds);
        return FALSE;
    }
    if (cbIds > 4) {
        // Every ID of the list counts; the block carries two spare terminators.
        CPmString ownBus(PagedPool, u"__OB");
        CPmString pairedBus(PagedPool, u"__YB");
        BOOLEAN bPairedBus = FALSE;
        for (PCWSTR pszId = static_cast<PCWSTR>(pvIds); *pszId;) {
            CPmString id(PagedPool, pszId);
            ULONG ulPosition;
            if (id.m_Find(&ulPosition, ownBus))
                m_bOwnBus = TRUE;
            else if (id.m_Find(&ulPosition, pairedBus))
                bPairedBus = TRUE;
            while (*pszId)
                ++pszId;
            ++pszId;
        }
        if (!m_bOwnBus && bPairedBus)
            m_PairWithNamedDevice();
    }
    PmFreeMemory(pvIds);
    return TRUE;
}

// The child below may name, by symbolic link, a device of this driver whose requests this device
// serves from now on.
void CPmFunctionalDevice::m_PairWithNamedDevice() {
    CPmPhysicalDevice* pBelow = CPmPhysicalDevice::sm_GetAttachedDevice(this);
    if (!pBelow || pBelow->m_GetPairingName().m_IsEmpty())
        return;
    const CPmString& pairingName = pBelow->m_GetPairingName();
    m_pDriver->m_SpinLock.m_Lock();
    for (PVOID pv = m_pDriver->m_DeviceList.m_GetFirst(); pv; pv = m_pDriver->m_DeviceList.m_GetNext()) {
        PDEVICE_OBJECT pOther = static_cast<PDEVICE_OBJECT>(pv);
        PmDeviceExtension* pExtension = sm_GetExtension(pOther);
        CPmDevice* pDevice = pExtension ? pExtension->m_pDevice : NULL;
        if (pOther == m_pDeviceObject || !pDevice || pDevice->m_ulKind != PM_DEVICE_KIND_FUNCTIONAL)
            continue;
        if (RtlEqualUnicodeString(static_cast<CPmFunctionalDevice*>(pDevice)->m_SymbolicLinkName.m_GetUnicodeString(),
                                  pairingName.m_GetUnicodeString(), FALSE)) {
            pDevice->m_pRedirectLink = m_pDeviceObject;
            ObReferenceObject(pOther);
            m_pPairedDevice = pOther;
            break;
        }
    }
    m_pDriver->m_SpinLock.m_Unlock();
}

void CPmFunctionalDevice::m_Unpair() {
    if (m_pDriver && m_pDeviceObject)
        m_pDriver->m_RemoveFromDeviceList(m_pDeviceObject);
    if (m_pPairedDevice) {
        if (m_pDriver)
            m_pDriver->m_SpinLock.m_Lock();
        PmDeviceExtension* pExtension = sm_GetExtension(m_pPairedDevice);
        if (pExtension && pExtension->m_pDevice && pExtension->m_pDevice->m_pRedirectLink == m_pDeviceObject)
            pExtension->m_pDevice->m_pRedirectLink = NULL;
        if (m_pDriver)
            m_pDriver->m_SpinLock.m_Unlock();
        ObDereferenceObject(m_pPairedDevice);
        m_pPairedDevice = NULL;
    }
}

// The direct-write worker stops; the device leaves WMI.
void CPmFunctionalDevice::m_DeleteWorkerAndWmi() {
    if (m_pDeviceWorker) {
        m_pDeviceWorker->m_Stop();
        PmDeleteObject(m_pDeviceWorker);
        m_pDeviceWorker = NULL;
    }
    if (m_pWmi) {
        delete m_pWmi;
        m_pWmi = NULL;
    }
}

void CPmFunctionalDevice::m_DeleteLowerStackReader() {
    if (m_pLowerStackReader) {
        delete m_pLowerStackReader;
        m_pLowerStackReader = NULL;
    }
}

// Everything construction made, given back once and in reverse order; the destructor runs it too.
void CPmFunctionalDevice::m_ReleaseParts() {
    m_Unpair();
    for (PIO_WORKITEM* ppWorkItem : {&m_pPowerUpWorkItem, &m_pSystemPowerWorkItem}) {
        if (*ppWorkItem) {
            IoFreeWorkItem(*ppWorkItem);
            *ppWorkItem = NULL;
        }
    }
    m_DeleteWorkerAndWmi();
    // The write queue's worker runs on this device object's work items.
    m_DestroyQueues();
    if (m_pLowerDeviceObject) {
        IoDetachDevice(m_pLowerDeviceObject);
        m_pLowerDeviceObject = NULL;
    }
    if (m_pDeviceObject) {
        if (!IoIsWdmVersionAvailable(1, 0x20))
            CPmDebugManager::m_CleanupTracing(m_pDeviceObject);
        sm_GetExtension(m_pDeviceObject)->m_pDevice = NULL;
        m_DeleteDeviceObjectAndSymbolicLink(m_pDeviceObject, m_DeviceName.m_IsEmpty() ? NULL : &m_SymbolicLinkName);
        m_pDeviceObject = NULL;
    }
    if (m_pConfiguration) {
        delete m_pConfiguration;
        m_pConfiguration = NULL;
    }
    if (m_pUserModeInterface) {
        delete m_pUserModeInterface;
        m_pUserModeInterface = NULL;
    }
    m_CallbackObject.m_Close();
}

CPmFunctionalDevice::~CPmFunctionalDevice() {
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::~CPmFunctionalDevice IN");
    m_CallbackUsageLock.m_DisableAndWait();
    m_DeleteLowerStackReader();
    if (m_pDriverClass) {
        if (m_pDriver && m_pDriver->m_pfnDestroyDriverClass)
            m_pDriver->m_pfnDestroyDriverClass(m_pDriverClass);
        m_pDriverClass = NULL;
    }
    m_Resources.m_Empty();
    m_ReleaseParts();
    // Removal has deleted them already; a device that never saw it takes its children along.
    CPmPhysicalDevice::m_DeleteAllChildDevices(this);
    PM_TRACE(PM_TRACE_FDO, "CPmFunctionalDevice::~CPmFunctionalDevice OUT");
}

PVOID CPmFunctionalDevice::m_GetListElement(ULONG ulKind, ULONG ulNumber) {
    return m_Resources.m_GetElement(ulKind, ulNumber);
}

HANDLE CPmFunctionalDevice::m_OpenDeviceRegistryKey() {
    HANDLE hKey = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(m_pPhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &hKey)))
        return NULL;
    return hKey;
}

#define PM_TAG_LINK_TARGET PM_POOL_TAG('H', 'L', 'n', 'k')

// The DOS link of a name and this device's full name, its target.
static BOOLEAN PmLinkAndTarget(const CPmString& name, const CPmString& deviceName, CPmString& link,
                               CPmString& target) {
    return !deviceName.m_IsEmpty() && NT_SUCCESS(CPmDevice::m_BuildLinkPath(name, link)) &&
           NT_SUCCESS(target.m_Assign(u"\\Device\\")) && NT_SUCCESS(target.m_AppendString(deviceName));
}

// Whether the link exists and its target is exactly the given name (object names ignore case).
static BOOLEAN PmLinkLeadsTo(PUNICODE_STRING pusLink, PUNICODE_STRING pusTarget) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, pusLink, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE hLink = NULL;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&hLink, SYMBOLIC_LINK_QUERY, &attributes)))
        return FALSE;
    // One character more than the expected target tells a longer one apart.
    USHORT usRoom = static_cast<USHORT>(pusTarget->Length + sizeof(WCHAR));
    PWCHAR pwcBuffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, usRoom, PM_TAG_LINK_TARGET));
    BOOLEAN bLeads = FALSE;
    if (pwcBuffer) {
        UNICODE_STRING usFound = {0, usRoom, pwcBuffer};
        ULONG ulLength = 0;
        bLeads = NT_SUCCESS(ZwQuerySymbolicLinkObject(hLink, &usFound, &ulLength)) &&
                 RtlEqualUnicodeString(&usFound, pusTarget, TRUE);
        ExFreePoolWithTag(pwcBuffer, PM_TAG_LINK_TARGET);
    }
    ZwClose(hLink);
    return bLeads;
}

BOOLEAN CPmFunctionalDevice::m_AddSymbolicLinkName(const CPmString& name) {
    CPmString link(NonPagedPool);
    CPmString target(NonPagedPool);
    if (!PmLinkAndTarget(name, m_DeviceName, link, target))
        return FALSE;
    UNICODE_STRING usLink = *link.m_GetUnicodeString();
    UNICODE_STRING usTarget = *target.m_GetUnicodeString();
    NTSTATUS ntStatus = IoCreateSymbolicLink(&usLink, &usTarget);
    return NT_SUCCESS(ntStatus) || (ntStatus == STATUS_OBJECT_NAME_COLLISION && PmLinkLeadsTo(&usLink, &usTarget));
}

void CPmFunctionalDevice::m_DeleteSymbolicLinkName(const CPmString& name) {
    CPmString link(NonPagedPool);
    CPmString target(NonPagedPool);
    if (!PmLinkAndTarget(name, m_DeviceName, link, target))
        return;
    UNICODE_STRING usLink = *link.m_GetUnicodeString();
    UNICODE_STRING usTarget = *target.m_GetUnicodeString();
    if (PmLinkLeadsTo(&usLink, &usTarget))
        IoDeleteSymbolicLink(&usLink);
}

// A listener asks which PDO this device sits on.
void CPmFunctionalDevice::sm_CallbackObjectHandler(PVOID pvContext, PVOID pvArgument1, PVOID pvArgument2) {
    CPmFunctionalDevice* pDevice = static_cast<CPmFunctionalDevice*>(pvContext);
    if (pvArgument1)
        *static_cast<PVOID*>(pvArgument1) = pDevice->m_pPhysicalDeviceObject;
}

BOOLEAN CPmFunctionalDevice::m_NotifyCallbackObject(PVOID* ppvAnswer) {
    *ppvAnswer = NULL;
    CPmCallbackObject callbackObject;
    if (!callbackObject.m_Register(GUID_HVGENDRV_CALLBACK_OBJECT, NULL, NULL))
        return FALSE;
    BOOLEAN bNotified = callbackObject.m_Notify(ppvAnswer, NULL);
    callbackObject.m_Close();
    return bNotified;
}

BOOLEAN CPmFunctionalDevice::m_EnterCallback() { return m_pDriverClass && m_CallbackUsageLock.m_Acquire(); }

BOOLEAN CPmFunctionalDevice::m_CallObjectCallback(PPM_OBJECT_CALLBACK pfnCallback, PBOOLEAN pbResult) {
    *pbResult = TRUE;
    if (!pfnCallback)
        return TRUE;
    if (!m_EnterCallback())
        return FALSE;
    *pbResult = pfnCallback(m_pDriverClass);
    m_LeaveCallback();
    return TRUE;
}

void CPmFunctionalDevice::m_CallNotification(PPM_OBJECT_NOTIFICATION pfnCallback) {
    if (pfnCallback && m_EnterCallback()) {
        pfnCallback(m_pDriverClass);
        m_LeaveCallback();
    }
}

BOOLEAN CPmFunctionalDevice::m_CallRebalance(ULONG ulPhase, PBOOLEAN pbResult) {
    *pbResult = FALSE;
    if (!m_EnterCallback())
        return FALSE;
    *pbResult = m_Callbacks.m_RebalanceDeviceCallback(m_pDriverClass, ulPhase);
    m_LeaveCallback();
    return TRUE;
}

BOOLEAN CPmFunctionalDevice::m_ApplySettings(CPmInformationSet* pSet, ULONG ulIndex, ULONG ulMode, PBOOLEAN pbFlag) {
    if (!m_EnterCallback())
        return FALSE;
    BOOLEAN bApplied = FALSE;
    if (!m_Callbacks.m_UserModeInterfaceCallback)
        PM_ASSERTION_LINE(s_szSourcePath);
    else
        bApplied = m_Callbacks.m_UserModeInterfaceCallback(m_pDriverClass, pSet, ulIndex, ulMode, pbFlag);
    m_LeaveCallback();
    return bApplied;
}

void CPmFunctionalDevice::m_DirectWrite(ULONGLONG ullValue, PVOID pvData, ULONG ulLength) {
    CPmBuffer* pBuffer = NULL;
    if (pvData && m_Callbacks.m_DirectWriteCallback)
        pBuffer = static_cast<CPmBuffer*>(PmAllocateZeroedMemory(sizeof(CPmBuffer), NonPagedPool));
    if (!pBuffer) {
        PmFreeMemory(pvData);
        return;
    }
    pBuffer->m_pucData = static_cast<PUCHAR>(pvData);
    pBuffer->m_ulLength = ulLength;
    pBuffer->m_pPool = g_pPmMemoryPool;
    if (m_EnterCallback()) {
        m_Callbacks.m_DirectWriteCallback(m_pDriverClass, ullValue, pBuffer);
        m_LeaveCallback();
    }
    pBuffer->m_Delete();
}
