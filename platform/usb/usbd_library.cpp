// The USBD library that client drivers call, and the descriptor walking the stack shares with it.
//
//   USBD_ParseDescriptors USBD_ParseConfigurationDescriptorEx USBD_ParseConfigurationDescriptor
//   USBD_CreateConfigurationRequestEx USBD_CreateConfigurationRequest USBD_GetInterfaceLength
//   USBD_GetUSBDIVersion
#include "usb_internal.h"

#include <hvsim/pool.h>

#include <cstring>

namespace hvsim::usb::detail {
namespace {

// The next descriptor after p, or nullptr when p's length is broken or runs past end.
const UCHAR* next_descriptor(const UCHAR* p, const UCHAR* end) {
    if (end - p < 2 || p[0] < 2 || p[0] > end - p) return nullptr;
    return p + p[0];
}

// The descriptors of a configuration as its header bounds them; nullptr when the header is bad.
const UCHAR* configuration_end(const USB_CONFIGURATION_DESCRIPTOR* configuration) {
    if (!configuration || configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return nullptr;
    return (const UCHAR*)configuration + configuration->wTotalLength;
}

bool within(const void* p, const void* begin, const void* end) {
    return (const UCHAR*)p >= (const UCHAR*)begin && (const UCHAR*)p < (const UCHAR*)end;
}

} // namespace

std::vector<InterfaceDesc> parse_configuration(const std::vector<uint8_t>& configuration) {
    std::vector<InterfaceDesc> out;
    if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return out;
    const UCHAR* begin = configuration.data();
    const UCHAR* end = begin + configuration.size();
    InterfaceDesc* current = nullptr;
    for (const UCHAR* p = begin + begin[0]; p && p < end; p = next_descriptor(p, end)) {
        if (end - p < 2 || p[0] < 2 || p[0] > end - p) return {};
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            if (current) current->length = (size_t)(p - begin) - current->offset;
            auto* d = (const USB_INTERFACE_DESCRIPTOR*)p;
            out.push_back({d->bInterfaceNumber,
                           d->bAlternateSetting,
                           d->bInterfaceClass,
                           d->bInterfaceSubClass,
                           d->bInterfaceProtocol,
                           (size_t)(p - begin),
                           0,
                           {}});
            current = &out.back();
        } else if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR) && current) {
            USB_ENDPOINT_DESCRIPTOR d;
            std::memcpy(&d, p, sizeof d);
            current->endpoints.push_back({d.bEndpointAddress, d.bmAttributes, d.wMaxPacketSize, d.bInterval});
        }
    }
    if (current) current->length = configuration.size() - current->offset;
    return out;
}

std::vector<uint8_t> child_configuration(const std::vector<uint8_t>& configuration, UCHAR interface_number) {
    std::vector<uint8_t> out(configuration.begin(), configuration.begin() + sizeof(USB_CONFIGURATION_DESCRIPTOR));
    UCHAR alternates = 0;
    for (const InterfaceDesc& i : parse_configuration(configuration)) {
        if (i.number != interface_number) continue;
        out.insert(out.end(), configuration.begin() + i.offset, configuration.begin() + i.offset + i.length);
        ++alternates;
    }
    auto* header = (USB_CONFIGURATION_DESCRIPTOR*)out.data();
    USHORT total = (USHORT)out.size();
    std::memcpy(&header->wTotalLength, &total, sizeof total);
    header->bNumInterfaces = alternates ? 1 : 0;
    return out;
}

} // namespace hvsim::usb::detail

using namespace hvsim;
using namespace hvsim::usb::detail;

HV_EXTERN_C_BEGIN

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
    if (!DescriptorBuffer || !StartPosition) return nullptr;
    const UCHAR* end = (const UCHAR*)DescriptorBuffer + TotalLength;
    if (!within(StartPosition, DescriptorBuffer, end)) return nullptr;
    for (const UCHAR* p = (const UCHAR*)StartPosition; p && p < end; p = next_descriptor(p, end)) {
        if (end - p < 2 || p[0] < 2 || p[0] > end - p) return nullptr;
        if (p[1] == DescriptorType) return (PUSB_COMMON_DESCRIPTOR)p;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
    const UCHAR* end = configuration_end(ConfigurationDescriptor);
    if (!end) return nullptr;
    const UCHAR* p = StartPosition ? (const UCHAR*)StartPosition : (const UCHAR*)ConfigurationDescriptor;
    if (!within(p, ConfigurationDescriptor, end)) return nullptr;
    for (; p && p < end; p = next_descriptor(p, end)) {
        if (end - p < 2 || p[0] < 2 || p[0] > end - p) return nullptr;
        if (p[1] != USB_INTERFACE_DESCRIPTOR_TYPE || p[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
        auto* d = (PUSB_INTERFACE_DESCRIPTOR)p;
        if (InterfaceNumber != -1 && d->bInterfaceNumber != InterfaceNumber) continue;
        if (AlternateSetting != -1 && d->bAlternateSetting != AlternateSetting) continue;
        if (InterfaceClass != -1 && d->bInterfaceClass != InterfaceClass) continue;
        if (InterfaceSubClass != -1 && d->bInterfaceSubClass != InterfaceSubClass) continue;
        if (InterfaceProtocol != -1 && d->bInterfaceProtocol != InterfaceProtocol) continue;
        return d;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
    if (!InterfaceDescriptor || (PUCHAR)InterfaceDescriptor >= BufferEnd) return 0;
    const UCHAR* p = (const UCHAR*)InterfaceDescriptor;
    const UCHAR* first = p;
    ULONG length = 0;
    for (; p && p < BufferEnd; p = next_descriptor(p, BufferEnd)) {
        if (BufferEnd - p < 2 || p[0] < 2 || p[0] > BufferEnd - p) break;
        if (p != first && p[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        length += p[0];
    }
    return length;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    const UCHAR* end = configuration_end(ConfigurationDescriptor);
    if (!end || !InterfaceList) return nullptr;
    size_t interfaces = 0, pipes = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
        // An interface from elsewhere would make the request lie about the device.
        if (!within(e->InterfaceDescriptor, ConfigurationDescriptor, end) ||
            end - (const UCHAR*)e->InterfaceDescriptor < (ptrdiff_t)sizeof(USB_INTERFACE_DESCRIPTOR))
            return nullptr;
        ++interfaces;
        pipes += e->InterfaceDescriptor->bNumEndpoints;
    }
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface) +
                  interfaces * offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
    if (size > 0xFFFF) return nullptr;
    auto* urb = (PURB)pool::allocate(NonPagedPool, size, kUsbTag, __builtin_return_address(0));
    if (!urb) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* record = (PUCHAR)&urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
        auto* info = (PUSBD_INTERFACE_INFORMATION)record;
        UCHAR count = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = (USHORT)(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + count * sizeof(USBD_PIPE_INFORMATION));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = count;
        for (UCHAR p = 0; p < count; ++p) info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        e->Interface = info;
        record += info->Length;
    }
    return urb;
}

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Size) {
    if (Size) *Size = 0;
    const UCHAR* end = configuration_end(ConfigurationDescriptor);
    if (!end) return nullptr;
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (PUSB_INTERFACE_DESCRIPTOR d =
             USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
         d;
         d = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, (PUCHAR)d + d->bLength, -1, 0, -1, -1, -1)) {
        list.push_back({d, nullptr});
        if ((const UCHAR*)d + d->bLength >= end) break;
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list.data());
    if (urb && Size) *Size = urb->UrbHeader.Length;
    return urb;
}

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (!VersionInformation) return;
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = USB_SUPPORTED_VERSION;
}

HV_EXTERN_C_END
