// Allocation failures injected at every allocation of a scenario that uses every class: no leak, no
// crash, no key handle left open.
#include "pmtestsupport.h"

#include <pmbuffer.h>
#include <pmcallbackobject.h>
#include <pmdebugmanager.h>
#include <pmdeviceconfiguration.h>
#include <pmregistry.h>
#include <pmworkerthread.h>

using namespace pmtest;
namespace reg = hvsim::registry;

namespace {

const char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmSweep";

void signal(PVOID event, PVOID) { KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE); }
void answer(PVOID context, PVOID, PVOID) { ++*static_cast<int*>(context); }

void use_strings_and_buffers() {
    CPmString text(PagedPool, u"com");
    text.m_AppendInteger(3);
    text.m_PrependAnsi("\\\\.\\");
    text.m_MakeUpper();
    text.m_AssignInteger(0xBEEF, 16);
    text.m_Append(u"-x");
    CPmString copy(text);
    copy.m_AppendString(text);
    copy.m_RemoveCharAt(1);
    PCHAR ansi = nullptr;
    if (NT_SUCCESS(copy.m_GetAnsiCopy(&ansi)))
        ExFreePool(ansi);
    PWCHAR wide = nullptr;
    if (NT_SUCCESS(copy.m_GetWideCopy(&wide, 4)))
        ExFreePool(wide);
    copy.m_AssignAnsi("plain");

    CPmBuffer buffer{};
    const UCHAR bytes[] = {1, 0, 2, 0};
    const UCHAR pair[2] = {9, 9};
    buffer.m_Assign(bytes, 4);
    buffer.m_Append(bytes, 2);
    buffer.m_Prepend(bytes, 1);
    buffer.m_InsertPairAt(pair, 1);
    buffer.m_RemoveByteAt(2);
    buffer.m_RemoveAllOf(0);
    buffer.m_Clear();
}

void use_lists() {
    CPmPointerList list;
    list.m_AddNewPointer();
    list.m_AddNewRecord();
    list.m_AddNew();
    list.m_Clear();
    CPmLockedList locked;
    CPmFixedList fixed;
    if (fixed.m_Initialize(4, NonPagedPool))
        fixed.m_AddElement();
}

void use_registry_and_sets() {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kServiceKey);
    HANDLE key;
    if (!CPmRegistry::m_OpenPath(&path, &key, KEY_ALL_ACCESS, FALSE))
        return;
    {
        FunctionalDeviceRegistryInformationSet set(key);
        set.m_ulNumberChildDevices = 2;
        set.m_SaveToRegistry(key, PM_SECTION_DEFAULT);
        set.m_LoadFromRegistry(key, PM_SECTION_DEFAULT);
    }
    CPmString value(PagedPool);
    CPmRegistry::m_QueryString(key, u"DeviceName", value);
    ZwClose(key);
    CPmRegistry::m_WriteString(PM_REGISTRY_SERVICES, u"PmSweep", u"Copy", value, REG_SZ);
}

void use_debug_manager() {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kServiceKey);
    BOOLEAN ok = FALSE;
    CPmDebugManager* manager = new (NonPagedPool) CPmDebugManager(nullptr, u"PmSweep", &path, &ok);
    if (manager) {
        manager->m_UnregisterEventSource();
        delete manager;
    }
}

void use_workers() {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    {
        CPmWorkerThread worker(31, 0);
        if (worker.m_Post(signal, &done) && worker.m_IsRunning()) {
            EXPECT_TRUE(wait(&done));
        }
        worker.m_Post(signal, &done);
    }
    KeClearEvent(&done);
    CPmDeviceWorker device_worker(nullptr);
    if (device_worker.m_Post(signal, &done, nullptr)) {
        EXPECT_TRUE(wait(&done));
    }
    device_worker.m_Stop();
}

void use_callback_object() {
    int answers = 0;
    CPmCallbackObject object;
    if (object.m_Register(GUID_HVGENDRV_CALLBACK_OBJECT, answer, &answers)) {
        EXPECT_TRUE(object.m_Notify(nullptr, nullptr));
    }
    object.m_Close();
}

TEST(PmFaultInjectionTest, EveryAllocationFailureLeavesNoLeakAndNoCrash) {
    uint64_t failures_hit = 0;
    uint64_t n = 1;
    for (; n < 5000; ++n) {
        hvsim::kernel_boot({});
        ASSERT_EQ(STATUS_SUCCESS, reg::create_key(kServiceKey));
        reg::set_dword(kServiceKey, u"TypeOfDevice", 0x1B);
        reg::set_string(kServiceKey, u"DeviceName", u"Sweep");
        reg::set_dword(kServiceKey, u"DeviceIndexingPolicyType", 1);
        size_t handles = reg::open_key_handles();
        uint64_t injected_before = hvsim::pool::injected_failure_count();
        hvsim::pool::fail_nth(n);
        if (CPmMemoryPool::m_CreateGlobal()) {
            use_strings_and_buffers();
            use_lists();
            use_registry_and_sets();
            use_debug_manager();
            use_workers();
            use_callback_object();
            EXPECT_EQ(0u, tracked_allocations()) << "failure at allocation " << n;
            CPmMemoryPool::m_DestroyGlobal();
        }
        bool hit = hvsim::pool::injected_failure_count() != injected_before;
        hvsim::pool::clear_faults();
        EXPECT_EQ(0u, hvsim::pool::outstanding(this_image()).count)
            << "failure at allocation " << n << "\n" << hvsim::pool::leak_report(this_image());
        EXPECT_EQ(handles, reg::open_key_handles()) << "failure at allocation " << n;
        hvsim::kernel_shutdown();
        if (!hit)
            break; // the scenario made fewer than n allocations: every one has failed once
        ++failures_hit;
        if (HasFailure())
            break;
    }
    RecordProperty("allocations_failed", (int)failures_hit);
    EXPECT_GT(failures_hit, 50u);
    EXPECT_LT(n, 5000u);
}

} // namespace
