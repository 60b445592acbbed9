// The chip's data paths: bulk-IN packets and the latency timer, the FIFOs, flow control in both
// directions, line errors, and whole streams through a loopback plug and a null-modem cable.
#include "chip_harness.h"

#include <hvsim/devices/far_end_loopback.h>
#include <hvsim/devices/far_end_null_modem.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

namespace hvsim::devices::test {
namespace {

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    Bytes data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    return data;
}

// Every packet starts with a valid modem status; only the last one may be short, unless the
// buffer has no room for another packet.
void expect_framing(const Bytes& transfer, std::size_t buffer) {
    ASSERT_GE(transfer.size(), 2u);
    ASSERT_LE(transfer.size(), buffer);
    for (std::size_t at = 0; at < transfer.size(); at += 64) {
        EXPECT_EQ(transfer[at] & 0x0F, 0x01) << "packet at " << at;
        const std::size_t size = std::min<std::size_t>(64, transfer.size() - at);
        EXPECT_GE(size, 2u);
        if (at + size < transfer.size()) {
            EXPECT_EQ(size, 64u) << "short packet inside the transfer at " << at;
        }
    }
    const std::size_t last = transfer.size() % 64;
    EXPECT_TRUE(last != 0 || transfer.size() + 2 > buffer) << "transfer of " << transfer.size() << " not ended";
}

std::size_t data_capacity(std::size_t buffer) { return buffer / 64 * 62 + (buffer % 64 > 2 ? buffer % 64 - 2 : 0); }

TEST(FtdiBulkIn, TransfersOfEverySizeAreWholePacketsAndAShortOne) {
    for (std::size_t length : {2u, 3u, 63u, 64u, 65u, 66u, 127u, 128u, 129u, 130u, 200u, 1000u, 4095u, 4096u}) {
        SCOPED_TRACE(length);
        for (bool full : {true, false}) {
            Host host(unpaced());
            auto peer = host.plug_peer();
            peer->set_paced(false);
            const std::size_t capacity = data_capacity(length);
            const std::size_t n = full ? capacity : (capacity > 0 ? capacity - 1 : 0);
            ASSERT_FALSE(host.read(length));
            const Bytes data = random_bytes(n, static_cast<unsigned>(length));
            peer->send(data, host.now);
            auto transfer = host.read(length);
            // Two bytes left after the last full packet take a status-only packet at the timer.
            const bool waits = !full || capacity == 0 || length % 64 == 2;
            if (waits) {
                // Not full: it waits for the latency timer and ends with a short packet.
                EXPECT_FALSE(transfer);
                host.run_until(milliseconds(16) - 1);
                EXPECT_FALSE(host.read(length));
                host.run_until(milliseconds(16));
                transfer = host.read(length);
            }
            ASSERT_TRUE(transfer);
            expect_framing(*transfer, length);
            if (full) {
                EXPECT_EQ(transfer->size(), length - (length % 64 == 1 ? 1 : 0));
            }
            EXPECT_EQ(payload(*transfer), data);
        }
    }
}

TEST(FtdiBulkIn, BuffersTooSmallForAStatusBabble) {
    Host host;
    Bytes one(1);
    EXPECT_EQ(host.chip.poll(0x81, one, 0).status, UsbStatus::babble);
}

TEST(FtdiBulkIn, LatencyTimerEndsTransfers) {
    Host host;
    host.set_baud(kBaud115200);
    auto peer = host.plug_peer(0, format(115200));
    // Idle: a status-only packet at every latency period, never an empty transfer.
    ASSERT_FALSE(host.read(4096));
    host.run_until(milliseconds(16) - 1);
    EXPECT_FALSE(host.read(4096));
    EXPECT_EQ(host.chip.next_deadline(), milliseconds(16));
    host.run_until(milliseconds(16));
    auto status_only = host.read(4096);
    ASSERT_TRUE(status_only);
    EXPECT_EQ(*status_only, (Bytes{0x01, 0x60}));

    // Data that does not fill a packet goes when the timer runs out, counted from the last packet.
    peer->send("hello", milliseconds(20));
    ASSERT_FALSE(host.read(4096));
    host.run_until(milliseconds(32) - 1);
    EXPECT_FALSE(host.read(4096));
    host.run_until(milliseconds(32));
    auto data = host.read(4096);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), 7u);
    EXPECT_EQ(payload(*data), bytes_of("hello"));

    // A shorter latency, and a transfer the host asks for after the timer ran out goes at once.
    host.set_latency(2);
    host.run_until(milliseconds(40));
    peer->send("ab", host.now);
    host.run_for(milliseconds(1));
    auto late = host.read(4096);
    ASSERT_TRUE(late);
    EXPECT_EQ(payload(*late), bytes_of("ab"));
    ASSERT_FALSE(host.read(4096));
    host.run_for(milliseconds(2));
    EXPECT_TRUE(host.read(4096));
}

