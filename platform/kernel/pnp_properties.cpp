// Device properties (IoGetDeviceProperty) and the device's registry keys
// (IoOpenDeviceRegistryKey).
#include "pnp_internal.h"

#include <hvsim/io.h>
#include <hvsim/kernel.h>

#include <cstring>

namespace hvsim::pnp::detail {
namespace {

void require_passive(const char* routine) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        bug_check(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " called above PASSIVE_LEVEL");
}

// What a property answers: bytes, or a status when it has none.
struct Answer {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<uint8_t> bytes;
};

Answer from_string(const std::optional<std::u16string>& text) {
    if (!text) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
    // Localised values carry "@file,-id;text": the text is what drivers see.
    std::u16string value = *text;
    if (!value.empty() && value[0] == u'@')
        if (size_t semicolon = value.find(u';'); semicolon != std::u16string::npos) value = value.substr(semicolon + 1);
    return {STATUS_SUCCESS, make_sz(value)};
}

Answer from_multi(const std::optional<std::vector<std::u16string>>& items) {
    if (!items || items->empty()) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
    return {STATUS_SUCCESS, make_multi_sz(*items)};
}

Answer from_ulong(ULONG value) {
    Answer answer;
    answer.bytes.resize(sizeof value);
    std::memcpy(answer.bytes.data(), &value, sizeof value);
    return answer;
}

Answer property_of(const Node& node, DEVICE_REGISTRY_PROPERTY property) {
    registry::Key key = open_key(enum_key_path(node.instance_id));
    switch (property) {
    case DevicePropertyDeviceDescription: {
        auto text = read_string(key, u"DeviceDesc");
        if (!text && !node.bus_description.empty()) text = node.bus_description;
        return from_string(text);
    }
    case DevicePropertyHardwareID: {
        auto ids = read_multi(key, u"HardwareID");
        if (!ids || ids->empty()) ids = node.hardware_ids;
        return from_multi(ids);
    }
    case DevicePropertyCompatibleIDs: {
        auto ids = read_multi(key, u"CompatibleIDs");
        if (!ids || ids->empty()) ids = node.compatible_ids;
        return from_multi(ids);
    }
    case DevicePropertyClassName: return from_string(read_string(key, u"Class"));
    case DevicePropertyClassGuid: return from_string(read_string(key, u"ClassGUID"));
    case DevicePropertyDriverKeyName: return from_string(read_string(key, u"Driver"));
    case DevicePropertyManufacturer: return from_string(read_string(key, u"Mfg"));
    case DevicePropertyFriendlyName: return from_string(read_string(key, u"FriendlyName"));
    case DevicePropertyLocationInformation: {
        auto text = read_string(key, u"LocationInformation");
        if (!text && !node.bus_location.empty()) text = node.bus_location;
        return from_string(text);
    }
    case DevicePropertyPhysicalDeviceObjectName: {
        std::u16string name = io::device_name(node.pdo);
        if (name.empty()) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
        return from_string(name);
    }
    case DevicePropertyBusTypeGuid: {
        if (!node.bus_info) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
        Answer answer;
        answer.bytes.resize(sizeof(GUID));
        std::memcpy(answer.bytes.data(), &node.bus_info->BusTypeGuid, sizeof(GUID));
        return answer;
    }
    case DevicePropertyLegacyBusType:
        if (!node.bus_info) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
        return from_ulong((ULONG)node.bus_info->LegacyBusType);
    case DevicePropertyBusNumber:
        if (!node.bus_info) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
        return from_ulong(node.bus_info->BusNumber);
    case DevicePropertyEnumeratorName: {
        size_t slash = node.instance_id.find(u'\\');
        return from_string(node.instance_id.substr(0, slash));
    }
    case DevicePropertyAddress:
        if (node.caps.Address == 0xFFFFFFFF) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
        return from_ulong(node.caps.Address);
    case DevicePropertyUINumber: {
        if (auto value = read_dword(key, u"UINumber")) return from_ulong(*value);
        if (node.caps.UINumber == 0xFFFFFFFF) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
        return from_ulong(node.caps.UINumber);
    }
    case DevicePropertyInstallState: {
        DWORD flags = read_dword(key, u"ConfigFlags").value_or(0);
        DEVICE_INSTALL_STATE state = InstallStateInstalled;
        if (flags & configflag::failed_install)
            state = InstallStateFailedInstall;
        else if (flags & configflag::reinstall)
            state = InstallStateNeedsReinstall;
        else if (flags & configflag::finish_install)
            state = InstallStateFinishInstall;
        return from_ulong((ULONG)state);
    }
    case DevicePropertyRemovalPolicy: {
        DEVICE_REMOVAL_POLICY policy = RemovalPolicyExpectNoRemoval;
        if (node.caps.Removable)
            policy = RemovalPolicyExpectSurpriseRemoval;
        else if (node.caps.EjectSupported || node.caps.LockSupported)
            policy = RemovalPolicyExpectOrderlyRemoval;
        return from_ulong((ULONG)policy);
    }
    default: return {STATUS_INVALID_PARAMETER_2, {}};
    }
}

} // namespace
} // namespace hvsim::pnp::detail

