// The receiving UART against senders with its own settings and with others.
#include <hvsim/devices/uart_receiver.h>
#include <hvsim/devices/uart_transmitter.h>

#include "line_formats.h"

#include <gtest/gtest.h>

#include <vector>

namespace hvsim::devices {
namespace {

using test::format;

// Sends bytes from a paced transmitter into a receiver, as a line does, and lets the line go
// quiet afterwards.
struct Line {
    explicit Line(const LineFormat& sender, const LineFormat& receiver) {
        tx.set_format(sender);
        rx.set_format(receiver);
    }
    void send(std::vector<std::uint8_t> bytes, Ticks at = 0) {
        tx.write(bytes, at);
        deliver();
    }
    void deliver() {
        LineSymbol s;
        while (tx.step(kNever, s)) rx.receive(s, got);
    }
    void quiet(Ticks until) {
        while (rx.next_deadline() <= until) rx.advance(rx.next_deadline(), got);
    }
    std::vector<std::uint8_t> values() const {
        std::vector<std::uint8_t> v;
        for (const auto& r : got) v.push_back(r.c.value);
        return v;
    }
    UartTransmitter tx;
    UartReceiver rx;
    std::vector<ReceivedAt> got;
};

TEST(UartReceiver, MatchingSettingsGiveWhatWasSentWhenItsStopBitEnds) {
    Line line(format(9600 * 1.02, 7, Parity::even), format(9600, 7, Parity::even));
    line.send({'o', 'k', 0x7F});
    ASSERT_EQ(line.values(), (std::vector<std::uint8_t>{'o', 'k', 0x7F}));
    const Ticks character = format(9600 * 1.02, 7, Parity::even).character_time();
    for (std::size_t i = 0; i < line.got.size(); ++i) {
        EXPECT_EQ(line.got[i].time, static_cast<Ticks>(i + 1) * character);
        EXPECT_FALSE(line.got[i].c.framing_error || line.got[i].c.parity_error);
    }
    EXPECT_EQ(line.rx.next_deadline(), kNever);
}

TEST(UartReceiver, ASenderAtHalfTheRateGivesTwoWrongCharactersPerCharacter) {
    // 0x55 at 4800 baud, each of its bits two of the receiver's: the receiver's frame ends in
    // the sender's data, and the next space bit starts another frame.
    Line line(format(4800), format(9600));
    line.send({0x55});
    line.quiet(milliseconds(10));
    ASSERT_EQ(line.values(), (std::vector<std::uint8_t>{0x66, 0xE6}));
    EXPECT_TRUE(line.got[0].c.framing_error);
    EXPECT_TRUE(line.got[1].c.framing_error);
}

TEST(UartReceiver, ASenderAtEightTimesTheRateGivesOneCharacterForMany) {
    Line line(format(76800), format(9600));
    line.send(std::vector<std::uint8_t>(16, 'U'));
    line.quiet(milliseconds(10));
    EXPECT_LE(line.got.size(), 3u);
    EXPECT_FALSE(line.got.empty());
    for (const auto& r : line.got) EXPECT_TRUE(r.c.framing_error || r.c.break_condition);
}

TEST(UartReceiver, AFrameThatRunsPastTheLastCharacterWaitsForTheQuietLine) {
    // 0x00 at twice the rate: nine of the sender's bits of space are four and a half of the
    // receiver's, and the rest of its frame is the sender's stop bit and the idle line.
    Line line(format(19200), format(9600));
    line.send({0x00});
    EXPECT_TRUE(line.got.empty());
    const Ticks due = line.rx.next_deadline();
    ASSERT_NE(due, kNever);
    line.rx.advance(due - 1, line.got);
    EXPECT_TRUE(line.got.empty());
    line.rx.advance(due, line.got);
    ASSERT_EQ(line.got.size(), 1u);
    EXPECT_EQ(line.got[0].c.value, 0xF8);
    EXPECT_TRUE(line.got[0].c.framing_error);
    EXPECT_EQ(line.rx.next_deadline(), kNever);

    // A start bit shorter than half the receiver's bit is gone by its middle: no character.
    Line glitch(format(19200), format(9600));
    glitch.send({0xFF});
    glitch.quiet(milliseconds(10));
    EXPECT_TRUE(glitch.got.empty());
}

TEST(UartReceiver, ABreakLongerThanACharacterIsOneBreak) {
    UartReceiver rx;
    rx.set_format(format(9600));
    std::vector<ReceivedAt> got;
    LineSymbol on;
    on.kind = LineSymbol::Kind::break_on;
    on.time = milliseconds(1);
    rx.receive(on, got);
    EXPECT_TRUE(got.empty());
    const Ticks due = rx.next_deadline();
    EXPECT_EQ(due, milliseconds(1) + 9896); // just past the middle of its stop bit, 9.5 bits in
    rx.advance(milliseconds(6), got);
    LineSymbol off = on;
    off.kind = LineSymbol::Kind::break_off;
    off.time = milliseconds(6);
    rx.receive(off, got);
    rx.advance(milliseconds(20), got);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].c.break_condition);
    EXPECT_EQ(got[0].c.value, 0);

    // Shorter than a character: bits of space, then mark, and no break.
    on.time = milliseconds(30);
    off.time = milliseconds(30) + microseconds(300);
    got.clear();
    rx.receive(on, got);
    rx.receive(off, got);
    rx.advance(milliseconds(40), got);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].c.break_condition);
    EXPECT_EQ(got[0].c.value, 0xFC); // three bit times of space: the start bit and two data bits
}

TEST(UartReceiver, UnpacedCharactersAreDecodedOneForOne) {
    UartTransmitter tx;
    tx.set_paced(false);
    tx.set_format(format(4800));
    UartReceiver rx;
    rx.set_format(format(9600));
    std::vector<ReceivedAt> got;
    const std::vector<std::uint8_t> bytes{1, 2, 3, 4};
    tx.write(bytes, 0);
    LineSymbol s;
    while (tx.step(kNever, s)) rx.receive(s, got);
    ASSERT_EQ(got.size(), 4u);
    for (const auto& r : got) EXPECT_TRUE(r.c.framing_error);
}

TEST(UartReceiver, ResetForgetsTheFrameInProgress) {
    Line line(format(19200), format(9600));
    line.send({0xFF});
    ASSERT_NE(line.rx.next_deadline(), kNever);
    line.rx.reset(microseconds(600));
    EXPECT_EQ(line.rx.next_deadline(), kNever);
    line.quiet(milliseconds(10));
    EXPECT_TRUE(line.got.empty());
}

} // namespace
} // namespace hvsim::devices
