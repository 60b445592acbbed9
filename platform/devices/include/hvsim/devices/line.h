// A serial line, independent of any chip: the framing a character is sent with, what a receiver
// with its own settings makes of it, the modem control lines, and the queue through which a far
// end delivers to a port.
#pragma once

#include <hvsim/devices/machine_time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace hvsim::devices {

enum class Parity : std::uint8_t { none, odd, even, mark, space };
enum class StopBits : std::uint8_t { one, one_and_half, two };

// Rates further apart than this no longer decode.
inline constexpr double kBaudTolerance = 0.03;

struct LineFormat {
    double baud = 9600.0;
    std::uint8_t data_bits = 8; // 5 to 8
    Parity parity = Parity::none;
    StopBits stop_bits = StopBits::one;

    // Start, data, parity and stop bits, counted in half bits (1.5 stop bits).
    int half_bits_per_character() const;
    // Time on the wire of one character at this rate.
    Ticks character_time() const;
    bool rate_matches(double other_baud) const {
        if (baud <= 0.0 || other_baud <= 0.0) return false;
        const double difference = other_baud > baud ? other_baud - baud : baud - other_baud;
        return difference <= kBaudTolerance * baud;
    }
    // Same data bits, parity and stop bits.
    bool same_framing(const LineFormat& other) const {
        return data_bits == other.data_bits && parity == other.parity && stop_bits == other.stop_bits;
    }
    std::string to_string() const; // "115200 8N1"
};

bool operator==(const LineFormat& a, const LineFormat& b);

// What travels on one direction of a line. A character carries the framing it was sent with;
// bad_parity and bad_stop mark a character that noise or a faulty transmitter spoiled.
struct LineSymbol {
    enum class Kind : std::uint8_t { character, break_on, break_off };
    Kind kind = Kind::character;
    std::uint8_t value = 0;
    bool bad_parity = false;
    bool bad_stop = false;
    LineFormat format;
    Ticks time = 0;     // when the last stop bit (or the break edge) reached the receiver
    Ticks duration = 0; // time on the wire; 0 from a transmitter that is not paced
};

// A character as a receiver with its own settings saw it.
struct ReceivedChar {
    std::uint8_t value = 0;
    bool parity_error = false;
    bool framing_error = false;
    bool break_condition = false;
};

// Decodes a character or a break start against the receiver's settings. The receiver samples the
// sender's waveform in the middle of each of its own bit times; a rate more than kBaudTolerance
// away always gives a framing error and a wrong byte.
ReceivedChar decode(const LineSymbol& symbol, const LineFormat& receiver);

// The parity bit a transmitter appends to value (data_bits wide).
bool parity_bit(std::uint8_t value, std::uint8_t data_bits, Parity parity);

// The level (true for mark) a character's sender drives in its bit cell `cell`: the start bit
// (cell 0), the data bits from the lowest, the parity bit, the stop bits, then idle for ever.
bool character_level(const LineSymbol& symbol, int cell);

struct ModemOutputs {
    bool rts = false;
    bool dtr = false;
};

struct ModemInputs {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;
};

// The usual crossing of a loopback plug or a null-modem cable: RTS to CTS, DTR to DSR and DCD.
ModemInputs crossed(const ModemOutputs& outputs);

bool operator==(const ModemOutputs& a, const ModemOutputs& b);
bool operator==(const ModemInputs& a, const ModemInputs& b);

// What a far end delivers to a port's receive side: characters and breaks, and the levels of the
// port's modem inputs.
struct LineEvent {
    enum class Kind : std::uint8_t { symbol, modem };
    Kind kind = Kind::symbol;
    Ticks time = 0;
    LineSymbol symbol;
    ModemInputs modem;
};

// Time-ordered queue of events for one port. Any thread may push; the port's owner pops. The
// notification runs after every push (with the queue's lock held, so that clearing it waits for
// a running one): it only wakes whoever drives the port and never calls back into a device.
class LineInbox {
public:
    void push(const LineEvent& event);
    void push_symbol(const LineSymbol& symbol);
    void push_modem(const ModemInputs& inputs, Ticks time);

    // Time of the earliest event, or kNever. Takes no lock: the port's engine asks for it between
    // every two events.
    Ticks next_time() const { return front_time_.load(std::memory_order_acquire); }
    // Takes the earliest event if it is due by limit.
    bool pop(Ticks limit, LineEvent& event);
    void clear();
    std::size_t size() const;

    void set_notify(std::function<void()> notify);
    // Tells the port's owner that a far end has work for it (bytes waiting to be sent).
    void notify();

    // While the owner runs its engine it looks at the inbox anyway: pushes meanwhile notify once,
    // when it lets go, instead of once per character.
    void hold_notifications();
    void release_notifications();

private:
    void changed(); // needs the lock

    mutable std::mutex mutex_;
    std::deque<LineEvent> events_;
    std::atomic<Ticks> front_time_{kNever};
    std::function<void()> notify_;
    bool held_ = false;
    bool missed_ = false; // a push came while held
};

} // namespace hvsim::devices
