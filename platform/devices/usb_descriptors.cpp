#include <hvsim/devices/usb_descriptors.h>

#include <algorithm>
#include <cstring>

namespace hvsim::devices {

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

ControlResult answer(std::span<const std::uint8_t> reply, const SetupPacket& setup, std::span<std::uint8_t> data) {
    const std::size_t n = std::min({reply.size(), std::size_t(setup.length), data.size()});
    std::memcpy(data.data(), reply.data(), n);
    return {UsbStatus::ok, n};
}

constexpr ControlResult kStall{UsbStatus::stall, 0};
constexpr ControlResult kDone{UsbStatus::ok, 0};

enum : std::uint8_t {
    GET_STATUS = 0,
    CLEAR_FEATURE = 1,
    SET_FEATURE = 3,
    SET_ADDRESS = 5,
    GET_DESCRIPTOR = 6,
    GET_CONFIGURATION = 8,
    SET_CONFIGURATION = 9,
    GET_INTERFACE = 10,
    SET_INTERFACE = 11,
};
constexpr std::uint16_t kFeatureEndpointHalt = 0;
constexpr std::uint16_t kFeatureRemoteWakeup = 1;

} // namespace

std::vector<std::uint8_t> make_device_descriptor(const DeviceDescriptorFields& f) {
    std::vector<std::uint8_t> d{18, kDescriptorDevice};
    put16(d, f.bcd_usb);
    d.insert(d.end(), {f.device_class, f.device_subclass, f.device_protocol, f.max_packet_size0});
    put16(d, f.vendor_id);
    put16(d, f.product_id);
    put16(d, f.bcd_device);
    d.insert(d.end(), {f.manufacturer_index, f.product_index, f.serial_index, f.configurations});
    return d;
}

std::vector<std::uint8_t> make_configuration_descriptor(const ConfigurationFields& f) {
    std::vector<std::uint8_t> d{9,
                                kDescriptorConfiguration,
                                0,
                                0,
                                static_cast<std::uint8_t>(f.interfaces.size()),
                                f.value,
                                f.string_index,
                                f.attributes,
                                f.max_power_2ma};
    for (const auto& i : f.interfaces) {
        d.insert(d.end(),
                 {9, kDescriptorInterface, i.number, i.alternate, static_cast<std::uint8_t>(i.endpoints.size()),
                  i.interface_class, i.interface_subclass, i.interface_protocol, i.string_index});
        for (const auto& e : i.endpoints) {
            d.insert(d.end(), {7, kDescriptorEndpoint, e.address, e.attributes});
            put16(d, e.max_packet_size);
            d.push_back(e.interval);
        }
    }
    d[2] = static_cast<std::uint8_t>(d.size());
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

std::vector<std::uint8_t> make_string_descriptor(std::u16string_view text) {
    // bLength is one byte: at most 126 UTF-16 units fit.
    const std::size_t units = std::min<std::size_t>(text.size(), 126);
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * units), kDescriptorString};
    for (std::size_t i = 0; i < units; ++i) put16(d, static_cast<std::uint16_t>(text[i]));
    return d;
}

std::vector<std::uint8_t> make_language_descriptor(std::uint16_t language) {
    std::vector<std::uint8_t> d{4, kDescriptorString};
    put16(d, language);
    return d;
}

std::u16string string_descriptor_text(std::span<const std::uint8_t> d) {
    std::u16string text;
    const std::size_t length = d.empty() ? 0 : std::min<std::size_t>(d[0], d.size());
    for (std::size_t i = 2; i + 1 < length; i += 2) text.push_back(static_cast<char16_t>(d[i] | (d[i + 1] << 8)));
    return text;
}

StandardRequests::StandardRequests(const UsbDescriptorSet& descriptors) : descriptors_(&descriptors) {
    const auto& c = descriptors.configuration;
    if (c.size() >= 9) {
        configuration_value_ = c[5];
        config_attributes_ = c[7];
    }
    for (std::size_t at = 0; at + 1 < c.size() && c[at] != 0; at += c[at]) {
        if (c[at + 1] == kDescriptorInterface && at + 2 < c.size()) interfaces_.insert(c[at + 2]);
        if (c[at + 1] == kDescriptorEndpoint && at + 2 < c.size()) endpoints_.insert(c[at + 2]);
    }
}

