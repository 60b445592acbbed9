// What the memory manager tells drivers about the machine.
//
//   MmQuerySystemSize hvsim::mm::set_system_size
#include <hvsim/kernel.h>
#include <hvsim/pool.h>

#include <atomic>

namespace hvsim::mm {
namespace {

std::atomic<MM_SYSTEM_SIZE> g_system_size{MmLargeSystem};

void boot(const KernelOptions&) { g_system_size = MmLargeSystem; }

const bool registered = [] {
    register_kernel_subsystem({"memory manager", -95, boot, nullptr});
    return true;
}();

} // namespace

void set_system_size(MM_SYSTEM_SIZE size) { g_system_size = size; }

} // namespace hvsim::mm

HV_EXTERN_C_BEGIN

MM_SYSTEM_SIZE MmQuerySystemSize(void) { return hvsim::mm::g_system_size; }

HV_EXTERN_C_END
