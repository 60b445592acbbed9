// The data path under faults, on the installed package over the emulated chip: every pool
// allocation of an open, a 4 KiB transfer and a close failed in turn; adapters pulled out at
// random moments of open, transfer and close; random control requests from a user-mode program;
// and a null-modem pair moving data for a long stretch of machine time through random
// flow-control pauses, purges and timeouts with every byte accounted for. After each, the port
// must open and carry data again. The long forms run under the `soak` label (HV_SOAK=1).
#include "comport_fixture.h"

#include <hvsim/user.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "comport_pnp.h"
#include "pool_faults.h"

namespace comport_test {
namespace {

bool soak() { return std::getenv("HV_SOAK") != nullptr; }

// The sanitizers slow the emulated line some forty times: there the bounded runs are shorter.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 10;
#else
constexpr int kSlowdown = 1;
#endif

std::vector<BYTE> pattern(size_t bytes, size_t seed) {
    std::vector<BYTE> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<BYTE>(i * 7 + (i >> 8) * 13 + seed * 101);
    return data;
}

class Reliability : public ComPortTest {
protected:
    // 921600 8N1 RTS/CTS with the given total timeouts; the status of the first refused setting.
    static LONG set_up(HANDLE port, ULONG read_total, ULONG write_total) {
        SERIAL_BAUD_RATE rate{921600};
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 1024, 1024};
        SERIAL_TIMEOUTS timeouts{0, 0, read_total, 0, write_total};
        for (auto [code, input, length] : {std::tuple<ULONG, const void*, DWORD>{IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate},
                                           {IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line},
                                           {IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow},
                                           {IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts}}) {
            Pending request;
            DeviceIoControl(port, code, const_cast<void*>(input), length, nullptr, 0, nullptr, &request.overlapped);
            if (!request.wait(10000)) return kStatusPending;
            if (request.status() != kStatusSuccess) return request.status();
        }
        return kStatusSuccess;
    }

    // Writes `bytes` and reads them back on a looped-back port; "" or what went wrong. Requests
    // that fail must fail cleanly: every one completes within the timeouts.
    static std::string exchange(HANDLE port, size_t bytes, size_t seed, bool must_succeed) {
        const std::vector<BYTE> sent = pattern(bytes, seed);
        std::vector<BYTE> got(bytes);
        Pending read, write;
        // A request refused at once (its IRP could not be allocated) never completes: only
        // started ones are waited for.
        auto started = [](BOOL done) { return done || GetLastError() == ERROR_IO_PENDING; };
        const bool reading = started(ReadFile(port, got.data(), static_cast<DWORD>(bytes), nullptr, &read.overlapped));
        const bool writing = started(WriteFile(port, sent.data(), static_cast<DWORD>(bytes), nullptr, &write.overlapped));
        if (!writing && reading) CancelIo(port);
        if (writing && !write.wait(20000)) return "the write hung";
        if (reading && !read.wait(20000)) return "the read hung";
        if (!must_succeed) return "";
        if (!reading || !writing) return "a request did not start";
        if (write.status() != kStatusSuccess || write.information() != bytes) return "the write failed";
        if (read.status() != kStatusSuccess || read.information() != bytes)
            return "the read got " + std::to_string(read.information()) + " bytes";
        if (std::memcmp(sent.data(), got.data(), bytes) != 0) return "the data came back changed";
        return "";
    }

    // The port opens, takes its settings and loops 4 KiB back unchanged.
    void expect_port_works(const std::u16string& name, const std::string& after) {
        HANDLE port = open(name);
        ASSERT_NE(INVALID_HANDLE_VALUE, port) << "the port no longer opens after " << after;
        EXPECT_EQ(kStatusSuccess, set_up(port, 5000, 5000)) << after;
        EXPECT_EQ("", exchange(port, 4096, 3, true)) << after;
        EXPECT_TRUE(CloseHandle(port));
    }

