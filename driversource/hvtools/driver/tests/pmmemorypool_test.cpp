// The tracked pool, the root object and the pool-backed lists.
#include "pmtestsupport.h"

#include <vector>

using namespace pmtest;

namespace {

constexpr ULONG kTagBlock = hvsim::pool::tag_from_text("PmKP");
constexpr ULONG kTagAllocation = hvsim::pool::tag_from_text("PmKi");
constexpr ULONG kTagPool = hvsim::pool::tag_from_text("PmKO");

size_t outstanding(ULONG tag) { return hvsim::pool::outstanding(this_image(), tag).count; }

void query(PULONG blocks, PULONG next_slot, PULONG failures = nullptr) {
    g_pPmMemoryPool->m_QueryTracking(blocks, next_slot, failures);
}

class PmMemoryPoolTest : public PmKernelTest {};

TEST_F(PmMemoryPoolTest, TagsMatchTheirText) {
    EXPECT_EQ(kTagBlock, PM_TAG_BLOCK);
    EXPECT_EQ(kTagAllocation, PM_TAG_ALLOCATION);
    EXPECT_EQ(kTagPool, PM_TAG_POOL);
    EXPECT_EQ(hvsim::pool::tag_from_text("PmOC"), PM_TAG_COPY);
    // The pool object and its table, and the first tracking block.
    EXPECT_EQ(2u, outstanding(kTagPool));
    EXPECT_EQ(1u, outstanding(kTagBlock));
}

TEST_F(PmMemoryPoolTest, HundredAndFirstAllocationOpensASecondBlockAndFreeingItClosesIt) {
    std::vector<PVOID> blocks;
    for (int i = 0; i < 100; ++i)
        blocks.push_back(PmAllocateMemory(8, NonPagedPool));
    ULONG block_count, next_slot;
    query(&block_count, &next_slot);
    EXPECT_EQ(1u, block_count);
    EXPECT_EQ(101u, next_slot);

    PVOID extra = PmAllocateMemory(8, NonPagedPool);
    ASSERT_NE(nullptr, extra);
    query(&block_count, &next_slot);
    EXPECT_EQ(2u, block_count);
    EXPECT_EQ(2u, next_slot);
    EXPECT_EQ(2u, outstanding(kTagBlock));

    PmFreeMemory(extra);
    query(&block_count, &next_slot);
    EXPECT_EQ(1u, block_count);
    EXPECT_EQ(101u, next_slot);
    EXPECT_EQ(1u, outstanding(kTagBlock));

    for (PVOID block : blocks)
        PmFreeMemory(block);
    query(&block_count, &next_slot);
    EXPECT_EQ(1u, next_slot);
}

TEST_F(PmMemoryPoolTest, FreeingFromTheMiddleKeepsTheTableDense) {
    std::vector<PVOID> blocks;
    // Seven blocks: a free looks in the newest ones first and in the oldest last.
    for (int i = 0; i < 650; ++i)
        blocks.push_back(PmAllocateMemory(4, PagedPool));
    EXPECT_EQ(650u, tracked_allocations());
    // Free every other one, then the rest: each free must find its pointer wherever the gaps moved it.
    for (size_t i = 0; i < blocks.size(); i += 2)
        EXPECT_EQ(STATUS_SUCCESS, g_pPmMemoryPool->m_Free(blocks[i]));
    EXPECT_EQ(325u, tracked_allocations());
    ULONG block_count, next_slot;
    query(&block_count, &next_slot);
    EXPECT_EQ(4u, block_count);
    EXPECT_EQ(26u, next_slot);
    for (size_t i = 0; i < blocks.size(); i += 2)
        ExFreePool(blocks[i]);
    for (size_t i = 1; i < blocks.size(); i += 2)
        PmFreeMemory(blocks[i]);
    EXPECT_EQ(0u, tracked_allocations());
    EXPECT_EQ(0u, outstanding(kTagAllocation));
}

TEST_F(PmMemoryPoolTest, DoubleFreeIsRefusedAndNeverReachesTheSystem) {
    PVOID block = PmAllocateMemory(16, NonPagedPool);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(STATUS_SUCCESS, g_pPmMemoryPool->m_Free(block));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, g_pPmMemoryPool->m_Free(block));
    ExFreePool(block);
    // The idiom: a pointer the table no longer holds is left alone (a second ExFreePool would be a bug
    // check of the pool).
    PmFreeMemory(block);
    constexpr ULONG kTagTest = hvsim::pool::tag_from_text("Test");
    PVOID foreign = ExAllocatePoolWithTag(NonPagedPool, 8, kTagTest);
    PmFreeMemory(foreign);
    EXPECT_EQ(1u, hvsim::pool::outstanding(this_image(), kTagTest).count);
    ExFreePool(foreign);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, g_pPmMemoryPool->m_Free(nullptr));
}

