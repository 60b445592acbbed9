// Pool accounting per tag and per image, the fill patterns, the leak report, and what the memory
// manager says about the machine.
#include <hvsim/debug_log.h>
#include <hvsim/pool.h>
#include <sched_testing.h>

#include <dlfcn.h>

#include <cstring>

namespace {

using hvsim::pool::outstanding;
using hvsim::pool::tag_from_text;

const ULONG PmKi = tag_from_text("PmKi");
const ULONG PmKO = tag_from_text("PmKO");

using PoolAccounting = hvsim::ktest::VirtualKernelTest;

// The second driver image of the tests, loaded from its file as the loader would.
class TestImage {
public:
    TestImage() : handle_(dlopen(HV_TEST_IMAGE_PATH, RTLD_NOW | RTLD_LOCAL)) {}
    ~TestImage() {
        if (handle_) dlclose(handle_);
    }
    bool loaded() const { return handle_ != nullptr; }
    template <typename F> F* get(const char* name) const { return reinterpret_cast<F*>(dlsym(handle_, name)); }

private:
    void* handle_;
};

TEST_F(PoolAccounting, CountsAndBytesPerTag) {
    void* a = ExAllocatePoolWithTag(NonPagedPool, 24, PmKi);
    void* b = ExAllocatePoolWithTag(PagedPool, 100, PmKi);
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PmKO);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(outstanding({}, PmKi).count, 2u);
    EXPECT_EQ(outstanding({}, PmKi).bytes, 124u);
    EXPECT_EQ(outstanding({}, PmKO).count, 1u);
    EXPECT_EQ(outstanding().count, 3u);
    EXPECT_EQ((uintptr_t)a % 16, 0u) << "blocks are 16-byte aligned";
    ExFreePoolWithTag(b, PmKi);
    ExFreePool(a);
    EXPECT_EQ(outstanding({}, PmKi).count, 0u);
    ExFreePoolWithTag(c, PmKO);
    EXPECT_EQ(outstanding().bytes, 0u);
}

TEST_F(PoolAccounting, FreshMemoryIsNotZeroUnlessAskedFor) {
    auto* fresh = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 64, PmKi));
    auto* zeroed = static_cast<unsigned char*>(ExAllocatePoolZero(NonPagedPool, 64, PmKi));
    for (int i = 0; i < 64; ++i) {
        EXPECT_NE(fresh[i], 0) << i;
        EXPECT_EQ(zeroed[i], 0) << i;
    }
    ExFreePool(fresh);
    ExFreePool(zeroed);
}

TEST_F(PoolAccounting, ZeroBytesGiveAValidBlock) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 0, PmKi);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(outstanding({}, PmKi).count, 1u);
    EXPECT_EQ(outstanding({}, PmKi).bytes, 0u);
    ExFreePool(p);
}

TEST_F(PoolAccounting, BlocksBelongToTheImageWhoseCodeAllocated) {
    TestImage image;
    ASSERT_TRUE(image.loaded()) << dlerror();
    auto allocate = image.get<PVOID(SIZE_T, ULONG)>("TestImageAllocate");
    auto release = image.get<VOID(PVOID)>("TestImageFree");
    auto ansi_copy = image.get<NTSTATUS(PCWSTR, PANSI_STRING)>("TestImageAnsiCopy");
    void* mine = ExAllocatePoolWithTag(NonPagedPool, 10, PmKi);
    void* theirs = allocate(20, PmKi);
    ANSI_STRING copy{};
    ASSERT_EQ(ansi_copy(u"COM7", &copy), STATUS_SUCCESS);
    EXPECT_EQ(outstanding("HvTestImage.sys").count, 2u) << "the Rtl copy is charged to the image that asked";
    EXPECT_EQ(outstanding("HvTestImage.sys", PmKi).bytes, 20u);
    EXPECT_EQ(outstanding(program_invocation_short_name).count, 1u);
    auto blocks = hvsim::pool::live_blocks("HvTestImage.sys");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].address, theirs);
    EXPECT_EQ(blocks[0].type, NonPagedPool);
    EXPECT_LT(blocks[0].serial, blocks[1].serial);
    release(theirs);
    RtlFreeAnsiString(&copy);
    ExFreePool(mine);
    EXPECT_EQ(outstanding("HvTestImage.sys").count, 0u);
    hvsim::pool::check_unload("HvTestImage.sys");
}

TEST_F(PoolAccounting, TheLeakReportListsTagsSizesAndCounts) {
    EXPECT_EQ(hvsim::pool::leak_report(program_invocation_short_name), "");
    void* a = ExAllocatePoolWithTag(NonPagedPool, 32, PmKi);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 16, PmKi);
    void* c = ExAllocatePoolWithTag(PagedPool, 8, PmKO);
    std::string report = hvsim::pool::leak_report(program_invocation_short_name);
    EXPECT_NE(report.find("3 blocks, 56 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("tag PmKi: 2 blocks, 48 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("tag PmKO: 1 blocks, 8 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("PagedPool"), std::string::npos) << report;
    EXPECT_DEATH(hvsim::pool::check_unload(program_invocation_short_name),
                 "BUGCHECK 0x000000D3.*pool still allocated by hvkernel_tests");
    ExFreePool(a);
    ExFreePool(b);
    ExFreePool(c);
}

TEST_F(PoolAccounting, ShutdownReportsWhatIsStillAllocated) {
    ExAllocatePoolWithTag(NonPagedPool, 12, tag_from_text("Leak"));
    hvsim::kernel_shutdown();
    EXPECT_TRUE(hvsim::debug_log::contains("Kernel shutdown: pool still allocated by hvkernel_tests: 1 blocks"));
    EXPECT_TRUE(hvsim::debug_log::contains("tag Leak: 1 blocks, 12 bytes"));
    hvsim::kernel_boot({});
    EXPECT_EQ(outstanding().count, 0u) << "a new boot starts with an empty pool";
    EXPECT_EQ(hvsim::pool::allocation_count(), 0u);
}

TEST_F(PoolAccounting, TagsShowAsWindowsShowsThem) {
    EXPECT_EQ(PmKi, 0x694B6D50u);
    EXPECT_EQ(hvsim::pool::tag_text(PmKi), "PmKi");
    EXPECT_EQ(hvsim::pool::tag_text(0x00414243), "CBA.");
    EXPECT_EQ(tag_from_text("ab"), tag_from_text("ab  "));
}

TEST_F(PoolAccounting, SystemSizeIsLargeUnlessSet) {
    EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
    hvsim::mm::set_system_size(MmMediumSystem);
    EXPECT_EQ(MmQuerySystemSize(), MmMediumSystem);
    hvsim::kernel_shutdown();
    hvsim::kernel_boot({});
    EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
}

} // namespace
