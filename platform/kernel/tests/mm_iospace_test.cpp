// Mappings of device memory: each is zeroed memory of its own that the mapping image must give
// back once, with its length, before it unloads.
#include <hvsim/pool.h>
#include <sched_testing.h>

#include <cstring>

namespace {

using IoSpace = hvsim::ktest::VirtualKernelTest;

PHYSICAL_ADDRESS physical(LONGLONG address) {
    PHYSICAL_ADDRESS p;
    p.QuadPart = address;
    return p;
}

TEST_F(IoSpace, MappingsAreZeroedWritableAndTheirOwn) {
    auto* first = static_cast<unsigned char*>(MmMapIoSpace(physical(0xFED00000), 0x400, MmNonCached));
    auto* second = static_cast<unsigned char*>(MmMapIoSpace(physical(0xFED00000), 0x400, MmNonCached));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    unsigned char zeros[0x400] = {};
    EXPECT_EQ(std::memcmp(first, zeros, sizeof zeros), 0);
    std::memset(first, 0x5A, 0x400);
    EXPECT_EQ(std::memcmp(second, zeros, sizeof zeros), 0);
    EXPECT_EQ(hvsim::mm::io_space_mappings(hvsim::pool::image_of_address((void*)&physical)), 2u);

    // At DISPATCH_LEVEL too, as drivers map in their start path.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    MmUnmapIoSpace(first, 0x400);
    KeLowerIrql(old);
    MmUnmapIoSpace(second, 0x400);
    EXPECT_EQ(hvsim::mm::io_space_mappings(), 0u);
    hvsim::mm::check_io_space_unload(hvsim::pool::image_of_address((void*)&physical));
}

TEST_F(IoSpace, EmptyRangesUnknownCachingAndInjectedFailuresGiveNull) {
    EXPECT_EQ(MmMapIoSpace(physical(0x1000), 0, MmNonCached), nullptr);
    EXPECT_EQ(MmMapIoSpace(physical(0x1000), 16, MmMaximumCacheType), nullptr);
    EXPECT_EQ(MmMapIoSpace(physical(0x1000), 16, (MEMORY_CACHING_TYPE)-1), nullptr);
    hvsim::mm::fail_io_space_mappings(true);
    EXPECT_EQ(MmMapIoSpace(physical(0x1000), 16, MmNonCached), nullptr);
    hvsim::mm::fail_io_space_mappings(false);
    void* mapping = MmMapIoSpace(physical(0x1000), 16, MmCached);
    ASSERT_NE(mapping, nullptr);
    MmUnmapIoSpace(mapping, 16);
    EXPECT_EQ(hvsim::mm::io_space_mappings(), 0u);
}

TEST_F(IoSpace, TheNextBootForgetsMappingsAndFailures) {
    ASSERT_NE(MmMapIoSpace(physical(0x2000), 8, MmNonCached), nullptr);
    hvsim::mm::fail_io_space_mappings(true);
    hvsim::kernel_shutdown();
    hvsim::kernel_boot({});
    EXPECT_EQ(hvsim::mm::io_space_mappings(), 0u);
    void* mapping = MmMapIoSpace(physical(0x2000), 8, MmNonCached);
    ASSERT_NE(mapping, nullptr);
    MmUnmapIoSpace(mapping, 8);
}

using IoSpaceDeathTest = IoSpace;

TEST_F(IoSpaceDeathTest, UnmappingWhatIsNoMappingOrWithAnotherLengthIsABugCheck) {
    static char not_mapped[16];
    EXPECT_DEATH(MmUnmapIoSpace(not_mapped, sizeof not_mapped),
                 "BUGCHECK 0x000000C4: MmUnmapIoSpace of .*which is no mapping");
    void* mapping = MmMapIoSpace(physical(0x3000), 32, MmNonCached);
    ASSERT_NE(mapping, nullptr);
    EXPECT_DEATH(MmUnmapIoSpace(mapping, 16), "MmUnmapIoSpace of 16 bytes at .*32 bytes of physical 0x3000");
    MmUnmapIoSpace(mapping, 32);
    EXPECT_DEATH(MmUnmapIoSpace(mapping, 32), "which is no mapping");
}

TEST_F(IoSpaceDeathTest, AnImageThatUnloadsWithAMappingIsABugCheck) {
    void* mapping = MmMapIoSpace(physical(0x4000), 64, MmNonCached);
    ASSERT_NE(mapping, nullptr);
    std::string image = hvsim::pool::image_of_address((void*)&physical);
    EXPECT_DEATH(hvsim::mm::check_io_space_unload(image),
                 "unloads with device memory still mapped at .*64 bytes of physical 0x4000, mapped by " + image);
    MmUnmapIoSpace(mapping, 64);
}

} // namespace
