// The pool's always-on checks: each misuse is a bug check that names what went wrong.
#include <hvsim/pool.h>
#include <sched_testing.h>

#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define HV_TEST_SANITIZED 1
#endif

namespace {

using hvsim::pool::tag_from_text;

const ULONG Tag = tag_from_text("Chek");

using PoolChecks = hvsim::ktest::VirtualKernelTest;

TEST_F(PoolChecks, DoubleFree) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, Tag);
    ExFreePool(p);
    EXPECT_DEATH(ExFreePool(p), "BUGCHECK 0x000000C2: double free of pool block .* \\(tag Chek");
}

TEST_F(PoolChecks, FreeOfMemoryThePoolNeverGave) {
    static char not_pool[16];
    EXPECT_DEATH(ExFreePool(not_pool), "memory the pool never gave \\(by hvkernel_tests\\)");
    EXPECT_DEATH(ExFreePool(nullptr), "free of a NULL pool address");
}

TEST_F(PoolChecks, FreeWithAnotherTag) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, Tag);
    EXPECT_DEATH(ExFreePoolWithTag(p, tag_from_text("Othr")), "with tag Othr; it was allocated with tag Chek");
    ExFreePoolWithTag(p, Tag | 0x80000000u); // the protected-pool bit is ignored
}

TEST_F(PoolChecks, PagedPoolAtDispatchLevel) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* nonpaged = ExAllocatePoolWithTag(NonPagedPool, 8, Tag);
    EXPECT_NE(nonpaged, nullptr);
    EXPECT_DEATH(ExAllocatePoolWithTag(PagedPool, 8, Tag), "allocation from PagedPool at IRQL 2");
    ExFreePool(nonpaged);
    KeLowerIrql(old);
    void* paged = ExAllocatePoolWithTag(PagedPool, 8, Tag);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_DEATH(ExFreePool(paged), "free of PagedPool at IRQL 2");
    KeLowerIrql(old);
    ExFreePool(paged);
}

TEST_F(PoolChecks, AnInvalidPoolType) {
    EXPECT_DEATH(ExAllocatePoolWithTag((POOL_TYPE)3, 8, Tag), "invalid pool type 3");
    EXPECT_DEATH(ExAllocatePoolWithTag((POOL_TYPE)0x4000, 8, Tag), "invalid pool type");
}

#ifndef HV_TEST_SANITIZED
// Under AddressSanitizer the sanitizer itself finds these.
TEST_F(PoolChecks, WritingPastTheEndIsFoundAtFree) {
    auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, Tag));
    p[10] = 'x';
    EXPECT_DEATH(ExFreePool(p), "BUGCHECK 0x000000C1: .*10 bytes.*written past its end");
    p[10] = (char)0xFD;
    ExFreePool(p);
}

TEST_F(PoolChecks, FreedMemoryIsPoisonedAndAWriteAfterFreeIsFound) {
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 32, Tag));
    std::memset(p, 0, 32);
    ExFreePool(p);
    EXPECT_EQ(p[0], 0xDD);
    EXPECT_EQ(p[31], 0xDD);
    p[5] = 1;
    EXPECT_DEATH(
        {
            for (int i = 0; i < 2000; ++i) ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, Tag));
        },
        "written after it was freed \\(offset 5\\)");
    p[5] = 0xDD;

    // Past the first page of a large block too.
    auto* large = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10000, Tag));
    ExFreePool(large);
    large[9001] = 0;
    EXPECT_DEATH(
        {
            for (int i = 0; i < 2000; ++i) ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, Tag));
        },
        "written after it was freed \\(offset 9001\\)");
    large[9001] = 0xDD;
}
#endif

} // namespace