    static void report(const char* what, uint64_t faults, uint64_t runs) {
        std::printf("[ reliability ] %s: %llu faults injected in %llu runs\n", what,
                    static_cast<unsigned long long>(faults), static_cast<unsigned long long>(runs));
    }
};

// One cycle: open, set up, 4 KiB there and back, close. Counted clean once, then run again with
// each of its pool allocations failed in turn.
TEST_F(Reliability, EveryPoolAllocationOfOpenTransferAndCloseFailedInTurn) {
    const std::vector<Port> found = ports(plug("ftdi:wire=loopback,paced=off"));
    ASSERT_EQ(1u, found.size());
    const std::u16string name = found[0].name;
    auto cycle = [&](bool must_succeed) {
        HANDLE port = open(name);
        if (port == INVALID_HANDLE_VALUE) return std::string();
        std::string failure;
        if (set_up(port, 5000, 5000) == kStatusSuccess || !must_succeed) failure = exchange(port, 4096, 1, must_succeed);
        else failure = "a setting was refused";
        if (!CloseHandle(port)) failure += "; the handle did not close";
        return failure;
    };
    const size_t before = pool_faults::blocks_of("HvUVCP.sys");
    const uint64_t start = pool_faults::allocations();
    ASSERT_EQ("", cycle(true));
    wait_quiet();
    const uint64_t allocations = pool_faults::allocations() - start;
    ASSERT_GT(allocations, 0u);
    const uint64_t injected_before = pool_faults::injected();
    uint64_t runs = 0;
    // HV_SWEEP_FROM=n starts the sweep at allocation n (to look at one failure in a debugger).
    const uint64_t from = std::getenv("HV_SWEEP_FROM") ? std::strtoull(std::getenv("HV_SWEEP_FROM"), nullptr, 10) : 1;
    for (uint64_t n = from; n <= allocations; ++n, ++runs) {
        pool_faults::fail_nth(n);
        const std::string failure = cycle(false);
        pool_faults::clear();
        wait_quiet();
        EXPECT_EQ("", failure) << "allocation " << n << " of " << allocations << " failed";
        EXPECT_EQ(before, pool_faults::blocks_of("HvUVCP.sys"))
            << "the port driver holds pool after the cycle whose allocation " << n << " failed";
        if (HasFailure()) break;
    }
    const uint64_t injected = pool_faults::injected() - injected_before;
    report("pool allocation sweep", injected, runs);
    EXPECT_GT(injected, 0u);
    expect_port_works(name, "the sweep");
}

// The adapter goes while a program opens its port, moves data or closes it; every request
// completes, the handle closes, and the adapter plugged again gives a port that works.
TEST_F(Reliability, SurpriseRemovalAtRandomMomentsOfOpenTransferAndClose) {
    std::mt19937 random(20261209);
    const int rounds = soak() ? 200 : 12;
    std::u16string name;
    for (int round = 0; round < rounds; ++round) {
        const std::string id = plug("ftdi:wire=loopback");
        const std::vector<Port> found = ports(id);
        ASSERT_EQ(1u, found.size());
        name = found[0].name;
        std::string failure;
        auto process = hvsim::user::Process::create({});
        process->start([&]() -> DWORD {
            for (int cycle = 0; cycle < 3; ++cycle) {
                HANDLE port = open(name);
                if (port == INVALID_HANDLE_VALUE) return 0; // gone before the open
                set_up(port, 3000, 3000);
                const std::string why = exchange(port, 2048, cycle, false);
                if (!why.empty()) failure = why;
                if (!CloseHandle(port)) failure = "the handle did not close";
            }
            return 0;
        });
        Sleep(std::uniform_int_distribution<DWORD>(0, 120)(random));
        unplug(id);
        process->wait();
        EXPECT_EQ("", failure) << "round " << round;
        if (HasFailure()) break;
    }
    report("surprise removal", static_cast<uint64_t>(rounds), static_cast<uint64_t>(rounds));
    const std::vector<Port> again = ports(plug("ftdi:wire=loopback"));
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(name, again[0].name);
    expect_port_works(again[0].name, "the removals");
}

// Random control requests: the serial codes with random buffer sizes and contents, and random
// codes of the serial device type and others. None may crash or hang the port; afterwards a
// fresh open works as before.
TEST_F(Reliability, RandomControlRequestsLeaveThePortUsable) {
    const std::vector<Port> found = ports(plug("ftdi:wire=loopback,paced=off"));
    ASSERT_EQ(1u, found.size());
    std::mt19937 random(16);
    const int calls = soak() ? 200000 : 3000 / kSlowdown;
    HANDLE port = open(found[0].name);
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    int pending_left = 0;
    for (int call = 0; call < calls; ++call) {
        ULONG code;
        switch (random() % 4) {
        case 0: code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, random() % 64, random() % 4, random() % 4); break;
        case 1: code = static_cast<ULONG>(random()); break;
        default: code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, random() % 40, METHOD_BUFFERED, FILE_ANY_ACCESS); break;
        }
        // A break left on would hold the line for the rest of the run.
        if (code == IOCTL_SERIAL_SET_BREAK_ON) continue;
        auto size = [&]() -> DWORD {
            switch (random() % 6) {
            case 0: return 0;
            case 1: return random() % 4;
            case 2: return 4 + random() % 32;
            default: return random() % 300;
            }
        };
        std::vector<BYTE> input(size()), output(size());
        for (auto& b : input) b = static_cast<BYTE>(random());
        // Half the time the first field is small, as masks, flags and counts are: random words
        // alone are refused at once and never reach what a valid value starts.
        if (input.size() >= 4 && random() % 2) {
            const ULONG small = random() % 3 ? random() & 0x1FFF : random() % 64;
            std::memcpy(input.data(), &small, 4);
        }
        if (code == IOCTL_SERIAL_SET_BAUD_RATE && input.size() >= 4) {
            const ULONG rate = 300 + random() % 921300;
            std::memcpy(input.data(), &rate, 4);
        }
        Pending request;
        DeviceIoControl(port, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                        output.empty() ? nullptr : output.data(), static_cast<DWORD>(output.size()), nullptr,
                        &request.overlapped);
        if (!request.done()) {
            // A wait or a long request: cancelled, and it must end.
            CancelIo(port);
            ASSERT_TRUE(request.wait(10000)) << "control code 0x" << std::hex << code << " did not end when cancelled";
            ++pending_left;
        }
        ASSERT_LE(request.information(), output.size() + input.size()) << std::hex << code;
    }
    EXPECT_TRUE(CloseHandle(port));
    std::printf("[ reliability ] control-code fuzzer: %d random requests, %d of them pended and were cancelled\n",
                calls, pending_left);
    expect_port_works(found[0].name, "the random control requests");
}

