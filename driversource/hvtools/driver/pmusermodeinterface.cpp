// The settings interface of a functional device: registration, settings handles, the six control
// codes and the load-and-apply pass at start and open.
#include <pmusermodeinterface.h>
#include <pmdebugmanager.h>
#include <pmregistry.h>
#include <pmserialisationset.h>

static const CHAR s_szSourcePath[] = "driversource\\hvtools\\driver\\pmusermodeinterface";

// Longest create name that is examined for the settings prefix, in characters.
#define PM_SETTINGS_NAME_MAX 1024

static const WCHAR s_szSettingsName[] = u"\\HVGENDRV_";
static const WCHAR s_szDefaultKey[] = u"Default";

// A lossless copy of a set's values (16-bit characters), taken before a request changes the set
// so that a refused change leaves memory and registry as they were.
class CPmSettingsSnapshot {
public:
    CPmSettingsSnapshot() : m_pucStream(NULL), m_ulLength(0) {
        m_Format.m_ulFlags = SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX | SERIALISE_FLAG_WIDE_CHARS;
        m_Format.m_ulHeaderValue = 0;
    }
    ~CPmSettingsSnapshot() { PmFreeMemory(m_pucStream); }
    CPmSettingsSnapshot(const CPmSettingsSnapshot&) = delete;
    CPmSettingsSnapshot& operator=(const CPmSettingsSnapshot&) = delete;

    BOOLEAN m_Take(CPmInformationSet& set) {
        ULONG ulSize = set.m_GetSerialisedSize(&m_Format);
        if (!ulSize)
            return set.m_GetItemCount() == 0;
        m_pucStream = static_cast<PUCHAR>(PmAllocateMemory(ulSize, PagedPool));
        if (!m_pucStream)
            return FALSE;
        ULONG ulRoom = ulSize;
        if (!set.m_Serialise(m_pucStream, &ulRoom, &m_Format))
            return FALSE;
        m_ulLength = ulSize;
        return TRUE;
    }
    void m_Restore(CPmInformationSet& set) {
        ULONG ulLength = m_ulLength;
        if (m_pucStream)
            set.m_Deserialise(m_pucStream, &ulLength, &m_Format);
    }

private:
    CPmSerialisation m_Format;
    PUCHAR m_pucStream;
    ULONG m_ulLength;
};

PmUserModeInterface::PmUserModeInterface()
    : m_ReferenceString(PagedPool), m_pSet(NULL), m_lCurrentIndex(-1), m_ulSectionCount(1),
      m_pPhysicalDeviceObject(NULL), m_pvContext(NULL), m_pfnSettingsCallback(NULL), m_pfnForwardCallback(NULL) {
    RtlZeroMemory(&m_usLinkName, sizeof(m_usLinkName));
    RtlZeroMemory(&m_InterfaceGuid, sizeof(m_InterfaceGuid));
    KeInitializeMutex(&m_Mutex, 0);
}

PmUserModeInterface::~PmUserModeInterface() {
    if (m_usLinkName.Buffer) {
        IoSetDeviceInterfaceState(&m_usLinkName, FALSE);
        RtlFreeUnicodeString(&m_usLinkName);
    }
    delete m_pSet;
    m_pSet = NULL;
}

void PmUserModeInterface::m_SetSettings(CPmInformationSet* pSet, const GUID& interfaceGuid) {
    if (m_pSet != pSet)
        delete m_pSet;
    m_pSet = pSet;
    m_InterfaceGuid = interfaceGuid;
}

void PmUserModeInterface::m_SetCallbacks(PVOID pvContext, PM_SETTINGS_CALLBACK* pfnSettings,
                                         PM_FORWARD_CALLBACK* pfnForward) {
    m_pvContext = pvContext;
    m_pfnSettingsCallback = pfnSettings;
    m_pfnForwardCallback = pfnForward;
}

void PmUserModeInterface::m_Lock() {
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, NULL);
}

void PmUserModeInterface::m_Unlock() { KeReleaseMutex(&m_Mutex, FALSE); }

