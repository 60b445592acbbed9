// Software tracing: a consumer enables a control GUID, the driver's control block follows, and
// WmiTraceMessage lands in the trace log; also the device-object path through the tracing control
// handler.
#include <hvsim/debug_log.h>
#include <sched_testing.h>

#include <cstring>
#include <vector>

namespace {

namespace trace = hvsim::trace_log;

const GUID control1 = {0x0D3F9E62, 0xA7B5, 0x4C18, {0x9E, 0x40, 0x6B, 0x2A, 0x81, 0xC7, 0xF5, 0x39}};
const GUID control5 = {0x69F0A3C8, 0xB4D2, 0x4E51, {0x9A, 0x76, 0xC1, 0x8E, 0x2F, 0x0D, 0x43, 0xB9}};
const GUID message_guid = {0xAAAAAAAA, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

class Tracing : public hvsim::ktest::VirtualKernelTest {
protected:
    void SetUp() override {
        hvsim::ktest::VirtualKernelTest::SetUp();
        blocks_[0].ControlGuid = &control1;
        blocks_[1].ControlGuid = &control5;
    }
    static NTSTATUS send(const WPP_TRACE_CONTROL_BLOCK& block, USHORT number, const char* text) {
        return WmiTraceMessage(block.Logger, 43, &message_guid, number, text, (SIZE_T)std::strlen(text) + 1, nullptr);
    }
    WPP_TRACE_CONTROL_BLOCK blocks_[2] = {};
    int driver_object_ = 0;
    int device_object_ = 0;
};

TEST_F(Tracing, NoMessageWithoutAConsumer) {
    EXPECT_EQ(WmiTraceMessage(0, 43, &message_guid, 10, "x", (SIZE_T)2, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(WmiTraceMessage(12345, 43, &message_guid, 10, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(trace::records().empty());
}

TEST_F(Tracing, EnableReachesRegisteredAndLaterRegisteredDrivers) {
    ASSERT_EQ(WppInitDriverTracing(&driver_object_, nullptr, blocks_, 2), STATUS_SUCCESS);
    EXPECT_EQ(blocks_[1].Logger, 0u);
    TRACEHANDLE logger = trace::enable(control5, 0x400, TRACE_LEVEL_INFORMATION);
    EXPECT_NE(logger, 0u);
    EXPECT_EQ(blocks_[1].Logger, logger);
    EXPECT_EQ(blocks_[1].Flags, 0x400u);
    EXPECT_EQ(blocks_[1].Level, TRACE_LEVEL_INFORMATION);
    EXPECT_EQ(blocks_[0].Logger, 0u) << "other GUIDs stay off";
    EXPECT_EQ(trace::enable(control5, 0x401), logger) << "same session, new flags";
    EXPECT_EQ(blocks_[1].Flags, 0x401u);

    WPP_TRACE_CONTROL_BLOCK late[1] = {{&control5, 0, 0, 0}};
    int other_driver = 0;
    ASSERT_EQ(WppInitDriverTracing(&other_driver, nullptr, late, 1), STATUS_SUCCESS);
    EXPECT_EQ(late[0].Logger, logger);
    EXPECT_EQ(WppInitDriverTracing(&other_driver, nullptr, late, 1), STATUS_OBJECT_NAME_COLLISION);
    WppCleanupTracing(&other_driver);
    EXPECT_EQ(late[0].Logger, 0u);

    trace::disable(control5);
    EXPECT_EQ(blocks_[1].Logger, 0u);
    EXPECT_EQ(blocks_[1].Flags, 0u);
    WppCleanupTracing(&driver_object_);
    EXPECT_TRUE(trace::registrations().empty());
}

TEST_F(Tracing, MessagesAreCapturedWithTheirArguments) {
    ASSERT_EQ(WppInitDriverTracing(&driver_object_, nullptr, blocks_, 2), STATUS_SUCCESS);
    trace::enable(control5, 0x400);
    ASSERT_EQ(send(blocks_[1], 27, "CVCP::m_Open - IN"), STATUS_SUCCESS);
    ULONG elapsed = 1234;
    ASSERT_EQ(WmiTraceMessage(blocks_[1].Logger, 43, &message_guid, 65, &elapsed, (SIZE_T)4, nullptr), STATUS_SUCCESS);
    auto records = trace::records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].sequence, 1u);
    EXPECT_EQ(records[0].number, 27);
    EXPECT_EQ(records[0].flags, 43u);
    EXPECT_TRUE(records[0].control_guid == control5);
    EXPECT_TRUE(records[0].message_guid == message_guid);
    EXPECT_EQ(records[0].text(), "CVCP::m_Open - IN");
    EXPECT_EQ(records[0].arguments[0].size(), 18u) << "the terminating NUL travels with the text";
    EXPECT_EQ(records[0].image, "hvkernel_tests");
    EXPECT_EQ(records[1].ulong_argument(0), 1234u);
    EXPECT_EQ(trace::count(control5, 27), 1u);
    trace::clear();
    EXPECT_TRUE(trace::records().empty());
    WppCleanupTracing(&driver_object_);
}

TEST_F(Tracing, ArgumentsBeyond64KAreRefused) {
    ASSERT_EQ(WppInitDriverTracing(&driver_object_, nullptr, blocks_, 2), STATUS_SUCCESS);
    trace::enable(control1, 1);
    std::vector<char> big(40000, 'x');
    EXPECT_EQ(WmiTraceMessage(blocks_[0].Logger, 43, &message_guid, 10, big.data(), (SIZE_T)big.size(), big.data(),
                              (SIZE_T)big.size(), nullptr),
              STATUS_INVALID_BUFFER_SIZE);
    EXPECT_TRUE(trace::records().empty());
    WppCleanupTracing(&driver_object_);
}

TEST_F(Tracing, AnEnableForOneImageWinsOverOneForAll) {
    ASSERT_EQ(WppInitDriverTracing(&driver_object_, nullptr, blocks_, 2), STATUS_SUCCESS);
    TRACEHANDLE all = trace::enable(control1, 0x1);
    trace::enable(control1, 0x2, TRACE_LEVEL_VERBOSE, "HvUBus.sys");
    EXPECT_EQ(blocks_[0].Logger, all) << "this program is not HvUBus.sys";
    TRACEHANDLE mine = trace::enable(control1, 0x4, TRACE_LEVEL_VERBOSE, "hvkernel_tests");
    EXPECT_EQ(blocks_[0].Logger, mine);
    EXPECT_EQ(blocks_[0].Flags, 0x4u);
    trace::disable(control1, "hvkernel_tests");
    EXPECT_EQ(blocks_[0].Logger, all);
    trace::disable_all();
    EXPECT_EQ(blocks_[0].Logger, 0u);
    WppCleanupTracing(&driver_object_);
}

TEST_F(Tracing, DeviceRegistrationsGoThroughTheTracingControlHandler) {
    std::vector<std::pair<UCHAR, std::vector<uint8_t>>> delivered;
    trace::set_system_control_deliverer([&](void* device, UCHAR minor, const std::vector<uint8_t>& buffer) {
        EXPECT_EQ(device, &device_object_);
        delivered.emplace_back(minor, buffer);
        std::vector<uint8_t> copy = buffer;
        ULONG size = 99;
        EXPECT_EQ(WppTraceControl(device, minor, copy.data(), (ULONG)copy.size(), &size), STATUS_SUCCESS);
        EXPECT_EQ(size, 0u);
    });
    ASSERT_EQ(WppInitDeviceTracing(&device_object_, nullptr, blocks_, 2), STATUS_SUCCESS);
    TRACEHANDLE logger = trace::enable(control5, 0x8);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].first, 0x04) << "IRP_MN_ENABLE_EVENTS";
    WNODE_HEADER header;
    ASSERT_EQ(delivered[0].second.size(), sizeof header);
    std::memcpy(&header, delivered[0].second.data(), sizeof header);
    EXPECT_TRUE(header.Guid == control5);
    EXPECT_EQ(header.HistoricalContext, logger);
    EXPECT_EQ(header.Flags, (ULONG)WNODE_FLAG_TRACED_GUID);
    EXPECT_EQ(blocks_[1].Logger, logger);
    EXPECT_EQ(blocks_[1].Flags, 0x8u);
    trace::disable(control5);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].first, 0x05) << "IRP_MN_DISABLE_EVENTS";
    EXPECT_EQ(blocks_[1].Logger, 0u);

