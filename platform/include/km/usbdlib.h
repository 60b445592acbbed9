// The USBD library: descriptor parsing, the select-configuration request, and the macros that
// build the common URBs.
#pragma once

#include <usbdi.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor; // NULL ends the list
    PUSBD_INTERFACE_INFORMATION Interface;         // set by USBD_CreateConfigurationRequestEx
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY has its x64 size");

// Bytes of an interface record with its pipes, and of the requests that carry them.
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                      \
    ((USHORT)(sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - \
              sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                          \
    ((USHORT)(sizeof(struct _URB_SELECT_CONFIGURATION) +                                             \
              ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                         \
              ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes)                                               \
    ((USHORT)(sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes) - 1) * sizeof(USBD_PIPE_INFORMATION)))

// ---------------------------------------------------------------------------------------------
// URB builders

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL, \
                                               transferBufferLength, transferFlags, link)                \
    do {                                                                                                  \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                              \
        (urb)->UrbHeader.Length = (length);                                                               \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                      \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                  \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                        \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                              \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                               \
    } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                            \
    do {                                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                   \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                      \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                            \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                  \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                  \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                          \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                          \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                   \
    } while (0)

// op: URB_FUNCTION_GET_STATUS_FROM_DEVICE, _INTERFACE, _ENDPOINT or _OTHER; two status bytes.
#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link)          \
    do {                                                                                            \
        (urb)->UrbHeader.Function = (op);                                                           \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);                   \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);                    \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);                  \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                        \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                          \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                         \
    } while (0)

// op: URB_FUNCTION_SET_FEATURE_TO_... or URB_FUNCTION_CLEAR_FEATURE_TO_...
#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)                              \
    do {                                                                                            \
        (urb)->UrbHeader.Function = (op);                                                           \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);                      \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);                        \
        (urb)->UrbControlFeatureRequest.Index = (index);                                            \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                                           \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                   \
    do {                                                                                            \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                              \
        (urb)->UrbHeader.Length = (length);                                                         \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);          \
    } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting) \
    do {                                                                                                     \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                           \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                           \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                             \
        (urb)->UrbSelectInterface.Interface.Length =                                                         \
            (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));             \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                               \
    } while (0)

// cmd: URB_FUNCTION_VENDOR_DEVICE, _INTERFACE, _ENDPOINT, _OTHER or a URB_FUNCTION_CLASS_...
#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value, index, \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)        \
    do {                                                                                             \
        (urb)->UrbHeader.Function = (cmd);                                                           \
        (urb)->UrbHeader.Length = (length);                                                          \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);           \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                 \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                       \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);                \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                     \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                         \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                         \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                         \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                        \
    } while (0)

// ---------------------------------------------------------------------------------------------
// Routines

HV_EXTERN_C_BEGIN

// The first descriptor of the type at or after StartPosition within the buffer; NULL when none
// (or when the descriptors run past the buffer).
HV_API PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                    LONG DescriptorType);

// The first interface descriptor at or after StartPosition that matches every criterion that is
// not -1; NULL when none.
HV_API PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                     PVOID StartPosition, LONG InterfaceNumber,
                                                                     LONG AlternateSetting, LONG InterfaceClass,
                                                                     LONG InterfaceSubClass, LONG InterfaceProtocol);
HV_API PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                   UCHAR InterfaceNumber, UCHAR AlternateSetting);

// A select-configuration URB from pool (the caller frees it with ExFreePool) for the interfaces
// of the list; each entry's Interface then points at its record in the URB, with every pipe's
// MaximumTransferSize set to USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE. NULL when the list names an
// interface outside the configuration or no memory is left.
HV_API PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                              PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
// The same for alternate setting 0 of every interface; *Size receives the URB's length.
HV_API PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Size);

// Bytes from the interface descriptor to the next interface descriptor (or BufferEnd).
HV_API ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd);

HV_API VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

HV_EXTERN_C_END
