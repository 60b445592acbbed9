// URB processing: what each URB function asks of the device, checked at submission and run by the
// controller thread. Functions, the transfer they become, and their checks:
//
//   SELECT_CONFIGURATION / SELECT_INTERFACE   pipes and interfaces of the configuration
//   CONTROL_TRANSFER(_EX), GET/SET_DESCRIPTOR_*, GET_STATUS_*, SET/CLEAR_FEATURE_*,
//   VENDOR_* / CLASS_*, GET_CONFIGURATION, GET_INTERFACE
//                                             a control transfer on the default pipe
//   BULK_OR_INTERRUPT_TRANSFER                a transfer on a pipe of the configuration
//   ABORT_PIPE, SYNC_RESET_PIPE(_AND_CLEAR_STALL), SYNC_CLEAR_STALL, GET_CURRENT_FRAME_NUMBER
//                                             pipe operations, done ahead of the queues
#include "usb_internal.h"

#include <algorithm>
#include <cstring>

namespace hvsim::usb::detail {
namespace {

using devices::SetupPacket;
using devices::UsbStatus;

constexpr int kDefaultPipe = 0x100;

struct ControlShape {
    USHORT function;
    UCHAR type;      // BMREQUEST_STANDARD, _CLASS, _VENDOR
    UCHAR recipient; // BMREQUEST_TO_DEVICE...
};

constexpr ControlShape kControlShapes[] = {
    {URB_FUNCTION_VENDOR_DEVICE, BMREQUEST_VENDOR, BMREQUEST_TO_DEVICE},
    {URB_FUNCTION_VENDOR_INTERFACE, BMREQUEST_VENDOR, BMREQUEST_TO_INTERFACE},
    {URB_FUNCTION_VENDOR_ENDPOINT, BMREQUEST_VENDOR, BMREQUEST_TO_ENDPOINT},
    {URB_FUNCTION_VENDOR_OTHER, BMREQUEST_VENDOR, BMREQUEST_TO_OTHER},
    {URB_FUNCTION_CLASS_DEVICE, BMREQUEST_CLASS, BMREQUEST_TO_DEVICE},
    {URB_FUNCTION_CLASS_INTERFACE, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE},
    {URB_FUNCTION_CLASS_ENDPOINT, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT},
    {URB_FUNCTION_CLASS_OTHER, BMREQUEST_CLASS, BMREQUEST_TO_OTHER},
};

struct StandardShape {
    USHORT function;
    UCHAR request;
    UCHAR recipient;
    bool in;
};

constexpr StandardShape kStandardShapes[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_REQUEST_GET_DESCRIPTOR, BMREQUEST_TO_DEVICE, true},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, USB_REQUEST_GET_DESCRIPTOR, BMREQUEST_TO_INTERFACE, true},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, USB_REQUEST_GET_DESCRIPTOR, BMREQUEST_TO_ENDPOINT, true},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, USB_REQUEST_SET_DESCRIPTOR, BMREQUEST_TO_DEVICE, false},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, USB_REQUEST_SET_DESCRIPTOR, BMREQUEST_TO_INTERFACE, false},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, USB_REQUEST_SET_DESCRIPTOR, BMREQUEST_TO_ENDPOINT, false},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, USB_REQUEST_GET_STATUS, BMREQUEST_TO_DEVICE, true},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, USB_REQUEST_GET_STATUS, BMREQUEST_TO_INTERFACE, true},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, USB_REQUEST_GET_STATUS, BMREQUEST_TO_ENDPOINT, true},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, USB_REQUEST_GET_STATUS, BMREQUEST_TO_OTHER, true},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_REQUEST_SET_FEATURE, BMREQUEST_TO_DEVICE, false},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, USB_REQUEST_SET_FEATURE, BMREQUEST_TO_INTERFACE, false},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, USB_REQUEST_SET_FEATURE, BMREQUEST_TO_ENDPOINT, false},
    {URB_FUNCTION_SET_FEATURE_TO_OTHER, USB_REQUEST_SET_FEATURE, BMREQUEST_TO_OTHER, false},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_DEVICE, false},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_INTERFACE, false},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_ENDPOINT, false},
    {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, USB_REQUEST_CLEAR_FEATURE, BMREQUEST_TO_OTHER, false},
    {URB_FUNCTION_GET_CONFIGURATION, USB_REQUEST_GET_CONFIGURATION, BMREQUEST_TO_DEVICE, true},
    {URB_FUNCTION_GET_INTERFACE, USB_REQUEST_GET_INTERFACE, BMREQUEST_TO_INTERFACE, true},
};

