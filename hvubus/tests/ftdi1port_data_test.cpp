// Data through the port object over the emulated chip: a mebibyte each way through a loopback
// plug under hardware flow control, early acknowledgement, software XON/XOFF, status bytes,
// immediate characters and purge.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "portmachine.h"

namespace porttest {
namespace {

using Data = PortMachine;
using Ops = HvISerialOperations;
using hvsim::sched::kTicksPerMillisecond;
using hvsim::sched::kTicksPerSecond;

constexpr BOOLEAN T = TRUE, F = FALSE;

// The sanitizers slow the emulated line some forty times: there the exchange is an eighth.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kExchangeSize = 128 * 1024;
#else
constexpr size_t kExchangeSize = 1024 * 1024;
#endif

std::string random_bytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string out(size, '\0');
    for (char& c : out) c = (char)(generator() & 0xFF);
    return out;
}

// Waits until the sink holds at least `count` received bytes; false on a timeout (virtual time).
bool wait_received(Port& p, size_t count, int64_t timeout = 5 * kTicksPerSecond) {
    std::unique_lock lock(p.sink.mutex);
    return p.sink.changed.wait_until(lock, hvsim::sched::now() + timeout, [&] { return p.sink.received.size() >= count; });
}

std::vector<std::string> calls_of(Port& p, const std::string& prefix) {
    std::lock_guard lock(p.sink.mutex);
    std::vector<std::string> out;
    for (auto& c : p.sink.calls)
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
}

TEST_F(Data, RtsToggleKeepsRtsUpUntilTheLastByteLeftTheLine) {
    Port* p = open("ftdi:wire=loopback");
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, 1200u));
    ASSERT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 3u, 0u, 0u));
    ASSERT_TRUE(call(*p, &Ops::m_RtsCallback, F));
    ASSERT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, F, F, F, F, F, T, F, F, F));
    // Samples the chip each millisecond: RTS (looped back to CTS) and whether its transmitter is busy.
    std::atomic<bool> stop{false};
    bool raised = false, low_while_sending = false;
    int64_t last_sending = 0, lowered = 0;
    std::thread sampler = hvsim::sched::start_thread("sampler", [&] {
        while (!stop) {
            const auto s = chip().port_state(0);
            const bool sending = !(s.line_status & 0x40);
            if (sending) last_sending = hvsim::sched::now();
            if (s.inputs.cts) raised = true;
            if (raised && !s.inputs.cts) {
                if (sending) low_while_sending = true;
                if (!lowered) lowered = hvsim::sched::now();
            }
            run_for(kTicksPerMillisecond);
        }
    });
    EXPECT_TRUE(write(*p, std::string(120, 'U')));
    EXPECT_TRUE(wait_received(*p, 120, 5 * kTicksPerSecond));
    run_for(50 * kTicksPerMillisecond);
    stop = true;
    hvsim::sched::join(sampler);
    EXPECT_TRUE(raised);
    EXPECT_FALSE(low_while_sending);
    ASSERT_NE(lowered, 0);
    // Down within two characters (8.3 ms each) of the last stop bit.
    EXPECT_GE(lowered, last_sending);
    EXPECT_LE(lowered - last_sending, 20 * kTicksPerMillisecond);
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

