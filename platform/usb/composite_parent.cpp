// The built-in composite parent: the function device of a device with several interfaces. At
// start it selects the whole configuration; it then reports one child PDO per interface
// ("USB\VID_xxxx&PID_xxxx&MI_nn"), and each child sees only its own interface: its configuration
// descriptor, its select-configuration and its pipes.
#include "usb_internal.h"

#include <hvsim/format.h>
#include <hvsim/io.h>
#include <hvsim/pnp.h>

namespace hvsim::usb::detail {
namespace {

struct Child;

struct Parent {
    std::shared_ptr<Device> device;
    PDEVICE_OBJECT lower = nullptr;
    std::vector<PDEVICE_OBJECT> children;
};

struct Child {
    std::shared_ptr<Device> device;
    UCHAR interface = 0;
    bool removed = false;
};

// Both kinds of device object carry a tagged pointer.
struct Extension {
    Parent* parent = nullptr;
    Child* child = nullptr;
};

Extension* ext_of(PDEVICE_OBJECT object) { return (Extension*)object->DeviceExtension; }

std::u16string mi(UCHAR number) { return u"&MI_" + hex4(number).substr(2); }

const InterfaceDesc* interface_of(const Device& d, UCHAR number) {
    for (const InterfaceDesc& i : d.interfaces)
        if (i.number == number && i.alternate == 0) return &i;
    return nullptr;
}

// ---- Children ------------------------------------------------------------------------------------

NTSTATUS child_pnp(PDEVICE_OBJECT object, Child& self, PIRP irp) {
    Device& d = *self.device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const std::u16string base = u"USB\\VID_" + hex4(d.vendor_id) + u"&PID_" + hex4(d.product_id);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        std::lock_guard lock(state().mutex);
        if (!d.present) return complete_irp(irp, STATUS_NO_SUCH_DEVICE);
        self.removed = false;
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
        // The parent deletes its children when it goes; until then a child can start again.
        std::lock_guard lock(state().mutex);
        self.removed = true;
        fail_transfers(d, self.interface, USBD_STATUS_DEVICE_GONE);
        return complete_irp(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_ID: {
        const InterfaceDesc* i = interface_of(d, self.interface);
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: return answer_strings(irp, {base + mi(self.interface)});
        case BusQueryHardwareIDs:
            return answer_strings(
                irp, {base + u"&REV_" + hex4(d.bcd_device) + mi(self.interface), base + mi(self.interface)});
        case BusQueryCompatibleIDs: {
            if (!i) return keep_irp(irp);
            return answer_strings(irp, class_ids(u"Class", i->cls, i->subclass, i->protocol));
        }
        case BusQueryInstanceID: return answer_text(irp, decimal(self.interface, 4));
        default: return keep_irp(irp);
        }
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
            return complete_irp(irp, STATUS_UNSUCCESSFUL);
        caps->SurpriseRemovalOK = 1;
        caps->Address = self.interface;
        caps->UINumber = d.port;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) caps->DeviceState[s] = PowerDeviceD3;
        return complete_irp(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription)
            return answer_strings(irp, {d.product.empty() ? u"USB Device" : d.product});
        return answer_text(irp, u"Port_#" + decimal(d.port, 4) + u".Hub_#0001");
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
            return answer_relations(irp, {object}, false, nullptr);
        return keep_irp(irp);
    default: return keep_irp(irp);
    }
}

// ---- Parent --------------------------------------------------------------------------------------

void delete_child(PDEVICE_OBJECT child) {
    delete ext_of(child)->child;
    ext_of(child)->child = nullptr;
    IoDeleteDevice(child);
}

NTSTATUS parent_relations(PDEVICE_OBJECT object, Parent& self, PIRP irp) {
    if (self.children.empty()) {
        for (const InterfaceDesc& i : self.device->interfaces) {
            if (i.alternate != 0) continue;
            PDEVICE_OBJECT child = nullptr;
            if (!NT_SUCCESS(IoCreateDevice(object->DriverObject, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child)))
                break;
            io::ensure_device_name(child);
            ext_of(child)->parent = nullptr;
            ext_of(child)->child = new Child{self.device, i.number, false};
            child->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
            child->Flags &= ~DO_DEVICE_INITIALIZING;
            self.children.push_back(child);
            std::lock_guard lock(state().mutex);
            self.device->child_pdos[i.number] = child;
        }
    }
    return answer_relations(irp, self.children, true, self.lower);
}

NTSTATUS parent_pnp(PDEVICE_OBJECT object, Parent& self, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = forward_and_wait(self.lower, irp);
        if (NT_SUCCESS(status)) {
            std::lock_guard lock(state().mutex);
            USBD_STATUS configured = configure_whole_device(*self.device);
            log_own_request(*self.device, URB_FUNCTION_SELECT_CONFIGURATION, configured);
            if (configured) {
                DbgPrint("USB: port %u: the composite parent could not select the configuration (0x%08X)\n",
                         (unsigned)self.device->port, (unsigned)configured);
                status = STATUS_UNSUCCESSFUL;
            }
        }
        return complete_irp(irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return parent_relations(object, self, irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: irp->IoStatus.Status = STATUS_SUCCESS; break;
    case IRP_MN_REMOVE_DEVICE: {
        {
            std::lock_guard lock(state().mutex);
            self.device->child_pdos.clear();
        }
        for (PDEVICE_OBJECT child : self.children) delete_child(child);
        self.children.clear();
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = pass_down(self.lower, irp);
        IoDetachDevice(self.lower);
        delete &self;
        ext_of(object)->parent = nullptr;
        IoDeleteDevice(object);
        return status;
    }
    default: break;
    }
    return pass_down(self.lower, irp);
}

// ---- Dispatch ------------------------------------------------------------------------------------

NTSTATUS dispatch_pnp(PDEVICE_OBJECT object, PIRP irp) {
    Extension* ext = ext_of(object);
    return ext->parent ? parent_pnp(object, *ext->parent, irp) : child_pnp(object, *ext->child, irp);
}

NTSTATUS dispatch_power(PDEVICE_OBJECT object, PIRP irp) {
    Extension* ext = ext_of(object);
    if (ext->parent) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->parent->lower, irp);
    }
    return pdo_power(ext->child->device.get(), object, irp);
}

NTSTATUS dispatch_internal_control(PDEVICE_OBJECT object, PIRP irp) {
    Extension* ext = ext_of(object);
    if (ext->parent) return pass_down(ext->parent->lower, irp);
    if (ext->child->removed) return complete_irp(irp, STATUS_DELETE_PENDING);
    return submit(ext->child->device, ext->child->interface, irp);
}

NTSTATUS dispatch_system_control(PDEVICE_OBJECT object, PIRP irp) {
    Extension* ext = ext_of(object);
    if (ext->parent) return pass_down(ext->parent->lower, irp);
    return keep_irp(irp);
}

NTSTATUS composite_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(state().mutex);
        for (auto& [port, d] : state().devices)
            if (d->pdo == pdo) device = d;
    }
    if (!device) return STATUS_NO_SUCH_DEVICE; // not a device of this hub
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* self = new Parent;
    self->device = device;
    ext_of(fdo)->parent = self;
    ext_of(fdo)->child = nullptr;
    self->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!self->lower) {
        delete self;
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS composite_driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    install_dispatch(driver, composite_add_device, dispatch_pnp, dispatch_power, dispatch_internal_control,
                     dispatch_system_control);
    return STATUS_SUCCESS;
}

} // namespace hvsim::usb::detail
