// A loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD. It serves one port, whose lock
// serialises every call, so it takes no lock of its own (it carries every character twice).
#pragma once

#include <hvsim/devices/far_end.h>

#include <mutex>

namespace hvsim::devices {

class LoopbackPlug final : public FarEnd {
public:
    void connect(std::shared_ptr<LineInbox> port_inbox, Ticks now) override;
    void disconnect(Ticks now) override;
    void transmit(const LineSymbol& symbol) override;
    void outputs_changed(const ModemOutputs& outputs, Ticks time) override;

private:
    std::shared_ptr<LineInbox> inbox_;
};

} // namespace hvsim::devices
