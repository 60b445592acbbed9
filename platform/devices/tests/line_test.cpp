// The line itself: framing, what a receiver with other settings sees, and the transmitter's pacing.
#include <hvsim/devices/line.h>
#include <hvsim/devices/uart_transmitter.h>

#include "line_formats.h"

#include <gtest/gtest.h>

#include <vector>

namespace hvsim::devices {
namespace {

using test::format;

LineSymbol character(std::uint8_t value, const LineFormat& f) {
    LineSymbol s;
    s.value = value;
    s.format = f;
    return s;
}

TEST(LineFormat, CharacterTimeCountsEveryBit) {
    EXPECT_EQ(format(9600).character_time(), 10 * kTicksPerSecond / 9600 + 1); // 10 bits, rounded
    EXPECT_EQ(format(115200, 7, Parity::even, StopBits::two).half_bits_per_character(), 2 * 11);
    EXPECT_EQ(format(300, 5, Parity::none, StopBits::one_and_half).half_bits_per_character(), 2 * 6 + 3);
    EXPECT_EQ(format(1000000).character_time(), microseconds(10));
    EXPECT_EQ(format(0).character_time(), kNever);
    EXPECT_EQ(format(115200, 7, Parity::even, StopBits::two).to_string(), "115200 7E2");
}

TEST(LineFormat, RatesWithinThreePercentMatch) {
    const LineFormat f = format(115200);
    EXPECT_TRUE(f.rate_matches(115384)); // what divisor 26 gives
    EXPECT_TRUE(f.rate_matches(115200 * 1.029));
    EXPECT_FALSE(f.rate_matches(115200 * 1.031));
    EXPECT_FALSE(f.rate_matches(115200 * 0.969));
}

TEST(LineDecode, SameSettingsGiveTheByteBack) {
    for (int bits = 5; bits <= 8; ++bits)
        for (Parity p : {Parity::none, Parity::odd, Parity::even, Parity::mark, Parity::space})
            for (unsigned v = 0; v < (1u << bits); ++v) {
                const LineFormat f = format(19200, bits, p, StopBits::two);
                const ReceivedChar c = decode(character(static_cast<std::uint8_t>(v), f), f);
                ASSERT_EQ(c.value, v) << f.to_string();
                ASSERT_FALSE(c.parity_error || c.framing_error || c.break_condition) << f.to_string() << " " << v;
            }
}

TEST(LineDecode, SlightlyOffRatesStillDecode) {
    const LineFormat rx = format(9600);
    for (unsigned v = 0; v < 256; ++v) {
        const ReceivedChar c = decode(character(static_cast<std::uint8_t>(v), format(9600 * 1.025)), rx);
        ASSERT_EQ(c.value, v);
        ASSERT_FALSE(c.framing_error);
    }
}

TEST(LineDecode, RateMismatchGarblesEveryByte) {
    const LineFormat rx = format(115200);
    for (double sender : {9600.0, 57600.0, 115200 * 1.04, 230400.0}) {
        for (unsigned v = 0; v < 256; ++v) {
            const ReceivedChar c = decode(character(static_cast<std::uint8_t>(v), format(sender)), rx);
            ASSERT_TRUE(c.framing_error) << sender << " " << v;
            ASSERT_NE(c.value, v) << sender << " " << v;
        }
    }
}

TEST(LineDecode, SlowReceiverSeesTheStartOfAFastCharacter) {
    // A 9600-baud receiver samples a 115200-baud character's start bit and then idle line.
    const ReceivedChar c = decode(character(0x00, format(115200)), format(9600));
    EXPECT_EQ(c.value, 0xFF);
    EXPECT_TRUE(c.framing_error);
}

TEST(LineDecode, FramingDifferences) {
    // 8N1 sent, 7N1 expected: the eighth data bit lands where the stop bit should be.
    const ReceivedChar low = decode(character(0x41, format(9600)), format(9600, 7));
    EXPECT_EQ(low.value, 0x41);
    EXPECT_TRUE(low.framing_error);
    const ReceivedChar high = decode(character(0xC1, format(9600)), format(9600, 7));
    EXPECT_EQ(high.value, 0x41);
    EXPECT_FALSE(high.framing_error);

    // 8E1 sent, 8O1 expected: every parity bit is wrong.
    for (unsigned v = 0; v < 256; ++v)
        ASSERT_TRUE(
            decode(character(static_cast<std::uint8_t>(v), format(9600, 8, Parity::even)), format(9600, 8, Parity::odd))
                .parity_error);

    // 8N1 sent, 8E1 expected: the stop bit is read as parity bit 1.
    const ReceivedChar even_ones = decode(character(0x03, format(9600)), format(9600, 8, Parity::even));
    EXPECT_TRUE(even_ones.parity_error);
    const ReceivedChar odd_ones = decode(character(0x01, format(9600)), format(9600, 8, Parity::even));
    EXPECT_FALSE(odd_ones.parity_error);
}

TEST(LineDecode, SpoiledCharactersAndBreak) {
    const LineFormat f = format(9600, 8, Parity::odd);
    LineSymbol s = character('a', f);
    s.bad_parity = true;
    EXPECT_TRUE(decode(s, f).parity_error);
    EXPECT_EQ(decode(s, f).value, 'a');
    s.bad_parity = false;
    s.bad_stop = true;
    EXPECT_TRUE(decode(s, f).framing_error);
    s.kind = LineSymbol::Kind::break_on;
    const ReceivedChar b = decode(s, f);
    EXPECT_TRUE(b.break_condition);
    EXPECT_EQ(b.value, 0);
}

TEST(LineInbox, KeepsTimeOrderAndNotifies) {
    LineInbox inbox;
    int notified = 0;
    inbox.set_notify([&] { ++notified; });
    inbox.push_modem(ModemInputs{true, false, false, false}, 30);
    inbox.push_modem(ModemInputs{}, 10);
    inbox.push_modem(ModemInputs{false, true, false, false}, 30);
    inbox.push_modem(ModemInputs{}, 20);
    EXPECT_EQ(notified, 4);
    EXPECT_EQ(inbox.next_time(), 10);
    LineEvent e;
    EXPECT_FALSE(inbox.pop(9, e));
    std::vector<Ticks> times;
    while (inbox.pop(100, e)) times.push_back(e.time);
    EXPECT_EQ(times, (std::vector<Ticks>{10, 20, 30, 30}));
    EXPECT_EQ(inbox.next_time(), kNever);

    // While its owner runs, pushes notify once, when it lets go; none, when none came.
    inbox.hold_notifications();
    inbox.push_modem(ModemInputs{}, 40);
    inbox.push_modem(ModemInputs{}, 50);
    EXPECT_EQ(notified, 4);
    EXPECT_EQ(inbox.next_time(), 40);
    inbox.release_notifications();
    EXPECT_EQ(notified, 5);
    inbox.hold_notifications();
    inbox.release_notifications();
    EXPECT_EQ(notified, 5);
    inbox.clear();
    EXPECT_EQ(inbox.next_time(), kNever);
}

std::vector<LineSymbol> drain(UartTransmitter& tx, Ticks limit) {
    std::vector<LineSymbol> out;
    LineSymbol s;
    while (tx.step(limit, s)) out.push_back(s);
    return out;
}

TEST(UartTransmitter, PacesCharactersBackToBack) {
    UartTransmitter tx(4);
    tx.set_format(format(1000000)); // 10 us a character
    const std::uint8_t data[] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(tx.write(data, 0), 4u); // one starts at once, three wait, the FIFO holds four
    EXPECT_EQ(tx.queued(), 3u);
    EXPECT_EQ(tx.next_event(), microseconds(10));
    EXPECT_TRUE(drain(tx, microseconds(10) - 1).empty());
    const auto first = drain(tx, microseconds(25));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].time, microseconds(10));
    EXPECT_EQ(first[1].time, microseconds(20));
    const auto rest = drain(tx, milliseconds(1));
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[1].time, microseconds(40));
    EXPECT_EQ(rest[1].value, 4);
    EXPECT_TRUE(tx.empty());
    // An idle line starts the next character when it is written.
    tx.write(data, milliseconds(2));
    EXPECT_EQ(tx.next_event(), milliseconds(2) + microseconds(10));
}

