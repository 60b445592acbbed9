// What is plugged into a serial port's connector: a loopback plug, a cable to another port, a
// bridge to a Linux pseudo-terminal, a scripted peer. The port calls these with its own lock held
// and in time order; a far end delivers to the port only through the port's LineInbox, so it
// never calls back into a device.
#pragma once

#include <hvsim/devices/line.h>

#include <memory>

namespace hvsim::devices {

class FarEnd {
public:
    virtual ~FarEnd() = default;

    // The port's receive side; the far end pushes characters, breaks and the levels of the port's
    // modem inputs into it, starting with the levels it drives now.
    virtual void connect(std::shared_ptr<LineInbox> port_inbox, Ticks now) = 0;
    virtual void disconnect(Ticks now) = 0;

    // A symbol left the port's transmitter at symbol.time.
    virtual void transmit(const LineSymbol& symbol) = 0;
    // The port's RTS and DTR as they are on the connector.
    virtual void outputs_changed(const ModemOutputs& outputs, Ticks time) = 0;
    // The port's framing and rate were programmed.
    virtual void format_changed(const LineFormat& format, Ticks time) {}

    // A far end that sends on its own (a peer, a bridge) is stepped by the port in time order:
    // next_deadline() says when advance() has a symbol to deliver, and advance() delivers at most
    // one, so that the port's flow control acts between characters.
    virtual Ticks next_deadline() const { return kNever; }
    virtual void advance(Ticks now) {}
};

} // namespace hvsim::devices
