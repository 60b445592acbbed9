// The pool: allocation with tags, accounting per tag and per image, the always-on checks, fault
// injection and the leak reports.
//
//   ExAllocatePoolWithTag ExAllocatePool ExAllocatePoolZero ExFreePool ExFreePoolWithTag
//   hvsim::pool::allocate free outstanding live_blocks leak_report check_unload allocation_count
//   injected_failure_count fail_nth fail_every_nth fail_tag clear_faults image_of_address tag_text
//
// Fresh blocks are filled with 0xCD; freed blocks are poisoned with 0xDD and kept in a quarantine
// for a while, so that a write after free is found when the block leaves it. Sixteen guard bytes
// (0xFD) follow each block and are checked at free. Under AddressSanitizer the sanitizer does both
// jobs, and blocks go back to the C library at once.
#include <hvsim/debug_log.h>
#include <hvsim/kernel.h>
#include <hvsim/pool.h>

#include <dlfcn.h>
#include <link.h>
#include <errno.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define HV_POOL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HV_POOL_SANITIZED 1
#endif
#endif

namespace hvsim::pool {
namespace {

constexpr ULONG SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION = 0xC1;
constexpr unsigned char fresh_fill = 0xCD;
constexpr unsigned char freed_fill = 0xDD;
constexpr unsigned char guard_fill = 0xFD;
constexpr size_t largest_block = (size_t)1 << 30;
constexpr ULONG protected_tag_bit = 0x80000000u;
constexpr ULONG tag_none = tag_from_text("None");
#ifdef HV_POOL_SANITIZED
constexpr size_t guard_size = 0;
constexpr size_t quarantine_blocks = 0;
#else
constexpr size_t guard_size = 16;
constexpr size_t quarantine_blocks = 1024;
#endif
constexpr size_t quarantine_bytes = 8u << 20;
constexpr size_t remembered_frees = 4096;

// Drivers allocate and free from many threads at once, so the state is split: blocks by address
// over shards with a lock each, the quarantine over shards of its own that each freeing thread
// takes in turn (so that a block leaves it after about quarantine_blocks later frees, whichever
// addresses they have).
constexpr size_t address_shards = 64;
constexpr size_t quarantine_shards = 16;
constexpr size_t remembered_per_shard = remembered_frees / address_shards;
constexpr size_t quarantine_blocks_per_shard = quarantine_blocks / quarantine_shards;
constexpr size_t quarantine_bytes_per_shard = quarantine_bytes / quarantine_shards;

// Image names are interned: records point at a name kept for the process's life.
struct ImageName {
    std::string name;
    const ImageName* next;
};
std::atomic<const ImageName*> image_names{nullptr};
std::mutex image_names_mutex;

const std::string* intern_image(std::string_view name) {
    for (auto* n = image_names.load(std::memory_order_acquire); n; n = n->next)
        if (n->name == name) return &n->name;
    std::lock_guard lock(image_names_mutex);
    const ImageName* head = image_names.load(std::memory_order_relaxed);
    for (auto* n = head; n; n = n->next)
        if (n->name == name) return &n->name;
    auto* added = new ImageName{std::string(name), head};
    image_names.store(added, std::memory_order_release);
    return &added->name;
}

// A block the pool gave, live or freed lately: freed ones are kept to tell a double free from a
// free of foreign memory, whose header is never read since it could fault.
struct Entry {
    void* address = nullptr; // nullptr: an empty slot
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    const std::string* image;
    uint64_t serial;
    uint64_t freed_at; // the shard's free number; 0 while live
    bool live() const { return freed_at == 0; }
};

uint64_t mix(const void* address) {
    uint64_t x = (uintptr_t)address;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    return x ^ (x >> 33);
}

// Entries by address with open addressing and linear probing, so that recording a block costs no
// allocation.
class BlockTable {
public:
    Entry* find(const void* address) {
        if (slots_.empty()) return nullptr;
        for (size_t i = home(address);; i = next(i)) {
            if (slots_[i].address == address) return &slots_[i];
            if (!slots_[i].address) return nullptr;
        }
    }
    // The entry of address, a new empty one if there is none.
    Entry& emplace(void* address) {
        if ((count_ + 1) * 4 > slots_.size() * 3) grow();
        size_t i = home(address);
        while (slots_[i].address && slots_[i].address != address) i = next(i);
        if (!slots_[i].address) {
            ++count_;
            slots_[i] = Entry{};
            slots_[i].address = address;
        }
        return slots_[i];
    }
    // Removes an entry, shifting later entries of its probe run back into the hole.
    void erase(Entry* entry) {
        size_t hole = entry - slots_.data();
        for (size_t i = next(hole); slots_[i].address; i = next(i)) {
            size_t want = home(slots_[i].address);
            if (((i - want) & mask()) >= ((i - hole) & mask())) {
                slots_[hole] = slots_[i];
                hole = i;
            }
        }
        slots_[hole].address = nullptr;
        --count_;
    }
    template <typename F> void for_each(F f) const {
        for (const auto& e : slots_)
            if (e.address) f(e);
    }
    void clear() {
        slots_.clear();
        count_ = 0;
    }

private:
    size_t mask() const { return slots_.size() - 1; }
    size_t home(const void* address) const { return mix(address) & mask(); }
    size_t next(size_t i) const { return (i + 1) & mask(); }
    void grow() {
        std::vector<Entry> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, Entry{});
        count_ = 0;
        for (const auto& e : old)
            if (e.address) emplace(e.address) = e;
    }