TEST_F(Data, AMebibyteEachWayThroughALoopbackPlugAt921600WithHardwareFlowControl) {
    Port* p = open("ftdi:wire=loopback");
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, 921600u));
    ASSERT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 3u, 0u, 0u));
    ASSERT_TRUE(call(*p, &Ops::m_TriggerLevelsCallback, (UCHAR)1, (UCHAR)14, (UCHAR)14));
    ASSERT_TRUE(call(*p, &Ops::m_DtrCallback, T));
    ASSERT_TRUE(call(*p, &Ops::m_RtsCallback, T));
    ASSERT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, T, T, F, F, F, F, F, F, F));
    {
        std::lock_guard lock(p->sink.mutex);
        p->sink.capacity = 65536;
        p->sink.flow_off_level = 65536 - 8192;
    }
    const std::string data = random_bytes(kExchangeSize, 11);
    const int64_t start = hvsim::sched::now();
    BOOLEAN written = FALSE;
    std::thread writer = hvsim::sched::start_thread("writer", [&] { written = write(*p, data); });

    // A reader that stops reading for a second after every quarter of the data and drops RTS when
    // its queue runs full, raising it again once it has caught up.
    std::string out;
    size_t flow_offs = 0;
    bool rts_off = false;
    int64_t resume_at = 0;
    while (out.size() < data.size()) {
        std::unique_lock lock(p->sink.mutex);
        const int64_t deadline = resume_at > hvsim::sched::now() ? resume_at : hvsim::sched::now() + 5 * kTicksPerSecond;
        bool woke = p->sink.changed.wait_until(lock, deadline, [&] {
            return (p->sink.want_flow_off && !rts_off) || (resume_at <= hvsim::sched::now() && p->sink.level() > 0);
        });
        if (p->sink.want_flow_off && !rts_off) {
            lock.unlock();
            ASSERT_TRUE(call(*p, &Ops::m_RtsCallback, F));
            rts_off = true;
            ++flow_offs;
            continue;
        }
        if (resume_at > hvsim::sched::now()) continue;
        ASSERT_TRUE(woke) << "no data for 5 s after " << out.size() << " bytes";
        const size_t before = out.size();
        out.append(p->sink.received, p->sink.consumed, p->sink.level());
        p->sink.consumed = p->sink.received.size();
        if (rts_off) {
            p->sink.want_flow_off = false;
            lock.unlock();
            ASSERT_TRUE(call(*p, &Ops::m_RtsCallback, T));
            rts_off = false;
        }
        if (before / (kExchangeSize / 4) != out.size() / (kExchangeSize / 4)) resume_at = hvsim::sched::now() + kTicksPerSecond;
    }
    hvsim::sched::join(writer);
    EXPECT_TRUE(written);
    const double seconds = (double)(hvsim::sched::now() - start) / kTicksPerSecond;
    EXPECT_EQ(out.size(), data.size());
    EXPECT_TRUE(out == data) << "the data came back changed or out of order";
    {
        std::lock_guard lock(p->sink.mutex);
        EXPECT_EQ(p->sink.overflow, 0u);
        EXPECT_EQ(p->sink.written, 4096u + data.size());
    }
    EXPECT_GT(flow_offs, 0u);
    // 1 MiB at 921600 8N1 takes 11.4 s on the wire; the reader's pauses add up to 4 s.
    const double wire = kExchangeSize * 10.0 / 921600;
    EXPECT_GT(seconds, wire);
    EXPECT_LT(seconds, wire * 1.5 + 4.0);
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

// The port opened at 115200 8N1 with a scripted peer on its connector at the same rate.
struct Peered {
    Port* port = nullptr;
    std::shared_ptr<hvsim::devices::ScriptedPeer> peer;
};

Peered open_peered(PortMachine& machine, Port* p, std::shared_ptr<hvsim::devices::ScriptedPeer> peer, ULONG parity = 0) {
    hvsim::devices::LineFormat format;
    format.baud = 115200;
    format.parity = (hvsim::devices::Parity)parity;
    peer->set_format(format);
    EXPECT_TRUE(call(*p, &Ops::m_BaudrateCallback, 115200u));
    EXPECT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 3u, parity, 0u));
    EXPECT_TRUE(call(*p, &Ops::m_DtrCallback, T));
    EXPECT_TRUE(call(*p, &Ops::m_RtsCallback, T));
    std::lock_guard lock(p->sink.mutex);
    p->sink.calls.clear();
    return {p, peer};
}

bool wait_peer(hvsim::devices::ScriptedPeer& peer, size_t count, int64_t timeout = 2 * kTicksPerSecond) {
    const int64_t deadline = hvsim::sched::now() + timeout;
    while (peer.received_bytes().size() < count) {
        if (hvsim::sched::now() >= deadline) return false;
        hvsim::sched::sleep_for(kTicksPerMillisecond);
    }
    return true;
}

