// The IRP helpers and the device-object helpers, on a two-device stack of a small driver made in
// the test: an upper device that uses the helpers, a lower one whose answers each test chooses.
#include "pmkerneltest.h"

#include <hvsim/io.h>
#include <pmdevice.h>
#include <pmirphelpers.h>

#include <functional>

namespace gendrvtest {
namespace {

constexpr NTSTATUS kLowerFinal = (NTSTATUS)0xC0000225L;

// What the lower device does with a request; it may keep it and complete it later.
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> g_lower;
// What the upper device does with a request.
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> g_upper;
PDEVICE_OBJECT g_pLower = nullptr;
PDEVICE_OBJECT g_pUpper = nullptr;

NTSTATUS Dispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    return pDeviceObject == g_pLower ? g_lower(pDeviceObject, pIrp) : g_upper(pDeviceObject, pIrp);
}

// A request the lower device keeps until a work item completes it with kLowerFinal.
void CompleteKept(PDEVICE_OBJECT, PVOID pvContext) {
    PmCompleteWithStatusAndInformation(static_cast<PIRP>(pvContext), kLowerFinal, 0);
}

class IrpHelpers : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        driver_ = hvsim::io::create_driver_object(u"PmHelperTest", u"\\Registry\\Machine\\System\\PmHelperTest");
        ASSERT_NE(driver_, nullptr);
        for (auto& entry : driver_->MajorFunction) entry = Dispatch;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\PmHelperLower");
        ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pLower), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pUpper), STATUS_SUCCESS);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(g_pUpper, g_pLower), g_pLower);
        work_item_ = IoAllocateWorkItem(g_pLower);
        ASSERT_NE(work_item_, nullptr);
    }
    void TearDown() override {
        if (work_item_) IoFreeWorkItem(work_item_);
        IoDetachDevice(g_pLower);
        IoDeleteDevice(g_pUpper);
        IoDeleteDevice(g_pLower);
        hvsim::io::delete_driver_object(driver_);
        g_lower = nullptr;
        g_upper = nullptr;
        KernelTest::TearDown();
    }

    static hvsim::io::IoResult send_to_upper(UCHAR major) {
        return hvsim::io::send_and_wait(
            g_pUpper, [&](hvsim::io::Irp*, hvsim::io::StackLocation* stack) { stack->MajorFunction = major; },
            STATUS_NOT_SUPPORTED);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PIO_WORKITEM work_item_ = nullptr;
};

TEST_F(IrpHelpers, ForwardAndWaitReturnsTheFinalStatusOfARequestKeptBelow) {
    g_lower = [&](PDEVICE_OBJECT, PIRP pIrp) {
        IoMarkIrpPending(pIrp);
        IoQueueWorkItem(work_item_, CompleteKept, DelayedWorkQueue, pIrp);
        return STATUS_PENDING;
    };
    NTSTATUS forwarded = STATUS_SUCCESS;
    g_upper = [&](PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
        forwarded = PmForwardAndWait(pDeviceObject, pIrp, g_pLower);
        // The caller still owns the request.
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, 5);
    };
    auto result = send_to_upper(IRP_MJ_PNP);
    EXPECT_EQ(forwarded, kLowerFinal);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 5u);
}

