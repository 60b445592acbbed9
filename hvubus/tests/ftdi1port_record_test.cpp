// The create and release control codes, sent by the test port driver from a port child to the bus
// driver: buffer rules, the record the bus driver builds, and releases.
#include <gtest/gtest.h>

#include <cstring>

#include "portmachine.h"

namespace porttest {
namespace {

using Record = PortMachine;

TEST_F(Record, ACreateWithWrongBuffersFailsAndCreatesNothing) {
    plug();
    Port* p = port();
    ASSERT_NE(p, nullptr) << machine_->device_tree_text();
    hvsim::usb::clear_urb_log();
    UCHAR input[16] = {4, 0, 0, 0, 1, 0, 0, 0};
    UCHAR output[16] = {};
    struct Case {
        ULONG input_length, output_length;
    } cases[] = {{7, 8}, {9, 8}, {8, 7}, {8, 9}, {8, 0}, {0, 8}};
    for (const Case& c : cases) {
        ControlResult result = send_internal(*p, IOCTL_CREATE_HVISERIAL, c.input_length ? input : nullptr, c.input_length,
                                             c.output_length ? output : nullptr, c.output_length);
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << c.input_length << "/" << c.output_length;
        EXPECT_EQ(result.information, 0u);
    }
    // No port object was made, and nothing went to the device.
    EXPECT_EQ(traced("CFTDI1Port Constructor - IN"), 0);
    EXPECT_TRUE(hvsim::usb::urb_log().empty());
    // An unknown internal code is refused too.
    EXPECT_EQ(send_internal(*p, 0x8006E00C, input, 8, output, 8).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(Record, TheRecordOfAnRs232PortAndOfAnRs485Port) {
    port_type_ = 4; // port 3 is RS-422/485
    plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);

    for (ULONG number : {1u, 3u}) {
        CreateHvISerialRequestStruct request;
        HvISerialInitCreateRequest(&request, number);
        CreateHvISerialResponseStruct response = {};
        ControlResult result = send_internal(*p, IOCTL_CREATE_HVISERIAL, &request, sizeof request, &response, sizeof response);
        ASSERT_EQ(result.status, STATUS_SUCCESS) << number;
        EXPECT_EQ(result.information, 8u);
        const ISerial* record = response.pISerial;
        ASSERT_NE(record, nullptr);
        const UCHAR* bytes = reinterpret_cast<const UCHAR*>(record);
        EXPECT_EQ(bytes[0x018], number == 3 ? 1 : 0) << number;
        EXPECT_EQ(record->m_Operations.m_DuplexModeSettingsCallback != nullptr, number == 3) << number;
        ULONG supported;
        std::memcpy(&supported, bytes + 0x01C, 4);
        EXPECT_EQ(supported, 0xFFFFFFFFu);
        for (int offset : {0x020, 0x021, 0x022}) EXPECT_EQ(bytes[offset], 0) << offset;
        for (int offset = 0x023; offset < 0x029; ++offset) EXPECT_EQ(bytes[offset], 1) << offset;
        EXPECT_EQ(record->m_Operations.m_ReadEepromCallback, nullptr);
        EXPECT_EQ(record->m_Operations.m_WriteEepromCallback, nullptr);
        EXPECT_EQ(record->m_Operations.m_LsrMstInsertCallback, nullptr);
        EXPECT_NE(record->m_Operations.m_ConnectCallback, nullptr);
        EXPECT_NE(record->m_Operations.m_SendXonXoffCallback, nullptr);
        EXPECT_EQ(record->m_pvCallbackContext, nullptr);
        for (int offset = 0x0E8; offset < 0x130; ++offset) EXPECT_EQ(bytes[offset], 0) << offset;
        // The provider answers without a port driver bound: FIFO sizes from the bus settings.
        ULONG tx = 0, rx = 0;
        EXPECT_TRUE(HvISerialCallOperation(record, &HvISerialOperations::m_GetFifoSizesCallback, &tx, &rx));
        EXPECT_EQ(tx, 128u);
        EXPECT_EQ(rx, 256u);
        EXPECT_TRUE(HvISerialCallOperation(record, &HvISerialOperations::m_UpdateModemStatus));
        EXPECT_FALSE(HvISerialCallOperation(record, &HvISerialOperations::m_InternalLoopbackCallback, (BOOLEAN)TRUE));
        // DTR on the RS-422/485 port answers TRUE without a request.
        hvsim::usb::clear_urb_log();
        EXPECT_TRUE(HvISerialCallOperation(record, &HvISerialOperations::m_DtrCallback, (BOOLEAN)TRUE));
        EXPECT_EQ(vendor_requests().size(), number == 3 ? 0u : 1u);
        // Duplex modes: only 1 and 2, only on the RS-422/485 port.
        if (number == 3) {
            EXPECT_FALSE(HvISerialCallOperation(record, &HvISerialOperations::m_DuplexModeSettingsCallback, 3u, (BOOLEAN)FALSE));
            EXPECT_TRUE(HvISerialCallOperation(record, &HvISerialOperations::m_DuplexModeSettingsCallback, 1u, (BOOLEAN)FALSE));
            EXPECT_EQ(vendor_requests().back(), (VendorRequest{1, false, 0x0101, 1}));
        }
    }
    EXPECT_EQ(traced("CFTDI1Port Constructor - IN"), 2);

    // Releasing a port number that was never created succeeds; a wrong length does not.
    ReleaseHvISerialRequestStruct release;
    HvISerialInitReleaseRequest(&release, 7, nullptr);
    EXPECT_EQ(send_internal(*p, IOCTL_RELEASE_HVISERIAL, &release, sizeof release, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(send_internal(*p, IOCTL_RELEASE_HVISERIAL, &release, 12, nullptr, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(traced("CFTDI1Port Destructor - IN"), 0);
    // The two ports go with their numbers.
    for (ULONG number : {1u, 3u}) {
        HvISerialInitReleaseRequest(&release, number, nullptr);
        EXPECT_EQ(send_internal(*p, IOCTL_RELEASE_HVISERIAL, &release, sizeof release, nullptr, 0).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(traced("CFTDI1Port Destructor - OUT"), 2);
}

TEST_F(Record, ADeviceThatCannotBeConfiguredGivesNoRecord) {
    plug();
    Port* p = port();
    ASSERT_NE(p, nullptr);
    // The configuration request fails: the port object cannot start its transport.
    hvsim::usb::UrbMatch match;
    match.function = URB_FUNCTION_SELECT_CONFIGURATION;
    match.count = 0;
    hvsim::usb::inject(match, {hvsim::usb::FaultKind::fail, USBD_STATUS_STALL_PID, 0});
    EXPECT_EQ(create_record(*p, 1).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(p->record, nullptr);
    EXPECT_EQ(traced("CFTDI1Port::m_Init - OUT - Fail-> Error calling m_pTransport->m_Init()."), 1);
    EXPECT_EQ(traced("CFTDI1Port Destructor - OUT"), 1);
    hvsim::usb::clear_faults();
    EXPECT_EQ(create_record(*p, 1).status, STATUS_SUCCESS);
}

} // namespace
} // namespace porttest
