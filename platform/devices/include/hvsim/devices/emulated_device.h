// An adapter built from a device spec: the chip model with the far ends its ports are wired to.
#pragma once

#include <hvsim/devices/device_description.h>
#include <hvsim/devices/far_end_pty.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace hvsim::devices {

struct DeviceOptions {
    PtyBridge::Log log;                // where pty names and bridge messages go
    bool print_pty_names = true;       // also on standard output
    std::vector<std::uint16_t> eeprom; // a saved EEPROM image for the chip, if any
    Ticks now = 0;                     // machine time of the plug
};

class EmulatedDevice {
public:
    // Builds the device, or says why not in *error (an unknown model, a pty that does not open).
    static std::unique_ptr<EmulatedDevice> create(const DeviceSpec& spec, const DeviceOptions& options,
                                                  std::string* error);
    ~EmulatedDevice();
    EmulatedDevice(const EmulatedDevice&) = delete;
    EmulatedDevice& operator=(const EmulatedDevice&) = delete;

    const DeviceSpec& spec() const { return spec_; }
    UsbSerialDevice& model() { return *model_; }
    // What the port's connector holds (nullptr when open), and its pty bridge if it has one.
    std::shared_ptr<FarEnd> far_end(std::size_t port) const;
    std::shared_ptr<PtyBridge> pty(std::size_t port) const;

private:
    EmulatedDevice() = default;

    DeviceSpec spec_;
    std::unique_ptr<UsbSerialDevice> model_;
    std::vector<std::shared_ptr<FarEnd>> far_ends_;
    std::vector<std::shared_ptr<PtyBridge>> ptys_;
};

// A null-modem cable between a port of one device and a port of another (or the same) device.
void connect_null_modem(UsbSerialDevice& a, std::size_t port_a, UsbSerialDevice& b, std::size_t port_b, Ticks now);

} // namespace hvsim::devices
