#include <hvsim/devices/far_end_scripted.h>

namespace hvsim::devices {

ScriptedPeer::ScriptedPeer(const LineFormat& format) { tx_.set_format(format); }

void ScriptedPeer::set_format(const LineFormat& format) {
    std::lock_guard lock(mutex_);
    tx_.set_format(format);
}

LineFormat ScriptedPeer::format() const {
    std::lock_guard lock(mutex_);
    return tx_.format();
}

void ScriptedPeer::set_paced(bool paced) {
    std::lock_guard lock(mutex_);
    tx_.set_paced(paced);
}

void ScriptedPeer::send(std::span<const std::uint8_t> bytes, Ticks at) {
    {
        std::lock_guard lock(mutex_);
        tx_.write(bytes, at);
    }
    wake();
}

void ScriptedPeer::send(std::string_view text, Ticks at) {
    send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), at);
}

void ScriptedPeer::send_spoiled(std::uint8_t value, bool bad_parity, bool bad_stop, Ticks at) {
    {
        std::lock_guard lock(mutex_);
        tx_.write(UartTransmitter::Item{value, bad_parity, bad_stop}, at);
    }
    wake();
}

void ScriptedPeer::send_break(Ticks at, Ticks duration) {
    {
        std::lock_guard lock(mutex_);
        tx_.set_break(true, at);
        tx_.set_break(false, at + duration);
    }
    wake();
}

void ScriptedPeer::set_inputs(const ModemInputs& inputs, Ticks at) {
    std::lock_guard lock(mutex_);
    inputs_ = inputs;
    if (inbox_) inbox_->push_modem(inputs, at);
}

bool ScriptedPeer::idle() const {
    std::lock_guard lock(mutex_);
    return tx_.empty() && tx_.next_event() == kNever;
}

std::vector<LineSymbol> ScriptedPeer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<LineSymbol> ScriptedPeer::take_received() {
    std::lock_guard lock(mutex_);
    return std::exchange(received_, {});
}

std::vector<std::uint8_t> ScriptedPeer::received_bytes() const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> bytes;
    for (const auto& s : received_)
        if (s.kind == LineSymbol::Kind::character) bytes.push_back(s.value);
    return bytes;
}

ModemOutputs ScriptedPeer::outputs() const {
    std::lock_guard lock(mutex_);
    return outputs_;
}

std::vector<std::pair<Ticks, ModemOutputs>> ScriptedPeer::output_history() const {
    std::lock_guard lock(mutex_);
    return output_history_;
}

void ScriptedPeer::connect(std::shared_ptr<LineInbox> port_inbox, Ticks now) {
    std::lock_guard lock(mutex_);
    inbox_ = std::move(port_inbox);
    inbox_->push_modem(inputs_, now);
}

void ScriptedPeer::disconnect(Ticks) {
    std::lock_guard lock(mutex_);
    inbox_.reset();
}

void ScriptedPeer::transmit(const LineSymbol& symbol) {
    std::lock_guard lock(mutex_);
    received_.push_back(symbol);
}

void ScriptedPeer::outputs_changed(const ModemOutputs& outputs, Ticks time) {
    std::lock_guard lock(mutex_);
    if (!output_history_.empty() && outputs == outputs_) return;
    outputs_ = outputs;
    output_history_.emplace_back(time, outputs);
}

Ticks ScriptedPeer::next_deadline() const {
    std::lock_guard lock(mutex_);
    return inbox_ ? tx_.next_event() : kNever;
}

void ScriptedPeer::advance(Ticks now) {
    std::lock_guard lock(mutex_);
    LineSymbol symbol;
    if (inbox_ && tx_.step(now, symbol)) inbox_->push_symbol(symbol);
}

void ScriptedPeer::wake() {
    std::shared_ptr<LineInbox> inbox;
    {
        std::lock_guard lock(mutex_);
        inbox = inbox_;
    }
    if (inbox) inbox->notify();
}

} // namespace hvsim::devices