TEST(FtdiBulkIn, AFinishedTransferWakesTheHostAndWaitsForItsPoll) {
    Host host(FtdiChip::default_config(2));
    int wakes = 0;
    host.chip.set_change_callback([&] { ++wakes; });
    ASSERT_FALSE(host.read(64, 0));
    ASSERT_FALSE(host.read(64, 1));
    EXPECT_EQ(host.chip.next_deadline(), milliseconds(16));
    host.run_until(milliseconds(16));
    EXPECT_EQ(wakes, 1);
    // Nothing is due until the host takes them: a host that polls one port must not find the
    // chip due again and again at the same time because of the other.
    EXPECT_EQ(host.chip.next_deadline(), kNever);
    EXPECT_EQ(host.read(64, 1), (Bytes{0x01, 0x60}));
    EXPECT_EQ(host.chip.next_deadline(), kNever);
    host.run_until(milliseconds(20));
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(host.read(64, 0), (Bytes{0x01, 0x60}));
}

TEST(FtdiBulkIn, EnabledEventCharacterFlushesAtOnce) {
    Host host;
    host.set_baud(kBaud115200);
    auto peer = host.plug_peer(0, format(115200));
    ASSERT_EQ(host.out(6, 0x0100 | '\r'), UsbStatus::ok);
    ASSERT_FALSE(host.read(4096));
    peer->send("ok\rmore", milliseconds(1));
    const auto transfer = host.read_until(milliseconds(15));
    ASSERT_TRUE(transfer);
    EXPECT_LT(host.now, milliseconds(2)); // three characters after 1 ms, not the latency timer
    EXPECT_EQ(payload(*transfer), bytes_of("ok\r"));
    EXPECT_EQ(host.read_data_until(milliseconds(100)), bytes_of("more"));

    // Disabled, the same character waits for the timer.
    ASSERT_EQ(host.out(6, '\r'), UsbStatus::ok);
    peer->send("x\r", host.now);
    const Ticks sent = host.now;
    const auto waited = host.read_until(host.now + milliseconds(30));
    ASSERT_TRUE(waited);
    EXPECT_GE(host.now - sent, milliseconds(10));
}

TEST(FtdiBulkIn, CancelledTransferLosesNothing) {
    Host host(unpaced());
    auto peer = host.plug_peer();
    peer->set_paced(false);
    ASSERT_FALSE(host.read(4096));
    const Bytes data = random_bytes(100, 1);
    peer->send(data, host.now);
    host.run_for(milliseconds(1));
    host.chip.cancel(0x81, host.now);
    // One packet was gathered for the cancelled transfer; the next transfer starts with it.
    auto first = host.read(64);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 64u);
    Bytes got = payload(*first);
    const Bytes rest = host.read_data_until(milliseconds(100));
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, data);
}

TEST(FtdiBulkIn, ModemChangesGoToTheHostAtOnce) {
    Host host;
    auto peer = host.plug_peer();
    ASSERT_FALSE(host.read(64));
    peer->set_inputs(ModemInputs{true, true, false, false}, milliseconds(3));
    auto first = host.read_until(milliseconds(20), 64);
    ASSERT_TRUE(first);
    EXPECT_EQ(host.now, milliseconds(3)); // not at the latency timer
    EXPECT_EQ(*first, (Bytes{0x31, 0x60}));

    // With no transfer pending the change waits, and the next transfer takes it at once.
    peer->set_inputs(ModemInputs{false, false, true, true}, host.now + milliseconds(1));
    host.run_for(milliseconds(2));
    auto second = host.read(64);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, (Bytes{0xC1, 0x60}));

    // The same levels again are no change: the timer decides.
    peer->set_inputs(ModemInputs{false, false, true, true}, host.now);
    const Ticks armed = host.now;
    ASSERT_TRUE(host.read_until(host.now + milliseconds(20), 64));
    EXPECT_EQ(host.now - armed, milliseconds(16));
}

