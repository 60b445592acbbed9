// WMI registration and dispatch: requests from the WMI service reach the driver's callbacks
// through WMILIB and come back in WMI's buffer layout.
#include "pmframeworkmachine.h"
#include "pmqueue_testsupport.h"

#include <hvsim/io.h>
#include <hvsim/wmi.h>

#include <pmdebugmanager.h>
#include <pmwmi.h>

#include <cstring>

using namespace pmqtest;

namespace {

// {5B2C81D4-3E6A-4F07-9D12-A84C37E05B61}, {E1A49C27-0B5D-4A83-B6F2-19D7C3E8A540},
// {7C3E0A95-D24B-41F6-8A0C-5E91B27D3F08}
constexpr GUID kFixedBlock = {0x5B2C81D4, 0x3E6A, 0x4F07, {0x9D, 0x12, 0xA8, 0x4C, 0x37, 0xE0, 0x5B, 0x61}};
constexpr GUID kSizedBlock = {0xE1A49C27, 0x0B5D, 0x4A83, {0xB6, 0xF2, 0x19, 0xD7, 0xC3, 0xE8, 0xA5, 0x40}};
constexpr GUID kMethodBlock = {0x7C3E0A95, 0xD24B, 0x41F6, {0x8A, 0x0C, 0x5E, 0x91, 0xB2, 0x7D, 0x3F, 0x08}};

const PmWmiGuidEntry kTable[] = {
    // GUID, instances, expensive, fixed size, read-only, items, methods
    {&kFixedBlock, 1, 0, 12, 0, 3, 0},
    {&kSizedBlock, 3, 1, 0, 1, 0, 0},
    {&kMethodBlock, 1, 0, 0, 0, 0, 2},
};

// The driver's side: what each callback saw, and what it answers.
struct Driver : CPmDriverClass {
    UCHAR fixed[12] = {};
    std::vector<std::string> calls;
    BOOLEAN answer = TRUE;
    ULONG method_output = 4;

    static Driver& of(CPmDriverClass* object) { return *static_cast<Driver*>(object); }
    static ULONG sized_length(ULONG instance) { return instance == 0 ? 5 : instance == 1 ? 12 : 3; }