TEST(UartTransmitter, UnpacedCharactersArriveAtOnce) {
    UartTransmitter tx;
    tx.set_paced(false);
    const std::uint8_t data[] = {1, 2, 3};
    tx.write(data, 500);
    const auto out = drain(tx, 500);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].time, 500);
}

TEST(UartTransmitter, HoldLetsTheCurrentCharacterFinish) {
    UartTransmitter tx;
    tx.set_format(format(1000000));
    const std::uint8_t data[] = {1, 2, 3};
    tx.write(data, 0);
    tx.set_held(true, microseconds(5));
    EXPECT_EQ(drain(tx, milliseconds(1)).size(), 1u);
    EXPECT_EQ(tx.next_event(), kNever);
    tx.send_priority(0x13, milliseconds(1)); // XOFF goes out even while held
    const auto xoff = drain(tx, milliseconds(2));
    ASSERT_EQ(xoff.size(), 1u);
    EXPECT_EQ(xoff[0].value, 0x13);
    tx.set_held(false, milliseconds(3));
    const auto rest = drain(tx, milliseconds(4));
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].time, milliseconds(3) + microseconds(10));
}

TEST(UartTransmitter, BreakCutsTheCharacterOnTheWire) {
    UartTransmitter tx;
    tx.set_format(format(1000000));
    const std::uint8_t data[] = {1, 2};
    tx.write(data, 0);
    tx.set_break(true, microseconds(5));
    tx.set_break(false, microseconds(50));
    const auto out = drain(tx, milliseconds(1));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].kind, LineSymbol::Kind::break_on);
    EXPECT_EQ(out[1].kind, LineSymbol::Kind::break_off);
    EXPECT_EQ(out[2].value, 2);
    EXPECT_EQ(out[2].time, microseconds(60));
}

