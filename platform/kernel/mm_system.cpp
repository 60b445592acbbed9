// What the memory manager tells drivers about the machine.
//
//   MmQuerySystemSize hvsim::mm::set_system_size
//   MmMapIoSpace MmUnmapIoSpace
#include <hvsim/kernel.h>
#include <hvsim/pool.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace hvsim::mm {
namespace {

std::atomic<MM_SYSTEM_SIZE> g_system_size{MmLargeSystem};

std::mutex g_mappings_mutex;
std::map<void*, size_t> g_mappings; // base address -> length

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

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
    if (NumberOfBytes == 0) return nullptr;
    void* base = std::calloc(1, NumberOfBytes);
    if (!base) return nullptr;
    std::lock_guard<std::mutex> lock(hvsim::mm::g_mappings_mutex);
    hvsim::mm::g_mappings[base] = NumberOfBytes;
    return base;
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    {
        std::lock_guard<std::mutex> lock(hvsim::mm::g_mappings_mutex);
        auto it = hvsim::mm::g_mappings.find(BaseAddress);
        if (it != hvsim::mm::g_mappings.end() && it->second == NumberOfBytes) {
            hvsim::mm::g_mappings.erase(it);
            std::free(BaseAddress);
            return;
        }
    }
    hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION,
                     "MmUnmapIoSpace of " + std::to_string(NumberOfBytes) + " bytes that are no mapping");
}

HV_EXTERN_C_END