    static BOOLEAN required_size(CPmDriverClass* object, ULONG guid, ULONG instance, PULONG size) {
        of(object).calls.push_back("size " + std::to_string(guid) + " " + std::to_string(instance));
        *size = sized_length(instance);
        return of(object).answer;
    }
    static BOOLEAN query(CPmDriverClass* object, ULONG guid, ULONG instance, PUCHAR buffer) {
        Driver& driver = of(object);
        driver.calls.push_back("query " + std::to_string(guid) + " " + std::to_string(instance));
        if (guid == 0)
            memcpy(buffer, driver.fixed, sizeof driver.fixed);
        else
            memset(buffer, 'a' + (int)instance, sized_length(instance));
        return driver.answer;
    }
    static BOOLEAN set_block(CPmDriverClass* object, ULONG guid, ULONG instance, ULONG size, PUCHAR buffer) {
        Driver& driver = of(object);
        driver.calls.push_back("set " + std::to_string(guid) + " size " + std::to_string(size));
        if (driver.answer && guid == 0)
            memcpy(driver.fixed, buffer, sizeof driver.fixed);
        return driver.answer;
    }
    static BOOLEAN set_item(CPmDriverClass* object, ULONG guid, ULONG instance, ULONG item, ULONG size, PUCHAR buffer) {
        Driver& driver = of(object);
        driver.calls.push_back("item " + std::to_string(item));
        if (driver.answer)
            driver.fixed[item * 4] = buffer[0];
        return driver.answer;
    }
    static BOOLEAN method_size(CPmDriverClass* object, ULONG guid, ULONG instance, ULONG method, PULONG size) {
        of(object).calls.push_back("method size " + std::to_string(method));
        *size = 4;
        return TRUE;
    }
    static BOOLEAN execute(CPmDriverClass* object, ULONG guid, ULONG instance, PULONG input, PULONG output,
                           PUCHAR buffer) {
        Driver& driver = of(object);
        driver.calls.push_back("execute in " + std::to_string(*input));
        ULONG value;
        memcpy(&value, buffer, sizeof value);
        value = value * 2;
        memcpy(buffer, &value, sizeof value);
        *output = driver.method_output;
        return TRUE;
    }
};

class Wmi : public QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        driver_object = hvsim::io::create_driver_object(u"PmWmiTest", kRegistryPath);
        ASSERT_NE(nullptr, driver_object);
        driver_object->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch;
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_object, PM_DEVICE_EXTENSION_SIZE, nullptr, FILE_DEVICE_UNKNOWN,
                                                 0, FALSE, &pdo));
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_object, PM_DEVICE_EXTENSION_SIZE, nullptr, FILE_DEVICE_UNKNOWN,
                                                 0, FALSE, &fdo));
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        lower = IoAttachDeviceToDeviceStack(fdo, pdo);
        ASSERT_EQ(pdo, lower);

        // A functional device whose construction found no framework driver: enough for the
        // extension to lead to its WMI object.
        BOOLEAN constructed = TRUE;
        device = new (NonPagedPool) CPmFunctionalDevice(driver_object, pdo, &registry_path, &constructed);
        ASSERT_NE(nullptr, device);
        EXPECT_FALSE(constructed);
        device->m_ulKind = PM_DEVICE_KIND_FUNCTIONAL;
        PmDeviceExtension* extension = CPmDevice::sm_GetExtension(fdo);
        extension->m_UsageLock.m_Initialize(PM_USAGE_UNLIMITED);
        extension->m_UsageLock.m_Init(TRUE);
        extension->m_pDevice = device;

        PmDriverCallbacks callbacks;
        RtlZeroMemory(&callbacks, sizeof callbacks);
        callbacks.m_WmiGetRequiredSizeCallback = Driver::required_size;
        callbacks.m_WmiQueryDataBlockCallback = Driver::query;
        callbacks.m_WmiSetDataBlockCallback = Driver::set_block;
        callbacks.m_WmiSetDataItemCallback = Driver::set_item;
        callbacks.m_WmiGetRequiredSizeForMethodCallback = Driver::method_size;
        callbacks.m_WmiExecuteMethodCallback = Driver::execute;
        BOOLEAN registered = FALSE;
        wmi = new (NonPagedPool) CWmi(fdo, lower, pdo, &registry_path, kTable, 3, &callbacks, &driver, &registered);
        ASSERT_TRUE(registered);
        device->m_pWmi = wmi;
        active = wmi;
        provider = provider_of(fdo);
        ASSERT_NE(0u, provider);
    }
    void TearDown() override {
        active = nullptr;
        if (device) {
            device->m_pWmi = nullptr;
            delete device;
        }
        delete wmi;
        if (lower)
            IoDetachDevice(lower);
        if (fdo)
            IoDeleteDevice(fdo);
        if (pdo)
            IoDeleteDevice(pdo);
        if (driver_object)
            hvsim::io::delete_driver_object(driver_object);
        QueueTest::TearDown();
    }

    static ULONG provider_of(PDEVICE_OBJECT device) {
        for (auto& provider : hvsim::wmi::providers())
            if (provider.device == device)
                return provider.provider_id;
        return 0;
    }

    static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
        PmDeviceExtension* extension = CPmDevice::sm_GetExtension(device);
        if (extension->m_pDevice && active)
            return active->m_SystemControl(irp);
        // The device below: counts what was passed down to it.
        ++forwarded;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }

    static constexpr const char16_t* kRegistryPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\PmWmiTest";
    std::u16string registry_text = kRegistryPath;
    UNICODE_STRING registry_path = {(USHORT)(registry_text.size() * 2), (USHORT)(registry_text.size() * 2),
                                    registry_text.data()};
    PDRIVER_OBJECT driver_object = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    CPmFunctionalDevice* device = nullptr;
    CWmi* wmi = nullptr;
    Driver driver;
    ULONG provider = 0;
    static inline std::atomic<int> forwarded{0};
    // The WMI object the device's system control requests go to.
    static inline CWmi* active = nullptr;
};

TEST_F(Wmi, RegistersTheDriverBlocksThenTheFrameworkGuids) {
    ASSERT_EQ(11u, wmi->m_WmiLibContext.GuidCount);
    EXPECT_EQ(0x20u, wmi->m_pRegistration[0].Flags);
    EXPECT_EQ(0x21u, wmi->m_pRegistration[1].Flags); // expensive
    EXPECT_EQ(3u, wmi->m_pRegistration[1].InstanceCount);
    for (ULONG index = 3; index < 11; ++index) {
        EXPECT_EQ(0u, wmi->m_pRegistration[index].Flags);
        EXPECT_EQ(1u, wmi->m_pRegistration[index].InstanceCount);
    }
    auto providers = hvsim::wmi::providers_of(kSizedBlock);
    ASSERT_EQ(1u, providers.size());
    EXPECT_EQ(pdo, providers[0].pdo);
    EXPECT_EQ(std::u16string(kRegistryPath), providers[0].registry_path);
    EXPECT_EQ(11u, providers[0].guids.size());
    EXPECT_TRUE(wmi->m_bRegistrationGiven);

    active = nullptr;
    delete wmi;
    wmi = nullptr;
    device->m_pWmi = nullptr;
    EXPECT_TRUE(hvsim::wmi::providers_of(kSizedBlock).empty());
}

