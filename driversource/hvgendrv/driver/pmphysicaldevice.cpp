// The framework's physical child device: its registry set, its life at the parent's start and
// removal, its Plug and Play and power answers, and the requests it serves or hands to its parent.
#include <pmphysicaldevice.h>
#include <pmdebugmanager.h>
#include <pmfunctionaldevice.h>
#include <pmirphelpers.h>
#include <pmregistry.h>

#include <wmilib.h>

static const CHAR s_szSourcePath[] = "driversource\\hvgendrv\\driver\\pmphysicaldevice";

#define PM_TAG_PNP_ANSWER PM_POOL_TAG('H', 'G', 'e', 'n')

// ---------------------------------------------------------------------------------------------
// Registry set

// Empty, or a GUID in its registry form.
BOOLEAN CPmPhysicalDeviceRegistryInformationSet::sm_CheckGuid(const CPmString& value) {
    if (value.m_IsEmpty())
        return TRUE;
    GUID guid;
    return NT_SUCCESS(RtlGUIDFromString(value.m_GetUnicodeString(), &guid));
}

static BOOLEAN PmCheckIoType(ULONG ulValue) { return ulValue == 0 || ulValue == DO_BUFFERED_IO || ulValue == DO_DIRECT_IO; }

CPmPhysicalDeviceRegistryInformationSet::CPmPhysicalDeviceRegistryInformationSet(HANDLE hChildKey)
    : CPmInformationSet(hChildKey), m_DeviceName(PagedPool), m_DeviceTextDescription(PagedPool),
      m_BusQueryDeviceID(PagedPool), m_BusQueryHardwareIDs(PagedPool), m_BusTypeGuid(PagedPool),
      m_SymbolicLinkName(PagedPool), m_DeviceTextLocationInformation(PagedPool), m_BusQueryCompatibleIDs(PagedPool),
      m_BusQueryInstanceID(PagedPool), m_PairingName(PagedPool) {
    RtlZeroMemory(&m_BusTypeGuidValue, sizeof(m_BusTypeGuidValue));
    m_LegacyBusTypeValidator.m_SetRange(0, 15);
    m_IoTypeValidator.m_SetCheck(PmCheckIoType);
    m_DeviceStateValidator.m_SetRange(0, 4);
    m_SystemWakeValidator.m_SetRange(0, 6);
    m_BusTypeGuidValidator.m_SetCheck(sm_CheckGuid);

    static PCWSTR const s_apszFlags[] = {u"DoPowerPagable", u"ChildDeviceID",   u"LockSupported", u"EjectSupported",
                                         u"Removable",      u"DockDevice",      u"UniqueID",      u"SilentInstall",
                                         u"RawDeviceOK",    u"SurpriseRemovalOK", u"WakeFromD0",  u"WakeFromD1",
                                         u"WakeFromD2",     u"WakeFromD3",      u"HardwareDisabled"};
    PULONG const apulFlags[] = {&m_ulDoPowerPagable, &m_ulChildDeviceID, &m_ulLockSupported, &m_ulEjectSupported,
                                &m_ulRemovable,      &m_ulDockDevice,    &m_ulUniqueID,      &m_ulSilentInstall,
                                &m_ulRawDeviceOK,    &m_ulSurpriseRemovalOK, &m_ulWakeFromD0, &m_ulWakeFromD1,
                                &m_ulWakeFromD2,     &m_ulWakeFromD3,    &m_ulHardwareDisabled};
    static PCWSTR const s_apszStates[] = {u"DeviceState_PowerSystemWorking",   u"DeviceState_PowerSystemSleeping1",
                                          u"DeviceState_PowerSystemSleeping2", u"DeviceState_PowerSystemSleeping3",
                                          u"DeviceState_PowerSystemHibernate", u"DeviceState_PowerSystemShutdown"};

    BOOLEAN bRegistered =
        m_GetValid() && m_AddDword(u"ContextID", &m_ulContextID, 1) &&
        m_AddDword(u"TypeOfDevice", &m_ulTypeOfDevice, 1) && m_AddString(u"DeviceName", &m_DeviceName, NULL) &&
        m_AddString(u"DeviceTextDescription", &m_DeviceTextDescription, NULL) &&
        m_AddString(u"BusQueryDeviceID", &m_BusQueryDeviceID, NULL) &&
        m_AddString(u"BusQueryHardwareIDs", &m_BusQueryHardwareIDs, NULL) &&
        m_AddGuidText() &&
        m_AddDword(u"LegacyBusType", &m_ulLegacyBusType, 1, &m_LegacyBusTypeValidator) &&
        m_AddString(u"SymbolicLinkName", &m_SymbolicLinkName, "") &&
        m_AddDword(u"DeviceIsExclusive", &m_ulDeviceIsExclusive, 1) &&
        m_AddDword(u"IoType", &m_ulIoType, DO_BUFFERED_IO, &m_IoTypeValidator);
    for (ULONG ulIndex = 0; bRegistered && ulIndex < ARRAYSIZE(s_apszFlags); ++ulIndex)
        bRegistered = m_AddDword(s_apszFlags[ulIndex], apulFlags[ulIndex], 0);
    bRegistered = bRegistered && m_AddDword(u"Address", &m_ulAddress, 0xFFFFFFFF) &&
                  m_AddDword(u"UINumber", &m_ulUINumber, 0xFFFFFFFF);
    for (ULONG ulIndex = 0; bRegistered && ulIndex < ARRAYSIZE(s_apszStates); ++ulIndex)
        bRegistered = m_AddDword(s_apszStates[ulIndex], &m_aulDeviceState[ulIndex],
                                 ulIndex == 0 ? PowerDeviceD0 : PowerDeviceD3, &m_DeviceStateValidator);
    bRegistered = bRegistered && m_AddDword(u"SystemWake", &m_ulSystemWake, 0, &m_SystemWakeValidator) &&
                  m_AddDword(u"DeviceWake", &m_ulDeviceWake, 0, &m_DeviceStateValidator) &&
                  m_AddDword(u"D1Latency", &m_ulD1Latency, 0) && m_AddDword(u"D2Latency", &m_ulD2Latency, 0) &&
                  m_AddDword(u"D3Latency", &m_ulD3Latency, 0) &&
                  m_AddDword(u"HandleDeviceTextLocationInformation", &m_ulHandleDeviceTextLocationInformation, 0) &&
                  m_AddString(u"DeviceTextLocationInformation", &m_DeviceTextLocationInformation, "") &&
                  m_AddDword(u"HandleBusQueryHardwareIDs", &m_ulHandleBusQueryHardwareIDs, 1) &&
                  m_AddDword(u"HandleBusQueryCompatibleIDs", &m_ulHandleBusQueryCompatibleIDs, 0) &&
                  m_AddString(u"BusQueryCompatibleIDs", &m_BusQueryCompatibleIDs, "") &&
                  m_AddDword(u"HandleBusQueryInstanceID", &m_ulHandleBusQueryInstanceID, 1) &&
                  m_AddString(u"BusQueryInstanceID", &m_BusQueryInstanceID, "0000") &&
                  m_AddDword(u"ReadServerType", &m_ulReadServerType, 0) &&
                  m_AddDword(u"IncomingWriteType", &m_ulIncomingWriteType, 0) &&
                  m_AddDword(u"BusNumber", &m_ulBusNumber, 1);
    if (!bRegistered || !m_LoadFromKey(PM_SECTION_CURRENT)) {
        m_SetValid(FALSE);
        return;
    }
    if (!m_BusTypeGuid.m_IsEmpty() && !NT_SUCCESS(RtlGUIDFromString(m_BusTypeGuid.m_GetUnicodeString(), &m_BusTypeGuidValue)))
        m_SetValid(FALSE);
}