UCHAR request_type(bool in, UCHAR type, UCHAR recipient) { return (UCHAR)((in ? 0x80 : 0) | type << 5 | recipient); }

// The data buffer of a transfer: TransferBuffer, else the MDL's system address.
bool take_buffer(Transfer& t, PVOID buffer, struct _MDL* mdl, ULONG length) {
    t.length = length;
    t.buffer = (PUCHAR)buffer;
    if (!t.buffer && mdl) t.buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    return t.buffer || length == 0;
}

USBD_STATUS prepare_control(Transfer& t) {
    const USHORT function = t.urb->UrbHeader.Function;
    auto& c = t.urb->UrbControlVendorClassRequest; // the common head of the control layouts
    for (const ControlShape& shape : kControlShapes) {
        if (shape.function != function) continue;
        t.in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (!take_buffer(t, c.TransferBuffer, c.TransferBufferMDL, c.TransferBufferLength) ||
            c.TransferBufferLength > 0xFFFF)
            return USBD_STATUS_INVALID_PARAMETER;
        t.setup.request_type = (UCHAR)(request_type(t.in, shape.type, shape.recipient) | c.RequestTypeReservedBits);
        t.setup.request = c.Request;
        t.setup.value = c.Value;
        t.setup.index = c.Index;
        t.setup.length = (USHORT)c.TransferBufferLength;
        return USBD_STATUS_SUCCESS;
    }
    for (const StandardShape& shape : kStandardShapes) {
        if (shape.function != function) continue;
        t.in = shape.in;
        t.setup.request_type = request_type(shape.in, BMREQUEST_STANDARD, shape.recipient);
        t.setup.request = shape.request;
        if (shape.request == USB_REQUEST_GET_DESCRIPTOR || shape.request == USB_REQUEST_SET_DESCRIPTOR) {
            auto& d = t.urb->UrbControlDescriptorRequest;
            if (!take_buffer(t, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength) ||
                d.TransferBufferLength > 0xFFFF)
                return USBD_STATUS_INVALID_PARAMETER;
            t.setup.value = (USHORT)(d.DescriptorType << 8 | d.Index);
            t.setup.index = d.LanguageId;
        } else if (shape.request == USB_REQUEST_GET_STATUS) {
            auto& g = t.urb->UrbControlGetStatusRequest;
            if (!take_buffer(t, g.TransferBuffer, g.TransferBufferMDL, g.TransferBufferLength) ||
                g.TransferBufferLength < 2)
                return USBD_STATUS_INVALID_PARAMETER;
            t.length = 2;
            t.setup.index = g.Index;
        } else if (shape.request == USB_REQUEST_SET_FEATURE || shape.request == USB_REQUEST_CLEAR_FEATURE) {
            auto& f = t.urb->UrbControlFeatureRequest;
            t.length = 0;
            t.setup.value = f.FeatureSelector;
            t.setup.index = f.Index;
        } else if (shape.request == USB_REQUEST_GET_CONFIGURATION) {
            auto& g = t.urb->UrbControlGetConfigurationRequest;
            if (!take_buffer(t, g.TransferBuffer, g.TransferBufferMDL, g.TransferBufferLength) ||
                g.TransferBufferLength < 1)
                return USBD_STATUS_INVALID_PARAMETER;
            t.length = 1;
        } else {
            auto& g = t.urb->UrbControlGetInterfaceRequest;
            if (!take_buffer(t, g.TransferBuffer, g.TransferBufferMDL, g.TransferBufferLength) ||
                g.TransferBufferLength < 1)
                return USBD_STATUS_INVALID_PARAMETER;
            t.length = 1;
            t.setup.index = g.Interface;
        }
        t.setup.length = (USHORT)t.length;
        return USBD_STATUS_SUCCESS;
    }
    return USBD_STATUS_INVALID_URB_FUNCTION;
}

// The least Hdr.Length each function needs.
size_t minimum_length(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE: return sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    default: return sizeof(struct _URB_CONTROL_TRANSFER);
    }
}

