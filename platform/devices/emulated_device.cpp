#include <hvsim/devices/emulated_device.h>

#include <hvsim/devices/far_end_loopback.h>
#include <hvsim/devices/far_end_null_modem.h>

#include <exception>

namespace hvsim::devices {

std::unique_ptr<EmulatedDevice> EmulatedDevice::create(const DeviceSpec& spec, const DeviceOptions& options,
                                                       std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<EmulatedDevice> {
        if (error) *error = why;
        return nullptr;
    };
    const DeviceModelInfo* info = find_device_model(spec.model);
    if (!info) return fail("unknown device model '" + spec.model + "'");
    if (!info->valid_interfaces(spec.interfaces) || spec.types.size() != std::size_t(spec.interfaces) ||
        spec.wires.size() != std::size_t(spec.interfaces))
        return fail("device spec with an inconsistent number of ports");

    std::unique_ptr<EmulatedDevice> device(new EmulatedDevice);
    device->spec_ = spec;
    try {
        device->model_ = info->make(spec, options.eeprom);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    UsbSerialDevice& model = *device->model_;
    const std::size_t ports = model.port_count();
    device->far_ends_.resize(ports);
    device->ptys_.resize(ports);

    std::size_t waiting_for_partner = ports;
    for (std::size_t i = 0; i < ports; ++i) {
        switch (spec.wires[i]) {
        case Wire::open: break;
        case Wire::loopback: device->far_ends_[i] = std::make_shared<LoopbackPlug>(); break;
        case Wire::null_modem:
            if (waiting_for_partner == ports) {
                waiting_for_partner = i;
            } else {
                NullModemCable cable;
                device->far_ends_[waiting_for_partner] = cable.end(0);
                device->far_ends_[i] = cable.end(1);
                waiting_for_partner = ports;
            }
            break;
        case Wire::pty:
            try {
                auto pty = std::make_shared<PtyBridge>(spec.model + " port " + std::to_string(i + 1), options.log,
                                                       options.print_pty_names);
                pty->set_paced(spec.paced);
                device->ptys_[i] = pty;
                device->far_ends_[i] = pty;
            } catch (const std::exception& e) {
                return fail(std::string("pty for port ") + std::to_string(i + 1) + ": " + e.what());
            }
            break;
        }
    }
    if (waiting_for_partner != ports) return fail("a null-modem port has no partner");
    for (std::size_t i = 0; i < ports; ++i)
        if (device->far_ends_[i]) model.attach(i, device->far_ends_[i], options.now);
    return device;
}

EmulatedDevice::~EmulatedDevice() {
    if (!model_) return;
    for (std::size_t i = 0; i < model_->port_count(); ++i) model_->attach(i, nullptr, 0);
}

std::shared_ptr<FarEnd> EmulatedDevice::far_end(std::size_t port) const {
    return port < far_ends_.size() ? far_ends_[port] : nullptr;
}

std::shared_ptr<PtyBridge> EmulatedDevice::pty(std::size_t port) const {
    return port < ptys_.size() ? ptys_[port] : nullptr;
}

void connect_null_modem(UsbSerialDevice& a, std::size_t port_a, UsbSerialDevice& b, std::size_t port_b, Ticks now) {
    NullModemCable cable;
    a.attach(port_a, cable.end(0), now);
    b.attach(port_b, cable.end(1), now);
}

} // namespace hvsim::devices
