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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

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

struct Record {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    std::string image;
    uint64_t serial;
};

struct FreedBlock {
    void* address;
    size_t size;
    ULONG tag;
    std::string image;
};

struct TagRule {
    ULONG tag;
    std::string image;
};

struct State {
    std::mutex mutex;
    std::unordered_map<void*, Record> live;
    std::deque<FreedBlock> quarantine;
    size_t quarantine_size = 0;
    // Addresses freed lately, to tell a double free from a foreign one.
    std::deque<void*> freed_order;
    std::unordered_map<void*, FreedBlock> freed;
    uint64_t allocations = 0;
    uint64_t injected = 0;
    uint64_t fail_at = 0; // the allocation number to fail once; 0 for none
    uint64_t every = 0, every_base = 0;
    std::vector<TagRule> tag_rules;
};

State& state() {
    static State* s = new State; // used by other images' static destructors
    return *s;
}

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

void check_guard(const Record& r, void* block) {
    auto* guard = (unsigned char*)block + r.size;
    for (size_t i = 0; i < guard_size; ++i)
        if (guard[i] != guard_fill)
            bug_check(SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, "pool block " + hex(block) + " (tag " + tag_text(r.tag) +
                                                                   ", " + std::to_string(r.size) + " bytes, image " +
                                                                   r.image + ") was written past its end");
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
                  "pool block " + hex(f.address) + " (tag " + tag_text(f.tag) + ", image " + f.image +
                      ") was written after it was freed (offset " + std::to_string(i) + ")");
}

// Called with the lock held; may bug check.
void remember_free(State& s, void* block, const Record& r) {
    FreedBlock f{block, r.size, r.tag, r.image};
    if (s.freed.emplace(block, f).second) s.freed_order.push_back(block);
    while (s.freed_order.size() > remembered_frees) {
        s.freed.erase(s.freed_order.front());
        s.freed_order.pop_front();
    }
    if (quarantine_blocks == 0) {
        std::free(block);
        return;
    }
    s.quarantine.push_back(f);
    s.quarantine_size += r.size;
    while (s.quarantine.size() > quarantine_blocks || s.quarantine_size > quarantine_bytes) {
        FreedBlock old = s.quarantine.front();
        s.quarantine.pop_front();
        s.quarantine_size -= old.size;
        check_poison(old);
        std::free(old.address);
    }
}

bool injected_failure(State& s, ULONG tag, const std::string& image) {
    uint64_t n = s.allocations;
    if (s.fail_at && n == s.fail_at) {
        s.fail_at = 0;
        return true;
    }
    if (s.every && n > s.every_base && (n - s.every_base) % s.every == 0) return true;
    for (const auto& rule : s.tag_rules)
        if (rule.tag == tag && (rule.image.empty() || rule.image == image)) return true;
    return false;
}

// The image of a loaded object's path: the platform's own shared libraries count as the kernel,
// the main program (no path) by its name.
std::string image_name(const char* path) {
    std::string_view full = path ? path : "";
    std::string_view base = full.substr(full.find_last_of('/') + 1);
    if (base.empty()) return program_invocation_short_name;
    if (base.substr(0, 3) == "lib" && base.find(".so") != std::string_view::npos) return kernel_image;
    return std::string(base);
}

// The loader's fast lookup; the object that holds this library's code is looked up once.
const link_map* object_of(const void* address) {
    dl_find_object found{};
    if (_dl_find_object(const_cast<void*>(address), &found) != 0) return nullptr;
    return found.dlfo_link_map;
}

void release_everything(State& s) {
    for (auto& [block, record] : s.live) std::free(block);
    s.live.clear();
    for (auto& f : s.quarantine) std::free(f.address);
    s.quarantine.clear();
    s.quarantine_size = 0;
    s.freed.clear();
    s.freed_order.clear();
}

void boot(const KernelOptions&) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    release_everything(s);
    s.allocations = s.injected = 0;
    s.fail_at = s.every = s.every_base = 0;
    s.tag_rules.clear();
}

void shutdown() {
    std::vector<std::string> images;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        for (auto& [block, record] : s.live)
            if (std::find(images.begin(), images.end(), record.image) == images.end()) images.push_back(record.image);
    }
    for (const auto& image : images) debugger_log_write("Kernel shutdown: " + leak_report(image));
    auto& s = state();
    std::lock_guard lock(s.mutex);
    release_everything(s);
}

