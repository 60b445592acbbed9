// The receiving half of a UART. Characters sent with the receiver's framing at a rate within
// kBaudTolerance come through as they were sent, when their stop bit ends. Any other paced
// character is sampled from the waveform its sender drove: the receiver waits for a falling
// edge, samples the middle of each of its own bit times and hunts again from the middle of its
// stop bit, so a faster or slower sender gives fewer or more characters, framing errors and
// breaks, as on a real line. A character from a transmitter that is not paced has no waveform
// and is decoded on its own. Not thread-safe: its owner locks.
#pragma once

#include <hvsim/devices/line.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <vector>

namespace hvsim::devices {

struct ReceivedAt {
    ReceivedChar c;
    Ticks time = 0; // when its stop bit ended
};

class UartReceiver {
public:
    void set_format(const LineFormat& format) { format_ = format; }
    const LineFormat& format() const { return format_; }

    // A symbol reached the receiver at symbol.time; the characters it completes are appended.
    void receive(const LineSymbol& symbol, std::vector<ReceivedAt>& out);
    // When a character being sampled completes if nothing more arrives (kNever when none is).
    Ticks next_deadline() const { return in_frame_ ? frame_deadline() : kNever; }
    // Nothing arrived up to now: completes what the quiet line completes.
    void advance(Ticks now, std::vector<ReceivedAt>& out);
    // Characters of the receiver's own framing on a quiet line decode as sent, paced ones when the
    // first starts where the receiver hunts from: an owner that takes such a run itself asks here
    // first and says when the run ended and how long its characters were (0 unpaced).
    bool takes_as_sent(const LineFormat& sent, Ticks start, bool paced) const {
        return segments_.empty() && !in_frame_ && format_.same_framing(sent) && format_.rate_matches(sent.baud) &&
               (!paced || hunt_from_ <= static_cast<double>(start));
    }
    void taken_until(Ticks t, Ticks duration) {
        hunt_from_ = static_cast<double>(t);
        known_until_ = std::max(known_until_, t);
        if (duration > 0) last_duration_ = duration;
    }
    // Forgets the character being sampled and the line before now.
    void reset(Ticks now);

private:
    static constexpr Ticks kOpen = std::numeric_limits<Ticks>::max();

    // What the sender drove from start to end: a character's bits, or space for a break.
    struct Segment {
        Ticks start = 0;
        Ticks end = 0; // kOpen while a break is on
        LineSymbol symbol;
    };

    Ticks frame_deadline() const;
    bool break_on() const;
    bool level(double t) const;
    bool find_falling_edge(double from, double until, double& edge) const;
    double stop_sample(double start) const;
    void run(std::vector<ReceivedAt>& out);
    void prune();

    LineFormat format_;
    std::deque<Segment> segments_;
    double hunt_from_ = -1e300; // where to look for the next start bit
    bool in_frame_ = false;
    double frame_start_ = 0;
    Ticks known_until_ = std::numeric_limits<Ticks>::min(); // the line is known up to here
    Ticks last_duration_ = 0;                               // of the last paced character: how late the next can arrive
};

} // namespace hvsim::devices