// BusTypeGuid: a string item, empty by default, whose text must name a GUID.
BOOLEAN CPmPhysicalDeviceRegistryInformationSet::m_AddGuidText() {
    CPmString* pDefault = new (PagedPool) CPmString(PagedPool);
    if (!pDefault)
        return FALSE;
    if (!m_AddItem(0, u"BusTypeGuid", &m_BusTypeGuid, PM_ITEM_STRING, &m_BusTypeGuidValidator, pDefault)) {
        PmDeleteObject(pDefault);
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Life

CPmPhysicalDevice::CPmPhysicalDevice(PDRIVER_OBJECT pDriverObject, CPmFunctionalDevice* pParent, HANDLE hChildKey,
                                     ULONG ulIndex, BOOLEAN* pbSuccess)
    : m_pRegistrySet(NULL), m_pvContext(NULL), m_ulDeviceIndex(ulIndex), m_pParent(pParent), m_bNotListed(FALSE),
      m_DeviceName(NonPagedPool), m_SymbolicLinkName(NonPagedPool) {
    RtlZeroMemory(m_aucLayoutReserve, sizeof(m_aucLayoutReserve));
    m_pDriverObject = pDriverObject;
    PM_TRACE(PM_TRACE_PDO, "CPmPhysicalDevice::CPmPhysicalDevice IN");
    BOOLEAN bSuccess = m_Construct(hChildKey);
    if (bSuccess) {
        m_UsageLock.m_Init(TRUE);
        PM_TRACE(PM_TRACE_PDO_RESULT, "CPmPhysicalDevice::CPmPhysicalDevice OUT SUCCESS");
    } else {
        PM_TRACE(PM_TRACE_PDO_RESULT, "CPmPhysicalDevice::CPmPhysicalDevice OUT ERROR");
    }
    *pbSuccess = bSuccess;
}

BOOLEAN CPmPhysicalDevice::m_Construct(HANDLE hChildKey) {
    m_pRegistrySet = new (PagedPool) CPmPhysicalDeviceRegistryInformationSet(hChildKey);
    if (!m_pRegistrySet || !m_pRegistrySet->m_GetValid())
        return FALSE;
    PM_TRACE(PM_TRACE_PDO, "CPmPhysicalDevice::CPmPhysicalDevice CPmPhysicalDeviceRegistryInformationSet SUCCESS");
    if (!NT_SUCCESS(m_DeviceName.m_Copy(m_pRegistrySet->m_DeviceName)) ||
        !NT_SUCCESS(m_SymbolicLinkName.m_Copy(m_pRegistrySet->m_SymbolicLinkName)))
        return FALSE;
    if (m_ulDeviceIndex != 0) {
        if (!m_DeviceName.m_IsEmpty() && !NT_SUCCESS(m_DeviceName.m_AppendInteger(m_ulDeviceIndex)))
            return FALSE;
        if (!m_SymbolicLinkName.m_IsEmpty() && !NT_SUCCESS(m_SymbolicLinkName.m_AppendInteger(m_ulDeviceIndex)))
            return FALSE;
    }
    if (!m_CreateDeviceObjectAndSymbolicLink(m_pDriverObject, &m_DeviceName, m_pRegistrySet->m_ulTypeOfDevice,
                                             &m_SymbolicLinkName, m_pRegistrySet->m_ulDeviceIsExclusive != 0, this,
                                             &m_pDeviceObject))
        return FALSE;
    PM_TRACE(PM_TRACE_PDO, "CPmPhysicalDevice::CPmPhysicalDevice m_CreateDeviceObjectAndSymbolicLink SUCCESS");
    m_pDeviceObject->Flags |= m_pRegistrySet->m_ulIoType;
    m_pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    if (m_pParent && m_pParent->m_pDeviceObject)
        m_pDeviceObject->Flags |= m_pParent->m_pDeviceObject->Flags & DO_POWER_PAGABLE;
    m_ulKind = PM_DEVICE_KIND_PHYSICAL;
    return m_Identity.m_Register(GUID_HVGENDRV_PHYSICAL_DEVICE_IDENTITY, sm_IdentityHandler, this);
}

CPmPhysicalDevice::~CPmPhysicalDevice() {
    PM_TRACE(PM_TRACE_PDO, "CPmPhysicalDevice::~CPmPhysicalDevice IN");
    // No other image may find it once its device object starts to go.
    m_Identity.m_Close();
    m_ReplaceRecordQueue(NULL, FALSE);
    if (m_pDeviceObject) {
        PmDeviceExtension* pExtension = sm_GetExtension(m_pDeviceObject);
        pExtension->m_pDevice = NULL;
        m_DeleteDeviceObjectAndSymbolicLink(m_pDeviceObject, m_DeviceName.m_IsEmpty() ? NULL : &m_SymbolicLinkName);
        m_pDeviceObject = NULL;
    }
    if (m_pRegistrySet) {
        delete m_pRegistrySet;
        m_pRegistrySet = NULL;
    }
    PM_TRACE(PM_TRACE_PDO_RESULT, "CPmPhysicalDevice::~CPmPhysicalDevice OUT");
    m_Clients.m_Lock.m_Lock();
    for (PVOID pvEntry = m_Clients.m_List.m_RemoveHead(); pvEntry; pvEntry = m_Clients.m_List.m_RemoveHead())
        PmFreeMemory(pvEntry);
    m_Clients.m_Lock.m_Unlock();
}

// Deletes a child whose extension no longer admits requests: those inside it finish first.
static void PmDeleteChild(PDEVICE_OBJECT pChildObject) {
    PmDeviceExtension* pExtension = CPmDevice::sm_GetExtension(pChildObject);
    CPmDevice* pChild = pExtension ? pExtension->m_pDevice : NULL;
    if (!pChild)
        return;
    pExtension->m_UsageLock.m_DisableAndWait();
    // The extension goes with the device object the destructor deletes.
    pExtension->m_pDevice = NULL;
    delete pChild;
}

BOOLEAN CPmPhysicalDevice::m_CreateAllChildDevices(CPmFunctionalDevice* pParent, HANDLE hDeviceKey) {
    ULONG ulCount = pParent->m_pConfiguration->m_ulNumberChildDevices;
    // Children are made once; a count that skipped some never equals NumberChildDevices.
    pParent->m_ChildListLock.m_Lock();
    BOOLEAN bMade = pParent->m_ChildList.m_GetCount() != 0;
    pParent->m_ChildListLock.m_Unlock();
    if (bMade)
        return TRUE;
    ULONG ulIndex = (pParent->m_pConfiguration->m_ulDeviceIndexingPolicyType & PM_POLICY_CHILDREN_TAKE_INDEX)
                        ? pParent->m_ulDeviceIndex
                        : 0;
    BOOLEAN bSuccess = TRUE;
    for (ULONG ulNumber = 1; bSuccess && ulNumber <= ulCount; ++ulNumber) {
        CPmString keyName(PagedPool);
        HANDLE hChildKey = NULL;
        if (!NT_SUCCESS(keyName.m_Assign(u"Child")) || !NT_SUCCESS(keyName.m_AppendInteger(ulNumber)) ||
            !CPmRegistry::m_OpenKey(hDeviceKey, keyName.m_GetText(), &hChildKey, KEY_READ, FALSE)) {
            bSuccess = FALSE;
            break;
        }
        ULONG ulSkip = 0;
        if (CPmRegistry::m_QueryDword(hChildKey, u"DoNotCreateAtStartup", &ulSkip) && ulSkip == 1) {
            ZwClose(hChildKey);
            continue;
        }
        BOOLEAN bConstructed = FALSE;
        CPmPhysicalDevice* pChild = new (NonPagedPool)
            CPmPhysicalDevice(pParent->m_pDriverObject, pParent, hChildKey, ulIndex, &bConstructed);
        ZwClose(hChildKey);
        PmChildEntry* pEntry =
            bConstructed ? static_cast<PmChildEntry*>(PmAllocateZeroedMemory(sizeof(PmChildEntry), NonPagedPool)) : NULL;
        if (!pEntry) {
            delete pChild;
            bSuccess = FALSE;
            break;
        }
        pEntry->m_pDeviceObject = pChild->m_pDeviceObject;
        pEntry->m_ulContextId = pChild->m_GetContextId();
        pParent->m_ChildListLock.m_Lock();
        BOOLEAN bAppended = pParent->m_ChildList.m_Append(pEntry) != NULL;
        pParent->m_ChildListLock.m_Unlock();
        if (!bAppended) {
            PmFreeMemory(pEntry);
            delete pChild;
            bSuccess = FALSE;
            break;
        }
        PM_TRACE(PM_TRACE_PDO, "m_CreateAllChildDevices - add %08x", (ULONG)(ULONG_PTR)pChild->m_pDeviceObject);
    }
    // A start that fails leaves no child behind, device objects included.
    if (!bSuccess)
        m_DeleteAllChildDevices(pParent);
    return bSuccess;
}

void CPmPhysicalDevice::m_DeleteAllChildDevices(CPmFunctionalDevice* pParent) {
    for (;;) {
        pParent->m_ChildListLock.m_Lock();
        PmChildEntry* pEntry = static_cast<PmChildEntry*>(pParent->m_ChildList.m_RemoveHead());
        pParent->m_ChildListLock.m_Unlock();
        if (!pEntry)
            break;
        PM_TRACE(PM_TRACE_PDO, "m_DeleteAllChildDevices - %08x", (ULONG)(ULONG_PTR)pEntry->m_pDeviceObject);
        if (pEntry->m_pDeviceObject)
            PmDeleteChild(pEntry->m_pDeviceObject);
        PmFreeMemory(pEntry);
    }
}

// ---------------------------------------------------------------------------------------------
// Identity across driver images

// Runs while this device cannot go (its identity registration is still open): only then is its
// extension known to be a framework extension, and only while that admits requests is it found.
void CPmPhysicalDevice::sm_IdentityHandler(PVOID pvContext, PVOID pvArgument1, PVOID pvArgument2) {
    CPmPhysicalDevice* pThis = static_cast<CPmPhysicalDevice*>(pvContext);
    if (!pvArgument2 || !pvArgument1 || pvArgument1 != pThis->m_pDeviceObject)
        return;
    PmDeviceExtension* pExtension = sm_GetExtension(pThis->m_pDeviceObject);
    if (!pExtension->m_UsageLock.m_Acquire())
        return;
    if (pExtension->m_pDevice == pThis)
        *static_cast<CPmPhysicalDevice**>(pvArgument2) = pThis;
    pExtension->m_UsageLock.m_Release();
}

CPmPhysicalDevice* CPmPhysicalDevice::sm_IdentifyDeviceObject(PDEVICE_OBJECT pDeviceObject) {
    if (!pDeviceObject)
        return NULL;
    CPmPhysicalDevice* pOwner = NULL;
    CPmCallbackObject asker;
    if (!asker.m_Register(GUID_HVGENDRV_PHYSICAL_DEVICE_IDENTITY, NULL, NULL))
        return NULL;
    asker.m_Notify(pDeviceObject, &pOwner);
    asker.m_Close();
    return pOwner;
}

CPmPhysicalDevice* CPmPhysicalDevice::sm_GetAttachedDevice(CPmFunctionalDevice* pDevice) {
    return pDevice ? sm_IdentifyDeviceObject(pDevice->m_pPhysicalDeviceObject) : NULL;
}

BOOLEAN CPmPhysicalDevice::sm_GetContextId(CPmFunctionalDevice* pDevice, PULONG pulContextId) {
    CPmPhysicalDevice* pBelow = sm_GetAttachedDevice(pDevice);
    if (!pBelow)
        return FALSE;
    *pulContextId = pBelow->m_GetContextId();
    return TRUE;
}

void CPmPhysicalDevice::m_ClearUnusedClientEntries() {
    m_Clients.m_Lock.m_Lock();
    for (PVOID pv = m_Clients.m_List.m_GetFirst(); pv; pv = m_Clients.m_List.m_GetNext()) {
        PmClientEntry* pEntry = static_cast<PmClientEntry*>(pv);
        if (!pEntry->m_bFirstInUse)
            RtlZeroMemory(pEntry->m_aulFirst, sizeof(pEntry->m_aulFirst));
        if (!pEntry->m_bSecondInUse)
            RtlZeroMemory(pEntry->m_aulSecond, sizeof(pEntry->m_aulSecond));
    }
    m_Clients.m_Lock.m_Unlock();
}

// ---------------------------------------------------------------------------------------------
// Plug and Play

// A type field of a request read as a number: a sender may put any value there.
template <class T> static ULONG PmReadType(const T& field) {
    static_assert(sizeof(T) == sizeof(ULONG), "type fields are 32 bits");
    ULONG ulValue;
    RtlCopyMemory(&ulValue, &field, sizeof(ulValue));
    return ulValue;
}

BOOLEAN CPmPhysicalDevice::m_IsListedByParent() {
    BOOLEAN bListed = FALSE;
    m_pParent->m_ChildListLock.m_Lock();
    for (PVOID pv = m_pParent->m_ChildList.m_GetFirst(); pv && !bListed; pv = m_pParent->m_ChildList.m_GetNext())
        bListed = static_cast<PmChildEntry*>(pv)->m_pDeviceObject == m_pDeviceObject;
    m_pParent->m_ChildListLock.m_Unlock();
    return bListed;
}

NTSTATUS CPmPhysicalDevice::m_Dispatch_Pnp(PIRP pIrp) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PM_TRACE(PM_TRACE_PDO_PNP, "CPmPhysicalDevice::m_Dispatch_Pnp - Minor Function : %s\n",
             CPmDebugManager::m_PnpMinorName(pStack->MinorFunction));
    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        m_ulPnpState = PM_PNP_STARTED;
        POWER_STATE powerState;
        powerState.DeviceState = PowerDeviceD0;
        PoSetPowerState(m_pDeviceObject, DevicePowerState, powerState);
        m_ulDevicePowerState = PowerDeviceD0;
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        m_ulPnpState = PM_PNP_REMOVE_PENDING;
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        return m_PnpRemove(pIrp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        m_ulPnpState = PM_PNP_STARTED;
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        m_ulPnpState = PM_PNP_STOPPED;
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
        m_ulPnpState = PM_PNP_STOP_PENDING;
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (PmReadType(pStack->Parameters.QueryDeviceRelations.Type) == TargetDeviceRelation)
            return m_PnpTargetRelation(pIrp);
        return PmCompleteWithCurrentStatus(pIrp);
    case IRP_MN_QUERY_CAPABILITIES:
        return m_PnpCapabilities(pIrp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return m_PnpDeviceText(pIrp);
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
        return PmCompleteWithStatus(pIrp, STATUS_NOT_SUPPORTED);
    case IRP_MN_QUERY_ID:
        return m_PnpQueryId(pIrp);
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        return m_PnpDeviceState(pIrp);
    case IRP_MN_QUERY_BUS_INFORMATION:
        return m_PnpBusInformation(pIrp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: {
        ULONG eType = PmReadType(pStack->Parameters.UsageNotification.Type);
        BOOLEAN bAccepted = (eType == DeviceUsageTypePaging || eType == DeviceUsageTypeHibernation ||
                             eType == DeviceUsageTypeDumpFile) &&
                            !pStack->Parameters.UsageNotification.InPath;
        return PmCompleteWithStatus(pIrp, bAccepted ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        m_ulPnpState = PM_PNP_SURPRISE_REMOVED;
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    }
    return PmCompleteWithCurrentStatus(pIrp);
}

// A child its parent still lists stays, to be started again; the wrapper deletes it otherwise.
NTSTATUS CPmPhysicalDevice::m_PnpRemove(PIRP pIrp) {
    m_ulPnpState = PM_PNP_REMOVED;
    m_ReplaceRecordQueue(NULL, FALSE);
    PM_TRACE(PM_TRACE_PDO_PNP, "CPmPhysicalDevice::m_Dispatch_Pnp - IRP_MN_REMOVE_DEVICE  - waiting for remove lock");
    m_UsageLock.m_DisableAndWait();
    m_UsageLock.m_Init(TRUE);
    PM_TRACE(PM_TRACE_PDO_PNP, "CPmPhysicalDevice::m_Dispatch_Pnp - IRP_MN_REMOVE_DEVICE  - after remove lock");
    m_bNotListed = !m_IsListedByParent();
    return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
}

NTSTATUS CPmPhysicalDevice::m_PnpTargetRelation(PIRP pIrp) {
    PDEVICE_RELATIONS pRelations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PM_TAG_PNP_ANSWER));
    if (!pRelations)
        return PmCompleteWithStatus(pIrp, STATUS_INSUFFICIENT_RESOURCES);
    pRelations->Count = 1;
    pRelations->Objects[0] = m_pDeviceObject;
    ObReferenceObject(m_pDeviceObject);
    return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(pRelations));
}

NTSTATUS CPmPhysicalDevice::m_PnpCapabilities(PIRP pIrp) {
    PDEVICE_CAPABILITIES pCapabilities =
        IoGetCurrentIrpStackLocation(pIrp)->Parameters.DeviceCapabilities.Capabilities;
    if (!pCapabilities || pCapabilities->Version != 1 || pCapabilities->Size != sizeof(DEVICE_CAPABILITIES))
        return PmCompleteWithStatus(pIrp, STATUS_UNSUCCESSFUL);
    const CPmPhysicalDeviceRegistryInformationSet& set = *m_pRegistrySet;
    pCapabilities->LockSupported = set.m_ulLockSupported != 0;
    pCapabilities->EjectSupported = set.m_ulEjectSupported != 0;
    pCapabilities->Removable = set.m_ulRemovable != 0;
    pCapabilities->DockDevice = set.m_ulDockDevice != 0;
    pCapabilities->UniqueID = set.m_ulUniqueID != 0;
    pCapabilities->SilentInstall = set.m_ulSilentInstall != 0;
    pCapabilities->RawDeviceOK = set.m_ulRawDeviceOK != 0;
    pCapabilities->SurpriseRemovalOK = set.m_ulSurpriseRemovalOK != 0;
    pCapabilities->WakeFromD0 = set.m_ulWakeFromD0 != 0;
    pCapabilities->WakeFromD1 = set.m_ulWakeFromD1 != 0;
    pCapabilities->WakeFromD2 = set.m_ulWakeFromD2 != 0;
    pCapabilities->WakeFromD3 = set.m_ulWakeFromD3 != 0;
    pCapabilities->HardwareDisabled = set.m_ulHardwareDisabled != 0;
    pCapabilities->Address = set.m_ulAddress;
    pCapabilities->UINumber = set.m_ulUINumber;
    for (ULONG ulIndex = 0; ulIndex < PM_POWER_MAP_SIZE; ++ulIndex) {
        pCapabilities->DeviceState[PowerSystemWorking + ulIndex] = (DEVICE_POWER_STATE)set.m_aulDeviceState[ulIndex];
        m_aulPowerMap[ulIndex] = set.m_aulDeviceState[ulIndex];
    }
    pCapabilities->SystemWake = (SYSTEM_POWER_STATE)set.m_ulSystemWake;
    pCapabilities->DeviceWake = (DEVICE_POWER_STATE)set.m_ulDeviceWake;
    pCapabilities->D1Latency = set.m_ulD1Latency;
    pCapabilities->D2Latency = set.m_ulD2Latency;
    pCapabilities->D3Latency = set.m_ulD3Latency;
    return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
}

// A pool copy of the text for the PnP manager, which frees it; a multi-string ends with two NULs.
static NTSTATUS PmCompleteWithText(PIRP pIrp, const CPmString& text, BOOLEAN bMulti) {
    SIZE_T cbText = text.m_GetLength() * sizeof(WCHAR);
    SIZE_T cbAnswer = cbText + (bMulti ? 2 : 1) * sizeof(WCHAR);
    PWCHAR pszAnswer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, cbAnswer, PM_TAG_PNP_ANSWER));
    if (!pszAnswer)
        return PmCompleteWithStatus(pIrp, STATUS_INSUFFICIENT_RESOURCES);
    RtlZeroMemory(pszAnswer, cbAnswer);
    RtlCopyMemory(pszAnswer, text.m_GetText(), cbText);
    return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(pszAnswer));
}

