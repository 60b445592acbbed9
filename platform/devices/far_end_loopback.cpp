#include <hvsim/devices/far_end_loopback.h>

namespace hvsim::devices {

void LoopbackPlug::connect(std::shared_ptr<LineInbox> port_inbox, Ticks now) {
    inbox_ = std::move(port_inbox);
    // Until the port reports its outputs, they are low.
    inbox_->push_modem(crossed(ModemOutputs{}), now);
}

void LoopbackPlug::disconnect(Ticks) { inbox_.reset(); }

void LoopbackPlug::transmit(const LineSymbol& symbol) {
    if (inbox_) inbox_->push_symbol(symbol);
}

void LoopbackPlug::outputs_changed(const ModemOutputs& outputs, Ticks time) {
    if (inbox_) inbox_->push_modem(crossed(outputs), time);
}

} // namespace hvsim::devices