TEST_F(PmMemoryPoolTest, ZeroByteAllocationGivesAValidOneByteBlock) {
    PUCHAR block = static_cast<PUCHAR>(g_pPmMemoryPool->m_AllocateBuffer(NonPagedPool, 0));
    ASSERT_NE(nullptr, block);
    block[0] = 0x5A;
    auto live = hvsim::pool::live_blocks(this_image());
    bool found = false;
    for (const auto& b : live)
        if (b.address == block) {
            found = true;
            EXPECT_EQ(1u, b.size);
            EXPECT_EQ(kTagAllocation, b.tag);
        }
    EXPECT_TRUE(found);
    PmFreeMemory(block);
}

TEST_F(PmMemoryPoolTest, CreatedTwiceNeedsTwoDestroys) {
    CPmMemoryPool* pool = g_pPmMemoryPool;
    ASSERT_TRUE(CPmMemoryPool::m_CreateGlobal());
    EXPECT_EQ(pool, g_pPmMemoryPool);
    PVOID block = PmAllocateMemory(32, NonPagedPool);
    CPmMemoryPool::m_DestroyGlobal();
    EXPECT_EQ(pool, g_pPmMemoryPool);
    EXPECT_EQ(1u, outstanding(kTagAllocation));
    // The last destroy frees what is still allocated, then the table and the pool.
    CPmMemoryPool::m_DestroyGlobal();
    pool_created_ = false;
    EXPECT_EQ(nullptr, g_pPmMemoryPool);
    EXPECT_EQ(0u, outstanding(kTagAllocation));
    EXPECT_EQ(0u, outstanding(kTagBlock));
    EXPECT_EQ(0u, outstanding(kTagPool));
    (void)block;
    // A destroy too many changes nothing, and the pool can be made again.
    CPmMemoryPool::m_DestroyGlobal();
    EXPECT_EQ(0, g_lPmMemoryPoolUsers);
    ASSERT_TRUE(CPmMemoryPool::m_CreateGlobal());
    pool_created_ = true;
}

TEST_F(PmMemoryPoolTest, LastDestroyFreesLeftoversAcrossSeveralBlocks) {
    for (int i = 0; i < 205; ++i)
        PmAllocateMemory(24, NonPagedPool);
    EXPECT_EQ(3u, outstanding(kTagBlock));
    CPmMemoryPool::m_DestroyGlobal();
    pool_created_ = false;
    EXPECT_EQ(0u, hvsim::pool::outstanding(this_image()).count) << hvsim::pool::leak_report(this_image());
}

TEST_F(PmMemoryPoolTest, FailedBlockAllocationFailsOnlyTheNewAllocation) {
    std::vector<PVOID> blocks;
    for (int i = 0; i < 100; ++i)
        blocks.push_back(PmAllocateMemory(8, NonPagedPool));
    hvsim::pool::fail_tag(PM_TAG_BLOCK);
    EXPECT_EQ(nullptr, PmAllocateMemory(8, NonPagedPool));
    hvsim::pool::clear_faults();
    ULONG block_count, next_slot, failures;
    query(&block_count, &next_slot, &failures);
    EXPECT_EQ(1u, failures);
    EXPECT_EQ(100u, tracked_allocations());
    // The refused allocation went back to the system; every earlier pointer still frees normally.
    EXPECT_EQ(100u, outstanding(kTagAllocation));
    for (PVOID block : blocks) {
        EXPECT_EQ(STATUS_SUCCESS, g_pPmMemoryPool->m_Free(block));
        ExFreePool(block);
    }
    EXPECT_EQ(0u, outstanding(kTagAllocation));
}

TEST_F(PmMemoryPoolTest, FailedCreationCountsNoUser) {
    CPmMemoryPool::m_DestroyGlobal();
    pool_created_ = false;
    hvsim::pool::fail_tag(PM_TAG_BLOCK);
    EXPECT_FALSE(CPmMemoryPool::m_CreateGlobal());
    hvsim::pool::clear_faults();
    EXPECT_EQ(0, g_lPmMemoryPoolUsers);
    EXPECT_EQ(nullptr, g_pPmMemoryPool);
    EXPECT_EQ(0u, hvsim::pool::outstanding(this_image()).count);
    ASSERT_TRUE(CPmMemoryPool::m_CreateGlobal());
    pool_created_ = true;
}