TEST_F(Wmi, QueriesComeBackInWmiLayout) {
    memcpy(driver.fixed, "fixed-block!", 12);
    auto fixed = hvsim::wmi::query_all_data(provider, kFixedBlock);
    ASSERT_EQ(STATUS_SUCCESS, fixed.status);
    ASSERT_EQ(1u, fixed.instances.size());
    EXPECT_EQ(bytes_of("fixed-block!"), fixed.instances[0].data);

    // Three instances of different sizes, each at its own 8-byte aligned offset.
    driver.calls.clear();
    auto sized = hvsim::wmi::query_all_data(provider, kSizedBlock);
    ASSERT_EQ(STATUS_SUCCESS, sized.status);
    ASSERT_EQ(3u, sized.instances.size());
    EXPECT_EQ(bytes_of("aaaaa"), sized.instances[0].data);
    EXPECT_EQ(bytes_of("bbbbbbbbbbbb"), sized.instances[1].data);
    EXPECT_EQ(bytes_of("ccc"), sized.instances[2].data);

    auto single = hvsim::wmi::query_single_instance(provider, kSizedBlock, 1);
    ASSERT_EQ(STATUS_SUCCESS, single.status);
    ASSERT_EQ(1u, single.instances.size());
    EXPECT_EQ(bytes_of("bbbbbbbbbbbb"), single.instances[0].data);
}

TEST_F(Wmi, SmallBufferIsAnsweredWithTheSizeNeeded) {
    std::vector<UCHAR> wnode(96); // room for the instance table, not for the data
    auto* header = reinterpret_cast<WNODE_HEADER*>(wnode.data());
    header->BufferSize = (ULONG)wnode.size();
    header->ProviderId = provider;
    header->Guid = kSizedBlock;
    auto reply = hvsim::wmi::send_request(provider, IRP_MN_QUERY_ALL_DATA, kSizedBlock, wnode);
    EXPECT_NE(0u, reply.size_needed);
    // 5, padded to 8, then 12, padded to 24, then 3: 27 bytes of data after the header part.
    ULONG header_part = (ULONG)((offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + 3 * sizeof(OFFSETINSTANCEDATAANDLENGTH) + 7) & ~7u);
    EXPECT_EQ(header_part + 27, reply.size_needed);
}

TEST_F(Wmi, FrameworkGuidsAreNotTheDriversToAnswer) {
    auto result = hvsim::wmi::query_all_data(provider, g_aPmTraceControlGuids[2]);
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, result.status);
    EXPECT_TRUE(driver.calls.empty());
}

TEST_F(Wmi, SetsReachTheDriverUnlessTheBlockIsReadOnly) {
    EXPECT_EQ(STATUS_SUCCESS, hvsim::wmi::change_single_instance(provider, kFixedBlock, 0, bytes_of("new contents")));
    EXPECT_EQ(0, memcmp(driver.fixed, "new contents", 12));
    // A fixed-size block is set with size 0: the driver knows its size.
    EXPECT_EQ("set 0 size 0", driver.calls.back());

    driver.calls.clear();
    EXPECT_EQ(STATUS_WMI_READ_ONLY, hvsim::wmi::change_single_instance(provider, kSizedBlock, 0, bytes_of("xx")));
    EXPECT_TRUE(driver.calls.empty());
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, hvsim::wmi::change_single_instance(provider, kFixedBlock, 0, bytes_of("short")));

    driver.answer = FALSE;
    EXPECT_EQ(STATUS_WMI_SET_FAILURE, hvsim::wmi::change_single_instance(provider, kFixedBlock, 0, bytes_of("refused data")));
    driver.answer = TRUE;

    EXPECT_EQ(STATUS_SUCCESS, hvsim::wmi::change_single_item(provider, kFixedBlock, 0, 2, bytes_of("Zzzzzzzzzzzz")));
    EXPECT_EQ('Z', driver.fixed[8]);
    EXPECT_EQ(STATUS_WMI_ITEMID_NOT_FOUND, hvsim::wmi::change_single_item(provider, kFixedBlock, 0, 3, bytes_of("Zzzzzzzzzzzz")));

    wmi->m_pfnSetDataBlock = nullptr;
    EXPECT_EQ(STATUS_WMI_READ_ONLY, hvsim::wmi::change_single_instance(provider, kFixedBlock, 0, bytes_of("new contents")));
}

