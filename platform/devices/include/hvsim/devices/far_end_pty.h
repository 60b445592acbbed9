// A bridge from a port to a Linux pseudo-terminal, so that a real program on the slave side
// talks to the port. Bytes pass both ways on a thread of the bridge's own. The framing and rate
// pass both ways as well: when the port is programmed the pty's termios follows, and when the
// program changes the termios the far end sends and receives with its settings from then on,
// so a program at the wrong rate sees garbled data as on a real line. CRTSCTS on the pty makes
// the far end honour the port's RTS and drop the port's CTS while the program does not read.
#pragma once

#include <hvsim/devices/far_end.h>
#include <hvsim/devices/uart_receiver.h>
#include <hvsim/devices/uart_transmitter.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace hvsim::devices {

class PtyBridge final : public FarEnd {
public:
    using Log = std::function<void(const std::string&)>;

    // Opens the pseudo-terminal (raw, 8N1) and starts the thread; the slave's name is logged and,
    // with print set, written to standard output. Throws std::system_error when no pty opens.
    explicit PtyBridge(std::string label = "port", Log log = {}, bool print = true);
    // Stops the thread and closes the pty.
    ~PtyBridge() override;
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    const std::string& slave_name() const { return slave_name_; }
    void set_paced(bool paced);
    // The framing the far end uses now.
    LineFormat format() const;
    // Bytes for the program that did not fit while it did not read.
    std::size_t dropped() const;
    // The program asked for CRTSCTS and the bridge follows it.
    bool hardware_flow() const;

    void connect(std::shared_ptr<LineInbox> port_inbox, Ticks now) override;
    void disconnect(Ticks now) override;
    void transmit(const LineSymbol& symbol) override;
    void outputs_changed(const ModemOutputs& outputs, Ticks time) override;
    void format_changed(const LineFormat& format, Ticks time) override;
    Ticks next_deadline() const override;
    void advance(Ticks now) override;

    static constexpr std::size_t kOutgoingLimit = 64 * 1024; // towards the program
    static constexpr std::size_t kIncomingLimit = 16 * 1024; // from the program, not yet sent

private:
    void run();
    void wake();
    void push_inputs_locked(Ticks time);
    void deliver_locked(const std::vector<ReceivedAt>& chars, Ticks time);
    ModemInputs inputs_locked() const;

    std::string label_;
    Log log_;
    int master_ = -1;
    int wake_fd_ = -1;
    std::string slave_name_;

    mutable std::mutex mutex_;
    std::shared_ptr<LineInbox> inbox_;
    UartTransmitter tx_;                // what the program wrote, on its way to the port
    UartReceiver rx_;                   // what the port sent, as the program's settings see it
    std::deque<std::uint8_t> outgoing_; // what the port sent, on its way to the program
    LineFormat format_;
    bool format_pending_ = false; // set by the port, to be written to the termios
    bool hardware_flow_ = false;  // CRTSCTS on the pty
    ModemOutputs port_outputs_;
    ModemInputs last_inputs_;
    Ticks last_time_ = 0;
    std::size_t dropped_ = 0;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace hvsim::devices