TEST_F(PmMemoryPoolTest, AllocationsAtDispatchLevelFromNonPagedPool) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID block = PmAllocateMemory(64, NonPagedPool);
    EXPECT_NE(nullptr, block);
    PmFreeMemory(block);
    KeLowerIrql(old);
}

struct Counted : CPmObject {
    explicit Counted(int* deletions) : deletions_(deletions) {}
    ~Counted() override { ++*deletions_; }
    int* deletions_;
};

TEST_F(PmMemoryPoolTest, ObjectsAreCreatedAndDeletedThroughThePool) {
    int deletions = 0;
    CPmObject* object = new (NonPagedPool) Counted(&deletions);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(1u, tracked_allocations());
    delete object;
    EXPECT_EQ(1, deletions);
    EXPECT_EQ(0u, tracked_allocations());

    hvsim::pool::fail_nth(1);
    EXPECT_EQ(nullptr, new (NonPagedPool) Counted(&deletions));
    EXPECT_EQ(1, deletions);
}

// Pointer list ---------------------------------------------------------------------------------

TEST_F(PmMemoryPoolTest, PointerListKeepsOrderThroughRemovals) {
    CPmPointerList list(NonPagedPool);
    int values[5] = {1, 2, 3, 4, 5};
    for (int& v : values)
        ASSERT_NE(nullptr, list.m_Append(&v));
    EXPECT_EQ(5u, list.m_GetCount());
    EXPECT_EQ(&values[2], list.m_GetAt(3));
    EXPECT_EQ(nullptr, list.m_GetAt(0));
    EXPECT_EQ(nullptr, list.m_GetAt(6));

    // Remove 2 and 5 while iterating; the cursor moves to the following node.
    for (PVOID p = list.m_GetFirst(); p;) {
        int v = *static_cast<int*>(p);
        if (v == 2 || v == 5) {
            EXPECT_EQ(p, list.m_RemoveAtCursor());
            p = list.m_GetCurrent();
        } else {
            p = list.m_GetNext();
        }
    }
    ASSERT_EQ(3u, list.m_GetCount());
    EXPECT_EQ(&values[0], list.m_GetAt(1));
    EXPECT_EQ(&values[2], list.m_GetAt(2));
    EXPECT_EQ(&values[3], list.m_GetAt(3));
    EXPECT_EQ(&values[3], list.m_pTail->m_pvElement);
    EXPECT_EQ(nullptr, list.m_pTail->m_pNext);
    EXPECT_EQ(&values[0], list.m_RemoveHead());
    EXPECT_EQ(nullptr, list.m_pHead->m_pPrevious);
    list.m_RemoveAll();
    EXPECT_EQ(0u, list.m_GetCount());
    EXPECT_EQ(nullptr, list.m_RemoveHead());
    EXPECT_EQ(nullptr, list.m_RemoveAtCursor());
}

TEST_F(PmMemoryPoolTest, PointerListCreatesZeroedElementsAndFreesThem) {
    CPmPointerList list(PagedPool);
    auto* pointer = static_cast<PUCHAR>(list.m_AddNewPointer());
    auto* record = static_cast<PUCHAR>(list.m_AddNewRecord());
    auto* element = static_cast<PUCHAR>(list.m_AddNew());
    ASSERT_TRUE(pointer && record && element);
    for (auto [p, n] : {std::pair{pointer, 8}, std::pair{record, 32}, std::pair{element, 40}})
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(0, p[i]);
    EXPECT_EQ(3u, list.m_GetCount());
    list.m_Clear();
    EXPECT_EQ(0u, list.m_GetCount());

    hvsim::pool::fail_nth(2); // the node of the next element
    EXPECT_EQ(nullptr, list.m_AddNew());
    EXPECT_EQ(0u, list.m_GetCount());
}

TEST_F(PmMemoryPoolTest, PointerListDeletesObjectsAndFixedLists) {
    int deletions = 0;
    CPmPointerList objects;
    objects.m_Append(new (NonPagedPool) Counted(&deletions));
    objects.m_Append(new (NonPagedPool) Counted(&deletions));
    objects.m_DeleteAll();
    EXPECT_EQ(2, deletions);

    CPmPointerList fixed_lists;
    for (int i = 0; i < 2; ++i) {
        auto* fixed = new (NonPagedPool) CPmFixedList;
        ASSERT_TRUE(fixed->m_Initialize(4, NonPagedPool));
        fixed->m_AddElement();
        fixed_lists.m_Append(fixed);
    }
    fixed_lists.m_DeleteFixedListElements();
    EXPECT_EQ(0u, fixed_lists.m_GetCount());
}