    std::vector<Entry> slots_;
    size_t count_ = 0;
};

struct alignas(64) AddressShard {
    std::mutex mutex;
    BlockTable blocks;
    // The addresses of the latest frees, indexed by free number.
    void* remembered[remembered_per_shard] = {};
    uint64_t frees = 0;
};

struct FreedBlock {
    void* address;
    size_t size;
    ULONG tag;
    const std::string* image;
};

struct alignas(64) QuarantineShard {
    std::mutex mutex;
    std::deque<FreedBlock> blocks;
    size_t bytes = 0;
};

struct TagRule {
    ULONG tag;
    std::string image;
};

struct FaultRules {
    std::mutex mutex;
    uint64_t fail_at = 0; // the allocation number to fail once; 0 for none
    uint64_t every = 0, every_base = 0;
    std::vector<TagRule> tag_rules;
};

struct State {
    AddressShard shards[address_shards];
    QuarantineShard quarantine[quarantine_shards];
    std::atomic<uint64_t> allocations{0};
    std::atomic<uint64_t> injected{0};
    // Set while any rule is armed, so that allocations skip the rules' lock otherwise.
    std::atomic<bool> faults_armed{false};
    FaultRules rules;
};

State& state() {
    static State* s = new State; // used by other images' static destructors
    return *s;
}

AddressShard& shard_of(State& s, const void* address) { return s.shards[mix(address) >> 58]; }
static_assert(address_shards == 64, "shard_of takes the top six bits");

std::string hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

const char* type_name(POOL_TYPE type) {
    switch ((int)type & ~(POOL_QUOTA_FAIL_INSTEAD_OF_RAISE | POOL_RAISE_IF_ALLOCATION_FAILURE | POOL_COLD_ALLOCATION)) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolNx: return "NonPagedPoolNx";
    case NonPagedPoolCacheAligned: return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
    case NonPagedPoolNxCacheAligned: return "NonPagedPoolNxCacheAligned";
    case NonPagedPoolSession: return "NonPagedPoolSession";
    case PagedPoolSession: return "PagedPoolSession";
    case NonPagedPoolSessionNx: return "NonPagedPoolSessionNx";
    default: return "pool";
    }
}

bool valid_type(POOL_TYPE type) {
    int t = (int)type & ~(POOL_QUOTA_FAIL_INSTEAD_OF_RAISE | POOL_RAISE_IF_ALLOCATION_FAILURE | POOL_COLD_ALLOCATION);
    int base = t & ~(NonPagedPoolSession | NonPagedPoolNx);
    if (t & ~(7 | NonPagedPoolSession | NonPagedPoolNx)) return false;
    return base != DontUseThisType && base != MaxPoolType;
}

bool is_paged(POOL_TYPE type) { return ((int)type & 1) != 0; }

// Why a free is wrong, or empty. Reads only blocks the pool gave.
std::string free_violation(const Entry& e, void* block, ULONG tag, bool check_tag, KIRQL irql) {
    if (!e.live())
        return "double free of pool block " + hex(block) + " (tag " + tag_text(e.tag) + ", image " + *e.image + ")";
    if (check_tag && (tag & ~protected_tag_bit) != (e.tag & ~protected_tag_bit))
        return "free of pool block " + hex(block) + " with tag " + tag_text(tag) + "; it was allocated with tag " +
               tag_text(e.tag);
    if (irql > DISPATCH_LEVEL || (is_paged(e.type) && irql >= DISPATCH_LEVEL))
        return std::string("free of ") + type_name(e.type) + " at IRQL " + std::to_string(irql) + " (tag " +
               tag_text(e.tag) + ")";
    return {};
}