TEST(FtdiBulkOut, TakesWholePacketsWhileTheyFitAndDrainsAtTheBaudRate) {
    Host host;
    host.set_baud(kBaud115200);
    auto peer = host.plug_peer();
    const Bytes data = random_bytes(300, 2);
    // 128-byte FIFO: two packets now, the rest when the line has taken enough.
    EXPECT_EQ(host.write(data), 128u);
    const auto again = host.chip.offer(0x02, std::span(data).subspan(128), host.now);
    EXPECT_EQ(again.status, UsbStatus::pending);
    EXPECT_EQ(again.length, 0u);
    std::size_t offset = 128;
    while (offset < data.size()) {
        host.run_until(host.chip.next_deadline());
        offset += host.write(std::span(data).subspan(offset));
    }
    host.run_until(host.now + milliseconds(50));
    EXPECT_EQ(peer->received_bytes(), data);
    const auto symbols = peer->received();
    const Ticks per_char = symbols[1].time - symbols[0].time;
    EXPECT_EQ(per_char, format(3000000.0 / 26).character_time());
    EXPECT_EQ(symbols.back().time - symbols.front().time, 299 * per_char); // back to back
    EXPECT_EQ(symbols.front().format.to_string(), "115385 8N1");
}

TEST(FtdiFlowControl, RtsCtsStopsTheTransmitterWhileCtsIsLow) {
    Host host;
    host.set_baud(kBaud115200);
    auto peer = host.plug_peer();
    host.set_flow(0x01);
    host.write("stop and go");
    host.run_for(milliseconds(10));
    EXPECT_TRUE(peer->received().empty());
    peer->set_inputs(ModemInputs{true, false, false, false}, host.now);
    host.run_for(microseconds(200)); // two characters
    peer->set_inputs(ModemInputs{}, host.now);
    host.run_for(milliseconds(10));
    const std::size_t during = peer->received_bytes().size();
    EXPECT_GE(during, 2u);
    EXPECT_LE(during, 4u);
    peer->set_inputs(ModemInputs{true, false, false, false}, host.now);
    host.run_for(milliseconds(10));
    EXPECT_EQ(peer->received_bytes(), bytes_of("stop and go"));

    // Without flow control CTS does not matter; DTR/DSR flow control waits for DSR instead.
    host.set_flow(0x00);
    peer->set_inputs(ModemInputs{}, host.now);
    host.write("x");
    host.run_for(milliseconds(1));
    EXPECT_EQ(peer->received_bytes().size(), 12u);
    host.set_flow(0x02);
    host.write("y");
    host.run_for(milliseconds(5));
    EXPECT_EQ(peer->received_bytes().size(), 12u);
    peer->set_inputs(ModemInputs{false, true, false, false}, host.now);
    host.run_for(milliseconds(1));
    EXPECT_EQ(peer->received_bytes().size(), 13u);
}

TEST(FtdiFlowControl, RtsDropsWhileTheReceiveFifoIsNearlyFull) {
    Host host;
    host.set_baud(kBaud115200);
    host.set_flow(0x01);
    host.modem(0x0202);
    auto peer = host.plug_peer(0, format(115200));
    EXPECT_TRUE(peer->outputs().rts);
    const Bytes data = random_bytes(240, 3);
    peer->send(data, host.now);
    host.run_for(milliseconds(30)); // the host does not read
    EXPECT_FALSE(peer->outputs().rts);
    EXPECT_TRUE(host.chip.port_state(0).rts); // the host's level is kept
    const auto history = peer->output_history();
    ASSERT_EQ(history.size(), 2u);
    // It dropped as the 224th byte arrived.
    EXPECT_FALSE(history[1].second.rts);
    EXPECT_EQ(history[1].first, 224 * format(115200).character_time());
    EXPECT_EQ(host.chip.port_state(0).rx_level, 240u);
    // The host reads: the FIFO drains and RTS rises again.
    EXPECT_EQ(host.read_data_until(host.now + milliseconds(50)), data);
    EXPECT_TRUE(peer->outputs().rts);
}

TEST(FtdiFlowControl, DtrDropsUnderDtrDsrFlowControl) {
    Host host(unpaced());
    host.set_flow(0x02);
    host.modem(0x0303);
    auto peer = host.plug_peer();
    peer->set_paced(false);
    peer->send(random_bytes(230, 4), host.now);
    host.run_for(milliseconds(1));
    EXPECT_FALSE(peer->outputs().dtr);
    EXPECT_TRUE(peer->outputs().rts);
}