TEST_F(PmMemoryPoolTest, LockedListPreallocatesItsRecords) {
    {
        CPmLockedList list;
        EXPECT_EQ(10u, list.m_ulRecordCount);
        ASSERT_EQ(10u, list.m_List.m_GetCount());
        for (PmListNode* node = list.m_List.m_pHead; node; node = node->m_pNext) {
            EXPECT_EQ(node->m_pvElement, node->m_pvSpare);
            for (int i = 0; i < PM_LOCKED_LIST_RECORD_SIZE; ++i)
                EXPECT_EQ(0, static_cast<PUCHAR>(node->m_pvElement)[i]);
        }
        EXPECT_TRUE(list.m_UsageLock.m_Acquire());
        list.m_UsageLock.m_Release();
        list.m_Clear();
        EXPECT_EQ(0u, list.m_List.m_GetCount());
        EXPECT_EQ(0u, tracked_allocations());
    }
    // Any failed allocation leaves an empty list and nothing allocated.
    for (uint64_t n = 1; n <= 20; ++n) {
        hvsim::pool::fail_nth(n);
        {
            CPmLockedList list;
            EXPECT_TRUE(list.m_ulRecordCount == 10 || list.m_ulRecordCount == 0);
            EXPECT_EQ(list.m_ulRecordCount, list.m_List.m_GetCount());
        }
        hvsim::pool::clear_faults();
        EXPECT_EQ(0u, tracked_allocations());
    }
}

// Fixed list -----------------------------------------------------------------------------------

TEST_F(PmMemoryPoolTest, FixedListTakesBlocksFromItsArraysUntilFull) {
    CPmFixedList list;
    EXPECT_EQ(nullptr, list.m_AddElement()); // no arrays yet
    ASSERT_TRUE(list.m_Initialize(3, NonPagedPool));
    EXPECT_FALSE(list.m_Initialize(3, NonPagedPool));
    PVOID a = list.m_AddElement();
    PVOID b = list.m_AddElement();
    PVOID c = list.m_AddElement();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(nullptr, list.m_AddElement());
    EXPECT_EQ(3u, list.m_GetCount());
    EXPECT_EQ(b, list.m_GetAt(2));
    EXPECT_TRUE(list.m_RemoveElement(b));
    EXPECT_FALSE(list.m_RemoveElement(b));
    // The returned block is the first free one again.
    EXPECT_EQ(b, list.m_AddElement());
    EXPECT_EQ(b, list.m_GetAt(3));
    list.m_Clear();
    EXPECT_EQ(0u, list.m_GetCount());
    EXPECT_EQ(nullptr, list.m_AddElement());
    EXPECT_EQ(0u, tracked_allocations());
}

TEST_F(PmMemoryPoolTest, FixedListRefusesBlocksItDoesNotHold) {
    expect_failed_checks_ = true;
    CPmFixedList list;
    ASSERT_TRUE(list.m_Initialize(2, NonPagedPool));
    PUCHAR element = static_cast<PUCHAR>(list.m_AddElement());
    hvsim::debug_log::clear();
    UCHAR outside[PM_FIXED_ELEMENT_SIZE];
    EXPECT_FALSE(CPmFixedList::m_ReturnBlock(&list.m_Elements, PM_FIXED_ELEMENT_SIZE, element - 1));
    EXPECT_FALSE(CPmFixedList::m_ReturnBlock(&list.m_Elements, PM_FIXED_ELEMENT_SIZE,
                                             element + 2 * PM_FIXED_ELEMENT_SIZE));
    EXPECT_FALSE(CPmFixedList::m_ReturnBlock(&list.m_Elements, PM_FIXED_ELEMENT_SIZE, element + 1));
    EXPECT_FALSE(CPmFixedList::m_ReturnBlock(&list.m_Elements, PM_FIXED_ELEMENT_SIZE,
                                             element + PM_FIXED_ELEMENT_SIZE)); // not in use
    PmFixedBlockArray none{};
    EXPECT_FALSE(CPmFixedList::m_ReturnBlock(&none, PM_FIXED_ELEMENT_SIZE, outside));
    EXPECT_EQ(5u, hvsim::debug_log::count("ASSERT at - diskimage\\inc\\hvtools\\pmmemorypool.h "));
    EXPECT_EQ(1u, list.m_GetCount());
}

} // namespace