std::string text_of(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST_F(Data, ATenByteWriteIsAcknowledgedAtOnceAndNotAgain) {
    Port* p = open();
    ASSERT_NE(p, nullptr);
    auto [port, peer] = open_peered(*this, p, attach_peer());
    ASSERT_TRUE(write(*p, "0123456789"));
    // Reported before the characters are on the line (13 a millisecond at 115200 8N1).
    {
        std::unique_lock lock(p->sink.mutex);
        EXPECT_TRUE(p->sink.changed.wait_until(lock, hvsim::sched::now() + 100 * hvsim::sched::kTicksPerMicrosecond,
                                               [&] { return p->sink.written == 4096 + 10; }));
    }
    EXPECT_LT(peer->received_bytes().size(), 10u);
    EXPECT_EQ(calls_of(*p, "written"), std::vector<std::string>{"written 10"});
    ASSERT_TRUE(wait_peer(*peer, 10));
    run_for(50 * kTicksPerMillisecond);
    EXPECT_EQ(text_of(peer->received_bytes()), "0123456789");
    EXPECT_EQ(calls_of(*p, "written"), std::vector<std::string>{"written 10"});

    // An immediate character on an idle port goes out at once and is reported sent.
    ASSERT_TRUE(call(*p, &Ops::m_SendImmediateCharacterCallback, (UCHAR)'Z'));
    ASSERT_TRUE(wait_peer(*peer, 11));
    EXPECT_EQ(peer->received_bytes().back(), 'Z');
    EXPECT_EQ(calls_of(*p, "immediate").size(), 1u);
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

TEST_F(Data, ReceivedXoffHoldsTheTransmitterUntilXon) {
    Port* p = open();
    ASSERT_NE(p, nullptr);
    auto [port, peer] = open_peered(*this, p, attach_peer());
    ASSERT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, F, F, F, F, F, F, T, F, F));
    peer->send("\x13", hvsim::sched::now());
    ASSERT_TRUE(wait_received(*p, 1));
    ASSERT_TRUE(write(*p, "held"));
    run_for(200 * kTicksPerMillisecond);
    EXPECT_TRUE(peer->received_bytes().empty());
    peer->send("\x11", hvsim::sched::now());
    ASSERT_TRUE(wait_peer(*peer, 4));
    EXPECT_EQ(text_of(peer->received_bytes()), "held");
    // The flow characters stay in the data.
    std::lock_guard lock(p->sink.mutex);
    EXPECT_EQ(p->sink.received, "\x13\x11");
}

TEST_F(Data, SentXoffHoldsTheTransmitterUntilXonIsSent) {
    hvsim::devices::FtdiChip& c = plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
    ASSERT_TRUE(call(*p, &Ops::m_ConnectCallback));
    auto [port, peer] = open_peered(*this, p, attach_peer());
    ASSERT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, F, F, F, F, F, F, F, T, F));
    EXPECT_EQ(c.port_state(0).flow_mode, 0x04);
    ASSERT_TRUE(call(*p, &Ops::m_SendXonXoffCallback, T));
    ASSERT_TRUE(wait_peer(*peer, 1));
    EXPECT_EQ(calls_of(*p, "xoff-sent"), std::vector<std::string>{"xoff-sent 1"});
    ASSERT_TRUE(write(*p, "abc"));
    run_for(200 * kTicksPerMillisecond);
    EXPECT_EQ(text_of(peer->received_bytes()), "\x13");
    ASSERT_TRUE(call(*p, &Ops::m_SendXonXoffCallback, F));
    ASSERT_TRUE(wait_peer(*peer, 5));
    EXPECT_EQ(text_of(peer->received_bytes()), "\x13\x11" "abc");
    EXPECT_TRUE(calls_of(*p, "immediate").empty());
}