NTSTATUS CPmPhysicalDevice::m_PnpDeviceText(PIRP pIrp) {
    const CPmPhysicalDeviceRegistryInformationSet& set = *m_pRegistrySet;
    switch (PmReadType(IoGetCurrentIrpStackLocation(pIrp)->Parameters.QueryDeviceText.DeviceTextType)) {
    case DeviceTextDescription:
        return PmCompleteWithText(pIrp, set.m_DeviceTextDescription, FALSE);
    case DeviceTextLocationInformation:
        if (set.m_ulHandleDeviceTextLocationInformation)
            return PmCompleteWithText(pIrp, set.m_DeviceTextLocationInformation, FALSE);
        break;
    default:
        break;
    }
    return PmCompleteWithCurrentStatus(pIrp);
}

NTSTATUS CPmPhysicalDevice::m_PnpQueryId(PIRP pIrp) {
    const CPmPhysicalDeviceRegistryInformationSet& set = *m_pRegistrySet;
    switch (PmReadType(IoGetCurrentIrpStackLocation(pIrp)->Parameters.QueryId.IdType)) {
    case BusQueryDeviceID:
        return PmCompleteWithText(pIrp, set.m_BusQueryDeviceID, FALSE);
    case BusQueryHardwareIDs:
        if (set.m_ulHandleBusQueryHardwareIDs)
            return PmCompleteWithText(pIrp, set.m_BusQueryHardwareIDs, TRUE);
        break;
    case BusQueryCompatibleIDs:
        if (set.m_ulHandleBusQueryCompatibleIDs)
            return PmCompleteWithText(pIrp, set.m_BusQueryCompatibleIDs, TRUE);
        break;
    case BusQueryInstanceID:
        if (set.m_ulHandleBusQueryInstanceID)
            return PmCompleteWithText(pIrp, set.m_BusQueryInstanceID, TRUE);
        break;
    default:
        break;
    }
    return PmCompleteWithCurrentStatus(pIrp);
}

