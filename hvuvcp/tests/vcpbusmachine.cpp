// The port object on the real bus driver and an emulated adapter.
#include "vcpbusmachine.h"

#include <hvsim/debug_log.h>
#include <hvsim/devices/device_description.h>
#include <hvsim/registry.h>
#include <hvsim/sched.h>
#include <hvsim/usb.h>
#include <usbdlib.h>

#include <pmdebugmanager.h>

#include "businf.h"

namespace vcptest {

namespace {

constexpr char16_t kBusService[] = u"HvUsbSam";
constexpr char16_t kPortHardwareId[] = u"PORTS\\HVUSER23221";

} // namespace

// ---- The flow-controlled far end --------------------------------------------------------------

FlowPeer::FlowPeer(const hvsim::devices::LineFormat& format, Mode mode, Bytes data)
    : format_(format), mode_(mode), data_(std::move(data)) {}

size_t FlowPeer::sent() const {
    std::lock_guard lock(mutex_);
    return next_;
}

int FlowPeer::pauses() const {
    std::lock_guard lock(mutex_);
    return pauses_;
}

bool FlowPeer::allowed() const {
    switch (mode_) {
    case Mode::rts_cts:
        return outputs_.rts;
    case Mode::dtr_dsr:
        return outputs_.dtr;
    default:
        return !xoff_;
    }
}

void FlowPeer::note_stop(bool was_allowed) {
    if (was_allowed && !allowed() && next_ < data_.size())
        ++pauses_;
}

void FlowPeer::connect(std::shared_ptr<hvsim::devices::LineInbox> port_inbox, hvsim::devices::Ticks now) {
    std::lock_guard lock(mutex_);
    inbox_ = std::move(port_inbox);
    // The peer's own outputs: the port may send.
    inbox_->push_modem({true, true, false, true}, now);
    due_ = now;
}

void FlowPeer::disconnect(hvsim::devices::Ticks) {
    std::lock_guard lock(mutex_);
    inbox_.reset();
}

void FlowPeer::transmit(const hvsim::devices::LineSymbol& symbol) {
    std::lock_guard lock(mutex_);
    if (mode_ != Mode::xon_xoff || symbol.kind != hvsim::devices::LineSymbol::Kind::character)
        return;
    bool was = allowed();
    if (symbol.value == 0x13)
        xoff_ = true;
    else if (symbol.value == 0x11)
        xoff_ = false;
    note_stop(was);
    if (!was && allowed() && due_ < symbol.time)
        due_ = symbol.time;
}

void FlowPeer::outputs_changed(const hvsim::devices::ModemOutputs& outputs, hvsim::devices::Ticks time) {
    std::lock_guard lock(mutex_);
    bool was = allowed();
    outputs_ = outputs;
    note_stop(was);
    if (!was && allowed() && due_ < time)
        due_ = time;
}

hvsim::devices::Ticks FlowPeer::next_deadline() const {
    std::lock_guard lock(mutex_);
    return inbox_ && next_ < data_.size() && allowed() ? due_ : hvsim::devices::kNever;
}

void FlowPeer::advance(hvsim::devices::Ticks now) {
    std::lock_guard lock(mutex_);
    if (!inbox_ || next_ >= data_.size() || !allowed() || now < due_)
        return;
    hvsim::devices::LineSymbol symbol;
    symbol.value = data_[next_++];
    symbol.format = format_;
    symbol.duration = format_.character_time();
    symbol.time = now;
    inbox_->push_symbol(symbol);
    due_ = now + symbol.duration;
}

// ---- The machine -----------------------------------------------------------------------------

void VcpBusMachine::SetUp() {
    VcpMachine::SetUp();
    machine_->add_driver(kBusService, HV_HVUBUS_IMAGE);
    for (const GUID& guid : g_aPmTraceControlGuids)
        hvsim::trace_log::enable(guid, 0xFFFFFFFF, TRACE_LEVEL_VERBOSE, "HvUBus.sys");
    hvsim::pnp::set_new_device_handler([this](hvsim::pnp::DevInst node) {
        auto info = hvsim::pnp::node_info(node);
        if (!info || info->hardware_ids.empty())
            return false;
        const std::u16string key = hvsim::pnp::device_key_path(node);
        std::u16string instance = u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\01";
        instance += (char16_t)(u'0' + installed_ / 10);
        instance += (char16_t)(u'0' + installed_ % 10);
        ++installed_;
        if (info->hardware_ids[0] == kPortHardwareId) {
            // What the port driver's INF writes, with the test port driver as the service.
            const std::u16string parameters = key + u"\\Device Parameters";
            hvsim::registry::create_key(parameters);
            hvsim::registry::set_dword(parameters, u"TypeOfDevice", FILE_DEVICE_SERIAL_PORT);
            hvsim::registry::set_string(parameters, u"DeviceName", u"HvUVcpTest");
            hvsim::registry::set_dword(parameters, u"DeviceIndexingPolicyType", 2);
            hvsim::registry::set_dword(parameters, u"DeviceIsExclusive", 1);
            hvsim::registry::set_dword(parameters, u"IoType", 4);
            hvsim::registry::set_string(key, u"Driver", instance);
            hvsim::registry::set_string(key, u"Service", kPortService);
            return true;
        }
        if (info->instance_id.rfind(u"USB\\", 0) != 0)
            return false;
        businf::write_function_registry(node, businf::interface_of(info->instance_id));
        hvsim::registry::set_string(key, u"Driver", u"{C2A7E5F1-3B84-4D6A-9E0C-58F1B2D34A67}\\00" + instance.substr(instance.size() - 2));
        hvsim::registry::set_string(key, u"ClassGUID", u"{C2A7E5F1-3B84-4D6A-9E0C-58F1B2D34A67}");
        hvsim::registry::set_string(key, u"Service", kBusService);
        return true;
    });
    hvsim::usb::clear_urb_log();
}

void VcpBusMachine::TearDown() {
    hvsim::pnp::set_new_device_handler(nullptr);
    if (usb_port_)
        hvsim::usb::unplug(usb_port_);
    hvsim::pnp::wait_quiet();
    VcpMachine::TearDown();
    adapters_.clear();
}

Port VcpBusMachine::plug(const std::string& text) {
    if (!plug_adapter(text))
        return {};
    usb_port_ = usb_ports_.back();
    for (auto& device : hvsim::usb::devices()) {
        if (device.port != usb_port_)
            continue;
        auto children = hvsim::pnp::children_of(hvsim::pnp::find_node(device.instance_id));
        if (children.size() == 1)
            return port_of(children[0]);
    }
    ADD_FAILURE() << machine_->device_tree_text();
    return {};
}

void VcpBusMachine::attach(std::shared_ptr<hvsim::devices::FarEnd> far_end) {
    chip().attach(0, std::move(far_end), hvsim::sched::now());
}

std::vector<std::pair<UCHAR, USHORT>> VcpBusMachine::vendor_requests() {
    std::vector<std::pair<UCHAR, USHORT>> out;
    for (auto& r : hvsim::usb::urb_log())
        if (r.function == URB_FUNCTION_VENDOR_INTERFACE && !r.in)
            out.push_back({r.request, r.value});
    return out;
}

} // namespace vcptest
