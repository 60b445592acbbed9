// The built-in driver of the host controller and its root hub: the function device on the
// "ROOT\USB_HOST" root device, and one PDO per plugged device with the IDs Windows builds from
// the descriptors.
//
//   host FDO    START (forward), bus relations (a PDO per present device), REMOVE (deletes PDOs)
//   device PDO  IDs, capabilities, texts, bus information, START, SURPRISE_REMOVAL, REMOVE;
//               internal control codes go to the controller; device power with injected faults
#include "usb_internal.h"

#include <hvsim/format.h>
#include <hvsim/io.h>
#include <hvsim/pnp.h>
#include <hvsim/power.h>
#include <hvsim/registry.h>

#include <cstdio>
#include <cstring>

namespace hvsim::usb::detail {

// {9D7DEBBC-C85D-11D1-9EB4-006008C3A19A}
constexpr GUID kBusTypeUsb = {0x9D7DEBBC, 0xC85D, 0x11D1, {0x9E, 0xB4, 0x00, 0x60, 0x08, 0xC3, 0xA1, 0x9A}};
// {36FC9E60-C465-11CF-8056-444553540000}
constexpr GUID kUsbClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

namespace {

struct HostFdo {
    PDEVICE_OBJECT lower = nullptr;
};

struct DevicePdo {
    std::shared_ptr<Device> device;
    bool removed = false;
};

HostFdo* host_of(PDEVICE_OBJECT device) { return *(HostFdo**)device->DeviceExtension; }
bool is_host_fdo(PDEVICE_OBJECT device) { return device == state().host_fdo; }
DevicePdo* pdo_of(PDEVICE_OBJECT device) { return *(DevicePdo**)device->DeviceExtension; }

std::u16string vid_pid(const Device& d) { return u"USB\\VID_" + hex4(d.vendor_id) + u"&PID_" + hex4(d.product_id); }

// The instance ID the PnP manager will give a device PDO of this hub: its serial number when it
// names the device alone, else the hub's prefix and the port.
std::u16string predicted_instance_id(const Device& d, const std::u16string& prefix) {
    return vid_pid(d) + u"\\" + (d.unique_serial ? d.serial : prefix + u"&" + decimal(d.port, 0));
}

// The hub keeps its ParentIdPrefix itself, so that it knows its children's instance IDs before
// the PnP manager asks them.
std::u16string hub_prefix() {
    State& s = state();
    PDEVICE_OBJECT host = s.host_pdo;
    pnp::DevInst node = host ? pnp::node_of_pdo(host) : pnp::no_node;
    if (!node) return u"5&0&0";
    std::u16string key = pnp::device_key_path(node);
    if (auto existing = registry::get_string(key, u"ParentIdPrefix"); existing && !existing->empty()) return *existing;
    ULONG hash = 2166136261u;
    for (char16_t c : key) hash = (hash ^ (ULONG)(c >= u'a' && c <= u'z' ? c - 32 : c)) * 16777619u;
    char text[32];
    std::snprintf(text, sizeof text, "2&%08x&0", (unsigned)hash);
    std::u16string prefix = text::from_utf8(text);
    registry::set_string(key, u"ParentIdPrefix", prefix);
    return prefix;
}

// A device with several interfaces runs the built-in composite parent, as the system's own INF
// would install it.
void install_composite(const std::u16string& instance_id) {
    const std::u16string key = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + instance_id;
    if (auto service = registry::get_string(key, u"Service"); service && !service->empty()) return;
    registry::create_key(key);
    registry::set_string(key, u"Service", kCompositeService);
    registry::set_string(key, u"ClassGUID", pnp::guid_to_string(kUsbClass));
    registry::set_string(key, u"Class", u"USB");
    registry::set_string(key, u"DeviceDesc", u"USB Composite Device");
    registry::set_string(key, u"Mfg", u"(Standard USB Host Controller)");
}

// ---- Device PDOs -------------------------------------------------------------------------------

NTSTATUS device_query_id(Device& d, PIRP irp, BUS_QUERY_ID_TYPE type) {
    switch (type) {
    case BusQueryDeviceID: return answer_text(irp, vid_pid(d));
    case BusQueryHardwareIDs: return answer_strings(irp, {vid_pid(d) + u"&REV_" + hex4(d.bcd_device), vid_pid(d)});
    case BusQueryCompatibleIDs: {
        std::vector<std::u16string> ids;
        if (d.composite()) {
            ids = class_ids(u"DevClass", d.device_class, d.device_subclass, d.device_protocol);
            ids.push_back(u"USB\\COMPOSITE");
        } else if (d.device_class == 0 && !d.interfaces.empty()) {
            const InterfaceDesc& i = d.interfaces.front();
            ids = class_ids(u"Class", i.cls, i.subclass, i.protocol);
        } else {
            ids = class_ids(u"Class", d.device_class, d.device_subclass, d.device_protocol);
        }
        return answer_strings(irp, ids);
    }
    case BusQueryInstanceID: return answer_text(irp, d.unique_serial ? d.serial : decimal(d.port, 0));
    default: return keep_irp(irp);
    }
}

NTSTATUS device_pnp(PDEVICE_OBJECT object, PIRP irp) {
    DevicePdo* self = pdo_of(object);
    Device& d = *self->device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    State& s = state();
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        std::lock_guard lock(s.mutex);
        if (!d.present) return complete_irp(irp, STATUS_NO_SUCH_DEVICE);
        self->removed = false;
        return complete_irp(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: return complete_irp(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        wait_for_completions();
        bool gone;
        {
            std::lock_guard lock(s.mutex);
            self->removed = true;
            fail_transfers(d, -1, USBD_STATUS_DEVICE_GONE);
            if (d.present) unconfigure(d);
            gone = !d.present;
            if (gone) {
                d.pdo = nullptr;
                if (auto it = s.devices.find(d.port); it != s.devices.end() && it->second.get() == &d)
                    s.devices.erase(it);
            }
        }
        complete_irp(irp, STATUS_SUCCESS);
        if (gone) {
            // Transfers still ending hold the device, not the PDO.
            delete self;
            *(DevicePdo**)object->DeviceExtension = nullptr;
            IoDeleteDevice(object);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID: return device_query_id(d, irp, stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_CAPABILITIES: {
        DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
            return complete_irp(irp, STATUS_UNSUCCESSFUL);
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->UniqueID = d.unique_serial ? 1 : 0;
        caps->Address = d.port;
        caps->UINumber = d.port;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int i = PowerSystemSleeping1; i <= PowerSystemShutdown; ++i) caps->DeviceState[i] = PowerDeviceD3;
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
        return complete_irp(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription)
            return answer_text(irp, d.product.empty() ? u"USB Device" : d.product);
        return answer_text(irp, u"Port_#" + decimal(d.port, 4) + u".Hub_#0001");
    case IRP_MN_QUERY_BUS_INFORMATION: {
        auto* info = (PNP_BUS_INFORMATION*)ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kUsbTag);
        if (!info) return complete_irp(irp, STATUS_INSUFFICIENT_RESOURCES);
        info->BusTypeGuid = kBusTypeUsb;
        info->LegacyBusType = PNPBus;
        info->BusNumber = 0;
        return complete_irp(irp, STATUS_SUCCESS, (ULONG_PTR)info);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
            return answer_relations(irp, {object}, false, nullptr);
        return keep_irp(irp);
    default: return keep_irp(irp);
    }
}

// ---- Host FDO ----------------------------------------------------------------------------------

NTSTATUS host_relations(PDEVICE_OBJECT object, PIRP irp) {
    State& s = state();
    std::vector<std::shared_ptr<Device>> fresh;
    {
        std::lock_guard lock(s.mutex);
        for (auto& [port, d] : s.devices)
            if (d->present && !d->pdo) fresh.push_back(d);
    }
    std::vector<std::shared_ptr<Device>> composites;
    {
        std::lock_guard lock(s.mutex);
        for (auto& [port, d] : s.devices)
            if (d->present && d->pdo && d->composite()) composites.push_back(d);
    }
    const std::u16string prefix = fresh.empty() && composites.empty() ? u"" : hub_prefix();
    // A composite device whose node was removed while it stayed plugged in is installed again
    // when it is reported anew, as the system's own INF would do.
    for (auto& d : composites) install_composite(predicted_instance_id(*d, prefix));
    for (auto& d : fresh) {
        PDEVICE_OBJECT pdo = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(object->DriverObject, sizeof(DevicePdo*), nullptr, FILE_DEVICE_UNKNOWN,
                                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
            continue;
        io::ensure_device_name(pdo);
        *(DevicePdo**)pdo->DeviceExtension = new DevicePdo{d, false};
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        if (d->composite()) install_composite(predicted_instance_id(*d, prefix));
        std::lock_guard lock(s.mutex);
        d->pdo = pdo;
    }
    std::vector<PDEVICE_OBJECT> objects;
    {
        std::lock_guard lock(s.mutex);
        for (auto& [port, d] : s.devices)
            if (d->present && d->pdo) objects.push_back(d->pdo);
    }
    return answer_relations(irp, objects, true, host_of(object)->lower);
}

NTSTATUS host_pnp(PDEVICE_OBJECT object, PIRP irp) {
    HostFdo* self = host_of(object);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: return complete_irp(irp, forward_and_wait(self->lower, irp));
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return host_relations(object, irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: irp->IoStatus.Status = STATUS_SUCCESS; break;
    case IRP_MN_REMOVE_DEVICE: {
        State& s = state();
        std::vector<PDEVICE_OBJECT> pdos;
        {
            std::lock_guard lock(s.mutex);
            for (auto it = s.devices.begin(); it != s.devices.end();) {
                Device& d = *it->second;
                if (d.pdo) pdos.push_back(d.pdo);
                d.pdo = nullptr;
                fail_transfers(d, -1, USBD_STATUS_DEVICE_GONE);
                unconfigure(d);
                it = d.present ? std::next(it) : s.devices.erase(it);
            }
            s.host_fdo = nullptr;
            s.host_pdo = nullptr;
        }
        for (PDEVICE_OBJECT pdo : pdos) {
            delete pdo_of(pdo);
            *(DevicePdo**)pdo->DeviceExtension = nullptr;
            IoDeleteDevice(pdo);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = pass_down(self->lower, irp);
        IoDetachDevice(self->lower);
        delete self;
        *(HostFdo**)object->DeviceExtension = nullptr;
        IoDeleteDevice(object);
        return status;
    }
    default: break;
    }
    return pass_down(self->lower, irp);
}

// ---- Dispatch ----------------------------------------------------------------------------------

NTSTATUS dispatch_pnp(PDEVICE_OBJECT object, PIRP irp) {
    return is_host_fdo(object) ? host_pnp(object, irp) : device_pnp(object, irp);
}

NTSTATUS dispatch_power(PDEVICE_OBJECT object, PIRP irp) {
    if (is_host_fdo(object)) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(host_of(object)->lower, irp);
    }
    return pdo_power(pdo_of(object)->device.get(), object, irp);
}

NTSTATUS dispatch_internal_control(PDEVICE_OBJECT object, PIRP irp) {
    if (is_host_fdo(object)) return complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST);
    DevicePdo* self = pdo_of(object);
    if (self->removed) return complete_irp(irp, STATUS_DELETE_PENDING);
    return submit(self->device, -1, irp);
}

NTSTATUS dispatch_system_control(PDEVICE_OBJECT object, PIRP irp) {
    if (is_host_fdo(object)) return pass_down(host_of(object)->lower, irp);
    return keep_irp(irp);
}

NTSTATUS host_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    State& s = state();
    if (s.host_fdo) return STATUS_OBJECT_NAME_COLLISION; // one host controller per machine
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(HostFdo*), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* self = new HostFdo;
    *(HostFdo**)fdo->DeviceExtension = self;
    self->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!self->lower) {
        delete self;
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard lock(s.mutex);
    s.host_fdo = fdo;
    s.host_pdo = pdo;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS complete_irp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

WCHAR* pool_multi_sz(const std::vector<std::u16string>& strings) {
    size_t count = 1;
    for (const auto& s : strings) count += s.size() + 1;
    auto* out = (WCHAR*)ExAllocatePoolWithTag(PagedPool, count * sizeof(WCHAR), kUsbTag);
    if (!out) return nullptr;
    WCHAR* p = out;
    for (const auto& s : strings) {
        std::memcpy(p, s.data(), s.size() * sizeof(WCHAR));
        p += s.size();
        *p++ = 0;
    }
    *p = 0;
    return out;
}

std::u16string decimal(ULONG value, int width) {
    std::u16string text = text::from_utf8(std::to_string(value));
    while ((int)text.size() < width) text.insert(text.begin(), u'0');
    return text;
}

static std::u16string hex2(UCHAR value) {
    const char16_t* digits = u"0123456789abcdef";
    return {digits[value >> 4], digits[value & 15]};
}

static std::u16string class_id(const char16_t* prefix, UCHAR cls, UCHAR subclass, UCHAR protocol, int parts) {
    std::u16string id = std::u16string(u"USB\\") + prefix + u"_" + hex2(cls);
    if (parts > 1) id += u"&SubClass_" + hex2(subclass);
    if (parts > 2) id += u"&Prot_" + hex2(protocol);
    return id;
}

std::vector<std::u16string> class_ids(const char16_t* prefix, UCHAR cls, UCHAR subclass, UCHAR protocol) {
    return {class_id(prefix, cls, subclass, protocol, 3), class_id(prefix, cls, subclass, protocol, 2),
            class_id(prefix, cls, subclass, protocol, 1)};
}

std::u16string hex4(USHORT value, bool upper) {
    const char16_t* digits = upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
    return {digits[value >> 12 & 15], digits[value >> 8 & 15], digits[value >> 4 & 15], digits[value & 15]};
}

NTSTATUS pdo_power(Device* device, PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER: {
        status = STATUS_SUCCESS;
        if (stack->Parameters.Power.Type == DevicePowerState) {
            std::lock_guard lock(state().mutex);
            if (device && device->power_failures) {
                --device->power_failures;
                status = device->power_failure_status;
            }
        }
        if (NT_SUCCESS(status) && stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pdo, DevicePowerState, stack->Parameters.Power.State);
        break;
    }
    case IRP_MN_QUERY_POWER: status = STATUS_SUCCESS; break;
    case IRP_MN_WAIT_WAKE: status = STATUS_NOT_SUPPORTED; break;
    default: break;
    }
    irp->IoStatus.Status = status;
    if (power::complete_at_dispatch()) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    } else {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
}

void invalidate_hub() {
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard lock(state().mutex);
        pdo = state().host_pdo;
    }
    if (pdo) IoInvalidateDeviceRelations(pdo, BusRelations);
}

NTSTATUS host_driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    install_dispatch(driver, host_add_device, dispatch_pnp, dispatch_power, dispatch_internal_control,
                     dispatch_system_control);
    return STATUS_SUCCESS;
}

NTSTATUS dispatch_create_close(PDEVICE_OBJECT, PIRP irp) { return complete_irp(irp, STATUS_SUCCESS); }

void install_dispatch(PDRIVER_OBJECT driver, PDRIVER_ADD_DEVICE add, PDRIVER_DISPATCH pnp, PDRIVER_DISPATCH power,
                      PDRIVER_DISPATCH internal_control, PDRIVER_DISPATCH system_control) {
    driver->DriverExtension->AddDevice = add;
    driver->MajorFunction[IRP_MJ_PNP] = pnp;
    driver->MajorFunction[IRP_MJ_POWER] = power;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = internal_control;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = system_control;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_create_close;
}

NTSTATUS keep_irp(PIRP irp) { return complete_irp(irp, irp->IoStatus.Status, irp->IoStatus.Information); }

static NTSTATUS signal_event(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS forward_and_wait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signal_event, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS pass_down(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS answer_strings(PIRP irp, const std::vector<std::u16string>& strings) {
    WCHAR* out = pool_multi_sz(strings);
    if (!out) return complete_irp(irp, STATUS_INSUFFICIENT_RESOURCES);
    return complete_irp(irp, STATUS_SUCCESS, (ULONG_PTR)out);
}

// A string with one more terminator is still the string.
NTSTATUS answer_text(PIRP irp, const std::u16string& text) { return answer_strings(irp, {text}); }

NTSTATUS answer_relations(PIRP irp, const std::vector<PDEVICE_OBJECT>& objects, bool forward_down,
                          PDEVICE_OBJECT lower) {
    size_t size = offsetof(DEVICE_RELATIONS, Objects) + std::max<size_t>(objects.size(), 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = (DEVICE_RELATIONS*)ExAllocatePoolWithTag(PagedPool, size, kUsbTag);
    if (!relations) return complete_irp(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = (ULONG)objects.size();
    for (size_t i = 0; i < objects.size(); ++i) {
        ObReferenceObject(objects[i]);
        relations->Objects[i] = objects[i];
    }
    if (irp->IoStatus.Information) { // an upper driver's answer is replaced by the bus's own
        auto* old = (DEVICE_RELATIONS*)irp->IoStatus.Information;
        for (ULONG i = 0; i < old->Count; ++i) ObDereferenceObject(old->Objects[i]);
        ExFreePool(old);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = (ULONG_PTR)relations;
    if (forward_down) return pass_down(lower, irp);
    return complete_irp(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
}

} // namespace hvsim::usb::detail