NTSTATUS CPmPhysicalDevice::m_PnpDeviceState(PIRP pIrp) {
    ULONG_PTR ulState = pIrp->IoStatus.Information;
    if (!m_ApplyDeviceStatePairs(&ulState))
        return PmCompleteWithCurrentStatus(pIrp);
    // A state reported here is an answer, whatever status the request arrived with.
    return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, ulState);
}

NTSTATUS CPmPhysicalDevice::m_PnpBusInformation(PIRP pIrp) {
    PPNP_BUS_INFORMATION pInformation = static_cast<PPNP_BUS_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), PM_TAG_PNP_ANSWER));
    if (!pInformation)
        return PmCompleteWithStatus(pIrp, STATUS_INSUFFICIENT_RESOURCES);
    pInformation->BusTypeGuid = m_pRegistrySet->m_BusTypeGuidValue;
    pInformation->LegacyBusType = (INTERFACE_TYPE)m_pRegistrySet->m_ulLegacyBusType;
    pInformation->BusNumber = m_pRegistrySet->m_ulBusNumber;
    return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(pInformation));
}

// ---------------------------------------------------------------------------------------------
// Power

static NTSTATUS PmCompletePhysicalPowerIrp(PIRP pIrp, NTSTATUS ntStatus) {
    PoStartNextPowerIrp(pIrp);
    return PmCompleteWithStatus(pIrp, ntStatus);
}

