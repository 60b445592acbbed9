// Device installation API: device information sets over the device tree, device properties and
// keys, device interfaces, class installers and co-installers, and the INF store.
#pragma once

#include <windows.h>

HV_EXTERN_C_BEGIN

typedef PVOID HDEVINFO;
typedef UINT DI_FUNCTION;
#ifndef HV_REGSAM_DEFINED
#define HV_REGSAM_DEFINED
typedef ACCESS_MASK REGSAM;
#endif

#define LINE_LEN 256
#define MAX_DEVICE_ID_LEN 200
#define MAX_CLASS_NAME_LEN 32

// ---- Errors of device installation -----------------------------------------------------------
#define APPLICATION_ERROR_MASK 0x20000000L
#define ERROR_SEVERITY_ERROR 0xC0000000L
#define ERROR_EXPECTED_SECTION_NAME ((DWORD)0xE0000000L)
#define ERROR_BAD_SECTION_NAME_LINE ((DWORD)0xE0000001L)
#define ERROR_GENERAL_SYNTAX ((DWORD)0xE0000003L)
#define ERROR_WRONG_INF_STYLE ((DWORD)0xE0000100L)
#define ERROR_SECTION_NOT_FOUND ((DWORD)0xE0000101L)
#define ERROR_LINE_NOT_FOUND ((DWORD)0xE0000102L)
#define ERROR_NO_ASSOCIATED_CLASS ((DWORD)0xE0000200L)
#define ERROR_CLASS_MISMATCH ((DWORD)0xE0000201L)
#define ERROR_INVALID_CLASS ((DWORD)0xE0000206L)
#define ERROR_NO_SUCH_DEVINST ((DWORD)0xE000020BL)
#define ERROR_INVALID_REG_PROPERTY ((DWORD)0xE0000209L)
#define ERROR_NO_INF ((DWORD)0xE000020AL)
#define ERROR_NO_DEVICE_SELECTED ((DWORD)0xE0000211L)
#define ERROR_NO_CLASSINSTALL_PARAMS ((DWORD)0xE0000215L)
#define ERROR_KEY_DOES_NOT_EXIST ((DWORD)0xE0000204L)
#define ERROR_INVALID_DEVINST_NAME ((DWORD)0xE0000205L)
#define ERROR_DEVINST_ALREADY_EXISTS ((DWORD)0xE0000207L)
#define ERROR_INVALID_HWPROFILE ((DWORD)0xE0000210L)
#define ERROR_DEVINFO_NOT_REGISTERED ((DWORD)0xE0000208L)
#define ERROR_NO_DRIVER_SELECTED ((DWORD)0xE0000203L)
#define ERROR_DI_DO_DEFAULT ((DWORD)0xE000020EL)
#define ERROR_INVALID_CLASS_INSTALLER ((DWORD)0xE000020DL)
#define ERROR_DI_NOFILECOPY ((DWORD)0xE000020FL)
#define ERROR_NO_SUCH_DEVICE_INTERFACE ((DWORD)0xE0000225L)
#define ERROR_DI_POSTPROCESSING_REQUIRED ((DWORD)0xE0000226L)
#define ERROR_INVALID_COINSTALLER ((DWORD)0xE0000227L)
#define ERROR_DI_DONT_INSTALL ((DWORD)0xE000022BL)
#define ERROR_INVALID_FILTER_DRIVER ((DWORD)0xE000022CL)
#define ERROR_NOT_DISABLEABLE ((DWORD)0xE0000231L)
#define ERROR_CANT_REMOVE_DEVINST ((DWORD)0xE0000232L)
#define ERROR_INF_IN_USE_BY_DEVICES ((DWORD)0xE000023DL)

// ---- Device information sets ------------------------------------------------------------------
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define DIOD_INHERIT_CLASSDRVS 0x00000002
#define DIOD_CANCEL_REMOVE 0x00000004

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA is 32 bytes on x64");

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "SP_DEVICE_INTERFACE_DATA is 32 bytes on x64");

#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize; // sizeof the fixed part: 8
    WCHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize; // sizeof the fixed part: 8
    CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

HV_API HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags);
HV_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
HV_API HDEVINFO WINAPI SetupDiGetClassDevsExW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags,
                                             HDEVINFO DeviceInfoSet, PCWSTR MachineName, PVOID Reserved);
HV_API HDEVINFO WINAPI SetupDiGetClassDevsExA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags,
                                             HDEVINFO DeviceInfoSet, PCSTR MachineName, PVOID Reserved);
