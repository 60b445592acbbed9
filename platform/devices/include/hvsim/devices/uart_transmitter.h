// The sending half of a UART: a FIFO, a shift register and the line it drives. It emits each
// character at the moment its last stop bit leaves, paced at the programmed rate, or at once when
// pacing is off. Not thread-safe: its owner locks.
#pragma once

#include <hvsim/devices/line.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <span>

namespace hvsim::devices {

class UartTransmitter {
public:
    struct Item {
        std::uint8_t value = 0;
        bool bad_parity = false;
        bool bad_stop = false;
    };

    static constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();
    // A write time for owners that do not know the machine's time (a far end's own thread): the
    // character starts at the next step.
    static constexpr Ticks kAtNextStep = std::numeric_limits<Ticks>::min();

    explicit UartTransmitter(std::size_t capacity = kUnbounded) : capacity_(capacity) {}

    // Applies to characters that have not started yet.
    void set_format(const LineFormat& format) {
        format_ = format;
        character_time_ = format.character_time();
    }
    const LineFormat& format() const { return format_; }
    Ticks character_time() const { return character_time_; }
    void set_paced(bool paced) { paced_ = paced; }
    bool paced() const { return paced_; }

    std::size_t capacity() const { return capacity_; }
    std::size_t queued() const { return fifo_.size(); }
    std::size_t free_space() const { return capacity_ - fifo_.size(); }
    bool shifting() const { return shifting_; }
    // Nothing waiting and nothing on the wire.
    bool empty() const { return fifo_.empty() && !shifting_ && priority_.empty(); }

    // Queues what fits; returns how many bytes were taken.
    std::size_t write(std::span<const std::uint8_t> bytes, Ticks now);
    bool write(const Item& item, Ticks now);
    // A character that goes out next, ahead of the FIFO and even while held (XON and XOFF).
    void send_priority(std::uint8_t value, Ticks now);

    // Output flow control: while held no new character starts; the one on the wire finishes.
    void set_held(bool held, Ticks now);
    bool held() const { return held_; }

    // A break holds the line in space; the character on the wire is cut off and lost.
    void set_break(bool on, Ticks now);
    bool breaking() const { return breaking_; }

    // Drops the characters waiting in the FIFO; the one on the wire finishes.
    void purge();
    // Drops everything, the character on the wire too.
    void reset();

    // When step() has something to give: kAtNextStep when a start is due, kNever when idle.
    Ticks next_event() const {
        if (start_deferred_ && !shifting_ && !breaking_) return kAtNextStep;
        Ticks t = shifting_ ? shift_end_ : kNever;
        if (!edges_.empty() && edges_.front().time < t) t = edges_.front().time;
        return t;
    }
    // Gives the next symbol that reaches the line by limit, if any.
    bool step(Ticks limit, LineSymbol& out);

    // The characters that reach the line by `limit` one after another as step() would give them
    // (the one on the wire, then the priority characters and the FIFO), at most `max`, into
    // `out`; the run ends before a break edge or a character of another format. Returns how many,
    // and in `last` when the last of them ended: paced, each ends a character time after the one
    // before.
    std::size_t take_run(Ticks limit, std::size_t max, Item* out, Ticks& last);
    // Break edges not yet given out by step().
    bool edges_pending() const { return !edges_.empty(); }
    // The format of the character on the wire (valid while shifting()).
    const LineFormat& shift_format() const { return shift_format_; }
    // When the character on the wire started (valid while shifting()).
    Ticks shift_start() const { return shift_start_; }

private:
    void start_next(Ticks at);
    void kick(Ticks now);

    std::size_t capacity_;
    LineFormat format_;
    Ticks character_time_ = format_.character_time(); // of format_, worked out once a format
    bool paced_ = true;
    std::deque<Item> fifo_;
    std::deque<std::uint8_t> priority_; // XON and XOFF to go out next
    bool held_ = false;
    bool breaking_ = false;
    bool start_deferred_ = false;

    bool shifting_ = false;
    Item shift_item_;
    LineFormat shift_format_;
    Ticks shift_start_ = 0;
    Ticks shift_end_ = 0;
    Ticks line_free_at_ = std::numeric_limits<Ticks>::min();

    std::deque<LineSymbol> edges_; // break edges not yet given out
};

} // namespace hvsim::devices
