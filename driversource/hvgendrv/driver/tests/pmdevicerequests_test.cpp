// Requests through the framework: the exclusive open, the routing of control requests to the
// driver, the requests the wrapper answers itself, and requests on a device that is going away.
#include "pmframeworkmachine.h"

#include <ntddser.h>
#include <pmusermodeinterface.h>

#include <cstring>
#include <mutex>

namespace gendrvtest {
namespace {

using hvsim::pnp::DevInst;

class DeviceRequests : public FrameworkMachine {
protected:
    // A request straight to a device object, as the platform sends its own.
    static hvsim::io::IoResult send(PDEVICE_OBJECT device, UCHAR major, ULONG code = 0) {
        return hvsim::io::send_and_wait(
            device,
            [&](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
                stack->MajorFunction = major;
                if (major == IRP_MJ_DEVICE_CONTROL) stack->Parameters.DeviceIoControl.IoControlCode = code;
            },
            STATUS_NOT_SUPPORTED);
    }
};

TEST_F(DeviceRequests, QueryAndSetInformationAlwaysFail) {
    DevInst node = add_device();
    PDEVICE_OBJECT fdo = top_of(node);
    EXPECT_EQ(send(fdo, IRP_MJ_QUERY_INFORMATION).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(send(fdo, IRP_MJ_SET_INFORMATION).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(traced("m_Dispatch_QueryInformation always STATUS_UNSUCCESSFUL"));
    EXPECT_TRUE(traced("m_Dispatch_SetInformation always STATUS_UNSUCCESSFUL"));
    // Flush and shutdown are answered by the framework.
    EXPECT_EQ(send(fdo, IRP_MJ_FLUSH_BUFFERS).status, STATUS_SUCCESS);
    EXPECT_EQ(send(fdo, IRP_MJ_SHUTDOWN).status, STATUS_SUCCESS);
    expect_driver_unloaded_clean();
}

TEST_F(DeviceRequests, TheExclusiveOpenRefusesASecondOpen) {
    add_device();
    hvsim::io::FileObject* first = nullptr;
    hvsim::io::FileObject* second = nullptr;
    ASSERT_EQ(open(u"HVGT", &first), STATUS_SUCCESS);
    EXPECT_EQ(open(u"HVGT", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(count_of(events(), "create"), 1);

    EXPECT_EQ(hvsim::io::close_file(first), STATUS_SUCCESS);
    auto lines = events();
    EXPECT_NE(index_of(lines, "close", index_of(lines, "cleanup")), SIZE_MAX);
    // Closed, the device opens again.
    ASSERT_EQ(open(u"HVGT", &second), STATUS_SUCCESS);
    EXPECT_EQ(hvsim::io::close_file(second), STATUS_SUCCESS);
    expect_driver_unloaded_clean();
}

// A handle opened through the settings interface's name is no open of the port: it opens beside
// the one exclusive open, reaches no driver callback, and carries only the settings requests.
TEST_F(DeviceRequests, SettingsHandlesOpenBesideTheExclusiveOpen) {
    DevInst node = add_device();
    bool registered = false;
    for (auto& info : hvsim::pnp::interfaces_of(node))
        if (info.enabled && info.reference.rfind(u"HVGENDRV_", 0) == 0) registered = true;
    EXPECT_TRUE(registered);

    hvsim::io::FileObject* port = nullptr;
    hvsim::io::FileObject* settings = nullptr;
    ASSERT_EQ(open(u"HVGT", &port), STATUS_SUCCESS);
    ASSERT_EQ(open(u"HVGT\\hvgendrv_any", &settings), STATUS_SUCCESS);
    EXPECT_EQ(count_of(events(), "create"), 1);

    PmUserModeRequestHeader header = {0, PM_USER_MODE_DEFAULT_INDEX};
    struct {
        PmUserModeRequestHeader header;
        ULONG size;
    } request = {header, 0};
    auto size = hvsim::io::device_control(settings, IOCTL_HVGENDRV_GET_SIZE, &request.header, sizeof(header), &request.size,
                                          sizeof(ULONG));
    EXPECT_EQ(size.status, STATUS_SUCCESS);
    EXPECT_EQ(size.information, sizeof(ULONG));
    long controls = count_of(events(), "device control");
    char data[4];
    EXPECT_EQ(hvsim::io::read_file(settings, data, sizeof(data)).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(hvsim::io::write_file(settings, data, sizeof(data)).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(hvsim::io::device_control(settings, IOCTL_HVGT_HOLD, nullptr, 0, nullptr, 0, true).status,
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(count_of(events(), "device control"), controls);

    // Closing the settings handle leaves the port open; a name that only contains the prefix
    // later is an ordinary open, refused while the port is open.
    EXPECT_EQ(hvsim::io::close_file(settings), STATUS_SUCCESS);
    EXPECT_EQ(count_of(events(), "close"), 0);
    EXPECT_EQ(open(u"HVGT\\x\\HVGENDRV_any", &settings), STATUS_ACCESS_DENIED);
    EXPECT_EQ(hvsim::io::close_file(port), STATUS_SUCCESS);
    expect_driver_unloaded_clean();
}

TEST_F(DeviceRequests, ARefusedOpenLeavesTheDeviceClosed) {
    add_device(DeviceConfig().flags(HVGT_FAIL_CREATE));
    hvsim::io::FileObject* file = nullptr;
    EXPECT_EQ(open(u"HVGT", &file), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(open(u"HVGT", &file), STATUS_UNSUCCESSFUL);
    // Both opens reached the driver: the first did not keep the open lock.
    EXPECT_EQ(count_of(events(), "create"), 2);
    expect_driver_unloaded_clean();
}

// The create callback succeeded and the stored settings could not be applied: the driver is told
// to close again, and a later open is not refused as a second open.
TEST_F(DeviceRequests, AnOpenWhoseSettingsFailAreUndone) {
    add_device(DeviceConfig().flags(HVGT_SETTINGS_CALLBACK | HVGT_FAIL_SETTINGS));
    auto before = events();
    EXPECT_NE(index_of(before, "adjust defaults"), SIZE_MAX) << ::testing::PrintToString(before);
    hvsim::io::FileObject* file = nullptr;
    EXPECT_EQ(open(u"HVGT", &file), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(open(u"HVGT", &file), STATUS_UNSUCCESSFUL);
    auto lines = events();
    EXPECT_EQ(count_of(lines, "create"), 2);
    EXPECT_EQ(count_of(lines, "close"), 2);
    expect_driver_unloaded_clean();
}

TEST_F(DeviceRequests, ControlRequestsReachTheDriverOnlyInTheirForm) {
    add_device();
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);
    char input[] = "hello";
    char output[8] = {};
    auto echo = hvsim::io::device_control(file, IOCTL_HVGT_ECHO, input, sizeof(input), output, sizeof(output));
    EXPECT_EQ(echo.status, STATUS_SUCCESS);
    EXPECT_EQ(echo.information, sizeof(input));
    EXPECT_STREQ(output, "hello");

    long before = count_of(events(), "device control");
    EXPECT_EQ(hvsim::io::device_control(file, IOCTL_HVGT_NEITHER, input, sizeof(input), output, sizeof(output)).status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(count_of(events(), "device control"), before);
    // Internal requests go to the driver's IRP callback, which knows only its own code.
    EXPECT_EQ(hvsim::io::device_control(file, IOCTL_HVGT_ECHO, input, sizeof(input), output, sizeof(output), true).status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    expect_driver_unloaded_clean();
}

// An unplug while the port is open and requests wait in the driver: every request ends, control
// requests are refused without reaching the driver, and the handle still closes.
TEST_F(DeviceRequests, SurpriseRemovalWithAnOpenHandleEndsEveryRequest) {
    DevInst node = add_device();
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);

    std::mutex mutex;
    std::vector<LONG> completions;
    for (int i = 0; i < 3; ++i) {
        auto issue = hvsim::io::device_control_async(
            file, IOCTL_HVGT_HOLD, nullptr, 0, nullptr, 0,
            [&](LONG status, ULONG_PTR) {
                std::lock_guard<std::mutex> lock(mutex);
                completions.push_back(status);
            },
            true);
        ASSERT_TRUE(issue.issued);
        EXPECT_EQ(issue.status, STATUS_PENDING);
    }
    // A read waiting for data and a wait for a serial event, both in the framework's queues.
    char buffer[16];
    ULONG mask = SERIAL_EV_RXFLAG;
    ASSERT_EQ(hvsim::io::device_control(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0).status,
              STATUS_SUCCESS);
    ULONG events_seen = 0xFFFFFFFF;
    auto record = [&](LONG status, ULONG_PTR) {
        std::lock_guard<std::mutex> lock(mutex);
        completions.push_back(status);
    };
    ASSERT_EQ(hvsim::io::read_file_async(file, buffer, sizeof(buffer), record).status, STATUS_PENDING);
    ASSERT_EQ(hvsim::io::device_control_async(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events_seen,
                                              sizeof(events_seen), record)
                  .status,
              STATUS_PENDING);
    EXPECT_EQ(hvsim::io::outstanding_requests(file), 5u);

    hvsim::pnp::surprise_remove(node);
    hvsim::pnp::wait_quiet();
    EXPECT_EQ(hvsim::io::outstanding_requests(file), 0u);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(completions, std::vector<LONG>(5, STATUS_CANCELLED));
    }
    long controls = count_of(events(), "device control");
    char input[4] = {};
    EXPECT_EQ(hvsim::io::device_control(file, IOCTL_HVGT_ECHO, input, sizeof(input), input, sizeof(input)).status,
              STATUS_DEVICE_REMOVED);
    EXPECT_EQ(count_of(events(), "device control"), controls);
    EXPECT_TRUE(traced("CPmFunctionalDevice::m_Dispatch_Pnp - Minor Function : IRP_MN_SURPRISE_REMOVAL\n"));

    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    hvsim::pnp::wait_quiet();
    auto lines = events();
    // The removal callback runs at the surprise removal only.
    EXPECT_EQ(count_of(lines, "remove"), 1);
    EXPECT_NE(index_of(lines, "destroy", index_of(lines, "close")), SIZE_MAX) << ::testing::PrintToString(lines);
    devices_.clear();
    expect_driver_unloaded_clean();
}

// Writes go through the write queue to the driver (a loopback here), which hands the bytes back
// to the read queue; zero-length requests end at once.
TEST_F(DeviceRequests, WritesAndReadsRunThroughTheQueues) {
    add_device();
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);
    EXPECT_EQ(hvsim::io::write_file(file, "", 0).status, STATUS_SUCCESS);
    char none[1];
    auto empty = hvsim::io::read_file(file, none, 0);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);

    // More than one credit's worth: the write goes in chunks no larger than the credit.
    std::string text(150, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = (char)('a' + i % 26);
    auto written = hvsim::io::write_file(file, text.data(), (ULONG)text.size());
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, text.size());
    EXPECT_EQ(count_of(events(), "write"), 3);
    EXPECT_EQ(query_state(file).ulAmountInReadQueue, text.size());

    std::string back(text.size(), '\0');
    auto read = hvsim::io::read_file(file, back.data(), (ULONG)back.size());
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, text.size());
    EXPECT_EQ(back, text);
    EXPECT_EQ(query_state(file).ulAmountInReadQueue, 0u);
    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    expect_driver_unloaded_clean();
}

// A driver that takes its writes directly gets each one on the device's worker thread, and the
// write ends at once.
TEST_F(DeviceRequests, DirectWritesReachTheDriverAtPassiveLevel) {
    DevInst node = add_device(DeviceConfig().flags(HVGT_DIRECT_WRITE));
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);
    auto written = hvsim::io::write_file(file, "hello", 5);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 5u);
    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    // The removal waits for the worker.
    remove_device(node);
    EXPECT_EQ(count_of(events(), "direct write 5 0 at passive"), 1) << ::testing::PrintToString(events());
    EXPECT_EQ(count_of(events(), "write"), 0);
    expect_driver_unloaded_clean();
}

TEST_F(DeviceRequests, AWaitOnMaskWaitsInTheControlQueue) {
    add_device();
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);
    ULONG events_seen = 0xFFFFFFFF;
    // Without a mask there is nothing to wait for.
    auto refused = hvsim::io::device_control(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events_seen, sizeof(events_seen));
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.information, sizeof(ULONG));

    ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG;
    ASSERT_EQ(hvsim::io::device_control(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0).status,
              STATUS_SUCCESS);
    LONG result = STATUS_PENDING;
    ULONG_PTR information = 0;
    auto issue = hvsim::io::device_control_async(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events_seen,
                                                 sizeof(events_seen), [&](LONG status, ULONG_PTR info) {
                                                     result = status;
                                                     information = info;
                                                 });
    ASSERT_TRUE(issue.issued);
    EXPECT_EQ(issue.status, STATUS_PENDING);
    EXPECT_EQ(result, STATUS_PENDING);
    // A second wait while one waits is refused.
    ULONG second = 0xFFFFFFFF;
    EXPECT_EQ(hvsim::io::device_control(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &second, sizeof(second)).status,
              STATUS_INVALID_PARAMETER);

    ULONG raised = SERIAL_EV_RXFLAG;
    ASSERT_EQ(hvsim::io::device_control(file, IOCTL_HVGT_RAISE_EVENTS, &raised, sizeof(raised), nullptr, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof(ULONG));
    EXPECT_EQ(events_seen, (ULONG)SERIAL_EV_RXFLAG);
    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    expect_driver_unloaded_clean();
}

TEST_F(DeviceRequests, CancellingAHeldRequestEndsIt) {
    add_device();
    hvsim::io::FileObject* file = nullptr;
    ASSERT_EQ(open(u"HVGT", &file), STATUS_SUCCESS);
    LONG result = 0;
    auto issue = hvsim::io::device_control_async(
        file, IOCTL_HVGT_HOLD, nullptr, 0, nullptr, 0, [&](LONG status, ULONG_PTR) { result = status; }, true);
    ASSERT_TRUE(issue.issued);
    EXPECT_EQ(hvsim::io::cancel_io(file), 1u);
    EXPECT_EQ(result, STATUS_CANCELLED);
    EXPECT_EQ(hvsim::io::close_file(file), STATUS_SUCCESS);
    expect_driver_unloaded_clean();
}

// While a removed device's framework device is deleted, its device object still exists: the test
// driver sends a request to it from its destroy entry. The request ends with
// STATUS_DELETE_PENDING and reaches no callback.
TEST_F(DeviceRequests, ARequestOnADeviceBeingRemovedEndsWithDeletePending) {
    DevInst node = add_device();
    remove_device(node);
    auto lines = events();
    EXPECT_EQ(count_of(lines, "request during destruction c0000056"), 1) << ::testing::PrintToString(lines);
    EXPECT_EQ(count_of(lines, "hold"), 0);
    EXPECT_TRUE(traced("m_Dispatch_InternalDeviceControl OUT - c0000056"));
    expect_driver_unloaded_clean();
}

TEST_F(DeviceRequests, AFunctionCodeOtherThanTheEntrysIsRefused) {
    DevInst node = add_device();
    PDEVICE_OBJECT fdo = top_of(node);
    // The read entry receives a request whose stack location says otherwise.
    PDRIVER_DISPATCH read = fdo->DriverObject->MajorFunction[IRP_MJ_READ];
    PDRIVER_DISPATCH flush = fdo->DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS];
    auto result = hvsim::io::send_and_wait(
        fdo,
        [&](hvsim::io::Irp*, hvsim::io::StackLocation* stack) {
            stack->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
            fdo->DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = read;
        },
        STATUS_NOT_SUPPORTED);
    fdo->DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = flush;
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    expect_driver_unloaded_clean();
}

} // namespace
} // namespace gendrvtest
