#include <hvsim/devices/uart_receiver.h>

#include <algorithm>
#include <cmath>

namespace hvsim::devices {

namespace {

// Far below a bit time even at 3 Mbaud (3.3 ticks), so that it tells the two sides of a bit
// boundary apart.
constexpr double kEpsilon = 1e-3;

double bit_time(const LineFormat& f) { return static_cast<double>(kTicksPerSecond) / f.baud; }

// Bit cells from the start bit to the first stop bit.
int frame_cells(const LineFormat& f) { return 2 + f.data_bits + (f.parity != Parity::none ? 1 : 0); }

} // namespace

bool UartReceiver::level(double t) const {
    for (const auto& s : segments_) {
        if (t < static_cast<double>(s.start) || (s.end != kOpen && t >= static_cast<double>(s.end))) continue;
        if (s.symbol.kind != LineSymbol::Kind::character) return false; // a break holds the line in space
        const double cell = std::floor((t - static_cast<double>(s.start)) / bit_time(s.symbol.format));
        return character_level(s.symbol, static_cast<int>(cell));
    }
    return true; // idle: mark
}

// The first change from mark to space in [from, until]: a start bit, or a space bit inside a
// character that the receiver took for one. (At `until` only a break can begin.)
bool UartReceiver::find_falling_edge(double from, double until, double& edge) const {
    auto falls = [&](double t) { return t >= from && t <= until && level(t - kEpsilon) && !level(t + kEpsilon); };
    for (const auto& s : segments_) {
        const double start = static_cast<double>(s.start);
        if (start > until) break;
        if (s.end != kOpen && static_cast<double>(s.end) <= from) continue;
        if (s.symbol.kind != LineSymbol::Kind::character) {
            if (falls(start)) {
                edge = start;
                return true;
            }
            continue;
        }
        const double bit = bit_time(s.symbol.format);
        const int cells = frame_cells(s.symbol.format) + 1; // a second stop bit too
        for (int c = 0; c < cells; ++c) {
            const double t = start + c * bit;
            if (falls(t)) {
                edge = t;
                return true;
            }
        }
    }
    return false;
}

double UartReceiver::stop_sample(double start) const {
    return start + (frame_cells(format_) - 0.5) * bit_time(format_);
}

void UartReceiver::run(std::vector<ReceivedAt>& out) {
    const double bit = bit_time(format_);
    const double known = static_cast<double>(known_until_);
    for (;;) {
        if (!in_frame_) {
            double edge = 0;
            if (!find_falling_edge(hunt_from_, known, edge)) break;
            in_frame_ = true;
            frame_start_ = edge;
        }
        const double stop_at = stop_sample(frame_start_);
        if (stop_at >= known) break; // the line is not known as far as the stop bit yet
        in_frame_ = false;
        const double e = frame_start_;
        auto sample = [&](int k) { return level(e + (k + 0.5) * bit); };
        if (sample(0)) {
            // Mark again at the middle of the start bit: a glitch, not a character.
            hunt_from_ = e + 0.5 * bit;
            continue;
        }
        ReceivedAt r;
        unsigned value = 0;
        for (int k = 1; k <= format_.data_bits; ++k)
            if (sample(k)) value |= 1u << (k - 1);
        bool space_throughout = value == 0;
        if (format_.parity != Parity::none) {
            const bool bit_seen = sample(format_.data_bits + 1);
            r.c.parity_error =
                bit_seen != parity_bit(static_cast<std::uint8_t>(value), format_.data_bits, format_.parity);
            space_throughout = space_throughout && !bit_seen;
        }
        const bool stop = level(stop_at);
        r.c.framing_error = !stop;
        // Rates further apart than the tolerance never decode cleanly, even where the sampling
        // would happen to land right: the line carries the rule, not the luck of the phases.
        for (const auto& s : segments_) {
            if (s.symbol.kind != LineSymbol::Kind::character || static_cast<double>(s.end) <= e ||
                static_cast<double>(s.start) > stop_at || format_.rate_matches(s.symbol.format.baud))
                continue;
            r.c.framing_error = true;
            const unsigned mask = (1u << format_.data_bits) - 1u;
            if (static_cast<double>(s.start) == e && value == (s.symbol.value & mask))
                value ^= 1u << (format_.data_bits - 1);
            break;
        }
        if (space_throughout && !stop) {
            // Space for a whole character and its stop bit: a break.
            r.c = ReceivedChar{};
            r.c.break_condition = true;
        }
        r.c.value = static_cast<std::uint8_t>(value);
        r.time = static_cast<Ticks>(std::llround(stop_at + 0.5 * bit));
        out.push_back(r);
        hunt_from_ = stop_at;
    }
    prune();
}

void UartReceiver::prune() {
    const double keep_from = (in_frame_ ? frame_start_ : hunt_from_) - 1.0;
    while (!segments_.empty() && segments_.front().end != kOpen &&
           static_cast<double>(segments_.front().end) < keep_from)
        segments_.pop_front();
}

bool UartReceiver::break_on() const {
    return std::any_of(segments_.begin(), segments_.end(), [](const Segment& s) { return s.end == kOpen; });
}

void UartReceiver::receive(const LineSymbol& symbol, std::vector<ReceivedAt>& out) {
    switch (symbol.kind) {
    case LineSymbol::Kind::break_on:
        if (!break_on()) segments_.push_back(Segment{symbol.time, kOpen, symbol});
        known_until_ = std::max(known_until_, symbol.time);
        run(out);
        return;
    case LineSymbol::Kind::break_off:
        for (auto& s : segments_)
            if (s.end == kOpen) s.end = symbol.time;
        known_until_ = std::max(known_until_, symbol.time);
        run(out);
        return;
    case LineSymbol::Kind::character: break;
    }

    const Ticks start = symbol.time - symbol.duration;
    const bool matched = format_.same_framing(symbol.format) && format_.rate_matches(symbol.format.baud);
    if (symbol.duration > 0 && !(matched && !in_frame_ && hunt_from_ <= static_cast<double>(start) && !break_on())) {
        segments_.push_back(Segment{start, symbol.time, symbol});
        known_until_ = std::max(known_until_, symbol.time);
        last_duration_ = symbol.duration;
        run(out);
        return;
    }
    // Received as sent (matching settings) or on its own (no waveform): what the line did before
    // it completes first. A quiet line has nothing to complete (the usual case, taken per byte).
    known_until_ = std::max(known_until_, start);
    const bool quiet = segments_.empty() && !in_frame_;
    if (!quiet) run(out);
    in_frame_ = false;
    out.push_back(ReceivedAt{decode(symbol, format_), symbol.time});
    hunt_from_ = static_cast<double>(symbol.time);
    known_until_ = std::max(known_until_, symbol.time);
    if (symbol.duration > 0) last_duration_ = symbol.duration;
    if (!quiet) prune();
}

Ticks UartReceiver::frame_deadline() const {
    // The first tick past the stop sample.
    const Ticks stop_at = static_cast<Ticks>(std::floor(stop_sample(frame_start_))) + 1;
    const bool break_on = this->break_on();
    // Without a break on, a character that started before the stop sample arrives (at its end)
    // by then plus its duration.
    return break_on ? stop_at : stop_at + last_duration_;
}

void UartReceiver::advance(Ticks now, std::vector<ReceivedAt>& out) {
    if (!in_frame_) return;
    const bool break_on = this->break_on();
    known_until_ = std::max(known_until_, break_on ? now : now - last_duration_);
    run(out);
}

void UartReceiver::reset(Ticks now) {
    segments_.clear();
    in_frame_ = false;
    hunt_from_ = static_cast<double>(now);
    known_until_ = std::max(known_until_, now);
}

} // namespace hvsim::devices
