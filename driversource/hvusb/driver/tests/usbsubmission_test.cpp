// The transport over a lower device made in the test, whose answers each test chooses: requests
// completed at once inside the call that sends them, and requests that come back long after
// they were cancelled.
#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/sched.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <hvusbtransport.h>

#include <functional>
#include <thread>

namespace usbtransporttest {
namespace {

std::function<NTSTATUS(PIRP, PURB)> g_lower;
ULONG g_ulCallbacks = 0;
ULONG g_ulBytes = 0;

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP pIrp) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pStack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        pStack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
    return g_lower(pIrp, static_cast<PURB>(pStack->Parameters.Others.Argument1));
}

NTSTATUS Complete(PIRP pIrp, PURB pUrb, NTSTATUS ntStatus, USBD_STATUS usbdStatus, ULONG ulLength) {
    pUrb->UrbHeader.Status = usbdStatus;
    pUrb->UrbBulkOrInterruptTransfer.TransferBufferLength = ulLength;
    pIrp->IoStatus.Status = ntStatus;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return ntStatus;
}

// A request kept by the lower device ends when it is cancelled.
void CancelKept(PDEVICE_OBJECT, PIRP pIrp) {
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    PURB pUrb = static_cast<PURB>(IoGetCurrentIrpStackLocation(pIrp)->Parameters.Others.Argument1);
    Complete(pIrp, pUrb, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
}

NTSTATUS Keep(PIRP pIrp) {
    IoMarkIrpPending(pIrp);
    IoSetCancelRoutine(pIrp, CancelKept);
    if (pIrp->Cancel && IoSetCancelRoutine(pIrp, nullptr)) {
        PURB pUrb = static_cast<PURB>(IoGetCurrentIrpStackLocation(pIrp)->Parameters.Others.Argument1);
        Complete(pIrp, pUrb, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
    }
    return STATUS_PENDING;
}

void OnReceive(PVOID, PUCHAR, ULONG ulLength) {
    ++g_ulCallbacks;
    g_ulBytes += ulLength;
}

class Submission : public ::testing::Test {
protected:
    void SetUp() override {
        hvsim::KernelOptions options;
        options.clock = hvsim::ClockMode::Virtual;
        hvsim::kernel_boot(options);
        ASSERT_TRUE(CPmMemoryPool::m_CreateGlobal());
        driver_ = hvsim::io::create_driver_object(u"HvUsbLowerTest", u"\\Registry\\Machine\\System\\HvUsbLowerTest");
        ASSERT_NE(driver_, nullptr);
        for (auto& entry : driver_->MajorFunction) entry = LowerDispatch;
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_), STATUS_SUCCESS);
        g_ulCallbacks = 0;
        g_ulBytes = 0;
        transport_ = new (NonPagedPool) CUsbTransport();
        ASSERT_NE(transport_, nullptr);
        transport_->m_pLowerDeviceObject = lower_;
    }
    void TearDown() override {
        delete transport_;
        IoDeleteDevice(lower_);
        hvsim::io::delete_driver_object(driver_);
        g_lower = nullptr;
        CPmMemoryPool::m_DestroyGlobal();
        hvsim::kernel_shutdown();
    }

    void create_receive() {
        ASSERT_TRUE(transport_->m_RegisterInterruptUrbCallback(OnReceive, this));
        ASSERT_TRUE(transport_->m_CreateInterruptUrb());
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    CUsbTransport* transport_ = nullptr;
};

TEST_F(Submission, TransfersCompletedInsideTheSendAreRearmedWithoutHoldingTheLock) {
    create_receive();
    ULONG ulCalls = 0;
    g_lower = [&](PIRP pIrp, PURB pUrb) {
        // The first fifty come back at once, with a status packet and 10 data bytes.
        if (++ulCalls > 50) return Keep(pIrp);
        return Complete(pIrp, pUrb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 12);
    };
    ASSERT_TRUE(transport_->m_StartInterruptUrb(reinterpret_cast<USBD_PIPE_HANDLE>(0x10), 64));
    EXPECT_EQ(g_ulCallbacks, 50u);
    EXPECT_EQ(g_ulBytes, 600u);
    EXPECT_EQ(ulCalls, 51u);
    EXPECT_EQ(transport_->m_GetInterruptUrbState(), HV_URB_STARTED);
    EXPECT_TRUE(transport_->m_StopInterruptUrb());
    EXPECT_EQ(transport_->m_GetInterruptUrbState(), HV_URB_INITIALISED);
}

TEST_F(Submission, ATransferThatFailsInsideTheSendLeavesTheTransferIdle) {
    create_receive();
    g_lower = [](PIRP pIrp, PURB pUrb) {
        return Complete(pIrp, pUrb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
    };
    EXPECT_TRUE(transport_->m_StartInterruptUrb(reinterpret_cast<USBD_PIPE_HANDLE>(0x10), 64));
    EXPECT_EQ(g_ulCallbacks, 0u);
    EXPECT_EQ(transport_->m_GetInterruptUrbState(), HV_URB_INITIALISED);
    // Neither a dead end nor a second transfer.
    EXPECT_FALSE(transport_->m_EnableInterruptUrb());
    EXPECT_FALSE(transport_->m_StopInterruptUrb());
    EXPECT_TRUE(transport_->m_StartInterruptUrb());
    EXPECT_EQ(transport_->m_GetInterruptUrbState(), HV_URB_INITIALISED);
}

TEST_F(Submission, AnEmptyTransferIsRearmedWithoutACallback) {
    create_receive();
    ULONG ulCalls = 0;
    g_lower = [&](PIRP pIrp, PURB pUrb) {
        if (++ulCalls > 1) return Keep(pIrp);
        return Complete(pIrp, pUrb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
    };
    ASSERT_TRUE(transport_->m_StartInterruptUrb(reinterpret_cast<USBD_PIPE_HANDLE>(0x10), 64));
    EXPECT_EQ(g_ulCallbacks, 0u);
    EXPECT_EQ(ulCalls, 2u);
    EXPECT_TRUE(transport_->m_DeleteInterruptUrb());
    EXPECT_EQ(transport_->m_GetInterruptUrbState(), HV_URB_REGISTERED);
}

TEST_F(Submission, TransitionsOutOfOrderAreRefused) {
    EXPECT_FALSE(transport_->m_CreateInterruptUrb());
    EXPECT_FALSE(transport_->m_StartInterruptUrb(reinterpret_cast<USBD_PIPE_HANDLE>(0x10), 64));
    create_receive();
    EXPECT_FALSE(transport_->m_RegisterInterruptUrbCallback(OnReceive, this));
    EXPECT_FALSE(transport_->m_CreateInterruptUrb());
    EXPECT_FALSE(transport_->m_StopInterruptUrb());
    EXPECT_FALSE(transport_->m_EnableInterruptUrb());
}

TEST_F(Submission, ATimedOutRequestIsFreedOnlyAfterItCameBack) {
    // The lower device ignores the cancel and ends the request three seconds later; freeing it
    // earlier would free an IRP the lower driver still owns.
    PIRP pKept = nullptr;
    g_lower = [&](PIRP pIrp, PURB) {
        IoMarkIrpPending(pIrp);
        pKept = pIrp;
        return STATUS_PENDING;
    };
    std::thread completer = hvsim::sched::start_thread("completer", [&] {
        hvsim::sched::sleep_for(3 * hvsim::sched::kTicksPerSecond);
        PURB pUrb = static_cast<PURB>(IoGetCurrentIrpStackLocation(pKept)->Parameters.Others.Argument1);
        Complete(pKept, pUrb, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
    });
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, 9, 16, 1, nullptr, nullptr, 0, nullptr);
    int64_t start = hvsim::sched::now();
    EXPECT_FALSE(transport_->m_SubmitUrb(&urb, TRUE));
    EXPECT_GE(hvsim::sched::now() - start, 3 * hvsim::sched::kTicksPerSecond);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    hvsim::sched::join(completer);
}

} // namespace
} // namespace usbtransporttest