// Fills one interface record of a select request from the pipes of the configuration.
USBD_STATUS fill_interface(Device& d, USBD_INTERFACE_INFORMATION* info, size_t room) {
    const InterfaceDesc* desc = nullptr;
    for (const InterfaceDesc& i : d.interfaces)
        if (i.number == info->InterfaceNumber && i.alternate == info->AlternateSetting) desc = &i;
    if (!desc) return USBD_STATUS_INTERFACE_NOT_FOUND;
    size_t needed =
        offsetof(USBD_INTERFACE_INFORMATION, Pipes) + desc->endpoints.size() * sizeof(USBD_PIPE_INFORMATION);
    if (info->Length < needed || room < needed) return USBD_STATUS_BUFFER_TOO_SMALL;
    Interface* handle = nullptr;
    for (Interface* i : d.current_interfaces)
        if (i->number == desc->number && i->alternate == desc->alternate) handle = i;
    if (!handle) return USBD_STATUS_INTERFACE_NOT_FOUND;
    info->Class = desc->cls;
    info->SubClass = desc->subclass;
    info->Protocol = desc->protocol;
    info->Reserved = 0;
    info->InterfaceHandle = handle;
    info->NumberOfPipes = (ULONG)desc->endpoints.size();
    size_t k = 0;
    for (Pipe* p : d.current_pipes) {
        if (p->interface != desc->number || k >= desc->endpoints.size()) continue;
        USBD_PIPE_INFORMATION& pipe = info->Pipes[k++];
        pipe.MaximumPacketSize = p->endpoint.max_packet;
        pipe.EndpointAddress = p->endpoint.address;
        pipe.Interval = p->endpoint.interval;
        pipe.PipeType = (USBD_PIPE_TYPE)(p->endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
        pipe.PipeHandle = p;
    }
    return USBD_STATUS_SUCCESS;
}

// Transfers on pipes that a new configuration or setting replaces end as cancelled.
void cancel_transfers_on(Device& d, const std::vector<Pipe*>& pipes) {
    for (auto& [queue, list] : d.queues)
        for (Transfer* t : list)
            if (t->pipe && std::find(pipes.begin(), pipes.end(), t->pipe) != pipes.end()) t->cancelled = true;
}

USBD_STATUS select_configuration(Transfer& t, int64_t now) {
    Device& d = *t.device;
    auto& select = t.urb->UrbSelectConfiguration;
    if (!select.ConfigurationDescriptor) {
        // A composite child does not unconfigure its siblings' device.
        if (t.interface >= 0) return USBD_STATUS_SUCCESS;
        devices::SetupPacket setup;
        setup.request = USB_REQUEST_SET_CONFIGURATION;
        d.model->control(setup, {}, now);
        cancel_transfers_on(d, d.current_pipes);
        unconfigure(d);
        return USBD_STATUS_SUCCESS;
    }
    if (select.ConfigurationDescriptor->bConfigurationValue != d.configuration[5])
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    if (t.interface < 0 || !d.configuration_value) {
        std::vector<Pipe*> old = d.current_pipes;
        USBD_STATUS status = configure_whole_device(d);
        if (status) return status;
        cancel_transfers_on(d, old);
    }
    const size_t total = t.urb->UrbHeader.Length;
    size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    while (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= total) {
        auto* info = (USBD_INTERFACE_INFORMATION*)((PUCHAR)t.urb + offset);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) return USBD_STATUS_INVALID_PARAMETER;
        if (t.interface >= 0 && info->InterfaceNumber != t.interface) return USBD_STATUS_INTERFACE_NOT_FOUND;
        USBD_STATUS status = fill_interface(d, info, total - offset);
        if (status) return status;
        offset += info->Length;
    }
    select.ConfigurationHandle = d.configuration_handle;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS select_interface(Transfer& t, int64_t now) {
    Device& d = *t.device;
    auto& select = t.urb->UrbSelectInterface;
    USBD_INTERFACE_INFORMATION* info = &select.Interface;
    if (!d.configuration_value || select.ConfigurationHandle != d.configuration_handle)
        return USBD_STATUS_INVALID_PARAMETER;
    if (t.interface >= 0 && info->InterfaceNumber != t.interface) return USBD_STATUS_INTERFACE_NOT_FOUND;
    const InterfaceDesc* desc = nullptr;
    for (const InterfaceDesc& i : d.interfaces)
        if (i.number == info->InterfaceNumber && i.alternate == info->AlternateSetting) desc = &i;
    if (!desc) return USBD_STATUS_INTERFACE_NOT_FOUND;
    devices::SetupPacket setup;
    setup.request_type = request_type(false, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE);
    setup.request = USB_REQUEST_SET_INTERFACE;
    setup.value = desc->alternate;
    setup.index = desc->number;
    if (d.model->control(setup, {}, now).status != UsbStatus::ok) return USBD_STATUS_STALL_PID;
    std::vector<Pipe*> old;
    for (Pipe* p : d.current_pipes)
        if (p->interface == desc->number) old.push_back(p);
    cancel_transfers_on(d, old);
    std::erase_if(d.current_pipes, [&](Pipe* p) { return p->interface == desc->number; });
    std::erase_if(d.current_interfaces, [&](Interface* i) { return i->number == desc->number; });
    d.all_interfaces.push_back({desc->number, desc->alternate});
    d.current_interfaces.push_back(&d.all_interfaces.back());
    for (const EndpointDesc& e : desc->endpoints) {
        d.all_pipes.push_back({desc->number, desc->alternate, e});
        d.current_pipes.push_back(&d.all_pipes.back());
        d.halted.erase(e.address);
    }
    size_t room = t.urb->UrbHeader.Length - offsetof(struct _URB_SELECT_INTERFACE, Interface);
    return fill_interface(d, info, room);
}

USBD_STATUS of_model(UsbStatus status) {
    switch (status) {
    case UsbStatus::ok: return USBD_STATUS_SUCCESS;
    case UsbStatus::babble: return USBD_STATUS_BABBLE_DETECTED;
    default: return USBD_STATUS_STALL_PID;
    }
}

bool perform_bulk(Transfer& t, std::unique_lock<std::mutex>& lock, int64_t now, USBD_STATUS* status) {
    Device& d = *t.device;
    const UCHAR endpoint = t.pipe->endpoint.address;
    if (d.halted[endpoint]) {
        *status = USBD_STATUS_ENDPOINT_HALTED;
        return true;
    }
    if (t.length == 0) return true;
    // A lane of the device's own makes the call without the stack's lock, so that its submitters
    // and the other lanes go on meanwhile: only this lane finishes the transfer, and its client
    // leaves the buffer alone while it is pending. The shared lane's calls are short (paced) and
    // keep the lock rather than hand it back and forth.
    const std::shared_ptr<devices::UsbDeviceModel> model = d.model;
    const bool own_lane = owns_lane(d);
    auto unlocked = [&lock, own_lane](auto call) {
        if (!own_lane) return call();
        lock.unlock();
        auto result = call();
        lock.lock();
        return result;
    };
    UsbStatus outcome;
    if (t.in) {
        auto result = unlocked([&] { return model->poll(endpoint, std::span<uint8_t>(t.buffer, t.length), now); });
        t.polled = true;
        if (result.status == UsbStatus::pending) return false;
        if (result.status == UsbStatus::ok) {
            t.done = (ULONG)std::min<size_t>(result.length, t.length);
            return true;
        }
        outcome = result.status;
    } else {
        auto result = unlocked([&] {
            return model->offer(endpoint, std::span<const uint8_t>(t.buffer + t.done, t.length - t.done), now);
        });
        if (result.status == UsbStatus::pending) return false;
        if (result.status == UsbStatus::ok) {
            t.done += (ULONG)std::min<size_t>(result.length, t.length - t.done);
            return t.done == t.length;
        }
        outcome = result.status;
    }
    // A stall or babble halts the endpoint until the client resets the pipe.
    d.halted[endpoint] = true;
    *status = of_model(outcome);
    return true;
}

} // namespace

