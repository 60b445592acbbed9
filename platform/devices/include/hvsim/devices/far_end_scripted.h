// A scripted peer for tests: it sends bytes, spoiled characters and breaks with framing of its
// own, drives the port's modem inputs, and records everything the port sent with its time and
// framing. Every member is thread-safe.
#pragma once

#include <hvsim/devices/far_end.h>
#include <hvsim/devices/uart_transmitter.h>

#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace hvsim::devices {

class ScriptedPeer final : public FarEnd {
public:
    explicit ScriptedPeer(const LineFormat& format = LineFormat{});

    // The framing and rate the peer sends with, for characters not yet started.
    void set_format(const LineFormat& format);
    LineFormat format() const;
    void set_paced(bool paced);

    // Sends after whatever is still going out, not before `at`.
    void send(std::span<const std::uint8_t> bytes, Ticks at);
    void send(std::string_view text, Ticks at);
    // One character with a wrong parity bit or a missing stop bit.
    void send_spoiled(std::uint8_t value, bool bad_parity, bool bad_stop, Ticks at);
    // Holds the line in space from `at` for `duration`.
    void send_break(Ticks at, Ticks duration);
    // Drives the port's CTS, DSR, RI and DCD from `at` on.
    void set_inputs(const ModemInputs& inputs, Ticks at);
    // Nothing left to send.
    bool idle() const;

    // What the port sent, in order.
    std::vector<LineSymbol> received() const;
    std::vector<LineSymbol> take_received();
    // The values of the characters the port sent.
    std::vector<std::uint8_t> received_bytes() const;
    // The port's RTS and DTR now, and every change with its time.
    ModemOutputs outputs() const;
    std::vector<std::pair<Ticks, ModemOutputs>> output_history() const;

    void connect(std::shared_ptr<LineInbox> port_inbox, Ticks now) override;
    void disconnect(Ticks now) override;
    void transmit(const LineSymbol& symbol) override;
    void outputs_changed(const ModemOutputs& outputs, Ticks time) override;
    Ticks next_deadline() const override;
    void advance(Ticks now) override;

private:
    void wake();

    mutable std::mutex mutex_;
    std::shared_ptr<LineInbox> inbox_;
    UartTransmitter tx_;
    ModemInputs inputs_;
    ModemOutputs outputs_;
    std::vector<std::pair<Ticks, ModemOutputs>> output_history_;
    std::vector<LineSymbol> received_;
};

} // namespace hvsim::devices
