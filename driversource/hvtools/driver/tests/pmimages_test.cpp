// Two driver images side by side, each with the support library compiled in.
#include "pmtestsupport.h"

#include <hvsim/io.h>

#include <pmbuffer.h>
#include <pmdebugmanager.h>
#include <pmregistry.h>

#include <dlfcn.h>

#include <string>
#include <vector>

using namespace pmtest;
namespace reg = hvsim::registry;

namespace {

// The entry points of one test image.
struct Image {
    void* handle = nullptr;
    std::string name;

    template <class F> F get(const char* symbol) {
        void* address = dlsym(handle, symbol);
        EXPECT_NE(nullptr, address) << symbol;
        return reinterpret_cast<F>(address);
    }
    bool load(const char* path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(nullptr, handle) << dlerror();
        name = std::string(path).substr(std::string(path).rfind('/') + 1);
        return handle != nullptr;
    }
    void unload() {
        if (handle)
            dlclose(handle);
        handle = nullptr;
    }

#define PM_ENTRY(name, ...) auto name() { return get<__VA_ARGS__>(#name); }
    PM_ENTRY(PmImageIsBusVariant, BOOLEAN (*)())
    PM_ENTRY(PmImageCreatePool, BOOLEAN (*)())
    PM_ENTRY(PmImageDestroyPool, void (*)())
    PM_ENTRY(PmImagePool, PVOID (*)())
    PM_ENTRY(PmImageTrackedCount, ULONG (*)())
    PM_ENTRY(PmImageAllocate, PVOID (*)(ULONG))
    PM_ENTRY(PmImageFree, NTSTATUS (*)(PVOID))
    PM_ENTRY(PmImageFreeMemory, void (*)(PVOID))
    PM_ENTRY(PmImageCreateBuffer, CPmBuffer* (*)(const UCHAR*, ULONG))
    PM_ENTRY(PmImageAppendAndDeleteBuffer, BOOLEAN (*)(CPmBuffer*, const UCHAR*, ULONG))
    PM_ENTRY(PmImageBufferOperation, BOOLEAN (*)(ULONG, const UCHAR*, ULONG, ULONG, UCHAR*, PULONG))
    PM_ENTRY(PmImageWriteString, BOOLEAN (*)(ULONG, PCWSTR, PCWSTR, PCWSTR, ULONG))
    PM_ENTRY(PmImageSetEnabledFalseRefuses, BOOLEAN (*)())
    PM_ENTRY(PmImageCreateDebugManager, BOOLEAN (*)(PCWSTR, PCUNICODE_STRING))
    PM_ENTRY(PmImageDestroyDebugManager, void (*)())
    PM_ENTRY(PmImageDebugManager, PVOID (*)())
    PM_ENTRY(PmImageInitializeTracing, NTSTATUS (*)(PVOID, PCUNICODE_STRING))
    PM_ENTRY(PmImageCleanupTracing, void (*)(PVOID))
    PM_ENTRY(PmImageTrace, void (*)(ULONG, PCSTR))
    PM_ENTRY(PmImageRegisterCallback, BOOLEAN (*)(ULONG))
    PM_ENTRY(PmImageNotify, BOOLEAN (*)(PVOID*))
    PM_ENTRY(PmImageCloseCallback, void (*)())
#undef PM_ENTRY
};

class PmImagesTest : public PmKernelTest {
protected:
    void SetUp() override {
        PmKernelTest::SetUp();
        ASSERT_TRUE(port_.load(PM_TEST_IMAGE_PORT));
        ASSERT_TRUE(bus_.load(PM_TEST_IMAGE_BUS));
        ASSERT_TRUE(port_.PmImageCreatePool()());
        ASSERT_TRUE(bus_.PmImageCreatePool()());
    }
    void TearDown() override {
        for (Image* image : {&port_, &bus_}) {
            if (!image->handle)
                continue;
            EXPECT_EQ(0u, image->PmImageTrackedCount()()) << image->name;
            image->PmImageDestroyPool()();
            EXPECT_EQ(0u, hvsim::pool::outstanding(image->name).count) << hvsim::pool::leak_report(image->name);
            image->unload();
        }
        PmKernelTest::TearDown();
    }
    Image port_, bus_;
};

TEST_F(PmImagesTest, EachImageHasItsOwnPool) {
    EXPECT_FALSE(port_.PmImageIsBusVariant()());
    EXPECT_TRUE(bus_.PmImageIsBusVariant()());
    PVOID port_pool = port_.PmImagePool()();
    PVOID bus_pool = bus_.PmImagePool()();
    EXPECT_NE(port_pool, bus_pool);
    EXPECT_NE(static_cast<PVOID>(g_pPmMemoryPool), port_pool);

    std::vector<PVOID> port_blocks, bus_blocks;
    for (int i = 0; i < 3; ++i)
        port_blocks.push_back(port_.PmImageAllocate()(16));
    for (int i = 0; i < 5; ++i)
        bus_blocks.push_back(bus_.PmImageAllocate()(16));
    EXPECT_EQ(3u, port_.PmImageTrackedCount()());
    EXPECT_EQ(5u, bus_.PmImageTrackedCount()());
    EXPECT_EQ(0u, tracked_allocations());
    EXPECT_EQ(3u, hvsim::pool::outstanding(port_.name, PM_TAG_ALLOCATION).count);
    EXPECT_EQ(5u, hvsim::pool::outstanding(bus_.name, PM_TAG_ALLOCATION).count);

    // A pool refuses what the other handed out.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, bus_.PmImageFree()(port_blocks[0]));
    bus_.PmImageFreeMemory()(port_blocks[0]);
    EXPECT_EQ(3u, port_.PmImageTrackedCount()());
    for (PVOID block : port_blocks)
        port_.PmImageFreeMemory()(block);
    for (PVOID block : bus_blocks)
        bus_.PmImageFreeMemory()(block);
}

TEST_F(PmImagesTest, BuffersCrossImagesAndGoBackToTheirOwnPool) {
    const UCHAR data[] = {1, 2, 3};
    CPmBuffer* buffer = port_.PmImageCreateBuffer()(data, 3);
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ(2u, port_.PmImageTrackedCount()());
    // The bus image grows and frees it: both blocks stay with the port image's pool.
    EXPECT_TRUE(bus_.PmImageAppendAndDeleteBuffer()(buffer, data, 2));
    EXPECT_EQ(0u, port_.PmImageTrackedCount()());
    EXPECT_EQ(0u, bus_.PmImageTrackedCount()());
    EXPECT_EQ(0u, hvsim::pool::outstanding(port_.name, PM_TAG_ALLOCATION).count);
}

TEST_F(PmImagesTest, BusDriverVariantsDifferOnlyWhereTheyShould) {
    const UCHAR data[] = {0, 1, 2, 3, 4};
    UCHAR out[8];
    ULONG length = 0;
    ASSERT_TRUE(port_.PmImageBufferOperation()(0, data, 5, 2, out, &length)); // the byte at offset 2
    EXPECT_EQ((std::vector<UCHAR>{0, 1, 3, 4}), std::vector<UCHAR>(out, out + length));
    ASSERT_TRUE(bus_.PmImageBufferOperation()(0, data, 5, 2, out, &length)); // two bytes after byte 0
    EXPECT_EQ((std::vector<UCHAR>{0, 3, 4}), std::vector<UCHAR>(out, out + length));
    EXPECT_FALSE(bus_.PmImageBufferOperation()(0, data, 5, 5, out, &length));
    EXPECT_FALSE(bus_.PmImageBufferOperation()(0, data, 5, 0, out, &length));
    EXPECT_TRUE(port_.PmImageBufferOperation()(1, data, 5, 0, out, &length)); // appending nothing
    EXPECT_FALSE(bus_.PmImageBufferOperation()(1, data, 5, 0, out, &length));

    const char16_t key[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PmBusTest";
    ASSERT_EQ(STATUS_SUCCESS, reg::create_key(key));
    EXPECT_FALSE(port_.PmImageWriteString()(PM_REGISTRY_ABSOLUTE, u"PmBusTest", u"Text", u"x", REG_SZ));
    EXPECT_TRUE(bus_.PmImageWriteString()(PM_REGISTRY_ABSOLUTE, u"PmBusTest", u"Text", u"x", REG_SZ));
    EXPECT_EQ(REG_EXPAND_SZ, reg::get_value(key, u"Text")->type);
    EXPECT_FALSE(bus_.PmImageWriteString()(PM_REGISTRY_SERVICES, u"PmBusTest", u"Multi", u"x", REG_MULTI_SZ));

    EXPECT_TRUE(port_.PmImageSetEnabledFalseRefuses()());
    EXPECT_FALSE(bus_.PmImageSetEnabledFalseRefuses()());
}

TEST_F(PmImagesTest, EachImageHasItsOwnDebugManagerAndTraceRegistration) {
    const char16_t port_key[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HvUVCP";
    const char16_t bus_key[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HvUsbSam";
    reg::create_key(port_key);
    reg::create_key(bus_key);
    UNICODE_STRING port_path, bus_path;
    RtlInitUnicodeString(&port_path, port_key);
    RtlInitUnicodeString(&bus_path, bus_key);
    ASSERT_TRUE(port_.PmImageCreateDebugManager()(u"HvUVCP", &port_path));
    ASSERT_TRUE(bus_.PmImageCreateDebugManager()(u"HvUsbSam", &bus_path));
    EXPECT_NE(port_.PmImageDebugManager()(), bus_.PmImageDebugManager()());
    EXPECT_EQ(nullptr, g_pPmDebugManager);
    const char16_t events[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System\\";
    EXPECT_EQ(u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\HvUsbSam.sys",
              reg::get_string(std::u16string(events) + u"HvUsbSam", u"EventMessageFile").value_or(u""));

    PDRIVER_OBJECT port_driver = hvsim::io::create_driver_object(u"PmPortImage", port_key);
    PDRIVER_OBJECT bus_driver = hvsim::io::create_driver_object(u"PmBusImage", bus_key);
    ASSERT_EQ(STATUS_SUCCESS, port_.PmImageInitializeTracing()(port_driver, &port_path));
    ASSERT_EQ(STATUS_SUCCESS, bus_.PmImageInitializeTracing()(bus_driver, &bus_path));
    hvsim::trace_log::enable(g_aPmTraceControlGuids[2], 0x1, TRACE_LEVEL_VERBOSE, port_.name);
    hvsim::trace_log::clear();
    port_.PmImageTrace()(3, "port line");
    bus_.PmImageTrace()(3, "bus line");
    auto records = hvsim::trace_log::records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("port line", records[0].text());
    EXPECT_EQ(port_.name, records[0].image);

    port_.PmImageCleanupTracing()(port_driver);
    bus_.PmImageCleanupTracing()(bus_driver);
    hvsim::io::delete_driver_object(port_driver);
    hvsim::io::delete_driver_object(bus_driver);
    port_.PmImageDestroyDebugManager()();
    bus_.PmImageDestroyDebugManager()();
    EXPECT_FALSE(reg::key_exists(std::u16string(events) + u"HvUVCP"));
    EXPECT_FALSE(reg::key_exists(std::u16string(events) + u"HvUsbSam"));
}

TEST_F(PmImagesTest, DriversFindEachOtherThroughTheNamedCallbackObject) {
    ASSERT_TRUE(port_.PmImageRegisterCallback()(0));
    ASSERT_TRUE(bus_.PmImageRegisterCallback()(1));
    PVOID answers[2] = {nullptr, nullptr};
    EXPECT_TRUE(port_.PmImageNotify()(answers));
    EXPECT_EQ(port_.PmImagePool()(), answers[0]);
    EXPECT_EQ(bus_.PmImagePool()(), answers[1]);
    bus_.PmImageCloseCallback()();
    answers[0] = answers[1] = nullptr;
    EXPECT_TRUE(port_.PmImageNotify()(answers));
    EXPECT_EQ(nullptr, answers[1]);
    EXPECT_FALSE(bus_.PmImageNotify()(answers));
    port_.PmImageCloseCallback()();
}

} // namespace
