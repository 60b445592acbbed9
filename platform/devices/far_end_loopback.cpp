#include <hvsim/devices/far_end_loopback.h>

namespace hvsim::devices {

void LoopbackPlug::connect(std::shared_ptr<LineInbox> port_inbox, Ticks now) {
    std::lock_guard lock(mutex_);
    inbox_ = std::move(port_inbox);
    // Until the port reports its outputs, they are low.
    inbox_->push_modem(crossed(ModemOutputs{}), now);
}

void LoopbackPlug::disconnect(Ticks) {
    std::lock_guard lock(mutex_);
    inbox_.reset();
}

void LoopbackPlug::transmit(const LineSymbol& symbol) {
    std::lock_guard lock(mutex_);
    if (inbox_)
        inbox_->push_symbol(symbol);
}

void LoopbackPlug::outputs_changed(const ModemOutputs& outputs, Ticks time) {
    std::lock_guard lock(mutex_);
    if (inbox_)
        inbox_->push_modem(crossed(outputs), time);
}

} // namespace hvsim::devices
