#include "pmtestsupport.h"

#include <hv/ps.h>
#include <hvsim/pnp.h>

namespace pmtest {

std::string this_image() { return hvsim::pool::image_of_address(reinterpret_cast<const void*>(&this_image)); }

ULONG tracked_allocations() {
    if (!g_pPmMemoryPool)
        return 0;
    ULONG blocks = 0, next_slot = 0;
    g_pPmMemoryPool->m_QueryTracking(&blocks, &next_slot, nullptr);
    return (blocks - 1) * (PM_TRACKING_SLOTS - 1) + next_slot - 1;
}

std::u16string text_of(PCUNICODE_STRING text) {
    if (!text->Buffer)
        return {};
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

std::string text_of(PCANSI_STRING text) {
    if (!text->Buffer)
        return {};
    return std::string(text->Buffer, text->Length);
}

HANDLE open_key(std::u16string_view path, ACCESS_MASK access) {
    UNICODE_STRING name = {(USHORT)(path.size() * 2), (USHORT)(path.size() * 2), const_cast<PWCH>(path.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    return NT_SUCCESS(ZwOpenKey(&key, access, &attributes)) ? key : nullptr;
}

PDEVICE_OBJECT make_root_device(const char16_t* hardware_id, const char16_t* driver_key) {
    if (!hvsim::pnp::running())
        hvsim::pnp::start_tree();
    std::u16string instance;
    hvsim::pnp::RootDeviceSpec spec;
    spec.hardware_id = hardware_id;
    if (!NT_SUCCESS(hvsim::pnp::create_root_device(spec, &instance)))
        return nullptr;
    hvsim::pnp::DevInst node = hvsim::pnp::find_node(instance);
    if (driver_key)
        hvsim::registry::set_string(hvsim::pnp::device_key_path(node), u"Driver", driver_key);
    auto info = hvsim::pnp::node_info(node);
    return info ? info->pdo : nullptr;
}

void run_on_system_thread(void (*body)(PVOID), PVOID context) {
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                                   body, context));
    PVOID thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                                        &thread, nullptr));
    ZwClose(handle);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(thread);
}

bool wait(PVOID object, LONGLONG relative_timeout_100ns) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -relative_timeout_100ns;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE,
                                 relative_timeout_100ns ? &timeout : nullptr) == STATUS_SUCCESS;
}

} // namespace pmtest

void PmKernelTest::SetUp() {
    hvsim::KernelOptions options;
    options.clock = hvsim::ClockMode::Virtual;
    hvsim::kernel_boot(options);
    key_handles_at_start_ = hvsim::registry::open_key_handles();
    ASSERT_TRUE(CPmMemoryPool::m_CreateGlobal());
    pool_created_ = true;
}

void PmKernelTest::TearDown() {
    if (pool_created_) {
        EXPECT_EQ(0u, pmtest::tracked_allocations()) << "allocations still held at the end of the test";
        CPmMemoryPool::m_DestroyGlobal();
    }
    EXPECT_EQ(nullptr, g_pPmMemoryPool);
    EXPECT_EQ(0u, hvsim::pool::outstanding(pmtest::this_image()).count)
        << hvsim::pool::leak_report(pmtest::this_image());
    EXPECT_EQ(key_handles_at_start_, hvsim::registry::open_key_handles()) << "registry key handles leaked";
    if (!expect_failed_checks_) {
        EXPECT_EQ(0u, hvsim::debug_log::count("ASSERT at - ")) << hvsim::debug_log::text();
        EXPECT_EQ(0u, hvsim::debug_log::break_points()) << hvsim::debug_log::text();
    }
    hvsim::kernel_shutdown();
}