TEST(FtdiFlowControl, ChipSendsXoffAndXonOnTheLine) {
    Host host;
    host.set_baud(kBaud115200);
    ASSERT_EQ(host.out(2, 0x1311, 0, 0x04), UsbStatus::ok);
    auto peer = host.plug_peer(0, format(115200));
    const Bytes data = random_bytes(240, 5);
    peer->send(data, host.now);
    host.run_for(milliseconds(30));
    ASSERT_EQ(peer->received_bytes(), (Bytes{0x13}));
    // The XOFF went out as the FIFO reached 224 bytes.
    const Ticks xoff_time = peer->received()[0].time;
    EXPECT_NEAR(static_cast<double>(xoff_time),
                224.0 * format(115200).character_time() + format(3000000.0 / 26).character_time(),
                2.0 * format(115200).character_time());
    // Received XON/XOFF characters are data to the chip: it passes them on.
    EXPECT_EQ(host.read_data_until(host.now + milliseconds(50)), data);
    EXPECT_EQ(peer->received_bytes(), (Bytes{0x13, 0x11}));
}

TEST(FtdiFlowControl, LoopbackWithHardwareFlowControlLosesNothingWhenTheHostIsSlow) {
    Host host(unpaced());
    host.set_flow(0x01);
    host.modem(0x0303);
    host.chip.attach(0, std::make_shared<LoopbackPlug>(), host.now);
    const Bytes data = random_bytes(20000, 6);
    std::size_t offset = 0;
    Bytes got;
    for (int round = 0; round < 100000 && got.size() < data.size(); ++round) {
        offset += host.write(std::span(data).subspan(offset, std::min<std::size_t>(512, data.size() - offset)));
        if (round % 7 == 0) // a host that reads now and then
            if (auto r = host.read(128))
                for (auto b : payload(*r)) got.push_back(b);
        host.now += microseconds(100);
        host.chip.advance(host.now);
    }
    EXPECT_EQ(got, data);
}

// A wire from TX to RX and RTS to CTS that is not a LoopbackPlug: the chip takes a plug's echo
// on a shortcut, and must give exactly what the wire gives.
class EchoWire final : public FarEnd {
public:
    void connect(std::shared_ptr<LineInbox> inbox, Ticks now) override {
        inbox_ = std::move(inbox);
        inbox_->push_modem(crossed(ModemOutputs{}), now);
    }
    void disconnect(Ticks) override { inbox_.reset(); }
    void transmit(const LineSymbol& symbol) override { inbox_->push_symbol(symbol); }
    void outputs_changed(const ModemOutputs& outputs, Ticks time) override {
        inbox_->push_modem(crossed(outputs), time);
    }

private:
    std::shared_ptr<LineInbox> inbox_;
};

struct LoopedRun {
    std::vector<std::size_t> taken; // what each offer took
    std::vector<Bytes> transfers;   // every IN transfer, status bytes and all
    int wakes = 0;
};

// A host that writes 512 bytes a round and reads `read` bytes every fifth round, with the port's
// flow control, event character and pacing as given; `slow` is 115200 baud, a 2 ms latency timer
// and 5 ms rounds, so that the timer runs out between characters the chip takes in one pass.
LoopedRun run_looped(std::shared_ptr<FarEnd> far_end, bool paced, std::uint8_t flow, bool event_char, std::size_t read,
                     bool slow = false) {
    FtdiConfig config = FtdiChip::default_config(1);
    config.paced = paced;
    Host host(config);
    LoopedRun run;
    host.chip.set_change_callback([&] { ++run.wakes; });
    host.set_baud(slow ? kBaud115200 : kBaud921600);
    if (slow) host.set_latency(2);
    host.set_flow(flow);
    host.modem(0x0303);
    if (event_char) {
        EXPECT_EQ(host.out(6, 0x0100 | 0x7E), UsbStatus::ok);
    }
    host.chip.attach(0, std::move(far_end), host.now);
    const Bytes data = random_bytes(12000, 21);
    std::size_t offset = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::size_t n =
            host.write(std::span(data).subspan(offset, std::min<std::size_t>(512, data.size() - offset)));
        run.taken.push_back(n);
        offset += n;
        if (round % 5 == 0)
            if (auto r = host.read(read)) run.transfers.push_back(*r);
        host.now += slow ? milliseconds(5) : microseconds(30);
        host.chip.advance(host.now);
    }
    return run;
}

TEST(FtdiLoopback, ThePlugGivesWhatAWireFromTxToRxGives) {
    for (bool paced : {false, true})
        for (std::uint8_t flow : {0x00, 0x01, 0x04})
            for (bool event_char : {false, true})
                for (std::size_t read : {128, 4096})
                    for (bool slow : {false, true}) {
                        SCOPED_TRACE(testing::Message() << "paced " << paced << ", flow " << int(flow) << ", event "
                                                        << event_char << ", reads of " << read << ", slow " << slow);
                        const LoopedRun plug =
                            run_looped(std::make_shared<LoopbackPlug>(), paced, flow, event_char, read, slow);
                        const LoopedRun wire =
                            run_looped(std::make_shared<EchoWire>(), paced, flow, event_char, read, slow);
                        EXPECT_EQ(plug.taken, wire.taken);
                        EXPECT_EQ(plug.transfers, wire.transfers);
                        std::size_t moved = 0;
                        for (const auto& t : plug.transfers) moved += payload(t).size();
                        EXPECT_GT(moved, 2000u);
                    }
}

