// The emulated chip alone, as the USB controller drives it: one looped-back port,
// 921600 baud 8N1 with RTS/CTS, 4096-byte transfers both ways, unpaced and paced (on the chip's
// own clock). Prints `name value unit`; it shows how much of the whole stack's figures the line
// model takes.
#include <hvsim/devices/far_end_loopback.h>
#include <hvsim/devices/ftdi_chip.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace hvsim::devices;

namespace {

constexpr std::uint8_t kVendorOut = 0x41; // vendor request to an interface

void request(FtdiChip& chip, std::uint8_t number, std::uint16_t value, std::uint16_t index) {
    SetupPacket setup{kVendorOut, number, value, index, 0};
    if (chip.control(setup, {}, 0).status != UsbStatus::ok) {
        std::fprintf(stderr, "chip_bench: request %u refused\n", unsigned(number));
        std::exit(1);
    }
}

// Moves `total` bytes through the looped-back port and returns the host time a byte took, in ns.
double run(bool paced, std::size_t total) {
    FtdiConfig config = FtdiChip::default_config(1);
    config.paced = paced;
    FtdiChip chip(config);
    if (chip.control(SetupPacket{0x00, 9, 1, 0, 0}, {}, 0).status != UsbStatus::ok)
        std::exit(1);
    chip.attach(0, std::make_shared<LoopbackPlug>(), 0);
    request(chip, 3, 0x8003, 0);      // 921600 baud
    request(chip, 2, 0x1311, 0x0100); // RTS/CTS
    request(chip, 1, 0x0303, 0);      // DTR and RTS on
    request(chip, 9, 16, 0);          // latency timer 16 ms

    std::vector<std::uint8_t> out(4096), in(4096);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(i * 7 + 3);
    std::size_t sent = 0, received = 0, at = out.size();
    Ticks now = 0;
    const auto start = std::chrono::steady_clock::now();
    while (received < total) {
        if (at == out.size() && sent < total)
            at = 0;
        if (at < out.size()) {
            const BulkResult r = chip.offer(FtdiChip::out_endpoint(0), std::span(out).subspan(at), now);
            at += r.length;
            sent += r.length;
        }
        const BulkResult r = chip.poll(FtdiChip::in_endpoint(0), in, now);
        if (r.status == UsbStatus::ok) {
            for (std::size_t p = 0; p < r.length; p += FtdiChip::kPacketSize)
                received += std::min(r.length - p, FtdiChip::kPacketSize) - 2;
        } else if (r.status == UsbStatus::pending) {
            const Ticks next = chip.next_deadline();
            now = next == kNever ? now + kTicksPerMillisecond : std::max(now, next);
        } else {
            std::fprintf(stderr, "chip_bench: poll failed\n");
            std::exit(1);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return seconds * 1e9 / received;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) << 20 : std::size_t(64) << 20;
    const double unpaced = run(false, total);
    std::printf("emulated_chip_loopback_unpaced %.3f MB/s\n", 1e3 / unpaced);
    std::printf("emulated_chip_ns_per_byte %.1f ns\n", unpaced);
    // Paced, every character is timed on the line: the engine's cost when the host keeps up.
    const double paced = run(true, total / 16);
    std::printf("emulated_chip_paced_ns_per_byte %.1f ns\n", paced);
    return 0;
}
