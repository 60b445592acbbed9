// C++ API of the stand-in USB stack, for the machine and for tests.
//
// One host controller with its root hub is a root-enumerated device ("ROOT\USB_HOST") whose
// built-in driver is the bus driver of every plugged device: a PDO per device with the IDs that
// Windows builds from the descriptors, and for a device with several interfaces a built-in
// composite parent with one child PDO per interface ("&MI_nn"). URBs complete from the
// controller's own thread at DISPATCH_LEVEL; every URB is logged, and any URB can be made to
// fail with a chosen USBD status, to stay pending until cancelled, or to start late.
#pragma once

#include <basetsd.h>

#include <hvsim/devices/usb_device_model.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hvsim::usb {

// The hardware ID of the host controller's root device and its built-in services.
inline constexpr const char16_t* kHostHardwareId = u"ROOT\\USB_HOST";
inline constexpr const char16_t* kHostService = u"usbhost";
inline constexpr const char16_t* kCompositeService = u"usbccgp";

// Creates the host controller's root device when the registry does not list it yet and waits
// until the tree is quiet. Needs a running PnP tree.
void install_host_controller();

// ---- Plugging ------------------------------------------------------------------------------

// The ports of the root hub: one device each.
inline constexpr ULONG kRootHubPortCount = 16;

// Plugs a device into the first free root-hub port (1-based) and has the hub report it. The
// stack keeps the model until the device is unplugged and its PDO is gone. Returns the port.
ULONG plug(std::shared_ptr<devices::UsbDeviceModel> model, std::string label = {});
// Surprise removal: the device's transfers end at once with STATUS_DEVICE_NOT_CONNECTED and
// USBD_STATUS_DEVICE_GONE, later ones too, and the hub no longer reports it. False when nothing
// is plugged into the port.
bool unplug(ULONG port);

struct InterfaceInfo {
    UCHAR number = 0;
    std::u16string instance_id; // of the composite child; empty for a single-interface device
};

struct DeviceInfo {
    ULONG port = 0;
    std::string label;
    USHORT vendor_id = 0;
    USHORT product_id = 0;
    USHORT bcd_device = 0;
    std::u16string serial;
    std::u16string instance_id; // empty until the PnP manager has seen the PDO
    bool configured = false;
    std::vector<InterfaceInfo> interfaces;
};
// Devices plugged now, by port.
std::vector<DeviceInfo> devices();

// ---- The URB log ---------------------------------------------------------------------------

struct UrbRecord {
    uint64_t serial = 0;    // 1 for the first URB since boot
    int64_t submitted = 0;  // machine time (100-ns ticks)
    int64_t completed = -1; // -1 while pending
    ULONG port = 0;
    int interface = -1;     // the composite child that sent it; -1 for the whole device
    USHORT function = 0;    // URB_FUNCTION_..., or kResetPortRecord for a port reset
    bool in = false;        // direction of the data stage
    UCHAR request_type = 0; // bmRequestType of a control transfer
    UCHAR request = 0;
    USHORT value = 0;
    USHORT index = 0;
    ULONG length = 0;      // requested
    ULONG transferred = 0; // at completion
    UCHAR endpoint = 0;    // of a pipe; 0 for the default pipe
    LONG status = 0;       // USBD_STATUS at completion
    LONG irp_status = 0;   // NTSTATUS at completion
    std::string fault;     // the fault injected into it, if any

    // "port 1 if 0 #12 VENDOR_INTERFACE OUT req=0x03 value=0x001A index=0x0001 len=0 ep=0x00 -> ..."
    std::string text() const;
};

// The port reset (IOCTL_INTERNAL_USB_RESET_PORT) in the log.
inline constexpr USHORT kResetPortRecord = 0xFFFF;

// The log keeps the most recent records (a ring of some hundred thousand).
std::vector<UrbRecord> urb_log();
void clear_urb_log();
// The name of an URB function ("VENDOR_INTERFACE").
std::string function_name(USHORT function);

// ---- Fault injection -------------------------------------------------------------------------

// Which URBs a rule applies to: every field that is set must match.
struct UrbMatch {
    std::optional<ULONG> port;
    std::optional<int> interface;   // -1: sent to the whole device
    std::optional<USHORT> function; // URB_FUNCTION_... (kResetPortRecord: port resets)
    std::optional<UCHAR> endpoint;  // bulk: the pipe's endpoint address
    std::optional<UCHAR> request;   // control transfers: bRequest
    std::optional<bool> in;
    ULONG skip = 0;  // matching URBs to let through first
    ULONG count = 1; // URBs to affect then; 0 for every one from then on
};

enum class FaultKind {
    fail,  // complete with `status` without reaching the device
    hold,  // stay pending until cancelled (or the device goes)
    delay, // reach the device `delay` ticks later
};

struct UrbFault {
    FaultKind kind = FaultKind::fail;
    LONG status = 0;   // USBD_STATUS for fail
    int64_t delay = 0; // machine ticks for delay
};

// Adds a rule; rules are tried in the order added and the first that applies wins.
void inject(const UrbMatch& match, const UrbFault& fault);
void clear_faults();
// Injected faults applied so far.
uint64_t injected_count();

// The next `count` device SET_POWER requests to the port's device PDO (or a composite child of
// it) fail with `status`.
void fail_device_power(ULONG port, LONG status, ULONG count = 1);

// ---- For tests -------------------------------------------------------------------------------

struct Counters {
    size_t pending = 0; // URBs submitted and not yet completed
    uint64_t completed = 0;
    uint64_t cancelled = 0;
};
Counters counters();

} // namespace hvsim::usb
