// Fault injection in the pool: the n-th allocation, every n-th, by tag and image, and a sweep over
// every allocation of an operation.
#include <hvsim/pool.h>
#include <sched_testing.h>

#include <vector>

namespace {

using hvsim::pool::tag_from_text;

const ULONG Tag = tag_from_text("Test");
const ULONG Other = tag_from_text("Othr");

using PoolFaults = hvsim::ktest::VirtualKernelTest;

// Which of the next n allocations succeed.
std::vector<bool> outcomes(int n, ULONG tag = Tag) {
    std::vector<bool> ok;
    for (int i = 0; i < n; ++i) {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
        ok.push_back(p != nullptr);
        if (p) ExFreePool(p);
    }
    return ok;
}

TEST_F(PoolFaults, TheNthAllocationFromNowFailsOnce) {
    outcomes(2);
    hvsim::pool::fail_nth(3);
    EXPECT_EQ(outcomes(5), (std::vector<bool>{true, true, false, true, true}));
    EXPECT_EQ(hvsim::pool::injected_failure_count(), 1u);
    EXPECT_EQ(hvsim::pool::allocation_count(), 7u) << "failed attempts count too";
}

TEST_F(PoolFaults, EveryNthAllocationFailsUntilCleared) {
    hvsim::pool::fail_every_nth(2);
    EXPECT_EQ(outcomes(6), (std::vector<bool>{true, false, true, false, true, false}));
    hvsim::pool::clear_faults();
    EXPECT_EQ(outcomes(2), (std::vector<bool>{true, true}));
}

TEST_F(PoolFaults, ByTagAndOptionallyByImage) {
    hvsim::pool::fail_tag(Tag);
    EXPECT_EQ(outcomes(2, Tag), (std::vector<bool>{false, false}));
    EXPECT_EQ(outcomes(1, Other), (std::vector<bool>{true}));
    hvsim::pool::clear_faults();
    hvsim::pool::fail_tag(Tag, "HvUBus.sys");
    EXPECT_EQ(outcomes(1, Tag), (std::vector<bool>{true})) << "only that image's allocations fail";
    hvsim::pool::clear_faults();
    hvsim::pool::fail_tag(Tag, program_invocation_short_name);
    EXPECT_EQ(outcomes(1, Tag), (std::vector<bool>{false}));
}

TEST_F(PoolFaults, RaisingAllocationsBugCheckInsteadOfReturningNull) {
    hvsim::pool::fail_nth(1);
    EXPECT_DEATH(ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE), 8, Tag),
                 "ExRaiseStatus\\(0xC000009A\\)");
}

// An operation that builds a three-part structure and must undo its work when any part fails.
struct Parts {
    void* a = nullptr;
    void* b = nullptr;
    void* c = nullptr;
};

NTSTATUS build(Parts* parts) {
    parts->a = ExAllocatePoolWithTag(NonPagedPool, 16, Tag);
    if (!parts->a) return STATUS_INSUFFICIENT_RESOURCES;
    parts->b = ExAllocatePoolWithTag(PagedPool, 32, Tag);
    if (!parts->b) {
        ExFreePool(parts->a);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    parts->c = ExAllocatePoolWithTag(NonPagedPool, 64, Other);
    if (!parts->c) {
        ExFreePool(parts->b);
        ExFreePool(parts->a);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

TEST_F(PoolFaults, SweepingEveryAllocationOfAnOperation) {
    uint64_t before = hvsim::pool::allocation_count();
    Parts parts;
    ASSERT_EQ(build(&parts), STATUS_SUCCESS);
    uint64_t made = hvsim::pool::allocation_count() - before;
    ExFreePool(parts.a);
    ExFreePool(parts.b);
    ExFreePool(parts.c);
    EXPECT_EQ(made, 3u);
    for (uint64_t k = 1; k <= made; ++k) {
        hvsim::pool::fail_nth(k);
        Parts attempt;
        EXPECT_EQ(build(&attempt), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << k;
        EXPECT_EQ(hvsim::pool::outstanding().count, 0u) << "allocation " << k << " failed and something leaked";
        hvsim::pool::clear_faults();
    }
}

TEST_F(PoolFaults, RulesEndWithTheBoot) {
    hvsim::pool::fail_every_nth(1);
    hvsim::kernel_shutdown();
    hvsim::kernel_boot({});
    EXPECT_EQ(outcomes(1), (std::vector<bool>{true}));
}

} // namespace
