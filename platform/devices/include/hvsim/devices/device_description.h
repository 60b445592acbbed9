// The text that describes an emulated adapter to plug, e.g.
//   ftdi
//   ftdi:interfaces=2,type=rs232/rs485,wire=loopback/pty
//   ftdi:vid=0x7A5C,pid=0x1002,rev=0x0700,interfaces=4,wire=null-modem,paced=off
// Keys: vid, pid, rev (hexadecimal, 0x optional), interfaces (1, 2 or 4), type (rs232, rs485 or
// rs422), wire (open, loopback, null-modem, pty), serial (the serial-number string), paced (on,
// off). type and wire take one value for every port or a list with one value per port, separated
// by '/'. null-modem ports of one device are cabled in pairs, in port order.
#pragma once

#include <hvsim/devices/ftdi_chip.h>
#include <hvsim/devices/usb_device_model.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::devices {

enum class Wire : std::uint8_t { open, loopback, null_modem, pty };

struct DeviceSpec {
    std::string model;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint16_t bcd_device = 0;
    int interfaces = 1;
    std::vector<PortType> types; // one per interface
    std::vector<Wire> wires;     // one per interface
    std::string serial;          // empty: the model's default
    bool paced = true;
};

// Parses a spec; on failure returns nothing and says why in *error.
std::optional<DeviceSpec> parse_device_spec(std::string_view text, std::string* error);
// The spec in full, in the form the parser reads.
std::string to_string(const DeviceSpec& spec);

// A device model the spec can name.
struct DeviceModelInfo {
    std::string_view name;
    bool (*valid_interfaces)(int interfaces);
    std::string_view interfaces_text; // for messages: "1, 2 or 4"
    // The product family's identity for a device with this many interfaces.
    void (*defaults)(int interfaces, DeviceSpec& spec);
    std::unique_ptr<UsbSerialDevice> (*make)(const DeviceSpec& spec, std::span<const std::uint16_t> eeprom);
};

const DeviceModelInfo* find_device_model(std::string_view name);

} // namespace hvsim::devices
