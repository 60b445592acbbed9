// Files on devices through the I/O manager's file API: open, read, write, control with each
// buffer method, cancellation by CancelIo's rule and by close, cleanup and close order.
#include "io_test_driver.h"

#include <cstring>

using namespace hvsim;
using namespace hvsim::iotest;

namespace {

using IoFiles = IoTest;

constexpr ULONG code(ULONG function, ULONG method, ULONG access = FILE_ANY_ACCESS) {
    return CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, access);
}

// A named device with the link "\??\TEST0", logging what reaches it.
struct Port {
    Log log;
    TestDriver driver{u"FileTest", &log};
    TestDevice& device;
    PendingIrps pending;

    explicit Port(ULONG flags = DO_BUFFERED_IO, BOOLEAN exclusive = FALSE)
        : device(driver.create("port", u"\\Device\\TestPort0", flags, exclusive)) {
        EXPECT_EQ(io::create_symbolic_link(u"\\??\\TEST0", u"\\Device\\TestPort0"), STATUS_SUCCESS);
    }
    ~Port() { io::delete_symbolic_link(u"\\??\\TEST0"); }
    PFILE_OBJECT open(ULONG access = GENERIC_READ | GENERIC_WRITE, std::u16string path = u"\\??\\TEST0") {
        io::OpenOptions options;
        options.path = std::move(path);
        options.desired_access = access;
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(io::open_file(options, &file), STATUS_SUCCESS);
        return file;
    }
};

TEST_F(IoFiles, CreateReachesTheTopOfTheStackWithTheFileObjectAndItsParameters) {
    Port port;
    TestDevice& filter = port.driver.attach("filter", port.device);
    PFILE_OBJECT seen = nullptr;
    ACCESS_MASK access = 0;
    ULONG options = 0;
    USHORT share = 0;
    port.device.on(IRP_MJ_CREATE, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION stack) {
        seen = stack->FileObject;
        access = stack->Parameters.Create.SecurityContext->DesiredAccess;
        options = stack->Parameters.Create.Options;
        share = stack->Parameters.Create.ShareAccess;
        return complete(irp, STATUS_SUCCESS);
    });
    io::OpenOptions open;
    open.path = u"\\DosDevices\\test0";
    open.desired_access = GENERIC_READ;
    open.share_access = FILE_SHARE_READ;
    open.create_options = FILE_SYNCHRONOUS_IO_NONALERT;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(io::open_file(open, &file), STATUS_SUCCESS);
    EXPECT_EQ(port.log.lines(), (std::vector<std::string>{"filter create", "port create"}));
    EXPECT_EQ(seen, file);
    EXPECT_EQ(file->DeviceObject, port.device.object) << "the named device, not the filter";
    EXPECT_EQ(IoGetRelatedDeviceObject(file), filter.object);
    EXPECT_EQ(access, (ACCESS_MASK)GENERIC_READ);
    EXPECT_EQ(options, (ULONG)(FILE_OPEN << 24 | FILE_SYNCHRONOUS_IO_NONALERT));
    EXPECT_EQ(share, FILE_SHARE_READ);
    EXPECT_TRUE(file->Flags & FO_SYNCHRONOUS_IO);
    EXPECT_EQ(file_name(file), u"");
    EXPECT_EQ(io::close_file(file), STATUS_SUCCESS);
}

TEST_F(IoFiles, TheRestOfThePathBecomesTheFileNameWithItsCase) {
    Port port;
    std::u16string name;
    port.device.on(IRP_MJ_CREATE, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION stack) {
        name = file_name(stack->FileObject);
        return complete(irp, STATUS_SUCCESS);
    });
    PFILE_OBJECT file = port.open(GENERIC_READ, u"\\??\\Test0\\HvGenDrv_Settings");
    EXPECT_EQ(name, u"\\HvGenDrv_Settings");
    io::close_file(file);
}

