// SetupAPI device information sets over the device tree and the registry.
//
//   SetupDiGetClassDevs(Ex)W/A, SetupDiCreateDeviceInfoList, SetupDiDestroyDeviceInfoList
//   SetupDiOpenDeviceInfoW/A, SetupDiEnumDeviceInfo, SetupDiDeleteDeviceInfo,
//   SetupDiGetDeviceInstanceIdW/A
//   SetupDiGetDeviceRegistryPropertyW/A, SetupDiSetDeviceRegistryPropertyW/A
//   SetupDiOpenDevRegKey, SetupDiCreateDevRegKeyW, SetupDiOpenClassRegKey
//   SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetailW/A
//   SetupDiGet/SetDeviceInstallParamsW, SetupDiGet/SetClassInstallParamsW
//
// A device is its Enum instance key, present or not; an element of a set names it by index in
// SP_DEVINFO_DATA.Reserved. Properties are the instance key's values.
#include "internal/registry_store.h"

#include <setupapi.h>

#include <hvsim/format.h>
#include <hvsim/user_hooks.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

#include "internal/setupapi_platform.h"
#include "internal/setupapi_sets.h"
#include "internal/user_internal.h"

namespace hvsim::user::setup {
namespace {

struct Sets {
    std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<DeviceInfoSet>> live;
    uintptr_t next = 0x5e70000;
};
Sets& sets() {
    static Sets* s = new Sets;
    return *s;
}

} // namespace

HDEVINFO insert_set(std::shared_ptr<DeviceInfoSet> set) {
    set->install_params.cbSize = sizeof(SP_DEVINSTALL_PARAMS_W);
    auto& s = sets();
    std::lock_guard lock(s.mutex);
    uintptr_t handle = s.next;
    s.next += 8;
    s.live[handle] = std::move(set);
    return reinterpret_cast<HDEVINFO>(handle);
}

std::shared_ptr<DeviceInfoSet> lookup_set(HDEVINFO handle) {
    auto& s = sets();
    std::lock_guard lock(s.mutex);
    auto it = s.live.find(reinterpret_cast<uintptr_t>(handle));
    if (it == s.live.end()) {
        set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Element> lookup_element(const std::shared_ptr<DeviceInfoSet>& set, PSP_DEVINFO_DATA data) {
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        set_last_error(data ? ERROR_INVALID_USER_BUFFER : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t index = data->Reserved;
    if (index >= 1 && index <= set->elements.size()) {
        auto element = set->elements[index - 1];
        if (!element->deleted && element->devinst == data->DevInst) return element;
    }
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
}

std::shared_ptr<Element> lookup_element(HDEVINFO handle, PSP_DEVINFO_DATA data) {
    auto set = lookup_set(handle);
    return set ? lookup_element(set, data) : nullptr;
}

std::shared_ptr<Element> add_element(DeviceInfoSet& set, std::u16string_view instance_id) {
    auto device = devices::find_device(instance_id);
    if (!device) return nullptr;
    for (auto& element : set.elements)
        if (!element->deleted && text::equal_nocase(element->instance_id, device->instance_id)) return element;
    auto element = std::make_shared<Element>();
    element->instance_id = device->instance_id;
    element->devinst = device->devinst;
    element->class_guid = class_of(device->instance_id);
    element->install_params.cbSize = sizeof(SP_DEVINSTALL_PARAMS_W);
    set.elements.push_back(element);
    return element;
}

void fill_data(const DeviceInfoSet& set, const Element& element, PSP_DEVINFO_DATA data) {
    data->ClassGuid = element.class_guid;
    data->DevInst = element.devinst;
    for (size_t i = 0; i < set.elements.size(); ++i)
        if (set.elements[i].get() == &element) data->Reserved = i + 1;
}

GUID class_of(std::u16string_view instance_id) {
    if (auto text = devices::read_string(devices::device_key_path(instance_id), u"ClassGUID"))
        if (auto guid = devices::guid_of(*text)) return *guid;
    return GUID{};
}

std::u16string driver_key_path(std::u16string_view instance_id) {
    auto driver = devices::read_string(devices::device_key_path(instance_id), u"Driver");
    if (!driver || driver->empty()) return {};
    return std::u16string(kClassRoot) + u"\\" + *driver;
}

std::u16string hardware_key_path(std::u16string_view instance_id) {
    return devices::device_key_path(instance_id) + u"\\Device Parameters";
}

} // namespace hvsim::user::setup

using namespace hvsim;
using namespace hvsim::user;
using namespace hvsim::user::setup;

namespace {

bool fail(DWORD error) {
    set_last_error(error);
    return false;
}

std::u16string wide(PCSTR text) { return text ? widen_ansi(text) : std::u16string(); }

// ---- Properties: the instance key's values ------------------------------------------------------

struct PropertyInfo {
    const char16_t* value; // nullptr: computed
    DWORD type;
    bool settable;
};

std::optional<PropertyInfo> property_info(DWORD property) {
    switch (property) {
    case SPDRP_DEVICEDESC: return PropertyInfo{u"DeviceDesc", REG_SZ, true};
    case SPDRP_HARDWAREID: return PropertyInfo{u"HardwareID", REG_MULTI_SZ, true};
    case SPDRP_COMPATIBLEIDS: return PropertyInfo{u"CompatibleIDs", REG_MULTI_SZ, true};
    case SPDRP_SERVICE: return PropertyInfo{u"Service", REG_SZ, true};
    case SPDRP_CLASS: return PropertyInfo{u"Class", REG_SZ, false};
    case SPDRP_CLASSGUID: return PropertyInfo{u"ClassGUID", REG_SZ, false};
    case SPDRP_DRIVER: return PropertyInfo{u"Driver", REG_SZ, false};
    case SPDRP_CONFIGFLAGS: return PropertyInfo{u"ConfigFlags", REG_DWORD, true};
    case SPDRP_MFG: return PropertyInfo{u"Mfg", REG_SZ, true};
    case SPDRP_FRIENDLYNAME: return PropertyInfo{u"FriendlyName", REG_SZ, true};
    case SPDRP_LOCATION_INFORMATION: return PropertyInfo{u"LocationInformation", REG_SZ, true};
    case SPDRP_CAPABILITIES: return PropertyInfo{u"Capabilities", REG_DWORD, false};
    case SPDRP_UPPERFILTERS: return PropertyInfo{u"UpperFilters", REG_MULTI_SZ, true};
    case SPDRP_LOWERFILTERS: return PropertyInfo{u"LowerFilters", REG_MULTI_SZ, true};
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME: return PropertyInfo{nullptr, REG_SZ, false};
    case SPDRP_ENUMERATOR_NAME: return PropertyInfo{nullptr, REG_SZ, false};
    default: return std::nullopt;
    }
}

std::vector<uint8_t> string_bytes(const std::u16string& text) {
    std::vector<uint8_t> out((text.size() + 1) * 2, 0);
    std::memcpy(out.data(), text.data(), text.size() * 2);
    return out;
}

// The stored bytes of a property; nullopt (with the last error) when the device has none.
std::optional<devices::RegValue> read_property(const Element& element, DWORD property) {
    auto info = property_info(property);
    if (!info) {
        set_last_error(ERROR_INVALID_REG_PROPERTY);
        return std::nullopt;
    }
    if (!info->value) {
        std::u16string text;
        if (property == SPDRP_ENUMERATOR_NAME)
            text = element.instance_id.substr(0, element.instance_id.find(u'\\'));
        else
            text = devices::pdo_name(element.devinst);
        if (text.empty()) {
            set_last_error(ERROR_INVALID_DATA);
            return std::nullopt;
        }
        return devices::RegValue{u"", REG_SZ, string_bytes(text)};
    }
    auto value = devices::read_value(devices::device_key_path(element.instance_id), info->value);
    if (!value) {
        set_last_error(ERROR_INVALID_DATA);
        return std::nullopt;
    }
    return value;
}

BOOL get_property(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer, DWORD size,
                  PDWORD required, bool narrow) {
    auto set = lookup_set(handle);
    if (!set) return FALSE;
    auto element = lookup_element(set, data);
    if (!element) return FALSE;
    if (!buffer && size) return fail(ERROR_INVALID_PARAMETER);
    auto value = read_property(*element, property);
    if (!value) return FALSE;
    std::vector<uint8_t> bytes = std::move(value->data);
    if (narrow && (value->type == REG_SZ || value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ)) {
        std::u16string text(bytes.size() / 2, u'\0');
        std::memcpy(text.data(), bytes.data(), text.size() * 2);
        std::string converted = narrow_ansi(text);
        bytes.assign(converted.begin(), converted.end());
    }
    if (required) *required = DWORD(bytes.size());
    if (type) *type = value->type;
    if (size < bytes.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    set_last_error(ERROR_SUCCESS);
    return TRUE;
}

BOOL set_property(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, const BYTE* buffer, DWORD size, bool narrow) {
    auto set = lookup_set(handle);
    if (!set) return FALSE;
    auto element = lookup_element(set, data);
    if (!element) return FALSE;
    auto info = property_info(property);
    if (!info || !info->settable) return fail(ERROR_INVALID_REG_PROPERTY);
    std::u16string key = devices::device_key_path(element->instance_id);
    if (!devices::key_exists(key)) return fail(ERROR_NO_SUCH_DEVINST);
    if (!buffer || size == 0) {
        devices::delete_value(key, info->value);
        return TRUE;
    }
    std::vector<uint8_t> bytes(buffer, buffer + size);
    if (info->type == REG_DWORD) {
        if (size != sizeof(DWORD)) return fail(ERROR_INVALID_DATA);
    } else if (narrow) {
        std::u16string text = text::ansi_to_wide(std::string_view(reinterpret_cast<const char*>(buffer), size));
        bytes.assign(reinterpret_cast<const uint8_t*>(text.data()),
                     reinterpret_cast<const uint8_t*>(text.data()) + text.size() * 2);
    } else if (size % 2) {
        return fail(ERROR_INVALID_DATA);
    }
    if (!devices::write_value(key, info->value, info->type, bytes.data(), bytes.size())) return fail(ERROR_CANTWRITE);
    return TRUE;
}

// ---- Sets -----------------------------------------------------------------------------------

HDEVINFO get_class_devs(const GUID* class_guid, const std::u16string& enumerator, DWORD flags, HDEVINFO existing) {
    if (!class_guid && !(flags & DIGCF_ALLCLASSES)) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<DeviceInfoSet> set;
    if (existing && existing != INVALID_HANDLE_VALUE) {
        set = lookup_set(existing);
        if (!set) return INVALID_HANDLE_VALUE;
    } else {
        set = std::make_shared<DeviceInfoSet>();
        if (class_guid && !(flags & (DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE))) set->class_guid = *class_guid;
    }
    bool present = flags & DIGCF_PRESENT;
    set->present_only = present;
    std::u16string prefix = enumerator.empty() ? u"" : enumerator + u"\\";
    auto matches_enumerator = [&](const std::u16string& id) {
        if (prefix.empty()) return true;
        if (id.size() < prefix.size()) return false;
        for (size_t i = 0; i < prefix.size(); ++i)
            if (text::ascii_upper(id[i]) != text::ascii_upper(prefix[i])) return false;
        return true;
    };
    if (flags & DIGCF_DEVICEINTERFACE) {
        if (!class_guid) {
            set_last_error(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        for (const auto& i : devices::list_interfaces(*class_guid, present)) {
            auto device = devices::device_of(i.devinst);
            if (!device || !matches_enumerator(device->instance_id)) continue;
            auto element = add_element(*set, device->instance_id);
            if (element) set->interfaces.push_back({i.class_guid, i.path, i.enabled, element});
        }
    } else {
        for (const auto& device : devices::list_devices(present)) {
            if (!matches_enumerator(device.instance_id)) continue;
            if (!(flags & DIGCF_ALLCLASSES) && !IsEqualGUID(class_of(device.instance_id), *class_guid)) continue;
            add_element(*set, device.instance_id);
        }
    }
    if (existing && existing != INVALID_HANDLE_VALUE) return existing;
    set_last_error(ERROR_SUCCESS);
    return insert_set(std::move(set));
}

BOOL open_device_info(HDEVINFO handle, const std::u16string& instance_id, PSP_DEVINFO_DATA data) {
    auto set = lookup_set(handle);
    if (!set) return FALSE;
    if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (instance_id.empty()) return fail(ERROR_INVALID_DEVINST_NAME);
    auto device = devices::find_device(instance_id);
    if (!device) return fail(ERROR_NO_SUCH_DEVINST);
    if (set->class_guid && !IsEqualGUID(*set->class_guid, class_of(device->instance_id)))
        return fail(ERROR_CLASS_MISMATCH);
    auto element = add_element(*set, device->instance_id);
    if (!element) return fail(ERROR_NO_SUCH_DEVINST);
    if (data) fill_data(*set, *element, data);
    set_last_error(ERROR_SUCCESS);
    return TRUE;
}

template <typename Char>
BOOL instance_id(HDEVINFO handle, PSP_DEVINFO_DATA data, Char* buffer, DWORD size, PDWORD required) {
    auto set = lookup_set(handle);
    if (!set) return FALSE;
    auto element = lookup_element(set, data);
    if (!element) return FALSE;
    std::basic_string<Char> id;
    if constexpr (sizeof(Char) == 1)
        id = narrow_ansi(element->instance_id);
    else
        id = element->instance_id;
    if (required) *required = DWORD(id.size() + 1);
    if (!buffer || size < id.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::copy(id.begin(), id.end(), buffer);
    buffer[id.size()] = 0;
    return TRUE;
}

// ---- Keys -------------------------------------------------------------------------------------

HKEY key_handle(const std::u16string& path, REGSAM access, bool create) {
    registry::Key key;
    NTSTATUS status;
    if (create) {
        registry::CreateOptions options;
        options.create_parents = true;
        status = registry::create(nullptr, path, &key, nullptr, options);
    } else {
        status = registry::open(nullptr, path, &key);
    }
    if (!NT_SUCCESS(status)) {
        set_last_error(ERROR_KEY_DOES_NOT_EXIST);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    set_last_error(ERROR_SUCCESS);
    return registry_handle(key, access);
}

HKEY device_key(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD scope, DWORD key_type, REGSAM access, bool create) {
    auto set = lookup_set(handle);
    if (!set) return (HKEY)INVALID_HANDLE_VALUE;
    auto element = lookup_element(set, data);
    if (!element) return (HKEY)INVALID_HANDLE_VALUE;
    if (scope != DICS_FLAG_GLOBAL && scope != DICS_FLAG_CONFIGSPECIFIC) {
        set_last_error(ERROR_INVALID_FLAGS);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    if (!devices::key_exists(devices::device_key_path(element->instance_id))) {
        set_last_error(ERROR_NO_SUCH_DEVINST);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    if (key_type == DIREG_DEV) {
        // The hardware key is made with the device; the kernel and SetupAPI share it.
        return key_handle(devices::native(hardware_key_path(element->instance_id)), access, true);
    }
    if (key_type == DIREG_DRV) {
        std::u16string path = driver_key_path(element->instance_id);
        if (path.empty() && create) {
            GUID guid = class_of(element->instance_id);
            if (IsEqualGUID(guid, GUID{})) {
                set_last_error(ERROR_NO_ASSOCIATED_CLASS);
                return (HKEY)INVALID_HANDLE_VALUE;
            }
            std::u16string class_path = std::u16string(kClassRoot) + u"\\" + devices::guid_text(guid);
            for (int n = 0; n < 10000; ++n) {
                char16_t number[5];
                for (int d = 3, v = n; d >= 0; --d, v /= 10) number[d] = char16_t(u'0' + v % 10);
                number[4] = 0;
                if (!devices::key_exists(class_path + u"\\" + number)) {
                    devices::create_device_key(class_path + u"\\" + number);
                    devices::write_string(devices::device_key_path(element->instance_id), u"Driver",
                                          devices::guid_text(guid) + u"\\" + number);
                    path = class_path + u"\\" + number;
                    break;
                }
            }
        }
        if (path.empty()) {
            set_last_error(ERROR_KEY_DOES_NOT_EXIST);
            return (HKEY)INVALID_HANDLE_VALUE;
        }
        return key_handle(path, access, create);
    }
    set_last_error(ERROR_INVALID_FLAGS);
    return (HKEY)INVALID_HANDLE_VALUE;
}

// ---- Interfaces -------------------------------------------------------------------------------

template <typename Detail, typename Char>
BOOL interface_detail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interface, Detail* detail, DWORD size, PDWORD required,
                      PSP_DEVINFO_DATA data) {
    auto set = lookup_set(handle);
    if (!set) return FALSE;
    if (!interface || interface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    size_t index = interface->Reserved;
    if (index < 1 || index > set->interfaces.size()) return fail(ERROR_INVALID_PARAMETER);
    const auto& entry = set->interfaces[index - 1];
    std::basic_string<Char> path;
    if constexpr (sizeof(Char) == 1)
        path = narrow_ansi(entry.path);
    else
        path = entry.path;
    DWORD needed = DWORD(offsetof(Detail, DevicePath) + (path.size() + 1) * sizeof(Char));
    if (required) *required = needed;
    if (data) {
        if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    }
    if (!detail) {
        if (size) return fail(ERROR_INVALID_USER_BUFFER);
        if (data) fill_data(*set, *entry.element, data);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (detail->cbSize != sizeof(Detail)) return fail(ERROR_INVALID_USER_BUFFER);
    if (size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::copy(path.begin(), path.end(), detail->DevicePath);
    detail->DevicePath[path.size()] = 0;
    if (data) fill_data(*set, *entry.element, data);
    set_last_error(ERROR_SUCCESS);
    return TRUE;
}

} // namespace

namespace hvsim::user {

size_t open_device_info_sets() {
    auto& s = setup::sets();
    std::lock_guard lock(s.mutex);
    return s.live.size();
}

} // namespace hvsim::user

HV_EXTERN_C_BEGIN

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags) {
    return get_class_devs(ClassGuid, Enumerator ? Enumerator : u"", Flags, nullptr);
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
    return get_class_devs(ClassGuid, wide(Enumerator), Flags, nullptr);
}

HDEVINFO WINAPI SetupDiGetClassDevsExW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags,
                                       HDEVINFO DeviceInfoSet, PCWSTR MachineName, PVOID) {
    if (MachineName && *MachineName) {
        set_last_error(ERROR_INVALID_COMPUTERNAME);
        return INVALID_HANDLE_VALUE;
    }
    return get_class_devs(ClassGuid, Enumerator ? Enumerator : u"", Flags, DeviceInfoSet);
}

HDEVINFO WINAPI SetupDiGetClassDevsExA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags,
                                       HDEVINFO DeviceInfoSet, PCSTR MachineName, PVOID) {
    if (MachineName && *MachineName) {
        set_last_error(ERROR_INVALID_COMPUTERNAME);
        return INVALID_HANDLE_VALUE;
    }
    return get_class_devs(ClassGuid, wide(Enumerator), Flags, DeviceInfoSet);
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND) {
    auto set = std::make_shared<DeviceInfoSet>();
    if (ClassGuid) set->class_guid = *ClassGuid;
    return insert_set(std::move(set));
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    auto& s = setup::sets();
    std::shared_ptr<setup::DeviceInfoSet> set;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.live.find(reinterpret_cast<uintptr_t>(DeviceInfoSet));
        if (it == s.live.end()) return fail(ERROR_INVALID_HANDLE);
        set = std::move(it->second);
        s.live.erase(it);
    }
    // Outside the lock: a library's unload may use SetupAPI.
    for (HMODULE module : set->page_providers) FreeLibrary(module);
    return TRUE;
}

BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
    return open_device_info(DeviceInfoSet, DeviceInstanceId ? DeviceInstanceId : u"", DeviceInfoData);
}

BOOL WINAPI SetupDiOpenDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceInstanceId, HWND, DWORD,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
    return open_device_info(DeviceInfoSet, wide(DeviceInstanceId), DeviceInfoData);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    DWORD seen = 0;
    for (const auto& element : set->elements) {
        if (element->deleted) continue;
        if (seen++ == MemberIndex) {
            fill_data(*set, *element, DeviceInfoData);
            set_last_error(ERROR_SUCCESS);
            return TRUE;
        }
    }
    return fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    auto element = lookup_element(set, DeviceInfoData);
    if (!element) return FALSE;
    element->deleted = true;
    std::erase_if(set->interfaces, [&](const auto& entry) { return entry.element == element; });
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PWSTR DeviceInstanceId,
                                        DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    return instance_id(DeviceInfoSet, DeviceInfoData, DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSTR DeviceInstanceId,
                                        DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    return instance_id(DeviceInfoSet, DeviceInfoData, DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    return get_property(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer,
                        PropertyBufferSize, RequiredSize, false);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    return get_property(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer,
                        PropertyBufferSize, RequiredSize, true);
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              const BYTE* PropertyBuffer, DWORD PropertyBufferSize) {
    return set_property(DeviceInfoSet, DeviceInfoData, Property, PropertyBuffer, PropertyBufferSize, false);
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              const BYTE* PropertyBuffer, DWORD PropertyBufferSize) {
    return set_property(DeviceInfoSet, DeviceInfoData, Property, PropertyBuffer, PropertyBufferSize, true);
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD,
                                 DWORD KeyType, REGSAM samDesired) {
    return device_key(DeviceInfoSet, DeviceInfoData, Scope, KeyType, samDesired, false);
}

HKEY WINAPI SetupDiCreateDevRegKeyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD,
                                    DWORD KeyType, PVOID, PCWSTR) {
    return device_key(DeviceInfoSet, DeviceInfoData, Scope, KeyType, KEY_ALL_ACCESS, true);
}

HKEY WINAPI SetupDiOpenClassRegKey(const GUID* ClassGuid, REGSAM samDesired) {
    std::u16string path(kClassRoot);
    if (ClassGuid) path += u"\\" + devices::guid_text(*ClassGuid);
    HKEY key = key_handle(path, samDesired, false);
    if (key == (HKEY)INVALID_HANDLE_VALUE) set_last_error(ERROR_INVALID_CLASS);
    return key;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    if (!InterfaceClassGuid) return fail(ERROR_INVALID_PARAMETER);
    if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return fail(ERROR_INVALID_USER_BUFFER);
    std::shared_ptr<Element> only;
    if (DeviceInfoData) {
        only = lookup_element(set, DeviceInfoData);
        if (!only) return FALSE;
    }
    // Interfaces of elements that the query did not list come from the tree on demand.
    for (const auto& element : set->elements) {
        if (element->deleted || (only && element != only)) continue;
        for (const auto& i : devices::list_interfaces(*InterfaceClassGuid, set->present_only)) {
            if (i.devinst != element->devinst) continue;
            bool listed = std::any_of(set->interfaces.begin(), set->interfaces.end(),
                                      [&](const auto& e) { return e.path == i.path; });
            if (!listed) set->interfaces.push_back({i.class_guid, i.path, i.enabled, element});
        }
    }
    DWORD seen = 0;
    for (size_t index = 0; index < set->interfaces.size(); ++index) {
        const auto& entry = set->interfaces[index];
        if (!IsEqualGUID(entry.class_guid, *InterfaceClassGuid) || entry.element->deleted) continue;
        if (only && entry.element != only) continue;
        if (seen++ != MemberIndex) continue;
        DeviceInterfaceData->InterfaceClassGuid = entry.class_guid;
        DeviceInterfaceData->Flags = entry.active ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = index + 1;
        set_last_error(ERROR_SUCCESS);
        return TRUE;
    }
    return fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    return interface_detail<SP_DEVICE_INTERFACE_DETAIL_DATA_W, char16_t>(
        DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize, RequiredSize,
        DeviceInfoData);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    return interface_detail<SP_DEVICE_INTERFACE_DETAIL_DATA_A, char>(
        DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize, RequiredSize,
        DeviceInfoData);
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInstallParams || DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (!DeviceInfoData) {
        *DeviceInstallParams = set->install_params;
        return TRUE;
    }
    auto element = lookup_element(set, DeviceInfoData);
    if (!element) return FALSE;
    *DeviceInstallParams = element->install_params;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
    if (!DeviceInstallParams || DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A))
        return fail(ERROR_INVALID_USER_BUFFER);
    SP_DEVINSTALL_PARAMS_W wide{};
    wide.cbSize = sizeof wide;
    if (!SetupDiGetDeviceInstallParamsW(DeviceInfoSet, DeviceInfoData, &wide)) return FALSE;
    // The fields before the path lie at the same places in both records.
    std::memcpy(DeviceInstallParams, &wide, offsetof(SP_DEVINSTALL_PARAMS_A, DriverPath));
    DeviceInstallParams->cbSize = sizeof(SP_DEVINSTALL_PARAMS_A);
    const std::string path = narrow_ansi(wide.DriverPath);
    const size_t length = std::min(path.size(), size_t(MAX_PATH - 1));
    std::memcpy(DeviceInstallParams->DriverPath, path.data(), length);
    DeviceInstallParams->DriverPath[length] = 0;
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInstallParams || DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (!DeviceInfoData) {
        set->install_params = *DeviceInstallParams;
        return TRUE;
    }
    auto element = lookup_element(set, DeviceInfoData);
    if (!element) return FALSE;
    element->install_params = *DeviceInstallParams;
    return TRUE;
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    std::shared_ptr<Element> element;
    if (DeviceInfoData) {
        element = lookup_element(set, DeviceInfoData);
        if (!element) return FALSE;
    }
    std::vector<uint8_t> bytes;
    if (ClassInstallParams) {
        if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER) ||
            ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER))
            return fail(ERROR_INVALID_USER_BUFFER);
        auto* begin = reinterpret_cast<const uint8_t*>(ClassInstallParams);
        bytes.assign(begin, begin + ClassInstallParamsSize);
    } else if (ClassInstallParamsSize) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    auto& params = element ? element->install_params : set->install_params;
    if (bytes.empty())
        params.Flags &= ~DWORD(DI_CLASSINSTALLPARAMS);
    else
        params.Flags |= DI_CLASSINSTALLPARAMS;
    if (element)
        element->class_install_params = std::move(bytes);
    else {
        // Set-wide parameters apply to every element that has none of its own.
        for (auto& e : set->elements)
            if (e->class_install_params.empty()) e->class_install_params = bytes;
    }
    return TRUE;
}

BOOL WINAPI SetupDiGetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize,
                                          PDWORD RequiredSize) {
    auto set = lookup_set(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInfoData) return fail(ERROR_NO_CLASSINSTALL_PARAMS);
    auto element = lookup_element(set, DeviceInfoData);
    if (!element) return FALSE;
    const auto& bytes = element->class_install_params;
    if (bytes.empty()) return fail(ERROR_NO_CLASSINSTALL_PARAMS);
    if (RequiredSize) *RequiredSize = DWORD(bytes.size());
    if (!ClassInstallParams || ClassInstallParamsSize < bytes.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(ClassInstallParams, bytes.data(), bytes.size());
    return TRUE;
}

HV_EXTERN_C_END