BOOLEAN PmUserModeInterface::m_Init(PDEVICE_OBJECT pPhysicalDeviceObject) {
    PM_TRACE(PM_TRACE_DISPATCH_IN, "PmUserModeInterface::m_Init IN");
    if (!m_pSet) {
        PM_TRACE(PM_TRACE_DISPATCH_OUT, "PmUserModeInterface::m_Init OUT - no settings");
        return TRUE;
    }
    if (!pPhysicalDeviceObject) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    if (m_usLinkName.Buffer)
        return TRUE;
    m_pPhysicalDeviceObject = pPhysicalDeviceObject;
    m_DeviceProperty.m_pDeviceObject = pPhysicalDeviceObject;
    if (!m_DeviceProperty.m_GetString(m_ReferenceString)) {
        PM_TRACE(PM_TRACE_DISPATCH_OUT, "PmUserModeInterface::m_Init OUT - no driver key name");
        return FALSE;
    }
    // The key name is "{class GUID}\NNNN". A reference string must not hold a path separator, and
    // clients look for the name without any backslash, so every one goes.
    for (ULONG ulPosition = 1; m_ReferenceString.m_FindChar(&ulPosition, '\\');)
        if (!m_ReferenceString.m_RemoveCharAt(ulPosition))
            return FALSE;
    if (!NT_SUCCESS(m_ReferenceString.m_PrependAnsi(PM_USER_MODE_REFERENCE_PREFIX)) ||
        !NT_SUCCESS(m_ReferenceString.m_MakeUpper()))
        return FALSE;
    UNICODE_STRING usReference = *m_ReferenceString.m_GetUnicodeString();
    NTSTATUS ntStatus = IoRegisterDeviceInterface(pPhysicalDeviceObject, &m_InterfaceGuid, &usReference, &m_usLinkName);
    if (!NT_SUCCESS(ntStatus)) {
        RtlZeroMemory(&m_usLinkName, sizeof(m_usLinkName));
        PM_TRACE(PM_TRACE_DISPATCH_OUT, "PmUserModeInterface::m_Init OUT - IoRegisterDeviceInterface %08x", ntStatus);
        return FALSE;
    }
    IoSetDeviceInterfaceState(&m_usLinkName, TRUE);
    PM_TRACE(PM_TRACE_DISPATCH_OUT, "PmUserModeInterface::m_Init OUT (Success)");
    return TRUE;
}

BOOLEAN PmUserModeInterface::m_IsInterfaceName(PCUNICODE_STRING pFileName, PBOOLEAN pbSettingsHandle) {
    *pbSettingsHandle = FALSE;
    if (!pFileName || !pFileName->Buffer || pFileName->Length == 0)
        return TRUE;
    if (pFileName->Length / sizeof(WCHAR) > PM_SETTINGS_NAME_MAX)
        return TRUE;
    CPmString name(PagedPool);
    if (!NT_SUCCESS(name.m_AssignUnicodeString(pFileName)) || !NT_SUCCESS(name.m_MakeUpper()))
        return FALSE;
    const ULONG cchPrefix = sizeof(s_szSettingsName) / sizeof(WCHAR) - 1;
    if (name.m_GetLength() < cchPrefix)
        return TRUE;
    PCWSTR pszName = name.m_GetText();
    for (ULONG i = 0; i < cchPrefix; ++i)
        if (pszName[i] != s_szSettingsName[i])
            return TRUE;
    *pbSettingsHandle = TRUE;
    return TRUE;
}

BOOLEAN PmUserModeInterface::m_OpenSetKey(PHANDLE phKey, ULONG ulIndex) {
    *phKey = NULL;
    if (ulIndex > m_ulSectionCount || !m_pPhysicalDeviceObject) {
        PM_ASSERTION_LINE(s_szSourcePath);
        return FALSE;
    }
    CPmString keyName(PagedPool);
    if (!NT_SUCCESS(keyName.m_Assign(u"UI")) || !NT_SUCCESS(keyName.m_AppendInteger(ulIndex)))
        return FALSE;
    HANDLE hDevice = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(m_pPhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &hDevice)))
        return FALSE;
    BOOLEAN bOpened = CPmRegistry::m_OpenKey(hDevice, keyName.m_GetText(), phKey, KEY_ALL_ACCESS, TRUE);
    ZwClose(hDevice);
    return bOpened;
}

BOOLEAN PmUserModeInterface::m_TransferSetKey(ULONG ulIndex, BOOLEAN bSave) {
    HANDLE hKey;
    if (!m_OpenSetKey(&hKey, ulIndex))
        return FALSE;
    BOOLEAN bDone = bSave ? m_pSet->m_SaveToRegistry(hKey, PM_SECTION_CURRENT)
                          : m_pSet->m_LoadFromRegistry(hKey, PM_SECTION_CURRENT);
    ZwClose(hKey);
    return bDone;
}

