// The drivers' settings protocol as a client sees it: the interface GUIDs, the six control codes
// and the request header. Only the base types, so that user-mode programs include it as it is.
#pragma once

#include <basetsd.h>
#include <guiddef.h>

// {6E3A91C4-52D7-4F08-9B1E-3C7D20A5F146}: the port driver's interface, the one clients open.
inline constexpr GUID GUID_HVGENDRV_PORT_INTERFACE = {
    0x6E3A91C4, 0x52D7, 0x4F08, {0x9B, 0x1E, 0x3C, 0x7D, 0x20, 0xA5, 0xF1, 0x46}};
// {1F74C2D9-8E05-4A63-B7C1-9D2E46F083A5}: the bus driver's interface.
inline constexpr GUID GUID_HVGENDRV_BUS_INTERFACE = {
    0x1F74C2D9, 0x8E05, 0x4A63, {0xB7, 0xC1, 0x9D, 0x2E, 0x46, 0xF0, 0x83, 0xA5}};

// Device type 0x8001, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS.
#define PM_HVGENDRV_CONTROL_CODE(function) ((0x8001u << 16) | (3u << 14) | ((ULONG)(function) << 2) | 0u)
#define IOCTL_HVGENDRV_GET_SIZE PM_HVGENDRV_CONTROL_CODE(0x800)          // 0x8001E000
#define IOCTL_HVGENDRV_GET PM_HVGENDRV_CONTROL_CODE(0x801)               // 0x8001E004
#define IOCTL_HVGENDRV_SET PM_HVGENDRV_CONTROL_CODE(0x802)               // 0x8001E008
#define IOCTL_HVGENDRV_RESTORE_DEFAULTS PM_HVGENDRV_CONTROL_CODE(0x803)  // 0x8001E00C
#define IOCTL_HVGENDRV_GET_DEFAULTS_SIZE PM_HVGENDRV_CONTROL_CODE(0x804) // 0x8001E010
#define IOCTL_HVGENDRV_GET_DEFAULTS PM_HVGENDRV_CONTROL_CODE(0x805)      // 0x8001E014

// The set index that names the device's default index (1).
#define PM_USER_MODE_DEFAULT_INDEX 0xFFFFFFFFu

// The first 8 bytes of every request's input.
struct PmUserModeRequestHeader {
    // 0: this device's set; n > 0: the set of the device n levels up.
    ULONG m_ulSelector;
    // PM_USER_MODE_DEFAULT_INDEX or the index of the set key ("UI" + index).
    ULONG m_ulSetIndex;
};

static_assert(sizeof(PmUserModeRequestHeader) == 8, "request header layout");

// Reference strings of the interface begin with this prefix (compared without regard to case).
#define PM_USER_MODE_REFERENCE_PREFIX "HVGENDRV_"