ControlResult StandardRequests::get_descriptor(const SetupPacket& setup, std::span<std::uint8_t> data) const {
    const std::uint8_t type = setup.value >> 8;
    const std::uint8_t index = setup.value & 0xFF;
    switch (type) {
    case kDescriptorDevice: return answer(descriptors_->device, setup, data);
    case kDescriptorConfiguration: return index == 0 ? answer(descriptors_->configuration, setup, data) : kStall;
    case kDescriptorString:
        if (index < descriptors_->strings.size() && !descriptors_->strings[index].empty())
            return answer(descriptors_->strings[index], setup, data);
        return kStall;
    default:
        // A full-speed-only device has no device qualifier or other-speed configuration.
        return kStall;
    }
}

ControlResult StandardRequests::handle(const SetupPacket& setup, std::span<std::uint8_t> data) {
    using R = SetupPacket::Recipient;
    const bool in = setup.device_to_host();
    const R recipient = setup.recipient();
    const std::uint8_t target = setup.index & 0xFF;

    switch (setup.request) {
    case GET_STATUS: {
        if (!in) return kStall;
        std::uint16_t status = 0;
        if (recipient == R::device)
            status = ((config_attributes_ & 0x40) ? 1 : 0) | (remote_wakeup_ ? 2 : 0);
        else if (recipient == R::interface && !interfaces_.contains(target))
            return kStall;
        else if (recipient == R::endpoint) {
            if (target != 0 && !endpoint_exists(target)) return kStall;
            status = halted(target) ? 1 : 0;
        } else if (recipient == R::other)
            return kStall;
        const std::uint8_t reply[2] = {static_cast<std::uint8_t>(status), static_cast<std::uint8_t>(status >> 8)};
        return answer(reply, setup, data);
    }
    case CLEAR_FEATURE:
    case SET_FEATURE: {
        if (in) return kStall;
        const bool set = setup.request == SET_FEATURE;
        if (recipient == R::device && setup.value == kFeatureRemoteWakeup) {
            if (!(config_attributes_ & 0x20)) return kStall;
            remote_wakeup_ = set;
            return kDone;
        }
        if (recipient == R::endpoint && setup.value == kFeatureEndpointHalt) {
            if (target == 0) return kDone;
            if (!endpoint_exists(target)) return kStall;
            if (set)
                halted_.insert(target);
            else
                halted_.erase(target);
            return kDone;
        }
        return kStall;
    }
    case SET_ADDRESS:
        if (in || recipient != R::device || setup.value > 127) return kStall;
        address_ = static_cast<std::uint8_t>(setup.value);
        return kDone;
    case GET_DESCRIPTOR:
        if (!in || recipient != R::device) return kStall;
        return get_descriptor(setup, data);
    case GET_CONFIGURATION: {
        if (!in || recipient != R::device) return kStall;
        const std::uint8_t reply[1] = {configuration_};
        return answer(reply, setup, data);
    }
    case SET_CONFIGURATION:
        if (in || recipient != R::device) return kStall;
        if (setup.value != 0 && setup.value != configuration_value_) return kStall;
        configuration_ = static_cast<std::uint8_t>(setup.value);
        halted_.clear();
        return kDone;
    case GET_INTERFACE: {
        if (!in || recipient != R::interface || !configured() || !interfaces_.contains(target)) return kStall;
        const std::uint8_t reply[1] = {0};
        return answer(reply, setup, data);
    }
    case SET_INTERFACE:
        if (in || recipient != R::interface || !configured() || !interfaces_.contains(target) || setup.value != 0)
            return kStall;
        halted_.clear();
        return kDone;
    default: return kStall;
    }
}

} // namespace hvsim::devices
