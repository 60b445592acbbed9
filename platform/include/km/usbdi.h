// The USB driver interface: URBs, pipe and interface information, and the stack's control codes.
#pragma once

#include <usb.h>
#include <usbioctl.h>

// Versions USBD_GetUSBDIVersion reports.
#define USBDI_VERSION 0x00000600
#define USB_SUPPORTED_VERSION 0x00000200