bool guard_intact(const void* block, size_t size) {
    auto* guard = (const unsigned char*)block + size;
    for (size_t i = 0; i < guard_size; ++i)
        if (guard[i] != guard_fill) return false;
    return true;
}

// The offset of the first byte that is not the freed fill, or size. Compared a page at a time:
// data buffers pass through the quarantine at the rate the machine moves bytes.
size_t first_unpoisoned(const unsigned char* p, size_t size) {
    static const std::vector<unsigned char> poison(4096, freed_fill);
    size_t at = 0;
    while (at < size) {
        const size_t n = std::min(size - at, poison.size());
        if (std::memcmp(p + at, poison.data(), n) != 0) break;
        at += n;
    }
    while (at < size && p[at] == freed_fill) ++at;
    return at;
}

void check_poison(const FreedBlock& f) {
    auto* p = (unsigned char*)f.address;
    if (size_t i = first_unpoisoned(p, f.size); i < f.size)
        bug_check(SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION,
                  "pool block " + hex(f.address) + " (tag " + tag_text(f.tag) + ", image " + *f.image +
                      ") was written after it was freed (offset " + std::to_string(i) + ")");
}

// Marks a checked live entry freed and remembers it among the shard's latest frees. Lock held;
// the entry may move.
void remember_free(AddressShard& shard, Entry* entry) {
    void* address = entry->address;
    entry->freed_at = ++shard.frees;
    void*& slot = shard.remembered[shard.frees % remembered_per_shard];
    if (slot) {
        // Forget the free this one replaces, unless its block was given again or freed since.
        Entry* old = shard.blocks.find(slot);
        if (old && old->freed_at + remembered_per_shard == shard.frees) shard.blocks.erase(old);
    }
    slot = address;
}

// Keeps a poisoned block for a while; the blocks that leave the quarantine are checked and go
// back to the C library, outside the lock.
void quarantine(State& s, const FreedBlock& f) {
    if (quarantine_blocks == 0) {
        std::free(f.address);
        return;
    }
    thread_local size_t turn = 0;
    auto& q = s.quarantine[turn++ % quarantine_shards];
    FreedBlock leaving[4];
    size_t count = 0;
    {
        std::lock_guard lock(q.mutex);
        q.blocks.push_back(f);
        q.bytes += f.size;
        while (count < std::size(leaving) &&
               (q.blocks.size() > quarantine_blocks_per_shard || q.bytes > quarantine_bytes_per_shard)) {
            leaving[count++] = q.blocks.front();
            q.bytes -= q.blocks.front().size;
            q.blocks.pop_front();
        }
    }
    for (size_t i = 0; i < count; ++i) {
        check_poison(leaving[i]);
        std::free(leaving[i].address);
    }
}

// Whether allocation number n is made to fail. Rules' lock held.
bool injected_failure(FaultRules& rules, uint64_t n, ULONG tag, const std::string& image) {
    if (rules.fail_at && n == rules.fail_at) {
        rules.fail_at = 0;
        return true;
    }
    if (rules.every && n > rules.every_base && (n - rules.every_base) % rules.every == 0) return true;
    for (const auto& rule : rules.tag_rules)
        if (rule.tag == tag && (rule.image.empty() || rule.image == image)) return true;
    return false;
}

void rearm(State& s) {
    const FaultRules& r = s.rules;
    s.faults_armed.store(r.fail_at || r.every || !r.tag_rules.empty());
}

// The image of a loaded object's path: the platform's own shared libraries count as the kernel,
// the main program (no path) by its name.
std::string_view image_name(const char* path) {
    std::string_view full = path ? path : "";
    std::string_view base = full.substr(full.find_last_of('/') + 1);
    if (base.empty()) return program_invocation_short_name;
    if (base.substr(0, 3) == "lib" && base.find(".so") != std::string_view::npos) return kernel_image;
    return base;
}

// The loader's fast lookup; the object that holds this library's code is looked up once.
const link_map* object_of(const void* address) {
    dl_find_object found{};
    if (_dl_find_object(const_cast<void*>(address), &found) != 0) return nullptr;
    return found.dlfo_link_map;
}