HV_API HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent);
HV_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
HV_API BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent,
                                          DWORD OpenFlags, PSP_DEVINFO_DATA DeviceInfoData);
HV_API BOOL WINAPI SetupDiOpenDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceInstanceId, HWND hwndParent,
                                          DWORD OpenFlags, PSP_DEVINFO_DATA DeviceInfoData);
HV_API BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
HV_API BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
HV_API BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize);
HV_API BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize);

// ---- Device registry properties -----------------------------------------------------------------
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_CONFIGFLAGS 0x0000000A
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_LOCATION_INFORMATION 0x0000000D
#define SPDRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0000000E
#define SPDRP_CAPABILITIES 0x0000000F
#define SPDRP_UPPERFILTERS 0x00000011
#define SPDRP_LOWERFILTERS 0x00000012
#define SPDRP_ENUMERATOR_NAME 0x00000016
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

HV_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                     DWORD PropertyBufferSize, PDWORD RequiredSize);
HV_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                     DWORD PropertyBufferSize, PDWORD RequiredSize);
HV_API BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     DWORD Property, const BYTE* PropertyBuffer, DWORD PropertyBufferSize);
HV_API BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     DWORD Property, const BYTE* PropertyBuffer, DWORD PropertyBufferSize);

// ---- Device and class keys ----------------------------------------------------------------------
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DICS_FLAG_CONFIGGENERAL 0x00000004
#define DIREG_DEV 0x00000001
#define DIREG_DRV 0x00000002
#define DIREG_BOTH 0x00000004

HV_API HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                        DWORD HwProfile, DWORD KeyType, REGSAM samDesired);
HV_API HKEY WINAPI SetupDiCreateDevRegKeyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                           DWORD HwProfile, DWORD KeyType, PVOID InfHandle, PCWSTR InfSectionName);
HV_API HKEY WINAPI SetupDiOpenClassRegKey(const GUID* ClassGuid, REGSAM samDesired);

// ---- Device interfaces --------------------------------------------------------------------------
HV_API BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                               PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
HV_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                                    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                    PSP_DEVINFO_DATA DeviceInfoData);
HV_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                    PSP_DEVINFO_DATA DeviceInfoData);

// ---- Install parameters, class installers and co-installers ------------------------------------
#define DIF_SELECTDEVICE 0x00000001
#define DIF_INSTALLDEVICE 0x00000002
#define DIF_REMOVE 0x00000005
#define DIF_SELECTBESTCOMPATDRV 0x00000017
#define DIF_REGISTER_COINSTALLERS 0x00000022
#define DIF_INSTALLDEVICEFILES 0x00000009
#define DIF_PROPERTYCHANGE 0x00000012
#define DIF_INSTALLINTERFACES 0x00000020
#define DIF_NEWDEVICEWIZARD_FINISHINSTALL 0x0000001E
#define DIF_UPDATEDRIVER_UI 0x00000029
#define DIF_ADDPROPERTYPAGE_ADVANCED 0x00000023

#define DICS_ENABLE 0x00000001
#define DICS_DISABLE 0x00000002
#define DICS_PROPCHANGE 0x00000003
#define DICS_START 0x00000004
#define DICS_STOP 0x00000005

#define DI_REMOVEDEVICE_GLOBAL 0x00000001
#define DI_REMOVEDEVICE_CONFIGSPECIFIC 0x00000002

#define DI_NEEDRESTART 0x00000080
#define DI_NEEDREBOOT 0x00000100
#define DI_NOFILECOPY 0x01000000
#define DI_DONOTCALLCONFIGMG 0x00020000
#define DI_PROPERTIES_CHANGE 0x00004000
#define DI_CLASSINSTALLPARAMS 0x00100000
#define DI_NODI_DEFAULTACTION 0x00200000

typedef struct _SP_CLASSINSTALL_HEADER {
    DWORD cbSize;
    DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

typedef struct _SP_PROPCHANGE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD StateChange;
    DWORD Scope;
    DWORD HwProfile;
} SP_PROPCHANGE_PARAMS, *PSP_PROPCHANGE_PARAMS;

typedef struct _SP_REMOVEDEVICE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD Scope;
    DWORD HwProfile;
} SP_REMOVEDEVICE_PARAMS, *PSP_REMOVEDEVICE_PARAMS;

