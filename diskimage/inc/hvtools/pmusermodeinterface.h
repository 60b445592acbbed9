// The drivers' settings interface: a device interface whose six control codes read, write and
// restore a driver's settings set as the serialised stream. The protocol part lives in
// pmusermodeprotocol.h, which user-mode clients include alone; the driver's side follows it for
// kernel-mode code.
#pragma once

#include <pmusermodeprotocol.h>

#if __has_include(<wdm.h>)

#include <pmdeviceproperty.h>
#include <pminformationset.h>
#include <pmstring.h>

// Modes of the settings callback.
#define PM_SETTINGS_APPLY 0           // apply the set to the device
#define PM_SETTINGS_ADJUST_DEFAULTS 1 // no defaults stored yet: fit the set to the device first

// (context, set, index, mode, out flag) → success. Mode 0: flag 1 means the driver changed the set
// and it must be saved again. Mode 1: flag 1 means the set holds the values to keep as defaults.
typedef BOOLEAN PM_SETTINGS_CALLBACK(PVOID pvContext, CPmInformationSet* pSet, ULONG ulIndex, ULONG ulMode,
                                     PBOOLEAN pbFlag);
// Hands a request (same code, buffer and lengths, the caller's file object) to the parent device;
// *pulOutputLength is the output room on entry and the bytes returned on success.
typedef BOOLEAN PM_FORWARD_CALLBACK(PVOID pvContext, ULONG ulControlCode, PVOID pvBuffer, ULONG ulInputLength,
                                    PULONG pulOutputLength, PFILE_OBJECT pFileObject);

class CPmSettingsSnapshot;

// One per functional device. Every load, save and apply of the set runs under the interface's
// mutex, so requests and opens on one device never see each other's half-done work.
class PmUserModeInterface : public CPmObject {
public:
    CPmDeviceProperty m_DeviceProperty;
    UNICODE_STRING m_usLinkName; // from the system at registration; empty before
    CPmString m_ReferenceString;
    CPmInformationSet* m_pSet; // owned; NULL when the driver declares no settings
    GUID m_InterfaceGuid;
    LONG m_lCurrentIndex; // -1: none
    ULONG m_ulSectionCount;
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    PVOID m_pvContext;
    PM_SETTINGS_CALLBACK* m_pfnSettingsCallback;
    PM_FORWARD_CALLBACK* m_pfnForwardCallback;
    KMUTEX m_Mutex;

    PmUserModeInterface();
    ~PmUserModeInterface() override;

    PmUserModeInterface(const PmUserModeInterface&) = delete;
    PmUserModeInterface& operator=(const PmUserModeInterface&) = delete;

    // For the driver's settings factory: the set (the interface owns it from now on) and the GUID
    // of the interface to register.
    void m_SetSettings(CPmInformationSet* pSet, const GUID& interfaceGuid);
    CPmInformationSet* m_GetSettings() const { return m_pSet; }
    // For the functional device.
    void m_SetSectionCount(ULONG ulSections) { m_ulSectionCount = ulSections ? ulSections : 1; }
    void m_SetCurrentIndex(ULONG ulIndex) { m_lCurrentIndex = (LONG)ulIndex; }
    void m_SetCallbacks(PVOID pvContext, PM_SETTINGS_CALLBACK* pfnSettings, PM_FORWARD_CALLBACK* pfnForward);

    // Registers and enables the interface on the PDO; TRUE without registering when there is no set.
    BOOLEAN m_Init(PDEVICE_OBJECT pPhysicalDeviceObject);
    // Whether a create's file name opens a settings handle; FALSE only when the name cannot be
    // examined (no memory), which refuses the request.
    BOOLEAN m_IsInterfaceName(PCUNICODE_STRING pFileName, PBOOLEAN pbSettingsHandle);
    // Serves and completes a device-control request on a settings handle.
    NTSTATUS m_DeviceControl(PIRP pIrp);
    // At start and at every open: loads each set index, stores the defaults the first time, applies.
    BOOLEAN m_LoadAndApplySets();
    // The set key "UI" + index under the device's hardware key, created when missing.
    BOOLEAN m_OpenSetKey(PHANDLE phKey, ULONG ulIndex);

private:
    NTSTATUS m_Control(ULONG ulCode, PUCHAR pucBuffer, ULONG ulInputLength, ULONG ulOutputLength,
                       PFILE_OBJECT pFileObject, PULONG pulInformation);
    NTSTATUS m_Forward(ULONG ulCode, PUCHAR pucBuffer, ULONG ulInputLength, ULONG ulOutputLength,
                       PFILE_OBJECT pFileObject, PULONG pulInformation);
    NTSTATUS m_Get(ULONG ulIndex, PUCHAR pucOutput, ULONG ulOutputLength, PULONG pulInformation);
    // SET (the payload) and RESTORE_DEFAULTS (the Default subkey): stores the new values and
    // applies them, or leaves the stored ones.
    NTSTATUS m_Replace(ULONG ulIndex, const UCHAR* pucPayload, ULONG ulPayloadLength, BOOLEAN bDefaults);
    NTSTATUS m_GetDefaults(ULONG ulIndex, BOOLEAN bSizeOnly, PUCHAR pucOutput, ULONG ulOutputLength,
                           PULONG pulInformation);
    NTSTATUS m_Apply(ULONG ulIndex, CPmSettingsSnapshot& previous);
    BOOLEAN m_TakeStoredValues(HANDLE hKey, CPmSettingsSnapshot& snapshot);
    BOOLEAN m_LoadAndApplySet(ULONG ulIndex);
    BOOLEAN m_CallSettings(ULONG ulIndex, ULONG ulMode, PBOOLEAN pbFlag);
    // Saves the set into, or loads it from, the set key of the index.
    BOOLEAN m_TransferSetKey(ULONG ulIndex, BOOLEAN bSave);
    void m_Lock();
    void m_Unlock();
};

#endif
