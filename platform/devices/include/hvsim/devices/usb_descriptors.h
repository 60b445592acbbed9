// Building USB descriptors and answering the standard requests of chapter 9 for any device model.
#pragma once

#include <hvsim/devices/usb_device_model.h>

#include <cstdint>
#include <set>
#include <span>
#include <string_view>
#include <vector>

namespace hvsim::devices {

inline constexpr std::uint8_t kDescriptorDevice = 1;
inline constexpr std::uint8_t kDescriptorConfiguration = 2;
inline constexpr std::uint8_t kDescriptorString = 3;
inline constexpr std::uint8_t kDescriptorInterface = 4;
inline constexpr std::uint8_t kDescriptorEndpoint = 5;
inline constexpr std::uint8_t kEndpointBulk = 2;
inline constexpr std::uint16_t kLanguageEnglishUs = 0x0409;

struct DeviceDescriptorFields {
    std::uint16_t bcd_usb = 0x0200;
    std::uint8_t device_class = 0;
    std::uint8_t device_subclass = 0;
    std::uint8_t device_protocol = 0;
    std::uint8_t max_packet_size0 = 8;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint16_t bcd_device = 0;
    std::uint8_t manufacturer_index = 1;
    std::uint8_t product_index = 2;
    std::uint8_t serial_index = 3;
    std::uint8_t configurations = 1;
};

struct EndpointFields {
    std::uint8_t address = 0;
    std::uint8_t attributes = kEndpointBulk;
    std::uint16_t max_packet_size = 64;
    std::uint8_t interval = 0;
};

struct InterfaceFields {
    std::uint8_t number = 0;
    std::uint8_t alternate = 0;
    std::uint8_t interface_class = 0xFF;
    std::uint8_t interface_subclass = 0xFF;
    std::uint8_t interface_protocol = 0xFF;
    std::uint8_t string_index = 0;
    std::vector<EndpointFields> endpoints;
};

struct ConfigurationFields {
    std::uint8_t value = 1;
    std::uint8_t string_index = 0;
    std::uint8_t attributes = 0x80; // bus powered
    std::uint8_t max_power_2ma = 50;
    std::vector<InterfaceFields> interfaces;
};

std::vector<std::uint8_t> make_device_descriptor(const DeviceDescriptorFields& fields);
std::vector<std::uint8_t> make_configuration_descriptor(const ConfigurationFields& fields);
std::vector<std::uint8_t> make_string_descriptor(std::u16string_view text);
std::vector<std::uint8_t> make_language_descriptor(std::uint16_t language = kLanguageEnglishUs);
// The text of a string descriptor (for logs and tests).
std::u16string string_descriptor_text(std::span<const std::uint8_t> descriptor);

// The device's side of the standard requests: address, configuration, endpoint halts.
class StandardRequests {
public:
    explicit StandardRequests(const UsbDescriptorSet& descriptors);

    ControlResult handle(const SetupPacket& setup, std::span<std::uint8_t> data);

    bool configured() const { return configuration_ != 0; }
    std::uint8_t configuration() const { return configuration_; }
    std::uint8_t address() const { return address_; }
    bool endpoint_exists(std::uint8_t endpoint) const { return endpoints_.contains(endpoint); }
    bool halted(std::uint8_t endpoint) const { return halted_.contains(endpoint); }
    // What a port reset clears.
    void clear_halts() { halted_.clear(); }

private:
    ControlResult get_descriptor(const SetupPacket& setup, std::span<std::uint8_t> data) const;

    const UsbDescriptorSet* descriptors_;
    std::uint8_t configuration_value_ = 1;
    std::uint8_t config_attributes_ = 0;
    std::set<std::uint8_t> interfaces_;
    std::set<std::uint8_t> endpoints_;
    std::set<std::uint8_t> halted_;
    std::uint8_t address_ = 0;
    std::uint8_t configuration_ = 0;
    bool remote_wakeup_ = false;
};

} // namespace hvsim::devices