TEST_F(IrpHelpers, ForwardAndWaitReturnsAnAnswerGivenAtOnce) {
    g_lower = [](PDEVICE_OBJECT, PIRP pIrp) { return PmCompleteWithStatus(pIrp, STATUS_NOT_SUPPORTED); };
    NTSTATUS forwarded = STATUS_SUCCESS;
    g_upper = [&](PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
        forwarded = PmForwardAndWait(pDeviceObject, pIrp, g_pLower);
        return PmCompleteWithCurrentStatus(pIrp);
    };
    EXPECT_EQ(send_to_upper(IRP_MJ_PNP).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(forwarded, STATUS_NOT_SUPPORTED);
}

void NeverCalled(PDEVICE_OBJECT, PIRP pIrp) {
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    ADD_FAILURE() << "cancel routine called";
}

// A request returned pending with a cancel routine set is completed without it.
TEST_F(IrpHelpers, CompletingAPendingRequestClearsItsCancelRoutine) {
    g_upper = [&](PDEVICE_OBJECT, PIRP pIrp) {
        IoMarkIrpPending(pIrp);
        IoSetCancelRoutine(pIrp, NeverCalled);
        PmCompleteWithStatusAndInformation(pIrp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    };
    EXPECT_EQ(send_to_upper(IRP_MJ_READ).status, STATUS_CANCELLED);
}

TEST_F(IrpHelpers, ASynchronousControlRequestCarriesItsBufferAndFileObject) {
    FILE_OBJECT file{};
    ULONG seen_major = 0;
    PFILE_OBJECT seen_file = nullptr;
    g_lower = [&](PDEVICE_OBJECT, PIRP pIrp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(pIrp);
        seen_major = stack->MajorFunction;
        seen_file = stack->FileObject;
        if (stack->Parameters.DeviceIoControl.IoControlCode != 0x0022E000)
            return PmCompleteWithStatusAndInformation(pIrp, STATUS_INVALID_PARAMETER, 0);
        auto* buffer = static_cast<PULONG>(pIrp->AssociatedIrp.SystemBuffer);
        buffer[0] += 1;
        return PmCompleteWithStatusAndInformation(pIrp, STATUS_SUCCESS, sizeof(ULONG));
    };
    ULONG value = 41;
    ULONG answer = 0;
    ULONG length = sizeof(answer);
    EXPECT_TRUE(SendInternalDeviceControlSync(g_pLower, 0x0022E000, &value, sizeof(value), &answer, &length, TRUE, &file));
    EXPECT_EQ(answer, 42u);
    EXPECT_EQ(length, sizeof(ULONG));
    EXPECT_EQ(seen_major, (ULONG)IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(seen_file, &file);

    length = sizeof(answer);
    EXPECT_FALSE(SendInternalDeviceControlSync(g_pLower, 0x0022E004, &value, sizeof(value), &answer, &length, FALSE, nullptr));
    EXPECT_EQ(seen_major, (ULONG)IRP_MJ_DEVICE_CONTROL);

    // An attach-notifier request is internal and carries its 16-byte record.
    ULONG record[4] = {1, 2, 3, 4};
    ULONG seen_length = 0;
    ULONG seen_code = 0;
    g_lower = [&](PDEVICE_OBJECT, PIRP pIrp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(pIrp);
        seen_major = stack->MajorFunction;
        seen_code = stack->Parameters.DeviceIoControl.IoControlCode;
        seen_length = stack->Parameters.DeviceIoControl.InputBufferLength;
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    };
    EXPECT_TRUE(PmSendAttachNotifier(g_pLower, record));
    EXPECT_EQ(seen_code, (ULONG)IOCTL_HVGENDRV_ATTACH_NOTIFIER);
    EXPECT_EQ(seen_length, 16u);
    EXPECT_EQ(seen_major, (ULONG)IRP_MJ_INTERNAL_DEVICE_CONTROL);
}

TEST_F(IrpHelpers, ASynchronousControlRequestThatCannotBeBuiltFails) {
    bool called = false;
    g_lower = [&](PDEVICE_OBJECT, PIRP pIrp) {
        called = true;
        return PmCompleteWithStatus(pIrp, STATUS_SUCCESS);
    };
    ULONG value = 0;
    ULONG length = sizeof(value);
    hvsim::pool::fail_every_nth(1);
    BOOLEAN sent = SendInternalDeviceControlSync(g_pLower, 0x0022E000, &value, sizeof(value), &value, &length, TRUE, nullptr);
    hvsim::pool::clear_faults();
    EXPECT_FALSE(sent);
    EXPECT_FALSE(called);
}

void CancelKeptClose(PDEVICE_OBJECT, PIRP pIrp) {
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    PmCompleteWithStatus(pIrp, STATUS_CANCELLED);
}

void TimedCloseOnSystemThread(PVOID pvResult) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5000000; // 0.5 s of the virtual clock
    *static_cast<BOOLEAN*>(pvResult) = PmTimedClose(&timeout, g_pLower);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// A close that the lower device keeps is cancelled once the time is up.
TEST_F(IrpHelpers, ATimedCloseCancelsACloseThatDoesNotEnd) {
    ULONG closes = 0;
    g_lower = [&](PDEVICE_OBJECT, PIRP pIrp) {
        ++closes;
        EXPECT_EQ(IoGetCurrentIrpStackLocation(pIrp)->MajorFunction, IRP_MJ_CLOSE);
        IoMarkIrpPending(pIrp);
        IoSetCancelRoutine(pIrp, CancelKeptClose);
        return STATUS_PENDING;
    };
    BOOLEAN closed = TRUE;
    run_on_system_thread(TimedCloseOnSystemThread, &closed);
    EXPECT_FALSE(closed);
    EXPECT_EQ(closes, 1u);

    g_lower = [](PDEVICE_OBJECT, PIRP pIrp) { return PmCompleteWithStatus(pIrp, STATUS_SUCCESS); };
    run_on_system_thread(TimedCloseOnSystemThread, &closed);
    EXPECT_TRUE(closed);
}

class DeviceObjects : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        driver_ = hvsim::io::create_driver_object(u"PmObjectTest", u"\\Registry\\Machine\\System\\PmObjectTest");
        ASSERT_NE(driver_, nullptr);
    }
    void TearDown() override {
        hvsim::io::delete_driver_object(driver_);
        KernelTest::TearDown();
    }
    PDRIVER_OBJECT driver_ = nullptr;
};

// A stand-in framework device: only its address is kept in the extension here.
CPmDevice* const kDevice = reinterpret_cast<CPmDevice*>(0x1000);

TEST_F(DeviceObjects, ANamedDeviceGetsItsLinkAndTheExtensionLeadsToTheDevice) {
    CPmString name(NonPagedPool, u"PmObject");
    CPmString link(NonPagedPool, u"PMOBJ");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_TRUE(CPmDevice::m_CreateDeviceObjectAndSymbolicLink(driver_, &name, FILE_DEVICE_UNKNOWN, &link, TRUE, kDevice, &device));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(hvsim::io::symbolic_link_target(u"\\??\\PMOBJ"), std::u16string(u"\\Device\\PmObject"));
    auto* extension = CPmDevice::sm_GetExtension(device);
    EXPECT_EQ(extension->m_pDevice, kDevice);
    EXPECT_TRUE(extension->m_UsageLock.m_Acquire());
    extension->m_UsageLock.m_Release();

    // A second device cannot take the same link and leaves nothing behind.
    CPmString other(NonPagedPool, u"PmOther");
    PDEVICE_OBJECT second = nullptr;
    EXPECT_FALSE(CPmDevice::m_CreateDeviceObjectAndSymbolicLink(driver_, &other, FILE_DEVICE_UNKNOWN, &link, TRUE, kDevice, &second));
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(hvsim::io::find_device(u"\\Device\\PmOther"), nullptr);

    EXPECT_TRUE(CPmDevice::m_DeleteDeviceObjectAndSymbolicLink(device, &link));
    EXPECT_FALSE(hvsim::io::symbolic_link_target(u"\\??\\PMOBJ").has_value());
}

TEST_F(DeviceObjects, ADeviceWithoutANameGetsNoLink) {
    CPmString link(NonPagedPool, u"PMOBJ");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_TRUE(CPmDevice::m_CreateDeviceObjectAndSymbolicLink(driver_, nullptr, FILE_DEVICE_UNKNOWN, &link, FALSE, kDevice, &device));
    EXPECT_FALSE(hvsim::io::symbolic_link_target(u"\\??\\PMOBJ").has_value());
    EXPECT_TRUE(CPmDevice::m_DeleteDeviceObjectAndSymbolicLink(device, nullptr));
}

} // namespace
} // namespace gendrvtest