TEST_F(Data, ModemAndLineStatusFromThePacketsReachThePortDriver) {
    Port* p = open();
    ASSERT_NE(p, nullptr);
    auto [port, peer] = open_peered(*this, p, attach_peer(), 2);
    hvsim::devices::ModemInputs inputs;
    inputs.cts = inputs.dsr = inputs.ri = inputs.dcd = true;
    peer->set_inputs(inputs, hvsim::sched::now());
    run_for(50 * kTicksPerMillisecond);
    inputs.ri = false;
    peer->set_inputs(inputs, hvsim::sched::now());
    run_for(50 * kTicksPerMillisecond);
    EXPECT_EQ(calls_of(*p, "modem"), (std::vector<std::string>{"modem 1 1 1 0 1", "modem 1 1 0 1 1"}));

    // A character with a bad parity bit: parity error, with data ready and the FIFO error.
    peer->send_spoiled('A', true, false, hvsim::sched::now());
    ASSERT_TRUE(wait_received(*p, 1));
    run_for(50 * kTicksPerMillisecond);
    bool parity_reported = false;
    for (auto& line : calls_of(*p, "line"))
        parity_reported = parity_reported || (line.rfind("line 0 1 0 0 1", 0) == 0 && line.back() == '1');
    EXPECT_TRUE(parity_reported);
    // With DSR sensitivity and DSR low, received data is dropped.
    ASSERT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, F, F, F, F, T, F, F, F, F));
    inputs.dsr = false;
    peer->set_inputs(inputs, hvsim::sched::now());
    run_for(50 * kTicksPerMillisecond);
    peer->send("lost", hvsim::sched::now());
    run_for(200 * kTicksPerMillisecond);
    std::lock_guard lock(p->sink.mutex);
    EXPECT_EQ(p->sink.received.size(), 1u);
}

TEST_F(Data, PurgeDropsWhatWaitsAndReportsItWritten) {
    hvsim::devices::FtdiChip& c = plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
    ASSERT_TRUE(call(*p, &Ops::m_ConnectCallback));
    auto [port, peer] = open_peered(*this, p, attach_peer());
    // CTS low under hardware flow control: nothing may go.
    hvsim::devices::ModemInputs inputs;
    inputs.cts = false;
    inputs.dsr = true;
    peer->set_inputs(inputs, hvsim::sched::now());
    ASSERT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, T, T, F, F, F, F, F, F, F));
    run_for(50 * kTicksPerMillisecond);
    const std::string data = random_bytes(1000, 3);
    ASSERT_TRUE(write(*p, data));
    run_for(100 * kTicksPerMillisecond);
    EXPECT_TRUE(peer->received_bytes().empty());
    hvsim::usb::clear_urb_log();
    ASSERT_TRUE(call(*p, &Ops::m_PurgeCallback, T, F));
    EXPECT_EQ(vendor_requests().back(), (VendorRequest{0, false, 1, 1}));
    {
        std::lock_guard lock(p->sink.mutex);
        EXPECT_EQ(p->sink.written, 4096u + data.size());
    }
    inputs.cts = true;
    peer->set_inputs(inputs, hvsim::sched::now());
    run_for(200 * kTicksPerMillisecond);
    EXPECT_TRUE(peer->received_bytes().empty());
    EXPECT_EQ(c.port_state(0).tx_level, 0u);
    // Sending works again.
    ASSERT_TRUE(write(*p, "after"));
    ASSERT_TRUE(wait_peer(*peer, 5));
    EXPECT_EQ(text_of(peer->received_bytes()), "after");
}

TEST_F(Data, ABulkPipeThatKeepsFailingIsNotHammeredAndItsDataIsGivenUp) {
    Port* p = open();
    ASSERT_NE(p, nullptr);
    auto [port, peer] = open_peered(*this, p, attach_peer());
    hvsim::usb::UrbMatch match;
    match.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    match.in = false;
    match.count = 0;
    hvsim::usb::inject(match, {hvsim::usb::FaultKind::fail, USBD_STATUS_STALL_PID, 0});
    hvsim::usb::clear_urb_log();
    ASSERT_TRUE(write(*p, "doomed"));
    run_for(500 * kTicksPerMillisecond);
    // A few tries a short pause apart, then the data is reported written so that no write hangs.
    EXPECT_EQ(bulk(false).size(), 5u);
    {
        std::lock_guard lock(p->sink.mutex);
        EXPECT_EQ(p->sink.written, 4096u + 6);
    }
    hvsim::usb::clear_faults();
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

} // namespace
} // namespace porttest