// A host that sleeps from one of the chip's deadlines to the next, resubmitting at once what
// completed: what it got and when, on a paced line.
struct TimedRun {
    std::vector<std::pair<Ticks, std::size_t>> taken;
    std::vector<std::pair<Ticks, Bytes>> transfers;
};

TimedRun run_by_deadlines(std::shared_ptr<FarEnd> far_end, std::uint8_t flow, std::size_t read) {
    Host host(FtdiChip::default_config(1));
    host.set_baud(kBaud921600);
    host.set_flow(flow);
    host.modem(0x0303);
    host.chip.attach(0, std::move(far_end), host.now);
    const Bytes data = random_bytes(9000, 4);
    std::size_t offset = 0;
    TimedRun run;
    while (host.now < milliseconds(300)) {
        while (offset < data.size()) {
            const std::size_t n =
                host.write(std::span(data).subspan(offset, std::min<std::size_t>(512, data.size() - offset)));
            if (n == 0) break;
            run.taken.emplace_back(host.now, n);
            offset += n;
        }
        while (auto r = host.read(read)) run.transfers.emplace_back(host.now, *r);
        const Ticks next = host.chip.next_deadline();
        if (next == kNever) break;
        host.now = std::max(host.now, next);
    }
    return run;
}

TEST(FtdiLoopback, APacedPlugWakesTheHostWhenAWireWould) {
    for (std::uint8_t flow : {0x00, 0x01, 0x04})
        for (std::size_t read : {128, 4096}) {
            SCOPED_TRACE(testing::Message() << "flow " << int(flow) << ", reads of " << read);
            const TimedRun plug = run_by_deadlines(std::make_shared<LoopbackPlug>(), flow, read);
            const TimedRun wire = run_by_deadlines(std::make_shared<EchoWire>(), flow, read);
            // The first difference, rather than two long lists.
            auto first_difference = [](const auto& a, const auto& b) {
                const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
                return at.first == a.end() && at.second == b.end()
                           ? std::string("none")
                           : "at " + std::to_string(at.first - a.begin()) + ", times " +
                                 (at.first == a.end() ? "-" : std::to_string(at.first->first)) + " and " +
                                 (at.second == b.end() ? "-" : std::to_string(at.second->first));
            };
            EXPECT_EQ(first_difference(plug.taken, wire.taken), "none");
            EXPECT_EQ(first_difference(plug.transfers, wire.transfers), "none");
            std::size_t moved = 0;
            for (const auto& [t, transfer] : plug.transfers) moved += payload(transfer).size();
            EXPECT_EQ(moved, 9000u);
        }
}

TEST(FtdiBulkOut, AnOutTransferWaitingForRoomWakesTheHostWhenRoomComes) {
    Host host(unpaced());
    host.set_flow(0x01);
    auto peer = host.plug_peer();
    int wakes = 0;
    host.chip.set_change_callback([&] { ++wakes; });
    const Bytes data = random_bytes(512, 22);
    ASSERT_EQ(host.write(data), 128u); // CTS is low: the FIFO fills and the rest waits
    host.run_for(milliseconds(1));
    peer->set_inputs(ModemInputs{true, false, false, false}, host.now);
    const int before = wakes;
    host.run_for(microseconds(10));
    EXPECT_EQ(wakes, before + 1); // the FIFO drained: the host must offer the rest
    EXPECT_EQ(host.write(std::span(data).subspan(128)), 128u);
}

TEST(FtdiReceive, OverrunLosesTheByteAndSetsTheOverrunBit) {
    Host host(unpaced());
    auto peer = host.plug_peer();
    peer->set_paced(false);
    const Bytes data = random_bytes(300, 7);
    peer->send(data, host.now);
    host.run_for(milliseconds(1));
    EXPECT_EQ(host.chip.port_state(0).rx_level, 256u);
    auto first = host.read_until(milliseconds(20));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->at(1) & 0x02, 0x02);
    EXPECT_EQ(first->at(65) & 0x02, 0x00); // reported once
    EXPECT_EQ(payload(*first), Bytes(data.begin(), data.begin() + 256));
}