BOOLEAN PmUserModeInterface::m_CallSettings(ULONG ulIndex, ULONG ulMode, PBOOLEAN pbFlag) {
    *pbFlag = FALSE;
    if (!m_pfnSettingsCallback)
        return TRUE;
    return m_pfnSettingsCallback(m_pvContext, m_pSet, ulIndex, ulMode, pbFlag);
}

NTSTATUS PmUserModeInterface::m_DeviceControl(PIRP pIrp) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    PM_TRACE(PM_TRACE_DISPATCH_IN, "PmUserModeInterface::m_DeviceControl IN - %08x", ulCode);
    ULONG ulInformation = 0;
    NTSTATUS ntStatus = m_Control(ulCode, static_cast<PUCHAR>(pIrp->AssociatedIrp.SystemBuffer),
                                  pStack->Parameters.DeviceIoControl.InputBufferLength,
                                  pStack->Parameters.DeviceIoControl.OutputBufferLength, pStack->FileObject,
                                  &ulInformation);
    pIrp->IoStatus.Status = ntStatus;
    pIrp->IoStatus.Information = NT_SUCCESS(ntStatus) ? ulInformation : 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    PM_TRACE(PM_TRACE_DISPATCH_OUT, "PmUserModeInterface::m_DeviceControl OUT - %08x", ntStatus);
    return ntStatus;
}

