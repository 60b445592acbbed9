// The pool's accounting and fault injection, for the loader, the machine and tests; and the
// memory manager's settings.
//
// Every live block is recorded with its tag, size, pool type and owning image: the image whose code
// called the allocating routine ("HvUBus.sys", a test program's name), or "kernel" for the
// platform's own libraries. Routines that allocate on a caller's behalf (Rtl strings) charge the
// caller's image.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::pool {

// Tags are shown as Windows shows them: the four bytes in memory order, so the tag text "PmKi" is
// the value 'P' | 'm' << 8 | 'K' << 16 | 'i' << 24.
constexpr ULONG tag_from_text(std::string_view text) {
    ULONG tag = 0;
    for (size_t i = 0; i < 4; ++i) tag |= (ULONG)(uint8_t)(i < text.size() ? text[i] : ' ') << (8 * i);
    return tag;
}
std::string tag_text(ULONG tag);

// The image name for "the platform itself".
inline constexpr const char* kernel_image = "kernel";

struct Block {
    const void* address;
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    std::string image;
    uint64_t serial; // the allocation's number since boot (1 = the first)
};

struct Usage {
    size_t count = 0;
    size_t bytes = 0;
};

// Outstanding blocks. An empty image means every image; tag 0 means every tag.
Usage outstanding(std::string_view image = {}, ULONG tag = 0);
std::vector<Block> live_blocks(std::string_view image = {});

// The leak report of an image: one line per tag with count and bytes, then one line per block
// (tag, size, pool type, serial); empty when the image holds nothing.
std::string leak_report(std::string_view image);
// Called by the loader when an image unloads: pool still allocated by it is a bug check
// (POOL_LEAK_AT_UNLOAD) whose message is the leak report.
void check_unload(std::string_view image);

// Allocations attempted since boot, including the failed ones.
uint64_t allocation_count();
// Allocations made to fail since boot.
uint64_t injected_failure_count();

// Fault injection. Each rule makes matching allocations return NULL; rules stay until cleared.
// fail_nth(1) fails the very next allocation, fail_nth(k) the k-th from now (once).
void fail_nth(uint64_t n);
// Fails every n-th allocation from now on (n, 2n, ...).
void fail_every_nth(uint64_t n);
// Fails every allocation with the tag, optionally only those charged to one image.
void fail_tag(ULONG tag, std::string_view image = {});
void clear_faults();

// The image that owns a code address: a driver image's file name, a program's name, or "kernel"
// for the platform's shared libraries.
std::string image_of_address(const void* code_address);

// Allocation and free on a caller's behalf: the block is charged to the image of caller_address.
void* allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller_address);
void free(void* block, ULONG tag, bool check_tag, const void* caller_address);

} // namespace hvsim::pool

namespace hvsim::mm {

// What MmQuerySystemSize answers; reset to MmLargeSystem at boot.
void set_system_size(MM_SYSTEM_SIZE size);

// Device-memory mappings (MmMapIoSpace) that are still mapped, of one image or of all.
size_t io_space_mappings(std::string_view image = {});
// Makes every MmMapIoSpace fail until cleared; cleared at boot.
void fail_io_space_mappings(bool fail);
// Called by the loader when an image unloads: a mapping it left is a bug check naming its range.
void check_io_space_unload(std::string_view image);

} // namespace hvsim::mm
