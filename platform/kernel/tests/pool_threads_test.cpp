// The pool from many threads at once, as drivers use it: every transfer allocates and frees its
// buffers on whichever thread runs it.
#include <hvsim/pool.h>
#include <sched_testing.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define HV_TEST_SANITIZED 1
#endif

namespace {

using hvsim::pool::tag_from_text;

using PoolThreads = hvsim::ktest::VirtualKernelTest;

#ifdef HV_TEST_SANITIZED
const char* const WriteAfterFree = "use-after-free";
#else
const char* const WriteAfterFree = "written after it was freed \\(offset ";
#endif

ULONG tag_of(int thread) { return tag_from_text("Th" + std::to_string(10 + thread)); }

// Each thread allocates blocks, fills them, frees every other one and keeps the rest.
void churn(int threads, size_t size, int rounds, std::vector<std::vector<unsigned char*>>* kept) {
    hvsim::ktest::MachineThreads workers;
    workers.start(threads, "pool churn", [&](int t) {
        for (int i = 0; i < rounds; ++i) {
            auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, size, tag_of(t)));
            std::memset(p, t, size);
            if (kept && i % 2 == 0)
                (*kept)[t].push_back(p);
            else
                ExFreePoolWithTag(p, tag_of(t));
        }
    });
}

TEST_F(PoolThreads, AccountingStaysExactAndAWriteAfterFreeIsFound) {
    struct Load {
        int threads;
        size_t size;
        int rounds;
    };
    for (const Load& load : {Load{2, 24, 300}, Load{8, 4096, 100}, Load{16, 10000, 20}}) {
        SCOPED_TRACE(std::to_string(load.threads) + " threads, " + std::to_string(load.size) + " bytes");
        const uint64_t before = hvsim::pool::allocation_count();
        std::vector<std::vector<unsigned char*>> kept(load.threads);
        churn(load.threads, load.size, load.rounds, &kept);

        EXPECT_EQ(hvsim::pool::allocation_count() - before, uint64_t(load.threads * load.rounds));
        size_t total = 0;
        for (int t = 0; t < load.threads; ++t) {
            EXPECT_EQ(hvsim::pool::outstanding({}, tag_of(t)).bytes, kept[t].size() * load.size) << "thread " << t;
            total += kept[t].size();
        }
        auto blocks = hvsim::pool::live_blocks();
        EXPECT_EQ(blocks.size(), total);
        EXPECT_TRUE(std::adjacent_find(blocks.begin(), blocks.end(),
                                       [](const auto& a, const auto& b) { return a.serial >= b.serial; }) ==
                    blocks.end())
            << "serials are distinct and in order";

        // A block written after its free is found once about a quarantine's worth of frees have
        // passed on other threads (under AddressSanitizer, at the write).
        EXPECT_DEATH(
            {
                unsigned char* victim = kept[0].back();
                ExFreePool(victim);
                victim[load.size / 2] = 0;
                churn(load.threads, load.size, 4096 / load.threads, nullptr);
            },
            WriteAfterFree);

        for (auto& blocks_of_thread : kept)
            for (auto* p : blocks_of_thread) ExFreePool(p);
        EXPECT_EQ(hvsim::pool::outstanding().count, 0u);
    }
}

} // namespace