TEST(FtdiReceive, LineErrorsComeInThePacketThatCarriesTheBadByte) {
    Host host(unpaced());
    host.set_data(0x0208); // 8E1
    LineFormat f = format(9600, 8, Parity::even);
    auto peer = host.plug_peer(0, f);
    peer->set_paced(false);
    const Bytes good = random_bytes(62, 8);
    ASSERT_FALSE(host.read(4096));
    peer->send(good, host.now);
    peer->send_spoiled('P', true, false, host.now);
    peer->send("....", host.now);
    host.run_for(milliseconds(20));
    auto t = host.read(4096);
    ASSERT_TRUE(t);
    ASSERT_EQ(t->size(), 64u + 7u);
    EXPECT_EQ(t->at(1) & 0x9E, 0x00);
    EXPECT_EQ(t->at(65) & 0x9E, 0x84); // parity error and error in FIFO
    EXPECT_EQ(t->at(66), 'P');

    peer->send_spoiled('F', false, true, host.now);
    host.run_for(milliseconds(20));
    t = host.read(4096);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->at(1) & 0x9E, 0x88);

    peer->send_break(host.now, milliseconds(2));
    peer->send("z", host.now + milliseconds(2));
    host.run_for(milliseconds(20));
    t = host.read(4096);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->at(1) & 0x9E, 0x90);
    EXPECT_EQ(payload(*t), (Bytes{0x00, 'z'}));

    // The next packet is clean again.
    host.run_for(milliseconds(20));
    t = host.read(4096);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->at(1) & 0x9E, 0x00);
}

// The receive FIFO is a ring: a bad byte counts the same wherever the packet that carries it wraps.
TEST(FtdiReceive, LineErrorsAreCountedAcrossTheReceiveFifosWrap) {
    for (std::size_t before : {0u, 200u, 230u, 250u}) {
        SCOPED_TRACE(testing::Message() << before << " bytes through the FIFO first");
        Host host(unpaced());
        host.set_data(0x0208); // 8E1
        auto peer = host.plug_peer(0, format(9600, 8, Parity::even));
        peer->set_paced(false);
        ASSERT_FALSE(host.read(4096));
        peer->send(random_bytes(before, 3), host.now);
        host.run_for(milliseconds(20));
        auto drained = host.read(4096); // the latency timer ends it, status only when empty
        ASSERT_TRUE(drained);
        ASSERT_EQ(payload(*drained).size(), before);

        ASSERT_FALSE(host.read(4096));
        peer->send(random_bytes(40, 4), host.now);
        peer->send_spoiled('P', true, false, host.now);
        peer->send(random_bytes(40, 5), host.now);
        host.run_for(milliseconds(20));
        auto t = host.read(4096);
        ASSERT_TRUE(t);
        ASSERT_EQ(t->size(), 64u + 2u + 19u);
        EXPECT_EQ(t->at(1) & 0x9E, 0x84); // parity error and error in FIFO
        EXPECT_EQ(t->at(2 + 40), 'P');
        EXPECT_EQ(t->at(65) & 0x9E, 0x00) << "the bad byte left the FIFO with the first packet";
    }
}

TEST(FtdiReceive, EnabledErrorCharacterReplacesBadBytes) {
    Host host(unpaced());
    host.set_data(0x0208);
    ASSERT_EQ(host.out(7, 0x0100 | '?'), UsbStatus::ok);
    auto peer = host.plug_peer(0, format(9600, 8, Parity::even));
    peer->set_paced(false);
    peer->send("a", host.now);
    peer->send_spoiled('b', true, false, host.now);
    peer->send("c", host.now);
    EXPECT_EQ(host.read_data_until(milliseconds(50)), bytes_of("a?c"));
}

TEST(FtdiReceive, BaudMismatchGarblesTheData) {
    const Bytes text = bytes_of("The quick brown fox jumps over the lazy dog");
    struct Case {
        double peer_baud;
        bool garbled;
    };
    // The chip runs at 115385 baud (divisor 26).
    for (const Case& k : {Case{9600, true}, Case{57600, true}, Case{230400, true}, Case{115200 * 1.05, true},
                          Case{115200 * 0.95, true}, Case{115200 * 1.02, false}, Case{115200, false}}) {
        SCOPED_TRACE(k.peer_baud);
        Host host;
        host.set_baud(kBaud115200);
        auto peer = host.plug_peer(0, format(k.peer_baud));
        peer->send(text, host.now);
        const Ticks limit = host.now + milliseconds(200);
        Bytes got;
        bool errors = false;
        while (auto t = host.read_until(limit)) {
            for (std::size_t at = 0; at < t->size(); at += 64)
                errors = errors || (t->at(at + 1) & 0x18); // framing error or break
            for (auto b : payload(*t)) got.push_back(b);
        }
        EXPECT_EQ(errors, k.garbled);
        if (k.garbled) {
            EXPECT_NE(got, text);
            EXPECT_FALSE(got.empty());
        } else {
            EXPECT_EQ(got, text);
        }
    }
}