// A null-modem pair at 921600 8N1 RTS/CTS in machine time: each side writes random bursts; the
// readers pause at random (only the handshake keeps the receive queues from overflowing), read
// with random timeouts, and now and then the line is brought to rest and the receive queue
// purged, with what it held counted as purged. Every byte sent is received in order or purged.
TEST_F(Reliability, NullModemSoakAccountsForEveryByte) {
    std::vector<Port> found = ports(plug("ftdi:interfaces=2,wire=null-modem"));
    ASSERT_EQ(2u, found.size());
    HANDLE side[2] = {open(found[0].name), open(found[1].name)};
    for (HANDLE h : side) {
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        ASSERT_EQ(kStatusSuccess, set_up(h, 0, 0));
    }
    std::mt19937 random(92160);
    const double seconds = soak() ? 3 * 3600.0 : 20.0 / kSlowdown; // of machine time
    const LARGE_INTEGER start = [] { LARGE_INTEGER t; QueryPerformanceCounter(&t); return t; }();
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    auto elapsed = [&] {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
    };
    // The stream of each side is pattern(total, side): byte i of it is a function of i alone.
    auto byte_at = [](uint64_t i, int s) { return static_cast<BYTE>(i * 7 + (i >> 8) * 13 + s * 101); };
    uint64_t sent[2] = {0, 0}, received[2] = {0, 0}, purged[2] = {0, 0}, mismatches = 0, pauses = 0, purges = 0,
             timeouts = 0;
    while (elapsed() < seconds && !HasFailure()) {
        // Both sides send a burst; the receive side of each reads with a random timeout after a
        // random pause.
        Pending writes[2], reads[2];
        std::vector<BYTE> out[2], in[2];
        for (int s = 0; s < 2; ++s) {
            const size_t burst = 1 + random() % 12000;
            out[s].resize(burst);
            for (size_t i = 0; i < burst; ++i) out[s][i] = byte_at(sent[s] + i, s);
            WriteFile(side[s], out[s].data(), static_cast<DWORD>(burst), nullptr, &writes[s].overlapped);
        }
        if (random() % 3 == 0) {
            ++pauses;
            Sleep(random() % 200);
        }
        for (int s = 0; s < 2; ++s) {
            const ULONG total = random() % 4 == 0 ? 1 + random() % 20 : 5000;
            SERIAL_TIMEOUTS t{0, 0, total, 0, 0};
            ASSERT_EQ(kStatusSuccess, control(side[s], IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t).status);
            in[s].resize(out[1 - s].size());
            ReadFile(side[s], in[s].data(), static_cast<DWORD>(in[s].size()), nullptr, &reads[s].overlapped);
        }
        for (int s = 0; s < 2; ++s) {
            ASSERT_TRUE(reads[s].wait(60000));
            if (reads[s].information() < in[s].size()) ++timeouts;
            for (size_t i = 0; i < reads[s].information(); ++i)
                mismatches += in[s][i] != byte_at(received[s] + purged[s] + i, 1 - s);
            received[s] += reads[s].information();
        }
        for (int s = 0; s < 2; ++s) {
            ASSERT_TRUE(writes[s].wait(60000));
            ASSERT_EQ(kStatusSuccess, writes[s].status());
            sent[s] += writes[s].information();
        }
        // Let the line come to rest, then drain what is left, or purge it now and then.
        Sleep(20);
        for (int s = 0; s < 2; ++s) {
            SERIAL_STATUS status{};
            ASSERT_EQ(kStatusSuccess, control(side[s], IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status).status);
            EXPECT_EQ(0u, status.Errors);
            const uint64_t outstanding = sent[1 - s] - received[s] - purged[s];
            EXPECT_EQ(outstanding, status.AmountInInQueue) << "bytes neither received, queued nor purged";
            if (random() % 8 == 0) {
                ++purges;
                ULONG mask = SERIAL_PURGE_RXCLEAR;
                ASSERT_EQ(kStatusSuccess, control(side[s], IOCTL_SERIAL_PURGE, &mask, sizeof mask).status);
                purged[s] += status.AmountInInQueue;
            } else if (outstanding) {
                SERIAL_TIMEOUTS t{0, 0, 1000, 0, 0};
                control(side[s], IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
                std::vector<BYTE> rest(outstanding);
                Pending read;
                ReadFile(side[s], rest.data(), static_cast<DWORD>(rest.size()), nullptr, &read.overlapped);
                ASSERT_TRUE(read.wait(60000));
                for (size_t i = 0; i < read.information(); ++i)
                    mismatches += rest[i] != byte_at(received[s] + purged[s] + i, 1 - s);
                received[s] += read.information();
            }
        }
    }
    EXPECT_EQ(0u, mismatches);
    for (int s = 0; s < 2; ++s) EXPECT_EQ(sent[1 - s], received[s] + purged[s]) << "side " << s;
    std::printf("[ reliability ] null-modem soak: %.0f s of machine time, %llu + %llu bytes sent, %llu purged, "
                "%llu pauses, %llu purges, %llu reads ended by their timeout\n",
                elapsed(), (unsigned long long)sent[0], (unsigned long long)sent[1],
                (unsigned long long)(purged[0] + purged[1]), (unsigned long long)pauses, (unsigned long long)purges,
                (unsigned long long)timeouts);
    for (HANDLE h : side) EXPECT_TRUE(CloseHandle(h));
}

} // namespace
} // namespace comport_test