TEST_F(IoFiles, AFailedCreateLeavesNoFileAndSendsNoClose) {
    Port port;
    port.device.on(IRP_MJ_CREATE,
                   [](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return complete(irp, STATUS_ACCESS_DENIED); });
    io::OpenOptions open;
    open.path = u"\\??\\TEST0";
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(1);
    EXPECT_EQ(io::open_file(open, &file), STATUS_ACCESS_DENIED);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(port.log.lines(), std::vector<std::string>{"port create"});
    EXPECT_EQ(port.device.object->ReferenceCount, 0);
}

TEST_F(IoFiles, PathsThatNameNoDeviceAreRefused) {
    Port port;
    PFILE_OBJECT file = nullptr;
    io::OpenOptions open;
    for (auto [path, status] : std::vector<std::pair<std::u16string, NTSTATUS>>{
             {u"\\??\\TEST9", STATUS_OBJECT_NAME_NOT_FOUND},
             {u"\\??\\NoDir\\TEST0", STATUS_OBJECT_PATH_NOT_FOUND},
             {u"TEST0", STATUS_OBJECT_PATH_SYNTAX_BAD},
             {u"\\Device", STATUS_OBJECT_TYPE_MISMATCH},
             {u"\\Driver\\FileTest", STATUS_OBJECT_TYPE_MISMATCH},
         }) {
        open.path = path;
        EXPECT_EQ(io::open_file(open, &file), status);
        EXPECT_EQ(file, nullptr);
    }
    EXPECT_TRUE(port.log.lines().empty());
}

TEST_F(IoFiles, AnExclusiveDeviceOpensOnceAtATime) {
    Port port(DO_BUFFERED_IO, TRUE);
    PFILE_OBJECT first = port.open();
    io::OpenOptions open;
    open.path = u"\\??\\TEST0";
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(io::open_file(open, &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(port.log.lines(), std::vector<std::string>{"port create"}) << "the driver never saw the second open";
    io::close_file(first);
    PFILE_OBJECT again = port.open();
    EXPECT_NE(again, nullptr);
    io::close_file(again);
}

TEST_F(IoFiles, DevicesStillInitializingOrDeletedDoNotOpen) {
    Port port;
    port.device.object->Flags |= DO_DEVICE_INITIALIZING;
    io::OpenOptions open;
    open.path = u"\\??\\TEST0";
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(io::open_file(open, &file), STATUS_NO_SUCH_DEVICE);
    port.device.object->Flags &= ~DO_DEVICE_INITIALIZING;
    port.driver.remove(port.device);
    EXPECT_EQ(io::open_file(open, &file), STATUS_OBJECT_NAME_NOT_FOUND) << "the link dangles";
}

TEST_F(IoFiles, BufferedReadAndWriteCopyExactlyInformationBytes) {
    Port port(DO_BUFFERED_IO);
    std::string written;
    port.device.on(IRP_MJ_WRITE, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION stack) {
        EXPECT_NE(irp->AssociatedIrp.SystemBuffer, irp->UserBuffer) << "a copy, not the caller's memory";
        written.assign(static_cast<char*>(irp->AssociatedIrp.SystemBuffer), stack->Parameters.Write.Length);
        return complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    });
    port.device.on(IRP_MJ_READ, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION stack) {
        EXPECT_EQ(stack->Parameters.Read.Length, 8u);
        memcpy(irp->AssociatedIrp.SystemBuffer, "hello", 5);
        return complete(irp, STATUS_SUCCESS, 5);
    });
    PFILE_OBJECT file = port.open();
    io::IoResult wrote = io::write_file(file, "abc", 3);
    EXPECT_EQ(wrote.status, STATUS_SUCCESS);
    EXPECT_EQ(wrote.information, 3u);
    EXPECT_EQ(written, "abc");
    char buffer[8];
    memset(buffer, '.', sizeof buffer);
    io::IoResult read = io::read_file(file, buffer, sizeof buffer);
    EXPECT_EQ(read.information, 5u);
    EXPECT_EQ(std::string(buffer, 8), "hello...");
    io::close_file(file);
}