TEST(FtdiReceive, ASlowSenderGivesMoreCharactersAndAFastOneFewer) {
    const Bytes text = bytes_of("0123456789abcdefghij");
    auto received_at = [&](double peer_baud) {
        Host host;
        host.set_baud(0x4138); // 9600
        auto peer = host.plug_peer(0, format(peer_baud));
        peer->send(text, host.now);
        return host.read_data_until(host.now + milliseconds(500));
    };
    // A 1200-baud sender holds each bit for eight of the chip's bit times: every space bit
    // starts a character of its own.
    EXPECT_GT(received_at(1200).size(), text.size());
    // A 76800-baud sender puts eight characters into one of the chip's.
    const Bytes fast = received_at(76800);
    EXPECT_LT(fast.size(), text.size() / 2);
    EXPECT_FALSE(fast.empty());
    EXPECT_EQ(received_at(9600), text);
}

TEST(FtdiReceive, FramingMismatchGivesParityErrors) {
    Host host(unpaced());
    host.set_data(0x0108); // 8O1 at the chip
    auto peer = host.plug_peer(0, format(9600, 8, Parity::even));
    peer->set_paced(false);
    ASSERT_FALSE(host.read(4096));
    peer->send("same bytes, other parity", host.now);
    auto t = host.read_until(milliseconds(30));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->at(1) & 0x04, 0x04);
    EXPECT_EQ(payload(*t), bytes_of("same bytes, other parity"));
}

// Streams data through the chip's ports as a host that keeps polling does. A slow reader asks
// for one packet every few rounds only.
struct Flow {
    Flow(std::size_t from_port, std::size_t to_port, Bytes bytes)
        : from(from_port), to(to_port), data(std::move(bytes)) {}
    std::size_t from, to;
    Bytes data;
    std::size_t sent = 0;
    Bytes received;
    std::size_t read_size = 4096;
    int read_every = 1;
};

void stream(Host& host, std::vector<Flow>& flows, Ticks step) {
    for (int round = 0; round < 10'000'000; ++round) {
        bool done = true;
        for (auto& f : flows) {
            if (f.sent < f.data.size())
                f.sent += host.write(
                    std::span(f.data).subspan(f.sent, std::min<std::size_t>(4096, f.data.size() - f.sent)), f.from);
            if (round % f.read_every == 0)
                if (auto r = host.read(f.read_size, f.to)) {
                    const Bytes part = payload(*r);
                    f.received.insert(f.received.end(), part.begin(), part.end());
                }
            done = done && f.received.size() >= f.data.size();
        }
        if (done) return;
        host.now += step;
        host.chip.advance(host.now);
    }
}

TEST(FtdiThroughput, LoopbackCarriesOneMebibyteWithoutLoss) {
    Host host(unpaced());
    host.chip.attach(0, std::make_shared<LoopbackPlug>(), host.now);
    std::vector<Flow> flows{Flow(0, 0, random_bytes(1 << 20, 9))};
    stream(host, flows, microseconds(50));
    EXPECT_EQ(flows[0].received, flows[0].data);
}

TEST(FtdiThroughput, NullModemCarriesOneMebibyteEachWayWithoutLoss) {
    Host host(unpaced(2));
    NullModemCable cable;
    host.chip.attach(0, cable.end(0), host.now);
    host.chip.attach(1, cable.end(1), host.now);
    std::vector<Flow> flows{Flow(0, 1, random_bytes(1 << 20, 10)), Flow(1, 0, random_bytes(1 << 20, 11))};
    stream(host, flows, microseconds(50));
    EXPECT_EQ(flows[0].received, flows[0].data);
    EXPECT_EQ(flows[1].received, flows[1].data);
    EXPECT_EQ(host.chip.port_state(0).line_status & 0x02, 0);
}

TEST(FtdiThroughput, NullModemWithHardwareFlowControlKeepsUpWithASlowReader) {
    Host host(unpaced(2));
    NullModemCable cable;
    host.chip.attach(0, cable.end(0), host.now);
    host.chip.attach(1, cable.end(1), host.now);
    for (std::size_t port : {0u, 1u}) {
        host.set_flow(0x01, port);
        host.modem(0x0303, port);
    }
    // Port 1 reads a packet only every third round, so port 0 is stopped by CTS again and again.
    std::vector<Flow> flows{Flow(0, 1, random_bytes(1 << 20, 12)), Flow(1, 0, random_bytes(1 << 18, 13))};
    flows[0].read_size = 64;
    flows[0].read_every = 3;
    stream(host, flows, microseconds(50));
    EXPECT_EQ(flows[0].received, flows[0].data);
    EXPECT_EQ(flows[1].received, flows[1].data);
    EXPECT_FALSE(host.chip.port_state(1).line_status & 0x02);
}

