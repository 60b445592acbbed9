// The one accessor of a device's registry data for the user-mode parts: its registry properties,
// the string values of its hardware key and (8-bit build) a value of its driver key.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <hv_wchar.h>

#include <string>

// Wide build: the property-page and co-installer library.
class CHVDeviceRegInfo {
public:
    CHVDeviceRegInfo(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData);
    virtual ~CHVDeviceRegInfo() = default;

    BOOL m_GetRegistryProperty(DWORD property, std::u16string& out) const;
    BOOL m_SetRegistryProperty(DWORD property, const std::u16string& text);
    BOOL m_GetClassName(std::u16string& out) const { return m_GetRegistryProperty(SPDRP_CLASS, out); }
    BOOL m_GetDriverKey(std::u16string& out) const { return m_GetRegistryProperty(SPDRP_DRIVER, out); }
    BOOL m_GetFriendlyName(std::u16string& out) const { return m_GetRegistryProperty(SPDRP_FRIENDLYNAME, out); }
    BOOL m_SetFriendlyName(const std::u16string& text) { return m_SetRegistryProperty(SPDRP_FRIENDLYNAME, text); }
    BOOL m_GetDeviceValue(const WCHAR* name, std::u16string& out) const;
    BOOL m_SetDeviceValue(const WCHAR* name, const std::u16string& text);

    HDEVINFO m_DeviceInfoSet() const { return m_hDevInfo; }
    SP_DEVINFO_DATA m_DeviceInfoData() const { return m_DevInfoData; }

protected:
    SP_DEVINFO_DATA m_DevInfoData;
    HDEVINFO m_hDevInfo; // borrowed
};

// 8-bit build: the setup program and the uninstaller.
class CHVDeviceRegInfoA {
public:
    CHVDeviceRegInfoA(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData);
    virtual ~CHVDeviceRegInfoA() = default;

    BOOL m_SetDevice(HDEVINFO deviceInfoSet, const SP_DEVINFO_DATA& deviceInfoData);
    BOOL m_GetRegistryProperty(DWORD property, std::string& out) const;
    BOOL m_SetRegistryProperty(DWORD property, const std::string& text);
    BOOL m_GetClassName(std::string& out) const { return m_GetRegistryProperty(SPDRP_CLASS, out); }
    BOOL m_GetDriverKey(std::string& out) const { return m_GetRegistryProperty(SPDRP_DRIVER, out); }
    BOOL m_GetFriendlyName(std::string& out) const { return m_GetRegistryProperty(SPDRP_FRIENDLYNAME, out); }
    BOOL m_SetFriendlyName(const std::string& text) { return m_SetRegistryProperty(SPDRP_FRIENDLYNAME, text); }
    BOOL m_GetHardwareId(std::string& out) const { return m_GetRegistryProperty(SPDRP_HARDWAREID, out); }
    BOOL m_GetServiceName(std::string& out) const { return m_GetRegistryProperty(SPDRP_SERVICE, out); }
    BOOL m_GetDeviceValue(const CHAR* name, std::string& out) const;
    BOOL m_SetDeviceValue(const CHAR* name, const std::string& text);
    BOOL m_GetClassKeyValue(const CHAR* name, std::string& out) const;
    BOOL m_GetInfPath(std::string& out) const;

protected:
    SP_DEVINFO_DATA m_DevInfoData;
    HDEVINFO m_hDevInfo; // borrowed
};

// Owns a list of the device interfaces of one class; the derived class opens it.
class CHvSetupDi_DeviceInterface {
public:
    explicit CHvSetupDi_DeviceInterface(const GUID& interfaceClass);
    virtual ~CHvSetupDi_DeviceInterface();
    CHvSetupDi_DeviceInterface(const CHvSetupDi_DeviceInterface&) = delete;
    CHvSetupDi_DeviceInterface& operator=(const CHvSetupDi_DeviceInterface&) = delete;

protected:
    GUID m_InterfaceClass;
    HDEVINFO m_hInterfaceList = INVALID_HANDLE_VALUE;
};

// Finds the parent of a device among all present devices.
class CHvSetupDi_ParentDevice {
public:
    CHvSetupDi_ParentDevice(HDEVINFO childSet, PSP_DEVINFO_DATA childData);
    virtual ~CHvSetupDi_ParentDevice();
    CHvSetupDi_ParentDevice(const CHvSetupDi_ParentDevice&) = delete;
    CHvSetupDi_ParentDevice& operator=(const CHvSetupDi_ParentDevice&) = delete;

    BOOL m_FindParent();
    HDEVINFO m_ParentSet() const { return m_hAllDevices; }
    SP_DEVINFO_DATA& m_ParentData() { return m_ParentDevInfoData; }

private:
    HDEVINFO m_hChildSet;
    PSP_DEVINFO_DATA m_pChildData;
    SP_DEVINFO_DATA m_ParentDevInfoData{};
    HDEVINFO m_hAllDevices = INVALID_HANDLE_VALUE;
};