NTSTATUS CPmPhysicalDevice::m_SetPower(PIRP pIrp, BOOLEAN bQuery) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG eType = PmReadType(pStack->Parameters.Power.Type);
    if (eType == SystemPowerState) {
        if (!m_UsageLock.m_Acquire())
            return PmCompletePhysicalPowerIrp(pIrp, STATUS_DELETE_PENDING);
        // Held only to learn that no removal runs; a lock kept here would stall the next removal.
        m_UsageLock.m_Release();
        return PmCompletePhysicalPowerIrp(pIrp, STATUS_SUCCESS);
    }
    if (eType != DevicePowerState)
        return PmCompletePhysicalPowerIrp(pIrp, STATUS_UNSUCCESSFUL);
    if (bQuery)
        return PmCompletePhysicalPowerIrp(pIrp, STATUS_SUCCESS);
    if (!m_UsageLock.m_Acquire())
        return PmCompletePhysicalPowerIrp(pIrp, STATUS_DELETE_PENDING);
    PoSetPowerState(m_pDeviceObject, DevicePowerState, pStack->Parameters.Power.State);
    m_ulDevicePowerState = PmReadType(pStack->Parameters.Power.State);
    m_UsageLock.m_Release();
    return PmCompletePhysicalPowerIrp(pIrp, STATUS_SUCCESS);
}

