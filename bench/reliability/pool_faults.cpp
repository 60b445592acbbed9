#include "pool_faults.h"

#include <hvsim/pool.h>

namespace pool_faults {

uint64_t allocations() { return hvsim::pool::allocation_count(); }
uint64_t injected() { return hvsim::pool::injected_failure_count(); }
void fail_nth(uint64_t n) { hvsim::pool::fail_nth(n); }
void clear() { hvsim::pool::clear_faults(); }
size_t blocks_of(const char* image) { return hvsim::pool::outstanding(image).count; }

} // namespace pool_faults
