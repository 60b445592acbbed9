// Machine time as the emulated hardware sees it: 100-ns ticks since the machine started.
#pragma once

#include <cstdint>
#include <limits>

namespace hvsim::devices {

using Ticks = std::int64_t;

inline constexpr Ticks kNever = std::numeric_limits<Ticks>::max();
inline constexpr Ticks kTicksPerMicrosecond = 10;
inline constexpr Ticks kTicksPerMillisecond = 10'000;
inline constexpr Ticks kTicksPerSecond = 10'000'000;

constexpr Ticks milliseconds(std::int64_t ms) { return ms * kTicksPerMillisecond; }
constexpr Ticks microseconds(std::int64_t us) { return us * kTicksPerMicrosecond; }

} // namespace hvsim::devices
