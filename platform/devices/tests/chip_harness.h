// A host for the chip in tests: the requests a driver sends, and a clock the test moves.
#pragma once

#include <hvsim/devices/far_end_scripted.h>
#include <hvsim/devices/ftdi_chip.h>

#include <gtest/gtest.h>

#include "line_formats.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hvsim::devices::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The data bytes of a bulk-IN transfer, without the two status bytes of each packet.
inline Bytes payload(std::span<const std::uint8_t> transfer) {
    Bytes data;
    for (std::size_t at = 0; at < transfer.size(); at += FtdiChip::kPacketSize) {
        const std::size_t end = std::min(transfer.size(), at + FtdiChip::kPacketSize);
        if (end - at > 2)
            data.insert(data.end(), transfer.begin() + static_cast<std::ptrdiff_t>(at + 2),
                        transfer.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return data;
}

struct Host {
    explicit Host(FtdiConfig config = FtdiChip::default_config(1)) : chip(std::move(config)) {
        SetupPacket set_configuration{0x00, 9, 1, 0, 0};
        EXPECT_EQ(chip.control(set_configuration, {}, now).status, UsbStatus::ok);
    }

    // Requests to a port (0-based); wIndex carries its interface index.
    UsbStatus out(std::uint8_t request, std::uint16_t value, std::size_t port = 0, std::uint16_t index_high = 0) {
        SetupPacket setup{kRequestTypeVendor | kRecipientInterface, request, value,
                          static_cast<std::uint16_t>(index_high << 8 | (port + 1)), 0};
        return chip.control(setup, {}, now).status;
    }
    UsbStatus out_raw(std::uint8_t request, std::uint16_t value, std::uint16_t index) {
        SetupPacket setup{kRequestTypeVendor | kRecipientInterface, request, value, index, 0};
        return chip.control(setup, {}, now).status;
    }
    std::optional<Bytes> in(std::uint8_t request, std::uint16_t index, std::uint16_t length) {
        SetupPacket setup{kRequestTypeIn | kRequestTypeVendor | kRecipientInterface, request, 0, index, length};
        Bytes data(length);
        const ControlResult r = chip.control(setup, data, now);
        if (r.status != UsbStatus::ok) return std::nullopt;
        data.resize(r.length);
        return data;
    }

    // The fraction's third bit is bit 0 of wIndex on a single-port chip, of its high byte otherwise.
    void set_baud(std::uint16_t value, std::size_t port = 0, unsigned code_high = 0) {
        const auto index =
            static_cast<std::uint16_t>(chip.port_count() == 1 ? code_high : (code_high << 8 | (port + 1)));
        ASSERT_EQ(out_raw(3, value, index), UsbStatus::ok);
    }
    void set_data(std::uint16_t word, std::size_t port = 0) { ASSERT_EQ(out(4, word, port), UsbStatus::ok); }
    void set_flow(std::uint8_t mode, std::size_t port = 0) { ASSERT_EQ(out(2, 0x1311, port, mode), UsbStatus::ok); }
    void set_latency(std::uint8_t ms, std::size_t port = 0) { ASSERT_EQ(out(9, ms, port), UsbStatus::ok); }
    void modem(std::uint16_t word, std::size_t port = 0) { ASSERT_EQ(out(1, word, port), UsbStatus::ok); }

    // Offers everything; returns how much the chip took now.
    std::size_t write(std::span<const std::uint8_t> data, std::size_t port = 0) {
        return chip.offer(FtdiChip::out_endpoint(port), data, now).length;
    }
    std::size_t write(std::string_view text, std::size_t port = 0) {
        const Bytes data = bytes_of(text);
        return write(data, port);
    }

    // Polls an IN transfer of `length` bytes once.
    std::optional<Bytes> read(std::size_t length, std::size_t port = 0) {
        Bytes buffer(length);
        const BulkResult r = chip.poll(FtdiChip::in_endpoint(port), buffer, now);
        if (r.status != UsbStatus::ok) return std::nullopt;
        buffer.resize(r.length);
        return buffer;
    }

    // Polls one transfer, moving time from deadline to deadline, until it completes or `limit`.
    std::optional<Bytes> read_until(Ticks limit, std::size_t length = 4096, std::size_t port = 0) {
        for (;;) {
            if (auto r = read(length, port)) return r;
            const Ticks next = chip.next_deadline();
            if (next > limit) return std::nullopt;
            now = std::max(now, next);
        }
    }

    // Reads the data arriving before `limit`, transfer after transfer.
    Bytes read_data_until(Ticks limit, std::size_t length = 4096, std::size_t port = 0) {
        Bytes data;
        while (auto r = read_until(limit, length, port)) {
            const Bytes part = payload(*r);
            data.insert(data.end(), part.begin(), part.end());
        }
        return data;
    }

    void run_until(Ticks t) {
        now = std::max(now, t);
        chip.advance(now);
    }
    void run_for(Ticks d) { run_until(now + d); }

    std::shared_ptr<ScriptedPeer> plug_peer(std::size_t port = 0, const LineFormat& format = LineFormat{}) {
        auto peer = std::make_shared<ScriptedPeer>(format);
        chip.attach(port, peer, now);
        return peer;
    }

    FtdiChip chip;
    Ticks now = 0;
};

inline FtdiConfig unpaced(int interfaces = 1) {
    FtdiConfig c = FtdiChip::default_config(interfaces);
    c.paced = false;
    return c;
}

// 115200 baud: divisor 26.
inline constexpr std::uint16_t kBaud115200 = 0x001A;
// 921600 baud: divisor 3 + 1/4 (923077 baud).
inline constexpr std::uint16_t kBaud921600 = 0x8003;

} // namespace hvsim::devices::test