TEST_F(IoFiles, DirectAndNeitherReadsUseTheCallersMemory) {
    for (ULONG flags : {ULONG(DO_DIRECT_IO), ULONG(0)}) {
        Port port(flags);
        port.device.on(IRP_MJ_READ, [flags](TestDevice&, PIRP irp, PIO_STACK_LOCATION) {
            EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
            char* target = flags ? static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                                 : static_cast<char*>(irp->UserBuffer);
            memcpy(target, "xy", 2);
            return complete(irp, STATUS_SUCCESS, 2);
        });
        PFILE_OBJECT file = port.open();
        char buffer[4] = {'.', '.', '.', '.'};
        EXPECT_EQ(io::read_file(file, buffer, 4).information, 2u);
        EXPECT_EQ(std::string(buffer, 4), "xy..");
        io::close_file(file);
    }
}

TEST_F(IoFiles, ControlCodesPassBuffersByTheirMethod) {
    Port port;
    port.device.on(IRP_MJ_DEVICE_CONTROL, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION stack) {
        auto& p = stack->Parameters.DeviceIoControl;
        switch (METHOD_FROM_CTL_CODE(p.IoControlCode)) {
        case METHOD_BUFFERED: {
            // One buffer of max(in, out): the input, then room for the output.
            auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(std::string(buffer, p.InputBufferLength), "in");
            memcpy(buffer, "OUTPUT", 6);
            return complete(irp, STATUS_SUCCESS, 6);
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT: {
            EXPECT_EQ(std::string(static_cast<char*>(irp->AssociatedIrp.SystemBuffer), 2), "in");
            EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), p.OutputBufferLength);
            memcpy(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), "direct", 6);
            return complete(irp, STATUS_SUCCESS, 6);
        }
        default:
            EXPECT_EQ(std::string(static_cast<char*>(p.Type3InputBuffer), 2), "in");
            memcpy(irp->UserBuffer, "neithr", 6);
            return complete(irp, STATUS_SUCCESS, 6);
        }
    });
    PFILE_OBJECT file = port.open();
    const char* expected[] = {"OUTPUT", "direct", "direct", "neithr"};
    for (ULONG method = METHOD_BUFFERED; method <= METHOD_NEITHER; ++method) {
        char output[8];
        memset(output, '.', sizeof output);
        io::IoResult result = io::device_control(file, code(0x800, method), "in", 2, output, sizeof output);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 6u);
        EXPECT_EQ(std::string(output, 8), std::string(expected[method]) + "..") << "method " << method;
    }
    io::close_file(file);
}

TEST_F(IoFiles, ErrorsCopyNothingBackButWarningsDo) {
    Port port;
    NTSTATUS answer = STATUS_BUFFER_TOO_SMALL;
    port.device.on(IRP_MJ_DEVICE_CONTROL, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION) {
        memcpy(irp->AssociatedIrp.SystemBuffer, "data", 4);
        return complete(irp, answer, 4);
    });
    PFILE_OBJECT file = port.open();
    char output[4] = {'.', '.', '.', '.'};
    EXPECT_EQ(io::device_control(file, code(0x800, METHOD_BUFFERED), nullptr, 0, output, 4).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(output, 4), "....");
    answer = STATUS_BUFFER_OVERFLOW;
    EXPECT_EQ(io::device_control(file, code(0x800, METHOD_BUFFERED), nullptr, 0, output, 4).status,
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(output, 4), "data");
    io::close_file(file);
}

