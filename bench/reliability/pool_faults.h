// The pool's fault injection and accounting, for tests built on the user-mode headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pool_faults {

uint64_t allocations();
uint64_t injected();
void fail_nth(uint64_t n);
void clear();
// Blocks the image still holds.
size_t blocks_of(const char* image);

} // namespace pool_faults
