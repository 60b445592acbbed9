#include <hvsim/devices/uart_transmitter.h>

#include <algorithm>

namespace hvsim::devices {

std::size_t UartTransmitter::write(std::span<const std::uint8_t> bytes, Ticks now) {
    const std::size_t n = std::min(bytes.size(), free_space());
    for (std::size_t i = 0; i < n; ++i) fifo_.push_back(Item{bytes[i]});
    if (n) kick(now);
    return n;
}

bool UartTransmitter::write(const Item& item, Ticks now) {
    if (free_space() == 0) return false;
    fifo_.push_back(item);
    kick(now);
    return true;
}

void UartTransmitter::send_priority(std::uint8_t value, Ticks now) {
    priority_.push_back(value);
    kick(now);
}

void UartTransmitter::set_held(bool held, Ticks now) {
    held_ = held;
    if (!held) kick(now);
}

void UartTransmitter::set_break(bool on, Ticks now) {
    if (on == breaking_) return;
    LineSymbol edge;
    edge.format = format_;
    edge.time = now;
    if (on) {
        if (shifting_ && shift_end_ > now) {
            shifting_ = false;
            line_free_at_ = now;
        }
        breaking_ = true;
        edge.kind = LineSymbol::Kind::break_on;
        edges_.push_back(edge);
    } else {
        breaking_ = false;
        edge.kind = LineSymbol::Kind::break_off;
        edges_.push_back(edge);
        line_free_at_ = std::max(line_free_at_, now);
        kick(now);
    }
}

void UartTransmitter::purge() {
    fifo_.clear();
    if (priority_.empty()) start_deferred_ = false;
}

void UartTransmitter::reset() {
    fifo_.clear();
    priority_.clear();
    shifting_ = false;
    start_deferred_ = false;
}

bool UartTransmitter::step(Ticks limit, LineSymbol& out) {
    if (start_deferred_ && !shifting_ && !breaking_) start_next(std::max(limit, line_free_at_));

    const Ticks edge_time = edges_.empty() ? kNever : edges_.front().time;
    if (shifting_ && shift_end_ <= edge_time) {
        if (shift_end_ > limit) return false;
        out = LineSymbol{};
        out.kind = LineSymbol::Kind::character;
        out.value = shift_item_.value;
        out.bad_parity = shift_item_.bad_parity;
        out.bad_stop = shift_item_.bad_stop;
        out.format = shift_format_;
        out.time = shift_end_;
        out.duration = shift_end_ - shift_start_;
        shifting_ = false;
        line_free_at_ = shift_end_;
        kick(shift_end_);
        return true;
    }
    if (!edges_.empty() && edge_time <= limit) {
        out = edges_.front();
        edges_.pop_front();
        return true;
    }
    return false;
}

std::size_t UartTransmitter::take_run(Ticks limit, std::size_t max, Item* out, Ticks& last) {
    if (start_deferred_ || breaking_ || !shifting_ || shift_end_ > limit || !edges_.empty() || max == 0) return 0;
    // What follows the character on the wire starts with the current format.
    if (!(shift_format_ == format_)) max = 1;
    Ticks t = shift_end_;
    std::size_t n = 0;
    out[n++] = shift_item_;
    shifting_ = false;
    line_free_at_ = t;
    // Each next character would start where the last one ended (unpaced, at t itself): taken
    // from the FIFO at once, while nothing goes ahead of it.
    if (priority_.empty() && !held_) {
        std::size_t k = std::min(max - n, fifo_.size());
        if (paced_) k = character_time_ > 0 ? std::min<std::size_t>(k, (limit - t) / character_time_) : 0;
        std::copy_n(fifo_.begin(), k, out + n);
        fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(k));
        n += k;
        if (paced_) t += static_cast<Ticks>(k) * character_time_;
        line_free_at_ = t;
    }
    kick(t);
    while (n < max && shifting_ && shift_end_ <= limit) {
        out[n++] = shift_item_;
        t = shift_end_;
        shifting_ = false;
        line_free_at_ = t;
        kick(t);
    }
    last = t;
    return n;
}

void UartTransmitter::kick(Ticks now) {
    if (shifting_ || breaking_) return;
    if (priority_.empty() && (held_ || fifo_.empty())) return;
    if (now == kAtNextStep) {
        start_deferred_ = true;
        return;
    }
    start_next(std::max(now, line_free_at_));
}

void UartTransmitter::start_next(Ticks at) {
    start_deferred_ = false;
    if (!priority_.empty()) {
        shift_item_ = Item{priority_.front()};
        priority_.pop_front();
    } else if (!held_ && !fifo_.empty()) {
        shift_item_ = fifo_.front();
        fifo_.pop_front();
    } else {
        return;
    }
    shifting_ = true;
    shift_format_ = format_;
    shift_start_ = at;
    shift_end_ = at + (paced_ ? character_time_ : 0);
}

} // namespace hvsim::devices
