// Mappings of device memory. The machine has no memory-mapped devices, so each mapping is zeroed
// host memory of its own; what matters to drivers is that a mapping fails cleanly and that every
// mapping is unmapped once, with its length, before the image goes.
//
//   MmMapIoSpace MmUnmapIoSpace hvsim::mm::io_space_mappings fail_io_space_mappings
//   check_io_space_unload
#include "sched_internal.h"

#include <hvsim/kernel.h>
#include <hvsim/pool.h>

#include <cstdlib>
#include <map>
#include <mutex>

namespace hvsim::mm {
namespace {

using sched::detail::hex;

struct Mapping {
    SIZE_T size;
    LONGLONG physical;
    std::string image;
};

struct State {
    std::mutex mutex;
    std::map<void*, Mapping> mappings;
    bool fail = false;
};

State& state() {
    static State s;
    return s;
}

std::string describe(void* address, const Mapping& m) {
    char physical[32];
    std::snprintf(physical, sizeof physical, "0x%llX", (unsigned long long)m.physical);
    return hex(address) + " (" + std::to_string(m.size) + " bytes of physical " + physical + ", mapped by " + m.image +
           ")";
}

void boot(const KernelOptions&) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& [address, mapping] : s.mappings) std::free(address);
    s.mappings.clear();
    s.fail = false;
}

const bool registered = [] {
    register_kernel_subsystem({"io space", -94, boot, nullptr});
    return true;
}();

} // namespace

size_t io_space_mappings(std::string_view image) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    size_t count = 0;
    for (const auto& [address, mapping] : s.mappings)
        if (image.empty() || mapping.image == image) ++count;
    return count;
}

void fail_io_space_mappings(bool fail) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.fail = fail;
}

void check_io_space_unload(std::string_view image) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (const auto& [address, mapping] : s.mappings)
        if (mapping.image == image)
            bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION,
                      std::string(image) + " unloads with device memory still mapped at " + describe(address, mapping));
}

} // namespace hvsim::mm

HV_EXTERN_C_BEGIN

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, "MmMapIoSpace at IRQL " + std::to_string(irql));
    if (NumberOfBytes == 0 || (int)CacheType < 0 || CacheType >= MmMaximumCacheType) return nullptr;
    std::string image = hvsim::pool::image_of_address(__builtin_return_address(0));
    auto& s = hvsim::mm::state();
    std::lock_guard lock(s.mutex);
    if (s.fail) return nullptr;
    void* address = std::calloc(1, NumberOfBytes);
    if (!address) return nullptr;
    s.mappings.emplace(address, hvsim::mm::Mapping{NumberOfBytes, PhysicalAddress.QuadPart, std::move(image)});
    return address;
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        hvsim::bug_check(hvsim::IRQL_NOT_LESS_OR_EQUAL, "MmUnmapIoSpace at IRQL " + std::to_string(irql));
    auto& s = hvsim::mm::state();
    std::lock_guard lock(s.mutex);
    auto it = s.mappings.find(BaseAddress);
    if (it == s.mappings.end())
        hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         "MmUnmapIoSpace of " + hvsim::mm::hex(BaseAddress) + ", which is no mapping of device memory");
    if (it->second.size != NumberOfBytes)
        hvsim::bug_check(hvsim::DRIVER_VERIFIER_DETECTED_VIOLATION, "MmUnmapIoSpace of " +
                                                                        std::to_string(NumberOfBytes) + " bytes at " +
                                                                        hvsim::mm::describe(BaseAddress, it->second));
    std::free(BaseAddress);
    s.mappings.erase(it);
}

HV_EXTERN_C_END