NTSTATUS CPmPhysicalDevice::m_Dispatch_Power(PIRP pIrp) {
    UCHAR ucMinor = IoGetCurrentIrpStackLocation(pIrp)->MinorFunction;
    static PCSTR const s_apszNames[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                        "IRP_MN_QUERY_POWER"};
    PM_TRACE(PM_TRACE_PDO_POWER, "CPmPhysicalDevice::m_Dispatch_Power - Minor Function : %s\n",
             ucMinor < ARRAYSIZE(s_apszNames) ? s_apszNames[ucMinor] : "unknown minor function");
    switch (ucMinor) {
    case IRP_MN_WAIT_WAKE:
        return PmCompletePhysicalPowerIrp(pIrp, STATUS_NOT_SUPPORTED);
    case IRP_MN_POWER_SEQUENCE:
        return PmCompletePhysicalPowerIrp(pIrp, STATUS_NOT_IMPLEMENTED);
    case IRP_MN_SET_POWER:
        return m_SetPower(pIrp, FALSE);
    case IRP_MN_QUERY_POWER:
        return m_SetPower(pIrp, TRUE);
    }
    PoStartNextPowerIrp(pIrp);
    return PmCompleteWithCurrentStatus(pIrp);
}

// ---------------------------------------------------------------------------------------------
// Requests