using namespace hvsim::pnp;
using namespace hvsim::pnp::detail;

HV_EXTERN_C_BEGIN

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength) {
    require_passive("IoGetDeviceProperty");
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    if (BufferLength && !PropertyBuffer) return STATUS_INVALID_PARAMETER;
    Node copy;
    {
        std::lock_guard lock(tree_mutex());
        Node* node = node_by_pdo(DeviceObject);
        if (!node) return STATUS_INVALID_DEVICE_REQUEST;
        copy = *node;
    }
    // The registry is read outside the tree lock, from a consistent copy of the node.
    Answer answer = property_of(copy, DeviceProperty);
    if (!NT_SUCCESS(answer.status)) return answer.status;
    *ResultLength = (ULONG)answer.bytes.size();
    if (BufferLength < answer.bytes.size()) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, answer.bytes.data(), answer.bytes.size());
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
    require_passive("IoOpenDeviceRegistryKey");
    if (!DevInstRegKey) return STATUS_INVALID_PARAMETER;
    *DevInstRegKey = nullptr;
    std::u16string instance_id;
    {
        std::lock_guard lock(tree_mutex());
        Node* node = node_by_pdo(DeviceObject);
        if (!node) return STATUS_INVALID_DEVICE_REQUEST;
        instance_id = node->instance_id;
    }
    ULONG kind = DevInstKeyType & ~PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
    bool profile = DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
    if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;

    std::u16string path;
    if (kind == PLUGPLAY_REGKEY_DEVICE) {
        path = enum_key_path(instance_id) + u"\\Device Parameters";
    } else {
        hvsim::registry::Key device_key = open_key(enum_key_path(instance_id));
        if (!device_key) return STATUS_OBJECT_NAME_NOT_FOUND;
        std::u16string driver = read_string(device_key, u"Driver").value_or(u"");
        if (driver.empty()) {
            // The driver key is made on first use, under the device's class.
            auto guid = read_string(device_key, u"ClassGUID");
            if (!guid || !guid_from_string(*guid)) return STATUS_OBJECT_NAME_NOT_FOUND;
            std::u16string class_path = std::u16string(kClassPath) + u"\\" + upcase(*guid);
            for (ULONG n = 0; n < 10000 && driver.empty(); ++n)
                if (!open_key(class_path + u"\\" + decimal(n, 4))) driver = upcase(*guid) + u"\\" + decimal(n, 4);
            if (driver.empty() || !create_device_key(std::u16string(kClassPath) + u"\\" + driver))
                return STATUS_INSUFFICIENT_RESOURCES;
            write_string(device_key, u"Driver", driver);
        }
        path = std::u16string(kClassPath) + u"\\" + driver;
    }
    if (profile) {
        // Per-profile keys mirror the global ones below the current hardware profile.
        const std::u16string machine = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\";
        path = machine + u"Hardware Profiles\\Current\\System\\CurrentControlSet\\" + path.substr(machine.size());
    }
    return open_kernel_key(path, DesiredAccess, DevInstRegKey);
}

HV_EXTERN_C_END