TEST(UartTransmitter, PurgeKeepsTheCharacterOnTheWireAndResetDoesNot) {
    UartTransmitter tx;
    tx.set_format(format(1000000));
    const std::uint8_t data[] = {1, 2, 3};
    tx.write(data, 0);
    tx.purge();
    EXPECT_EQ(drain(tx, milliseconds(1)).size(), 1u);
    tx.write(data, milliseconds(2));
    tx.reset();
    EXPECT_TRUE(tx.empty());
    EXPECT_TRUE(drain(tx, milliseconds(3)).empty());
}

TEST(UartTransmitter, WriteWithoutTimeStartsAtTheNextStep) {
    UartTransmitter tx;
    tx.set_format(format(1000000));
    const std::uint8_t data[] = {7};
    tx.write(data, UartTransmitter::kAtNextStep);
    EXPECT_EQ(tx.next_event(), UartTransmitter::kAtNextStep);
    LineSymbol s;
    EXPECT_FALSE(tx.step(milliseconds(5), s));
    EXPECT_EQ(tx.next_event(), milliseconds(5) + microseconds(10));
}

// A run taken at once is what stepping gives one character at a time: the same values at the same
// times in the same order, all that reached the line by the limit when the run was not cut short,
// and the same character left on the wire after it, whatever waits in the FIFO.
TEST(UartTransmitter, ARunIsWhatSteppingGives) {
    struct Case {
        const char* name;
        std::size_t written, max;
        bool priority, held, new_format, paced;
        double chars_by_limit; // paced: how many character times the limit lies past the first start
    };
    const Case cases[] = {
        {"FIFO longer than the run", 10, 4, false, false, false, false, 0},
        {"run longer than the FIFO", 3, 8, false, false, false, false, 0},
        {"an XOFF waiting goes first", 6, 8, true, false, false, false, 0},
        {"held: only what is on the wire and the XOFF", 6, 8, true, true, false, false, 0},
        {"a new format: one at a time", 6, 8, false, false, true, false, 0},
        {"paced: the limit ends the run", 10, 8, false, false, false, true, 3.5},
        {"paced: the FIFO ends the run", 3, 8, false, false, false, true, 20},
        {"paced: the maximum ends the run", 10, 4, false, false, false, true, 20},
        {"paced: an XOFF waiting goes first", 6, 8, true, false, false, true, 5},
        {"paced: a limit at a character's end takes it", 10, 8, false, false, false, true, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UartTransmitter by_run, by_step;
        std::vector<std::uint8_t> data(c.written);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
        for (UartTransmitter* tx : {&by_run, &by_step}) {
            tx->set_paced(c.paced);
            tx->set_format(format(1000000));
            tx->write(data, 100);
            if (c.priority) tx->send_priority(0x13, 100);
            if (c.held) tx->set_held(true, 100);
            if (c.new_format) tx->set_format(format(9600));
        }
        const Ticks limit = 100 + static_cast<Ticks>(c.chars_by_limit * by_run.character_time());
        std::vector<UartTransmitter::Item> run(c.max);
        Ticks last = 0;
        const std::size_t n = by_run.take_run(limit, c.max, run.data(), last);
        ASSERT_GT(n, 0u);
        LineSymbol s;
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(by_step.step(limit, s));
            EXPECT_EQ(run[i].value, s.value) << "character " << i;
        }
        EXPECT_EQ(last, s.time);
        if (n < c.max && !c.new_format) {
            EXPECT_FALSE(by_step.step(limit, s)) << "a character that reached the line was left";
        }
        EXPECT_EQ(by_run.shifting(), by_step.shifting());
        EXPECT_EQ(by_run.queued(), by_step.queued());
        EXPECT_EQ(by_run.next_event(), by_step.next_event());
        const auto rest_run = drain(by_run, kNever - 1), rest_step = drain(by_step, kNever - 1);
        ASSERT_EQ(rest_run.size(), rest_step.size());
        for (std::size_t i = 0; i < rest_run.size(); ++i) {
            EXPECT_EQ(rest_run[i].value, rest_step[i].value);
            EXPECT_EQ(rest_run[i].time, rest_step[i].time);
        }
    }
}

} // namespace
} // namespace hvsim::devices