const std::string* interned_image_of(const void* code_address) {
    static const int anchor = 0;
    static const link_map* const self = object_of(&anchor);
    const link_map* object = code_address ? object_of(code_address) : nullptr;
    return intern_image(!object || object == self ? kernel_image : image_name(object->l_name));
}

void release_everything(State& s) {
    for (auto& shard : s.shards) {
        std::lock_guard lock(shard.mutex);
        shard.blocks.for_each([](const Entry& e) {
            if (e.live()) std::free(e.address);
        });
        shard.blocks.clear();
        std::fill(std::begin(shard.remembered), std::end(shard.remembered), nullptr);
        shard.frees = 0;
    }
    for (auto& q : s.quarantine) {
        std::lock_guard lock(q.mutex);
        for (auto& f : q.blocks) std::free(f.address);
        q.blocks.clear();
        q.bytes = 0;
    }
}

void boot(const KernelOptions&) {
    auto& s = state();
    release_everything(s);
    s.allocations = 0;
    s.injected = 0;
    std::lock_guard lock(s.rules.mutex);
    s.rules.fail_at = s.rules.every = s.rules.every_base = 0;
    s.rules.tag_rules.clear();
    rearm(s);
}

void shutdown() {
    std::vector<std::string> images;
    for (const auto& block : live_blocks())
        if (std::find(images.begin(), images.end(), block.image) == images.end()) images.push_back(block.image);
    for (const auto& image : images) debugger_log_write("Kernel shutdown: " + leak_report(image));
    release_everything(state());
}

const bool registered = [] {
    register_kernel_subsystem({"pool", -90, boot, shutdown});
    return true;
}();

// Visits the live blocks under each shard's lock in turn.
template <typename F> void for_each_live(F f) {
    for (auto& shard : state().shards) {
        std::lock_guard lock(shard.mutex);
        shard.blocks.for_each([&](const Entry& e) {
            if (e.live()) f(e);
        });
    }
}

} // namespace

std::string tag_text(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        text.push_back(c >= 0x20 && c < 0x7F ? (char)c : '.');
    }
    return text;
}

std::string image_of_address(const void* code_address) { return *interned_image_of(code_address); }

void* allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller_address) {
    KIRQL irql = KeGetCurrentIrql();
    if (!valid_type(type))
        bug_check(BAD_POOL_CALLER, "allocation from an invalid pool type " + std::to_string((int)type));
    if (irql > DISPATCH_LEVEL || (is_paged(type) && irql >= DISPATCH_LEVEL))
        bug_check(BAD_POOL_CALLER, std::string("allocation from ") + type_name(type) + " at IRQL " +
                                       std::to_string(irql) + " (tag " + tag_text(tag) + ")");
    const std::string* image = interned_image_of(caller_address);
    auto& s = state();
    const uint64_t serial = ++s.allocations;
    bool fail = false;
    if (s.faults_armed.load()) {
        std::lock_guard lock(s.rules.mutex);
        fail = injected_failure(s.rules, serial, tag, *image);
        rearm(s);
    }
    void* block = nullptr;
    if (fail)
        ++s.injected;
    else if (size <= largest_block)
        block = std::malloc(size + guard_size + (size == 0 ? 1 : 0));
    if (block) {
        std::memset(block, fresh_fill, size);
        std::memset((unsigned char*)block + size, guard_fill, guard_size);
        auto& shard = shard_of(s, block);
        std::lock_guard lock(shard.mutex);
        shard.blocks.emplace(block) = Entry{block, size, tag, type, image, serial, 0};
    }
    if (!block && ((int)type & POOL_RAISE_IF_ALLOCATION_FAILURE)) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    return block;
}

void free(void* block, ULONG tag, bool check_tag, const void* caller_address) {
    if (!block) bug_check(BAD_POOL_CALLER, "free of a NULL pool address");
    KIRQL irql = KeGetCurrentIrql();
    auto& s = state();
    auto& shard = shard_of(s, block);
    std::string violation;
    FreedBlock freed{};
    bool overrun = false;
    {
        std::lock_guard lock(shard.mutex);
        Entry* e = shard.blocks.find(block);
        if (!e) {
            violation =
                "free of " + hex(block) + ", memory the pool never gave (by " + image_of_address(caller_address) + ")";
        } else {
            freed = {block, e->size, e->tag, e->image};
            violation = free_violation(*e, block, tag, check_tag, irql);
            overrun = violation.empty() && !guard_intact(block, e->size);
            if (violation.empty() && !overrun) remember_free(shard, e);
        }
    }
    // Bug checks outside the lock: the handler may read the pool.
    if (!violation.empty()) bug_check(BAD_POOL_CALLER, violation);
    if (overrun)
        bug_check(SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, "pool block " + hex(block) + " (tag " + tag_text(freed.tag) +
                                                               ", " + std::to_string(freed.size) + " bytes, image " +
                                                               *freed.image + ") was written past its end");
    std::memset(block, freed_fill, freed.size);
    quarantine(s, freed);
}

