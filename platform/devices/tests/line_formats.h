// Line settings for tests, written as they are said: format(9600, 7, Parity::even).
#pragma once

#include <hvsim/devices/line.h>

namespace hvsim::devices::test {

inline LineFormat format(double baud, int bits = 8, Parity parity = Parity::none, StopBits stop = StopBits::one) {
    LineFormat f;
    f.baud = baud;
    f.data_bits = static_cast<std::uint8_t>(bits);
    f.parity = parity;
    f.stop_bits = stop;
    return f;
}

} // namespace hvsim::devices::test