    std::vector<uint8_t> buffer = delivered[0].second;
    EXPECT_EQ(WppTraceControl(&device_object_, 0x04, buffer.data(), 47, nullptr), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(WppTraceControl(&device_object_, 0x01, buffer.data(), 48, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WppTraceControl(&driver_object_, 0x04, buffer.data(), 48, nullptr), STATUS_INVALID_PARAMETER);
    header.Guid = message_guid;
    std::memcpy(buffer.data(), &header, sizeof header);
    EXPECT_EQ(WppTraceControl(&device_object_, 0x04, buffer.data(), 48, nullptr), STATUS_INVALID_DEVICE_REQUEST)
        << "not one of the registration's GUIDs";
    WppCleanupTracing(&device_object_);
}

TEST_F(Tracing, WithoutADelivererDeviceBlocksAreUpdatedDirectly) {
    trace::set_system_control_deliverer(nullptr); // the WMI manager installs one at boot
    trace::enable(control1, 0x1);
    ASSERT_EQ(WppInitDeviceTracing(&device_object_, nullptr, blocks_, 2), STATUS_SUCCESS);
    EXPECT_NE(blocks_[0].Logger, 0u);
    auto registrations = trace::registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_TRUE(registrations[0].through_system_control);
    EXPECT_EQ(registrations[0].control_guids.size(), 2u);
    WppCleanupTracing(&device_object_);
}

TEST_F(Tracing, ShutdownReportsRegistrationsLeftBehind) {
    ASSERT_EQ(WppInitDriverTracing(&driver_object_, nullptr, blocks_, 2), STATUS_SUCCESS);
    hvsim::kernel_shutdown();
    EXPECT_TRUE(hvsim::debug_log::contains("software tracing of hvkernel_tests is still registered"));
    hvsim::kernel_boot({});
    EXPECT_TRUE(trace::registrations().empty());
}

} // namespace
