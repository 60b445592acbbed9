// The driver object wrapper: the one owner of a framework driver's driver object, its AddDevice,
// unload and IRP dispatch routines; the description each driver fills in at DriverEntry.
#pragma once

#include <wdm.h>

#include <pmmemorypool.h>
#include <pmspinlock.h>
#include <pmstring.h>

class CPmDevice;
class CPmDriver;
class CPmFunctionalDevice;
class PmUserModeInterface;

// Base of each driver's own per-device object. The framework keeps the driver's device-name
// counter in it.
class CPmDriverClass : public CPmObject {
public:
    ULONG m_ulDeviceCount;

    CPmDriverClass() : m_ulDeviceCount(0) {}
};

// Callbacks a driver may install in its functional device at construction.
typedef BOOLEAN PM_ADD_DEVICE_FUNCTION(CPmDriverClass* pObject, CPmDriver* pDriver, CPmFunctionalDevice* pDevice);
typedef PM_ADD_DEVICE_FUNCTION* PPM_ADD_DEVICE_FUNCTION;
typedef BOOLEAN PM_DEVICE_CREATION(CPmDriverClass* pObject, HANDLE hDeviceKey, CPmString* pDeviceName,
                                   CPmString* pSymbolicLinkName);
typedef PM_DEVICE_CREATION* PPM_DEVICE_CREATION;

// The fields of the description, in their order.
typedef BOOLEAN PM_DRIVER_CLASS_FACTORY(PPM_ADD_DEVICE_FUNCTION* ppfnAddDeviceFunction,
                                        PPM_DEVICE_CREATION* ppfnDeviceCreation, CPmDriverClass** ppObject);
typedef PM_DRIVER_CLASS_FACTORY* PPM_DRIVER_CLASS_FACTORY;
typedef VOID PM_DRIVER_CLASS_DESTROY(CPmDriverClass* pObject);
typedef PM_DRIVER_CLASS_DESTROY* PPM_DRIVER_CLASS_DESTROY;
typedef VOID PM_UNLOAD_CLEANUP(void);
typedef PM_UNLOAD_CLEANUP* PPM_UNLOAD_CLEANUP;
typedef BOOLEAN PM_SETTINGS_FACTORY(PmUserModeInterface* pInterface);
typedef PM_SETTINGS_FACTORY* PPM_SETTINGS_FACTORY;
typedef VOID PM_REMOVE_HOOK(void);
typedef PM_REMOVE_HOOK* PPM_REMOVE_HOOK;

struct PmDriverDescription {
    PDRIVER_OBJECT m_pDriverObject;
    PCUNICODE_STRING m_pRegistryPath;
    PCWSTR m_pszDriverName;
    PCWSTR m_pszFileName;
    PPM_DRIVER_CLASS_FACTORY m_pfnCreateDriverClass;
    PPM_DRIVER_CLASS_DESTROY m_pfnDestroyDriverClass;
    PPM_UNLOAD_CLEANUP m_pfnUnloadCleanup;
    PPM_SETTINGS_FACTORY m_pfnCreateSettings;
    PPM_REMOVE_HOOK m_pfnRemoveHook;
};

static_assert(sizeof(PmDriverDescription) == 9 * sizeof(PVOID), "driver description layout");

class CPmDriver : public CPmObject {
public:
    CPmString m_RegistryPath;
    // Device objects of this driver's functional devices.
    CPmPointerList m_DeviceList;
    // Guards the device list and every device's redirect link.
    CPmSpinLock m_SpinLock;
    CPmString m_DriverName;
    CPmString m_FileName;
    PPM_DRIVER_CLASS_FACTORY m_pfnCreateDriverClass;
    PPM_DRIVER_CLASS_DESTROY m_pfnDestroyDriverClass;
    PPM_UNLOAD_CLEANUP m_pfnUnloadCleanup;
    PPM_SETTINGS_FACTORY m_pfnCreateSettings;
    PPM_REMOVE_HOOK m_pfnRemoveHook;
    LARGE_INTEGER m_liHalfSecond;
    KEVENT m_kUnloadEvent;

    CPmDriver();
    ~CPmDriver() override;
    CPmDriver(const CPmDriver&) = delete;
    CPmDriver& operator=(const CPmDriver&) = delete;

    NTSTATUS m_DriverEntry(const PmDriverDescription* pDescription);

    static CPmDriver* sm_FromDriverObject(PDRIVER_OBJECT pDriverObject) {
        return pDriverObject ? reinterpret_cast<CPmDriver*>(pDriverObject->DriverStartIo) : NULL;
    }

    BOOLEAN m_AddToDeviceList(PDEVICE_OBJECT pDeviceObject);
    void m_RemoveFromDeviceList(PDEVICE_OBJECT pDeviceObject);

    static DRIVER_ADD_DEVICE m_AddDevice;
    static DRIVER_UNLOAD m_Unload;
    static DRIVER_DISPATCH m_Dispatch_Create;
    static DRIVER_DISPATCH m_Dispatch_Close;
    static DRIVER_DISPATCH m_Dispatch_Read;
    static DRIVER_DISPATCH m_Dispatch_Write;
    static DRIVER_DISPATCH m_Dispatch_QueryInformation;
    static DRIVER_DISPATCH m_Dispatch_SetInformation;
    static DRIVER_DISPATCH m_Dispatch_FlushBuffers;
    static DRIVER_DISPATCH m_Dispatch_Device_Control;
    static DRIVER_DISPATCH m_Dispatch_InternalDeviceControl;
    static DRIVER_DISPATCH m_Dispatch_Shutdown;
    static DRIVER_DISPATCH m_Dispatch_Cleanup;
    static DRIVER_DISPATCH m_Dispatch_Power;
    static DRIVER_DISPATCH m_Dispatch_SystemControl;
    static DRIVER_DISPATCH m_Dispatch_Pnp;

private:
    // Finds the framework device behind the device object and takes its extension lock (or the
    // lock of the device it redirects to). A failure has completed the IRP.
    static NTSTATUS m_LookupDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, UCHAR ucMajorFunction, BOOLEAN bRedirect,
                                   CPmDevice** ppDevice);
    static NTSTATUS m_Dispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, UCHAR ucMajorFunction, BOOLEAN bRedirect,
                               PCSTR pszName);
    static NTSTATUS m_CallDevice(CPmDevice* pDevice, UCHAR ucMajorFunction, PIRP pIrp);
    static void m_ReleaseDevice(CPmDevice* pDevice);
};

// Live wrappers of this driver.
extern LONG g_lPmLiveDrivers;

// The DriverEntry every framework driver runs: pool, debug manager, tracing and the wrapper.
// The driver fills the description's fields from the driver name on; the first two are filled here.
NTSTATUS PmDriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath, PmDriverDescription* pDescription);

// What a driver's unload-cleanup field usually does: frees the debug manager and gives up the
// driver's hold on the global pool.
void PmDriverUnloadCleanup();
