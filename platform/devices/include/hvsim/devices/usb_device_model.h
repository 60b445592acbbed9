// The contract between the stand-in host controller and an emulated USB device.
//
// Time: every call carries the machine time (100-ns ticks). The model never reads a clock and
// never sleeps. After any call the controller asks next_deadline() and calls advance() when that
// time has come (later is fine: the model catches up with exact time stamps), in virtual or in
// real time.
//
// Transfers: control requests complete at once (control()). A bulk-OUT transfer is offered with
// offer(): the device takes what it can now and the controller offers the rest again after the
// next advance(). A bulk-IN transfer is polled with poll(): it completes or is "pending"; while it
// is pending the model keeps filling it, so the controller polls it again after every advance().
// An IN transfer that completes inside any call also fires the change callback. A finished
// transfer is no deadline: it waits for the poll. A cancelled IN transfer is reported with
// cancel(); the model keeps what it had gathered for it and delivers that in the next transfer.
//
// Threads: the controller serialises its calls into one model; the model also locks itself.
// Far ends that run threads of their own (the pseudo-terminal bridge) or other devices (a
// null-modem cable to another adapter) deliver through thread-safe queues and then invoke the
// change callback. That callback may therefore run on any thread, also from inside a call into
// another model: it must only wake the controller (set a flag, signal a condition variable) and
// never call into a model or wait for a lock held around model calls.
#pragma once

#include <hvsim/devices/far_end.h>
#include <hvsim/devices/machine_time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace hvsim::devices {

enum class UsbStatus : std::uint8_t {
    ok,
    pending, // bulk IN: not yet; bulk OUT: nothing taken now (NAK)
    stall,   // the request or the endpoint is refused
    babble,  // the device had more to send than the buffer holds
};

struct SetupPacket {
    std::uint8_t request_type = 0; // bmRequestType
    std::uint8_t request = 0;      // bRequest
    std::uint16_t value = 0;       // wValue
    std::uint16_t index = 0;       // wIndex
    std::uint16_t length = 0;      // wLength

    enum class Type : std::uint8_t { standard = 0, class_ = 1, vendor = 2, reserved = 3 };
    enum class Recipient : std::uint8_t { device = 0, interface = 1, endpoint = 2, other = 3 };

    bool device_to_host() const { return (request_type & 0x80) != 0; }
    Type type() const { return static_cast<Type>((request_type >> 5) & 3); }
    Recipient recipient() const { return static_cast<Recipient>(request_type & 0x1F); }
};

inline constexpr std::uint8_t kRequestTypeIn = 0x80;
inline constexpr std::uint8_t kRequestTypeVendor = 0x40;
inline constexpr std::uint8_t kRecipientInterface = 0x01;
inline constexpr std::uint8_t kRecipientEndpoint = 0x02;

struct ControlResult {
    UsbStatus status = UsbStatus::stall;
    std::size_t length = 0; // bytes returned (IN) or taken (OUT)
};

struct BulkResult {
    UsbStatus status = UsbStatus::stall;
    std::size_t length = 0; // bytes taken (OUT) or delivered (IN)
};

struct UsbDescriptorSet {
    std::vector<std::uint8_t> device;        // 18 bytes
    std::vector<std::uint8_t> configuration; // the whole configuration, wTotalLength bytes
    // strings[0] is the language list; strings[i] the string descriptor with index i.
    std::vector<std::vector<std::uint8_t>> strings;
};

class UsbDeviceModel {
public:
    using ChangeCallback = std::function<void()>;

    virtual ~UsbDeviceModel() = default;

    virtual const UsbDescriptorSet& descriptors() const = 0;

    // A control transfer on endpoint 0. For IN requests the model writes at most
    // min(setup.length, data.size()) bytes into data; for OUT requests data holds what the host
    // sent. Standard requests (descriptors, configuration, features) are answered here too; bulk
    // endpoints work only while configuration 1 is selected.
    virtual ControlResult control(const SetupPacket& setup, std::span<std::uint8_t> data, Ticks now) = 0;

    // Bulk OUT: takes whole packets while they fit (ok with the count taken); pending when nothing
    // fits now, and the controller offers again after the next advance().
    virtual BulkResult offer(std::uint8_t endpoint, std::span<const std::uint8_t> bytes, Ticks now) = 0;
    // Bulk IN: ok with the length of the completed transfer, or pending. Never ok with 0 bytes.
    virtual BulkResult poll(std::uint8_t endpoint, std::span<std::uint8_t> buffer, Ticks now) = 0;
    // The pending IN transfer on endpoint was cancelled by the host.
    virtual void cancel(std::uint8_t endpoint, Ticks now) = 0;

    // The hub reset the device's port and restored its address and configuration: endpoint halts
    // are cleared; port settings and buffered data stay.
    virtual void port_reset(Ticks now) = 0;

    // The earliest time at which advance() has something to do (kNever when nothing is due
    // without outside input).
    virtual Ticks next_deadline() const = 0;
    virtual void advance(Ticks now) = 0;

    virtual void set_change_callback(ChangeCallback callback) = 0;

    // Whether its data takes machine time (a line's pace); one that does not moves data as fast as
    // the host calls it, and the controller gives it a thread of its own (asked at the plug).
    virtual bool paced() const { return true; }
};

// A USB device whose functions are serial ports with connectors a far end plugs into.
class UsbSerialDevice : public UsbDeviceModel {
public:
    virtual std::size_t port_count() const = 0;
    // Plugs far_end into port (0-based), replacing what was there; nullptr leaves it open.
    virtual void attach(std::size_t port, std::shared_ptr<FarEnd> far_end, Ticks now) = 0;
    // Paces the transmitters at their baud rates (on), or lets characters arrive at once.
    virtual void set_paced(bool paced) = 0;
};

} // namespace hvsim::devices