TEST(FtdiThroughput, PacedLineTakesTheTimeOfItsCharacters) {
    Host host;
    host.set_baud(kBaud921600);
    host.chip.attach(0, std::make_shared<LoopbackPlug>(), host.now);
    std::vector<Flow> flows{Flow(0, 0, random_bytes(32 * 1024, 12))};
    stream(host, flows, microseconds(100));
    EXPECT_EQ(flows[0].received, flows[0].data);
    const double seconds = static_cast<double>(host.now) / kTicksPerSecond;
    const double line = 32.0 * 1024 * 10 / (3000000.0 / 3.25);
    EXPECT_GT(seconds, line);
    EXPECT_LT(seconds, line + 0.05);
}

TEST(FtdiPorts, PortsOfOneChipAreIndependent) {
    Host host(FtdiChip::default_config(2));
    host.set_baud(kBaud115200, 1);
    auto a = host.plug_peer(0);
    auto b = host.plug_peer(1, format(115200));
    EXPECT_EQ(host.chip.port_state(0).format.to_string(), "9600 8N1");
    b->send("to port two", host.now);
    host.write("from one", 0);
    host.run_for(milliseconds(20));
    EXPECT_EQ(a->received_bytes(), bytes_of("from one"));
    EXPECT_TRUE(b->received().empty());
    EXPECT_EQ(host.read_data_until(milliseconds(60), 4096, 1), bytes_of("to port two"));
    EXPECT_EQ(host.read_data_until(milliseconds(100), 4096, 0), Bytes{});
}

TEST(FtdiPorts, Rs485PortsHaveNoDtrDsrAndHalfDuplexDoesNotEcho) {
    FtdiConfig c = unpaced();
    c.port_types = {PortType::rs485};
    Host host(c);
    host.chip.attach(0, std::make_shared<LoopbackPlug>(), host.now);
    // Half duplex (DTR off): the transceiver does not hear itself.
    host.write("echo?");
    EXPECT_EQ(host.read_data_until(milliseconds(40)), Bytes{});
    // Full duplex (DTR on): a loopback plug brings the data back; DSR and DCD are not wired.
    host.modem(0x0303);
    host.write("echo!");
    EXPECT_EQ(host.read_data_until(milliseconds(80)), bytes_of("echo!"));
    const auto s = host.chip.port_state(0);
    EXPECT_FALSE(s.outputs.dtr);
    EXPECT_TRUE(s.outputs.rts);
    EXPECT_TRUE(s.inputs.cts);
    EXPECT_FALSE(s.inputs.dsr || s.inputs.dcd);
    EXPECT_EQ(s.modem_status, 0x11);
}

TEST(FtdiThreads, PeerOnAnotherThreadWakesTheHost) {
    Host host;
    host.set_baud(kBaud115200);
    auto peer = host.plug_peer(0, format(115200));
    // The host sleeps until the chip has something due or the change callback wakes it, as the
    // host controller does: machine time never waits for the peer's thread.
    std::mutex mutex;
    std::condition_variable woken;
    int wakes = 0;
    host.chip.set_change_callback([&] {
        std::lock_guard lock(mutex);
        ++wakes;
        woken.notify_one();
    });
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        for (int i = 0; i < 100; ++i) peer->send("0123456789", 0);
        sent = true;
    });
    Bytes got;
    int seen = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < 1000 && std::chrono::steady_clock::now() < give_up) {
        if (auto r = host.read(64))
            for (auto b : payload(*r)) got.push_back(b);
        // Only the latency timer is due while the peer has not sent: wait for it instead.
        std::unique_lock lock(mutex);
        if (wakes == seen && !sent && peer->idle())
            woken.wait_for(lock, std::chrono::milliseconds(10), [&] { return wakes != seen; });
        seen = wakes;
        lock.unlock();
        host.run_until(std::max(host.now, std::min(host.chip.next_deadline(), host.now + milliseconds(1))));
    }
    sender.join();
    ASSERT_EQ(got.size(), 1000u);
    EXPECT_GE(wakes, 100);
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], '0' + i % 10);
}

} // namespace
} // namespace hvsim::devices::test