TEST_F(IoFiles, BadBuffersAndMissingAccessNeverReachTheDriver) {
    Port port;
    PFILE_OBJECT file = port.open(GENERIC_READ);
    char buffer[4];
    EXPECT_EQ(io::read_file(file, nullptr, 4).status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(io::device_control(file, code(0x800, METHOD_BUFFERED), nullptr, 4, buffer, 4).status,
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(io::device_control(file, code(0x800, METHOD_NEITHER), buffer, 4, nullptr, 4).status,
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(io::write_file(file, "x", 1).status, STATUS_ACCESS_DENIED) << "opened for reading only";
    EXPECT_EQ(io::device_control(file, code(0x800, METHOD_BUFFERED, FILE_WRITE_ACCESS), nullptr, 0, nullptr, 0).status,
              STATUS_ACCESS_DENIED);
    bool called = false;
    io::Issue issue = io::read_file_async(file, nullptr, 1, [&](LONG, ULONG_PTR) { called = true; });
    EXPECT_FALSE(issue.issued);
    EXPECT_EQ(issue.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(port.log.lines(), std::vector<std::string>{"port create"});
    // Zero lengths with NULL buffers are fine, and do reach it.
    EXPECT_EQ(io::read_file(file, nullptr, 0).status, STATUS_SUCCESS);
    io::close_file(file);
    EXPECT_EQ(io::read_file(file, buffer, 4).status, STATUS_INVALID_HANDLE);
    EXPECT_FALSE(called);
}

TEST_F(IoFiles, ADriverWithoutDispatchRoutinesRefusesTheOpen) {
    PDRIVER_OBJECT bare =
        io::create_driver_object(u"Bare", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Bare");
    std::u16string name = u"\\Device\\Bare";
    UNICODE_STRING counted_name = counted(name);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(bare, 0, &counted_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    io::finish_driver_initialization(bare);
    io::OpenOptions open;
    open.path = name;
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(io::open_file(open, &file), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(device->ReferenceCount, 0);
    IoDeleteDevice(device);
    io::delete_driver_object(bare);
}

TEST_F(IoFiles, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    Port port;
    port.device.on(IRP_MJ_READ, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return port.pending.pend(irp); });
    PFILE_OBJECT file = port.open();
    char mine[4], theirs[4];
    std::atomic<int> mine_done{0}, theirs_done{0};
    LONG mine_status = 0, theirs_status = 0;
    io::Issue issue = io::read_file_async(file, mine, 4, [&](LONG status, ULONG_PTR) {
        mine_status = status;
        ++mine_done;
    });
    EXPECT_EQ(issue.status, STATUS_PENDING);
    EXPECT_TRUE(issue.issued);
    std::thread other = sched::start_thread("other", [&] {
        io::read_file_async(file, theirs, 4, [&](LONG status, ULONG_PTR) {
            theirs_status = status;
            ++theirs_done;
        });
    });
    sched::join(other);
    EXPECT_EQ(io::outstanding_requests(file), 2u);

    EXPECT_EQ(io::cancel_io(file), 1u);
    EXPECT_EQ(mine_done, 1);
    EXPECT_EQ(mine_status, STATUS_CANCELLED);
    EXPECT_EQ(theirs_done, 0);
    EXPECT_EQ(io::outstanding_requests(file), 1u);

    port.pending.complete_all(STATUS_SUCCESS);
    EXPECT_EQ(theirs_done, 1);
    EXPECT_EQ(theirs_status, STATUS_SUCCESS);
    io::close_file(file);
}

TEST_F(IoFiles, CloseSendsCleanupWhoseCompletionsFinishPendingReadsThenClose) {
    Port port;
    port.device.on(IRP_MJ_READ, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return port.pending.pend(irp); });
    port.device.on(IRP_MJ_CLEANUP, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION) {
        port.pending.complete_all(STATUS_CANCELLED);
        return complete(irp, STATUS_SUCCESS);
    });
    PFILE_OBJECT file = port.open();
    char buffer[4];
    std::vector<std::string> order;
    io::read_file_async(file, buffer, 4, [&](LONG status, ULONG_PTR) {
        order.push_back(status == STATUS_CANCELLED ? "read cancelled" : "read ?");
    });
    port.log.clear();
    EXPECT_EQ(io::close_file(file), STATUS_SUCCESS);
    EXPECT_EQ(order, std::vector<std::string>{"read cancelled"});
    EXPECT_EQ(port.log.lines(), (std::vector<std::string>{"port cleanup", "port close"}));
    EXPECT_EQ(port.device.object->ReferenceCount, 0);
}

TEST_F(IoFiles, CloseWaitsForRequestsStillOutstandingAfterCleanup) {
    Port port;
    port.device.on(IRP_MJ_READ, [&](TestDevice&, PIRP irp, PIO_STACK_LOCATION) { return port.pending.pend(irp); });
    PFILE_OBJECT file = port.open();
    char buffer[4];
    bool done = false;
    io::read_file_async(file, buffer, 4, [&](LONG, ULONG_PTR) { done = true; });
    port.log.clear();
    io::close_file(file);
    EXPECT_EQ(port.log.lines(), std::vector<std::string>{"port cleanup"}) << "the read still holds the file";

    // Completed at DISPATCH_LEVEL: the last reference goes there, so a worker sends the close.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    port.pending.complete_all(STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_TRUE(done);
    LARGE_INTEGER delay;
    delay.QuadPart = -ms(1);
    for (int i = 0; i < 100 && port.log.lines().size() < 2; ++i) KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(port.log.lines(), (std::vector<std::string>{"port cleanup", "port close"}));
}

TEST_F(IoFiles, ADriversReferenceDelaysTheClose) {
    Port port;
    PFILE_OBJECT file = port.open();
    ObReferenceObject(file);
    port.log.clear();
    io::close_file(file);
    EXPECT_EQ(port.log.lines(), std::vector<std::string>{"port cleanup"});
    ObDereferenceObject(file);
    EXPECT_EQ(port.log.lines(), (std::vector<std::string>{"port cleanup", "port close"}));
}

TEST_F(IoFiles, AFilterSeesEveryRequestFirst) {
    Port port;
    TestDevice& filter = port.driver.attach("filter", port.device);
    PFILE_OBJECT file = port.open();
    char buffer[2];
    io::read_file(file, buffer, 2);
    io::write_file(file, "ab", 2);
    io::device_control(file, code(0x800, METHOD_BUFFERED), nullptr, 0, nullptr, 0);
    io::close_file(file);
    EXPECT_EQ(port.log.lines(),
              (std::vector<std::string>{"filter create", "port create", "filter read", "port read", "filter write",
                                        "port write", "filter control", "port control", "filter cleanup",
                                        "port cleanup", "filter close", "port close"}));
    (void)filter;
}

TEST_F(IoFiles, DeviceObjectPointerOpensAndKeepsTheFileUntilDereferenced) {
    Port port;
    std::u16string name = u"\\Device\\TestPort0";
    UNICODE_STRING counted_name = counted(name);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&counted_name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, port.device.object);
    EXPECT_EQ(port.log.lines(), (std::vector<std::string>{"port create", "port cleanup"}));
    ObDereferenceObject(file);
    EXPECT_EQ(port.log.lines(), (std::vector<std::string>{"port create", "port cleanup", "port close"}));
}

TEST_F(IoFiles, PlatformRequestsStartWithTheirStatusAndWait) {
    Port port;
    port.device.on(IRP_MJ_PNP, [](TestDevice&, PIRP irp, PIO_STACK_LOCATION stack) {
        EXPECT_EQ(stack->MinorFunction, IRP_MN_QUERY_CAPABILITIES);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(stack->FileObject, nullptr);
        return complete(irp, STATUS_SUCCESS, 42);
    });
    io::IoResult result = io::send_and_wait(
        port.device.object,
        [](PIRP, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_PNP;
            stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        },
        STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 42u);
    EXPECT_EQ(io::live_irp_count(), 0u);
}

} // namespace