NTSTATUS CPmPhysicalDevice::m_Dispatch_Create(PIRP pIrp) { return PmCompleteWithStatus(pIrp, STATUS_SUCCESS); }

NTSTATUS CPmPhysicalDevice::m_Dispatch_Cleanup(PIRP pIrp) { return PmCompleteWithStatus(pIrp, STATUS_SUCCESS); }

NTSTATUS CPmPhysicalDevice::m_Dispatch_Close(PIRP pIrp) { return PmCompleteWithStatus(pIrp, STATUS_SUCCESS); }

NTSTATUS CPmPhysicalDevice::m_Dispatch_FlushBuffers(PIRP pIrp) { return PmCompleteWithStatus(pIrp, STATUS_SUCCESS); }

NTSTATUS CPmPhysicalDevice::m_Dispatch_Shutdown(PIRP pIrp) { return PmCompleteWithStatus(pIrp, STATUS_SUCCESS); }

PVOID CPmPhysicalDevice::m_GetSystemBuffer(PIRP pIrp) {
    return (m_pDeviceObject->Flags & DO_BUFFERED_IO) ? pIrp->AssociatedIrp.SystemBuffer : NULL;
}

NTSTATUS CPmPhysicalDevice::m_Dispatch_Read(PIRP pIrp) {
    switch (m_pRegistrySet->m_ulReadServerType) {
    case 1:
        return m_ReadRecord(pIrp);
    case 2:
        return m_pParent->m_Dispatch_Read(pIrp);
    default:
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_UNSUCCESSFUL, 0);
    }
}