Usage outstanding(std::string_view image, ULONG tag) {
    Usage u;
    for_each_live([&](const Entry& e) {
        if ((!image.empty() && *e.image != image) || (tag && e.tag != tag)) return;
        ++u.count;
        u.bytes += e.size;
    });
    return u;
}

std::vector<Block> live_blocks(std::string_view image) {
    std::vector<Block> out;
    for_each_live([&](const Entry& e) {
        if (image.empty() || *e.image == image) out.push_back({e.address, e.size, e.tag, e.type, *e.image, e.serial});
    });
    std::sort(out.begin(), out.end(), [](const Block& a, const Block& b) { return a.serial < b.serial; });
    return out;
}

std::string leak_report(std::string_view image) {
    std::vector<Block> blocks = live_blocks(image);
    if (blocks.empty()) return {};
    std::map<std::string, Usage> per_tag;
    size_t bytes = 0;
    for (const auto& b : blocks) {
        auto& u = per_tag[tag_text(b.tag)];
        ++u.count;
        u.bytes += b.size;
        bytes += b.size;
    }
    std::string report = "pool still allocated by " + std::string(image) + ": " + std::to_string(blocks.size()) +
                         " blocks, " + std::to_string(bytes) + " bytes\n";
    for (const auto& [tag, u] : per_tag)
        report += "  tag " + tag + ": " + std::to_string(u.count) + " blocks, " + std::to_string(u.bytes) + " bytes\n";
    for (const auto& b : blocks)
        report += "  block " + hex(b.address) + " tag " + tag_text(b.tag) + " " + std::to_string(b.size) + " bytes " +
                  type_name(b.type) + " allocation " + std::to_string(b.serial) + "\n";
    return report;
}

void check_unload(std::string_view image) {
    std::string report = leak_report(image);
    if (!report.empty()) bug_check(POOL_LEAK_AT_UNLOAD, report);
}

uint64_t allocation_count() { return state().allocations.load(); }

uint64_t injected_failure_count() { return state().injected.load(); }

void fail_nth(uint64_t n) {
    auto& s = state();
    std::lock_guard lock(s.rules.mutex);
    s.rules.fail_at = n ? s.allocations.load() + n : 0;
    rearm(s);
}

void fail_every_nth(uint64_t n) {
    auto& s = state();
    std::lock_guard lock(s.rules.mutex);
    s.rules.every = n;
    s.rules.every_base = s.allocations.load();
    rearm(s);
}

void fail_tag(ULONG tag, std::string_view image) {
    auto& s = state();
    std::lock_guard lock(s.rules.mutex);
    s.rules.tag_rules.push_back({tag, std::string(image)});
    rearm(s);
}

void clear_faults() {
    auto& s = state();
    std::lock_guard lock(s.rules.mutex);
    s.rules.fail_at = s.rules.every = s.rules.every_base = 0;
    s.rules.tag_rules.clear();
    rearm(s);
}

} // namespace hvsim::pool

HV_EXTERN_C_BEGIN

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return hvsim::pool::allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return hvsim::pool::allocate(PoolType, NumberOfBytes, hvsim::pool::tag_none, __builtin_return_address(0));
}

PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    void* block = hvsim::pool::allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
    if (block) std::memset(block, 0, NumberOfBytes);
    return block;
}

VOID ExFreePool(PVOID P) { hvsim::pool::free(P, 0, false, __builtin_return_address(0)); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { hvsim::pool::free(P, Tag, true, __builtin_return_address(0)); }

VOID ExRaiseStatus(NTSTATUS Status) {
    char text[64];
    std::snprintf(text, sizeof text, "ExRaiseStatus(0x%08X) with no handler", (unsigned)Status);
    hvsim::bug_check(hvsim::KMODE_EXCEPTION_NOT_HANDLED, text);
}

HV_EXTERN_C_END
