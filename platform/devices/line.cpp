#include <hvsim/devices/line.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace hvsim::devices {

int LineFormat::half_bits_per_character() const {
    int half = 2 * (1 + data_bits);
    if (parity != Parity::none) half += 2;
    switch (stop_bits) {
    case StopBits::one: half += 2; break;
    case StopBits::one_and_half: half += 3; break;
    case StopBits::two: half += 4; break;
    }
    return half;
}

Ticks LineFormat::character_time() const {
    if (baud <= 0.0) return kNever;
    return static_cast<Ticks>(std::llround(half_bits_per_character() * (kTicksPerSecond / 2.0) / baud));
}

std::string LineFormat::to_string() const {
    static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
    static constexpr const char* kStop[] = {"1", "1.5", "2"};
    char text[64];
    std::snprintf(text, sizeof text, "%.0f %u%c%s", baud, unsigned(data_bits), kParity[static_cast<int>(parity)],
                  kStop[static_cast<int>(stop_bits)]);
    return text;
}

bool operator==(const LineFormat& a, const LineFormat& b) { return a.baud == b.baud && a.same_framing(b); }

bool parity_bit(std::uint8_t value, std::uint8_t data_bits, Parity parity) {
    const unsigned mask = (1u << data_bits) - 1u;
    const bool odd_ones = (std::popcount(unsigned(value) & mask) & 1) != 0;
    switch (parity) {
    case Parity::odd: return !odd_ones;
    case Parity::even: return odd_ones;
    case Parity::mark: return true;
    case Parity::space:
    case Parity::none: break;
    }
    return false;
}

bool character_level(const LineSymbol& s, int cell) {
    if (cell <= 0) return false;
    const int n = s.format.data_bits;
    if (cell <= n) return ((s.value >> (cell - 1)) & 1) != 0;
    cell -= n;
    if (s.format.parity != Parity::none) {
        if (cell == 1) return parity_bit(s.value, s.format.data_bits, s.format.parity) != s.bad_parity;
        cell -= 1;
    }
    if (cell == 1) return !s.bad_stop;
    return true;
}

ReceivedChar decode(const LineSymbol& s, const LineFormat& rx) {
    ReceivedChar out;
    if (s.kind != LineSymbol::Kind::character) {
        out.break_condition = s.kind == LineSymbol::Kind::break_on;
        return out;
    }
    // Matching settings sample every bit in its own cell: the character as it was sent.
    if (rx.same_framing(s.format) && rx.rate_matches(s.format.baud)) {
        out.value = static_cast<std::uint8_t>(s.value & ((1u << rx.data_bits) - 1u));
        out.parity_error = rx.parity != Parity::none && s.bad_parity;
        out.framing_error = s.bad_stop;
        return out;
    }
    // Receiver bit k is sampled at (k + 0.5) of its own bit times, which is `ratio` times as long
    // as the sender's.
    const double ratio = s.format.baud / rx.baud;
    auto sample = [&](int k) { return character_level(s, static_cast<int>(std::floor((k + 0.5) * ratio))); };

    unsigned value = 0;
    for (int k = 1; k <= rx.data_bits; ++k)
        if (sample(k)) value |= 1u << (k - 1);
    int next = rx.data_bits + 1;
    if (rx.parity != Parity::none) {
        const bool expected = parity_bit(static_cast<std::uint8_t>(value), rx.data_bits, rx.parity);
        out.parity_error = sample(next) != expected;
        ++next;
    }
    out.framing_error = !sample(next);

    if (!rx.rate_matches(s.format.baud)) {
        out.framing_error = true;
        // Close rates can sample every bit right; a real receiver that far off does not.
        if (value == (s.value & ((1u << rx.data_bits) - 1u))) value ^= 1u << (rx.data_bits - 1);
    }
    out.value = static_cast<std::uint8_t>(value);
    return out;
}

ModemInputs crossed(const ModemOutputs& outputs) {
    ModemInputs in;
    in.cts = outputs.rts;
    in.dsr = outputs.dtr;
    in.dcd = outputs.dtr;
    return in;
}

bool operator==(const ModemOutputs& a, const ModemOutputs& b) { return a.rts == b.rts && a.dtr == b.dtr; }

bool operator==(const ModemInputs& a, const ModemInputs& b) {
    return a.cts == b.cts && a.dsr == b.dsr && a.ri == b.ri && a.dcd == b.dcd;
}

void LineInbox::push(const LineEvent& event) {
    std::lock_guard lock(mutex_);
    // Events nearly always arrive in order; walk back only past later ones.
    if (events_.empty() || events_.back().time <= event.time) {
        events_.push_back(event);
    } else {
        auto it = events_.end();
        while (it != events_.begin() && std::prev(it)->time > event.time) --it;
        events_.insert(it, event);
    }
    front_time_.store(events_.front().time, std::memory_order_release);
    changed();
}

void LineInbox::changed() {
    if (held_)
        missed_ = true;
    else if (notify_)
        notify_();
}

void LineInbox::hold_notifications() {
    std::lock_guard lock(mutex_);
    held_ = true;
}

void LineInbox::release_notifications() {
    std::lock_guard lock(mutex_);
    held_ = false;
    if (missed_) {
        missed_ = false;
        changed();
    }
}

void LineInbox::push_symbol(const LineSymbol& symbol) {
    LineEvent event;
    event.kind = LineEvent::Kind::symbol;
    event.time = symbol.time;
    event.symbol = symbol;
    push(event);
}

void LineInbox::push_modem(const ModemInputs& inputs, Ticks time) {
    LineEvent event;
    event.kind = LineEvent::Kind::modem;
    event.time = time;
    event.modem = inputs;
    push(event);
}

bool LineInbox::pop(Ticks limit, LineEvent& event) {
    std::lock_guard lock(mutex_);
    if (events_.empty() || events_.front().time > limit) return false;
    event = events_.front();
    events_.pop_front();
    front_time_.store(events_.empty() ? kNever : events_.front().time, std::memory_order_release);
    return true;
}

void LineInbox::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
    front_time_.store(kNever, std::memory_order_release);
}

std::size_t LineInbox::size() const {
    std::lock_guard lock(mutex_);
    return events_.size();
}

void LineInbox::set_notify(std::function<void()> notify) {
    std::lock_guard lock(mutex_);
    notify_ = std::move(notify);
}

void LineInbox::notify() {
    std::lock_guard lock(mutex_);
    if (notify_) notify_();
}

} // namespace hvsim::devices