NTSTATUS CPmPhysicalDevice::m_Dispatch_Write(PIRP pIrp) {
    ULONG ulType = m_pRegistrySet->m_ulIncomingWriteType;
    ULONG ulLength = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Write.Length;
    switch (ulType) {
    case 0:
        break;
    case 1:
    case 2: {
        // The data goes to the parent as a copy: the system buffer stays the I/O manager's.
        PUCHAR pucData = static_cast<PUCHAR>(m_GetSystemBuffer(pIrp));
        if (ulLength && !pucData)
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
        ULONGLONG ullValue = 0;
        ULONG ulOffset = 0;
        if (ulType == 2) {
            if (ulLength < sizeof(ullValue))
                return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_PARAMETER, 0);
            RtlCopyMemory(&ullValue, pucData, sizeof(ullValue));
            ulOffset = sizeof(ullValue);
        }
        ULONG ulCopy = ulLength - ulOffset;
        PVOID pvCopy = PmAllocateZeroedMemory(ulCopy ? ulCopy : 1, NonPagedPool);
        if (!pvCopy)
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
        if (ulCopy)
            RtlCopyMemory(pvCopy, pucData + ulOffset, ulCopy);
        m_pParent->m_DirectWrite(ullValue, pvCopy, ulCopy);
        break;
    }
    case 3:
        return m_pParent->m_Dispatch_Write(pIrp);
    default:
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, ulLength);
}

NTSTATUS CPmPhysicalDevice::m_Dispatch_DeviceControl(PIRP pIrp) {
    if (m_ulPnpState != PM_PNP_STARTED)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_DEVICE_REMOVED, 0);
    return m_pParent->m_Dispatch_DeviceControl(pIrp);
}

NTSTATUS CPmPhysicalDevice::m_Dispatch_InternalDeviceControl(PIRP pIrp) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulInputLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOutputLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pvBuffer = pIrp->AssociatedIrp.SystemBuffer;
    switch (pStack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HVGENDRV_ATTACH_NOTIFIER:
        if (ulInputLength != sizeof(PmNotifierRecord) || !pvBuffer)
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_PARAMETER, 0);
        return m_AttachNotifier(pIrp);
    case IOCTL_HVGENDRV_QUERY_CONTEXT:
        if (ulInputLength != 0 || ulOutputLength != sizeof(PVOID) || !pvBuffer)
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_PARAMETER, 0);
        RtlCopyMemory(pvBuffer, &m_pvContext, sizeof(PVOID));
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, sizeof(PVOID));
    }
    return m_pParent->m_Dispatch_InternalDeviceControl(pIrp);
}

// ---------------------------------------------------------------------------------------------
// Records for a reader above

// The old queue goes outside the lock: it frees its records.
void CPmPhysicalDevice::m_ReplaceRecordQueue(CPmRecordQueue* pNew, BOOLEAN bReaderThere) {
    m_RecordQueueLock.m_Lock();
    CPmRecordQueue* pOld = m_pRecordQueue;
    m_pRecordQueue = pNew;
    m_RecordQueueLock.m_Unlock();
    if (!pOld)
        return;
    if (bReaderThere)
        pOld->m_Withdraw();
    delete pOld;
}

// A new queue for the reader's event and size word; both NULL only detaches the reader.
NTSTATUS CPmPhysicalDevice::m_AttachNotifier(PIRP pIrp) {
    PmNotifierRecord record;
    RtlCopyMemory(&record, pIrp->AssociatedIrp.SystemBuffer, sizeof(record));
    if (!record.m_pkNotificationEvent != !record.m_pulSizeWord)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_PARAMETER, 0);
    CPmRecordQueue* pNew = NULL;
    if (record.m_pkNotificationEvent) {
        pNew = new (NonPagedPool) CPmRecordQueue(record.m_pkNotificationEvent, record.m_pulSizeWord);
        if (!pNew)
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_UNSUCCESSFUL, 0);
    }
    // The reader that attached is still there: it detaches before its event goes.
    m_ReplaceRecordQueue(pNew, TRUE);
    return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, 0);
}

BOOLEAN CPmPhysicalDevice::m_PostRecord(CPmBuffer* pData, ULONG_PTR ulValue) {
    m_RecordQueueLock.m_Lock();
    CPmRecordQueue* pQueue = m_pRecordQueue;
    BOOLEAN bPosted = pQueue && pQueue->m_Post(pData, ulValue);
    m_RecordQueueLock.m_Unlock();
    if (!pQueue && pData)
        pData->m_Delete();
    return bPosted;
}

// The head record, when the read asks for exactly its length; it stays otherwise.
NTSTATUS CPmPhysicalDevice::m_ReadRecord(PIRP pIrp) {
    ULONG ulLength = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Read.Length;
    PVOID pvBuffer = m_GetSystemBuffer(pIrp);
    if (!pvBuffer)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    m_RecordQueueLock.m_Lock();
    ULONG ulRecordLength = 0;
    BOOLEAN bTaken = m_pRecordQueue && m_pRecordQueue->m_Take(pvBuffer, ulLength, &ulRecordLength);
    m_RecordQueueLock.m_Unlock();
    if (bTaken)
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, ulLength);
    return PmCompleteWithStatusAndInformation(
        pIrp, ulLength < ulRecordLength ? STATUS_BUFFER_TOO_SMALL : STATUS_UNSUCCESSFUL, 0);
}

NTSTATUS CPmPhysicalDevice::m_Dispatch_SystemControl(PIRP pIrp) {
    WMILIB_CONTEXT context;
    RtlZeroMemory(&context, sizeof(context));
    SYSCTL_IRP_DISPOSITION disposition = IrpNotCompleted;
    NTSTATUS ntStatus = WmiSystemControl(&context, m_pDeviceObject, pIrp, &disposition);
    if (disposition == IrpProcessed)
        return ntStatus;
    return PmCompleteWithCurrentStatus(pIrp);
}
