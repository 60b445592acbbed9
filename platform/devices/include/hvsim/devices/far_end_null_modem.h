// A null-modem cable between two ports: TX to RX, RTS to CTS and DTR to DSR and DCD, crossed in
// both directions. The ports may belong to one device or to two.
#pragma once

#include <hvsim/devices/far_end.h>

#include <memory>

namespace hvsim::devices {

class NullModemCable {
public:
    NullModemCable();

    // The connector at either end (0 or 1), to attach to a port.
    std::shared_ptr<FarEnd> end(int side) const;

private:
    struct Core;
    class End;
    std::shared_ptr<FarEnd> ends_[2];
};

} // namespace hvsim::devices
