// A driver built inside the test process for the I/O manager's tests: devices whose dispatch
// routines are std::functions per major code, a log of the requests each device saw, and a
// fresh kernel per test.
#pragma once

#include <hvsim/io.h>
#include <sched_testing.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hvsim::iotest {

using ktest::ms;
using ktest::sec;
using IoTest = ktest::VirtualKernelTest;

// Lines in the order they were added, from any thread.
class Log {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class TestDriver;

struct TestDevice;
using Handler = std::function<NTSTATUS(TestDevice& device, PIRP irp, PIO_STACK_LOCATION stack)>;

struct TestDevice {
    PDEVICE_OBJECT object = nullptr;
    PDEVICE_OBJECT lower = nullptr; // what it is attached to
    std::string label;
    std::map<UCHAR, Handler> handlers;
    TestDriver* driver = nullptr;

    // Passes the IRP on as a filter does.
    NTSTATUS pass_down(PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    }
    void on(UCHAR major, Handler handler) { handlers[major] = std::move(handler); }
};

class TestDriver {
public:
    explicit TestDriver(std::u16string name = u"IoTest", Log* log = nullptr) : log_(log) {
        object = io::create_driver_object(name, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + name);
        EXPECT_NE(object, nullptr);
        if (!object) return;
        for (auto& slot : object->MajorFunction) slot = dispatch;
    }
    ~TestDriver() {
        if (!object) return;
        // Newest first, so every filter leaves its stack before what it sits on goes.
        for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
            TestDevice& device = **it;
            if (!device.object) continue;
            if (device.lower) IoDetachDevice(device.lower);
            IoDeleteDevice(device.object);
        }
        io::delete_driver_object(object);
    }
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    // A started device: DO_DEVICE_INITIALIZING cleared.
    TestDevice& create(const std::string& label, std::u16string name = {}, ULONG flags = DO_BUFFERED_IO,
                       BOOLEAN exclusive = FALSE) {
        auto device = std::make_unique<TestDevice>();
        device->label = label;
        device->driver = this;
        UNICODE_STRING counted{};
        if (!name.empty()) {
            counted.Buffer = name.data();
            counted.Length = counted.MaximumLength = (USHORT)(name.size() * sizeof(WCHAR));
        }
        NTSTATUS status = IoCreateDevice(object, sizeof(TestDevice*), name.empty() ? nullptr : &counted,
                                         FILE_DEVICE_UNKNOWN, 0, exclusive, &device->object);
        EXPECT_EQ(status, STATUS_SUCCESS);
        *static_cast<TestDevice**>(device->object->DeviceExtension) = device.get();
        device->object->Flags |= flags;
        device->object->Flags &= ~DO_DEVICE_INITIALIZING;
        devices_.push_back(std::move(device));
        return *devices_.back();
    }
    // A device attached on top of `below`'s stack.
    TestDevice& attach(const std::string& label, TestDevice& below, ULONG flags = DO_BUFFERED_IO) {
        TestDevice& device = create(label, {}, flags);
        device.lower = IoAttachDeviceToDeviceStack(device.object, below.object);
        EXPECT_NE(device.lower, nullptr);
        return device;
    }
    // Deletes one device now (detaching it first).
    void remove(TestDevice& device) {
        if (device.lower) IoDetachDevice(device.lower);
        device.lower = nullptr;
        IoDeleteDevice(device.object);
        device.object = nullptr;
    }

    PDRIVER_OBJECT object = nullptr;

private:
    static NTSTATUS dispatch(PDEVICE_OBJECT object, PIRP irp) {
        TestDevice& device = **static_cast<TestDevice**>(object->DeviceExtension);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (device.driver->log_) device.driver->log_->add(device.label + " " + major(stack->MajorFunction));
        auto handler = device.handlers.find(stack->MajorFunction);
        if (handler != device.handlers.end()) return handler->second(device, irp, stack);
        if (device.lower) return device.pass_down(irp);
        return complete(irp, STATUS_SUCCESS);
    }
    static std::string major(UCHAR code) {
        switch (code) {
        case IRP_MJ_CREATE: return "create";
        case IRP_MJ_CLOSE: return "close";
        case IRP_MJ_READ: return "read";
        case IRP_MJ_WRITE: return "write";
        case IRP_MJ_FLUSH_BUFFERS: return "flush";
        case IRP_MJ_DEVICE_CONTROL: return "control";
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "internal control";
        case IRP_MJ_CLEANUP: return "cleanup";
        case IRP_MJ_PNP: return "pnp";
        case IRP_MJ_POWER: return "power";
        default: return "major " + std::to_string(code);
        }
    }

    Log* log_;
    std::vector<std::unique_ptr<TestDevice>> devices_;
};

// Holds IRPs that a device pended, for the test to complete later; a cancel routine that
// completes them with STATUS_CANCELLED.
class PendingIrps {
public:
    NTSTATUS pend(PIRP irp) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoMarkIrpPending(irp);
        irp->Tail.Overlay.DriverContext[0] = this;
        {
            std::lock_guard lock(mutex_);
            irps_.push_back(irp);
        }
        IoSetCancelRoutine(irp, cancel);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    // Takes the oldest IRP out, unless its cancellation has begun.
    PIRP take() {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (!irps_.empty()) {
                irp = irps_.front();
                irps_.pop_front();
            }
        }
        if (irp) IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        return irp;
    }
    size_t size() {
        std::lock_guard lock(mutex_);
        return irps_.size();
    }
    // Completes every held IRP with `status` (a driver's cleanup).
    void complete_all(NTSTATUS status) {
        while (PIRP irp = take()) complete(irp, status);
    }

private:
    static VOID cancel(PDEVICE_OBJECT, PIRP irp) {
        auto* self = static_cast<PendingIrps*>(irp->Tail.Overlay.DriverContext[0]);
        {
            std::lock_guard lock(self->mutex_);
            std::erase(self->irps_, irp);
        }
        IoReleaseCancelSpinLock(irp->CancelIrql);
        complete(irp, STATUS_CANCELLED);
    }

    std::mutex mutex_;
    std::deque<PIRP> irps_;
};

inline UNICODE_STRING counted(std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = text.data();
    s.Length = s.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
    return s;
}

inline std::u16string file_name(PFILE_OBJECT file) {
    return file->FileName.Buffer ? std::u16string(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR))
                                 : std::u16string();
}

} // namespace hvsim::iotest
