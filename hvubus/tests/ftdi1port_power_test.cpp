// The port object across power changes and removal: save and restore with the port open, and an
// adapter pulled while data flows.
#include <hvsim/power.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "portmachine.h"

namespace porttest {
namespace {

using Power = PortMachine;
using Ops = HvISerialOperations;
using hvsim::sched::kTicksPerMillisecond;
using hvsim::sched::kTicksPerSecond;

constexpr BOOLEAN T = TRUE, F = FALSE;

std::vector<VendorRequest> requests_without_status() {
    std::vector<VendorRequest> out;
    for (auto& r : PortMachine::vendor_requests())
        if (r.request != 5) out.push_back(r);
    return out;
}

TEST_F(Power, AnOpenPortIsSavedBeforeSleepAndRestoredAfterWake) {
    hvsim::devices::FtdiChip& c = plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
    ASSERT_TRUE(call(*p, &Ops::m_ConnectCallback));
    auto peer = attach_peer();
    hvsim::devices::LineFormat format;
    format.baud = 57600;
    peer->set_format(format);
    hvsim::devices::ModemInputs inputs;
    inputs.cts = inputs.dsr = true;
    peer->set_inputs(inputs, hvsim::sched::now());
    ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, 57600u));
    ASSERT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 3u, 0u, 0u));
    ASSERT_TRUE(call(*p, &Ops::m_DtrCallback, T));
    ASSERT_TRUE(call(*p, &Ops::m_RtsCallback, T));
    ASSERT_TRUE(call(*p, &Ops::m_HandshakingSettingsCallback, T, T, F, F, F, F, F, F, F));
    run_for(50 * kTicksPerMillisecond);

    hvsim::usb::clear_urb_log();
    ASSERT_FALSE(hvsim::power::sleep().status);
    std::vector<VendorRequest> saved = {{1, false, 0x0300, 1}, {0, false, 0, 1}};
    EXPECT_EQ(requests_without_status(), saved);
    EXPECT_FALSE(c.port_state(0).rts);
    EXPECT_FALSE(c.port_state(0).dtr);

    hvsim::usb::clear_urb_log();
    ASSERT_FALSE(hvsim::power::wake().status);
    hvsim::pnp::wait_quiet();
    const int64_t woke = hvsim::sched::now();
    std::vector<VendorRequest> restored = {{1, false, 0x0300, 1}, {9, false, 16, 1}, {3, false, 0xC034, 0},
                                           {4, false, 0x0008, 1}, {0, false, 0, 1},  {7, false, 0, 1},
                                           {6, false, 0, 1}};
    auto now_requests = requests_without_status();
    ASSERT_GE(now_requests.size(), restored.size());
    EXPECT_TRUE(std::equal(restored.begin(), restored.end(), now_requests.begin()));
    // Written while the chip settles: held until the delayed restore, ten seconds after power-up.
    ASSERT_TRUE(write(*p, "after wake"));
    run_for(5 * kTicksPerSecond);
    EXPECT_TRUE(peer->received_bytes().empty());
    run_for(6 * kTicksPerSecond);
    std::vector<VendorRequest> delayed = {{2, false, 0x1311, 0x0101}, {1, false, 0x0303, 1}};
    now_requests = requests_without_status();
    ASSERT_EQ(now_requests.size(), restored.size() + delayed.size());
    EXPECT_TRUE(std::equal(delayed.begin(), delayed.end(), now_requests.begin() + (long)restored.size()));
    auto state = c.port_state(0);
    EXPECT_TRUE(state.rts);
    EXPECT_TRUE(state.dtr);
    EXPECT_EQ(state.flow_mode, 0x01);
    EXPECT_NEAR(state.format.baud, 57600, 576);
    const auto bytes = peer->received_bytes();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "after wake");
    EXPECT_GE(hvsim::sched::now() - woke, 10 * kTicksPerSecond);
    // And receiving runs again.
    peer->send("back", hvsim::sched::now());
    run_for(100 * kTicksPerMillisecond);
    {
        std::lock_guard lock(p->sink.mutex);
        EXPECT_EQ(p->sink.received, "back");
    }
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
}

TEST_F(Power, APortWithoutHandshakingRestoresNoFlowControlAndAClosedPortNothing) {
    Port* p = open();
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, 9600u));
    hvsim::usb::clear_urb_log();
    ASSERT_FALSE(hvsim::power::sleep().status);
    ASSERT_FALSE(hvsim::power::wake().status);
    hvsim::pnp::wait_quiet();
    run_for(11 * kTicksPerSecond);
    for (auto& r : vendor_requests()) EXPECT_NE(r.request, 2) << r;
    EXPECT_EQ(vendor_requests().back(), (VendorRequest{1, false, 0x0300, 1}));

    // Closed: neither the save nor the restore talks to the chip.
    EXPECT_TRUE(call(*p, &Ops::m_DisconnectCallback));
    hvsim::usb::clear_urb_log();
    ASSERT_FALSE(hvsim::power::sleep().status);
    ASSERT_FALSE(hvsim::power::wake().status);
    hvsim::pnp::wait_quiet();
    run_for(11 * kTicksPerSecond);
    EXPECT_TRUE(vendor_requests().empty());
}

TEST_F(Power, AnAdapterPulledWhileDataFlowsStopsEveryCallbackBeforeTheRecordGoes) {
    Port* p = open("ftdi:wire=loopback");
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(call(*p, &Ops::m_BaudrateCallback, 921600u));
    ASSERT_TRUE(call(*p, &Ops::m_CommSettingsCallback, 3u, 0u, 0u));
    ASSERT_TRUE(call(*p, &Ops::m_RtsCallback, T));
    ASSERT_TRUE(call(*p, &Ops::m_DtrCallback, T));
    std::string data(512 * 1024, 'x');
    for (size_t i = 0; i < data.size(); ++i) data[i] = (char)(i * 7);
    BOOLEAN written = TRUE;
    std::thread writer = hvsim::sched::start_thread("writer", [&] { written = write(*p, data); });
    {
        std::unique_lock lock(p->sink.mutex);
        ASSERT_TRUE(p->sink.changed.wait_until(lock, hvsim::sched::now() + 5 * kTicksPerSecond,
                                               [&] { return p->sink.received.size() >= 64 * 1024; }));
    }
    unplug();
    hvsim::sched::join(writer);
    // The writer was cut off by the release; nothing came back after it.
    EXPECT_FALSE(written);
    EXPECT_EQ(released_at_removal().load(), 1u);
    EXPECT_EQ(callbacks_after_release().load(), 0u);
    EXPECT_EQ(traced("CFTDI1Port Destructor - OUT"), 1);
    EXPECT_EQ(hvsim::usb::counters().pending, 0u);
}

} // namespace
} // namespace porttest