NTSTATUS PmUserModeInterface::m_Control(ULONG ulCode, PUCHAR pucBuffer, ULONG ulInputLength, ULONG ulOutputLength,
                                        PFILE_OBJECT pFileObject, PULONG pulInformation) {
    *pulInformation = 0;
    if (!m_pSet)
        return STATUS_UNSUCCESSFUL;
    if (ulInputLength < sizeof(PmUserModeRequestHeader) || !pucBuffer)
        return STATUS_INVALID_PARAMETER;
    PmUserModeRequestHeader header;
    RtlCopyMemory(&header, pucBuffer, sizeof(header));
    if (header.m_ulSelector != 0)
        return m_Forward(ulCode, pucBuffer, ulInputLength, ulOutputLength, pFileObject, pulInformation);
    ULONG ulIndex = header.m_ulSetIndex == PM_USER_MODE_DEFAULT_INDEX ? 1 : header.m_ulSetIndex;
    switch (ulCode) {
    case IOCTL_HVGENDRV_GET_SIZE:
    case IOCTL_HVGENDRV_GET:
    case IOCTL_HVGENDRV_SET:
    case IOCTL_HVGENDRV_RESTORE_DEFAULTS:
    case IOCTL_HVGENDRV_GET_DEFAULTS_SIZE:
    case IOCTL_HVGENDRV_GET_DEFAULTS:
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    m_Lock();
    NTSTATUS ntStatus;
    switch (ulCode) {
    case IOCTL_HVGENDRV_GET_SIZE:
        if (ulOutputLength != sizeof(ULONG)) {
            ntStatus = STATUS_INVALID_PARAMETER;
        } else {
            ULONG ulSize = m_pSet->m_GetSerialisedSize();
            RtlCopyMemory(pucBuffer, &ulSize, sizeof(ulSize));
            *pulInformation = sizeof(ULONG);
            ntStatus = STATUS_SUCCESS;
        }
        break;
    case IOCTL_HVGENDRV_GET:
        ntStatus = m_Get(ulIndex, pucBuffer, ulOutputLength, pulInformation);
        break;
    case IOCTL_HVGENDRV_SET:
        ntStatus = m_Replace(ulIndex, pucBuffer + sizeof(header), ulInputLength - sizeof(header), FALSE);
        break;
    case IOCTL_HVGENDRV_RESTORE_DEFAULTS:
        ntStatus = m_Replace(ulIndex, NULL, 0, TRUE);
        break;
    case IOCTL_HVGENDRV_GET_DEFAULTS_SIZE:
        ntStatus = m_GetDefaults(ulIndex, TRUE, pucBuffer, ulOutputLength, pulInformation);
        break;
    default:
        ntStatus = m_GetDefaults(ulIndex, FALSE, pucBuffer, ulOutputLength, pulInformation);
        break;
    }
    m_Unlock();
    if (!NT_SUCCESS(ntStatus))
        *pulInformation = 0;
    return ntStatus;
}

NTSTATUS PmUserModeInterface::m_Forward(ULONG ulCode, PUCHAR pucBuffer, ULONG ulInputLength, ULONG ulOutputLength,
                                        PFILE_OBJECT pFileObject, PULONG pulInformation) {
    if (!m_pfnForwardCallback)
        return STATUS_UNSUCCESSFUL;
    PmUserModeRequestHeader* pHeader = reinterpret_cast<PmUserModeRequestHeader*>(pucBuffer);
    pHeader->m_ulSelector -= 1;
    // The parent keeps one set per child: the default index there is this device's own.
    if (pHeader->m_ulSetIndex == PM_USER_MODE_DEFAULT_INDEX && m_lCurrentIndex != -1)
        pHeader->m_ulSetIndex = (ULONG)m_lCurrentIndex;
    ULONG ulReturned = ulOutputLength;
    if (!m_pfnForwardCallback(m_pvContext, ulCode, pucBuffer, ulInputLength, &ulReturned, pFileObject))
        return STATUS_UNSUCCESSFUL;
    *pulInformation = ulReturned <= ulOutputLength ? ulReturned : ulOutputLength;
    return STATUS_SUCCESS;
}

NTSTATUS PmUserModeInterface::m_Get(ULONG ulIndex, PUCHAR pucOutput, ULONG ulOutputLength, PULONG pulInformation) {
    if (m_pSet->m_GetSerialisedSize() != ulOutputLength)
        return STATUS_INVALID_PARAMETER;
    if (!m_TransferSetKey(ulIndex, FALSE))
        return STATUS_UNSUCCESSFUL;
    // The stored values may take another size than the set held before (a longer text): the
    // caller then asks for the size again rather than getting a half-written buffer.
    if (m_pSet->m_GetSerialisedSize() != ulOutputLength)
        return STATUS_INVALID_PARAMETER;
    ULONG ulRoom = ulOutputLength;
    if (!m_pSet->m_Serialise(pucOutput, &ulRoom) || ulRoom != 0)
        return STATUS_UNSUCCESSFUL;
    *pulInformation = ulOutputLength;
    return STATUS_SUCCESS;
}

NTSTATUS PmUserModeInterface::m_Replace(ULONG ulIndex, const UCHAR* pucPayload, ULONG ulPayloadLength,
                                        BOOLEAN bDefaults) {
    HANDLE hKey;
    if (!m_OpenSetKey(&hKey, ulIndex))
        return STATUS_UNSUCCESSFUL;
    CPmSettingsSnapshot previous;
    if (!m_TakeStoredValues(hKey, previous)) {
        ZwClose(hKey);
        return STATUS_UNSUCCESSFUL;
    }
    // A short or malformed stream changes nothing. A missing Default subkey is created empty, so
    // that every item takes its built-in default.
    ULONG ulLength = ulPayloadLength;
    if (bDefaults ? !m_pSet->m_LoadFromRegistry(hKey, PM_SECTION_DEFAULT)
                  : !m_pSet->m_Deserialise(pucPayload, &ulLength)) {
        previous.m_Restore(*m_pSet);
        ZwClose(hKey);
        return bDefaults ? STATUS_UNSUCCESSFUL : STATUS_INVALID_PARAMETER;
    }
    // What is stored must load again as every later start and open loads it (ranges, checks,
    // validity); a value that would not is refused here instead of failing all of them.
    BOOLEAN bSaved = m_pSet->m_SaveToRegistry(hKey, PM_SECTION_CURRENT);
    if (!bSaved || !m_pSet->m_LoadFromRegistry(hKey, PM_SECTION_CURRENT)) {
        previous.m_Restore(*m_pSet);
        m_pSet->m_SaveToRegistry(hKey, PM_SECTION_CURRENT);
        ZwClose(hKey);
        return bSaved && !bDefaults ? STATUS_INVALID_PARAMETER : STATUS_UNSUCCESSFUL;
    }
    ZwClose(hKey);
    return m_Apply(ulIndex, previous);
}

BOOLEAN PmUserModeInterface::m_TakeStoredValues(HANDLE hKey, CPmSettingsSnapshot& snapshot) {
    // The set in memory may hold another index's values. A set key that no longer loads (the
    // request may be what repairs it) is taken as far as it goes.
    m_pSet->m_LoadFromRegistry(hKey, PM_SECTION_CURRENT);
    return snapshot.m_Take(*m_pSet);
}

NTSTATUS PmUserModeInterface::m_Apply(ULONG ulIndex, CPmSettingsSnapshot& previous) {
    BOOLEAN bChanged = FALSE;
    if (!m_CallSettings(ulIndex, PM_SETTINGS_APPLY, &bChanged)) {
        // The device refused the set: the stored values go back to what they were, so that the
        // next start or open does not meet the refused values again, and the device gets them.
        previous.m_Restore(*m_pSet);
        m_TransferSetKey(ulIndex, TRUE);
        if (m_CallSettings(ulIndex, PM_SETTINGS_APPLY, &bChanged) && bChanged)
            m_TransferSetKey(ulIndex, TRUE);
        return STATUS_UNSUCCESSFUL;
    }
    if (bChanged && !m_TransferSetKey(ulIndex, TRUE))
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

NTSTATUS PmUserModeInterface::m_GetDefaults(ULONG ulIndex, BOOLEAN bSizeOnly, PUCHAR pucOutput, ULONG ulOutputLength,
                                            PULONG pulInformation) {
    if (bSizeOnly && ulOutputLength != sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    HANDLE hKey;
    if (!m_OpenSetKey(&hKey, ulIndex))
        return STATUS_UNSUCCESSFUL;
    NTSTATUS ntStatus = STATUS_SUCCESS;
    ULONG ulSize = 0;
    if (!m_pSet->m_LoadFromRegistry(hKey, PM_SECTION_DEFAULT)) {
        ntStatus = STATUS_UNSUCCESSFUL;
    } else {
        ulSize = m_pSet->m_GetSerialisedSize();
        if (!bSizeOnly) {
            ULONG ulRoom = ulOutputLength;
            if (ulSize != ulOutputLength)
                ntStatus = STATUS_INVALID_PARAMETER;
            else if (!m_pSet->m_Serialise(pucOutput, &ulRoom) || ulRoom != 0)
                ntStatus = STATUS_UNSUCCESSFUL;
        }
    }
    // The set in memory holds the current values again, whatever happened above.
    if (!m_pSet->m_LoadFromRegistry(hKey, PM_SECTION_CURRENT) && NT_SUCCESS(ntStatus))
        ntStatus = STATUS_UNSUCCESSFUL;
    ZwClose(hKey);
    if (!NT_SUCCESS(ntStatus))
        return ntStatus;
    if (bSizeOnly) {
        RtlCopyMemory(pucOutput, &ulSize, sizeof(ulSize));
        *pulInformation = sizeof(ULONG);
    } else {
        *pulInformation = ulSize;
    }
    return STATUS_SUCCESS;
}

BOOLEAN PmUserModeInterface::m_LoadAndApplySet(ULONG ulIndex) {
    HANDLE hKey;
    if (!m_OpenSetKey(&hKey, ulIndex))
        return FALSE;
    if (!m_pSet->m_LoadFromRegistry(hKey, PM_SECTION_CURRENT)) {
        ZwClose(hKey);
        return FALSE;
    }
    BOOLEAN bCreatedDefaults = FALSE;
    HANDLE hDefault;
    if (CPmRegistry::m_OpenKey(hKey, s_szDefaultKey, &hDefault, KEY_READ, FALSE)) {
        ZwClose(hDefault);
    } else {
        BOOLEAN bKeep = FALSE;
        if (!m_CallSettings(ulIndex, PM_SETTINGS_ADJUST_DEFAULTS, &bKeep) ||
            (!bKeep && !m_pSet->m_LoadFromRegistry(hKey, PM_SECTION_CURRENT)) ||
            !m_pSet->m_SaveToRegistry(hKey, PM_SECTION_DEFAULT)) {
            ZwClose(hKey);
            return FALSE;
        }
        bCreatedDefaults = TRUE;
    }
    ZwClose(hKey);
    BOOLEAN bChanged = FALSE;
    if (!m_CallSettings(ulIndex, PM_SETTINGS_APPLY, &bChanged))
        return FALSE;
    if ((bChanged || bCreatedDefaults) && !m_TransferSetKey(ulIndex, TRUE))
        return FALSE;
    return TRUE;
}

BOOLEAN PmUserModeInterface::m_LoadAndApplySets() {
    PM_TRACE(PM_TRACE_DISPATCH_IN, "PmUserModeInterface::m_LoadAndApplySets IN");
    if (!m_pSet)
        return TRUE;
    m_Lock();
    BOOLEAN bDone = TRUE;
    for (ULONG ulIndex = 1; bDone && ulIndex <= m_ulSectionCount; ++ulIndex)
        bDone = m_LoadAndApplySet(ulIndex);
    m_Unlock();
    PM_TRACE(PM_TRACE_DISPATCH_OUT, bDone ? "PmUserModeInterface::m_LoadAndApplySets OUT (Success)"
                      : "PmUserModeInterface::m_LoadAndApplySets OUT - failed");
    return bDone;
}