typedef struct _SP_DEVINSTALL_PARAMS_W {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PVOID InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    PVOID FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    WCHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_W, *PSP_DEVINSTALL_PARAMS_W;
static_assert(sizeof(SP_DEVINSTALL_PARAMS_W) == 584, "SP_DEVINSTALL_PARAMS_W is 584 bytes on x64");

typedef struct _SP_DEVINSTALL_PARAMS_A {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PVOID InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    PVOID FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    CHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_A, *PSP_DEVINSTALL_PARAMS_A;
static_assert(sizeof(SP_DEVINSTALL_PARAMS_A) == 320, "SP_DEVINSTALL_PARAMS_A is 320 bytes on x64");

typedef struct _COINSTALLER_CONTEXT_DATA {
    BOOL PostProcessing;
    DWORD InstallResult;
    PVOID PrivateData;
} COINSTALLER_CONTEXT_DATA, *PCOINSTALLER_CONTEXT_DATA;

// A co-installer's entry point; a class installer has the first three arguments only.
typedef DWORD(CALLBACK* PCOINSTALLER_ROUTINE)(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, PCOINSTALLER_CONTEXT_DATA Context);
typedef DWORD(CALLBACK* PCLASS_INSTALLER_ROUTINE)(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                                  PSP_DEVINFO_DATA DeviceInfoData);

HV_API BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                 PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize);
HV_API BOOL WINAPI SetupDiGetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                 PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize,
                                                 PDWORD RequiredSize);
HV_API BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  PSP_DEVINSTALL_PARAMS_W DeviceInstallParams);
HV_API BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  PSP_DEVINSTALL_PARAMS_A DeviceInstallParams);
HV_API BOOL WINAPI SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  PSP_DEVINSTALL_PARAMS_W DeviceInstallParams);
HV_API BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                             PSP_DEVINFO_DATA DeviceInfoData);
// The default actions that a class installer may call for itself.
HV_API BOOL WINAPI SetupDiInstallDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
HV_API BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
HV_API BOOL WINAPI SetupDiChangeState(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);

// ---- The INF store ------------------------------------------------------------------------------
#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2

#define SP_COPY_DELETESOURCE 0x0000001
#define SP_COPY_REPLACEONLY 0x0000002
#define SP_COPY_NOOVERWRITE 0x0000008
#define SP_COPY_OEMINF_CATALOG_ONLY 0x0040000

#define SUOI_FORCEDELETE 0x00000001

HV_API BOOL WINAPI SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                                    DWORD CopyStyle, PWSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                                    PDWORD RequiredSize, PWSTR* DestinationInfFileNameComponent);
HV_API BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                                    DWORD CopyStyle, PSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                                    PDWORD RequiredSize, PSTR* DestinationInfFileNameComponent);
HV_API BOOL WINAPI SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved);
HV_API BOOL WINAPI SetupUninstallOEMInfA(PCSTR InfFileName, DWORD Flags, PVOID Reserved);

#define SetupDiGetClassDevs SetupDiGetClassDevsW
#define SetupDiGetClassDevsEx SetupDiGetClassDevsExW
#define SetupDiOpenDeviceInfo SetupDiOpenDeviceInfoW
#define SetupDiGetDeviceRegistryProperty SetupDiGetDeviceRegistryPropertyW
#define SetupDiSetDeviceRegistryProperty SetupDiSetDeviceRegistryPropertyW
#define SetupDiGetDeviceInstanceId SetupDiGetDeviceInstanceIdW
#define SetupDiGetDeviceInterfaceDetail SetupDiGetDeviceInterfaceDetailW
#define SetupDiCreateDevRegKey SetupDiCreateDevRegKeyW
#define SetupDiSetClassInstallParams SetupDiSetClassInstallParamsW
#define SetupDiGetClassInstallParams SetupDiGetClassInstallParamsW
#define SetupDiGetDeviceInstallParams SetupDiGetDeviceInstallParamsW
#define SetupDiSetDeviceInstallParams SetupDiSetDeviceInstallParamsW
#define SetupCopyOEMInf SetupCopyOEMInfW
#define SetupUninstallOEMInf SetupUninstallOEMInfW
typedef SP_DEVINSTALL_PARAMS_W SP_DEVINSTALL_PARAMS;
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_W SP_DEVICE_INTERFACE_DETAIL_DATA;
typedef PSP_DEVICE_INTERFACE_DETAIL_DATA_W PSP_DEVICE_INTERFACE_DETAIL_DATA;

HV_EXTERN_C_END