USBD_STATUS prepare(Transfer& t) {
    Device& d = *t.device;
    const USHORT function = t.urb->UrbHeader.Function;
    if (t.urb->UrbHeader.Length < minimum_length(function)) return USBD_STATUS_INVALID_PARAMETER;
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: t.op = Op::select_configuration; return USBD_STATUS_SUCCESS;
    case URB_FUNCTION_SELECT_INTERFACE: t.op = Op::select_interface; return USBD_STATUS_SUCCESS;
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: t.op = Op::frame_number; return USBD_STATUS_SUCCESS;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        t.op = function == URB_FUNCTION_ABORT_PIPE         ? Op::abort_pipe
               : function == URB_FUNCTION_SYNC_CLEAR_STALL ? Op::clear_stall
                                                           : Op::reset_pipe;
        t.pipe = d.pipe_of(t.urb->UrbPipeRequest.PipeHandle, t.interface);
        if (!t.pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
        if (function == URB_FUNCTION_SYNC_RESET_PIPE)
            t.setup.request = 0; // no CLEAR_FEATURE to the device
        else
            t.setup.request = USB_REQUEST_CLEAR_FEATURE;
        return USBD_STATUS_SUCCESS;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& b = t.urb->UrbBulkOrInterruptTransfer;
        t.op = Op::bulk;
        t.pipe = d.pipe_of(b.PipeHandle, t.interface);
        if (!t.pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
        UCHAR type = t.pipe->endpoint.attributes & USB_ENDPOINT_TYPE_MASK;
        if (type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT)
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        t.in = USB_ENDPOINT_DIRECTION_IN(t.pipe->endpoint.address) != 0;
        t.queue = t.pipe->endpoint.address;
        if (!take_buffer(t, b.TransferBuffer, b.TransferBufferMDL, b.TransferBufferLength))
            return USBD_STATUS_INVALID_PARAMETER;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_CONTROL_TRANSFER_EX: {
        auto& c = t.urb->UrbControlTransfer;
        if (c.PipeHandle && !(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) return USBD_STATUS_INVALID_PIPE_HANDLE;
        t.in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (!take_buffer(t, c.TransferBuffer, c.TransferBufferMDL, c.TransferBufferLength))
            return USBD_STATUS_INVALID_PARAMETER;
        const UCHAR* setup =
            function == URB_FUNCTION_CONTROL_TRANSFER ? c.SetupPacket : t.urb->UrbControlTransferEx.SetupPacket;
        t.setup.request_type = setup[0];
        t.setup.request = setup[1];
        t.setup.value = (USHORT)(setup[2] | setup[3] << 8);
        t.setup.index = (USHORT)(setup[4] | setup[5] << 8);
        t.setup.length = (USHORT)std::min<ULONG>(t.length, 0xFFFF);
        if (((setup[0] & 0x80) != 0) != t.in) return USBD_STATUS_INVALID_PARAMETER;
        t.op = Op::control;
        return USBD_STATUS_SUCCESS;
    }
    default: t.op = Op::control; return prepare_control(t);
    }
}

bool perform(Transfer& t, std::unique_lock<std::mutex>& lock, int64_t now, USBD_STATUS* status) {
    Device& d = *t.device;
    *status = USBD_STATUS_SUCCESS;
    switch (t.op) {
    case Op::select_configuration: *status = select_configuration(t, now); return true;
    case Op::select_interface: *status = select_interface(t, now); return true;
    case Op::bulk: return perform_bulk(t, lock, now, status);
    case Op::abort_pipe: return true;
    case Op::reset_pipe:
    case Op::clear_stall: {
        if (t.setup.request == USB_REQUEST_CLEAR_FEATURE) {
            devices::SetupPacket setup;
            setup.request_type = request_type(false, BMREQUEST_STANDARD, BMREQUEST_TO_ENDPOINT);
            setup.request = USB_REQUEST_CLEAR_FEATURE;
            setup.value = USB_FEATURE_ENDPOINT_STALL;
            setup.index = t.pipe->endpoint.address;
            d.model->control(setup, {}, now);
        }
        if (t.op == Op::reset_pipe || t.setup.request == USB_REQUEST_CLEAR_FEATURE)
            d.halted.erase(t.pipe->endpoint.address);
        return true;
    }
    case Op::frame_number:
        t.urb->UrbGetCurrentFrameNumber.FrameNumber = (ULONG)(now / sched::kTicksPerMillisecond);
        return true;
    case Op::reset_port:
        d.model->port_reset(now);
        d.halted.clear();
        return true;
    case Op::control: break;
    }
    // A composite child sees a configuration of its own interface only.
    if (t.interface >= 0 && t.setup.request == USB_REQUEST_GET_DESCRIPTOR && (t.setup.request_type & 0x7F) == 0 &&
        t.setup.value >> 8 == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        std::vector<uint8_t> own = child_configuration(d.configuration, (UCHAR)t.interface);
        t.done = (ULONG)std::min<size_t>(own.size(), t.length);
        std::memcpy(t.buffer, own.data(), t.done);
        return true;
    }
    std::span<uint8_t> data(t.buffer, t.length);
    auto result = d.model->control(t.setup, data, now);
    if (result.status != UsbStatus::ok) {
        *status = of_model(result.status);
        return true;
    }
    t.done = t.in ? (ULONG)std::min<size_t>(result.length, t.length) : t.length;
    return true;
}

NTSTATUS irp_status_of(USBD_STATUS status) {
    switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_HANDLE;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
    default: return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

void finish_urb(Transfer& t, USBD_STATUS status) {
    if (!t.urb) return;
    t.urb->UrbHeader.Status = status;
    if (t.op == Op::bulk || t.op == Op::control) {
        // Every control layout and the bulk layout keep TransferBufferLength at one offset.
        static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
                      offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength));
        static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) ==
                      offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength));
        static_assert(offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength) ==
                      offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength));
        t.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t.done;
    }
}

} // namespace hvsim::usb::detail
