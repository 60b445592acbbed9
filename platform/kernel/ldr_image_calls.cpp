// Holds on driver images while the kernel runs their code (image_calls.h).
//
// Each image the loader maps has a slot: its link map, its address range and one atomic word
// with the number of calls running in it and two flags. The unloader sets kDraining, waits until
// the flag alone is left and closes the slot with one compare-and-swap; a call that starts after
// that finds kClosed and is caught, instead of running in code about to be unmapped.
#include <image_calls.h>
#include <sched_internal.h>

#include <hvsim/kernel.h>
#include <hvsim/sched.h>

#include <dlfcn.h>
#include <link.h>

#include <array>
#include <atomic>
#include <mutex>

namespace hvsim::ldr {

struct ImageSlot {
    std::atomic<const void*> map{nullptr}; // the image's link map; null while the slot is free
    std::atomic<uint64_t> state{0};        // calls running, kDraining, kClosed
    uintptr_t start = 0;                   // the image's mapping, set before map is published
    uintptr_t end = 0;
    std::string name;
    sched::Event drained;
};

namespace {

using sched::detail::hex;

constexpr uint64_t kDraining = uint64_t{1} << 62;
constexpr uint64_t kClosed = uint64_t{1} << 63;
constexpr uint64_t kCalls = kDraining - 1;
constexpr size_t kSlots = 64;
constexpr int64_t kDrainSeconds = 30;

struct Table {
    std::array<ImageSlot, kSlots> slots;
    std::atomic<size_t> used{0}; // slots ever used: lookups scan no further, and none before the first image
    std::mutex mutex;            // attach and detach
};

Table& table() {
    static Table* t = new Table; // never destroyed: calls may come from threads ending late
    return *t;
}

bool try_close(ImageSlot* slot) {
    uint64_t expected = kDraining;
    return slot->state.compare_exchange_strong(expected, kDraining | kClosed);
}

} // namespace

ImageSlot* enter_image(const void* code, const char* what) {
    auto& t = table();
    size_t used = t.used.load(std::memory_order_acquire);
    if (used == 0) return nullptr;
    dl_find_object found{};
    if (_dl_find_object(const_cast<void*>(code), &found) != 0)
        bug_check(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                  std::string(what) + " " + hex(code) + " lies in no mapped image: its driver was unloaded");
    for (size_t i = 0; i < used; ++i) {
        ImageSlot& slot = t.slots[i];
        if (slot.map.load(std::memory_order_acquire) != found.dlfo_link_map) continue;
        uint64_t before = slot.state.fetch_add(1);
        if ((before & kClosed) || slot.map.load() != found.dlfo_link_map) {
            leave_image(&slot);
            bug_check(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                      std::string(what) + " " + hex(code) + " of " + slot.name + " called while its image unloads");
        }
        return &slot;
    }
    return nullptr;
}

void leave_image(ImageSlot* slot) {
    if (!slot) return;
    // The unloader waits for exactly this: its flag with no call left.
    if (slot->state.fetch_sub(1) - 1 == kDraining) slot->drained.set();
}

ImageSlot* attach_image(void* handle, const std::string& name) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
    dl_find_object found{};
    if (_dl_find_object(reinterpret_cast<void*>(map->l_ld), &found) != 0 || found.dlfo_link_map != map) return nullptr;
    auto& t = table();
    std::lock_guard lock(t.mutex);
    for (size_t i = 0; i < kSlots; ++i) {
        ImageSlot& slot = t.slots[i];
        if (slot.map.load()) continue;
        slot.name = name;
        slot.start = reinterpret_cast<uintptr_t>(found.dlfo_map_start);
        slot.end = reinterpret_cast<uintptr_t>(found.dlfo_map_end);
        slot.state.store(0);
        slot.map.store(map, std::memory_order_release);
        if (t.used.load() <= i) t.used.store(i + 1, std::memory_order_release);
        return &slot;
    }
    return nullptr;
}

void drain_image(ImageSlot* slot) {
    if (!slot) return;
    slot->state.fetch_or(kDraining);
    int64_t deadline = sched::now() + kDrainSeconds * sched::kTicksPerSecond;
    for (;;) {
        // Reset before looking, so that a call ending in between still wakes the wait.
        slot->drained.reset();
        if (try_close(slot)) break;
        if (!slot->drained.wait(deadline) && !try_close(slot)) {
            uint64_t calls = slot->state.load() & kCalls;
            bug_check(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                      slot->name + " unloads while " + std::to_string(calls) +
                          " call(s) into it have not returned after " + std::to_string(kDrainSeconds) +
                          " s: a completion routine, work item, DPC or system thread of the driver still runs");
        }
    }
    std::string pending = sched::detail::pending_in_range(slot->start, slot->end);
    if (!pending.empty())
        bug_check(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, slot->name + " unloads with " + pending);
}

void detach_image(ImageSlot* slot) {
    if (!slot) return;
    auto& t = table();
    std::lock_guard lock(t.mutex);
    // The state stays closed: a late caller that still found this slot is caught.
    slot->state.fetch_or(kDraining | kClosed);
    slot->map.store(nullptr);
}

} // namespace hvsim::ldr