const bool registered = [] {
    register_kernel_subsystem({"pool", -90, boot, shutdown});
    return true;
}();

} // namespace

std::string tag_text(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        text.push_back(c >= 0x20 && c < 0x7F ? (char)c : '.');
    }
    return text;
}

std::string image_of_address(const void* code_address) {
    static const int anchor = 0;
    static const link_map* const self = object_of(&anchor);
    const link_map* object = code_address ? object_of(code_address) : nullptr;
    if (!object || object == self) return kernel_image;
    return image_name(object->l_name);
}

void* allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller_address) {
    KIRQL irql = KeGetCurrentIrql();
    if (!valid_type(type))
        bug_check(BAD_POOL_CALLER, "allocation from an invalid pool type " + std::to_string((int)type));
    if (irql > DISPATCH_LEVEL || (is_paged(type) && irql >= DISPATCH_LEVEL))
        bug_check(BAD_POOL_CALLER, std::string("allocation from ") + type_name(type) + " at IRQL " +
                                       std::to_string(irql) + " (tag " + tag_text(tag) + ")");
    std::string image = image_of_address(caller_address);
    auto& s = state();
    void* block = nullptr;
    {
        std::lock_guard lock(s.mutex);
        ++s.allocations;
        bool fail = injected_failure(s, tag, image);
        if (fail) ++s.injected;
        if (!fail && size <= largest_block) {
            block = std::malloc(size + guard_size + (size == 0 ? 1 : 0));
            if (block) {
                std::memset(block, fresh_fill, size);
                std::memset((unsigned char*)block + size, guard_fill, guard_size);
                s.freed.erase(block);
                s.live.emplace(block, Record{size, tag, type, image, s.allocations});
            }
        }
    }
    if (!block && ((int)type & POOL_RAISE_IF_ALLOCATION_FAILURE)) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    return block;
}

void free(void* block, ULONG tag, bool check_tag, const void* caller_address) {
    if (!block) bug_check(BAD_POOL_CALLER, "free of a NULL pool address");
    KIRQL irql = KeGetCurrentIrql();
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.live.find(block);
    if (it == s.live.end()) {
        auto freed = s.freed.find(block);
        if (freed != s.freed.end())
            bug_check(BAD_POOL_CALLER, "double free of pool block " + hex(block) + " (tag " +
                                           tag_text(freed->second.tag) + ", image " + freed->second.image + ")");
        bug_check(BAD_POOL_CALLER, "free of " + hex(block) + ", memory the pool never gave (by " +
                                       image_of_address(caller_address) + ")");
    }
    Record r = it->second;
    if (check_tag && (tag & ~protected_tag_bit) != (r.tag & ~protected_tag_bit))
        bug_check(BAD_POOL_CALLER, "free of pool block " + hex(block) + " with tag " + tag_text(tag) +
                                       "; it was allocated with tag " + tag_text(r.tag));
    if (irql > DISPATCH_LEVEL || (is_paged(r.type) && irql >= DISPATCH_LEVEL))
        bug_check(BAD_POOL_CALLER, std::string("free of ") + type_name(r.type) + " at IRQL " + std::to_string(irql) +
                                       " (tag " + tag_text(r.tag) + ")");
    check_guard(r, block);
    s.live.erase(it);
    std::memset(block, freed_fill, r.size);
    remember_free(s, block, r);
}

Usage outstanding(std::string_view image, ULONG tag) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    Usage u;
    for (auto& [block, r] : s.live) {
        if ((!image.empty() && r.image != image) || (tag && r.tag != tag)) continue;
        ++u.count;
        u.bytes += r.size;
    }
    return u;
}

std::vector<Block> live_blocks(std::string_view image) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<Block> out;
    for (auto& [block, r] : s.live)
        if (image.empty() || r.image == image) out.push_back({block, r.size, r.tag, r.type, r.image, r.serial});
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

uint64_t allocation_count() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.allocations;
}

uint64_t injected_failure_count() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.injected;
}

void fail_nth(uint64_t n) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.fail_at = n ? s.allocations + n : 0;
}

void fail_every_nth(uint64_t n) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.every = n;
    s.every_base = s.allocations;
}

void fail_tag(ULONG tag, std::string_view image) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.tag_rules.push_back({tag, std::string(image)});
}

void clear_faults() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.fail_at = s.every = s.every_base = 0;
    s.tag_rules.clear();
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