TEST_F(Wmi, MethodsRunWithTheRequiredSizes) {
    std::vector<UCHAR> input = {21, 0, 0, 0};
    auto result = hvsim::wmi::execute_method(provider, kMethodBlock, 0, 1, input, 4);
    ASSERT_EQ(STATUS_SUCCESS, result.status);
    ASSERT_EQ(4u, result.output.size());
    EXPECT_EQ(42, result.output[0]);
    EXPECT_EQ("execute in 4", driver.calls.back());

    EXPECT_EQ(STATUS_WMI_ITEMID_NOT_FOUND, hvsim::wmi::execute_method(provider, kMethodBlock, 0, 2, input, 4).status);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, hvsim::wmi::execute_method(provider, kMethodBlock, 0, 0, {1, 0}, 4).status);
    driver.method_output = 16; // more than the caller has room for
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, hvsim::wmi::execute_method(provider, kMethodBlock, 0, 0, input, 4).status);

    wmi->m_pfnExecuteMethod = nullptr;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, hvsim::wmi::execute_method(provider, kMethodBlock, 0, 0, input, 4).status);
}

TEST_F(Wmi, FailingSizeOrQueryCallbacksFailTheRequest) {
    driver.answer = FALSE;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hvsim::wmi::query_all_data(provider, kSizedBlock).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hvsim::wmi::query_all_data(provider, kFixedBlock).status);
    driver.answer = TRUE;
    wmi->m_pfnGetRequiredSize = nullptr;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hvsim::wmi::query_all_data(provider, kSizedBlock).status);
}

TEST_F(Wmi, RegInfoExIsRefusedWithoutWdm120AndOtherRequestsGoDown) {
    hvsim::io::set_wdm_version(1, 0x10);
    std::vector<UCHAR> buffer(512);
    auto reply = hvsim::wmi::send_request(provider, IRP_MN_REGINFO_EX, kFixedBlock, buffer);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, reply.status);

    int before = forwarded;
    auto other = hvsim::io::send_and_wait(
        fdo,
        [&](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
            stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
            stack->MinorFunction = IRP_MN_QUERY_ALL_DATA;
            stack->Parameters.WMI.ProviderId = (ULONG_PTR)pdo; // another device's request
        },
        STATUS_NOT_SUPPORTED);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, other.status);
    EXPECT_EQ(before + 1, forwarded.load());
}

TEST_F(Wmi, RequestsWhileTheDeviceGoesAreRefused) {
    CPmDevice::sm_GetExtension(fdo)->m_UsageLock.m_SetEnabled(FALSE);
    EXPECT_EQ(STATUS_DELETE_PENDING, hvsim::wmi::query_all_data(provider, kFixedBlock).status);
    CPmDevice::sm_GetExtension(fdo)->m_UsageLock.m_SetEnabled(TRUE);
    // The device no longer leads to its WMI object.
    device->m_pWmi = nullptr;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hvsim::wmi::query_all_data(provider, kFixedBlock).status);
    device->m_pWmi = wmi;
}

// Every functional device of a framework driver registers, here with no block of the driver's.
class WmiMachine : public gendrvtest::FrameworkMachine {};

TEST_F(WmiMachine, AFunctionalDeviceRegistersTheFrameworkGuidsUntilItIsRemoved) {
    hvsim::pnp::DevInst node = add_device();
    PDEVICE_OBJECT fdo = top_of(node);
    std::vector<hvsim::wmi::Provider> found;
    for (auto& provider : hvsim::wmi::providers())
        if (provider.device == fdo)
            found.push_back(provider);
    ASSERT_EQ(1u, found.size());
    ASSERT_EQ((size_t)PM_WMI_FRAMEWORK_GUIDS, found[0].guids.size());
    for (ULONG index = 0; index < PM_WMI_FRAMEWORK_GUIDS; ++index)
        EXPECT_TRUE(IsEqualGUID(g_aPmTraceControlGuids[index], found[0].guids[index].guid)) << index;
    EXPECT_NE(nullptr, found[0].pdo);
    // The driver has no block to answer with.
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, hvsim::wmi::query_all_data(found[0].provider_id, g_aPmTraceControlGuids[0]).status);

    remove_device(node);
    for (auto& provider : hvsim::wmi::providers())
        EXPECT_NE(provider.provider_id, found[0].provider_id);
    expect_driver_unloaded_clean();
}

} // namespace
